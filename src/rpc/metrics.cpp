#include "rpc/metrics.h"

#include <sstream>

namespace tillbase::rpc {

void Metrics::ObjectCreated() {
  std::lock_guard lock(mutex_);
  ++created_;
}

void Metrics::CreationFailed() {
  std::lock_guard lock(mutex_);
  ++creation_failures_;
}

void Metrics::ObjectReleased(std::uint64_t count) {
  std::lock_guard lock(mutex_);
  released_ += count;
}

void Metrics::CallFinished(const std::string& method, bool failed,
                           std::chrono::nanoseconds latency) {
  double seconds = std::chrono::duration<double>(latency).count();
  std::lock_guard lock(mutex_);
  ++calls_[method];
  if (failed) ++call_errors_[method];
  for (size_t i = 0; i < kBucketsSeconds.size(); ++i) {
    if (seconds <= kBucketsSeconds[i]) ++buckets_[i];
  }
  ++latency_count_;
  latency_sum_ += seconds;
}

void Metrics::TransportError(const std::string& kind) {
  std::lock_guard lock(mutex_);
  ++transport_errors_[kind];
}

std::string Metrics::Render(std::size_t live_objects) const {
  std::lock_guard lock(mutex_);
  std::ostringstream out;
  auto header = [&](const char* name, const char* type, const char* help) {
    out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
  };
  header("tillbase_rpc_sessions", "gauge", "Session objects alive.");
  out << "tillbase_rpc_sessions " << live_objects << '\n';
  header("tillbase_rpc_sessions_created_total", "counter", "Session objects created.");
  out << "tillbase_rpc_sessions_created_total " << created_ << '\n';
  header("tillbase_rpc_session_creation_failures_total", "counter", "Creations that failed.");
  out << "tillbase_rpc_session_creation_failures_total " << creation_failures_ << '\n';
  header("tillbase_rpc_sessions_released_total", "counter",
         "Session objects released by their client or by lease expiry.");
  out << "tillbase_rpc_sessions_released_total " << released_ << '\n';
  header("tillbase_rpc_calls_total", "counter", "Method calls answered, by method.");
  for (const auto& [method, n] : calls_) {
    out << "tillbase_rpc_calls_total{method=\"" << method << "\"} " << n << '\n';
  }
  header("tillbase_rpc_call_errors_total", "counter",
         "Method calls that answered a failure HRESULT, by method.");
  for (const auto& [method, n] : call_errors_) {
    out << "tillbase_rpc_call_errors_total{method=\"" << method << "\"} " << n << '\n';
  }
  header("tillbase_rpc_transport_errors_total", "counter",
         "Requests refused before reaching an object, by kind.");
  for (const auto& [kind, n] : transport_errors_) {
    out << "tillbase_rpc_transport_errors_total{kind=\"" << kind << "\"} " << n << '\n';
  }
  header("tillbase_rpc_call_duration_seconds", "histogram",
         "Time from a call's arrival to its answer, queueing included.");
  for (size_t i = 0; i < kBucketsSeconds.size(); ++i) {
    out << "tillbase_rpc_call_duration_seconds_bucket{le=\"" << kBucketsSeconds[i] << "\"} "
        << buckets_[i] << '\n';
  }
  out << "tillbase_rpc_call_duration_seconds_bucket{le=\"+Inf\"} " << latency_count_ << '\n';
  out << "tillbase_rpc_call_duration_seconds_sum " << latency_sum_ << '\n';
  out << "tillbase_rpc_call_duration_seconds_count " << latency_count_ << '\n';
  return out.str();
}

}  // namespace tillbase::rpc

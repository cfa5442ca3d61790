// Counters of the RPC server in the Prometheus text format: live session
// objects, calls by method, failed calls by method, transport errors by kind
// and a latency histogram of calls.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

namespace tillbase::rpc {

class Metrics {
 public:
  static constexpr std::array<double, 12> kBucketsSeconds = {
      0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025, 0.1, 0.5, 2.5, 10};

  void ObjectCreated();
  void CreationFailed();
  // By the client's release or by lease expiry.
  void ObjectReleased(std::uint64_t count = 1);
  void CallFinished(const std::string& method, bool failed, std::chrono::nanoseconds latency);
  void TransportError(const std::string& kind);

  // `live_objects` comes from the object table, which knows it exactly.
  std::string Render(std::size_t live_objects) const;

 private:
  mutable std::mutex mutex_;
  std::uint64_t created_ = 0;
  std::uint64_t creation_failures_ = 0;
  std::uint64_t released_ = 0;
  std::map<std::string, std::uint64_t> calls_;
  std::map<std::string, std::uint64_t> call_errors_;
  std::map<std::string, std::uint64_t> transport_errors_;
  std::array<std::uint64_t, kBucketsSeconds.size()> buckets_{};
  std::uint64_t latency_count_ = 0;
  double latency_sum_ = 0;
};

}  // namespace tillbase::rpc

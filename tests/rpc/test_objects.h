// A small served object for the protocol's tests: it echoes, records the
// order of calls and fails on request, through the real call frame.
#pragma once

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "rpc/call_frame.h"
#include "rpc/object.h"
#include "rpc/object_table.h"

namespace tillbase::rpc::testing {

struct CallLog {
  std::mutex mutex;
  std::vector<std::string> calls;
  std::atomic<int> running{0};
  std::atomic<int> max_running{0};
  std::atomic<int> destroyed{0};
  void Add(std::string call) {
    std::lock_guard lock(mutex);
    calls.push_back(std::move(call));
  }
};

class EchoObject : public ServedObject {
 public:
  explicit EchoObject(CallLog& log) : log_(log) {}
  ~EchoObject() override { ++log_.destroyed; }

  InvokeResult Invoke(const MethodInfo& method, std::vector<Variant>& args) override {
    int now = ++log_.running;
    int seen = log_.max_running.load();
    while (now > seen && !log_.max_running.compare_exchange_weak(seen, now)) {
    }
    InvokeResult result = RunInCallFrame(method, args, [&]() -> Variant {
      std::string entry = method.name;
      for (const Variant& a : args) entry += " " + a.DebugString();
      log_.Add(entry);
      if (method.name == "GetServerVersion") {
        args[0] = Variant("KeppaPos1.1");
        return {};
      }
      if (method.name == "ExecuteSQL") {  // [in] BSTR szSQL; [out, retval] long*
        const std::string& sql = args[0].StringValue();
        if (sql == "fail") throw std::runtime_error("plain failure");
        if (sql == "com") throw ComError(static_cast<HResult>(0x80040E14u), "provider failure", 7);
        if (sql == "positive") throw ComError(1, "positive code");
        return Variant(static_cast<int32_t>(sql.size()));
      }
      if (method.name == "GetVchNumber") {  // [out] BSTR* szNumber written, then fail
        args[4] = Variant("N-" + args[3].StringValue());
        if (args[3].StringValue() == "fail") throw std::runtime_error("after writing");
        return Variant(true);
      }
      if (method.name == "BackUpDataBase") {  // [in, out] long* Param3; [out] BSTR* Param4
        args[2] = Variant(args[2].ToInt32() + 1);
        return {};
      }
      if (method.name == "ExecuteProc") {  // [in, out] VARIANT* vOutParams
        args[2] = args[1];
        return Variant(int32_t{0});
      }
      ThrowNotImplemented();
    });
    --log_.running;
    return result;
  }

 private:
  CallLog& log_;
};

class EchoFactory : public ObjectFactory {
 public:
  std::unique_ptr<ServedObject> Create(std::string_view class_name) override {
    if (!IsSessionClass(class_name)) throw ClassNotRegistered(class_name);
    if (fail_creation) throw std::runtime_error("creation refused");
    return std::make_unique<EchoObject>(log);
  }
  void Released(std::size_t remaining) override {
    std::lock_guard lock(log.mutex);
    released_remaining.push_back(remaining);
  }

  CallLog log;
  std::atomic<bool> fail_creation{false};
  std::vector<std::size_t> released_remaining;  // under log.mutex
};

// A steady clock that moves only when the test says so.
struct FakeClock {
  std::atomic<std::chrono::steady_clock::rep> ticks{0};
  SteadyClock AsFunction() {
    return [this] {
      return std::chrono::steady_clock::time_point(
          std::chrono::steady_clock::duration(ticks.load()));
    };
  }
  void Advance(std::chrono::steady_clock::duration d) { ticks += d.count(); }
};

}  // namespace tillbase::rpc::testing

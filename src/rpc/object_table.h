// The live session objects: one thread per object with a call queue, so the
// calls of one object run one at a time in the order they arrived, while
// different objects run at once. Objects are found by an unguessable id.
//
// Lifetime: an object lives until its client releases it or until it has
// been silent (no call queued or running) longer than the lease. The clock is
// injected so that tests decide what time it is.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "rpc/object.h"

namespace tillbase::rpc {

using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;

struct CreateOutcome {
  std::string id;  // empty when creation failed
  HResult hresult = kSOk;
  std::optional<ErrorInfo> error;
};

class ObjectTable {
 public:
  static constexpr std::chrono::minutes kDefaultLease{10};

  explicit ObjectTable(ObjectFactory& factory,
                       std::chrono::steady_clock::duration lease = kDefaultLease,
                       SteadyClock clock = {});
  // Releases every object (queued calls still run first) and joins threads.
  ~ObjectTable();
  ObjectTable(const ObjectTable&) = delete;
  ObjectTable& operator=(const ObjectTable&) = delete;

  // Starts a thread that creates the object; `done` runs on that thread once
  // the object exists or its creation failed.
  void CreateAsync(std::string class_name, std::function<void(CreateOutcome)> done);
  // The same, waiting for the outcome.
  CreateOutcome Create(std::string_view class_name);

  // Queues a call; `call` runs on the object's thread, then `answer` runs
  // there once the object counts as idle again (so whoever receives the
  // answer sees the object's lease restarted). False (and nothing queued)
  // when no live object has that id.
  bool Post(const std::string& id, std::function<void(ServedObject&)> call,
            std::function<void()> answer = {});

  // Releases an object as its client would: calls already queued still run,
  // then the object is destroyed on its thread, the factory is told
  // (ObjectFactory::Released) and `done` runs there. False
  // when no live object has that id.
  bool Release(const std::string& id, std::function<void()> done = {});

  // Releases every object silent for longer than the lease; returns how many.
  std::size_t ExpireIdle();

  // Releases every object (for shutdown) and waits until all are destroyed.
  void ReleaseAll();

  std::size_t size() const;  // objects that can take calls
  std::chrono::steady_clock::duration lease() const { return lease_; }

 private:
  class Worker;
  std::chrono::steady_clock::time_point Now() const;
  void ReapFinished();  // joins the threads that have ended

  ObjectFactory& factory_;
  const std::chrono::steady_clock::duration lease_;
  SteadyClock clock_;

  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::shared_ptr<Worker>> live_;
  std::vector<std::shared_ptr<Worker>> threads_;  // every thread not yet joined
  std::size_t alive_ = 0;                         // objects created and not yet destroyed
  bool closing_ = false;                          // ReleaseAll is running: creations fail
};

// 32 hex digits from the system's random source.
std::string NewObjectId();

}  // namespace tillbase::rpc

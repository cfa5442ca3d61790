#include "rpc/object_table.h"

#include <openssl/rand.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <future>
#include <stdexcept>
#include <thread>

#include "rpc/call_frame.h"

namespace tillbase::rpc {

class ObjectTable::Worker {
 public:
  Worker(ObjectTable& table, std::string class_name, std::function<void(CreateOutcome)> done)
      : table_(table), class_name_(std::move(class_name)), created_(std::move(done)) {}

  // The new thread may finish (a failed creation is quick) and be joined
  // from another thread before the std::thread object is even stored here:
  // storing and joining take turns, so no join is skipped and no thread is
  // left joinable when the last owner lets go of the worker.
  void Start(std::shared_ptr<Worker> self) {
    std::lock_guard lock(thread_mutex_);
    thread_ = std::thread([this, self] { Run(self); });
  }

  // Both called with the table's mutex held (lock order: table, then worker).
  void Push(std::function<void(ServedObject&)> call, std::function<void()> answer) {
    std::lock_guard lock(mutex_);
    calls_.push_back({std::move(call), std::move(answer)});
    ++pending_;
    last_active_ = table_.Now();
    wake_.notify_one();
  }
  void Stop(std::function<void()> done) {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    if (done) released_.push_back(std::move(done));
    wake_.notify_one();
  }
  bool IdleSince(std::chrono::steady_clock::time_point limit) {
    std::lock_guard lock(mutex_);
    return pending_ == 0 && last_active_ < limit;
  }

  bool finished() const { return finished_.load(); }
  void Join() {
    std::lock_guard lock(thread_mutex_);
    if (thread_.joinable()) thread_.join();
  }

 private:
  void Run(std::shared_ptr<Worker> self) {
    std::unique_ptr<ServedObject> object;
    CreateOutcome outcome;
    try {
      object = table_.factory_.Create(class_name_);
      if (!object) throw std::runtime_error("the class factory made no object");
    } catch (...) {
      auto [code, info] = ErrorFromException(std::current_exception());
      outcome.hresult = code;
      outcome.error = std::move(info);
    }
    if (object) {
      std::lock_guard lock(table_.mutex_);
      if (table_.closing_) {
        outcome.hresult = kEUnexpected;
        outcome.error = ErrorInfo{"the server is shutting down", std::string(kProgId),
                                  std::string(kInterfaceIid), "", 0};
      } else {
        outcome.id = NewObjectId();
        {
          std::lock_guard worker_lock(mutex_);
          last_active_ = table_.Now();
        }
        table_.live_.emplace(outcome.id, self);
        ++table_.alive_;
      }
    }
    bool serving = !outcome.id.empty();
    if (!serving) object.reset();
    created_(std::move(outcome));
    created_ = nullptr;
    if (serving) Serve(*object);
    object.reset();

    std::size_t remaining = 0;
    if (serving) {
      std::lock_guard lock(table_.mutex_);
      remaining = --table_.alive_;
    }
    std::vector<std::function<void()>> released;
    {
      std::lock_guard lock(mutex_);
      released.swap(released_);
    }
    // The factory hears of the release before the client does, so that
    // whoever waits for the answer also sees the factory's count.
    if (serving) table_.factory_.Released(remaining);
    for (auto& done : released) done();
    finished_ = true;
  }

  void Serve(ServedObject& object) {
    for (;;) {
      QueuedCall call;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return !calls_.empty() || stopping_; });
        // Calls queued before the release still run, in order.
        if (calls_.empty()) return;
        call = std::move(calls_.front());
        calls_.pop_front();
      }
      call.run(object);  // the protocol's own closures answer their errors
      {
        std::lock_guard lock(mutex_);
        --pending_;
        last_active_ = table_.Now();
      }
      if (call.answer) call.answer();
    }
  }

  ObjectTable& table_;
  const std::string class_name_;
  std::function<void(CreateOutcome)> created_;
  std::mutex thread_mutex_;
  std::thread thread_;
  std::atomic<bool> finished_{false};

  std::mutex mutex_;
  std::condition_variable wake_;
  struct QueuedCall {
    std::function<void(ServedObject&)> run;
    std::function<void()> answer;
  };
  std::deque<QueuedCall> calls_;
  std::size_t pending_ = 0;  // queued or running
  std::chrono::steady_clock::time_point last_active_{};
  bool stopping_ = false;
  std::vector<std::function<void()>> released_;
};

std::string NewObjectId() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1)
    throw std::runtime_error("no random source for object ids");
  static constexpr char kHex[] = "0123456789abcdef";
  std::string id;
  for (unsigned char b : bytes) {
    id += kHex[b >> 4];
    id += kHex[b & 15];
  }
  return id;
}

ObjectTable::ObjectTable(ObjectFactory& factory, std::chrono::steady_clock::duration lease,
                         SteadyClock clock)
    : factory_(factory), lease_(lease), clock_(std::move(clock)) {}

ObjectTable::~ObjectTable() { ReleaseAll(); }

std::chrono::steady_clock::time_point ObjectTable::Now() const {
  return clock_ ? clock_() : std::chrono::steady_clock::now();
}

void ObjectTable::CreateAsync(std::string class_name, std::function<void(CreateOutcome)> done) {
  auto worker = std::make_shared<Worker>(*this, std::move(class_name), std::move(done));
  {
    std::lock_guard lock(mutex_);
    threads_.push_back(worker);
  }
  worker->Start(worker);
  ReapFinished();
}

CreateOutcome ObjectTable::Create(std::string_view class_name) {
  std::promise<CreateOutcome> promise;
  auto future = promise.get_future();
  CreateAsync(std::string(class_name),
              [&promise](CreateOutcome outcome) { promise.set_value(std::move(outcome)); });
  return future.get();
}

bool ObjectTable::Post(const std::string& id, std::function<void(ServedObject&)> call,
                       std::function<void()> answer) {
  std::lock_guard lock(mutex_);
  auto it = live_.find(id);
  if (it == live_.end()) return false;
  it->second->Push(std::move(call), std::move(answer));
  return true;
}

bool ObjectTable::Release(const std::string& id, std::function<void()> done) {
  {
    std::lock_guard lock(mutex_);
    auto it = live_.find(id);
    if (it == live_.end()) return false;
    it->second->Stop(std::move(done));
    live_.erase(it);
  }
  ReapFinished();
  return true;
}

std::size_t ObjectTable::ExpireIdle() {
  std::size_t expired = 0;
  {
    std::lock_guard lock(mutex_);
    auto limit = Now() - lease_;
    for (auto it = live_.begin(); it != live_.end();) {
      if (it->second->IdleSince(limit)) {
        it->second->Stop({});
        it = live_.erase(it);
        ++expired;
      } else {
        ++it;
      }
    }
  }
  ReapFinished();
  return expired;
}

void ObjectTable::ReleaseAll() {
  std::vector<std::shared_ptr<Worker>> threads;
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
    for (auto& [id, worker] : live_) worker->Stop({});
    live_.clear();
    threads.swap(threads_);
  }
  for (auto& worker : threads) worker->Join();
  std::lock_guard lock(mutex_);
  closing_ = false;
}

void ObjectTable::ReapFinished() {
  std::vector<std::shared_ptr<Worker>> finished;
  {
    std::lock_guard lock(mutex_);
    for (auto it = threads_.begin(); it != threads_.end();) {
      if ((*it)->finished()) {
        finished.push_back(std::move(*it));
        it = threads_.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (auto& worker : finished) worker->Join();
}

std::size_t ObjectTable::size() const {
  std::lock_guard lock(mutex_);
  return live_.size();
}

}  // namespace tillbase::rpc

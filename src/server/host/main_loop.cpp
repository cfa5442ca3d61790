#include "server/host/main_loop.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>

namespace tillbase::host {
namespace asio = boost::asio;

namespace {

// One Call that waits for the loop.
struct PendingCall {
  enum class State { kWaiting, kDone, kAbandoned };
  State state = State::kWaiting;
};

}  // namespace

struct MainLoop::Impl {
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work{io.get_executor()};
  std::unique_ptr<asio::signal_set> signals;
  std::function<void(int)> on_signal;

  std::mutex mutex;
  std::condition_variable changed;
  bool stopped = false;
  std::thread::id loop_thread;
  std::list<std::shared_ptr<PendingCall>> pending;

  void WaitForSignal() {
    signals->async_wait([this](const boost::system::error_code& ec, int signal) {
      if (ec) return;
      if (on_signal) on_signal(signal);
      WaitForSignal();
    });
  }
};

MainLoop::MainLoop() : impl_(std::make_unique<Impl>()) {}

MainLoop::~MainLoop() {
  Stop();
  if (impl_->signals) {
    boost::system::error_code ec;
    impl_->signals->cancel(ec);
  }
}

void MainLoop::Run() {
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->stopped) return;
    impl_->loop_thread = std::this_thread::get_id();
  }
  impl_->io.run();
  Stop();
  std::lock_guard lock(impl_->mutex);
  impl_->loop_thread = {};
}

void MainLoop::Stop() {
  std::lock_guard lock(impl_->mutex);
  if (impl_->stopped) return;
  impl_->stopped = true;
  for (auto& call : impl_->pending) {
    if (call->state == PendingCall::State::kWaiting) call->state = PendingCall::State::kAbandoned;
  }
  impl_->pending.clear();
  impl_->changed.notify_all();
  impl_->work.reset();
  impl_->io.stop();
}

bool MainLoop::Stopped() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->stopped;
}

void MainLoop::Post(std::function<void()> work) { asio::post(impl_->io, std::move(work)); }

bool MainLoop::Call(std::function<void()> work) {
  auto call = std::make_shared<PendingCall>();
  bool on_loop = false;
  {
    std::lock_guard lock(impl_->mutex);
    if (impl_->stopped) return false;
    on_loop = impl_->loop_thread == std::this_thread::get_id();
    if (!on_loop) impl_->pending.push_back(call);
  }
  if (on_loop) {
    // Already on the loop: waiting for ourselves would never end.
    work();
    return true;
  }
  asio::post(impl_->io, [this, call, work = std::move(work)] {
    {
      std::lock_guard lock(impl_->mutex);
      if (call->state != PendingCall::State::kWaiting) return;
    }
    // A failing handler must not leave its caller waiting: the caller learns
    // the work ran (it did, in part), the loop goes on.
    try {
      work();
    } catch (...) {
    }
    std::lock_guard lock(impl_->mutex);
    if (call->state == PendingCall::State::kWaiting) call->state = PendingCall::State::kDone;
    impl_->pending.remove(call);
    impl_->changed.notify_all();
  });
  std::unique_lock lock(impl_->mutex);
  impl_->changed.wait(lock, [&] { return call->state != PendingCall::State::kWaiting; });
  return call->state == PendingCall::State::kDone;
}

void MainLoop::OnTerminationSignal(std::function<void(int)> handler) {
  impl_->on_signal = std::move(handler);
  if (!impl_->signals) {
    impl_->signals = std::make_unique<asio::signal_set>(impl_->io, SIGTERM, SIGINT);
    impl_->WaitForSignal();
  }
}

}  // namespace tillbase::host

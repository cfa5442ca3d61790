// The main loop: one thread that runs the main window's work, the
// notifications that sessions send to it and the end of the process.
// Other threads hand it work with Post (fire and forget) or Call (wait until
// it has run, as a synchronous window message does).
#pragma once

#include <functional>
#include <memory>

namespace tillbase::host {

class MainLoop {
 public:
  MainLoop();
  ~MainLoop();
  MainLoop(const MainLoop&) = delete;
  MainLoop& operator=(const MainLoop&) = delete;

  // Runs handlers on the calling thread until Stop. Runs once.
  void Run();
  // Ends Run after the handler that runs now; callable from any thread and
  // from handlers. Calls waiting in Call return false from then on.
  void Stop();
  bool Stopped() const;

  void Post(std::function<void()> work);
  // Runs `work` on the loop and returns true once it has run; on the loop's
  // own thread it runs at once. Returns false without running it when the
  // loop has stopped, also while the caller waits, so that no session
  // thread hangs on a loop that has ended.
  bool Call(std::function<void()> work);

  // Runs `handler` on the loop whenever the process receives SIGTERM or
  // SIGINT (instead of the default end of the process).
  void OnTerminationSignal(std::function<void(int signal)> handler);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tillbase::host

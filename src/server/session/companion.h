// The companion message-server program that follows the database the
// sessions switch to. One per process; ChangeDB of any session restarts it,
// the end of the main window stops it.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "server/process/child_process.h"

namespace tillbase::session {

// The program's file name and the named lock by which its running instance
// is recognised.
inline constexpr const char* kCompanionProgram = "Parlet";
inline constexpr const char* kCompanionLockName = "KeppaCRMServer";

class Companion {
 public:
  struct Options {
    std::filesystem::path home;  // searched before $PATH
    std::string program = kCompanionProgram;
    // Between the stop and the start of a restart.
    std::chrono::milliseconds restart_pause{200};
    // How long a stopped companion may take to end before it is killed.
    std::chrono::milliseconds stop_grace{2000};
    // Waits between stop and start; tests replace it.
    std::function<void(std::chrono::milliseconds)> pause;
  };

  explicit Companion(Options options);
  ~Companion();
  Companion(const Companion&) = delete;
  Companion& operator=(const Companion&) = delete;

  // Does nothing when a companion runs already (its lock is held).
  // Otherwise starts "<program> \"<connection string>\"" (the program found
  // in the home first, then on $PATH). A failed start is not reported.
  void Start(const std::string& connection_string);
  // Ends the companion this process started, if any.
  void Stop();
  // Stop, the pause, Start: what ChangeDB does, as one step so that two
  // sessions switching at once do not interleave their stops and starts.
  void Restart(const std::string& connection_string);

  // The pid of the companion this process started and that still runs.
  std::optional<pid_t> RunningPid();

 private:
  void StartLocked(const std::string& connection_string);
  void StopLocked();

  Options options_;
  std::mutex mutex_;
  std::optional<process::ChildProcess> process_;  // CompanionProcess
};

}  // namespace tillbase::session

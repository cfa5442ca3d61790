#include "server/session/companion.h"

#include <thread>

#include "server/process/named_lock.h"

namespace tillbase::session {

Companion::Companion(Options options) : options_(std::move(options)) {
  if (!options_.pause) {
    options_.pause = [](std::chrono::milliseconds d) { std::this_thread::sleep_for(d); };
  }
}

Companion::~Companion() {
  std::lock_guard lock(mutex_);
  StopLocked();
}

void Companion::Start(const std::string& connection_string) {
  std::lock_guard lock(mutex_);
  StartLocked(connection_string);
}

void Companion::Stop() {
  std::lock_guard lock(mutex_);
  StopLocked();
}

void Companion::Restart(const std::string& connection_string) {
  std::lock_guard lock(mutex_);
  StopLocked();
  options_.pause(options_.restart_pause);
  StartLocked(connection_string);
}

std::optional<pid_t> Companion::RunningPid() {
  std::lock_guard lock(mutex_);
  if (process_ && process_->Running()) return process_->pid();
  return std::nullopt;
}

void Companion::StartLocked(const std::string& connection_string) {
  try {
    if (process::NamedLock::IsHeld(kCompanionLockName)) return;
    auto program = process::FindProgram(options_.program, {options_.home});
    if (!program) return;
    // The command line is the program followed by the connection string in
    // double quotes; the quotes are part of the argument the companion sees.
    process_ = process::ChildProcess::Start(*program, {"\"" + connection_string + "\""});
  } catch (const std::exception&) {
    // A companion that cannot be started is not the session's failure: the
    // sessions work without it, so nothing is reported.
  }
}

void Companion::StopLocked() {
  if (!process_) return;
  process_->Terminate(options_.stop_grace);
  process_.reset();
  // The companion's lock goes with its process; nothing to release here.
}

}  // namespace tillbase::session

#include "server/process/child_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace tillbase::process {
namespace fs = std::filesystem;
namespace {

bool IsExecutableFile(const fs::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::optional<fs::path> FindProgram(const std::string& name,
                                    const std::vector<fs::path>& directories) {
  // A name with a separator is a path of its own, not something to search.
  if (name.empty() || name.find('/') != std::string::npos) {
    if (!name.empty() && IsExecutableFile(name)) return fs::path(name);
    return std::nullopt;
  }
  for (const fs::path& dir : directories) {
    if (dir.empty()) continue;
    fs::path candidate = dir / name;
    if (IsExecutableFile(candidate)) return candidate;
  }
  const char* path_env = std::getenv("PATH");
  std::string search = path_env != nullptr ? path_env : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= search.size()) {
    size_t end = search.find(':', start);
    if (end == std::string::npos) end = search.size();
    std::string dir = search.substr(start, end - start);
    // An empty entry means the current directory, as for the shell.
    fs::path candidate = (dir.empty() ? fs::path(".") : fs::path(dir)) / name;
    if (IsExecutableFile(candidate)) return candidate;
    start = end + 1;
  }
  return std::nullopt;
}

ChildProcess ChildProcess::Start(const fs::path& program,
                                 const std::vector<std::string>& arguments) {
  std::vector<std::string> storage;
  storage.push_back(program.string());
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& s : storage) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // The child inherits no handle of ours (listening sockets, lock files).
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Signals this process blocks or ignores (the main loop waits for SIGTERM
  // and SIGINT itself) must not reach the child so.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    throw std::runtime_error("cannot start " + program.string() + ": " + std::strerror(rc));
  }
  return ChildProcess(pid);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    pid_ = other.pid_;
    other.pid_ = -1;
  }
  return *this;
}

bool ChildProcess::Running() {
  if (pid_ < 0) return false;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == pid_ || (r < 0 && errno == ECHILD)) {
    pid_ = -1;
    return false;
  }
  return true;
}

void ChildProcess::Terminate(std::chrono::milliseconds grace) {
  if (!Running()) return;
  ::kill(pid_, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + grace;
  while (Running()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      Wait();
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int ChildProcess::Wait() {
  if (pid_ < 0) return 0;
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return status;
}

}  // namespace tillbase::process

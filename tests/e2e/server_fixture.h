// Runs the real server program for a test: a private root with its own
// home, runtime directory (named locks) and XDG directories, so that tests
// never touch the user's own and never see each other.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tillbase::e2e {

class TestRoot {
 public:
  TestRoot();
  ~TestRoot();
  const std::filesystem::path& path() const { return root_; }
  std::filesystem::path home() const { return root_ / "home"; }
  std::filesystem::path run_dir() const { return root_ / "run"; }
  // The environment every server of this root gets.
  std::map<std::string, std::string> Environment() const;
  // CONFIG.INI of the home: section SERVER with these keys, embedded driver.
  void WriteConfig(const std::map<std::string, std::string>& server_keys) const;
  // A companion program in the home that takes its lock and logs its
  // argument to companion.log.
  void InstallCompanion() const;
  std::vector<std::string> CompanionLog() const;

 private:
  std::filesystem::path root_;
};

struct Finished {
  int exit_code = -1;  // -1: killed by a signal
  std::string out;
  std::string err;
};

// Runs the server to its end (for modes that end by themselves).
Finished RunToEnd(const TestRoot& root, const std::vector<std::string>& args);

class RunningServer {
 public:
  // Starts the server and waits until it says where it listens. With
  // `activation_socket` the socket is handed over as socket activation
  // does (descriptor 3, LISTEN_FDS=1, LISTEN_PID).
  RunningServer(const TestRoot& root, const std::vector<std::string>& args,
                int activation_socket = -1);
  ~RunningServer();  // kills what still runs
  RunningServer(const RunningServer&) = delete;
  RunningServer& operator=(const RunningServer&) = delete;

  std::uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  // Waits for the end (bounded; kills after the bound and reports -1).
  Finished WaitForEnd();
  void Signal(int signal);
  // True once the process has ended (without waiting).
  bool Ended();

 private:
  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_, err_;
  std::uint16_t port_ = 0;
  std::optional<int> status_;
};

// A listening TCP socket on 127.0.0.1 with a free port.
int ListeningSocket(std::uint16_t& port);

// Polls `pred` while an outside process gets there; the bound is only a
// guard against hanging.
template <typename Pred>
bool Eventually(Pred pred);

}  // namespace tillbase::e2e

#include <chrono>
#include <thread>

template <typename Pred>
bool tillbase::e2e::Eventually(Pred pred) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (std::chrono::steady_clock::now() < deadline) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

#include "e2e/server_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace tillbase::e2e {
namespace fs = std::filesystem;
namespace {

std::atomic<int> counter{0};

void ReadAvailable(int fd, std::string& into) {
  char buffer[4096];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n <= 0) return;
    into.append(buffer, static_cast<size_t>(n));
  }
}

struct Child {
  pid_t pid;
  int out_fd;
  int err_fd;
};

Child Spawn(const TestRoot& root, const std::vector<std::string>& args, int activation_socket) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    throw std::runtime_error("pipe");
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    if (name == "TILLBASE_HOME" || name.rfind("XDG_", 0) == 0 || name.rfind("LISTEN_", 0) == 0 ||
        name == "PATH") {
      continue;
    }
    env_text.push_back(entry);
  }
  for (const auto& [k, v] : root.Environment()) env_text.push_back(k + "=" + v);
  std::vector<std::string> argv_text{TILLBASE_SERVER_PATH};
  argv_text.insert(argv_text.end(), args.begin(), args.end());

  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork");
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (activation_socket >= 0) {
      if (activation_socket == 3) {
        ::fcntl(3, F_SETFD, 0);
      } else {
        ::dup2(activation_socket, 3);
      }
      env_text.push_back("LISTEN_PID=" + std::to_string(::getpid()));
      env_text.push_back("LISTEN_FDS=1");
    }
    std::vector<char*> argv, envp;
    for (auto& s : argv_text) argv.push_back(s.data());
    argv.push_back(nullptr);
    for (auto& s : env_text) envp.push_back(s.data());
    envp.push_back(nullptr);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  ::fcntl(out[0], F_SETFL, O_NONBLOCK);
  ::fcntl(err[0], F_SETFL, O_NONBLOCK);
  return {pid, out[0], err[0]};
}

}  // namespace

TestRoot::TestRoot() {
  root_ = fs::path(::testing::TempDir()) /
          ("e2e_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
  fs::remove_all(root_);
  for (const char* d : {"home", "run", "config", "data"}) fs::create_directories(root_ / d);
  ::chmod((root_ / "run").c_str(), 0700);
  WriteConfig({{"DBServerName", "(local)"}, {"LoginName", "sa"}, {"WindowsSecurity", "False"}});
}

TestRoot::~TestRoot() {
  std::error_code ec;
  fs::remove_all(root_, ec);
}

std::map<std::string, std::string> TestRoot::Environment() const {
  const char* path = std::getenv("PATH");
  return {{"XDG_RUNTIME_DIR", run_dir().string()},
          {"XDG_CONFIG_HOME", (root_ / "config").string()},
          {"XDG_DATA_HOME", (root_ / "data").string()},
          {"PATH", path != nullptr ? path : "/usr/bin:/bin"}};
}

void TestRoot::WriteConfig(const std::map<std::string, std::string>& server_keys) const {
  std::ofstream ini(home() / "CONFIG.INI", std::ios::trunc);
  ini << "[SERVER]\r\n";
  for (const auto& [k, v] : server_keys) ini << k << "=" << v << "\r\n";
  ini << "[DATABASE]\r\nDriver=embedded\r\n";
}

void TestRoot::InstallCompanion() const {
  fs::path script = home() / "Parlet";
  std::ofstream out(script);
  out << "#!/bin/sh\n"
      << "exec 9>\"$XDG_RUNTIME_DIR/KeppaCRMServer\"\n"
      << "flock -n 9 || exit 0\n"
      << "printf '%s\\n' \"$1\" >> '" << (root_ / "companion.log").string() << "'\n"
      << "exec sleep 600\n";
  out.close();
  ::chmod(script.c_str(), 0755);
}

std::vector<std::string> TestRoot::CompanionLog() const {
  std::ifstream in(root_ / "companion.log");
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

Finished RunToEnd(const TestRoot& root, const std::vector<std::string>& args) {
  Child child = Spawn(root, args, -1);
  Finished result;
  int status = 0;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (true) {
    ReadAvailable(child.out_fd, result.out);
    ReadAvailable(child.err_fd, result.err);
    pid_t r = ::waitpid(child.pid, &status, WNOHANG);
    if (r == child.pid) break;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(child.pid, SIGKILL);
      ::waitpid(child.pid, &status, 0);
      break;
    }
    pollfd fds[2] = {{child.out_fd, POLLIN, 0}, {child.err_fd, POLLIN, 0}};
    ::poll(fds, 2, 20);
  }
  ReadAvailable(child.out_fd, result.out);
  ReadAvailable(child.err_fd, result.err);
  ::close(child.out_fd);
  ::close(child.err_fd);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

RunningServer::RunningServer(const TestRoot& root, const std::vector<std::string>& args,
                             int activation_socket) {
  Child child = Spawn(root, args, activation_socket);
  pid_ = child.pid;
  out_fd_ = child.out_fd;
  err_fd_ = child.err_fd;
  static const std::regex kListening(R"(listening on http://[^ ]*:(\d+))");
  bool found = Eventually([&] {
    ReadAvailable(out_fd_, out_);
    ReadAvailable(err_fd_, err_);
    std::smatch m;
    if (std::regex_search(out_, m, kListening)) {
      port_ = static_cast<std::uint16_t>(std::stoi(m[1]));
      return true;
    }
    return Ended();
  });
  if (!found || port_ == 0) {
    throw std::runtime_error("the server did not start: out=" + out_ + " err=" + err_);
  }
}

RunningServer::~RunningServer() {
  if (!Ended()) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  ::close(out_fd_);
  ::close(err_fd_);
}

bool RunningServer::Ended() {
  if (status_) return true;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) status_ = status;
  return status_.has_value();
}

void RunningServer::Signal(int signal) { ::kill(pid_, signal); }

Finished RunningServer::WaitForEnd() {
  Eventually([&] {
    ReadAvailable(out_fd_, out_);
    ReadAvailable(err_fd_, err_);
    return Ended();
  });
  if (!Ended()) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    status_ = status;
    return {-1, out_, err_};
  }
  ReadAvailable(out_fd_, out_);
  ReadAvailable(err_fd_, err_);
  return {WIFEXITED(*status_) ? WEXITSTATUS(*status_) : -1, out_, err_};
}

int ListeningSocket(std::uint16_t& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || ::listen(fd, 16) != 0) {
    throw std::runtime_error(std::string("cannot listen: ") + std::strerror(errno));
  }
  socklen_t len = sizeof(addr);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace tillbase::e2e

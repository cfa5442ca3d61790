#include "server/host/server_process.h"

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <ostream>
#include <sstream>
#include <thread>

#include "rpc/http_server.h"
#include "server/config/connection_settings.h"
#include "server/config/database_driver_settings.h"
#include "server/config/home.h"
#include "server/host/class_registration.h"
#include "server/host/command_line.h"
#include "server/host/main_loop.h"
#include "server/host/main_window.h"
#include "server/host/window_link.h"
#include "server/process/named_lock.h"
#include "server/session/session_object.h"
#include "server/session/session_server.h"

namespace tillbase::host {
namespace {

// How long calls in flight get to finish at the end of the process before
// their statements are interrupted, and before the process ends anyway.
constexpr std::chrono::seconds kShutdownGrace{5};
constexpr std::chrono::seconds kShutdownBound{15};

// The listening socket handed over by socket activation, if any. The
// variables are removed so that child programs do not take them for theirs.
int TakeActivationSocket() {
  const char* pid = std::getenv("LISTEN_PID");
  const char* fds = std::getenv("LISTEN_FDS");
  int fd = -1;
  if (pid != nullptr && fds != nullptr && std::atoi(pid) == static_cast<int>(::getpid()) &&
      std::atoi(fds) >= 1) {
    fd = 3;  // the first handed-over descriptor
  }
  ::unsetenv("LISTEN_PID");
  ::unsetenv("LISTEN_FDS");
  ::unsetenv("LISTEN_FDNAMES");
  return fd;
}

std::string ReadAccessKey(const CommandLine& cl) {
  if (!cl.access_key_file.empty()) {
    std::ifstream in(cl.access_key_file);
    if (!in) throw std::runtime_error("cannot read the access key file " + cl.access_key_file);
    std::string key;
    std::getline(in, key);
    while (!key.empty() && (key.back() == '\r' || key.back() == ' ')) key.pop_back();
    if (key.empty())
      throw std::runtime_error("the access key file " + cl.access_key_file + " is empty");
    return key;
  }
  const char* env = std::getenv("TILLBASE_ACCESS_KEY");
  return env != nullptr ? env : "";
}

session::ConnectSettings LoadConnectSettings(const std::string& home) {
  config::ServerSettings settings(home, config::UserStore::ForCurrentUser());
  config::TConnectionString cs = settings.LoadConnectionSettings();
  config::DatabaseDriverSettings drv = config::LoadDatabaseDriverSettings(home);
  session::ConnectSettings out;
  out.server_name = cs.DBServerName;
  out.login_name = cs.LoginName;
  out.password = cs.DBPassword;
  out.windows_security = cs.WindowsSecurity;
  out.driver.driver = std::string(config::DatabaseDriverName(drv.driver));
  out.driver.odbc_driver = drv.odbc_driver;
  out.driver.odbc_extra = drv.odbc_extra;
  out.driver.data_dir = drv.data_dir;
  return out;
}

std::string ListenText(const std::string& address, std::uint16_t port) {
  if (address.find(':') != std::string::npos) return "[" + address + "]:" + std::to_string(port);
  return address + ":" + std::to_string(port);
}

// Keeps the end of the process within a bound: after the grace the running
// statements are interrupted, after the bound the process ends regardless.
class ShutdownBound {
 public:
  ShutdownBound(session::SessionServer& sessions, std::ostream& err) {
    thread_ = std::thread([this, &sessions, &err] {
      std::unique_lock lock(mutex_);
      if (changed_.wait_for(lock, kShutdownGrace, [this] { return done_; })) return;
      sessions.CancelRunningStatements();
      if (changed_.wait_for(lock, kShutdownBound - kShutdownGrace, [this] { return done_; })) {
        return;
      }
      err << "tillbase-server: calls still running after " << kShutdownBound.count()
          << " seconds; ending without them" << std::endl;
      std::_Exit(1);
    });
  }
  ~ShutdownBound() {
    {
      std::lock_guard lock(mutex_);
      done_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace

std::string SingleInstanceMessage() {
  return "KeppaPOS服务程序已经启动,\r\n不能在本机器上再次运行。";
}

int RunServerProcess(const std::vector<std::string>& args, const std::string& executable_path,
                     std::ostream& out, std::ostream& err) {
  // 1. The start mode, before anything else.
  CommandLine cl;
  try {
    cl = ParseCommandLine(args);
  } catch (const UsageError& e) {
    err << "tillbase-server: " << e.what() << "\n" << UsageText();
    return 2;
  }
  if (cl.help) {
    out << UsageText();
    return 0;
  }
  const int activation_fd = TakeActivationSocket();

  std::string home;
  try {
    home = config::ResolveHome(cl.home, std::getenv("TILLBASE_HOME"), executable_path);
  } catch (const std::exception& e) {
    err << "tillbase-server: " << e.what() << "\n";
    return 2;
  }
  config::SetProgramDir(home);

  // 2. The class factory and the state every session shares; not yet
  // reachable by clients.
  MainLoop loop;
  session::SessionServer::Options server_options;
  server_options.home = home;
  server_options.load_settings = [home] { return LoadConnectSettings(home); };
  session::SessionServer sessions(std::move(server_options));
  const bool automation = cl.mode == StartMode::kAutomation;
  session::SessionFactory factory(sessions, [&loop, automation] {
    // Started for clients: the last release ends the process.
    if (automation) loop.Stop();
  });

  // 3, 5, 6. One server per machine. (4: dates are written with "-" by the
  // formatting routines themselves, whatever the locale.)
  std::optional<process::NamedLock> instance;
  try {
    instance = process::NamedLock::TryAcquire(kSingleInstanceLock);
  } catch (const std::exception& e) {
    err << "tillbase-server: " << e.what() << "\n";
    return 1;
  }
  if (!instance) {
    err << kApplicationTitle << ": " << SingleInstanceMessage() << std::endl;
    return 0;
  }

  // 7a, 7b. The registration.
  RegistrationTarget target{executable_path, ListenText(cl.listen_address, cl.port),
                            cl.home ? std::filesystem::path(home) : std::filesystem::path()};
  if (cl.mode == StartMode::kRegister || cl.mode == StartMode::kUnregister) {
    try {
      RegistrationPaths paths = DefaultRegistrationPaths();
      if (cl.mode == StartMode::kRegister) {
        RegisterServer(paths, target);
        out << "registered " << paths.class_file.string() << ", " << paths.socket_unit.string()
            << ", " << paths.service_unit.string() << "\n";
      } else {
        UnregisterServer(paths);
        out << "unregistered\n";
      }
    } catch (const std::exception& e) {
      if (cl.mode == StartMode::kRegister) {
        err << "tillbase-server: " << e.what() << "\n";
        return 1;
      }
      // Unregistering what cannot be removed changes nothing for anyone.
    }
    return 0;
  }

  // 7c. Clients can reach the class from here on.
  rpc::ServerOptions rpc_options;
  rpc_options.address = cl.listen_address;
  rpc_options.port = cl.port;
  rpc_options.listen_fd = activation_fd;
  rpc_options.lease = std::chrono::seconds(cl.lease_seconds);
  rpc_options.tls_certificate_file = cl.tls_certificate_file;
  rpc_options.tls_private_key_file = cl.tls_private_key_file;
  rpc_options.tls_client_ca_file = cl.tls_client_ca_file;
  std::unique_ptr<rpc::HttpServer> http;
  try {
    rpc_options.access_key = ReadAccessKey(cl);
    http = std::make_unique<rpc::HttpServer>(rpc_options, factory);
  } catch (const std::exception& e) {
    err << "tillbase-server: " << e.what() << "\n";
    return 1;
  }
  try {
    // Every serving start refreshes the registration with the address
    // actually listened on; a failure does not stop the start.
    target.listen = ListenText(http->address(), http->port());
    RegisterServer(DefaultRegistrationPaths(), target);
  } catch (const std::exception&) {
  }
  loop.OnTerminationSignal([&loop](int) { loop.Stop(); });
  http->Start();

  // 8, 9. The main window, hidden; from now on sessions notify it.
  MainWindow window(DefaultClock(), {});
  window.Create(home);
  WindowLink link(loop, window);
  sessions.SetMainWindow(&link);

  out << "tillbase-server " << StartModeName(cl.mode) << ": listening on "
      << (rpc_options.TlsConfigured() ? "https://" : "http://")
      << ListenText(http->address(), http->port()) << " (home " << home << ")" << std::endl;

  // 10. Until told to end.
  loop.Run();

  // The end: clients can no longer reach the server, their objects are
  // released, the companion stops, and the instance lock goes last.
  {
    ShutdownBound bound(sessions, err);
    http->Stop();
    sessions.SetMainWindow(nullptr);
    sessions.companion().Stop();
  }
  http.reset();
  instance.reset();
  return 0;
}

}  // namespace tillbase::host

// The server-wide state that every session object shares: the client table,
// the companion program, the way to the main window and where the
// connection settings come from. One per process; the host makes it before
// the first session object can be created.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "db/driver_settings.h"
#include "server/session/client_table.h"
#include "server/session/companion.h"
#include "server/session/main_window_link.h"
#include "shared/ole_date.h"

namespace tillbase::session {

// What ConnectDB binds a session to, read anew at every ConnectDB so that a
// changed setting affects the next connection, not the open ones.
struct ConnectSettings {
  std::string server_name;       // DBServerName
  std::string login_name;        // LoginName
  std::string password;          // DBPassword
  std::string windows_security;  // WindowsSecurity, as written
  db::DriverSettings driver;     // which database driver (a setting of the home)
};

class TCoTillbaseServer;

class SessionServer {
 public:
  struct Options {
    std::filesystem::path home;
    const Clock* clock = nullptr;  // the client table's clock; the system's when null
    Companion::Options companion;  // its home defaults to `home`
    // Throws with the configuration's message when the settings cannot be read.
    std::function<ConnectSettings()> load_settings;
    // The machine's own IPv4 addresses; HostIpv4Addresses when empty.
    std::function<std::vector<std::string>()> host_addresses;
  };

  explicit SessionServer(Options options);
  SessionServer(const SessionServer&) = delete;
  SessionServer& operator=(const SessionServer&) = delete;

  const std::filesystem::path& home() const { return options_.home; }
  ClientTable& client_table() { return client_table_; }
  Companion& companion() { return companion_; }

  // Null until the main window exists; sessions created before then send
  // no notifications.
  void SetMainWindow(MainWindowLink* window) { main_window_.store(window); }
  MainWindowLink* main_window() const { return main_window_.load(); }

  // Every live session registers itself, so that the end of the process
  // can interrupt statements that would otherwise keep it waiting.
  void AddSession(TCoTillbaseServer* session);
  void RemoveSession(TCoTillbaseServer* session);
  // Interrupts the statement each live session runs now (any thread).
  void CancelRunningStatements();

  ConnectSettings LoadSettings() const;
  std::vector<std::string> HostAddresses() const;

 private:
  Options options_;
  ClientTable client_table_;
  Companion companion_;
  std::atomic<MainWindowLink*> main_window_{nullptr};
  std::mutex sessions_mutex_;
  std::set<TCoTillbaseServer*> sessions_;
};

}  // namespace tillbase::session

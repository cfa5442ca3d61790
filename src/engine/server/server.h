// The server level of the embedded engine: the databases of a data
// directory, the logins kept in master, and the registry of live sessions.
// One Server exists per Engine and is shared by all its connections.
//
// Lock order (never take an earlier lock while holding a later one):
//   1. Server::mutex_ (registry of databases, logins, sessions)
//   2. SessionEntry::guard_ (one session's pointer and descriptive fields)
// SQLite's own locks are taken only while holding none of them, except for
// the server's private master handle, which is used under mutex_ alone.
#pragma once

#include <sqlite3.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"

namespace tillbase::engine::core {
class Session;
struct EngineShared;
}  // namespace tillbase::engine::core

namespace tillbase::engine::server {

struct DatabaseInfo {
  std::string name;  // as created
  int dbid = 0;
  std::string filename;
  std::string crdate;        // "yyyy-mm-dd hh:mm:ss.000"
  std::string data_logical;  // logical name of the data file
  std::string log_logical;   // logical name of the log file
};

// What sp_who shows of one session.
struct SessionInfo {
  int spid = 0;
  std::string login, host, program, database, status, command;
  bool open = true;  // the session's storage is still open
};

// What a call of the owning connection is, for sp_who's "cmd".
enum class CallKind { kBatch, kProcedure, kDescribe };

// What sp_who shows a batch doing: its first words ("SELECT", "EXECUTE",
// "CREATE DATABASE").
std::string CommandOf(std::string_view sql);

// One live connection in the registry. The owning connection brackets every
// call with Enter/Leave; KILL reaches the session through Kill().
class SessionEntry {
 public:
  SessionEntry(int spid, std::string login, std::string host, std::string program,
               core::Session* session);

  int spid() const { return spid_; }
  const std::string& login() const { return login_; }
  bool killed() const { return killed_.load(); }

  // What the owner is running, for sp_who. It lives in the owner's frame
  // from Enter to Leave, and so does the batch text it points into: sp_who
  // reads the first words only when asked, so that a call costs no string
  // work.
  struct RunningCall {
    CallKind kind = CallKind::kBatch;
    std::string_view batch;
  };

  // Around each call of the owning thread. Enter throws 596 once killed.
  void Enter(const RunningCall* call);
  void Leave();
  // The connection goes away; KILL no longer reaches it.
  void Detach();

  // Marks the session killed, interrupts its statement, and ends its
  // connection (rolling back what it had open) as soon as it is idle.
  void Kill();

  SessionInfo Info() const;
  void SetDatabase(const std::string& name);
  // Called (with no lock of the entry held) once its storage has closed.
  void OnClose(std::function<void()> f) { on_close_ = std::move(f); }

 private:
  void CloseIfIdle();
  // Closes the session's storage; guard_ must be held. True when it was open.
  bool CloseLocked();
  void Closed();

  const int spid_;
  const std::string login_, host_, program_;
  std::atomic<bool> killed_{false};
  std::mutex run_;  // held by the owner during a call
  mutable std::mutex guard_;
  // Written under guard_ (and run_, by Detach); the owner reads it during
  // its call without guard_, since run_ keeps Detach out.
  core::Session* session_;  // null once detached
  // Written by the owner only (under guard_), so the owner reads it freely.
  std::string database_;
  // The owner's running call, or null. Info() reads it under guard_ and
  // counts itself in readers_ while it does; Leave clears it and, when a
  // reader may still be looking at the call, waits for guard_ before the
  // caller's text may go. A call so costs no lock of guard_.
  std::atomic<const RunningCall*> call_{nullptr};
  mutable std::atomic<int> readers_{0};
  bool open_ = true;  // guarded by guard_
  std::function<void()> on_close_;
};

class Server {
 public:
  // Opens the registry in master (which the caller has initialised).
  Server(core::EngineShared* shared, const EngineOptions& options);
  ~Server();
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  const std::string& server_name() const { return server_name_; }
  const std::string& machine_name() const { return machine_name_; }
  const std::string& data_dir() const { return data_dir_; }

  // ---- databases ----
  std::optional<DatabaseInfo> FindDatabase(std::string_view name);
  std::optional<DatabaseInfo> FindDatabase(int dbid);
  std::vector<DatabaseInfo> Databases();
  // The file of a database that may be opened; empty when there is none.
  // Throws 927 while the database is being restored.
  std::string OpenablePath(std::string_view name);
  // The file a new database of that name gets by default.
  std::string DefaultPath(std::string_view name) const;
  // Creates the database file and registers it (1801, 5170 on conflicts).
  DatabaseInfo CreateDatabase(const std::string& name, const std::string& filename,
                              const std::string& data_logical, const std::string& log_logical);
  void DropDatabase(const std::string& name, int own_spid);

  // Exclusive use of a database for a restore: no session may be in it and
  // none may open it until EndRestore. Throws 3101 when it is in use.
  void BeginRestore(const std::string& name);
  void EndRestore(const std::string& name);
  // Registers (or updates) a database whose file was put in place.
  void RegisterDatabase(const DatabaseInfo& info);
  // A connection to `name` is being opened (until it is registered): a
  // restore counts it as a user of the database.
  void BeginOpen(const std::string& name);
  void EndOpen(const std::string& name);
  // A session is about to USE a database: 911 when there is none. The
  // session counts as in that database from now on, so that a restore
  // never replaces a file that it is opening, and as in `leaving` until
  // AfterUse, since that file stays open until the switch is done.
  void BeforeUse(int spid, const std::string& name, const std::string& leaving);
  // The switch is over: `current` is the session's database now (`left`
  // when it failed).
  void AfterUse(int spid, const std::string& current, const std::string& left);
  // A session attaches another database to its storage: 911 when there is
  // none, 927 while it is being restored. The database counts as in use by
  // that session (DROP and RESTORE are refused) until DetachFrom.
  DatabaseInfo AttachTo(int spid, std::string_view name);
  void DetachFrom(int spid, std::string_view name);
  // Sessions whose current database is `name`, other than `except_spid`.
  bool InUse(std::string_view name, int except_spid);
  // Forgets identity counters cached for a database file.
  void ForgetFile(const std::string& filename);

  // ---- logins ----
  // Checks a login; returns the login name the session runs under.
  // Throws 18456 on failure.
  std::string Authenticate(const ConnectOptions& options);
  void CreateLogin(const std::string& name, const std::string& password,
                   const std::string& default_db);
  void AlterLoginPassword(const std::string& name, const std::string& password);
  void DropLogin(const std::string& name);
  std::string DefaultDatabase(const std::string& login);

  // ---- sessions ----
  std::shared_ptr<SessionEntry> Register(int spid, const std::string& login,
                                         const ConnectOptions& options, core::Session* session);
  void Unregister(int spid);
  std::vector<SessionInfo> Sessions();
  // KILL: 6104 for one's own spid, 6106 for an unknown one, 6107 for system ones.
  void Kill(int spid, int own_spid);

  // The operating-system user the engine runs as (the trusted login).
  static std::string OsUserName();

 private:
  void InitMaster();
  DatabaseInfo ReadRow(sqlite3_stmt* st);
  std::optional<DatabaseInfo> FindDatabaseLocked(std::string_view name);
  // Whether a session other than killed ones holds `lname` (lower case):
  // 0 none, 1 only killed sessions whose storage is still open, 2 in use.
  int UseStateLocked(const std::string& lname);

  core::EngineShared* shared_;
  std::string data_dir_, server_name_, machine_name_;
  std::mutex mutex_;
  sqlite3* master_ = nullptr;  // guarded by mutex_
  std::map<int, std::shared_ptr<SessionEntry>> sessions_;
  std::map<std::string, bool> restoring_;             // lower-case names
  std::map<std::string, int> opening_;                // lower-case names: connections being opened
  std::map<int, std::vector<std::string>> attached_;  // spid: lower-case names it has attached
  std::condition_variable closed_;                    // a session's storage closed (with mutex_)
};

std::string Lower(std::string_view s);

}  // namespace tillbase::engine::server

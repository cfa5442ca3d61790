#include "engine/server/server.h"

#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <ctime>
#include <filesystem>

#include "engine/core/catalog.h"
#include "engine/core/session.h"
#include "engine/core/sqlite_util.h"
#include "engine/errors.h"
#include "engine/server/access.h"
#include "engine/server/passwords.h"

namespace tillbase::engine::server {

namespace fs = std::filesystem;
using core::ExecSql;
using core::Stmt;

std::string Lower(std::string_view s) {
  // ASCII only, whatever the process's locale: names are UTF-8, whose
  // multi-byte sequences a locale's single-byte table would corrupt.
  std::string r(s);
  for (char& c : r) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return r;
}

std::string CommandOf(std::string_view sql) {
  std::string words;
  int count = 0;
  size_t i = 0;
  while (i < sql.size() && count < 2) {
    while (i < sql.size() && std::isspace(static_cast<unsigned char>(sql[i]))) ++i;
    size_t start = i;
    while (i < sql.size() && std::isalpha(static_cast<unsigned char>(sql[i]))) ++i;
    if (i == start) break;
    std::string w(sql.substr(start, i - start));
    for (char& c : w) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (count == 0 && (w == "EXEC" || w == "EXECUTE")) return "EXECUTE";
    words += (count ? " " : "") + w;
    ++count;
    if (w != "BACKUP" && w != "RESTORE" && w != "CREATE" && w != "DROP" && w != "ALTER") break;
  }
  if (words.empty()) return "SELECT";
  return words.substr(0, 16);
}

namespace {

constexpr int kFirstUserDbid = 5;

std::string Now() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S.000", &tm);
  return buf;
}

// A system view recorded in the catalogue the way the core records its own,
// so that queries see typed columns. The body names its tables unqualified,
// so that the view also works where master is attached to another database.
void AddView(sqlite3* db, const std::string& name, const std::string& select,
             const std::vector<std::pair<const char*, const char*>>& columns) {
  {
    Stmt find(db, "SELECT id FROM main.__tb_objects WHERE name = ?1");
    find.Bind(1, name);
    if (find.Step()) return;
  }
  ExecSql(db, "CREATE VIEW IF NOT EXISTS main." + core::QuoteIdent(name) + " AS " + select);
  Stmt add(db,
           "INSERT INTO main.__tb_objects(id, name, type, crdate) VALUES ((SELECT "
           "COALESCE(MAX(id), 1000) + 1 FROM main.__tb_objects WHERE id < 100000), ?1, 'S', ?2)");
  add.Bind(1, name).Bind(2, Now());
  add.Step();
  int64_t id = sqlite3_last_insert_rowid(db);
  Stmt col(db,
           "INSERT INTO main.__tb_columns(object_id, ordinal, name, type, nullable, is_identity, "
           "seed, increment, default_sql, is_key) VALUES (?1, ?2, ?3, ?4, 1, 0, 1, 1, '', 0)");
  int ordinal = 0;
  for (const auto& [cname, ctype] : columns) {
    col.Reset();
    col.Bind(1, id).Bind(2, static_cast<int64_t>(++ordinal)).Bind(3, std::string_view(cname));
    col.Bind(4, std::string_view(ctype));
    col.Step();
  }
}

EngineError LoginFailed(const std::string& login) {
  return MakeError(18456, 14, 1, "Login failed for user '" + login + "'.");
}

// Creates an empty database file with the catalogue and its logical file
// names; nothing is left behind when that fails.
void CreateDatabaseFile(const std::string& path, const std::string& data_logical,
                        const std::string& log_logical) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(
      path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  try {
    if (rc != SQLITE_OK) throw core::SqliteError(db, rc);
    ExecSql(db, "PRAGMA journal_mode=WAL");
    ExecSql(db, "BEGIN IMMEDIATE");
    core::Catalog::Initialize(db, "main");
    ExecSql(db,
            "CREATE TABLE IF NOT EXISTS main.__tb_files(file_id INTEGER PRIMARY KEY, "
            "logical_name TEXT NOT NULL, type TEXT NOT NULL)");
    Stmt ins(db, "INSERT INTO main.__tb_files(file_id, logical_name, type) VALUES (?1, ?2, ?3)");
    ins.Bind(1, int64_t{1}).Bind(2, data_logical).Bind(3, std::string_view("D"));
    ins.Step();
    ins.Reset();
    ins.Bind(1, int64_t{2}).Bind(2, log_logical).Bind(3, std::string_view("L"));
    ins.Step();
    ExecSql(db, "COMMIT");
    sqlite3_close_v2(db);
  } catch (...) {
    if (db) sqlite3_close_v2(db);
    std::error_code ec;
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path + suffix, ec);
    throw;
  }
}

}  // namespace

// ---- sessions -------------------------------------------------------------------

SessionEntry::SessionEntry(int spid, std::string login, std::string host, std::string program,
                           core::Session* session)
    : spid_(spid),
      login_(std::move(login)),
      host_(std::move(host)),
      program_(std::move(program)),
      session_(session) {
  if (session_) database_ = Access::Database(*session_);
}

bool SessionEntry::CloseLocked() {
  if (!open_) return false;
  if (session_) Access::Close(*session_);
  open_ = false;
  return true;
}

void SessionEntry::Closed() {
  if (on_close_) on_close_();
}

void SessionEntry::Enter(const RunningCall* call) {
  run_.lock();
  if (killed_.load()) {
    bool closed;
    {
      std::lock_guard<std::mutex> g(guard_);
      closed = CloseLocked();
    }
    run_.unlock();
    if (closed) Closed();
    throw MakeError(596, 21, 1,
                    "Cannot continue the execution because the session is in the kill state.");
  }
  // Published for Info(), which reads *call under guard_ after loading it.
  call_.store(call, std::memory_order_release);
}

void SessionEntry::Leave() {
  // Sequentially consistent with Info(): either it counted itself in
  // readers_ before this store (and is waited for), or it finds no call.
  call_.store(nullptr);
  if (readers_.load() != 0) {
    std::lock_guard<std::mutex> wait(guard_);  // held by the reader until it is done
  }
  if (session_ != nullptr && Access::IsOpen(*session_)) {
    const std::string& db = Access::DatabaseRef(*session_);
    if (db != database_) {
      std::lock_guard<std::mutex> g(guard_);
      database_ = db;
    }
  }
  const bool killed = killed_.load();
  bool closed = false;
  if (killed) {
    std::lock_guard<std::mutex> g(guard_);
    closed = CloseLocked();
  }
  run_.unlock();
  if (closed) Closed();
  // A KILL that found this session busy left the closing to it; one that
  // came after the check above finds it idle.
  if (!killed && killed_.load()) CloseIfIdle();
}

void SessionEntry::Detach() {
  bool was_open;
  {
    std::lock_guard<std::mutex> r(run_);
    std::lock_guard<std::mutex> g(guard_);
    // The storage closes before the session stops counting as a user of
    // its databases: a restore waiting for them must not replace a file
    // this connection still has open.
    was_open = CloseLocked();
    session_ = nullptr;
  }
  if (was_open) Closed();
}

void SessionEntry::Kill() {
  killed_.store(true);
  {
    std::lock_guard<std::mutex> g(guard_);
    if (session_) Access::Cancel(*session_);
  }
  CloseIfIdle();
}

void SessionEntry::CloseIfIdle() {
  if (!run_.try_lock()) return;
  bool closed;
  {
    std::lock_guard<std::mutex> g(guard_);
    closed = CloseLocked();
  }
  run_.unlock();
  if (closed) Closed();
}

void SessionEntry::SetDatabase(const std::string& name) {
  std::lock_guard<std::mutex> g(guard_);
  database_ = name;
}

SessionInfo SessionEntry::Info() const {
  std::lock_guard<std::mutex> g(guard_);
  SessionInfo i;
  i.spid = spid_;
  i.login = login_;
  i.host = host_;
  i.program = program_;
  i.database = database_;
  i.open = open_;
  readers_.fetch_add(1);
  struct Done {
    std::atomic<int>& readers;
    ~Done() { readers.fetch_sub(1); }
  } done{readers_};
  const RunningCall* call = call_.load();
  if (killed_.load()) {
    i.status = "killed";
    i.command = "KILLED/ROLLBACK";
  } else if (call == nullptr) {
    i.status = "sleeping";
    i.command = "AWAITING COMMAND";
  } else {
    i.status = "runnable";
    i.command = call->kind == CallKind::kProcedure  ? "EXECUTE"
                : call->kind == CallKind::kDescribe ? "SELECT"
                                                    : CommandOf(call->batch);
  }
  return i;
}

// ---- the server -------------------------------------------------------------------

Server::Server(core::EngineShared* shared, const EngineOptions& options)
    : shared_(shared), data_dir_(options.data_dir), server_name_(shared->server_name) {
  char host[256] = {0};
  gethostname(host, sizeof host - 1);
  machine_name_ = host;
  std::string path = (fs::path(data_dir_) / "master.sqlite").string();
  int rc =
      sqlite3_open_v2(path.c_str(), &master_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    EngineError e = core::SqliteError(master_, rc);
    sqlite3_close_v2(master_);
    throw e;
  }
  sqlite3_busy_timeout(master_, 10000);
  try {
    InitMaster();
    std::string sa_hash = HashPassword(options.sa_password);
    Stmt sa(master_,
            "INSERT OR IGNORE INTO main.__tb_logins(name, password_hash, default_db, createdate) "
            "VALUES ('sa', ?1, 'master', ?2)");
    sa.Bind(1, sa_hash).Bind(2, Now());
    sa.Step();
    // tempdb is an ordinary database that always exists.
    if (!FindDatabase("tempdb") || !fs::exists(DefaultPath("tempdb"))) {
      std::string tpath = DefaultPath("tempdb");
      if (!fs::exists(tpath)) CreateDatabaseFile(tpath, "tempdev", "templog");
      RegisterDatabase({"tempdb", 2, tpath, Now(), "tempdev", "templog"});
    }
  } catch (...) {
    sqlite3_close_v2(master_);
    throw;
  }
}

Server::~Server() {
  if (master_) sqlite3_close_v2(master_);
}

void Server::InitMaster() {
  ExecSql(master_, "BEGIN IMMEDIATE");
  try {
    ExecSql(master_,
            "CREATE TABLE IF NOT EXISTS main.__tb_databases(dbid INTEGER PRIMARY KEY, name TEXT "
            "NOT NULL UNIQUE COLLATE NOCASE, filename TEXT NOT NULL, crdate TEXT NOT NULL, "
            "data_name TEXT NOT NULL, log_name TEXT NOT NULL);"
            "CREATE TABLE IF NOT EXISTS main.__tb_logins(name TEXT PRIMARY KEY COLLATE NOCASE, "
            "password_hash TEXT NOT NULL, default_db TEXT NOT NULL, createdate TEXT NOT NULL);");
    Stmt m(master_,
           "INSERT OR IGNORE INTO main.__tb_databases(dbid, name, filename, crdate, data_name, "
           "log_name) VALUES (1, 'master', ?1, ?2, 'master', 'mastlog')");
    m.Bind(1, (fs::path(data_dir_) / "master.sqlite").string()).Bind(2, Now());
    m.Step();
    AddView(master_, "sysdatabases",
            "SELECT name, dbid, NULL AS sid, 0 AS mode, 16 AS status, 1090519040 AS status2, "
            "crdate, crdate AS reserved, 0 AS category, 80 AS cmptlevel, filename, 539 AS version "
            "FROM __tb_databases",
            {{"name", "nvarchar(128)"},
             {"dbid", "smallint"},
             {"sid", "varbinary(85)"},
             {"mode", "smallint"},
             {"status", "int"},
             {"status2", "int"},
             {"crdate", "datetime"},
             {"reserved", "datetime"},
             {"category", "int"},
             {"cmptlevel", "tinyint"},
             {"filename", "nvarchar(260)"},
             {"version", "smallint"}});
    AddView(master_, "syslogins",
            "SELECT name, name AS loginname, default_db AS dbname, createdate, "
            "createdate AS updatedate, 'us_english' AS language, 0 AS isntname FROM "
            "__tb_logins",
            {{"name", "nvarchar(128)"},
             {"loginname", "nvarchar(128)"},
             {"dbname", "nvarchar(128)"},
             {"createdate", "datetime"},
             {"updatedate", "datetime"},
             {"language", "nvarchar(128)"},
             {"isntname", "int"}});
    ExecSql(master_, "COMMIT");
  } catch (...) {
    sqlite3_exec(master_, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

DatabaseInfo Server::ReadRow(sqlite3_stmt* st) {
  DatabaseInfo d;
  d.dbid = sqlite3_column_int(st, 0);
  auto text = [&](int i) {
    const unsigned char* p = sqlite3_column_text(st, i);
    return p ? std::string(reinterpret_cast<const char*>(p)) : std::string();
  };
  d.name = text(1);
  d.filename = text(2);
  d.crdate = text(3);
  d.data_logical = text(4);
  d.log_logical = text(5);
  return d;
}

std::optional<DatabaseInfo> Server::FindDatabase(std::string_view name) {
  std::lock_guard<std::mutex> lock(mutex_);
  return FindDatabaseLocked(name);
}

std::optional<DatabaseInfo> Server::FindDatabaseLocked(std::string_view name) {
  Stmt q(master_,
         "SELECT dbid, name, filename, crdate, data_name, log_name FROM main.__tb_databases "
         "WHERE name = ?1");
  q.Bind(1, name);
  if (!q.Step()) return std::nullopt;
  return ReadRow(q.get());
}

std::optional<DatabaseInfo> Server::FindDatabase(int dbid) {
  std::lock_guard<std::mutex> lock(mutex_);
  Stmt q(master_,
         "SELECT dbid, name, filename, crdate, data_name, log_name FROM main.__tb_databases "
         "WHERE dbid = ?1");
  q.Bind(1, static_cast<int64_t>(dbid));
  if (!q.Step()) return std::nullopt;
  return ReadRow(q.get());
}

std::vector<DatabaseInfo> Server::Databases() {
  std::lock_guard<std::mutex> lock(mutex_);
  Stmt q(master_,
         "SELECT dbid, name, filename, crdate, data_name, log_name FROM main.__tb_databases "
         "ORDER BY dbid");
  std::vector<DatabaseInfo> out;
  while (q.Step()) out.push_back(ReadRow(q.get()));
  return out;
}

std::string Server::DefaultPath(std::string_view name) const {
  return (fs::path(data_dir_) / (Lower(name) + ".sqlite")).string();
}

std::string Server::OpenablePath(std::string_view name) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (restoring_.count(Lower(name))) {
      throw MakeError(927, 14, 2,
                      "Database '" + std::string(name) +
                          "' cannot be opened. It is in the middle of a restore.");
    }
  }
  auto d = FindDatabase(name);
  return d ? d->filename : std::string();
}

DatabaseInfo Server::CreateDatabase(const std::string& name, const std::string& filename,
                                    const std::string& data_logical,
                                    const std::string& log_logical) {
  if (name.empty() || name.size() > 128) {
    throw MakeError(1801, 16, 3, "The database name '" + name + "' is not valid.");
  }
  if (FindDatabase(name)) {
    throw MakeError(1801, 16, 3,
                    "Database '" + name + "' already exists. Choose a different database name.");
  }
  std::string path = filename.empty() ? DefaultPath(name) : filename;
  if (fs::exists(path)) {
    throw MakeError(5170, 16, 1,
                    "Cannot create file '" + path +
                        "' because it already exists. Change the file path or the file name, "
                        "and retry the operation.");
  }
  std::error_code ec;
  if (!fs::is_directory(fs::path(path).parent_path(), ec)) {
    throw MakeError(5133, 16, 1,
                    "Directory lookup for the file \"" + path +
                        "\" failed with the operating system error 2(The system cannot find "
                        "the file specified.).");
  }
  DatabaseInfo d;
  d.name = name;
  d.filename = path;
  d.crdate = Now();
  d.data_logical = data_logical.empty() ? name : data_logical;
  d.log_logical = log_logical.empty() ? name + "_log" : log_logical;
  CreateDatabaseFile(path, d.data_logical, d.log_logical);
  try {
    RegisterDatabase(d);
  } catch (...) {
    for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path + suffix, ec);
    throw;
  }
  return *FindDatabase(name);
}

void Server::RegisterDatabase(const DatabaseInfo& info) {
  std::lock_guard<std::mutex> lock(mutex_);
  Stmt up(master_,
          "UPDATE main.__tb_databases SET filename = ?2, data_name = ?3, log_name = ?4 WHERE "
          "name = ?1");
  up.Bind(1, info.name).Bind(2, info.filename).Bind(3, info.data_logical).Bind(4, info.log_logical);
  up.Step();
  if (sqlite3_changes(master_) > 0) return;
  Stmt ins(master_,
           "INSERT INTO main.__tb_databases(dbid, name, filename, crdate, data_name, log_name) "
           "VALUES (CASE WHEN ?6 > 0 THEN ?6 ELSE (SELECT MAX(" +
               std::to_string(kFirstUserDbid - 1) +
               ", COALESCE(MAX(dbid), 0)) + 1 FROM main.__tb_databases) END, ?1, ?2, ?5, ?3, ?4)");
  ins.Bind(1, info.name)
      .Bind(2, info.filename)
      .Bind(3, info.data_logical)
      .Bind(4, info.log_logical);
  ins.Bind(5, info.crdate.empty() ? Now() : info.crdate).Bind(6, static_cast<int64_t>(info.dbid));
  ins.Step();
}

void Server::BeginOpen(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++opening_[Lower(name)];
}

void Server::EndOpen(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = opening_.find(Lower(name));
  if (it != opening_.end() && --it->second <= 0) opening_.erase(it);
}

void Server::BeforeUse(int spid, const std::string& name, const std::string& leaving) {
  auto d = FindDatabase(name);
  if (!d) {
    throw MakeError(911, 16, 1,
                    "Database '" + name +
                        "' does not exist. Make sure that the name is entered "
                        "correctly.");
  }
  std::shared_ptr<SessionEntry> e;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(spid);
    if (it != sessions_.end()) e = it->second;
    // The file being left stays open until the new one is ready; it counts
    // as attached until AfterUse.
    std::vector<std::string>& names = attached_[spid];
    std::string lleaving = Lower(leaving);
    if (std::find(names.begin(), names.end(), lleaving) == names.end()) names.push_back(lleaving);
  }
  if (e) e->SetDatabase(d->name);
}

void Server::AfterUse(int spid, const std::string& current, const std::string& left) {
  std::shared_ptr<SessionEntry> e;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(spid);
    if (it != sessions_.end()) e = it->second;
  }
  // After a failed USE the session is still in the database it meant to
  // leave.
  if (e && Lower(current) == Lower(left)) e->SetDatabase(current);
  DetachFrom(spid, left);
}

DatabaseInfo Server::AttachTo(int spid, std::string_view name) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string lname = Lower(name);
  if (restoring_.count(lname)) {
    throw MakeError(
        927, 14, 2,
        "Database '" + std::string(name) + "' cannot be opened. It is in the middle of a restore.");
  }
  auto d = FindDatabaseLocked(name);
  if (!d) {
    throw MakeError(911, 16, 1,
                    "Database '" + std::string(name) +
                        "' does not exist. Make sure that the name is entered correctly.");
  }
  std::vector<std::string>& names = attached_[spid];
  if (std::find(names.begin(), names.end(), lname) == names.end()) names.push_back(lname);
  return *d;
}

void Server::DetachFrom(int spid, std::string_view name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = attached_.find(spid);
  if (it == attached_.end()) return;
  std::vector<std::string>& names = it->second;
  names.erase(std::remove(names.begin(), names.end(), Lower(name)), names.end());
  if (names.empty()) attached_.erase(it);
}

int Server::UseStateLocked(const std::string& lname) {
  if (opening_.count(lname)) return 2;
  int s = 0;
  for (auto& [spid, e] : sessions_) {
    SessionInfo i = e->Info();
    if (!i.open) continue;
    bool uses = Lower(i.database) == lname;
    if (!uses) {
      auto a = attached_.find(spid);
      uses = a != attached_.end() &&
             std::find(a->second.begin(), a->second.end(), lname) != a->second.end();
    }
    if (!uses) continue;
    if (!e->killed()) return 2;
    s = 1;
  }
  return s;
}

bool Server::InUse(std::string_view name, int except_spid) {
  std::vector<std::shared_ptr<SessionEntry>> entries;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [spid, e] : sessions_) entries.push_back(e);
  }
  std::string lname = Lower(name);
  for (auto& e : entries) {
    if (e->spid() == except_spid) continue;
    SessionInfo i = e->Info();
    if (Lower(i.database) == lname && i.open) return true;
  }
  return false;
}

void Server::DropDatabase(const std::string& name, int own_spid) {
  std::string lname = Lower(name);
  if (lname == "master" || lname == "tempdb" || lname == "model" || lname == "msdb") {
    throw MakeError(3708, 16, 1,
                    "Cannot drop the database '" + name + "' because it is a system database.");
  }
  auto d = FindDatabase(name);
  if (!d) {
    throw MakeError(3701, 11, 1,
                    "Cannot drop the database '" + name +
                        "', because it does not exist or you do not have permission.");
  }
  try {
    BeginRestore(d->name);  // the same exclusive claim a restore takes
  } catch (const EngineError&) {
    throw MakeError(3702, 16, 4,
                    "Cannot drop database \"" + d->name + "\" because it is currently in use.");
  }
  struct Release {
    Server* s;
    std::string n;
    ~Release() { s->EndRestore(n); }
  } release{this, d->name};
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt del(master_, "DELETE FROM main.__tb_databases WHERE dbid = ?1");
    del.Bind(1, static_cast<int64_t>(d->dbid));
    del.Step();
  }
  std::error_code ec;
  for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(d->filename + suffix, ec);
  ForgetFile(d->filename);
  (void)own_spid;
}

void Server::BeginRestore(const std::string& name) {
  std::string lname = Lower(name);
  auto in_use = MakeError(3101, 16, 1,
                          "Exclusive access could not be obtained because the database is in use.");
  std::unique_lock<std::mutex> lock(mutex_);
  if (restoring_.count(lname)) throw in_use;
  auto state = [&] { return UseStateLocked(lname); };
  // A KILL just before (what the maintenance helper does) leaves a busy
  // victim to finish its interrupted statement; the file must not be
  // replaced under its open handle, so wait for it to close.
  closed_.wait_for(lock, std::chrono::seconds(30), [&] { return state() != 1; });
  if (state() != 0) throw in_use;
  restoring_[lname] = true;
}

void Server::EndRestore(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  restoring_.erase(Lower(name));
}

void Server::ForgetFile(const std::string& filename) {
  std::string prefix = filename + "|";
  std::lock_guard<std::mutex> lock(shared_->identity_mutex);
  for (auto it = shared_->identities.begin(); it != shared_->identities.end();) {
    if (it->first.compare(0, prefix.size(), prefix) == 0) {
      it = shared_->identities.erase(it);
    } else {
      ++it;
    }
  }
  shared_->schema_version.fetch_add(1);
}

// ---- logins ---------------------------------------------------------------------

std::string Server::OsUserName() {
  struct passwd pw {};
  struct passwd* found = nullptr;
  char buf[4096];
  if (getpwuid_r(geteuid(), &pw, buf, sizeof buf, &found) == 0 && found) return found->pw_name;
  return "uid" + std::to_string(geteuid());
}

std::string Server::Authenticate(const ConnectOptions& options) {
  if (options.trusted) return OsUserName();
  std::string hash, name;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Stmt q(master_, "SELECT password_hash, name FROM main.__tb_logins WHERE name = ?1");
    q.Bind(1, options.login);
    if (q.Step()) {
      hash = q.Text(0);
      name = q.Text(1);
    }
  }
  if (hash.empty() || !VerifyPassword(options.password, hash)) throw LoginFailed(options.login);
  return name;
}

void Server::CreateLogin(const std::string& name, const std::string& password,
                         const std::string& default_db) {
  if (name.empty() || name.size() > 128 || name.find('\\') != std::string::npos) {
    throw MakeError(15006, 16, 1,
                    "'" + name + "' is not a valid name because it contains invalid characters.");
  }
  if (!default_db.empty() && !FindDatabase(default_db)) {
    throw MakeError(15010, 16, 1,
                    "The database '" + default_db +
                        "' does not exist. Supply a valid database name. To see available "
                        "databases, use sys.databases.");
  }
  std::string hash = HashPassword(password);
  std::lock_guard<std::mutex> lock(mutex_);
  Stmt q(master_,
         "INSERT OR IGNORE INTO main.__tb_logins(name, password_hash, default_db, createdate) "
         "VALUES (?1, ?2, ?3, ?4)");
  q.Bind(1, name).Bind(2, hash).Bind(3, default_db.empty() ? std::string("master") : default_db);
  q.Bind(4, Now());
  q.Step();
  if (sqlite3_changes(master_) == 0) {
    throw MakeError(15025, 16, 2, "The server principal '" + name + "' already exists.");
  }
}

void Server::AlterLoginPassword(const std::string& name, const std::string& password) {
  std::string hash = HashPassword(password);
  std::lock_guard<std::mutex> lock(mutex_);
  Stmt q(master_, "UPDATE main.__tb_logins SET password_hash = ?2 WHERE name = ?1");
  q.Bind(1, name).Bind(2, hash);
  q.Step();
  if (sqlite3_changes(master_) == 0) {
    throw MakeError(15151, 16, 1,
                    "Cannot alter the login '" + name +
                        "', because it does not exist or you do not have permission.");
  }
}

void Server::DropLogin(const std::string& name) {
  if (Lower(name) == "sa") {
    throw MakeError(15405, 11, 1, "Cannot use the special principal 'sa'.");
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Stmt q(master_, "DELETE FROM main.__tb_logins WHERE name = ?1");
  q.Bind(1, name);
  q.Step();
  if (sqlite3_changes(master_) == 0) {
    throw MakeError(15151, 16, 1,
                    "Cannot drop the login '" + name +
                        "', because it does not exist or you do not have permission.");
  }
}

std::string Server::DefaultDatabase(const std::string& login) {
  std::lock_guard<std::mutex> lock(mutex_);
  Stmt q(master_, "SELECT default_db FROM main.__tb_logins WHERE name = ?1");
  q.Bind(1, login);
  return q.Step() ? q.Text(0) : std::string("master");
}

// ---- session registry ----------------------------------------------------------

std::shared_ptr<SessionEntry> Server::Register(int spid, const std::string& login,
                                               const ConnectOptions& options,
                                               core::Session* session) {
  auto e =
      std::make_shared<SessionEntry>(spid, login, options.host_name, options.program_name, session);
  e->OnClose([this] {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_.notify_all();
  });
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_[spid] = e;
  return e;
}

void Server::Unregister(int spid) {
  std::lock_guard<std::mutex> lock(mutex_);
  sessions_.erase(spid);
  attached_.erase(spid);
}

std::vector<SessionInfo> Server::Sessions() {
  std::vector<std::shared_ptr<SessionEntry>> entries;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [spid, e] : sessions_) entries.push_back(e);
  }
  std::vector<SessionInfo> out;
  for (auto& e : entries) out.push_back(e->Info());
  return out;
}

void Server::Kill(int spid, int own_spid) {
  if (spid == own_spid) throw MakeError(6104, 16, 1, "Cannot use KILL to kill your own process.");
  if (spid <= 50) throw MakeError(6107, 14, 1, "Only user processes can be killed.");
  std::shared_ptr<SessionEntry> e;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = sessions_.find(spid);
    if (it != sessions_.end()) e = it->second;
  }
  if (!e || e->killed()) {
    throw MakeError(6106, 16, 2,
                    "Process ID " + std::to_string(spid) + " is not an active process ID.");
  }
  e->Kill();
}

}  // namespace tillbase::engine::server

#include "engine/server/backup.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>

#include "engine/core/sqlite_util.h"
#include "engine/errors.h"

namespace tillbase::engine::server {

namespace fs = std::filesystem;
using core::ExecSql;
using core::Stmt;

namespace {

std::atomic<int> temp_counter{0};

std::string TempBeside(const std::string& path, const char* what) {
  return path + "." + what + "-" + std::to_string(getpid()) + "-" +
         std::to_string(temp_counter.fetch_add(1));
}

EngineError CannotOpenDevice(const std::string& path, const std::string& why) {
  return MakeError(3201, 16, 1,
                   "Cannot open backup device '" + path + "'. Operating system error " + why + ".");
}

class Handle {
 public:
  Handle(const std::string& path, int flags) {
    rc_ = sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (db_) sqlite3_busy_timeout(db_, 10000);
  }
  ~Handle() {
    if (db_) sqlite3_close_v2(db_);
  }
  sqlite3* get() const { return db_; }
  bool ok() const { return rc_ == SQLITE_OK; }
  int rc() const { return rc_; }

 private:
  sqlite3* db_ = nullptr;
  int rc_ = SQLITE_OK;
};

// Copies all of `src` into `dest` in one step, so the copy is one snapshot.
// The destination is a private temporary file that is renamed into place
// only when complete, so it needs no journal; it is flushed to disk once
// at the end (Flush) instead of at every commit.
void Copy(sqlite3* src, sqlite3* dest) {
  ExecSql(dest, "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF");
  sqlite3_backup* b = sqlite3_backup_init(dest, "main", src, "main");
  if (!b) throw core::SqliteError(dest, sqlite3_errcode(dest));
  int rc = sqlite3_backup_step(b, -1);
  sqlite3_backup_finish(b);
  if (rc != SQLITE_DONE) throw core::SqliteError(dest, rc == SQLITE_OK ? SQLITE_ERROR : rc);
}

std::string Now() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S.000", &tm);
  return buf;
}

void Flush(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

void RemoveFiles(const std::string& path) {
  std::error_code ec;
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) fs::remove(path + suffix, ec);
}

}  // namespace

BackupHeader WriteBackup(const std::string& source, const std::string& database,
                         const std::string& data_logical, const std::string& log_logical,
                         const std::string& target) {
  std::error_code ec;
  fs::path dir = fs::path(target).parent_path();
  if (dir.empty()) dir = ".";
  if (!fs::is_directory(dir, ec)) {
    throw CannotOpenDevice(target, "3(The system cannot find the path specified.)");
  }
  if (fs::is_directory(target, ec)) throw CannotOpenDevice(target, "5(Access is denied.)");
  std::string temp = TempBeside(target, "backup");
  BackupHeader h;
  try {
    Handle src(source, SQLITE_OPEN_READONLY);
    if (!src.ok()) throw core::SqliteError(src.get(), src.rc());
    Handle dest(temp, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (!dest.ok()) throw CannotOpenDevice(target, "5(Access is denied.)");
    Copy(src.get(), dest.get());
    // A backup is one self-contained file: no WAL beside it.
    ExecSql(dest.get(), "PRAGMA journal_mode=DELETE; PRAGMA journal_mode=OFF");
    {
      Stmt pc(dest.get(), "PRAGMA page_count");
      if (pc.Step()) h.pages = pc.Int(0);
      Stmt ps(dest.get(), "PRAGMA page_size");
      if (ps.Step()) h.page_size = ps.Int(0);
    }
    h.database = database;
    h.backup_date = Now();
    h.files = {{data_logical, 'D'}, {log_logical, 'L'}};
    ExecSql(dest.get(),
            "DROP TABLE IF EXISTS main.__tb_backup; CREATE TABLE main.__tb_backup(database TEXT "
            "NOT NULL, backup_date TEXT NOT NULL, data_name TEXT NOT NULL, log_name TEXT NOT "
            "NULL, pages INTEGER NOT NULL, page_size INTEGER NOT NULL)");
    Stmt ins(dest.get(), "INSERT INTO main.__tb_backup VALUES (?1, ?2, ?3, ?4, ?5, ?6)");
    ins.Bind(1, database).Bind(2, h.backup_date).Bind(3, data_logical).Bind(4, log_logical);
    ins.Bind(5, h.pages).Bind(6, h.page_size);
    ins.Step();
  } catch (...) {
    RemoveFiles(temp);
    throw;
  }
  Flush(temp);
  fs::rename(temp, target, ec);
  if (ec) {
    RemoveFiles(temp);
    throw CannotOpenDevice(target, "5(" + ec.message() + ")");
  }
  return h;
}

BackupHeader ReadBackupHeader(const std::string& path) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    throw CannotOpenDevice(path, "2(The system cannot find the file specified.)");
  }
  Handle db(path, SQLITE_OPEN_READONLY);
  if (!db.ok()) throw CannotOpenDevice(path, "5(Access is denied.)");
  BackupHeader h;
  bool found = false;
  try {
    Stmt q(db.get(),
           "SELECT database, backup_date, data_name, log_name, pages, page_size FROM "
           "main.__tb_backup");
    if (q.Step()) {
      found = true;
      h.database = q.Text(0);
      h.backup_date = q.Text(1);
      h.files = {{q.Text(2), 'D'}, {q.Text(3), 'L'}};
      h.pages = q.Int(4);
      h.page_size = q.Int(5);
    }
  } catch (const EngineError&) {
    found = false;
  }
  if (!found) {
    throw MakeError(3241, 16, 0,
                    "The media family on device '" + path +
                        "' is incorrectly formed. SQL Server cannot process this media family.");
  }
  return h;
}

void RestoreBackup(const std::string& backup_path, const std::string& target_path) {
  std::string temp = TempBeside(target_path, "restore");
  try {
    Handle src(backup_path, SQLITE_OPEN_READONLY);
    if (!src.ok()) throw CannotOpenDevice(backup_path, "5(Access is denied.)");
    Handle dest(temp, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (!dest.ok()) throw core::SqliteError(dest.get(), dest.rc());
    Copy(src.get(), dest.get());
    ExecSql(dest.get(), "DROP TABLE IF EXISTS main.__tb_backup; PRAGMA journal_mode=WAL");
  } catch (...) {
    RemoveFiles(temp);
    throw;
  }
  Flush(temp);
  // Nobody has the target open (the caller holds exclusive use), so the old
  // file's WAL and index go with it.
  std::error_code ec;
  for (const char* suffix : {"-wal", "-shm", "-journal"}) fs::remove(target_path + suffix, ec);
  fs::rename(temp, target_path, ec);
  if (ec) {
    RemoveFiles(temp);
    throw MakeError(3156, 16, 3,
                    "File could not be restored to '" + target_path + "': " + ec.message() + ".");
  }
  for (const char* suffix : {"-wal", "-shm"}) fs::remove(temp + suffix, ec);
}

}  // namespace tillbase::engine::server

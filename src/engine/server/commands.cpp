#include "engine/server/commands.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>

#include "engine/errors.h"
#include "engine/parser/lexer.h"
#include "engine/server/access.h"
#include "engine/server/backup.h"
#include "engine/server/server.h"

namespace tillbase::engine::server {

namespace fs = std::filesystem;
using parser::Token;
using parser::TokenKind;

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string TextOf(const Value& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  if (const auto* n = std::get_if<int64_t>(&v)) return std::to_string(*n);
  if (const auto* d = std::get_if<Decimal>(&v)) return d->ToString();
  return {};
}

// Reads the words of one server statement.
class Words {
 public:
  Words(const std::string& text, int line, const VariableReader& read)
      : toks_(parser::Tokenize(text)), line_(line), read_(read) {}

  const Token& Peek(size_t ahead = 0) const {
    static const Token end;
    return pos_ + ahead < toks_.size() ? toks_[pos_ + ahead] : end;
  }
  bool AtEnd() const {
    return Peek().kind == TokenKind::kEnd || (IsOp(";") && pos_ + 1 >= toks_.size());
  }
  bool IsKw(const char* kw, size_t ahead = 0) const {
    const Token& t = Peek(ahead);
    return t.kind == TokenKind::kIdent && Lower(t.text) == kw;
  }
  bool IsOp(const char* op) const { return Peek().kind == TokenKind::kOp && Peek().text == op; }
  const Token& Next() { return toks_[pos_++]; }
  bool AcceptKw(const char* kw) {
    if (!IsKw(kw)) return false;
    ++pos_;
    return true;
  }
  bool AcceptOp(const char* op) {
    if (!IsOp(op)) return false;
    ++pos_;
    return true;
  }
  void ExpectKw(const char* kw) {
    if (!AcceptKw(kw)) throw Unexpected();
  }
  void ExpectOp(const char* op) {
    if (!AcceptOp(op)) throw Unexpected();
  }
  EngineError Unexpected() const {
    const Token& t = Peek();
    if (t.kind == TokenKind::kEnd)
      return IncorrectSyntaxNear(line_, toks_.empty() ? "" : toks_.back().text);
    std::string near = t.text;
    if (t.kind == TokenKind::kString) near = "'" + near + "'";
    return IncorrectSyntaxNear(t.line + line_ - 1, near);
  }
  // A name: identifier, [quoted] or a variable holding it.
  std::string Name() {
    const Token& t = Peek();
    if (t.kind == TokenKind::kIdent || t.kind == TokenKind::kQuotedIdent) {
      ++pos_;
      return t.text;
    }
    if (t.kind == TokenKind::kVariable) {
      ++pos_;
      return TextOf(read_(t.text));
    }
    throw Unexpected();
  }
  // A text value: 'literal', N'literal' or a variable.
  std::string Text() {
    const Token& t = Peek();
    if (t.kind == TokenKind::kString || t.kind == TokenKind::kNString) {
      ++pos_;
      return t.text;
    }
    if (t.kind == TokenKind::kVariable) {
      ++pos_;
      return TextOf(read_(t.text));
    }
    throw Unexpected();
  }
  // A name or a text, as options take either.
  std::string NameOrText() {
    const Token& t = Peek();
    if (t.kind == TokenKind::kString || t.kind == TokenKind::kNString) return Text();
    return Name();
  }
  // Skips one option value of any form (numbers with units, names, texts).
  void SkipValue() {
    const Token& t = Peek();
    if (t.kind == TokenKind::kEnd) throw Unexpected();
    ++pos_;
    if (IsOp("%")) {
      ++pos_;
    } else if (Peek().kind == TokenKind::kIdent) {
      std::string w = Lower(Peek().text);
      if (w == "kb" || w == "mb" || w == "gb" || w == "tb") ++pos_;
    }
  }
  void ExpectEnd() {
    while (AcceptOp(";")) {
    }
    if (Peek().kind != TokenKind::kEnd) throw Unexpected();
  }
  int line() const { return line_; }

 private:
  static std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  }
  std::vector<Token> toks_;
  size_t pos_ = 0;
  int line_;
  const VariableReader& read_;
};

struct Ctx {
  core::Session& session;
  Server& server;
  ResultSink& sink;
  int line;
};

void Info(Ctx& c, int number, std::string text) {
  Message m;
  m.number = number;
  m.severity = 0;
  m.state = 1;
  m.line = c.line;
  m.text = std::move(text);
  c.sink.OnMessage(m);
}

// The error of a failed BACKUP/RESTORE: the cause, then 3013.
[[noreturn]] void Terminate(Ctx& c, const EngineError& cause, const char* what) {
  Message m = cause.message();
  m.line = c.line;
  c.sink.OnMessage(m);
  throw MakeError(3013, 16, 1, std::string(what) + " is terminating abnormally.");
}

void NotInTransaction(Ctx& c, const char* what) {
  if (Access::TranCount(c.session) > 0) {
    throw MakeError(
        226, 16, 6,
        std::string(what) + " statement not allowed within multi-statement transaction.");
  }
}

std::string Absolute(const std::string& path) {
  std::error_code ec;
  fs::path p = fs::absolute(path, ec);
  return ec ? path : p.lexically_normal().string();
}

// CREATE DATABASE name [ON [PRIMARY] (NAME = n, FILENAME = 'f', ...) [, ...]]
//   [LOG ON (NAME = n, FILENAME = 'f', ...)] [COLLATE c]
void CreateDatabase(Ctx& c, Words& w) {
  NotInTransaction(c, "CREATE DATABASE");
  std::string name = w.Name();
  std::string filename, data_name, log_name;
  auto file_spec = [&](std::string* logical, std::string* file) {
    w.ExpectOp("(");
    do {
      if (w.AcceptKw("name")) {
        w.ExpectOp("=");
        *logical = w.NameOrText();
      } else if (w.AcceptKw("filename")) {
        w.ExpectOp("=");
        *file = w.Text();
      } else if (w.AcceptKw("size") || w.AcceptKw("maxsize") || w.AcceptKw("filegrowth")) {
        w.ExpectOp("=");
        w.SkipValue();
      } else {
        throw w.Unexpected();
      }
    } while (w.AcceptOp(","));
    w.ExpectOp(")");
  };
  if (w.AcceptKw("on")) {
    w.AcceptKw("primary");
    bool first = true;
    do {
      std::string logical, file;
      file_spec(&logical, &file);
      if (first) {
        data_name = logical;
        filename = file;
      }
      first = false;
    } while (w.AcceptOp(","));
  }
  if (w.AcceptKw("log")) {
    w.ExpectKw("on");
    std::string ignored;
    do {
      std::string logical;
      file_spec(&logical, &ignored);
      if (log_name.empty()) log_name = logical;
    } while (w.AcceptOp(","));
  }
  if (w.AcceptKw("collate")) w.Name();
  w.ExpectEnd();
  c.server.CreateDatabase(name, filename.empty() ? "" : Absolute(filename), data_name, log_name);
}

void DropDatabase(Ctx& c, Words& w) {
  NotInTransaction(c, "DROP DATABASE");
  std::vector<std::string> names;
  do {
    names.push_back(w.Name());
  } while (w.AcceptOp(","));
  w.ExpectEnd();
  Access::ReleaseAttached(c.session);
  for (const std::string& n : names) {
    std::string ln = server::Lower(n);
    if (ln != "master" && ln != "tempdb" && ln == server::Lower(Access::Database(c.session))) {
      throw MakeError(3702, 16, 4,
                      "Cannot drop database \"" + n + "\" because it is currently in use.");
    }
    c.server.DropDatabase(n, Access::Spid(c.session));
  }
}

// CREATE LOGIN name WITH PASSWORD = 'p' [, DEFAULT_DATABASE = db] [, other options]
void CreateOrAlterLogin(Ctx& c, Words& w, bool alter) {
  std::string name = w.Name();
  if (w.IsKw("from")) throw NotSupported("logins FROM WINDOWS or certificates");
  if (!alter && !w.IsKw("with")) throw w.Unexpected();
  if (alter && (w.IsKw("enable") || w.IsKw("disable")))
    throw NotSupported("ALTER LOGIN ENABLE/DISABLE");
  w.ExpectKw("with");
  bool has_password = false;
  std::string password, default_db;
  do {
    if (w.AcceptKw("password")) {
      w.ExpectOp("=");
      password = w.Text();
      has_password = true;
      while (w.AcceptKw("must_change") || w.AcceptKw("unlock")) {
      }
    } else if (w.AcceptKw("old_password")) {
      w.ExpectOp("=");
      w.Text();
    } else if (w.AcceptKw("default_database")) {
      w.ExpectOp("=");
      default_db = w.Name();
    } else if (w.AcceptKw("default_language") || w.AcceptKw("check_policy") ||
               w.AcceptKw("check_expiration") || w.AcceptKw("sid")) {
      w.ExpectOp("=");
      w.SkipValue();
    } else if (w.AcceptKw("name")) {
      throw NotSupported("renaming a login");
    } else {
      throw w.Unexpected();
    }
  } while (w.AcceptOp(","));
  w.ExpectEnd();
  if (alter) {
    if (!has_password && default_db.empty()) throw w.Unexpected();
    if (!default_db.empty()) throw NotSupported("ALTER LOGIN ... DEFAULT_DATABASE");
    c.server.AlterLoginPassword(name, password);
  } else {
    if (!has_password) throw w.Unexpected();
    c.server.CreateLogin(name, password, default_db);
  }
}

void Kill(Ctx& c, Words& w) {
  // KILL n, or a variable holding n.
  std::string text = w.Peek().kind == TokenKind::kInteger ? w.Next().text : w.Name();
  w.ExpectEnd();
  char* end = nullptr;
  long spid = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || spid <= 0 || spid > 32767) {
    throw MakeError(6106, 16, 2, "Process ID " + text + " is not an active process ID.");
  }
  c.server.Kill(static_cast<int>(spid), Access::Spid(c.session));
}

std::string MbPerSecond(int64_t bytes, double seconds) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.3f", seconds > 0 ? bytes / 1048576.0 / seconds : 0.0);
  return buf;
}

std::string Seconds(double s) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.3f", s);
  return buf;
}

// BACKUP DATABASE name TO DISK = 'path' [WITH option, ...]
void Backup(Ctx& c, Words& w) {
  NotInTransaction(c, "BACKUP DATABASE");
  if (w.AcceptKw("log")) throw NotSupported("BACKUP LOG");
  w.ExpectKw("database");
  std::string name = w.Name();
  w.ExpectKw("to");
  if (!w.AcceptKw("disk")) throw NotSupported("backup devices other than DISK");
  w.ExpectOp("=");
  std::string path = w.Text();
  bool overwrite = false;
  if (w.AcceptKw("with")) {
    do {
      if (w.AcceptKw("format") || w.AcceptKw("init")) {
        overwrite = true;
      } else if (w.AcceptKw("noinit") || w.AcceptKw("noformat") || w.AcceptKw("skip") ||
                 w.AcceptKw("noskip") || w.AcceptKw("checksum") || w.AcceptKw("no_checksum") ||
                 w.AcceptKw("copy_only") || w.AcceptKw("norewind") || w.AcceptKw("nounload")) {
      } else if (w.AcceptKw("stats")) {
        if (w.AcceptOp("=")) w.SkipValue();
      } else if (w.AcceptKw("name") || w.AcceptKw("description") || w.AcceptKw("medianame") ||
                 w.AcceptKw("mediadescription")) {
        w.ExpectOp("=");
        w.NameOrText();
      } else if (w.AcceptKw("differential")) {
        throw NotSupported("differential backups");
      } else {
        throw w.Unexpected();
      }
    } while (w.AcceptOp(","));
  }
  w.ExpectEnd();
  auto db = c.server.FindDatabase(name);
  if (!db) {
    Terminate(c,
              MakeError(911, 16, 11,
                        "Database '" + name +
                            "' does not exist. Make sure that the name is entered correctly."),
              "BACKUP DATABASE");
  }
  std::string target = Absolute(path);
  std::error_code ec;
  if (!overwrite && fs::exists(target, ec)) {
    // One backup per file: appending a second set is not kept.
    Terminate(c,
              MakeError(4208, 16, 1,
                        "The backup file '" + target +
                            "' already holds a backup; appending is not supported. Use WITH "
                            "INIT or WITH FORMAT to overwrite it."),
              "BACKUP DATABASE");
  }
  auto start = std::chrono::steady_clock::now();
  BackupHeader h;
  try {
    h = WriteBackup(db->filename, db->name, db->data_logical, db->log_logical, target);
  } catch (const EngineError& e) {
    Terminate(c, e, "BACKUP DATABASE");
  }
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  int64_t pages = h.pages * h.page_size / 8192 + 1;
  Info(c, 4035,
       "Processed " + std::to_string(pages) + " pages for database '" + db->name + "', file '" +
           db->data_logical + "' on file 1.");
  Info(c, 3014,
       "BACKUP DATABASE successfully processed " + std::to_string(pages) + " pages in " +
           Seconds(secs) + " seconds (" + MbPerSecond(h.pages * h.page_size, secs) + " MB/sec).");
}

void FileListOnly(Ctx& c, const std::string& path) {
  BackupHeader h;
  try {
    h = ReadBackupHeader(Absolute(path));
  } catch (const EngineError& e) {
    Terminate(c, e, "RESTORE FILELIST");
  }
  std::vector<Column> cols;
  auto col = [&](const char* n, TypeInfo t) {
    Column k;
    k.name = n;
    k.type = t;
    cols.push_back(k);
  };
  TypeInfo nv128{SqlType::kNVarChar, 256, 0, 0};
  TypeInfo nv260{SqlType::kNVarChar, 520, 0, 0};
  col("LogicalName", nv128);
  col("PhysicalName", nv260);
  col("Type", TypeInfo{SqlType::kChar, 1, 0, 0});
  col("FileGroupName", nv128);
  col("Size", TypeInfo{SqlType::kNumeric, 0, 20, 0});
  col("MaxSize", TypeInfo{SqlType::kNumeric, 0, 20, 0});
  col("FileId", TypeInfo{SqlType::kBigInt, 8, 19, 0});
  c.sink.BeginResultSet(cols);
  auto db = c.server.FindDatabase(h.database);
  int64_t id = 0;
  for (const BackupFile& f : h.files) {
    ++id;
    std::string physical = db ? (f.type == 'D' ? db->filename : db->filename + "-wal")
                              : c.server.DefaultPath(h.database) + (f.type == 'D' ? "" : "-wal");
    std::vector<Value> row;
    row.emplace_back(f.logical_name);
    row.emplace_back(physical);
    row.emplace_back(std::string(1, f.type));
    if (f.type == 'D') {
      row.emplace_back(std::string("PRIMARY"));
    } else {
      row.emplace_back(std::monostate{});
    }
    row.emplace_back(Decimal{f.type == 'D' ? h.pages * h.page_size : 0, 0});
    row.emplace_back(Decimal{35184372080640, 0});
    row.emplace_back(id);
    c.sink.Row(std::move(row));
  }
  c.sink.EndResultSet();
}

// RESTORE DATABASE name FROM DISK = 'path' [WITH REPLACE, MOVE 'l' TO 'p', ...]
// RESTORE FILELISTONLY FROM DISK = 'path'
void Restore(Ctx& c, Words& w) {
  bool filelist = false;
  std::string name;
  if (w.AcceptKw("filelistonly")) {
    filelist = true;
  } else if (w.AcceptKw("headeronly") || w.AcceptKw("verifyonly") || w.AcceptKw("log")) {
    throw NotSupported("RESTORE " + Upper(std::string("HEADERONLY/VERIFYONLY/LOG")));
  } else {
    w.ExpectKw("database");
    name = w.Name();
  }
  w.ExpectKw("from");
  if (!w.AcceptKw("disk")) throw NotSupported("backup devices other than DISK");
  w.ExpectOp("=");
  std::string path = w.Text();
  bool replace = false;
  std::vector<std::pair<std::string, std::string>> moves;
  if (w.AcceptKw("with")) {
    do {
      if (w.AcceptKw("replace")) {
        replace = true;
      } else if (w.AcceptKw("move")) {
        std::string logical = w.Text();
        w.ExpectKw("to");
        moves.emplace_back(logical, w.Text());
      } else if (w.AcceptKw("recovery") || w.AcceptKw("nounload") || w.AcceptKw("norewind") ||
                 w.AcceptKw("checksum") || w.AcceptKw("no_checksum")) {
      } else if (w.AcceptKw("norecovery") || w.AcceptKw("standby")) {
        throw NotSupported("RESTORE WITH NORECOVERY/STANDBY");
      } else if (w.AcceptKw("file") || w.AcceptKw("stats")) {
        if (w.AcceptOp("=")) w.SkipValue();
      } else {
        throw w.Unexpected();
      }
    } while (w.AcceptOp(","));
  }
  w.ExpectEnd();
  if (filelist) return FileListOnly(c, path);
  NotInTransaction(c, "RESTORE DATABASE");
  const char* what = "RESTORE DATABASE";
  std::string backup_path = Absolute(path);
  BackupHeader h;
  try {
    h = ReadBackupHeader(backup_path);
  } catch (const EngineError& e) {
    Terminate(c, e, what);
  }
  std::string data_logical = h.files.size() > 0 ? h.files[0].logical_name : name;
  std::string log_logical = h.files.size() > 1 ? h.files[1].logical_name : name + "_log";
  std::string lname = server::Lower(name);
  if (lname == "master" || lname == "tempdb") {
    Terminate(
        c,
        MakeError(
            3108, 16, 1,
            "To restore the master database, the server must be running in single-user mode."),
        what);
  }
  auto existing = c.server.FindDatabase(name);
  std::string target = existing ? existing->filename : c.server.DefaultPath(name);
  for (const auto& [logical, to] : moves) {
    bool known = false;
    for (const BackupFile& f : h.files) {
      if (server::Lower(f.logical_name) == server::Lower(logical)) {
        known = true;
        if (f.type == 'D') target = Absolute(to);
      }
    }
    if (!known) {
      Terminate(c,
                MakeError(3234, 16, 2,
                          "Logical file '" + logical + "' is not part of database '" + name +
                              "'. Use RESTORE FILELISTONLY to list the logical file names."),
                what);
    }
  }
  std::error_code ec;
  if (existing && !replace) {
    if (server::Lower(h.database) != lname) {
      Terminate(c,
                MakeError(3154, 16, 4,
                          "The backup set holds a backup of a database other than the existing '" +
                              name + "' database."),
                what);
    }
    Terminate(c,
              MakeError(3159, 16, 1,
                        "The tail of the log for the database \"" + name +
                            "\" has not been backed up. Use BACKUP LOG WITH NORECOVERY to "
                            "backup the log if it contains work you do not want to lose. Use "
                            "the WITH REPLACE or WITH STOPAT clause of the RESTORE statement to "
                            "just overwrite the contents of the log."),
              what);
  }
  // Another database's file, or a stray file, is never overwritten by surprise.
  for (const DatabaseInfo& d : c.server.Databases()) {
    if (server::Lower(d.name) != lname && Absolute(d.filename) == Absolute(target)) {
      Terminate(c,
                MakeError(1834, 16, 1,
                          "The file '" + target +
                              "' cannot be overwritten.  It is being used by "
                              "database '" +
                              d.name + "'."),
                what);
    }
  }
  if (!replace && !existing && fs::exists(target, ec)) {
    Terminate(
        c,
        MakeError(3142, 16, 1,
                  "File \"" + data_logical + "\" cannot be restored over the existing \"" + target +
                      "\". Reissue the RESTORE statement using WITH REPLACE to overwrite "
                      "pre-existing files, or WITH MOVE to identify an alternate location."),
        what);
  }
  if (!fs::is_directory(fs::path(target).parent_path(), ec)) {
    Terminate(c,
              MakeError(3156, 16, 3,
                        "File '" + data_logical + "' cannot be restored to '" + target +
                            "'. Use WITH MOVE to identify a valid location for the file."),
              what);
  }
  Access::ReleaseAttached(c.session);
  try {
    c.server.BeginRestore(name);
  } catch (const EngineError& e) {
    Terminate(c, e, what);
  }
  auto start = std::chrono::steady_clock::now();
  try {
    RestoreBackup(backup_path, target);
    DatabaseInfo info;
    info.name = existing ? existing->name : name;
    info.dbid = existing ? existing->dbid : 0;
    info.filename = target;
    info.data_logical = data_logical;
    info.log_logical = log_logical;
    c.server.RegisterDatabase(info);
    c.server.ForgetFile(target);
  } catch (const EngineError& e) {
    c.server.EndRestore(name);
    Terminate(c, e, what);
  }
  c.server.EndRestore(name);
  double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  int64_t pages = h.pages * h.page_size / 8192 + 1;
  Info(c, 4035,
       "Processed " + std::to_string(pages) + " pages for database '" + name + "', file '" +
           data_logical + "' on file 1.");
  Info(c, 3014,
       "RESTORE DATABASE successfully processed " + std::to_string(pages) + " pages in " +
           Seconds(secs) + " seconds (" + MbPerSecond(h.pages * h.page_size, secs) + " MB/sec).");
}

}  // namespace

void ExecuteStatement(core::Session& session, const std::string& text, int line, ResultSink& sink,
                      const VariableReader& read_variable) {
  Words w(text, line, read_variable);
  Ctx c{session, Access::ServerOf(session), sink, line};
  if (w.AcceptKw("kill")) return Kill(c, w);
  if (w.AcceptKw("backup")) return Backup(c, w);
  if (w.AcceptKw("restore")) return Restore(c, w);
  if (w.AcceptKw("create")) {
    if (w.AcceptKw("database")) return CreateDatabase(c, w);
    if (w.AcceptKw("login")) return CreateOrAlterLogin(c, w, false);
  } else if (w.AcceptKw("alter")) {
    if (w.AcceptKw("login")) return CreateOrAlterLogin(c, w, true);
    if (w.IsKw("database")) throw NotSupported("ALTER DATABASE");
  } else if (w.AcceptKw("drop")) {
    if (w.AcceptKw("database")) return DropDatabase(c, w);
    if (w.AcceptKw("login")) {
      std::string name = w.Name();
      w.ExpectEnd();
      return c.server.DropLogin(name);
    }
  }
  throw w.Unexpected();
}

}  // namespace tillbase::engine::server

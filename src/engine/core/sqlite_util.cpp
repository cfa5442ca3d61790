#include "engine/core/sqlite_util.h"

#include "engine/errors.h"

namespace tillbase::engine::core {

Stmt::Stmt(sqlite3* db, std::string_view sql) : db_(db) {
  int rc = sqlite3_prepare_v3(db, sql.data(), static_cast<int>(sql.size()),
                              SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
  if (rc != SQLITE_OK) {
    EngineError e = SqliteError(db, rc);
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    throw e;
  }
}

Stmt::~Stmt() {
  if (stmt_) sqlite3_finalize(stmt_);
}

Stmt& Stmt::operator=(Stmt&& o) noexcept {
  if (this != &o) {
    if (stmt_) sqlite3_finalize(stmt_);
    db_ = o.db_;
    stmt_ = o.stmt_;
    o.stmt_ = nullptr;
  }
  return *this;
}

bool Stmt::Step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  EngineError e = SqliteError(db_, rc);
  sqlite3_reset(stmt_);
  throw e;
}

void Stmt::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

Stmt& Stmt::Bind(int i, int64_t v) {
  sqlite3_bind_int64(stmt_, i, v);
  return *this;
}
Stmt& Stmt::Bind(int i, std::string_view v) {
  sqlite3_bind_text(stmt_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  return *this;
}
Stmt& Stmt::BindNull(int i) {
  sqlite3_bind_null(stmt_, i);
  return *this;
}

std::string Stmt::Text(int col) const {
  const unsigned char* p = sqlite3_column_text(stmt_, col);
  if (!p) return {};
  return std::string(reinterpret_cast<const char*>(p), sqlite3_column_bytes(stmt_, col));
}

void ExecSql(sqlite3* db, std::string_view sql) {
  std::string text(sql);
  char* err = nullptr;
  int rc = sqlite3_exec(db, text.c_str(), nullptr, nullptr, &err);
  if (err) sqlite3_free(err);
  if (rc != SQLITE_OK) throw SqliteError(db, rc);
}

namespace {

// "NOT NULL constraint failed: T.col" -> table and column.
void SplitTarget(std::string_view msg, std::string* table, std::string* column) {
  size_t colon = msg.find(": ");
  std::string_view rest = colon == std::string_view::npos ? msg : msg.substr(colon + 2);
  size_t comma = rest.find(',');
  if (comma != std::string_view::npos) rest = rest.substr(0, comma);
  size_t dot = rest.find('.');
  if (dot == std::string_view::npos) {
    *table = std::string(rest);
    return;
  }
  *table = std::string(rest.substr(0, dot));
  *column = std::string(rest.substr(dot + 1));
}

}  // namespace

EngineError SqliteError(sqlite3* db, int rc) {
  std::string msg = sqlite3_errmsg(db);
  int ext = sqlite3_extended_errcode(db);
  Message m;
  if (DecodeFromSqlite(msg, &m)) return EngineError(m);
  if (ext == SQLITE_INTERRUPT || rc == SQLITE_INTERRUPT) {
    return MakeError(3617, 11, 1, "The query was cancelled.");
  }
  std::string table, column;
  if (ext == SQLITE_CONSTRAINT_NOTNULL) {
    SplitTarget(msg, &table, &column);
    return MakeError(515, 16, 2,
                     "Cannot insert the value NULL into column '" + column + "', table '" + table +
                         "'; column does not allow nulls. The statement has been terminated.");
  }
  if (ext == SQLITE_CONSTRAINT_PRIMARYKEY) {
    SplitTarget(msg, &table, &column);
    return MakeError(2627, 14, 1,
                     "Violation of PRIMARY KEY constraint 'PK_" + table +
                         "'. Cannot insert duplicate key in object 'dbo." + table + "'.");
  }
  if (ext == SQLITE_CONSTRAINT_UNIQUE) {
    SplitTarget(msg, &table, &column);
    return MakeError(2627, 14, 1,
                     "Violation of UNIQUE KEY constraint 'UQ_" + table + "_" + column +
                         "'. Cannot insert duplicate key in object 'dbo." + table + "'.");
  }
  if (rc == SQLITE_BUSY || rc == SQLITE_LOCKED) {
    return MakeError(1222, 16, 51, "Lock request time out period exceeded.");
  }
  return MakeError(40518, 16, 1, "Storage error: " + msg);
}

std::string QuoteIdent(std::string_view name) {
  std::string out = "\"";
  for (char c : name) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
  return out;
}

std::string QuoteText(std::string_view text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += '\'';
    out += c;
  }
  out += '\'';
  return out;
}

}  // namespace tillbase::engine::core

// Thin RAII helpers over the SQLite C API, and the mapping of SQLite's
// failures to the engine's errors.
#pragma once

#include <sqlite3.h>

#include <string>
#include <string_view>

#include "engine/engine.h"

namespace tillbase::engine::core {

// A prepared statement, finalized on destruction.
class Stmt {
 public:
  Stmt() = default;
  Stmt(sqlite3* db, std::string_view sql);
  ~Stmt();
  Stmt(Stmt&& o) noexcept : db_(o.db_), stmt_(o.stmt_) { o.stmt_ = nullptr; }
  Stmt& operator=(Stmt&& o) noexcept;
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;

  sqlite3_stmt* get() const { return stmt_; }
  explicit operator bool() const { return stmt_ != nullptr; }
  // Steps once: true for a row, false when done; throws on failure.
  bool Step();
  void Reset();

  Stmt& Bind(int i, int64_t v);
  Stmt& Bind(int i, std::string_view v);
  Stmt& BindNull(int i);
  int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
  std::string Text(int col) const;
  bool IsNull(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
};

// Runs SQL without results (several statements allowed); throws on failure.
void ExecSql(sqlite3* db, std::string_view sql);

// The engine error for a failed SQLite call: errors raised by the engine's
// own SQL functions come back with their number; constraint failures become
// SQL Server's 515/2627/2601; the rest a generic error with SQLite's text.
EngineError SqliteError(sqlite3* db, int rc);

// "name" quoted for SQLite.
std::string QuoteIdent(std::string_view name);
// 'text' quoted for SQLite.
std::string QuoteText(std::string_view text);

}  // namespace tillbase::engine::core

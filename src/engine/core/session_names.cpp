// How a session resolves names in other databases: three-part names and
// db..object reach another database's file, attached to the session's
// storage while a call uses it.
#include <algorithm>
#include <filesystem>

#include "engine/core/databases.h"
#include "engine/core/session.h"
#include "engine/errors.h"
#include "engine/server/server.h"

namespace tillbase::engine::core {

namespace {

bool IsTempName(std::string_view name) { return !name.empty() && name[0] == '#'; }

// master's system views that SQL Server shows in every database.
bool IsServerWide(std::string_view name) {
  std::string n = LowerName(name);
  return n == "sysdatabases" || n == "syslogins";
}

// Only dbo owns objects here; `sys` reaches the system views too.
bool KnownOwner(const std::string& lower_owner) {
  return lower_owner.empty() || lower_owner == "dbo" || lower_owner == "sys";
}

}  // namespace

std::shared_ptr<const TableInfo> Session::Table(const std::vector<std::string>& parts) {
  const std::string& name = parts.back();
  size_t n = parts.size();
  // #tables belong to the connection, whatever database the name gives.
  if (IsTempName(name)) return catalog_->FindTable(name);
  if (n == 1 && !context_) {
    auto t = catalog_->FindTable(name);
    if (t || !IsServerWide(name) || LowerName(database_) == "master") return t;
    return DatabaseCatalog("master").FindTable(name);
  }
  if (n >= 4 && !parts[n - 4].empty()) throw NotSupported("a linked server (" + parts[n - 4] + ")");
  std::string owner = n >= 2 ? LowerName(parts[n - 2]) : std::string();
  if (!KnownOwner(owner)) return nullptr;
  Catalog& catalog = DatabaseCatalog(n >= 3 ? std::string_view(parts[n - 3]) : std::string_view());
  auto t = catalog.FindTable(name);
  if (!t && IsServerWide(name) && LowerName(catalog.database()) != "master") {
    t = DatabaseCatalog("master").FindTable(name);
  }
  if (t && owner == "sys" && t->kind != 'S') return nullptr;
  return t;
}

std::string Session::DatabaseSchema(std::string_view database) {
  return SchemaSql(DatabaseCatalog(database).schema());
}

Catalog& Session::DatabaseCatalog(std::string_view database) {
  Attached* a = context_;
  if (database.empty()) {
    if (!a) return *catalog_;
  } else if (LowerName(database) == LowerName(database_)) {
    return *catalog_;
  } else {
    a = &Attach(database);
  }
  if (touched_ && std::find(touched_->begin(), touched_->end(), a->name) == touched_->end()) {
    touched_->push_back(a->name);
  }
  return *a->catalog;
}

Catalog& Session::CatalogOfSchema(std::string_view schema) {
  if (schema == "main" || schema == "temp") return *catalog_;
  for (auto& a : attached_) {
    if (a->alias == schema) return *a->catalog;
  }
  throw MakeError(0, 16, 1,
                  "The database of schema '" + std::string(schema) + "' is not attached.");
}

Catalog& Session::TargetCatalog(const std::vector<std::string>& parts) {
  size_t n = parts.size();
  if (IsTempName(parts.back())) return *catalog_;
  if (n >= 4 && !parts[n - 4].empty()) throw NotSupported("a linked server (" + parts[n - 4] + ")");
  std::string owner = n >= 2 ? LowerName(parts[n - 2]) : std::string();
  if (!owner.empty() && owner != "dbo") {
    throw MakeError(2760, 16, 1,
                    "The specified schema name \"" + parts[n - 2] +
                        "\" either does not exist or you do not have permission to use it.");
  }
  return DatabaseCatalog(n >= 3 ? std::string_view(parts[n - 3]) : std::string_view());
}

Session::Attached& Session::Attach(std::string_view database) {
  std::string lname = LowerName(database);
  Attached* a = nullptr;
  for (auto& e : attached_) {
    if (LowerName(e->name) == lname) a = e.get();
  }
  if (a && a->live) return *a;
  if (!shared_->server) throw NotSupported("a name in another database");
  server::Server& server = *shared_->server;
  server::DatabaseInfo d = server.AttachTo(spid_, database);  // 911, 927
  try {
    if (!std::filesystem::exists(d.filename)) {
      // ATTACH would create an empty file in its place.
      throw MakeError(945, 14, 2,
                      "Database '" + d.name +
                          "' cannot be opened due to inaccessible files or insufficient memory "
                          "or disk space.  See the SQL Server errorlog for details.");
    }
    std::string alias = AttachAlias(d.name);
    auto attach = [&] {
      Stmt st(db_, "ATTACH DATABASE ?1 AS ?2");
      st.Bind(1, d.filename).Bind(2, alias);
      st.Step();
    };
    try {
      attach();
    } catch (const EngineError& e) {
      // A file of an earlier version whose views name "main": SQLite
      // refuses to attach it until they are rewritten.
      if (e.message().text.find("cannot reference objects in database main") == std::string::npos) {
        throw;
      }
      UpgradeViewsOfFile(d.filename);
      attach();
    }
  } catch (...) {
    server.DetachFrom(spid_, d.name);
    throw;
  }
  if (!a) {
    // Kept after a DETACH too: what the catalogue read stays valid until
    // the schema version moves.
    attached_.push_back(std::make_unique<Attached>());
    a = attached_.back().get();
    a->name = d.name;
    a->alias = AttachAlias(d.name);
    a->catalog = std::make_unique<Catalog>(db_, a->alias, a->name);
  }
  a->path = d.filename;
  a->live = true;
  ++live_attached_;
  // As for the current database; inside a transaction the file keeps
  // SQLite's default (FULL), which may not change there.
  if (sqlite3_get_autocommit(db_)) {
    sqlite3_exec(db_, ("PRAGMA " + QuoteIdent(a->alias) + ".synchronous=NORMAL").c_str(), nullptr,
                 nullptr, nullptr);
  }
  return *a;
}

void Session::UpgradeViewsOfFile(const std::string& path) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    EngineError e = SqliteError(db, rc);
    sqlite3_close_v2(db);
    throw e;
  }
  sqlite3_busy_timeout(db, 10000);
  try {
    UpgradeViews(db);
  } catch (...) {
    sqlite3_close_v2(db);
    throw;
  }
  sqlite3_close_v2(db);
}

void Session::Reattach(const std::vector<std::string>& databases) {
  for (const std::string& d : databases) Attach(d);
}

void Session::DetachAll() {
  // Procedures of another database still running keep theirs.
  if (context_ || foreign_contexts_ > 0 || !db_ || !sqlite3_get_autocommit(db_)) return;
  // A statement left stepped would keep its database busy; none is running.
  for (sqlite3_stmt* st = sqlite3_next_stmt(db_, nullptr); st; st = sqlite3_next_stmt(db_, st)) {
    if (sqlite3_stmt_busy(st)) sqlite3_reset(st);
  }
  for (auto& a : attached_) {
    if (!a->live) continue;
    Stmt detach(db_, "DETACH DATABASE ?1");
    detach.Bind(1, a->alias);
    try {
      detach.Step();
    } catch (const EngineError&) {
      // Still busy: it stays attached, and in use, until a later call
      // releases it.
      continue;
    }
    a->live = false;
    --live_attached_;
    shared_->server->DetachFrom(spid_, a->name);
  }
}

void Session::ForgetAttached() {
  if (shared_->server) {
    for (auto& a : attached_) {
      if (a->live) shared_->server->DetachFrom(spid_, a->name);
    }
  }
  attached_.clear();
  live_attached_ = 0;
  context_ = nullptr;
}

void Session::InvalidateCatalogs() {
  catalog_->Invalidate();
  for (auto& a : attached_) a->catalog->Invalidate();
}

}  // namespace tillbase::engine::core

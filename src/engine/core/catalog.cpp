#include "engine/core/catalog.h"

#include <chrono>
#include <ctime>

#include "engine/core/sqlite_util.h"
#include "engine/errors.h"
#include "engine/sql/types.h"

namespace tillbase::engine::core {

std::string LowerName(std::string_view s) {
  // ASCII only, whatever the process's locale: names are UTF-8, whose
  // multi-byte sequences a locale's single-byte table would corrupt.
  std::string r(s);
  for (char& c : r) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return r;
}

bool NameEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

bool NameLess::operator()(const std::string& a, const std::string& b) const {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    int x = std::tolower(static_cast<unsigned char>(a[i]));
    int y = std::tolower(static_cast<unsigned char>(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

const ColumnInfo* TableInfo::Find(std::string_view column) const {
  int i = IndexOf(column);
  return i < 0 ? nullptr : &columns[static_cast<size_t>(i)];
}

int TableInfo::IndexOf(std::string_view column) const {
  std::string want = LowerName(column);
  for (size_t i = 0; i < columns.size(); ++i) {
    if (LowerName(columns[i].name) == want) return static_cast<int>(i);
  }
  return -1;
}

std::string SchemaSql(std::string_view schema) {
  if (schema == "main" || schema == "temp") return std::string(schema);
  return QuoteIdent(schema);
}

std::string TableInfo::SqlName() const { return SchemaSql(schema) + "." + QuoteIdent(name); }

namespace {

bool IsTempName(std::string_view name) { return !name.empty() && name[0] == '#'; }

std::string NowText() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S.000", &tm);
  return buf;
}

struct SystemColumn {
  const char* name;
  const char* type;
};

// The system tables every database shows, as views over the metadata. Their
// bodies name the metadata unqualified: a view resolves in its own file,
// whether that is a connection's main database or an attached one.
void AddSystemView(sqlite3* db, const char* schema, const char* name, const std::string& select,
                   const std::vector<SystemColumn>& cols) {
  std::string s = schema;
  {
    Stmt find(db, "SELECT id FROM " + s + ".__tb_objects WHERE name = ?1");
    find.Bind(1, std::string_view(name));
    if (find.Step()) return;
  }
  ExecSql(db, "CREATE VIEW IF NOT EXISTS " + s + "." + QuoteIdent(name) + " AS " + select);
  Stmt add(db, "INSERT INTO " + s +
                   ".__tb_objects(id, name, type, crdate) VALUES "
                   "((SELECT COALESCE(MAX(id), 1000) + 1 FROM " +
                   s + ".__tb_objects WHERE id < 100000), ?1, 'S', ?2)");
  add.Bind(1, std::string_view(name)).Bind(2, NowText());
  add.Step();
  int64_t id = sqlite3_last_insert_rowid(db);
  Stmt col(db, "INSERT INTO " + s +
                   ".__tb_columns(object_id, ordinal, name, type, nullable, is_identity, seed, "
                   "increment, default_sql, is_key) VALUES (?1, ?2, ?3, ?4, 1, 0, 1, 1, '', 0)");
  int ordinal = 0;
  for (const SystemColumn& c : cols) {
    col.Reset();
    col.Bind(1, id).Bind(2, static_cast<int64_t>(++ordinal)).Bind(3, std::string_view(c.name));
    col.Bind(4, std::string_view(c.type));
    col.Step();
  }
}

}  // namespace

void Catalog::Initialize(sqlite3* db, const char* schema) {
  std::string s = schema;
  ExecSql(db, "CREATE TABLE IF NOT EXISTS " + s +
                  ".__tb_objects(id INTEGER PRIMARY KEY, name TEXT NOT NULL COLLATE NOCASE "
                  "UNIQUE, type TEXT NOT NULL, crdate TEXT NOT NULL);"
                  "CREATE TABLE IF NOT EXISTS " +
                  s +
                  ".__tb_columns(object_id INTEGER NOT NULL, ordinal INTEGER NOT NULL, name TEXT "
                  "NOT NULL, type TEXT NOT NULL, nullable INTEGER NOT NULL, is_identity INTEGER "
                  "NOT NULL, seed INTEGER, increment INTEGER, default_sql TEXT, is_key INTEGER NOT "
                  "NULL, PRIMARY KEY(object_id, ordinal));"
                  "CREATE TABLE IF NOT EXISTS " +
                  s +
                  ".__tb_procs(object_id INTEGER NOT NULL, grp INTEGER NOT NULL, text TEXT NOT "
                  "NULL, PRIMARY KEY(object_id, grp));");
  if (s == "temp") return;
  AddSystemView(db, schema, "sysobjects",
                "SELECT name, id, type AS xtype, type, 1 AS uid, 0 AS parent_obj, crdate FROM "
                "__tb_objects",
                {{"name", "nvarchar(128)"},
                 {"id", "int"},
                 {"xtype", "char(2)"},
                 {"type", "char(2)"},
                 {"uid", "smallint"},
                 {"parent_obj", "int"},
                 {"crdate", "datetime"}});
  AddSystemView(db, schema, "syscolumns",
                "SELECT c.name AS name, c.object_id AS id, c.ordinal AS colid, c.type AS "
                "typename, c.nullable AS isnullable FROM __tb_columns c",
                {{"name", "nvarchar(128)"},
                 {"id", "int"},
                 {"colid", "smallint"},
                 {"typename", "nvarchar(128)"},
                 {"isnullable", "int"}});
}

std::optional<ObjectInfo> Catalog::FindObject(std::string_view name) {
  bool temp = IsTempName(name);
  Stmt q(db_, "SELECT id, name, type FROM " + SchemaFor(temp) + ".__tb_objects WHERE name = ?1");
  q.Bind(1, name);
  if (!q.Step()) return std::nullopt;
  ObjectInfo o;
  o.id = q.Int(0);
  o.name = q.Text(1);
  o.type = q.Text(2);
  o.schema = temp ? "temp" : schema_;
  return o;
}

std::shared_ptr<const TableInfo> Catalog::FindTable(std::string_view name) {
  auto it = tables_.find(std::string(name));
  if (it != tables_.end()) return it->second;
  auto object = FindObject(name);
  if (!object || (object->type != "U" && object->type != "V" && object->type != "S")) {
    return nullptr;
  }
  auto table = LoadTable(*object);
  tables_[std::string(name)] = table;
  return table;
}

std::shared_ptr<const TableInfo> Catalog::LoadTable(const ObjectInfo& object) {
  auto t = std::make_shared<TableInfo>();
  t->id = object.id;
  t->name = object.name;
  t->schema = object.schema;
  t->database = object.schema == "temp" ? "tempdb" : database_;
  t->kind = object.type[0];
  Stmt q(db_,
         "SELECT name, type, nullable, is_identity, seed, increment, default_sql, is_key "
         "FROM " +
             SchemaSql(object.schema) + ".__tb_columns WHERE object_id = ?1 ORDER BY ordinal");
  q.Bind(1, object.id);
  while (q.Step()) {
    ColumnInfo c;
    c.name = q.Text(0);
    c.type = sql::ParseDecl(q.Text(1));
    c.nullable = q.Int(2) != 0;
    c.identity = q.Int(3) != 0;
    c.seed = q.Int(4);
    c.increment = q.Int(5);
    c.default_sql = q.Text(6);
    c.key = q.Int(7) != 0;
    if (c.identity) t->identity_index = static_cast<int>(t->columns.size());
    t->columns.push_back(std::move(c));
  }
  return t;
}

std::optional<ProcText> Catalog::FindProc(std::string_view name, int group) {
  auto object = FindObject(name);
  if (!object || object->type != "P") return std::nullopt;
  Stmt q(db_, "SELECT text FROM " + SchemaSql(object->schema) +
                  ".__tb_procs WHERE object_id = ?1 AND grp = ?2");
  q.Bind(1, object->id).Bind(2, static_cast<int64_t>(group));
  if (!q.Step()) return std::nullopt;
  ProcText p;
  p.id = object->id;
  p.name = object->name;
  p.group = group;
  p.text = q.Text(0);
  return p;
}

int64_t Catalog::AddObject(std::string_view name, std::string_view type, bool temp) {
  std::string schema = SchemaFor(temp);
  if (FindObject(name)) {
    throw MakeError(
        2714, 16, 6,
        "There is already an object named '" + std::string(name) + "' in the database.");
  }
  std::string next =
      temp ? "(SELECT COALESCE(MIN(id), -1000000) - 1 FROM temp.__tb_objects)"
           : "(SELECT MAX(COALESCE(MAX(id), 0) + 1, 1977000000) FROM " + schema + ".__tb_objects)";
  Stmt add(db_, "INSERT INTO " + schema + ".__tb_objects(id, name, type, crdate) VALUES (" +
                    next + ", ?1, ?2, ?3)");
  add.Bind(1, name).Bind(2, type).Bind(3, NowText());
  add.Step();
  tables_.clear();
  return sqlite3_last_insert_rowid(db_);
}

void Catalog::AddColumns(int64_t object_id, bool temp, const std::vector<ColumnInfo>& columns) {
  std::string schema = SchemaFor(temp);
  int64_t ordinal = 0;
  {
    Stmt q(db_, "SELECT COALESCE(MAX(ordinal), 0) FROM " + schema +
                    ".__tb_columns WHERE object_id = ?1");
    q.Bind(1, object_id);
    if (q.Step()) ordinal = q.Int(0);
  }
  Stmt col(db_, "INSERT INTO " + schema +
                    ".__tb_columns(object_id, ordinal, name, type, nullable, is_identity, seed, "
                    "increment, default_sql, is_key) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, "
                    "?10)");
  for (const ColumnInfo& c : columns) {
    col.Reset();
    col.Bind(1, object_id).Bind(2, ++ordinal).Bind(3, c.name).Bind(4, sql::TypeDecl(c.type));
    col.Bind(5, static_cast<int64_t>(c.nullable)).Bind(6, static_cast<int64_t>(c.identity));
    col.Bind(7, c.seed).Bind(8, c.increment).Bind(9, c.default_sql);
    col.Bind(10, static_cast<int64_t>(c.key));
    col.Step();
  }
  tables_.clear();
}

void Catalog::SetColumns(int64_t object_id, bool temp, const std::vector<ColumnInfo>& columns) {
  std::string schema = SchemaFor(temp);
  Stmt del(db_, "DELETE FROM " + schema + ".__tb_columns WHERE object_id = ?1");
  del.Bind(1, object_id);
  del.Step();
  AddColumns(object_id, temp, columns);
}

void Catalog::DropObject(const ObjectInfo& object) {
  for (const char* t : {"__tb_objects WHERE id", "__tb_columns WHERE object_id",
                        "__tb_procs WHERE object_id"}) {
    Stmt del(db_, "DELETE FROM " + SchemaSql(object.schema) + "." + t + " = ?1");
    del.Bind(1, object.id);
    del.Step();
  }
  tables_.clear();
}

void Catalog::SaveProc(int64_t object_id, int group, std::string_view text, bool replace) {
  Stmt save(db_, std::string(replace ? "INSERT OR REPLACE" : "INSERT") + " INTO " +
                     SchemaSql(schema_) + ".__tb_procs(object_id, grp, text) VALUES (?1, ?2, ?3)");
  save.Bind(1, object_id).Bind(2, static_cast<int64_t>(group)).Bind(3, text);
  save.Step();
}

}  // namespace tillbase::engine::core

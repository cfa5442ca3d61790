// What each database knows about its objects: tables and views with their
// typed columns, procedures with their text, identity counters. Kept in
// metadata tables of the database file itself (and of the connection's
// temp schema for #tables), read through a per-connection cache.
#pragma once

#include <sqlite3.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"

namespace tillbase::engine::core {

struct ColumnInfo {
  std::string name;
  TypeInfo type;
  bool nullable = true;
  bool identity = false;
  int64_t seed = 1, increment = 1;
  std::string default_sql;  // SQLite expression in the column's storage form; empty for none
  bool key = false;         // part of the primary key
};

struct TableInfo {
  int64_t id = 0;
  std::string name;    // as created
  std::string schema;  // SQLite schema: "main", "temp" or another database's alias
  std::string database;  // the database's name, "tempdb" for #tables
  char kind = 'U';     // 'U' user table, 'V' view, 'S' system table
  std::vector<ColumnInfo> columns;
  int identity_index = -1;

  const ColumnInfo* Find(std::string_view column) const;
  int IndexOf(std::string_view column) const;
  std::string SqlName() const;  // main."T", temp."#t", "tb_shop"."T"
};

// A schema name as SQL: main and temp bare, an attached database's alias quoted.
std::string SchemaSql(std::string_view schema);

struct ObjectInfo {
  int64_t id = 0;
  std::string name;
  std::string type;  // "U", "V", "P", "S"
  std::string schema;
};

struct ProcText {
  int64_t id = 0;
  std::string name;
  int group = 1;
  std::string text;  // the CREATE PROCEDURE text
};

// Case-insensitive ordering of object names.
struct NameLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

std::string LowerName(std::string_view s);
// Whether two names are equal without regard to ASCII letter case.
bool NameEquals(std::string_view a, std::string_view b);

// The objects of one database as one connection sees it: `schema` is where
// the database's file is (main, or its alias when attached), `database` its
// name. Names starting with '#' are looked up in the connection's temp.
class Catalog {
 public:
  Catalog(sqlite3* db, std::string schema, std::string database)
      : db_(db), schema_(std::move(schema)), database_(std::move(database)) {}

  const std::string& schema() const { return schema_; }
  const std::string& database() const { return database_; }

  // Creates the metadata tables and system views of a schema when missing.
  static void Initialize(sqlite3* db, const char* schema);

  // The object of a name ("#t" looks in temp), or nothing.
  std::optional<ObjectInfo> FindObject(std::string_view name);
  // A table, view or system table; null when there is none.
  std::shared_ptr<const TableInfo> FindTable(std::string_view name);
  std::optional<ProcText> FindProc(std::string_view name, int group);

  // Records a new object; throws 2714 when the name is taken.
  int64_t AddObject(std::string_view name, std::string_view type, bool temp);
  void AddColumns(int64_t object_id, bool temp, const std::vector<ColumnInfo>& columns);
  void SetColumns(int64_t object_id, bool temp, const std::vector<ColumnInfo>& columns);
  void DropObject(const ObjectInfo& object);
  void SaveProc(int64_t object_id, int group, std::string_view text, bool replace);

  // Forgets what was read (after DDL, here or on another connection).
  void Invalidate() { tables_.clear(); }

 private:
  std::shared_ptr<const TableInfo> LoadTable(const ObjectInfo& object);

  std::string SchemaFor(bool temp) const { return temp ? "temp" : SchemaSql(schema_); }

  sqlite3* db_;
  std::string schema_, database_;
  std::map<std::string, std::shared_ptr<const TableInfo>, NameLess> tables_;
};

}  // namespace tillbase::engine::core

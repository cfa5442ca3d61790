// Translation of T-SQL queries, DML and expressions (the parser's tree) to
// SQLite SQL over the engine's storage forms. Variables become numbered
// parameters; every expression carries its T-SQL type so that results
// come back typed as SQL Server types them.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/core/catalog.h"
#include "engine/engine.h"
#include "engine/parser/ast.h"

namespace tillbase::engine::core {

// What translation needs from the session running the statement.
class TranslateEnv {
 public:
  virtual ~TranslateEnv() = default;
  // The declared type of "@x", or of a global such as "@@identity";
  // nothing when undeclared.
  virtual std::optional<TypeInfo> VariableType(std::string_view name) = 0;
  // A table or view by its (db, schema, name) parts; null when missing.
  virtual std::shared_ptr<const TableInfo> Table(const std::vector<std::string>& parts) = 0;
  // Whether SET IDENTITY_INSERT is ON for the table.
  virtual bool IdentityInsert(const TableInfo& table) { return false; }
  // The SQLite schema, as SQL, holding the objects of `database` (attached
  // when needed); an empty name means the database unqualified names
  // resolve in.
  virtual std::string DatabaseSchema(std::string_view database) { return "main"; }
};

struct Translation {
  std::string sql;
  std::vector<std::string> params;      // variable names bound to ?1..?n, lower case
  std::vector<TypeInfo> param_types;    // their types when translated
  std::vector<Column> columns;          // result columns of a query
  std::vector<std::string> assign_vars; // SELECT @v = ...: one per column
  std::vector<std::string> assign_ops;
  bool is_query = false;
  std::shared_ptr<const TableInfo> target;  // the table DML writes
};

class Translator {
 public:
  explicit Translator(TranslateEnv& env);
  // Translates the body of a view stored in `view_schema`: its tables are
  // named unqualified, so that the view resolves in its own file wherever
  // that file is attached; tables elsewhere are refused.
  Translator(TranslateEnv& env, std::string view_schema);
  ~Translator();

  Translation Query(const ast::Select& select);
  Translation Insert(const ast::Statement& s);
  Translation Update(const ast::Statement& s);
  Translation Delete(const ast::Statement& s);
  // SELECT of one expression, converted to `target` when given.
  Translation Scalar(const ast::Expr& e, const TypeInfo* target);
  // SELECT of the value `var op= e` takes, in the variable's type.
  Translation Assignment(const std::string& var, const std::string& op, const ast::Expr& e);
  // SELECT of a condition: 1 when true, 0 otherwise.
  Translation Condition(const ast::Expr& e);
  // The SQLite expression of a column default, in the column's storage.
  std::string DefaultSql(const ast::Expr& e, const TypeInfo& type);
  // The SQLite DDL type of a column ("INT", "TEXT COLLATE TSQL", ...).
  static std::string StorageDecl(const TypeInfo& type);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tillbase::engine::core

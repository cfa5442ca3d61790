// The syntax tree of a T-SQL batch.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace tillbase::engine::ast {

struct Select;
struct Expr;
struct Statement;
using ExprPtr = std::unique_ptr<Expr>;
using StmtPtr = std::unique_ptr<Statement>;

// A type as written: "varchar(50)", "decimal(18, 4)", "nvarchar(max)".
struct TypeSpec {
  std::string name;  // lower case
  TypeInfo info;
  bool has_length = false;
};

enum class ExprKind {
  kNull,
  kInteger,   // text holds the digits
  kDecimal,   // text holds the literal
  kFloat,
  kString,
  kNString,
  kBinary,    // text holds hex digits
  kVariable,  // name "@x"
  kGlobal,    // name "@@identity" (lower case)
  kColumn,    // parts: [db, schema, table, column] suffix
  kStar,      // parts: optional qualifier
  kUnary,     // op "-", "+", "~"; args[0]
  kBinaryOp,  // op "+", "-", "*", "/", "%", "&", "|", "^"
  kCompare,   // op "=", "<>", "<", "<=", ">", ">="
  kAnd,
  kOr,
  kNot,
  kIsNull,    // negated for IS NOT NULL
  kLike,      // args[0] LIKE args[1] [ESCAPE args[2]]
  kBetween,   // args[0] BETWEEN args[1] AND args[2]
  kInList,    // args[0] IN (args[1..])
  kInSelect,  // args[0] IN (select)
  kExists,    // EXISTS (select)
  kSubquery,  // (select)
  kFunction,  // name lower case; args; star for COUNT(*); distinct
  kCase,      // args[0] operand or null; then pairs when/then; else last (has_else)
  kCast,      // CAST(args[0] AS type) and CONVERT(type, args[0] [, args[1] style])
  kDatePart,  // a DATEADD/DATEDIFF/DATEPART part name, in text
};

struct Expr {
  ExprKind kind = ExprKind::kNull;
  int line = 1;
  std::string text;                // operator, name, literal
  std::vector<std::string> parts;  // multi-part names
  std::vector<ExprPtr> args;
  std::shared_ptr<Select> select;  // subqueries
  TypeSpec type;                   // CAST/CONVERT target
  bool negated = false;
  bool star = false;               // COUNT(*)
  bool distinct = false;           // COUNT(DISTINCT x)
  bool has_else = false;
  bool is_convert = false;
};

struct SelectItem {
  ExprPtr expr;             // empty for a star
  std::string alias;        // "expr AS alias" or "alias = expr"
  std::string assign_var;   // "SELECT @v = expr"
  std::string assign_op;    // "=", "+=", ...
  bool star = false;
  std::string star_qualifier;
};

struct TableRef {
  enum class Kind { kTable, kDerived, kJoin };
  Kind kind = Kind::kTable;
  std::vector<std::string> name;  // db, schema, table (suffix significant)
  std::string alias;
  std::shared_ptr<Select> derived;
  std::string join_type;  // "inner", "left", "right", "full", "cross"
  std::unique_ptr<TableRef> left, right;
  ExprPtr on;
  int line = 1;
};

struct OrderItem {
  ExprPtr expr;
  bool desc = false;
};

struct QuerySpec {
  bool distinct = false;
  ExprPtr top;
  bool top_percent = false;
  std::vector<SelectItem> items;
  std::vector<std::string> into;  // SELECT ... INTO name
  std::vector<std::unique_ptr<TableRef>> from;
  ExprPtr where;
  std::vector<ExprPtr> group_by;
  ExprPtr having;
};

struct Select {
  QuerySpec first;
  struct Union {
    bool all = false;
    QuerySpec spec;
  };
  std::vector<Union> unions;
  std::vector<OrderItem> order_by;
  int line = 1;
};

struct ColumnDef {
  std::string name;
  TypeSpec type;
  bool not_null = false;
  bool null_given = false;
  bool identity = false;
  int64_t seed = 1, increment = 1;
  ExprPtr default_value;
  bool primary_key = false;
  bool unique = false;
};

struct TableConstraint {
  std::string name;
  bool primary_key = false;  // else unique
  std::vector<std::string> columns;
};

struct ProcParam {
  std::string name;
  TypeSpec type;
  ExprPtr default_value;
  bool output = false;
};

struct ExecArg {
  std::string name;  // "@p" for named arguments
  ExprPtr value;     // a literal, variable or DEFAULT (empty)
  bool output = false;
  bool is_default = false;
};

struct SetAssign {
  std::string column;  // or a variable "@v"
  std::string op;      // "=", "+=", ...
  ExprPtr value;
};

enum class StmtKind {
  kSelect,
  kInsert,
  kUpdate,
  kDelete,
  kTruncate,
  kDeclare,
  kSetVar,
  kSetOption,
  kIf,
  kBlock,
  kWhile,
  kBreak,
  kContinue,
  kReturn,
  kRaiserror,
  kPrint,
  kTry,
  kExec,
  kExecString,
  kBeginTran,
  kCommit,
  kRollback,
  kSaveTran,
  kCreateTable,
  kAlterTableAdd,
  kAlterTableDrop,
  kDropTable,
  kCreateView,
  kDropView,
  kCreateProc,
  kDropProc,
  kCreateIndex,
  kDropIndex,
  kUse,
  kEmpty,
  kServer,  // a server-level statement; body_text holds its text
};

struct Declaration {
  std::string name;
  TypeSpec type;
  ExprPtr init;
  bool is_table = false;
};

struct Statement {
  StmtKind kind = StmtKind::kEmpty;
  int line = 1;
  size_t begin = 0, end = 0;  // byte range of the statement in its batch

  // SELECT / INSERT ... SELECT / view body
  std::shared_ptr<Select> select;

  // INSERT / UPDATE / DELETE / TRUNCATE / DDL target
  std::vector<std::string> target;
  std::vector<std::string> columns;          // INSERT column list; index columns
  std::vector<std::vector<ExprPtr>> values;  // INSERT VALUES rows
  bool default_values = false;
  std::vector<SetAssign> sets;                 // UPDATE SET
  std::vector<std::unique_ptr<TableRef>> from; // UPDATE/DELETE FROM
  ExprPtr where;
  ExprPtr top;

  // DECLARE / SET @v
  std::vector<Declaration> declarations;
  std::string variable;
  std::string assign_op;
  ExprPtr value;

  // SET option
  std::string option;  // lower case, e.g. "nocount"
  std::string option_value;  // "on", "off" or the value's text
  ExprPtr option_expr;

  // IF / WHILE / blocks / TRY
  ExprPtr condition;
  std::vector<StmtPtr> body;       // BEGIN...END, TRY block, THEN
  std::vector<StmtPtr> else_body;  // ELSE, CATCH block
  bool has_else = false;

  // RETURN / RAISERROR / PRINT
  std::vector<ExprPtr> args;
  std::vector<std::string> with_options;

  // EXEC
  std::string return_var;        // EXEC @r = p
  std::vector<std::string> proc; // procedure name parts ("name;1" is kept in the last part)
  ExprPtr proc_var;              // EXEC @procname
  std::vector<ExecArg> exec_args;

  // CREATE TABLE / ALTER TABLE
  std::vector<ColumnDef> column_defs;
  std::vector<TableConstraint> constraints;
  std::vector<std::string> drop_columns;
  bool if_exists = false;
  std::vector<std::vector<std::string>> drop_targets;

  // CREATE PROCEDURE / VIEW
  bool is_alter = false;
  std::vector<ProcParam> params;
  std::string body_text;  // the whole CREATE text
  std::string name_text;  // name as written, "p;1"
  int group_number = 1;

  // CREATE INDEX
  bool unique = false;
  std::string index_name;

  // transactions
  std::string tran_name;
};

struct Batch {
  std::vector<StmtPtr> statements;
};

}  // namespace tillbase::engine::ast

// The T-SQL function library as SQLite user functions, and the rules the
// translator follows to call it.
//
// Calling conventions (the translator's side):
//
//  * Scalar functions (FunctionKind::kScalar): every T-SQL argument is
//    followed by EncodeType() of its static type, so that a function knows
//    how the value is stored (a decimal(10,2) 1.5 arrives as INTEGER 150):
//        LEN(@s)                 -> tsql_len(?1, <code of @s>)
//        DATEADD(day, 1, d)      -> tsql_dateadd('day', <varchar code>, 1, <int code>, d, <code>)
//    A datepart keyword (FunctionInfo::datepart_first) is passed as a text
//    literal of the keyword as written. The result is stored in the form of
//    ResultType(info, argument types).
//  * Aggregates (FunctionKind::kAggregate): `pattern` is SQL in which the
//    translator replaces $D by "DISTINCT " or nothing, $1 by the argument,
//    $T by the argument's type code and $R by the result type's code.
//    COUNT(*) is written count(*) directly.
//  * CAST(x AS t), CONVERT(t, x [, style]) and every implicit conversion:
//        tsql_convert(x, <code of x>, <code of t>, style)   (style 0 if none)
//    ConvertStorage() does the same at translation time for constants.
//  * Arithmetic and string +: tsql_add / tsql_sub / tsql_mul / tsql_div /
//    tsql_mod (a, <code a>, b, <code b>); unary minus tsql_neg(a, <code a>).
//    The result type is ArithmeticResultType(); SQLite's own operators are
//    never used for arithmetic (they neither raise 8134 nor keep decimals).
//    An integer literal is typed int, except that where it meets a decimal
//    operand it counts as decimal(digits, 0), so that 2.0/3 is 0.666666
//    (IntegerLiteralOperand).
//    A bare NULL literal is typed int; every function returns NULL for NULL
//    operands before it converts anything.
//  * Comparisons use SQLite's operators after both sides were converted to
//    ComparisonType(a, b) (convert only the side whose type differs). Text
//    comparisons need the collation kCollation: declare character columns
//    "COLLATE TSQL" and add "COLLATE TSQL" to comparisons, IN, ORDER BY,
//    GROUP BY and DISTINCT of other character expressions.
//  * LIKE: tsql_like(value, pattern) or tsql_like(value, pattern, escape),
//    T-SQL wildcards (% _ [a-z] [^a]) without regard to case; plain
//    arguments (no type codes): convert non-character values to varchar
//    first.
//  * Storing into a column or variable (INSERT, UPDATE, SET @v, OUTPUT):
//        tsql_assign(x, <code of x>, <code of the target>)
//    which fails with 8152 where CAST would cut text.
//  * CAST/CONVERT to char/varchar/nchar/nvarchar without a length: 30.
//
// Errors: a function that fails reports an EngineError through
// sqlite3_result_error in the encoding of EncodeForSqlite (errors.h). When
// sqlite3_step() fails, the core passes sqlite3_errmsg() to
// DecodeFunctionError() to recover number, severity, state and text.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"

namespace tillbase::engine::sql {

// The collation of T-SQL text comparison: case-insensitive, trailing blanks
// ignored.
inline constexpr const char* kCollation = "TSQL";

// Per-connection settings the functions read. The connection owns it and
// keeps it alive as long as the sqlite3 handle; changes (SET DATEFORMAT)
// take effect at once.
struct FunctionSettings {
  std::string dateformat = "mdy";  // order of numeric dates in text ("mdy", "dmy", "ymd")
  int datefirst = 7;               // first day of the week, 7 = Sunday
  // Local time in microseconds since 1900-01-01 for GETDATE(); the system
  // clock when empty. Tests inject a fixed clock here.
  std::function<int64_t()> now;
};

// Registers every function, aggregate and the collation on a connection.
// settings may be null (defaults); otherwise it must outlive db.
void RegisterFunctions(sqlite3* db, const FunctionSettings* settings = nullptr);

enum class FunctionKind { kScalar, kAggregate };

struct FunctionInfo {
  std::string_view tsql_name;    // upper case: "DATEADD"
  std::string_view sqlite_name;  // "tsql_dateadd"; for aggregates a pattern (see above)
  FunctionKind kind = FunctionKind::kScalar;
  int min_args = 0;
  int max_args = 0;             // -1: any number
  bool datepart_first = false;  // argument 0 is a datepart keyword
  bool deterministic = true;    // false for GETDATE, NEWID
  // The result type from the argument types (a datepart argument counts as
  // varchar). Throws EngineError for argument types the function refuses.
  TypeInfo (*result_type)(const std::vector<TypeInfo>& args) = nullptr;
};

// The function of a T-SQL name (any case), or null when the library does
// not have it (the core handles OBJECT_ID, DB_NAME, @@ functions, ...).
const FunctionInfo* FindFunction(std::string_view tsql_name);
TypeInfo ResultType(const FunctionInfo& info, const std::vector<TypeInfo>& args);

enum class ArithOp { kAdd, kSub, kMul, kDiv, kMod };
std::string_view ArithmeticFunction(ArithOp op);  // "tsql_add", ...
// SQL Server's result type of a op b, including decimal precision and scale
// and string concatenation for +. Throws for combinations T-SQL refuses:
// 8117 (operand type invalid for the operator), 402 (types incompatible),
// 206 (operand type clash, e.g. date + int).
TypeInfo ArithmeticResultType(ArithOp op, const TypeInfo& a, const TypeInfo& b);

// The type an integer literal takes as an operand of arithmetic with
// `other`: decimal(digits, 0) when other is decimal or numeric (so that
// 2.0/3 is 0.666666), else `literal` unchanged.
TypeInfo IntegerLiteralOperand(const TypeInfo& literal, int64_t value, const TypeInfo& other);

// The type both sides of a comparison are converted to: the one of higher
// precedence (for two decimals, one holding both).
TypeInfo ComparisonType(const TypeInfo& a, const TypeInfo& b);
// The type of CASE, COALESCE, UNION columns: the highest precedence.
TypeInfo CommonType(const std::vector<TypeInfo>& types);

// Recovers an error a function raised; false when the SQLite error text is
// not one of ours.
bool DecodeFunctionError(std::string_view sqlite_message, Message* out);

}  // namespace tillbase::engine::sql

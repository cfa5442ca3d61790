// Arithmetic on stored values with SQL Server's result types; what the
// tsql_add ... functions run, and what the interpreter may fold constants
// with.
#pragma once

#include "engine/sql/convert.h"
#include "engine/sql/functions.h"

namespace tillbase::engine::sql {

// a op b; NULL when either is NULL. Throws 8134 (divide by zero), 8115
// (overflow), 245/8114 (an operand's text is not a number), 8117/402.
Stored Arithmetic(ArithOp op, const Stored& a, const TypeInfo& ta, const Stored& b,
                  const TypeInfo& tb, const ConvertOptions& options = {});
Stored Negate(const Stored& a, const TypeInfo& ta);

// The precision of a decimal result is capped here: scaled values live in
// 64-bit integers, so results keep at most 18 digits (see docs/engine.md).
inline constexpr int kMaxStoredPrecision = 18;

}  // namespace tillbase::engine::sql

// Values in and out of SQLite storage, by their T-SQL type (see
// sql/types.h for the storage class of each type).
#pragma once

#include <sqlite3.h>

#include "engine/engine.h"

namespace tillbase::engine::core {

// Binds a value held as `type` to parameter i in that type's storage form.
void BindValue(sqlite3_stmt* stmt, int i, const Value& value, const TypeInfo& type);

// Reads column `col` as a value of `type`.
Value ReadValue(sqlite3_stmt* stmt, int col, const TypeInfo& type);

// The type a value has on its own: int or bigint, float, decimal at its
// scale, nvarchar, varbinary, datetime; NULL is an int.
TypeInfo NaturalType(const Value& value);

// A decimal value rescaled (rounding half away from zero).
__int128 Rescale(__int128 unscaled, int from_scale, int to_scale);

}  // namespace tillbase::engine::core

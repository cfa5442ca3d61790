// The translator's door to the T-SQL function library (sql/functions.h):
// one place that decides which implementation the engine's SQL calls.
#pragma once

#include <sqlite3.h>

#include <string_view>
#include <vector>

#include "engine/sql/functions.h"

namespace tillbase::engine::core::lib {

void Register(sqlite3* db, const sql::FunctionSettings* settings);
const sql::FunctionInfo* Find(std::string_view tsql_name);
TypeInfo Result(const sql::FunctionInfo& info, const std::vector<TypeInfo>& args);
std::string_view ArithName(sql::ArithOp op);
TypeInfo ArithType(sql::ArithOp op, const TypeInfo& a, const TypeInfo& b);
TypeInfo CompareType(const TypeInfo& a, const TypeInfo& b);
TypeInfo Common(const std::vector<TypeInfo>& types);

}  // namespace tillbase::engine::core::lib

#include "engine/core/lib.h"

namespace tillbase::engine::core::lib {

void Register(sqlite3* db, const sql::FunctionSettings* settings) {
  sql::RegisterFunctions(db, settings);
}
const sql::FunctionInfo* Find(std::string_view tsql_name) { return sql::FindFunction(tsql_name); }
TypeInfo Result(const sql::FunctionInfo& info, const std::vector<TypeInfo>& args) {
  return sql::ResultType(info, args);
}
std::string_view ArithName(sql::ArithOp op) { return sql::ArithmeticFunction(op); }
TypeInfo ArithType(sql::ArithOp op, const TypeInfo& a, const TypeInfo& b) {
  return sql::ArithmeticResultType(op, a, b);
}
TypeInfo CompareType(const TypeInfo& a, const TypeInfo& b) { return sql::ComparisonType(a, b); }
TypeInfo Common(const std::vector<TypeInfo>& types) { return sql::CommonType(types); }

}  // namespace tillbase::engine::core::lib

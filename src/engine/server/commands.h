// Server-level statements (databases, logins, sessions, backups) and
// system procedures, run on behalf of a session.
#pragma once

#include <sqlite3.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine/engine.h"

namespace tillbase::engine::core {
class Session;
}

namespace tillbase::engine::server {

// The value of a variable of the running batch ("@x"); throws 137 when
// undeclared.
using VariableReader = std::function<Value(const std::string&)>;

// Runs CREATE/DROP DATABASE, CREATE/ALTER/DROP LOGIN, KILL, BACKUP DATABASE
// and RESTORE DATABASE/FILELISTONLY given as their statement text. Errors
// that SQL Server reports in pairs (3201 then 3013) send the first to the
// sink and throw the last.
void ExecuteStatement(core::Session& session, const std::string& text, int line, ResultSink& sink,
                      const VariableReader& read_variable);

// sp_who, sp_sproc_columns, sp_tables, sp_columns.
bool IsSystemProcedure(std::string_view name);
int RunSystemProcedure(core::Session& session, std::string_view name,
                       const std::vector<std::pair<std::string, Value>>& args, ResultSink& sink);
// The parameters a client's refresh sees for those and for sp_executesql
// (position 0 the return value), as SQL Server declares them; nothing for
// other names.
std::optional<std::vector<ProcParamInfo>> DescribeSystemProcedure(std::string_view name);

// DB_ID, DB_NAME(id), SERVERPROPERTY as SQLite functions of a connection,
// and its wait for another writer (bounded by the command time-out).
void RegisterFunctions(sqlite3* db, core::Session* session);

}  // namespace tillbase::engine::server

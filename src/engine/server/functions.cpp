// DB_ID, DB_NAME(id) and SERVERPROPERTY as SQLite functions, answered from
// the server's registry; and how a connection waits for another writer.
#include <unistd.h>

#include <thread>

#include "engine/server/access.h"
#include "engine/server/commands.h"
#include "engine/server/server.h"

namespace tillbase::engine::server {

namespace {

void ResultText(sqlite3_context* ctx, const std::string& s) {
  sqlite3_result_text(ctx, s.c_str(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

std::string ArgText(sqlite3_value* v) {
  const unsigned char* p = sqlite3_value_text(v);
  return p ? std::string(reinterpret_cast<const char*>(p)) : std::string();
}

void DbId(sqlite3_context* ctx, int, sqlite3_value** argv) {
  auto* s = static_cast<Server*>(sqlite3_user_data(ctx));
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  auto d = s->FindDatabase(std::string_view(ArgText(argv[0])));
  if (!d) return sqlite3_result_null(ctx);
  sqlite3_result_int(ctx, d->dbid);
}

void DbName(sqlite3_context* ctx, int, sqlite3_value** argv) {
  auto* s = static_cast<Server*>(sqlite3_user_data(ctx));
  if (sqlite3_value_type(argv[0]) == SQLITE_NULL) return sqlite3_result_null(ctx);
  auto d = s->FindDatabase(static_cast<int>(sqlite3_value_int64(argv[0])));
  if (!d) return sqlite3_result_null(ctx);
  ResultText(ctx, d->name);
}

void ServerProperty(sqlite3_context* ctx, int, sqlite3_value** argv) {
  auto* s = static_cast<Server*>(sqlite3_user_data(ctx));
  std::string p = Lower(ArgText(argv[0]));
  if (p == "servername") return ResultText(ctx, s->server_name());
  if (p == "machinename" || p == "computernamephysicalnetbios")
    return ResultText(ctx, s->machine_name());
  if (p == "edition") return ResultText(ctx, "Embedded Edition");
  if (p == "productversion") return ResultText(ctx, "8.00.2039");
  if (p == "productlevel") return ResultText(ctx, "SP4");
  if (p == "collation") return ResultText(ctx, "Chinese_PRC_CI_AS");
  if (p == "isintegratedsecurityonly" || p == "isclustered" || p == "issingleuser") {
    return sqlite3_result_int(ctx, 0);
  }
  // InstanceName is NULL for the default instance, which this server is;
  // unknown properties are NULL as well.
  sqlite3_result_null(ctx);
}

// One writer per database at a time: a connection that finds the database
// locked waits until the holder commits, as long as its command time-out
// allows (0: without limit) and it is not cancelled or killed; then the
// statement fails with 1222. Short waits first, so that a queue of writers
// moves at the pace of their commits rather than of a sleep.
int WaitForWriter(void* data, int count) {
  auto* session = static_cast<core::Session*>(data);
  if (Access::ShouldStop(*session)) return 0;
  if (count < 50) {
    std::this_thread::yield();
  } else {
    usleep(count < 1000 ? 200 : 2000);
  }
  return 1;
}

}  // namespace

void RegisterFunctions(sqlite3* db, core::Session* session) {
  Server* s = nullptr;
  try {
    s = &Access::ServerOf(*session);
  } catch (...) {
    return;  // the engine is still initialising master
  }
  sqlite3_busy_handler(db, WaitForWriter, session);
  sqlite3_create_function_v2(db, "tsql_db_id", 1, SQLITE_UTF8, s, DbId, nullptr, nullptr, nullptr);
  sqlite3_create_function_v2(db, "tsql_db_name", 1, SQLITE_UTF8, s, DbName, nullptr, nullptr,
                             nullptr);
  sqlite3_create_function_v2(db, "tsql_serverproperty", 1, SQLITE_UTF8, s, ServerProperty, nullptr,
                             nullptr, nullptr);
}

}  // namespace tillbase::engine::server

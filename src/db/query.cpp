#include "db/query.h"

#include "db/connection.h"
#include "db/errors.h"
#include "db/text_util.h"

namespace tillbase::db {

int64_t ExecuteText(Connection* connection, std::string_view sql, int timeout) {
  if (TrimBlanks(sql).empty()) throw NoCommandTextError();
  if (connection == nullptr) throw DbError("Missing Connection or ConnectionString");
  DriverConnection& driver = connection->driver();
  driver.SetCommandTimeout(timeout);
  std::unique_ptr<BatchCursor> cursor = driver.ExecuteBatch(sql);
  cursor->Drain();
  return cursor->RowsAffected();
}

void Query::SetSql(std::string text) {
  Close();
  sql_ = std::move(text);
}

int64_t Query::ExecSql() {
  Close();
  return ExecuteText(connection(), sql_, CommandTimeout());
}

std::unique_ptr<BatchCursor> Query::StartCursor() {
  if (TrimBlanks(sql_).empty()) throw NoCommandTextError();
  return PrepareDriver().OpenBatch(sql_);
}

int64_t Command::Execute() { return ExecuteText(connection_, text_, command_timeout_); }

}  // namespace tillbase::db

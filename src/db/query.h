// SQL text components: Query (execute with rows affected, or open for rows)
// and Command (execute only).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "db/dataset.h"

namespace tillbase::db {

class Query : public DataSet {
 public:
  explicit Query(Connection* connection = nullptr) : DataSet(connection) {}

  // Replacing the text closes an open query. The text may hold several
  // lines and several statements.
  void SetSql(std::string text);
  const std::string& Sql() const { return sql_; }

  // Runs the text without keeping rows; returns the rows affected as the
  // database reports them for the batch (-1 when it reports none). A blank
  // text raises "Command text was not set for the command object."
  int64_t ExecSql();

 protected:
  std::unique_ptr<BatchCursor> StartCursor() override;

 private:
  std::string sql_;
};

class Command {
 public:
  explicit Command(Connection* connection = nullptr) : connection_(connection) {}
  void SetConnection(Connection* connection) { connection_ = connection; }
  void SetCommandText(std::string text) { text_ = std::move(text); }
  const std::string& CommandText() const { return text_; }
  void SetCommandTimeout(int seconds) { command_timeout_ = seconds; }
  int CommandTimeout() const { return command_timeout_; }
  // As Query::ExecSql.
  int64_t Execute();

 private:
  Connection* connection_;
  std::string text_;
  int command_timeout_ = 30;
};

// Runs sql on the connection's driver with a time-out; the rows affected.
int64_t ExecuteText(Connection* connection, std::string_view sql, int timeout);

}  // namespace tillbase::db

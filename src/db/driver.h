// The interface between the components (Connection, StoredProc, Query,
// Command, RecordSet) and a database driver. A driver turns the layer's
// requests into calls of one database: the embedded engine or SQL Server
// through ODBC.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "db/driver_settings.h"
#include "db/field_types.h"
#include "shared/variant.h"

namespace tillbase::db {

// What the connection properties ask for, in the driver's terms.
struct LoginInfo {
  std::string server;        // "Data Source"
  std::string database;      // "Initial Catalog"; empty: the login's default
  std::string user;          // "User Id"
  std::string password;      // "PASSWORD"; empty when unset
  bool integrated = false;   // "Integrated Security" = "SSPI"
  int connect_timeout = 15;  // seconds; 0 = no limit
  std::string host_name;     // the client machine, for the server's process list
};

// A column of a result set as a driver describes it.
struct ColumnDesc {
  std::string name;
  SqlTypeDesc type;
  bool nullable = true;
  bool identity = false;
  bool key = false;
  std::string base_table;
};

// One procedure parameter: its refreshed description and the value the
// caller gave. Position 0 of a parameter list is the return value.
struct Parameter {
  std::string name;  // with the leading "@"
  SqlTypeDesc sql_type;
  int data_type = 0;  // data type code; may be changed by the caller
  int direction = 1;  // direction code
  int size = 0;
  int precision = 0;
  int scale = 0;
  bool nullable = true;
  bool has_default = false;
  Variant value;  // Empty: no value given
};

// The results of a batch or procedure call, read in order. Database errors
// raise DbError with the database's text when they are reached.
class BatchCursor {
 public:
  virtual ~BatchCursor() = default;
  // Moves to the next result set that has columns, passing over row counts
  // (added to RowsAffected). false when the batch has no further result set;
  // by then every error of the batch has been raised and the output
  // parameters of a procedure call are written.
  virtual bool NextResultSet() = 0;
  // The columns of the current result set.
  virtual const std::vector<ColumnDesc>& Columns() const = 0;
  // Appends up to max_rows rows of the current result set to out; returns
  // how many; 0 at its end.
  virtual size_t Fetch(std::vector<std::vector<Variant>>& out, size_t max_rows) = 0;
  // The sum of the row counts the database reported so far for statements
  // that returned no rows; -1 when it reported none.
  virtual int64_t RowsAffected() const = 0;
  // Reads to the end of the batch (NextResultSet until false).
  void Drain() {
    while (NextResultSet()) {
    }
  }
};

class DriverConnection {
 public:
  virtual ~DriverConnection() = default;

  // Runs a T-SQL batch.
  virtual std::unique_ptr<BatchCursor> ExecuteBatch(std::string_view sql) = 0;

  // Calls a stored procedure as a remote procedure call with the values of
  // params (positions 1..n; output and input/output ones come back). The
  // return status goes to params[0] and the outputs to their parameters
  // once the returned cursor has been read to its end.
  virtual std::unique_ptr<BatchCursor> CallProcedure(
      std::string_view name, std::shared_ptr<std::vector<Parameter>> params) = 0;

  // Calls a stored procedure for its return status and outputs alone:
  // result sets are read past. The first database error is raised once
  // the outputs are written, as with CallProcedure's cursor read to its end.
  virtual void ExecProcedure(std::string_view name,
                             const std::shared_ptr<std::vector<Parameter>>& params) {
    CallProcedure(name, params)->Drain();
  }

  // As ExecuteBatch and CallProcedure, for a record set that reads the
  // results as it goes (in blocks) and may stay open while the connection
  // runs other statements; a driver that streams only here may buffer the
  // calls above.
  virtual std::unique_ptr<BatchCursor> OpenBatch(std::string_view sql) { return ExecuteBatch(sql); }
  virtual std::unique_ptr<BatchCursor> OpenProcedure(
      std::string_view name, std::shared_ptr<std::vector<Parameter>> params) {
    return CallProcedure(name, std::move(params));
  }

  // The procedure's parameters, return value first ("@RETURN_VALUE", int).
  virtual std::vector<Parameter> DescribeProcedure(std::string_view name) = 0;

  virtual void BeginTransaction() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
  virtual int TransactionCount() = 0;

  // Seconds; 0 = no limit. Applies to the statements that follow.
  virtual void SetCommandTimeout(int seconds) = 0;
  // Makes the database current (USE).
  virtual void ChangeDatabase(std::string_view database) = 0;
  virtual std::string CurrentDatabase() = 0;
  // Interrupts the running statement; may be called from another thread.
  virtual void Cancel() = 0;
};

// Opens a connection with the driver that the settings name. Raises DbError
// for an unknown driver name and for every failure of the login.
std::unique_ptr<DriverConnection> OpenDriverConnection(const DriverSettings& settings,
                                                       const LoginInfo& login);

// "[db]" with every "]" doubled: an identifier safe to put into SQL text.
std::string QuoteIdentifier(std::string_view name);

}  // namespace tillbase::db

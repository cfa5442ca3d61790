// The embedded engine's public interface: a SQL-Server-compatible T-SQL
// subset on SQLite storage, used in-process by the data-access layer.
//
// Threading: an Engine is shared by any number of threads. A Connection is
// used by one thread at a time; only Cancel() and Kill() may be called from
// another thread while it runs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tillbase::engine {

// T-SQL data types the engine knows.
enum class SqlType {
  kBit,
  kTinyInt,
  kSmallInt,
  kInt,
  kBigInt,
  kDecimal,
  kNumeric,
  kMoney,
  kSmallMoney,
  kFloat,
  kReal,
  kChar,
  kVarChar,
  kNChar,
  kNVarChar,
  kText,
  kNText,
  kDateTime,
  kSmallDateTime,
  kDate,
  kUniqueIdentifier,
  kBinary,
  kVarBinary,
  kImage,
  kSqlVariant,
};

// The T-SQL name of a type ("int", "nvarchar", ...).
std::string_view SqlTypeName(SqlType type);

struct TypeInfo {
  SqlType type = SqlType::kInt;
  int length = 0;     // bytes for char/binary kinds, -1 for (max); 0 when not applicable
  int precision = 0;  // decimal/numeric: 1..38; other numeric kinds: their fixed precision
  int scale = 0;      // decimal/numeric scale; 4 for money kinds
};

// An exact decimal: unscaled * 10^-scale. Money is a Decimal of scale 4.
struct Decimal {
  __int128 unscaled = 0;
  int scale = 0;
  std::string ToString() const;  // "12.50" keeps the scale
  double ToDouble() const;
  static Decimal Parse(std::string_view text);  // throws EngineError(8114) when not a number
  bool operator==(const Decimal&) const = default;
};

// A point in time: microseconds since 1900-01-01 00:00:00 (may be negative).
struct DateTime {
  int64_t micros = 0;
  bool operator==(const DateTime&) const = default;
};

struct Bytes {
  std::string data;  // raw bytes
  bool operator==(const Bytes&) const = default;
};

// A value as it leaves or enters the engine. std::monostate is SQL NULL.
// Text is UTF-8.
using Value = std::variant<std::monostate, int64_t, double, Decimal, std::string, Bytes, DateTime>;

inline bool IsNull(const Value& v) { return std::holds_alternative<std::monostate>(v); }

struct Column {
  std::string name;
  TypeInfo type;
  bool nullable = true;
  bool identity = false;   // an IDENTITY column of a base table
  std::string base_table;  // the table a column comes from, when the query reads one table
  bool key = false;        // part of the base table's primary key
};

// An informational message (severity <= 10) or an error (severity >= 11).
struct Message {
  int number = 0;
  int severity = 0;
  int state = 1;
  int line = 1;
  std::string procedure;
  std::string text;
  bool IsError() const { return severity >= 11; }
};

// An error with SQL Server's number, severity and text. Thrown by the
// engine's API for failures that end a call (connection refused, killed,
// cancelled); errors inside a batch are reported through the sink.
class EngineError : public std::exception {
 public:
  explicit EngineError(Message message) : message_(std::move(message)) {}
  EngineError(int number, int severity, std::string text);
  const char* what() const noexcept override { return message_.text.c_str(); }
  const Message& message() const { return message_; }
  int number() const { return message_.number; }

 private:
  Message message_;
};

// Receives what a batch or procedure call produces, in order.
class ResultSink {
 public:
  virtual ~ResultSink() = default;
  // A result set begins. Rows follow until EndResultSet.
  virtual void BeginResultSet(const std::vector<Column>& columns) = 0;
  // Returning false stops the statement (the rest of the batch still runs).
  virtual bool Row(std::vector<Value>&& row) = 0;
  virtual void EndResultSet() {}
  // "(n rows affected)" of a statement; not called under SET NOCOUNT ON.
  virtual void RowCount(int64_t count) {}
  virtual void OnMessage(const Message& message) {}
};

// A sink that keeps everything; what tests and small callers use.
struct ResultSet {
  std::vector<Column> columns;
  std::vector<std::vector<Value>> rows;
};

struct BatchResult {
  std::vector<ResultSet> result_sets;
  std::vector<int64_t> row_counts;  // one per statement that reported a count
  std::vector<Message> messages;    // informational messages and errors, in order
  bool HasError() const;
  const Message* FirstError() const;
};

class CollectingSink : public ResultSink {
 public:
  void BeginResultSet(const std::vector<Column>& columns) override;
  bool Row(std::vector<Value>&& row) override;
  void RowCount(int64_t count) override;
  void OnMessage(const Message& message) override;
  BatchResult& result() { return result_; }

 private:
  BatchResult result_;
};

enum class ParamDirection { kInput = 1, kOutput = 2, kInputOutput = 3, kReturnValue = 4 };

// A declared parameter of a stored procedure, as a parameter refresh needs
// it. Position 0 of a description is the return value ("@RETURN_VALUE", int).
struct ProcParamInfo {
  std::string name;  // with the leading "@"
  TypeInfo type;
  ParamDirection direction = ParamDirection::kInput;
  bool has_default = false;
};

// An argument of a procedure call. An empty name means by position.
struct ProcArgument {
  std::string name;  // "@x" or empty
  Value value;
  bool output = false;
  std::optional<TypeInfo> type;  // the caller's declared type, when it has one
  bool use_default = false;      // DEFAULT keyword: take the declared default
};

struct CallResult {
  std::optional<int> return_status;  // empty when the call failed before running
  std::vector<Value> outputs;        // one per argument, in argument order; NULL for inputs
};

struct ConnectOptions {
  std::string database = "master";
  std::string login = "sa";
  std::string password;
  bool trusted = false;  // integrated login: the operating-system user running the engine
  std::string host_name;
  std::string program_name;
};

class Connection {
 public:
  virtual ~Connection() = default;

  // Runs a T-SQL batch; results, counts and messages go to the sink.
  // Returns false when an error was reported. Throws EngineError only when
  // the connection itself is unusable (killed, closed).
  virtual bool ExecuteBatch(std::string_view sql, ResultSink& sink) = 0;
  BatchResult ExecuteBatch(std::string_view sql);

  // Calls a stored procedure ("name", "name;1", "db.dbo.name").
  virtual CallResult CallProcedure(std::string_view name, const std::vector<ProcArgument>& args,
                                   ResultSink& sink) = 0;

  // The parameters of a procedure, return value first. Throws EngineError
  // 2812 when the procedure does not exist.
  virtual std::vector<ProcParamInfo> DescribeProcedure(std::string_view name) = 0;

  // Interrupts the statement running on this connection (any thread).
  virtual void Cancel() = 0;

  // Statement time-out in seconds; 0 means no limit.
  virtual void SetCommandTimeout(int seconds) = 0;

  virtual std::string CurrentDatabase() const = 0;
  virtual int Spid() const = 0;
  virtual int TransactionCount() const = 0;

  // A number that changes whenever an object of the engine's databases may
  // have changed (DDL in any session, a rollback, a restored or dropped
  // database). A description read at the same number still holds, so a
  // caller may keep it instead of asking again.
  virtual uint64_t CatalogVersion() const = 0;
};

struct EngineOptions {
  std::string data_dir;     // created and initialised when empty
  std::string sa_password;  // password of "sa" when the data directory is initialised
  std::string server_name;  // @@SERVERNAME; the machine's host name when empty
};

class Engine {
 public:
  virtual ~Engine() = default;
  static std::shared_ptr<Engine> Open(const EngineOptions& options);

  // Opens a connection after the server-side checks (login 18456, database 4060).
  virtual std::unique_ptr<Connection> Connect(const ConnectOptions& options) = 0;
};

}  // namespace tillbase::engine

#include "db/odbc/odbc_driver.h"

#include <sql.h>
#include <sqlext.h>
#include <sqlucode.h>
#include <unistd.h>

#include <deque>
#include <mutex>

#include "db/errors.h"
#include "db/odbc/odbc_connection_string.h"
#include "db/odbc/odbc_types.h"
#include "db/odbc/odbc_values.h"
#include "db/text_util.h"

namespace tillbase::db::odbc {
namespace {

bool Ok(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

SQLHENV Environment() {
  static SQLHENV env = [] {
    SQLHENV h = SQL_NULL_HENV;
    if (!Ok(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h))) {
      throw DbError("The ODBC driver manager could not be initialised");
    }
    SQLSetEnvAttr(h, SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    return h;
  }();
  return env;
}

std::vector<SQLWCHAR> Wide(std::string_view utf8) {
  std::u16string u16 = Utf8ToUtf16(utf8);
  std::vector<SQLWCHAR> out(u16.begin(), u16.end());
  out.push_back(0);
  return out;
}

std::string TextAttribute(SQLHSTMT stmt, SQLUSMALLINT column, SQLUSMALLINT field) {
  SQLWCHAR buffer[512] = {};
  SQLSMALLINT length = 0;
  SQLColAttributeW(stmt, column, field, buffer, sizeof buffer, &length, nullptr);
  size_t chars = std::min<size_t>(static_cast<size_t>(length) / sizeof(SQLWCHAR), 511);
  return Utf16ToUtf8(std::u16string(buffer, buffer + chars));
}

SQLLEN NumberAttribute(SQLHSTMT stmt, SQLUSMALLINT column, SQLUSMALLINT field) {
  SQLLEN value = 0;
  SQLColAttributeW(stmt, column, field, nullptr, 0, nullptr, &value);
  return value;
}

std::string TextColumn(SQLHSTMT stmt, SQLUSMALLINT column) {
  Variant v = ReadColumn(stmt, column, ValueKind::kText, "nvarchar");
  return v.IsNull() ? std::string() : v.StringValue();
}

int64_t IntColumn(SQLHSTMT stmt, SQLUSMALLINT column) {
  Variant v = ReadColumn(stmt, column, ValueKind::kInteger, "bigint");
  return v.IsNull() ? 0 : v.ToInt64();
}

struct BufferedSet {
  std::vector<ColumnDesc> columns;
  std::deque<std::vector<Variant>> rows;
};

struct Event {
  enum Kind { kResultSet, kCount, kError } kind;
  std::shared_ptr<BufferedSet> set;
  int64_t count = 0;
  std::string text;
  int native_error = 0;
};

class OdbcConnection;

// The results of one statement. It streams from the statement handle while
// it is the connection's live cursor; when another statement must run, the
// rest is read into memory first (the connection has one active statement
// at a time).
class OdbcCursor : public BatchCursor {
 public:
  OdbcCursor(OdbcConnection* owner, SQLHSTMT stmt, SQLRETURN first_rc,
             std::shared_ptr<std::vector<Parameter>> params,
             std::unique_ptr<ParamBindings> bindings)
      : owner_(owner),
        stmt_(stmt),
        pending_rc_(first_rc),
        params_(std::move(params)),
        bindings_(std::move(bindings)) {}
  ~OdbcCursor() override;

  bool NextResultSet() override {
    if (stmt_ == SQL_NULL_HSTMT) return NextBuffered();
    if (in_stream_set_) {
      in_stream_set_ = false;
      pending_rc_ = SQLMoreResults(stmt_);
    }
    for (;;) {
      Step step = Advance();
      if (step == Step::kResultSet) {
        in_stream_set_ = true;
        current_ = nullptr;
        return true;
      }
      if (step == Step::kCount)
        rows_affected_ = (rows_affected_ < 0 ? 0 : rows_affected_) + last_count_;
      if (step == Step::kEnd) return false;
    }
  }

  const std::vector<ColumnDesc>& Columns() const override {
    static const std::vector<ColumnDesc> kNone;
    if (current_ != nullptr) return current_->columns;
    return in_stream_set_ ? stream_columns_ : kNone;
  }

  size_t Fetch(std::vector<std::vector<Variant>>& out, size_t max_rows) override {
    if (current_ != nullptr) {
      size_t n = 0;
      while (n < max_rows && !current_->rows.empty()) {
        out.push_back(std::move(current_->rows.front()));
        current_->rows.pop_front();
        ++n;
      }
      return n;
    }
    return StreamFetch(out, max_rows);
  }

  size_t StreamFetch(std::vector<std::vector<Variant>>& out, size_t max_rows) {
    if (!in_stream_set_ || stream_set_done_) return 0;
    size_t n = 0;
    while (n < max_rows) {
      SQLRETURN rc = SQLFetch(stmt_);
      if (rc == SQL_NO_DATA) {
        stream_set_done_ = true;
        break;
      }
      if (!Ok(rc)) ThrowDiagnostic(SQL_HANDLE_STMT, stmt_, "Could not fetch a row");
      std::vector<Variant> row;
      row.reserve(stream_columns_.size());
      for (size_t c = 0; c < stream_columns_.size(); ++c) {
        row.push_back(ReadColumn(stmt_, static_cast<SQLUSMALLINT>(c + 1), kinds_[c],
                                 stream_columns_[c].type.name));
      }
      out.push_back(std::move(row));
      ++n;
    }
    return n;
  }

  int64_t RowsAffected() const override { return rows_affected_; }

  // Reads everything still pending into memory and lets the statement go.
  void BufferAll() {
    if (stmt_ == SQL_NULL_HSTMT) return;
    if (in_stream_set_) {
      auto rest = std::make_shared<BufferedSet>();
      rest->columns = stream_columns_;
      std::vector<std::vector<Variant>> rows;
      try {
        while (StreamFetch(rows, 1000) > 0) {
        }
      } catch (const DbError& e) {
        events_.push_back({Event::kError, nullptr, 0, e.what(), e.native_error()});
      }
      for (auto& row : rows) rest->rows.push_back(std::move(row));
      in_stream_set_ = false;
      current_ = rest;
      pending_rc_ = SQLMoreResults(stmt_);
    }
    for (;;) {
      Step step;
      try {
        step = Advance();
      } catch (const DbError& e) {
        events_.push_back({Event::kError, nullptr, 0, e.what(), e.native_error()});
        continue;
      }
      if (step == Step::kEnd) break;
      if (step == Step::kNothing) continue;
      if (step == Step::kCount) {
        events_.push_back({Event::kCount, nullptr, last_count_, {}, 0});
        continue;
      }
      auto set = std::make_shared<BufferedSet>();
      set->columns = stream_columns_;
      in_stream_set_ = true;
      stream_set_done_ = false;
      std::vector<std::vector<Variant>> rows;
      try {
        while (StreamFetch(rows, 1000) > 0) {
        }
      } catch (const DbError& e) {
        events_.push_back({Event::kError, nullptr, 0, e.what(), e.native_error()});
      }
      for (auto& row : rows) set->rows.push_back(std::move(row));
      in_stream_set_ = false;
      events_.push_back({Event::kResultSet, set, 0, {}, 0});
      pending_rc_ = SQLMoreResults(stmt_);
    }
  }

 private:
  enum class Step { kResultSet, kCount, kNothing, kEnd };

  bool NextBuffered() {
    current_ = nullptr;
    while (!events_.empty()) {
      Event e = std::move(events_.front());
      events_.pop_front();
      switch (e.kind) {
        case Event::kResultSet:
          current_ = e.set;
          return true;
        case Event::kCount:
          rows_affected_ = (rows_affected_ < 0 ? 0 : rows_affected_) + e.count;
          break;
        case Event::kError:
          throw DbError(e.text, e.native_error);
      }
    }
    return false;
  }

  // Interprets the pending return code: a result set, a count, the end, or
  // an error (raised; the next call goes on with the rest of the batch).
  Step Advance();
  void Finish();
  void DescribeColumns();

  OdbcConnection* owner_;
  SQLHSTMT stmt_;
  SQLRETURN pending_rc_;
  bool first_ = true;
  bool in_stream_set_ = false;
  bool stream_set_done_ = false;
  std::vector<ColumnDesc> stream_columns_;
  std::vector<ValueKind> kinds_;
  std::shared_ptr<BufferedSet> current_;
  std::deque<Event> events_;
  int64_t rows_affected_ = -1;
  int64_t last_count_ = 0;
  int errors_ = 0;
  std::shared_ptr<std::vector<Parameter>> params_;
  std::unique_ptr<ParamBindings> bindings_;
};

class OdbcConnection : public DriverConnection {
 public:
  OdbcConnection(const DriverSettings& settings, const LoginInfo& login) {
    SQLHENV env = Environment();
    if (!Ok(SQLAllocHandle(SQL_HANDLE_DBC, env, &dbc_))) {
      throw DbError("The ODBC driver manager could not create a connection");
    }
    SQLSetConnectAttr(dbc_, SQL_ATTR_LOGIN_TIMEOUT,
                      reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(
                          login.connect_timeout > 0 ? login.connect_timeout : 0)),
                      0);
    LoginInfo with_host = login;
    if (with_host.host_name.empty()) {
      char host[256] = {};
      if (gethostname(host, sizeof host - 1) == 0) with_host.host_name = host;
    }
    std::vector<SQLWCHAR> text = Wide(BuildConnectionString(settings, with_host));
    SQLWCHAR out[1024];
    SQLSMALLINT out_length = 0;
    SQLRETURN rc = SQLDriverConnectW(dbc_, nullptr, text.data(), SQL_NTS, out, 1024, &out_length,
                                     SQL_DRIVER_NOPROMPT);
    if (!Ok(rc)) {
      Diagnostic d = ReadDiagnostic(SQL_HANDLE_DBC, dbc_);
      SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
      dbc_ = SQL_NULL_HDBC;
      throw DbError(d.text.empty() ? "The ODBC connection could not be opened" : d.text,
                    d.native_error);
    }
    SQLWCHAR escape[8] = {};
    SQLSMALLINT escape_length = 0;
    if (Ok(SQLGetInfoW(dbc_, SQL_SEARCH_PATTERN_ESCAPE, escape, sizeof escape, &escape_length))) {
      pattern_escape_ = Utf16ToUtf8(
          std::u16string(escape, escape + std::min<size_t>(escape_length / sizeof(SQLWCHAR), 7)));
    }
  }

  ~OdbcConnection() override {
    if (live_ != nullptr) live_->BufferAll();
    live_ = nullptr;
    if (dbc_ != SQL_NULL_HDBC) {
      // An open transaction is rolled back by the server when the session
      // ends.
      SQLDisconnect(dbc_);
      SQLFreeHandle(SQL_HANDLE_DBC, dbc_);
    }
  }

  std::unique_ptr<BatchCursor> ExecuteBatch(std::string_view sql) override {
    SQLHSTMT stmt = NewStatement();
    std::vector<SQLWCHAR> text = Wide(sql);
    SQLRETURN rc = SQLExecDirectW(stmt, text.data(), SQL_NTS);
    return Track(std::make_unique<OdbcCursor>(this, stmt, rc, nullptr, nullptr));
  }

  std::unique_ptr<BatchCursor> CallProcedure(
      std::string_view name, std::shared_ptr<std::vector<Parameter>> params) override {
    if (params->empty() || (*params)[0].direction != 4) {
      Parameter ret;
      ret.name = "@RETURN_VALUE";
      ret.sql_type = {"int", 0, 10, 0};
      ret.data_type = 3;
      ret.direction = 4;
      params->insert(params->begin(), std::move(ret));
    }
    SQLHSTMT stmt = NewStatement();
    std::unique_ptr<ParamBindings> bindings;
    try {
      bindings = std::make_unique<ParamBindings>(stmt, *params);
    } catch (...) {
      ReleaseStatement(stmt);
      throw;
    }
    ProcedureName parsed = ParseProcedureName(name);
    std::vector<SQLWCHAR> text = Wide(CallEscape(parsed.call_name, bindings->ArgumentCount()));
    SQLRETURN rc = SQLExecDirectW(stmt, text.data(), SQL_NTS);
    return Track(
        std::make_unique<OdbcCursor>(this, stmt, rc, std::move(params), std::move(bindings)));
  }

  std::vector<Parameter> DescribeProcedure(std::string_view name) override {
    ProcedureName parsed = ParseProcedureName(name);
    SQLHSTMT stmt = NewStatement();
    std::vector<Parameter> out;
    try {
      std::vector<SQLWCHAR> catalog = Wide(parsed.catalog);
      std::vector<SQLWCHAR> schema = Wide(EscapePattern(parsed.schema, pattern_escape_));
      std::vector<SQLWCHAR> proc = Wide(EscapePattern(parsed.name, pattern_escape_));
      SQLRETURN rc = SQLProcedureColumnsW(stmt, parsed.catalog.empty() ? nullptr : catalog.data(),
                                          SQL_NTS, parsed.schema.empty() ? nullptr : schema.data(),
                                          SQL_NTS, proc.data(), SQL_NTS, nullptr, 0);
      if (!Ok(rc))
        ThrowDiagnostic(SQL_HANDLE_STMT, stmt, "Could not read the procedure's parameters");
      const std::string wanted = AsciiUpper(parsed.name);
      while (Ok(rc = SQLFetch(stmt))) {
        std::string proc_name = TextColumn(stmt, 3);
        // SQL Server reports "name;1"; other group numbers are other
        // procedures.
        int group = 1;
        size_t semi = proc_name.find(';');
        if (semi != std::string::npos) {
          group = std::atoi(proc_name.c_str() + semi + 1);
          proc_name.resize(semi);
        }
        if (AsciiUpper(proc_name) != wanted || group != parsed.group) continue;
        const int64_t column_type = IntColumn(stmt, 5);
        if (column_type == SQL_RESULT_COL) continue;
        Parameter p;
        p.name = TextColumn(stmt, 4);
        const int sql_type = static_cast<int>(IntColumn(stmt, 6));
        p.sql_type.name = ResolveTypeName(TextColumn(stmt, 7), sql_type);
        const int64_t size = IntColumn(stmt, 8);
        const int64_t digits = IntColumn(stmt, 10);
        const bool exact = IsExactDecimal(p.sql_type.name);
        p.sql_type.precision = exact ? static_cast<int>(size) : 0;
        p.sql_type.scale = exact ? static_cast<int>(digits) : 0;
        if (!exact && KindOfType(p.sql_type.name) != ValueKind::kInteger &&
            KindOfType(p.sql_type.name) != ValueKind::kDouble) {
          p.sql_type.length = size <= 0 || size >= 0x3FFFFFFF ? -1 : static_cast<int>(size);
        }
        p.nullable = IntColumn(stmt, 12) != SQL_NO_NULLS;
        p.data_type = ParamTypeOf(p.sql_type);
        p.size = p.sql_type.length > 0 ? p.sql_type.length : 0;
        p.precision = exact ? p.sql_type.precision : static_cast<int>(size);
        p.scale = p.sql_type.scale;
        switch (column_type) {
          case SQL_PARAM_INPUT:
            p.direction = 1;
            break;
          // T-SQL OUTPUT parameters are in/out.
          case SQL_PARAM_INPUT_OUTPUT:
            p.direction = 3;
            break;
          case SQL_PARAM_OUTPUT:
            p.direction = 2;
            break;
          case SQL_RETURN_VALUE:
            p.direction = 4;
            break;
          default:
            p.direction = 0;
            break;
        }
        out.push_back(std::move(p));
      }
      if (rc != SQL_NO_DATA)
        ThrowDiagnostic(SQL_HANDLE_STMT, stmt, "Could not read the procedure's parameters");
    } catch (...) {
      ReleaseStatement(stmt);
      throw;
    }
    ReleaseStatement(stmt);
    if (out.empty()) {
      throw DbError("Could not find stored procedure '" + std::string(name) + "'.", 2812);
    }
    if (out.front().direction != 4) {
      Parameter ret;
      ret.name = "@RETURN_VALUE";
      ret.sql_type = {"int", 0, 10, 0};
      ret.data_type = 3;
      ret.direction = 4;
      ret.precision = 10;
      out.insert(out.begin(), std::move(ret));
    }
    return out;
  }

  void BeginTransaction() override { Run("BEGIN TRANSACTION"); }
  void Commit() override { Run("COMMIT TRANSACTION"); }
  void Rollback() override { Run("ROLLBACK TRANSACTION"); }
  int TransactionCount() override { return static_cast<int>(ScalarInt("SELECT @@TRANCOUNT")); }

  void SetCommandTimeout(int seconds) override { timeout_ = seconds > 0 ? seconds : 0; }

  void ChangeDatabase(std::string_view database) override {
    Run("USE " + QuoteIdentifier(database));
  }

  std::string CurrentDatabase() override {
    std::unique_ptr<BatchCursor> cursor = ExecuteBatch("SELECT DB_NAME()");
    std::string name;
    if (cursor->NextResultSet()) {
      std::vector<std::vector<Variant>> rows;
      if (cursor->Fetch(rows, 1) == 1 && !rows[0][0].IsNull()) name = rows[0][0].ToString();
    }
    cursor->Drain();
    return name;
  }

  void Cancel() override {
    std::lock_guard<std::mutex> lock(running_mutex_);
    if (running_ != SQL_NULL_HSTMT) SQLCancel(running_);
  }

  // The cursor's statement is done.
  void Released(OdbcCursor* cursor, SQLHSTMT stmt) {
    if (live_ == cursor) live_ = nullptr;
    ReleaseStatement(stmt);
  }

 private:
  SQLHSTMT NewStatement() {
    // One active statement per connection: read what is pending first.
    if (live_ != nullptr) {
      OdbcCursor* live = live_;
      live_ = nullptr;
      live->BufferAll();
    }
    SQLHSTMT stmt = SQL_NULL_HSTMT;
    if (!Ok(SQLAllocHandle(SQL_HANDLE_STMT, dbc_, &stmt))) {
      ThrowDiagnostic(SQL_HANDLE_DBC, dbc_, "Could not create an ODBC statement");
    }
    SQLSetStmtAttr(stmt, SQL_ATTR_QUERY_TIMEOUT,
                   reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeout_)), 0);
    std::lock_guard<std::mutex> lock(running_mutex_);
    running_ = stmt;
    return stmt;
  }

  void ReleaseStatement(SQLHSTMT stmt) {
    {
      std::lock_guard<std::mutex> lock(running_mutex_);
      if (running_ == stmt) running_ = SQL_NULL_HSTMT;
    }
    SQLFreeHandle(SQL_HANDLE_STMT, stmt);
  }

  std::unique_ptr<BatchCursor> Track(std::unique_ptr<OdbcCursor> cursor) {
    live_ = cursor.get();
    return cursor;
  }

  void Run(std::string_view sql) {
    std::unique_ptr<BatchCursor> cursor = ExecuteBatch(sql);
    cursor->Drain();
  }

  int64_t ScalarInt(std::string_view sql) {
    std::unique_ptr<BatchCursor> cursor = ExecuteBatch(sql);
    int64_t value = 0;
    if (cursor->NextResultSet()) {
      std::vector<std::vector<Variant>> rows;
      if (cursor->Fetch(rows, 1) == 1 && !rows[0][0].IsNull()) value = rows[0][0].ToInt64();
    }
    cursor->Drain();
    return value;
  }

  SQLHDBC dbc_ = SQL_NULL_HDBC;
  int timeout_ = 30;
  std::string pattern_escape_;
  OdbcCursor* live_ = nullptr;
  std::mutex running_mutex_;
  SQLHSTMT running_ = SQL_NULL_HSTMT;
};

OdbcCursor::~OdbcCursor() {
  if (stmt_ != SQL_NULL_HSTMT) {
    SQLHSTMT stmt = stmt_;
    stmt_ = SQL_NULL_HSTMT;
    owner_->Released(this, stmt);
  }
}

void OdbcCursor::DescribeColumns() {
  SQLSMALLINT count = 0;
  SQLNumResultCols(stmt_, &count);
  stream_columns_.clear();
  kinds_.clear();
  for (SQLUSMALLINT c = 1; c <= static_cast<SQLUSMALLINT>(count); ++c) {
    ColumnDesc desc;
    desc.name = TextAttribute(stmt_, c, SQL_DESC_NAME);
    const int concise = static_cast<int>(NumberAttribute(stmt_, c, SQL_DESC_CONCISE_TYPE));
    desc.type.name = ResolveTypeName(TextAttribute(stmt_, c, SQL_DESC_TYPE_NAME), concise);
    const ValueKind kind = KindOfType(desc.type.name);
    if (IsExactDecimal(desc.type.name)) {
      desc.type.precision = static_cast<int>(NumberAttribute(stmt_, c, SQL_DESC_PRECISION));
      desc.type.scale = static_cast<int>(NumberAttribute(stmt_, c, SQL_DESC_SCALE));
    } else if (kind == ValueKind::kText || kind == ValueKind::kBinary) {
      const SQLLEN length = NumberAttribute(stmt_, c, SQL_DESC_LENGTH);
      desc.type.length = length <= 0 || length >= 0x3FFFFFFF ? -1 : static_cast<int>(length);
      if (desc.type.name == "text" || desc.type.name == "ntext" || desc.type.name == "image") {
        desc.type.length = -1;
      }
    }
    desc.nullable = NumberAttribute(stmt_, c, SQL_DESC_NULLABLE) != SQL_NO_NULLS;
    desc.identity = NumberAttribute(stmt_, c, SQL_DESC_AUTO_UNIQUE_VALUE) == SQL_TRUE;
    desc.base_table = TextAttribute(stmt_, c, SQL_DESC_BASE_TABLE_NAME);
    kinds_.push_back(kind);
    stream_columns_.push_back(std::move(desc));
  }
}

OdbcCursor::Step OdbcCursor::Advance() {
  if (stmt_ == SQL_NULL_HSTMT) return Step::kEnd;
  const bool first = first_;
  first_ = false;
  SQLRETURN rc = pending_rc_;
  if (rc == SQL_NO_DATA && !first) {
    Finish();
    return Step::kEnd;
  }
  if (rc == SQL_ERROR) {
    Diagnostic d = ReadDiagnostic(SQL_HANDLE_STMT, stmt_);
    pending_rc_ = SQLMoreResults(stmt_);
    if (pending_rc_ == SQL_ERROR) {
      // A failure of the driver itself (not a further error of the batch)
      // ends the results; so does an error without a diagnostic.
      Diagnostic next = ReadDiagnostic(SQL_HANDLE_STMT, stmt_);
      if (next.text.empty() || next.sql_state.rfind("HY", 0) == 0 || ++errors_ > 10000) {
        pending_rc_ = SQL_NO_DATA;
      }
    }
    throw DbError(d.text.empty() ? "The statement failed" : d.text, d.native_error);
  }
  if (rc == SQL_INVALID_HANDLE) {
    Finish();
    throw DbError("The statement failed");
  }
  SQLSMALLINT columns = 0;
  if (rc != SQL_NO_DATA) SQLNumResultCols(stmt_, &columns);
  if (columns > 0) {
    DescribeColumns();
    stream_set_done_ = false;
    return Step::kResultSet;
  }
  // A statement without rows: its count (SQL_NO_DATA from the first
  // execution is a searched statement that touched no rows).
  SQLLEN count = -1;
  if (rc == SQL_NO_DATA) {
    count = 0;
  } else {
    SQLRowCount(stmt_, &count);
  }
  pending_rc_ = SQLMoreResults(stmt_);
  if (count < 0) return Step::kNothing;
  last_count_ = count;
  return Step::kCount;
}

void OdbcCursor::Finish() {
  if (stmt_ == SQL_NULL_HSTMT) return;
  // Output parameters and the return status arrive after the last result.
  if (bindings_ != nullptr && params_ != nullptr) bindings_->ReadOutputs(*params_);
  SQLHSTMT stmt = stmt_;
  stmt_ = SQL_NULL_HSTMT;
  in_stream_set_ = false;
  owner_->Released(this, stmt);
}

}  // namespace

std::unique_ptr<DriverConnection> OpenOdbcConnection(const DriverSettings& settings,
                                                     const LoginInfo& login) {
  return std::make_unique<OdbcConnection>(settings, login);
}

}  // namespace tillbase::db::odbc

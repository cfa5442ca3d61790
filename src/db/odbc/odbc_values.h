// Reading column values and binding procedure parameters through ODBC: the
// C type each T-SQL type travels in, and the conversions to and from
// variants.
#pragma once

#include <sql.h>
#include <sqlext.h>

#include <memory>
#include <string>
#include <vector>

#include "db/driver.h"

namespace tillbase::db::odbc {

// How a value of a T-SQL type is read or bound.
enum class ValueKind { kInteger, kDouble, kExact, kMoney, kText, kTime, kTimestamp, kBinary };

ValueKind KindOfType(const std::string& type_name);

// Reads column `column` (1-based) of the current row. Raises DbError with
// the driver's diagnostic on failure.
Variant ReadColumn(SQLHSTMT stmt, SQLUSMALLINT column, ValueKind kind,
                   const std::string& type_name);

// A variant for a value of the given type from its text (exact kinds).
Variant ExactFromText(const std::string& text, bool money);

// The bound buffers of one procedure call: the return value, then every
// parameter at positions 1..n in order. They live until the call's results
// have been read.
class ParamBindings {
 public:
  // Binds every parameter of the list to stmt; raises DbError on a value
  // that does not convert or a driver failure.
  ParamBindings(SQLHSTMT stmt, const std::vector<Parameter>& params);
  // Writes the return value and the output values into params.
  void ReadOutputs(std::vector<Parameter>& params) const;
  // How many markers follow the return value in the call escape.
  int ArgumentCount() const { return static_cast<int>(bound_.size()) - 1; }

 private:
  struct Bound {
    size_t position = 0;  // in the parameter list
    ValueKind kind = ValueKind::kText;
    std::string type_name;
    bool output = false;
    std::vector<char> buffer;
    SQLLEN indicator = 0;
  };
  std::vector<std::unique_ptr<Bound>> bound_;
};

// The message of the last diagnostic of a handle, cleaned; its native error.
struct Diagnostic {
  std::string text;
  int native_error = 0;
  std::string sql_state;
};
Diagnostic ReadDiagnostic(SQLSMALLINT handle_type, SQLHANDLE handle);
[[noreturn]] void ThrowDiagnostic(SQLSMALLINT handle_type, SQLHANDLE handle,
                                  const std::string& fallback);

}  // namespace tillbase::db::odbc

// Pieces of the ODBC driver that need no server: type names of ODBC type
// codes, the cleaning of diagnostic texts, text encodings, and the parsing
// of procedure names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tillbase::db::odbc {

// The T-SQL type name of an ODBC SQL type code (SQL_INTEGER -> "int",
// SQL_WVARCHAR -> "nvarchar", SQL Server's own codes included); "" when
// unknown.
std::string TypeNameOfSqlType(int sql_type);

// The T-SQL type of a column or parameter, from the driver's type name when
// it is one of SQL Server's (without " identity"), else from the code.
std::string ResolveTypeName(std::string_view driver_type_name, int sql_type);

// A diagnostic text without the "[vendor][driver][SQL Server]" prefixes, so
// that clients see the database's own message.
std::string CleanDiagnostic(std::string_view text);

// UTF-8 <-> UTF-16 (what SQLWCHAR holds under unixODBC). Invalid UTF-8
// bytes become U+FFFD.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// "db.owner.name;1" -> its parts. Brackets and double quotes quote a part;
// the call name keeps a group number other than 1 ("name;2"); ";1" names
// the same procedure as the bare name.
struct ProcedureName {
  std::string catalog;
  std::string schema;
  std::string name;       // without the group number
  int group = 1;          // the number after ";"
  std::string call_name;  // as written in a call escape
};
ProcedureName ParseProcedureName(std::string_view text);

// The ODBC call escape of a procedure with n parameters after the return
// value: "{? = call name(?,?)}".
std::string CallEscape(const std::string& call_name, int parameter_count);

// Escapes "_" and "%" with the driver's search-pattern escape character.
std::string EscapePattern(std::string_view text, std::string_view escape);

}  // namespace tillbase::db::odbc

// The one table that maps SQL Server types to the data type codes (the
// ftXXX list) that fields and procedure parameters report. Both drivers
// describe what the database returns as an SqlTypeDesc and read the codes
// from here, so the two databases behind the layer report the same codes.
#pragma once

#include <string>
#include <string_view>

namespace tillbase::db {

// A column's or parameter's type as the database describes it.
struct SqlTypeDesc {
  std::string name;  // T-SQL type name in lower case: "int", "nvarchar", ...
  int length = 0;    // characters of char kinds, bytes of binary kinds; -1 for (max)
  int precision = 0;
  int scale = 0;
  friend bool operator==(const SqlTypeDesc&, const SqlTypeDesc&) = default;
};

// The data type code of a result-set field. With bcd false (the components'
// "BCD off"), exact decimals (decimal, numeric, money, smallmoney) are
// delivered as doubles and report ftFloat.
int FieldTypeOf(const SqlTypeDesc& type, bool bcd);

// The data type code of a procedure parameter: exact decimals are ftBCD
// whatever their precision, so that the BCD rules of the procedure-running
// routine apply to every one of them.
int ParamTypeOf(const SqlTypeDesc& type);

// The size a field reports: characters for text kinds, bytes for binary
// kinds, the scale for ftBCD, 38 for a GUID, 0 for the rest and for (max).
int FieldSizeOf(const SqlTypeDesc& type, int data_type);

// Whether the type is an exact decimal (decimal, numeric, money, smallmoney).
bool IsExactDecimal(std::string_view type_name);

// A type name as both drivers normalise it: lower case, without " identity"
// and without a length or precision in parentheses ("int identity" -> "int",
// "numeric(18,4)" -> "numeric"); "sysname" stays "sysname".
std::string NormaliseTypeName(std::string_view name);

}  // namespace tillbase::db

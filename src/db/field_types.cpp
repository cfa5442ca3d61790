#include "db/field_types.h"

#include <array>

#include "shared/proc_params.h"

namespace tillbase::db {
namespace {

struct TypeRow {
  std::string_view name;
  int code;       // as a parameter, and as a field with BCD on
  int long_code;  // for (max) lengths
};

// SQL Server type -> data type code. Exact decimals of more than 18 digits
// become ftFMTBcd as fields (see FieldTypeOf).
constexpr std::array<TypeRow, 33> kTypes = {{
    {"bit", ftBoolean, ftBoolean},
    {"tinyint", ftWord, ftWord},
    {"smallint", ftSmallint, ftSmallint},
    {"int", ftInteger, ftInteger},
    {"bigint", ftLargeint, ftLargeint},
    {"decimal", ftBCD, ftBCD},
    {"numeric", ftBCD, ftBCD},
    {"money", ftBCD, ftBCD},
    {"smallmoney", ftBCD, ftBCD},
    {"float", ftFloat, ftFloat},
    {"real", ftFloat, ftFloat},
    {"char", ftFixedChar, ftFixedChar},
    {"varchar", ftString, ftMemo},
    {"nchar", ftFixedChar, ftFixedChar},
    {"nvarchar", ftWideString, ftMemo},
    {"sysname", ftWideString, ftWideString},
    {"text", ftMemo, ftMemo},
    {"ntext", ftMemo, ftMemo},
    {"xml", ftMemo, ftMemo},
    {"datetime", ftDateTime, ftDateTime},
    {"smalldatetime", ftDateTime, ftDateTime},
    {"datetime2", ftDateTime, ftDateTime},
    {"datetimeoffset", ftDateTime, ftDateTime},
    {"date", ftDate, ftDate},
    {"time", ftTime, ftTime},
    {"uniqueidentifier", ftGuid, ftGuid},
    {"binary", ftBytes, ftBytes},
    {"varbinary", ftVarBytes, ftBlob},
    {"image", ftBlob, ftBlob},
    {"timestamp", ftBytes, ftBytes},
    {"rowversion", ftBytes, ftBytes},
    {"sql_variant", ftVariant, ftVariant},
    {"hierarchyid", ftVarBytes, ftVarBytes},
}};

const TypeRow* FindType(std::string_view name) {
  for (const TypeRow& row : kTypes) {
    if (row.name == name) return &row;
  }
  return nullptr;
}

int BaseCode(const SqlTypeDesc& type) {
  const std::string name = NormaliseTypeName(type.name);
  const TypeRow* row = FindType(name);
  if (row == nullptr) return ftUnknown;
  return type.length < 0 ? row->long_code : row->code;
}

}  // namespace

std::string NormaliseTypeName(std::string_view name) {
  std::string out;
  for (char c : name) {
    if (c == '(') break;
    out.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c);
  }
  constexpr std::string_view kIdentity = " identity";
  if (out.size() > kIdentity.size() &&
      out.compare(out.size() - kIdentity.size(), kIdentity.size(), kIdentity) == 0) {
    out.resize(out.size() - kIdentity.size());
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  while (!out.empty() && out.front() == ' ') out.erase(out.begin());
  return out;
}

bool IsExactDecimal(std::string_view type_name) {
  const std::string name = NormaliseTypeName(type_name);
  return name == "decimal" || name == "numeric" || name == "money" || name == "smallmoney";
}

int FieldTypeOf(const SqlTypeDesc& type, bool bcd) {
  const int code = BaseCode(type);
  if (code != ftBCD) return code;
  if (!bcd) return ftFloat;
  const std::string name = NormaliseTypeName(type.name);
  if (name == "money" || name == "smallmoney") return ftBCD;
  return type.precision > 18 ? ftFMTBcd : ftBCD;
}

int ParamTypeOf(const SqlTypeDesc& type) { return BaseCode(type); }

int FieldSizeOf(const SqlTypeDesc& type, int data_type) {
  switch (data_type) {
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftBytes:
    case ftVarBytes:
      return type.length > 0 ? type.length : 0;
    case ftBCD:
    case ftFMTBcd:
      return type.scale;
    case ftGuid:
      return 38;
    default:
      return 0;
  }
}

}  // namespace tillbase::db

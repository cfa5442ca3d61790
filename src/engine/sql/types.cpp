#include "engine/sql/types.h"

#include <algorithm>
#include <cctype>

#include "engine/errors.h"

namespace tillbase::engine {

std::string_view SqlTypeName(SqlType type) {
  switch (type) {
    case SqlType::kBit: return "bit";
    case SqlType::kTinyInt: return "tinyint";
    case SqlType::kSmallInt: return "smallint";
    case SqlType::kInt: return "int";
    case SqlType::kBigInt: return "bigint";
    case SqlType::kDecimal: return "decimal";
    case SqlType::kNumeric: return "numeric";
    case SqlType::kMoney: return "money";
    case SqlType::kSmallMoney: return "smallmoney";
    case SqlType::kFloat: return "float";
    case SqlType::kReal: return "real";
    case SqlType::kChar: return "char";
    case SqlType::kVarChar: return "varchar";
    case SqlType::kNChar: return "nchar";
    case SqlType::kNVarChar: return "nvarchar";
    case SqlType::kText: return "text";
    case SqlType::kNText: return "ntext";
    case SqlType::kDateTime: return "datetime";
    case SqlType::kSmallDateTime: return "smalldatetime";
    case SqlType::kDate: return "date";
    case SqlType::kUniqueIdentifier: return "uniqueidentifier";
    case SqlType::kBinary: return "binary";
    case SqlType::kVarBinary: return "varbinary";
    case SqlType::kImage: return "image";
    case SqlType::kSqlVariant: return "sql_variant";
  }
  return "int";
}

}  // namespace tillbase::engine

namespace tillbase::engine::sql {

Storage StorageOf(SqlType t) {
  switch (t) {
    case SqlType::kBit:
    case SqlType::kTinyInt:
    case SqlType::kSmallInt:
    case SqlType::kInt:
    case SqlType::kBigInt:
      return Storage::kInt;
    case SqlType::kDecimal:
    case SqlType::kNumeric:
    case SqlType::kMoney:
    case SqlType::kSmallMoney:
      return Storage::kScaled;
    case SqlType::kFloat:
    case SqlType::kReal:
      return Storage::kReal;
    case SqlType::kDateTime:
    case SqlType::kSmallDateTime:
    case SqlType::kDate:
      return Storage::kDate;
    case SqlType::kUniqueIdentifier:
      return Storage::kGuid;
    case SqlType::kBinary:
    case SqlType::kVarBinary:
    case SqlType::kImage:
      return Storage::kBlob;
    default:
      return Storage::kText;
  }
}

bool IsCharType(SqlType t) {
  return t == SqlType::kChar || t == SqlType::kVarChar || t == SqlType::kNChar ||
         t == SqlType::kNVarChar || t == SqlType::kText || t == SqlType::kNText ||
         t == SqlType::kSqlVariant;
}
bool IsUnicode(SqlType t) {
  return t == SqlType::kNChar || t == SqlType::kNVarChar || t == SqlType::kNText;
}
bool IsIntegerType(SqlType t) { return StorageOf(t) == Storage::kInt; }
bool IsNumericType(SqlType t) {
  Storage s = StorageOf(t);
  return s == Storage::kInt || s == Storage::kScaled || s == Storage::kReal;
}
bool IsDateType(SqlType t) { return StorageOf(t) == Storage::kDate; }

TypeInfo MakeType(SqlType t, int length, int precision, int scale) {
  TypeInfo i;
  i.type = t;
  i.length = length;
  i.precision = precision;
  i.scale = scale;
  return i;
}
TypeInfo IntType() { return MakeType(SqlType::kInt, 4, 10, 0); }
TypeInfo BigIntType() { return MakeType(SqlType::kBigInt, 8, 19, 0); }
TypeInfo FloatType() { return MakeType(SqlType::kFloat, 8, 53, 0); }
TypeInfo BitType() { return MakeType(SqlType::kBit, 1, 1, 0); }
TypeInfo VarCharType(int length) { return MakeType(SqlType::kVarChar, length); }
TypeInfo NVarCharType(int length) {
  return MakeType(SqlType::kNVarChar, length < 0 ? -1 : length * 2);
}
TypeInfo DateTimeType() { return MakeType(SqlType::kDateTime, 8, 23, 3); }
TypeInfo DecimalType(int precision, int scale) {
  precision = std::clamp(precision, 1, 38);
  scale = std::clamp(scale, 0, precision);
  int len = precision <= 9 ? 5 : precision <= 19 ? 9 : precision <= 28 ? 13 : 17;
  return MakeType(SqlType::kDecimal, len, precision, scale);
}

TypeInfo ResolveTypeName(std::string_view name_in, int a, int b, int line) {
  std::string name(name_in);
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  auto bad = [&]() {
    Message m;
    m.number = 2715;
    m.severity = 16;
    m.state = 6;
    m.line = line;
    m.text = "Column, parameter, or variable #1: Cannot find data type " + std::string(name_in) + ".";
    return EngineError(m);
  };
  if (name == "bit") return BitType();
  if (name == "tinyint") return MakeType(SqlType::kTinyInt, 1, 3, 0);
  if (name == "smallint") return MakeType(SqlType::kSmallInt, 2, 5, 0);
  if (name == "int" || name == "integer") return IntType();
  if (name == "bigint") return BigIntType();
  if (name == "decimal" || name == "dec" || name == "numeric") {
    int p = a == -2 ? 18 : a;
    int s = b == -2 ? 0 : b;
    if (p < 1 || p > 38 || s < 0 || s > p) {
      Message m;
      m.number = 1002;
      m.severity = 15;
      m.line = line;
      m.text = "Line 1: Specified scale " + std::to_string(s) + " is invalid.";
      throw EngineError(m);
    }
    TypeInfo t = DecimalType(p, s);
    if (name == "numeric") t.type = SqlType::kNumeric;
    return t;
  }
  if (name == "money") return MakeType(SqlType::kMoney, 8, 19, 4);
  if (name == "smallmoney") return MakeType(SqlType::kSmallMoney, 4, 10, 4);
  if (name == "float") {
    if (a != -2 && a <= 24) return MakeType(SqlType::kReal, 4, 24, 0);
    return FloatType();
  }
  if (name == "real") return MakeType(SqlType::kReal, 4, 24, 0);
  auto len = [&](int dflt) { return a == -2 ? dflt : a; };
  if (name == "char" || name == "character") return MakeType(SqlType::kChar, len(1));
  if (name == "varchar") return MakeType(SqlType::kVarChar, len(1));
  if (name == "nchar") {
    int l = len(1);
    return MakeType(SqlType::kNChar, l * 2);
  }
  if (name == "nvarchar") {
    int l = len(1);
    return MakeType(SqlType::kNVarChar, l < 0 ? -1 : l * 2);
  }
  if (name == "sysname") return MakeType(SqlType::kNVarChar, 256);
  if (name == "text") return MakeType(SqlType::kText, 2147483647);
  if (name == "ntext") return MakeType(SqlType::kNText, 2147483646);
  if (name == "datetime") return DateTimeType();
  if (name == "smalldatetime") return MakeType(SqlType::kSmallDateTime, 4, 16, 0);
  if (name == "date") return MakeType(SqlType::kDate, 3, 10, 0);
  if (name == "uniqueidentifier") return MakeType(SqlType::kUniqueIdentifier, 16);
  if (name == "binary") return MakeType(SqlType::kBinary, len(1));
  if (name == "varbinary") return MakeType(SqlType::kVarBinary, len(1));
  if (name == "image") return MakeType(SqlType::kImage, 2147483647);
  if (name == "timestamp" || name == "rowversion") return MakeType(SqlType::kBinary, 8);
  if (name == "sql_variant") return MakeType(SqlType::kSqlVariant, 8016);
  if (name == "datetime2" || name == "time" || name == "datetimeoffset" || name == "xml" ||
      name == "hierarchyid" || name == "geography" || name == "geometry") {
    throw NotSupported("data type " + name);
  }
  throw bad();
}

std::string TypeDecl(const TypeInfo& t) {
  std::string n(SqlTypeName(t.type));
  auto len = [&](int l) { return l < 0 ? std::string("max") : std::to_string(l); };
  switch (t.type) {
    case SqlType::kChar:
    case SqlType::kVarChar:
    case SqlType::kBinary:
    case SqlType::kVarBinary:
      return n + "(" + len(t.length) + ")";
    case SqlType::kNChar:
    case SqlType::kNVarChar:
      return n + "(" + (t.length < 0 ? std::string("max") : std::to_string(t.length / 2)) + ")";
    case SqlType::kDecimal:
    case SqlType::kNumeric:
      return n + "(" + std::to_string(t.precision) + "," + std::to_string(t.scale) + ")";
    case SqlType::kReal:
      return "real";
    default:
      return n;
  }
}

TypeInfo ParseDecl(std::string_view decl) {
  std::string name;
  size_t i = 0;
  while (i < decl.size() && decl[i] != '(') name += decl[i++];
  while (!name.empty() && name.back() == ' ') name.pop_back();
  int a = -2, b = -2;
  if (i < decl.size()) {
    std::string_view rest = decl.substr(i + 1);
    if (rest.substr(0, 3) == "max") {
      a = -1;
    } else {
      a = std::atoi(std::string(rest).c_str());
      size_t comma = rest.find(',');
      if (comma != std::string_view::npos) b = std::atoi(std::string(rest.substr(comma + 1)).c_str());
    }
  }
  if (name.empty()) name = "sql_variant";
  try {
    return ResolveTypeName(name, a, b, 1);
  } catch (const EngineError&) {
    return MakeType(SqlType::kSqlVariant, 8016);
  }
}

int Precedence(SqlType t) {
  switch (t) {
    case SqlType::kSqlVariant: return 30;
    case SqlType::kDateTime: return 27;
    case SqlType::kSmallDateTime: return 26;
    case SqlType::kDate: return 25;
    case SqlType::kFloat: return 24;
    case SqlType::kReal: return 23;
    case SqlType::kDecimal: return 22;
    case SqlType::kNumeric: return 22;
    case SqlType::kMoney: return 21;
    case SqlType::kSmallMoney: return 20;
    case SqlType::kBigInt: return 19;
    case SqlType::kInt: return 18;
    case SqlType::kSmallInt: return 17;
    case SqlType::kTinyInt: return 16;
    case SqlType::kBit: return 15;
    case SqlType::kNText: return 14;
    case SqlType::kText: return 13;
    case SqlType::kImage: return 12;
    case SqlType::kUniqueIdentifier: return 11;
    case SqlType::kNVarChar: return 10;
    case SqlType::kNChar: return 9;
    case SqlType::kVarChar: return 8;
    case SqlType::kChar: return 7;
    case SqlType::kVarBinary: return 6;
    case SqlType::kBinary: return 5;
  }
  return 0;
}

int PrecisionOf(const TypeInfo& t) {
  switch (t.type) {
    case SqlType::kBit: return 1;
    case SqlType::kTinyInt: return 3;
    case SqlType::kSmallInt: return 5;
    case SqlType::kInt: return 10;
    case SqlType::kBigInt: return 19;
    case SqlType::kMoney: return 19;
    case SqlType::kSmallMoney: return 10;
    default: return t.precision;
  }
}

int64_t EncodeType(const TypeInfo& t) {
  int64_t len = t.length < 0 ? 0 : (static_cast<int64_t>(t.length) + 1);
  if (t.length < 0) len = 0;
  return static_cast<int64_t>(t.type) | (static_cast<int64_t>(t.scale) << 5) |
         (static_cast<int64_t>(t.precision) << 11) | (len << 17);
}

TypeInfo DecodeType(int64_t code) {
  TypeInfo t;
  t.type = static_cast<SqlType>(code & 31);
  t.scale = static_cast<int>((code >> 5) & 63);
  t.precision = static_cast<int>((code >> 11) & 63);
  int64_t len = code >> 17;
  t.length = len == 0 ? -1 : static_cast<int>(len - 1);
  return t;
}

int64_t Pow10(int n) {
  static const int64_t k[] = {1LL,
                              10LL,
                              100LL,
                              1000LL,
                              10000LL,
                              100000LL,
                              1000000LL,
                              10000000LL,
                              100000000LL,
                              1000000000LL,
                              10000000000LL,
                              100000000000LL,
                              1000000000000LL,
                              10000000000000LL,
                              100000000000000LL,
                              1000000000000000LL,
                              10000000000000000LL,
                              100000000000000000LL,
                              1000000000000000000LL};
  if (n < 0) return 1;
  if (n > 18) return k[18];
  return k[n];
}

}  // namespace tillbase::engine::sql

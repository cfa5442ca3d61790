#include "db/odbc/odbc_values.h"

#include <sqlucode.h>

#include <cmath>
#include <cstdio>
#include <cstring>

#include "db/errors.h"
#include "db/field_types.h"
#include "db/odbc/odbc_types.h"
#include "db/text_util.h"
#include "shared/ole_date.h"

namespace tillbase::db::odbc {
namespace {

bool Ok(SQLRETURN rc) { return rc == SQL_SUCCESS || rc == SQL_SUCCESS_WITH_INFO; }

std::u16string ToU16(const SQLWCHAR* text, size_t chars) {
  std::u16string out;
  out.reserve(chars);
  for (size_t i = 0; i < chars; ++i) out.push_back(static_cast<char16_t>(text[i]));
  return out;
}

// Reads a long value in pieces; false for NULL.
bool ReadPieces(SQLHSTMT stmt, SQLUSMALLINT column, SQLSMALLINT c_type, std::string* bytes) {
  constexpr SQLLEN kChunk = 8192;
  std::vector<char> chunk(static_cast<size_t>(kChunk));
  const SQLLEN terminator = c_type == SQL_C_WCHAR ? sizeof(SQLWCHAR) : 0;
  for (;;) {
    SQLLEN indicator = 0;
    SQLRETURN rc = SQLGetData(stmt, column, c_type, chunk.data(), kChunk, &indicator);
    if (rc == SQL_NO_DATA) return true;
    if (!Ok(rc)) ThrowDiagnostic(SQL_HANDLE_STMT, stmt, "Could not read a column value");
    if (indicator == SQL_NULL_DATA) return false;
    SQLLEN got = kChunk - terminator;
    if (indicator != SQL_NO_TOTAL && indicator <= kChunk - terminator) got = indicator;
    bytes->append(chunk.data(), static_cast<size_t>(got));
    if (rc == SQL_SUCCESS) return true;
  }
}

std::string Utf8OfWide(const std::string& bytes) {
  const size_t chars = bytes.size() / sizeof(SQLWCHAR);
  std::vector<SQLWCHAR> wide(chars);
  if (chars > 0) std::memcpy(wide.data(), bytes.data(), chars * sizeof(SQLWCHAR));
  return Utf16ToUtf8(ToU16(wide.data(), chars));
}

std::string WideBytesOf(std::string_view utf8) {
  std::u16string u16 = Utf8ToUtf16(utf8);
  std::string out(u16.size() * sizeof(SQLWCHAR), '\0');
  for (size_t i = 0; i < u16.size(); ++i) {
    SQLWCHAR w = static_cast<SQLWCHAR>(u16[i]);
    std::memcpy(out.data() + i * sizeof(SQLWCHAR), &w, sizeof w);
  }
  return out;
}

Variant IntegerVariant(int64_t v, const std::string& type_name) {
  if (type_name == "bit") return Variant(v != 0);
  if (type_name == "tinyint") return Variant(static_cast<uint8_t>(v));
  if (type_name == "smallint") return Variant(static_cast<int16_t>(v));
  if (type_name == "int") return Variant(static_cast<int32_t>(v));
  return Variant(v);
}

Variant TimestampVariant(const SQL_TIMESTAMP_STRUCT& ts) {
  DateTimeParts parts;
  parts.year = ts.year;
  parts.month = ts.month;
  parts.day = ts.day;
  parts.hour = ts.hour;
  parts.minute = ts.minute;
  parts.second = ts.second;
  parts.millisecond = static_cast<int>(ts.fraction / 1000000);
  return Variant::FromDate(EncodeDateTime(parts));
}

Variant TimeVariant(const std::string& text) {
  std::string t(TrimBlanks(text));
  size_t dot = t.find('.');
  double fraction_ms = 0;
  if (dot != std::string::npos) {
    fraction_ms = std::atof(("0" + t.substr(dot)).c_str()) * 1000.0;
    t = t.substr(0, dot);
  }
  std::optional<double> parsed = TryParseDateTime(t);
  if (!parsed) return Variant(text);
  return Variant::FromDate(*parsed + std::round(fraction_ms) / 86'400'000.0);
}

SQL_TIMESTAMP_STRUCT TimestampOf(const Variant& value) {
  DateTimeParts parts = DecodeDateTime(value.ToDate());
  SQL_TIMESTAMP_STRUCT ts{};
  ts.year = static_cast<SQLSMALLINT>(parts.year);
  ts.month = static_cast<SQLUSMALLINT>(parts.month);
  ts.day = static_cast<SQLUSMALLINT>(parts.day);
  ts.hour = static_cast<SQLUSMALLINT>(parts.hour);
  ts.minute = static_cast<SQLUSMALLINT>(parts.minute);
  ts.second = static_cast<SQLUSMALLINT>(parts.second);
  ts.fraction = static_cast<SQLUINTEGER>(parts.millisecond) * 1000000u;
  return ts;
}

// The text of an exact value for the driver to convert: no exponent.
std::string ExactText(const Variant& value, int scale) {
  if (value.type() == VT_R4 || value.type() == VT_R8) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", scale > 0 ? scale : 0, value.ToDouble());
    return buffer;
  }
  if (value.type() == VT_BOOL) return value.ToBool() ? "1" : "0";
  return value.ToString();
}

SQLSMALLINT SqlTypeOf(const std::string& name) {
  static const std::pair<const char*, SQLSMALLINT> kCodes[] = {
      {"bit", SQL_BIT},
      {"tinyint", SQL_TINYINT},
      {"smallint", SQL_SMALLINT},
      {"int", SQL_INTEGER},
      {"bigint", SQL_BIGINT},
      {"decimal", SQL_DECIMAL},
      {"numeric", SQL_NUMERIC},
      {"money", SQL_DECIMAL},
      {"smallmoney", SQL_DECIMAL},
      {"float", SQL_DOUBLE},
      {"real", SQL_REAL},
      {"char", SQL_CHAR},
      {"varchar", SQL_VARCHAR},
      {"text", SQL_LONGVARCHAR},
      {"nchar", SQL_WCHAR},
      {"nvarchar", SQL_WVARCHAR},
      {"sysname", SQL_WVARCHAR},
      {"ntext", SQL_WLONGVARCHAR},
      {"datetime", SQL_TYPE_TIMESTAMP},
      {"smalldatetime", SQL_TYPE_TIMESTAMP},
      {"datetime2", SQL_TYPE_TIMESTAMP},
      {"date", SQL_TYPE_TIMESTAMP},
      {"uniqueidentifier", SQL_GUID},
      {"binary", SQL_BINARY},
      {"varbinary", SQL_VARBINARY},
      {"image", SQL_LONGVARBINARY},
      {"timestamp", SQL_BINARY},
  };
  for (const auto& [n, code] : kCodes) {
    if (name == n) return code;
  }
  return SQL_WVARCHAR;
}

}  // namespace

Diagnostic ReadDiagnostic(SQLSMALLINT handle_type, SQLHANDLE handle) {
  Diagnostic out;
  SQLWCHAR state[6] = {};
  SQLINTEGER native = 0;
  SQLWCHAR message[2048] = {};
  SQLSMALLINT length = 0;
  for (SQLSMALLINT record = 1;; ++record) {
    SQLRETURN rc =
        SQLGetDiagRecW(handle_type, handle, record, state, &native, message,
                       static_cast<SQLSMALLINT>(sizeof message / sizeof message[0]), &length);
    if (!Ok(rc)) break;
    const size_t chars =
        std::min<size_t>(static_cast<size_t>(length), sizeof message / sizeof message[0] - 1);
    std::string text = CleanDiagnostic(Utf16ToUtf8(ToU16(message, chars)));
    std::string sql_state = Utf16ToUtf8(ToU16(state, 5));
    // The first record is the one to report; informational ones ("01...")
    // give way to an error that follows.
    if (out.text.empty() || (out.sql_state.rfind("01", 0) == 0 && sql_state.rfind("01", 0) != 0)) {
      out.text = text;
      out.native_error = static_cast<int>(native);
      out.sql_state = sql_state;
    }
    if (out.sql_state.rfind("01", 0) != 0) break;
  }
  return out;
}

void ThrowDiagnostic(SQLSMALLINT handle_type, SQLHANDLE handle, const std::string& fallback) {
  Diagnostic d = ReadDiagnostic(handle_type, handle);
  throw DbError(d.text.empty() ? fallback : d.text, d.native_error);
}

ValueKind KindOfType(const std::string& name) {
  if (name == "bit" || name == "tinyint" || name == "smallint" || name == "int" ||
      name == "bigint") {
    return ValueKind::kInteger;
  }
  if (name == "float" || name == "real") return ValueKind::kDouble;
  if (name == "money" || name == "smallmoney") return ValueKind::kMoney;
  if (name == "decimal" || name == "numeric") return ValueKind::kExact;
  if (name == "datetime" || name == "smalldatetime" || name == "datetime2" || name == "date") {
    return ValueKind::kTimestamp;
  }
  if (name == "time") return ValueKind::kTime;
  if (name == "binary" || name == "varbinary" || name == "image" || name == "timestamp" ||
      name == "rowversion") {
    return ValueKind::kBinary;
  }
  return ValueKind::kText;
}

Variant ExactFromText(const std::string& text, bool money) {
  std::string_view t = TrimBlanks(text);
  if (money) {
    // Money has four decimals and fits 64 bits scaled by 10000.
    bool negative = !t.empty() && t.front() == '-';
    if (!t.empty() && (t.front() == '-' || t.front() == '+')) t.remove_prefix(1);
    int64_t whole = 0, fraction = 0;
    int fraction_digits = 0;
    bool in_fraction = false;
    for (char c : t) {
      if (c == '.') {
        in_fraction = true;
      } else if (c >= '0' && c <= '9') {
        if (in_fraction) {
          if (fraction_digits < 4) {
            fraction = fraction * 10 + (c - '0');
            ++fraction_digits;
          }
        } else {
          whole = whole * 10 + (c - '0');
        }
      }
    }
    while (fraction_digits < 4) {
      fraction *= 10;
      ++fraction_digits;
    }
    Currency c;
    c.scaled = whole * Currency::kScale + fraction;
    if (negative) c.scaled = -c.scaled;
    return Variant(c);
  }
  try {
    return Variant(Decimal::Parse(t));
  } catch (const VariantError&) {
    return Variant::Custom(kVarTypeFmtBcd, std::string(t));  // beyond 29 digits
  }
}

Variant ReadColumn(SQLHSTMT stmt, SQLUSMALLINT column, ValueKind kind,
                   const std::string& type_name) {
  SQLLEN indicator = 0;
  SQLRETURN rc = SQL_SUCCESS;
  switch (kind) {
    case ValueKind::kInteger: {
      int64_t v = 0;
      rc = SQLGetData(stmt, column, SQL_C_SBIGINT, &v, sizeof v, &indicator);
      if (!Ok(rc)) ThrowDiagnostic(SQL_HANDLE_STMT, stmt, "Could not read a column value");
      if (indicator == SQL_NULL_DATA) return Variant::Null();
      return IntegerVariant(v, type_name);
    }
    case ValueKind::kDouble: {
      double v = 0;
      rc = SQLGetData(stmt, column, SQL_C_DOUBLE, &v, sizeof v, &indicator);
      if (!Ok(rc)) ThrowDiagnostic(SQL_HANDLE_STMT, stmt, "Could not read a column value");
      if (indicator == SQL_NULL_DATA) return Variant::Null();
      return Variant(v);
    }
    case ValueKind::kTimestamp: {
      SQL_TIMESTAMP_STRUCT ts{};
      rc = SQLGetData(stmt, column, SQL_C_TYPE_TIMESTAMP, &ts, sizeof ts, &indicator);
      if (!Ok(rc)) ThrowDiagnostic(SQL_HANDLE_STMT, stmt, "Could not read a column value");
      if (indicator == SQL_NULL_DATA) return Variant::Null();
      return TimestampVariant(ts);
    }
    case ValueKind::kBinary: {
      std::string bytes;
      if (!ReadPieces(stmt, column, SQL_C_BINARY, &bytes)) return Variant::Null();
      return Variant(std::vector<uint8_t>(bytes.begin(), bytes.end()));
    }
    case ValueKind::kExact:
    case ValueKind::kMoney:
    case ValueKind::kTime:
    case ValueKind::kText: {
      std::string bytes;
      if (!ReadPieces(stmt, column, SQL_C_WCHAR, &bytes)) return Variant::Null();
      std::string text = Utf8OfWide(bytes);
      if (kind == ValueKind::kText) return Variant(std::move(text));
      if (kind == ValueKind::kTime) return TimeVariant(text);
      return ExactFromText(text, kind == ValueKind::kMoney);
    }
  }
  return Variant::Null();
}

ParamBindings::ParamBindings(SQLHSTMT stmt, const std::vector<Parameter>& params) {
  // The return value first, then positions 1..n in order.
  for (size_t i = 0; i < params.size(); ++i) {
    const Parameter& p = params[i];
    if (i > 0 && p.direction == 4) continue;
    auto b = std::make_unique<Bound>();
    b->position = i;
    b->type_name = i == 0 ? "int" : NormaliseTypeName(p.sql_type.name);
    b->kind = KindOfType(b->type_name);
    b->output = i == 0 || p.direction == 2 || p.direction == 3;
    const bool has_value = i > 0 && p.direction != 2 && !p.value.IsNull() && !p.value.IsEmpty();
    SQLSMALLINT c_type = SQL_C_WCHAR;
    SQLSMALLINT sql_type = i == 0 ? SQL_INTEGER : SqlTypeOf(b->type_name);
    SQLULEN column_size = 0;
    SQLSMALLINT digits = 0;
    const int length = p.sql_type.length;
    try {
      switch (b->kind) {
        case ValueKind::kInteger: {
          c_type = SQL_C_SBIGINT;
          b->buffer.resize(sizeof(int64_t));
          int64_t v = 0;
          if (has_value)
            v = p.value.type() == VT_BOOL ? (p.value.ToBool() ? 1 : 0) : p.value.ToInt64();
          std::memcpy(b->buffer.data(), &v, sizeof v);
          b->indicator = has_value ? 0 : SQL_NULL_DATA;
          break;
        }
        case ValueKind::kDouble: {
          c_type = SQL_C_DOUBLE;
          b->buffer.resize(sizeof(double));
          double v = has_value ? p.value.ToDouble() : 0.0;
          std::memcpy(b->buffer.data(), &v, sizeof v);
          b->indicator = has_value ? 0 : SQL_NULL_DATA;
          break;
        }
        case ValueKind::kTimestamp: {
          c_type = SQL_C_TYPE_TIMESTAMP;
          sql_type = SQL_TYPE_TIMESTAMP;
          column_size = 23;
          digits = 3;
          b->buffer.resize(sizeof(SQL_TIMESTAMP_STRUCT));
          SQL_TIMESTAMP_STRUCT ts{};
          if (has_value) ts = TimestampOf(p.value);
          std::memcpy(b->buffer.data(), &ts, sizeof ts);
          b->indicator = has_value ? 0 : SQL_NULL_DATA;
          break;
        }
        case ValueKind::kBinary: {
          c_type = SQL_C_BINARY;
          std::string bytes;
          if (has_value) {
            if (!p.value.IsByteArray())
              throw VariantError::Conversion(VarTypeAsText(p.value.type()), "Bytes");
            bytes.assign(p.value.Bytes().begin(), p.value.Bytes().end());
          }
          size_t capacity = std::max<size_t>(bytes.size(), length > 0 ? length : 8000);
          b->buffer.assign(capacity, '\0');
          std::memcpy(b->buffer.data(), bytes.data(), bytes.size());
          column_size = std::max<size_t>(capacity, 1);
          b->indicator = has_value ? static_cast<SQLLEN>(bytes.size()) : SQL_NULL_DATA;
          break;
        }
        case ValueKind::kExact:
        case ValueKind::kMoney: {
          c_type = SQL_C_CHAR;
          column_size = b->kind == ValueKind::kMoney ? 19 : std::max(p.precision, 1);
          digits = static_cast<SQLSMALLINT>(b->kind == ValueKind::kMoney ? 4 : p.scale);
          std::string text = has_value ? ExactText(p.value, digits) : std::string();
          b->buffer.assign(std::max<size_t>(text.size() + 1, 64), '\0');
          std::memcpy(b->buffer.data(), text.data(), text.size());
          b->indicator = has_value ? SQL_NTS : SQL_NULL_DATA;
          break;
        }
        case ValueKind::kTime:
        case ValueKind::kText: {
          std::string wide = has_value ? WideBytesOf(p.value.ToString()) : std::string();
          const size_t chars = wide.size() / sizeof(SQLWCHAR);
          size_t capacity_chars = chars;
          if (b->output) capacity_chars = std::max<size_t>(chars, length > 0 ? length : 4000);
          b->buffer.assign((capacity_chars + 1) * sizeof(SQLWCHAR), '\0');
          std::memcpy(b->buffer.data(), wide.data(), wide.size());
          column_size = std::max<size_t>(capacity_chars, 1);
          if (sql_type == SQL_GUID) column_size = 36;
          b->indicator = has_value ? static_cast<SQLLEN>(wide.size()) : SQL_NULL_DATA;
          break;
        }
      }
    } catch (const std::exception& e) {
      throw DbError("Parameter '" + p.name + "': " + e.what());
    }
    const SQLSMALLINT io = !b->output ? SQL_PARAM_INPUT
                           : i == 0   ? SQL_PARAM_OUTPUT
                                      : SQL_PARAM_INPUT_OUTPUT;
    SQLRETURN rc = SQLBindParameter(stmt, static_cast<SQLUSMALLINT>(bound_.size() + 1), io, c_type,
                                    sql_type, column_size, digits, b->buffer.data(),
                                    static_cast<SQLLEN>(b->buffer.size()), &b->indicator);
    if (!Ok(rc)) ThrowDiagnostic(SQL_HANDLE_STMT, stmt, "Could not bind parameter " + p.name);
    bound_.push_back(std::move(b));
  }
}

void ParamBindings::ReadOutputs(std::vector<Parameter>& params) const {
  for (const std::unique_ptr<Bound>& b : bound_) {
    if (!b->output || b->position >= params.size()) continue;
    Parameter& p = params[b->position];
    if (b->indicator == SQL_NULL_DATA) {
      p.value = Variant::Null();
      continue;
    }
    switch (b->kind) {
      case ValueKind::kInteger: {
        int64_t v = 0;
        std::memcpy(&v, b->buffer.data(), sizeof v);
        p.value = IntegerVariant(v, b->type_name);
        break;
      }
      case ValueKind::kDouble: {
        double v = 0;
        std::memcpy(&v, b->buffer.data(), sizeof v);
        p.value = Variant(v);
        break;
      }
      case ValueKind::kTimestamp: {
        SQL_TIMESTAMP_STRUCT ts{};
        std::memcpy(&ts, b->buffer.data(), sizeof ts);
        p.value = TimestampVariant(ts);
        break;
      }
      case ValueKind::kBinary: {
        size_t n = std::min<size_t>(static_cast<size_t>(b->indicator), b->buffer.size());
        p.value = Variant(std::vector<uint8_t>(b->buffer.begin(), b->buffer.begin() + n));
        break;
      }
      case ValueKind::kExact:
      case ValueKind::kMoney:
        p.value = ExactFromText(std::string(b->buffer.data()), b->kind == ValueKind::kMoney);
        break;
      case ValueKind::kTime:
      case ValueKind::kText: {
        size_t n = std::min<size_t>(static_cast<size_t>(b->indicator),
                                    b->buffer.size() - sizeof(SQLWCHAR));
        std::string text = Utf8OfWide(std::string(b->buffer.data(), n));
        p.value = b->kind == ValueKind::kTime ? TimeVariant(text) : Variant(std::move(text));
        break;
      }
    }
  }
}

}  // namespace tillbase::db::odbc

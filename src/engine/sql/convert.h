// Conversions between T-SQL types on stored values (the SQLite form types.h
// describes), and between the stored form and the engine's API Values.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/engine.h"

namespace tillbase::engine::sql {

// A value in its stored form: what one SQLite cell holds.
struct Stored {
  enum Kind { kNull, kInt, kReal, kText, kBlob };
  Kind kind = kNull;
  int64_t i = 0;  // kInt; decimals and money scaled by 10^scale
  double r = 0;   // kReal
  std::string s;  // kText (UTF-8) and kBlob

  static Stored Null() { return {}; }
  static Stored Int(int64_t v) {
    Stored x;
    x.kind = kInt;
    x.i = v;
    return x;
  }
  static Stored Real(double v) {
    Stored x;
    x.kind = kReal;
    x.r = v;
    return x;
  }
  static Stored Text(std::string v) {
    Stored x;
    x.kind = kText;
    x.s = std::move(v);
    return x;
  }
  static Stored Blob(std::string v) {
    Stored x;
    x.kind = kBlob;
    x.s = std::move(v);
    return x;
  }
  bool IsNull() const { return kind == kNull; }
};

// Options of a conversion that come from the connection.
struct ConvertOptions {
  std::string_view dateformat = "mdy";
  // Storing into a column or variable of the target type rather than CAST:
  // text and binary too long for it fail with 8152 instead of being cut.
  bool truncation_error = false;
};

// CAST/CONVERT of a stored value of type `from` to type `to` with a CONVERT
// style (0 when none). Throws EngineError 245, 8114, 8115, 241 (date text),
// 529 (conversion not allowed), 8169 (uniqueidentifier text); text is
// cut to the target length as CAST does unless options.truncation_error.
Stored ConvertStored(const Stored& v, const TypeInfo& from, const TypeInfo& to, int style = 0,
                     const ConvertOptions& options = {});

// Whether a value of type `from` must go through ConvertStored before it
// is compared with one of type `to` (false when the stored forms compare
// alike: int and bigint, varchar and nvarchar, decimals of equal scale).
bool NeedsConversion(const TypeInfo& from, const TypeInfo& to);

// Date values in the stored form and as microseconds since 1900-01-01,
// rounded to the type's precision (1/300 s for datetime, minutes for
// smalldatetime, days for date). Throws 8115 outside the type's range.
int64_t MicrosOfStored(const Stored& v);
Stored StoredOfMicros(int64_t micros, const TypeInfo& type);

// The stored form read from SQLite, and given back to it.
Stored ReadStored(sqlite3_value* v);
Stored ReadStored(sqlite3_stmt* stmt, int column);
void ResultStored(sqlite3_context* ctx, const Stored& v);
int BindStored(sqlite3_stmt* stmt, int index, const Stored& v);  // SQLite's result code

// API values of a type, and back. ToStored converts a Value (of its natural
// type, see TypeOfValue) to the stored form of `type`.
Value ToValue(const Stored& v, const TypeInfo& type);
Stored ToStored(const Value& v, const TypeInfo& type, const ConvertOptions& options = {});
// The natural T-SQL type of an API value: int64 -> bigint (int when it
// fits), double -> float, Decimal -> decimal(18 or 38, scale), string ->
// nvarchar(n), Bytes -> varbinary(n), DateTime -> datetime, NULL -> int.
TypeInfo TypeOfValue(const Value& v);

// Column reads and parameter binds in one step.
Value ReadValue(sqlite3_stmt* stmt, int column, const TypeInfo& type);
int BindValue(sqlite3_stmt* stmt, int index, const Value& v, const TypeInfo& type);

// The type and stored form of a numeric literal as written ("12", "1.50",
// "1e3", "$5"): int (bigint, then decimal when larger), decimal(p,s) for a
// point, float for an exponent, money for a currency sign.
TypeInfo NumericLiteralType(std::string_view text);
Stored NumericLiteralValue(std::string_view text, const TypeInfo& type);

// Text of a value as CONVERT(varchar, v) gives it (style 0), for messages
// and the string conversions: "1.50", "Jan  2 2024 12:00AM", "0x0A".
std::string TextOf(const Stored& v, const TypeInfo& type, int style = 0);

}  // namespace tillbase::engine::sql

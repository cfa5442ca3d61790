#include "engine/tools/value_format.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace tillbase::engine::tools {
namespace {

bool IsExactNumeric(SqlType t) {
  return t == SqlType::kDecimal || t == SqlType::kNumeric || t == SqlType::kMoney ||
         t == SqlType::kSmallMoney;
}

int DeclaredScale(const TypeInfo& type) {
  if (type.type == SqlType::kMoney || type.type == SqlType::kSmallMoney) return 4;
  return type.scale;
}

std::string Int128ToString(unsigned __int128 v) {
  if (v == 0) return "0";
  char buf[48];
  int n = 0;
  while (v > 0) {
    buf[n++] = static_cast<char>('0' + static_cast<int>(v % 10));
    v /= 10;
  }
  std::string out;
  out.reserve(n);
  while (n > 0) out.push_back(buf[--n]);
  return out;
}

std::string FormatDouble(double v, bool single) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-Infinity" : "Infinity";
  char buf[64];
  std::to_chars_result r = single ? std::to_chars(buf, buf + sizeof buf, static_cast<float>(v))
                                  : std::to_chars(buf, buf + sizeof buf, v);
  std::string out(buf, r.ptr);
  for (char& c : out) {
    if (c == 'e') c = 'E';
  }
  return out;
}

std::string Hex(std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string out = "0x";
  out.reserve(2 + bytes.size() * 2);
  for (unsigned char b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

// SQL Server's byte order: the first three groups are little-endian.
std::string GuidFromBytes(std::string_view b) {
  static const char kDigits[] = "0123456789ABCDEF";
  static const int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string out;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
    unsigned char c = static_cast<unsigned char>(b[kOrder[i]]);
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

int64_t FloorDiv(int64_t a, int64_t b) {
  int64_t q = a / b;
  if ((a % b != 0) && ((a < 0) != (b < 0))) --q;
  return q;
}

// Proleptic Gregorian date of a day count since 1970-01-01.
void CivilFromDays(int64_t z, int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  y = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  if (m <= 2) ++y;
}

constexpr int64_t kMicrosPerDay = 86'400'000'000LL;
constexpr int64_t kDays1900To1970 = 25567;

}  // namespace

std::string FormatDecimal(__int128 unscaled, int scale, int target_scale) {
  bool negative = unscaled < 0;
  unsigned __int128 mag = negative ? static_cast<unsigned __int128>(-(unscaled + 1)) + 1
                                   : static_cast<unsigned __int128>(unscaled);
  if (target_scale < 0) target_scale = 0;
  while (scale < target_scale) {
    mag *= 10;
    ++scale;
  }
  if (scale > target_scale) {
    unsigned __int128 div = 1;
    for (int i = target_scale; i < scale; ++i) div *= 10;
    unsigned __int128 rem = mag % div;
    mag /= div;
    if (rem * 2 >= div) ++mag;
    scale = target_scale;
  }
  std::string digits = Int128ToString(mag);
  if (static_cast<int>(digits.size()) <= scale) {
    digits.insert(0, static_cast<size_t>(scale + 1 - static_cast<int>(digits.size())), '0');
  }
  if (scale > 0) digits.insert(digits.size() - static_cast<size_t>(scale), ".");
  if (negative && mag != 0) digits.insert(0, "-");
  return digits;
}

std::string FormatDateTime(const DateTime& value, SqlType type) {
  int64_t micros = value.micros;
  if (type == SqlType::kSmallDateTime) {
    micros = FloorDiv(micros + 30'000'000, 60'000'000) * 60'000'000;  // whole minutes
  } else if (type != SqlType::kDate) {
    micros = FloorDiv(micros + 500, 1000) * 1000;  // whole milliseconds
  }
  int64_t days = FloorDiv(micros, kMicrosPerDay);
  int64_t in_day = micros - days * kMicrosPerDay;
  int64_t y;
  unsigned m, d;
  CivilFromDays(days - kDays1900To1970, y, m, d);
  char buf[64];
  if (type == SqlType::kDate) {
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
    return buf;
  }
  int64_t ms = in_day / 1000;
  unsigned hh = static_cast<unsigned>(ms / 3'600'000);
  unsigned mi = static_cast<unsigned>(ms / 60'000 % 60);
  unsigned ss = static_cast<unsigned>(ms / 1000 % 60);
  unsigned mmm = static_cast<unsigned>(ms % 1000);
  if (type == SqlType::kSmallDateTime) {
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02u:%02u:%02u", static_cast<long long>(y), m,
                  d, hh, mi, ss);
  } else {
    std::snprintf(buf, sizeof buf, "%04lld-%02u-%02u %02u:%02u:%02u.%03u",
                  static_cast<long long>(y), m, d, hh, mi, ss, mmm);
  }
  return buf;
}

std::string FormatValue(const Value& value, const TypeInfo& type) {
  const SqlType t = type.type;
  return std::visit(
      [&](const auto& v) -> std::string {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::monostate>) {
          return "NULL";
        } else if constexpr (std::is_same_v<V, int64_t>) {
          if (IsExactNumeric(t)) return FormatDecimal(v, 0, DeclaredScale(type));
          if (t == SqlType::kFloat || t == SqlType::kReal) {
            return FormatDouble(static_cast<double>(v), t == SqlType::kReal);
          }
          return std::to_string(v);
        } else if constexpr (std::is_same_v<V, double>) {
          if (IsExactNumeric(t)) {
            char buf[512];
            std::snprintf(buf, sizeof buf, "%.*f", DeclaredScale(type), v);
            return buf;
          }
          return FormatDouble(v, t == SqlType::kReal);
        } else if constexpr (std::is_same_v<V, Decimal>) {
          int target = IsExactNumeric(t) ? DeclaredScale(type) : v.scale;
          return FormatDecimal(v.unscaled, v.scale, target);
        } else if constexpr (std::is_same_v<V, std::string>) {
          return v;
        } else if constexpr (std::is_same_v<V, Bytes>) {
          if (t == SqlType::kUniqueIdentifier && v.data.size() == 16) return GuidFromBytes(v.data);
          return Hex(v.data);
        } else {
          static_assert(std::is_same_v<V, DateTime>);
          SqlType shown =
              t == SqlType::kDate || t == SqlType::kSmallDateTime ? t : SqlType::kDateTime;
          return FormatDateTime(v, shown);
        }
      },
      value);
}

bool IsLargeType(const TypeInfo& type) {
  switch (type.type) {
    case SqlType::kText:
    case SqlType::kNText:
    case SqlType::kImage:
      return true;
    case SqlType::kChar:
    case SqlType::kVarChar:
    case SqlType::kBinary:
    case SqlType::kVarBinary:
      return type.length < 0 || type.length > 8000;
    case SqlType::kNChar:
    case SqlType::kNVarChar:
      return type.length < 0 || type.length > 8000;
    default:
      return false;
  }
}

int TypeDisplayWidth(const TypeInfo& type) {
  if (IsLargeType(type)) return kLargeTypeWidth;
  switch (type.type) {
    case SqlType::kBit:
      return 1;
    case SqlType::kTinyInt:
      return 3;
    case SqlType::kSmallInt:
      return 6;
    case SqlType::kInt:
      return 11;
    case SqlType::kBigInt:
      return 20;
    case SqlType::kDecimal:
    case SqlType::kNumeric:
      return (type.precision > 0 ? type.precision : 38) + 2;  // sign and point
    case SqlType::kMoney:
      return 21;
    case SqlType::kSmallMoney:
      return 12;
    case SqlType::kFloat:
      return 24;
    case SqlType::kReal:
      return 14;
    case SqlType::kChar:
    case SqlType::kVarChar:
      return type.length > 0 ? type.length : kLargeTypeWidth;
    case SqlType::kNChar:
    case SqlType::kNVarChar:
      // Lengths of national types count bytes, two per character.
      return type.length > 0 ? (type.length + 1) / 2 : kLargeTypeWidth;
    case SqlType::kBinary:
    case SqlType::kVarBinary:
      return type.length > 0 ? 2 + 2 * type.length : kLargeTypeWidth;
    case SqlType::kDateTime:
      return 23;
    case SqlType::kSmallDateTime:
      return 19;
    case SqlType::kDate:
      return 10;
    case SqlType::kUniqueIdentifier:
      return 36;
    case SqlType::kSqlVariant:
      return 8000;
    default:
      return kLargeTypeWidth;
  }
}

bool IsRightAligned(SqlType type) {
  switch (type) {
    case SqlType::kBit:
    case SqlType::kTinyInt:
    case SqlType::kSmallInt:
    case SqlType::kInt:
    case SqlType::kBigInt:
    case SqlType::kDecimal:
    case SqlType::kNumeric:
    case SqlType::kMoney:
    case SqlType::kSmallMoney:
    case SqlType::kFloat:
    case SqlType::kReal:
    case SqlType::kDateTime:
    case SqlType::kSmallDateTime:
    case SqlType::kDate:
      return true;
    default:
      return false;
  }
}

size_t TextWidth(std::string_view utf8) {
  size_t n = 0;
  for (unsigned char c : utf8) {
    if ((c & 0xC0) != 0x80) ++n;
  }
  return n;
}

std::string_view TextPrefix(std::string_view utf8, size_t chars) {
  size_t seen = 0;
  for (size_t i = 0; i < utf8.size(); ++i) {
    if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) {
      if (seen == chars) return utf8.substr(0, i);
      ++seen;
    }
  }
  return utf8;
}

}  // namespace tillbase::engine::tools

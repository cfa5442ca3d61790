#include "engine/sql/convert.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>

#include "engine/errors.h"
#include "engine/sql/datetime.h"
#include "engine/sql/decimal_math.h"
#include "engine/sql/text.h"
#include "engine/sql/types.h"

namespace tillbase::engine::sql {
namespace {

const int64_t kMicrosPerDay = 86400000000LL;

// The name of a type in conversion messages: decimals are "numeric" there.
std::string MessageName(const TypeInfo& t) {
  if (t.type == SqlType::kDecimal) return "numeric";
  return std::string(SqlTypeName(t.type));
}

EngineError Overflow(const TypeInfo& from, const TypeInfo& to) {
  return MakeError(8115, 16, 2,
                   "Arithmetic overflow error converting " + MessageName(from) + " to data type " +
                       MessageName(to) + ".");
}

EngineError NotAllowed(const TypeInfo& from, const TypeInfo& to) {
  return MakeError(529, 16, 2,
                   "Explicit conversion from data type " + std::string(SqlTypeName(from.type)) +
                       " to " + std::string(SqlTypeName(to.type)) + " is not allowed.");
}

EngineError BadText(const TypeInfo& from, std::string_view text, const TypeInfo& to) {
  switch (to.type) {
    case SqlType::kBit:
    case SqlType::kTinyInt:
    case SqlType::kSmallInt:
    case SqlType::kInt:
      return ConversionFailed(SqlTypeName(from.type), text, SqlTypeName(to.type));
    case SqlType::kMoney:
    case SqlType::kSmallMoney:
      return MakeError(
          235, 16, 0, "Cannot convert a char value to money. The char value has incorrect syntax.");
    case SqlType::kDateTime:
    case SqlType::kSmallDateTime:
    case SqlType::kDate:
      return MakeError(241, 16, 1,
                       "Conversion failed when converting date and/or time from character string.");
    case SqlType::kUniqueIdentifier:
      return MakeError(8169, 16, 2,
                       "Conversion failed when converting from a character string to "
                       "uniqueidentifier.");
    default:
      return ConvertError(SqlTypeName(from.type), MessageName(to));
  }
}

bool IntRange(SqlType t, __int128 v) {
  switch (t) {
    case SqlType::kBit:
      return v == 0 || v == 1;
    case SqlType::kTinyInt:
      return v >= 0 && v <= 255;
    case SqlType::kSmallInt:
      return v >= -32768 && v <= 32767;
    case SqlType::kInt:
      return v >= INT32_MIN && v <= INT32_MAX;
    default:
      return v >= INT64_MIN && v <= INT64_MAX;
  }
}

int ScaleOf(const TypeInfo& t) {
  if (t.type == SqlType::kMoney || t.type == SqlType::kSmallMoney) return 4;
  return t.scale;
}

// Digits of precision a scaled target holds.
int DigitsOf(const TypeInfo& t) {
  if (t.type == SqlType::kMoney) return 19;
  if (t.type == SqlType::kSmallMoney) return 10;
  return t.precision > 0 ? t.precision : 18;
}

// A scaled value checked against its target's precision and the int64
// storage; money ranges are the ones of SQL Server.
Stored FitScaled(__int128 v, const TypeInfo& from, const TypeInfo& to) {
  if (to.type == SqlType::kSmallMoney) {
    if (v < -2147483648LL || v > 2147483647LL) throw Overflow(from, to);
  } else if (to.type != SqlType::kMoney) {
    if (v >= Pow10_128(DigitsOf(to)) || v <= -Pow10_128(DigitsOf(to))) throw Overflow(from, to);
  }
  if (v > INT64_MAX || v < INT64_MIN) throw Overflow(from, to);
  return Stored::Int(static_cast<int64_t>(v));
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() &&
         (s.front() == ' ' || s.front() == '\t' || s.front() == '\n' || s.front() == '\r')) {
    s.remove_prefix(1);
  }
  while (!s.empty() &&
         (s.back() == ' ' || s.back() == '\t' || s.back() == '\n' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

std::optional<__int128> ParseInteger(std::string_view s) {
  s = TrimBlanks(s);
  if (s.empty()) return 0;  // '' converts to 0 as SQL Server does
  bool neg = false;
  if (s[0] == '+' || s[0] == '-') {
    neg = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || s.size() > 30) return std::nullopt;
  __int128 v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + (c - '0');
  }
  return neg ? -v : v;
}

// "-12.345" as unscaled digits rounded half away from zero to `scale`.
// Money texts may carry a currency sign and thousands separators.
std::optional<__int128> ParseDecimalText(std::string_view s, int scale, bool money) {
  s = TrimBlanks(s);
  bool neg = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    neg = s[0] == '-';
    s.remove_prefix(1);
  }
  if (money && !s.empty() && s[0] == '$') s.remove_prefix(1);
  if (money && !s.empty() && (s[0] == '+' || s[0] == '-') && !neg) {
    neg = s[0] == '-';
    s.remove_prefix(1);
  }
  __int128 v = 0;
  int frac = 0;
  bool point = false, digits = false, round_up = false;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (c == '.' && !point) {
      point = true;
    } else if (c == ',' && money && !point) {
      continue;
    } else if (c >= '0' && c <= '9') {
      digits = true;
      if (point && frac >= scale) {
        if (frac == scale) round_up = c >= '5';
        ++frac;
        continue;
      }
      if (v > Pow10_128(36)) return std::nullopt;
      v = v * 10 + (c - '0');
      if (point) ++frac;
    } else {
      return std::nullopt;
    }
  }
  // No digits is no number; money alone takes '' (and '$') as 0.
  if (!digits && !(money && s.empty())) return std::nullopt;
  while (frac < scale) {
    v *= 10;
    ++frac;
  }
  if (round_up) ++v;
  return neg ? -v : v;
}

std::optional<double> ParseFloatText(std::string_view s) {
  s = TrimBlanks(s);
  if (s.empty()) return 0.0;
  std::string z(s);
  char* end = nullptr;
  double d = std::strtod(z.c_str(), &end);
  if (end != z.c_str() + z.size()) return std::nullopt;
  for (char c : z) {  // strtod also reads "inf", "nan" and hex floats
    if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '+' ||
          c == 'e' || c == 'E')) {
      return std::nullopt;
    }
  }
  return d;
}

std::string DecimalText(__int128 v, int scale) {
  bool neg = v < 0;
  unsigned __int128 u =
      neg ? static_cast<unsigned __int128>(-v) : static_cast<unsigned __int128>(v);
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(u % 10)));
    u /= 10;
  } while (u != 0);
  while (static_cast<int>(digits.size()) <= scale) digits.insert(digits.begin(), '0');
  if (scale > 0) digits.insert(digits.end() - scale, '.');
  return neg ? "-" + digits : digits;
}

std::string GroupThousands(const std::string& text) {
  size_t start = text[0] == '-' ? 1 : 0;
  size_t point = text.find('.');
  if (point == std::string::npos) point = text.size();
  std::string out = text.substr(0, start);
  for (size_t i = start; i < point; ++i) {
    out += text[i];
    size_t left = point - i - 1;
    if (left > 0 && left % 3 == 0) out += ',';
  }
  return out + text.substr(point);
}

// Float text as SQL Server writes it: style 0 six significant digits, 1
// eight, 2 sixteen (always with an exponent), exponents of three digits.
std::string FloatText(double d, int style) {
  char buf[64];
  if (style == 1 || style == 2) {
    std::snprintf(buf, sizeof buf, "%.*e", style == 1 ? 7 : 15, d);
  } else if (style == 3) {
    std::snprintf(buf, sizeof buf, "%.17g", d);
  } else {
    std::snprintf(buf, sizeof buf, "%.6g", d);
  }
  std::string s = buf;
  size_t e = s.find('e');
  if (e != std::string::npos) {
    size_t digits = e + 2;
    while (s.size() - digits < 3) s.insert(digits, "0");
  }
  return s;
}

std::string HexText(std::string_view bytes, bool prefix) {
  static const char* kHex = "0123456789ABCDEF";
  std::string out = prefix ? "0x" : "";
  for (unsigned char c : bytes) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

std::optional<std::string> ParseHex(std::string_view s) {
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
  std::string out;
  auto nib = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  size_t i = 0;
  if (s.size() % 2 == 1) {
    int v = nib(s[0]);
    if (v < 0) return std::nullopt;
    out += static_cast<char>(v);
    i = 1;
  }
  for (; i < s.size(); i += 2) {
    int a = nib(s[i]), b = nib(s[i + 1]);
    if (a < 0 || b < 0) return std::nullopt;
    out += static_cast<char>(a * 16 + b);
  }
  return out;
}

std::optional<std::string> NormalizeGuid(std::string_view s) {
  s = TrimBlanks(s);
  if (s.size() == 38 && s.front() == '{' && s.back() == '}') s = s.substr(1, 36);
  if (s.size() != 36) return std::nullopt;
  std::string out;
  for (size_t i = 0; i < 36; ++i) {
    char c = s[i];
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash) {
      if (c != '-') return std::nullopt;
    } else if (!std::isxdigit(static_cast<unsigned char>(c))) {
      return std::nullopt;
    }
    out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return out;
}

// The 16 bytes of a GUID in SQL Server's order: the first three groups
// little-endian.
std::string GuidBytes(const std::string& text) {
  std::string hex;
  for (char c : text) {
    if (c != '-') hex += c;
  }
  std::string b = *ParseHex(hex);
  std::string out = b;
  const int order[] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 16; ++i) out[i] = b[order[i]];
  return out;
}

std::string GuidFromBytes(std::string_view b) {
  std::string raw(16, '\0');
  const int order[] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  for (int i = 0; i < 16 && i < static_cast<int>(b.size()); ++i) raw[order[i]] = b[i];
  std::string hex = HexText(raw, false);
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
         hex.substr(16, 4) + "-" + hex.substr(20);
}

int ByteSize(SqlType t) {
  switch (t) {
    case SqlType::kBit:
    case SqlType::kTinyInt:
      return 1;
    case SqlType::kSmallInt:
      return 2;
    case SqlType::kInt:
      return 4;
    default:
      return 8;
  }
}

// Text cut (or padded for char/nchar) to the length of a character type.
std::string FitText(std::string s, const TypeInfo& to, const ConvertOptions& options) {
  if (to.length < 0 || to.type == SqlType::kText || to.type == SqlType::kNText) return s;
  size_t chars =
      IsUnicode(to.type) ? static_cast<size_t>(to.length) / 2 : static_cast<size_t>(to.length);
  size_t have = CodePointCount(s);
  if (have > chars) {
    if (options.truncation_error &&
        TrimTrailingBlanks(s).size() > PrefixCodePoints(s, chars).size()) {
      throw Truncation();
    }
    s = std::string(PrefixCodePoints(s, chars));
    have = chars;
  }
  if ((to.type == SqlType::kChar || to.type == SqlType::kNChar) && have < chars) {
    s.append(chars - have, ' ');
  }
  return s;
}

std::string FitBytes(std::string s, const TypeInfo& to, const ConvertOptions& options) {
  if (to.length < 0 || to.type == SqlType::kImage) return s;
  size_t n = static_cast<size_t>(to.length);
  if (s.size() > n) {
    if (options.truncation_error) throw Truncation();
    s.resize(n);
  }
  if (to.type == SqlType::kBinary && s.size() < n) s.append(n - s.size(), '\0');
  return s;
}

int DateStyleOrder(int style, std::string_view dateformat, std::string* order) {
  int base = style >= 100 ? style - 100 : style;
  switch (base) {
    case 1:
    case 10:
      *order = "mdy";
      break;
    case 3:
    case 4:
    case 5:
      *order = "dmy";
      break;
    case 2:
    case 11:
    case 12:
    case 20:
    case 21:
    case 23:
    case 26:
      *order = "ymd";
      break;
    default:
      *order = std::string(dateformat);
  }
  return base;
}

// Month number of an English month name or its abbreviation; 0 if none.
int MonthOfName(std::string_view word) {
  static const char* kNames[] = {"january",   "february", "march",    "april",
                                 "may",       "june",     "july",     "august",
                                 "september", "october",  "november", "december"};
  if (word.size() < 3) return 0;
  std::string w = ToLower(word);
  for (int m = 0; m < 12; ++m) {
    std::string_view name = kNames[m];
    if (w.size() <= name.size() && name.substr(0, w.size()) == w) return m + 1;
  }
  return 0;
}

// "Mar  5 2024  2:07PM" (what style 0 writes), "Mar 5, 2024" and
// "5 Mar 2024 ..." rewritten as "2024-03-05 ..."; nullopt when the text
// has no month name.
std::optional<std::string> RewriteMonthName(std::string_view t) {
  size_t i = 0;
  auto skip = [&]() {
    while (i < t.size() && (t[i] == ' ' || t[i] == ',')) ++i;
  };
  auto word = [&]() {
    size_t b = i;
    while (i < t.size() && std::isalpha(static_cast<unsigned char>(t[i]))) ++i;
    return t.substr(b, i - b);
  };
  auto number = [&]() {
    size_t b = i;
    while (i < t.size() && std::isdigit(static_cast<unsigned char>(t[i]))) ++i;
    return t.substr(b, i - b);
  };
  int month = 0;
  std::string_view day, year;
  if (!t.empty() && std::isalpha(static_cast<unsigned char>(t[0]))) {
    month = MonthOfName(word());
    skip();
    day = number();
    skip();
    year = number();
  } else {
    day = number();
    skip();
    month = MonthOfName(word());
    skip();
    year = number();
  }
  if (month == 0 || day.empty() || day.size() > 2 || (year.size() != 4 && year.size() != 2)) {
    return std::nullopt;
  }
  int y = std::atoi(std::string(year).c_str());
  if (year.size() == 2) y += y < 50 ? 2000 : 1900;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", y, month, std::atoi(std::string(day).c_str()));
  std::string rest(t.substr(i));
  return std::string(buf) + (rest.empty() ? "" : " " + rest);
}

std::optional<CivilTime> ParseDateText(std::string_view text, int style,
                                       std::string_view dateformat) {
  std::string order;
  DateStyleOrder(style, dateformat, &order);
  std::string_view t = TrimBlanks(text);
  // Empty text is the base date, 1900-01-01 ("set GatheringDate = ''").
  if (t.empty()) return CivilTime{};
  if (t.find_first_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ") <
      std::min<size_t>(t.size(), 4)) {
    std::optional<std::string> iso = RewriteMonthName(t);
    if (iso) return ParseDateTimeText(*iso, "ymd");
  }
  // Style 12/112 and the unseparated ISO form: yyyymmdd or yymmdd.
  if (t.size() == 6 && t.find_first_not_of("0123456789") == std::string_view::npos) {
    int y = std::atoi(std::string(t.substr(0, 2)).c_str());
    std::string full = std::to_string(y < 50 ? 2000 + y : 1900 + y) + std::string(t.substr(2));
    return ParseDateTimeText(full, order);
  }
  if (order == "ymd" || order == "ydm" || order == "dmy" || order == "mdy" || order == "myd" ||
      order == "dym") {
    return ParseDateTimeText(t, order);
  }
  return ParseDateTimeText(t, "mdy");
}

bool IsDateOnly(const TypeInfo& t) { return t.type == SqlType::kDate; }

// The natural type of what a stored cell holds, for reading it when it
// does not have the storage class its type says.
TypeInfo NaturalType(Stored::Kind k) {
  switch (k) {
    case Stored::kInt:
      return BigIntType();
    case Stored::kReal:
      return FloatType();
    case Stored::kBlob:
      return MakeType(SqlType::kVarBinary, -1);
    default:
      return VarCharType(-1);
  }
}

bool KindFits(Stored::Kind k, Storage s) {
  switch (s) {
    case Storage::kInt:
    case Storage::kScaled:
      return k == Stored::kInt;
    case Storage::kReal:
      return k == Stored::kReal;
    case Storage::kBlob:
      return k == Stored::kBlob;
    default:
      return k == Stored::kText;
  }
}

}  // namespace

int64_t MicrosOfStored(const Stored& v) {
  std::optional<CivilTime> c = ParseStorage(v.s);
  if (!c) {
    throw MakeError(241, 16, 1,
                    "Conversion failed when converting date and/or time from character string.");
  }
  return MicrosFromCivil(*c);
}

Stored StoredOfMicros(int64_t micros, const TypeInfo& type) {
  int64_t days =
      micros >= 0 ? micros / kMicrosPerDay : -((-micros + kMicrosPerDay - 1) / kMicrosPerDay);
  int64_t rem = micros - days * kMicrosPerDay;
  if (type.type == SqlType::kDate) {
    rem = 0;
  } else if (type.type == SqlType::kSmallDateTime) {
    // Rounded to the minute; 29.998 seconds rounds down, 29.999 up.
    int64_t ms = (rem + 500) / 1000;
    rem = ((ms + 29999) / 60000) * 60000 * 1000;
  } else {
    // datetime keeps 1/300 s: .000, .003, .007, ...
    int64_t ms = (rem + 500) / 1000;
    int64_t ticks = (ms * 3 + 5) / 10;
    rem = (ticks * 10 + 1) / 3 * 1000;
  }
  int64_t total = days * kMicrosPerDay + rem;
  CivilTime c = CivilFromMicros(total);
  int min_year = type.type == SqlType::kDate            ? 1
                 : type.type == SqlType::kSmallDateTime ? 1900
                                                        : 1753;
  int max_year = type.type == SqlType::kSmallDateTime ? 2079 : 9999;
  if (c.year < min_year || c.year > max_year ||
      (type.type == SqlType::kSmallDateTime && c.year == 2079 && c.month > 6)) {
    throw MakeError(8115, 16, 2,
                    "Arithmetic overflow error converting expression to data type " +
                        std::string(SqlTypeName(type.type)) + ".");
  }
  return Stored::Text(FormatStorage(c, IsDateOnly(type)));
}

bool NeedsConversion(const TypeInfo& from, const TypeInfo& to) {
  Storage a = StorageOf(from.type), b = StorageOf(to.type);
  if (a != b) {
    // Text and GUID text compare alike once the GUID is upper case, which
    // is not known of arbitrary text.
    return true;
  }
  if (a == Storage::kScaled) return ScaleOf(from) != ScaleOf(to);
  if (a == Storage::kDate) return IsDateOnly(from) != IsDateOnly(to);
  return false;
}

Stored ConvertStored(const Stored& v, const TypeInfo& from, const TypeInfo& to, int style,
                     const ConvertOptions& options) {
  if (v.IsNull()) return v;
  Storage src = StorageOf(from.type);
  Storage dst = StorageOf(to.type);
  // A stored value of another class than its type says (SQLite is dynamic):
  // read it as what it holds.
  if (!KindFits(v.kind, src)) return ConvertStored(v, NaturalType(v.kind), to, style, options);

  switch (dst) {
    case Storage::kInt: {
      __int128 r = 0;
      switch (src) {
        case Storage::kInt:
          r = v.i;
          if (to.type == SqlType::kBit) r = r != 0;
          break;
        case Storage::kScaled: {
          int s = ScaleOf(from);
          bool money = from.type == SqlType::kMoney || from.type == SqlType::kSmallMoney;
          r = money ? RoundToScale(v.i, s, 0) : v.i / Pow10_128(s);
          if (to.type == SqlType::kBit) r = v.i != 0;
          break;
        }
        case Storage::kReal:
          if (to.type == SqlType::kBit) {
            r = v.r != 0;
          } else {
            if (!(std::fabs(v.r) < 9.3e18)) throw Overflow(from, to);
            r = static_cast<__int128>(std::trunc(v.r));
          }
          break;
        case Storage::kText: {
          std::string_view t = TrimBlanks(v.s);
          if (to.type == SqlType::kBit) {
            if (CompareText(t, "true") == 0) return Stored::Int(1);
            if (CompareText(t, "false") == 0) return Stored::Int(0);
          }
          std::optional<__int128> p = ParseInteger(t);
          if (!p) throw BadText(from, v.s, to);
          r = *p;
          if (to.type == SqlType::kBit) r = r != 0;
          break;
        }
        case Storage::kDate: {
          if (IsDateOnly(from)) throw NotAllowed(from, to);
          int64_t m = MicrosOfStored(v);
          int64_t days = m / kMicrosPerDay;
          if (m - days * kMicrosPerDay >= kMicrosPerDay / 2) ++days;
          r = days;
          break;
        }
        case Storage::kBlob: {
          std::string_view b = v.s;
          size_t n = static_cast<size_t>(ByteSize(to.type));
          if (b.size() > n) b = b.substr(b.size() - n);
          uint64_t u = 0;
          for (unsigned char c : b) u = (u << 8) | c;
          if (n < 8 && b.size() == n && (static_cast<unsigned char>(b[0]) & 0x80) &&
              to.type != SqlType::kTinyInt) {
            u |= ~uint64_t{0} << (n * 8);  // sign of the narrower integer
          }
          r = static_cast<int64_t>(u);
          break;
        }
        case Storage::kGuid:
          throw NotAllowed(from, to);
      }
      if (!IntRange(to.type, r)) {
        if (src == Storage::kText) throw BadText(from, v.s, to);
        throw Overflow(from, to);
      }
      return Stored::Int(static_cast<int64_t>(r));
    }

    case Storage::kScaled: {
      int s = ScaleOf(to);
      bool money = to.type == SqlType::kMoney || to.type == SqlType::kSmallMoney;
      switch (src) {
        case Storage::kInt:
          return FitScaled(static_cast<__int128>(v.i) * Pow10_128(s), from, to);
        case Storage::kScaled:
          return FitScaled(RoundToScale(v.i, ScaleOf(from), s), from, to);
        case Storage::kReal: {
          double scaled = std::round(v.r * static_cast<double>(Pow10_128(s)));
          if (!(std::fabs(scaled) < 9.2e18)) throw Overflow(from, to);
          return FitScaled(static_cast<__int128>(scaled), from, to);
        }
        case Storage::kText: {
          std::optional<__int128> p = ParseDecimalText(v.s, s, money);
          // Text with an exponent is no decimal, as in SQL Server ('1e3' fails).
          if (!p) throw BadText(from, v.s, to);
          return FitScaled(*p, from, to);
        }
        case Storage::kDate: {
          if (IsDateOnly(from)) throw NotAllowed(from, to);
          double days = static_cast<double>(MicrosOfStored(v)) / kMicrosPerDay;
          return ConvertStored(Stored::Real(days), FloatType(), to, style, options);
        }
        default:
          throw NotAllowed(from, to);
      }
    }

    case Storage::kReal: {
      double d = 0;
      switch (src) {
        case Storage::kInt:
          d = static_cast<double>(v.i);
          break;
        case Storage::kScaled:
          d = static_cast<double>(v.i) / static_cast<double>(Pow10_128(ScaleOf(from)));
          break;
        case Storage::kReal:
          d = v.r;
          break;
        case Storage::kText: {
          std::optional<double> p = ParseFloatText(v.s);
          if (!p) throw BadText(from, v.s, to);
          d = *p;
          break;
        }
        case Storage::kDate:
          if (IsDateOnly(from)) throw NotAllowed(from, to);
          d = static_cast<double>(MicrosOfStored(v)) / kMicrosPerDay;
          break;
        default:
          throw NotAllowed(from, to);
      }
      if (to.type == SqlType::kReal) d = static_cast<float>(d);
      return Stored::Real(d);
    }

    case Storage::kText: {
      std::string s;
      switch (src) {
        case Storage::kInt:
          s = std::to_string(v.i);
          if (to.length >= 0 && !IsUnicode(to.type) && to.type != SqlType::kText &&
              s.size() > static_cast<size_t>(to.length)) {
            return Stored::Text("*");  // a number too wide for its text shows as *
          }
          break;
        case Storage::kScaled: {
          int sc = ScaleOf(from);
          bool money = from.type == SqlType::kMoney || from.type == SqlType::kSmallMoney;
          if (money && style != 2) {
            s = DecimalText(RoundToScale(v.i, 4, 2), 2);
            if (style == 1) s = GroupThousands(s);
          } else {
            s = DecimalText(v.i, sc);
          }
          if (to.length >= 0 && !IsUnicode(to.type) && to.type != SqlType::kText &&
              s.size() > static_cast<size_t>(to.length)) {
            throw Overflow(from, to);
          }
          break;
        }
        case Storage::kReal:
          s = FloatText(v.r, style);
          break;
        case Storage::kText:
        case Storage::kGuid:
          s = v.s;
          break;
        case Storage::kDate: {
          std::optional<CivilTime> c = ParseStorage(v.s);
          if (!c) throw BadText(from, v.s, to);
          if (IsDateOnly(from) && style == 0) {
            s = FormatStorage(*c, true);
          } else {
            if (from.type == SqlType::kSmallDateTime && (style == 0 || style == 100)) c->second = 0;
            s = FormatStyle(*c, style, false);
            if (s.empty()) {
              throw MakeError(281, 16, 1,
                              std::to_string(style) +
                                  " is not a valid style number when converting from " +
                                  std::string(SqlTypeName(from.type)) + " to a character string.");
            }
            if (IsDateOnly(from) && (style == 0 || style == 100)) s = s.substr(0, 11);
          }
          break;
        }
        case Storage::kBlob:
          if (style == 1) {
            s = HexText(v.s, true);
          } else if (style == 2) {
            s = HexText(v.s, false);
          } else {
            s = v.s;
          }
          break;
      }
      return Stored::Text(FitText(std::move(s), to, options));
    }

    case Storage::kDate: {
      switch (src) {
        case Storage::kText: {
          std::optional<CivilTime> c = ParseDateText(v.s, style, options.dateformat);
          if (!c) throw BadText(from, v.s, to);
          return StoredOfMicros(MicrosFromCivil(*c), to);
        }
        case Storage::kDate:
          if (!NeedsConversion(from, to) && from.type == to.type) return v;
          return StoredOfMicros(MicrosOfStored(v), to);
        case Storage::kInt:
          if (IsDateOnly(to)) throw NotAllowed(from, to);
          if (v.i > 3000000 || v.i < -100000) throw Overflow(from, to);
          return StoredOfMicros(v.i * kMicrosPerDay, to);
        case Storage::kScaled:
        case Storage::kReal: {
          if (IsDateOnly(to)) throw NotAllowed(from, to);
          double days = src == Storage::kReal ? v.r
                                              : static_cast<double>(v.i) /
                                                    static_cast<double>(Pow10_128(ScaleOf(from)));
          if (!(std::fabs(days) < 3000000)) throw Overflow(from, to);
          return StoredOfMicros(static_cast<int64_t>(std::llround(days * kMicrosPerDay)), to);
        }
        default:
          throw NotAllowed(from, to);
      }
    }

    case Storage::kGuid: {
      switch (src) {
        case Storage::kText:
        case Storage::kGuid: {
          std::optional<std::string> g = NormalizeGuid(v.s);
          if (!g) throw BadText(from, v.s, to);
          return Stored::Text(*g);
        }
        case Storage::kBlob: {
          if (v.s.size() < 16) throw NotAllowed(from, to);
          return Stored::Text(GuidFromBytes(v.s));
        }
        default:
          throw NotAllowed(from, to);
      }
    }

    case Storage::kBlob: {
      std::string b;
      switch (src) {
        case Storage::kBlob:
          b = v.s;
          break;
        case Storage::kText:
          if (style == 1 || style == 2) {
            std::optional<std::string> h = ParseHex(v.s);
            if (!h) throw ConvertError(SqlTypeName(from.type), SqlTypeName(to.type));
            b = *h;
          } else {
            b = v.s;
          }
          break;
        case Storage::kInt: {
          int n = ByteSize(from.type);
          uint64_t u = static_cast<uint64_t>(v.i);
          for (int k = n - 1; k >= 0; --k) b += static_cast<char>((u >> (8 * k)) & 0xFF);
          break;
        }
        case Storage::kGuid:
          b = GuidBytes(v.s);
          break;
        default:
          throw NotAllowed(from, to);
      }
      return Stored::Blob(FitBytes(std::move(b), to, options));
    }
  }
  throw NotAllowed(from, to);
}

Stored ReadStored(sqlite3_value* v) {
  switch (sqlite3_value_type(v)) {
    case SQLITE_INTEGER:
      return Stored::Int(sqlite3_value_int64(v));
    case SQLITE_FLOAT:
      return Stored::Real(sqlite3_value_double(v));
    case SQLITE_TEXT: {
      const unsigned char* t = sqlite3_value_text(v);
      return Stored::Text(std::string(reinterpret_cast<const char*>(t), sqlite3_value_bytes(v)));
    }
    case SQLITE_BLOB: {
      const void* b = sqlite3_value_blob(v);
      int n = sqlite3_value_bytes(v);
      return Stored::Blob(n == 0 ? std::string() : std::string(static_cast<const char*>(b), n));
    }
    default:
      return Stored::Null();
  }
}

Stored ReadStored(sqlite3_stmt* stmt, int column) {
  switch (sqlite3_column_type(stmt, column)) {
    case SQLITE_INTEGER:
      return Stored::Int(sqlite3_column_int64(stmt, column));
    case SQLITE_FLOAT:
      return Stored::Real(sqlite3_column_double(stmt, column));
    case SQLITE_TEXT: {
      const unsigned char* t = sqlite3_column_text(stmt, column);
      return Stored::Text(
          std::string(reinterpret_cast<const char*>(t), sqlite3_column_bytes(stmt, column)));
    }
    case SQLITE_BLOB: {
      const void* b = sqlite3_column_blob(stmt, column);
      int n = sqlite3_column_bytes(stmt, column);
      return Stored::Blob(n == 0 ? std::string() : std::string(static_cast<const char*>(b), n));
    }
    default:
      return Stored::Null();
  }
}

void ResultStored(sqlite3_context* ctx, const Stored& v) {
  switch (v.kind) {
    case Stored::kNull:
      sqlite3_result_null(ctx);
      break;
    case Stored::kInt:
      sqlite3_result_int64(ctx, v.i);
      break;
    case Stored::kReal:
      sqlite3_result_double(ctx, v.r);
      break;
    case Stored::kText:
      sqlite3_result_text(ctx, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT);
      break;
    case Stored::kBlob:
      sqlite3_result_blob(ctx, v.s.data(), static_cast<int>(v.s.size()), SQLITE_TRANSIENT);
      break;
  }
}

int BindStored(sqlite3_stmt* stmt, int index, const Stored& v) {
  switch (v.kind) {
    case Stored::kInt:
      return sqlite3_bind_int64(stmt, index, v.i);
    case Stored::kReal:
      return sqlite3_bind_double(stmt, index, v.r);
    case Stored::kText:
      return sqlite3_bind_text(stmt, index, v.s.data(), static_cast<int>(v.s.size()),
                               SQLITE_TRANSIENT);
    case Stored::kBlob:
      return sqlite3_bind_blob(stmt, index, v.s.data(), static_cast<int>(v.s.size()),
                               SQLITE_TRANSIENT);
    default:
      return sqlite3_bind_null(stmt, index);
  }
}

Value ToValue(const Stored& v_in, const TypeInfo& type) {
  if (v_in.IsNull()) return std::monostate{};
  Storage s = StorageOf(type.type);
  Stored v = v_in;
  if (!KindFits(v.kind, s)) {
    if (s == Storage::kReal && v.kind == Stored::kInt) {
      return static_cast<double>(v.i);
    }
    v = ConvertStored(v, NaturalType(v.kind), type);
  }
  switch (s) {
    case Storage::kInt:
      return type.type == SqlType::kBit ? int64_t{v.i != 0} : v.i;
    case Storage::kScaled:
      return Decimal{v.i, ScaleOf(type)};
    case Storage::kReal:
      return v.r;
    case Storage::kDate:
      return DateTime{MicrosOfStored(v)};
    case Storage::kBlob:
      return Bytes{v.s};
    default:
      return v.s;
  }
}

TypeInfo TypeOfValue(const Value& v) {
  struct Visitor {
    TypeInfo operator()(std::monostate) const { return IntType(); }
    TypeInfo operator()(int64_t i) const {
      return i >= INT32_MIN && i <= INT32_MAX ? IntType() : BigIntType();
    }
    TypeInfo operator()(double) const { return FloatType(); }
    TypeInfo operator()(const Decimal& d) const {
      int digits = 1;
      for (__int128 u = d.unscaled < 0 ? -d.unscaled : d.unscaled; u >= 10; u /= 10) ++digits;
      int p = std::max(digits, d.scale);
      return DecimalType(p <= 18 ? 18 : 38, std::min(d.scale, 38));
    }
    TypeInfo operator()(const std::string& s) const {
      int n = static_cast<int>(CodePointCount(s));
      return NVarCharType(n > 4000 ? -1 : std::max(n, 1));
    }
    TypeInfo operator()(const Bytes& b) const {
      int n = static_cast<int>(b.data.size());
      return MakeType(SqlType::kVarBinary, n > 8000 ? -1 : std::max(n, 1));
    }
    TypeInfo operator()(const DateTime&) const { return DateTimeType(); }
  };
  return std::visit(Visitor{}, v);
}

Stored ToStored(const Value& v, const TypeInfo& type, const ConvertOptions& options) {
  Storage s = StorageOf(type.type);
  TypeInfo natural = TypeOfValue(v);
  Stored raw;
  if (const auto* i = std::get_if<int64_t>(&v)) {
    if (s == Storage::kInt && type.type == SqlType::kBigInt) return Stored::Int(*i);
    raw = Stored::Int(*i);
    natural = BigIntType();
  } else if (const auto* d = std::get_if<double>(&v)) {
    if (s == Storage::kReal && type.type == SqlType::kFloat) return Stored::Real(*d);
    raw = Stored::Real(*d);
  } else if (const auto* dec = std::get_if<Decimal>(&v)) {
    if (dec->unscaled <= INT64_MAX && dec->unscaled >= INT64_MIN) {
      raw = Stored::Int(static_cast<int64_t>(dec->unscaled));
    } else if (s == Storage::kScaled) {
      return FitScaled(RoundToScale(dec->unscaled, dec->scale, ScaleOf(type)), natural, type);
    } else {
      raw = Stored::Text(DecimalText(dec->unscaled, dec->scale));
      natural = VarCharType(-1);
    }
  } else if (const auto* str = std::get_if<std::string>(&v)) {
    raw = Stored::Text(*str);
    natural = NVarCharType(-1);
  } else if (const auto* b = std::get_if<Bytes>(&v)) {
    raw = Stored::Blob(b->data);
    natural = MakeType(SqlType::kVarBinary, -1);
  } else if (const auto* dt = std::get_if<DateTime>(&v)) {
    raw = Stored::Text(FormatStorage(CivilFromMicros(dt->micros), false));
    if (type.type == SqlType::kDateTime) return StoredOfMicros(dt->micros, type);
  } else {
    return Stored::Null();
  }
  return ConvertStored(raw, natural, type, 0, options);
}

Value ReadValue(sqlite3_stmt* stmt, int column, const TypeInfo& type) {
  int t = sqlite3_column_type(stmt, column);
  Storage s = StorageOf(type.type);
  // Fast paths for the common cells.
  if (t == SQLITE_NULL) return std::monostate{};
  if (t == SQLITE_INTEGER && s == Storage::kInt && type.type != SqlType::kBit) {
    return static_cast<int64_t>(sqlite3_column_int64(stmt, column));
  }
  if (t == SQLITE_TEXT && (s == Storage::kText || s == Storage::kGuid)) {
    const unsigned char* p = sqlite3_column_text(stmt, column);
    return std::string(reinterpret_cast<const char*>(p), sqlite3_column_bytes(stmt, column));
  }
  return ToValue(ReadStored(stmt, column), type);
}

int BindValue(sqlite3_stmt* stmt, int index, const Value& v, const TypeInfo& type) {
  Storage s = StorageOf(type.type);
  if (IsNull(v)) return sqlite3_bind_null(stmt, index);
  if (const auto* i = std::get_if<int64_t>(&v);
      i && s == Storage::kInt && IntRange(type.type, *i)) {
    return sqlite3_bind_int64(stmt, index, *i);
  }
  if (const auto* str = std::get_if<std::string>(&v);
      str && s == Storage::kText &&
      (type.length < 0 || type.type == SqlType::kVarChar || type.type == SqlType::kNVarChar) &&
      (type.length < 0 ||
       str->size() <= static_cast<size_t>(IsUnicode(type.type) ? type.length / 2 : type.length))) {
    return sqlite3_bind_text(stmt, index, str->data(), static_cast<int>(str->size()),
                             SQLITE_TRANSIENT);
  }
  return BindStored(stmt, index, ToStored(v, type));
}

TypeInfo NumericLiteralType(std::string_view text) {
  if (!text.empty() && text[0] == '$') return MakeType(SqlType::kMoney, 8, 19, 4);
  if (text.find_first_of("eE") != std::string_view::npos) return FloatType();
  size_t point = text.find('.');
  std::string_view whole = point == std::string_view::npos ? text : text.substr(0, point);
  while (whole.size() > 1 && whole[0] == '0') whole.remove_prefix(1);
  if (whole == "0") whole = "";
  int scale = point == std::string_view::npos ? 0 : static_cast<int>(text.size() - point - 1);
  int p = static_cast<int>(whole.size()) + scale;
  if (point == std::string_view::npos) {
    std::optional<__int128> v = ParseInteger(text);
    if (v && *v <= INT32_MAX) return IntType();
  }
  if (p > 18) return FloatType();  // beyond the exact decimals storage holds
  return DecimalType(std::max(p, 1), scale);
}

Stored NumericLiteralValue(std::string_view text, const TypeInfo& type) {
  std::string_view body = text;
  if (!body.empty() && body[0] == '$') body.remove_prefix(1);
  return ConvertStored(Stored::Text(std::string(body)), VarCharType(-1), type);
}

std::string TextOf(const Stored& v, const TypeInfo& type, int style) {
  if (v.IsNull()) return "NULL";
  return ConvertStored(v, type, VarCharType(-1), style).s;
}

}  // namespace tillbase::engine::sql

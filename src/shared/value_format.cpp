#include "shared/value_format.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

#include "shared/number_text.h"

namespace tillbase {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view SkipLeadingBlanks(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && IsBlank(text[i])) ++i;
  return text.substr(i);
}

std::string_view TrimBlanks(std::string_view text) {
  text = SkipLeadingBlanks(text);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads [sign] digits | [sign] ($ | 0x | x) hexdigits into a magnitude and a
// sign; `max_hex` bounds hex magnitudes, `max_positive` decimal ones (the
// negative bound is one more).
bool ReadInteger(std::string_view text, uint64_t max_positive, uint64_t max_hex, bool* negative,
                 uint64_t* magnitude) {
  text = SkipLeadingBlanks(text);
  *negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    *negative = text[0] == '-';
    text.remove_prefix(1);
  }
  bool hex = false;
  if (!text.empty() && (text[0] == '$' || text[0] == 'x' || text[0] == 'X')) {
    hex = true;
    text.remove_prefix(1);
  } else if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    hex = true;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  uint64_t value = 0;
  for (char c : text) {
    int digit = hex ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
    if (digit < 0) return false;
    uint64_t base = hex ? 16 : 10;
    uint64_t limit = hex ? max_hex : max_positive + (*negative ? 1 : 0);
    if (value > (limit - static_cast<uint64_t>(digit)) / base) return false;
    value = value * base + static_cast<uint64_t>(digit);
  }
  *magnitude = value;
  return true;
}

// The decimal exponent of the first non-zero digit of a checked float text
// ("123" is 2, "0.05" is -2, "5e-400" is -400); a large negative number for a
// text without non-zero digits.
int64_t DecimalMagnitude(std::string_view text) {
  size_t i = 0;
  int64_t position = -1;  // exponent of the next integer digit, counted below
  int64_t integer_digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++integer_digits;
  int64_t first_nonzero = INT64_MIN;
  for (size_t k = 0; k < static_cast<size_t>(integer_digits); ++k) {
    if (text[k] != '0') {
      first_nonzero = integer_digits - 1 - static_cast<int64_t>(k);
      break;
    }
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (first_nonzero == INT64_MIN && text[i] != '0') first_nonzero = position;
      --position;
      ++i;
    }
  }
  if (first_nonzero == INT64_MIN) return INT64_MIN / 2;
  int64_t exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    while (i < text.size() && exponent < 100000) exponent = exponent * 10 + (text[i++] - '0');
    if (negative) exponent = -exponent;
  }
  return first_nonzero + exponent;
}

std::string InvalidFormat(std::string_view templ) {
  return "Format '" + std::string(templ) + "' invalid or incompatible with argument";
}

}  // namespace

std::string FormatD(int32_t value) { return std::to_string(value); }

std::string FormatG(double value) {
  if (!std::isfinite(value)) throw FormatError("Invalid floating point value for %g");
  return GeneralFloatText(value, 15, 3);
}

std::string FloatToStr(double value) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value < 0 ? "-INF" : "INF";
  return GeneralFloatText(value, 15, 0);
}

std::string QuoteSql(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('\'');
  for (char c : text) {
    if (c == '\'') out.push_back('\'');
    out.push_back(c);
  }
  out.push_back('\'');
  return out;
}

bool TryStrToInt(std::string_view text, int32_t* value) {
  bool negative = false;
  uint64_t magnitude = 0;
  if (!ReadInteger(text, std::numeric_limits<int32_t>::max(), 0xFFFFFFFFull, &negative,
                   &magnitude)) {
    return false;
  }
  // Hex covers all 32 bits and wraps into the negative range.
  uint32_t bits = static_cast<uint32_t>(magnitude);
  if (negative) bits = 0u - bits;
  *value = static_cast<int32_t>(bits);
  return true;
}

bool TryStrToInt64(std::string_view text, int64_t* value) {
  bool negative = false;
  uint64_t magnitude = 0;
  if (!ReadInteger(text, std::numeric_limits<int64_t>::max(), ~0ull, &negative, &magnitude)) {
    return false;
  }
  uint64_t bits = negative ? 0ull - magnitude : magnitude;
  *value = static_cast<int64_t>(bits);
  return true;
}

bool TryStrToFloat(std::string_view text, double* value) {
  text = TrimBlanks(text);
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  // Check the shape ourselves: from_chars would also take "inf", "nan" and
  // hex floats, which are no numbers to this system.
  size_t i = 0;
  size_t mantissa_digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++mantissa_digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++mantissa_digits;
  }
  if (mantissa_digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t exponent_digits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  if (i != text.size()) return false;
  double parsed = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (ec == std::errc::result_out_of_range) {
    // from_chars reports both overflow and underflow this way and leaves the
    // value alone. Underflow is a tiny number and reads as zero; overflow is
    // no number at all. The decimal exponent of the first digit tells them
    // apart (a leading 0 digit never decides: "0.00e999" is zero).
    if (DecimalMagnitude(text) >= 0) return false;
    *value = 0;
    return true;
  }
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  *value = negative ? -parsed : parsed;
  return true;
}

int32_t IntOf(std::string_view text) {
  int32_t value = 0;
  return TryStrToInt(text, &value) ? value : 0;
}

int32_t StrictIntOf(std::string_view text) {
  if (text.empty()) return 0;
  int32_t value = 0;
  if (!TryStrToInt(text, &value)) {
    throw FormatError("'" + std::string(text) + "' is not a valid integer value");
  }
  return value;
}

bool FlagOf(std::string_view text) { return (IntOf(text) & 0xFF) != 0; }

std::string PatternOf(std::string_view text) { return "%" + std::string(text) + "%"; }

std::string Format(std::string_view templ, const std::vector<Variant>& args) {
  std::string out;
  out.reserve(templ.size() + args.size() * 8);
  size_t next_arg = 0;
  auto take = [&]() -> const Variant& {
    if (next_arg >= args.size()) throw FormatError(InvalidFormat(templ));
    return args[next_arg++];
  };
  auto render = [&](char spec, const Variant& arg) -> std::string {
    switch (spec) {
      case 'd':
        return FormatD(arg.IsNull() ? 0 : arg.ToInt32());
      case 'g':
        return FormatG(arg.IsNull() ? 0.0 : arg.ToDouble());
      default:
        return VarToStr(arg);
    }
  };
  for (size_t i = 0; i < templ.size(); ++i) {
    char c = templ[i];
    if (c == '%') {
      if (i + 1 >= templ.size()) throw FormatError(InvalidFormat(templ));
      char spec = templ[i + 1];
      if (spec == '%') {
        out.push_back('%');
        ++i;
        continue;
      }
      if (spec != 'd' && spec != 'g' && spec != 's') throw FormatError(InvalidFormat(templ));
      out += render(spec, take());
      ++i;
      continue;
    }
    // '%x' between quotes: the literal is produced whole by QuoteSql.
    if (c == '\'' && i + 3 < templ.size() && templ[i + 1] == '%' && templ[i + 3] == '\'' &&
        (templ[i + 2] == 's' || templ[i + 2] == 'd' || templ[i + 2] == 'g')) {
      out += QuoteSql(render(templ[i + 2], take()));
      i += 3;
      continue;
    }
    out.push_back(c);
  }
  if (next_arg != args.size()) throw FormatError(InvalidFormat(templ));
  return out;
}

}  // namespace tillbase

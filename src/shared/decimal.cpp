// Currency and Decimal: the two fixed-point kinds of the variant.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "shared/number_text.h"
#include "shared/variant.h"

namespace tillbase {
namespace {

using uint128 = unsigned __int128;

constexpr int kMaxDecimalScale = 28;

uint128 Magnitude(const Decimal& d) { return (static_cast<uint128>(d.hi32) << 64) | d.lo64; }

constexpr uint128 kMaxMagnitude = (static_cast<uint128>(1) << 96) - 1;

void SetMagnitude(Decimal* d, uint128 m) {
  d->hi32 = static_cast<uint32_t>(m >> 64);
  d->lo64 = static_cast<uint64_t>(m);
}

std::string MagnitudeText(uint128 m) {
  if (m == 0) return "0";
  std::string out;
  while (m != 0) {
    out.insert(out.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
    m /= 10;
  }
  return out;
}

// Normal form: no trailing fraction zeros, and zero is never negative.
Decimal Normalize(bool negative, uint128 magnitude, int scale) {
  while (scale > 0 && magnitude % 10 == 0) {
    magnitude /= 10;
    --scale;
  }
  Decimal d;
  d.negative = negative && magnitude != 0;
  d.scale = static_cast<uint8_t>(scale);
  SetMagnitude(&d, magnitude);
  return d;
}

}  // namespace

Currency Currency::FromDouble(double value) {
  double scaled = RoundHalfEven(value * kScale);
  // 2^63 is exactly representable; anything at or beyond it does not fit.
  if (!std::isfinite(scaled) || scaled >= 9223372036854775808.0 ||
      scaled < -9223372036854775808.0) {
    throw VariantError::Overflow("Double", "Currency");
  }
  return Currency{static_cast<int64_t>(scaled)};
}

Decimal Decimal::Parse(std::string_view text) {
  auto fail = [&]() { return VariantError::Conversion("OleStr", "Decimal"); };
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  uint128 magnitude = 0;
  int scale = 0;
  int digits = 0;
  bool seen_point = false;
  bool any_digit = false;
  for (char c : text) {
    if (c == '.' && !seen_point) {
      seen_point = true;
      continue;
    }
    if (c < '0' || c > '9') throw fail();
    any_digit = true;
    if (magnitude == 0 && c == '0' && !seen_point) continue;  // leading zeros
    if (seen_point) ++scale;
    if (magnitude != 0 || c != '0') ++digits;
    magnitude = magnitude * 10 + static_cast<unsigned>(c - '0');
    if (magnitude > kMaxMagnitude || scale > kMaxDecimalScale) throw fail();
  }
  if (!any_digit || digits > 29) throw fail();
  return Normalize(negative, magnitude, scale);
}

Decimal Decimal::FromDouble(double value) {
  if (!std::isfinite(value)) throw VariantError::Overflow("Double", "Decimal");
  if (value == 0) return Decimal{};
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.14e", std::fabs(value));
  uint128 magnitude = 0;
  const char* p = buffer;
  for (; *p != 'e'; ++p) {
    if (*p != '.') magnitude = magnitude * 10 + static_cast<unsigned>(*p - '0');
  }
  int exponent = std::atoi(p + 1) - 14;  // value = magnitude * 10^exponent
  int scale = 0;
  if (exponent >= 0) {
    for (int i = 0; i < exponent; ++i) {
      magnitude *= 10;
      if (magnitude > kMaxMagnitude) throw VariantError::Overflow("Double", "Decimal");
    }
  } else {
    scale = -exponent;
    while (scale > kMaxDecimalScale) {
      // Too small for 28 decimals: round the digits away, half to even.
      uint128 rest = magnitude % 10;
      magnitude /= 10;
      if (rest > 5 || (rest == 5 && magnitude % 2 == 1)) ++magnitude;
      --scale;
    }
  }
  return Normalize(value < 0, magnitude, scale);
}

std::string Decimal::ToString() const {
  std::string digits = MagnitudeText(Magnitude(*this));
  std::string out = negative && !IsZero() ? "-" : "";
  if (scale == 0) return out + digits;
  if (digits.size() <= scale) digits.insert(0, scale - digits.size() + 1, '0');
  std::string int_part = digits.substr(0, digits.size() - scale);
  std::string frac_part = digits.substr(digits.size() - scale);
  while (!frac_part.empty() && frac_part.back() == '0') frac_part.pop_back();
  out += int_part;
  if (!frac_part.empty()) out += "." + frac_part;
  return out;
}

double Decimal::ToDouble() const {
  if (IsZero()) return 0.0;
  // A magnitude of at most 53 bits divided by a power of ten that is itself
  // exact (up to 1e22) is one correctly rounded division: the same double
  // as the text's, without writing it.
  static constexpr double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                       1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                       1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
  if (hi32 == 0 && lo64 <= (uint64_t{1} << 53) && scale <= 22) {
    double value = static_cast<double>(lo64) / kPowers[scale];
    return negative ? -value : value;
  }
  // Parsing the exact decimal text gives the correctly rounded double.
  std::string text = ToString();
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

}  // namespace tillbase

#include "shared/number_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tillbase {

std::string GeneralFloatText(double value, int precision, int exponent_digits) {
  if (value == 0) return "0";  // negative zero too
  // printf rounds the exact binary value correctly to `precision` digits;
  // the decision between fixed and scientific is taken on the rounded value,
  // so 999999999999999.9 becomes 1E015 and not 1000000000000000.
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.*e", precision - 1, std::fabs(value));
  std::string digits;
  const char* p = buffer;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits.push_back(*p);
  }
  int exponent = std::atoi(p + 1);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  std::string out = value < 0 ? "-" : "";
  if (exponent >= -4 && exponent < precision) {
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<size_t>(-exponent - 1), '0');
      out += digits;
    } else {
      size_t int_digits = static_cast<size_t>(exponent) + 1;
      if (digits.size() <= int_digits) {
        out += digits;
        out.append(int_digits - digits.size(), '0');
      } else {
        out += digits.substr(0, int_digits);
        out += '.';
        out += digits.substr(int_digits);
      }
    }
    return out;
  }
  out += digits[0];
  if (digits.size() > 1) {
    out += '.';
    out += digits.substr(1);
  }
  out += 'E';
  if (exponent < 0) out += '-';
  std::string exp_text = std::to_string(std::abs(exponent));
  if (static_cast<int>(exp_text.size()) < exponent_digits) {
    out.append(static_cast<size_t>(exponent_digits) - exp_text.size(), '0');
  }
  out += exp_text;
  return out;
}

double RoundHalfEven(double value) {
  // Independent of the thread's rounding mode, which a library might change.
  double floor_value = std::floor(value);
  double diff = value - floor_value;
  if (diff > 0.5) return floor_value + 1;
  if (diff < 0.5) return floor_value;
  return std::fmod(floor_value, 2.0) == 0 ? floor_value : floor_value + 1;
}

}  // namespace tillbase

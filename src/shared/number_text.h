// Internal helpers of the value layer: the general float text and rounding.
#pragma once

#include <cstdint>
#include <string>

namespace tillbase {

// `value` rounded to `precision` significant digits in general form: fixed
// notation when 0.0001 <= |rounded| < 10^precision, else scientific with "E",
// "-" only for a negative exponent and at least `exponent_digits` exponent
// digits. Trailing zeros and a bare decimal point are left out; zero is "0".
// `value` must be finite.
std::string GeneralFloatText(double value, int precision, int exponent_digits);

// Rounds half to even to a whole number (the platform's conversion rule).
double RoundHalfEven(double value);

}  // namespace tillbase

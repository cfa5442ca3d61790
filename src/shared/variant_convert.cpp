// Variant conversions, as the platform's variant library converts.
#include <cmath>
#include <cstdio>

#include "shared/number_text.h"
#include "shared/ole_date.h"
#include "shared/value_format.h"
#include "shared/variant.h"

namespace tillbase {
namespace {

using int128 = __int128;
using uint128 = unsigned __int128;

uint128 Pow10(int n) {
  uint128 p = 1;
  for (int i = 0; i < n; ++i) p *= 10;
  return p;
}

uint128 MagnitudeOf(const Decimal& d) { return (static_cast<uint128>(d.hi32) << 64) | d.lo64; }

// numerator / denominator rounded half to even (denominator > 0).
int128 DivideHalfEven(int128 numerator, int128 denominator) {
  int128 q = numerator / denominator;
  int128 r = numerator % denominator;
  int128 twice = (r < 0 ? -r : r) * 2;
  if (twice > denominator || (twice == denominator && q % 2 != 0)) q += numerator < 0 ? -1 : 1;
  return q;
}

// The Decimal rounded to `decimals` fraction digits, as a scaled integer.
int128 DecimalScaled(const Decimal& d, int decimals) {
  int128 m = static_cast<int128>(MagnitudeOf(d));
  if (d.negative) m = -m;
  if (d.scale <= decimals) return m * static_cast<int128>(Pow10(decimals - d.scale));
  return DivideHalfEven(m, static_cast<int128>(Pow10(d.scale - decimals)));
}

Decimal DecimalFromScaled(int128 value, int scale) {
  Decimal d;
  d.negative = value < 0;
  uint128 m = static_cast<uint128>(value < 0 ? -value : value);
  while (scale > 0 && m % 10 == 0) {
    m /= 10;
    --scale;
  }
  d.scale = static_cast<uint8_t>(scale);
  d.hi32 = static_cast<uint32_t>(m >> 64);
  d.lo64 = static_cast<uint64_t>(m);
  d.negative = d.negative && m != 0;
  return d;
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] + 32) : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] + 32) : b[i];
    if (x != y) return false;
  }
  return true;
}

// Text as a number: a float form first, then the integer forms ("$1F").
bool TextToDouble(std::string_view text, double* value) {
  if (TryStrToFloat(text, value)) return true;
  int64_t integer = 0;
  if (TryStrToInt64(Trimmed(text), &integer)) {
    *value = static_cast<double>(integer);
    return true;
  }
  return false;
}

std::string CurrencyText(int64_t scaled) {
  bool negative = scaled < 0;
  uint64_t magnitude = negative ? 0ull - static_cast<uint64_t>(scaled) : scaled;
  std::string out = negative ? "-" : "";
  out += std::to_string(magnitude / 10000);
  uint64_t fraction = magnitude % 10000;
  if (fraction != 0) {
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "%04u", static_cast<unsigned>(fraction));
    std::string digits = buffer;
    while (digits.back() == '0') digits.pop_back();
    out += "." + digits;
  }
  return out;
}

bool IsIntegerKind(uint16_t type) {
  return type == VT_I2 || type == VT_I4 || type == VT_I8 || type == VT_UI1 || type == VT_BOOL;
}

bool IsFloatKind(uint16_t type) { return type == VT_R4 || type == VT_R8 || type == VT_DATE; }

}  // namespace

int64_t Variant::IntegerForConversion(std::string_view target, int64_t low, int64_t high) const {
  auto check = [&](int128 value) {
    if (value < low || value > high) throw VariantError::Overflow(TypeName(), target);
    return static_cast<int64_t>(value);
  };
  auto from_double = [&](double value) {
    if (std::isnan(value)) throw VariantError::Overflow(TypeName(), target);
    double rounded = RoundHalfEven(value);
    // Compare in double: high + 1 is a power of two for 64 bits and exact
    // for the smaller ranges.
    if (rounded < static_cast<double>(low) || rounded >= static_cast<double>(high) + 1.0) {
      throw VariantError::Overflow(TypeName(), target);
    }
    return static_cast<int64_t>(rounded);
  };
  if (type_ == VT_EMPTY) return 0;
  if (IsIntegerKind(type_)) return check(std::get<int64_t>(value_));
  if (IsFloatKind(type_)) return from_double(std::get<double>(value_));
  if (type_ == VT_CY) return check(DivideHalfEven(std::get<int64_t>(value_), Currency::kScale));
  if (type_ == VT_DECIMAL) return check(DecimalScaled(std::get<Decimal>(value_), 0));
  if (type_ == VT_BSTR || IsCustom()) {
    const std::string& text = std::get<std::string>(value_);
    int64_t integer = 0;
    if (TryStrToInt64(Trimmed(text), &integer)) return check(integer);
    double number = 0;
    if (TryStrToFloat(text, &number)) return from_double(number);
  }
  throw VariantError::Conversion(TypeName(), target);
}

double Variant::NumberForConversion(std::string_view target) const {
  if (type_ == VT_EMPTY) return 0;
  if (IsIntegerKind(type_)) return static_cast<double>(std::get<int64_t>(value_));
  if (IsFloatKind(type_)) return std::get<double>(value_);
  if (type_ == VT_CY) return Currency{std::get<int64_t>(value_)}.ToDouble();
  if (type_ == VT_DECIMAL) return std::get<Decimal>(value_).ToDouble();
  if (type_ == VT_BSTR || IsCustom()) {
    double number = 0;
    if (TextToDouble(std::get<std::string>(value_), &number)) return number;
  }
  throw VariantError::Conversion(TypeName(), target);
}

int16_t Variant::ToInt16() const {
  return static_cast<int16_t>(IntegerForConversion("Smallint", INT16_MIN, INT16_MAX));
}

int32_t Variant::ToInt32() const {
  return static_cast<int32_t>(IntegerForConversion("Integer", INT32_MIN, INT32_MAX));
}

int64_t Variant::ToInt64() const { return IntegerForConversion("Int64", INT64_MIN, INT64_MAX); }

uint8_t Variant::ToByte() const {
  return static_cast<uint8_t>(IntegerForConversion("Byte", 0, 255));
}

double Variant::ToDouble() const { return NumberForConversion("Double"); }

Currency Variant::ToCurrency() const {
  constexpr std::string_view kTarget = "Currency";
  auto from_scaled = [&](int128 scaled) {
    if (scaled < INT64_MIN || scaled > INT64_MAX) throw VariantError::Overflow(TypeName(), kTarget);
    return Currency{static_cast<int64_t>(scaled)};
  };
  auto from_double = [&](double value) {
    try {
      return Currency::FromDouble(value);
    } catch (const VariantError&) {
      throw VariantError::Overflow(TypeName(), kTarget);
    }
  };
  if (type_ == VT_CY) return Currency{std::get<int64_t>(value_)};
  if (type_ == VT_EMPTY) return Currency{};
  if (IsIntegerKind(type_))
    return from_scaled(int128{std::get<int64_t>(value_)} * Currency::kScale);
  if (IsFloatKind(type_)) return from_double(std::get<double>(value_));
  if (type_ == VT_DECIMAL) return from_scaled(DecimalScaled(std::get<Decimal>(value_), 4));
  if (type_ == VT_BSTR || IsCustom()) {
    const std::string& text = std::get<std::string>(value_);
    // Decimal text converts exactly; other number forms through a double.
    try {
      return from_scaled(DecimalScaled(Decimal::Parse(text), 4));
    } catch (const VariantError& e) {
      if (e.code() == kDispEOverflow) throw;
    }
    double number = 0;
    if (TextToDouble(text, &number)) return from_double(number);
  }
  throw VariantError::Conversion(TypeName(), kTarget);
}

Decimal Variant::ToDecimal() const {
  constexpr std::string_view kTarget = "Decimal";
  auto from_double = [&](double value) {
    try {
      return Decimal::FromDouble(value);
    } catch (const VariantError&) {
      throw VariantError::Overflow(TypeName(), kTarget);
    }
  };
  if (type_ == VT_DECIMAL) return std::get<Decimal>(value_);
  if (type_ == VT_EMPTY) return Decimal{};
  if (IsIntegerKind(type_)) return DecimalFromScaled(std::get<int64_t>(value_), 0);
  if (type_ == VT_CY) return DecimalFromScaled(std::get<int64_t>(value_), 4);
  if (IsFloatKind(type_)) return from_double(std::get<double>(value_));
  if (type_ == VT_BSTR || IsCustom()) {
    const std::string& text = std::get<std::string>(value_);
    try {
      return Decimal::Parse(text);
    } catch (const VariantError&) {
    }
    double number = 0;
    if (TextToDouble(text, &number)) return from_double(number);
  }
  throw VariantError::Conversion(TypeName(), kTarget);
}

bool Variant::ToBool() const {
  constexpr std::string_view kTarget = "Boolean";
  if (type_ == VT_EMPTY) return false;
  if (IsIntegerKind(type_) || type_ == VT_CY) return std::get<int64_t>(value_) != 0;
  if (IsFloatKind(type_)) return std::get<double>(value_) != 0;
  if (type_ == VT_DECIMAL) return !std::get<Decimal>(value_).IsZero();
  if (type_ == VT_BSTR || IsCustom()) {
    std::string_view text = Trimmed(std::get<std::string>(value_));
    if (EqualsIgnoreCase(text, "True")) return true;
    if (EqualsIgnoreCase(text, "False")) return false;
    double number = 0;
    if (TextToDouble(text, &number)) return number != 0;
  }
  throw VariantError::Conversion(TypeName(), kTarget);
}

double Variant::ToDate() const {
  constexpr std::string_view kTarget = "Date";
  double value = 0;
  if (type_ == VT_BSTR || IsCustom()) {
    auto parsed = TryParseDateTime(std::get<std::string>(value_));
    if (!parsed) throw VariantError::Conversion(TypeName(), kTarget);
    return *parsed;
  }
  if (type_ == VT_EMPTY) return 0;
  if (!IsNumeric()) throw VariantError::Conversion(TypeName(), kTarget);
  value = NumberForConversion(kTarget);
  // Only values that name a calendar day are dates.
  try {
    DecodeDateTime(value);
  } catch (const DateError&) {
    throw VariantError::Overflow(TypeName(), kTarget);
  }
  return value;
}

std::string Variant::ToString() const {
  constexpr std::string_view kTarget = "String";
  switch (type_) {
    case VT_EMPTY:
      return std::string();
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_UI1:
      return std::to_string(std::get<int64_t>(value_));
    case VT_BOOL:
      return std::get<int64_t>(value_) != 0 ? "True" : "False";
    case VT_R4: {
      double value = std::get<double>(value_);
      return std::isfinite(value) ? GeneralFloatText(value, 7, 0) : FloatToStr(value);
    }
    case VT_R8:
      return FloatToStr(std::get<double>(value_));
    case VT_CY:
      return CurrencyText(std::get<int64_t>(value_));
    case VT_DECIMAL:
      return std::get<Decimal>(value_).ToString();
    case VT_BSTR:
      return std::get<std::string>(value_);
    case VT_DATE: {
      double value = std::get<double>(value_);
      DateTimeParts parts;
      try {
        parts = DecodeDateTime(value);
      } catch (const DateError&) {
        throw VariantError::Overflow(TypeName(), kTarget);
      }
      bool has_time = parts.hour != 0 || parts.minute != 0 || parts.second != 0;
      bool day_zero = parts.year == 1899 && parts.month == 12 && parts.day == 30;
      if (!has_time) return FormatDate(value);
      if (day_zero) return FormatTime(value);
      return FormatDateTime(value);
    }
    default:
      if (IsCustom()) return std::get<std::string>(value_);
      throw VariantError::Conversion(TypeName(), kTarget);
  }
}

}  // namespace tillbase

#include "db/embedded/value_conversion.h"

#include <cmath>
#include <string>

#include "db/errors.h"

namespace tillbase::db::embedded {
namespace {

constexpr int64_t kMicrosPerDay = 86'400'000'000LL;
// 1899-12-30, the OLE epoch, lies two days before 1900-01-01.
constexpr int64_t kEpochOffsetDays = 2;

using Int128 = __int128;
using UInt128 = unsigned __int128;

Variant DecimalVariant(const engine::Decimal& d) {
  const bool negative = d.unscaled < 0;
  const UInt128 magnitude =
      negative ? static_cast<UInt128>(-(d.unscaled + 1)) + 1 : static_cast<UInt128>(d.unscaled);
  if (d.scale < 0 || d.scale > 28 || (magnitude >> 96) != 0) {
    return Variant::Custom(kVarTypeFmtBcd, d.ToString());
  }
  Decimal out;
  out.negative = negative && magnitude != 0;
  out.scale = static_cast<uint8_t>(d.scale);
  out.lo64 = static_cast<uint64_t>(magnitude);
  out.hi32 = static_cast<uint32_t>(magnitude >> 64);
  return Variant(out);
}

Variant CurrencyVariant(const engine::Decimal& d) {
  Int128 v = d.unscaled;
  int scale = d.scale;
  while (scale < 4) {
    v *= 10;
    ++scale;
  }
  while (scale > 4) {
    v /= 10;
    --scale;
  }
  Currency c;
  c.scaled = static_cast<int64_t>(v);
  return Variant(c);
}

bool IsMoney(engine::SqlType t) {
  return t == engine::SqlType::kMoney || t == engine::SqlType::kSmallMoney;
}

bool IsExact(engine::SqlType t) {
  return t == engine::SqlType::kDecimal || t == engine::SqlType::kNumeric || IsMoney(t);
}

// A value by its own kind, for sql_variant columns and mismatched values.
Variant NaturalVariant(const engine::Value& value) {
  struct Visitor {
    Variant operator()(std::monostate) const { return Variant::Null(); }
    Variant operator()(int64_t v) const {
      if (v >= INT32_MIN && v <= INT32_MAX) return Variant(static_cast<int32_t>(v));
      return Variant(v);
    }
    Variant operator()(double v) const { return Variant(v); }
    Variant operator()(const engine::Decimal& v) const { return DecimalVariant(v); }
    Variant operator()(const std::string& v) const { return Variant(v); }
    Variant operator()(const engine::Bytes& v) const {
      return Variant(std::vector<uint8_t>(v.data.begin(), v.data.end()));
    }
    Variant operator()(const engine::DateTime& v) const { return Variant::FromDate(OleDateOf(v)); }
  };
  return std::visit(Visitor{}, value);
}

engine::Decimal EngineDecimal(const Decimal& d) {
  UInt128 magnitude = (static_cast<UInt128>(d.hi32) << 64) | d.lo64;
  engine::Decimal out;
  out.unscaled = static_cast<Int128>(magnitude);
  if (d.negative) out.unscaled = -out.unscaled;
  out.scale = d.scale;
  return out;
}

}  // namespace

double OleDateOf(engine::DateTime value) {
  int64_t days = value.micros / kMicrosPerDay;
  int64_t rest = value.micros % kMicrosPerDay;
  if (rest < 0) {
    rest += kMicrosPerDay;
    --days;
  }
  const double ole_day = static_cast<double>(days + kEpochOffsetDays);
  const double fraction = static_cast<double>(rest) / static_cast<double>(kMicrosPerDay);
  // Before the epoch the integer part counts back and the fraction is still
  // the time of day: 1899-12-29 06:00 is -1.25.
  return ole_day < 0 ? ole_day - fraction : ole_day + fraction;
}

engine::DateTime DateTimeOf(double ole_date) {
  const double day = std::trunc(ole_date);
  const double fraction = std::fabs(ole_date - day);
  int64_t micros_of_day = std::llround(fraction * 86'400'000.0) * 1000;  // whole milliseconds
  engine::DateTime out;
  out.micros = (static_cast<int64_t>(day) - kEpochOffsetDays) * kMicrosPerDay + micros_of_day;
  return out;
}

SqlTypeDesc DescOf(const engine::TypeInfo& type) {
  SqlTypeDesc desc;
  desc.name = std::string(engine::SqlTypeName(type.type));
  desc.length = type.length;
  if (type.length > 0 &&
      (type.type == engine::SqlType::kNChar || type.type == engine::SqlType::kNVarChar)) {
    desc.length = type.length / 2;  // the engine counts bytes, fields count characters
  }
  desc.precision = type.precision;
  desc.scale = type.scale;
  return desc;
}

Variant ToVariant(const engine::Value& value, const engine::TypeInfo& type) {
  if (engine::IsNull(value)) return Variant::Null();
  using engine::SqlType;
  if (const int64_t* i = std::get_if<int64_t>(&value)) {
    switch (type.type) {
      case SqlType::kBit:
        return Variant(*i != 0);
      case SqlType::kTinyInt:
        return Variant(static_cast<uint8_t>(*i));
      case SqlType::kSmallInt:
        return Variant(static_cast<int16_t>(*i));
      case SqlType::kInt:
        return Variant(static_cast<int32_t>(*i));
      case SqlType::kBigInt:
        return Variant(*i);
      case SqlType::kFloat:
      case SqlType::kReal:
        return Variant(static_cast<double>(*i));
      default:
        if (IsExact(type.type)) {
          engine::Decimal d{*i, 0};
          return IsMoney(type.type) ? CurrencyVariant(d) : DecimalVariant(d);
        }
        return NaturalVariant(value);
    }
  }
  if (const engine::Decimal* d = std::get_if<engine::Decimal>(&value)) {
    if (IsMoney(type.type)) return CurrencyVariant(*d);
    if (type.type == SqlType::kFloat || type.type == SqlType::kReal) return Variant(d->ToDouble());
    return DecimalVariant(*d);
  }
  return NaturalVariant(value);
}

engine::Value FromVariant(const Variant& value) {
  switch (value.type()) {
    case VT_EMPTY:
    case VT_NULL:
      return std::monostate{};
    case VT_BOOL:
      return int64_t{value.ToBool() ? 1 : 0};
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_I8:
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
      return value.ToInt64();
    case VT_R4:
    case VT_R8:
      return value.ToDouble();
    case VT_CY:
      return engine::Decimal{value.ToCurrency().scaled, 4};
    case VT_DECIMAL:
      return EngineDecimal(value.ToDecimal());
    case VT_DATE:
      return DateTimeOf(value.ToDate());
    case VT_BSTR:
      return value.StringValue();
    default:
      break;
  }
  if (value.IsByteArray()) {
    const std::vector<uint8_t>& bytes = value.Bytes();
    return engine::Bytes{std::string(bytes.begin(), bytes.end())};
  }
  if (value.type() == kVarTypeFmtBcd) return engine::Decimal::Parse(value.StringValue());
  if (value.IsCustom()) return value.StringValue();
  throw DbError("A value of type (" + VarTypeAsText(value.type()) +
                ") cannot be passed to the database");
}

}  // namespace tillbase::db::embedded

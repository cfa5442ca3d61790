// Numeric functions of the library, STR and NEWID.
#include <openssl/rand.h>

#include <cmath>
#include <cstdio>

#include "engine/errors.h"
#include "engine/sql/arith.h"
#include "engine/sql/decimal_math.h"
#include "engine/sql/fn_impl.h"

namespace tillbase::engine::sql {
namespace {

using Args = std::vector<TypeInfo>;

TypeInfo Nth(const Args& a, size_t i) { return i < a.size() ? a[i] : IntType(); }

int ScaleOf(const TypeInfo& t) {
  if (t.type == SqlType::kMoney || t.type == SqlType::kSmallMoney) return 4;
  return t.scale;
}

// Functions on numbers keep their argument's type; text is taken as float.
TypeInfo NumericOfArg(const Args& a, std::string_view name) {
  TypeInfo t = Nth(a, 0);
  if (IsCharType(t.type)) return FloatType();
  if (!IsNumericType(t.type)) throw WrongArgument(name, 1, t);
  if (t.type == SqlType::kBit) return IntType();
  return t;
}

Stored Abs(const Call& c) {
  if (c.IsNullArg(0)) return Stored::Null();
  TypeInfo rt = NumericOfArg({c.Type(0)}, "abs");
  Stored v = c.As(0, rt);
  if (v.kind == Stored::kReal) return Stored::Real(std::fabs(v.r));
  if (v.i >= 0) return v;
  return Negate(v, rt);
}

Stored Sign(const Call& c) {
  if (c.IsNullArg(0)) return Stored::Null();
  TypeInfo rt = NumericOfArg({c.Type(0)}, "sign");
  Stored v = c.As(0, rt);
  if (v.kind == Stored::kReal) return Stored::Real(v.r > 0 ? 1.0 : v.r < 0 ? -1.0 : 0.0);
  int64_t s = v.i > 0 ? 1 : v.i < 0 ? -1 : 0;
  return Stored::Int(StorageOf(rt.type) == Storage::kScaled
                         ? s * static_cast<int64_t>(Pow10_128(ScaleOf(rt)))
                         : s);
}

TypeInfo RoundType(const Args& a) {
  TypeInfo t = NumericOfArg(a, "round");
  if (t.type == SqlType::kDecimal || t.type == SqlType::kNumeric) {
    TypeInfo r = DecimalType(std::min(t.precision + 1, kMaxStoredPrecision), t.scale);
    r.type = t.type;
    return r;
  }
  return t;
}

// Rounds (or truncates) an unscaled value at `scale` to `digits` places
// after the point, keeping the scale.
__int128 RoundUnscaled(__int128 v, int scale, int64_t digits, bool truncate) {
  int64_t drop = scale - digits;
  if (drop <= 0) return v;
  if (drop > 37) return 0;
  __int128 unit = Pow10_128(static_cast<int>(drop));
  __int128 q = v / unit, r = v % unit;
  if (!truncate) {
    __int128 ar = r < 0 ? -r : r;
    if (ar * 2 >= unit) q += v < 0 ? -1 : 1;
  }
  return q * unit;
}

Stored Round(const Call& c) {
  if (c.IsNullArg(0) || c.IsNullArg(1)) return Stored::Null();
  TypeInfo t = c.Type(0);
  TypeInfo rt = RoundType({t});
  int64_t digits = c.Int(1);
  bool truncate = c.argc > 2 && !c.IsNullArg(2) && c.Int(2) != 0;
  Stored v = c.As(0, StorageOf(rt.type) == Storage::kReal ? rt
                     : t.type == SqlType::kBit            ? IntType()
                                                          : t);
  switch (StorageOf(rt.type)) {
    case Storage::kReal: {
      double p = std::pow(10.0, static_cast<double>(digits));
      double x = v.r * p;
      x = truncate ? std::trunc(x) : std::round(x);
      double r = x / p;
      return Stored::Real(std::isfinite(r) ? r : v.r);
    }
    case Storage::kInt: {
      __int128 r = RoundUnscaled(v.i, 0, digits, truncate);
      bool fits = rt.type == SqlType::kBigInt ? (r >= INT64_MIN && r <= INT64_MAX)
                                              : (r >= INT32_MIN && r <= INT32_MAX);
      if (!fits) throw ArithmeticOverflow(SqlTypeName(rt.type));
      return Stored::Int(static_cast<int64_t>(r));
    }
    default: {
      __int128 r = RoundUnscaled(v.i, ScaleOf(t), digits, truncate);
      __int128 limit = StorageOf(rt.type) == Storage::kScaled && rt.type != SqlType::kMoney &&
                               rt.type != SqlType::kSmallMoney
                           ? Pow10_128(rt.precision)
                           : static_cast<__int128>(INT64_MAX);
      if (r >= limit || r <= -limit) throw ArithmeticOverflow("numeric");
      return Stored::Int(static_cast<int64_t>(r));
    }
  }
}

TypeInfo FloorType(const Args& a) {
  TypeInfo t = NumericOfArg(a, "floor");
  if (t.type == SqlType::kDecimal || t.type == SqlType::kNumeric) {
    TypeInfo r = DecimalType(t.precision, 0);
    r.type = t.type;
    return r;
  }
  return t;
}

template <bool kCeiling>
Stored FloorCeiling(const Call& c) {
  if (c.IsNullArg(0)) return Stored::Null();
  TypeInfo t = c.Type(0);
  TypeInfo rt = FloorType({t});
  if (StorageOf(rt.type) == Storage::kReal) {
    double x = c.Float(0);
    return Stored::Real(kCeiling ? std::ceil(x) : std::floor(x));
  }
  if (StorageOf(rt.type) == Storage::kInt) return c.As(0, rt);
  Stored v = c.Arg(0);
  __int128 unit = Pow10_128(ScaleOf(t));
  __int128 q = v.i / unit, r = v.i % unit;
  if (kCeiling && r > 0) ++q;
  if (!kCeiling && r < 0) --q;
  // Money keeps its four places; decimals become scale 0.
  if (rt.type == SqlType::kMoney || rt.type == SqlType::kSmallMoney) q *= unit;
  return Stored::Int(static_cast<int64_t>(q));
}

Stored Power(const Call& c) {
  if (c.IsNullArg(0) || c.IsNullArg(1)) return Stored::Null();
  TypeInfo rt = NumericOfArg({c.Type(0)}, "power");
  double r = std::pow(c.Float(0), c.Float(1));
  if (!std::isfinite(r)) throw ArithmeticOverflow(SqlTypeName(rt.type));
  return ConvertStored(Stored::Real(r), FloatType(), rt);
}

Stored Sqrt(const Call& c) {
  if (c.IsNullArg(0)) return Stored::Null();
  double x = c.Float(0);
  if (x < 0) throw MakeError(3623, 16, 1, "An invalid floating point operation occurred.");
  return Stored::Real(std::sqrt(x));
}

Stored Square(const Call& c) {
  if (c.IsNullArg(0)) return Stored::Null();
  double x = c.Float(0);
  return Stored::Real(x * x);
}

Stored IsNumeric(const Call& c) {
  if (c.IsNullArg(0)) return Stored::Int(0);
  TypeInfo t = c.Type(0);
  if (IsNumericType(t.type)) return Stored::Int(1);
  if (!IsCharType(t.type)) return Stored::Int(0);
  std::string s = c.Text(0);
  if (s.find_first_not_of(" \t") == std::string::npos) return Stored::Int(0);
  for (const TypeInfo& target : {FloatType(), MakeType(SqlType::kMoney, 8, 19, 4)}) {
    try {
      ConvertStored(Stored::Text(s), VarCharType(-1), target);
      return Stored::Int(1);
    } catch (const EngineError&) {
    }
  }
  return Stored::Int(0);
}

// STR(number [, length [, decimals]]): right-aligned text; "*" filled when
// the integral part does not fit, decimals given up before that.
Stored Str(const Call& c) {
  if (c.IsNullArg(0)) return Stored::Null();
  int64_t length = c.argc > 1 && !c.IsNullArg(1) ? c.Int(1) : 10;
  int64_t decimals = c.argc > 2 && !c.IsNullArg(2) ? c.Int(2) : 0;
  if (length <= 0 || length > 8000 || decimals < 0) return Stored::Null();
  decimals = std::min<int64_t>(decimals, 16);
  double x = c.Float(0);
  auto format = [&](int64_t d) {
    double p = std::pow(10.0, static_cast<double>(d));
    double r = std::round(std::fabs(x) * p) / p;
    if (x < 0) r = -r;
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.*f", static_cast<int>(d), r);
    return std::string(buf);
  };
  std::string s = format(decimals);
  while (static_cast<int64_t>(s.size()) > length && decimals > 0) {
    --decimals;
    s = format(decimals);
  }
  if (static_cast<int64_t>(s.size()) > length) return Stored::Text(std::string(length, '*'));
  return Stored::Text(std::string(length - s.size(), ' ') + s);
}

Stored NewId(const Call&) {
  unsigned char b[16];
  if (RAND_bytes(b, sizeof b) != 1) throw MakeError(50000, 16, 1, "NEWID: no random bytes");
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  char buf[40];
  std::snprintf(buf, sizeof buf,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return Stored::Text(buf);
}

}  // namespace

void AddMathBuiltins(std::vector<Builtin>& t) {
  auto add = [&](std::string_view name, std::string_view sqlite, int min, int max,
                 TypeInfo (*rt)(const Args&), Impl impl, bool deterministic = true) {
    t.push_back({{name, sqlite, FunctionKind::kScalar, min, max, false, deterministic, rt}, impl});
  };
  add(
      "ABS", "tsql_abs", 1, 1, [](const Args& a) { return NumericOfArg(a, "abs"); }, Abs);
  add(
      "SIGN", "tsql_sign", 1, 1, [](const Args& a) { return NumericOfArg(a, "sign"); }, Sign);
  add("ROUND", "tsql_round", 2, 3, RoundType, Round);
  add("FLOOR", "tsql_floor", 1, 1, FloorType, FloorCeiling<false>);
  add("CEILING", "tsql_ceiling", 1, 1, FloorType, FloorCeiling<true>);
  add(
      "POWER", "tsql_power", 2, 2, [](const Args& a) { return NumericOfArg(a, "power"); }, Power);
  add(
      "SQRT", "tsql_sqrt", 1, 1, [](const Args&) { return FloatType(); }, Sqrt);
  add(
      "SQUARE", "tsql_square", 1, 1, [](const Args&) { return FloatType(); }, Square);
  add(
      "ISNUMERIC", "tsql_isnumeric", 1, 1, [](const Args&) { return IntType(); }, IsNumeric);
  add(
      "STR", "tsql_str", 1, 3, [](const Args&) { return VarCharType(10); }, Str);
  add(
      "NEWID", "tsql_newid", 0, 0,
      [](const Args&) { return MakeType(SqlType::kUniqueIdentifier, 16); }, NewId, false);
}

}  // namespace tillbase::engine::sql

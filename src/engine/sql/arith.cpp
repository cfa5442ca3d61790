#include "engine/sql/arith.h"

#include <algorithm>
#include <cmath>

#include "engine/errors.h"
#include "engine/sql/decimal_math.h"
#include "engine/sql/types.h"

namespace tillbase::engine::sql {
namespace {

const int64_t kMicrosPerDay = 86400000000LL;

const char* OpWord(ArithOp op) {
  switch (op) {
    case ArithOp::kAdd:
      return "add";
    case ArithOp::kSub:
      return "subtract";
    case ArithOp::kMul:
      return "multiply";
    case ArithOp::kDiv:
      return "divide";
    case ArithOp::kMod:
      return "modulo";
  }
  return "add";
}

EngineError InvalidOperand(SqlType t, ArithOp op) {
  return MakeError(8117, 16, 1,
                   "Operand data type " + std::string(SqlTypeName(t)) + " is invalid for " +
                       OpWord(op) + " operator.");
}

EngineError Incompatible(SqlType a, SqlType b, ArithOp op) {
  return MakeError(402, 16, 1,
                   "The data types " + std::string(SqlTypeName(a)) + " and " +
                       std::string(SqlTypeName(b)) + " are incompatible in the " + OpWord(op) +
                       " operator.");
}

EngineError Clash(SqlType a, SqlType b) {
  return MakeError(206, 16, 2,
                   "Operand type clash: " + std::string(SqlTypeName(a)) + " is incompatible with " +
                       std::string(SqlTypeName(b)));
}

bool IsLob(SqlType t) {
  return t == SqlType::kText || t == SqlType::kNText || t == SqlType::kImage ||
         t == SqlType::kSqlVariant;
}

bool IsPlainChar(SqlType t) { return IsCharType(t) && !IsLob(t); }
bool IsBinary(SqlType t) { return t == SqlType::kBinary || t == SqlType::kVarBinary; }
bool IsScaled(SqlType t) { return StorageOf(t) == Storage::kScaled; }
bool IsMoney(SqlType t) { return t == SqlType::kMoney || t == SqlType::kSmallMoney; }

int ScaleOf(const TypeInfo& t) { return IsMoney(t.type) ? 4 : IsScaled(t.type) ? t.scale : 0; }

// An exact numeric operand as decimal(p, s).
void AsDecimal(const TypeInfo& t, int* p, int* s) {
  *p = PrecisionOf(t);
  if (*p <= 0) *p = 18;
  *s = ScaleOf(t);
}

TypeInfo CappedDecimal(int p, int s, SqlType kind) {
  if (p > kMaxStoredPrecision) {
    int whole = p - s;
    s = std::max(kMaxStoredPrecision - whole, std::min(s, 6));
    p = kMaxStoredPrecision;
  }
  s = std::clamp(s, 0, p);
  TypeInfo t = DecimalType(p, s);
  t.type = kind;
  return t;
}

TypeInfo Higher(const TypeInfo& a, const TypeInfo& b) {
  return Precedence(a.type) >= Precedence(b.type) ? a : b;
}

// A decimal holding both: the larger integral part and the larger scale.
TypeInfo DecimalUnion(const TypeInfo& a, const TypeInfo& b) {
  int pa, sa, pb, sb;
  AsDecimal(a, &pa, &sa);
  AsDecimal(b, &pb, &sb);
  int s = std::max(sa, sb);
  int whole = std::max(pa - sa, pb - sb);
  return CappedDecimal(whole + s, s, SqlType::kDecimal);
}

TypeInfo CharConcat(const TypeInfo& a, const TypeInfo& b) {
  bool unicode = IsUnicode(a.type) || IsUnicode(b.type);
  auto bytes = [&](const TypeInfo& t) {
    if (t.length < 0) return -1;
    return unicode && !IsUnicode(t.type) ? t.length * 2 : t.length;
  };
  int la = bytes(a), lb = bytes(b);
  int len = la < 0 || lb < 0 ? -1 : std::min(la + lb, 8000);
  return MakeType(unicode ? SqlType::kNVarChar : SqlType::kVarChar, len);
}

// Integer results out of range: tinyint and smallint report the value.
EngineError IntOverflow(const TypeInfo& t, __int128 v) {
  if (t.type == SqlType::kTinyInt || t.type == SqlType::kSmallInt) {
    return MakeError(220, 16, 1,
                     "Arithmetic overflow error for data type " + std::string(SqlTypeName(t.type)) +
                         ", value = " + std::to_string(static_cast<long long>(v)) + ".");
  }
  return ArithmeticOverflow(SqlTypeName(t.type));
}

bool InRange(SqlType t, __int128 v) {
  switch (t) {
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

// trunc(a * 10^k / b) without overflowing the intermediate product.
__int128 DivScaled(__int128 a, __int128 b, int k) {
  if (k < 0) return a / (b * Pow10_128(-k));
  __int128 q = a / b, r = a % b;
  for (int i = 0; i < k; ++i) {
    if (q > Pow10_128(36) || q < -Pow10_128(36)) {
      throw ArithmeticOverflow("numeric");
    }
    q = q * 10 + (r * 10) / b;
    r = (r * 10) % b;
  }
  return q;
}

Stored ScaledResult(__int128 v, const TypeInfo& rt) {
  __int128 limit = rt.type == SqlType::kMoney        ? static_cast<__int128>(INT64_MAX) + 1
                   : rt.type == SqlType::kSmallMoney ? static_cast<__int128>(2147483648LL)
                                                     : Pow10_128(rt.precision);
  if (v >= limit || v <= -limit || v > INT64_MAX || v < INT64_MIN) {
    throw ArithmeticOverflow(IsMoney(rt.type) ? SqlTypeName(rt.type) : "numeric");
  }
  return Stored::Int(static_cast<int64_t>(v));
}

}  // namespace

std::string_view ArithmeticFunction(ArithOp op) {
  switch (op) {
    case ArithOp::kAdd:
      return "tsql_add";
    case ArithOp::kSub:
      return "tsql_sub";
    case ArithOp::kMul:
      return "tsql_mul";
    case ArithOp::kDiv:
      return "tsql_div";
    case ArithOp::kMod:
      return "tsql_mod";
  }
  return "tsql_add";
}

TypeInfo ArithmeticResultType(ArithOp op, const TypeInfo& a, const TypeInfo& b) {
  SqlType x = a.type, y = b.type;
  if (IsLob(x)) throw InvalidOperand(x, op);
  if (IsLob(y)) throw InvalidOperand(y, op);
  if (x == SqlType::kUniqueIdentifier) throw InvalidOperand(x, op);
  if (y == SqlType::kUniqueIdentifier) throw InvalidOperand(y, op);
  if (IsPlainChar(x) && IsPlainChar(y)) {
    if (op != ArithOp::kAdd) throw InvalidOperand(x, op);
    return CharConcat(a, b);
  }
  if (IsBinary(x) || IsBinary(y)) {
    if (IsBinary(x) && IsBinary(y) && op == ArithOp::kAdd) {
      int len = a.length < 0 || b.length < 0 ? -1 : std::min(a.length + b.length, 8000);
      return MakeType(SqlType::kVarBinary, len);
    }
    throw InvalidOperand(IsBinary(x) ? x : y, op);
  }
  if (x == SqlType::kBit && y == SqlType::kBit) throw InvalidOperand(x, op);
  if (x == SqlType::kDate) throw Clash(x, y);
  if (y == SqlType::kDate) throw Clash(y, x);
  if (IsDateType(x) || IsDateType(y)) {
    if (op != ArithOp::kAdd && op != ArithOp::kSub) throw InvalidOperand(IsDateType(x) ? x : y, op);
    if (IsDateType(x) && IsDateType(y)) return Higher(a, b);
    return IsDateType(x) ? a : b;
  }
  // Numbers, and text that converts to the number of the other side.
  TypeInfo na = IsPlainChar(x) ? b : a;
  TypeInfo nb = IsPlainChar(y) ? a : b;
  TypeInfo hi = Higher(na, nb);
  if (StorageOf(hi.type) == Storage::kReal) {
    if (op == ArithOp::kMod) throw Incompatible(na.type, nb.type, op);
    return hi.type == SqlType::kFloat ? FloatType() : MakeType(SqlType::kReal, 4, 24, 0);
  }
  if (hi.type == SqlType::kDecimal || hi.type == SqlType::kNumeric) {
    int p1, s1, p2, s2;
    AsDecimal(na, &p1, &s1);
    AsDecimal(nb, &p2, &s2);
    int p = 0, s = 0;
    switch (op) {
      case ArithOp::kAdd:
      case ArithOp::kSub:
        s = std::max(s1, s2);
        p = s + std::max(p1 - s1, p2 - s2) + 1;
        break;
      case ArithOp::kMul:
        p = p1 + p2 + 1;
        s = s1 + s2;
        break;
      case ArithOp::kDiv:
        s = std::max(6, s1 + p2 + 1);
        p = p1 - s1 + s2 + s;
        break;
      case ArithOp::kMod:
        s = std::max(s1, s2);
        p = std::min(p1 - s1, p2 - s2) + s;
        break;
    }
    return CappedDecimal(p, s, hi.type);
  }
  if (IsMoney(hi.type)) {
    if (na.type == SqlType::kSmallMoney && nb.type == SqlType::kSmallMoney) return hi;
    return MakeType(SqlType::kMoney, 8, 19, 4);
  }
  if (hi.type == SqlType::kBit) return IntType();
  return hi;
}

TypeInfo IntegerLiteralOperand(const TypeInfo& literal, int64_t value, const TypeInfo& other) {
  if (other.type != SqlType::kDecimal && other.type != SqlType::kNumeric) return literal;
  if (StorageOf(literal.type) != Storage::kInt) return literal;
  int digits = 1;
  for (uint64_t u = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
       u >= 10; u /= 10) {
    ++digits;
  }
  return DecimalType(digits, 0);
}

TypeInfo ComparisonType(const TypeInfo& a, const TypeInfo& b) {
  bool ca = IsCharType(a.type), cb = IsCharType(b.type);
  if (ca && cb) return IsUnicode(b.type) && !IsUnicode(a.type) ? b : a;
  if (ca) return b;
  if (cb) return a;
  Storage sa = StorageOf(a.type), sb = StorageOf(b.type);
  bool exact_a = sa == Storage::kInt || sa == Storage::kScaled;
  bool exact_b = sb == Storage::kInt || sb == Storage::kScaled;
  if (exact_a && exact_b && (sa == Storage::kScaled || sb == Storage::kScaled)) {
    return DecimalUnion(a, b);
  }
  return Higher(a, b);
}

TypeInfo CommonType(const std::vector<TypeInfo>& types) {
  if (types.empty()) return IntType();
  TypeInfo r = types[0];
  for (size_t i = 1; i < types.size(); ++i) {
    const TypeInfo& t = types[i];
    if (IsCharType(r.type) && IsCharType(t.type)) {
      bool unicode = IsUnicode(r.type) || IsUnicode(t.type);
      auto bytes = [&](const TypeInfo& x) {
        if (x.length < 0) return -1;
        return unicode && !IsUnicode(x.type) ? x.length * 2 : x.length;
      };
      int lr = bytes(r), lt = bytes(t);
      SqlType kind = Precedence(t.type) > Precedence(r.type) ? t.type : r.type;
      if (kind == SqlType::kChar && (lr != lt)) kind = SqlType::kVarChar;
      if (kind == SqlType::kNChar && (lr != lt)) kind = SqlType::kNVarChar;
      r = MakeType(kind, lr < 0 || lt < 0 ? -1 : std::max(lr, lt));
    } else {
      r = ComparisonType(r, t);
    }
  }
  return r;
}

Stored Arithmetic(ArithOp op, const Stored& a, const TypeInfo& ta, const Stored& b,
                  const TypeInfo& tb, const ConvertOptions& options) {
  TypeInfo rt = ArithmeticResultType(op, ta, tb);
  if (a.IsNull() || b.IsNull()) return Stored::Null();
  switch (StorageOf(rt.type)) {
    case Storage::kText: {
      Stored x = ConvertStored(a, ta, VarCharType(-1), 0, options);
      Stored y = ConvertStored(b, tb, VarCharType(-1), 0, options);
      return Stored::Text(x.s + y.s);
    }
    case Storage::kBlob:
      return Stored::Blob(a.s + b.s);
    case Storage::kDate: {
      auto micros = [&](const Stored& v, const TypeInfo& t) -> int64_t {
        if (IsDateType(t.type) || IsCharType(t.type)) {
          return MicrosOfStored(ConvertStored(v, t, rt, 0, options));
        }
        if (StorageOf(t.type) == Storage::kInt) {
          if (v.i > 3700000 || v.i < -3700000) throw ArithmeticOverflow(SqlTypeName(rt.type));
          return v.i * kMicrosPerDay;
        }
        Stored d = ConvertStored(v, t, FloatType(), 0, options);
        if (!(std::fabs(d.r) < 3700000)) throw ArithmeticOverflow(SqlTypeName(rt.type));
        return static_cast<int64_t>(std::llround(d.r * kMicrosPerDay));
      };
      int64_t x = micros(a, ta), y = micros(b, tb);
      return StoredOfMicros(op == ArithOp::kAdd ? x + y : x - y, rt);
    }
    case Storage::kReal: {
      double x = ConvertStored(a, ta, FloatType(), 0, options).r;
      double y = ConvertStored(b, tb, FloatType(), 0, options).r;
      double r = 0;
      switch (op) {
        case ArithOp::kAdd:
          r = x + y;
          break;
        case ArithOp::kSub:
          r = x - y;
          break;
        case ArithOp::kMul:
          r = x * y;
          break;
        case ArithOp::kDiv:
          if (y == 0) throw DivideByZero();
          r = x / y;
          break;
        case ArithOp::kMod:
          r = std::fmod(x, y);
          break;
      }
      if (!std::isfinite(r)) throw ArithmeticOverflow(SqlTypeName(rt.type));
      if (rt.type == SqlType::kReal) r = static_cast<float>(r);
      return Stored::Real(r);
    }
    case Storage::kInt: {
      __int128 x = ConvertStored(a, ta, rt, 0, options).i;
      __int128 y = ConvertStored(b, tb, rt, 0, options).i;
      __int128 r = 0;
      switch (op) {
        case ArithOp::kAdd:
          r = x + y;
          break;
        case ArithOp::kSub:
          r = x - y;
          break;
        case ArithOp::kMul:
          r = x * y;
          break;
        case ArithOp::kDiv:
          if (y == 0) throw DivideByZero();
          r = x / y;  // truncates toward zero, as T-SQL integer division does
          break;
        case ArithOp::kMod:
          if (y == 0) throw DivideByZero();
          r = x % y;
          break;
      }
      if (!InRange(rt.type, r)) throw IntOverflow(rt, r);
      return Stored::Int(static_cast<int64_t>(r));
    }
    case Storage::kScaled: {
      // Each operand at its own exact scale; text operands take the
      // result's type.
      auto operand = [&](const Stored& v, const TypeInfo& t, int* scale) -> __int128 {
        TypeInfo as = t;
        if (IsCharType(t.type)) as = rt;
        if (StorageOf(as.type) == Storage::kInt) {
          *scale = 0;
          return ConvertStored(v, t, BigIntType(), 0, options).i;
        }
        *scale = ScaleOf(as);
        return ConvertStored(v, t, as, 0, options).i;
      };
      int s1 = 0, s2 = 0;
      __int128 x = operand(a, ta, &s1);
      __int128 y = operand(b, tb, &s2);
      int rs = ScaleOf(rt);
      bool money = IsMoney(rt.type);
      __int128 r = 0;
      switch (op) {
        case ArithOp::kAdd:
        case ArithOp::kSub: {
          int s = std::max(s1, s2);
          __int128 xx = x * Pow10_128(s - s1), yy = y * Pow10_128(s - s2);
          r = RoundToScale(op == ArithOp::kAdd ? xx + yy : xx - yy, s, rs);
          break;
        }
        case ArithOp::kMul:
          r = RoundToScale(x * y, s1 + s2, rs);
          break;
        case ArithOp::kDiv: {
          if (y == 0) throw DivideByZero();
          if (money) {
            __int128 q = DivScaled(x, y, rs + s2 - s1 + 1);
            r = RoundToScale(q, rs + 1, rs);
          } else {
            r = DivScaled(x, y, rs + s2 - s1);
          }
          break;
        }
        case ArithOp::kMod: {
          if (y == 0) throw DivideByZero();
          int s = std::max(s1, s2);
          __int128 xx = x * Pow10_128(s - s1), yy = y * Pow10_128(s - s2);
          r = RoundToScale(xx % yy, s, rs);
          break;
        }
      }
      return ScaledResult(r, rt);
    }
    default:
      break;
  }
  throw InvalidOperand(rt.type, op);
}

Stored Negate(const Stored& a, const TypeInfo& ta) {
  if (IsCharType(ta.type) || IsBinary(ta.type) || IsLob(ta.type) || IsDateType(ta.type) ||
      ta.type == SqlType::kUniqueIdentifier || ta.type == SqlType::kBit) {
    throw MakeError(8117, 16, 1,
                    "Operand data type " + std::string(SqlTypeName(ta.type)) +
                        " is invalid for minus operator.");
  }
  if (a.IsNull()) return a;
  if (a.kind == Stored::kReal) return Stored::Real(-a.r);
  if (a.kind != Stored::kInt) return Negate(ConvertStored(a, VarCharType(-1), ta), ta);
  __int128 r = -static_cast<__int128>(a.i);
  if (StorageOf(ta.type) == Storage::kInt && !InRange(ta.type, r)) throw IntOverflow(ta, r);
  if (r > INT64_MAX) throw ArithmeticOverflow(SqlTypeName(ta.type));
  return Stored::Int(static_cast<int64_t>(r));
}

}  // namespace tillbase::engine::sql

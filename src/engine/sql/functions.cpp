#include "engine/sql/functions.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <memory>

#include "engine/errors.h"
#include "engine/sql/arith.h"
#include "engine/sql/decimal_math.h"
#include "engine/sql/fn_impl.h"
#include "engine/sql/text.h"

namespace tillbase::engine::sql {
namespace {

const FunctionSettings& Defaults() {
  static const FunctionSettings settings;
  return settings;
}

const FunctionSettings& SettingsOf(sqlite3_context* ctx) {
  auto* s = static_cast<const FunctionSettings*>(sqlite3_user_data(ctx));
  return s ? *s : Defaults();
}

void ReportError(sqlite3_context* ctx, const EngineError& e) {
  std::string text = EncodeForSqlite(e);
  sqlite3_result_error(ctx, text.data(), static_cast<int>(text.size()));
}

// Runs a function body, turning an EngineError into the SQLite error text
// the core decodes.
template <typename F>
void Guard(sqlite3_context* ctx, F&& body) {
  try {
    body();
  } catch (const EngineError& e) {
    ReportError(ctx, e);
  } catch (const std::bad_alloc&) {
    sqlite3_result_error_nomem(ctx);
  } catch (const std::exception& e) {
    ReportError(ctx, MakeError(50000, 16, 1, e.what()));
  }
}

TypeInfo TypeArg(sqlite3_value* v) { return DecodeType(sqlite3_value_int64(v)); }

ConvertOptions OptionsOf(const FunctionSettings& s) {
  ConvertOptions o;
  o.dateformat = s.dateformat;
  return o;
}

// ---- the library's table ---------------------------------------------------

struct Registered {
  const FunctionSettings* settings;
  Impl impl;
};

void CallBuiltin(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  auto* r = static_cast<Registered*>(sqlite3_user_data(ctx));
  Guard(ctx, [&] {
    Call call{r->settings ? r->settings : &Defaults(), argc / 2, argv};
    ResultStored(ctx, r->impl(call));
  });
}

TypeInfo Nth(const std::vector<TypeInfo>& args, size_t i) {
  return i < args.size() ? args[i] : IntType();
}

Stored IsNullImpl(const Call& c) {
  if (!c.IsNullArg(0)) return c.Arg(0);
  return c.As(1, c.Type(0));
}

Stored CoalesceImpl(const Call& c) {
  std::vector<TypeInfo> types;
  for (int i = 0; i < c.argc; ++i) types.push_back(c.Type(i));
  TypeInfo rt = CommonType(types);
  for (int i = 0; i < c.argc; ++i) {
    if (!c.IsNullArg(i)) return c.As(i, rt);
  }
  return Stored::Null();
}

Stored NullIfImpl(const Call& c) {
  if (c.IsNullArg(0) || c.IsNullArg(1)) return c.Arg(0);
  TypeInfo ct = ComparisonType(c.Type(0), c.Type(1));
  Stored a = c.As(0, ct), b = c.As(1, ct);
  bool equal = false;
  if (a.kind == Stored::kText && b.kind == Stored::kText && IsCharType(ct.type)) {
    equal = CompareText(a.s, b.s) == 0;
  } else if (a.kind == Stored::kReal || b.kind == Stored::kReal) {
    equal = c.As(0, FloatType()).r == c.As(1, FloatType()).r;
  } else {
    equal = a.kind == b.kind && a.i == b.i && a.s == b.s;
  }
  return equal ? Stored::Null() : c.Arg(0);
}

std::vector<Builtin>& Table() {
  static std::vector<Builtin> table = [] {
    std::vector<Builtin> t;
    t.push_back({{"ISNULL", "tsql_isnull", FunctionKind::kScalar, 2, 2, false, true,
                  [](const std::vector<TypeInfo>& a) { return Nth(a, 0); }},
                 IsNullImpl});
    t.push_back({{"COALESCE", "tsql_coalesce", FunctionKind::kScalar, 1, -1, false, true,
                  [](const std::vector<TypeInfo>& a) { return CommonType(a); }},
                 CoalesceImpl});
    t.push_back({{"NULLIF", "tsql_nullif", FunctionKind::kScalar, 2, 2, false, true,
                  [](const std::vector<TypeInfo>& a) { return Nth(a, 0); }},
                 NullIfImpl});
    AddStringBuiltins(t);
    AddMathBuiltins(t);
    AddDateBuiltins(t);
    return t;
  }();
  return table;
}

// ---- aggregates ------------------------------------------------------------

EngineError InvalidForAggregate(const TypeInfo& t, const char* op) {
  return MakeError(8117, 16, 1,
                   "Operand data type " + std::string(SqlTypeName(t.type)) + " is invalid for " +
                       op + " operator.");
}

TypeInfo SumType(const std::vector<TypeInfo>& a) {
  TypeInfo t = Nth(a, 0);
  switch (StorageOf(t.type)) {
    case Storage::kInt:
      if (t.type == SqlType::kBit) throw InvalidForAggregate(t, "sum");
      return t.type == SqlType::kBigInt ? BigIntType() : IntType();
    case Storage::kScaled:
      if (t.type == SqlType::kMoney || t.type == SqlType::kSmallMoney) {
        return MakeType(SqlType::kMoney, 8, 19, 4);
      }
      return DecimalType(kMaxStoredPrecision, t.scale);
    case Storage::kReal:
      return FloatType();
    default:
      throw InvalidForAggregate(t, "sum");
  }
}

TypeInfo AvgType(const std::vector<TypeInfo>& a) {
  TypeInfo t = Nth(a, 0);
  if (StorageOf(t.type) == Storage::kScaled && t.type != SqlType::kMoney &&
      t.type != SqlType::kSmallMoney) {
    return DecimalType(kMaxStoredPrecision, std::max(t.scale, 6));
  }
  try {
    return SumType(a);
  } catch (const EngineError&) {
    throw InvalidForAggregate(t, "avg");
  }
}

TypeInfo SameType(const std::vector<TypeInfo>& a) { return Nth(a, 0); }
TypeInfo CountType(const std::vector<TypeInfo>&) { return IntType(); }
TypeInfo CountBigType(const std::vector<TypeInfo>&) { return BigIntType(); }

const FunctionInfo kAggregates[] = {
    {"SUM", "tsql_sum_of(sum($D$1), $R)", FunctionKind::kAggregate, 1, 1, false, true, SumType},
    {"AVG", "tsql_avg_of(sum($D$1), count($D$1), $T)", FunctionKind::kAggregate, 1, 1, false, true,
     AvgType},
    {"MIN", "min($D$1)", FunctionKind::kAggregate, 1, 1, false, true, SameType},
    {"MAX", "max($D$1)", FunctionKind::kAggregate, 1, 1, false, true, SameType},
    {"COUNT", "count($D$1)", FunctionKind::kAggregate, 1, 1, false, true, CountType},
    {"COUNT_BIG", "count($D$1)", FunctionKind::kAggregate, 1, 1, false, true, CountBigType},
};

// tsql_sum_of(total, result_code): SUM's range check for its result type.
void SumOf(sqlite3_context* ctx, int, sqlite3_value** argv) {
  Guard(ctx, [&] {
    Stored v = ReadStored(argv[0]);
    TypeInfo rt = TypeArg(argv[1]);
    if (v.kind == Stored::kInt && rt.type == SqlType::kInt &&
        (v.i > INT32_MAX || v.i < INT32_MIN)) {
      throw ArithmeticOverflow("int");
    }
    if (v.kind == Stored::kInt && StorageOf(rt.type) == Storage::kReal) v = Stored::Real(v.i);
    ResultStored(ctx, v);
  });
}

// tsql_avg_of(total, count, argument_code): AVG in the argument's kind:
// integer division for integers, scale at least 6 for decimals.
void AvgOf(sqlite3_context* ctx, int, sqlite3_value** argv) {
  Guard(ctx, [&] {
    Stored total = ReadStored(argv[0]);
    int64_t count = sqlite3_value_int64(argv[1]);
    TypeInfo t = TypeArg(argv[2]);
    if (total.IsNull() || count == 0) {
      sqlite3_result_null(ctx);
      return;
    }
    TypeInfo rt = AvgType({t});
    if (total.kind == Stored::kReal || StorageOf(rt.type) == Storage::kReal) {
      double d = total.kind == Stored::kReal ? total.r : static_cast<double>(total.i);
      sqlite3_result_double(ctx, d / static_cast<double>(count));
      return;
    }
    bool money = t.type == SqlType::kMoney || t.type == SqlType::kSmallMoney;
    int from = money ? 4 : StorageOf(t.type) == Storage::kScaled ? t.scale : 0;
    int to = StorageOf(rt.type) == Storage::kScaled ? rt.scale : 0;
    if (rt.type == SqlType::kMoney) to = 4;
    __int128 v = static_cast<__int128>(total.i) * Pow10_128(to - from) / count;
    sqlite3_result_int64(ctx, static_cast<int64_t>(v));
  });
}

// ---- conversions and operators ---------------------------------------------

// tsql_convert(x, from_code, to_code, style)
void ConvertFn(sqlite3_context* ctx, int, sqlite3_value** argv) {
  Guard(ctx, [&] {
    const FunctionSettings& s = SettingsOf(ctx);
    ResultStored(ctx, ConvertStored(ReadStored(argv[0]), TypeArg(argv[1]), TypeArg(argv[2]),
                                    sqlite3_value_int(argv[3]), OptionsOf(s)));
  });
}

// tsql_assign(x, from_code, to_code): storing into a column or variable.
void AssignFn(sqlite3_context* ctx, int, sqlite3_value** argv) {
  Guard(ctx, [&] {
    ConvertOptions o = OptionsOf(SettingsOf(ctx));
    o.truncation_error = true;
    ResultStored(ctx, ConvertStored(ReadStored(argv[0]), TypeArg(argv[1]), TypeArg(argv[2]), 0, o));
  });
}

template <ArithOp op>
void ArithFn(sqlite3_context* ctx, int, sqlite3_value** argv) {
  Guard(ctx, [&] {
    ResultStored(ctx, Arithmetic(op, ReadStored(argv[0]), TypeArg(argv[1]), ReadStored(argv[2]),
                                 TypeArg(argv[3]), OptionsOf(SettingsOf(ctx))));
  });
}

void NegFn(sqlite3_context* ctx, int, sqlite3_value** argv) {
  Guard(ctx, [&] { ResultStored(ctx, Negate(ReadStored(argv[0]), TypeArg(argv[1]))); });
}

std::string_view TextArg(sqlite3_value* v) {
  const unsigned char* t = sqlite3_value_text(v);
  if (t == nullptr) return {};
  return {reinterpret_cast<const char*>(t), static_cast<size_t>(sqlite3_value_bytes(v))};
}

// tsql_like(value, pattern [, escape])
void LikeFn(sqlite3_context* ctx, int argc, sqlite3_value** argv) {
  Guard(ctx, [&] {
    for (int i = 0; i < argc; ++i) {
      if (sqlite3_value_type(argv[i]) == SQLITE_NULL) {
        sqlite3_result_null(ctx);
        return;
      }
    }
    char32_t escape = 0;
    if (argc == 3) {
      std::vector<char32_t> e = DecodeUtf8(TextArg(argv[2]));
      if (e.size() != 1) {
        throw MakeError(506, 16, 1,
                        "The invalid escape character \"" + std::string(TextArg(argv[2])) +
                            "\" was specified in a LIKE predicate.");
      }
      escape = e[0];
    }
    std::string value(TextArg(argv[0]));
    sqlite3_result_int(ctx, LikeMatch(value, TextArg(argv[1]), escape) ? 1 : 0);
  });
}

int CollateTsql(void*, int na, const void* a, int nb, const void* b) {
  return CompareText(std::string_view(static_cast<const char*>(a), na),
                     std::string_view(static_cast<const char*>(b), nb));
}

std::string Upper(std::string_view s) {
  std::string u(s);
  for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return u;
}

}  // namespace

TypeInfo TextResultOf(const TypeInfo& t) {
  if (IsUnicode(t.type))
    return MakeType(SqlType::kNVarChar, t.type == SqlType::kNText ? -1 : t.length);
  if (IsCharType(t.type))
    return MakeType(SqlType::kVarChar, t.type == SqlType::kText ? -1 : t.length);
  return VarCharType(8000);
}

TypeInfo DateResultOf(const TypeInfo& t) { return IsDateType(t.type) ? t : DateTimeType(); }

EngineError WrongArgument(std::string_view function, int position, const TypeInfo& t) {
  return MakeError(8116, 16, 1,
                   "Argument data type " + std::string(SqlTypeName(t.type)) +
                       " is invalid for argument " + std::to_string(position) + " of " +
                       std::string(function) + " function.");
}

void RegisterFunctions(sqlite3* db, const FunctionSettings* settings) {
  const int det = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
  void* user = const_cast<FunctionSettings*>(settings);
  for (const Builtin& b : Table()) {
    int flags = b.info.deterministic ? det : SQLITE_UTF8;
    auto reg = [&](int nargs) {
      auto* r = new Registered{settings, b.impl};
      sqlite3_create_function_v2(db, std::string(b.info.sqlite_name).c_str(), nargs, flags, r,
                                 CallBuiltin, nullptr, nullptr,
                                 [](void* p) { delete static_cast<Registered*>(p); });
    };
    if (b.info.max_args < 0) {
      reg(-1);
    } else {
      for (int n = b.info.min_args; n <= b.info.max_args; ++n) reg(2 * n);
    }
  }
  sqlite3_create_function_v2(db, "tsql_convert", 4, det, user, ConvertFn, nullptr, nullptr,
                             nullptr);
  sqlite3_create_function_v2(db, "tsql_assign", 3, det, user, AssignFn, nullptr, nullptr, nullptr);
  sqlite3_create_function_v2(db, "tsql_add", 4, det, user, ArithFn<ArithOp::kAdd>, nullptr, nullptr,
                             nullptr);
  sqlite3_create_function_v2(db, "tsql_sub", 4, det, user, ArithFn<ArithOp::kSub>, nullptr, nullptr,
                             nullptr);
  sqlite3_create_function_v2(db, "tsql_mul", 4, det, user, ArithFn<ArithOp::kMul>, nullptr, nullptr,
                             nullptr);
  sqlite3_create_function_v2(db, "tsql_div", 4, det, user, ArithFn<ArithOp::kDiv>, nullptr, nullptr,
                             nullptr);
  sqlite3_create_function_v2(db, "tsql_mod", 4, det, user, ArithFn<ArithOp::kMod>, nullptr, nullptr,
                             nullptr);
  sqlite3_create_function_v2(db, "tsql_neg", 2, det, user, NegFn, nullptr, nullptr, nullptr);
  sqlite3_create_function_v2(db, "tsql_like", 2, det, user, LikeFn, nullptr, nullptr, nullptr);
  sqlite3_create_function_v2(db, "tsql_like", 3, det, user, LikeFn, nullptr, nullptr, nullptr);
  sqlite3_create_function_v2(db, "tsql_sum_of", 2, det, user, SumOf, nullptr, nullptr, nullptr);
  sqlite3_create_function_v2(db, "tsql_avg_of", 3, det, user, AvgOf, nullptr, nullptr, nullptr);
  sqlite3_create_collation_v2(db, kCollation, SQLITE_UTF8, nullptr, CollateTsql, nullptr);
}

const FunctionInfo* FindFunction(std::string_view tsql_name) {
  static const std::map<std::string, const FunctionInfo*> index = [] {
    std::map<std::string, const FunctionInfo*> m;
    for (const Builtin& b : Table()) m[std::string(b.info.tsql_name)] = &b.info;
    for (const FunctionInfo& f : kAggregates) m[std::string(f.tsql_name)] = &f;
    return m;
  }();
  auto it = index.find(Upper(tsql_name));
  return it == index.end() ? nullptr : it->second;
}

TypeInfo ResultType(const FunctionInfo& info, const std::vector<TypeInfo>& args) {
  int n = static_cast<int>(args.size());
  if (n < info.min_args || (info.max_args >= 0 && n > info.max_args)) {
    if (info.min_args == info.max_args || info.max_args < 0) {
      throw MakeError(174, 15, 1,
                      "The " + Upper(info.tsql_name) + " function requires " +
                          std::to_string(info.min_args) + " argument(s).");
    }
    throw MakeError(189, 15, 1,
                    "The " + Upper(info.tsql_name) + " function requires " +
                        std::to_string(info.min_args) + " to " + std::to_string(info.max_args) +
                        " arguments.");
  }
  return info.result_type(args);
}

bool DecodeFunctionError(std::string_view sqlite_message, Message* out) {
  return DecodeFromSqlite(sqlite_message, out);
}

}  // namespace tillbase::engine::sql

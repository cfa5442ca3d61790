// Internal to the function library: how an implementation sees one call
// of a scalar function made with the typed calling convention (each
// argument followed by its type code).
#pragma once

#include <sqlite3.h>

#include <string>

#include "engine/sql/convert.h"
#include "engine/sql/functions.h"
#include "engine/sql/types.h"

namespace tillbase::engine::sql {

struct Call {
  const FunctionSettings* settings;
  int argc;  // T-SQL arguments
  sqlite3_value** argv;

  Stored Arg(int i) const { return ReadStored(argv[2 * i]); }
  TypeInfo Type(int i) const { return DecodeType(sqlite3_value_int64(argv[2 * i + 1])); }
  bool IsNullArg(int i) const { return sqlite3_value_type(argv[2 * i]) == SQLITE_NULL; }
  ConvertOptions Options() const {
    ConvertOptions o;
    o.dateformat = settings->dateformat;
    return o;
  }
  // Argument i converted to a type.
  Stored As(int i, const TypeInfo& t) const {
    return ConvertStored(Arg(i), Type(i), t, 0, Options());
  }
  std::string Text(int i) const {
    return As(i, IsUnicode(Type(i).type) ? NVarCharType(-1) : VarCharType(-1)).s;
  }
  int64_t Int(int i) const { return As(i, BigIntType()).i; }
  double Float(int i) const { return As(i, FloatType()).r; }
};

using Impl = Stored (*)(const Call& call);

// Registered implementations, by FunctionInfo::sqlite_name.
struct Builtin {
  FunctionInfo info;
  Impl impl;
};
void AddStringBuiltins(std::vector<Builtin>& out);
void AddMathBuiltins(std::vector<Builtin>& out);
void AddDateBuiltins(std::vector<Builtin>& out);

// Shared result-type helpers.
TypeInfo TextResultOf(const TypeInfo& t);  // varchar/nvarchar of t's length
TypeInfo DateResultOf(const TypeInfo& t);  // t when a date type, else datetime
EngineError WrongArgument(std::string_view function, int position, const TypeInfo& t);

}  // namespace tillbase::engine::sql

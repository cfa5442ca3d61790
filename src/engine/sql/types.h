// T-SQL type rules: names, storage classes, precedence and the result types
// of operators. Values of each type live in SQLite in one storage class:
//   integers and bit    INTEGER
//   decimal and money   INTEGER holding the value times 10^scale (exact)
//   float and real      REAL
//   character types     TEXT
//   date and time       TEXT "yyyy-mm-dd hh:mi:ss.mmm" ("yyyy-mm-dd" for date)
//   uniqueidentifier    TEXT, upper case
//   binary types        BLOB
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/engine.h"

namespace tillbase::engine::sql {

enum class Storage { kInt, kScaled, kReal, kText, kDate, kGuid, kBlob };

Storage StorageOf(SqlType t);
bool IsCharType(SqlType t);
bool IsUnicode(SqlType t);
bool IsIntegerType(SqlType t);
bool IsNumericType(SqlType t);  // integers, exact and approximate numerics
bool IsDateType(SqlType t);

// Resolves a declared type; a (length or precision) and b (scale) are -2
// when not given, -1 for max. Throws 2715 for an unknown type name.
TypeInfo ResolveTypeName(std::string_view name, int a, int b, int line);

// The declaration text of a type ("varchar(50)", "decimal(18,4)", "int").
std::string TypeDecl(const TypeInfo& t);
// Parses a declaration text written by TypeDecl.
TypeInfo ParseDecl(std::string_view decl);

int Precedence(SqlType t);  // higher wins in implicit conversion
int PrecisionOf(const TypeInfo& t);  // decimal digits of an exact numeric

TypeInfo MakeType(SqlType t, int length = 0, int precision = 0, int scale = 0);
TypeInfo IntType();
TypeInfo BigIntType();
TypeInfo FloatType();
TypeInfo BitType();
TypeInfo VarCharType(int length);
TypeInfo NVarCharType(int length);
TypeInfo DateTimeType();
TypeInfo DecimalType(int precision, int scale);

// Packs a type into one integer, for passing to SQLite functions.
int64_t EncodeType(const TypeInfo& t);
TypeInfo DecodeType(int64_t code);

int64_t Pow10(int n);

}  // namespace tillbase::engine::sql

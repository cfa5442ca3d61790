#include "engine/core/storage.h"

#include <cmath>

#include "engine/sql/datetime.h"
#include "engine/sql/types.h"

namespace tillbase::engine::core {

namespace {

__int128 Pow10Wide(int n) {
  __int128 r = 1;
  for (int i = 0; i < n; ++i) r *= 10;
  return r;
}

std::string ColumnText(sqlite3_stmt* stmt, int col) {
  const unsigned char* p = sqlite3_column_text(stmt, col);
  if (!p) return {};
  return std::string(reinterpret_cast<const char*>(p), sqlite3_column_bytes(stmt, col));
}

}  // namespace

__int128 Rescale(__int128 v, int from, int to) {
  if (to >= from) return v * Pow10Wide(to - from);
  __int128 d = Pow10Wide(from - to);
  __int128 q = v / d, r = v % d;
  if (r < 0) r = -r;
  if (r * 2 >= d) q += v < 0 ? -1 : 1;
  return q;
}

void BindValue(sqlite3_stmt* stmt, int i, const Value& value, const TypeInfo& type) {
  if (IsNull(value)) {
    sqlite3_bind_null(stmt, i);
    return;
  }
  sql::Storage s = sql::StorageOf(type.type);
  if (const auto* d = std::get_if<Decimal>(&value)) {
    if (s == sql::Storage::kScaled) {
      sqlite3_bind_int64(stmt, i, static_cast<int64_t>(Rescale(d->unscaled, d->scale, type.scale)));
    } else if (s == sql::Storage::kInt) {
      sqlite3_bind_int64(stmt, i, static_cast<int64_t>(Rescale(d->unscaled, d->scale, 0)));
    } else if (s == sql::Storage::kText) {
      std::string t = d->ToString();
      sqlite3_bind_text(stmt, i, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
    } else {
      sqlite3_bind_double(stmt, i, d->ToDouble());
    }
    return;
  }
  if (const auto* n = std::get_if<int64_t>(&value)) {
    if (s == sql::Storage::kScaled) {
      sqlite3_bind_int64(stmt, i, *n * sql::Pow10(type.scale));
    } else if (s == sql::Storage::kReal) {
      sqlite3_bind_double(stmt, i, static_cast<double>(*n));
    } else {
      sqlite3_bind_int64(stmt, i, *n);
    }
    return;
  }
  if (const auto* f = std::get_if<double>(&value)) {
    if (s == sql::Storage::kScaled) {
      sqlite3_bind_int64(stmt, i, static_cast<int64_t>(std::llround(*f * sql::Pow10(type.scale))));
    } else if (s == sql::Storage::kInt) {
      sqlite3_bind_int64(stmt, i, static_cast<int64_t>(*f));
    } else {
      sqlite3_bind_double(stmt, i, *f);
    }
    return;
  }
  if (const auto* t = std::get_if<std::string>(&value)) {
    sqlite3_bind_text(stmt, i, t->data(), static_cast<int>(t->size()), SQLITE_TRANSIENT);
    return;
  }
  if (const auto* b = std::get_if<Bytes>(&value)) {
    sqlite3_bind_blob(stmt, i, b->data.data(), static_cast<int>(b->data.size()), SQLITE_TRANSIENT);
    return;
  }
  if (const auto* dt = std::get_if<DateTime>(&value)) {
    sql::CivilTime c = sql::CivilFromMicros(dt->micros);
    std::string t = sql::FormatStorage(c, type.type == SqlType::kDate);
    sqlite3_bind_text(stmt, i, t.data(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
    return;
  }
  sqlite3_bind_null(stmt, i);
}

Value ReadValue(sqlite3_stmt* stmt, int col, const TypeInfo& type) {
  int st = sqlite3_column_type(stmt, col);
  if (st == SQLITE_NULL) return std::monostate{};
  switch (sql::StorageOf(type.type)) {
    case sql::Storage::kInt:
      if (st == SQLITE_FLOAT) return static_cast<int64_t>(sqlite3_column_double(stmt, col));
      return static_cast<int64_t>(sqlite3_column_int64(stmt, col));
    case sql::Storage::kScaled: {
      Decimal d;
      d.scale = type.scale;
      if (st == SQLITE_FLOAT) {
        d.unscaled = static_cast<__int128>(
            std::llround(sqlite3_column_double(stmt, col) * sql::Pow10(type.scale)));
      } else if (st == SQLITE_TEXT) {
        Decimal p = Decimal::Parse(ColumnText(stmt, col));
        d.unscaled = Rescale(p.unscaled, p.scale, type.scale);
      } else {
        d.unscaled = sqlite3_column_int64(stmt, col);
      }
      return d;
    }
    case sql::Storage::kReal:
      return sqlite3_column_double(stmt, col);
    case sql::Storage::kDate: {
      auto c = sql::ParseStorage(ColumnText(stmt, col));
      if (!c) return std::monostate{};
      return DateTime{sql::MicrosFromCivil(*c)};
    }
    case sql::Storage::kBlob: {
      const void* p = sqlite3_column_blob(stmt, col);
      int n = sqlite3_column_bytes(stmt, col);
      return Bytes{std::string(static_cast<const char*>(p), static_cast<size_t>(n))};
    }
    case sql::Storage::kText:
    case sql::Storage::kGuid:
      return ColumnText(stmt, col);
  }
  return std::monostate{};
}

TypeInfo NaturalType(const Value& value) {
  if (const auto* n = std::get_if<int64_t>(&value)) {
    if (*n >= INT32_MIN && *n <= INT32_MAX) return sql::IntType();
    return sql::BigIntType();
  }
  if (std::holds_alternative<double>(value)) return sql::FloatType();
  if (const auto* d = std::get_if<Decimal>(&value)) return sql::DecimalType(38, d->scale);
  if (const auto* s = std::get_if<std::string>(&value)) {
    int len = static_cast<int>(s->size());
    return sql::NVarCharType(len == 0 ? 1 : (len > 4000 ? -1 : len));
  }
  if (const auto* b = std::get_if<Bytes>(&value)) {
    int len = static_cast<int>(b->data.size());
    return sql::MakeType(SqlType::kVarBinary, len == 0 ? 1 : (len > 8000 ? -1 : len));
  }
  if (std::holds_alternative<DateTime>(value)) return sql::DateTimeType();
  return sql::IntType();
}

}  // namespace tillbase::engine::core

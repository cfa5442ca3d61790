// Small helpers for tests that drive the engine through its public
// interface: values as text, the error numbers of a batch, and batches that
// must succeed.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine.h"

namespace tillbase::engine::testing {

inline std::string Str(const Value& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  if (const auto* n = std::get_if<int64_t>(&v)) return std::to_string(*n);
  if (const auto* d = std::get_if<Decimal>(&v)) return d->ToString();
  return IsNull(v) ? "NULL" : "?";
}

inline std::vector<int> Errors(const BatchResult& r) {
  std::vector<int> out;
  for (const Message& m : r.messages) {
    if (m.IsError()) out.push_back(m.number);
  }
  return out;
}

// Runs a batch that must not fail; a failure is reported with its text.
inline BatchResult RunOk(Connection& c, const std::string& sql) {
  BatchResult r = c.ExecuteBatch(sql);
  if (const Message* e = r.FirstError()) {
    ADD_FAILURE() << sql << "\n-> " << e->number << " " << e->text;
  }
  return r;
}

// The single value of a batch's last result set, as text.
inline std::string OneValue(Connection& c, const std::string& sql) {
  BatchResult r = RunOk(c, sql);
  if (r.result_sets.empty() || r.result_sets.back().rows.size() != 1) {
    ADD_FAILURE() << "expected one row from " << sql;
    return {};
  }
  return Str(r.result_sets.back().rows[0][0]);
}

}  // namespace tillbase::engine::testing

#include "engine/core/databases.h"

#include <cctype>
#include <utility>
#include <vector>

#include "engine/core/catalog.h"
#include "engine/core/sqlite_util.h"

namespace tillbase::engine::core {

std::string AttachAlias(std::string_view database) { return "tb_" + LowerName(database); }

namespace {

bool IsIdentChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$' ||
         static_cast<unsigned char>(c) >= 0x80;
}

// The end of a quoted run starting at `i` (the opening quote), doubled
// closing quotes included.
size_t SkipQuoted(std::string_view s, size_t i, char close) {
  for (size_t j = i + 1; j < s.size(); ++j) {
    if (s[j] != close) continue;
    if (close != ']' && j + 1 < s.size() && s[j + 1] == close) {
      ++j;
      continue;
    }
    return j + 1;
  }
  return s.size();
}

}  // namespace

std::string UnqualifyMain(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  char prev = 0;  // the last character outside blanks that was copied
  while (i < s.size()) {
    char c = s[i];
    size_t end = i + 1;
    if (c == '\'' || c == '"' || c == '`') {
      end = SkipQuoted(s, i, c);
    } else if (c == '[') {
      end = SkipQuoted(s, i, ']');
    } else if (c == '-' && i + 1 < s.size() && s[i + 1] == '-') {
      end = s.find('\n', i);
      end = end == std::string_view::npos ? s.size() : end;
    } else if (c == '/' && i + 1 < s.size() && s[i + 1] == '*') {
      end = s.find("*/", i + 2);
      end = end == std::string_view::npos ? s.size() : end + 2;
    } else if (IsIdentChar(c)) {
      while (end < s.size() && IsIdentChar(s[end])) ++end;
      std::string_view word = s.substr(i, end - i);
      if (LowerName(word) == "main" && end < s.size() && s[end] == '.' && prev != '.') {
        i = end + 1;  // the qualifier and its dot
        continue;
      }
    }
    out.append(s.substr(i, end - i));
    if (!std::isspace(static_cast<unsigned char>(c))) prev = s[end - 1];
    i = end;
  }
  return out;
}

bool HasMainQualifiedViews(sqlite3* db) {
  Stmt q(db,
         "SELECT count(*) FROM main.sqlite_master WHERE type = 'view' AND instr(sql, 'main.') > 0");
  return q.Step() && q.Int(0) > 0;
}

bool UpgradeViews(sqlite3* db) {
  std::vector<std::pair<std::string, std::string>> views;  // name, new SQL
  {
    Stmt q(db,
           "SELECT name, sql FROM main.sqlite_master WHERE type = 'view' AND instr(sql, "
           "'main.') > 0");
    while (q.Step()) {
      std::string sql = q.Text(1);
      std::string fixed = UnqualifyMain(sql);
      if (fixed != sql) views.emplace_back(q.Text(0), std::move(fixed));
    }
  }
  if (views.empty()) return false;
  ExecSql(db, "BEGIN IMMEDIATE");
  try {
    for (const auto& [name, sql] : views) {
      ExecSql(db, "DROP VIEW main." + QuoteIdent(name));
      ExecSql(db, sql);
    }
    ExecSql(db, "COMMIT");
  } catch (...) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  return true;
}

}  // namespace tillbase::engine::core

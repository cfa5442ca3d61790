#include "db/odbc/odbc_connection_string.h"

#include "db/errors.h"
#include "db/text_util.h"

namespace tillbase::db::odbc {
namespace {

bool HasKey(const KeyValues& pairs, std::string_view key) {
  for (const auto& [k, v] : pairs) {
    if (EqualsNoCase(k, key)) return true;
  }
  return false;
}

bool ContainsNoCase(std::string_view text, std::string_view part) {
  return AsciiUpper(text).find(AsciiUpper(part)) != std::string::npos;
}

}  // namespace

KeyValues ParseConnectionString(std::string_view text) {
  KeyValues out;
  size_t i = 0;
  while (i < text.size()) {
    size_t eq = text.find_first_of("=;", i);
    if (eq == std::string_view::npos || text[eq] == ';') {
      std::string_view rest =
          TrimBlanks(text.substr(i, eq == std::string_view::npos ? text.npos : eq - i));
      if (!rest.empty()) {
        throw DbError("Invalid ODBC connection string: '" + std::string(rest) + "' has no value");
      }
      if (eq == std::string_view::npos) break;
      i = eq + 1;
      continue;
    }
    std::string key(TrimBlanks(text.substr(i, eq - i)));
    i = eq + 1;
    while (i < text.size() && text[i] == ' ') ++i;
    std::string value;
    if (i < text.size() && text[i] == '{') {
      ++i;
      bool closed = false;
      while (i < text.size()) {
        if (text[i] == '}') {
          if (i + 1 < text.size() && text[i + 1] == '}') {
            value.push_back('}');
            i += 2;
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        value.push_back(text[i++]);
      }
      if (!closed) throw DbError("Invalid ODBC connection string: unclosed '{' in " + key);
      size_t semi = text.find(';', i);
      i = semi == std::string_view::npos ? text.size() : semi + 1;
    } else {
      size_t semi = text.find(';', i);
      value = std::string(
          TrimBlanks(text.substr(i, semi == std::string_view::npos ? text.npos : semi - i)));
      i = semi == std::string_view::npos ? text.size() : semi + 1;
    }
    out.emplace_back(std::move(key), std::move(value));
  }
  return out;
}

std::string QuoteOdbcValue(std::string_view value) {
  bool needs = value.find_first_of(";{}=") != std::string_view::npos ||
               (!value.empty() && (value.front() == ' ' || value.back() == ' '));
  if (!needs) return std::string(value);
  std::string out = "{";
  for (char c : value) {
    out.push_back(c);
    if (c == '}') out.push_back('}');
  }
  out.push_back('}');
  return out;
}

std::string JoinConnectionString(const KeyValues& pairs) {
  std::string out;
  for (const auto& [k, v] : pairs) {
    if (!out.empty()) out += ";";
    out += k + "=" + QuoteOdbcValue(v);
  }
  return out;
}

bool IsFreeTds(std::string_view driver_name) {
  return ContainsNoCase(driver_name, "freetds") || ContainsNoCase(driver_name, "tdsodbc");
}

std::string BuildConnectionString(const DriverSettings& settings, const LoginInfo& login) {
  const KeyValues extra = ParseConnectionString(settings.odbc_extra);
  const bool dsn = HasKey(extra, "DSN");
  std::string driver_name(TrimBlanks(settings.odbc_driver));
  if (driver_name.empty()) driver_name = kDefaultOdbcDriverName;
  for (const auto& [k, v] : extra) {
    if (EqualsNoCase(k, "DRIVER")) driver_name = v;
  }
  const bool freetds = IsFreeTds(driver_name) && !(dsn && TrimBlanks(settings.odbc_driver).empty());

  KeyValues pairs;
  if (!dsn) pairs.emplace_back("DRIVER", driver_name);

  std::string server(TrimBlanks(login.server));
  for (std::string_view local : {"(local)", "."}) {
    if (EqualsNoCase(server, local)) server = "localhost";
    std::string prefix = std::string(local) + "\\";
    if (server.size() > prefix.size() && EqualsNoCase(server.substr(0, prefix.size()), prefix)) {
      server = "localhost\\" + server.substr(prefix.size());
    }
  }
  if (server.empty() && !dsn) server = "localhost";
  if (!server.empty()) {
    size_t comma = server.find(',');
    if (freetds && comma != std::string::npos) {
      pairs.emplace_back("SERVER", std::string(TrimBlanks(server.substr(0, comma))));
      pairs.emplace_back("PORT", std::string(TrimBlanks(server.substr(comma + 1))));
    } else {
      pairs.emplace_back("SERVER", server);
    }
  }
  if (!login.database.empty()) pairs.emplace_back("DATABASE", login.database);
  if (login.integrated) {
    pairs.emplace_back("Trusted_Connection", "yes");
  } else {
    if (!login.user.empty()) pairs.emplace_back("UID", login.user);
    if (!login.password.empty()) pairs.emplace_back("PWD", login.password);
  }
  if (freetds) {
    pairs.emplace_back("TDS_Version", "7.4");
    pairs.emplace_back("ClientCharset", "UTF-8");
  }
  pairs.emplace_back("APP", "tillbase");
  if (!login.host_name.empty()) pairs.emplace_back("WSID", login.host_name);

  KeyValues merged;
  for (auto& pair : pairs) {
    if (!HasKey(extra, pair.first)) merged.push_back(std::move(pair));
  }
  for (const auto& pair : extra) merged.push_back(pair);
  return JoinConnectionString(merged);
}

}  // namespace tillbase::db::odbc

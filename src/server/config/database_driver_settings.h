// Which database the server's connections reach: the embedded engine (the
// default, nothing to install) or SQL Server through ODBC. This lives in
// section DATABASE of CONFIG.INI, apart from the five connection settings,
// so files from existing installations keep their meaning.
//
//   [DATABASE]
//   Driver=embedded | odbc          (default embedded)
//   OdbcDriver=FreeTDS              ODBC driver name (default FreeTDS)
//   OdbcExtra=TDS_Version=7.4;...   extra connection-string keywords
//   DataDir=Data/engine             the engine's data directory (default
//                                   <home>/Data/engine; relative to the home)
#pragma once

#include <string>
#include <string_view>

namespace tillbase::config {

inline constexpr std::string_view kDatabaseSection = "DATABASE";
inline constexpr std::string_view kKeyDriver = "Driver";
inline constexpr std::string_view kKeyOdbcDriver = "OdbcDriver";
inline constexpr std::string_view kKeyOdbcExtra = "OdbcExtra";
inline constexpr std::string_view kKeyDataDir = "DataDir";
inline constexpr std::string_view kDefaultOdbcDriver = "FreeTDS";

enum class DatabaseDriver { kEmbedded, kOdbc };

struct DatabaseDriverSettings {
  DatabaseDriver driver = DatabaseDriver::kEmbedded;
  std::string odbc_driver = std::string(kDefaultOdbcDriver);
  std::string odbc_extra;
  std::string data_dir;  // absolute
  friend bool operator==(const DatabaseDriverSettings&, const DatabaseDriverSettings&) = default;
};

// "embedded" or "odbc".
std::string_view DatabaseDriverName(DatabaseDriver driver);

// Reads section DATABASE of <home>/CONFIG.INI; missing or empty keys take
// their defaults. A Driver that is neither "embedded" nor "odbc" (letter
// case aside) raises ConfigError naming the value.
DatabaseDriverSettings LoadDatabaseDriverSettings(const std::string& home);

}  // namespace tillbase::config

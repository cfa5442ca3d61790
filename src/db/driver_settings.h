// Which database driver the data-access layer uses. A setting of the home,
// not of the five connection settings: the session code reads it from the
// configuration and hands it to each Connection as a plain value.
#pragma once

#include <string>

namespace tillbase::db {

inline constexpr const char* kEmbeddedDriver = "embedded";
inline constexpr const char* kOdbcDriver = "odbc";
inline constexpr const char* kDefaultOdbcDriverName = "FreeTDS";

struct DriverSettings {
  std::string driver = kEmbeddedDriver;  // "embedded" or "odbc" (case ignored)
  std::string odbc_driver;  // ODBC driver name, e.g. "FreeTDS", "ODBC Driver 18 for SQL Server"
  std::string odbc_extra;   // further "key=value;..." pairs; they win over generated ones
  std::string data_dir;     // the embedded engine's data directory
};

}  // namespace tillbase::db

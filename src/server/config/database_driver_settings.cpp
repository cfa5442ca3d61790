#include "server/config/database_driver_settings.h"

#include "server/config/config_error.h"
#include "server/config/connection_settings.h"
#include "server/config/home.h"
#include "server/config/ini_file.h"

namespace tillbase::config {
namespace {

std::string AsciiLower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  }
  return text;
}

}  // namespace

std::string_view DatabaseDriverName(DatabaseDriver driver) {
  return driver == DatabaseDriver::kOdbc ? "odbc" : "embedded";
}

DatabaseDriverSettings LoadDatabaseDriverSettings(const std::string& home) {
  std::string path = JoinPath(home, kConfigFileName);
  IniFile file(path);
  DatabaseDriverSettings settings;
  std::string driver = file.ReadString(kDatabaseSection, kKeyDriver, "");
  std::string lower = AsciiLower(driver);
  if (lower == "odbc") {
    settings.driver = DatabaseDriver::kOdbc;
  } else if (!lower.empty() && lower != "embedded") {
    throw ConfigError(path + ": [DATABASE] Driver '" + driver +
                      "' is not a database driver (use embedded or odbc)");
  }
  std::string odbc_driver = file.ReadString(kDatabaseSection, kKeyOdbcDriver, "");
  if (!odbc_driver.empty()) settings.odbc_driver = odbc_driver;
  settings.odbc_extra = file.ReadString(kDatabaseSection, kKeyOdbcExtra, "");
  std::string data_dir = file.ReadString(kDatabaseSection, kKeyDataDir, "");
  if (data_dir.empty()) data_dir = "Data/engine";
  settings.data_dir = data_dir.front() == '/' ? data_dir : JoinPath(home, data_dir);
  while (settings.data_dir.size() > 1 && settings.data_dir.back() == '/') {
    settings.data_dir.pop_back();
  }
  return settings;
}

}  // namespace tillbase::config

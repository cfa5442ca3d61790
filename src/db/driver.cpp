#include "db/driver.h"

#include "db/embedded/embedded_driver.h"
#include "db/errors.h"
#include "db/odbc/odbc_driver.h"
#include "db/text_util.h"

namespace tillbase::db {

std::unique_ptr<DriverConnection> OpenDriverConnection(const DriverSettings& settings,
                                                       const LoginInfo& login) {
  std::string_view name = TrimBlanks(settings.driver);
  if (name.empty() || EqualsNoCase(name, kEmbeddedDriver)) {
    return embedded::OpenEmbeddedConnection(settings, login);
  }
  if (EqualsNoCase(name, kOdbcDriver)) return odbc::OpenOdbcConnection(settings, login);
  throw DbError("Unknown database driver '" + std::string(name) +
                "' (the [DATABASE] setting Driver must be embedded or odbc)");
}

std::string QuoteIdentifier(std::string_view name) {
  std::string out = "[";
  for (char c : name) {
    out.push_back(c);
    if (c == ']') out.push_back(']');
  }
  out.push_back(']');
  return out;
}

}  // namespace tillbase::db

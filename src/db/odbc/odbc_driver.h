// The ODBC driver: SQL Server through unixODBC with FreeTDS or Microsoft's
// ODBC Driver 18.
#pragma once

#include <memory>

#include "db/driver.h"

namespace tillbase::db::odbc {

std::unique_ptr<DriverConnection> OpenOdbcConnection(const DriverSettings& settings,
                                                     const LoginInfo& login);

}  // namespace tillbase::db::odbc

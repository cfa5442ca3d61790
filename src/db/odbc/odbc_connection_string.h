// ODBC connection strings built from the connection properties and the
// home's driver settings.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "db/driver.h"

namespace tillbase::db::odbc {

using KeyValues = std::vector<std::pair<std::string, std::string>>;

// "k=v;k2={v;2}" -> pairs; braces around a value keep ";" and "=" in it
// ("}}" is one "}"). Blank pairs are skipped; a pair without "=" raises
// DbError naming it.
KeyValues ParseConnectionString(std::string_view text);

// A value as the connection-string grammar needs it: in braces (with "}"
// doubled) when it holds ";", "{", "}", "=" or blanks at either end.
std::string QuoteOdbcValue(std::string_view value);

std::string JoinConnectionString(const KeyValues& pairs);

// Whether the driver name is FreeTDS's (its name or the path of its
// library).
bool IsFreeTds(std::string_view driver_name);

// The connection string for SQL Server:
//  - DRIVER = settings.odbc_driver (default FreeTDS), unless odbc_extra
//    names a DSN or a DRIVER of its own;
//  - SERVER from "Data Source": "(local)" and "." are this machine;
//    FreeTDS takes "host,port" as SERVER=host;PORT=port;
//  - DATABASE from "Initial Catalog";
//  - UID/PWD for a SQL Server login (PWD only when a password is set),
//    Trusted_Connection=yes for integrated login (Kerberos);
//  - FreeTDS: TDS_Version=7.4 and ClientCharset=UTF-8;
//  - APP and WSID naming the program and the client machine;
//  - then the pairs of odbc_extra, which replace generated pairs of the
//    same key (keys compared without regard to case).
std::string BuildConnectionString(const DriverSettings& settings, const LoginInfo& login);

}  // namespace tillbase::db::odbc

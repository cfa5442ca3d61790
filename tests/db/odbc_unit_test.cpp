// The parts of the ODBC driver that need no server.
#include <gtest/gtest.h>

#include "db/errors.h"
#include "db/odbc/odbc_connection_string.h"
#include "db/odbc/odbc_types.h"
#include "db/odbc/odbc_values.h"

namespace tillbase::db::odbc {
namespace {

LoginInfo SqlLogin(std::string server, std::string password = "pw") {
  LoginInfo login;
  login.server = std::move(server);
  login.database = "master";
  login.user = "sa";
  login.password = std::move(password);
  return login;
}

TEST(OdbcConnectionString, MapsTheConnectionProperties) {
  struct Case {
    const char* what;
    DriverSettings settings;
    LoginInfo login;
    std::string expected;
  };
  DriverSettings freetds;
  freetds.driver = "odbc";
  DriverSettings msodbc = freetds;
  msodbc.odbc_driver = "ODBC Driver 18 for SQL Server";
  LoginInfo integrated = SqlLogin("db1");
  integrated.integrated = true;
  integrated.user.clear();
  integrated.password.clear();
  LoginInfo with_host = SqlLogin("db1");
  with_host.host_name = "till-07";
  DriverSettings extra = msodbc;
  extra.odbc_extra = "TrustServerCertificate=yes; APP = pos";
  DriverSettings dsn = freetds;
  dsn.odbc_extra = "DSN=shop";
  const Case cases[] = {
      {"FreeTDS is the default driver", freetds, SqlLogin("db1"),
       "DRIVER=FreeTDS;SERVER=db1;DATABASE=master;UID=sa;PWD=pw;TDS_Version=7.4;"
       "ClientCharset=UTF-8;APP=tillbase"},
      {"an empty password is left out", freetds, SqlLogin("db1", ""),
       "DRIVER=FreeTDS;SERVER=db1;DATABASE=master;UID=sa;TDS_Version=7.4;ClientCharset=UTF-8;"
       "APP=tillbase"},
      {"FreeTDS takes the port apart", freetds, SqlLogin("10.0.0.5,1433"),
       "DRIVER=FreeTDS;SERVER=10.0.0.5;PORT=1433;DATABASE=master;UID=sa;PWD=pw;TDS_Version=7.4;"
       "ClientCharset=UTF-8;APP=tillbase"},
      {"Microsoft's driver keeps host,port and names no TDS version", msodbc,
       SqlLogin("10.0.0.5,1433"),
       "DRIVER=ODBC Driver 18 for SQL Server;SERVER=10.0.0.5,1433;DATABASE=master;UID=sa;PWD=pw;"
       "APP=tillbase"},
      {"(local) with an instance is this machine", msodbc, SqlLogin("(local)\\SHOP"),
       "DRIVER=ODBC Driver 18 for SQL Server;SERVER=localhost\\SHOP;DATABASE=master;UID=sa;"
       "PWD=pw;APP=tillbase"},
      {"integrated login", msodbc, integrated,
       "DRIVER=ODBC Driver 18 for SQL Server;SERVER=db1;DATABASE=master;Trusted_Connection=yes;"
       "APP=tillbase"},
      {"a password with separators is braced", msodbc, SqlLogin(".", "a;b}c"),
       "DRIVER=ODBC Driver 18 for SQL Server;SERVER=localhost;DATABASE=master;UID=sa;"
       "PWD={a;b}}c};APP=tillbase"},
      {"the client machine is named", msodbc, with_host,
       "DRIVER=ODBC Driver 18 for SQL Server;SERVER=db1;DATABASE=master;UID=sa;PWD=pw;"
       "APP=tillbase;WSID=till-07"},
      {"extra keywords replace generated ones", extra, SqlLogin("db1"),
       "DRIVER=ODBC Driver 18 for SQL Server;SERVER=db1;DATABASE=master;UID=sa;PWD=pw;"
       "TrustServerCertificate=yes;APP=pos"},
      {"a DSN needs no driver or server", dsn, SqlLogin(""),
       "DATABASE=master;UID=sa;PWD=pw;APP=tillbase;DSN=shop"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(BuildConnectionString(c.settings, c.login), c.expected);
  }
}

TEST(OdbcConnectionString, ParsesBracesAndRejectsPairsWithoutValue) {
  KeyValues pairs = ParseConnectionString(" A=1; PWD={x;y}}z} ;;B = two ");
  ASSERT_EQ(pairs.size(), 3u);
  EXPECT_EQ(pairs[1], (std::pair<std::string, std::string>{"PWD", "x;y}z"}));
  EXPECT_EQ(pairs[2], (std::pair<std::string, std::string>{"B", "two"}));
  EXPECT_THROW(ParseConnectionString("A=1;oops"), DbError);
  EXPECT_THROW(ParseConnectionString("PWD={open"), DbError);
  EXPECT_TRUE(IsFreeTds("/usr/lib/x86_64-linux-gnu/odbc/libtdsodbc.so"));
  EXPECT_FALSE(IsFreeTds("ODBC Driver 18 for SQL Server"));
}

TEST(OdbcTypes, TypeNamesFromDriverOrCode) {
  EXPECT_EQ(ResolveTypeName("int identity", 4), "int");
  EXPECT_EQ(ResolveTypeName("", -9), "nvarchar");
  EXPECT_EQ(ResolveTypeName("udt_thing", 12), "varchar");
  EXPECT_EQ(ResolveTypeName("", -150), "sql_variant");
  EXPECT_EQ(TypeNameOfSqlType(2), "numeric");
}

TEST(OdbcTypes, DiagnosticsLoseTheirPrefixes) {
  EXPECT_EQ(CleanDiagnostic("[FreeTDS][SQL Server]Could not find stored procedure 'x'."),
            "Could not find stored procedure 'x'.");
  EXPECT_EQ(CleanDiagnostic("[Microsoft][ODBC Driver 18 for SQL Server][SQL Server]Login failed"),
            "Login failed");
  EXPECT_EQ(CleanDiagnostic("plain [text]"), "plain [text]");
}

TEST(OdbcTypes, ProcedureNamesAndCallEscapes) {
  struct Case {
    const char* text;
    std::string catalog, schema, name;
    int group;
    std::string call;
  };
  const Case cases[] = {
      {"p_test;1", "", "", "p_test", 1, "[p_test]"},
      {"Kp_AuditPosBill", "", "", "Kp_AuditPosBill", 1, "[Kp_AuditPosBill]"},
      {"p_group;2", "", "", "p_group", 2, "[p_group];2"},
      {"dbo.p_x", "", "dbo", "p_x", 1, "[dbo].[p_x]"},
      {"shop..p_x;1", "shop", "", "p_x", 1, "[shop]..[p_x]"},
      {"[my db].[dbo].[odd]]name]", "my db", "dbo", "odd]name", 1, "[my db].[dbo].[odd]]name]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ProcedureName parsed = ParseProcedureName(c.text);
    EXPECT_EQ(parsed.catalog, c.catalog);
    EXPECT_EQ(parsed.schema, c.schema);
    EXPECT_EQ(parsed.name, c.name);
    EXPECT_EQ(parsed.group, c.group);
    EXPECT_EQ(parsed.call_name, c.call);
  }
  EXPECT_EQ(CallEscape("[p]", 0), "{? = call [p]}");
  EXPECT_EQ(CallEscape("[p]", 2), "{? = call [p](?,?)}");
  EXPECT_EQ(EscapePattern("sp_Base%", "\\"), "sp\\_Base\\%");
}

TEST(OdbcTypes, TextRoundTripsThroughUtf16) {
  const std::string text = "插入单据明细失败！ a\xF0\x9F\x98\x80";
  EXPECT_EQ(Utf16ToUtf8(Utf8ToUtf16(text)), text);
  EXPECT_EQ(Utf8ToUtf16("\xFF"
                        "a"),
            (std::u16string{0xFFFD, u'a'}));
}

TEST(OdbcValues, ExactTextKeepsItsDigits) {
  EXPECT_EQ(ExactFromText("12.5000", false).ToString(), "12.5");
  EXPECT_EQ(ExactFromText("-0.0100", true).ToCurrency().scaled, -100);
  EXPECT_EQ(ExactFromText("922337203685477.5807", true).ToCurrency().scaled, INT64_MAX);
  Variant wide = ExactFromText("12345678901234567890123456789012.5", false);
  EXPECT_EQ(wide.type(), kVarTypeFmtBcd);
  EXPECT_EQ(KindOfType("money"), ValueKind::kMoney);
  EXPECT_EQ(KindOfType("nvarchar"), ValueKind::kText);
}

}  // namespace
}  // namespace tillbase::db::odbc

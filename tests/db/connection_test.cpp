#include "db/connection.h"

#include <gtest/gtest.h>

#include <functional>

#include "db/errors.h"
#include "db/query.h"
#include "db_fixture.h"

namespace tillbase::db {
namespace {

using testing::EmbeddedDbTest;
using testing::EmbeddedSettings;
using testing::SetSqlLogin;
using testing::TempDir;

TEST(ConnectionString, ReportsTheProviderFormAfterOpening) {
  TempDir dir;
  Connection c(EmbeddedSettings(dir.path()));
  SetSqlLogin(c, "master", "secret");
  c.Open();
  ASSERT_TRUE(c.Connected());
  EXPECT_EQ(c.ConnectionString(),
            "Provider=SQLOLEDB.1;Password=secret;Persist Security Info=True;User ID=sa;"
            "Initial Catalog=master;Data Source=(local)");
  c.Close();
  EXPECT_FALSE(c.Connected());

  // Without "Persist Security Info" the opened connection forgets the password.
  c.SetProperty("Persist Security Info", "False");
  c.Open();
  EXPECT_EQ(c.ConnectionString(),
            "Provider=SQLOLEDB.1;Persist Security Info=False;User ID=sa;"
            "Initial Catalog=master;Data Source=(local)");
}

TEST(ConnectionString, EmptyPasswordAndIntegratedLogin) {
  Connection sql;
  sql.SetProperty("Data Source", "srv");
  sql.SetProperty("Initial Catalog", "master");
  sql.SetProperty("Persist Security Info", "True");
  sql.SetProperty("User Id", "pos");
  EXPECT_EQ(sql.ConnectionString(),
            "Provider=SQLOLEDB.1;Persist Security Info=True;User ID=pos;Initial Catalog=master;"
            "Data Source=srv");

  Connection windows;
  windows.SetProperty("data source", "srv");
  windows.SetProperty("Initial Catalog", "shop;1");
  windows.SetProperty("Integrated Security", "SSPI");
  windows.SetProperty("Persist Security Info", "False");
  EXPECT_EQ(windows.ConnectionString(),
            "Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security Info=False;"
            "Initial Catalog=\"shop;1\";Data Source=srv");
}

TEST(ConnectionString, AcceptsTheProvidersFormAsInput) {
  TempDir dir;
  Connection c(EmbeddedSettings(dir.path()));
  c.SetConnectionString(
      "Provider=SQLOLEDB.1;Data Source=(local);Initial Catalog=master;User ID=sa;"
      "Password='p;w';Persist Security Info=True;Use Procedure for Prepare=1;"
      "Auto Translate=True;Packet Size=4096;Use Encryption for Data=False;"
      "Tag with column collation when possible=False;Connect Timeout=5");
  EXPECT_EQ(c.Property("user id"), "sa");
  EXPECT_EQ(c.Property("PASSWORD"), "p;w");
  EXPECT_EQ(c.ConnectionTimeout(), 5);
  c.Open();
  EXPECT_EQ(c.ConnectionString(),
            "Provider=SQLOLEDB.1;Password=\"p;w\";Persist Security Info=True;User ID=sa;"
            "Initial Catalog=master;Data Source=(local)");
  c.Close();
  Connection other;
  for (const char* bad : {"Provider=SQLOLEDB.1;Colour=blue", "Data Source", "Password='open",
                          "Connect Timeout=soon"}) {
    SCOPED_TRACE(bad);
    EXPECT_THROW(other.SetConnectionString(bad), DbError);
  }
}

TEST(ConnectionFailures, ClearMessagesAndStaysClosed) {
  TempDir dir;
  {
    Connection first(EmbeddedSettings(dir.path()));
    SetSqlLogin(first, "master", "secret");
    first.Open();  // creates the data directory with this sa password
  }
  struct Case {
    const char* what;
    std::function<void(Connection&)> set_up;
    const char* message_part;
  };
  const Case cases[] = {
      {"wrong password", [](Connection& c) { c.SetProperty("PASSWORD", "wrong"); }, "Login failed"},
      {"unknown provider", [](Connection& c) { c.SetProvider("MSDASQL"); },
       "Provider cannot be found"},
      {"unknown driver",
       [](Connection& c) {
         DriverSettings s = c.driver_settings();
         s.driver = "oracle";
         c.SetDriverSettings(s);
       },
       "Unknown database driver 'oracle'"},
      {"no data directory", [](Connection& c) { c.SetDriverSettings(DriverSettings{}); },
       "data directory"},
      {"missing default database", [](Connection& c) { c.SetDefaultDatabase("nowhere"); },
       "nowhere"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Connection connection(EmbeddedSettings(dir.path()));
    SetSqlLogin(connection, "master", "secret");
    c.set_up(connection);
    try {
      connection.Open();
      ADD_FAILURE() << "opened";
    } catch (const DbError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
    }
    EXPECT_FALSE(connection.Connected());
    EXPECT_THROW(connection.Execute("select 1"), DbError);
  }
  Connection c;
  EXPECT_THROW(c.SetProperty("Server", "x"), DbError);
}

TEST_F(EmbeddedDbTest, DefaultDatabaseIsMadeCurrentAfterOpening) {
  try {
    Exec("CREATE DATABASE shop");
  } catch (const DbError& e) {
    if (std::string(e.what()).find("not supported") != std::string::npos) {
      GTEST_SKIP() << "the engine cannot create databases yet";
    }
    throw;
  }
  Connection c(EmbeddedSettings(dir_.path()));
  SetSqlLogin(c, "shop");
  c.SetDefaultDatabase("shop");
  c.Open();
  EXPECT_EQ(c.CurrentDatabase(), "shop");
  EXPECT_EQ(connection().CurrentDatabase(), "master");
}

TEST_F(EmbeddedDbTest, ExecuteReportsRowsAffected) {
  Exec("CREATE TABLE t (id int, v int)");
  Exec("INSERT INTO t VALUES (1, 0)");
  Exec("INSERT INTO t VALUES (2, 0)");
  Exec("INSERT INTO t VALUES (3, 0)");
  EXPECT_EQ(connection().Execute("UPDATE t SET v = 1"), 3);
  EXPECT_EQ(connection().Execute("UPDATE t SET v = 2 WHERE id = 99"), 0);
  EXPECT_EQ(connection().Execute("INSERT INTO t VALUES (4, 0)\nINSERT INTO t VALUES (5, 0)"), 2);
  // Rows a SELECT returns are not rows affected; DDL reports no count.
  EXPECT_EQ(connection().Execute("SELECT * FROM t\nUPDATE t SET v = 3 WHERE id > 3"), 2);
  EXPECT_EQ(connection().Execute("CREATE TABLE u (id int)"), -1);
  try {
    connection().Execute("  \n ");
    ADD_FAILURE();
  } catch (const DbError& e) {
    EXPECT_STREQ(e.what(), "Command text was not set for the command object.");
  }
}

TEST_F(EmbeddedDbTest, TransactionsCommitAndRollBack) {
  Exec("CREATE TABLE t (id int)");
  connection().BeginTrans();
  EXPECT_TRUE(connection().InTransaction());
  Exec("INSERT INTO t VALUES (1)");
  connection().RollbackTrans();
  EXPECT_FALSE(connection().InTransaction());
  connection().BeginTrans();
  Exec("INSERT INTO t VALUES (2)");
  connection().CommitTrans();

  Query q(&connection());
  q.SetSql("SELECT id FROM t");
  q.Open();
  ASSERT_FALSE(q.Eof());
  EXPECT_EQ(q.FieldByName("id").AsInteger(), 2);
  q.Next();
  EXPECT_TRUE(q.Eof());
  EXPECT_THROW(connection().CommitTrans(), DbError);  // none open
}

TEST_F(EmbeddedDbTest, CloseClosesTheDatasetsAndSharesTheEngine) {
  Exec("CREATE TABLE t (id int)");
  Exec("INSERT INTO t VALUES (7)");
  // Another spelling of the same directory reaches the same engine.
  Connection other(EmbeddedSettings(dir_.path() + "/."));
  SetSqlLogin(other, "master");
  other.Open();
  Query q(&other);
  q.SetSql("SELECT id FROM t");
  q.Open();
  EXPECT_EQ(q.Fields(0).AsInteger(), 7);
  other.Close();
  EXPECT_FALSE(q.Active());
  other.Open();
  q.Open();
  EXPECT_TRUE(q.Active());

  // A dataset that outlives its connection is closed and detached.
  auto gone = std::make_unique<Connection>(EmbeddedSettings(dir_.path()));
  SetSqlLogin(*gone, "master");
  gone->Open();
  Query orphan(gone.get());
  orphan.SetSql("SELECT id FROM t");
  orphan.Open();
  gone.reset();
  EXPECT_FALSE(orphan.Active());
  EXPECT_EQ(orphan.connection(), nullptr);
  EXPECT_THROW(orphan.Open(), DbError);
}

}  // namespace
}  // namespace tillbase::db

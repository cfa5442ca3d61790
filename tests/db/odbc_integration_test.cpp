// Runs against a real SQL Server (or the engine's TDS listener) when
// TILLBASE_TEST_ODBC names one: a DSN ("shop") or a connection string
// ("DRIVER=FreeTDS;SERVER=host;PORT=1433;UID=sa;PWD=..."). Skipped otherwise.
#include <gtest/gtest.h>

#include <cstdlib>

#include "db/connection.h"
#include "db/errors.h"
#include "db/query.h"
#include "db/stored_proc.h"
#include "shared/proc_runner.h"

namespace tillbase::db {
namespace {

class OdbcIntegration : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* target = std::getenv("TILLBASE_TEST_ODBC");
    if (target == nullptr || *target == '\0') GTEST_SKIP() << "TILLBASE_TEST_ODBC is not set";
    DriverSettings settings;
    settings.driver = "odbc";
    std::string text = target;
    settings.odbc_extra = text.find('=') == std::string::npos ? "DSN=" + text : text;
    connection_ = std::make_unique<Connection>(settings);
    connection_->SetProperty("Initial Catalog", "master");
    connection_->SetProperty("Persist Security Info", "True");
    connection_->SetCommandTimeout(0);
    connection_->Open();
    // Procedure parameter lists are read from the current database.
    connection_->driver().ChangeDatabase("tempdb");
    connection_->Execute(
        "IF OBJECT_ID('tempdb..#t') IS NOT NULL DROP TABLE #t\n"
        "CREATE TABLE #t (id int, v numeric(18,4), s nvarchar(20))");
  }

  std::unique_ptr<Connection> connection_;
};

TEST_F(OdbcIntegration, BatchesCountsAndResultSets) {
  EXPECT_EQ(connection_->Execute("INSERT INTO #t VALUES (1, 12.5, N'苹果')\n"
                                 "INSERT INTO #t VALUES (2, NULL, NULL)\n"
                                 "INSERT INTO #t VALUES (3, 0.0001, N'x')"),
            3);
  EXPECT_EQ(connection_->Execute("UPDATE #t SET id = id + 10"), 3);
  Query q(connection_.get());
  q.SetEnableBcd(false);
  q.SetSql("SET NOCOUNT OFF\nDECLARE @x int\nSELECT id, v, s FROM #t ORDER BY id\nSELECT 2");
  q.Open();
  EXPECT_EQ(q.Fields(1).data_type(), 6);
  EXPECT_EQ(q.FieldByName("ID").AsInteger(), 11);
  EXPECT_EQ(q.FieldByName("v").Value(), Variant(12.5));
  EXPECT_EQ(q.FieldByName("s").AsString(), "苹果");
  // Another statement while the query is open: the rest is read first.
  EXPECT_EQ(connection_->Execute("UPDATE #t SET id = id WHERE id = 12"), 1);
  q.Next();
  EXPECT_TRUE(q.FieldByName("v").IsNull());
}

TEST_F(OdbcIntegration, ProceduresAsRemoteCalls) {
  connection_->Execute(
      "IF OBJECT_ID('tillbase_p_calc') IS NOT NULL DROP PROCEDURE tillbase_p_calc");
  connection_->Execute(
      "CREATE PROCEDURE tillbase_p_calc @a int, @total numeric(18,4) OUTPUT AS "
      "BEGIN SET @total = @a + 0.5 SELECT @a AS a RETURN @a * 2 END");
  StoredProc sp(connection_.get());
  Variant inputs = VarArrayOf({VarArrayOf({Variant("@A"), Variant(6)})});
  Variant out;
  EXPECT_EQ(ExecuteProcedure(sp, "tillbase_p_calc;1", inputs, &out), 12);
  std::vector<ParamEntry> entries = UnpackParams(out);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].value, Variant(6.5));
  EXPECT_EQ(entries[0].data_type, ftFloat);
  connection_->Execute("DROP PROCEDURE tillbase_p_calc");
}

TEST_F(OdbcIntegration, TransactionsAndDatabaseChanges) {
  connection_->BeginTrans();
  connection_->Execute("INSERT INTO #t VALUES (1, 1, N'a')");
  EXPECT_TRUE(connection_->InTransaction());
  connection_->RollbackTrans();
  Query q(connection_.get());
  q.SetSql("SELECT COUNT(*) FROM #t");
  q.Open();
  EXPECT_EQ(q.Fields(0).AsInteger(), 0);
  q.Close();
  connection_->driver().ChangeDatabase("master");
  EXPECT_EQ(connection_->CurrentDatabase(), "master");
  EXPECT_THROW(connection_->driver().ChangeDatabase("no_such_db_here"), DbError);
}

}  // namespace
}  // namespace tillbase::db

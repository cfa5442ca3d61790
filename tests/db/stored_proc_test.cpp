#include "db/stored_proc.h"

#include <gtest/gtest.h>

#include <functional>

#include "db/errors.h"
#include "db_fixture.h"
#include "shared/proc_params.h"

namespace tillbase::db {
namespace {

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

class StoredProcTest : public testing::EmbeddedDbTest {
 protected:
  void SetUp() override {
    EmbeddedDbTest::SetUp();
    Exec(
        "CREATE PROCEDURE p_calc @a int, @label varchar(10) OUTPUT, @total numeric(18,4) OUTPUT, "
        "@step int = 5 AS BEGIN SET @label = 'got ' + @label SET @total = @a + @step + 0.5 "
        "RETURN @a * 2 END");
    Exec(
        "CREATE PROCEDURE p_rows @n int AS BEGIN SELECT @n AS n, 'x' AS s SELECT 2 AS second "
        "RETURN 9 END");
  }
};

TEST_F(StoredProcTest, RefreshReadsTheParameterList) {
  StoredProc sp(&connection());
  sp.SetProcedureName("p_calc;1");
  sp.RefreshParameters();
  struct Expect {
    const char* name;
    int data_type;
    int direction;
  };
  const Expect expected[] = {{"@RETURN_VALUE", ftInteger, pdReturnValue},
                             {"@a", ftInteger, pdInput},
                             {"@label", ftString, pdInputOutput},
                             {"@total", ftBCD, pdInputOutput},
                             {"@step", ftInteger, pdInput}};
  ASSERT_EQ(sp.Params().Count(), 5);
  for (int i = 0; i < 5; ++i) {
    SCOPED_TRACE(expected[i].name);
    EXPECT_EQ(sp.Params().Items(i).name, expected[i].name);
    EXPECT_EQ(sp.Params().Items(i).data_type, expected[i].data_type);
    EXPECT_EQ(sp.Params().Items(i).direction, expected[i].direction);
  }
  EXPECT_EQ(sp.Params().Items(3).precision, 18);
  EXPECT_EQ(sp.Params().Items(3).scale, 4);
  EXPECT_EQ(&sp.ParamByName("@LABEL"), &sp.Params().Items(2));
  EXPECT_EQ(MessageOf([&] { sp.ParamByName("@nope"); }), "Parameter '@nope' not found");
  EXPECT_EQ(MessageOf([&] { sp.Params().Items(5); }), "List index out of bounds (5)");

  sp.SetProcedureName("no_such_proc");
  EXPECT_NE(MessageOf([&] { sp.RefreshParameters(); }).find("no_such_proc"), std::string::npos);
}

TEST_F(StoredProcTest, ExecProcWritesReturnValueAndOutputs) {
  StoredProc sp(&connection());
  sp.SetProcedureName("p_calc;1");
  sp.RefreshParameters();
  sp.ParamByName("@a").value = Variant(10);
  sp.ParamByName("@label").value = Variant("in");
  sp.ExecProc();  // @step keeps its declared default
  EXPECT_EQ(sp.Params().Items(0).value, Variant(20));
  EXPECT_EQ(sp.ParamByName("@label").value, Variant("got in"));
  EXPECT_EQ(sp.ParamByName("@total").value.ToDouble(), 15.5);
  EXPECT_FALSE(sp.Active());
}

// Repeated calls reuse what they can, yet follow a changed direction and a
// procedure changed and refreshed; result sets are passed over and the
// outputs are written before the procedure's error is raised.
TEST_F(StoredProcTest, RepeatedCallsFollowTheListAndTheProcedure) {
  StoredProc sp(&connection());
  sp.SetProcedureName("p_calc;1");
  sp.RefreshParameters();
  sp.ParamByName("@a").value = Variant(1);
  sp.ParamByName("@label").value = Variant("x");
  sp.ExecProc();
  EXPECT_EQ(sp.ParamByName("@label").value, Variant("got x"));
  sp.SetDirection(2, pdInput);  // sent, no longer written back
  sp.ParamByName("@label").value = Variant("y");
  sp.ExecProc();
  EXPECT_EQ(sp.ParamByName("@label").value, Variant("y"));

  Exec(
      "ALTER PROCEDURE p_calc @a int, @label varchar(20) OUTPUT, @total numeric(18,4) OUTPUT, "
      "@step int = 5 AS BEGIN SET @label = 'changed ' + @label RETURN @a END");
  sp.RefreshParameters();
  sp.ParamByName("@a").value = Variant(3);
  sp.ParamByName("@label").value = Variant("a longer");
  sp.ExecProc();
  EXPECT_EQ(sp.ParamByName("@label").value, Variant("changed a longer"));  // not cut to 10
  EXPECT_EQ(sp.Params().Items(0).value, Variant(3));

  Exec(
      "CREATE PROCEDURE p_late @out int OUTPUT AS BEGIN SELECT 1 AS n SET @out = 7 "
      "RAISERROR('late', 16, 1) RETURN 3 END");
  sp.SetProcedureName("p_late");
  sp.RefreshParameters();
  EXPECT_EQ(MessageOf([&] { sp.ExecProc(); }), "late");
  EXPECT_EQ(sp.ParamByName("@out").value, Variant(7));
  EXPECT_EQ(sp.Params().Items(0).value, Variant(3));
}

// A refresh may reuse the list it read last, but not once the procedure was
// changed (by another connection too), nor in another database with a
// procedure of that name.
TEST_F(StoredProcTest, RefreshSeesChangesToTheProcedure) {
  auto names = [](StoredProc& sp) {
    sp.RefreshParameters();
    std::string out;
    for (int i = 1; i < sp.Params().Count(); ++i) out += sp.Params().Items(i).name + " ";
    return out;
  };
  StoredProc sp(&connection());
  sp.SetProcedureName("p_rows");
  EXPECT_EQ(names(sp), "@n ");
  EXPECT_EQ(names(sp), "@n ");

  Connection other(testing::EmbeddedSettings(dir_.path()));
  testing::SetSqlLogin(other, "master");
  other.Open();
  other.Execute("ALTER PROCEDURE p_rows @n int, @m int = 1 AS SELECT @n + @m AS n");
  EXPECT_EQ(names(sp), "@n @m ");

  Exec("CREATE DATABASE shop2");
  Exec("USE shop2");
  Exec("CREATE PROCEDURE p_rows @k int, @l int, @z int AS SELECT @k AS n");
  EXPECT_EQ(names(sp), "@k @l @z ");
  Exec("USE master");
  EXPECT_EQ(names(sp), "@n @m ");
}

TEST_F(StoredProcTest, OpenForRowsAndTheOpenDatasetRule) {
  StoredProc sp(&connection());
  sp.SetProcedureName("p_rows");
  sp.RefreshParameters();
  sp.ParamByName("@n").value = Variant(4);
  sp.Open();
  EXPECT_EQ(sp.FieldByName("n").AsInteger(), 4);
  EXPECT_EQ(sp.FieldByName("s").data_type(), ftString);
  sp.SetProcedureName("p_rows");  // the same name again is fine
  EXPECT_EQ(MessageOf([&] { sp.SetProcedureName("p_calc"); }),
            "Cannot perform this operation on an open dataset");
  EXPECT_EQ(sp.ProcedureName(), "p_rows");
  // The return value arrives once the rest of the results has been read.
  sp.Records().FinishBatch();
  EXPECT_EQ(sp.Params().Items(0).value, Variant(9));
  sp.Close();
  sp.SetProcedureName("p_calc");
  EXPECT_EQ(sp.Params().Count(), 0);
}

// A client's StoredProc refreshes before it calls: system procedures answer
// with SQL Server's parameters, run, and open for their rows.
TEST_F(StoredProcTest, SystemProceduresRefreshRunAndOpen) {
  StoredProc sp(&connection());
  sp.SetProcedureName("sp_who");
  sp.RefreshParameters();
  ASSERT_EQ(sp.Params().Count(), 2);
  EXPECT_EQ(sp.Params().Items(0).direction, pdReturnValue);
  EXPECT_EQ(sp.Params().Items(1).name, "@loginame");
  EXPECT_EQ(sp.Params().Items(1).data_type, ftWideString);
  sp.ExecProc();
  EXPECT_EQ(sp.Params().Items(0).value, Variant(0));
  sp.ParamByName("@loginame").value = Variant("sa");
  sp.Open();
  ASSERT_FALSE(sp.Eof());
  EXPECT_EQ(sp.FieldByName("loginame").AsString(), "sa");
  EXPECT_GE(sp.FieldByName("spid").AsInteger(), 51);
  sp.Close();

  Exec("CREATE TABLE stock (code varchar(10), qty int)");
  sp.SetProcedureName("sp_columns");
  sp.RefreshParameters();
  ASSERT_EQ(sp.Params().Count(), 6);
  sp.ParamByName("@table_name").value = Variant("stock");
  sp.Open();
  std::string columns;
  for (; !sp.Eof(); sp.Next()) columns += sp.FieldByName("COLUMN_NAME").AsString() + " ";
  EXPECT_EQ(columns, "code qty ");
  sp.Close();
}

TEST_F(StoredProcTest, DatabaseErrorsCarryTheDatabaseText) {
  Exec("CREATE PROCEDURE p_fail AS BEGIN RAISERROR('库存不足', 16, 1) RETURN 1 END");
  StoredProc sp(&connection());
  sp.SetProcedureName("p_fail");
  sp.RefreshParameters();
  EXPECT_EQ(MessageOf([&] { sp.ExecProc(); }), "库存不足");
  StoredProc unnamed(&connection());
  EXPECT_EQ(MessageOf([&] { unnamed.ExecProc(); }),
            "Command text was not set for the command object.");
}

}  // namespace
}  // namespace tillbase::db

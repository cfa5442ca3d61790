// The procedure-running routine over the embedded database.
#include "shared/proc_runner.h"

#include <gtest/gtest.h>

#include <functional>

#include "db/query.h"
#include "db/stored_proc.h"
#include "db_fixture.h"

namespace tillbase {
namespace {

std::string MessageOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

Variant Entry(const char* name, Variant value) {
  return VarArrayOf({Variant(name), std::move(value), Variant(0), Variant(1), Variant(0),
                     Variant(0), Variant(0)});
}

class ProcRunnerTest : public db::testing::EmbeddedDbTest {
 protected:
  void SetUp() override {
    EmbeddedDbTest::SetUp();
    Exec("CREATE TABLE seen (a int, b varchar(20))");
    Exec(
        "CREATE PROCEDURE p_in @a int, @b varchar(20) AS BEGIN "
        "INSERT INTO seen VALUES (@a, @b) RETURN 7 END");
    Exec(
        "CREATE PROCEDURE p_test @total numeric(18,4) OUTPUT, @note varchar(10) OUTPUT, "
        "@set bit = 1 AS BEGIN IF @set = 1 SET @total = 12.5 SET @note = 'ok' RETURN 3 END");
    sp_ = std::make_unique<db::StoredProc>(&connection());
  }

  // The row p_in wrote.
  std::pair<Variant, Variant> Seen() {
    db::Query q(&connection());
    q.SetSql("SELECT a, b FROM seen");
    q.Open();
    EXPECT_FALSE(q.Eof());
    return {q.Fields(0).Value(), q.Fields(1).Value()};
  }

  std::unique_ptr<db::StoredProc> sp_;
};

TEST_F(ProcRunnerTest, InputsMatchNamesWithoutRegardToCase) {
  Variant out = Variant("untouched");
  Variant inputs = VarArrayOf(
      {Entry("@A", Variant(5)), Entry("b", Variant("no at sign")), Entry("@unused", Variant(1))});
  EXPECT_EQ(ExecuteProcedure(*sp_, "p_in;1", inputs, &out), 7);
  EXPECT_TRUE(out.IsNull());  // no output parameters
  auto [a, b] = Seen();
  EXPECT_EQ(a, Variant(5));
  EXPECT_TRUE(b.IsNull());  // "b" without "@" supplies nothing
}

TEST_F(ProcRunnerTest, NullOrEmptyInputListRunsWithoutValues) {
  for (const Variant& inputs : {Variant::Null(), VarArrayCreate(0, -1), Variant()}) {
    Exec("DELETE FROM seen");
    Variant out;
    EXPECT_EQ(ExecuteProcedure(*sp_, "p_in", inputs, &out), 7);
    auto [a, b] = Seen();
    EXPECT_TRUE(a.IsNull());
    EXPECT_TRUE(b.IsNull());
  }
}

// System procedures run through the routine like any other: the refresh
// reads SQL Server's parameter list for them.
TEST_F(ProcRunnerTest, SystemProceduresRun) {
  Variant out = Variant("untouched");
  EXPECT_EQ(ExecuteProcedure(*sp_, "sp_who", VarArrayOf({Entry("@loginame", Variant("sa"))}), &out),
            0);
  EXPECT_TRUE(out.IsNull());
  EXPECT_EQ(sp_->ParamCount(), 2);
  EXPECT_EQ(ExecuteProcedure(*sp_, "sp_columns",
                             VarArrayOf({Entry("@table_name", Variant("seen"))}), &out),
            0);
  EXPECT_EQ(sp_->ParamCount(), 6);
}

TEST_F(ProcRunnerTest, BcdOutputComesBackAsFloat) {
  Variant out;
  EXPECT_EQ(ExecuteProcedure(*sp_, "p_test;1", Variant::Null(), &out), 3);
  std::vector<ParamEntry> entries = UnpackParams(out);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0], (ParamEntry{"@total", Variant(12.5), ftFloat, ptInputOutput, 0, 0, 0}));
  EXPECT_EQ(entries[1], (ParamEntry{"@note", Variant("ok"), ftString, ptInputOutput, 0, 0, 0}));
}

TEST_F(ProcRunnerTest, NullBcdOutputFailsAfterTheProcedureRan) {
  Variant out = Variant("before");
  Variant inputs = VarArrayOf({Entry("@set", Variant(false))});
  EXPECT_EQ(MessageOf([&] { ExecuteProcedure(*sp_, "p_test", inputs, &out); }),
            "Could not convert variant of type (Null) into type (Double)");
  EXPECT_EQ(out, Variant("before"));
}

TEST_F(ProcRunnerTest, OpenComponentRefusesAnotherProcedure) {
  Exec("CREATE PROCEDURE p_list AS BEGIN SELECT 1 AS x RETURN 0 END");
  sp_->SetProcedureName("p_list");
  sp_->RefreshParameters();
  sp_->Open();
  Variant out;
  EXPECT_EQ(MessageOf([&] { ExecuteProcedure(*sp_, "p_in", Variant::Null(), &out); }),
            "Cannot perform this operation on an open dataset");
  EXPECT_EQ(ExecuteProcedure(*sp_, "p_list", Variant::Null(), &out), 0);
}

TEST_F(ProcRunnerTest, ParameterArrayRoundTrip) {
  sp_->SetProcedureName("p_in");
  sp_->RefreshParameters();
  Variant array = ProcParamsToArray(*sp_);
  ASSERT_EQ(array.Count(), 3);
  EXPECT_EQ(array.Get(0),
            VarArrayOf({Variant("@RETURN_VALUE"), Variant(), Variant(3), Variant(4)}));
  EXPECT_EQ(array.Get(2).Get(0), Variant("@b"));

  // Back by position: values, types (BCD becomes float) and directions.
  Variant back =
      VarArrayOf({Variant(), VarArrayOf({Variant("x"), Variant(9), Variant(8), Variant(1)}),
                  VarArrayOf({Variant("y"), Variant("v"), Variant(1), Variant(1)})});
  ArrayToProcParams(back, *sp_);
  EXPECT_EQ(sp_->Param(1).value, Variant(9));
  EXPECT_EQ(sp_->Param(1).data_type, ftFloat);
  sp_->ExecProc();
  auto [a, b] = Seen();
  EXPECT_EQ(a, Variant(9));
  EXPECT_EQ(b, Variant("v"));

  Variant bad =
      VarArrayOf({Variant(), VarArrayOf({Variant("x"), Variant(1), Variant("abc"), Variant(1)})});
  EXPECT_EQ(MessageOf([&] { ArrayToProcParams(bad, *sp_); }),
            "执行存储过程失败。\r\r过程参数 '@a' 的数据类型与传入值的数据类型不一致。");
  Variant too_long = VarArrayOf({Variant(), back.Get(1), back.Get(2), back.Get(2)});
  EXPECT_EQ(MessageOf([&] { ArrayToProcParams(too_long, *sp_); }), "List index out of bounds (3)");
}

}  // namespace
}  // namespace tillbase

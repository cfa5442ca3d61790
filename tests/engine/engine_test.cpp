// The embedded engine through its public interface: storage, typed results,
// control flow, errors, procedures, transactions, temp tables, and the
// batches the server itself sends.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "engine/engine.h"

namespace tillbase::engine {
namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() {
    std::string tmpl = (fs::temp_directory_path() / "tillbase-engine-XXXXXX").string();
    path_ = mkdtemp(tmpl.data());
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string path() const { return path_.string(); }

 private:
  fs::path path_;
};

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EngineOptions o;
    o.data_dir = dir_.path();
    o.server_name = "tillbase";
    engine_ = Engine::Open(o);
    conn_ = Connect();
  }
  std::unique_ptr<Connection> Connect() {
    ConnectOptions c;
    c.login = "sa";
    return engine_->Connect(c);
  }
  // Runs a batch that must succeed.
  BatchResult Run(const std::string& sql, Connection* c = nullptr) {
    BatchResult r = (c ? c : conn_.get())->ExecuteBatch(sql);
    if (const Message* e = r.FirstError()) ADD_FAILURE() << sql << "\n-> " << e->number << " " << e->text;
    return r;
  }
  // The first error of a batch that must fail.
  Message Fail(const std::string& sql) {
    BatchResult r = conn_->ExecuteBatch(sql);
    const Message* e = r.FirstError();
    if (!e) {
      ADD_FAILURE() << "expected an error from: " << sql;
      return {};
    }
    return *e;
  }
  // The single value of a one-row, one-column query.
  Value One(const std::string& sql, Connection* c = nullptr) {
    BatchResult r = Run(sql, c);
    if (r.result_sets.empty() || r.result_sets.back().rows.size() != 1) {
      ADD_FAILURE() << "expected one row from: " << sql;
      return {};
    }
    return r.result_sets.back().rows[0][0];
  }

  TempDir dir_;
  std::shared_ptr<Engine> engine_;
  std::unique_ptr<Connection> conn_;
};

int64_t Int(const Value& v) { return std::get<int64_t>(v); }
std::string Str(const Value& v) { return std::get<std::string>(v); }
std::string Dec(const Value& v) { return std::get<Decimal>(v).ToString(); }

TEST_F(EngineTest, MasterFileIsCreatedAndDataOutlivesTheEngine) {
  EXPECT_TRUE(fs::exists(fs::path(dir_.path()) / "master.sqlite"));
  Run("create table t (id int identity(10, 5), name nvarchar(20) not null)\n"
      "insert t (name) values (N'中文'), ('b')");
  conn_.reset();
  engine_.reset();
  EngineOptions o;
  o.data_dir = dir_.path();
  engine_ = Engine::Open(o);
  conn_ = Connect();
  BatchResult r = Run("select id, name from t order by id\ninsert t (name) values ('c') select @@identity");
  ASSERT_EQ(r.result_sets.size(), 2u);
  ASSERT_EQ(r.result_sets[0].rows.size(), 2u);
  EXPECT_EQ(Int(r.result_sets[0].rows[0][0]), 10);
  EXPECT_EQ(Str(r.result_sets[0].rows[0][1]), "中文");
  EXPECT_EQ(Int(r.result_sets[0].rows[1][0]), 15);
  // The identity carries on after the highest value on file.
  EXPECT_EQ(Dec(r.result_sets[1].rows[0][0]), "20");
}

TEST_F(EngineTest, ResultColumnsCarryTheirTypes) {
  Run("create table p (id int identity primary key, code varchar(12) not null, price money null,"
      " rate decimal(9, 3) default 1.5, qty float, at datetime, ok bit)");
  BatchResult r = Run("insert p (code, price, qty, at, ok) values ('x', 12.5, 2, '2024-01-02 03:04:05', 1)\n"
                      "select * from p\n"
                      "select price * 2 as p2, rate + 1 as r1, code + 'y' as c2, count(*) as n from p group by price, rate, code");
  ASSERT_EQ(r.result_sets.size(), 2u);
  const auto& cols = r.result_sets[0].columns;
  ASSERT_EQ(cols.size(), 7u);
  EXPECT_EQ(cols[0].type.type, SqlType::kInt);
  EXPECT_TRUE(cols[0].identity);
  EXPECT_TRUE(cols[0].key);
  EXPECT_FALSE(cols[0].nullable);
  EXPECT_EQ(cols[0].base_table, "p");
  EXPECT_EQ(cols[1].type.type, SqlType::kVarChar);
  EXPECT_EQ(cols[1].type.length, 12);
  EXPECT_EQ(cols[2].type.type, SqlType::kMoney);
  EXPECT_TRUE(cols[2].nullable);
  EXPECT_EQ(cols[3].type.precision, 9);
  EXPECT_EQ(cols[3].type.scale, 3);
  const auto& row = r.result_sets[0].rows[0];
  EXPECT_EQ(Dec(row[2]), "12.5000");
  EXPECT_EQ(Dec(row[3]), "1.500");  // the default, at the column's scale
  EXPECT_EQ(std::get<double>(row[4]), 2.0);
  EXPECT_TRUE(std::holds_alternative<DateTime>(row[5]));
  EXPECT_EQ(Int(row[6]), 1);
  const auto& row2 = r.result_sets[1].rows[0];
  EXPECT_EQ(Dec(row2[0]), "25.0000");
  EXPECT_EQ(Dec(row2[1]), "2.500");
  EXPECT_EQ(Str(row2[2]), "xy");
  EXPECT_EQ(Int(row2[3]), 1);
}

TEST_F(EngineTest, VariablesAndControlFlow) {
  BatchResult r = Run(
      "create table n (v int)\n"
      "insert n values (3), (1), (2)\n"
      "declare @i int, @s varchar(100) = '', @last int = -1\n"
      "set @i = 0\n"
      "while @i < 10 begin\n"
      "  set @i = @i + 1\n"
      "  if @i % 2 = 0 continue\n"
      "  if @i > 7 break\n"
      "  set @s = @s + cast(@i as varchar) + ','\n"
      "end\n"
      "select @last = v from n order by v\n"  // the last row wins
      "select @i, @s, @last\n"
      "select @last = v from n where v > 100\n"  // no row: unchanged
      "select @last");
  ASSERT_EQ(r.result_sets.size(), 2u);
  EXPECT_EQ(Int(r.result_sets[0].rows[0][0]), 9);
  EXPECT_EQ(Str(r.result_sets[0].rows[0][1]), "1,3,5,7,");
  EXPECT_EQ(Int(r.result_sets[0].rows[0][2]), 3);
  EXPECT_EQ(Int(r.result_sets[1].rows[0][0]), 3);
}

TEST_F(EngineTest, SemanticsOfSqlServer) {
  struct Case {
    const char* expr;
    const char* want;  // text of the value, "NULL" for NULL
  };
  const Case cases[] = {
      {"'1' + 1", "2"},
      {"7 / 2", "3"},
      {"-7 / 2", "-3"},
      {"7 % 3", "1"},
      {"null + 'x'", "NULL"},
      {"case when 'ABC' = 'abc  ' then 'same' else 'differ' end", "same"},
      {"len('ab  ')", "2"},
      {"isnull(null, 5)", "5"},
      {"coalesce(null, null, 'z')", "z"},
      {"nullif(3, 3)", "NULL"},
  };
  for (const Case& c : cases) {
    BatchResult r = Run(std::string("select ") + c.expr);
    ASSERT_EQ(r.result_sets.size(), 1u) << c.expr;
    const Value& v = r.result_sets[0].rows[0][0];
    std::string got = IsNull(v)                              ? "NULL"
                      : std::holds_alternative<int64_t>(v)   ? std::to_string(Int(v))
                      : std::holds_alternative<Decimal>(v)   ? Dec(v)
                                                             : Str(v);
    EXPECT_EQ(got, c.want) << c.expr;
  }
}

TEST_F(EngineTest, ErrorsCarrySqlServerNumbers) {
  Run("create table e (id int primary key, name varchar(10) not null)\ninsert e values (1, 'a')");
  struct Case {
    const char* sql;
    int number;
  };
  const Case cases[] = {
      {"select * from nosuch", 208},
      {"select nosuch from e", 207},
      {"exec nosuchproc", 2812},
      {"select 'abc' + 1", 245},
      {"insert e values (2, null)", 515},
      {"insert e values (1, 'b')", 2627},
      {"select 1 / 0", 8134},
      {"select from where", 156},
      {"select 1 +", 102},
      {"select @undeclared", 137},
      {"raiserror('boom %d', 16, 1, 42)", 50000},
      {"commit", 3902},
      {"create table e (x int)", 2714},
      {"declare c cursor for select 1", 40517},
  };
  for (const Case& c : cases) {
    Message m = Fail(c.sql);
    EXPECT_EQ(m.number, c.number) << c.sql << " -> " << m.text;
    EXPECT_GE(m.severity, 11) << c.sql;
  }
  EXPECT_EQ(Fail("raiserror('boom %d', 16, 1, 42)").text, "boom 42");
  EXPECT_EQ(Fail("select * from nosuch").text, "Invalid object name 'nosuch'.");
}

TEST_F(EngineTest, StatementErrorsGoOnBatchErrorsStop) {
  Run("create table s (id int primary key)");
  BatchResult r = conn_->ExecuteBatch(
      "insert s values (1)\n"
      "insert s values (1)\n"
      "select @@error as e\n"
      "select @@error as e2\n"
      "raiserror('soft', 16, 1)\n"
      "select @@error as e3\n"
      "select 'abc' + 1\n"
      "select 'never'");
  ASSERT_TRUE(r.HasError());
  ASSERT_EQ(r.result_sets.size(), 4u);
  EXPECT_EQ(Int(r.result_sets[0].rows[0][0]), 2627);
  EXPECT_EQ(Int(r.result_sets[1].rows[0][0]), 0);
  EXPECT_EQ(Int(r.result_sets[2].rows[0][0]), 50000);
  EXPECT_TRUE(r.result_sets[3].rows.empty());  // the conversion failure ends the batch
  EXPECT_EQ(Int(One("select count(*) from s")), 1);
  // A syntax error runs nothing of its batch.
  BatchResult bad = conn_->ExecuteBatch("insert s values (5)\nselect from");
  EXPECT_TRUE(bad.HasError());
  EXPECT_EQ(Int(One("select count(*) from s where id = 5")), 0);
}

TEST_F(EngineTest, TryCatchSeesTheError) {
  BatchResult r = Run(
      "begin try\n"
      "  select 1 / 0\n"
      "  select 'not reached'\n"
      "end try\n"
      "begin catch\n"
      "  select error_number() as n, error_message() as m\n"
      "end catch");
  const ResultSet& last = r.result_sets.back();
  EXPECT_EQ(Int(last.rows[0][0]), 8134);
  EXPECT_EQ(Str(last.rows[0][1]), "Divide by zero error encountered.");
}

TEST_F(EngineTest, RowCountsAndNocount) {
  Run("create table c (v int)");
  BatchResult r = Run("insert c values (1), (2)\nupdate c set v = v + 1\nselect @@rowcount as rc\ndelete c where v = 3");
  EXPECT_EQ(r.row_counts, (std::vector<int64_t>{2, 2, 1, 1}));
  EXPECT_EQ(Int(r.result_sets[0].rows[0][0]), 2);
  BatchResult quiet = Run("set nocount on\ninsert c values (9)\nselect * from c");
  EXPECT_TRUE(quiet.row_counts.empty());
  EXPECT_EQ(quiet.result_sets[0].rows.size(), 2u);
}

TEST_F(EngineTest, ProceduresWithParametersOutputsAndGroups) {
  Run("create procedure p_test @a int, @b varchar(10) = 'dflt', @total decimal(18, 4) output\n"
      "as\n"
      "  set @total = @a * 1.5\n"
      "  select @b as b\n"
      "  return @a + 1");
  Run("create procedure p_test;2 as return 42");
  BatchResult r = Run("declare @t decimal(18, 4), @r int\n"
                      "exec @r = p_test 2, @total = @t output\n"
                      "select @t, @r\n"
                      "exec @r = p_test;2\n"
                      "select @r");
  ASSERT_EQ(r.result_sets.size(), 3u);
  EXPECT_EQ(Str(r.result_sets[0].rows[0][0]), "dflt");
  EXPECT_EQ(Dec(r.result_sets[1].rows[0][0]), "3.0000");
  EXPECT_EQ(Int(r.result_sets[1].rows[0][1]), 3);
  EXPECT_EQ(Int(r.result_sets[2].rows[0][0]), 42);

  std::vector<ProcParamInfo> params = conn_->DescribeProcedure("p_test;1");
  ASSERT_EQ(params.size(), 4u);
  EXPECT_EQ(params[0].name, "@RETURN_VALUE");
  EXPECT_EQ(params[0].direction, ParamDirection::kReturnValue);
  EXPECT_EQ(params[0].type.type, SqlType::kInt);
  EXPECT_EQ(params[2].name, "@b");
  EXPECT_TRUE(params[2].has_default);
  EXPECT_EQ(params[3].direction, ParamDirection::kInputOutput);
  EXPECT_EQ(params[3].type.precision, 18);
  EXPECT_EQ(params[3].type.scale, 4);
  EXPECT_THROW(conn_->DescribeProcedure("nosuch"), EngineError);

  CollectingSink sink;
  std::vector<ProcArgument> args(3);
  args[0].name = "@total";
  args[0].output = true;
  args[0].type = TypeInfo{SqlType::kDecimal, 0, 18, 4};
  args[1].name = "@a";
  args[1].value = int64_t{4};
  args[2].name = "@b";
  args[2].value = std::string("given");
  CallResult c = conn_->CallProcedure("dbo.p_test", args, sink);
  ASSERT_TRUE(c.return_status.has_value());
  EXPECT_EQ(*c.return_status, 5);
  EXPECT_EQ(Dec(c.outputs[0]), "6.0000");
  EXPECT_TRUE(IsNull(c.outputs[1]));
  EXPECT_EQ(Str(sink.result().result_sets[0].rows[0][0]), "given");

  CollectingSink missing;
  CallResult m = conn_->CallProcedure("p_test", {}, missing);
  EXPECT_FALSE(m.return_status.has_value());
  ASSERT_NE(missing.result().FirstError(), nullptr);
  EXPECT_EQ(missing.result().FirstError()->number, 201);
}

TEST_F(EngineTest, TransactionsNestAndSpanBatches) {
  Run("create table tx (v int)");
  Run("begin tran\ninsert tx values (1)\nbegin tran\ninsert tx values (2)\ncommit");
  EXPECT_EQ(conn_->TransactionCount(), 1);
  auto other = Connect();
  Run("insert tx values (3)\nselect @@trancount");
  Run("rollback");
  EXPECT_EQ(conn_->TransactionCount(), 0);
  EXPECT_EQ(Int(One("select count(*) from tx")), 0);
  Run("begin transaction\ninsert tx values (4)\ncommit transaction");
  EXPECT_EQ(Int(One("select count(*) from tx", other.get())), 1);
  // XACT_ABORT: an error rolls back and ends the batch.
  BatchResult r = conn_->ExecuteBatch(
      "set xact_abort on\nbegin tran\ninsert tx values (5)\nselect 1/0\ninsert tx values (6)");
  EXPECT_TRUE(r.HasError());
  EXPECT_EQ(conn_->TransactionCount(), 0);
  Run("set xact_abort off");
  EXPECT_EQ(Int(One("select count(*) from tx")), 1);
}

TEST_F(EngineTest, TempTablesBelongToTheirConnection) {
  Run("create table #t (v int)\ninsert #t values (7)");
  EXPECT_EQ(Int(One("select v from #t")), 7);
  auto other = Connect();
  BatchResult r = other->ExecuteBatch("select * from #t");
  ASSERT_NE(r.FirstError(), nullptr);
  EXPECT_EQ(r.FirstError()->number, 208);
  Run("create table #t (w varchar(5))", other.get());
  Run("drop table #t");
  EXPECT_EQ(Int(One("select count(*) from #t", other.get())), 0);
}

TEST_F(EngineTest, IdentityScopes) {
  Run("create table a (id int identity(1, 1), v int)\n"
      "create table b (id int identity(100, 10), v int)");
  Run("create procedure ins_b as insert b (v) values (1)");
  BatchResult r = Run(
      "insert a (v) values (1)\n"
      "exec ins_b\n"
      "select @@identity as i, scope_identity() as s");
  EXPECT_EQ(Dec(r.result_sets[0].rows[0][0]), "100");
  EXPECT_EQ(Dec(r.result_sets[0].rows[0][1]), "1");
}

TEST_F(EngineTest, AccountSetTableIsCreatedOnce) {
  const std::string get_zt =
      "IF NOT EXISTS(SELECT 1 FROM sysobjects \r\n"
      "               WHERE id = object_id('KeppaPosZt') AND type='U') \r\n"
      "  CREATE TABLE KeppaPosZt\r\n"
      "    ([order]  INT     IDENTITY ,\r\n"
      "     dbname   VARCHAR(50) NULL ,\r\n"
      "     fullname VARCHAR(50) NULL)\r\n";
  Run(get_zt);
  Run("insert into KeppaPosZt(dbname, fullname) \r\n values('shop1', 'Shop one')");
  Run(get_zt);  // the table is there: nothing happens
  // The guard generated scripts put before DROP/CREATE.
  EXPECT_EQ(Int(One("select count(*) from sysobjects where id = object_id(N'[dbo].[KeppaPosZt]') "
                    "and objectproperty(id, N'IsUserTable') = 1")),
            1);
  BatchResult r = Run("select [order], dbname from KeppaPosZt");
  ASSERT_EQ(r.result_sets[0].rows.size(), 1u);
  EXPECT_EQ(Int(r.result_sets[0].rows[0][0]), 1);
  Run("delete from KeppaPosZt where [order] = 1");
  EXPECT_EQ(Int(One("select count(*) from KeppaPosZt")), 0);
}

TEST_F(EngineTest, SalesUploadBatch) {
  Run("create table TillbaseSaleIndex (VchCode int identity(1,1) primary key, BillCode varchar(50),"
      " Btypeid varchar(50), Ktypeid varchar(50), Cashier varchar(50), SalesMan varchar(50),"
      " VipCardid int, Total float, BillDiscount float, Efface float, FinallyTotal float,"
      " PosID varchar(50), SaleDate varchar(10), SaleTime varchar(10), Draft int, DraftVchcode int,"
      " CashSum float, CreditSum float, ReplaceCashSum float, SaveAccountSum float, ChangeSum float,"
      " VipIntegral float, BackGoodsVchCode int, SGCXBillID float, RetReplaceCashSum float,"
      " IsUpSend int, UpLoadPosVchCode int)");
  Run("create table TillbaseSaleList (PosVchcode int not null, PtypeID varchar(50), ColorID int,"
      " SizeID int, Qty float, RetailPrice float, DisCount float, DisCountRate float, Price float,"
      " [Sum] float, IsPresent int, CXBillID varchar(50), CXJFXS float, IsUpSend int,"
      " UpLoadPosVchCode int)");
  std::string batch =
      "declare @tmpDlyOrder int \n"
      "declare @RetStr varchar(8000) \n"
      "set @RetStr = ''  \n"
      "declare @ErrorRetStr varchar(8000) \n"
      "set @ErrorRetStr = ''  \n"
      "declare @PosVchCodeStr varchar(8000) \n"
      "set @PosVchCodeStr = ''  \n"
      "declare @RepeatStr varchar(8000) \n"
      "set @RepeatStr = ''  \n"
      " select @RepeatStr = @RepeatStr + '13,'\n";
  for (int code : {12, 15}) {
    std::string c = std::to_string(code);
    batch +=
        "insert into [dbo].[TillbaseSaleIndex] (  [BillCode],      [Btypeid],      [Ktypeid],      "
        "[Cashier],   [SalesMan],      [VipCardid],          [Total],     [BillDiscount],   "
        "[Efface],    [FinallyTotal],    [PosID],   [SaleDate],        [SaleTime],     [Draft],     "
        "[DraftVchcode],   [CashSum],         [CreditSum],     [ReplaceCashSum],       "
        "[SaveAccountSum],    [ChangeSum],   [VipIntegral],[BackGoodsVchCode],     [SGCXBillID],  "
        "    [RetReplaceCashSum],        [IsUpSend],    [UpLoadPosVchCode] ) values (    'B" +
        c + "',   'b1',   'k1',   'cash',    'sm',     0,       12.5,       0,     0,      12.5,  "
            "     'P1',    '2024-01-02',      '10:00',       0,     0,    12.5,  0,     0,       "
            "0,       0,     1E-006,      0,       0,       0,    0,      " + c +
        "  ) set @tmpDlyOrder = @@identity \n"
        " if @@error<>0 begin RAISERROR('插入单据明细失败！单据无法保存！', 16, 1)  select "
        "@ErrorRetStr = @ErrorRetStr + '" + c + ",' return  end\n"
        " insert into [dbo].[TillbaseSaleList] (  [PosVchcode], [PtypeID],     [ColorID],      "
        "[SizeID],       [Qty],    [RetailPrice],     [DisCount],       [DisCountRate],      "
        "[Price],     [Sum],  [IsPresent],     [CXBillID], [CXJFXS], [IsUpSend],[UpLoadPosVchCode] "
        ")   values (@tmpDlyOrder, 'G1',   0,   0,  2,             6.25,     0,       1,       "
        "6.25,             12.5,     0,       '',       0,       0,   " + c + ") \n"
        " if @@error<>0 begin RAISERROR('插入单据颜色尺码明细失败！单据无法保存！', 16, 1)  select "
        "@ErrorRetStr = @ErrorRetStr + '" + c + ",'  return end \n"
        " select @RetStr = @RetStr + '" + c + ",'\n"
        " select @PosVchCodeStr = @PosVchCodeStr + cast(@tmpDlyOrder as varchar) + ','\n";
  }
  batch +=
      " select @RetStr as RetStr,RepeatStr = @RepeatStr, @ErrorRetStr as "
      "ErrorRetStr,@PosVchCodeStr as PosVchCodeStr \n";
  Run("begin tran");
  BatchResult r = Run(batch);
  Run("commit");
  ASSERT_EQ(r.result_sets.size(), 1u);
  const ResultSet& rs = r.result_sets[0];
  ASSERT_EQ(rs.columns.size(), 4u);
  EXPECT_EQ(rs.columns[1].name, "RepeatStr");
  EXPECT_EQ(Str(rs.rows[0][0]), "12,15,");
  EXPECT_EQ(Str(rs.rows[0][1]), "13,");
  EXPECT_EQ(Str(rs.rows[0][2]), "");
  EXPECT_EQ(Str(rs.rows[0][3]), "1,2,");
  EXPECT_EQ(Int(One("select count(*) from TillbaseSaleList l join TillbaseSaleIndex i on "
                    "i.VchCode = l.PosVchcode and i.UpLoadPosVchCode = l.UpLoadPosVchCode")),
            2);
  // A failing line insert raises the batch's message and ends it before its last select.
  std::string failing =
      "declare @tmpDlyOrder int \n"
      "insert into TillbaseSaleList (PosVchcode) values (@tmpDlyOrder) \n"
      " if @@error<>0 begin RAISERROR('插入单据颜色尺码明细失败！单据无法保存！', 16, 1)  "
      "return end \n"
      " select 'not reached'";
  BatchResult f = conn_->ExecuteBatch(failing);
  EXPECT_TRUE(f.result_sets.empty());
  ASSERT_EQ(f.messages.size(), 3u);
  EXPECT_EQ(f.messages[0].number, 515);
  EXPECT_EQ(f.messages[1].number, 3621);  // "The statement has been terminated."
  EXPECT_EQ(f.messages[2].number, 50000);
  EXPECT_EQ(f.messages[2].text, "插入单据颜色尺码明细失败！单据无法保存！");
}

TEST_F(EngineTest, RepeatedTextReusesItsTranslation) {
  Run("create table r (v int)");
  for (int i = 0; i < 3; ++i) Run("insert r values (1)");
  // A schema change between runs of the same text is seen.
  Run("alter table r add w varchar(5) null");
  BatchResult b = Run("select * from r");
  EXPECT_EQ(b.result_sets[0].columns.size(), 2u);
  Run("drop table r\ncreate table r (x varchar(3))\ninsert r values ('abc')");
  BatchResult c = Run("select * from r");
  ASSERT_EQ(c.result_sets[0].columns.size(), 1u);
  EXPECT_EQ(Str(c.result_sets[0].rows[0][0]), "abc");
}

TEST_F(EngineTest, QueriesJoinsUnionsAndDerivedTables) {
  Run("create table g (id int, grp varchar(5), amt money)\n"
      "insert g values (1, 'a', 1), (2, 'a', 2.5), (3, 'B', 4), (4, null, 8)\n"
      "create table h (grp varchar(5), label nvarchar(10))\n"
      "insert h values ('A', N'first'), ('b', N'second')");
  BatchResult r = Run(
      "select top 2 g.id, h.label from g join h on h.grp = g.grp order by g.id desc\n"
      "select d.grp, d.total from (select grp, sum(amt) as total from g group by grp) d "
      "where d.total > 3 order by 2\n"
      "select id from g where grp is null union select 10 union all select 10 order by 1\n"
      "select g.id, h.label from g left join h on h.grp = g.grp where h.label is null\n"
      "select count(distinct grp) as n, min(amt) as lo, avg(amt) as mean from g\n"
      "select id from g where id in (select id from g where amt >= 4) and exists "
      "(select 1 from h where h.grp = g.grp)");
  ASSERT_EQ(r.result_sets.size(), 6u);
  const auto& top = r.result_sets[0].rows;
  ASSERT_EQ(top.size(), 2u);
  EXPECT_EQ(Int(top[0][0]), 3);
  EXPECT_EQ(Str(top[0][1]), "second");  // 'B' joins 'b': comparisons ignore case
  const auto& derived = r.result_sets[1].rows;
  ASSERT_EQ(derived.size(), 3u);
  EXPECT_EQ(Dec(derived[0][1]), "3.5000");
  EXPECT_EQ(Dec(derived[1][1]), "4.0000");
  EXPECT_TRUE(IsNull(derived[2][0]));
  const auto& uni = r.result_sets[2].rows;
  ASSERT_EQ(uni.size(), 3u);
  EXPECT_EQ(Int(uni[0][0]), 4);
  EXPECT_EQ(Int(uni[2][0]), 10);
  ASSERT_EQ(r.result_sets[3].rows.size(), 1u);
  EXPECT_EQ(Int(r.result_sets[3].rows[0][0]), 4);
  EXPECT_EQ(Int(r.result_sets[4].rows[0][0]), 2);
  EXPECT_EQ(Dec(r.result_sets[4].rows[0][1]), "1.0000");
  EXPECT_EQ(Dec(r.result_sets[4].rows[0][2]), "3.8750");
  ASSERT_EQ(r.result_sets[5].rows.size(), 1u);
  EXPECT_EQ(Int(r.result_sets[5].rows[0][0]), 3);
}

TEST_F(EngineTest, DmlForms) {
  Run("create table o (id int identity, code varchar(5) not null, qty int default 0)\n"
      "create table b (code varchar(5), extra int)\n"
      "insert o (code) values ('a'), ('b'), ('c')\n"
      "insert b values ('A', 10), ('b', 20)\n"
      "update o set qty = o.qty + b.extra from o inner join b on b.code = o.code\n"
      "update top (1) o set qty = qty + 1 where code = 'c'\n"
      "insert o (code, qty) select code, extra from b where extra > 15\n"
      "delete o from o join b on b.code = o.code where b.extra = 10");
  BatchResult r = Run("select code, qty from o order by id");
  ASSERT_EQ(r.result_sets[0].rows.size(), 3u);
  EXPECT_EQ(Str(r.result_sets[0].rows[0][0]), "b");
  EXPECT_EQ(Int(r.result_sets[0].rows[0][1]), 20);
  EXPECT_EQ(Int(r.result_sets[0].rows[1][1]), 1);
  EXPECT_EQ(Int(r.result_sets[0].rows[2][1]), 20);
  // Too long for the column: refused, nothing written.
  EXPECT_EQ(Fail("insert o (code) values ('toolong')").number, 8152);
  EXPECT_EQ(Fail("update o set code = 'toolong'").number, 8152);
  EXPECT_EQ(Int(One("select count(*) from o where len(code) > 5")), 0);
  Run("create table dv (id int identity, at datetime default getdate(), n int default (3), "
      "s varchar(4) default 'x')\ninsert dv default values\ninsert dv (s) values (default), ('y')");
  BatchResult dv = Run("select id, n, s, case when at is null then 0 else 1 end from dv order by id");
  ASSERT_EQ(dv.result_sets[0].rows.size(), 3u);
  EXPECT_EQ(Int(dv.result_sets[0].rows[0][1]), 3);
  EXPECT_EQ(Str(dv.result_sets[0].rows[1][2]), "x");
  EXPECT_EQ(Str(dv.result_sets[0].rows[2][2]), "y");
  EXPECT_EQ(Int(dv.result_sets[0].rows[2][3]), 1);
  Run("truncate table o\ninsert o (code) values ('z')");
  EXPECT_EQ(Int(One("select id from o")), 1);  // TRUNCATE starts the identity again
}

TEST_F(EngineTest, SchemaStatements) {
  Run("create table s1 (a int, b varchar(10))\n"
      "insert s1 values (1, 'x')\n"
      "alter table s1 add c money null, d int not null default 5\n"
      "alter table s1 drop column b\n"
      "create unique index ix_a on s1 (a)");
  Run("create view v1 as select a, c, d from s1 where a > 0");
  EXPECT_EQ(Fail("select 1\ncreate view v2 as select 1 as one").number, 111);
  Run("select a, c, d into #copy from v1");
  BatchResult r = Run("select * from #copy\nselect name from sysobjects where type = 'V'");
  ASSERT_EQ(r.result_sets[0].columns.size(), 3u);
  EXPECT_EQ(r.result_sets[0].columns[1].type.type, SqlType::kMoney);
  EXPECT_EQ(Int(r.result_sets[0].rows[0][2]), 5);
  EXPECT_EQ(Str(r.result_sets[1].rows[0][0]), "v1");
  EXPECT_EQ(Fail("insert s1 (a) values (1)").number, 2627);
  Run("drop index s1.ix_a\ninsert s1 (a) values (1)\ndrop view v1\ndrop table s1");
  EXPECT_EQ(Fail("drop table s1").number, 3701);
  Run("drop table if exists s1");
  // DDL inside a transaction that rolls back leaves nothing behind.
  Run("begin tran\ncreate table gone (x int)\ninsert gone values (1)\nrollback");
  EXPECT_EQ(Fail("select * from gone").number, 208);
  Run("create table gone (y varchar(3))\ninsert gone values ('new')");
  EXPECT_EQ(Str(One("select * from gone")), "new");
}

TEST_F(EngineTest, DynamicSqlAndMetadataOnly) {
  Run("create table dq (v int)\ninsert dq values (3)");
  BatchResult r = Run(
      "declare @n int, @sql nvarchar(100) = N'select v * 2 as dbl from dq'\n"
      "exec (@sql)\n"
      "exec sp_executesql N'select @out = v + @add from dq', N'@add int, @out int output', "
      "@add = 4, @out = @n output\n"
      "select @n");
  ASSERT_EQ(r.result_sets.size(), 2u);
  EXPECT_EQ(Int(r.result_sets[0].rows[0][0]), 6);
  EXPECT_EQ(Int(r.result_sets[1].rows[0][0]), 7);
  BatchResult meta = Run("set fmtonly on\nselect v from dq\ndelete dq\nset fmtonly off");
  ASSERT_EQ(meta.result_sets.size(), 1u);
  EXPECT_EQ(meta.result_sets[0].columns[0].name, "v");
  EXPECT_TRUE(meta.result_sets[0].rows.empty());
  EXPECT_EQ(Int(One("select count(*) from dq")), 1);
}

TEST_F(EngineTest, IdentityInsertTakesExplicitValues) {
  Run("create table ii (id int identity, v varchar(3))\ninsert ii (v) values ('a')");
  EXPECT_EQ(Fail("insert ii (id, v) values (7, 'x')").number, 544);
  Run("set identity_insert ii on\ninsert ii (id, v) values (50, 'b')");
  EXPECT_EQ(Fail("insert ii (v) values ('c')").number, 545);
  Run("set identity_insert ii off\ninsert ii (v) values ('c')");
  EXPECT_EQ(Int(One("select id from ii where v = 'c'")), 51);
}

TEST_F(EngineTest, OutputsWithoutCallerTypesKeepTheParameterType) {
  Run("create procedure GetSysValue;1 @szName varchar(50), @szReturn varchar(255) output as "
      "set @szReturn = 'value of ' + @szName");
  CollectingSink sink;
  std::vector<ProcArgument> args(2);
  args[0].name = "@szName";
  args[0].value = std::string("Shop");
  args[1].name = "@szReturn";
  args[1].value = std::string("");
  args[1].output = true;
  CallResult r = conn_->CallProcedure("GetSysValue;1", args, sink);
  ASSERT_TRUE(r.return_status.has_value());
  EXPECT_EQ(Str(r.outputs[1]), "value of Shop");
}

TEST_F(EngineTest, UnknownNameEndsOnlyItsProcedure) {
  Run("create procedure p_bad as select * from missing_table select 'not reached'");
  BatchResult r = conn_->ExecuteBatch(
      "exec p_bad\nselect @@error as e\nexec ('select * from missing_too')\nselect 'after'");
  ASSERT_EQ(r.result_sets.size(), 2u);
  EXPECT_EQ(Int(r.result_sets[0].rows[0][0]), 208);
  EXPECT_EQ(Str(r.result_sets[1].rows[0][0]), "after");
  ASSERT_NE(r.FirstError(), nullptr);
  EXPECT_EQ(r.FirstError()->procedure, "p_bad");
}

class EngineConcurrency : public EngineTest {};

// Cancel() from another thread stops a statement that would run forever.
TEST_F(EngineConcurrency, CancelFromAnotherThread) {
  std::mutex mu;
  std::condition_variable cv;
  bool running = false;
  struct Sink : CollectingSink {
    std::mutex* mu;
    std::condition_variable* cv;
    bool* running;
    void OnMessage(const Message& m) override {
      CollectingSink::OnMessage(m);
      std::lock_guard<std::mutex> lock(*mu);
      if (!*running) {
        *running = true;
        cv->notify_all();
      }
    }
  } sink;
  sink.mu = &mu;
  sink.cv = &cv;
  sink.running = &running;
  std::thread canceller([&] {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return running; });
    conn_->Cancel();
  });
  bool ok = conn_->ExecuteBatch("while 1 = 1 print 'tick'", sink);
  canceller.join();
  EXPECT_FALSE(ok);
  ASSERT_NE(sink.result().FirstError(), nullptr);
  EXPECT_EQ(sink.result().FirstError()->number, 3617);
  // The connection works again afterwards.
  EXPECT_EQ(Int(One("select 1")), 1);
}

TEST_F(EngineConcurrency, IdentityValuesAreUniqueAcrossConnections) {
  Run("create table ids (id int identity, who int)");
  constexpr int kThreads = 4, kRows = 25;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto c = Connect();
      for (int i = 0; i < kRows; ++i) {
        if (c->ExecuteBatch("insert ids (who) values (" + std::to_string(t) + ")").HasError()) {
          ++failures;
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  BatchResult r = Run("select id from ids");
  std::set<int64_t> seen;
  for (const auto& row : r.result_sets[0].rows) seen.insert(Int(row[0]));
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kRows));
}

}  // namespace
}  // namespace tillbase::engine

// Procedure and SQL execution and the provider requests, called as clients
// call them (through the type library and the call frame) on a session
// bound to an embedded database.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "rpc/typelib.h"
#include "server/session/session_object.h"
#include "shared/data_packet.h"
#include "shared/proc_params.h"

namespace tillbase::session {
namespace {
namespace fs = std::filesystem;

Variant Entry(const std::string& name, Variant value, int type = ftUnknown, int kind = ptInput) {
  return VarArrayOf({Variant(name), std::move(value), Variant(int32_t(type)),
                     Variant(int32_t(kind)), Variant(int32_t(0)), Variant(int32_t(0)),
                     Variant(int32_t(0))});
}

Variant Marked(const std::string& procedure) {
  return VarArrayOf({Variant("TQueryDataSet"), Variant(procedure)});
}

class ProcSqlTest : public ::testing::Test {
 protected:
  ProcSqlTest() : server_(Options()), object_(server_) {}
  ~ProcSqlTest() override {
    std::error_code ec;
    fs::remove_all(data_dir_, ec);
  }

  SessionServer::Options Options() {
    static int counter = 0;
    data_dir_ = fs::path(::testing::TempDir()) /
                ("proc_sql_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    fs::remove_all(data_dir_);
    fs::create_directories(data_dir_);
    ConnectSettings settings;
    settings.server_name = "(local)";
    settings.login_name = "sa";
    settings.windows_security = "False";
    settings.driver.data_dir = data_dir_.string();
    SessionServer::Options o;
    o.home = data_dir_;
    o.companion.program = "no-companion-in-this-test";
    o.load_settings = [settings] { return settings; };
    return o;
  }

  void SetUp() override {
    ASSERT_TRUE(Call("ConnectDB", {Variant("POS1"), Variant("10.0.0.1")}).Succeeded());
    Sql("CREATE TABLE goods (id int PRIMARY KEY, name nvarchar(20) NULL, price decimal(18,4) "
        "NULL)");
    Sql("INSERT INTO goods VALUES (1, N'tea', 2.5), (2, N'rice', 10), (3, N'salt', 1.25)");
    Sql("CREATE PROCEDURE p_calc @a int, @label nvarchar(10) OUTPUT, @total decimal(18,4) OUTPUT "
        "AS BEGIN SET @label = N'n=' + CAST(@a AS nvarchar(5)); SET @total = @a * 6.25; "
        "RETURN @a * 2 END");
    Sql("CREATE PROCEDURE p_plain @a int = 5 AS RETURN @a");
    Sql("CREATE PROCEDURE p_goods @name nvarchar(20), @min decimal(18,4) AS "
        "SELECT id, name FROM goods WHERE name LIKE @name AND price >= @min ORDER BY id");
    Sql("CREATE PROCEDURE p_echo @text nvarchar(20), @n int AS "
        "BEGIN SELECT '[' + @text + ']' AS text; RETURN @n END");
    Sql("CREATE PROCEDURE ExecSQL @sql nvarchar(4000) AS EXEC (@sql)");
  }

  rpc::InvokeResult Call(const std::string& name, std::vector<Variant> args) {
    const rpc::MethodInfo* method = rpc::TypeLibrary::Get().FindByName(name);
    EXPECT_NE(method, nullptr) << name;
    args.resize(method->params.size() - (method->Retval() != nullptr ? 1 : 0));
    return object_.Invoke(*method, args);
  }

  // A call that must succeed; its error text otherwise.
  rpc::InvokeResult Ok(const std::string& name, std::vector<Variant> args) {
    rpc::InvokeResult r = Call(name, std::move(args));
    EXPECT_TRUE(r.Succeeded()) << name << ": " << (r.error ? r.error->description : "");
    return r;
  }
  std::string ErrorOf(const std::string& name, std::vector<Variant> args) {
    rpc::InvokeResult r = Call(name, std::move(args));
    return r.error ? r.error->description : "(succeeded)";
  }
  void Sql(const std::string& text) { Ok("ExecuteSQL", {Variant(text)}); }

  static Variant Out(const rpc::InvokeResult& r, const std::string& name) {
    for (const auto& [n, v] : r.out_values) {
      if (n == name) return v;
    }
    return Variant();
  }

  // AS_GetRecords on a provider; the packet's first column of every row.
  std::vector<std::string> Records(const std::string& provider, int32_t count,
                                   Variant owner_data = Variant(), Variant params = Variant(),
                                   std::string command_text = "",
                                   rpc::InvokeResult* result = nullptr) {
    rpc::InvokeResult r =
        Ok("AS_GetRecords", {Variant(provider), Variant(count), Variant(), Variant(int32_t(0)),
                             Variant(command_text), params, owner_data});
    std::vector<std::string> first;
    if (!r.Succeeded()) return first;
    for (const PacketRow& row : DataPacket::FromVariant(r.retval).rows) {
      first.push_back(VarToStr(row.values.at(0)));
    }
    if (result != nullptr) *result = r;
    return first;
  }

  fs::path data_dir_;
  SessionServer server_;
  SessionObject object_;
};

TEST_F(ProcSqlTest, ExecuteProcMatchesInputsByNameAndReturnsOutputs) {
  // Names differ in case; an entry without "@" and an unknown one supply
  // nothing; the entry's type and kind are ignored.
  Variant inputs =
      VarArrayOf({Entry("a", Variant(int32_t(99))), Entry("@A", Variant(int32_t(4)), ftString),
                  Entry("@nobody", Variant(int32_t(1)))});
  rpc::InvokeResult r =
      Ok("ExecuteProc", {Variant("p_calc;1"), inputs, Variant("stale out value")});
  EXPECT_EQ(r.retval, Variant(int32_t(8)));
  std::vector<ParamEntry> outs = UnpackParams(Out(r, "vOutParams"));
  ASSERT_EQ(outs.size(), 2u);
  EXPECT_EQ(outs[0].name, "@label");
  EXPECT_EQ(VarToStr(outs[0].value), "n=4");
  EXPECT_EQ(outs[0].kind, pdInputOutput);
  EXPECT_EQ(outs[1].name, "@total");
  EXPECT_EQ(outs[1].data_type, ftFloat);  // BCD crosses as a double
  EXPECT_EQ(outs[1].value, Variant(25.0));
  EXPECT_EQ(outs[1].size + outs[1].precision + outs[1].numeric_scale, 0);
}

TEST_F(ProcSqlTest, ExecuteProcWithoutInputsOrOutputs) {
  for (Variant inputs : {Variant::Null(), Variant(), VarArrayCreate(0, -1)}) {
    rpc::InvokeResult r = Ok("ExecuteProc", {Variant("p_plain"), inputs, Variant(int32_t(1))});
    EXPECT_EQ(r.retval, Variant(int32_t(5)));  // the declared default
    EXPECT_TRUE(Out(r, "vOutParams").IsNull());
  }
  EXPECT_EQ(ErrorOf("ExecuteProc", {Variant("p_missing"), Variant(), Variant()}),
            "Could not find stored procedure 'p_missing'.");
}

TEST_F(ProcSqlTest, OnlyTheExactYearCloseNameIsLeftToTheBackgroundJob) {
  Sql("CREATE PROCEDURE F_Year_Close AS RETURN 7");
  rpc::InvokeResult job = Call("ExecuteProc", {Variant("F_Year_Close;1"), Variant(), Variant()});
  EXPECT_EQ(job.hresult, rpc::kENotImpl);
  EXPECT_EQ(Ok("ExecuteProc", {Variant("f_year_close;1"), Variant(), Variant()}).retval,
            Variant(int32_t(7)));
}

TEST_F(ProcSqlTest, OpenSpExecuteTakesOnlyTheSameProcedure) {
  Ok("ExecuteProc",
     {Variant("p_goods;1"), VarArrayOf({Entry("@name", Variant("%")), Entry("@min", Variant(0.0))}),
      Variant()});
  // One record of three: the provider leaves sp_Execute open.
  EXPECT_EQ(Records("pv_sp_Execute", 1), (std::vector<std::string>{"1"}));
  EXPECT_EQ(ErrorOf("ExecuteProc", {Variant("p_plain"), Variant(), Variant()}),
            "Cannot perform this operation on an open dataset");
  EXPECT_EQ(ErrorOf("ExecuteProc", {Variant("p_goods;1"), Variant(), Variant()}), "(succeeded)");
}

TEST_F(ProcSqlTest, OpenProcPreparesTheRowsOfPvSpOpen) {
  EXPECT_EQ(ErrorOf("OpenProc", {Variant("p_goods"), VarArrayOf({Entry("@NAME", Variant("%"))})}),
            "Parameter '@min' not found");
  // A Null BCD input is 0; the rows come with the provider's request.
  rpc::InvokeResult r = Ok(
      "OpenProc", {Variant("p_goods"),
                   VarArrayOf({Entry("@NAME", Variant("%a%")), Entry("@min", Variant::Null())})});
  EXPECT_EQ(r.retval, Variant(int32_t(0)));
  EXPECT_EQ(Records("pv_sp_Open", -1), (std::vector<std::string>{"1", "3"}));
  Ok("OpenProc", {Variant("p_goods"),
                  VarArrayOf({Entry("@name", Variant("%")), Entry("@min", Variant("2.5"))})});
  EXPECT_EQ(Records("pv_sp_Open", -1), (std::vector<std::string>{"1", "2"}));
}

TEST_F(ProcSqlTest, SqlTextRunsOrWaitsForItsProvider) {
  EXPECT_EQ(Ok("ExecuteSQL", {Variant("UPDATE goods SET price = price + 1")}).retval,
            Variant(int32_t(3)));
  EXPECT_EQ(ErrorOf("ExecuteSQL", {Variant("UPDATE nowhere SET x = 1")}),
            "Invalid object name 'nowhere'.");

  EXPECT_EQ(Ok("OpenSQL", {Variant("select name from goods order by id")}).retval,
            Variant(int32_t(0)));
  EXPECT_EQ(Records("pv_qry_Open", 2), (std::vector<std::string>{"tea", "rice"}));
  EXPECT_EQ(Records("PV_QRY_OPEN", 2), (std::vector<std::string>{"salt"}));  // continues

  // dtpLocalView reads PosBarCodeView until SetQuerySQL replaces the text,
  // which may span lines and replaces an open query.
  Ok("SetQuerySQL", {Variant("select name\r\nfrom goods\r\nwhere id > 1 order by id")});
  EXPECT_EQ(Records("dtpLocalView", 1), (std::vector<std::string>{"rice"}));
  Ok("SetQuerySQL", {Variant("select id from goods where id = 3")});
  EXPECT_EQ(Records("dtpLocalView", -1), (std::vector<std::string>{"3"}));
}

TEST_F(ProcSqlTest, UnmarkedRequestsGoToTheNamedProvider) {
  rpc::InvokeResult names = Ok("AS_GetProviderNames", {});
  EXPECT_EQ(names.retval.Count(), 21);
  for (Variant owner : {Variant(), Variant("TQueryDataSet"),
                        VarArrayOf({Variant("tquerydataset"), Variant("p_plain")})}) {
    EXPECT_EQ(ErrorOf("AS_GetParams", {Variant("pv_nowhere"), owner}),
              "Provider not exported: pv_nowhere");
  }
  EXPECT_EQ(Ok("testbinary", {VarArrayOf({Variant(1.5), Variant::Null()})}).hresult, rpc::kSOk);
}

TEST_F(ProcSqlTest, MarkedGetParamsAndExecuteUseAdoStoredProc) {
  rpc::InvokeResult params = Ok("AS_GetParams", {Variant("whatever"), Marked("p_calc")});
  ASSERT_EQ(params.retval.Count(), 4);
  EXPECT_EQ(VarToStr(params.retval.At(0).At(0)), "@RETURN_VALUE");
  EXPECT_EQ(params.retval.At(0).At(3), Variant(int32_t(pdReturnValue)));

  // Params match by position: the names in the array are not read.
  Variant array = params.retval;
  array.At(1).At(1) = Variant(int32_t(3));
  array.At(1).At(0) = Variant("@not_a_name");
  rpc::InvokeResult run = Ok("AS_Execute", {Variant(""), Variant(""), array, Marked("p_calc")});
  Variant after = Out(run, "Params");
  EXPECT_EQ(after.At(0).At(1), Variant(int32_t(6)));
  EXPECT_EQ(VarToStr(after.At(2).At(1)), "n=3");
  EXPECT_EQ(after.At(3).At(1).ToDouble(), 18.75);

  // A value that does not fit the parameter names it.
  array.At(1).At(1) = Variant("not a number");
  EXPECT_EQ(ErrorOf("AS_Execute", {Variant(""), Variant(""), array, Marked("p_calc")}),
            "执行存储过程失败。\r\r过程参数 '@a' 的数据类型与传入值的数据类型不一致。");

  // With a command text ExecSQL runs it and Params are not read.
  Ok("AS_Execute", {Variant(""), Variant("UPDATE goods SET name = N'x' WHERE id = 2"),
                    Variant("ignored"), Marked("p_calc")});
  EXPECT_EQ(Records("pv_qry_Open", -1, Variant(), Variant(), "select name from goods where id = 2"),
            (std::vector<std::string>{"x"}));
}

TEST_F(ProcSqlTest, MarkedGetRecordsSendsBlankStringsAsOneSpace) {
  struct Case {
    Variant text;
    std::string shown;
  } cases[] = {
      {Variant(""), "[ ]"},
      {Variant("  \t"), "[ ]"},
      {Variant(), "[ ]"},
      {Variant(" a "), "[ a ]"},
  };
  for (const Case& c : cases) {
    Variant params = VarArrayOf({VarArrayOf({Variant("@text"), c.text, Variant(int32_t(ftString)),
                                             Variant(int32_t(pdInput))}),
                                 Entry("@n", Variant(int32_t(42)), ftInteger)});
    rpc::InvokeResult r;
    EXPECT_EQ(Records("DataSetProvider", -1, Marked("p_echo"), params, "", &r),
              (std::vector<std::string>{c.shown}));
    // Afterwards Params are the procedure's, the return value first.
    Variant after = Out(r, "Params");
    ASSERT_TRUE(after.IsArray());
    EXPECT_EQ(after.Count(), 3);
    Ok("AS_GetParams", {Variant(""), Marked("p_plain")});  // next case starts afresh
  }
  Variant null_text = VarArrayOf({Entry("@text", Variant::Null(), ftString)});
  EXPECT_EQ(
      ErrorOf("AS_GetRecords", {Variant("DataSetProvider"), Variant(int32_t(-1)), Variant(),
                                Variant(int32_t(0)), Variant(""), null_text, Marked("p_echo")}),
      "Could not convert variant of type (Null) into type (String)");

  // A command text is run by ExecSQL, whose records the named provider
  // delivers; an unknown provider fails after the preparation.
  EXPECT_EQ(Records("DataSetProvider", -1, Marked("p_echo"), Variant(),
                    "select name from goods where id < 3 order by id"),
            (std::vector<std::string>{"tea", "rice"}));
  EXPECT_EQ(
      ErrorOf("AS_GetRecords", {Variant("nope"), Variant(int32_t(-1)), Variant(),
                                Variant(int32_t(0)), Variant(""), Variant(), Marked("p_echo")}),
      "Provider not exported: nope");
}

TEST_F(ProcSqlTest, MarkedGetRecordsPagesContinueAndReturnTheOutputs) {
  Sql("CREATE PROCEDURE p_page @from int, @count int OUTPUT AS "
      "BEGIN SELECT id FROM goods WHERE id >= @from ORDER BY id; SET @count = @@ROWCOUNT; "
      "RETURN 11 END");
  Variant params = VarArrayOf({Entry("@from", Variant(int32_t(1)), ftInteger),
                               Entry("@count", Variant(), ftInteger, pdInputOutput)});
  EXPECT_EQ(Records("DataSetProvider", 2, Marked("p_page"), params),
            (std::vector<std::string>{"1", "2"}));
  rpc::InvokeResult last;
  EXPECT_EQ(Records("DataSetProvider", 2, Marked("p_page"), params, "", &last),
            (std::vector<std::string>{"3"}));
  Variant after = Out(last, "Params");
  ASSERT_TRUE(after.IsArray());
  EXPECT_EQ(after.At(0).At(1), Variant(int32_t(11)));
  EXPECT_EQ(after.At(2).At(1), Variant(int32_t(3)));
}

}  // namespace
}  // namespace tillbase::session

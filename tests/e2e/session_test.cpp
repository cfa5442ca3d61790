// The session object over the wire, bound to the embedded database.
#include <gtest/gtest.h>

#include "db/connection.h"
#include "e2e/server_fixture.h"
#include "rpc/client.h"
#include "rpc/client_dataset.h"

namespace tillbase::e2e {
namespace {

class SessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_.InstallCompanion();
    server_ = std::make_unique<RunningServer>(
        root_,
        std::vector<std::string>{"--home", root_.home().string(), "--listen", "127.0.0.1:0"});
    rpc::ClientOptions options;
    options.port = server_->port();
    client_ = std::make_unique<rpc::Client>(options);
    session_ = std::make_unique<rpc::RemoteObject>(*client_);
  }

  // A database of the server's embedded engine, made beside the server.
  // False when the engine cannot make databases yet.
  bool CreateDatabase(const std::string& name) {
    db::DriverSettings settings;
    settings.data_dir = (root_.home() / "Data" / "engine").string();
    db::Connection connection(settings);
    connection.SetProperty("Data Source", "(local)");
    connection.SetProperty("User Id", "sa");
    connection.SetProperty("Initial Catalog", "master");
    connection.Open();
    try {
      connection.Execute("CREATE DATABASE [" + name + "]");
    } catch (const std::exception& e) {
      if (std::string(e.what()).find("not supported") == std::string::npos) throw;
      return false;
    }
    return true;
  }

  rpc::InvokeResult Call(const std::string& method, std::vector<Variant> params = {}) {
    return session_->Call(method, params);
  }

  TestRoot root_;
  std::unique_ptr<RunningServer> server_;
  std::unique_ptr<rpc::Client> client_;
  std::unique_ptr<rpc::RemoteObject> session_;
};

TEST_F(SessionTest, KeepConnectionFollowsTheConnection) {
  auto before = Call("KeepConnection");
  EXPECT_EQ(before.hresult, rpc::kEUnexpected);
  ASSERT_TRUE(before.error.has_value());
  EXPECT_EQ(before.error->description, "~");

  // A SQL Server login with an empty password.
  auto connect = Call("ConnectDB", {Variant("POS1"), Variant("10.0.0.1")});
  ASSERT_EQ(connect.hresult, rpc::kSOk) << (connect.error ? connect.error->description : "");
  EXPECT_EQ(connect.retval, Variant(true));
  EXPECT_EQ(Call("KeepConnection").hresult, rpc::kSOk);
  EXPECT_EQ(Call("TransactionController", {Variant(int32_t(3))}).hresult, rpc::kSOk);
  EXPECT_EQ(Call("TransactionController", {Variant(int32_t(0))}).hresult, rpc::kSOk);
  EXPECT_EQ(Call("TransactionController", {Variant(int32_t(2))}).hresult, rpc::kSOk);

  auto missing = Call("ChangeDB", {Variant("no_such_database")});
  EXPECT_EQ(missing.hresult, rpc::kEUnexpected);
  ASSERT_TRUE(missing.error.has_value());
  EXPECT_FALSE(missing.error->description.empty());
  EXPECT_TRUE(missing.retval.IsEmpty());
  auto after = Call("KeepConnection");  // the failed ChangeDB left it closed
  ASSERT_TRUE(after.error.has_value());
  EXPECT_EQ(after.error->description, "~");
}

TEST_F(SessionTest, ChangeDbRestartsTheCompanionExceptForMaster) {
  ASSERT_EQ(Call("ConnectDB", {Variant("POS1"), Variant("10.0.0.1")}).hresult, rpc::kSOk);
  auto master = Call("ChangeDB", {Variant("MASTER")});
  ASSERT_EQ(master.hresult, rpc::kSOk) << (master.error ? master.error->description : "");
  EXPECT_EQ(master.retval, Variant(true));
  EXPECT_TRUE(root_.CompanionLog().empty());

  if (!CreateDatabase("shop1")) GTEST_SKIP() << "the embedded engine makes no databases yet";
  for (int i = 1; i <= 2; ++i) {
    auto shop = Call("ChangeDB", {Variant("shop1")});
    ASSERT_EQ(shop.hresult, rpc::kSOk) << (shop.error ? shop.error->description : "");
    ASSERT_TRUE(Eventually([&] { return root_.CompanionLog().size() == static_cast<size_t>(i); }))
        << i;
  }
  for (const std::string& line : root_.CompanionLog()) {
    // The connection string of the open connection, in double quotes.
    EXPECT_EQ(line.front(), '"');
    EXPECT_EQ(line.back(), '"');
    EXPECT_NE(line.find("Initial Catalog=shop1"), std::string::npos) << line;
  }
}

TEST_F(SessionTest, InternalConnectionOpensNoDatabaseOfItsOwn) {
  // "256" twice is a background job's connection: without a job database
  // name handed over, it opens the login's default database.
  auto internal = Call("ConnectDB", {Variant("256"), Variant("256")});
  EXPECT_EQ(internal.hresult, rpc::kSOk) << (internal.error ? internal.error->description : "");
  auto client = Call("ConnectDB", {Variant("256"), Variant("10.0.0.1")});
  EXPECT_EQ(client.hresult, rpc::kSOk);
}

TEST_F(SessionTest, HeartbeatAndDisconnect) {
  auto net = Call("NetConnect", {Variant("guid-1")});
  ASSERT_EQ(net.hresult, rpc::kSOk);
  EXPECT_EQ(net.out_values.at(0).second, Variant(int32_t(0)));
  EXPECT_EQ(Call("DisConnect", {Variant("guid-1"), Variant("POS1"), Variant("10.0.0.1")}).hresult,
            rpc::kSOk);
  EXPECT_EQ(Call("DisConnect", {Variant("unknown"), Variant("POS1"), Variant("10.0.0.1")}).hresult,
            rpc::kSOk);
  EXPECT_EQ(Call("GetServerVersion").out_values.at(0).second, Variant("KeppaPos1.1"));
  EXPECT_EQ(Call("GetIPAddress").hresult, rpc::kSOk);
  auto later = Call("GetSysValue", {Variant("x")});
  EXPECT_EQ(later.hresult, rpc::kENotImpl);
  EXPECT_EQ(later.error->description, "not implemented");
}

// A record set fetched in pages over the wire, edited on the client and
// applied back as a delta, then read again.
TEST_F(SessionTest, FetchEditAndApplyThroughAProvider) {
  ASSERT_EQ(Call("ConnectDB", {Variant("POS1"), Variant("10.0.0.1")}).hresult, rpc::kSOk);
  auto sql = [&](const std::string& text) {
    auto r = Call("ExecuteSQL", {Variant(text)});
    EXPECT_EQ(r.hresult, rpc::kSOk) << (r.error ? r.error->description : "");
    return r.retval;
  };
  sql("CREATE TABLE btype (id int IDENTITY(1,1) PRIMARY KEY, CardNo nvarchar(18), "
      "NowTotal decimal(18,4) NULL)");
  sql("INSERT INTO btype (CardNo, NowTotal) VALUES (N'A1', 10), (N'A2', NULL), (N'A3', 2.5)");

  auto page = [&](int32_t count) {
    // [out] RecsOut is not sent.
    return Call("AS_GetRecords", {Variant("dpBtype"), Variant(count), Variant(int32_t(0)),
                                  Variant(""), Variant(), Variant()});
  };
  rpc::ClientDataSet cards;
  auto first = page(2);
  ASSERT_EQ(first.hresult, rpc::kSOk) << (first.error ? first.error->description : "");
  EXPECT_EQ(first.out_values.at(0).second, Variant(int32_t(2)));  // RecsOut
  cards.Load(first.retval);
  auto rest = page(2);
  ASSERT_EQ(rest.hresult, rpc::kSOk);
  EXPECT_EQ(rest.out_values.at(0).second, Variant(int32_t(1)));  // the end
  cards.AppendData(rest.retval);
  ASSERT_EQ(cards.RecordCount(), 3);

  cards.First();
  cards.SetFieldByName("NowTotal", Variant(99.5));
  cards.Next();
  cards.Delete();
  cards.Append();
  cards.SetFieldByName("CardNo", Variant("B1"));
  auto applied =
      Call("AS_ApplyUpdates", {Variant("DPBTYPE"), cards.Delta(), Variant(int32_t(0)), Variant()});
  ASSERT_EQ(applied.hresult, rpc::kSOk) << (applied.error ? applied.error->description : "");
  EXPECT_TRUE(applied.retval.IsNull());                             // no row failed
  EXPECT_EQ(applied.out_values.at(0).second, Variant(int32_t(0)));  // ErrorCount

  ASSERT_EQ(Call("OpenSQL", {Variant("select CardNo, NowTotal from btype order by id")}).hresult,
            rpc::kSOk);
  auto after = Call("AS_GetRecords", {Variant("pv_qry_Open"), Variant(int32_t(-1)),
                                      Variant(int32_t(0)), Variant(""), Variant(), Variant()});
  rpc::ClientDataSet check;
  check.Load(after.retval);
  std::vector<std::string> seen;
  for (check.First(); !check.Eof(); check.Next()) {
    seen.push_back(VarToStr(check.FieldByName("CardNo")) + "=" +
                   VarToStr(check.FieldByName("NowTotal")));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"A1=99.5", "A3=2.5", "B1="}));
}

}  // namespace
}  // namespace tillbase::e2e

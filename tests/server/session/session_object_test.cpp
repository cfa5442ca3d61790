#include "server/session/session_object.h"

#include <gtest/gtest.h>

#include <mutex>

#include "rpc/typelib.h"

namespace tillbase::session {
namespace {

// The main window as sessions see it: records the notifications.
class RecordingWindow : public MainWindowLink {
 public:
  void SendClientConnect(TCONNECTINFO info) override {
    std::lock_guard lock(mutex_);
    events.push_back("connect " + info.ComputerName + " " + info.IPAddress);
  }
  void SendClientDisconnect(TCONNECTINFO info) override {
    std::lock_guard lock(mutex_);
    events.push_back("disconnect " + info.ComputerName + " " + info.IPAddress + " " +
                     info.ClientGUID);
  }
  void SetUserCount(int count) override { count_ = count; }
  int UserCount() const override { return count_; }

  std::vector<std::string> events;

 private:
  std::mutex mutex_;
  std::atomic<int> count_{0};
};

class SessionObjectTest : public ::testing::Test {
 protected:
  SessionObjectTest() : server_(Options()), object_(server_) { server_.SetMainWindow(&window_); }

  SessionServer::Options Options() {
    SessionServer::Options o;
    o.home = ::testing::TempDir();
    o.clock = &clock_;
    o.load_settings = [this] {
      if (settings_error_) throw std::runtime_error("Unable to read settings");
      return settings_;
    };
    o.host_addresses = [] { return std::vector<std::string>{"10.1.1.1", "192.168.7.9"}; };
    return o;
  }

  rpc::InvokeResult Call(const std::string& name, std::vector<Variant> args) {
    const rpc::MethodInfo* method = rpc::TypeLibrary::Get().FindByName(name);
    EXPECT_NE(method, nullptr) << name;
    // Every declared parameter but the retval has a slot.
    size_t slots = method->params.size() - (method->Retval() != nullptr ? 1 : 0);
    args.resize(slots);
    return object_.Invoke(*method, args);
  }

  FixedClock clock_{EncodeDateTime({2024, 6, 1, 10, 0, 0, 0})};
  ConnectSettings settings_;
  bool settings_error_ = false;
  RecordingWindow window_;
  SessionServer server_;
  SessionObject object_;
};

TEST_F(SessionObjectTest, SmallMethodsAnswerAsFixed) {
  auto version = Call("GetServerVersion", {Variant("stale")});
  EXPECT_EQ(version.hresult, rpc::kSOk);
  ASSERT_EQ(version.out_values.size(), 1u);
  EXPECT_EQ(version.out_values[0].second, Variant("KeppaPos1.1"));

  EXPECT_EQ(Call("Refresh", {}).hresult, rpc::kSOk);
  EXPECT_EQ(Call("TransactionController", {Variant(int32_t(3))}).hresult, rpc::kSOk);
  EXPECT_EQ(Call("GetIPAddress", {}).retval, Variant("192.168.7.9"));  // the last address
}

TEST_F(SessionObjectTest, KeepConnectionFailsWithTildeWhileClosed) {
  auto r = Call("KeepConnection", {});
  EXPECT_EQ(r.hresult, rpc::kEUnexpected);
  ASSERT_TRUE(r.error.has_value());
  EXPECT_EQ(r.error->description, "~");
  EXPECT_EQ(r.error->source, "TillcoreServer.CoTillbaseServer");
  EXPECT_EQ(r.error->guid, "{DFA6B925-EDDC-4429-B175-E76F4D33E935}");
  EXPECT_EQ(r.error->help_file, "");
  EXPECT_EQ(r.error->help_context, 0);
}

TEST_F(SessionObjectTest, MethodsNotBuiltAnswerNotImplemented) {
  for (const char* name : {"GetSysValue", "BaseSelect", "BackUpDataBase"}) {
    auto r = Call(name, {});
    EXPECT_EQ(r.hresult, rpc::kENotImpl) << name;
    ASSERT_TRUE(r.error.has_value()) << name;
    EXPECT_EQ(r.error->description, "not implemented") << name;
  }
}

TEST_F(SessionObjectTest, FailedConnectDbStillNotifiesAndIsAlwaysUnexpected) {
  settings_error_ = true;
  auto r = Call("ConnectDB", {Variant("POS1"), Variant("10.0.0.5")});
  EXPECT_EQ(r.hresult, rpc::kEUnexpected);
  ASSERT_TRUE(r.error.has_value());
  EXPECT_EQ(r.error->description, "Unable to read settings");
  EXPECT_TRUE(r.retval.IsEmpty());
  ASSERT_EQ(window_.events.size(), 1u);
  EXPECT_EQ(window_.events[0], "connect POS1 10.0.0.5");
}

TEST_F(SessionObjectTest, InternalConnectionSendsNoNotification) {
  settings_error_ = true;
  Call("ConnectDB", {Variant("256"), Variant("256")});
  EXPECT_TRUE(window_.events.empty());
  Call("ConnectDB", {Variant("256"), Variant("10.0.0.5")});  // only one "256": a client
  EXPECT_EQ(window_.events.size(), 1u);
}

TEST_F(SessionObjectTest, NoWindowYetMeansNoNotification) {
  server_.SetMainWindow(nullptr);
  settings_error_ = true;
  Call("ConnectDB", {Variant("POS1"), Variant("10.0.0.5")});
  Call("DisConnect", {Variant("g"), Variant("POS1"), Variant("10.0.0.5")});
  EXPECT_TRUE(window_.events.empty());
}

TEST_F(SessionObjectTest, NetConnectAndDisConnectKeepTheUserCount) {
  auto r = Call("NetConnect", {Variant("client-1")});
  EXPECT_EQ(r.hresult, rpc::kSOk);
  ASSERT_EQ(r.out_values.size(), 1u);
  EXPECT_EQ(r.out_values[0].first, "lsReturn");
  EXPECT_EQ(r.out_values[0].second, Variant(int32_t(0)));
  Call("NetConnect", {Variant("client-2")});
  EXPECT_EQ(window_.UserCount(), 2);

  Call("DisConnect", {Variant("unknown"), Variant("POS9"), Variant("10.0.0.9")});
  EXPECT_EQ(window_.UserCount(), 2);
  EXPECT_EQ(server_.client_table().OccupiedCount(), 2);
  Call("DisConnect", {Variant("client-1"), Variant("POS1"), Variant("10.0.0.1")});
  EXPECT_EQ(window_.UserCount(), 1);
  EXPECT_EQ(window_.events, (std::vector<std::string>{"disconnect POS9 10.0.0.9 unknown",
                                                      "disconnect POS1 10.0.0.1 client-1"}));
}

TEST_F(SessionObjectTest, FactoryKnowsOnlyTheSessionClass) {
  int last = 0;
  SessionFactory factory(server_, [&] { ++last; });
  EXPECT_NE(factory.Create("TillcoreServer.CoTillbaseServer"), nullptr);
  EXPECT_NE(factory.Create("{46359509-a19a-4d07-9d00-f7ba83d6abbe}"), nullptr);
  try {
    factory.Create("Other.Class");
    FAIL();
  } catch (const rpc::ComError& e) {
    EXPECT_EQ(e.code(), rpc::kRegDbEClassNotReg);
  }
  factory.Released(1);
  factory.Released(0);
  EXPECT_EQ(last, 1);
}

}  // namespace
}  // namespace tillbase::session

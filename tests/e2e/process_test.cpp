// The process as a whole: single instance, start-mode switches, the serving
// modes and their end.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "e2e/server_fixture.h"
#include "rpc/client.h"

namespace tillbase::e2e {
namespace {
namespace fs = std::filesystem;

std::string Read(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

rpc::Client ClientFor(const RunningServer& server) {
  rpc::ClientOptions options;
  options.port = server.port();
  return rpc::Client(options);
}

const char* kClassFile = "data/tillbase/classes/{46359509-A19A-4D07-9D00-F7BA83D6ABBE}.class";

TEST(ProcessTest, SecondCopyShowsTheMessageAndLeavesTheFirstAlone) {
  TestRoot root;
  RunningServer first(root, {"--home", root.home().string(), "--listen", "127.0.0.1:0"});
  for (std::vector<std::string> args : {std::vector<std::string>{"--listen", "127.0.0.1:0"},
                                        std::vector<std::string>{"-REGSERVER"}}) {
    fs::remove(root.path() / kClassFile);
    Finished second = RunToEnd(root, args);
    EXPECT_EQ(second.exit_code, 0);
    EXPECT_NE(second.err.find("KeppaPOS服务程序已经启动,\r\n不能在本机器上再次运行。"),
              std::string::npos)
        << second.err;
    EXPECT_FALSE(fs::exists(root.path() / kClassFile));  // nothing registered
  }
  rpc::Client client = ClientFor(first);
  rpc::RemoteObject session(client);  // the first copy still serves
  EXPECT_EQ(session.Invoke("GetServerVersion").out_values.at(0).second, Variant("KeppaPos1.1"));
}

TEST(ProcessTest, RegisterAndUnregisterSwitches) {
  TestRoot root;
  fs::path cls = root.path() / kClassFile;
  fs::path socket_unit = root.path() / "config/systemd/user/tillbase-server.socket";
  for (const char* sw : {"-REGSERVER", "/regserver", "-RegServer"}) {
    fs::remove(cls);
    Finished reg = RunToEnd(root, {sw, "--listen", "127.0.0.1:8299"});
    EXPECT_EQ(reg.exit_code, 0) << sw << reg.err;
    EXPECT_NE(Read(cls).find("ProgID=TillcoreServer.CoTillbaseServer"), std::string::npos) << sw;
    EXPECT_NE(Read(socket_unit).find("ListenStream=127.0.0.1:8299"), std::string::npos) << sw;
  }
  Finished unreg = RunToEnd(root, {"/UNREGSERVER"});
  EXPECT_EQ(unreg.exit_code, 0) << unreg.err;
  EXPECT_FALSE(fs::exists(cls));
  EXPECT_FALSE(fs::exists(socket_unit));
}

TEST(ProcessTest, WordWithoutLeadingCharacterIsNoSwitch) {
  TestRoot root;
  RunningServer server(root,
                       {"REGSERVER", "--home", root.home().string(), "--listen", "127.0.0.1:0"});
  EXPECT_FALSE(server.Ended());  // serves (standalone) instead of registering and ending
  server.Signal(SIGTERM);
  EXPECT_EQ(server.WaitForEnd().exit_code, 0);
}

TEST(ProcessTest, AutomationModeEndsWithTheLastReleaseStandaloneStays) {
  TestRoot root;
  std::uint16_t port = 0;
  int fd = ListeningSocket(port);
  RunningServer automation(root, {"-Embedding", "--home", root.home().string()}, fd);
  ::close(fd);
  EXPECT_EQ(automation.port(), port);
  {
    rpc::Client client = ClientFor(automation);
    std::string a = client.Create();
    std::string b = client.Create();
    client.Release(a);
    EXPECT_FALSE(automation.Ended());
    client.Release(b);
  }
  Finished end = automation.WaitForEnd();
  EXPECT_EQ(end.exit_code, 0) << end.err;

  RunningServer standalone(root, {"--home", root.home().string(), "--listen", "127.0.0.1:0"});
  {
    rpc::Client client = ClientFor(standalone);
    client.Release(client.Create());
    // The process still serves after the last object went.
    rpc::RemoteObject again(client);
    EXPECT_EQ(again.Invoke("GetServerVersion").hresult, rpc::kSOk);
  }
  EXPECT_FALSE(standalone.Ended());
}

TEST(ProcessTest, TerminationSignalsEndCleanlyAndReleaseTheLock) {
  for (int sig : {SIGTERM, SIGINT}) {
    TestRoot root;
    root.InstallCompanion();
    RunningServer server(root, {"--home", root.home().string(), "--listen", "127.0.0.1:0"});
    rpc::Client client = ClientFor(server);
    std::string id = client.Create();  // left open: the end releases it
    server.Signal(sig);
    Finished end = server.WaitForEnd();
    EXPECT_EQ(end.exit_code, 0) << sig << end.err;
    // The instance lock went with the process: a new copy starts.
    RunningServer next(root, {"--home", root.home().string(), "--listen", "127.0.0.1:0"});
    EXPECT_FALSE(next.Ended());
  }
}

TEST(ProcessTest, StartCreatesTheHomeDirectories) {
  TestRoot root;
  RunningServer server(root, {"--home", root.home().string(), "--listen", "127.0.0.1:0"});
  EXPECT_TRUE(fs::is_directory(root.home() / "BackUp"));
  EXPECT_TRUE(fs::is_directory(root.home() / "Data"));
}

TEST(ProcessTest, UnsafeListenAddressRefusesToStart) {
  TestRoot root;
  Finished end = RunToEnd(root, {"--home", root.home().string(), "--listen", "0.0.0.0:0"});
  EXPECT_NE(end.exit_code, 0);
  EXPECT_NE(end.err.find("access key"), std::string::npos) << end.err;
}

TEST(ProcessTest, AddressInUseIsReportedAsAFailure) {
  TestRoot first_root, second_root;  // separate lock directories: two "machines"
  RunningServer first(first_root,
                      {"--home", first_root.home().string(), "--listen", "127.0.0.1:0"});
  Finished second = RunToEnd(second_root, {"--home", second_root.home().string(), "--listen",
                                           "127.0.0.1:" + std::to_string(first.port())});
  EXPECT_EQ(second.exit_code, 1);
  EXPECT_NE(second.err.find("tillbase-server: "), std::string::npos) << second.err;
  EXPECT_FALSE(first.Ended());
}

TEST(ProcessTest, UnknownOptionIsAUsageError) {
  TestRoot root;
  Finished end = RunToEnd(root, {"--frobnicate"});
  EXPECT_EQ(end.exit_code, 2);
  EXPECT_NE(end.err.find("unknown option '--frobnicate'"), std::string::npos) << end.err;
}

}  // namespace
}  // namespace tillbase::e2e

#include "server/host/command_line.h"

#include <gtest/gtest.h>

#include "server/host/server_process.h"

namespace tillbase::host {
namespace {

TEST(CommandLineTest, OptionsBesideSwitches) {
  CommandLine cl = ParseCommandLine(
      {"--home", "/srv/pos", "/Embedding", "--listen=0.0.0.0:9000", "--lease-seconds", "30"});
  EXPECT_EQ(cl.mode, StartMode::kAutomation);
  EXPECT_EQ(cl.home, "/srv/pos");
  EXPECT_EQ(cl.listen_address, "0.0.0.0");
  EXPECT_EQ(cl.port, 9000);
  EXPECT_EQ(cl.lease_seconds, 30);

  CommandLine defaults = ParseCommandLine({"REGSERVER"});  // a word, not a switch
  EXPECT_EQ(defaults.mode, StartMode::kStandalone);
  EXPECT_EQ(defaults.listen_address, "127.0.0.1");
  EXPECT_EQ(defaults.port, kDefaultPort);
  EXPECT_FALSE(defaults.home.has_value());

  CommandLine v6 = ParseCommandLine({"--listen", "[::1]:0"});
  EXPECT_EQ(v6.listen_address, "::1");
  EXPECT_EQ(v6.port, 0);
}

TEST(CommandLineTest, BadArgumentsNameWhatIsWrong) {
  struct Case {
    std::vector<std::string> args;
    std::string message_part;
  };
  const Case cases[] = {
      {{"--listen"}, "--listen needs a value"},     {{"--listen", "127.0.0.1"}, "ADDR:PORT"},
      {{"--listen", "127.0.0.1:70000"}, "'70000'"}, {{"--home", ""}, "--home needs a directory"},
      {{"--lease-seconds", "soon"}, "'soon'"},      {{"--verbose"}, "unknown option '--verbose'"},
  };
  for (const Case& c : cases) {
    try {
      ParseCommandLine(c.args);
      ADD_FAILURE() << c.message_part;
    } catch (const UsageError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos) << e.what();
    }
  }
}

TEST(CommandLineTest, SingleInstanceMessageIsTheFixedText) {
  EXPECT_EQ(SingleInstanceMessage(), "KeppaPOS服务程序已经启动,\r\n不能在本机器上再次运行。");
}

}  // namespace
}  // namespace tillbase::host

#include "rpc/cli/cli.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "rpc/http_server.h"
#include "rpc/object_table.h"
#include "rpc/test_objects.h"

namespace tillbase::rpc {
namespace {

class CliTest : public ::testing::Test {
 protected:
  CliTest() : server_(ServerOptions{}, factory_) { server_.Start(); }

  int Run(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--port", std::to_string(server_.port())});
    std::istringstream in(input);
    out_.str("");
    err_.str("");
    return cli::RunCli(args, in, out_, err_);
  }

  testing::EchoFactory factory_;
  HttpServer server_;
  std::ostringstream out_, err_;
};

TEST_F(CliTest, OneCallFromTheShell) {
  EXPECT_EQ(Run({"GetServerVersion"}), 0);
  EXPECT_EQ(out_.str(), "S_OK\n  szReturn = \"KeppaPos1.1\"\n");
  EXPECT_EQ(Run({"4", "\"abc\""}), 0);  // by dispid
  EXPECT_EQ(out_.str(), "S_OK = 3\n");
  EXPECT_EQ(server_.objects().size(), 0u);  // released at the end
}

TEST_F(CliTest, AScriptRunsOnOneObjectAndReportsFailures) {
  auto path = std::filesystem::temp_directory_path() / ("cli_script_" + std::to_string(::getpid()));
  std::ofstream(path) << "# a comment\n"
                         "ExecuteSQL \"ab\"\n"
                         "BackUpDataBase \"x\", \"y\", 41\n"
                         "ExecuteSQL \"fail\"\n"
                         "\n"
                         "GetVchNumber 1, 2, \"d\", \"fail\"\n";
  EXPECT_EQ(Run({"--script", path.string()}), 1);
  EXPECT_EQ(out_.str(),
            "S_OK = 2\n"
            "S_OK\n  Param3 = 42\n  Param4 = {\"$empty\":true}\n"
            "error 0x8000FFFF: plain failure\n"
            "  source: TillcoreServer.CoTillbaseServer  guid: {DFA6B925-EDDC-4429-B175-E76F4D33E935}  helpcontext: 0\n"
            "error 0x8000FFFF: after writing\n"
            "  source: TillcoreServer.CoTillbaseServer  guid: {DFA6B925-EDDC-4429-B175-E76F4D33E935}  helpcontext: 0\n"
            "  szNumber = \"N-fail\"\n");
  EXPECT_EQ(factory_.log.destroyed.load(), 1);  // one object for the whole script
  std::filesystem::remove(path);
}

TEST_F(CliTest, ReplAndMistakes) {
  EXPECT_EQ(Run({}, "ExecuteSQL \"a\"\n.release\nExecuteSQL \"abc\"\n.quit\nExecuteSQL \"zz\"\n"), 0);
  EXPECT_EQ(out_.str(), "S_OK = 1\nreleased\nS_OK = 3\n");
  EXPECT_EQ(factory_.log.destroyed.load(), 2);
  EXPECT_EQ(Run({}, "NoSuchMethod\n"), 2);
  EXPECT_NE(err_.str().find("unknown method \"NoSuchMethod\""), std::string::npos);
  EXPECT_EQ(Run({}, "ExecuteSQL \"a\",\n"), 2);
  EXPECT_NE(err_.str().find("bad arguments for ExecuteSQL: malformed JSON"), std::string::npos);
  EXPECT_EQ(Run({"--script", "/nonexistent/x"}), 2);
  EXPECT_EQ(Run({"--script"}), 2);
  EXPECT_NE(err_.str().find("--script needs a value"), std::string::npos);
  EXPECT_EQ(Run({"--bogus"}), 2);
}

}  // namespace
}  // namespace tillbase::rpc

// tillbase-sql over a real engine: GO batches, sqlcmd-style output, -b.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "engine/tools/sql_tool.h"

namespace tillbase::engine::tools {
namespace {

namespace fs = std::filesystem;

class SqlToolEngineRun : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "tillbase-sqltool-XXXXXX").string();
    dir_ = mkdtemp(tmpl.data());
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  int Run(std::vector<std::string> args, const std::string& script, std::string* out) {
    args.insert(args.begin(), {"--data", (dir_ / "data").string()});
    SqlToolOptions o = ParseSqlToolArgs(args);
    std::istringstream in(script);
    std::ostringstream o_out, o_err;
    int rc = RunSqlTool(o, in, o_out, o_err);
    *out = o_out.str();
    return rc;
  }
  fs::path dir_;
};

TEST_F(SqlToolEngineRun, RunsScriptsAgainstTheDataDirectory) {
  std::string out;
  EXPECT_EQ(Run({"-W", "-s", "|"},
                "create table t (id int identity, name varchar(10))\n"
                "GO\n"
                "insert t (name) values ('a'), ('b')\n"
                "select id, name from t order by id\n"
                "GO\n",
                &out),
            0);
  EXPECT_NE(out.find("(2 rows affected)"), std::string::npos) << out;
  EXPECT_NE(out.find("id|name\n--|----\n1|a\n2|b\n"), std::string::npos) << out;
  // The data stays for the next run; errors print as sqlcmd prints them and
  // -b turns them into the exit status.
  EXPECT_EQ(Run({"-h", "-1", "-W", "-b", "-Q", "select count(*) from t select * from nosuch"}, "",
                &out),
            1);
  EXPECT_NE(out.find("2\n"), std::string::npos) << out;
  EXPECT_NE(out.find("Msg 208, Level 16, State 1"), std::string::npos) << out;
  EXPECT_NE(out.find("Invalid object name 'nosuch'."), std::string::npos) << out;
}

}  // namespace
}  // namespace tillbase::engine::tools

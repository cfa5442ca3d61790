// Hostile text must fail with a clear error: nesting that would overflow the
// stack, integers too large for the place they stand in.
#include <gtest/gtest.h>

#include <string>

#include "engine/engine.h"
#include "engine/parser/parser.h"

namespace tillbase::engine {
namespace {

std::string Repeat(const std::string& s, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += s;
  return out;
}

TEST(ParserDepth, NestingBeyondTheLimitIsError191) {
  const std::string cases[] = {
      "SELECT " + Repeat("(", 100000) + "1" + Repeat(")", 100000),
      "SELECT " + Repeat("- ", 100000) + "1",  // "--" would start a comment
      Repeat("IF 1 = 1 BEGIN ", 20000) + "PRINT 1" + Repeat(" END", 20000),
      "SELECT " + Repeat("(SELECT ", 20000) + "1" + Repeat(")", 20000),
  };
  for (const std::string& sql : cases) {
    try {
      parser::ParseBatch(sql);
      ADD_FAILURE() << "parsed: " << sql.substr(0, 40);
    } catch (const EngineError& e) {
      EXPECT_EQ(e.message().number, 191) << sql.substr(0, 30) << ": " << e.what();
    }
  }
}

TEST(ParserDepth, OrdinaryNestingStillParses) {
  EXPECT_NO_THROW(parser::ParseBatch("SELECT " + Repeat("(", 40) + "1" + Repeat(")", 40)));
  EXPECT_NO_THROW(parser::ParseBatch("SELECT - - - 1"));
}

TEST(ParserLimits, IntegersTooLargeForTheirPlaceAreError8115) {
  const char* cases[] = {
      "CREATE TABLE t (a varchar(99999999999999999999))",
      "CREATE TABLE t (a decimal(10, 99999999999))",
      "CREATE PROCEDURE p;99999999999 AS RETURN",
      "CREATE TABLE t (a int IDENTITY(99999999999999999999, 1))",
  };
  for (const char* sql : cases) {
    try {
      parser::ParseBatch(sql);
      ADD_FAILURE() << "parsed: " << sql;
    } catch (const EngineError& e) {
      EXPECT_EQ(e.message().number, 8115) << sql << ": " << e.what();
    }
  }
}

}  // namespace
}  // namespace tillbase::engine

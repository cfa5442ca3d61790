// Deeply nested text must fail with a clear error, not overflow the stack.
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

}  // namespace
}  // namespace tillbase::engine

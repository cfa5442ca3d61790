// tillbase-sql: runs T-SQL batches on the embedded engine's data directory
// and prints their results as sqlcmd does.
#include <iostream>
#include <string>
#include <vector>

#include "engine/tools/sql_tool.h"

int main(int argc, char** argv) {
  using namespace tillbase::engine::tools;
  std::vector<std::string> args(argv + 1, argv + argc);
  SqlToolOptions options;
  try {
    options = ParseSqlToolArgs(args);
  } catch (const UsageError& e) {
    std::cerr << "tillbase-sql: " << e.what() << "\n" << SqlToolUsage();
    return 1;
  }
  std::ios::sync_with_stdio(false);
  return RunSqlTool(options, std::cin, std::cout, std::cerr);
}

#include <iostream>
#include <string>
#include <vector>

#include "rpc/cli/cli.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  return tillbase::rpc::cli::RunCli(args, std::cin, std::cout, std::cerr);
}

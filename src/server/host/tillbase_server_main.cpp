#include <iostream>
#include <string>
#include <vector>

#include "server/config/home.h"
#include "server/host/server_process.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string executable;
  try {
    executable = tillbase::config::ExecutablePath();
  } catch (...) {
    executable = argc > 0 ? argv[0] : "tillbase-server";
  }
  return tillbase::host::RunServerProcess(args, executable, std::cout, std::cerr);
}

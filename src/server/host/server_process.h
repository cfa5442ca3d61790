// The start-up sequence of the server process, its serving modes and its end.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace tillbase::host {

inline constexpr const char* kSingleInstanceLock = "Keppa_Mutex_Pinnor_Tillbase";
// "Keppa%s服务程序已经启动,\r\n不能在本机器上再次运行。" with "POS" for %s.
std::string SingleInstanceMessage();

// Runs the process as its command line says and returns the exit code.
// `out` gets where the server listens; `err` the messages a user must see.
int RunServerProcess(const std::vector<std::string>& args, const std::string& executable_path,
                     std::ostream& out, std::ostream& err);

}  // namespace tillbase::host

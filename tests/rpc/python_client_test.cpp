// The protocol needs nothing of ours to be called from another language: the
// Python client (standard library only) drives a session through it.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "rpc/http_server.h"
#include "rpc/test_objects.h"

namespace tillbase::rpc {
namespace {

TEST(PythonClient, DrivesASessionThroughTheProtocol) {
  if (std::system("python3 -c 'import http.client' > /dev/null 2>&1") != 0) {
    GTEST_SKIP() << "python3 is not installed";
  }
  testing::EchoFactory factory;
  HttpServer server(ServerOptions{}, factory);
  server.Start();
  std::string dir = std::string(TILLBASE_SOURCE_DIR) + "/clients/python";
  std::string command = "cd '" + dir + "' && python3 -B session_check.py " +
                        std::to_string(server.port()) + " 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[512];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  int status = pclose(pipe);
  EXPECT_EQ(status, 0) << output;
  EXPECT_EQ(output, "ok\n");
  EXPECT_EQ(factory.log.destroyed.load(), 1);
}

// A call that was written is never sent twice; a connection the server closed
// while idle is noticed before writing (scripted servers inside the script).
TEST(PythonClient, ResendsOnlyWhatCannotHaveReachedTheServer) {
  if (std::system("python3 -c 'import http.client' > /dev/null 2>&1") != 0) {
    GTEST_SKIP() << "python3 is not installed";
  }
  std::string dir = std::string(TILLBASE_SOURCE_DIR) + "/clients/python";
  std::string command = "cd '" + dir + "' && python3 -B retry_check.py 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char buffer[512];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  EXPECT_EQ(pclose(pipe), 0) << output;
  EXPECT_EQ(output, "ok\n");
}

}  // namespace
}  // namespace tillbase::rpc

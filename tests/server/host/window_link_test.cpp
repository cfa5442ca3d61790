#include "server/host/window_link.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "server/session/client_table.h"

namespace tillbase::host {
namespace {

TEST(WindowLinkConcurrency, SessionThreadsWaitForTheMainLoop) {
  FixedClock clock(EncodeDateTime({2024, 1, 2, 3, 4, 5, 0}));
  MainLoop loop;
  MainWindow window(clock, {});
  WindowLink link(loop, window);
  session::ClientTable table(clock);
  std::thread main_thread([&] { loop.Run(); });

  std::vector<std::thread> sessions;
  for (int t = 0; t < 6; ++t) {
    sessions.emplace_back([&, t] {
      std::string machine = "POS" + std::to_string(t);
      std::string address = "10.0.0." + std::to_string(t);
      for (int k = 0; k < 20; ++k) {
        link.SendClientConnect({machine, address, ""});
        table.NetConnect(machine + "-id", &link);
        if (k % 2 == 1) {
          link.SendClientDisconnect({machine, address, machine + "-id"});
          table.DisConnect(machine + "-id", &link);
        }
      }
    });
  }
  for (auto& s : sessions) s.join();

  // Every notification has been handled when its sender went on.
  loop.Call([&] {
    EXPECT_EQ(window.ConnectionCount(), 6 * 10);
    auto rows = window.Connections();
    ASSERT_EQ(rows.size(), 6u);
    for (const auto& row : rows) EXPECT_EQ(row[3], "10") << row[0];
  });
  EXPECT_EQ(window.UserCount(), 0);
  loop.Stop();
  main_thread.join();

  // After the end a notification returns at once instead of waiting.
  link.SendClientConnect({"late", "10.9.9.9", ""});
  EXPECT_EQ(window.ConnectionCount(), 60);
}

}  // namespace
}  // namespace tillbase::host

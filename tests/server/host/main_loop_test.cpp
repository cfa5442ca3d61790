#include "server/host/main_loop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

namespace tillbase::host {
namespace {

TEST(MainLoopConcurrency, CallWaitsUntilTheLoopHasRunTheWork) {
  MainLoop loop;
  std::thread runner([&] { loop.Run(); });
  int value = 0;  // written on the loop, read here: Call orders the two
  EXPECT_TRUE(loop.Call([&] { value = 42; }));
  EXPECT_EQ(value, 42);

  std::vector<std::thread> senders;
  std::atomic<int> done{0};
  int counter = 0;  // only the loop touches it
  for (int i = 0; i < 8; ++i) {
    senders.emplace_back([&] {
      for (int k = 0; k < 50; ++k) {
        if (loop.Call([&] { ++counter; })) ++done;
      }
    });
  }
  for (auto& t : senders) t.join();
  EXPECT_EQ(done.load(), 400);
  loop.Call([&] { EXPECT_EQ(counter, 400); });
  loop.Stop();
  runner.join();
}

TEST(MainLoopConcurrency, StopReleasesWaitingCallers) {
  MainLoop loop;
  std::promise<void> entered;
  std::promise<void> release;
  std::thread runner([&] { loop.Run(); });
  // The loop is kept busy so the second call can only wait.
  loop.Post([&] {
    entered.set_value();
    release.get_future().wait();
  });
  entered.get_future().wait();
  auto waiting = std::async(std::launch::async, [&] { return loop.Call([] {}); });
  loop.Stop();
  EXPECT_FALSE(waiting.get());
  release.set_value();
  runner.join();
  EXPECT_FALSE(loop.Call([] {}));  // after the end nothing waits
}

TEST(MainLoopConcurrency, CallFromTheLoopItselfRunsInline) {
  MainLoop loop;
  bool inner = false;
  loop.Post([&] {
    EXPECT_TRUE(loop.Call([&] { inner = true; }));
    loop.Stop();
  });
  loop.Run();
  EXPECT_TRUE(inner);
}

}  // namespace
}  // namespace tillbase::host

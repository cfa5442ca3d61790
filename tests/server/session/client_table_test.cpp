#include "server/session/client_table.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "server/session/main_window_link.h"

namespace tillbase::session {
namespace {

// Records what the table tells the window.
class CountingWindow : public MainWindowLink {
 public:
  void SendClientConnect(TCONNECTINFO) override {}
  void SendClientDisconnect(TCONNECTINFO) override {}
  void SetUserCount(int count) override { count_ = count; }
  int UserCount() const override { return count_; }

 private:
  std::atomic<int> count_{0};
};

class ClientTableTest : public ::testing::Test {
 protected:
  FixedClock clock_{EncodeDateTime({2024, 6, 1, 10, 0, 0, 0})};
  CountingWindow window_;
  ClientTable table_{clock_};
};

TEST_F(ClientTableTest, SameIdentifierOccupiesOneSlotAndRefreshes) {
  EXPECT_EQ(table_.NetConnect("A", &window_), 1);
  double first = table_.Slot(0).LastSeen;
  clock_.AdvanceSeconds(30);
  EXPECT_EQ(table_.NetConnect("A", &window_), 1);
  EXPECT_EQ(table_.OccupiedCount(), 1);
  EXPECT_GT(table_.Slot(0).LastSeen, first);
  EXPECT_EQ(table_.Slot(0).RefCount, 1);
  EXPECT_EQ(table_.NetConnect("a", &window_), 2);  // case counts
  EXPECT_EQ(window_.UserCount(), 2);
}

TEST_F(ClientTableTest, ExpiryAfterMoreThan604Point8Seconds) {
  struct Case {
    double silent_seconds;
    bool still_live;
  };
  for (Case c : {Case{600, true}, Case{604, true}, Case{605, false}, Case{3600, false}}) {
    ClientTable table(clock_);
    table.NetConnect("old", &window_);
    clock_.AdvanceSeconds(c.silent_seconds);
    int live = table.NetConnect("new", &window_);
    EXPECT_EQ(live, c.still_live ? 2 : 1) << c.silent_seconds;
    // An expired slot is free again and the newcomer takes it.
    EXPECT_EQ(table.Slot(0).ClientGUID, c.still_live ? "old" : "new") << c.silent_seconds;
    EXPECT_EQ(window_.UserCount(), live);
  }
}

TEST_F(ClientTableTest, FreedSlotIsReusedFirst) {
  table_.NetConnect("A", &window_);
  table_.NetConnect("B", &window_);
  table_.DisConnect("A", &window_);
  table_.NetConnect("C", &window_);
  EXPECT_EQ(table_.Slot(0).ClientGUID, "C");
  EXPECT_EQ(table_.Slot(1).ClientGUID, "B");
}

TEST_F(ClientTableTest, FullTableRegistersNoMoreButStillCounts) {
  for (int i = 0; i < ClientTable::kSlots; ++i)
    table_.NetConnect("id" + std::to_string(i), &window_);
  EXPECT_EQ(table_.NetConnect("one-too-many", &window_), 100);
  EXPECT_EQ(window_.UserCount(), 100);
  EXPECT_FALSE(table_.DisConnect("one-too-many", &window_));
}

TEST_F(ClientTableTest, DisConnectFreesAndLowersTheUserCount) {
  table_.NetConnect("A", &window_);
  table_.NetConnect("B", &window_);
  ASSERT_EQ(window_.UserCount(), 2);
  EXPECT_FALSE(table_.DisConnect("unknown", &window_));
  EXPECT_EQ(window_.UserCount(), 2);
  EXPECT_TRUE(table_.DisConnect("A", &window_));
  EXPECT_EQ(window_.UserCount(), 1);
  EXPECT_EQ(table_.Slot(0).ClientGUID, "");
  EXPECT_FALSE(table_.DisConnect("A", &window_));
}

TEST_F(ClientTableTest, DisConnectDoesNotExpire) {
  table_.NetConnect("A", &window_);
  table_.NetConnect("B", &window_);
  clock_.AdvanceSeconds(3600);
  table_.DisConnect("B", &window_);
  EXPECT_EQ(table_.Slot(0).ClientGUID, "A");
  EXPECT_TRUE(table_.DisConnect("A", &window_));
}

TEST_F(ClientTableTest, EmptyIdentifierIsNeverStored) {
  EXPECT_EQ(table_.NetConnect("", &window_), 0);
  EXPECT_EQ(table_.OccupiedCount(), 0);
  EXPECT_FALSE(table_.DisConnect("", &window_));
}

TEST(ClientTableConcurrency, ManySessionsAtOnceKeepTheCountExact) {
  FixedClock clock(EncodeDateTime({2024, 6, 1, 10, 0, 0, 0}));
  CountingWindow window;
  ClientTable table(clock);
  std::vector<std::thread> sessions;
  for (int t = 0; t < 8; ++t) {
    sessions.emplace_back([&, t] {
      for (int k = 0; k < 10; ++k) {
        std::string id = "s" + std::to_string(t) + "-" + std::to_string(k);
        table.NetConnect(id, &window);
        table.NetConnect(id, &window);
        if (k % 2 == 0) table.DisConnect(id, &window);
      }
    });
  }
  for (auto& s : sessions) s.join();
  EXPECT_EQ(table.OccupiedCount(), 40);
  EXPECT_EQ(table.NetConnect("last", &window), 41);
  EXPECT_EQ(window.UserCount(), 41);
}

}  // namespace
}  // namespace tillbase::session

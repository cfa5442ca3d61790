#include "server/host/main_window.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace tillbase::host {
namespace {

class MainWindowTest : public ::testing::Test {
 protected:
  MainWindowTest()
      : clock_(EncodeDateTime({2012, 3, 5, 14, 7, 9, 0})),
        window_(clock_, [this](const std::string& text, const std::string& caption) {
          asked_.push_back(text + "|" + caption);
          return answer_;
        }) {}

  FixedClock clock_;
  Answer answer_ = Answer::kNo;
  std::vector<std::string> asked_;
  MainWindow window_;
};

TEST_F(MainWindowTest, SameMachineCountsUpAndDown) {
  window_.AddConnection("POS1", "10.0.0.1");
  window_.AddConnection("POS1", "10.0.0.1");
  ASSERT_EQ(window_.Connections().size(), 1u);
  EXPECT_EQ(window_.RowAt(1)[2], "2012-03-05 14:07:09");
  EXPECT_EQ(window_.RowAt(1)[3], "2");
  EXPECT_EQ(window_.ConnectionCount(), 2);

  window_.RemoveConnection("POS1", "10.0.0.1");
  ASSERT_EQ(window_.Connections().size(), 1u);
  EXPECT_EQ(window_.RowAt(1)[3], "1");
  window_.RemoveConnection("POS1", "10.0.0.1");
  EXPECT_TRUE(window_.Connections().empty());
  EXPECT_EQ(window_.ConnectionCount(), 0);
  EXPECT_EQ(window_.RowCount(), 99);  // a deleted row leaves the grid one row shorter
}

TEST_F(MainWindowTest, EitherNameOrAddressMatchesOnConnectButBothOnDisconnect) {
  window_.AddConnection("A", "10.0.0.1");
  clock_.AdvanceSeconds(60);
  window_.AddConnection("B", "10.0.0.1");  // A's address: A's row counts up
  ASSERT_EQ(window_.Connections().size(), 1u);
  EXPECT_EQ(window_.RowAt(1)[0], "A");
  EXPECT_EQ(window_.RowAt(1)[2], "2012-03-05 14:08:09");
  EXPECT_EQ(window_.RowAt(1)[3], "2");

  window_.RemoveConnection("B", "10.0.0.1");  // the name differs: no match
  EXPECT_EQ(window_.RowAt(1)[3], "2");
  EXPECT_EQ(window_.ConnectionCount(), 1);

  window_.AddConnection("A", "10.9.9.9");  // A's name matches too
  EXPECT_EQ(window_.RowAt(1)[3], "3");
  window_.AddConnection("a", "10.9.9.8");  // case counts
  EXPECT_EQ(window_.Connections().size(), 2u);
}

TEST_F(MainWindowTest, DeletionMovesLaterRowsUp) {
  window_.AddConnection("A", "1");
  window_.AddConnection("B", "2");
  window_.AddConnection("C", "3");
  window_.RemoveConnection("B", "2");
  auto rows = window_.Connections();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][0], "A");
  EXPECT_EQ(rows[1][0], "C");
  window_.AddConnection("D", "4");
  EXPECT_EQ(window_.RowAt(3)[0], "D");
}

TEST_F(MainWindowTest, FullListOverwritesItsLastRow) {
  for (int i = 1; i < MainWindow::kGridRows; ++i) {
    window_.AddConnection("M" + std::to_string(i), "A" + std::to_string(i));
  }
  ASSERT_EQ(window_.Connections().size(), 99u);
  window_.AddConnection("NEW", "A-NEW");
  EXPECT_EQ(window_.Connections().size(), 99u);
  EXPECT_EQ(window_.RowAt(99)[0], "NEW");
  EXPECT_EQ(window_.RowAt(99)[3], "1");
  EXPECT_EQ(window_.RowAt(98)[0], "M98");
  EXPECT_EQ(window_.ConnectionCount(), 100);
}

TEST_F(MainWindowTest, DisconnectOfUnlistedMachineOnlyCounts) {
  window_.AddConnection("A", "1");
  window_.RemoveConnection("Z", "9");
  EXPECT_EQ(window_.ConnectionCount(), 0);
  EXPECT_EQ(window_.RowAt(1)[3], "1");
  window_.RemoveConnection("Z", "9");
  EXPECT_EQ(window_.ConnectionCount(), -1);
}

TEST_F(MainWindowTest, ExitRulesWhileClientsAreConnected) {
  window_.Show();
  EXPECT_FALSE(window_.CloseQuery());  // close button without exit: only hides
  EXPECT_FALSE(window_.Visible());
  EXPECT_TRUE(asked_.empty());

  window_.AddConnection("A", "1");
  answer_ = Answer::kCancel;
  window_.Show();
  EXPECT_FALSE(window_.RequestExit());
  EXPECT_FALSE(window_.Visible());
  ASSERT_EQ(asked_.size(), 1u);
  EXPECT_EQ(asked_[0], std::string(kConfirmExitText) + "|KeppaPOS服务器");
  EXPECT_TRUE(window_.ExitRequested());

  answer_ = Answer::kNo;
  EXPECT_FALSE(window_.CloseQuery());  // the close button now asks again
  EXPECT_EQ(asked_.size(), 2u);
  answer_ = Answer::kYes;
  EXPECT_TRUE(window_.CloseQuery());
}

TEST_F(MainWindowTest, ExitWithoutClientsDoesNotAsk) {
  EXPECT_TRUE(window_.ConfirmExit());
  EXPECT_TRUE(window_.RequestExit());
  EXPECT_TRUE(asked_.empty());
}

TEST_F(MainWindowTest, LiveObjectsAskOnceMoreAfterTheWindowClosed) {
  EXPECT_TRUE(window_.ConfirmCloseWithLiveObjects(0));
  EXPECT_TRUE(asked_.empty());
  answer_ = Answer::kNo;
  EXPECT_FALSE(window_.ConfirmCloseWithLiveObjects(2));
  ASSERT_EQ(asked_.size(), 1u);
  EXPECT_EQ(asked_[0].substr(asked_[0].find('|')), "|COM Server Warning");
  EXPECT_NE(asked_[0].find("so manually closing this application may"), std::string::npos);
  answer_ = Answer::kYes;
  EXPECT_TRUE(window_.ConfirmCloseWithLiveObjects(2));
}

TEST_F(MainWindowTest, CreateMakesTheHomeDirectories) {
  auto home = std::filesystem::path(::testing::TempDir()) / "main_window_home";
  std::filesystem::remove_all(home);
  window_.Create(home);
  EXPECT_TRUE(std::filesystem::is_directory(home / "BackUp"));
  EXPECT_TRUE(std::filesystem::is_directory(home / "Data"));
  EXPECT_EQ(window_.VersionInfo(), "5.5");
  std::filesystem::remove_all(home);
}

}  // namespace
}  // namespace tillbase::host

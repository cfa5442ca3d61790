#include "server/session/companion.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "server/process/named_lock.h"

namespace tillbase::session {
namespace {
namespace fs = std::filesystem;

std::string Read(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Waits for an outside process to reach a state; the bound only guards
// against a hang, it is not a timing expectation.
template <typename Pred>
bool Eventually(Pred pred) {
  for (int i = 0; i < 1000; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return pred();
}

class CompanionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path(::testing::TempDir()) / ("companion_" + std::to_string(::getpid()));
    fs::remove_all(root_);
    fs::create_directories(root_ / "run");
    fs::create_directories(root_ / "home");
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    if (old != nullptr) old_runtime_ = old;
    ::setenv("XDG_RUNTIME_DIR", (root_ / "run").c_str(), 1);
    log_ = root_ / "companion.log";
    // Takes the companion's lock and logs its argument, as the real program
    // marks that it runs.
    std::ofstream script(root_ / "home" / kCompanionProgram);
    script << "#!/bin/sh\n"
           << "exec 9>\"$XDG_RUNTIME_DIR/" << kCompanionLockName << "\"\n"
           << "flock -n 9 || exit 0\n"
           << "printf '%s\\n' \"$1\" >> '" << log_.string() << "'\n"
           << "exec sleep 600\n";
    script.close();
    ::chmod((root_ / "home" / kCompanionProgram).c_str(), 0755);
  }
  void TearDown() override {
    if (old_runtime_.empty()) {
      ::unsetenv("XDG_RUNTIME_DIR");
    } else {
      ::setenv("XDG_RUNTIME_DIR", old_runtime_.c_str(), 1);
    }
    fs::remove_all(root_);
  }
  Companion::Options Options() {
    Companion::Options o;
    o.home = root_ / "home";
    o.pause = [this](std::chrono::milliseconds d) { paused_ += d; };
    return o;
  }
  int LogLines() {
    std::string text = Read(log_);
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
  }

  fs::path root_, log_;
  std::string old_runtime_;
  std::chrono::milliseconds paused_{0};
};

TEST_F(CompanionTest, RestartStopsTheRunningOneAndStartsWithTheNewString) {
  Companion companion(Options());
  companion.Restart("Provider=SQLOLEDB.1;Initial Catalog=shop1");
  ASSERT_TRUE(Eventually([&] { return LogLines() == 1; }));
  auto first = companion.RunningPid();
  ASSERT_TRUE(first.has_value());
  EXPECT_TRUE(process::NamedLock::IsHeld(kCompanionLockName));

  companion.Restart("Provider=SQLOLEDB.1;Initial Catalog=shop1");
  ASSERT_TRUE(Eventually([&] { return LogLines() == 2; }));
  EXPECT_NE(companion.RunningPid(), first);
  EXPECT_EQ(paused_, std::chrono::milliseconds(400));
  EXPECT_EQ(Read(log_),
            "\"Provider=SQLOLEDB.1;Initial Catalog=shop1\"\n"
            "\"Provider=SQLOLEDB.1;Initial Catalog=shop1\"\n");

  companion.Stop();
  EXPECT_FALSE(companion.RunningPid().has_value());
  EXPECT_FALSE(process::NamedLock::IsHeld(kCompanionLockName));
}

TEST_F(CompanionTest, InheritsNoDescriptorOfTheServer) {
  // A descriptor without close-on-exec, as a listening socket may be.
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::ofstream script(root_ / "home" / "fd-lister");
  script << "#!/bin/sh\n"
         << "ls /proc/$$/fd > '" << (root_ / "fds.txt").string() << ".part'\n"
         << "mv '" << (root_ / "fds.txt").string() << ".part' '" << (root_ / "fds.txt").string()
         << "'\n";
  script.close();
  ::chmod((root_ / "home" / "fd-lister").c_str(), 0755);
  Companion::Options o = Options();
  o.program = "fd-lister";
  Companion companion(o);
  companion.Start("x");
  ASSERT_TRUE(Eventually([&] { return fs::exists(root_ / "fds.txt"); }));
  std::string listed = Read(root_ / "fds.txt");
  EXPECT_EQ(listed.find(std::to_string(fds[0]) + "\n"), std::string::npos) << listed;
  EXPECT_EQ(listed.find(std::to_string(fds[1]) + "\n"), std::string::npos) << listed;
  ::close(fds[0]);
  ::close(fds[1]);
}

TEST_F(CompanionTest, AlreadyRunningCompanionIsLeftAlone) {
  auto other = process::NamedLock::TryAcquire(kCompanionLockName);
  ASSERT_TRUE(other.has_value());
  Companion companion(Options());
  companion.Start("x");
  EXPECT_FALSE(companion.RunningPid().has_value());
  EXPECT_FALSE(fs::exists(log_));
}

TEST_F(CompanionTest, MissingProgramIsNotReported) {
  Companion::Options o = Options();
  o.program = "no-such-companion-program";
  Companion companion(o);
  EXPECT_NO_THROW(companion.Restart("x"));
  EXPECT_FALSE(companion.RunningPid().has_value());
  EXPECT_NO_THROW(companion.Stop());
}

TEST_F(CompanionTest, FoundOnThePathWhenNotInTheHome) {
  const char* old_path = std::getenv("PATH");
  std::string saved = old_path != nullptr ? old_path : "";
  ::setenv("PATH", ((root_ / "home").string() + ":" + saved).c_str(), 1);
  Companion::Options o = Options();
  o.home = root_ / "empty-home";
  {
    Companion companion(o);
    companion.Start("via-path");
    ASSERT_TRUE(Eventually([&] { return LogLines() == 1; }));
  }  // the destructor stops it
  ::setenv("PATH", saved.c_str(), 1);
  EXPECT_FALSE(process::NamedLock::IsHeld(kCompanionLockName));
}

}  // namespace
}  // namespace tillbase::session

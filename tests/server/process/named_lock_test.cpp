#include "server/process/named_lock.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace tillbase::process {
namespace {

class NamedLockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        std::filesystem::path(::testing::TempDir()) / ("named_lock_" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir_);
    const char* old = std::getenv("XDG_RUNTIME_DIR");
    if (old != nullptr) old_ = old;
    ::setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
  }
  void TearDown() override {
    if (old_.empty()) {
      ::unsetenv("XDG_RUNTIME_DIR");
    } else {
      ::setenv("XDG_RUNTIME_DIR", old_.c_str(), 1);
    }
    std::filesystem::remove_all(dir_);
  }
  std::filesystem::path dir_;
  std::string old_;
};

TEST_F(NamedLockTest, HeldUntilReleasedAndFreeAfterwards) {
  EXPECT_FALSE(NamedLock::IsHeld("Keppa_Mutex_Pinnor_Tillbase"));
  auto lock = NamedLock::TryAcquire("Keppa_Mutex_Pinnor_Tillbase");
  ASSERT_TRUE(lock.has_value());
  EXPECT_EQ(lock->path(), dir_ / "Keppa_Mutex_Pinnor_Tillbase");
  EXPECT_TRUE(NamedLock::IsHeld("Keppa_Mutex_Pinnor_Tillbase"));
  EXPECT_FALSE(NamedLock::TryAcquire("Keppa_Mutex_Pinnor_Tillbase").has_value());
  EXPECT_FALSE(NamedLock::IsHeld("KeppaCRMServer"));  // other names are other locks

  NamedLock moved = std::move(*lock);
  EXPECT_TRUE(NamedLock::IsHeld("Keppa_Mutex_Pinnor_Tillbase"));
  moved.Release();
  EXPECT_FALSE(NamedLock::IsHeld("Keppa_Mutex_Pinnor_Tillbase"));
  EXPECT_TRUE(NamedLock::TryAcquire("Keppa_Mutex_Pinnor_Tillbase").has_value());
}

TEST_F(NamedLockTest, GoesAwayWithAKilledProcess) {
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  if (child == 0) {
    auto lock = NamedLock::TryAcquire("probe");
    char c = lock ? '1' : '0';
    (void)!::write(ready[1], &c, 1);
    ::pause();
    ::_exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(ready[0], &c, 1), 1);
  EXPECT_EQ(c, '1');
  EXPECT_TRUE(NamedLock::IsHeld("probe"));
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  EXPECT_FALSE(NamedLock::IsHeld("probe"));
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST_F(NamedLockTest, UnusableDirectoryIsAnError) {
  ::setenv("XDG_RUNTIME_DIR", (dir_ / "missing").c_str(), 1);
  EXPECT_THROW(NamedLock::TryAcquire("x"), std::runtime_error);
  EXPECT_FALSE(NamedLock::IsHeld("x"));
}

}  // namespace
}  // namespace tillbase::process

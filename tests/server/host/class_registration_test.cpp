#include "server/host/class_registration.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

namespace tillbase::host {
namespace {
namespace fs = std::filesystem;

std::string Read(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ClassRegistrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path(::testing::TempDir()) / "class_registration";
    fs::remove_all(root_);
    paths_.class_file = root_ / "data/tillbase/classes/x.class";
    paths_.socket_unit = root_ / "config/systemd/user/tillbase-server.socket";
    paths_.service_unit = root_ / "config/systemd/user/tillbase-server.service";
  }
  void TearDown() override {
    ::chmod(root_.c_str(), 0700);
    fs::remove_all(root_);
  }
  fs::path root_;
  RegistrationPaths paths_;
};

TEST_F(ClassRegistrationTest, RegisterWritesClassAndUnitsUnregisterRemovesThem) {
  RegisterServer(paths_, {"/opt/tb 1/tillbase-server", "127.0.0.1:8211", "/srv/home%1"});
  std::string cls = Read(paths_.class_file);
  EXPECT_NE(cls.find("[CLSID\\{46359509-A19A-4D07-9D00-F7BA83D6ABBE}]"), std::string::npos);
  EXPECT_NE(cls.find("ProgID=TillcoreServer.CoTillbaseServer\n"), std::string::npos);
  EXPECT_NE(cls.find("Description=CoKeppaServer Object\n"), std::string::npos);
  EXPECT_NE(cls.find("LocalServer=/opt/tb 1/tillbase-server\n"), std::string::npos);
  EXPECT_NE(cls.find("Sockets=1\nWeb=1\n"), std::string::npos);
  EXPECT_NE(Read(paths_.socket_unit).find("ListenStream=127.0.0.1:8211\n"), std::string::npos);
  std::string service = Read(paths_.service_unit);
  EXPECT_NE(service.find("ExecStart=\"/opt/tb 1/tillbase-server\" -Embedding"), std::string::npos);
  EXPECT_NE(service.find("--home \"/srv/home%%1\""), std::string::npos);

  UnregisterServer(paths_);
  EXPECT_FALSE(fs::exists(paths_.class_file));
  EXPECT_FALSE(fs::exists(paths_.socket_unit));
  EXPECT_FALSE(fs::exists(paths_.service_unit));
  UnregisterServer(paths_);  // nothing registered: not an error
}

TEST_F(ClassRegistrationTest, UnwritableLocationNamesTheFile) {
  fs::create_directories(root_);
  ::chmod(root_.c_str(), 0500);
  if (::access((root_ / "probe").c_str(), F_OK) == 0 || ::geteuid() == 0) {
    GTEST_SKIP() << "permissions are not enforced for this user";
  }
  try {
    RegisterServer(paths_, {"/bin/true", "127.0.0.1:1", ""});
    FAIL() << "expected a failure";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find(root_.string()), std::string::npos) << e.what();
  }
}

}  // namespace
}  // namespace tillbase::host

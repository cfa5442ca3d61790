#include "server/host/class_registration.h"

#include <gtest/gtest.h>

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
  void TearDown() override { fs::remove_all(root_); }
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

TEST_F(ClassRegistrationTest, UnwritableLocationNamesThePlace) {
  // A file where the directory should be: no user can write below it.
  fs::create_directories(root_);
  std::ofstream(root_ / "config") << "not a directory";
  try {
    RegisterServer(paths_, {"/bin/true", "127.0.0.1:1", ""});
    FAIL() << "expected a failure";
  } catch (const std::exception& e) {
    EXPECT_NE(std::string(e.what()).find((root_ / "config").string()), std::string::npos)
        << e.what();
  }
  // The class file could have been written; it is not left half-registered.
  EXPECT_FALSE(fs::exists(paths_.class_file));
  EXPECT_TRUE(fs::is_empty(paths_.class_file.parent_path()));
}

}  // namespace
}  // namespace tillbase::host

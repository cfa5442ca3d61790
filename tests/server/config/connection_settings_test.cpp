#include "server/config/connection_settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>

#include "server/config/config_error.h"
#include "server/config/home.h"
#include "server/config/temp_home.h"

namespace tillbase::config {
namespace {

using testing::TempHome;

class ConnectionSettingsTest : public ::testing::Test {
 protected:
  ConnectionSettingsTest() : settings_(home_.dir(), UserStore(home_.Path("user/tillbase"))) {}
  UserStore Store() const { return UserStore(home_.Path("user/tillbase")); }
  TempHome home_;
  ServerSettings settings_;
};

TEST_F(ConnectionSettingsTest, NoConfigFileGivesFiveEmptyFields) {
  EXPECT_EQ(settings_.LoadConnectionSettings(), TConnectionString{});
  EXPECT_EQ(settings_.ConfigPath(), home_.Path("CONFIG.INI"));
  EXPECT_EQ(home_.EntryCount(), 0u);  // reading creates nothing
}

TEST_F(ConnectionSettingsTest, SaveWritesFileKeysInOrderAndThePasswordToTheStore) {
  TConnectionString saved{"srv\\inst", "", "sa", "p@ss 密码", "False"};
  settings_.SaveConnectionSettings(saved);
  EXPECT_EQ(home_.ReadFile("CONFIG.INI"),
            "[SERVER]\r\nDBServerName=srv\\inst\r\nDataBaseName=\r\nLoginName=sa\r\n"
            "DBPassword=p@ss \xC3\xDC\xC2\xEB\r\nWindowsSecurity=False\r\n");
  EXPECT_EQ(Store().Read("Database"), "p@ss 密码");
  EXPECT_EQ(settings_.LoadConnectionSettings(), saved);

  // The password comes only from the per-user store.
  ASSERT_TRUE(Store().Remove("Database"));
  TConnectionString loaded = saved;
  loaded.DBPassword = "stale";
  settings_.LoadConnectionSettings(loaded);
  EXPECT_EQ(loaded.DBPassword, "");
  EXPECT_EQ(settings_.ReadServerSetting("DBPassword"), "p@ss 密码");
}

TEST_F(ConnectionSettingsTest, PerUserStoreIsPrivate) {
  settings_.SaveConnectionSettings({"s", "", "l", "secret", ""});
  struct stat info {};
  ASSERT_EQ(::stat(Store().FilePath("Database").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat(Store().directory().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  // A password is kept exactly, blanks and line breaks included.
  ASSERT_TRUE(Store().Write("Database", " a\nb "));
  EXPECT_EQ(Store().Read("Database"), " a\nb ");
  EXPECT_THROW(Store().Write("../x", "v"), ConfigError);
}

TEST_F(ConnectionSettingsTest, StoreThatCannotBeOpenedIsSkipped) {
  home_.WriteFile("not-a-dir", "");
  ServerSettings settings(home_.dir(), UserStore(home_.Path("not-a-dir/tillbase")));
  settings.SaveConnectionSettings({"s", "", "l", "pw", ""});
  EXPECT_EQ(settings.ReadServerSetting("DBPassword"), "pw");
  EXPECT_EQ(settings.LoadConnectionSettings().DBPassword, "");
  ServerSettings no_store(home_.dir(), UserStore(""));
  EXPECT_NO_THROW(no_store.SaveConnectionSettings({"s", "", "l", "pw", ""}));
  EXPECT_EQ(no_store.LoadConnectionSettings().DBServerName, "s");
}

TEST_F(ConnectionSettingsTest, FailingKeyStopsTheSave) {
  settings_.SaveConnectionSettings({"old", "olddb", "oldlogin", "oldpw", "False"});
  // LoginName cannot be written: the keys before it change, the rest and
  // the store keep their values.
  EXPECT_THROW(settings_.SaveConnectionSettings({"new", "newdb", "bad\nlogin", "newpw", "True"}),
               ConfigError);
  EXPECT_EQ(settings_.LoadConnectionSettings(),
            (TConnectionString{"new", "newdb", "oldlogin", "oldpw", "False"}));
  EXPECT_EQ(settings_.ReadServerSetting("DBPassword"), "oldpw");

  // A home where nothing can be written fails at the first key, naming the
  // file, and leaves the store alone.
  ServerSettings nowhere(home_.Path("missing"), Store());
  try {
    nowhere.SaveConnectionSettings({"x", "", "", "otherpw", ""});
    FAIL() << "no error";
  } catch (const ConfigError& e) {
    EXPECT_EQ(e.what(), "Unable to write to " + home_.Path("missing/CONFIG.INI"));
  }
  EXPECT_EQ(Store().Read("Database"), "oldpw");
}

TEST_F(ConnectionSettingsTest, IntegratedLoginWhenWindowsSecurityIsTrue) {
  struct Case {
    const char* value;
    bool integrated;
  };
  const Case cases[] = {{"true", true}, {"True", true},   {"TRUE", true}, {"tRuE", true},
                        {"", false},    {"False", false}, {"1", false},   {"yes", false}};
  for (const auto& c : cases) {
    settings_.WriteServerSetting("WindowsSecurity", c.value);
    TConnectionString loaded = settings_.LoadConnectionSettings();
    EXPECT_EQ(loaded.WindowsSecurity, c.value);
    EXPECT_EQ(UsesIntegratedLogin(loaded), c.integrated) << c.value;
  }
}

TEST_F(ConnectionSettingsTest, NumberKeysAndNoCaching) {
  struct Case {
    const char* text;  // nullptr: key absent
    int timeout;
  };
  const Case cases[] = {{nullptr, 30}, {"abc", 30}, {"", 30},  {"12.5", 30},
                        {"0", 0},      {"45", 45},  {" 7", 7}, {"-1", -1}};
  for (const auto& c : cases) {
    home_.WriteFile("CONFIG.INI", c.text ? std::string("[SERVER]\nCOMMANDTIMEOUT=") + c.text : "");
    EXPECT_EQ(settings_.ReadCommandTimeout(), c.timeout) << (c.text ? c.text : "(absent)");
  }
  home_.WriteFile("CONFIG.INI", "[server]\nautoconnect=1\nCONNECT_TIME=15\n");
  EXPECT_TRUE(settings_.ReadAutoConnect());
  EXPECT_EQ(settings_.ReadConnectTime(), 15);
  // Each read opens the file anew: an edit is seen at once.
  home_.WriteFile("CONFIG.INI", "[SERVER]\nAUTOCONNECT=yes\nCONNECT_TIME=x\n");
  EXPECT_FALSE(settings_.ReadAutoConnect());
  EXPECT_EQ(settings_.ReadConnectTime(), 0);
}

TEST(ProcessSettings, ShorthandsUseTheProcessHomeAndTheUsersStore) {
  TempHome home;
  ::setenv("XDG_CONFIG_HOME", home.Path("xdg").c_str(), 1);
  EXPECT_EQ(UserStore::ForCurrentUser().directory(), home.Path("xdg/tillbase"));
  SetProgramDir(home.dir() + "/");
  EXPECT_EQ(ProgramDir(), home.dir());
  SaveConnectionSettings({"srv", "", "sa", "pw", "True"});
  TConnectionString loaded;
  LoadConnectionSettings(loaded);
  EXPECT_EQ(loaded, (TConnectionString{"srv", "", "sa", "pw", "True"}));
  EXPECT_EQ(home.ReadFile("xdg/tillbase/Database"), "pw");
  WriteServerSetting("ADDRESS", "dir.example.org");
  EXPECT_EQ(ReadServerSetting("address"), "dir.example.org");
  ::unsetenv("XDG_CONFIG_HOME");
  SetProgramDir(ProgramDirOf(ExecutablePath()));
}

}  // namespace
}  // namespace tillbase::config

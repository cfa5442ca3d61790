#include "server/config/home.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "server/config/config_error.h"
#include "server/config/database_driver_settings.h"
#include "server/config/temp_home.h"

namespace tillbase::config {
namespace {

TEST(Home, ProgramDirOf) {
  EXPECT_EQ(ProgramDirOf("/opt/tillbase/bin/tillbase-server"), "/opt/tillbase/bin");
  EXPECT_EQ(ProgramDirOf("/tillbase-server"), "");
  EXPECT_EQ(ProgramDirOf("tillbase-server"), "");
  EXPECT_EQ(ProgramDirOf(""), "");
  EXPECT_EQ(ProgramDirOf("a/b/"), "a/b");
}

TEST(Home, FromArguments) {
  using Args = std::vector<std::string>;
  EXPECT_EQ(HomeFromArguments(Args{}), std::nullopt);
  EXPECT_EQ(HomeFromArguments(Args{"-Embedding"}), std::nullopt);
  EXPECT_EQ(HomeFromArguments(Args{"--home", "/srv/pos"}), "/srv/pos");
  EXPECT_EQ(HomeFromArguments(Args{"-Embedding", "--home=/srv/pos"}), "/srv/pos");
  EXPECT_THROW(HomeFromArguments(Args{"--home"}), ConfigError);
  EXPECT_THROW(HomeFromArguments(Args{"--home="}), ConfigError);
}

TEST(Home, ArgumentThenEnvironmentThenExecutable) {
  const std::string exe = "/opt/tillbase/bin/tillbase-server";
  EXPECT_EQ(ResolveHome(std::string("/srv/a/"), "/srv/b", exe), "/srv/a");
  EXPECT_EQ(ResolveHome(std::nullopt, "/srv/b", exe), "/srv/b");
  EXPECT_EQ(ResolveHome(std::nullopt, "", exe), "/opt/tillbase/bin");
  EXPECT_EQ(ResolveHome(std::nullopt, nullptr, exe), "/opt/tillbase/bin");
  // A relative home is taken from the working directory.
  EXPECT_EQ(ResolveHome(std::string("rel/dir"), nullptr, exe),
            (std::filesystem::current_path() / "rel/dir").string());
  EXPECT_EQ(ProgramDirOf(ExecutablePath()),
            std::filesystem::canonical("/proc/self/exe").parent_path().string());
}

TEST(DatabaseDriverSettings, DefaultsAndChoices) {
  testing::TempHome home;
  DatabaseDriverSettings defaults = LoadDatabaseDriverSettings(home.dir());
  EXPECT_EQ(defaults.driver, DatabaseDriver::kEmbedded);
  EXPECT_EQ(defaults.odbc_driver, "FreeTDS");
  EXPECT_EQ(defaults.odbc_extra, "");
  EXPECT_EQ(defaults.data_dir, home.dir() + "/Data/engine");

  home.WriteFile(
      "CONFIG.INI",
      "[SERVER]\nDBServerName=x\n[database]\ndriver=ODBC\n"
      "OdbcDriver=ODBC Driver 18 for SQL Server\nOdbcExtra=Encrypt=no;TrustServerCertificate=yes\n"
      "DataDir=engine-data/\n");
  DatabaseDriverSettings odbc = LoadDatabaseDriverSettings(home.dir());
  EXPECT_EQ(odbc.driver, DatabaseDriver::kOdbc);
  EXPECT_EQ(DatabaseDriverName(odbc.driver), "odbc");
  EXPECT_EQ(odbc.odbc_driver, "ODBC Driver 18 for SQL Server");
  EXPECT_EQ(odbc.odbc_extra, "Encrypt=no;TrustServerCertificate=yes");
  EXPECT_EQ(odbc.data_dir, home.dir() + "/engine-data");

  home.WriteFile("CONFIG.INI", "[DATABASE]\nDriver=Embedded\nDataDir=/var/lib/tillbase\n");
  EXPECT_EQ(LoadDatabaseDriverSettings(home.dir()).data_dir, "/var/lib/tillbase");

  home.WriteFile("CONFIG.INI", "[DATABASE]\nDriver=oracle\n");
  try {
    LoadDatabaseDriverSettings(home.dir());
    FAIL() << "no error";
  } catch (const ConfigError& e) {
    EXPECT_EQ(e.what(), home.dir() +
                            "/CONFIG.INI: [DATABASE] Driver 'oracle' is not a database driver "
                            "(use embedded or odbc)");
  }
}

}  // namespace
}  // namespace tillbase::config

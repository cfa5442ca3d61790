#include "server/config/ini_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>
#include <vector>

#include "server/config/config_error.h"
#include "server/config/temp_home.h"

namespace tillbase::config {
namespace {

using testing::TempHome;

class IniFileTest : public ::testing::Test {
 protected:
  IniFile File(const std::string& name = "CONFIG.INI") { return IniFile(home_.Path(name)); }
  TempHome home_;
};

TEST_F(IniFileTest, Reading) {
  home_.WriteFile("CONFIG.INI",
                  "; a comment=not a key\r\n"
                  "orphan=before any section\r\n"
                  "[Server]\r\n"
                  "DBServerName=srv01\r\n"
                  "  LoginName  =  sa  \r\n"
                  "Quoted=\"  spaced  \"\r\n"
                  "Single='x'\r\n"
                  "Half=\"x\r\n"
                  "Empty=\r\n"
                  "Twice=first\r\n"
                  "twice=second\r\n"
                  "NoEquals\r\n"
                  ";Commented=1\r\n"
                  "[ other ]\r\n"
                  "Key=other value\r\n"
                  "[SERVER]\r\n"
                  "Late=in a second SERVER section\r\n");
  IniFile file = File();
  struct Case {
    const char* section;
    const char* key;
    const char* expected;
  };
  const Case cases[] = {
      {"SERVER", "DBServerName", "srv01"},
      {"server", "dbservername", "srv01"},  // names ignore case
      {"SERVER", "LoginName", "sa"},        // blanks around both sides
      {"SERVER", "Quoted", "  spaced  "},   // a pair of quotes comes off
      {"SERVER", "Single", "x"},
      {"SERVER", "Half", "\"x"},
      {"SERVER", "Empty", ""},
      {"SERVER", "TWICE", "first"},  // the first key of a name counts
      {"SERVER", "Missing", "<default>"},
      {"SERVER", "NoEquals", "<default>"},
      {"SERVER", "Commented", "<default>"},
      {"SERVER", "orphan", "<default>"},
      {"SERVER", "Late", "<default>"},  // the first section of a name counts
      {"OTHER", "key", "other value"},
      {"Missing", "Key", "<default>"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(file.ReadString(c.section, c.key, "<default>"), c.expected)
        << c.section << "/" << c.key;
  }
  EXPECT_EQ(File("NONE.INI").ReadString("SERVER", "DBServerName", "dflt"), "dflt");
  EXPECT_TRUE(file.SectionExists("server"));
  EXPECT_FALSE(file.SectionExists("nothing"));
  EXPECT_TRUE(file.ValueExists("Server", "empty"));
  EXPECT_FALSE(file.ValueExists("Server", "NoEquals"));
  EXPECT_EQ(file.ReadSections(), (std::vector<std::string>{"Server", "other"}));
  EXPECT_EQ(file.ReadKeys("other"), std::vector<std::string>{"Key"});
  EXPECT_TRUE(File("NONE.INI").ReadSections().empty());
}

TEST_F(IniFileTest, ValuesAreCutAt2047Bytes) {
  std::string long_value(3000, 'v');
  // 2046 ASCII bytes and a two-byte character: the cut falls inside it.
  std::string gbk_cut = std::string(2046, 'a') + "\xC9\xCC";
  home_.WriteFile("CONFIG.INI", "[S]\nlong=" + long_value + "\nexact=" + std::string(2047, 'e') +
                                    "\ngbk=" + gbk_cut + "\n");
  EXPECT_EQ(File().ReadString("S", "long", ""), std::string(2047, 'v'));
  EXPECT_EQ(File().ReadString("S", "exact", ""), std::string(2047, 'e'));
  EXPECT_EQ(File().ReadString("S", "gbk", ""), std::string(2046, 'a'));
}

TEST_F(IniFileTest, WriteChangesOneLineAndKeepsTheRest) {
  const std::string original =
      "; settings of the store\r\n"
      "[SERVER]\r\n"
      "dbservername = old\r\n"
      "; the login\r\n"
      "LoginName=sa\r\n"
      "\r\n"
      "[OTHER]\r\n"
      "x=1\r\n";
  home_.WriteFile("CONFIG.INI", original);
  File().WriteString("SERVER", "DBServerName", "new");
  EXPECT_EQ(home_.ReadFile("CONFIG.INI"),
            "; settings of the store\r\n"
            "[SERVER]\r\n"
            "dbservername=new\r\n"  // the file's spelling of the key stays
            "; the login\r\n"
            "LoginName=sa\r\n"
            "\r\n"
            "[OTHER]\r\n"
            "x=1\r\n");
  // A new key goes after the last line of its section, before the blank.
  File().WriteString("server", "WindowsSecurity", "False");
  EXPECT_EQ(home_.ReadFile("CONFIG.INI"),
            "; settings of the store\r\n"
            "[SERVER]\r\n"
            "dbservername=new\r\n"
            "; the login\r\n"
            "LoginName=sa\r\n"
            "WindowsSecurity=False\r\n"
            "\r\n"
            "[OTHER]\r\n"
            "x=1\r\n");
  EXPECT_EQ(home_.EntryCount(), 1u);  // no temporary file left behind
}

TEST_F(IniFileTest, LineEndingsOfTheFileAreKept) {
  home_.WriteFile("CONFIG.INI", "[A]\nk=1\n[B]\nm=2");
  File().WriteString("B", "n", "3");
  File().WriteString("A", "k", "9");
  File().WriteString("C", "o", "4");
  EXPECT_EQ(home_.ReadFile("CONFIG.INI"), "[A]\nk=9\n[B]\nm=2\nn=3\n[C]\no=4\n");
}

TEST_F(IniFileTest, NewFileAndNewSections) {
  File().WriteString("SERVER", "DBServerName", "srv");
  EXPECT_EQ(home_.ReadFile("CONFIG.INI"), "[SERVER]\r\nDBServerName=srv\r\n");
  File().WriteStrings("backup1.bak", {{"DATABASENAME", "db"}, {"DATE", "2024-03-05"}});
  File().WriteStrings("backup2.bak", {{"DATABASENAME", "db2"}});
  // Rewriting an existing section keeps its place.
  File().WriteStrings("BACKUP1.BAK", {{"databasename", "db1"}});
  EXPECT_EQ(home_.ReadFile("CONFIG.INI"),
            "[SERVER]\r\nDBServerName=srv\r\n"
            "[backup1.bak]\r\nDATABASENAME=db1\r\nDATE=2024-03-05\r\n"
            "[backup2.bak]\r\nDATABASENAME=db2\r\n");
  EXPECT_EQ(File().ReadSections(),
            (std::vector<std::string>{"SERVER", "backup1.bak", "backup2.bak"}));
}

TEST_F(IniFileTest, DeleteKeyAndEraseSection) {
  home_.WriteFile("CONFIG.INI", "[A]\r\nk=1\r\nj=2\r\n; about B\r\n[B]\r\nm=2\r\n[C]\r\nn=3\r\n");
  File().DeleteKey("a", "K");
  File().EraseSection("b");
  EXPECT_EQ(home_.ReadFile("CONFIG.INI"), "[A]\r\nj=2\r\n; about B\r\n[C]\r\nn=3\r\n");
  File().EraseSection("missing");
  File().DeleteKey("C", "missing");
  File("NONE.INI").EraseSection("A");
  EXPECT_EQ(home_.EntryCount(), 1u);  // nothing created for nothing to remove
  EXPECT_EQ(File().ReadString("B", "m", "gone"), "gone");
}

TEST_F(IniFileTest, Gbk) {
  // Lead 0x81 with trail bytes that are ASCII ']' and 'A'/'a': a reader
  // working on raw bytes would end the header early or fold the case.
  const std::string bracket_char = "\xE4\xB9\x9A";  // 乚 = GBK 81 5D
  const std::string upper_a_char = "\xE4\xB8\x84";  // 丄 = GBK 81 41
  const std::string lower_a_char = "\xE4\xB9\xA4";  // 乤 = GBK 81 61
  File().WriteString("销售" + bracket_char, "名称", "商品");
  File().WriteString("销售" + bracket_char, upper_a_char, "upper");
  File().WriteString("销售" + bracket_char, lower_a_char, "lower");
  EXPECT_EQ(home_.ReadFile("CONFIG.INI"),
            "[\xCF\xFA\xCA\xDB\x81\x5D]\r\n\xC3\xFB\xB3\xC6=\xC9\xCC\xC6\xB7\r\n"
            "\x81\x41=upper\r\n\x81\x61=lower\r\n");
  EXPECT_EQ(File().ReadString("销售" + bracket_char, "名称", ""), "商品");
  EXPECT_EQ(File().ReadString("销售" + bracket_char, upper_a_char, ""), "upper");
  EXPECT_EQ(File().ReadString("销售" + bracket_char, lower_a_char, ""), "lower");
  EXPECT_EQ(File().ReadSections(), std::vector<std::string>{"销售" + bracket_char});

  // A character the code page lacks fails before the file is touched.
  std::string before = home_.ReadFile("CONFIG.INI");
  EXPECT_THROW(File().WriteString("S", "k", "\xF0\x9F\x98\x80"), CodePageError);
  EXPECT_EQ(home_.ReadFile("CONFIG.INI"), before);

  // Bytes that are no GBK spoil only their own line.
  home_.WriteFile("BAD.INI", "[\xFF\xFF]\r\nhidden=1\r\n[OK]\r\nbad=\xFF\r\ngood=1\r\n");
  EXPECT_EQ(File("BAD.INI").ReadString("OK", "good", ""), "1");
  EXPECT_EQ(File("BAD.INI").ReadString("OK", "hidden", "none"), "none");
  EXPECT_THROW(File("BAD.INI").ReadString("OK", "bad", ""), CodePageError);
  EXPECT_EQ(File("BAD.INI").ReadSections(), std::vector<std::string>{"OK"});
}

TEST_F(IniFileTest, UnfitNamesAndValuesAreRefusedBeforeWriting) {
  home_.WriteFile("CONFIG.INI", "[SERVER]\r\nLoginName=sa\r\n");
  struct Case {
    const char* section;
    const char* key;
    const char* value;
    const char* message;
  };
  const Case cases[] = {
      {"SERVER", "LoginName", "sa\r\nDBPassword=x",
       "The value of key 'LoginName' holds a line break"},
      {"SERVER", "LoginName", "sa\n", "The value of key 'LoginName' holds a line break"},
      {"SERVER", "a=b", "1", "Invalid key name 'a=b'"},
      {"SERVER", "", "1", "Invalid key name ''"},
      {"SERVER", "[x", "1", "Invalid key name '[x'"},
      {"SERVER", " k", "1", "Invalid key name ' k'"},
      {"A]B", "k", "1", "Invalid section name 'A]B'"},
      {"", "k", "1", "Invalid section name ''"},
  };
  for (const auto& c : cases) {
    try {
      File().WriteString(c.section, c.key, c.value);
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const ConfigError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
  EXPECT_EQ(home_.ReadFile("CONFIG.INI"), "[SERVER]\r\nLoginName=sa\r\n");
}

TEST_F(IniFileTest, UnwritablePlacesRaiseUnableToWrite) {
  const std::string missing_dir = home_.Path("no/such/dir/CONFIG.INI");
  const std::string places[] = {missing_dir, "/proc/CONFIG.INI"};
  for (const auto& path : places) {
    try {
      IniFile(path).WriteString("SERVER", "k", "v");
      ADD_FAILURE() << "no error for " << path;
    } catch (const ConfigError& e) {
      EXPECT_EQ(e.what(), "Unable to write to " + path);
    }
  }
}

TEST_F(IniFileTest, ReadOnlyFileOrDirectoryIsNotReplaced) {
  if (testing::RunningAsRoot()) GTEST_SKIP() << "permissions do not bind the superuser";
  home_.WriteFile("CONFIG.INI", "[SERVER]\r\nk=old\r\n");
  ::chmod(home_.Path("CONFIG.INI").c_str(), 0444);
  EXPECT_THROW(File().WriteString("SERVER", "k", "new"), ConfigError);
  EXPECT_EQ(File().ReadString("SERVER", "k", ""), "old");

  ::chmod(home_.Path("CONFIG.INI").c_str(), 0644);
  ::chmod(home_.dir().c_str(), 0555);
  try {
    File().WriteString("SERVER", "k", "new");
    ADD_FAILURE() << "no error";
  } catch (const ConfigError& e) {
    EXPECT_EQ(e.what(), "Unable to write to " + home_.Path("CONFIG.INI"));
  }
  ::chmod(home_.dir().c_str(), 0755);
  EXPECT_EQ(File().ReadString("SERVER", "k", ""), "old");

  // A file that cannot be read is never replaced by one holding only the
  // new key.
  ::chmod(home_.Path("CONFIG.INI").c_str(), 0200);
  EXPECT_THROW(File().WriteString("SERVER", "other", "x"), ConfigError);
  ::chmod(home_.Path("CONFIG.INI").c_str(), 0644);
  EXPECT_EQ(home_.ReadFile("CONFIG.INI"), "[SERVER]\r\nk=old\r\n");
}

TEST_F(IniFileTest, ReplacementKeepsPermissionBits) {
  home_.WriteFile("CONFIG.INI", "[SERVER]\r\nk=old\r\n");
  ::chmod(home_.Path("CONFIG.INI").c_str(), 0640);
  File().WriteString("SERVER", "k", "new");
  struct stat info {};
  ASSERT_EQ(::stat(home_.Path("CONFIG.INI").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0640u);
}

TEST(IniFileConcurrency, WritersDoNotLoseEachOthersKeysAndReadersSeeOldOrNew) {
  TempHome home;
  IniFile file(home.Path("CONFIG.INI"));
  file.WriteString("SERVER", "Shared", "v0");
  constexpr int kThreads = 3;
  constexpr int kWrites = 20;
  std::atomic<bool> done{false};
  std::atomic<int> bad_reads{0};
  std::thread reader([&] {
    while (!done.load()) {
      std::string value = IniFile(home.Path("CONFIG.INI")).ReadString("SERVER", "Shared", "");
      if (value.empty() || value[0] != 'v') ++bad_reads;
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      IniFile own(home.Path("CONFIG.INI"));
      for (int i = 0; i < kWrites; ++i) {
        own.WriteString("SERVER", "Key" + std::to_string(t) + "_" + std::to_string(i), "x");
        own.WriteString("SERVER", "Shared", "v" + std::to_string(i));
      }
    });
  }
  for (auto& writer : writers) writer.join();
  done = true;
  reader.join();
  EXPECT_EQ(bad_reads.load(), 0);
  EXPECT_EQ(file.ReadKeys("SERVER").size(), 1u + kThreads * kWrites);
}

}  // namespace
}  // namespace tillbase::config

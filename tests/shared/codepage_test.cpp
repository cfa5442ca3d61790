#include "shared/codepage.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace tillbase {
namespace {

// "商品" (goods) in GBK.
const std::string kGoodsGbk = "\xC9\xCC\xC6\xB7";

TEST(CodePage, Cp936RoundTrip) {
  CodePage gbk("CP936");
  EXPECT_EQ(gbk.FromUtf8("商品"), kGoodsGbk);
  EXPECT_EQ(gbk.ToUtf8(kGoodsGbk), "商品");
  EXPECT_EQ(gbk.FromUtf8("abc=1"), "abc=1");
  EXPECT_EQ(gbk.FromUtf8(""), "");
  EXPECT_EQ(gbk.ByteLength("商品ab"), 6u);
  EXPECT_EQ(gbk.ByteLength("执行存储过程失败。"), 18u);
  // A long text converts whole (the converter grows its buffer).
  std::string many;
  for (int i = 0; i < 5000; ++i) many += "商品";
  EXPECT_EQ(gbk.ToUtf8(gbk.FromUtf8(many)), many);
}

TEST(CodePage, BytesThatDoNotConvertGiveClearErrors) {
  CodePage gbk("CP936");
  struct Case {
    std::string input;
    bool from_utf8;
    const char* message;
  };
  const Case cases[] = {
      {"ab\xFF", false, "Bytes are not valid CP936 text at byte offset 2"},
      {"ab\xC9", false, "Bytes are not valid CP936 text at byte offset 2"},  // cut in half
      {"a\xC3", true, "Text is not valid UTF-8 at byte offset 1"},
      {"ok\xF0\x9F\x98\x80", true,
       "Text has a character that code page CP936 cannot represent at byte offset 2"},
  };
  for (const auto& c : cases) {
    try {
      if (c.from_utf8) {
        gbk.FromUtf8(c.input);
      } else {
        gbk.ToUtf8(c.input);
      }
      ADD_FAILURE() << "no error for " << c.message;
    } catch (const CodePageError& e) {
      EXPECT_STREQ(e.what(), c.message);
    }
  }
}

TEST(CodePage, CutTailIsDroppedOnlyWhereAsked) {
  CodePage gbk("CP936");
  EXPECT_EQ(gbk.ToUtf8DroppingCutTail(kGoodsGbk.substr(0, 3)), "商");
  EXPECT_EQ(gbk.ToUtf8DroppingCutTail(kGoodsGbk), "商品");
  EXPECT_THROW(gbk.ToUtf8DroppingCutTail("\xFF" + kGoodsGbk), CodePageError);
}

TEST(CodePage, UnknownNameAndProcessSetting) {
  try {
    CodePage bogus("NO-SUCH-CODEPAGE");
    FAIL() << "no error";
  } catch (const CodePageError& e) {
    EXPECT_STREQ(e.what(), "Unknown code page 'NO-SUCH-CODEPAGE'");
  }
  EXPECT_THROW(SetAnsiCodePage(""), CodePageError);
  EXPECT_EQ(AnsiCodePage().name(), "CP936");
  EXPECT_EQ(Utf8ToAnsi("商品"), kGoodsGbk);
  EXPECT_EQ(AnsiToUtf8(kGoodsGbk), "商品");
  EXPECT_EQ(AnsiByteLength("商品"), 4u);
  SetAnsiCodePage("CP1252");
  EXPECT_EQ(Utf8ToAnsi("café"), "caf\xE9");
  SetAnsiCodePage("CP936");
  EXPECT_EQ(AnsiCodePage().name(), "CP936");
}

TEST(CodePageConcurrency, ThreadsConvertAtOnce) {
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 200; ++i) {
        if (AnsiToUtf8(Utf8ToAnsi("商品" + std::to_string(i))) != "商品" + std::to_string(i)) {
          ++failures[t];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int f : failures) EXPECT_EQ(f, 0);
}

}  // namespace
}  // namespace tillbase

#include "shared/value_format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace tillbase {
namespace {

struct GCase {
  double value;
  const char* text;
};

TEST(FormatG, GeneralFormWithThreeDigitExponent) {
  const GCase cases[] = {
      {0, "0"},
      {-0.0, "0"},
      {12.5, "12.5"},
      {100, "100"},
      {-12.5, "-12.5"},
      {0.000001, "1E-006"},
      {0.00009, "9E-005"},
      {1.5e20, "1.5E020"},
      {-1.5e20, "-1.5E020"},
      // Fixed notation from 0.0001 up to below 1e15.
      {0.0001, "0.0001"},
      {-0.0001, "-0.0001"},
      {0.00012345, "0.00012345"},
      {999999999999999.0, "999999999999999"},
      {1e15, "1E015"},
      {-1e15, "-1E015"},
      {1.25e15, "1.25E015"},
      // Rounding happens before the choice: this rounds up to 1e15.
      {999999999999999.9, "1E015"},
      {0.000099999999999999999, "0.0001"},
      // 15 significant digits.
      {0.1 + 0.2, "0.3"},
      {1.0 / 3.0, "0.333333333333333"},
      {2.0 / 3.0, "0.666666666666667"},
      {123456789.123456789, "123456789.123457"},
      {1234567890123456789.0, "1.23456789012346E018"},
      {1e100, "1E100"},
      {1e-300, "1E-300"},
      {1.7976931348623157e308, "1.79769313486232E308"},
      {5e-324, "4.94065645841247E-324"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatG(c.value), c.text) << c.value;
}

TEST(FormatG, NonFiniteValuesAreRefused) {
  EXPECT_THROW(FormatG(std::numeric_limits<double>::quiet_NaN()), FormatError);
  EXPECT_THROW(FormatG(std::numeric_limits<double>::infinity()), FormatError);
}

TEST(FloatToStr, ExponentHasOnlyTheDigitsItNeeds) {
  const GCase cases[] = {{1e20, "1E20"},   {0.000001, "1E-6"}, {12.5, "12.5"},
                         {-1e15, "-1E15"}, {0, "0"},           {1.0 / 3.0, "0.333333333333333"}};
  for (const auto& c : cases) EXPECT_EQ(FloatToStr(c.value), c.text) << c.value;
  EXPECT_EQ(FloatToStr(std::numeric_limits<double>::infinity()), "INF");
  EXPECT_EQ(FloatToStr(-std::numeric_limits<double>::infinity()), "-INF");
  EXPECT_EQ(FloatToStr(std::numeric_limits<double>::quiet_NaN()), "NAN");
}

TEST(FormatD, SignedDecimal) {
  EXPECT_EQ(FormatD(0), "0");
  EXPECT_EQ(FormatD(-42), "-42");
  EXPECT_EQ(FormatD(std::numeric_limits<int32_t>::min()), "-2147483648");
  EXPECT_EQ(FormatD(std::numeric_limits<int32_t>::max()), "2147483647");
}

TEST(QuoteSql, DoublesEverySingleQuote) {
  EXPECT_EQ(QuoteSql(""), "''");
  EXPECT_EQ(QuoteSql("abc"), "'abc'");
  EXPECT_EQ(QuoteSql("O'Brien"), "'O''Brien'");
  EXPECT_EQ(QuoteSql("'); drop table x --"), "'''); drop table x --'");
  EXPECT_EQ(QuoteSql("''"), "''''''");
  EXPECT_EQ(QuoteSql("商品'一"), "'商品''一'");
}

struct IntCase {
  const char* text;
  bool ok;
  int32_t value;
};

TEST(TryStrToInt, DecimalAndHexForms) {
  const IntCase cases[] = {
      {"0", true, 0},
      {"42", true, 42},
      {"  42", true, 42},
      {"+7", true, 7},
      {"-7", true, -7},
      {"2147483647", true, 2147483647},
      {"-2147483648", true, std::numeric_limits<int32_t>::min()},
      {"2147483648", false, 0},
      {"-2147483649", false, 0},
      {"$1F", true, 31},
      {"0x1f", true, 31},
      {"x10", true, 16},
      {"$FFFFFFFF", true, -1},
      {"$100000000", false, 0},
      {"", false, 0},
      {" ", false, 0},
      {"-", false, 0},
      {"42 ", false, 0},
      {"4 2", false, 0},
      {"1.0", false, 0},
      {"1e3", false, 0},
      {"abc", false, 0},
      {"$", false, 0},
  };
  for (const auto& c : cases) {
    int32_t value = 12345;
    EXPECT_EQ(TryStrToInt(c.text, &value), c.ok) << '"' << c.text << '"';
    if (c.ok) {
      EXPECT_EQ(value, c.value) << '"' << c.text << '"';
    }
  }
  int64_t big = 0;
  EXPECT_TRUE(TryStrToInt64("-9223372036854775808", &big));
  EXPECT_EQ(big, std::numeric_limits<int64_t>::min());
  EXPECT_FALSE(TryStrToInt64("9223372036854775808", &big));
}

TEST(TryStrToFloat, PlainDecimalFormsOnly) {
  struct Case {
    const char* text;
    bool ok;
    double value;
  };
  const Case cases[] = {
      {"12.5", true, 12.5}, {" -12.5 ", true, -12.5}, {"1.5E-3", true, 0.0015}, {"1e3", true, 1000},
      {".5", true, 0.5},    {"5.", true, 5},          {"", false, 0},           {".", false, 0},
      {"1e", false, 0},     {"inf", false, 0},        {"nan", false, 0},        {"0x10", false, 0},
      {"1,5", false, 0},    {"1e-400", true, 0},      {"1e400", false, 0},
  };
  for (const auto& c : cases) {
    double value = -1;
    EXPECT_EQ(TryStrToFloat(c.text, &value), c.ok) << '"' << c.text << '"';
    if (c.ok) {
      EXPECT_DOUBLE_EQ(value, c.value) << '"' << c.text << '"';
    }
  }
}

TEST(ClientTextReadings, IntStrictIntFlagAndPattern) {
  struct Case {
    const char* text;
    int32_t int_of;
    bool flag;
  };
  const Case cases[] = {
      {"", 0, false},      {"abc", 0, false}, {"12", 12, true},  {"-1", -1, true},
      {"256", 256, false},  // lowest eight bits all zero
      {"257", 257, true},  {"0", 0, false},   {"1.5", 0, false}, {"$100", 256, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IntOf(c.text), c.int_of) << '"' << c.text << '"';
    EXPECT_EQ(FlagOf(c.text), c.flag) << '"' << c.text << '"';
  }
  EXPECT_EQ(StrictIntOf(""), 0);
  EXPECT_EQ(StrictIntOf("7"), 7);
  try {
    StrictIntOf("7a");
    FAIL() << "no error";
  } catch (const FormatError& e) {
    EXPECT_STREQ(e.what(), "'7a' is not a valid integer value");
  }
  EXPECT_THROW(StrictIntOf(" "), FormatError);
  EXPECT_EQ(PatternOf("abc"), "%abc%");
  EXPECT_EQ(PatternOf(""), "%%");
}

TEST(Format, FillsPlaceholdersAndQuotesText) {
  EXPECT_EQ(Format("values (%d, %g, '%s')", {Variant(12), Variant(0.000001), Variant("a'b")}),
            "values (12, 1E-006, 'a''b')");
  // Null reads as 0 for numbers and "" for text, as record fields do.
  EXPECT_EQ(Format("%d %g '%s'", {Variant::Null(), Variant::Null(), Variant::Null()}), "0 0 ''");
  EXPECT_EQ(Format("100%% '%s'", {Variant("x")}), "100% 'x'");
  // A bare %s is a trusted fragment and goes in as it is.
  EXPECT_EQ(Format("select %s", {Variant("1")}), "select 1");
  // Numbers from text convert like the record field would.
  EXPECT_EQ(Format("%d,%g", {Variant("42"), Variant("12.50")}), "42,12.5");
}

TEST(Format, MismatchedTemplatesAreRefused) {
  const std::string message = "Format '%d %d' invalid or incompatible with argument";
  try {
    Format("%d %d", {Variant(1)});
    FAIL() << "no error";
  } catch (const FormatError& e) {
    EXPECT_EQ(e.what(), message);
  }
  EXPECT_THROW(Format("%d", {Variant(1), Variant(2)}), FormatError);
  EXPECT_THROW(Format("%x", {Variant(1)}), FormatError);
  EXPECT_THROW(Format("50%", {}), FormatError);
  EXPECT_THROW(Format("%d", {Variant("abc")}), VariantError);
}

}  // namespace
}  // namespace tillbase

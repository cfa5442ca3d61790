#include "shared/ole_date.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tillbase {
namespace {

TEST(OleDate, EncodeAndDecode) {
  struct Case {
    DateTimeParts parts;
    double ole;
  };
  const Case cases[] = {
      {{1899, 12, 30}, 0},
      {{1899, 12, 31}, 1},
      {{1900, 1, 1}, 2},
      {{2000, 1, 1}, 36526},
      {{2000, 1, 1, 12, 0, 0}, 36526.5},
      {{1899, 12, 29, 6, 0, 0}, -1.25},  // before day 0 the time still counts forward
      {{9999, 12, 31}, 2958465},
      {{1, 1, 1}, -693593},
  };
  for (const auto& c : cases) {
    EXPECT_DOUBLE_EQ(EncodeDateTime(c.parts), c.ole);
    EXPECT_EQ(DecodeDateTime(c.ole), c.parts) << c.ole;
  }
  // Milliseconds round; 23:59:59.9996 rounds into the next day.
  EXPECT_EQ(DecodeDateTime(1 - 0.0004 / 86400).day, 31);
  EXPECT_THROW(EncodeDate(2023, 2, 29), DateError);
  EXPECT_THROW(EncodeDate(2024, 13, 1), DateError);
  EXPECT_THROW(DecodeDateTime(3e6), DateError);
  EXPECT_THROW(DecodeDateTime(std::nan("")), DateError);
  EXPECT_NO_THROW(EncodeDate(2024, 2, 29));
}

TEST(OleDate, FixedTextForms) {
  double when = EncodeDateTime({2024, 3, 5, 7, 8, 9});
  EXPECT_EQ(FormatDate(when), "2024-03-05");
  EXPECT_EQ(FormatDateTime(when), "2024-03-05 07:08:09");
  EXPECT_EQ(FormatTime(when), "07:08:09");

  struct Case {
    const char* text;
    std::optional<double> value;
  };
  const Case cases[] = {
      {"2024-03-05", EncodeDate(2024, 3, 5)},
      {" 2024-3-5 ", EncodeDate(2024, 3, 5)},
      {"2024/03/05", EncodeDate(2024, 3, 5)},
      {"2024-03-05 07:08:09", when},
      {"2024-03-05 07:08", EncodeDateTime({2024, 3, 5, 7, 8, 0})},
      {"07:08:09", EncodeDateTime({1899, 12, 30, 7, 8, 9})},
      {"2024-02-30", std::nullopt},
      {"2024-03/05", std::nullopt},
      {"2024-03-05x", std::nullopt},
      {"24:00:00", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    auto parsed = TryParseDateTime(c.text);
    ASSERT_EQ(parsed.has_value(), c.value.has_value()) << '"' << c.text << '"';
    if (parsed) {
      EXPECT_NEAR(*parsed, *c.value, 1e-9) << '"' << c.text << '"';
    }
  }
}

TEST(OleDate, FixedPositionReading) {
  struct Case {
    const char* text;
    std::optional<double> value;
  };
  const Case cases[] = {
      {"2024-03-05", EncodeDate(2024, 3, 5)},
      {"2024/03/05", EncodeDate(2024, 3, 5)},
      {"2024x03y05 trailing", EncodeDate(2024, 3, 5)},  // 5 and 8 are not looked at
      {"2024-3-5", std::nullopt},
      {"2024-13-05", std::nullopt},
      {"2024-02-30", std::nullopt},
      {"abcd-03-05", std::nullopt},
      {"2024-03", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases) {
    auto read = TryReadFixedPositionDate(c.text);
    ASSERT_EQ(read.has_value(), c.value.has_value()) << '"' << c.text << '"';
    if (read) {
      EXPECT_DOUBLE_EQ(*read, *c.value);
    }
  }
  try {
    ReadFixedPositionDate("junk");
    FAIL() << "no error";
  } catch (const DateError& e) {
    EXPECT_STREQ(e.what(), "'junk' is not a valid date");
  }
}

TEST(OleDate, InjectedClock) {
  FixedClock clock(EncodeDateTime({2024, 3, 5, 23, 0, 0}));
  EXPECT_EQ(FormatDate(Today(clock)), "2024-03-05");
  clock.AdvanceSeconds(3600);
  EXPECT_EQ(FormatDateTime(Now(clock)), "2024-03-06 00:00:00");
}

}  // namespace
}  // namespace tillbase

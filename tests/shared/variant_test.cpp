#include "shared/variant.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>

#include "shared/ole_date.h"

namespace tillbase {
namespace {

// Runs `fn` and returns the VariantError message, or "" when nothing raised.
std::string ErrorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const VariantError& e) {
    return e.what();
  }
  return "";
}

TEST(VarTypeAsText, LibraryTypeNames) {
  EXPECT_EQ(VarTypeAsText(VT_EMPTY), "Empty");
  EXPECT_EQ(VarTypeAsText(VT_NULL), "Null");
  EXPECT_EQ(VarTypeAsText(VT_I2), "Smallint");
  EXPECT_EQ(VarTypeAsText(VT_I4), "Integer");
  EXPECT_EQ(VarTypeAsText(VT_R8), "Double");
  EXPECT_EQ(VarTypeAsText(VT_CY), "Currency");
  EXPECT_EQ(VarTypeAsText(VT_DATE), "Date");
  EXPECT_EQ(VarTypeAsText(VT_BSTR), "OleStr");
  EXPECT_EQ(VarTypeAsText(VT_BOOL), "Boolean");
  EXPECT_EQ(VarTypeAsText(VT_I8), "Int64");
  EXPECT_EQ(VarTypeAsText(VT_ARRAY | VT_VARIANT), "Array Variant");
  EXPECT_EQ(VarTypeAsText(VT_ARRAY | VT_UI1), "Array Byte");
  EXPECT_EQ(VarTypeAsText(kVarTypeFmtBcd), "FMTBcdVariantType");
  EXPECT_EQ(VarTypeAsText(0x0234), "$0234");
}

TEST(VariantConvert, ToInt32) {
  struct Case {
    Variant value;
    int32_t expected;
  };
  const Case cases[] = {
      {Variant(), 0},
      {Variant(int16_t{-5}), -5},
      {Variant(int64_t{2147483647}), 2147483647},
      {Variant(true), -1},
      {Variant(false), 0},
      // Floats round half to even.
      {Variant(2.5), 2},
      {Variant(3.5), 4},
      {Variant(-2.5), -2},
      {Variant(2.6), 3},
      {Variant(Currency{25000}), 2},
      {Variant(Currency{35000}), 4},
      {Variant("42"), 42},
      {Variant(" 42 "), 42},
      {Variant("$10"), 16},
      {Variant("12.5"), 12},
      {Variant("1e3"), 1000},
      {Variant::FromDate(45000.75), 45001},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.ToInt32(), c.expected) << c.value;
}

TEST(VariantConvert, FailuresNameBothTypes) {
  struct Case {
    std::function<void()> convert;
    const char* message;
  };
  const Case cases[] = {
      {[] { Variant::Null().ToInt32(); },
       "Could not convert variant of type (Null) into type (Integer)"},
      {[] { Variant::Null().ToDouble(); },
       "Could not convert variant of type (Null) into type (Double)"},
      {[] { Variant::Null().ToString(); },
       "Could not convert variant of type (Null) into type (String)"},
      {[] { Variant("abc").ToInt32(); },
       "Could not convert variant of type (OleStr) into type (Integer)"},
      {[] { Variant("").ToInt32(); },
       "Could not convert variant of type (OleStr) into type (Integer)"},
      {[] { Variant("abc").ToDouble(); },
       "Could not convert variant of type (OleStr) into type (Double)"},
      {[] { Variant("maybe").ToBool(); },
       "Could not convert variant of type (OleStr) into type (Boolean)"},
      {[] { Variant("2023-02-30").ToDate(); },
       "Could not convert variant of type (OleStr) into type (Date)"},
      {[] { VarArrayOf({Variant(1)}).ToInt32(); },
       "Could not convert variant of type (Array Variant) into type (Integer)"},
      {[] { Variant(3e9).ToInt32(); },
       "Overflow while converting variant of type (Double) into type (Integer)"},
      {[] { Variant(int64_t{1} << 40).ToInt32(); },
       "Overflow while converting variant of type (Int64) into type (Integer)"},
      {[] { Variant(70000).ToInt16(); },
       "Overflow while converting variant of type (Integer) into type (Smallint)"},
      {[] { Variant("3000000000").ToInt32(); },
       "Overflow while converting variant of type (OleStr) into type (Integer)"},
      {[] { Variant(1e300).ToCurrency(); },
       "Overflow while converting variant of type (Double) into type (Currency)"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf(c.convert), c.message);
  try {
    Variant::Null().ToInt32();
  } catch (const VariantError& e) {
    EXPECT_EQ(e.code(), kDispETypeMismatch);
  }
}

TEST(VariantConvert, ToDoubleToBoolAndToString) {
  EXPECT_DOUBLE_EQ(Variant("12.5").ToDouble(), 12.5);
  EXPECT_DOUBLE_EQ(Variant(" -1.5E2 ").ToDouble(), -150);
  EXPECT_DOUBLE_EQ(Variant("$1F").ToDouble(), 31);
  EXPECT_DOUBLE_EQ(Variant(Currency{125000}).ToDouble(), 12.5);
  EXPECT_DOUBLE_EQ(Variant(Decimal::Parse("12.5")).ToDouble(), 12.5);
  EXPECT_DOUBLE_EQ(Variant().ToDouble(), 0);

  struct BoolCase {
    Variant value;
    bool expected;
  };
  const BoolCase bools[] = {
      {Variant("true"), true}, {Variant("FALSE"), false}, {Variant(" True "), true},
      {Variant("0"), false},   {Variant("-1"), true},     {Variant("0.5"), true},
      {Variant(0), false},     {Variant(2), true},        {Variant(), false},
      {Variant(0.0), false},
  };
  for (const auto& c : bools) EXPECT_EQ(c.value.ToBool(), c.expected) << c.value;

  struct TextCase {
    Variant value;
    const char* expected;
  };
  const TextCase texts[] = {
      {Variant(), ""},
      {Variant(42), "42"},
      {Variant(true), "True"},
      {Variant(false), "False"},
      {Variant(12.5), "12.5"},
      {Variant(1e20), "1E20"},
      {Variant(0.1f), "0.1"},
      {Variant(Currency{125000}), "12.5"},
      {Variant(Currency{-5}), "-0.0005"},
      {Variant(Decimal::Parse("-0012.500")), "-12.5"},
      {Variant::FromDate(EncodeDate(2024, 3, 5)), "2024-03-05"},
      {Variant::FromDate(EncodeDate(2024, 3, 5) + 0.5), "2024-03-05 12:00:00"},
      {Variant::FromDate(0.25), "06:00:00"},
      {Variant::Custom(kVarTypeFmtBcd, "12.50"), "12.50"},
  };
  for (const auto& c : texts) EXPECT_EQ(c.value.ToString(), c.expected) << c.value;
  EXPECT_EQ(VarToStr(Variant::Null()), "");
}

TEST(VariantConvert, CurrencyAndDecimal) {
  EXPECT_EQ(Variant("12.34565").ToCurrency().scaled, 123456);  // half to even
  EXPECT_EQ(Variant("12.34575").ToCurrency().scaled, 123458);
  EXPECT_EQ(Variant(7).ToCurrency().scaled, 70000);
  EXPECT_EQ(Currency::FromDouble(0.00005).scaled, 0);
  EXPECT_EQ(Currency::FromDouble(-1.23456).scaled, -12346);
  EXPECT_EQ(Decimal::Parse("0.10").ToString(), "0.1");
  EXPECT_EQ(Decimal::Parse("-0").ToString(), "0");
  EXPECT_EQ(Decimal::FromDouble(0.1 + 0.2).ToString(), "0.3");
  EXPECT_EQ(Variant(12.5).ToDecimal().ToString(), "12.5");
  EXPECT_THROW(Decimal::Parse("1.2.3"), VariantError);
  EXPECT_THROW(Decimal::Parse("123456789012345678901234567890"), VariantError);
}

// Decimals convert to the double nearest their exact value, by whichever way.
TEST(VariantConvert, DecimalToDoubleIsCorrectlyRounded) {
  std::vector<Decimal> cases;
  for (const char* text : {"0", "-0", "0.1", "-12.5", "9007199254740993", "9007199254740992.5",
                           "0.0000000000000000000000000001", "79228162514264337593543950335",
                           "123456.1234", "-0.30000000000000004"}) {
    cases.push_back(Decimal::Parse(text));
  }
  uint64_t state = 88172645463325252ull;  // xorshift: repeatable
  for (int i = 0; i < 3000; ++i) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    Decimal d;
    d.negative = state & 1;
    d.scale = static_cast<uint8_t>((state >> 1) % 29);
    d.lo64 = state >> (i % 3 == 0 ? 0 : 10);  // beyond and within 53 bits
    d.hi32 = i % 7 == 0 ? static_cast<uint32_t>(state >> 40) : 0;
    cases.push_back(d);
  }
  for (const Decimal& d : cases) {
    std::string text = d.ToString();
    double expected = std::strtod(text.c_str(), nullptr);
    double got = d.ToDouble();
    EXPECT_EQ(std::memcmp(&got, &expected, sizeof got), 0) << text << " " << got;
  }
}

TEST(VariantArray, BoundsAndIndexErrors) {
  Variant array = VarArrayCreate(1, 3);
  EXPECT_EQ(VarArrayLowBound(array), 1);
  EXPECT_EQ(VarArrayHighBound(array), 3);
  EXPECT_TRUE(array.Get(1).IsEmpty());
  array.Set(3, Variant("x"));
  EXPECT_EQ(array.Get(3), Variant("x"));
  EXPECT_EQ(ErrorOf([&] { array.Get(0); }), "Variant or safe array index out of bounds");
  EXPECT_EQ(ErrorOf([&] { array.Set(4, Variant(1)); }),
            "Variant or safe array index out of bounds");
  EXPECT_EQ(ErrorOf([] { VarArrayHighBound(Variant(5)); }), "Invalid argument");
  EXPECT_EQ(ErrorOf([] { Variant("abc").Get(0); }), "Invalid argument");

  Variant empty = VarArrayCreate(0, -1);
  EXPECT_EQ(empty.Count(), 0);
  EXPECT_EQ(empty.HighBound(), -1);
  EXPECT_THROW(VarArrayCreate(0, -2), VariantError);

  Variant bytes(std::vector<uint8_t>{1, 2, 255});
  EXPECT_TRUE(bytes.IsArray());
  EXPECT_EQ(bytes.HighBound(), 2);
  EXPECT_EQ(bytes.Get(2), Variant(uint8_t{255}));
  EXPECT_EQ(ErrorOf([&] { bytes.Set(0, Variant(300)); }),
            "Overflow while converting variant of type (Integer) into type (Byte)");

  // Copies are deep.
  Variant copy = array;
  copy.Set(1, Variant(9));
  EXPECT_TRUE(array.Get(1).IsEmpty());
}

TEST(VarEquals, LooseComparison) {
  struct Case {
    Variant a;
    Variant b;
    bool equal;
  };
  const Case cases[] = {
      // The IsDemo case: an integer 0 and False are the same value.
      {Variant(0), Variant(false), true},
      {Variant(-1), Variant(true), true},
      {Variant(1), Variant(true), false},
      {Variant(int16_t{3}), Variant(3.0), true},
      {Variant(Currency{30000}), Variant(3), true},
      {Variant("3"), Variant(3), true},
      {Variant("3.0"), Variant(3), true},
      {Variant("True"), Variant(true), true},
      {Variant("0"), Variant(false), true},
      {Variant("abc"), Variant("ABC"), false},
      {Variant("abc"), Variant("abc"), true},
      {Variant::Null(), Variant::Null(), true},
      {Variant::Null(), Variant(0), false},
      {Variant::Null(), Variant(), false},
      {Variant(), Variant(0), true},
      {Variant(), Variant(""), true},
      {Variant(), Variant("x"), false},
      {Variant(int64_t{(1LL << 53) + 1}), Variant(int64_t{1LL << 53}), false},
      {VarArrayOf({Variant(1), Variant("a")}), VarArrayOf({Variant(1.0), Variant("a")}), true},
      {VarArrayOf({Variant(1)}), VarArrayCreate(1, 1), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(VarEquals(c.a, c.b), c.equal) << c.a << " vs " << c.b;
    EXPECT_EQ(VarEquals(c.b, c.a), c.equal) << c.b << " vs " << c.a;
  }
  EXPECT_THROW(VarEquals(Variant("abc"), Variant(1)), VariantError);
}

TEST(Variant, IdentityAndCustomKinds) {
  EXPECT_EQ(Variant(1), Variant(1));
  EXPECT_FALSE(Variant(1) == Variant(int16_t{1}));  // identity compares kinds
  Variant bcd = Variant::Custom(kVarTypeFmtBcd, "1.5");
  EXPECT_TRUE(bcd.IsCustom());
  EXPECT_EQ(bcd.StringValue(), "1.5");
  EXPECT_DOUBLE_EQ(bcd.ToDouble(), 1.5);
  EXPECT_THROW(Variant::Custom(VT_I4, "1"), VariantError);
  EXPECT_THROW(Variant(1).StringValue(), VariantError);
}

}  // namespace
}  // namespace tillbase

#include "rpc/variant_json.h"

#include <gtest/gtest.h>

#include <boost/json.hpp>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "rpc/json_parse.h"

namespace tillbase::rpc {
namespace {

// Random variants of every kind, nested arrays included; the generator is
// seeded so a failure reproduces.
class VariantGenerator {
 public:
  explicit VariantGenerator(uint32_t seed) : rng_(seed) {}

  Variant Next(int depth = 0) {
    int kind = Pick(0, depth < 3 ? 17 : 15);
    switch (kind) {
      case 0: return Variant();
      case 1: return Variant::Null();
      case 2: return Variant(Pick(0, 1) == 1);
      case 3: return Variant(Text());
      case 4: return Variant(static_cast<int32_t>(Bits()));
      case 5: return Variant(Double());
      case 6: return Variant(static_cast<int16_t>(Bits()));
      case 7: return Variant(static_cast<uint8_t>(Bits()));
      case 8: return Variant(static_cast<int64_t>(Bits64()));
      case 9: {
        double d = Double();
        return Variant(std::fabs(d) > 3e38 ? 1.5f : static_cast<float>(d));
      }
      case 10: return Variant(Currency{static_cast<int64_t>(Bits64())});
      case 11: return Variant::FromDate(Pick(-650000, 2900000) + Pick(0, 86399) / 86400.0);
      case 12: {
        Decimal d;
        d.negative = Pick(0, 1) == 1;
        d.scale = static_cast<uint8_t>(Pick(0, 28));
        d.lo64 = Bits64();
        d.hi32 = static_cast<uint32_t>(Bits()) % 0x1000;
        return Variant(Decimal::Parse(d.ToString()));
      }
      case 13: return Variant::Custom(kVarTypeFmtBcd, "12345.678");
      case 14: return Variant::Custom(kVarTypeSqlTimeStamp, "2012-03-04 05:06:07.000");
      case 15: {
        std::vector<uint8_t> bytes(Pick(0, 9));
        for (auto& b : bytes) b = static_cast<uint8_t>(Bits());
        return Variant(std::move(bytes));
      }
      default: {
        VariantArray array;
        array.low_bound = Pick(0, 2) == 0 ? Pick(-5, 5) : 0;
        int n = Pick(0, 4);
        for (int i = 0; i < n; ++i) array.items.push_back(Next(depth + 1));
        return Variant(std::move(array));
      }
    }
  }

 private:
  int Pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
  uint32_t Bits() { return static_cast<uint32_t>(rng_()); }
  uint64_t Bits64() { return (uint64_t(rng_()) << 32) | rng_(); }
  double Double() {
    switch (Pick(0, 5)) {
      case 0: return std::numeric_limits<double>::quiet_NaN();
      case 1: return Pick(0, 1) ? std::numeric_limits<double>::infinity()
                                : -std::numeric_limits<double>::infinity();
      case 2: return Pick(-1000, 1000);  // integral doubles must stay doubles
      case 3: return -0.0;
      default: {
        double d;
        uint64_t bits = Bits64();
        std::memcpy(&d, &bits, sizeof d);
        return std::isfinite(d) ? d : 0.1;
      }
    }
  }
  std::string Text() {
    static const char* const kTexts[] = {"", "abc", "中文 \"quoted\" \\ / \n\t", "\x01\x7f",
                                         "Null", "{\"$empty\":true}"};
    return kTexts[Pick(0, 5)];
  }
  std::mt19937 rng_;
};

// Same kind and value, NaN equal to NaN and -0.0 apart from 0.0.
bool Identical(const Variant& a, const Variant& b) {
  if (a.type() != b.type()) return false;
  if (a.type() == VT_R8 || a.type() == VT_R4 || a.type() == VT_DATE) {
    double x = a.type() == VT_DATE ? a.ToDate() : a.ToDouble();
    double y = b.type() == VT_DATE ? b.ToDate() : b.ToDouble();
    if (std::isnan(x)) return std::isnan(y);
    return std::memcmp(&x, &y, sizeof x) == 0;
  }
  if (a.type() == (VT_ARRAY | VT_VARIANT)) {
    if (a.LowBound() != b.LowBound() || a.Count() != b.Count()) return false;
    for (int32_t i = a.LowBound(); i <= a.HighBound(); ++i) {
      if (!Identical(a.At(i), b.At(i))) return false;
    }
    return true;
  }
  return a == b;
}

TEST(VariantJson, RandomVariantsRoundTripExactly) {
  VariantGenerator gen(20240611);
  for (int i = 0; i < 5000; ++i) {
    Variant original = gen.Next();
    std::string text = EncodeVariant(original);
    Variant back = DecodeVariant(text);
    ASSERT_TRUE(Identical(original, back))
        << original.DebugString() << " -> " << text << " -> " << back.DebugString();
    // Encoding is canonical: the text of the decoded value is the same text.
    ASSERT_EQ(EncodeVariant(back), text);
  }
}

TEST(VariantJson, ExtremesRoundTrip) {
  const Variant cases[] = {
      Variant(std::numeric_limits<int32_t>::min()),
      Variant(std::numeric_limits<int32_t>::max()),
      Variant(std::numeric_limits<int64_t>::min()),
      Variant(std::numeric_limits<int64_t>::max()),
      Variant(std::numeric_limits<double>::denorm_min()),
      Variant(std::numeric_limits<double>::max()),
      Variant(std::numeric_limits<double>::lowest()),
      Variant(0.1),
      Variant(std::numeric_limits<float>::denorm_min()),
      Variant(std::numeric_limits<float>::max()),
      Variant(-std::numeric_limits<float>::infinity()),
      Variant(std::numeric_limits<float>::quiet_NaN()),
      Variant(Currency{std::numeric_limits<int64_t>::min()}),
      Variant(Currency{std::numeric_limits<int64_t>::max()}),
      Variant(Currency{-1}),
      Variant(Decimal::Parse("-79228162514264337593543950335")),
      Variant(Decimal::Parse("0.0000000000000000000000000001")),
      Variant(std::vector<uint8_t>{}),
      VarArrayCreate(7, 6),
      VarArrayCreate(std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::min()),
  };
  for (const Variant& v : cases) {
    EXPECT_TRUE(Identical(DecodeVariant(EncodeVariant(v)), v))
        << v.DebugString() << " -> " << EncodeVariant(v);
  }
}

TEST(VariantJson, WireFormsAreThoseDocumented) {
  struct Case {
    Variant value;
    const char* json;
  };
  const Case cases[] = {
      {Variant(), R"({"$empty":true})"},
      {Variant::Null(), "null"},
      {Variant(true), "true"},
      {Variant("a\"b"), R"("a\"b")"},
      {Variant(int32_t{-7}), "-7"},
      {Variant(int16_t{5}), R"({"$i2":5})"},
      {Variant(uint8_t{7}), R"({"$ui1":7})"},
      {Variant(int64_t{9007199254740993}), R"({"$i8":"9007199254740993"})"},
      {Variant(Currency{123400}), R"({"$cy":"12.3400"})"},
      {Variant(Currency{-5}), R"({"$cy":"-0.0005"})"},
      {Variant(Decimal::Parse("-12.50")), R"({"$decimal":"-12.5"})"},
      {Variant(std::vector<uint8_t>{1, 2, 3, 4}), R"({"$bytes":"AQIDBA=="})"},
      {VarArrayOf({Variant(int32_t{1}), Variant::Null()}), "[1,null]"},
      {VarArrayCreate(1, 1), R"({"$array":[{"$empty":true}],"lbound":1})"},
      {Variant(std::numeric_limits<double>::quiet_NaN()), R"({"$r8":"NaN"})"},
  };
  for (const Case& c : cases) EXPECT_EQ(EncodeVariant(c.value), c.json) << c.value;
}

TEST(VariantJson, ReadsTheLooserForms) {
  struct Case {
    const char* json;
    Variant expected;
  };
  const Case cases[] = {
      {"2.0", Variant(2.0)},
      {"1E300", Variant(1e300)},
      {"4294967296", Variant(4294967296.0)},  // beyond 32 bits: a double
      {"18446744073709551615", Variant(18446744073709551615.0)},
      {"-2147483648", Variant(std::numeric_limits<int32_t>::min())},
      {R"({"$i8":12})", Variant(int64_t{12})},
      {R"({"$cy":1.5})", Variant(Currency{15000})},
      {R"({"$cy":"+3"})", Variant(Currency{30000})},
      {R"({"$date":"1899-12-31 12:00:00"})", Variant::FromDate(1.5)},
      {R"({"$array":[],"lbound":3})", VarArrayCreate(3, 2)},
      {R"([[1],[]])", VarArrayOf({VarArrayOf({Variant(int32_t{1})}), VarArrayOf({})})},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(Identical(DecodeVariant(c.json), c.expected))
        << c.json << " -> " << DecodeVariant(c.json).DebugString();
  }
}

TEST(VariantJson, RejectsWhatIsNoVariantNamingThePlace) {
  struct Case {
    const char* json;
    const char* message_part;
  };
  const Case cases[] = {
      {R"({})", "needs a tag"},
      {R"({"$foo":1})", "unknown tag \"$foo\""},
      {R"({"$i2":40000})", "$i2 out of range"},
      {R"({"$i2":1.5})", "$i2 needs an integer"},
      {R"({"$ui1":-1})", "$ui1 out of range"},
      {R"({"$i8":"12x"})", "$i8 needs a 64-bit integer"},
      {R"({"$i8":"99999999999999999999"})", "$i8 needs a 64-bit integer"},
      {R"({"$cy":"1.23456"})", "at most 4 decimals"},
      {R"({"$cy":"922337203685478"})", "$cy out of range"},
      {R"({"$cy":"1."})", "at most 4 decimals"},
      {R"({"$r4":1e300})", "$r4 out of range"},
      {R"({"$r8":"nan"})", "NaN, Infinity"},
      {R"({"$date":"tomorrow"})", "no date"},
      {R"({"$decimal":"1e5"})", "Could not convert"},
      {R"({"$bytes":"AQI"})", "not base64"},
      {R"({"$bytes":"AQ=A"})", "not base64"},
      {R"({"$bytes":"AR=="})", "not canonical"},
      {R"({"$empty":false})", "$empty must be true"},
      {R"({"$i2":1,"x":2})", "unexpected member \"x\""},
      {R"({"$array":[],"lbound":2147483647.5})", "lbound needs an integer"},
      {R"({"$array":[1,2],"lbound":2147483647})", "exceed 32 bits"},
      {R"([1,{"$i2":"x"}])", "value[1]: $i2 needs an integer"},
      {R"({"$packet":{}})", "$packet"},
  };
  for (const Case& c : cases) {
    try {
      DecodeVariant(c.json);
      ADD_FAILURE() << c.json << " decoded";
    } catch (const CodecError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message_part), std::string::npos)
          << c.json << ": " << e.what();
    }
  }
}

// Answers are written as text without a boost::json tree; they must read
// exactly as Boost.JSON would have written them.
TEST(VariantJson, WrittenTextIsWhatBoostJsonWrites) {
  std::string every_ascii;
  for (int c = 0; c < 128; ++c) {
    std::string one(1, static_cast<char>(c));
    every_ascii += one;
    EXPECT_EQ(EncodeVariant(Variant(one)), boost::json::serialize(boost::json::string(one))) << c;
  }
  for (std::string text : {every_ascii, std::string("a\\b\"c\xe4\xb8\xad\x7f\x01z")}) {
    EXPECT_EQ(EncodeVariant(Variant(text)), boost::json::serialize(boost::json::string(text)));
  }
  std::mt19937_64 rng(7);
  std::vector<double> doubles = {0.0, -0.0, 1.0, 0.25, 1e21, 1e-7, 123456789.125, 5e-324};
  for (int i = 0; i < 2000; ++i) {
    uint64_t bits = rng();
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (std::isfinite(d)) doubles.push_back(d);
  }
  for (double d : doubles) {
    EXPECT_EQ(EncodeVariant(Variant(d)), boost::json::serialize(boost::json::value(d))) << d;
  }
}

TEST(VariantJson, TextThatIsNotUtf8CannotBeSent) {
  EXPECT_THROW(EncodeVariant(Variant::Custom(kVarTypeFmtBcd, "1\xff")), CodecError);
  EXPECT_THROW(EncodeVariant(Variant("\xff")), CodecError);
  EXPECT_THROW(EncodeVariant(Variant("\xe4\xb8")), CodecError);  // cut short
  EXPECT_THROW(EncodeVariant(Variant("\xed\xa0\x80")), CodecError);  // surrogate
  EXPECT_EQ(EncodeVariant(Variant("\xe4\xb8\xad")), "\"\xe4\xb8\xad\"");
}

TEST(JsonParse, MalformedInputNamesTheOffset) {
  for (const char* text : {"", "{", "[1,]", "{\"a\":1} x", "\"\xff\"", "nul"}) {
    try {
      ParseJson(text);
      ADD_FAILURE() << text;
    } catch (const JsonError& e) {
      EXPECT_NE(std::string(e.what()).find("malformed JSON at offset"), std::string::npos);
    }
  }
  EXPECT_THROW(ParseJson(std::string(100, '[') + std::string(100, ']')), JsonError);
  EXPECT_NO_THROW(ParseJson(std::string(10, '[') + std::string(10, ']')));
}

TEST(JsonParse, ShortDecimalTextsReadExactly) {
  // Texts of up to 20 digits and small exponents, most of which the reader
  // takes without from_chars; each must give strtod's double.
  std::mt19937_64 rng(11);
  for (int i = 0; i < 20000; ++i) {
    std::string text = rng() % 2 ? "-" : "";
    int digits = 1 + static_cast<int>(rng() % 20);
    int point = static_cast<int>(rng() % (digits + 1));  // digits before the point
    if (point == 0) text += '0';
    for (int k = 0; k < digits; ++k) {
      if (k == point) text += '.';
      // JSON allows no leading zero.
      text += static_cast<char>(k == 0 && point > 0 ? '1' + rng() % 9 : '0' + rng() % 10);
    }
    if (point == digits) text += ".0";
    if (rng() % 2) text += "E" + std::to_string(static_cast<int>(rng() % 61) - 30);
    double expected = std::strtod(text.c_str(), nullptr);
    double got = ParseJson(text).as_double();
    ASSERT_EQ(std::memcmp(&expected, &got, sizeof got), 0) << text;
  }
}

TEST(JsonParse, DoublesAreCorrectlyRounded) {
  // Texts whose nearest double the fast path used to miss by one unit.
  for (const char* text : {"2.2250738585072011e-308", "9007199254740993.0",
                           "0.30000000000000004", "1.7976931348623157e308",
                           "123456789012345678901234567890.0"}) {
    double expected = std::strtod(text, nullptr);
    double got = ParseJson(text).as_double();
    EXPECT_EQ(std::memcmp(&expected, &got, sizeof got), 0) << text;
  }
}

}  // namespace
}  // namespace tillbase::rpc

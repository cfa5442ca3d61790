#include "shared/data_packet.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>

namespace tillbase {
namespace {

std::string ErrorOf(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const PacketError& e) {
    return e.what();
  }
  return "";
}

PacketField Field(std::string name, int type, int size = 0) {
  PacketField f;
  f.name = std::move(name);
  f.data_type = type;
  f.size = size;
  return f;
}

PacketRow Row(std::vector<Variant> values) {
  PacketRow r;
  r.values = std::move(values);
  return r;
}

// A packet with a value of every kind a variant holds, NaN aside (it does
// not compare equal to itself; the byte test below covers it).
DataPacket EveryKind() {
  DataPacket p;
  p.fields = {Field("v", 32)};
  Decimal dec = Decimal::Parse("-79228162514264337593543950335");
  std::vector<Variant> values = {
      Variant(),
      Variant::Null(),
      Variant(""),
      Variant("文本 with \0 inside"),
      Variant(int16_t{-32768}),
      Variant(int32_t{-2147483647 - 1}),
      Variant(int64_t{9007199254740993}),
      Variant(uint8_t{255}),
      Variant(true),
      Variant(false),
      Variant(1.5f),
      Variant(-0.0),
      Variant(0.1),
      Variant(Currency{-922337203685477580}),
      Variant(dec),
      Variant::FromDate(45272.75),
      Variant::Custom(kVarTypeFmtBcd, "12345678901234567890.1234567890"),
      Variant::Custom(kVarTypeSqlTimeStamp, "2026-12-11 10:00:00.123"),
      Variant(std::vector<uint8_t>{0, 1, 0xFF, 0}),
      Variant(std::vector<uint8_t>{}),
      Variant(VariantArray{-3, {Variant(1), Variant::Null(), VarArrayOf({Variant("x")})}}),
      VarArrayCreate(0, -1),
  };
  for (Variant& v : values) p.rows.push_back(Row({std::move(v)}));
  return p;
}

TEST(DataPacket, EveryValueKindRoundTripsExactly) {
  DataPacket p = EveryKind();
  std::vector<uint8_t> bytes = p.Encode();
  ASSERT_TRUE(IsPacket(bytes));
  DataPacket back = DataPacket::Decode(bytes);
  ASSERT_EQ(back.rows.size(), p.rows.size());
  for (size_t i = 0; i < p.rows.size(); ++i) {
    EXPECT_EQ(back.rows[i].values[0], p.rows[i].values[0]) << "row " << i;
    EXPECT_EQ(back.rows[i].values[0].type(), p.rows[i].values[0].type()) << "row " << i;
  }
  EXPECT_EQ(back, p);
  EXPECT_EQ(back.Encode(), bytes);
  // Null and the empty text stay apart, and so do Empty and Null.
  EXPECT_TRUE(back.rows[1].values[0].IsNull());
  EXPECT_TRUE(back.rows[2].values[0].IsString());
  EXPECT_TRUE(back.rows[0].values[0].IsEmpty());
}

TEST(DataPacket, NanAndNegativeZeroKeepTheirBits) {
  DataPacket p;
  p.fields = {Field("f", 6)};
  p.rows.push_back(Row({Variant(std::numeric_limits<double>::quiet_NaN())}));
  p.rows.push_back(Row({Variant(-0.0)}));
  std::vector<uint8_t> bytes = p.Encode();
  DataPacket back = DataPacket::Decode(bytes);
  EXPECT_TRUE(std::isnan(back.rows[0].values[0].ToDouble()));
  EXPECT_TRUE(std::signbit(back.rows[1].values[0].ToDouble()));
  EXPECT_EQ(back.Encode(), bytes);
}

TEST(DataPacket, FieldsDeltaStatesAndErrorsRoundTrip) {
  DataPacket p;
  p.kind = PacketKind::kErrors;
  PacketField id = Field("CardID", 14);
  id.key = id.read_only = id.auto_increment = id.required = true;
  PacketField total = Field("NowTotal", 8, 10);
  total.precision = 24;
  total.scale = 10;
  p.fields = {id, Field("CardNo", 1, 18), total};
  PacketRow ins = Row({Variant(), Variant("A1"), Variant::Custom(kVarTypeFmtBcd, "1.5")});
  ins.state = RowState::kInserted;
  PacketRow mod = Row({Variant(7), Variant("B2"), Variant::Null()});
  mod.state = RowState::kModified;
  mod.original = {Variant(7), Variant("B1"), Variant(2.5)};
  mod.has_error = true;
  mod.error_code = -1;
  mod.error_message = "记录已被其他用户修改";
  PacketRow del = Row({Variant(8), Variant("C"), Variant::Null()});
  del.state = RowState::kDeleted;
  p.rows = {ins, mod, del};
  DataPacket back = DataPacket::FromVariant(p.ToVariant());
  EXPECT_EQ(back, p);
  EXPECT_EQ(back.FieldIndex("cardno"), 1);
  EXPECT_EQ(back.FieldIndex("CardNo "), -1);
}

// Random packets: every generated packet must decode to itself, re-encode to
// the same bytes, and no prefix of its bytes may decode.
Variant RandomValue(std::mt19937& rng, int depth) {
  std::uniform_int_distribution<int> pick(0, depth > 2 ? 14 : 15);
  std::uniform_int_distribution<int64_t> any;
  switch (pick(rng)) {
    case 0:
      return Variant();
    case 1:
      return Variant::Null();
    case 2:
      return Variant(static_cast<int16_t>(any(rng)));
    case 3:
      return Variant(static_cast<int32_t>(any(rng)));
    case 4:
      return Variant(static_cast<int64_t>(any(rng)));
    case 5:
      return Variant(static_cast<uint8_t>(any(rng)));
    case 6:
      return Variant(any(rng) % 2 == 0);
    case 7:
      return Variant(static_cast<float>(any(rng) % 100000) / 7.0f);
    case 8:
      return Variant(static_cast<double>(any(rng)) / 3.0);
    case 9:
      return Variant(Currency{any(rng)});
    case 10:
      return Variant::FromDate(static_cast<double>(any(rng) % 3000000) / 64.0);
    case 11: {
      Decimal d;
      d.negative = any(rng) % 2;
      d.scale = static_cast<uint8_t>(any(rng) % 29);
      d.hi32 = static_cast<uint32_t>(any(rng));
      d.lo64 = static_cast<uint64_t>(any(rng));
      return Variant(d);
    }
    case 12:
      return Variant(std::string(static_cast<size_t>(any(rng) % 40), 'a' + any(rng) % 26));
    case 13: {
      std::vector<uint8_t> b(static_cast<size_t>(any(rng) % 50));
      for (uint8_t& x : b) x = static_cast<uint8_t>(any(rng));
      return Variant(std::move(b));
    }
    case 14:
      return Variant::Custom(kVarTypeFmtBcd, std::to_string(any(rng)) + ".0001");
    default: {
      VariantArray a;
      a.low_bound = static_cast<int32_t>(any(rng) % 5);
      for (int i = static_cast<int>(any(rng) % 4); i > 0; --i) {
        a.items.push_back(RandomValue(rng, depth + 1));
      }
      return Variant(std::move(a));
    }
  }
}

DataPacket RandomPacket(std::mt19937& rng) {
  std::uniform_int_distribution<int> small(0, 5);
  DataPacket p;
  p.kind = static_cast<PacketKind>(small(rng) % 3);
  int fields = small(rng);
  for (int i = 0; i < fields; ++i) {
    PacketField f = Field("F" + std::to_string(i), small(rng) * 7, small(rng));
    f.required = small(rng) == 0;
    f.key = small(rng) == 0;
    p.fields.push_back(f);
  }
  for (int r = small(rng); r > 0; --r) {
    PacketRow row;
    row.state = static_cast<RowState>(small(rng) % 4);
    for (int i = 0; i < fields; ++i) row.values.push_back(RandomValue(rng, 0));
    if (row.state == RowState::kModified) {
      for (int i = 0; i < fields; ++i) row.original.push_back(RandomValue(rng, 0));
    }
    if (small(rng) == 0) {
      row.has_error = true;
      row.error_code = small(rng);
      row.error_message = "failed " + std::to_string(r);
    }
    p.rows.push_back(std::move(row));
  }
  return p;
}

TEST(DataPacket, RandomPacketsRoundTripAndEveryPrefixIsRejected) {
  std::mt19937 rng(20261211);
  for (int n = 0; n < 300; ++n) {
    DataPacket p = RandomPacket(rng);
    std::vector<uint8_t> bytes = p.Encode();
    DataPacket back = DataPacket::Decode(bytes);
    ASSERT_EQ(back, p) << "packet " << n;
    ASSERT_EQ(back.Encode(), bytes) << "packet " << n;
    for (size_t len = 0; len < bytes.size(); ++len) {
      std::span<const uint8_t> prefix(bytes.data(), len);
      ASSERT_THROW(DataPacket::Decode(prefix), PacketError) << "packet " << n << " length " << len;
    }
  }
}

TEST(DataPacket, MalformedBytesNameTheFault) {
  DataPacket p;
  p.fields = {Field("a", 3)};
  p.rows.push_back(Row({Variant(5)}));
  const std::vector<uint8_t> good = p.Encode();
  auto mutate = [&](size_t at, uint8_t value) {
    std::vector<uint8_t> b = good;
    b[at] = value;
    return b;
  };
  // Offsets: header 7, field count 4, name length 4 + "a", four integers 16,
  // flags 1 (byte 32), row count 4, state (37), row flags, value type (39).
  struct Case {
    std::vector<uint8_t> bytes;
    std::string message;
  } cases[] = {
      {{'X', 'B', 'P', 'K', 0x1A, 1, 0}, "Malformed data packet: no packet header"},
      {mutate(5, 9), "Malformed data packet: unknown version 9"},
      {mutate(6, 3), "Malformed data packet: unknown packet kind 3 at byte 7"},
      {mutate(7, 200), "Malformed data packet: field count 200 exceeds the packet at byte 7"},
      {mutate(32, 0x40), "Malformed data packet: unknown field flags 64 at byte 33"},
      {mutate(37, 4), "Malformed data packet: unknown row state 4 at byte 38"},
      {mutate(39, 99), "Malformed data packet: unknown value type 99 at byte 39"},
  };
  for (const Case& c : cases) EXPECT_EQ(ErrorOf([&] { DataPacket::Decode(c.bytes); }), c.message);
  std::vector<uint8_t> trailing = good;
  trailing.push_back(0);
  EXPECT_EQ(
      ErrorOf([&] { DataPacket::Decode(trailing); }),
      "Malformed data packet: 1 bytes after the last row at byte " + std::to_string(good.size()));
  EXPECT_EQ(ErrorOf([&] { DataPacket::FromVariant(Variant("x")); }),
            "A data packet is a byte array, not a variant of type (OleStr)");
}

TEST(DataPacket, NonCanonicalBytesAreRejected) {
  DataPacket p;
  p.fields = {Field("b", 5)};
  p.rows.push_back(Row({Variant(true)}));
  std::vector<uint8_t> b = p.Encode();
  b.back() = 2;  // a Boolean byte other than 0 or 1 would not re-encode the same
  EXPECT_EQ(ErrorOf([&] { DataPacket::Decode(b); }),
            "Malformed data packet: Boolean value 2 at byte " + std::to_string(b.size()));
}

TEST(DataPacket, DeeplyNestedArraysAreRejectedNotOverflowed) {
  Variant v(1);
  for (int i = 0; i < 100; ++i) v = VarArrayOf({v});
  DataPacket p;
  p.fields = {Field("a", 32)};
  p.rows.push_back(Row({v}));
  EXPECT_EQ(ErrorOf([&] { p.Encode(); }), "Data packet value nests arrays too deeply");
}

TEST(DataPacket, InconsistentRowsCannotBeEncoded) {
  DataPacket p;
  p.fields = {Field("a", 3), Field("b", 3)};
  p.rows.push_back(Row({Variant(1)}));
  EXPECT_EQ(ErrorOf([&] { p.Encode(); }), "Data packet row 0 has 1 values for 2 fields");
  p.rows[0] = Row({Variant(1), Variant(2)});
  p.rows[0].state = RowState::kModified;
  EXPECT_EQ(ErrorOf([&] { p.Encode(); }), "Data packet row 0 has 0 original values for 2 fields");
  p.rows[0].state = RowState::kInserted;
  p.rows[0].original = {Variant(1), Variant(2)};
  EXPECT_EQ(ErrorOf([&] { p.Encode(); }),
            "Data packet row 0 has original values but is not modified");
}

TEST(DataPacket, WriterGivesTheBytesOfEncode) {
  DataPacket p = EveryKind();
  p.fields.push_back(Field("second", 3));
  PacketWriter writer(PacketKind::kData, p.fields);
  const int columns[] = {1, 0};  // the source rows hold the fields the other way round
  for (PacketRow& row : p.rows) {
    row.values.push_back(Variant(7));
    writer.AddRow({row.values[1], row.values[0]}, columns);
  }
  EXPECT_EQ(writer.rows(), p.rows.size());
  EXPECT_EQ(writer.Finish(), p.Encode());
  PacketWriter wrong(PacketKind::kData, p.fields);
  EXPECT_EQ(ErrorOf([&] { wrong.AddRow({Variant(1)}, std::span<const int>(columns, 1)); }),
            "Data packet row 0 has 1 values for 2 fields");
}

TEST(DataPacket, IsPacketLooksAtTheHeaderOnly) {
  EXPECT_FALSE(IsPacket(Variant(std::vector<uint8_t>{1, 2, 3})));
  EXPECT_FALSE(IsPacket(Variant("TBPK")));
  EXPECT_TRUE(IsPacket(DataPacket{}.ToVariant()));
}

}  // namespace
}  // namespace tillbase

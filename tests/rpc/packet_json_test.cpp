#include "rpc/packet_json.h"

#include <gtest/gtest.h>

#include <boost/json.hpp>

#include "rpc/variant_json.h"

namespace tillbase::rpc {
namespace {

PacketRow Row(std::vector<Variant> values) {
  PacketRow r;
  r.values = std::move(values);
  return r;
}

DataPacket SamplePacket(PacketKind kind) {
  DataPacket p;
  p.kind = kind;
  PacketField id{"CardID", 14};
  id.key = id.read_only = id.auto_increment = true;
  PacketField total{"NowTotal", 8, 10, 24, 10};
  p.fields = {id, PacketField{"CardNo", 1, 18}, total, PacketField{"HolderPhoto", 15},
              PacketField{"When", 11}};
  PacketRow a;
  a.values = {Variant(1), Variant(""),
              Variant::Custom(kVarTypeFmtBcd, "12345678901234567.1234567891"),
              Variant(std::vector<uint8_t>{0, 0xFF, 'T', 'B'}), Variant::FromDate(45272.5)};
  PacketRow b;
  b.values = {Variant(2), Variant::Null(), Variant::Null(), Variant::Null(), Variant()};
  p.rows = {a, b};
  if (kind != PacketKind::kData) {
    p.rows[0].state = RowState::kModified;
    p.rows[0].original = b.values;
    p.rows[1].state = RowState::kDeleted;
    if (kind == PacketKind::kErrors) {
      p.rows[1].has_error = true;
      p.rows[1].error_code = 547;
      p.rows[1].error_message = "冲突";
    }
  }
  return p;
}

TEST(PacketJson, PacketsTravelAsPacketAndComeBackAsTheSameBytes) {
  for (PacketKind kind : {PacketKind::kData, PacketKind::kDelta, PacketKind::kErrors}) {
    Variant packet = SamplePacket(kind).ToVariant();
    // Packets nest in arrays (three packets in OwnerData) and in packets.
    DataPacket outer;
    outer.fields = {PacketField{"Nested", 29}};
    outer.rows.push_back(Row({packet}));
    Variant holder = VarArrayOf({packet, Variant("x"), outer.ToVariant()});
    std::string text = EncodeVariant(holder);
    EXPECT_NE(text.find(R"({"$packet":{"kind":)"), std::string::npos) << text;
    EXPECT_EQ(text.find("$bytes\":\"VEJQS"), std::string::npos) << "a packet went out as bytes";
    Variant back = DecodeVariant(text);
    ASSERT_EQ(back, holder);
    EXPECT_EQ(back.At(0).Bytes(), packet.Bytes());
  }
}

TEST(PacketJson, TheFormIsReadable) {
  DataPacket p = SamplePacket(PacketKind::kErrors);
  boost::json::value json = PacketToJson(p);
  EXPECT_EQ(boost::json::serialize(json.at("fields").at(0)),
            R"({"name":"CardID","type":14,"size":0,"precision":0,"scale":0,)"
            R"("flags":["readonly","key","autoinc"]})");
  EXPECT_EQ(boost::json::serialize(json.at("rows").at(1)),
            R"({"state":"deleted","values":[2,null,null,null,{"$empty":true}],)"
            R"("error":{"code":547,"message":"冲突"}})");
  EXPECT_EQ(json.at("kind"), "errors");
}

TEST(PacketJson, ByteArraysThatOnlyLookLikePacketsStayBytes) {
  std::vector<uint8_t> header_only = {'T', 'B', 'P', 'K', 0x1A, 1, 0};
  std::vector<uint8_t> trailing = DataPacket{}.Encode();
  trailing.push_back(7);
  // Text that is not UTF-8 has no JSON string form; the packet still
  // crosses, as bytes.
  DataPacket latin;
  latin.fields = {PacketField{"t", 1}};
  latin.rows.push_back(Row({Variant(std::string("\xC4\xE3"))}));
  DataPacket latin_name;
  latin_name.fields = {PacketField{"\xC4\xE3", 1}};
  DataPacket latin_error = SamplePacket(PacketKind::kErrors);
  latin_error.rows[1].error_message = "\xC4\xE3";
  // A packet in a packet without JSON form: the inner one goes as bytes.
  DataPacket outer;
  outer.fields = {PacketField{"Nested", 29}};
  outer.rows.push_back(Row({latin.ToVariant()}));
  std::string outer_text = EncodeVariant(outer.ToVariant());
  EXPECT_EQ(outer_text.find("$packet"), 2u) << outer_text;
  EXPECT_NE(outer_text.find("$bytes"), std::string::npos) << outer_text;
  EXPECT_EQ(DecodeVariant(outer_text).Bytes(), outer.Encode());
  for (const std::vector<uint8_t>& bytes :
       {header_only, trailing, latin.Encode(), latin_name.Encode(), latin_error.Encode()}) {
    std::string text = EncodeVariant(Variant(bytes));
    EXPECT_NE(text.find("$bytes"), std::string::npos) << text;
    EXPECT_EQ(DecodeVariant(text).Bytes(), bytes);
  }
}

TEST(PacketJson, HandWrittenPacketsMayLeaveOutDefaults) {
  Variant v = DecodeVariant(R"({"$packet":{"fields":[{"name":"a","type":3}],"rows":[[1],)"
                            R"({"state":"inserted","values":[{"$i2":2}]}]}})");
  DataPacket p = DataPacket::FromVariant(v);
  EXPECT_EQ(p.kind, PacketKind::kData);
  ASSERT_EQ(p.rows.size(), 2u);
  EXPECT_EQ(p.rows[1].state, RowState::kInserted);
  EXPECT_EQ(p.rows[1].values[0], Variant(int16_t{2}));
}

TEST(PacketJson, MalformedJsonNamesThePlace) {
  struct Case {
    const char* json;
    const char* message;
  } cases[] = {
      {R"({"$packet":{}})", "value.$packet: needs \"fields\""},
      {R"({"$packet":[]})", "value.$packet: needs an object"},
      {R"({"$packet":{"fields":[],"rows":[],"x":1}})", "unexpected member \"x\""},
      {R"({"$packet":{"kind":"diff","fields":[],"rows":[]}})", "unknown packet kind \"diff\""},
      {R"({"$packet":{"fields":[{"name":"a"}],"rows":[]}})",
       "value.$packet.fields[0]: needs \"type\""},
      {R"({"$packet":{"fields":[{"name":"a","type":1,"flags":["pk"]}],"rows":[]}})",
       "unknown flag \"pk\""},
      {R"({"$packet":{"fields":[{"name":"a","type":4294967296}],"rows":[]}})",
       "value.$packet.fields[0].type: out of range"},
      {R"({"$packet":{"fields":[{"name":"a","type":1}],"rows":[[1,2]]}})",
       "value.$packet.rows[0]: has 2 values for 1 fields"},
      {R"({"$packet":{"fields":[{"name":"a","type":1}],"rows":[{"state":"modified","values":[1]}]}})",
       "value.$packet.rows[0]: a modified row needs \"original\""},
      {R"({"$packet":{"fields":[{"name":"a","type":1}],"rows":[{"values":[1],"original":[1]}]}})",
       "only a modified row has \"original\""},
      {R"({"$packet":{"fields":[{"name":"a","type":1}],"rows":[[{"$i2":"x"}]]}})",
       "value.$packet.rows[0][0]: $i2 needs an integer"},
      {R"([{"$packet":{"fields":[],"rows":[]},"$bytes":""}])", "value[0]: unexpected member"},
  };
  for (const Case& c : cases) {
    try {
      DecodeVariant(c.json);
      ADD_FAILURE() << c.json << " decoded";
    } catch (const CodecError& e) {
      EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos)
          << c.json << ": " << e.what();
    }
  }
}

}  // namespace
}  // namespace tillbase::rpc

#include "rpc/packet_table.h"

#include <gtest/gtest.h>

namespace tillbase::rpc {
namespace {

PacketField Field(std::string name) {
  PacketField f;
  f.name = std::move(name);
  return f;
}

PacketRow Row(std::vector<Variant> values, RowState state = RowState::kUnchanged) {
  PacketRow row;
  row.state = state;
  row.values = std::move(values);
  return row;
}

TEST(PacketTableTest, ColumnsLineUpByDisplayWidth) {
  DataPacket p;
  p.fields = {Field("id"), Field("名称"), Field("raw")};
  p.rows.push_back(Row({Variant(int32_t(1)), Variant("茶叶"), Variant::Null()}));
  p.rows.push_back(
      Row({Variant(int32_t(22)), Variant("a\r\nb"), Variant(std::vector<uint8_t>{0, 0xFF})}));
  EXPECT_EQ(FormatPacketTable(p),
            "id | 名称 | raw\n"
            "---+------+-------\n"
            "1  | 茶叶 | NULL\n"
            "22 | a  b | 0x00FF\n"
            "(2 rows)\n");
}

TEST(PacketTableTest, DeltaAndErrorPacketsShowStateAndMessage) {
  DataPacket p;
  p.kind = PacketKind::kErrors;
  p.fields = {Field("id")};
  PacketRow row = Row({Variant(int32_t(7))}, RowState::kModified);
  row.original = {Variant(int32_t(6))};
  row.has_error = true;
  row.error_message = "Record not found or changed by another user";
  p.rows.push_back(row);
  EXPECT_EQ(FormatPacketTable(p),
            "state    | id | error\n"
            "---------+----+--------------------------------------------\n"
            "modified | 7  | Record not found or changed by another user\n"
            "(1 row)\n");
  p.kind = PacketKind::kData;
  p.rows.clear();
  p.rows.push_back(Row({Variant(std::string(100, 'x'))}));
  std::string table = FormatPacketTable(p);
  EXPECT_NE(table.find(std::string(57, 'x') + "...\n"), std::string::npos) << table;
}

}  // namespace
}  // namespace tillbase::rpc

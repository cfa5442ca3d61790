#include "server/session/bill_fields.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace tillbase::session {
namespace {

struct TableCase {
  const BillFieldTable* table;
  size_t count;
  const char* last_field;
};

TEST(BillFieldTables, CountsEndsAndTypes) {
  const TableCase cases[] = {{&BillDetailFieldDefs, 52, "PackQty"},
                             {&BillColorSizeFieldDefs, 5, "qty"},
                             {&DlyCheckedFieldDefs, 18, "OrderId"}};
  for (const auto& c : cases) {
    const BillFieldTable& table = *c.table;
    ASSERT_EQ(table.Count(), c.count);
    EXPECT_EQ(table[0].FieldName, "masterkey");
    EXPECT_EQ(table[0].DataType, ftInteger);
    EXPECT_EQ(table[c.count - 1].FieldName, c.last_field);
    EXPECT_THROW(table.At(c.count), std::out_of_range);
    std::set<std::string_view> names;
    for (const TBillFieldDef& field : table) {
      EXPECT_TRUE(field.DataType == ftString || field.DataType == ftInteger ||
                  field.DataType == ftBoolean || field.DataType == ftFloat)
          << field.FieldName;
      // Only string fields have a size.
      EXPECT_EQ(field.Size > 0, field.DataType == ftString) << field.FieldName;
      EXPECT_TRUE(names.insert(field.FieldName).second) << "twice: " << field.FieldName;
    }
  }
}

TEST(BillFieldTables, StockCountLayoutByPosition) {
  // The upload reads these positions; every entry is checked.
  const std::vector<TBillFieldDef> expected = {
      {"masterkey", ftInteger, 0}, {"vchcode", ftInteger, 0},  {"ktypeid", ftString, 50},
      {"PTypeID", ftString, 50},   {"CostMode", ftInteger, 0}, {"BlockNo", ftString, 50},
      {"GoodsNO", ftInteger, 0},   {"ProDate", ftString, 20},  {"CheckedNumber", ftFloat, 0},
      {"Tag", ftInteger, 0},       {"colorid", ftInteger, 0},  {"sizeid", ftInteger, 0},
      {"StockQty", ftFloat, 0},    {"date", ftString, 20},     {"retailprice", ftFloat, 0},
      {"total", ftFloat, 0},       {"costprice", ftFloat, 0},  {"OrderId", ftInteger, 0},
  };
  ASSERT_EQ(DlyCheckedFieldDefs.Count(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(DlyCheckedFieldDefs[i].FieldName, expected[i].FieldName) << i;
    EXPECT_EQ(DlyCheckedFieldDefs[i].DataType, expected[i].DataType) << i;
    EXPECT_EQ(DlyCheckedFieldDefs[i].Size, expected[i].Size) << i;
  }
  const std::vector<std::string> colour_size = {"masterkey", "rowkey", "sizeid", "colorid", "qty"};
  for (size_t i = 0; i < colour_size.size(); ++i) {
    EXPECT_EQ(BillColorSizeFieldDefs[i].FieldName, colour_size[i]);
  }
  EXPECT_EQ(BillColorSizeFieldDefs[4].DataType, ftFloat);
}

TEST(BillFieldTables, BillLineLandmarks) {
  struct Case {
    size_t position;
    const char* name;
    FieldType type;
    int size;
  };
  const Case cases[] = {
      {3, "vchcode", ftInteger, 0},    {4, "atypeid", ftString, 50},
      {19, "prodate", ftString, 20},   {22, "comment", ftString, 500},
      {24, "usedtype", ftString, 2},   {39, "ifsupply", ftBoolean, 0},
      {45, "salemode", ftString, 30},  {46, "ZoneId", ftString, 30},
      {49, "PackCode", ftString, 100}, {50, "PackRate", ftFloat, 0},
      {51, "PackQty", ftFloat, 0},
  };
  for (const auto& c : cases) {
    const TBillFieldDef& field = BillDetailFieldDefs[c.position];
    EXPECT_EQ(field.FieldName, c.name) << c.position;
    EXPECT_EQ(field.DataType, c.type) << c.position;
    EXPECT_EQ(field.Size, c.size) << c.position;
  }
  int booleans = 0;
  int long_texts = 0;
  for (const TBillFieldDef& field : BillDetailFieldDefs) {
    booleans += field.DataType == ftBoolean;
    long_texts += field.Size == 500;
  }
  EXPECT_EQ(booleans, 1);
  EXPECT_EQ(long_texts, 1);
  // Names keep their letter case and are found only so.
  EXPECT_EQ(BillDetailFieldDefs.IndexOf("ZoneId2"), 47);
  EXPECT_EQ(BillDetailFieldDefs.IndexOf("zoneid2"), -1);
  EXPECT_EQ(DlyCheckedFieldDefs.IndexOf("PTypeID"), 3);
}

}  // namespace
}  // namespace tillbase::session

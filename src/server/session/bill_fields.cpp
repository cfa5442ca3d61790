#include "server/session/bill_fields.h"

#include <stdexcept>
#include <string>

namespace tillbase::session {
namespace {

// The comment after each entry is its position in the record.
constexpr TBillFieldDef kBillDetail[] = {
    {"masterkey", ftInteger, 0},      // 0
    {"grid", ftInteger, 0},           // 1
    {"rowid", ftInteger, 0},          // 2
    {"vchcode", ftInteger, 0},        // 3
    {"atypeid", ftString, 50},        // 4
    {"btypeid", ftString, 50},        // 5
    {"etypeid", ftString, 50},        // 6
    {"ktypeid", ftString, 50},        // 7
    {"ktypeid2", ftString, 50},       // 8
    {"ptypeid", ftString, 50},        // 9
    {"qty", ftFloat, 0},              // 10
    {"discount", ftFloat, 0},         // 11
    {"discountprice", ftFloat, 0},    // 12
    {"costtotal", ftFloat, 0},        // 13
    {"costprice", ftFloat, 0},        // 14
    {"blockno", ftString, 50},        // 15
    {"goodsno", ftInteger, 0},        // 16
    {"price", ftFloat, 0},            // 17
    {"total", ftFloat, 0},            // 18
    {"prodate", ftString, 20},        // 19
    {"taxprice", ftFloat, 0},         // 20
    {"taxtotal", ftFloat, 0},         // 21
    {"comment", ftString, 500},       // 22
    {"date", ftString, 20},           // 23
    {"usedtype", ftString, 2},        // 24
    {"period", ftInteger, 0},         // 25
    {"tax_total", ftFloat, 0},        // 26
    {"tax", ftFloat, 0},              // 27
    {"discounttotal", ftFloat, 0},    // 28
    {"costmode", ftInteger, 0},       // 29
    {"vchtype", ftInteger, 0},        // 30
    {"unit_int", ftInteger, 0},       // 31
    {"ordercode", ftInteger, 0},      // 32
    {"orderdlycode", ftInteger, 0},   // 33
    {"deptid", ftString, 50},         // 34
    {"colorid", ftInteger, 0},        // 35
    {"vipdiscount", ftFloat, 0},      // 36
    {"convert", ftFloat, 0},          // 37
    {"bargaintotal", ftFloat, 0},     // 38
    {"ifsupply", ftBoolean, 0},       // 39
    {"marketdiscount", ftFloat, 0},   // 40
    {"marketdiscount1", ftFloat, 0},  // 41
    {"joincostprice", ftFloat, 0},    // 42
    {"joincosttotal", ftFloat, 0},    // 43
    {"salemoney", ftFloat, 0},        // 44
    {"salemode", ftString, 30},       // 45
    {"ZoneId", ftString, 30},         // 46
    {"ZoneId2", ftString, 30},        // 47
    {"SaleTrait", ftString, 50},      // 48
    {"PackCode", ftString, 100},      // 49
    {"PackRate", ftFloat, 0},         // 50
    {"PackQty", ftFloat, 0},          // 51
};

constexpr TBillFieldDef kBillColorSize[] = {
    {"masterkey", ftInteger, 0},  // 0
    {"rowkey", ftInteger, 0},     // 1
    {"sizeid", ftInteger, 0},     // 2
    {"colorid", ftInteger, 0},    // 3
    {"qty", ftFloat, 0},          // 4
};

constexpr TBillFieldDef kDlyChecked[] = {
    {"masterkey", ftInteger, 0},    // 0
    {"vchcode", ftInteger, 0},      // 1
    {"ktypeid", ftString, 50},      // 2
    {"PTypeID", ftString, 50},      // 3
    {"CostMode", ftInteger, 0},     // 4
    {"BlockNo", ftString, 50},      // 5
    {"GoodsNO", ftInteger, 0},      // 6
    {"ProDate", ftString, 20},      // 7
    {"CheckedNumber", ftFloat, 0},  // 8
    {"Tag", ftInteger, 0},          // 9
    {"colorid", ftInteger, 0},      // 10
    {"sizeid", ftInteger, 0},       // 11
    {"StockQty", ftFloat, 0},       // 12
    {"date", ftString, 20},         // 13
    {"retailprice", ftFloat, 0},    // 14
    {"total", ftFloat, 0},          // 15
    {"costprice", ftFloat, 0},      // 16
    {"OrderId", ftInteger, 0},      // 17
};

}  // namespace

const TBillFieldDef& BillFieldTable::At(size_t position) const {
  if (position >= entries_.size()) {
    throw std::out_of_range("Bill field position " + std::to_string(position) + " is beyond the " +
                            std::to_string(entries_.size()) + " fields of the table");
  }
  return entries_[position];
}

int BillFieldTable::IndexOf(std::string_view field_name) const {
  for (size_t i = 0; i < entries_.size(); ++i) {
    if (entries_[i].FieldName == field_name) return static_cast<int>(i);
  }
  return -1;
}

const BillFieldTable BillDetailFieldDefs{kBillDetail};
const BillFieldTable BillColorSizeFieldDefs{kBillColorSize};
const BillFieldTable DlyCheckedFieldDefs{kDlyChecked};

}  // namespace tillbase::session

// The field tables of bill packets: the fields, in record order, of a bill
// line, of the colour/size breakdown of a bill line and of a stock-count
// line. The stock-count table is the layout that the stock-count upload
// reads by position. Constant data, created with the program.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "shared/proc_params.h"

namespace tillbase::session {

// One field definition.
struct TBillFieldDef {
  std::string_view FieldName;  // exactly as in the packet, letter case included
  FieldType DataType;          // ftString, ftInteger, ftBoolean or ftFloat here
  int Size;                    // maximum characters of a string field; 0 otherwise
};

// A constant table: its entry count and its entries by position.
class BillFieldTable {
 public:
  constexpr explicit BillFieldTable(std::span<const TBillFieldDef> entries) : entries_(entries) {}
  constexpr size_t Count() const { return entries_.size(); }
  // Raises std::out_of_range beyond the last entry.
  const TBillFieldDef& At(size_t position) const;
  const TBillFieldDef& operator[](size_t position) const { return At(position); }
  // The position of a field by exact name, or -1.
  int IndexOf(std::string_view field_name) const;
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }

 private:
  std::span<const TBillFieldDef> entries_;
};

// A bill line (52 fields).
extern const BillFieldTable BillDetailFieldDefs;
// A colour/size breakdown row of a bill line (5 fields).
extern const BillFieldTable BillColorSizeFieldDefs;
// A stock-count line (18 fields); positions 1 to 17 fill table DlyChecked.
extern const BillFieldTable DlyCheckedFieldDefs;

}  // namespace tillbase::session

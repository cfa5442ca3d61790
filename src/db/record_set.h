// A result set read through a dataset: field definitions, a current record
// moved by First and Next, fields by name and by position, and a
// client-side filter on a column value. Rows are fetched from the driver in
// blocks of the dataset's cache size as reading reaches them; rows already
// read stay, so First can go back.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "db/driver.h"
#include "shared/variant.h"

namespace tillbase::db {

struct FieldDef {
  std::string name;
  int data_type = 0;  // data type code
  int size = 0;
  int precision = 0;
  int scale = 0;
  bool required = false;   // not nullable
  bool read_only = false;  // an identity column
  bool key = false;
  std::string base_table;
  SqlTypeDesc sql_type;
};

class RecordSet;

// A field of the current record. Reading a field where there is no current
// record gives Null.
class Field {
 public:
  Field(RecordSet* records, int index) : records_(records), index_(index) {}
  const FieldDef& def() const;
  const std::string& name() const { return def().name; }
  int data_type() const { return def().data_type; }
  int size() const { return def().size; }
  int precision() const { return def().precision; }
  int scale() const { return def().scale; }
  int index() const { return index_; }

  const Variant& Value() const;
  bool IsNull() const { return Value().IsNull() || Value().IsEmpty(); }
  // Null reads as "", 0, 0.0 and false; other values convert by the variant
  // rules and raise their conversion error.
  std::string AsString() const;
  int32_t AsInteger() const;
  double AsFloat() const;
  bool AsBoolean() const;

 private:
  RecordSet* records_;
  int index_;
};

class RecordSet {
 public:
  // Takes the cursor positioned on a result set. bcd false delivers exact
  // decimals as doubles.
  RecordSet(std::unique_ptr<BatchCursor> cursor, bool bcd, int cache_size);
  RecordSet(const RecordSet&) = delete;
  RecordSet& operator=(const RecordSet&) = delete;

  int FieldCount() const { return static_cast<int>(defs_.size()); }
  const std::vector<FieldDef>& FieldDefs() const { return defs_; }
  // "List index out of bounds (<index>)".
  Field& Fields(int index);
  // Names without regard to case; "Field '<name>' not found".
  Field& FieldByName(std::string_view name);
  Field* FindField(std::string_view name);

  // Raises DbError once records before the current one were dropped
  // (DropReadRecords).
  void First();
  void Next();
  bool Eof() const { return eof_; }
  bool Bof() const { return bof_; }
  bool IsEmpty();
  // The current record, empty at the end.
  const std::vector<Variant>* CurrentRow() const;

  // Keeps only the records whose field equals value (texts compared without
  // regard to ASCII case, other values by the variant rules); moves to the
  // first such record. "Field '<name>' not found" for an unknown field.
  void SetFilter(std::string_view field_name, const Variant& value);
  void ClearFilter();
  bool Filtered() const { return filter_field_ >= 0; }

  // Forgets the records before the current one, for a reader that only
  // goes forward (a provider handing out packets page by page): a large
  // result then never sits in memory as a whole. Going back afterwards
  // (First, a filter, IsEmpty) raises DbError instead of starting at a
  // record that is not the first.
  void DropReadRecords();

  // Rows fetched from the driver so far and still held (for tests and
  // statistics).
  size_t FetchedRows() const { return rows_.size(); }
  int cache_size() const { return cache_size_; }

  // Reads the rest of the batch: later result sets are passed over and the
  // procedure's output parameters are written.
  void FinishBatch();
  BatchCursor* cursor() { return cursor_.get(); }

 private:
  bool FetchMore();
  void CheckNotDropped() const;
  bool Matches(const std::vector<Variant>& row) const;
  // Moves from position pos_ forward to the first matching row (pos_
  // included), fetching as needed; sets eof_.
  void SeekMatch();

  std::unique_ptr<BatchCursor> cursor_;
  bool bcd_;
  int cache_size_;
  std::vector<FieldDef> defs_;
  std::vector<Field> fields_;
  std::vector<std::vector<Variant>> rows_;
  std::vector<bool> exact_decimal_;
  bool source_done_ = false;
  bool dropped_ = false;  // records before rows_[0] were forgotten
  size_t pos_ = 0;
  bool eof_ = true;
  bool bof_ = true;
  int filter_field_ = -1;
  Variant filter_value_;
};

// Whether two values are equal as the filter compares them.
bool FilterValueEquals(const Variant& a, const Variant& b);

}  // namespace tillbase::db

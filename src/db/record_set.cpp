#include "db/record_set.h"

#include "db/errors.h"
#include "db/text_util.h"
#include "shared/proc_params.h"

namespace tillbase::db {

const FieldDef& Field::def() const { return records_->FieldDefs()[static_cast<size_t>(index_)]; }

const Variant& Field::Value() const {
  static const Variant kNull = Variant::Null();
  const std::vector<Variant>* row = records_->CurrentRow();
  if (row == nullptr) return kNull;
  return (*row)[static_cast<size_t>(index_)];
}

std::string Field::AsString() const { return IsNull() ? std::string() : Value().ToString(); }
int32_t Field::AsInteger() const { return IsNull() ? 0 : Value().ToInt32(); }
double Field::AsFloat() const { return IsNull() ? 0.0 : Value().ToDouble(); }
bool Field::AsBoolean() const { return IsNull() ? false : Value().ToBool(); }

RecordSet::RecordSet(std::unique_ptr<BatchCursor> cursor, bool bcd, int cache_size)
    : cursor_(std::move(cursor)), bcd_(bcd), cache_size_(cache_size > 0 ? cache_size : 1) {
  for (const ColumnDesc& column : cursor_->Columns()) {
    FieldDef def;
    def.name = column.name;
    def.sql_type = column.type;
    def.data_type = FieldTypeOf(column.type, bcd_);
    def.size = FieldSizeOf(column.type, def.data_type);
    def.precision = column.type.precision;
    def.scale = column.type.scale;
    def.required = !column.nullable;
    def.read_only = column.identity;
    def.key = column.key;
    def.base_table = column.base_table;
    exact_decimal_.push_back(IsExactDecimal(column.type.name));
    defs_.push_back(std::move(def));
  }
  for (int i = 0; i < FieldCount(); ++i) fields_.emplace_back(this, i);
  First();
}

Field& RecordSet::Fields(int index) {
  if (index < 0 || index >= FieldCount()) throw ListIndexOutOfBounds(index);
  return fields_[static_cast<size_t>(index)];
}

Field* RecordSet::FindField(std::string_view name) {
  for (Field& field : fields_) {
    if (EqualsNoCase(field.name(), name)) return &field;
  }
  return nullptr;
}

Field& RecordSet::FieldByName(std::string_view name) {
  Field* field = FindField(name);
  if (field == nullptr) throw FieldNotFound(std::string(name));
  return *field;
}

bool RecordSet::FetchMore() {
  if (source_done_) return false;
  const size_t before = rows_.size();
  size_t got = cursor_->Fetch(rows_, static_cast<size_t>(cache_size_));
  if (got == 0) {
    source_done_ = true;
    return false;
  }
  if (!bcd_) {
    for (size_t r = before; r < rows_.size(); ++r) {
      std::vector<Variant>& row = rows_[r];
      for (size_t c = 0; c < row.size() && c < exact_decimal_.size(); ++c) {
        if (exact_decimal_[c] && !row[c].IsNull() && !row[c].IsEmpty()) {
          row[c] = Variant(row[c].ToDouble());
        }
      }
    }
  }
  return true;
}

bool RecordSet::Matches(const std::vector<Variant>& row) const {
  if (filter_field_ < 0) return true;
  return FilterValueEquals(row[static_cast<size_t>(filter_field_)], filter_value_);
}

void RecordSet::SeekMatch() {
  for (;;) {
    while (pos_ < rows_.size()) {
      if (Matches(rows_[pos_])) {
        eof_ = false;
        return;
      }
      ++pos_;
    }
    if (!FetchMore()) {
      eof_ = true;
      return;
    }
  }
}

void RecordSet::CheckNotDropped() const {
  if (dropped_) throw DbError("Operation not allowed on a unidirectional dataset");
}

void RecordSet::DropReadRecords() {
  if (pos_ == 0) return;
  rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(pos_));
  pos_ = 0;
  dropped_ = true;
}

void RecordSet::First() {
  CheckNotDropped();
  pos_ = 0;
  SeekMatch();
  bof_ = true;
}

void RecordSet::Next() {
  if (eof_) return;
  ++pos_;
  bof_ = false;
  SeekMatch();
}

bool RecordSet::IsEmpty() {
  CheckNotDropped();
  // Empty when the first matching record does not exist.
  size_t saved = pos_;
  bool saved_eof = eof_, saved_bof = bof_;
  pos_ = 0;
  SeekMatch();
  bool empty = eof_;
  pos_ = saved;
  eof_ = saved_eof;
  bof_ = saved_bof;
  return empty;
}

const std::vector<Variant>* RecordSet::CurrentRow() const {
  if (eof_ || pos_ >= rows_.size()) return nullptr;
  return &rows_[pos_];
}

void RecordSet::SetFilter(std::string_view field_name, const Variant& value) {
  CheckNotDropped();
  filter_field_ = FieldByName(field_name).index();
  filter_value_ = value;
  First();
}

void RecordSet::ClearFilter() {
  CheckNotDropped();
  filter_field_ = -1;
  filter_value_ = Variant();
  First();
}

void RecordSet::FinishBatch() {
  while (FetchMore()) {
  }
  cursor_->Drain();
}

bool FilterValueEquals(const Variant& a, const Variant& b) {
  const bool a_null = a.IsNull() || a.IsEmpty();
  const bool b_null = b.IsNull() || b.IsEmpty();
  if (a_null || b_null) return a_null && b_null;
  if (a.IsString() && b.IsString()) return EqualsNoCase(a.StringValue(), b.StringValue());
  try {
    return VarEquals(a, b);
  } catch (const VariantError&) {
    return false;  // a text that reads as no number matches no number
  }
}

}  // namespace tillbase::db

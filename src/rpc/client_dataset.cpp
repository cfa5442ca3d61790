#include "rpc/client_dataset.h"

#include <stdexcept>

namespace tillbase::rpc {

void ClientDataSet::Load(const Variant& packet) {
  DataPacket p = DataPacket::FromVariant(packet);
  fields_ = std::move(p.fields);
  rows_.clear();
  for (PacketRow& r : p.rows) {
    if (r.state != RowState::kUnchanged) {
      throw std::runtime_error("A record set loads data packets, not deltas");
    }
    rows_.push_back(Row{RowState::kUnchanged, std::move(r.values), {}});
  }
  saved_ = rows_;
  open_ = true;
  First();
}

void ClientDataSet::AppendData(const Variant& packet) {
  if (!open_) {
    Load(packet);
    return;
  }
  DataPacket p = DataPacket::FromVariant(packet);
  if (p.fields != fields_) {
    throw std::runtime_error("The packet's fields differ from those of the record set");
  }
  bool was_at_end = eof_;
  for (PacketRow& r : p.rows) {
    rows_.push_back(Row{RowState::kUnchanged, r.values, {}});
    saved_.push_back(Row{RowState::kUnchanged, std::move(r.values), {}});
  }
  // A reader that had reached the end goes on with the new rows.
  if (was_at_end) Seek(pos_, 1);
}

int ClientDataSet::RecordCount() const {
  int n = 0;
  for (const Row& r : rows_) n += r.state != RowState::kDeleted;
  return n;
}

void ClientDataSet::Seek(size_t i, int step) {
  while (i < rows_.size() && rows_[i].state == RowState::kDeleted) {
    if (step < 0 && i == 0) {
      i = rows_.size();
      break;
    }
    i = step > 0 ? i + 1 : i - 1;
  }
  pos_ = i;
  eof_ = i >= rows_.size();
}

void ClientDataSet::First() {
  CheckOpen();
  Seek(0, 1);
  bof_ = true;
}

void ClientDataSet::Next() {
  CheckOpen();
  if (eof_) return;
  Seek(pos_ + 1, 1);
  bof_ = false;
}

void ClientDataSet::Prior() {
  CheckOpen();
  size_t i = eof_ ? rows_.size() : pos_;
  while (i > 0) {
    --i;
    if (rows_[i].state != RowState::kDeleted) {
      pos_ = i;
      eof_ = false;
      bof_ = false;
      return;
    }
  }
  bof_ = true;
  First();
}

void ClientDataSet::CheckOpen() const {
  if (!open_) throw std::runtime_error("Cannot perform this operation on a closed dataset");
}

int ClientDataSet::FieldIndex(std::string_view name) const {
  DataPacket probe;
  probe.fields = fields_;
  int i = probe.FieldIndex(name);
  if (i < 0) throw std::runtime_error("Field '" + std::string(name) + "' not found");
  return i;
}

ClientDataSet::Row& ClientDataSet::Current() {
  CheckOpen();
  if (eof_) throw std::runtime_error("No current record");
  return rows_[pos_];
}

const ClientDataSet::Row& ClientDataSet::Current() const {
  CheckOpen();
  if (eof_) throw std::runtime_error("No current record");
  return rows_[pos_];
}

const Variant& ClientDataSet::FieldByName(std::string_view name) const {
  CheckOpen();
  int i = FieldIndex(name);
  return Current().values[static_cast<size_t>(i)];
}

void ClientDataSet::SetFieldByName(std::string_view name, Variant value) {
  CheckOpen();
  int i = FieldIndex(name);
  const PacketField& f = fields_[static_cast<size_t>(i)];
  if (f.read_only || f.auto_increment) {
    throw std::runtime_error("Field '" + f.name + "' cannot be modified");
  }
  Row& row = Current();
  if (row.state == RowState::kUnchanged) {
    row.original = row.values;
    row.state = RowState::kModified;
  }
  row.values[static_cast<size_t>(i)] = std::move(value);
}

void ClientDataSet::Append() {
  CheckOpen();
  rows_.push_back(Row{RowState::kInserted, std::vector<Variant>(fields_.size()), {}});
  pos_ = rows_.size() - 1;
  eof_ = false;
  bof_ = false;
}

void ClientDataSet::Delete() {
  Row& row = Current();
  if (row.state == RowState::kInserted) {
    // Never sent: it simply goes.
    rows_.erase(rows_.begin() + static_cast<std::ptrdiff_t>(pos_));
  } else {
    // The database is asked to delete the row as it was read.
    if (row.state == RowState::kModified) row.values = row.original;
    row.original.clear();
    row.state = RowState::kDeleted;
  }
  Seek(pos_, 1);
}

int ClientDataSet::ChangeCount() const {
  int n = 0;
  for (const Row& r : rows_) n += r.state != RowState::kUnchanged;
  return n;
}

Variant ClientDataSet::Delta() const {
  DataPacket delta;
  delta.kind = PacketKind::kDelta;
  delta.fields = fields_;
  for (const Row& r : rows_) {
    if (r.state == RowState::kUnchanged) continue;
    PacketRow out;
    out.state = r.state;
    out.values = r.values;
    out.original = r.original;
    delta.rows.push_back(std::move(out));
  }
  if (delta.rows.empty()) return Variant::Null();
  return delta.ToVariant();
}

void ClientDataSet::MergeChangeLog() {
  CheckOpen();
  std::vector<Row> merged;
  for (Row& r : rows_) {
    if (r.state == RowState::kDeleted) continue;
    merged.push_back(Row{RowState::kUnchanged, std::move(r.values), {}});
  }
  rows_ = std::move(merged);
  saved_ = rows_;
  First();
}

void ClientDataSet::CancelUpdates() {
  CheckOpen();
  rows_ = saved_;
  First();
}

}  // namespace tillbase::rpc

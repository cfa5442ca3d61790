// A client-side record set over data packets: load the packets a provider
// delivers, walk the records, read and change fields by name, append and
// delete records, and produce the delta that AS_ApplyUpdates takes.
// Used by one thread at a time.
#pragma once

#include <string_view>
#include <vector>

#include "shared/data_packet.h"
#include "shared/variant.h"

namespace tillbase::rpc {

class ClientDataSet {
 public:
  ClientDataSet() = default;

  // Replaces everything with the packet's fields and rows (a data packet
  // variant), positioned on the first record; the change log is empty.
  void Load(const Variant& packet);
  // Adds the rows of the next page; its fields must be those already held.
  void AppendData(const Variant& packet);

  const std::vector<PacketField>& Fields() const { return fields_; }
  // Records visible (deleted ones are not).
  int RecordCount() const;

  void First();
  void Next();
  void Prior();
  bool Eof() const { return eof_; }
  bool Bof() const { return bof_; }

  // Values of the current record by field name without regard to case;
  // "Field '<name>' not found"; "Cannot perform this operation on a closed
  // dataset" before Load, "No current record" at the end.
  const Variant& FieldByName(std::string_view name) const;
  // Changes a field of the current record; the original values are kept for
  // the delta. A read-only field raises "Field '<name>' cannot be modified".
  void SetFieldByName(std::string_view name, Variant value);

  // A new record after the last one, every value Empty (unassigned), made
  // current.
  void Append();
  // Deletes the current record; the next one becomes current.
  void Delete();

  // Rows changed, inserted or deleted since Load.
  int ChangeCount() const;
  // The delta packet of the changes, as its variant; Null when none.
  Variant Delta() const;
  // Takes the changes as the new original state (after they were applied).
  void MergeChangeLog();
  // Undoes every change since Load or the last merge.
  void CancelUpdates();

 private:
  struct Row {
    RowState state = RowState::kUnchanged;
    std::vector<Variant> values;
    std::vector<Variant> original;  // set once a loaded row is modified
  };
  int FieldIndex(std::string_view name) const;
  Row& Current();
  const Row& Current() const;
  void CheckOpen() const;
  // Moves from index i in direction step to the first visible row.
  void Seek(size_t i, int step);

  bool open_ = false;
  std::vector<PacketField> fields_;
  std::vector<Row> rows_;
  std::vector<Row> saved_;  // rows as loaded or last merged, for CancelUpdates
  size_t pos_ = 0;
  bool eof_ = true;
  bool bof_ = true;
};

}  // namespace tillbase::rpc

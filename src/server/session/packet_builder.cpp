#include "server/session/packet_builder.h"

#include <stdexcept>

#include "db/query.h"
#include "db/stored_proc.h"
#include "shared/proc_params.h"
#include "shared/proc_runner.h"

namespace tillbase::session {
namespace {

// Sets the parameters a request carries on the dataset. Only names and
// values count: the dataset's refreshed list knows the types.
void ApplyParams(db::DataSet& dataset, const Variant& params) {
  std::vector<ParamEntry> entries = UnpackParams(params);
  if (entries.empty()) return;
  auto* proc = dynamic_cast<db::StoredProc*>(&dataset);
  if (proc == nullptr) {
    // A query of this layer has no parameters: a value sent for one would
    // otherwise vanish.
    throw std::runtime_error("Parameter '" + entries.front().name + "' not found");
  }
  if (proc->Params().Count() == 0 && !proc->ProcedureName().empty()) {
    dataset.Close();
    proc->RefreshParameters();
  }
  // Clients send the parameters again with later pages: the same values
  // keep the open dataset where it is; new ones take effect at a new open.
  bool changed = false;
  for (const ParamEntry& e : entries) {
    const db::Parameter& p = proc->ParamByName(e.name);
    if (p.direction != pdReturnValue && !(p.value == e.value)) changed = true;
  }
  if (!changed) return;
  dataset.Close();
  for (const ParamEntry& e : entries) {
    db::Parameter& p = proc->ParamByName(e.name);
    if (p.direction == pdReturnValue) continue;
    p.value = e.value;
  }
}

void ApplyCommandText(const ProviderInfo& provider, db::DataSet& dataset,
                      std::string_view command_text) {
  if (!provider.allow_command_text) {
    throw std::runtime_error("Provider " + std::string(provider.name) +
                             " does not accept command text");
  }
  dataset.Close();
  if (auto* query = dynamic_cast<db::Query*>(&dataset)) {
    query->SetSql(std::string(command_text));
  } else if (auto* proc = dynamic_cast<db::StoredProc*>(&dataset)) {
    proc->SetProcedureName(command_text);
    proc->RefreshParameters();
  }
}

}  // namespace

std::vector<PacketField> PacketFieldsOf(const db::RecordSet& records) {
  std::vector<PacketField> fields;
  fields.reserve(records.FieldDefs().size());
  for (const db::FieldDef& def : records.FieldDefs()) {
    PacketField f;
    f.name = def.name;
    f.data_type = def.data_type;
    f.size = def.size;
    f.precision = def.precision;
    f.scale = def.scale;
    f.required = def.required && !def.read_only;
    f.read_only = def.read_only;
    f.key = def.key;
    f.auto_increment = def.read_only;
    fields.push_back(std::move(f));
  }
  return fields;
}

Variant WritePacket(db::RecordSet& records, int32_t count, int32_t& recs_out,
                    const std::vector<PacketField>* fixed) {
  std::vector<PacketField> fields;
  std::vector<int> columns;  // record-set column of each packet field
  if (fixed != nullptr) {
    fields = *fixed;
    for (const PacketField& f : *fixed) columns.push_back(records.FieldByName(f.name).index());
  } else {
    fields = PacketFieldsOf(records);
    for (int i = 0; i < records.FieldCount(); ++i) columns.push_back(i);
  }
  PacketWriter writer(PacketKind::kData, fields);
  recs_out = 0;
  while ((count < 0 || recs_out < count) && !records.Eof()) {
    const std::vector<Variant>* row = records.CurrentRow();
    if (row == nullptr) break;
    writer.AddRow(*row, columns);
    ++recs_out;
    records.Next();
  }
  // The records handed out are not read again: the next request continues
  // after them, and a reset opens the dataset anew.
  records.DropReadRecords();
  return Variant(writer.Finish());
}

Variant GetRecords(const ProviderInfo& provider, db::DataSet* dataset, int32_t count,
                   int32_t options, std::string_view command_text, const Variant& params,
                   int32_t& recs_out) {
  recs_out = 0;
  if (dataset == nullptr) throw std::runtime_error("Missing data provider or data packet");
  if (options & kGetRecordsReset) dataset->Close();
  if (!command_text.empty()) ApplyCommandText(provider, *dataset, command_text);
  ApplyParams(*dataset, params);
  dataset->Open();
  const std::vector<PacketField>* fixed = provider.fixed_fields ? &VipCardsFields() : nullptr;
  Variant packet = WritePacket(dataset->Records(), count, recs_out, fixed);
  // A procedure's return value and outputs come after its rows: once the
  // client has them all, the rest of the call is read so that the
  // parameters hold them (and a failure after the rows is reported).
  if (count != 0 && dataset->Records().Eof() && dynamic_cast<db::StoredProc*>(dataset) != nullptr) {
    dataset->Records().FinishBatch();
  }
  return packet;
}

Variant GetParams(db::DataSet* dataset) {
  if (dataset == nullptr) throw std::runtime_error("Missing data provider or data packet");
  auto* proc = dynamic_cast<db::StoredProc*>(dataset);
  if (proc == nullptr) return Variant::Null();
  if (proc->Params().Count() == 0 && !proc->ProcedureName().empty()) proc->RefreshParameters();
  return ProcParamsToArray(*proc);
}

void Execute(const ProviderInfo& provider, db::DataSet* dataset, std::string_view command_text,
             Variant& params) {
  if (dataset == nullptr) throw std::runtime_error("Missing data provider or data packet");
  if (!command_text.empty()) ApplyCommandText(provider, *dataset, command_text);
  if (auto* proc = dynamic_cast<db::StoredProc*>(dataset)) {
    dataset->Close();
    if (proc->Params().Count() == 0 && !proc->ProcedureName().empty()) proc->RefreshParameters();
    ArrayToProcParams(params, *proc);
    proc->ExecProc();
    params = ProcParamsToArray(*proc);
    return;
  }
  if (auto* query = dynamic_cast<db::Query*>(dataset)) {
    if (!UnpackParams(params).empty()) {
      throw std::runtime_error("Parameter '" + UnpackParams(params).front().name + "' not found");
    }
    query->ExecSql();
  }
}

Variant RowRequest(db::DataSet* dataset) {
  if (dataset == nullptr) throw std::runtime_error("Missing data provider or data packet");
  return Variant::Null();
}

Variant DataRequest(const Variant& data) {
  (void)data;
  return Variant::Null();
}

}  // namespace tillbase::session

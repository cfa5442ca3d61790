// The IAppServer operations as the session answers them. Requests marked as
// coming from a client-side query dataset (OwnerData = ["TQueryDataSet",
// procedure name, ...]) run that procedure through the shared component
// ADOStoredProc; every other request goes to the provider it names.
#include <mutex>
#include <stdexcept>

#include "db/text_util.h"
#include "server/session/co_tillbase_server.h"
#include "server/session/delta_resolver.h"
#include "server/session/packet_builder.h"
#include "server/session/provider_catalogue.h"
#include "shared/proc_params.h"
#include "shared/proc_runner.h"

namespace tillbase::session {
namespace {

constexpr std::string_view kQueryDataSetMarker = "TQueryDataSet";
// The database's procedure that runs the SQL text at its parameter 1.
constexpr std::string_view kExecSqlProcedure = "ExecSQL";
constexpr std::string_view kStoredProcProvider = "DataSetProvider";

bool IsMarked(const Variant& owner_data) {
  if (!owner_data.IsArray() || owner_data.IsByteArray()) return false;
  if (owner_data.LowBound() > 0 || owner_data.HighBound() < 0) return false;
  const Variant& first = owner_data.At(0);
  return first.IsString() && first.StringValue() == kQueryDataSetMarker;
}

// Element 1 of a marked OwnerData as text (a missing element raises the
// array's index error, a Null the conversion error).
std::string MarkedProcedure(const Variant& owner_data) { return owner_data.Get(1).ToString(); }

// String parameters with an empty or blank value are sent as one space:
// the procedures behind client-side query datasets treat '' as "not given".
// A Null string value cannot be read as text and fails the request.
Variant BlankStringsAsSpace(const Variant& params) {
  if (!params.IsArray() || params.IsByteArray()) return params;
  Variant adjusted = params;
  for (int32_t i = 0; i <= adjusted.HighBound(); ++i) {
    if (i < adjusted.LowBound()) continue;
    const Variant& entry = adjusted.At(i);
    if (!entry.IsArray() || entry.IsByteArray()) continue;
    if (entry.HighBound() < 2 || entry.LowBound() > 1) continue;
    const Variant& type = entry.At(2);
    if (!type.IsNumeric() || type.ToDouble() != static_cast<double>(ftString)) continue;
    const Variant& value = entry.At(1);
    const std::string text = value.IsEmpty() ? std::string() : value.ToString();
    if (!db::TrimBlanks(text).empty()) continue;
    Variant direction = entry.HighBound() >= 3 ? entry.At(3) : Variant();
    adjusted.At(i) = VarArrayOf({entry.At(0), Variant(" "), entry.At(2), direction});
  }
  return adjusted;
}

struct Provider {
  const ProviderInfo& info;
  db::DataSet* dataset;
};

Provider Lookup(TCoTillbaseServer& session, const std::string& name) {
  const ProviderInfo& info = ProviderByName(name);
  return {info, DatasetOf(session, info)};
}

}  // namespace

void TCoTillbaseServer::PrepareMarkedProcedure(const std::string& name) {
  if (name != ADOStoredProc.ProcedureName()) {
    // ADOStoredProc serves every marked request of the session; one that
    // names another procedure starts it afresh.
    ADOStoredProc.Close();
    ADOStoredProc.SetProcedureName(name);
    ADOStoredProc.RefreshParameters();
  } else if (!ADOStoredProc.Active()) {
    ADOStoredProc.RefreshParameters();
  }
  // Open on this very procedure: its list already describes it and holds
  // the values it was opened with, so that the next page of records
  // continues where the last one stopped and the outputs land where the
  // request reads them.
}

Variant TCoTillbaseServer::AS_ApplyUpdates(const std::string& ProviderName, const Variant& Delta,
                                           int32_t MaxErrors, int32_t& ErrorCount,
                                           Variant& OwnerData) {
  (void)OwnerData;
  std::lock_guard lock(provider_lock_);
  Provider p = Lookup(*this, ProviderName);
  return ApplyUpdates(p.info, p.dataset, cnnAdo, Delta, MaxErrors, ErrorCount);
}

Variant TCoTillbaseServer::AS_GetRecords(const std::string& ProviderName, int32_t Count,
                                         int32_t& RecsOut, int32_t Options,
                                         const std::string& CommandText, Variant& Params,
                                         Variant& OwnerData) {
  std::lock_guard lock(provider_lock_);
  if (!IsMarked(OwnerData)) {
    Provider p = Lookup(*this, ProviderName);
    return GetRecords(p.info, p.dataset, Count, Options, CommandText, Params, RecsOut);
  }
  Variant request_params;
  if (!CommandText.empty()) {
    PrepareMarkedProcedure(std::string(kExecSqlProcedure));
    ADOStoredProc.SetValue(1, Variant(CommandText));
    request_params = ProcParamsToArray(ADOStoredProc);
  } else {
    PrepareMarkedProcedure(MarkedProcedure(OwnerData));
    request_params = BlankStringsAsSpace(Params);
  }
  Provider p = Lookup(*this, ProviderName);
  Variant result = GetRecords(p.info, p.dataset, Count, Options, "", request_params, RecsOut);
  Params = ProcParamsToArray(ADOStoredProc);
  return result;
}

Variant TCoTillbaseServer::AS_DataRequest(const std::string& ProviderName, const Variant& Data) {
  std::lock_guard lock(provider_lock_);
  Lookup(*this, ProviderName);
  return DataRequest(Data);
}

Variant TCoTillbaseServer::AS_GetProviderNames() {
  std::lock_guard lock(provider_lock_);
  return session::AS_GetProviderNames();
}

Variant TCoTillbaseServer::AS_GetParams(const std::string& ProviderName, Variant& OwnerData) {
  std::lock_guard lock(provider_lock_);
  if (!IsMarked(OwnerData)) return GetParams(Lookup(*this, ProviderName).dataset);
  PrepareMarkedProcedure(MarkedProcedure(OwnerData));
  return ProcParamsToArray(ADOStoredProc);
}

Variant TCoTillbaseServer::AS_RowRequest(const std::string& ProviderName, const Variant& Row,
                                         int32_t RequestType, Variant& OwnerData) {
  (void)Row;
  (void)RequestType;
  std::lock_guard lock(provider_lock_);
  if (!IsMarked(OwnerData)) return RowRequest(Lookup(*this, ProviderName).dataset);
  PrepareMarkedProcedure(MarkedProcedure(OwnerData));
  // Always the provider of ADOStoredProc, whatever the request names.
  return RowRequest(Lookup(*this, std::string(kStoredProcProvider)).dataset);
}

void TCoTillbaseServer::AS_Execute(const std::string& ProviderName, const std::string& CommandText,
                                   Variant& Params, Variant& OwnerData) {
  std::lock_guard lock(provider_lock_);
  if (!IsMarked(OwnerData)) {
    Provider p = Lookup(*this, ProviderName);
    Execute(p.info, p.dataset, CommandText, Params);
    return;
  }
  // A run of its own, with a freshly read parameter list: whatever a record
  // request left open is finished.
  ADOStoredProc.Close();
  if (!CommandText.empty()) {
    PrepareMarkedProcedure(std::string(kExecSqlProcedure));
    ADOStoredProc.SetValue(1, Variant(CommandText));
  } else {
    PrepareMarkedProcedure(MarkedProcedure(OwnerData));
    ArrayToProcParams(Params, ADOStoredProc);
  }
  ADOStoredProc.ExecProc();
  Params = ProcParamsToArray(ADOStoredProc);
}

}  // namespace tillbase::session

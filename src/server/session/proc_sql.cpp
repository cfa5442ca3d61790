// ExecuteProc, OpenProc, ExecuteSQL, OpenSQL and SetQuerySQL: running a
// client's procedure or SQL text on the session's connection, or preparing
// the dataset a provider later opens.
#include <stdexcept>

#include "db/errors.h"
#include "rpc/object.h"
#include "server/session/co_tillbase_server.h"
#include "shared/proc_params.h"
#include "shared/proc_runner.h"

namespace tillbase::session {
namespace {

// The year-end close runs as a background job that clients poll; only this
// exact text takes that path.
constexpr std::string_view kYearCloseProcedure = "F_Year_Close;1";

}  // namespace

int32_t TCoTillbaseServer::ExecuteProc(const std::string& szProcedureName,
                                       const Variant& vInputParams, Variant& vOutParams) {
  if (szProcedureName == kYearCloseProcedure) rpc::ThrowNotImplemented();
  // sp_Execute is not closed first: while a record request keeps it open,
  // only the same procedure may run again.
  return ExecuteProcedure(sp_Execute, szProcedureName, vInputParams, &vOutParams);
}

int32_t TCoTillbaseServer::OpenProc(const std::string& szProcedureName,
                                    const Variant& vInputParams) {
  sp_Open.Close();
  sp_Open.SetProcedureName(szProcedureName);
  sp_Open.RefreshParameters();
  const std::vector<ParamEntry> supplied = UnpackParams(vInputParams);
  db::Parameters& params = sp_Open.Params();
  for (int i = 1; i < params.Count(); ++i) {
    db::Parameter& p = params.Items(i);
    if (p.direction != pdInput && p.direction != pdInputOutput) continue;
    const ParamEntry* entry = FindParam(supplied, p.name);
    // The provider opens the procedure later: a missing input would
    // otherwise run it with a value nobody chose.
    if (entry == nullptr) throw db::ParameterNotFound(p.name);
    if (p.data_type == ftBCD) {
      p.data_type = ftFloat;
      p.value = Variant(entry->value.IsNull() ? 0.0 : entry->value.ToDouble());
    } else {
      p.value = entry->value;
    }
  }
  return 0;
}

int32_t TCoTillbaseServer::ExecuteSQL(const std::string& szSQL) {
  qry_Execute.Close();
  qry_Execute.SetSql(szSQL);
  const int64_t rows = qry_Execute.ExecSql();
  qry_Execute.Close();
  return static_cast<int32_t>(rows);
}

int32_t TCoTillbaseServer::OpenSQL(const std::string& szSQL) {
  qry_Open.Close();
  qry_Open.SetSql(szSQL);
  return 0;
}

int32_t TCoTillbaseServer::SetQuerySQL(const std::string& szSQL) {
  // Replacing the text of an open query closes it.
  adoLocalView.Close();
  adoLocalView.SetSql(szSQL);
  return 0;
}

}  // namespace tillbase::session

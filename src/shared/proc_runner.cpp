#include "shared/proc_runner.h"

#include <string>
#include <vector>

namespace tillbase {
namespace {

std::string UpperAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return out;
}

bool IsInput(int direction) { return direction == pdInput || direction == pdInputOutput; }
bool IsOutput(int direction) { return direction == pdOutput || direction == pdInputOutput; }

}  // namespace

int32_t ExecuteProcedure(ProcedureTarget& proc, std::string_view name, const Variant& input_params,
                         Variant* out_params) {
  proc.SetProcedureName(name);
  proc.RefreshParameters();
  const std::vector<ParamEntry> supplied = UnpackParams(input_params);

  // The key text: every supplied name, upper-cased, followed by ":".
  std::string keys;
  for (const ParamEntry& entry : supplied) keys += UpperAscii(entry.name) + ":";

  const int count = proc.ParamCount();
  for (int i = 1; i < count; ++i) {
    const ProcParam param = proc.Param(i);
    if (!IsInput(param.direction)) continue;
    if (keys.find(UpperAscii(param.name) + ":") == std::string::npos) continue;
    // The key test can hit inside a longer supplied name; only an entry of
    // the same name supplies a value.
    if (const ParamEntry* entry = FindParam(supplied, param.name)) proc.SetValue(i, entry->value);
  }

  proc.ExecProc();

  std::vector<ParamEntry> outputs;
  for (int i = 1; i < count; ++i) {
    const ProcParam param = proc.Param(i);
    if (!IsOutput(param.direction)) continue;
    ParamEntry entry;
    entry.name = param.name;
    entry.data_type = param.data_type;
    entry.kind = param.direction;
    entry.value = param.value;
    if (param.data_type == ftBCD) {
      entry.value = Variant(param.value.ToDouble());  // exact decimals travel as doubles
      entry.data_type = ftFloat;
    }
    outputs.push_back(std::move(entry));
  }
  *out_params = PackParams(outputs);

  return proc.Param(0).value.ToInt32();
}

Variant ProcParamsToArray(ProcedureTarget& proc) {
  std::vector<ProcParam> params;
  const int count = proc.ParamCount();
  for (int i = 0; i < count; ++i) params.push_back(proc.Param(i));
  return MakeProcParamArray(params);
}

void ArrayToProcParams(const Variant& array, ProcedureTarget& proc) {
  ApplyProcParamArray(array, proc);
}

}  // namespace tillbase

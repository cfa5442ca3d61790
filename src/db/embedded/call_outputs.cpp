#include "db/embedded/call_outputs.h"

#include "db/embedded/value_conversion.h"

namespace tillbase::db::embedded {

void CallOutputs::Write(const engine::CallResult& result) {
  if (params == nullptr) return;
  std::shared_ptr<std::vector<Parameter>> target = std::move(params);
  std::vector<Parameter>& list = *target;
  if (!list.empty() && result.return_status) {
    list[0].value = Variant(static_cast<int32_t>(*result.return_status));
  }
  for (size_t a = 0; a < positions.size() && a < result.outputs.size(); ++a) {
    Parameter& p = list[static_cast<size_t>(positions[a])];
    if (p.direction == 2 || p.direction == 3) p.value = ToVariant(result.outputs[a], types[a]);
  }
}

}  // namespace tillbase::db::embedded

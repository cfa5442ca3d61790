#include "db/embedded/call_outputs.h"

#include "db/embedded/value_conversion.h"

namespace tillbase::db::embedded {

void WriteOutputs(const engine::CallResult& result, const ArgumentMap* map,
                  std::vector<Parameter>& list) {
  if (!list.empty() && result.return_status) {
    list[0].value = Variant(static_cast<int32_t>(*result.return_status));
  }
  if (map == nullptr) return;
  for (size_t a = 0; a < map->positions.size() && a < result.outputs.size(); ++a) {
    const auto position = static_cast<size_t>(map->positions[a]);
    if (position >= list.size()) continue;  // the list was cut down meanwhile
    Parameter& p = list[position];
    if (p.direction == 2 || p.direction == 3) p.value = ToVariant(result.outputs[a], map->types[a]);
  }
}

void CallOutputs::Write(const engine::CallResult& result) {
  if (params == nullptr) return;
  std::shared_ptr<std::vector<Parameter>> target = std::move(params);
  WriteOutputs(result, map.get(), *target);
}

}  // namespace tillbase::db::embedded

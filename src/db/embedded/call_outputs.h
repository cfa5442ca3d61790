// Where the return status and output values of an engine procedure call go.
#pragma once

#include <memory>
#include <vector>

#include "db/driver.h"
#include "engine/engine.h"

namespace tillbase::db::embedded {

// How the arguments of a call map onto its parameter list: the parameter of
// each argument and the type its value comes back in (the declared type,
// else sql_variant). Shared by the calls that use the same list shape.
struct ArgumentMap {
  std::vector<int> positions;
  std::vector<engine::TypeInfo> types;
};

// Writes the return status to position 0 of the list and the outputs to
// their parameters.
void WriteOutputs(const engine::CallResult& result, const ArgumentMap* map,
                  std::vector<Parameter>& list);

struct CallOutputs {
  std::shared_ptr<std::vector<Parameter>> params;  // null for a batch
  std::shared_ptr<const ArgumentMap> map;

  // Writes the return status to position 0 and the outputs to their
  // parameters; once.
  void Write(const engine::CallResult& result);
};

}  // namespace tillbase::db::embedded

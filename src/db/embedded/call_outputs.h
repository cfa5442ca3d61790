// Where the return status and output values of an engine procedure call go.
#pragma once

#include <memory>
#include <vector>

#include "db/driver.h"
#include "engine/engine.h"

namespace tillbase::db::embedded {

struct CallOutputs {
  std::shared_ptr<std::vector<Parameter>> params;  // null for a batch
  std::vector<int> positions;                      // the parameter of each argument
  std::vector<engine::TypeInfo> types;             // each argument's declared type

  // Writes the return status to position 0 and the outputs to their
  // parameters; once.
  void Write(const engine::CallResult& result);
};

}  // namespace tillbase::db::embedded

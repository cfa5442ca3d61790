// libFuzzer target for the T-SQL lexer and parser: any byte string must
// either parse or fail with an EngineError; anything else (a crash, another
// exception, a hang, a sanitizer report) is a fault.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "engine/engine.h"
#include "engine/parser/parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view sql(reinterpret_cast<const char*>(data), size);
  try {
    tillbase::engine::parser::ParseBatch(sql);
  } catch (const tillbase::engine::EngineError&) {
    // A clear error for bad input is the expected outcome.
  }
  return 0;
}

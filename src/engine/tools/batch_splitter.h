// Splits a T-SQL script into batches on GO lines, the way the interactive
// command-line tools do: GO alone on a line (any letter case, blanks around
// it, an optional repeat count), never inside a comment or a string literal.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tillbase::engine::tools {

struct ScriptBatch {
  std::string sql;     // the batch text, without its GO line
  int repeat = 1;      // "GO 3" runs the batch three times
  int first_line = 1;  // line of the script on which the batch starts (1-based)
};

// A GO line that cannot be read ("GO x", "GO 0"). Names the script line.
class ScriptError : public std::runtime_error {
 public:
  ScriptError(int line, const std::string& text) : std::runtime_error(text), line_(line) {}
  int line() const { return line_; }

 private:
  int line_;
};

// Batches of the script in order. Batches that hold nothing but blanks are
// left out, as the tools never send them.
std::vector<ScriptBatch> SplitBatches(std::string_view script);

}  // namespace tillbase::engine::tools

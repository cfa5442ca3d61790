#include "engine/tools/batch_splitter.h"

#include <cctype>
#include <cstdint>
#include <optional>

namespace tillbase::engine::tools {
namespace {

// Where the scanner is at the end of a line: GO counts only when a line
// starts outside every comment, string and quoted name.
enum class Scan { kCode, kString, kBracket, kQuoted };

struct LexState {
  Scan scan = Scan::kCode;
  int comment_depth = 0;  // block comments nest in T-SQL
};

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v'; }

bool AllBlank(std::string_view text) {
  for (char c : text) {
    if (!IsBlank(c) && c != '\n') return false;
  }
  return true;
}

// Advances the state over one line (without its line break).
void ScanLine(std::string_view line, LexState& st) {
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    char next = i + 1 < line.size() ? line[i + 1] : '\0';
    if (st.comment_depth > 0) {
      if (c == '/' && next == '*') {
        ++st.comment_depth;
        ++i;
      } else if (c == '*' && next == '/') {
        --st.comment_depth;
        ++i;
      }
      continue;
    }
    switch (st.scan) {
      case Scan::kString:
        if (c == '\'') st.scan = Scan::kCode;  // a doubled quote re-enters at once
        continue;
      case Scan::kBracket:
        if (c == ']') st.scan = Scan::kCode;
        continue;
      case Scan::kQuoted:
        if (c == '"') st.scan = Scan::kCode;
        continue;
      case Scan::kCode:
        break;
    }
    if (c == '-' && next == '-') return;  // the rest of the line is a comment
    if (c == '/' && next == '*') {
      st.comment_depth = 1;
      ++i;
    } else if (c == '\'') {
      st.scan = Scan::kString;
    } else if (c == '[') {
      st.scan = Scan::kBracket;
    } else if (c == '"') {
      st.scan = Scan::kQuoted;
    }
  }
}

// The repeat count when the line is a GO line; nullopt otherwise. Throws
// ScriptError for a GO line whose count is not a positive number.
std::optional<int> ReadGoLine(std::string_view line, int line_no) {
  size_t i = 0;
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (line.size() - i < 2 || std::toupper(static_cast<unsigned char>(line[i])) != 'G' ||
      std::toupper(static_cast<unsigned char>(line[i + 1])) != 'O') {
    return std::nullopt;
  }
  i += 2;
  if (i < line.size() && !IsBlank(line[i])) return std::nullopt;  // GOTO, GO;, GOx
  while (i < line.size() && IsBlank(line[i])) ++i;
  if (i == line.size()) return 1;
  std::string_view rest = line.substr(i);
  size_t end = rest.size();
  while (end > 0 && IsBlank(rest[end - 1])) --end;
  rest = rest.substr(0, end);
  int64_t count = 0;
  for (char c : rest) {
    if (!std::isdigit(static_cast<unsigned char>(c)) || count > 1'000'000'000) {
      throw ScriptError(line_no, "Incorrect syntax was encountered while parsing GO.");
    }
    count = count * 10 + (c - '0');
  }
  if (count <= 0 || count > 2'147'483'647) {
    throw ScriptError(line_no, "Incorrect syntax was encountered while parsing GO.");
  }
  return static_cast<int>(count);
}

}  // namespace

std::vector<ScriptBatch> SplitBatches(std::string_view script) {
  std::vector<ScriptBatch> batches;
  ScriptBatch current;
  LexState st;
  int line_no = 0;
  size_t pos = 0;
  auto flush = [&](int repeat, int next_line) {
    if (!AllBlank(current.sql)) {
      current.repeat = repeat;
      batches.push_back(std::move(current));
    }
    current = ScriptBatch{};
    current.first_line = next_line;
  };
  while (pos < script.size()) {
    size_t nl = script.find('\n', pos);
    size_t end = nl == std::string_view::npos ? script.size() : nl;
    std::string_view line = script.substr(pos, end - pos);
    ++line_no;
    bool at_code = st.comment_depth == 0 && st.scan == Scan::kCode;
    std::optional<int> go;
    if (at_code) go = ReadGoLine(line, line_no);
    if (go) {
      flush(*go, line_no + 1);
    } else {
      current.sql.append(line);
      if (nl != std::string_view::npos) current.sql.push_back('\n');
      ScanLine(line, st);
    }
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }
  flush(1, line_no + 1);
  return batches;
}

}  // namespace tillbase::engine::tools

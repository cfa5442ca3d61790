#include "engine/errors.h"

#include <charconv>
#include <vector>

namespace tillbase::engine {

EngineError MakeError(int number, int severity, int state, std::string text) {
  Message m;
  m.number = number;
  m.severity = severity;
  m.state = state;
  m.text = std::move(text);
  return EngineError(std::move(m));
}

EngineError SyntaxError(int number, int line, std::string text) {
  Message m;
  m.number = number;
  m.severity = 15;
  m.state = 1;
  m.line = line;
  m.text = std::move(text);
  return EngineError(std::move(m));
}

EngineError IncorrectSyntaxNear(int line, std::string_view near) {
  if (near.empty()) return SyntaxError(102, line, "Incorrect syntax near the end of the batch.");
  return SyntaxError(102, line, "Incorrect syntax near '" + std::string(near) + "'.");
}

EngineError NotSupported(std::string_view construct) {
  return MakeError(40517, 16, 1,
                   "'" + std::string(construct) + "' is not supported by the embedded engine.");
}

EngineError InvalidObject(std::string_view name) {
  return MakeError(208, 16, 1, "Invalid object name '" + std::string(name) + "'.");
}

EngineError InvalidColumn(std::string_view name) {
  return MakeError(207, 16, 1, "Invalid column name '" + std::string(name) + "'.");
}

EngineError MustDeclare(std::string_view variable) {
  return MakeError(137, 15, 2, "Must declare the scalar variable \"" + std::string(variable) + "\".");
}

EngineError ConversionFailed(std::string_view from_type, std::string_view value,
                             std::string_view to_type) {
  return MakeError(245, 16, 1,
                   "Conversion failed when converting the " + std::string(from_type) + " value '" +
                       std::string(value) + "' to data type " + std::string(to_type) + ".");
}

EngineError ConvertError(std::string_view from_type, std::string_view to_type) {
  return MakeError(8114, 16, 5,
                   "Error converting data type " + std::string(from_type) + " to " +
                       std::string(to_type) + ".");
}

EngineError DivideByZero() { return MakeError(8134, 16, 1, "Divide by zero error encountered."); }

EngineError ArithmeticOverflow(std::string_view to_type) {
  return MakeError(8115, 16, 2,
                   "Arithmetic overflow error converting expression to data type " +
                       std::string(to_type) + ".");
}

EngineError Truncation() {
  return MakeError(8152, 16, 14, "String or binary data would be truncated.");
}

EngineError ProcNotFound(std::string_view name) {
  return MakeError(2812, 16, 62, "Could not find stored procedure '" + std::string(name) + "'.");
}

bool EndsBatch(int number) {
  switch (number) {
    case 245:   // conversion of a value
    case 8114:  // conversion of a type
    case 241:   // date conversion
    case 207:   // compile errors found when the statement is bound
    case 208:
    case 209:
    case 137:
    case 102:
    case 156:
    case 8115:
    case 40517:
      return true;
    default:
      return false;
  }
}

std::string EncodeForSqlite(const EngineError& error) {
  const Message& m = error.message();
  return "\x01" + std::to_string(m.number) + "\x01" + std::to_string(m.severity) + "\x01" +
         std::to_string(m.state) + "\x01" + m.text;
}

bool DecodeFromSqlite(std::string_view text, Message* out) {
  size_t pos = text.find('\x01');
  if (pos == std::string_view::npos) return false;
  text = text.substr(pos + 1);
  std::vector<std::string_view> parts;
  for (int i = 0; i < 3; ++i) {
    size_t p = text.find('\x01');
    if (p == std::string_view::npos) return false;
    parts.push_back(text.substr(0, p));
    text = text.substr(p + 1);
  }
  int vals[3] = {0, 0, 0};
  for (int i = 0; i < 3; ++i) {
    std::from_chars(parts[i].data(), parts[i].data() + parts[i].size(), vals[i]);
  }
  out->number = vals[0];
  out->severity = vals[1];
  out->state = vals[2];
  out->text = std::string(text);
  return true;
}

}  // namespace tillbase::engine

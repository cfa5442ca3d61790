// The engine's errors with SQL Server's numbers, severities, states and texts.
#pragma once

#include <string>
#include <string_view>

#include "engine/engine.h"

namespace tillbase::engine {

EngineError MakeError(int number, int severity, int state, std::string text);

// A compile-time error (severity 15); nothing of the batch runs.
EngineError SyntaxError(int number, int line, std::string text);
EngineError IncorrectSyntaxNear(int line, std::string_view near);

// A construct outside the subset the engine implements.
EngineError NotSupported(std::string_view construct);

EngineError InvalidObject(std::string_view name);                // 208
EngineError InvalidColumn(std::string_view name);                // 207
EngineError MustDeclare(std::string_view variable);              // 137
EngineError ConversionFailed(std::string_view from_type, std::string_view value,
                             std::string_view to_type);          // 245
EngineError ConvertError(std::string_view from_type, std::string_view to_type);  // 8114
EngineError DivideByZero();                                      // 8134
EngineError ArithmeticOverflow(std::string_view to_type);        // 8115
EngineError Truncation();                                        // 8152
EngineError ProcNotFound(std::string_view name);                 // 2812

// Whether an error ends the whole batch (true) or only the statement.
bool EndsBatch(int number);

// Errors raised inside SQLite user functions travel as the function's
// error text in this form: "\x01<number>\x01<severity>\x01<state>\x01<text>".
std::string EncodeForSqlite(const EngineError& error);
bool DecodeFromSqlite(std::string_view text, Message* out);

}  // namespace tillbase::engine

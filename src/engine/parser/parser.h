// Recursive-descent parser of T-SQL batches. Statements need no semicolons:
// each statement ends where the grammar says it does.
#pragma once

#include <string_view>

#include "engine/parser/ast.h"

namespace tillbase::engine::parser {

// Parses a batch. Throws EngineError (102, 156, ...) with the line of the
// offending token; nothing of a batch with a syntax error may run.
ast::Batch ParseBatch(std::string_view sql);

// Parses a type name as it appears in a column declaration ("varchar(50)").
ast::TypeSpec ParseTypeText(std::string_view text);

}  // namespace tillbase::engine::parser

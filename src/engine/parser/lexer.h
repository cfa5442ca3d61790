// Tokens of T-SQL text. The lexer knows nothing of statements; keywords are
// identifiers that the parser compares without regard to case.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tillbase::engine::parser {

enum class TokenKind {
  kIdent,        // name or keyword
  kQuotedIdent,  // [name] or "name"
  kVariable,     // @name
  kGlobal,       // @@name
  kString,       // '...'
  kNString,      // N'...'
  kInteger,      // 123
  kDecimal,      // 1.5
  kFloat,        // 1e5
  kBinary,       // 0x0A
  kOp,           // operators and punctuation
  kEnd,
};

struct Token {
  TokenKind kind = TokenKind::kEnd;
  std::string text;  // identifiers unquoted, strings unescaped, numbers as written
  int line = 1;
  size_t offset = 0;  // byte offset in the batch
  size_t end = 0;     // byte offset after the token
};

// Splits a batch into tokens. Throws EngineError 102/105 for unclosed
// strings, identifiers or comments.
std::vector<Token> Tokenize(std::string_view sql);

// The value of an integer token's digits (an optional leading "-" allowed)
// when it lies within [-max, max]; otherwise EngineError 8115, so that an
// absurd length, style or position in client text is an error, not a crash.
int64_t IntegerTokenValue(std::string_view text, int64_t max = 2147483647);

}  // namespace tillbase::engine::parser

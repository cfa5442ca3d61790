#include "engine/parser/lexer.h"

#include <cctype>

#include "engine/errors.h"

namespace tillbase::engine::parser {
namespace {

bool IsIdentStart(unsigned char c) { return std::isalpha(c) || c == '_' || c == '#' || c >= 0x80; }
bool IsIdentPart(unsigned char c) {
  return std::isalnum(c) || c == '_' || c == '#' || c == '@' || c == '$' || c >= 0x80;
}

}  // namespace

std::vector<Token> Tokenize(std::string_view sql) {
  std::vector<Token> out;
  size_t i = 0;
  int line = 1;
  const size_t n = sql.size();
  auto count_lines = [&](size_t from, size_t to) {
    for (size_t k = from; k < to; ++k)
      if (sql[k] == '\n') ++line;
  };
  while (i < n) {
    unsigned char c = sql[i];
    if (c == '\n') {
      ++line;
      ++i;
      continue;
    }
    if (std::isspace(c)) {
      ++i;
      continue;
    }
    if (c == '-' && i + 1 < n && sql[i + 1] == '-') {
      while (i < n && sql[i] != '\n') ++i;
      continue;
    }
    if (c == '/' && i + 1 < n && sql[i + 1] == '*') {
      // Block comments nest in T-SQL.
      int depth = 0;
      size_t start = i;
      int start_line = line;
      while (i < n) {
        if (sql[i] == '/' && i + 1 < n && sql[i + 1] == '*') {
          ++depth;
          i += 2;
        } else if (sql[i] == '*' && i + 1 < n && sql[i + 1] == '/') {
          --depth;
          i += 2;
          if (depth == 0) break;
        } else {
          if (sql[i] == '\n') ++line;
          ++i;
        }
      }
      if (depth != 0) {
        (void)start;
        throw SyntaxError(113, start_line, "Missing end comment mark '*/'.");
      }
      continue;
    }
    Token t;
    t.line = line;
    t.offset = i;
    if ((c == 'N' || c == 'n') && i + 1 < n && sql[i + 1] == '\'') {
      t.kind = TokenKind::kNString;
      ++i;
      c = '\'';
    }
    if (c == '\'') {
      if (t.kind != TokenKind::kNString) t.kind = TokenKind::kString;
      size_t j = i + 1;
      std::string text;
      bool closed = false;
      while (j < n) {
        if (sql[j] == '\'') {
          if (j + 1 < n && sql[j + 1] == '\'') {
            text += '\'';
            j += 2;
            continue;
          }
          closed = true;
          break;
        }
        text += sql[j++];
      }
      if (!closed) {
        throw SyntaxError(105, line,
                          "Unclosed quotation mark after the character string '" + text + "'.");
      }
      count_lines(i, j);
      t.text = std::move(text);
      i = j + 1;
    } else if (c == '[' || c == '"') {
      char close = c == '[' ? ']' : '"';
      size_t j = i + 1;
      std::string text;
      bool closed = false;
      while (j < n) {
        if (sql[j] == close) {
          if (j + 1 < n && sql[j + 1] == close) {
            text += close;
            j += 2;
            continue;
          }
          closed = true;
          break;
        }
        text += sql[j++];
      }
      if (!closed) {
        throw SyntaxError(105, line, "Unclosed quotation mark after the character string '" + text +
                                         "'.");
      }
      count_lines(i, j);
      t.kind = TokenKind::kQuotedIdent;
      t.text = std::move(text);
      i = j + 1;
    } else if (c == '@') {
      size_t j = i + 1;
      bool global = j < n && sql[j] == '@';
      if (global) ++j;
      while (j < n && IsIdentPart(sql[j])) ++j;
      t.kind = global ? TokenKind::kGlobal : TokenKind::kVariable;
      t.text = std::string(sql.substr(i, j - i));
      i = j;
    } else if (c == '0' && i + 1 < n && (sql[i + 1] == 'x' || sql[i + 1] == 'X')) {
      size_t j = i + 2;
      while (j < n && std::isxdigit(static_cast<unsigned char>(sql[j]))) ++j;
      t.kind = TokenKind::kBinary;
      t.text = std::string(sql.substr(i + 2, j - i - 2));
      i = j;
    } else if (std::isdigit(c) || (c == '.' && i + 1 < n && std::isdigit((unsigned char)sql[i + 1]))) {
      size_t j = i;
      bool dot = false, exp = false;
      while (j < n && std::isdigit(static_cast<unsigned char>(sql[j]))) ++j;
      if (j < n && sql[j] == '.') {
        dot = true;
        ++j;
        while (j < n && std::isdigit(static_cast<unsigned char>(sql[j]))) ++j;
      }
      if (j < n && (sql[j] == 'e' || sql[j] == 'E')) {
        size_t k = j + 1;
        if (k < n && (sql[k] == '+' || sql[k] == '-')) ++k;
        if (k < n && std::isdigit(static_cast<unsigned char>(sql[k]))) {
          exp = true;
          j = k;
          while (j < n && std::isdigit(static_cast<unsigned char>(sql[j]))) ++j;
        }
      }
      t.kind = exp ? TokenKind::kFloat : dot ? TokenKind::kDecimal : TokenKind::kInteger;
      t.text = std::string(sql.substr(i, j - i));
      i = j;
    } else if (IsIdentStart(c)) {
      size_t j = i + 1;
      while (j < n && IsIdentPart(sql[j])) ++j;
      t.kind = TokenKind::kIdent;
      t.text = std::string(sql.substr(i, j - i));
      i = j;
    } else {
      static const char* kTwo[] = {"<=", ">=", "<>", "!=", "!<", "!>", "+=", "-=",
                                   "*=", "/=", "%=", "&=", "|=", "^=", "::"};
      t.kind = TokenKind::kOp;
      std::string_view rest = sql.substr(i);
      bool matched = false;
      for (const char* op : kTwo) {
        if (rest.substr(0, 2) == op) {
          t.text = op;
          i += 2;
          matched = true;
          break;
        }
      }
      if (!matched) {
        if (std::string_view("=<>+-*/%(),.;&|^~!").find(static_cast<char>(c)) ==
            std::string_view::npos) {
          throw SyntaxError(102, line, "Incorrect syntax near '" + std::string(1, c) + "'.");
        }
        t.text = std::string(1, static_cast<char>(c));
        ++i;
      }
    }
    t.end = i;
    out.push_back(std::move(t));
  }
  Token end;
  end.kind = TokenKind::kEnd;
  end.line = line;
  end.offset = n;
  end.end = n;
  out.push_back(end);
  return out;
}

int64_t IntegerTokenValue(std::string_view text, int64_t max) {
  bool neg = !text.empty() && text[0] == '-';
  if (neg) text.remove_prefix(1);
  if (text.empty()) throw EngineError(102, 15, "Incorrect syntax near '-'.");
  int64_t v = 0;
  for (char ch : text) {
    if (ch < '0' || ch > '9') throw EngineError(102, 15, "Incorrect syntax near '" + std::string(text) + "'.");
    if (v > (max - (ch - '0')) / 10) {
      throw EngineError(8115, 16, "Arithmetic overflow error converting expression to data type int.");
    }
    v = v * 10 + (ch - '0');
  }
  return neg ? -v : v;
}

}  // namespace tillbase::engine::parser

#include "engine/parser/parser.h"

#include <algorithm>
#include <set>

#include "engine/errors.h"
#include "engine/parser/lexer.h"
#include "engine/sql/types.h"

namespace tillbase::engine::parser {
namespace {

using namespace ast;

std::string Lower(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return r;
}

// Words that cannot be a bare alias or start an expression.
const std::set<std::string>& Reserved() {
  static const std::set<std::string> k = {
      "add",      "all",       "alter",     "and",        "as",        "asc",      "begin",
      "between",  "break",     "by",        "case",       "catch",     "commit",   "continue",
      "create",   "cross",     "declare",   "default",    "delete",    "desc",     "distinct",
      "drop",     "else",      "end",       "exec",       "execute",   "exists",   "from",
      "full",     "goto",      "group",     "having",     "if",        "in",       "inner",
      "insert",   "into",      "is",        "join",       "left",      "like",     "not",
      "null",     "on",        "or",        "order",      "outer",     "print",    "procedure",
      "proc",     "raiserror", "return",    "right",      "rollback",  "save",     "select",
      "set",      "table",     "then",      "top",        "tran",      "transaction", "truncate",
      "union",    "update",    "use",       "values",     "when",      "where",    "while",
      "with",     "option",    "for",       "cursor",     "open",      "close",    "fetch",
      "deallocate", "kill",    "backup",    "restore",    "grant",     "revoke",   "deny",
      "waitfor",  "try",       "merge",     "except",     "intersect", "primary",  "key",
      "unique",   "identity",  "references", "check",     "constraint", "foreign", "collate",
      "escape",   "view",      "index"};
  return k;
}

class Parser {
 public:
  Parser(std::string_view sql) : sql_(sql), toks_(Tokenize(sql)) {}

  Batch ParseBatchBody() {
    Batch b;
    bool first = true;
    while (!AtEnd()) {
      if (AcceptOp(";")) continue;
      auto s = ParseStatement(first);
      first = false;
      if (s) b.statements.push_back(std::move(s));
    }
    return b;
  }

  TypeSpec ParseTypeOnly() {
    TypeSpec t = ParseType();
    if (!AtEnd()) throw Unexpected();
    return t;
  }

 private:
  // ---- token helpers ----
  const Token& Peek(size_t k = 0) const {
    size_t i = std::min(pos_ + k, toks_.size() - 1);
    return toks_[i];
  }
  const Token& Next() {
    const Token& t = toks_[pos_];
    if (pos_ + 1 < toks_.size()) ++pos_;
    return t;
  }
  bool AtEnd() const { return Peek().kind == TokenKind::kEnd; }
  bool IsKw(std::string_view kw, size_t k = 0) const {
    const Token& t = Peek(k);
    return t.kind == TokenKind::kIdent && t.text.size() == kw.size() && Lower(t.text) == kw;
  }
  bool AcceptKw(std::string_view kw) {
    if (!IsKw(kw)) return false;
    Next();
    return true;
  }
  void ExpectKw(std::string_view kw) {
    if (!AcceptKw(kw)) throw Unexpected();
  }
  bool IsOp(std::string_view op, size_t k = 0) const {
    const Token& t = Peek(k);
    return t.kind == TokenKind::kOp && t.text == op;
  }
  bool AcceptOp(std::string_view op) {
    if (!IsOp(op)) return false;
    Next();
    return true;
  }
  void ExpectOp(std::string_view op) {
    if (!AcceptOp(op)) throw Unexpected();
  }
  // Bounds the recursion of nested expressions and statements, so that
  // hostile or generated text fails with SQL Server's error 191 instead of
  // overflowing the stack.
  static constexpr int kMaxDepth = 128;
  struct DepthGuard {
    explicit DepthGuard(Parser& p) : parser(p) {
      if (++parser.depth_ > kMaxDepth) {
        --parser.depth_;
        throw SyntaxError(191, parser.Peek().line,
                          "Some part of your SQL statement is nested too deeply. Rewrite the "
                          "query or break it up into smaller queries.");
      }
    }
    ~DepthGuard() { --parser.depth_; }
    Parser& parser;
  };

  EngineError Unexpected() const {
    const Token& t = Peek();
    if (t.kind == TokenKind::kEnd) return IncorrectSyntaxNear(t.line, "");
    if (t.kind == TokenKind::kIdent && Reserved().count(Lower(t.text))) {
      return SyntaxError(156, t.line, "Incorrect syntax near the keyword '" + t.text + "'.");
    }
    std::string near = t.text;
    if (t.kind == TokenKind::kString || t.kind == TokenKind::kNString) near = t.text;
    return IncorrectSyntaxNear(t.line, near);
  }
  bool IsName(size_t k = 0) const {
    const Token& t = Peek(k);
    return t.kind == TokenKind::kQuotedIdent ||
           (t.kind == TokenKind::kIdent && !Reserved().count(Lower(t.text)));
  }
  // Any identifier, reserved words included (after a dot, as a column name).
  bool IsAnyName(size_t k = 0) const {
    const Token& t = Peek(k);
    return t.kind == TokenKind::kQuotedIdent || t.kind == TokenKind::kIdent;
  }
  std::string ParseName() {
    if (!IsName()) throw Unexpected();
    return Next().text;
  }
  // db.schema.object with empty parts allowed ("db..t").
  std::vector<std::string> ParseMultiName() {
    std::vector<std::string> parts;
    parts.push_back(ParseName());
    while (IsOp(".")) {
      Next();
      if (IsOp(".")) {
        parts.push_back("");
        continue;
      }
      if (!IsAnyName()) throw Unexpected();
      parts.push_back(Next().text);
    }
    if (parts.size() > 4) throw Unexpected();
    return parts;
  }

  // ---- statements ----
  bool StartsStatement() const {
    if (Peek().kind != TokenKind::kIdent) return false;
    static const std::set<std::string> k = {
        "select", "insert", "update", "delete",   "truncate", "declare", "set",    "if",
        "begin",  "while",  "break",  "continue", "return",   "raiserror", "print", "exec",
        "execute", "commit", "rollback", "save",  "create",   "alter",   "drop",   "use",
        "end",    "else",   "with",   "goto",     "waitfor",  "open",    "close",  "fetch",
        "deallocate", "kill", "backup", "restore", "grant",   "revoke",  "deny",   "merge"};
    return k.count(Lower(Peek().text)) > 0;
  }

  StmtPtr NewStmt(StmtKind kind, const Token& first) {
    auto s = std::make_unique<Statement>();
    s->kind = kind;
    s->line = first.line;
    s->begin = first.offset;
    return s;
  }
  StmtPtr Finish(StmtPtr s) {
    s->end = pos_ > 0 ? toks_[pos_ - 1].end : 0;
    return s;
  }

  StmtPtr ParseStatement(bool first_in_batch) {
    DepthGuard guard(*this);
    const Token& t = Peek();
    if (t.kind != TokenKind::kIdent && t.kind != TokenKind::kQuotedIdent) {
      if (IsOp("(")) {
        throw NotSupported("a statement that begins with a parenthesis");
      }
      throw Unexpected();
    }
    std::string kw = Lower(t.text);
    if (t.kind == TokenKind::kIdent) {
      if (kw == "select") {
        auto s = NewStmt(StmtKind::kSelect, t);
        s->select = ParseSelect();
        return Finish(std::move(s));
      }
      if (kw == "insert") return ParseInsert();
      if (kw == "update") return ParseUpdate();
      if (kw == "delete") return ParseDelete();
      if (kw == "truncate") {
        auto s = NewStmt(StmtKind::kTruncate, t);
        Next();
        ExpectKw("table");
        s->target = ParseMultiName();
        return Finish(std::move(s));
      }
      if (kw == "declare") return ParseDeclare();
      if (kw == "set") return ParseSet();
      if (kw == "if") return ParseIf();
      if (kw == "begin") return ParseBegin();
      if (kw == "while") {
        auto s = NewStmt(StmtKind::kWhile, t);
        Next();
        s->condition = ParseExpr();
        s->body.push_back(ParseStatementRequired());
        return Finish(std::move(s));
      }
      if (kw == "break" || kw == "continue") {
        auto s = NewStmt(kw == "break" ? StmtKind::kBreak : StmtKind::kContinue, t);
        Next();
        return Finish(std::move(s));
      }
      if (kw == "return") {
        auto s = NewStmt(StmtKind::kReturn, t);
        Next();
        if (StartsExpression()) s->args.push_back(ParseExpr());
        return Finish(std::move(s));
      }
      if (kw == "raiserror") return ParseRaiserror();
      if (kw == "print") {
        auto s = NewStmt(StmtKind::kPrint, t);
        Next();
        s->args.push_back(ParseExpr());
        return Finish(std::move(s));
      }
      if (kw == "exec" || kw == "execute") return ParseExec(true);
      if (kw == "commit" || kw == "rollback") {
        auto s = NewStmt(kw == "commit" ? StmtKind::kCommit : StmtKind::kRollback, t);
        Next();
        if (AcceptKw("tran") || AcceptKw("transaction") || AcceptKw("work")) {
          if (IsName() || Peek().kind == TokenKind::kVariable) s->tran_name = Next().text;
        }
        return Finish(std::move(s));
      }
      if (kw == "save") {
        auto s = NewStmt(StmtKind::kSaveTran, t);
        Next();
        if (!AcceptKw("tran")) ExpectKw("transaction");
        s->tran_name = ParseName();
        return Finish(std::move(s));
      }
      if (kw == "create" || kw == "alter") return ParseCreateOrAlter();
      if (kw == "drop") return ParseDrop();
      if (kw == "use") {
        auto s = NewStmt(StmtKind::kUse, t);
        Next();
        s->target.push_back(ParseName());
        return Finish(std::move(s));
      }
      if (kw == "kill" || kw == "backup" || kw == "restore") return ParseServerStatement(t);
      if (kw == "with") throw NotSupported("WITH (common table expressions)");
      if (kw == "end" || kw == "else") throw Unexpected();
      static const std::set<std::string> kUnsupported = {
          "goto", "waitfor", "open", "close", "fetch", "deallocate", "grant", "revoke",
          "deny", "merge", "kill", "backup", "restore"};
      if (kUnsupported.count(kw)) throw NotSupported(Upper(kw));
    }
    if (first_in_batch) {
      // A batch that begins with a name executes that procedure.
      return ParseExec(false);
    }
    throw Unexpected();
  }

  static std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
  }

  // Server-level statements (databases, logins, KILL, BACKUP, RESTORE) are
  // read by the server level itself: the statement is its text, up to the
  // next statement.
  StmtPtr ParseServerStatement(const Token& first) {
    auto s = NewStmt(StmtKind::kServer, first);
    if (&Peek() == &first) Next();
    int depth = 0;
    while (!AtEnd()) {
      if (depth == 0 && IsOp(";")) break;
      if (depth == 0 && StartsStatement() && !IsKw("with")) break;
      if (IsOp("(")) ++depth;
      if (IsOp(")") && depth > 0) --depth;
      Next();
    }
    s->body_text = std::string(sql_.substr(first.offset, toks_[pos_ - 1].end - first.offset));
    return Finish(std::move(s));
  }

  StmtPtr ParseStatementRequired() {
    while (AcceptOp(";")) {
    }
    if (AtEnd()) throw Unexpected();
    return ParseStatement(false);
  }

  bool StartsExpression() const {
    const Token& t = Peek();
    switch (t.kind) {
      case TokenKind::kEnd:
        return false;
      case TokenKind::kOp:
        return t.text == "(" || t.text == "-" || t.text == "+" || t.text == "~";
      case TokenKind::kIdent: {
        std::string k = Lower(t.text);
        if (k == "null" || k == "case" || k == "not" || k == "exists") return true;
        if (StartsStatement()) return false;
        return !Reserved().count(k) || IsOp("(", 1);
      }
      default:
        return true;
    }
  }

  StmtPtr ParseInsert() {
    auto s = NewStmt(StmtKind::kInsert, Peek());
    Next();
    if (IsKw("top")) throw NotSupported("INSERT TOP");
    AcceptKw("into");
    s->target = ParseMultiName();
    if (IsOp("(") && !IsKw("select", 1)) {
      Next();
      do {
        s->columns.push_back(ParseAnyName());
      } while (AcceptOp(","));
      ExpectOp(")");
    }
    if (AcceptKw("values")) {
      do {
        ExpectOp("(");
        std::vector<ExprPtr> row;
        do {
          if (IsKw("default")) {
            Next();
            auto e = std::make_unique<Expr>();
            e->kind = ExprKind::kFunction;
            e->text = "$default";
            row.push_back(std::move(e));
          } else {
            row.push_back(ParseExpr());
          }
        } while (AcceptOp(","));
        ExpectOp(")");
        s->values.push_back(std::move(row));
      } while (AcceptOp(","));
    } else if (IsKw("select") || (IsOp("(") && IsKw("select", 1))) {
      bool paren = AcceptOp("(");
      s->select = ParseSelect();
      if (paren) ExpectOp(")");
    } else if (AcceptKw("default")) {
      ExpectKw("values");
      s->default_values = true;
    } else if (IsKw("exec") || IsKw("execute")) {
      throw NotSupported("INSERT ... EXEC");
    } else {
      throw Unexpected();
    }
    return Finish(std::move(s));
  }

  std::string ParseAnyName() {
    if (!IsAnyName()) throw Unexpected();
    std::string n = Next().text;
    // "t.col" in an INSERT column list: the last part names the column.
    while (AcceptOp(".")) {
      if (!IsAnyName()) throw Unexpected();
      n = Next().text;
    }
    return n;
  }

  ExprPtr ParseTopClause() {
    if (AcceptOp("(")) {
      auto e = ParseExpr();
      ExpectOp(")");
      return e;
    }
    if (Peek().kind != TokenKind::kInteger && Peek().kind != TokenKind::kVariable) throw Unexpected();
    return ParsePrimary();
  }

  StmtPtr ParseUpdate() {
    auto s = NewStmt(StmtKind::kUpdate, Peek());
    Next();
    if (AcceptKw("top")) s->top = ParseTopClause();
    s->target = ParseMultiName();
    SkipTableHints();
    ExpectKw("set");
    do {
      SetAssign a;
      if (Peek().kind == TokenKind::kVariable) {
        a.column = Next().text;
      } else {
        a.column = ParseAnyName();
      }
      const Token& op = Peek();
      if (op.kind != TokenKind::kOp ||
          (op.text != "=" && op.text != "+=" && op.text != "-=" && op.text != "*=" &&
           op.text != "/=" && op.text != "%=")) {
        throw Unexpected();
      }
      a.op = Next().text;
      if (a.column[0] == '@' && Peek(0).kind != TokenKind::kVariable && IsAnyName() &&
          IsOp("=", 1)) {
        throw NotSupported("SET @variable = column = expression");
      }
      a.value = ParseExpr();
      s->sets.push_back(std::move(a));
    } while (AcceptOp(","));
    if (AcceptKw("from")) ParseFromList(&s->from);
    if (AcceptKw("where")) {
      if (IsKw("current")) throw NotSupported("WHERE CURRENT OF");
      s->where = ParseExpr();
    }
    if (IsKw("option")) throw NotSupported("OPTION");
    return Finish(std::move(s));
  }

  StmtPtr ParseDelete() {
    auto s = NewStmt(StmtKind::kDelete, Peek());
    Next();
    if (AcceptKw("top")) s->top = ParseTopClause();
    AcceptKw("from");
    s->target = ParseMultiName();
    SkipTableHints();
    if (AcceptKw("from")) ParseFromList(&s->from);
    if (AcceptKw("where")) s->where = ParseExpr();
    return Finish(std::move(s));
  }

  StmtPtr ParseDeclare() {
    auto s = NewStmt(StmtKind::kDeclare, Peek());
    Next();
    do {
      Declaration d;
      if (Peek().kind != TokenKind::kVariable) {
        if (IsName() && IsKw("cursor", 1)) throw NotSupported("DECLARE CURSOR");
        throw Unexpected();
      }
      d.name = Next().text;
      AcceptKw("as");
      if (IsKw("table")) throw NotSupported("table variables");
      if (IsKw("cursor")) throw NotSupported("DECLARE CURSOR");
      d.type = ParseType();
      if (AcceptOp("=")) d.init = ParseExpr();
      s->declarations.push_back(std::move(d));
    } while (AcceptOp(","));
    return Finish(std::move(s));
  }

  StmtPtr ParseSet() {
    auto s = NewStmt(StmtKind::kSetOption, Peek());
    Next();
    if (Peek().kind == TokenKind::kVariable) {
      s->kind = StmtKind::kSetVar;
      s->variable = Next().text;
      const Token& op = Peek();
      if (op.kind != TokenKind::kOp || (op.text != "=" && op.text.size() != 2) ||
          op.text.back() != '=') {
        throw Unexpected();
      }
      s->assign_op = Next().text;
      s->value = ParseExpr();
      return Finish(std::move(s));
    }
    if (!IsAnyName()) throw Unexpected();
    std::string opt = Lower(Next().text);
    if (opt == "transaction") {
      ExpectKw("isolation");
      ExpectKw("level");
      std::string level;
      while (Peek().kind == TokenKind::kIdent && !StartsStatement()) {
        level += (level.empty() ? "" : " ") + Lower(Next().text);
      }
      s->option = "transaction isolation level";
      s->option_value = level;
      return Finish(std::move(s));
    }
    if (opt == "identity_insert") {
      s->option = opt;
      s->target = ParseMultiName();
      s->option_value = Lower(Next().text);
      if (s->option_value != "on" && s->option_value != "off") throw Unexpected();
      return Finish(std::move(s));
    }
    static const std::set<std::string> kValued = {"textsize", "dateformat", "rowcount",
                                                  "language", "lock_timeout", "datefirst",
                                                  "deadlock_priority", "query_governor_cost_limit"};
    if (kValued.count(opt)) {
      s->option = opt;
      const Token& v = Peek();
      if (v.kind == TokenKind::kVariable) {
        s->option_expr = ParsePrimary();
      } else {
        if (v.kind == TokenKind::kOp && v.text == "-") {
          Next();
          s->option_value = "-" + Next().text;
        } else {
          s->option_value = Lower(Next().text);
        }
      }
      return Finish(std::move(s));
    }
    // On/off options, possibly several at once: SET ANSI_NULLS, QUOTED_IDENTIFIER ON
    std::vector<std::string> names = {opt};
    while (AcceptOp(",")) {
      if (!IsAnyName()) throw Unexpected();
      names.push_back(Lower(Next().text));
    }
    std::string value = IsAnyName() ? Lower(Next().text) : "";
    if (value != "on" && value != "off") throw Unexpected();
    s->option = names[0];
    s->option_value = value;
    for (size_t i = 1; i < names.size(); ++i) s->with_options.push_back(names[i]);
    return Finish(std::move(s));
  }

  StmtPtr ParseIf() {
    auto s = NewStmt(StmtKind::kIf, Peek());
    Next();
    s->condition = ParseExpr();
    s->body.push_back(ParseStatementRequired());
    while (AcceptOp(";")) {
    }
    if (AcceptKw("else")) {
      s->has_else = true;
      s->else_body.push_back(ParseStatementRequired());
    }
    return Finish(std::move(s));
  }

  std::vector<StmtPtr> ParseUntilEnd() {
    std::vector<StmtPtr> body;
    while (true) {
      if (AcceptOp(";")) continue;
      if (IsKw("end")) break;
      if (AtEnd()) throw Unexpected();
      body.push_back(ParseStatement(false));
    }
    ExpectKw("end");
    return body;
  }

  StmtPtr ParseBegin() {
    const Token& first = Peek();
    Next();
    if (IsKw("tran") || IsKw("transaction")) {
      auto s = NewStmt(StmtKind::kBeginTran, first);
      Next();
      if (IsName() || Peek().kind == TokenKind::kVariable) s->tran_name = Next().text;
      if (AcceptKw("with")) {
        ExpectKw("mark");
        if (Peek().kind == TokenKind::kString || Peek().kind == TokenKind::kNString) Next();
      }
      return Finish(std::move(s));
    }
    if (IsKw("distributed")) throw NotSupported("BEGIN DISTRIBUTED TRANSACTION");
    if (IsKw("try")) {
      Next();
      auto s = NewStmt(StmtKind::kTry, first);
      s->body = ParseUntilEnd();
      ExpectKw("try");
      ExpectKw("begin");
      ExpectKw("catch");
      s->else_body = ParseUntilEnd();
      ExpectKw("catch");
      return Finish(std::move(s));
    }
    auto s = NewStmt(StmtKind::kBlock, first);
    s->body = ParseUntilEnd();
    return Finish(std::move(s));
  }

  StmtPtr ParseRaiserror() {
    auto s = NewStmt(StmtKind::kRaiserror, Peek());
    Next();
    if (!AcceptOp("(")) throw NotSupported("RAISERROR without parentheses");
    do {
      s->args.push_back(ParseExpr());
    } while (AcceptOp(","));
    ExpectOp(")");
    if (AcceptKw("with")) {
      do {
        if (!IsAnyName()) throw Unexpected();
        s->with_options.push_back(Lower(Next().text));
      } while (AcceptOp(","));
    }
    if (s->args.size() < 3) throw Unexpected();
    return Finish(std::move(s));
  }

  StmtPtr ParseExec(bool keyword) {
    auto s = NewStmt(StmtKind::kExec, Peek());
    if (keyword) Next();
    if (IsOp("(")) {
      Next();
      s->kind = StmtKind::kExecString;
      s->value = ParseExpr();
      ExpectOp(")");
      if (IsKw("at")) throw NotSupported("EXEC ... AT");
      return Finish(std::move(s));
    }
    if (Peek().kind == TokenKind::kVariable && IsOp("=", 1)) {
      s->return_var = Next().text;
      Next();
    }
    if (Peek().kind == TokenKind::kVariable) {
      s->proc_var = ParsePrimary();
    } else {
      s->proc = ParseMultiName();
      if (IsOp(";") && Peek(1).kind == TokenKind::kInteger) {
        Next();
        s->proc.back() += ";" + Next().text;
      }
    }
    // Arguments run to the end of the statement.
    if (!AtEnd() && !StartsStatement() && !IsOp(";")) {
      do {
        ExecArg a;
        if (Peek().kind == TokenKind::kVariable && IsOp("=", 1)) {
          a.name = Next().text;
          Next();
        }
        if (IsKw("default")) {
          Next();
          a.is_default = true;
        } else if (Peek().kind == TokenKind::kIdent && !IsOp("(", 1) &&
                   !Reserved().count(Lower(Peek().text))) {
          // A bare word is a character string: EXEC p abc
          auto e = std::make_unique<Expr>();
          e->kind = ExprKind::kString;
          e->line = Peek().line;
          e->text = Next().text;
          a.value = std::move(e);
        } else {
          a.value = ParseExpr();
        }
        if (AcceptKw("output") || AcceptKw("out")) a.output = true;
        s->exec_args.push_back(std::move(a));
      } while (AcceptOp(","));
    }
    if (AcceptKw("with")) {
      if (AcceptKw("recompile")) {
      } else {
        throw NotSupported("EXEC ... WITH");
      }
    }
    return Finish(std::move(s));
  }

  StmtPtr ParseCreateOrAlter() {
    const Token& first = Peek();
    bool is_alter = Lower(Next().text) == "alter";
    if (IsKw("database") || IsKw("login")) return ParseServerStatement(first);
    if (IsKw("table")) {
      Next();
      if (is_alter) return ParseAlterTable(first);
      auto s = NewStmt(StmtKind::kCreateTable, first);
      s->target = ParseMultiName();
      ExpectOp("(");
      do {
        if (IsKw("constraint") || IsKw("primary") || IsKw("unique")) {
          s->constraints.push_back(ParseTableConstraint());
        } else if (IsKw("foreign") || IsKw("check")) {
          throw NotSupported(Upper(Lower(Peek().text)) + " constraints");
        } else {
          s->column_defs.push_back(ParseColumnDef());
        }
      } while (AcceptOp(","));
      ExpectOp(")");
      SkipFilegroup();
      return Finish(std::move(s));
    }
    if (IsKw("proc") || IsKw("procedure")) {
      Next();
      auto s = NewStmt(StmtKind::kCreateProc, first);
      s->is_alter = is_alter;
      s->target = ParseMultiName();
      s->name_text = s->target.back();
      if (IsOp(";") && Peek(1).kind == TokenKind::kInteger) {
        Next();
        s->group_number = static_cast<int>(IntegerTokenValue(Next().text, 32767));
      }
      bool paren = AcceptOp("(");
      if (Peek().kind == TokenKind::kVariable) {
        do {
          ProcParam p;
          if (Peek().kind != TokenKind::kVariable) throw Unexpected();
          p.name = Next().text;
          AcceptKw("as");
          p.type = ParseType();
          AcceptKw("varying");
          if (AcceptOp("=")) p.default_value = ParseExpr();
          while (true) {
            if (AcceptKw("output") || AcceptKw("out")) {
              p.output = true;
            } else if (AcceptKw("readonly")) {
            } else {
              break;
            }
          }
          s->params.push_back(std::move(p));
        } while (AcceptOp(","));
      }
      if (paren) ExpectOp(")");
      if (AcceptKw("with")) {
        do {
          if (AcceptKw("recompile") || AcceptKw("encryption")) continue;
          if (AcceptKw("execute")) {
            ExpectKw("as");
            Next();
            continue;
          }
          throw Unexpected();
        } while (AcceptOp(","));
      }
      if (AcceptKw("for")) ExpectKw("replication");
      ExpectKw("as");
      while (!AtEnd()) {
        if (AcceptOp(";")) continue;
        s->body.push_back(ParseStatement(false));
      }
      s->body_text = std::string(sql_.substr(first.offset));
      return Finish(std::move(s));
    }
    if (IsKw("view")) {
      Next();
      auto s = NewStmt(StmtKind::kCreateView, first);
      s->is_alter = is_alter;
      s->target = ParseMultiName();
      if (AcceptOp("(")) {
        do {
          s->columns.push_back(ParseAnyName());
        } while (AcceptOp(","));
        ExpectOp(")");
      }
      if (AcceptKw("with")) {
        Next();
      }
      ExpectKw("as");
      s->select = ParseSelect();
      s->body_text = std::string(sql_.substr(first.offset, toks_[pos_ - 1].end - first.offset));
      return Finish(std::move(s));
    }
    if (!is_alter && (IsKw("unique") || IsKw("index") || IsKw("clustered") ||
                      IsKw("nonclustered"))) {
      auto s = NewStmt(StmtKind::kCreateIndex, first);
      if (AcceptKw("unique")) s->unique = true;
      if (!AcceptKw("clustered")) AcceptKw("nonclustered");
      ExpectKw("index");
      s->index_name = ParseName();
      ExpectKw("on");
      s->target = ParseMultiName();
      ExpectOp("(");
      do {
        s->columns.push_back(ParseAnyName());
        if (!AcceptKw("asc")) AcceptKw("desc");
      } while (AcceptOp(","));
      ExpectOp(")");
      if (IsKw("include")) throw NotSupported("CREATE INDEX ... INCLUDE");
      if (AcceptKw("with")) SkipParenthesised();
      SkipFilegroup();
      return Finish(std::move(s));
    }
    if (IsKw("database")) throw NotSupported(std::string(is_alter ? "ALTER" : "CREATE") + " DATABASE");
    if (IsKw("function")) throw NotSupported("user-defined functions");
    if (IsKw("trigger")) throw NotSupported("triggers");
    throw Unexpected();
  }

  void SkipParenthesised() {
    ExpectOp("(");
    int depth = 1;
    while (depth > 0 && !AtEnd()) {
      if (IsOp("(")) ++depth;
      if (IsOp(")")) --depth;
      Next();
    }
  }

  void SkipFilegroup() {
    if (IsKw("on") && (IsAnyName(1))) {
      Next();
      Next();
    }
    if (IsKw("textimage_on")) {
      Next();
      Next();
    }
  }

  void SkipTableHints() {
    if (IsKw("with") && IsOp("(", 1)) {
      Next();
      SkipParenthesised();
    }
  }

  StmtPtr ParseAlterTable(const Token& first) {
    auto s = NewStmt(StmtKind::kAlterTableAdd, first);
    s->target = ParseMultiName();
    if (AcceptKw("add")) {
      if (IsKw("constraint") || IsKw("primary") || IsKw("unique") || IsKw("foreign") ||
          IsKw("check") || IsKw("default")) {
        throw NotSupported("ALTER TABLE ... ADD CONSTRAINT");
      }
      do {
        s->column_defs.push_back(ParseColumnDef());
      } while (AcceptOp(","));
      return Finish(std::move(s));
    }
    if (AcceptKw("drop")) {
      s->kind = StmtKind::kAlterTableDrop;
      if (!AcceptKw("column")) throw NotSupported("ALTER TABLE ... DROP CONSTRAINT");
      do {
        AcceptKw("column");
        s->drop_columns.push_back(ParseAnyName());
      } while (AcceptOp(","));
      return Finish(std::move(s));
    }
    if (IsKw("alter")) throw NotSupported("ALTER TABLE ... ALTER COLUMN");
    throw Unexpected();
  }

  ColumnDef ParseColumnDef() {
    ColumnDef c;
    c.name = ParseAnyNameNoDots();
    if (IsKw("as")) throw NotSupported("computed columns");
    c.type = ParseType();
    while (true) {
      if (AcceptKw("collate")) {
        Next();
      } else if (AcceptKw("identity")) {
        c.identity = true;
        if (AcceptOp("(")) {
          c.seed = ParseSignedInteger();
          ExpectOp(",");
          c.increment = ParseSignedInteger();
          ExpectOp(")");
        }
      } else if (IsKw("not") && IsKw("null", 1)) {
        Next();
        Next();
        c.not_null = true;
        c.null_given = true;
      } else if (AcceptKw("null")) {
        c.null_given = true;
      } else if (AcceptKw("constraint")) {
        ParseName();
      } else if (AcceptKw("default")) {
        c.default_value = ParseExpr();
      } else if (AcceptKw("primary")) {
        ExpectKw("key");
        if (!AcceptKw("clustered")) AcceptKw("nonclustered");
        c.primary_key = true;
      } else if (AcceptKw("unique")) {
        if (!AcceptKw("clustered")) AcceptKw("nonclustered");
        c.unique = true;
      } else if (AcceptKw("rowguidcol")) {
      } else if (IsKw("references") || IsKw("foreign") || IsKw("check")) {
        throw NotSupported(Upper(Lower(Peek().text)) + " constraints");
      } else {
        break;
      }
    }
    return c;
  }

  std::string ParseAnyNameNoDots() {
    if (!IsAnyName()) throw Unexpected();
    return Next().text;
  }

  int64_t ParseSignedInteger() {
    bool neg = AcceptOp("-");
    if (!neg) AcceptOp("+");
    if (Peek().kind != TokenKind::kInteger) throw Unexpected();
    int64_t v = IntegerTokenValue(Next().text, INT64_MAX);
    return neg ? -v : v;
  }

  TableConstraint ParseTableConstraint() {
    TableConstraint c;
    if (AcceptKw("constraint")) c.name = ParseName();
    if (AcceptKw("primary")) {
      ExpectKw("key");
      c.primary_key = true;
    } else if (AcceptKw("unique")) {
    } else if (IsKw("foreign") || IsKw("check") || IsKw("default")) {
      throw NotSupported(Upper(Lower(Peek().text)) + " constraints");
    } else {
      throw Unexpected();
    }
    if (!AcceptKw("clustered")) AcceptKw("nonclustered");
    ExpectOp("(");
    do {
      c.columns.push_back(ParseAnyNameNoDots());
      if (!AcceptKw("asc")) AcceptKw("desc");
    } while (AcceptOp(","));
    ExpectOp(")");
    if (AcceptKw("with")) SkipParenthesised();
    SkipFilegroup();
    return c;
  }

  StmtPtr ParseDrop() {
    const Token& first = Peek();
    Next();
    StmtKind kind;
    if (AcceptKw("table")) {
      kind = StmtKind::kDropTable;
    } else if (AcceptKw("view")) {
      kind = StmtKind::kDropView;
    } else if (AcceptKw("proc") || AcceptKw("procedure")) {
      kind = StmtKind::kDropProc;
    } else if (AcceptKw("index")) {
      kind = StmtKind::kDropIndex;
    } else if (IsKw("database") || IsKw("login")) {
      return ParseServerStatement(first);
    } else {
      throw Unexpected();
    }
    auto s = NewStmt(kind, first);
    if (IsKw("if") && IsKw("exists", 1)) {
      Next();
      Next();
      s->if_exists = true;
    }
    do {
      auto name = ParseMultiName();
      if (kind == StmtKind::kDropIndex && AcceptKw("on")) {
        auto table = ParseMultiName();
        name.insert(name.begin(), table.back());
      }
      s->drop_targets.push_back(std::move(name));
    } while (AcceptOp(","));
    return Finish(std::move(s));
  }

  // ---- types ----
  TypeSpec ParseType() {
    if (!IsAnyName()) throw Unexpected();
    const Token& t = Next();
    TypeSpec spec;
    std::string name = Lower(t.text);
    if (IsAnyName(0) && name == "double" && IsKw("precision")) {
      Next();
      name = "float";
    }
    if ((name == "char" || name == "character" || name == "nchar" || name == "national") &&
        IsKw("varying")) {
      Next();
      name = name == "nchar" ? "nvarchar" : "varchar";
    }
    // dbo.typename
    if (IsOp(".")) {
      Next();
      name = Lower(Next().text);
    }
    spec.name = name;
    int a = -2, b = -2;
    if (AcceptOp("(")) {
      if (AcceptKw("max")) {
        a = -1;
      } else {
        if (Peek().kind != TokenKind::kInteger) throw Unexpected();
        a = static_cast<int>(IntegerTokenValue(Next().text));
      }
      if (AcceptOp(",")) {
        if (Peek().kind != TokenKind::kInteger) throw Unexpected();
        b = static_cast<int>(IntegerTokenValue(Next().text));
      }
      ExpectOp(")");
      spec.has_length = true;
    }
    spec.info = sql::ResolveTypeName(name, a, b, t.line);
    return spec;
  }

  // ---- SELECT ----
  std::shared_ptr<Select> ParseSelect() {
    auto sel = std::make_shared<Select>();
    sel->line = Peek().line;
    sel->first = ParseQuerySpec();
    while (IsKw("union")) {
      Next();
      Select::Union u;
      u.all = AcceptKw("all");
      if (AcceptOp("(")) {
        u.spec = ParseQuerySpec();
        ExpectOp(")");
      } else {
        u.spec = ParseQuerySpec();
      }
      sel->unions.push_back(std::move(u));
    }
    if (IsKw("except") || IsKw("intersect")) throw NotSupported(Upper(Lower(Peek().text)));
    if (AcceptKw("order")) {
      ExpectKw("by");
      do {
        OrderItem o;
        o.expr = ParseExpr();
        if (AcceptKw("desc")) {
          o.desc = true;
        } else {
          AcceptKw("asc");
        }
        sel->order_by.push_back(std::move(o));
      } while (AcceptOp(","));
    }
    if (IsKw("for")) throw NotSupported("SELECT ... FOR");
    if (IsKw("option")) throw NotSupported("OPTION");
    if (IsKw("compute")) throw NotSupported("COMPUTE");
    return sel;
  }

  QuerySpec ParseQuerySpec() {
    QuerySpec q;
    ExpectKw("select");
    if (AcceptKw("distinct")) {
      q.distinct = true;
    } else {
      AcceptKw("all");
    }
    if (AcceptKw("top")) {
      q.top = ParseTopClause();
      if (AcceptKw("percent")) q.top_percent = true;
      if (IsKw("with")) throw NotSupported("TOP ... WITH TIES");
    }
    do {
      q.items.push_back(ParseSelectItem());
    } while (AcceptOp(","));
    if (AcceptKw("into")) q.into = ParseMultiName();
    if (AcceptKw("from")) ParseFromList(&q.from);
    if (AcceptKw("where")) q.where = ParseExpr();
    if (AcceptKw("group")) {
      ExpectKw("by");
      if (IsKw("all")) throw NotSupported("GROUP BY ALL");
      do {
        q.group_by.push_back(ParseExpr());
      } while (AcceptOp(","));
      if (IsKw("with")) throw NotSupported("GROUP BY ... WITH");
    }
    if (AcceptKw("having")) q.having = ParseExpr();
    return q;
  }

  SelectItem ParseSelectItem() {
    SelectItem item;
    if (AcceptOp("*")) {
      item.star = true;
      return item;
    }
    // qualifier.*
    if (IsAnyName() && IsOp(".", 1)) {
      size_t k = 0;
      while (IsAnyName(k) && IsOp(".", k + 1)) k += 2;
      if (IsOp("*", k)) {
        std::string q;
        for (size_t i = 0; i < k; i += 2) q = Peek(i).text;
        for (size_t i = 0; i <= k; ++i) Next();
        item.star = true;
        item.star_qualifier = q;
        return item;
      }
    }
    const Token& t = Peek();
    if (t.kind == TokenKind::kVariable && Peek(1).kind == TokenKind::kOp &&
        Peek(1).text.back() == '=' && Peek(1).text != "<=" && Peek(1).text != ">=" &&
        Peek(1).text != "!=") {
      item.assign_var = Next().text;
      item.assign_op = Next().text;
      item.expr = ParseExpr();
      return item;
    }
    if ((t.kind == TokenKind::kIdent || t.kind == TokenKind::kQuotedIdent ||
         t.kind == TokenKind::kString) &&
        IsOp("=", 1) && !(t.kind == TokenKind::kIdent && Reserved().count(Lower(t.text)))) {
      item.alias = Next().text;
      Next();
      item.expr = ParseExpr();
      return item;
    }
    item.expr = ParseExpr();
    if (AcceptKw("as")) {
      const Token& a = Peek();
      if (a.kind != TokenKind::kIdent && a.kind != TokenKind::kQuotedIdent &&
          a.kind != TokenKind::kString) {
        throw Unexpected();
      }
      item.alias = Next().text;
    } else if (IsName() || Peek().kind == TokenKind::kString) {
      item.alias = Next().text;
    }
    return item;
  }

  void ParseFromList(std::vector<std::unique_ptr<TableRef>>* out) {
    do {
      out->push_back(ParseTableSource());
    } while (AcceptOp(","));
  }

  std::unique_ptr<TableRef> ParseTableSource() {
    auto left = ParseTablePrimary();
    while (true) {
      std::string jt;
      if (IsKw("join")) {
        jt = "inner";
      } else if (IsKw("inner") && IsKw("join", 1)) {
        Next();
        jt = "inner";
      } else if ((IsKw("left") || IsKw("right") || IsKw("full")) &&
                 (IsKw("join", 1) || IsKw("outer", 1))) {
        jt = Lower(Next().text);
        AcceptKw("outer");
      } else if (IsKw("cross") && IsKw("join", 1)) {
        Next();
        jt = "cross";
      } else if (IsKw("cross") || IsKw("outer")) {
        throw NotSupported("APPLY");
      } else {
        break;
      }
      ExpectKw("join");
      auto j = std::make_unique<TableRef>();
      j->kind = TableRef::Kind::kJoin;
      j->join_type = jt;
      j->line = Peek().line;
      j->left = std::move(left);
      j->right = ParseTablePrimary();
      if (jt != "cross") {
        ExpectKw("on");
        j->on = ParseExpr();
      }
      left = std::move(j);
    }
    return left;
  }

  std::unique_ptr<TableRef> ParseTablePrimary() {
    auto r = std::make_unique<TableRef>();
    r->line = Peek().line;
    if (AcceptOp("(")) {
      if (IsKw("select")) {
        r->kind = TableRef::Kind::kDerived;
        r->derived = ParseSelect();
        ExpectOp(")");
        AcceptKw("as");
        r->alias = ParseName();
        if (IsOp("(")) throw NotSupported("derived table column lists");
        return r;
      }
      auto inner = ParseTableSource();
      ExpectOp(")");
      return inner;
    }
    if (Peek().kind == TokenKind::kVariable) throw NotSupported("table variables");
    r->name = ParseMultiName();
    if (IsOp("(")) throw NotSupported("table-valued functions");
    if (AcceptKw("as")) {
      r->alias = ParseName();
    } else if (IsName() && !IsKw("with")) {
      r->alias = Next().text;
    }
    if (IsKw("with") && IsOp("(", 1)) {
      Next();
      SkipParenthesised();
    } else if (IsOp("(") && IsAnyName(1) && Lower(Peek(1).text) == "nolock") {
      SkipParenthesised();
    }
    return r;
  }

  // ---- expressions ----
  ExprPtr Make(ExprKind k, int line) {
    auto e = std::make_unique<Expr>();
    e->kind = k;
    e->line = line;
    return e;
  }

 public:
  ExprPtr ParseExpr() {
    DepthGuard guard(*this);
    return ParseOr();
  }

 private:
  ExprPtr ParseOr() {
    auto left = ParseAnd();
    while (IsKw("or")) {
      int line = Next().line;
      auto e = Make(ExprKind::kOr, line);
      e->args.push_back(std::move(left));
      e->args.push_back(ParseAnd());
      left = std::move(e);
    }
    return left;
  }

  ExprPtr ParseAnd() {
    auto left = ParseNot();
    while (IsKw("and")) {
      int line = Next().line;
      auto e = Make(ExprKind::kAnd, line);
      e->args.push_back(std::move(left));
      e->args.push_back(ParseNot());
      left = std::move(e);
    }
    return left;
  }

  ExprPtr ParseNot() {
    if (IsKw("not")) {
      int line = Next().line;
      auto e = Make(ExprKind::kNot, line);
      e->args.push_back(ParseNot());
      return e;
    }
    return ParsePredicate();
  }

  ExprPtr ParsePredicate() {
    if (IsKw("exists")) {
      int line = Next().line;
      ExpectOp("(");
      auto e = Make(ExprKind::kExists, line);
      e->select = ParseSelect();
      ExpectOp(")");
      return e;
    }
    auto left = ParseAdditive();
    const Token& t = Peek();
    if (t.kind == TokenKind::kOp) {
      static const std::set<std::string> kCmp = {"=", "<>", "!=", "<", "<=", ">", ">=", "!<", "!>"};
      if (kCmp.count(t.text)) {
        std::string op = Next().text;
        if (op == "!=") op = "<>";
        if (op == "!<") op = ">=";
        if (op == "!>") op = "<=";
        if (IsKw("all") || IsKw("any") || IsKw("some")) throw NotSupported("ALL/ANY/SOME");
        auto e = Make(ExprKind::kCompare, t.line);
        e->text = op;
        e->args.push_back(std::move(left));
        e->args.push_back(ParseAdditive());
        return e;
      }
      return left;
    }
    bool negated = false;
    if (IsKw("not") && (IsKw("like", 1) || IsKw("in", 1) || IsKw("between", 1))) {
      Next();
      negated = true;
    }
    if (IsKw("is")) {
      int line = Next().line;
      auto e = Make(ExprKind::kIsNull, line);
      e->negated = AcceptKw("not");
      ExpectKw("null");
      e->args.push_back(std::move(left));
      return e;
    }
    if (IsKw("like")) {
      int line = Next().line;
      auto e = Make(ExprKind::kLike, line);
      e->negated = negated;
      e->args.push_back(std::move(left));
      e->args.push_back(ParseAdditive());
      if (AcceptKw("escape")) e->args.push_back(ParseAdditive());
      return e;
    }
    if (IsKw("between")) {
      int line = Next().line;
      auto e = Make(ExprKind::kBetween, line);
      e->negated = negated;
      e->args.push_back(std::move(left));
      e->args.push_back(ParseAdditive());
      ExpectKw("and");
      e->args.push_back(ParseAdditive());
      return e;
    }
    if (IsKw("in")) {
      int line = Next().line;
      ExpectOp("(");
      if (IsKw("select")) {
        auto e = Make(ExprKind::kInSelect, line);
        e->negated = negated;
        e->args.push_back(std::move(left));
        e->select = ParseSelect();
        ExpectOp(")");
        return e;
      }
      auto e = Make(ExprKind::kInList, line);
      e->negated = negated;
      e->args.push_back(std::move(left));
      do {
        e->args.push_back(ParseExpr());
      } while (AcceptOp(","));
      ExpectOp(")");
      return e;
    }
    if (negated) throw Unexpected();
    return left;
  }

  ExprPtr ParseAdditive() {
    auto left = ParseMultiplicative();
    while (IsOp("+") || IsOp("-") || IsOp("&") || IsOp("|") || IsOp("^")) {
      const Token& t = Next();
      auto e = Make(ExprKind::kBinaryOp, t.line);
      e->text = t.text;
      e->args.push_back(std::move(left));
      e->args.push_back(ParseMultiplicative());
      left = std::move(e);
    }
    return left;
  }

  ExprPtr ParseMultiplicative() {
    auto left = ParseUnary();
    while (IsOp("*") || IsOp("/") || IsOp("%")) {
      const Token& t = Next();
      auto e = Make(ExprKind::kBinaryOp, t.line);
      e->text = t.text;
      e->args.push_back(std::move(left));
      e->args.push_back(ParseUnary());
      left = std::move(e);
    }
    return left;
  }

  ExprPtr ParseUnary() {
    if (IsOp("-") || IsOp("+") || IsOp("~")) {
      DepthGuard guard(*this);
      const Token& t = Next();
      auto operand = ParseUnary();
      // Fold a minus into a numeric literal so that -2147483648 stays an int.
      if (t.text == "-" && (operand->kind == ExprKind::kInteger ||
                            operand->kind == ExprKind::kDecimal ||
                            operand->kind == ExprKind::kFloat) &&
          operand->text[0] != '-') {
        operand->text = "-" + operand->text;
        return operand;
      }
      if (t.text == "+") return operand;
      auto e = Make(ExprKind::kUnary, t.line);
      e->text = t.text;
      e->args.push_back(std::move(operand));
      return e;
    }
    return ParsePrimary();
  }

 public:
  ExprPtr ParsePrimary() {
    const Token& t = Peek();
    switch (t.kind) {
      case TokenKind::kInteger: {
        auto e = Make(ExprKind::kInteger, t.line);
        e->text = Next().text;
        return e;
      }
      case TokenKind::kDecimal: {
        auto e = Make(ExprKind::kDecimal, t.line);
        e->text = Next().text;
        return e;
      }
      case TokenKind::kFloat: {
        auto e = Make(ExprKind::kFloat, t.line);
        e->text = Next().text;
        return e;
      }
      case TokenKind::kString: {
        auto e = Make(ExprKind::kString, t.line);
        e->text = Next().text;
        return e;
      }
      case TokenKind::kNString: {
        auto e = Make(ExprKind::kNString, t.line);
        e->text = Next().text;
        return e;
      }
      case TokenKind::kBinary: {
        auto e = Make(ExprKind::kBinary, t.line);
        e->text = Next().text;
        return e;
      }
      case TokenKind::kVariable: {
        auto e = Make(ExprKind::kVariable, t.line);
        e->text = Next().text;
        return e;
      }
      case TokenKind::kGlobal: {
        auto e = Make(ExprKind::kGlobal, t.line);
        e->text = Lower(Next().text);
        return e;
      }
      case TokenKind::kOp:
        if (t.text == "(") {
          Next();
          if (IsKw("select")) {
            auto e = Make(ExprKind::kSubquery, t.line);
            e->select = ParseSelect();
            ExpectOp(")");
            return e;
          }
          auto e = ParseExpr();
          ExpectOp(")");
          return e;
        }
        throw Unexpected();
      case TokenKind::kQuotedIdent:
        return ParseColumnRef();
      case TokenKind::kIdent:
        break;
      default:
        throw Unexpected();
    }
    std::string kw = Lower(t.text);
    if (kw == "null") {
      Next();
      return Make(ExprKind::kNull, t.line);
    }
    if (kw == "case") return ParseCase();
    if (kw == "cast" && IsOp("(", 1)) {
      Next();
      Next();
      auto e = Make(ExprKind::kCast, t.line);
      e->args.push_back(ParseExpr());
      ExpectKw("as");
      e->type = ParseType();
      ExpectOp(")");
      return e;
    }
    if (kw == "convert" && IsOp("(", 1)) {
      Next();
      Next();
      auto e = Make(ExprKind::kCast, t.line);
      e->is_convert = true;
      e->type = ParseType();
      ExpectOp(",");
      e->args.push_back(ParseExpr());
      if (AcceptOp(",")) e->args.push_back(ParseExpr());
      ExpectOp(")");
      return e;
    }
    if (kw == "current_timestamp") {
      Next();
      auto e = Make(ExprKind::kFunction, t.line);
      e->text = "getdate";
      return e;
    }
    if (IsOp("(", 1) && (!Reserved().count(kw) || kw == "left" || kw == "right")) {
      Next();
      Next();
      auto e = Make(ExprKind::kFunction, t.line);
      e->text = kw;
      if (AcceptOp(")")) return e;
      if (kw == "count" && AcceptOp("*")) {
        e->star = true;
        ExpectOp(")");
        return e;
      }
      if (AcceptKw("distinct")) {
        e->distinct = true;
      } else {
        AcceptKw("all");
      }
      bool datepart_first = kw == "dateadd" || kw == "datediff" || kw == "datepart" ||
                            kw == "datename" || kw == "datediff_big";
      if (datepart_first && IsAnyName()) {
        auto p = Make(ExprKind::kDatePart, Peek().line);
        p->text = Lower(Next().text);
        e->args.push_back(std::move(p));
        if (!AcceptOp(",")) throw Unexpected();
      }
      do {
        e->args.push_back(ParseExpr());
      } while (AcceptOp(","));
      ExpectOp(")");
      if (IsKw("over")) throw NotSupported("OVER (window functions)");
      return e;
    }
    if (Reserved().count(kw)) throw Unexpected();
    return ParseColumnRef();
  }

 private:
  ExprPtr ParseColumnRef() {
    int line = Peek().line;
    auto e = Make(ExprKind::kColumn, line);
    e->parts = ParseMultiName();
    return e;
  }

  ExprPtr ParseCase() {
    int line = Next().line;
    auto e = Make(ExprKind::kCase, line);
    if (!IsKw("when")) {
      e->args.push_back(ParseExpr());
    } else {
      e->args.push_back(nullptr);
    }
    if (!IsKw("when")) throw Unexpected();
    while (AcceptKw("when")) {
      e->args.push_back(ParseExpr());
      ExpectKw("then");
      e->args.push_back(ParseExpr());
    }
    if (AcceptKw("else")) {
      e->has_else = true;
      e->args.push_back(ParseExpr());
    }
    ExpectKw("end");
    return e;
  }

  std::string_view sql_;
  std::vector<Token> toks_;
  size_t pos_ = 0;
  int depth_ = 0;
};

}  // namespace

ast::Batch ParseBatch(std::string_view sql) {
  Parser p(sql);
  return p.ParseBatchBody();
}

ast::TypeSpec ParseTypeText(std::string_view text) {
  Parser p(text);
  return p.ParseTypeOnly();
}

}  // namespace tillbase::engine::parser

#include "engine/core/translator.h"

#include <algorithm>
#include <map>

#include "engine/core/lib.h"
#include "engine/core/sqlite_util.h"
#include "engine/errors.h"
#include "engine/parser/lexer.h"
#include "engine/sql/types.h"

namespace tillbase::engine::core {

using ast::Expr;
using ast::ExprKind;

namespace {

// A translated expression: SQLite SQL yielding the storage form of `type`.
struct TExpr {
  std::string sql;
  TypeInfo type;
  bool null_literal = false;
  bool nullable = true;
  bool aggregate = false;
  int literal_chars = -1;              // a text literal's length without trailing blanks
  int literal_digits = 0;              // an integer literal's digits
  const ColumnInfo* column = nullptr;  // a plain column reference
  std::string base_table{};
};

struct Source {
  std::string alias;      // what the query calls it (lower-case comparisons)
  std::string sql_alias;  // quoted name in the SQL
  std::string written;    // a table's name as the FROM clause gives it, when it has no alias
  std::shared_ptr<const TableInfo> table;  // base table or view
  std::vector<ColumnInfo> derived;         // a derived table's columns
  const std::vector<ColumnInfo>& Columns() const { return table ? table->columns : derived; }
};

struct Scope {
  std::vector<Source> sources;
  Scope* outer = nullptr;
  bool allow_aggregates = false;
};

bool IsChar(const TypeInfo& t) { return sql::IsCharType(t.type); }

std::string Code(const TypeInfo& t) { return std::to_string(sql::EncodeType(t)); }

bool SameStorageNoop(const TypeInfo& from, const TypeInfo& to) {
  sql::Storage a = sql::StorageOf(from.type), b = sql::StorageOf(to.type);
  if (a != b) return false;
  switch (a) {
    case sql::Storage::kInt:
      // Widening only; narrowing may overflow.
      return sql::Precedence(to.type) >= sql::Precedence(from.type);
    case sql::Storage::kScaled:
      return from.scale == to.scale && sql::PrecisionOf(to) >= sql::PrecisionOf(from);
    case sql::Storage::kReal:
      return true;
    case sql::Storage::kText:
      if (to.type == SqlType::kChar || to.type == SqlType::kNChar) return false;  // pads
      return to.length < 0 || (from.length >= 0 && to.length >= from.length) ||
             to.type == SqlType::kText || to.type == SqlType::kNText;
    case sql::Storage::kDate:
      return from.type == to.type;
    case sql::Storage::kGuid:
      return true;
    case sql::Storage::kBlob:
      return to.length < 0 || (from.length >= 0 && to.length >= from.length) ||
             to.type == SqlType::kImage;
  }
  return false;
}

// The database part of an object name written as text ("shop..t",
// "[shop].dbo.t"); empty when it has none or names a #table.
std::string DatabaseOfName(std::string_view text) {
  std::vector<std::string> parts(1);
  bool bracket = false;
  for (char c : text) {
    if (bracket) {
      if (c == ']') {
        bracket = false;
      } else {
        parts.back() += c;
      }
    } else if (c == '[') {
      bracket = true;
    } else if (c == '.') {
      parts.emplace_back();
    } else if (c != '"' && c != ' ') {
      parts.back() += c;
    }
  }
  if (parts.size() < 3 || parts.back().empty() || parts.back()[0] == '#') return {};
  return parts[parts.size() - 3];
}

std::string JoinParts(const std::vector<std::string>& parts) {
  std::string s;
  for (size_t i = 0; i < parts.size(); ++i) {
    if (i) s += '.';
    s += parts[i];
  }
  return s;
}

}  // namespace

struct Translator::Impl {
  TranslateEnv& env;
  Translation out;
  std::map<std::string, int> param_index;
  int alias_counter = 0;
  std::vector<std::string> spec_aliases;  // output names of the last query spec
  std::vector<std::string> last_aliases;  // output names of the last SELECT translated

  std::string view_schema;  // set while translating a view body

  explicit Impl(TranslateEnv& e) : env(e) {}

  // A table as the SQL names it.
  std::string TableSql(const TableInfo& t) const {
    if (view_schema.empty()) return t.SqlName();
    if (t.schema == "temp") {
      throw MakeError(4508, 16, 1,
                      "Views or functions are not allowed on temporary tables. Table names that "
                      "begin with '#' denote temporary tables.");
    }
    if (t.schema != view_schema) throw NotSupported("a view that reads another database");
    return QuoteIdent(t.name);
  }

  // ---- parameters ----
  std::string Param(const std::string& name, const TypeInfo& type) {
    std::string key = LowerName(name);
    auto it = param_index.find(key);
    if (it != param_index.end()) return "?" + std::to_string(it->second);
    out.params.push_back(key);
    out.param_types.push_back(type);
    int n = static_cast<int>(out.params.size());
    param_index[key] = n;
    return "?" + std::to_string(n);
  }

  // ---- conversions ----
  TExpr Convert(TExpr e, const TypeInfo& to, int style = 0) {
    if (e.null_literal) {
      e.type = to;
      return e;
    }
    if (style == 0 && SameStorageNoop(e.type, to)) {
      // Keep the declared length of the target for metadata.
      e.type = to;
      return e;
    }
    TExpr r;
    r.sql = "tsql_convert(" + e.sql + ", " + Code(e.type) + ", " + Code(to) + ", " +
            std::to_string(style) + ")";
    r.type = to;
    r.nullable = e.nullable;
    r.aggregate = e.aggregate;
    return r;
  }

  // A value written into a column: text and binary longer than the column
  // fail with 8152 instead of being cut.
  TExpr FitConvert(TExpr e, const ColumnInfo& c) {
    const TypeInfo& t = c.type;
    bool from_sized = sql::IsCharType(e.type.type) || e.type.type == SqlType::kBinary ||
                      e.type.type == SqlType::kVarBinary || e.type.type == SqlType::kImage;
    bool sized = (sql::IsCharType(t.type) && t.type != SqlType::kText &&
                  t.type != SqlType::kNText && t.type != SqlType::kSqlVariant) ||
                 t.type == SqlType::kBinary || t.type == SqlType::kVarBinary;
    if (!sized || !from_sized || t.length < 0 || e.null_literal) return Convert(e, t);
    int limit = sql::IsUnicode(t.type) ? t.length / 2 : t.length;
    bool bytes = t.type == SqlType::kBinary || t.type == SqlType::kVarBinary;
    // A text literal that fits needs no check when the statement runs.
    if (!bytes && e.literal_chars >= 0 && e.literal_chars <= limit) return Convert(e, t);
    e.sql = "tsql_fit(" + e.sql + ", " + std::to_string(limit) + ", " + (bytes ? "1" : "0") + ")";
    return Convert(e, t);
  }

  static TExpr Literal(std::string sql, TypeInfo type) {
    TExpr e;
    e.sql = std::move(sql);
    e.type = type;
    e.nullable = false;
    return e;
  }

  // ---- tables ----
  Source MakeSource(const ast::TableRef& ref) {
    Source s;
    if (ref.kind == ast::TableRef::Kind::kDerived) {
      throw NotSupported("derived table here");
    }
    s.table = env.Table(ref.name);
    if (!s.table) throw InvalidObject(JoinParts(ref.name));
    s.alias = ref.alias.empty() ? s.table->name : ref.alias;
    s.sql_alias = QuoteIdent(s.alias);
    if (ref.alias.empty()) s.written = JoinParts(ref.name);
    return s;
  }

  // A source joins the FROM clause; two of one clause may not answer to the
  // same name.
  static void AddSource(Scope& scope, Source s) {
    for (const Source& other : scope.sources) {
      if (LowerName(other.alias) != LowerName(s.alias)) continue;
      if (!s.written.empty() && !other.written.empty()) {
        throw MakeError(1013, 16, 1,
                        "The objects \"" + s.written + "\" and \"" + other.written +
                            "\" in the FROM clause have the same exposed names. Use correlation "
                            "names to distinguish them.");
      }
      throw MakeError(
          1011, 16, 1,
          "The correlation name '" + s.alias + "' is specified multiple times in a FROM clause.");
    }
    scope.sources.push_back(std::move(s));
  }

  // FROM items into SQL, adding their sources to the scope.
  std::string FromItem(const ast::TableRef& ref, Scope& scope) {
    switch (ref.kind) {
      case ast::TableRef::Kind::kTable: {
        Source s = MakeSource(ref);
        std::string sql = TableSql(*s.table) + " AS " + s.sql_alias;
        AddSource(scope, std::move(s));
        return sql;
      }
      case ast::TableRef::Kind::kDerived: {
        Impl sub(env);
        sub.view_schema = view_schema;
        sub.param_index = param_index;
        sub.out.params = out.params;
        sub.out.param_types = out.param_types;
        Scope inner;
        inner.outer = scope.outer;
        std::vector<Column> cols;
        std::string sql = sub.SelectSql(*ref.derived, inner.outer, &cols, nullptr, nullptr);
        param_index = sub.param_index;
        out.params = sub.out.params;
        out.param_types = sub.out.param_types;
        Source s;
        s.alias = ref.alias;
        s.sql_alias = QuoteIdent(ref.alias);
        for (size_t i = 0; i < cols.size(); ++i) {
          if (cols[i].name.empty()) {
            throw MakeError(8155, 16, 2,
                            "No column name was specified for column " + std::to_string(i + 1) +
                                " of '" + ref.alias + "'.");
          }
          ColumnInfo c;
          c.name = cols[i].name;
          c.type = cols[i].type;
          c.nullable = cols[i].nullable;
          s.derived.push_back(std::move(c));
        }
        AddSource(scope, std::move(s));
        return "(" + sql + ") AS " + QuoteIdent(ref.alias);
      }
      case ast::TableRef::Kind::kJoin: {
        std::string left = FromItem(*ref.left, scope);
        std::string right = FromItem(*ref.right, scope);
        std::string jt = ref.join_type == "inner"   ? " JOIN "
                         : ref.join_type == "left"  ? " LEFT JOIN "
                         : ref.join_type == "right" ? " RIGHT JOIN "
                         : ref.join_type == "full"  ? " FULL JOIN "
                                                    : " CROSS JOIN ";
        std::string sql = left + jt + right;
        if (ref.on) sql += " ON " + Predicate(*ref.on, scope);
        return sql;
      }
    }
    return {};
  }

  // ---- column references ----
  TExpr ColumnRef(const Expr& e, Scope& scope) {
    const std::vector<std::string>& parts = e.parts;
    std::string column = parts.back();
    std::string qualifier = parts.size() >= 2 ? parts[parts.size() - 2] : "";
    for (Scope* s = &scope; s != nullptr; s = s->outer) {
      const Source* found = nullptr;
      const ColumnInfo* found_col = nullptr;
      for (const Source& src : s->sources) {
        // A table with an alias is known by its alias only.
        if (!qualifier.empty() && LowerName(src.alias) != LowerName(qualifier)) continue;
        for (const ColumnInfo& c : src.Columns()) {
          if (LowerName(c.name) == LowerName(column)) {
            if (found) {
              throw MakeError(209, 16, 1, "Ambiguous column name '" + column + "'.");
            }
            found = &src;
            found_col = &c;
            break;
          }
        }
      }
      if (found) {
        TExpr r;
        r.sql = found->sql_alias + "." + QuoteIdent(found_col->name);
        r.type = found_col->type;
        r.nullable = found_col->nullable;
        r.column = found_col;
        if (found->table && found->table->kind == 'U') r.base_table = found->table->name;
        return r;
      }
    }
    if (parts.size() >= 2) {
      bool known = false;
      for (Scope* s = &scope; s != nullptr && !known; s = s->outer) {
        for (const Source& src : s->sources) {
          if (LowerName(src.alias) == LowerName(qualifier)) known = true;
        }
      }
      if (!known) {
        throw MakeError(
            4104, 16, 1,
            "The multi-part identifier \"" + JoinParts(parts) + "\" could not be bound.");
      }
    }
    throw InvalidColumn(column);
  }

  // ---- expressions ----
  TExpr Expression(const Expr& e, Scope& scope) {
    switch (e.kind) {
      case ExprKind::kNull: {
        TExpr r = Literal("NULL", sql::IntType());
        r.null_literal = true;
        r.nullable = true;
        return r;
      }
      case ExprKind::kInteger: {
        // int, then bigint, then decimal(n,0)
        const std::string& t = e.text;
        bool neg = !t.empty() && t[0] == '-';
        std::string digits = neg ? t.substr(1) : t;
        while (digits.size() > 1 && digits[0] == '0') digits.erase(0, 1);
        if (digits.size() <= 18) {
          int64_t v = std::stoll(digits);
          if (neg) v = -v;
          TExpr r = Literal(std::to_string(v),
                            v >= INT32_MIN && v <= INT32_MAX ? sql::IntType() : sql::BigIntType());
          r.literal_digits = static_cast<int>(digits.size());
          return r;
        }
        if (digits.size() <= 19 && digits <= "9223372036854775807") {
          return Literal((neg ? "-" : "") + digits, sql::BigIntType());
        }
        throw NotSupported("an integer literal of more than 19 digits");
      }
      case ExprKind::kDecimal: {
        std::string t = e.text;
        bool neg = !t.empty() && t[0] == '-';
        if (neg) t = t.substr(1);
        size_t dot = t.find('.');
        std::string ip = t.substr(0, dot), fp = dot == std::string::npos ? "" : t.substr(dot + 1);
        while (ip.size() > 1 && ip[0] == '0') ip.erase(0, 1);
        std::string all = ip + fp;
        while (all.size() > 1 && all[0] == '0') all.erase(0, 1);
        if (all.empty()) all = "0";
        int scale = static_cast<int>(fp.size());
        int precision = std::max(static_cast<int>(ip == "0" ? 0 : ip.size()) + scale, 1);
        if (all.size() > 18) {
          // Beyond 64-bit scaled storage: keep it as float.
          return Literal(e.text, sql::FloatType());
        }
        return Literal((neg ? "-" : "") + all, sql::DecimalType(std::max(precision, scale), scale));
      }
      case ExprKind::kFloat: {
        std::string t = e.text;
        return Literal("CAST(" + QuoteText(t) + " AS REAL)", sql::FloatType());
      }
      case ExprKind::kString:
      case ExprKind::kNString: {
        int chars = 0, trimmed = 0;
        for (unsigned char c : e.text) {
          chars += (c & 0xC0) != 0x80;
          if (c != ' ' && (c & 0xC0) != 0x80) trimmed = chars;
        }
        TExpr r = Literal(QuoteText(e.text),
                          e.kind == ExprKind::kString
                              ? sql::VarCharType(std::max<int>(1, static_cast<int>(e.text.size())))
                              : sql::NVarCharType(std::max(1, chars)));
        r.literal_chars = trimmed;
        return r;
      }
      case ExprKind::kBinary: {
        std::string hex = e.text;
        if (hex.size() % 2) hex = "0" + hex;
        return Literal(
            "X'" + hex + "'",
            sql::MakeType(SqlType::kVarBinary, std::max<int>(1, static_cast<int>(hex.size() / 2))));
      }
      case ExprKind::kVariable:
      case ExprKind::kGlobal: {
        auto type = env.VariableType(e.text);
        if (!type) {
          if (e.kind == ExprKind::kGlobal) throw NotSupported(e.text);
          throw MustDeclare(e.text);
        }
        TExpr r;
        r.sql = Param(e.text, *type);
        r.type = *type;
        return r;
      }
      case ExprKind::kColumn:
        return ColumnRef(e, scope);
      case ExprKind::kStar:
        throw IncorrectSyntaxNear(e.line, "*");
      case ExprKind::kUnary: {
        TExpr a = Expression(*e.args[0], scope);
        TExpr r;
        r.aggregate = a.aggregate;
        if (e.text == "~") {
          r.sql = "(~" + a.sql + ")";
          r.type = a.type;
          return r;
        }
        if (IsChar(a.type)) a = Convert(a, sql::FloatType());
        r.sql = "tsql_neg(" + a.sql + ", " + Code(a.type) + ")";
        r.type = a.type;
        return r;
      }
      case ExprKind::kBinaryOp:
        return Binary(e, scope);
      case ExprKind::kCompare:
      case ExprKind::kAnd:
      case ExprKind::kOr:
      case ExprKind::kNot:
      case ExprKind::kIsNull:
      case ExprKind::kLike:
      case ExprKind::kBetween:
      case ExprKind::kInList:
      case ExprKind::kInSelect:
      case ExprKind::kExists: {
        TExpr r;
        r.sql = Predicate(e, scope);
        r.type = sql::BitType();
        return r;
      }
      case ExprKind::kSubquery: {
        std::vector<Column> cols;
        std::string sql = SubSelect(*e.select, scope, &cols);
        if (cols.size() != 1) {
          throw MakeError(116, 16, 1,
                          "Only one expression can be specified in the select list when the "
                          "subquery is not introduced with EXISTS.");
        }
        TExpr r;
        r.sql = "(" + sql + ")";
        r.type = cols[0].type;
        return r;
      }
      case ExprKind::kFunction:
        return Function(e, scope);
      case ExprKind::kCase:
        return Case(e, scope);
      case ExprKind::kCast: {
        TExpr a = Expression(*e.args[0], scope);
        int style = 0;
        if (e.args.size() > 1) {
          if (e.args[1]->kind != ExprKind::kInteger)
            throw NotSupported("a CONVERT style that is not a number");
          style = static_cast<int>(parser::IntegerTokenValue(e.args[1]->text));
        }
        TypeInfo to = e.type.info;
        // CAST(x AS varchar) without a length is varchar(30).
        if (!e.type.has_length && (to.type == SqlType::kVarChar || to.type == SqlType::kChar)) {
          to.length = 30;
        } else if (!e.type.has_length &&
                   (to.type == SqlType::kNVarChar || to.type == SqlType::kNChar)) {
          to.length = 60;
        }
        TExpr r = Convert(a, to, style);
        if (r.sql == a.sql && !a.null_literal && style == 0 && !SameStorageNoop(a.type, to)) {
          // unreachable: Convert always wraps when it changes storage
        }
        return r;
      }
      case ExprKind::kDatePart:
        return Literal(QuoteText(e.text), sql::VarCharType(static_cast<int>(e.text.size())));
    }
    throw NotSupported("this expression");
  }

  TExpr Binary(const Expr& e, Scope& scope) {
    TExpr a = Expression(*e.args[0], scope);
    TExpr b = Expression(*e.args[1], scope);
    const std::string& op = e.text;
    TExpr r;
    r.aggregate = a.aggregate || b.aggregate;
    if (op == "&" || op == "|" || op == "^") {
      TypeInfo t = sql::Precedence(a.type.type) >= sql::Precedence(b.type.type) ? a.type : b.type;
      a = Convert(a, t);
      b = Convert(b, t);
      if (op == "^") {
        r.sql = "((" + a.sql + " | " + b.sql + ") - (" + a.sql + " & " + b.sql + "))";
      } else {
        r.sql = "(" + a.sql + " " + op + " " + b.sql + ")";
      }
      r.type = t;
      return r;
    }
    sql::ArithOp aop = op == "+"   ? sql::ArithOp::kAdd
                       : op == "-" ? sql::ArithOp::kSub
                       : op == "*" ? sql::ArithOp::kMul
                       : op == "/" ? sql::ArithOp::kDiv
                                   : sql::ArithOp::kMod;
    if (a.null_literal && b.null_literal) {
      r.sql = "NULL";
      r.type = sql::IntType();
      r.null_literal = true;
      return r;
    }
    if (a.null_literal) a.type = b.type;
    if (b.null_literal) b.type = a.type;
    // An integer constant meeting a decimal counts with the digits it has,
    // as SQL Server types it: 2.0 / 3 is decimal(2,1) / decimal(1,0).
    auto as_decimal = [](TExpr& lit, const TExpr& other) {
      if (lit.literal_digits > 0 && other.type.type != SqlType::kMoney &&
          other.type.type != SqlType::kSmallMoney &&
          sql::StorageOf(other.type.type) == sql::Storage::kScaled) {
        lit.type = sql::DecimalType(lit.literal_digits, 0);
      }
    };
    as_decimal(a, b);
    as_decimal(b, a);
    r.type = lib::ArithType(aop, a.type, b.type);
    if (aop == sql::ArithOp::kAdd && IsChar(a.type) && IsChar(b.type)) {
      r.sql = "(" + a.sql + " || " + b.sql + ")";
      return r;
    }
    r.sql = std::string(lib::ArithName(aop)) + "(" + a.sql + ", " + Code(a.type) + ", " + b.sql +
            ", " + Code(b.type) + ")";
    return r;
  }

  // Both sides converted to the type they are compared in.
  void Comparable(TExpr& a, TExpr& b) {
    if (a.null_literal) a.type = b.type;
    if (b.null_literal) b.type = a.type;
    TypeInfo t = lib::CompareType(a.type, b.type);
    if (!(sql::StorageOf(a.type.type) == sql::StorageOf(t.type) &&
          (sql::StorageOf(t.type) != sql::Storage::kScaled || a.type.scale == t.scale) &&
          sql::StorageOf(t.type) != sql::Storage::kText)) {
      a = Convert(a, t);
    }
    if (!(sql::StorageOf(b.type.type) == sql::StorageOf(t.type) &&
          (sql::StorageOf(t.type) != sql::Storage::kScaled || b.type.scale == t.scale) &&
          sql::StorageOf(t.type) != sql::Storage::kText)) {
      b = Convert(b, t);
    }
    a.type = t;
    b.type = t;
  }

  static std::string Collate(const TExpr& e) {
    return IsChar(e.type) ? " COLLATE " + std::string(sql::kCollation) : "";
  }

  std::string Predicate(const Expr& e, Scope& scope) {
    switch (e.kind) {
      case ExprKind::kAnd:
        return "(" + Predicate(*e.args[0], scope) + " AND " + Predicate(*e.args[1], scope) + ")";
      case ExprKind::kOr:
        return "(" + Predicate(*e.args[0], scope) + " OR " + Predicate(*e.args[1], scope) + ")";
      case ExprKind::kNot:
        return "(NOT " + Predicate(*e.args[0], scope) + ")";
      case ExprKind::kCompare: {
        TExpr a = Expression(*e.args[0], scope);
        TExpr b = Expression(*e.args[1], scope);
        Comparable(a, b);
        std::string op = e.text == "<>" ? "<>" : e.text;
        return "(" + a.sql + " " + op + " " + b.sql + Collate(a) + ")";
      }
      case ExprKind::kIsNull: {
        TExpr a = Expression(*e.args[0], scope);
        return "(" + a.sql + (e.negated ? " IS NOT NULL)" : " IS NULL)");
      }
      case ExprKind::kLike: {
        TExpr a = Expression(*e.args[0], scope);
        TExpr p = Expression(*e.args[1], scope);
        if (!IsChar(a.type)) a = Convert(a, sql::VarCharType(8000));
        if (!IsChar(p.type)) p = Convert(p, sql::VarCharType(8000));
        std::string call = "tsql_like(" + a.sql + ", " + p.sql;
        if (e.args.size() > 2) call += ", " + Expression(*e.args[2], scope).sql;
        call += ")";
        return e.negated ? "(NOT " + call + ")" : call;
      }
      case ExprKind::kBetween: {
        TExpr a = Expression(*e.args[0], scope);
        TExpr lo = Expression(*e.args[1], scope);
        TExpr hi = Expression(*e.args[2], scope);
        TExpr a2 = a;
        Comparable(a, lo);
        Comparable(a2, hi);
        std::string s = "(" + a.sql + " >= " + lo.sql + Collate(a) + " AND " + a2.sql +
                        " <= " + hi.sql + Collate(a2) + ")";
        return e.negated ? "(NOT " + s + ")" : s;
      }
      case ExprKind::kInList: {
        TExpr a = Expression(*e.args[0], scope);
        std::vector<TExpr> items;
        std::vector<TypeInfo> types = {a.type};
        for (size_t i = 1; i < e.args.size(); ++i) {
          items.push_back(Expression(*e.args[i], scope));
          if (!items.back().null_literal) types.push_back(items.back().type);
        }
        TypeInfo t = a.type;
        for (const TypeInfo& x : types) t = lib::CompareType(t, x);
        a = ConvertForCompare(a, t);
        std::string s = "(" + a.sql + Collate(a) + (e.negated ? " NOT IN (" : " IN (");
        for (size_t i = 0; i < items.size(); ++i) {
          if (i) s += ", ";
          s += ConvertForCompare(items[i], t).sql;
        }
        return s + "))";
      }
      case ExprKind::kInSelect: {
        TExpr a = Expression(*e.args[0], scope);
        std::vector<Column> cols;
        std::string sub = SubSelect(*e.select, scope, &cols);
        if (cols.size() != 1) {
          throw MakeError(116, 16, 1,
                          "Only one expression can be specified in the select list when the "
                          "subquery is not introduced with EXISTS.");
        }
        TypeInfo t = lib::CompareType(a.type, cols[0].type);
        a = ConvertForCompare(a, t);
        if (!SameStorageNoop(cols[0].type, t) &&
            sql::StorageOf(cols[0].type.type) != sql::StorageOf(t.type)) {
          sub = "SELECT tsql_convert(" + last_aliases[0] + ", " + Code(cols[0].type) + ", " +
                Code(t) + ", 0) FROM (" + sub + ")";
        }
        return "(" + a.sql + Collate(a) + (e.negated ? " NOT IN (" : " IN (") + sub + "))";
      }
      case ExprKind::kExists: {
        std::vector<Column> cols;
        return "EXISTS (" + SubSelect(*e.select, scope, &cols) + ")";
      }
      default: {
        TExpr a = Expression(e, scope);
        if (a.type.type == SqlType::kBit) return "(" + a.sql + " <> 0)";
        throw MakeError(4145, 15, 1,
                        "An expression of non-boolean type specified in a context where a "
                        "condition is expected.");
      }
    }
  }

  TExpr ConvertForCompare(TExpr e, const TypeInfo& t) {
    if (e.null_literal) return e;
    if (sql::StorageOf(e.type.type) == sql::StorageOf(t.type) &&
        (sql::StorageOf(t.type) != sql::Storage::kScaled || e.type.scale == t.scale)) {
      return e;
    }
    return Convert(e, t);
  }

  TExpr Case(const Expr& e, Scope& scope) {
    // args[0] operand or null; then when/then pairs; else last.
    std::vector<TExpr> results;
    std::vector<std::string> conds;
    size_t n = e.args.size() - 1 - (e.has_else ? 1 : 0);
    std::optional<TExpr> operand;
    if (e.args[0]) operand = Expression(*e.args[0], scope);
    for (size_t i = 0; i < n / 2; ++i) {
      const Expr& w = *e.args[1 + 2 * i];
      if (operand) {
        TExpr a = *operand;
        TExpr b = Expression(w, scope);
        Comparable(a, b);
        conds.push_back("(" + a.sql + " = " + b.sql + Collate(a) + ")");
      } else {
        conds.push_back(Predicate(w, scope));
      }
      results.push_back(Expression(*e.args[2 + 2 * i], scope));
    }
    std::optional<TExpr> else_expr;
    if (e.has_else) else_expr = Expression(*e.args.back(), scope);
    std::vector<TypeInfo> types;
    for (const TExpr& r : results) {
      if (!r.null_literal) types.push_back(r.type);
    }
    if (else_expr && !else_expr->null_literal) types.push_back(else_expr->type);
    TypeInfo t = types.empty() ? sql::IntType() : lib::Common(types);
    TExpr r;
    r.type = t;
    r.sql = "CASE";
    for (size_t i = 0; i < results.size(); ++i) {
      r.aggregate |= results[i].aggregate;
      r.sql += " WHEN " + conds[i] + " THEN " + Convert(results[i], t).sql;
    }
    if (else_expr) r.sql += " ELSE " + Convert(*else_expr, t).sql;
    r.sql += " END";
    return r;
  }

  TExpr Function(const Expr& e, Scope& scope) {
    const std::string& name = e.text;  // lower case
    auto args = [&]() {
      std::vector<TExpr> v;
      for (const auto& a : e.args) v.push_back(Expression(*a, scope));
      return v;
    };
    auto arity = [&](size_t lo, size_t hi) {
      if (e.args.size() < lo || e.args.size() > hi) {
        throw MakeError(
            174, 15, 1,
            "The " + name + " function requires " + std::to_string(lo) + " argument(s).");
      }
    };
    if (name == "$default") throw NotSupported("DEFAULT in this place");
    if (name == "isnull") {
      arity(2, 2);
      auto v = args();
      TypeInfo t = v[0].null_literal ? v[1].type : v[0].type;
      TExpr r;
      r.sql = "IFNULL(" + v[0].sql + ", " + Convert(v[1], t).sql + ")";
      r.type = t;
      r.aggregate = v[0].aggregate || v[1].aggregate;
      return r;
    }
    if (name == "coalesce") {
      if (e.args.size() < 2) arity(2, 100);
      auto v = args();
      std::vector<TypeInfo> types;
      for (const TExpr& x : v) {
        if (!x.null_literal) types.push_back(x.type);
      }
      TypeInfo t = types.empty() ? sql::IntType() : lib::Common(types);
      TExpr r;
      r.type = t;
      r.sql = "COALESCE(";
      for (size_t i = 0; i < v.size(); ++i) {
        r.aggregate |= v[i].aggregate;
        r.sql += (i ? ", " : "") + Convert(v[i], t).sql;
      }
      r.sql += ")";
      return r;
    }
    if (name == "nullif") {
      arity(2, 2);
      auto v = args();
      TExpr a = v[0], b = v[1];
      TypeInfo t = a.type;
      Comparable(a, b);
      TExpr r;
      r.sql = "(CASE WHEN " + a.sql + " = " + b.sql + Collate(a) + " THEN NULL ELSE " + v[0].sql +
              " END)";
      r.type = t;
      return r;
    }
    if (name == "object_id") {
      arity(1, 2);
      if (!view_schema.empty()) throw NotSupported("OBJECT_ID in a view");
      TExpr a = Expression(*e.args[0], scope);
      if (!IsChar(a.type)) a = Convert(a, sql::NVarCharType(776));
      // A constant name with a database part ('shop..t') looks in that
      // database; any other name in the database of the statement.
      std::string schema = env.DatabaseSchema(e.args[0]->kind == ExprKind::kString ||
                                                      e.args[0]->kind == ExprKind::kNString
                                                  ? DatabaseOfName(e.args[0]->text)
                                                  : std::string());
      TExpr r;
      r.sql = "(SELECT COALESCE((SELECT id FROM temp.__tb_objects WHERE name = tsql_object_name(" +
              a.sql + ")), (SELECT id FROM " + schema +
              ".__tb_objects WHERE name = tsql_object_name(" + a.sql + "))))";
      r.type = sql::IntType();
      return r;
    }
    if (name == "db_name" && e.args.size() == 1) {
      TExpr r;
      r.sql = "tsql_db_name(" + Convert(Expression(*e.args[0], scope), sql::IntType()).sql + ")";
      r.type = sql::NVarCharType(128);
      return r;
    }
    if (name == "db_name") {
      arity(0, 1);
      return Variable("@@db_name");
    }
    if (name == "db_id" || name == "serverproperty") {
      // Answered by the server level's registry (server/functions.cpp).
      if (name == "db_id") arity(0, 1);
      if (name == "serverproperty") arity(1, 1);
      TExpr a = e.args.empty() ? Variable("@@db_name") : Expression(*e.args[0], scope);
      if (!IsChar(a.type)) a = Convert(a, sql::NVarCharType(128));
      TExpr r;
      r.sql = "tsql_" + name + "(" + a.sql + ")";
      r.type =
          name == "db_id" ? sql::MakeType(SqlType::kSmallInt, 2, 5, 0) : sql::NVarCharType(128);
      return r;
    }
    if (name == "scope_identity") {
      arity(0, 0);
      return Variable("@@scope_identity");
    }
    if (name == "objectproperty") {
      // The kind questions scripts ask before they drop or create an object.
      arity(2, 2);
      if (e.args[1]->kind != ExprKind::kString && e.args[1]->kind != ExprKind::kNString) {
        throw NotSupported("OBJECTPROPERTY with a property that is not a constant");
      }
      std::string prop = LowerName(e.args[1]->text);
      std::string test = prop == "isprocedure"     ? "type = 'P'"
                         : prop == "isusertable"   ? "type = 'U'"
                         : prop == "isview"        ? "type = 'V'"
                         : prop == "istable"       ? "type IN ('U', 'S')"
                         : prop == "issystemtable" ? "type = 'S'"
                                                   : "";
      if (test.empty()) throw NotSupported("OBJECTPROPERTY(..., '" + e.args[1]->text + "')");
      TExpr id = Convert(Expression(*e.args[0], scope), sql::IntType());
      TExpr r;
      if (!view_schema.empty()) throw NotSupported("OBJECTPROPERTY in a view");
      r.sql = "(SELECT CASE WHEN " + test +
              " THEN 1 ELSE 0 END FROM (SELECT id, type FROM "
              "temp.__tb_objects UNION ALL SELECT id, type FROM " +
              env.DatabaseSchema("") + ".__tb_objects) WHERE id = " + id.sql + ")";
      r.type = sql::IntType();
      return r;
    }
    if (name == "ident_current") throw NotSupported("IDENT_CURRENT");
    if (name == "error_message" || name == "error_number" || name == "error_severity" ||
        name == "error_state" || name == "error_line" || name == "error_procedure") {
      arity(0, 0);
      return Variable("@@" + name);
    }
    if (name == "host_name" || name == "app_name" || name == "suser_sname" || name == "user_name" ||
        name == "system_user" || name == "@@servername") {
      arity(0, 1);
      return Variable("@@" + name);
    }
    if (name == "count" && e.star) {
      TExpr r;
      r.sql = "count(*)";
      r.type = sql::IntType();
      r.aggregate = true;
      r.nullable = false;
      return r;
    }
    const sql::FunctionInfo* info = lib::Find(name);
    if (!info) {
      throw MakeError(195, 15, 10, "'" + name + "' is not a recognized built-in function name.");
    }
    if (static_cast<int>(e.args.size()) < info->min_args ||
        (info->max_args >= 0 && static_cast<int>(e.args.size()) > info->max_args)) {
      throw MakeError(
          174, 15, 1,
          "The " + name + " function requires " + std::to_string(info->min_args) + " argument(s).");
    }
    std::vector<TExpr> v;
    if (info->kind == sql::FunctionKind::kAggregate) {
      if (!scope.allow_aggregates && false) {
        throw MakeError(147, 15, 1, "An aggregate may not appear in the WHERE clause.");
      }
      v = args();
      std::vector<TypeInfo> types;
      for (const TExpr& x : v) types.push_back(x.type);
      TypeInfo rt = lib::Result(*info, types);
      std::string pat(info->sqlite_name);
      std::string sql;
      for (size_t i = 0; i < pat.size(); ++i) {
        if (pat[i] == '$' && i + 1 < pat.size()) {
          char k = pat[++i];
          if (k == 'D')
            sql += e.distinct ? "DISTINCT " : "";
          else if (k == '1')
            sql += v[0].sql + Collate(v[0]);
          else if (k == 'T')
            sql += Code(v[0].type);
          else if (k == 'R')
            sql += Code(rt);
          else
            sql += pat.substr(i - 1, 2);
        } else {
          sql += pat[i];
        }
      }
      TExpr r;
      r.sql = sql;
      r.type = rt;
      r.aggregate = true;
      return r;
    }
    std::vector<TypeInfo> types;
    std::string sql = std::string(info->sqlite_name) + "(";
    for (size_t i = 0; i < e.args.size(); ++i) {
      TExpr x = Expression(*e.args[i], scope);
      if (i) sql += ", ";
      sql += x.sql + ", " + Code(x.type);
      types.push_back(x.type);
      v.push_back(std::move(x));
    }
    sql += ")";
    TExpr r;
    r.sql = sql;
    r.type = lib::Result(*info, types);
    for (const TExpr& x : v) r.aggregate |= x.aggregate;
    return r;
  }

  // The value a variable takes from `var op= x`, in the variable's type.
  TExpr AssignValue(const std::string& var, const TypeInfo& type, const std::string& op, TExpr x) {
    if (op != "=") {
      TExpr cur;
      cur.sql = Param(var, type);
      cur.type = type;
      sql::ArithOp aop = op == "+="   ? sql::ArithOp::kAdd
                         : op == "-=" ? sql::ArithOp::kSub
                         : op == "*=" ? sql::ArithOp::kMul
                         : op == "/=" ? sql::ArithOp::kDiv
                                      : sql::ArithOp::kMod;
      TExpr r;
      r.type = lib::ArithType(aop, cur.type, x.type);
      if (aop == sql::ArithOp::kAdd && IsChar(cur.type) && IsChar(x.type)) {
        r.sql = "(" + cur.sql + " || " + x.sql + ")";
      } else {
        r.sql = std::string(lib::ArithName(aop)) + "(" + cur.sql + ", " + Code(cur.type) + ", " +
                x.sql + ", " + Code(x.type) + ")";
      }
      r.aggregate = x.aggregate;
      x = r;
    }
    return Convert(x, type);
  }

  TExpr Variable(const std::string& name) {
    auto type = env.VariableType(name);
    if (!type) throw NotSupported(name);
    TExpr r;
    r.sql = Param(name, *type);
    r.type = *type;
    return r;
  }

  // ---- SELECT ----
  std::string SubSelect(const ast::Select& s, Scope& scope, std::vector<Column>* cols) {
    return SelectSql(s, &scope, cols, nullptr, nullptr);
  }

  std::string Spec(const ast::QuerySpec& q, Scope* outer, std::vector<Column>* cols,
                   std::vector<std::string>* assign_vars, std::vector<std::string>* assign_ops,
                   const std::vector<ast::OrderItem>* order_by, std::string* order_sql) {
    Scope scope;
    scope.outer = outer;
    std::string from;
    for (size_t i = 0; i < q.from.size(); ++i) {
      if (i) from += ", ";
      from += FromItem(*q.from[i], scope);
    }
    std::string sql = "SELECT ";
    if (q.distinct) sql += "DISTINCT ";
    std::vector<std::string> items;
    std::vector<TExpr> item_exprs;
    bool any_assign = false, any_plain = false;
    for (const ast::SelectItem& item : q.items) {
      if (item.star) {
        any_plain = true;
        bool matched = false;
        for (const Source& src : scope.sources) {
          if (!item.star_qualifier.empty() &&
              LowerName(src.alias) != LowerName(item.star_qualifier)) {
            continue;
          }
          matched = true;
          for (const ColumnInfo& c : src.Columns()) {
            items.push_back(src.sql_alias + "." + QuoteIdent(c.name));
            Column col;
            col.name = c.name;
            col.type = c.type;
            col.nullable = c.nullable;
            col.identity = c.identity;
            col.key = c.key;
            if (src.table && src.table->kind == 'U') col.base_table = src.table->name;
            cols->push_back(col);
          }
        }
        if (!matched) {
          if (scope.sources.empty()) {
            throw MakeError(263, 16, 1, "Must specify table to select from.");
          }
          throw MakeError(
              4104, 16, 1,
              "The multi-part identifier \"" + item.star_qualifier + "\" could not be bound.");
        }
        continue;
      }
      scope.allow_aggregates = true;
      TExpr x = Expression(*item.expr, scope);
      Column col;
      if (!item.assign_var.empty()) {
        any_assign = true;
        auto vt = env.VariableType(item.assign_var);
        if (!vt) throw MustDeclare(item.assign_var);
        if (assign_vars == nullptr) {
          throw MakeError(141, 15, 1,
                          "A SELECT statement that assigns a value to a variable must not be "
                          "combined with data-retrieval operations.");
        }
        assign_vars->push_back(LowerName(item.assign_var));
        assign_ops->push_back("=");
        x = AssignValue(item.assign_var, *vt, item.assign_op, x);
      } else {
        any_plain = true;
      }
      col.name = item.alias;
      if (col.name.empty() && item.expr->kind == ExprKind::kColumn)
        col.name = item.expr->parts.back();
      col.type = x.type;
      col.nullable = x.nullable;
      if (x.column) {
        col.identity = x.column->identity;
        col.key = x.column->key;
        col.base_table = x.base_table;
      }
      cols->push_back(col);
      items.push_back(x.sql);
      item_exprs.push_back(x);
    }
    if (any_assign && any_plain) {
      throw MakeError(141, 15, 1,
                      "A SELECT statement that assigns a value to a variable must not be "
                      "combined with data-retrieval operations.");
    }
    // Output names: the column's own when it has a unique one, so that
    // derived tables and views are read by name; a made-up one otherwise.
    std::vector<std::string> aliases;
    for (size_t i = 0; i < items.size(); ++i) {
      const std::string& n = (*cols)[i].name;
      bool unique = !n.empty();
      for (size_t k = 0; k < i && unique; ++k) {
        if (LowerName((*cols)[k].name) == LowerName(n)) unique = false;
      }
      aliases.push_back(unique ? QuoteIdent(n) : "__c" + std::to_string(i));
      if (i) sql += ", ";
      sql += items[i] + " AS " + aliases.back();
    }
    spec_aliases = aliases;
    if (!from.empty()) sql += " FROM " + from;
    scope.allow_aggregates = false;
    if (q.where) sql += " WHERE " + Predicate(*q.where, scope);
    if (!q.group_by.empty()) {
      sql += " GROUP BY ";
      for (size_t i = 0; i < q.group_by.size(); ++i) {
        TExpr g = Expression(*q.group_by[i], scope);
        sql += (i ? ", " : "") + g.sql + Collate(g);
      }
    }
    scope.allow_aggregates = true;
    if (q.having) sql += " HAVING " + Predicate(*q.having, scope);
    if (order_by && order_sql) {
      // ORDER BY sees the select list's aliases and the FROM sources.
      std::string o;
      for (size_t i = 0; i < order_by->size(); ++i) {
        const ast::OrderItem& item = (*order_by)[i];
        std::string term;
        bool done = false;
        if (item.expr->kind == ExprKind::kInteger) {
          int n = static_cast<int>(parser::IntegerTokenValue(item.expr->text));
          if (n < 1 || n > static_cast<int>(cols->size())) {
            throw MakeError(108, 15, 1,
                            "The ORDER BY position number " + item.expr->text +
                                " is out of range of the number of items in the select list.");
          }
          term = aliases[static_cast<size_t>(n - 1)] + Collate(TExpr{"", (*cols)[n - 1].type});
          done = true;
        } else if (item.expr->kind == ExprKind::kColumn && item.expr->parts.size() == 1) {
          for (size_t k = 0; k < cols->size(); ++k) {
            if (!(*cols)[k].name.empty() &&
                LowerName((*cols)[k].name) == LowerName(item.expr->parts[0])) {
              term = aliases[k] + Collate(TExpr{"", (*cols)[k].type});
              done = true;
              break;
            }
          }
        }
        if (!done) {
          TExpr x = Expression(*item.expr, scope);
          term = x.sql + Collate(x);
        }
        o += (i ? ", " : "") + term + (item.desc ? " DESC" : "");
      }
      *order_sql = o;
    }
    if (q.top) {
      TExpr t = Expression(*q.top, scope);
      if (q.top_percent) throw NotSupported("TOP ... PERCENT");
      if (order_sql && !order_sql->empty()) sql += " ORDER BY " + *order_sql;
      if (order_sql) order_sql->clear();
      sql += " LIMIT " + Convert(t, sql::BigIntType()).sql;
    }
    return sql;
  }

  std::string SelectSql(const ast::Select& s, Scope* outer, std::vector<Column>* cols,
                        std::vector<std::string>* assign_vars,
                        std::vector<std::string>* assign_ops) {
    std::string order;
    bool has_unions = !s.unions.empty();
    std::string sql = Spec(s.first, outer, cols, assign_vars, assign_ops,
                           has_unions ? nullptr : &s.order_by, has_unions ? nullptr : &order);
    std::vector<std::string> first_aliases = spec_aliases;
    if (!s.first.into.empty()) throw NotSupported("SELECT ... INTO here");
    if (has_unions) {
      if (s.first.top) sql = "SELECT * FROM (" + sql + ")";
      for (const auto& u : s.unions) {
        std::vector<Column> ucols;
        std::string usql = Spec(u.spec, outer, &ucols, nullptr, nullptr, nullptr, nullptr);
        if (ucols.size() != cols->size()) {
          throw MakeError(205, 16, 1,
                          "All queries combined using a UNION, INTERSECT or EXCEPT operator must "
                          "have an equal number of expressions in their target lists.");
        }
        if (u.spec.top) usql = "SELECT * FROM (" + usql + ")";
        for (size_t i = 0; i < cols->size(); ++i) {
          TypeInfo t = lib::Common({(*cols)[i].type, ucols[i].type});
          (*cols)[i].type = t;
          (*cols)[i].nullable = (*cols)[i].nullable || ucols[i].nullable;
          (*cols)[i].base_table.clear();
        }
        sql += u.all ? " UNION ALL " : " UNION ";
        sql += usql;
      }
      if (!s.order_by.empty()) {
        std::string o;
        for (size_t i = 0; i < s.order_by.size(); ++i) {
          const ast::OrderItem& item = s.order_by[i];
          int k = -1;
          if (item.expr->kind == ExprKind::kInteger) {
            k = static_cast<int>(parser::IntegerTokenValue(item.expr->text)) - 1;
          } else if (item.expr->kind == ExprKind::kColumn) {
            for (size_t c = 0; c < cols->size(); ++c) {
              if (LowerName((*cols)[c].name) == LowerName(item.expr->parts.back())) {
                k = static_cast<int>(c);
                break;
              }
            }
          }
          if (k < 0 || k >= static_cast<int>(cols->size())) {
            throw MakeError(104, 16, 1,
                            "ORDER BY items must appear in the select list if the statement "
                            "contains a UNION, INTERSECT or EXCEPT operator.");
          }
          o += (i ? ", " : "") + std::to_string(k + 1) + (item.desc ? " DESC" : "");
        }
        sql += " ORDER BY " + o;
      }
    } else if (!order.empty()) {
      sql += " ORDER BY " + order;
    }
    last_aliases = first_aliases;
    return sql;
  }
};

Translator::Translator(TranslateEnv& env) : impl_(std::make_unique<Impl>(env)) {}
Translator::Translator(TranslateEnv& env, std::string view_schema)
    : impl_(std::make_unique<Impl>(env)) {
  impl_->view_schema = std::move(view_schema);
}
Translator::~Translator() = default;

Translation Translator::Query(const ast::Select& select) {
  Translation& out = impl_->out;
  out.sql = impl_->SelectSql(select, nullptr, &out.columns, &out.assign_vars, &out.assign_ops);
  out.is_query = true;
  return std::move(out);
}

Translation Translator::Scalar(const ast::Expr& e, const TypeInfo* target) {
  Scope scope;
  TExpr x = impl_->Expression(e, scope);
  if (target) x = impl_->Convert(x, *target);
  Translation& out = impl_->out;
  out.sql = "SELECT " + x.sql;
  Column c;
  c.type = x.type;
  out.columns.push_back(c);
  out.is_query = true;
  return std::move(out);
}

Translation Translator::Assignment(const std::string& var, const std::string& op,
                                   const ast::Expr& e) {
  auto type = impl_->env.VariableType(var);
  if (!type) throw MustDeclare(var);
  Scope scope;
  TExpr x = impl_->AssignValue(var, *type, op, impl_->Expression(e, scope));
  Translation& out = impl_->out;
  out.sql = "SELECT " + x.sql;
  Column c;
  c.type = *type;
  out.columns.push_back(c);
  out.is_query = true;
  return std::move(out);
}

Translation Translator::Condition(const ast::Expr& e) {
  Scope scope;
  Translation& out = impl_->out;
  out.sql = "SELECT CASE WHEN " + impl_->Predicate(e, scope) + " THEN 1 ELSE 0 END";
  Column c;
  c.type = sql::IntType();
  out.columns.push_back(c);
  out.is_query = true;
  return std::move(out);
}

std::string Translator::DefaultSql(const ast::Expr& e, const TypeInfo& type) {
  Scope scope;
  TExpr x = impl_->Convert(impl_->Expression(e, scope), type);
  if (!impl_->out.params.empty()) {
    throw MakeError(128, 15, 1,
                    "Variables are not allowed in a column default. Only constant expressions "
                    "are allowed.");
  }
  return x.sql;
}

std::string Translator::StorageDecl(const TypeInfo& type) {
  switch (sql::StorageOf(type.type)) {
    case sql::Storage::kInt:
    case sql::Storage::kScaled:
      return "INT";
    case sql::Storage::kReal:
      return "REAL";
    case sql::Storage::kText:
      return std::string("TEXT COLLATE ") + sql::kCollation;
    case sql::Storage::kGuid:
      return "TEXT COLLATE NOCASE";
    case sql::Storage::kDate:
      return "TEXT";
    case sql::Storage::kBlob:
      return "BLOB";
  }
  return "";
}

Translation Translator::Insert(const ast::Statement& s) {
  Impl& I = *impl_;
  auto table = I.env.Table(s.target);
  if (!table) throw InvalidObject(JoinParts(s.target));
  if (table->kind != 'U') throw NotSupported("INSERT into a view or system table");
  I.out.target = table;
  // Target columns in order.
  std::vector<int> targets;
  bool explicit_identity = table->identity_index >= 0 && I.env.IdentityInsert(*table);
  if (s.columns.empty()) {
    if (explicit_identity) {
      throw MakeError(545, 16, 1,
                      "Explicit value must be specified for identity column in table '" +
                          table->name +
                          "' either when IDENTITY_INSERT is set to ON or when a replication "
                          "user is inserting into a NOT FOR REPLICATION identity column.");
    }
    for (size_t i = 0; i < table->columns.size(); ++i) {
      if (!table->columns[i].identity) targets.push_back(static_cast<int>(i));
    }
  } else {
    bool identity_given = false;
    for (const std::string& c : s.columns) {
      int k = table->IndexOf(c);
      if (k < 0) throw InvalidColumn(c);
      if (table->columns[static_cast<size_t>(k)].identity) identity_given = true;
    }
    if (explicit_identity && !identity_given) {
      throw MakeError(545, 16, 1,
                      "Explicit value must be specified for identity column in table '" +
                          table->name +
                          "' either when IDENTITY_INSERT is set to ON or when a replication "
                          "user is inserting into a NOT FOR REPLICATION identity column.");
    }
    for (const std::string& c : s.columns) {
      int k = table->IndexOf(c);
      if (table->columns[static_cast<size_t>(k)].identity && !explicit_identity) {
        throw MakeError(544, 16, 1,
                        "Cannot insert explicit value for identity column in table '" +
                            table->name + "' when IDENTITY_INSERT is set to OFF.");
      }
      targets.push_back(k);
    }
  }
  std::string cols;
  auto add_col = [&](const std::string& name) {
    cols += (cols.empty() ? "" : ", ") + QuoteIdent(name);
  };
  bool identity = table->identity_index >= 0 && !explicit_identity;
  if (identity) add_col(table->columns[static_cast<size_t>(table->identity_index)].name);
  for (int k : targets) add_col(table->columns[static_cast<size_t>(k)].name);
  std::string id_expr =
      "tsql_identity(" + std::to_string(table->id) + ", " + QuoteText(table->schema) + ")";
  std::string sql = "INSERT INTO " + I.TableSql(*table);
  if (s.default_values) {
    if (identity) {
      sql += " (" + QuoteIdent(table->columns[static_cast<size_t>(table->identity_index)].name) +
             ") VALUES (" + id_expr + ")";
    } else {
      sql += " DEFAULT VALUES";
    }
    I.out.sql = sql;
    return std::move(I.out);
  }
  sql += " (" + cols + ") ";
  Scope scope;
  auto value_of = [&](const ast::Expr& e, const ColumnInfo& c) {
    if (e.kind == ExprKind::kFunction && e.text == "$default") {
      if (!c.default_sql.empty()) return c.default_sql;
      return std::string("NULL");
    }
    TExpr x = I.Expression(e, scope);
    return I.FitConvert(x, c).sql;
  };
  if (!s.values.empty()) {
    sql += "VALUES ";
    for (size_t r = 0; r < s.values.size(); ++r) {
      const auto& row = s.values[r];
      if (row.size() != targets.size()) {
        throw MakeError(row.size() > targets.size() ? 110 : 109, 15, 1,
                        std::string("There are ") +
                            (row.size() > targets.size() ? "fewer" : "more") +
                            " columns in the INSERT statement than values specified in the "
                            "VALUES clause. The number of values in the VALUES clause must "
                            "match the number of columns specified in the INSERT statement.");
      }
      sql += r ? ", (" : "(";
      bool first = true;
      if (identity) {
        sql += id_expr;
        first = false;
      }
      for (size_t i = 0; i < row.size(); ++i) {
        sql += (first ? "" : ", ") +
               value_of(*row[i], table->columns[static_cast<size_t>(targets[i])]);
        first = false;
      }
      sql += ")";
    }
  } else if (s.select) {
    std::vector<Column> qcols;
    std::string q = I.SelectSql(*s.select, nullptr, &qcols, nullptr, nullptr);
    std::vector<std::string> aliases = I.last_aliases;
    if (qcols.size() != targets.size()) {
      throw MakeError(120, 15, 1,
                      "The select list for the INSERT statement contains " +
                          std::string(qcols.size() > targets.size() ? "more" : "fewer") +
                          " items than the insert list. The number of SELECT values must match "
                          "the number of INSERT columns.");
    }
    std::string outer = "SELECT ";
    bool first = true;
    if (identity) {
      outer += id_expr;
      first = false;
    }
    for (size_t i = 0; i < qcols.size(); ++i) {
      TExpr x;
      x.sql = "q." + aliases[i];
      x.type = qcols[i].type;
      outer += (first ? "" : ", ") +
               I.FitConvert(x, table->columns[static_cast<size_t>(targets[i])]).sql;
      first = false;
    }
    sql += outer + " FROM (" + q + ") AS q WHERE true";
  }
  I.out.sql = sql;
  return std::move(I.out);
}

Translation Translator::Update(const ast::Statement& s) {
  Impl& I = *impl_;
  Scope scope;
  std::shared_ptr<const TableInfo> table;
  std::string target_alias;  // as the statement names it
  std::string from_sql;
  if (!s.from.empty()) {
    // UPDATE x SET ... FROM t x JOIN ...: the FROM list (joins of any kind)
    // finds the rows and their new values; the update then applies them by
    // rowid.
    for (size_t i = 0; i < s.from.size(); ++i) {
      from_sql += (i ? ", " : "") + I.FromItem(*s.from[i], scope);
    }
    std::string want = LowerName(s.target.back());
    const Source* target = nullptr;
    for (const Source& src : scope.sources) {
      if (LowerName(src.alias) == want) target = &src;
    }
    if (!target) {
      for (const Source& src : scope.sources) {
        if (src.table && LowerName(src.table->name) == want) target = &src;
      }
    }
    if (target) {
      table = target->table;
      target_alias = target->alias;
    } else {
      table = I.env.Table(s.target);
      if (!table) throw InvalidObject(JoinParts(s.target));
      Source src;
      src.table = table;
      src.alias = table->name;
      src.sql_alias = QuoteIdent(table->name);
      target_alias = table->name;
      scope.sources.insert(scope.sources.begin(), src);
      from_sql = I.TableSql(*table) + " AS " + src.sql_alias + ", " + from_sql;
    }
    if (!table) throw NotSupported("UPDATE of a derived table");
  } else {
    table = I.env.Table(s.target);
    if (!table) throw InvalidObject(JoinParts(s.target));
    target_alias = table->name;
    Source src;
    src.table = table;
    src.alias = table->name;
    src.sql_alias = QuoteIdent(table->name);
    scope.sources.push_back(src);
  }
  if (table->kind != 'U') throw NotSupported("UPDATE of a view or system table");
  I.out.target = table;
  std::vector<std::string> names, values;
  for (const ast::SetAssign& a : s.sets) {
    if (a.column[0] == '@') throw NotSupported("UPDATE ... SET @variable");
    const ColumnInfo* c = table->Find(a.column);
    if (!c) throw InvalidColumn(a.column);
    if (c->identity) {
      throw MakeError(8102, 16, 1, "Cannot update identity column '" + c->name + "'.");
    }
    TExpr v = I.Expression(*a.value, scope);
    if (a.op != "=") {
      ast::Expr col;
      col.kind = ExprKind::kColumn;
      col.parts = {target_alias, c->name};
      TExpr cur = I.ColumnRef(col, scope);
      sql::ArithOp op = a.op == "+="   ? sql::ArithOp::kAdd
                        : a.op == "-=" ? sql::ArithOp::kSub
                        : a.op == "*=" ? sql::ArithOp::kMul
                        : a.op == "/=" ? sql::ArithOp::kDiv
                                       : sql::ArithOp::kMod;
      TExpr r;
      r.type = lib::ArithType(op, cur.type, v.type);
      r.sql = std::string(lib::ArithName(op)) + "(" + cur.sql + ", " + Code(cur.type) + ", " +
              v.sql + ", " + Code(v.type) + ")";
      v = r;
    }
    names.push_back(QuoteIdent(c->name));
    values.push_back(I.FitConvert(v, *c).sql);
  }
  std::string where;
  if (s.where) where = I.Predicate(*s.where, scope);
  std::string limit;
  if (s.top) limit = " LIMIT " + I.Convert(I.Expression(*s.top, scope), sql::BigIntType()).sql;
  std::string sql = "UPDATE " + I.TableSql(*table) + " AS __t SET ";
  if (!s.from.empty()) {
    std::string inner = "SELECT " + QuoteIdent(target_alias) + ".rowid AS __rid";
    for (size_t i = 0; i < values.size(); ++i) {
      inner += ", " + values[i] + " AS __v" + std::to_string(i);
    }
    inner += " FROM " + from_sql;
    if (!where.empty()) inner += " WHERE " + where;
    inner += limit;
    for (size_t i = 0; i < names.size(); ++i) {
      sql += (i ? ", " : "") + names[i] + " = __q.__v" + std::to_string(i);
    }
    sql += " FROM (" + inner + ") AS __q WHERE __t.rowid = __q.__rid";
  } else {
    // The target keeps the name the statement's expressions use.
    sql = "UPDATE " + I.TableSql(*table) + " AS " + QuoteIdent(target_alias) + " SET ";
    for (size_t i = 0; i < names.size(); ++i) {
      sql += (i ? ", " : "") + names[i] + " = " + values[i];
    }
    if (!limit.empty()) {
      std::string inner =
          "SELECT rowid FROM " + I.TableSql(*table) + " AS " + QuoteIdent(target_alias);
      if (!where.empty()) inner += " WHERE " + where;
      where = "rowid IN (" + inner + limit + ")";
    }
    if (!where.empty()) sql += " WHERE " + where;
  }
  I.out.sql = sql;
  return std::move(I.out);
}

Translation Translator::Delete(const ast::Statement& s) {
  Impl& I = *impl_;
  Scope scope;
  std::shared_ptr<const TableInfo> table;
  std::string alias;
  std::string from_sql;
  if (!s.from.empty()) {
    // DELETE [alias] FROM t alias JOIN ...: delete the target's rows that
    // the FROM list finds.
    std::string want = LowerName(s.target.back());
    for (size_t i = 0; i < s.from.size(); ++i) {
      from_sql += (i ? ", " : "") + I.FromItem(*s.from[i], scope);
    }
    const Source* target = nullptr;
    for (const Source& src : scope.sources) {
      if (LowerName(src.alias) == want) target = &src;
    }
    if (!target) {
      for (const Source& src : scope.sources) {
        if (src.table && LowerName(src.table->name) == want) target = &src;
      }
    }
    if (!target) {
      table = I.env.Table(s.target);
      if (!table) throw InvalidObject(JoinParts(s.target));
      throw NotSupported("DELETE ... FROM without the target in the FROM list");
    }
    table = target->table;
    alias = target->sql_alias;
  } else {
    table = I.env.Table(s.target);
    if (!table) throw InvalidObject(JoinParts(s.target));
    Source src;
    src.table = table;
    src.alias = table->name;
    src.sql_alias = QuoteIdent(table->name);
    alias = src.sql_alias;
    scope.sources.push_back(src);
    from_sql = I.TableSql(*table) + " AS " + alias;
  }
  if (!table || table->kind != 'U') throw NotSupported("DELETE from a view or system table");
  I.out.target = table;
  std::string where;
  if (s.where) where = I.Predicate(*s.where, scope);
  std::string sql = "DELETE FROM " + I.TableSql(*table);
  if (s.from.empty() && !s.top) {
    sql += " AS " + alias;
    if (!where.empty()) sql += " WHERE " + where;
  } else {
    std::string inner = "SELECT " + alias + ".rowid FROM " + from_sql;
    if (!where.empty()) inner += " WHERE " + where;
    if (s.top) {
      TExpr t = I.Expression(*s.top, scope);
      inner += " LIMIT " + I.Convert(t, sql::BigIntType()).sql;
    }
    sql += " WHERE rowid IN (" + inner + ")";
  }
  I.out.sql = sql;
  return std::move(I.out);
}

}  // namespace tillbase::engine::core

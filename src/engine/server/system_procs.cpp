// System procedures answered by the server level: sp_who,
// sp_sproc_columns, sp_tables and sp_columns, with SQL Server's result
// columns.
#include <map>
#include <optional>

#include "engine/core/catalog.h"
#include "engine/core/sqlite_util.h"
#include "engine/errors.h"
#include "engine/server/access.h"
#include "engine/server/commands.h"
#include "engine/server/server.h"

namespace tillbase::engine::server {

namespace {

TypeInfo NChar(int chars) { return TypeInfo{SqlType::kNChar, chars * 2, 0, 0}; }
TypeInfo NVarChar(int chars) { return TypeInfo{SqlType::kNVarChar, chars * 2, 0, 0}; }
TypeInfo VarChar(int n) { return TypeInfo{SqlType::kVarChar, n, 0, 0}; }
TypeInfo Int() { return TypeInfo{SqlType::kInt, 4, 10, 0}; }
TypeInfo SmallInt() { return TypeInfo{SqlType::kSmallInt, 2, 5, 0}; }
TypeInfo TinyInt() { return TypeInfo{SqlType::kTinyInt, 1, 3, 0}; }

Column Col(const char* name, TypeInfo t, bool nullable = true) {
  Column c;
  c.name = name;
  c.type = t;
  c.nullable = nullable;
  return c;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Text(const Value& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  if (const auto* n = std::get_if<int64_t>(&v)) return std::to_string(*n);
  return {};
}

// The argument given by name (without regard to case) or at a position.
const Value* Arg(const std::vector<std::pair<std::string, Value>>& args, const char* name,
                 size_t position) {
  for (const auto& [n, v] : args) {
    if (!n.empty() && Lower(n) == name) return &v;
  }
  if (position < args.size() && args[position].first.empty()) return &args[position].second;
  return nullptr;
}

int SpWho(core::Session& session, const std::vector<std::pair<std::string, Value>>& args,
          ResultSink& sink) {
  std::string filter;
  if (const Value* v = Arg(args, "@loginame", 0)) filter = Text(*v);
  bool active_only = Lower(filter) == "active";
  int spid_filter = 0;
  if (!filter.empty() && filter.find_first_not_of("0123456789") == std::string::npos) {
    spid_filter = std::atoi(filter.c_str());
  }
  std::vector<SessionInfo> sessions = Access::ServerOf(session).Sessions();
  if (!filter.empty() && !active_only && spid_filter == 0) {
    bool known = false;
    for (const SessionInfo& s : sessions) known |= Lower(s.login) == Lower(filter);
    if (!known) {
      throw MakeError(15007, 16, 1,
                      "'" + filter + "' is not a valid login or you do not have permission.");
    }
  }
  sink.BeginResultSet({Col("spid", SmallInt(), false), Col("ecid", SmallInt(), false),
                       Col("status", NChar(30), false), Col("loginame", NChar(128)),
                       Col("hostname", NChar(128), false),
                       Col("blk", TypeInfo{SqlType::kChar, 5, 0, 0}), Col("dbname", NChar(128)),
                       Col("cmd", NChar(16), false), Col("request_id", Int(), false)});
  int64_t rows = 0;
  for (const SessionInfo& s : sessions) {
    if (active_only && s.status == "sleeping") continue;
    if (spid_filter && s.spid != spid_filter) continue;
    if (!filter.empty() && !active_only && !spid_filter && Lower(s.login) != Lower(filter))
      continue;
    std::vector<Value> row;
    row.emplace_back(int64_t{s.spid});
    row.emplace_back(int64_t{0});
    row.emplace_back(s.status);
    row.emplace_back(s.login);
    row.emplace_back(s.host);
    row.emplace_back(std::string("0"));
    row.emplace_back(s.database);
    row.emplace_back(s.command);
    row.emplace_back(int64_t{0});
    ++rows;
    if (!sink.Row(std::move(row))) break;
  }
  sink.EndResultSet();
  sink.RowCount(rows);
  return 0;
}

struct OdbcType {
  int data_type;
  int sql_data_type;
  int ss_type;
};

OdbcType OdbcOf(SqlType t) {
  switch (t) {
    case SqlType::kBit:
      return {-7, -7, 50};
    case SqlType::kTinyInt:
      return {-6, -6, 48};
    case SqlType::kSmallInt:
      return {5, 5, 52};
    case SqlType::kInt:
      return {4, 4, 56};
    case SqlType::kBigInt:
      return {-5, -5, 127};
    case SqlType::kDecimal:
      return {3, 3, 106};
    case SqlType::kNumeric:
      return {2, 2, 108};
    case SqlType::kMoney:
      return {3, 3, 60};
    case SqlType::kSmallMoney:
      return {3, 3, 122};
    case SqlType::kFloat:
      return {6, 6, 62};
    case SqlType::kReal:
      return {7, 7, 59};
    case SqlType::kChar:
      return {1, 1, 47};
    case SqlType::kVarChar:
      return {12, 12, 39};
    case SqlType::kNChar:
      return {-8, -8, 239};
    case SqlType::kNVarChar:
      return {-9, -9, 231};
    case SqlType::kText:
      return {-1, -1, 35};
    case SqlType::kNText:
      return {-10, -10, 99};
    case SqlType::kDateTime:
      return {11, 9, 61};
    case SqlType::kSmallDateTime:
      return {11, 9, 58};
    case SqlType::kDate:
      return {9, 9, 40};
    case SqlType::kUniqueIdentifier:
      return {-11, -11, 36};
    case SqlType::kBinary:
      return {-2, -2, 45};
    case SqlType::kVarBinary:
      return {-3, -3, 37};
    case SqlType::kImage:
      return {-4, -4, 34};
    case SqlType::kSqlVariant:
      return {-150, -150, 98};
  }
  return {12, 12, 39};
}

// PRECISION and LENGTH as SQL Server reports them for a parameter.
void Sizes(const TypeInfo& t, int64_t* precision, int64_t* length, Value* scale, Value* radix,
           Value* octets) {
  *scale = std::monostate{};
  *radix = std::monostate{};
  *octets = std::monostate{};
  switch (t.type) {
    case SqlType::kBit:
      *precision = 1;
      *length = 1;
      break;
    case SqlType::kTinyInt:
      *precision = 3;
      *length = 1;
      break;
    case SqlType::kSmallInt:
      *precision = 5;
      *length = 2;
      break;
    case SqlType::kInt:
      *precision = 10;
      *length = 4;
      break;
    case SqlType::kBigInt:
      *precision = 19;
      *length = 8;
      break;
    case SqlType::kDecimal:
    case SqlType::kNumeric:
      *precision = t.precision;
      *length = t.precision + 2;
      *scale = int64_t{t.scale};
      break;
    case SqlType::kMoney:
      *precision = 19;
      *length = 21;
      *scale = int64_t{4};
      break;
    case SqlType::kSmallMoney:
      *precision = 10;
      *length = 12;
      *scale = int64_t{4};
      break;
    case SqlType::kFloat:
      *precision = 15;
      *length = 8;
      *radix = int64_t{10};
      break;
    case SqlType::kReal:
      *precision = 7;
      *length = 4;
      *radix = int64_t{10};
      break;
    case SqlType::kDateTime:
      *precision = 23;
      *length = 16;
      *scale = int64_t{3};
      break;
    case SqlType::kSmallDateTime:
      *precision = 16;
      *length = 16;
      *scale = int64_t{0};
      break;
    case SqlType::kDate:
      *precision = 10;
      *length = 6;
      break;
    case SqlType::kUniqueIdentifier:
      *precision = 36;
      *length = 16;
      break;
    case SqlType::kNChar:
    case SqlType::kNVarChar:
    case SqlType::kNText: {
      int64_t bytes = t.length < 0 ? 2147483646 : t.length;
      *precision = bytes / 2;
      *length = bytes;
      *octets = bytes;
      break;
    }
    default: {
      int64_t bytes = t.length < 0 ? 2147483647 : t.length;
      *precision = bytes;
      *length = bytes;
      if (t.type == SqlType::kChar || t.type == SqlType::kVarChar || t.type == SqlType::kText ||
          t.type == SqlType::kBinary || t.type == SqlType::kVarBinary ||
          t.type == SqlType::kImage) {
        *octets = bytes;
      }
    }
  }
  if (t.type == SqlType::kTinyInt || t.type == SqlType::kSmallInt || t.type == SqlType::kInt ||
      t.type == SqlType::kBigInt || t.type == SqlType::kDecimal || t.type == SqlType::kNumeric ||
      t.type == SqlType::kMoney || t.type == SqlType::kSmallMoney || t.type == SqlType::kBit) {
    if (t.type != SqlType::kBit) *radix = int64_t{10};
    if (IsNull(*scale)) *scale = int64_t{0};
  }
}

int SpSprocColumns(core::Session& session, const std::vector<std::pair<std::string, Value>>& args,
                   ResultSink& sink) {
  const Value* name_arg = Arg(args, "@procedure_name", 0);
  if (!name_arg || IsNull(*name_arg)) {
    throw MakeError(201, 16, 4,
                    "Procedure or function 'sp_sproc_columns' expects parameter "
                    "'@procedure_name', which was not supplied.");
  }
  std::string name = Text(*name_arg);
  std::string column_filter;
  if (const Value* v = Arg(args, "@column_name", 3)) column_filter = Lower(Text(*v));
  int odbc3 = 0;
  if (const Value* v = Arg(args, "@odbcver", 4)) odbc3 = Text(*v) == "3";
  TypeInfo sysname = NVarChar(128);
  sink.BeginResultSet({Col("PROCEDURE_QUALIFIER", sysname),
                       Col("PROCEDURE_OWNER", sysname),
                       Col("PROCEDURE_NAME", NVarChar(134)),
                       Col("COLUMN_NAME", sysname),
                       Col("COLUMN_TYPE", SmallInt()),
                       Col("DATA_TYPE", SmallInt()),
                       Col("TYPE_NAME", sysname),
                       Col("PRECISION", Int()),
                       Col("LENGTH", Int()),
                       Col("SCALE", SmallInt()),
                       Col("RADIX", SmallInt()),
                       Col("NULLABLE", SmallInt()),
                       Col("REMARKS", VarChar(254)),
                       Col("COLUMN_DEF", NVarChar(4000)),
                       Col("SQL_DATA_TYPE", SmallInt()),
                       Col("SQL_DATETIME_SUB", SmallInt()),
                       Col("CHAR_OCTET_LENGTH", Int()),
                       Col("ORDINAL_POSITION", Int()),
                       Col("IS_NULLABLE", VarChar(254)),
                       Col("SS_DATA_TYPE", TinyInt())});
  std::vector<ProcParamInfo> params;
  try {
    params = Access::Describe(session, name);
  } catch (const EngineError& e) {
    if (e.number() != 2812) throw;
  }
  std::string base = name;
  int group = 1;
  if (size_t semi = base.find(';'); semi != std::string::npos) {
    group = std::atoi(base.c_str() + semi + 1);
    base = base.substr(0, semi);
  }
  if (size_t dot = base.rfind('.'); dot != std::string::npos) base = base.substr(dot + 1);
  if (!base.empty() && base.front() == '[') base = base.substr(1, base.size() - 2);
  int64_t rows = 0;
  for (size_t i = 0; i < params.size(); ++i) {
    const ProcParamInfo& p = params[i];
    if (!column_filter.empty() && Lower(p.name) != column_filter) continue;
    OdbcType o = OdbcOf(p.type.type);
    int data_type = o.data_type;
    if (odbc3 && data_type == 11) data_type = 93;
    int64_t precision = 0, length = 0;
    Value scale, radix, octets;
    Sizes(p.type, &precision, &length, &scale, &radix, &octets);
    int column_type = p.direction == ParamDirection::kReturnValue ? 5
                      : p.direction == ParamDirection::kInput     ? 1
                                                                  : 2;
    std::vector<Value> row;
    row.emplace_back(Access::Database(session));
    row.emplace_back(std::string("dbo"));
    row.emplace_back(base + ";" + std::to_string(group < 1 ? 1 : group));
    row.emplace_back(p.name);
    row.emplace_back(int64_t{column_type});
    row.emplace_back(int64_t{data_type});
    row.emplace_back(std::string(SqlTypeName(p.type.type)));
    row.emplace_back(precision);
    row.emplace_back(length);
    row.push_back(scale);
    row.push_back(radix);
    row.emplace_back(int64_t{1});
    row.emplace_back(std::monostate{});
    row.emplace_back(std::monostate{});
    row.emplace_back(int64_t{o.sql_data_type});
    if (o.sql_data_type == 9) {
      row.emplace_back(int64_t{3});
    } else {
      row.emplace_back(std::monostate{});
    }
    row.push_back(octets);
    row.emplace_back(static_cast<int64_t>(i));
    row.emplace_back(std::string("YES"));
    row.emplace_back(int64_t{o.ss_type});
    ++rows;
    if (!sink.Row(std::move(row))) break;
  }
  sink.EndResultSet();
  sink.RowCount(rows);
  return 0;
}

// Objects of the current database whose names match a LIKE pattern.
std::vector<std::pair<std::string, std::string>> Objects(core::Session& session,
                                                         const std::string& pattern) {
  core::Stmt q(Access::Db(session),
               "SELECT name, type FROM main.__tb_objects WHERE type IN ('U', 'V', 'S') AND "
               "name LIKE ?1 ESCAPE '\\' ORDER BY type, name");
  q.Bind(1, pattern.empty() ? std::string("%") : pattern);
  std::vector<std::pair<std::string, std::string>> out;
  while (q.Step()) out.emplace_back(q.Text(0), q.Text(1));
  return out;
}

std::string TableType(const std::string& type) {
  return type == "U" ? "TABLE" : type == "V" ? "VIEW" : "SYSTEM TABLE";
}

int SpTables(core::Session& session, const std::vector<std::pair<std::string, Value>>& args,
             ResultSink& sink) {
  std::string pattern, types;
  if (const Value* v = Arg(args, "@table_name", 0)) pattern = Text(*v);
  if (const Value* v = Arg(args, "@table_type", 3)) types = Upper(Text(*v));
  TypeInfo sysname = NVarChar(128);
  sink.BeginResultSet({Col("TABLE_QUALIFIER", sysname), Col("TABLE_OWNER", sysname),
                       Col("TABLE_NAME", sysname), Col("TABLE_TYPE", VarChar(32)),
                       Col("REMARKS", VarChar(254))});
  int64_t rows = 0;
  for (const auto& [name, type] : Objects(session, pattern)) {
    std::string t = TableType(type);
    if (!types.empty() && types.find("'" + t + "'") == std::string::npos &&
        types.find(t) == std::string::npos) {
      continue;
    }
    std::vector<Value> row;
    row.emplace_back(Access::Database(session));
    row.emplace_back(std::string("dbo"));
    row.emplace_back(name);
    row.emplace_back(t);
    row.emplace_back(std::monostate{});
    ++rows;
    if (!sink.Row(std::move(row))) break;
  }
  sink.EndResultSet();
  sink.RowCount(rows);
  return 0;
}

int SpColumns(core::Session& session, const std::vector<std::pair<std::string, Value>>& args,
              ResultSink& sink) {
  const Value* table_arg = Arg(args, "@table_name", 0);
  if (!table_arg || IsNull(*table_arg)) {
    throw MakeError(201, 16, 4,
                    "Procedure or function 'sp_columns' expects parameter '@table_name', which "
                    "was not supplied.");
  }
  std::string column_filter;
  if (const Value* v = Arg(args, "@column_name", 3)) column_filter = Lower(Text(*v));
  bool odbc3 = false;
  if (const Value* v = Arg(args, "@odbcver", 4)) odbc3 = Text(*v) == "3";
  TypeInfo sysname = NVarChar(128);
  sink.BeginResultSet({Col("TABLE_QUALIFIER", sysname), Col("TABLE_OWNER", sysname),
                       Col("TABLE_NAME", sysname), Col("COLUMN_NAME", sysname),
                       Col("DATA_TYPE", SmallInt()), Col("TYPE_NAME", sysname),
                       Col("PRECISION", Int()), Col("LENGTH", Int()), Col("SCALE", SmallInt()),
                       Col("RADIX", SmallInt()), Col("NULLABLE", SmallInt()),
                       Col("REMARKS", VarChar(254)), Col("COLUMN_DEF", NVarChar(4000)),
                       Col("SQL_DATA_TYPE", SmallInt()), Col("SQL_DATETIME_SUB", SmallInt()),
                       Col("CHAR_OCTET_LENGTH", Int()), Col("ORDINAL_POSITION", Int()),
                       Col("IS_NULLABLE", VarChar(254)), Col("SS_DATA_TYPE", TinyInt())});
  int64_t rows = 0;
  for (const auto& [name, type] : Objects(session, Text(*table_arg))) {
    auto table = Access::FindTable(session, name);
    if (!table) continue;
    int ordinal = 0;
    for (const core::ColumnInfo& c : table->columns) {
      ++ordinal;
      if (!column_filter.empty() && Lower(c.name) != column_filter) continue;
      OdbcType o = OdbcOf(c.type.type);
      int data_type = odbc3 && o.data_type == 11 ? 93 : o.data_type;
      int64_t precision = 0, length = 0;
      Value scale, radix, octets;
      Sizes(c.type, &precision, &length, &scale, &radix, &octets);
      std::vector<Value> row;
      row.emplace_back(Access::Database(session));
      row.emplace_back(std::string("dbo"));
      row.emplace_back(table->name);
      row.emplace_back(c.name);
      row.emplace_back(int64_t{data_type});
      row.emplace_back(std::string(SqlTypeName(c.type.type)) + (c.identity ? " identity" : ""));
      row.emplace_back(precision);
      row.emplace_back(length);
      row.push_back(scale);
      row.push_back(radix);
      row.emplace_back(int64_t{c.nullable ? 1 : 0});
      row.emplace_back(std::monostate{});
      row.emplace_back(std::monostate{});
      row.emplace_back(int64_t{o.sql_data_type});
      if (o.sql_data_type == 9) {
        row.emplace_back(int64_t{3});
      } else {
        row.emplace_back(std::monostate{});
      }
      row.push_back(octets);
      row.emplace_back(int64_t{ordinal});
      row.emplace_back(std::string(c.nullable ? "YES" : "NO"));
      row.emplace_back(int64_t{o.ss_type});
      ++rows;
      if (!sink.Row(std::move(row))) break;
    }
  }
  sink.EndResultSet();
  sink.RowCount(rows);
  return 0;
}

}  // namespace

bool IsSystemProcedure(std::string_view name) {
  // Every one of them begins with "sp_"; most names called do not.
  if (name.size() < 3 || (name[0] | 0x20) != 's' || (name[1] | 0x20) != 'p' || name[2] != '_') {
    return false;
  }
  std::string n = Lower(name);
  if (size_t semi = n.find(';'); semi != std::string::npos) n = n.substr(0, semi);
  return n == "sp_who" || n == "sp_sproc_columns" || n == "sp_tables" || n == "sp_columns";
}

std::optional<std::vector<ProcParamInfo>> DescribeSystemProcedure(std::string_view name) {
  std::string n = Lower(name);
  if (size_t semi = n.find(';'); semi != std::string::npos) n = n.substr(0, semi);
  if (n.rfind("sp_", 0) != 0) return std::nullopt;
  struct P {
    const char* name;
    TypeInfo type;
    bool has_default;
  };
  // SQL Server's declarations (sysname is nvarchar(128)).
  const TypeInfo sysname = NVarChar(128), name384 = NVarChar(384), odbcver = Int(),
                 bit = TypeInfo{SqlType::kBit, 1, 1, 0};
  std::vector<P> params;
  if (n == "sp_who") {
    params = {{"@loginame", sysname, true}};
  } else if (n == "sp_tables") {
    params = {{"@table_name", name384, true},
              {"@table_owner", name384, true},
              {"@table_qualifier", sysname, true},
              {"@table_type", VarChar(100), true},
              {"@fUsePattern", bit, true}};
  } else if (n == "sp_columns") {
    params = {{"@table_name", name384, false},
              {"@table_owner", name384, true},
              {"@table_qualifier", sysname, true},
              {"@column_name", name384, true},
              {"@ODBCVer", odbcver, true}};
  } else if (n == "sp_sproc_columns") {
    params = {{"@procedure_name", NVarChar(390), true},
              {"@procedure_owner", name384, true},
              {"@procedure_qualifier", sysname, true},
              {"@column_name", name384, true},
              {"@ODBCVer", odbcver, true},
              {"@fUsePattern", bit, true}};
  } else if (n == "sp_executesql") {
    // The values of the statement's own parameters follow these two.
    params = {{"@stmt", TypeInfo{SqlType::kNVarChar, -1, 0, 0}, false},
              {"@params", TypeInfo{SqlType::kNVarChar, -1, 0, 0}, true}};
  } else {
    return std::nullopt;
  }
  std::vector<ProcParamInfo> out;
  ProcParamInfo ret;
  ret.name = "@RETURN_VALUE";
  ret.type = Int();
  ret.direction = ParamDirection::kReturnValue;
  out.push_back(ret);
  for (const P& p : params) {
    ProcParamInfo i;
    i.name = p.name;
    i.type = p.type;
    i.has_default = p.has_default;
    out.push_back(std::move(i));
  }
  return out;
}

int RunSystemProcedure(core::Session& session, std::string_view name,
                       const std::vector<std::pair<std::string, Value>>& args, ResultSink& sink) {
  std::string n = Lower(name);
  if (size_t semi = n.find(';'); semi != std::string::npos) n = n.substr(0, semi);
  if (n == "sp_who") return SpWho(session, args, sink);
  if (n == "sp_tables") return SpTables(session, args, sink);
  if (n == "sp_columns") return SpColumns(session, args, sink);
  return SpSprocColumns(session, args, sink);
}

}  // namespace tillbase::engine::server

#include "server/session/delta_resolver.h"

#include <memory>
#include <stdexcept>

#include "db/driver.h"
#include "db/errors.h"
#include "db/query.h"
#include "db/stored_proc.h"
#include "server/session/packet_builder.h"
#include "shared/proc_params.h"

namespace tillbase::session {
namespace {

constexpr const char* kSavepoint = "tb_delta_row";

bool IsLargeObject(int data_type) {
  switch (data_type) {
    case ftBlob:
    case ftMemo:
    case ftGraphic:
    case ftFmtMemo:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary:
    case ftOraBlob:
    case ftOraClob:
      return true;
    default:
      return false;
  }
}

bool Writable(const PacketField& f) { return !f.read_only && !f.auto_increment; }

class Builder {
 public:
  explicit Builder(const DataPacket& delta) : delta_(delta) {}

  std::string Bind(const Variant& value, int field) {
    statement_.values.push_back(value);
    statement_.data_types.push_back(delta_.fields[static_cast<size_t>(field)].data_type);
    return "@P" + std::to_string(statement_.values.size());
  }
  static std::string Column(const PacketField& f) { return db::QuoteIdentifier(f.name); }

  // "[a] = @P1 AND [b] IS NULL"
  std::string Locator(const std::vector<Variant>& original, UpdateMode mode,
                      std::string_view table) {
    std::string where;
    for (size_t i = 0; i < delta_.fields.size(); ++i) {
      const PacketField& f = delta_.fields[i];
      if (mode == UpdateMode::kWhereKeyOnly ? !f.key : IsLargeObject(f.data_type)) continue;
      if (!where.empty()) where += " AND ";
      const Variant& v = original[i];
      if (v.IsNull() || v.IsEmpty()) {
        where += Column(f) + " IS NULL";
      } else {
        where += Column(f) + " = " + Bind(v, static_cast<int>(i));
      }
    }
    if (where.empty()) {
      throw std::runtime_error("Unable to find record. No key fields to locate it in " +
                               std::string(table));
    }
    return where;
  }

  BoundStatement Take(std::string sql) {
    statement_.sql = std::move(sql);
    return std::move(statement_);
  }

 private:
  const DataPacket& delta_;
  BoundStatement statement_;
};

// The T-SQL type a bound value is declared with. The field's type decides
// where it is known, so that a Null binds as a type the column accepts
// (binary columns take no Null of a text type).
db::SqlTypeDesc DeclaredType(const Variant& value, int data_type, const PacketField* field) {
  switch (data_type) {
    case ftSmallint:
      return {"smallint"};
    case ftInteger:
    case ftWord:
    case ftAutoInc:
      return {"int"};
    case ftLargeint:
      return {"bigint"};
    case ftBoolean:
      return {"bit"};
    case ftFloat:
      return {"float"};
    case ftCurrency:
      return {"money"};
    case ftBCD:
    case ftFMTBcd: {
      int precision = field && field->precision > 0 ? field->precision : 38;
      int scale = field ? field->scale : 10;
      if (scale > precision) scale = precision;
      return {"decimal", 0, precision, scale};
    }
    case ftDate:
    case ftTime:
    case ftDateTime:
    case ftTimeStamp:
      return {"datetime"};
    case ftBytes:
    case ftVarBytes:
    case ftBlob:
    case ftGraphic:
    case ftTypedBinary:
    case ftOraBlob:
      return {"varbinary", -1};
    case ftString:
    case ftFixedChar:
    case ftWideString:
    case ftMemo:
    case ftFmtMemo:
    case ftGuid:
    case ftOraClob:
      return {"nvarchar", -1};
    default:
      break;
  }
  switch (value.type()) {
    case VT_I2:
      return {"smallint"};
    case VT_I4:
      return {"int"};
    case VT_I8:
      return {"bigint"};
    case VT_UI1:
      return {"tinyint"};
    case VT_BOOL:
      return {"bit"};
    case VT_R4:
      return {"real"};
    case VT_R8:
      return {"float"};
    case VT_CY:
      return {"money"};
    case VT_DATE:
      return {"datetime"};
    case VT_ARRAY | VT_UI1:
      return {"varbinary", -1};
    default:
      return {"nvarchar", -1};
  }
}

std::string DeclarationText(const db::SqlTypeDesc& t) {
  if (t.name == "decimal") {
    return "decimal(" + std::to_string(t.precision) + "," + std::to_string(t.scale) + ")";
  }
  if (t.length < 0) return t.name + "(max)";
  return t.name;
}

db::Parameter TextParam(std::string name, std::string value) {
  db::Parameter p;
  p.name = std::move(name);
  p.sql_type = {"nvarchar", -1};
  p.data_type = ftWideString;
  p.direction = pdInput;
  p.value = Variant(std::move(value));
  return p;
}

// Skips blanks and comments; returns the next position.
size_t SkipSpace(std::string_view s, size_t i) {
  for (;;) {
    while (i < s.size() && static_cast<unsigned char>(s[i]) <= ' ') ++i;
    if (s.substr(i, 2) == "--") {
      while (i < s.size() && s[i] != '\n') ++i;
    } else if (s.substr(i, 2) == "/*") {
      size_t end = s.find("*/", i + 2);
      i = end == std::string_view::npos ? s.size() : end + 2;
    } else {
      return i;
    }
  }
}

bool IsWordChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '@' || c == '#' || c == '$' || static_cast<unsigned char>(c) >= 0x80;
}

// One part of a multi-part name at i: [x]]y], "x""y" or a plain word.
bool NamePart(std::string_view s, size_t& i, std::string& part) {
  part.clear();
  if (i >= s.size()) return false;
  char open = s[i];
  if (open == '[' || open == '"') {
    char close = open == '[' ? ']' : '"';
    for (size_t k = i + 1; k < s.size(); ++k) {
      if (s[k] != close) {
        part += s[k];
      } else if (k + 1 < s.size() && s[k + 1] == close) {
        part += close;
        ++k;
      } else {
        i = k + 1;
        return !part.empty();
      }
    }
    return false;
  }
  size_t start = i;
  while (i < s.size() && IsWordChar(s[i])) ++i;
  part = std::string(s.substr(start, i - start));
  return !part.empty() && s[start] != '@';
}

bool KeywordAt(std::string_view s, size_t i, std::string_view word) {
  if (i + word.size() > s.size()) return false;
  for (size_t k = 0; k < word.size(); ++k) {
    char c = s[i + k];
    if ((c >= 'a' && c <= 'z' ? c - 32 : c) != word[k]) return false;
  }
  bool starts = i == 0 || !IsWordChar(s[i - 1]);
  bool ends = i + word.size() == s.size() || !IsWordChar(s[i + word.size()]);
  return starts && ends;
}

// Copies the key, read-only and auto-increment flags of the dataset's own
// fields onto the delta's; a delta field the dataset lacks is refused. When
// the database names no key (a view), the client's key fields stand: a
// locator that reaches more than one row still fails that row.
void TakeServerFlags(DataPacket& delta, const std::vector<PacketField>& server) {
  DataPacket own;
  own.fields = server;
  bool server_has_key = false;
  for (const PacketField& s : server) server_has_key = server_has_key || s.key;
  for (PacketField& f : delta.fields) {
    int i = own.FieldIndex(f.name);
    if (i < 0) throw std::runtime_error("Field '" + f.name + "' not found");
    const PacketField& s = server[static_cast<size_t>(i)];
    if (server_has_key) f.key = s.key;
    f.read_only = s.read_only;
    f.auto_increment = s.auto_increment;
  }
}

}  // namespace

BoundStatement StatementForRow(const DataPacket& delta, const PacketRow& row,
                               std::string_view table, UpdateMode mode) {
  Builder b(delta);
  const std::vector<PacketField>& fields = delta.fields;
  switch (row.state) {
    case RowState::kUnchanged:
      return {};
    case RowState::kInserted: {
      std::string columns, values;
      for (size_t i = 0; i < fields.size(); ++i) {
        if (!Writable(fields[i]) || row.values[i].IsEmpty()) continue;
        if (!columns.empty()) {
          columns += ", ";
          values += ", ";
        }
        columns += Builder::Column(fields[i]);
        values += b.Bind(row.values[i], static_cast<int>(i));
      }
      if (columns.empty()) return b.Take("INSERT INTO " + std::string(table) + " DEFAULT VALUES");
      return b.Take("INSERT INTO " + std::string(table) + " (" + columns + ") VALUES (" + values +
                    ")");
    }
    case RowState::kModified: {
      std::string set;
      for (size_t i = 0; i < fields.size(); ++i) {
        if (!Writable(fields[i]) || row.values[i] == row.original[i]) continue;
        // An Empty new value is a field the client did not assign.
        if (row.values[i].IsEmpty()) continue;
        if (!set.empty()) set += ", ";
        set += Builder::Column(fields[i]) + " = " + b.Bind(row.values[i], static_cast<int>(i));
      }
      if (set.empty()) return {};
      std::string where = b.Locator(row.original, mode, table);
      return b.Take("UPDATE " + std::string(table) + " SET " + set + " WHERE " + where);
    }
    case RowState::kDeleted: {
      std::string where = b.Locator(row.values, mode, table);
      return b.Take("DELETE FROM " + std::string(table) + " WHERE " + where);
    }
  }
  return {};
}

std::string TableOfQuery(std::string_view sql) {
  int depth = 0;
  for (size_t i = 0; i < sql.size(); ++i) {
    char c = sql[i];
    if (c == '\'') {
      // A string literal: FROM inside it is no clause.
      for (++i; i < sql.size(); ++i) {
        if (sql[i] == '\'' && (i + 1 >= sql.size() || sql[i + 1] != '\'')) break;
        if (sql[i] == '\'') ++i;
      }
      continue;
    }
    if (c == '[') {
      size_t k = i;
      std::string skipped;
      if (!NamePart(sql, k, skipped)) return "";
      i = k - 1;
      continue;
    }
    if (c == '(') ++depth;
    if (c == ')') --depth;
    if (depth != 0 || !KeywordAt(sql, i, "FROM")) continue;
    size_t k = SkipSpace(sql, i + 4);
    std::string result, part;
    for (;;) {
      if (!NamePart(sql, k, part)) return "";
      result += db::QuoteIdentifier(part);
      if (k < sql.size() && sql[k] == '.') {
        result += '.';
        ++k;
        continue;
      }
      return result;
    }
  }
  return "";
}

int64_t ExecuteBound(db::Connection& connection, const BoundStatement& statement) {
  // sp_executesql carries the values as parameters of the statement: the
  // database never sees them as SQL text.
  auto params = std::make_shared<std::vector<db::Parameter>>();
  db::Parameter ret;
  ret.name = "@RETURN_VALUE";
  ret.sql_type = {"int", 0, 10, 0};
  ret.data_type = ftInteger;
  ret.direction = pdReturnValue;
  params->push_back(std::move(ret));
  params->push_back(TextParam("@statement", statement.sql));
  std::string declaration;
  std::vector<db::Parameter> values;
  for (size_t i = 0; i < statement.values.size(); ++i) {
    const Variant& v = statement.values[i];
    if (v.IsArray() && !v.IsByteArray()) {
      throw std::runtime_error("A field value cannot be an array of type (" +
                               VarTypeAsText(v.type()) + ")");
    }
    db::Parameter p;
    p.name = "@P" + std::to_string(i + 1);
    int data_type = i < statement.data_types.size() ? statement.data_types[i] : ftUnknown;
    p.sql_type = DeclaredType(v, data_type, nullptr);
    p.data_type = data_type;
    p.direction = pdInput;
    p.precision = p.sql_type.precision;
    p.scale = p.sql_type.scale;
    p.value = v.IsEmpty() ? Variant::Null() : v;
    if (!declaration.empty()) declaration += ", ";
    declaration += p.name + " " + DeclarationText(p.sql_type);
    values.push_back(std::move(p));
  }
  params->push_back(TextParam("@params", declaration));
  for (db::Parameter& p : values) params->push_back(std::move(p));
  std::unique_ptr<db::BatchCursor> cursor =
      connection.driver().CallProcedure("sp_executesql", params);
  cursor->Drain();
  return cursor->RowsAffected();
}

Variant ApplyDelta(db::Connection& connection, const DataPacket& delta, std::string_view table,
                   UpdateMode mode, int32_t max_errors, int32_t& error_count) {
  error_count = 0;
  if (table.empty()) throw std::runtime_error("Unable to resolve records. Table name not found.");
  DataPacket errors;
  errors.kind = PacketKind::kErrors;
  errors.fields = delta.fields;
  connection.BeginTrans();
  bool rolled_back = false;
  try {
    for (const PacketRow& row : delta.rows) {
      if (row.state == RowState::kUnchanged) continue;
      std::string message;
      int32_t code = 0;
      BoundStatement statement;
      try {
        statement = StatementForRow(delta, row, table, mode);
      } catch (const std::runtime_error& e) {
        message = e.what();
      }
      if (message.empty()) {
        if (statement.Empty()) continue;
        // Each row runs after a savepoint, so that a row that fails or
        // reaches more than one record leaves nothing behind. Failures of
        // the savepoint itself end the whole delta (below).
        connection.Execute(std::string("SAVE TRANSACTION ") + kSavepoint);
        int64_t affected = 0;
        try {
          affected = ExecuteBound(connection, statement);
        } catch (const db::DbError& e) {
          message = e.what();
          code = e.native_error();
        } catch (const std::exception& e) {
          message = e.what();
        }
        if (message.empty() && row.state != RowState::kInserted) {
          if (affected == 0) {
            message = "Record not found or changed by another user";
          } else if (affected > 1) {
            message = "Record not unique: " + std::to_string(affected) +
                      " records match the row's original values";
          }
        }
        if (message.empty()) continue;
        connection.Execute(std::string("ROLLBACK TRANSACTION ") + kSavepoint);
      }
      PacketRow failed = row;
      failed.has_error = true;
      failed.error_code = code;
      failed.error_message = message;
      errors.rows.push_back(std::move(failed));
      ++error_count;
      if (max_errors >= 0 && error_count > max_errors) {
        connection.RollbackTrans();
        rolled_back = true;
        break;
      }
    }
    if (!rolled_back) connection.CommitTrans();
  } catch (...) {
    // A failure outside the rows (the transaction itself): nothing of the
    // delta may stay half-written.
    if (!rolled_back) {
      try {
        connection.RollbackTrans();
      } catch (...) {
      }
    }
    throw;
  }
  if (errors.rows.empty()) return Variant::Null();
  return errors.ToVariant();
}

Variant ApplyUpdates(const ProviderInfo& provider, db::DataSet* dataset, db::Connection& connection,
                     const Variant& delta, int32_t max_errors, int32_t& error_count) {
  error_count = 0;
  if (dataset == nullptr) throw std::runtime_error("Missing data provider or data packet");
  DataPacket packet = DataPacket::FromVariant(delta);
  // Which fields locate a row and which are written is the server's to
  // say, not the client's: a delta that flags another field as the key
  // could otherwise reach rows it never read.
  if (provider.fixed_fields) {
    TakeServerFlags(packet, VipCardsFields());
  } else if (dataset->Active()) {
    TakeServerFlags(packet, PacketFieldsOf(dataset->Records()));
  }
  std::string table;
  if (auto* query = dynamic_cast<db::Query*>(dataset)) table = TableOfQuery(query->Sql());
  if (table.empty() && dataset->Active()) {
    for (const db::FieldDef& def : dataset->Records().FieldDefs()) {
      if (!def.base_table.empty()) {
        table = db::QuoteIdentifier(def.base_table);
        break;
      }
    }
  }
  return ApplyDelta(connection, packet, table, provider.update_mode, max_errors, error_count);
}

}  // namespace tillbase::session

// Applying a client's delta (AS_ApplyUpdates): one generated INSERT, UPDATE
// or DELETE per changed row, all in one transaction, every value bound as a
// parameter of the statement (never pasted into its text).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "db/connection.h"
#include "db/dataset.h"
#include "server/session/provider_catalogue.h"
#include "shared/data_packet.h"

namespace tillbase::session {

// A statement with placeholders @P1, @P2, ... and their values in order.
struct BoundStatement {
  std::string sql;
  std::vector<Variant> values;
  std::vector<int> data_types;  // the field's data type code of each value
  bool Empty() const { return sql.empty(); }
};

// The statement for one delta row; empty for an unchanged row and for a
// modified row whose values all equal their originals.
//   inserted: INSERT INTO t (fields given a value) VALUES (...); read-only
//             and auto-increment fields and Empty (unassigned) values are
//             left to the table's defaults;
//   modified: UPDATE t SET (changed writable fields) WHERE (locator);
//   deleted:  DELETE FROM t WHERE (locator).
// The locator compares the row's original values: in key-only mode those
// of the key fields, in all mode those of every field but large objects
// (which do not compare); a Null original matches IS NULL. Raises when
// key-only mode finds no key field.
BoundStatement StatementForRow(const DataPacket& delta, const PacketRow& row,
                               std::string_view table, UpdateMode mode);

// The table a "select ... from <table> ..." text reads; "" when the text
// names none that can be told.
std::string TableOfQuery(std::string_view sql);

// Runs a bound statement on the connection; the rows it affected.
int64_t ExecuteBound(db::Connection& connection, const BoundStatement& statement);

// Applies the delta to `table` in one transaction. A row whose statement
// fails, or that locates no row (changed or deleted by someone else),
// counts as an error. When more than max_errors rows fail (max_errors -1:
// no limit), everything is rolled back; otherwise the rows that worked are
// committed. error_count: the rows that failed. Returns the error packet
// holding those rows with their messages, or Null when none failed.
Variant ApplyDelta(db::Connection& connection, const DataPacket& delta, std::string_view table,
                   UpdateMode mode, int32_t max_errors, int32_t& error_count);

// AS_ApplyUpdates on a provider: the table is the one its dataset's query
// reads (for a stored procedure, the base table its fields come from).
Variant ApplyUpdates(const ProviderInfo& provider, db::DataSet* dataset, db::Connection& connection,
                     const Variant& delta, int32_t max_errors, int32_t& error_count);

}  // namespace tillbase::session

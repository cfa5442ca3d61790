// What the dataset components (StoredProc, Query) share: the connection,
// the fixed settings (cache size, BCD, command time-out), open and close,
// and the record set of an open dataset.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "db/record_set.h"

namespace tillbase::db {

class Connection;

class DataSet {
 public:
  explicit DataSet(Connection* connection = nullptr);
  virtual ~DataSet();
  DataSet(const DataSet&) = delete;
  DataSet& operator=(const DataSet&) = delete;

  // Changing the connection of an open dataset raises the open-dataset
  // error.
  void SetConnection(Connection* connection);
  Connection* connection() const { return connection_; }

  // Rows fetched from the database per round trip (default 1000).
  void SetCacheSize(int rows) { cache_size_ = rows > 0 ? rows : 1; }
  int CacheSize() const { return cache_size_; }
  // BCD off (false) delivers exact decimals as doubles (default on).
  void SetEnableBcd(bool on) { enable_bcd_ = on; }
  bool EnableBcd() const { return enable_bcd_; }
  // Seconds, 0 = no limit (default 30).
  void SetCommandTimeout(int seconds) { command_timeout_ = seconds; }
  int CommandTimeout() const { return command_timeout_; }

  // Runs the statement and keeps its first result set. A statement without
  // one raises "CommandText does not return a result set". Opening an open
  // dataset does nothing.
  void Open();
  // Closing a closed dataset does nothing.
  void Close();
  bool Active() const { return records_ != nullptr; }

  // The open record set; "Cannot perform this operation on a closed
  // dataset" when closed.
  RecordSet& Records();
  // Shorthands on the record set.
  void First() { Records().First(); }
  void Next() { Records().Next(); }
  bool Eof() { return Records().Eof(); }
  Field& FieldByName(std::string_view name) { return Records().FieldByName(name); }
  Field& Fields(int index) { return Records().Fields(index); }
  int FieldCount() { return Records().FieldCount(); }

  // Called by a Connection that goes away first: closes the dataset and
  // leaves it without a connection.
  void ConnectionGone();

  // A client-side filter on a column value, kept across Open and Close.
  void SetFilter(std::string field_name, Variant value);
  void ClearFilter();

 protected:
  // The driver connection with this dataset's time-out applied; raises when
  // there is no open connection.
  DriverConnection& PrepareDriver();
  // Starts the statement; the cursor is read until its first result set.
  virtual std::unique_ptr<BatchCursor> StartCursor() = 0;
  virtual void OnClose() {}

 private:
  Connection* connection_ = nullptr;
  int cache_size_ = 1000;
  bool enable_bcd_ = true;
  int command_timeout_ = 30;
  std::unique_ptr<RecordSet> records_;
  std::optional<std::pair<std::string, Variant>> filter_;
};

}  // namespace tillbase::db

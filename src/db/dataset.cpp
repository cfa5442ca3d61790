#include "db/dataset.h"

#include "db/connection.h"
#include "db/errors.h"

namespace tillbase::db {

DataSet::DataSet(Connection* connection) : connection_(connection) {
  if (connection_ != nullptr) connection_->Attach(this);
}

DataSet::~DataSet() {
  records_.reset();
  if (connection_ != nullptr) connection_->Detach(this);
}

void DataSet::SetConnection(Connection* connection) {
  if (connection == connection_) return;
  if (Active()) throw OpenDatasetError();
  if (connection_ != nullptr) connection_->Detach(this);
  connection_ = connection;
  if (connection_ != nullptr) connection_->Attach(this);
}

void DataSet::ConnectionGone() {
  Close();
  connection_ = nullptr;
}

DriverConnection& DataSet::PrepareDriver() {
  if (connection_ == nullptr) throw DbError("Missing Connection or ConnectionString");
  DriverConnection& driver = connection_->driver();
  driver.SetCommandTimeout(command_timeout_);
  return driver;
}

void DataSet::Open() {
  if (Active()) return;
  std::unique_ptr<BatchCursor> cursor = StartCursor();
  if (!cursor->NextResultSet()) throw NoResultSetError();
  auto records = std::make_unique<RecordSet>(std::move(cursor), enable_bcd_, cache_size_);
  if (filter_) records->SetFilter(filter_->first, filter_->second);
  records_ = std::move(records);
}

void DataSet::Close() {
  if (!Active()) return;
  records_.reset();
  OnClose();
}

RecordSet& DataSet::Records() {
  if (!Active()) throw ClosedDatasetError();
  return *records_;
}

void DataSet::SetFilter(std::string field_name, Variant value) {
  if (Active()) records_->SetFilter(field_name, value);
  filter_.emplace(std::move(field_name), std::move(value));
}

void DataSet::ClearFilter() {
  filter_.reset();
  if (Active()) records_->ClearFilter();
}

}  // namespace tillbase::db

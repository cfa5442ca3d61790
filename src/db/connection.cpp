#include "db/connection.h"

#include <algorithm>

#include "db/dataset.h"
#include "db/errors.h"
#include "db/text_util.h"

namespace tillbase::db {
namespace {

constexpr const char* kPropertyNames[] = {"Data Source",         "Initial Catalog",
                                          "User Id",             "PASSWORD",
                                          "Integrated Security", "Persist Security Info"};

// A value of the provider's connection string, quoted when it would
// otherwise end the pair early.
std::string ConnectionStringValue(const std::string& value) {
  bool needs_quotes = value.find(';') != std::string::npos ||
                      value.find('"') != std::string::npos ||
                      value.find('\'') != std::string::npos ||
                      (!value.empty() && (value.front() == ' ' || value.back() == ' '));
  if (!needs_quotes) return value;
  if (value.find('"') == std::string::npos) return "\"" + value + "\"";
  if (value.find('\'') == std::string::npos) return "'" + value + "'";
  std::string doubled;
  for (char c : value) {
    doubled.push_back(c);
    if (c == '"') doubled.push_back('"');
  }
  return "\"" + doubled + "\"";
}

}  // namespace

bool IsIntegratedSecurity(std::string_view value) {
  value = TrimBlanks(value);
  return EqualsNoCase(value, "SSPI") || EqualsNoCase(value, "true") || EqualsNoCase(value, "yes");
}

Connection::Connection(DriverSettings settings) : settings_(std::move(settings)) {
  for (const char* name : kPropertyNames) properties_.push_back({name, "", false});
}

Connection::~Connection() {
  try {
    Close();
  } catch (...) {
    // A destructor cannot report; the database ends the session anyway.
  }
  // Datasets that outlive their connection must not reach back into it.
  std::vector<DataSet*> datasets = std::move(datasets_);
  for (DataSet* dataset : datasets) dataset->ConnectionGone();
}

Connection::PropertyValue* Connection::FindProperty(std::string_view name) {
  name = TrimBlanks(name);
  for (PropertyValue& p : properties_) {
    if (EqualsNoCase(p.name, name)) return &p;
  }
  return nullptr;
}

const Connection::PropertyValue* Connection::FindProperty(std::string_view name) const {
  return const_cast<Connection*>(this)->FindProperty(name);
}

void Connection::SetProperty(std::string_view name, std::string value) {
  PropertyValue* p = FindProperty(name);
  if (p == nullptr) throw DbError("Unknown connection property '" + std::string(name) + "'");
  p->value = std::move(value);
  p->set = true;
}

std::string Connection::Property(std::string_view name) const {
  const PropertyValue* p = FindProperty(name);
  if (p == nullptr) throw DbError("Unknown connection property '" + std::string(name) + "'");
  return p->value;
}

bool Connection::HasProperty(std::string_view name) const {
  const PropertyValue* p = FindProperty(name);
  return p != nullptr && p->set;
}

void Connection::ClearProperties() {
  for (PropertyValue& p : properties_) {
    p.value.clear();
    p.set = false;
  }
}

bool Connection::PersistSecurityInfo() const {
  std::string_view v = TrimBlanks(Property("Persist Security Info"));
  return EqualsNoCase(v, "True") || EqualsNoCase(v, "yes");
}

void Connection::SetCommandTimeout(int seconds) {
  command_timeout_ = seconds;
  if (driver_ != nullptr) driver_->SetCommandTimeout(seconds);
}

void Connection::Open() {
  if (Connected()) return;
  if (!EqualsNoCase(TrimBlanks(provider_), "SQLOLEDB.1") &&
      !EqualsNoCase(TrimBlanks(provider_), "SQLOLEDB")) {
    throw DbError("Provider cannot be found. It may not be properly installed.");
  }
  LoginInfo login;
  login.server = Property("Data Source");
  login.database = Property("Initial Catalog");
  login.integrated = IsIntegratedSecurity(Property("Integrated Security"));
  if (!login.integrated) {
    login.user = Property("User Id");
    login.password = Property("PASSWORD");
  }
  login.connect_timeout = connection_timeout_;
  std::unique_ptr<DriverConnection> driver = OpenDriverConnection(settings_, login);
  driver->SetCommandTimeout(command_timeout_);
  if (!default_database_.empty() && !EqualsNoCase(driver->CurrentDatabase(), default_database_)) {
    driver->ChangeDatabase(default_database_);  // a failure drops the new connection
  }
  {
    std::lock_guard<std::mutex> lock(cancel_mutex_);
    driver_ = std::move(driver);
  }
  opened_once_ = true;
}

void Connection::Close() {
  // Datasets first: their cursors belong to the driver connection.
  std::vector<DataSet*> datasets = datasets_;
  for (DataSet* dataset : datasets) dataset->Close();
  std::unique_ptr<DriverConnection> old;
  {
    std::lock_guard<std::mutex> lock(cancel_mutex_);
    old = std::move(driver_);
  }
}

DriverConnection& Connection::driver() {
  if (driver_ == nullptr) throw NotConnectedError();
  return *driver_;
}

void Connection::BeginTrans() { driver().BeginTransaction(); }
void Connection::CommitTrans() { driver().Commit(); }
void Connection::RollbackTrans() { driver().Rollback(); }
bool Connection::InTransaction() { return Connected() && driver().TransactionCount() > 0; }

int64_t Connection::Execute(std::string_view sql) {
  if (TrimBlanks(sql).empty()) throw NoCommandTextError();
  DriverConnection& d = driver();
  d.SetCommandTimeout(command_timeout_);
  std::unique_ptr<BatchCursor> cursor = d.ExecuteBatch(sql);
  cursor->Drain();
  return cursor->RowsAffected();
}

std::string Connection::CurrentDatabase() { return driver().CurrentDatabase(); }

void Connection::Cancel() {
  std::lock_guard<std::mutex> lock(cancel_mutex_);
  if (driver_ != nullptr) driver_->Cancel();
}

std::string Connection::ConnectionString() const {
  std::string out = "Provider=SQLOLEDB.1";
  auto add = [&out](const char* key, const std::string& value) {
    out += ";";
    out += key;
    out += "=";
    out += ConnectionStringValue(value);
  };
  const bool integrated = IsIntegratedSecurity(Property("Integrated Security"));
  if (integrated) {
    add("Integrated Security", Property("Integrated Security"));
    if (HasProperty("Persist Security Info")) {
      add("Persist Security Info", Property("Persist Security Info"));
    }
  } else {
    // Once opened, the provider forgets the password unless told to keep it.
    if (HasProperty("PASSWORD") && (!opened_once_ || PersistSecurityInfo())) {
      add("Password", Property("PASSWORD"));
    }
    if (HasProperty("Persist Security Info")) {
      add("Persist Security Info", Property("Persist Security Info"));
    }
    if (HasProperty("User Id")) add("User ID", Property("User Id"));
  }
  if (HasProperty("Initial Catalog")) add("Initial Catalog", Property("Initial Catalog"));
  if (HasProperty("Data Source")) add("Data Source", Property("Data Source"));
  return out;
}

void Connection::Attach(DataSet* dataset) { datasets_.push_back(dataset); }

void Connection::Detach(DataSet* dataset) {
  datasets_.erase(std::remove(datasets_.begin(), datasets_.end(), dataset), datasets_.end());
}

}  // namespace tillbase::db

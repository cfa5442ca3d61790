#include "db/connection.h"

#include <algorithm>

#include "db/dataset.h"
#include "db/errors.h"
#include "db/query.h"
#include "db/text_util.h"

namespace tillbase::db {
namespace {

constexpr const char* kPropertyNames[] = {
    "Data Source", "Initial Catalog",     "User Id",
    "PASSWORD",    "Integrated Security", "Persist Security Info"};

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

// Keywords of the provider that tune its own work; nothing here needs them.
constexpr std::string_view kIgnoredKeywords[] = {
    "Use Procedure for Prepare",
    "Auto Translate",
    "Packet Size",
    "Use Encryption for Data",
    "Tag with column collation when possible",
    "Workstation ID",
    "Application Name",
    "Network Library",
    "Network Address",
    "Current Language",
    "Initial File Name",
    "Trust Server Certificate",
    "MARS Connection",
    "DataTypeCompatibility",
    "Prompt",
    "Locale Identifier",
    "Mode",
};

// "k=v;k2='v;2'" -> pairs; a value in double or single quotes may hold ";"
// (a doubled quote is one quote).
std::vector<std::pair<std::string, std::string>> ParseProviderString(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> out;
  size_t i = 0;
  while (i < text.size()) {
    size_t eq = text.find_first_of("=;", i);
    if (eq == std::string_view::npos || text[eq] == ';') {
      std::string_view rest =
          TrimBlanks(text.substr(i, eq == std::string_view::npos ? text.npos : eq - i));
      if (!rest.empty()) {
        throw DbError("Invalid connection string attribute '" + std::string(rest) + "'");
      }
      if (eq == std::string_view::npos) break;
      i = eq + 1;
      continue;
    }
    std::string key(TrimBlanks(text.substr(i, eq - i)));
    i = eq + 1;
    while (i < text.size() && text[i] == ' ') ++i;
    std::string value;
    if (i < text.size() && (text[i] == '"' || text[i] == '\'')) {
      const char quote = text[i++];
      bool closed = false;
      while (i < text.size()) {
        if (text[i] == quote) {
          if (i + 1 < text.size() && text[i + 1] == quote) {
            value.push_back(quote);
            i += 2;
            continue;
          }
          ++i;
          closed = true;
          break;
        }
        value.push_back(text[i++]);
      }
      if (!closed) throw DbError("Invalid connection string attribute '" + key + "'");
      size_t semi = text.find(';', i);
      i = semi == std::string_view::npos ? text.size() : semi + 1;
    } else {
      size_t semi = text.find(';', i);
      value = std::string(
          TrimBlanks(text.substr(i, semi == std::string_view::npos ? text.npos : semi - i)));
      i = semi == std::string_view::npos ? text.size() : semi + 1;
    }
    out.emplace_back(std::move(key), std::move(value));
  }
  return out;
}

}  // namespace

bool TryParseSeconds(std::string_view text, int32_t* seconds) {
  text = TrimBlanks(text);
  if (text.empty() || text.size() > 9) return false;
  int32_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  *seconds = v;
  return true;
}

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
  const std::string value = Property("Persist Security Info");
  std::string_view v = TrimBlanks(value);
  return EqualsNoCase(v, "True") || EqualsNoCase(v, "yes");
}

void Connection::SetConnectionString(std::string_view text) {
  auto pairs = ParseProviderString(text);
  // Check every keyword before anything changes.
  for (const auto& [key, value] : pairs) {
    bool known = EqualsNoCase(key, "Provider") || EqualsNoCase(key, "User ID") ||
                 EqualsNoCase(key, "Password") || EqualsNoCase(key, "Connect Timeout") ||
                 FindProperty(key) != nullptr;
    for (std::string_view ignored : kIgnoredKeywords) known = known || EqualsNoCase(key, ignored);
    if (!known) throw DbError("Invalid connection string attribute '" + key + "'");
    if (EqualsNoCase(key, "Connect Timeout")) {
      int32_t seconds = 0;
      if (!TryParseSeconds(value, &seconds)) {
        throw DbError("Invalid connection string attribute 'Connect Timeout'");
      }
    }
  }
  ClearProperties();
  for (const auto& [key, value] : pairs) {
    if (EqualsNoCase(key, "Provider")) {
      provider_ = value;
    } else if (EqualsNoCase(key, "User ID")) {
      SetProperty("User Id", value);
    } else if (EqualsNoCase(key, "Password")) {
      SetProperty("PASSWORD", value);
    } else if (EqualsNoCase(key, "Connect Timeout")) {
      int32_t seconds = 0;
      TryParseSeconds(value, &seconds);
      connection_timeout_ = seconds;
    } else if (FindProperty(key) != nullptr) {
      SetProperty(key, value);
    }
  }
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
  return ExecuteText(this, sql, command_timeout_);
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

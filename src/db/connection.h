// The database connection component: the connection properties of SQL
// Server's OLE DB provider, the default database, open and close,
// transactions, time-outs and statements, over the driver that the home's
// settings choose.
//
// A Connection and its datasets are used by one thread at a time (a
// session's); only Cancel() may be called from another thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "db/driver.h"

namespace tillbase::db {

class DataSet;

class Connection {
 public:
  explicit Connection(DriverSettings settings = {});
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Takes effect at the next Open.
  void SetDriverSettings(DriverSettings settings) { settings_ = std::move(settings); }
  const DriverSettings& driver_settings() const { return settings_; }

  // "SQLOLEDB.1" in any letter case (the default); any other provider fails
  // at Open with "Provider cannot be found. It may not be properly installed."
  void SetProvider(std::string provider) { provider_ = std::move(provider); }
  const std::string& Provider() const { return provider_; }

  // The properties "Data Source", "Initial Catalog", "User Id", "PASSWORD",
  // "Integrated Security" and "Persist Security Info", names without regard
  // to case. Another name raises "Unknown connection property '<name>'".
  // An unset property reads as the empty text.
  void SetProperty(std::string_view name, std::string value);
  std::string Property(std::string_view name) const;
  bool HasProperty(std::string_view name) const;
  void ClearProperties();

  // Sets the properties from a connection string in the provider's form
  // ("Provider=SQLOLEDB.1;Data Source=srv;User ID=sa;Password=...;...").
  // "User ID" and "Password" name "User Id" and "PASSWORD"; "Connect
  // Timeout" sets the connection time-out; the provider's tuning keywords
  // ("Packet Size", "Auto Translate", ...) are accepted and have no effect
  // here. Any other keyword raises "Invalid connection string attribute
  // '<key>'". Properties the string does not name are cleared.
  void SetConnectionString(std::string_view text);

  // The database made current right after the connection opens.
  void SetDefaultDatabase(std::string database) { default_database_ = std::move(database); }
  const std::string& DefaultDatabase() const { return default_database_; }

  // Seconds, 0 = no limit. The command time-out is that of statements run
  // through the connection itself (Execute, transactions); datasets have
  // their own.
  void SetCommandTimeout(int seconds);
  int CommandTimeout() const { return command_timeout_; }
  void SetConnectionTimeout(int seconds) { connection_timeout_ = seconds; }
  int ConnectionTimeout() const { return connection_timeout_; }

  // Opening an open connection does nothing. A failed Open leaves the
  // connection closed and raises the database's message.
  void Open();
  // Closes the datasets on this connection, then the connection; an open
  // transaction is rolled back by the database.
  void Close();
  bool Connected() const { return driver_ != nullptr; }

  // Transactions of the database session; return / raise what it reports.
  void BeginTrans();
  void CommitTrans();
  void RollbackTrans();
  bool InTransaction();

  // Runs a batch without fetching rows; returns the rows affected as the
  // database reports them for the batch (-1 when it reports none).
  int64_t Execute(std::string_view sql);

  // The connection string in the provider's form:
  // Provider=SQLOLEDB.1;Password=...;Persist Security Info=True;User ID=...;
  // Initial Catalog=...;Data Source=...  Once the connection has opened,
  // the password appears only when "Persist Security Info" is True.
  std::string ConnectionString() const;

  // The database the open connection is in.
  std::string CurrentDatabase();

  // Interrupts the statement running on this connection (any thread).
  void Cancel();

  // The open driver connection; "Operation is not allowed when the object
  // is closed." when closed. For the components.
  DriverConnection& driver();

  // Datasets register themselves so that Close can close them first.
  void Attach(DataSet* dataset);
  void Detach(DataSet* dataset);

 private:
  struct PropertyValue {
    std::string name;  // canonical spelling
    std::string value;
    bool set = false;
  };
  PropertyValue* FindProperty(std::string_view name);
  const PropertyValue* FindProperty(std::string_view name) const;
  bool PersistSecurityInfo() const;

  DriverSettings settings_;
  std::string provider_ = "SQLOLEDB.1";
  std::vector<PropertyValue> properties_;
  std::string default_database_;
  int command_timeout_ = 30;
  int connection_timeout_ = 15;
  bool opened_once_ = false;
  std::unique_ptr<DriverConnection> driver_;
  std::mutex cancel_mutex_;  // guards driver_ against Cancel from another thread
  std::vector<DataSet*> datasets_;
};

// Reads a whole number of seconds (digits only).
bool TryParseSeconds(std::string_view text, int32_t* seconds);

// Whether an "Integrated Security" value asks for integrated login.
bool IsIntegratedSecurity(std::string_view value);

}  // namespace tillbase::db

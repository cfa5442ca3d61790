// A fresh embedded database for each test: a temporary data directory and
// an open Connection logged in as sa.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "db/connection.h"

namespace tillbase::db::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tillbase-db-XXXXXX").string();
    char* made = mkdtemp(pattern.data());
    if (made == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = made;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline DriverSettings EmbeddedSettings(const std::string& data_dir) {
  DriverSettings settings;
  settings.driver = "embedded";
  settings.data_dir = data_dir;
  return settings;
}

// Properties set as a session's ConnectDB sets them for a SQL Server login.
inline void SetSqlLogin(Connection& connection, const std::string& database,
                        const std::string& password = "secret") {
  connection.SetProvider("sqloledb.1");
  connection.SetProperty("Data Source", "(local)");
  connection.SetProperty("Initial Catalog", database);
  connection.SetProperty("Persist Security Info", "True");
  connection.SetProperty("User Id", "sa");
  if (!password.empty()) connection.SetProperty("PASSWORD", password);
}

class EmbeddedDbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    connection_ = std::make_unique<Connection>(EmbeddedSettings(dir_.path()));
    SetSqlLogin(*connection_, "master");
    connection_->SetCommandTimeout(0);
    connection_->Open();
  }

  Connection& connection() { return *connection_; }
  // Runs setup SQL and fails the test on a database error.
  void Exec(const std::string& sql) { connection_->Execute(sql); }

  TempDir dir_;
  std::unique_ptr<Connection> connection_;
};

}  // namespace tillbase::db::testing

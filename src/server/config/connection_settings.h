// The server's settings: section SERVER of CONFIG.INI in the home, and the
// database password in the per-user store. Every call opens the file anew;
// nothing is cached, so what one part writes the next read of any other
// part sees.
#pragma once

#include <string>
#include <string_view>

#include "server/config/user_store.h"

namespace tillbase::config {

// Keys of section SERVER.
inline constexpr std::string_view kServerSection = "SERVER";
inline constexpr std::string_view kConfigFileName = "CONFIG.INI";
inline constexpr std::string_view kKeyDBServerName = "DBServerName";
inline constexpr std::string_view kKeyDataBaseName = "DataBaseName";
inline constexpr std::string_view kKeyLoginName = "LoginName";
inline constexpr std::string_view kKeyDBPassword = "DBPassword";
inline constexpr std::string_view kKeyWindowsSecurity = "WindowsSecurity";
inline constexpr std::string_view kKeyCommandTimeout = "COMMANDTIMEOUT";
inline constexpr std::string_view kKeyAddress = "ADDRESS";
inline constexpr std::string_view kKeySerName = "SERNAME";
inline constexpr std::string_view kKeyPassword = "PASSWORD";
inline constexpr std::string_view kKeyAutoConnect = "AUTOCONNECT";
inline constexpr std::string_view kKeyConnectTime = "CONNECT_TIME";
// The per-user string that holds the database password.
inline constexpr std::string_view kUserStoreDatabase = "Database";
// COMMANDTIMEOUT when absent or not a whole number.
inline constexpr int kDefaultCommandTimeout = 30;

// The connection settings record: five strings in this order.
struct TConnectionString {
  std::string DBServerName;
  std::string DataBaseName;  // carried, not used for connecting
  std::string LoginName;
  std::string DBPassword;
  std::string WindowsSecurity;  // "True" for the integrated (Windows) login
  friend bool operator==(const TConnectionString&, const TConnectionString&) = default;
};

// WindowsSecurity upper-cased is "TRUE": the integrated login, not a SQL
// Server login with name and password.
bool UsesIntegratedLogin(const TConnectionString& settings);

// The settings of one home and one user.
class ServerSettings {
 public:
  ServerSettings(std::string program_dir, UserStore user_store);
  // The process's home (ProgramDir) and the current user's store.
  static ServerSettings ForProcess();

  const std::string& program_dir() const { return program_dir_; }
  // ProgramDir followed by "/CONFIG.INI".
  std::string ConfigPath() const;

  // The key's value in section SERVER, or the default when absent.
  std::string ReadServerSetting(std::string_view key, std::string_view default_value = {}) const;
  // Writes the value into section SERVER; raises ConfigError
  // "Unable to write to <full path of CONFIG.INI>" when it cannot.
  void WriteServerSetting(std::string_view key, std::string_view value) const;

  // DBServerName, DataBaseName, LoginName and WindowsSecurity from the file,
  // the password only from the per-user store (the file's DBPassword is
  // never read); a store that cannot be opened gives an empty password.
  void LoadConnectionSettings(TConnectionString& settings) const;
  TConnectionString LoadConnectionSettings() const;
  // Writes the five keys in record order, the password included, then the
  // password into the per-user store (skipped when the store cannot be
  // opened). A key that fails to write stops the operation there: later keys
  // and the store keep their values.
  void SaveConnectionSettings(const TConnectionString& settings) const;

  // COMMANDTIMEOUT in seconds (0 = no limit); 30 when absent or not a whole
  // number.
  int ReadCommandTimeout() const;
  // AUTOCONNECT is exactly "1".
  bool ReadAutoConnect() const;
  // CONNECT_TIME as an integer, 0 when absent or not a whole number.
  int ReadConnectTime() const;

 private:
  std::string program_dir_;
  UserStore user_store_;
};

// The same for the process's home and user: the one way other parts reach
// the settings.
std::string ReadServerSetting(std::string_view key, std::string_view default_value = {});
void WriteServerSetting(std::string_view key, std::string_view value);
void LoadConnectionSettings(TConnectionString& settings);
void SaveConnectionSettings(const TConnectionString& settings);

}  // namespace tillbase::config

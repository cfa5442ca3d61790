#include "server/config/connection_settings.h"

#include "server/config/home.h"
#include "server/config/ini_file.h"
#include "shared/value_format.h"

namespace tillbase::config {
namespace {

std::string AsciiUpper(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  }
  return text;
}

}  // namespace

bool UsesIntegratedLogin(const TConnectionString& settings) {
  return AsciiUpper(settings.WindowsSecurity) == "TRUE";
}

ServerSettings::ServerSettings(std::string program_dir, UserStore user_store)
    : program_dir_(std::move(program_dir)), user_store_(std::move(user_store)) {}

ServerSettings ServerSettings::ForProcess() {
  return ServerSettings(ProgramDir(), UserStore::ForCurrentUser());
}

std::string ServerSettings::ConfigPath() const { return JoinPath(program_dir_, kConfigFileName); }

std::string ServerSettings::ReadServerSetting(std::string_view key,
                                              std::string_view default_value) const {
  return IniFile(ConfigPath()).ReadString(kServerSection, key, default_value);
}

void ServerSettings::WriteServerSetting(std::string_view key, std::string_view value) const {
  IniFile(ConfigPath()).WriteString(kServerSection, key, value);
}

void ServerSettings::LoadConnectionSettings(TConnectionString& settings) const {
  settings.DBServerName = ReadServerSetting(kKeyDBServerName, "");
  settings.DataBaseName = ReadServerSetting(kKeyDataBaseName, "");
  settings.LoginName = ReadServerSetting(kKeyLoginName, "");
  settings.WindowsSecurity = ReadServerSetting(kKeyWindowsSecurity, "");
  settings.DBPassword = user_store_.Read(kUserStoreDatabase).value_or("");
}

TConnectionString ServerSettings::LoadConnectionSettings() const {
  TConnectionString settings;
  LoadConnectionSettings(settings);
  return settings;
}

void ServerSettings::SaveConnectionSettings(const TConnectionString& settings) const {
  WriteServerSetting(kKeyDBServerName, settings.DBServerName);
  WriteServerSetting(kKeyDataBaseName, settings.DataBaseName);
  WriteServerSetting(kKeyLoginName, settings.LoginName);
  WriteServerSetting(kKeyDBPassword, settings.DBPassword);
  WriteServerSetting(kKeyWindowsSecurity, settings.WindowsSecurity);
  user_store_.Write(kUserStoreDatabase, settings.DBPassword);
}

int ServerSettings::ReadCommandTimeout() const {
  int32_t seconds = 0;
  if (!TryStrToInt(ReadServerSetting(kKeyCommandTimeout, ""), &seconds)) {
    return kDefaultCommandTimeout;
  }
  return seconds;
}

bool ServerSettings::ReadAutoConnect() const {
  return ReadServerSetting(kKeyAutoConnect, "") == "1";
}

int ServerSettings::ReadConnectTime() const {
  return IntOf(ReadServerSetting(kKeyConnectTime, ""));
}

std::string ReadServerSetting(std::string_view key, std::string_view default_value) {
  return ServerSettings::ForProcess().ReadServerSetting(key, default_value);
}

void WriteServerSetting(std::string_view key, std::string_view value) {
  ServerSettings::ForProcess().WriteServerSetting(key, value);
}

void LoadConnectionSettings(TConnectionString& settings) {
  ServerSettings::ForProcess().LoadConnectionSettings(settings);
}

void SaveConnectionSettings(const TConnectionString& settings) {
  ServerSettings::ForProcess().SaveConnectionSettings(settings);
}

}  // namespace tillbase::config

#include "server/config/user_store.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "server/config/atomic_file.h"
#include "server/config/config_error.h"

namespace tillbase::config {
namespace {

void CheckName(std::string_view name) {
  bool ok = !name.empty();
  for (char c : name) {
    ok = ok &&
         ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_');
  }
  if (!ok) throw ConfigError("Invalid name '" + std::string(name) + "' in the per-user store");
}

// Creates the directory and its missing parents; the store's own directory
// gets 0700. False when that is impossible or it is no usable directory.
bool OpenDirectory(const std::string& directory) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::path path(directory);
  if (!fs::exists(path, ec)) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
    if (::mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  return fs::is_directory(path, ec) && ::access(directory.c_str(), W_OK | X_OK) == 0;
}

}  // namespace

UserStore::UserStore(std::string directory) : directory_(std::move(directory)) {}

UserStore UserStore::ForCurrentUser() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  // Relative XDG paths are invalid by the convention and are ignored.
  if (xdg != nullptr && xdg[0] == '/') return UserStore(std::string(xdg) + "/tillbase");
  const char* home = std::getenv("HOME");
  std::string home_dir = home != nullptr && home[0] == '/' ? home : "";
  if (home_dir.empty()) {
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir) {
      home_dir = entry->pw_dir;
    }
  }
  if (home_dir.empty()) return UserStore("");
  return UserStore(home_dir + "/.config/tillbase");
}

std::string UserStore::FilePath(std::string_view name) const {
  CheckName(name);
  return directory_ + "/" + std::string(name);
}

std::optional<std::string> UserStore::Read(std::string_view name) const {
  std::string path = FilePath(name);
  if (directory_.empty()) return std::nullopt;
  try {
    return ReadWholeFile(path);
  } catch (const ConfigError&) {
    // An unreadable store is a store that cannot be opened: nothing is read.
    return std::nullopt;
  }
}

bool UserStore::Write(std::string_view name, std::string_view value) const {
  std::string path = FilePath(name);
  if (directory_.empty() || !OpenDirectory(directory_)) return false;
  ReplaceFile(path, value, 0600, /*exact_mode=*/true);
  return true;
}

bool UserStore::Remove(std::string_view name) const {
  std::string path = FilePath(name);
  if (directory_.empty()) return false;
  return ::unlink(path.c_str()) == 0;
}

}  // namespace tillbase::config

// The per-user store: a few named strings that belong to the user account
// the server runs under (the database password, "Database"). Each string is
// one file named after it in the store's directory, holding the string's
// bytes as they are; the directory is mode 0700, the files 0600.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tillbase::config {

class UserStore {
 public:
  // The store in `directory`; an empty directory is a store that cannot be
  // opened (reads find nothing, writes are skipped).
  explicit UserStore(std::string directory);
  // $XDG_CONFIG_HOME/tillbase, else $HOME/.config/tillbase, else the home
  // directory of the user's account entry.
  static UserStore ForCurrentUser();

  const std::string& directory() const { return directory_; }
  // The file of a name. Names are letters, digits and "_" only.
  std::string FilePath(std::string_view name) const;

  // The string; nullopt when it, or the store, does not exist.
  std::optional<std::string> Read(std::string_view name) const;
  // Stores the string, creating the directory when needed. Returns false,
  // writing nothing, when the directory cannot be created or opened; raises
  // ConfigError "Unable to write to <file>" when the file itself cannot be
  // written.
  bool Write(std::string_view name, std::string_view value) const;
  // Removes the string; false when there was none.
  bool Remove(std::string_view name) const;

 private:
  std::string directory_;
};

}  // namespace tillbase::config

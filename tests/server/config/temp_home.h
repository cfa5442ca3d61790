// A fresh directory per test, removed afterwards, with small file helpers.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace tillbase::config::testing {

class TempHome {
 public:
  TempHome() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "tillbase-config-XXXXXX").string();
    dir_ = ::mkdtemp(pattern.data());
  }
  ~TempHome() {
    std::error_code ec;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(dir_, ec);
  }
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::string& dir() const { return dir_; }
  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  void WriteFile(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
  }
  std::string ReadFile(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  // Names in the directory (temporary files left behind would show here).
  size_t EntryCount() const {
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir_)) ++n;
    return n;
  }

 private:
  std::string dir_;
};

// Permission checks do not stop the superuser.
inline bool RunningAsRoot() { return ::geteuid() == 0; }

}  // namespace tillbase::config::testing

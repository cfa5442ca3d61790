// A machine-wide named lock: an advisory lock (flock) on a file named after
// the lock in the runtime directory. It is held for the life of the object
// (and so of the process that keeps it) and vanishes with the process, even
// when the process is killed.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace tillbase::process {

// $XDG_RUNTIME_DIR when set and non-empty, else /tmp.
std::filesystem::path RuntimeDirectory();

class NamedLock {
 public:
  // Takes the lock, or returns nothing when another process holds it.
  // Throws when the lock file cannot be opened at all.
  static std::optional<NamedLock> TryAcquire(const std::string& name);
  // True when some process holds the lock (it is not taken by this call).
  static bool IsHeld(const std::string& name);

  NamedLock(NamedLock&& other) noexcept;
  NamedLock& operator=(NamedLock&& other) noexcept;
  NamedLock(const NamedLock&) = delete;
  NamedLock& operator=(const NamedLock&) = delete;
  ~NamedLock();

  void Release();
  const std::filesystem::path& path() const { return path_; }

 private:
  NamedLock(int fd, std::filesystem::path path) : fd_(fd), path_(std::move(path)) {}
  int fd_ = -1;
  std::filesystem::path path_;
};

}  // namespace tillbase::process

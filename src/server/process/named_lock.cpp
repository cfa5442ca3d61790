#include "server/process/named_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace tillbase::process {
namespace {

int OpenLockFile(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    throw std::runtime_error("cannot open lock file " + path.string() + ": " +
                             std::strerror(errno));
  }
  return fd;
}

}  // namespace

std::filesystem::path RuntimeDirectory() {
  const char* dir = std::getenv("XDG_RUNTIME_DIR");
  if (dir != nullptr && *dir != '\0') return dir;
  return "/tmp";
}

std::optional<NamedLock> NamedLock::TryAcquire(const std::string& name) {
  std::filesystem::path path = RuntimeDirectory() / name;
  int fd = OpenLockFile(path);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return std::nullopt;
  }
  return NamedLock(fd, std::move(path));
}

bool NamedLock::IsHeld(const std::string& name) {
  std::filesystem::path path = RuntimeDirectory() / name;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;  // never created: nobody holds it
  bool held = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
  ::close(fd);  // closing drops the probe's own lock, if it got one
  return held;
}

NamedLock::NamedLock(NamedLock&& other) noexcept : fd_(other.fd_), path_(std::move(other.path_)) {
  other.fd_ = -1;
}

NamedLock& NamedLock::operator=(NamedLock&& other) noexcept {
  if (this != &other) {
    Release();
    fd_ = other.fd_;
    path_ = std::move(other.path_);
    other.fd_ = -1;
  }
  return *this;
}

NamedLock::~NamedLock() { Release(); }

void NamedLock::Release() {
  if (fd_ >= 0) {
    ::close(fd_);  // the file stays; an unlocked file means "not held"
    fd_ = -1;
  }
}

}  // namespace tillbase::process

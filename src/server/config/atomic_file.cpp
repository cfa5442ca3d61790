#include "server/config/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "server/config/config_error.h"

namespace tillbase::config {

ConfigError UnableToWrite(const std::string& path) {
  return ConfigError("Unable to write to " + path);
}

namespace {

// Closes the descriptor and removes the temporary file unless released.
class TempFile {
 public:
  TempFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }
  bool Close() {
    int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }
  void Release() { path_.clear(); }

 private:
  int fd_;
  std::string path_;
};

std::string TempName(const std::filesystem::path& target) {
  static std::atomic<unsigned> counter{0};
  thread_local std::mt19937 random{std::random_device{}()};
  std::ostringstream name;
  name << '.' << target.filename().string() << '.' << ::getpid() << '.' << counter++ << '.'
       << std::hex << random() << ".tmp";
  return (target.parent_path() / name.str()).string();
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

std::optional<std::string> ReadWholeFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return std::nullopt;
    throw ConfigError("Unable to read " + path + ": " + std::strerror(errno));
  }
  std::string content;
  char buffer[8192];
  while (true) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      int error = errno;
      ::close(fd);
      throw ConfigError("Unable to read " + path + ": " + std::strerror(error));
    }
    if (n == 0) break;
    content.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return content;
}

void ReplaceFile(const std::string& path, std::string_view bytes, mode_t new_file_mode,
                 bool exact_mode) {
  namespace fs = std::filesystem;
  std::error_code ec;
  // Through a symbolic link the file it names is replaced, not the link.
  fs::path target = fs::is_symlink(path, ec) ? fs::weakly_canonical(path, ec) : fs::path(path);
  if (target.empty()) target = path;

  struct stat existing {};
  bool exists = ::stat(target.c_str(), &existing) == 0;
  // Renaming would get past a read-only file; refuse as writing in place would.
  if (exists && ::access(target.c_str(), W_OK) != 0) throw UnableToWrite(path);

  mode_t mode = exists && !exact_mode ? (existing.st_mode & 07777) : new_file_mode;
  std::string temp_path = TempName(target);
  // A new ordinary file gets its bits through the umask at creation; the
  // others are created private and then given their exact bits, so a secret
  // is never readable by others, not even for a moment.
  bool set_mode = exists || exact_mode;
  int fd =
      ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, set_mode ? 0600 : mode);
  if (fd < 0) throw UnableToWrite(path);
  TempFile temp(fd, temp_path);
  if (set_mode && ::fchmod(fd, mode) != 0) throw UnableToWrite(path);
  if (!WriteAll(fd, bytes) || ::fsync(fd) != 0 || !temp.Close()) throw UnableToWrite(path);
  if (::rename(temp_path.c_str(), target.c_str()) != 0) throw UnableToWrite(path);
  temp.Release();
  // Make the rename itself durable; a failure here loses nothing written.
  int dir_fd = ::open(target.parent_path().empty() ? "." : target.parent_path().c_str(),
                      O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    ::fsync(dir_fd);
    ::close(dir_fd);
  }
}

}  // namespace tillbase::config

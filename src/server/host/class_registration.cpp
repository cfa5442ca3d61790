#include "server/host/class_registration.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <utility>
#include <vector>

#include "rpc/identifiers.h"

namespace tillbase::host {
namespace fs = std::filesystem;
namespace {

fs::path XdgDir(const char* variable, const char* fallback_below_home) {
  const char* value = std::getenv(variable);
  if (value != nullptr && *value != '\0') return value;
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') {
    throw std::runtime_error(std::string("neither ") + variable + " nor HOME is set");
  }
  return fs::path(home) / fallback_below_home;
}

// Files written side by side first and put in place together, so that a
// failure leaves the previous registration (or none) as it was.
class StagedFiles {
 public:
  ~StagedFiles() {
    std::error_code ec;
    for (const auto& [temp, target] : staged_) fs::remove(temp, ec);
  }

  void Stage(const fs::path& path, const std::string& text) {
    std::error_code ec;
    fs::create_directories(path.parent_path(), ec);
    if (ec) {
      throw std::runtime_error("cannot create directory " + path.parent_path().string() + ": " +
                               ec.message());
    }
    fs::path temp = path;
    temp += ".tmp." + std::to_string(::getpid());
    staged_.emplace_back(temp, path);
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) throw std::runtime_error("cannot write " + path.string());
  }

  void Commit() {
    for (const auto& [temp, target] : staged_) {
      std::error_code ec;
      fs::rename(temp, target, ec);
      if (ec) throw std::runtime_error("cannot write " + target.string() + ": " + ec.message());
    }
    staged_.clear();
  }

 private:
  std::vector<std::pair<fs::path, fs::path>> staged_;
};

// systemd unit files take C-style escapes in quoted words.
std::string QuoteForUnit(const std::string& word) {
  std::string out = "\"";
  for (char c : word) {
    if (c == '"' || c == '\\') out += '\\';
    if (c == '%') {
      out += "%%";
      continue;
    }
    out += c;
  }
  return out + "\"";
}

}  // namespace

RegistrationPaths DefaultRegistrationPaths() {
  fs::path data = XdgDir("XDG_DATA_HOME", ".local/share");
  fs::path config = XdgDir("XDG_CONFIG_HOME", ".config");
  RegistrationPaths paths;
  paths.class_file = data / "tillbase" / "classes" / (std::string(rpc::kClassClsid) + ".class");
  paths.socket_unit = config / "systemd" / "user" / "tillbase-server.socket";
  paths.service_unit = config / "systemd" / "user" / "tillbase-server.service";
  return paths;
}

void RegisterServer(const RegistrationPaths& paths, const RegistrationTarget& target) {
  std::ostringstream cls;
  cls << "[CLSID\\" << rpc::kClassClsid << "]\n"
      << "ProgID=" << rpc::kProgId << "\n"
      << "Description=" << rpc::kClassDescription << "\n"
      << "LocalServer=" << target.server_path.string() << "\n"
      << "Sockets=1\n"
      << "Web=1\n";
  StagedFiles files;
  files.Stage(paths.class_file, cls.str());

  std::ostringstream socket;
  socket << "[Unit]\n"
         << "Description=" << rpc::kClassDescription << " (socket activation)\n\n"
         << "[Socket]\n"
         << "ListenStream=" << target.listen << "\n"
         << "Accept=no\n\n"
         << "[Install]\n"
         << "WantedBy=sockets.target\n";
  files.Stage(paths.socket_unit, socket.str());

  std::ostringstream service;
  service << "[Unit]\n"
          << "Description=" << rpc::kClassDescription << "\n"
          << "Requires=tillbase-server.socket\n\n"
          << "[Service]\n"
          << "Type=simple\n"
          << "ExecStart=" << QuoteForUnit(target.server_path.string()) << " -Embedding"
          << " --listen " << QuoteForUnit(target.listen);
  if (!target.home.empty()) service << " --home " << QuoteForUnit(target.home.string());
  service << "\n";
  files.Stage(paths.service_unit, service.str());
  files.Commit();
}

void UnregisterServer(const RegistrationPaths& paths) {
  for (const fs::path& path : {paths.class_file, paths.socket_unit, paths.service_unit}) {
    std::error_code ec;
    fs::remove(path, ec);
    if (ec) throw std::runtime_error("cannot remove " + path.string() + ": " + ec.message());
  }
}

}  // namespace tillbase::host

#include "server/config/home.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "server/config/config_error.h"

namespace tillbase::config {
namespace {

std::string WithoutTrailingSeparators(std::string path) {
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

std::string Absolute(const std::string& path) {
  std::error_code ec;
  std::filesystem::path absolute = std::filesystem::absolute(path, ec);
  if (ec) return WithoutTrailingSeparators(path);
  return WithoutTrailingSeparators(absolute.lexically_normal().string());
}

struct HomeSetting {
  std::mutex mutex;
  std::optional<std::string> dir;
};

HomeSetting& Setting() {
  static HomeSetting setting;
  return setting;
}

}  // namespace

std::string ProgramDirOf(std::string_view program_path) {
  size_t slash = program_path.rfind('/');
  if (slash == std::string_view::npos) return std::string();
  return std::string(program_path.substr(0, slash));
}

std::optional<std::string> HomeFromArguments(const std::vector<std::string>& args) {
  constexpr std::string_view kOption = "--home";
  for (size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg == kOption) {
      if (i + 1 >= args.size() || args[i + 1].empty()) {
        throw ConfigError("The option --home needs a directory");
      }
      return args[i + 1];
    }
    if (arg.substr(0, kOption.size() + 1) == "--home=") {
      if (arg.size() == kOption.size() + 1)
        throw ConfigError("The option --home needs a directory");
      return std::string(arg.substr(kOption.size() + 1));
    }
  }
  return std::nullopt;
}

std::string ResolveHome(const std::optional<std::string>& argument_home,
                        const char* environment_home, const std::string& executable_path) {
  if (argument_home) return Absolute(*argument_home);
  if (environment_home != nullptr && *environment_home != '\0') return Absolute(environment_home);
  return ProgramDirOf(executable_path);
}

std::string ExecutablePath() {
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : path.string();
}

std::string ProgramDir() {
  HomeSetting& setting = Setting();
  std::lock_guard lock(setting.mutex);
  if (!setting.dir) {
    setting.dir = ResolveHome(std::nullopt, std::getenv("TILLBASE_HOME"), ExecutablePath());
  }
  return *setting.dir;
}

void SetProgramDir(const std::string& dir) {
  HomeSetting& setting = Setting();
  std::lock_guard lock(setting.mutex);
  setting.dir = Absolute(dir);
}

std::string JoinPath(std::string_view dir, std::string_view name) {
  return std::string(dir) + "/" + std::string(name);
}

}  // namespace tillbase::config

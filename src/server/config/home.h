// The home: the directory that holds CONFIG.INI, BackUp/ and Data/ (on the
// original platform the program's own directory). It is, in this order, the
// directory given with --home DIR, the environment variable TILLBASE_HOME,
// or the directory of the executable. It is absolute and has no trailing
// separator.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tillbase::config {

// The path up to, not including, its last separator; "" when it has none
// ("/opt/tillbase/bin/tillbase-server" gives "/opt/tillbase/bin").
std::string ProgramDirOf(std::string_view program_path);

// The DIR of "--home DIR" or "--home=DIR" among the arguments (the program
// name not included); nullopt when absent. Raises ConfigError when --home
// has no directory after it.
std::optional<std::string> HomeFromArguments(const std::vector<std::string>& args);

// The home from the given sources, made absolute: `argument_home`, else
// `environment_home` (when set and not empty), else the directory of
// `executable_path`.
std::string ResolveHome(const std::optional<std::string>& argument_home,
                        const char* environment_home, const std::string& executable_path);

// The full path of the running executable (from /proc/self/exe).
std::string ExecutablePath();

// The process's home. Set once at start-up by the host from its command
// line; until then it is resolved from TILLBASE_HOME or the executable.
std::string ProgramDir();
void SetProgramDir(const std::string& dir);

// dir + "/" + name.
std::string JoinPath(std::string_view dir, std::string_view name);

}  // namespace tillbase::config

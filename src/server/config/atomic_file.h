// Reading a whole file and replacing it atomically. A replacement is written
// to a temporary file beside the target and renamed over it, so a crash never
// leaves a half-written file and a reader sees either the old or the new
// content.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace tillbase::config {

// The file's bytes; nullopt when it does not exist. Raises ConfigError
// "Unable to read <path>: <reason>" when it exists but cannot be read.
std::optional<std::string> ReadWholeFile(const std::string& path);

// Replaces (or creates) the file with `bytes`. An existing file keeps its
// permission bits and a new one gets `new_file_mode` less the umask; with
// `exact_mode` the file always gets exactly `new_file_mode` (secrets). A file
// that is read-only, or a directory where no file can be created, raises
// ConfigError "Unable to write to <path>".
void ReplaceFile(const std::string& path, std::string_view bytes, mode_t new_file_mode,
                 bool exact_mode = false);

}  // namespace tillbase::config

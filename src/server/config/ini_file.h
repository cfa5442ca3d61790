// A Windows-style initialisation file: "[section]" header lines followed by
// "key=value" lines, in the ANSI code page.
//
// It behaves as the system's initialisation-file routines do where files
// from existing installations rely on it:
//   - section and key names match without regard to ASCII letter case; the
//     first section and the first key of a name count;
//   - a missing file, section or key reads as the default;
//   - blanks around names and values are ignored, and a value between a pair
//     of double or single quotes is read without them;
//   - a value is read up to 2047 bytes of the file's code page (a character
//     cut in half there is left out);
//   - lines starting with ";" are comments.
// Writing changes the one line of the key and keeps every other line,
// comment and blank as it was, with the file's own line endings (CRLF for a
// new file). A new key goes after the last line of its section, a new
// section at the end of the file. Every change rewrites the file atomically
// (temporary file and rename) and nothing is cached: each call reads the
// file anew.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "shared/codepage.h"

namespace tillbase::config {

class IniFile {
 public:
  // The longest value a read returns, in bytes of the code page.
  static constexpr size_t kMaxValueBytes = 2047;

  explicit IniFile(std::string path, CodePage code_page = AnsiCodePage());

  const std::string& path() const { return path_; }

  // The value, or `default_value` when the file, section or key is missing.
  // A file that exists but cannot be read raises ConfigError; a value whose
  // bytes are no text of the code page raises CodePageError.
  std::string ReadString(std::string_view section, std::string_view key,
                         std::string_view default_value) const;
  bool SectionExists(std::string_view section) const;
  bool ValueExists(std::string_view section, std::string_view key) const;
  // Section names in file order (each name once, as first spelt).
  std::vector<std::string> ReadSections() const;
  // Key names of a section in file order.
  std::vector<std::string> ReadKeys(std::string_view section) const;

  // Sets one key, creating the file and the section when needed. Raises
  // ConfigError "Unable to write to <path>" when the file cannot be written,
  // and before touching anything when a name is unfit for the format (empty,
  // a line break, "=" in a key, "]" in a section) or the value holds a line
  // break (which would smuggle in other keys).
  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  // Sets several keys of one section in one atomic change, in the given order.
  void WriteStrings(std::string_view section,
                    const std::vector<std::pair<std::string, std::string>>& values);
  // Removes one key; nothing happens when it does not exist.
  void DeleteKey(std::string_view section, std::string_view key);
  // Removes the section's header and every line up to the next section;
  // nothing happens when it does not exist.
  void EraseSection(std::string_view section);

 private:
  std::string path_;
  CodePage code_page_;
};

}  // namespace tillbase::config

// The tillbase-sql command line: options and the run over a data directory.
// Kept apart from main() so that tests drive it in-process.
#pragma once

#include <istream>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace tillbase::engine::tools {

struct SqlToolOptions {
  std::string data_dir;                  // --data DIR
  std::string database;                  // -d; the login's default when empty
  std::optional<std::string> query;      // -Q "batch"
  std::vector<std::string> input_files;  // -i file (may repeat)
  std::string separator = " ";           // -s
  bool trim_trailing = false;            // -W
  int header_rows = 0;                   // -h; -1 prints no headers
  bool abort_on_error = false;           // -b
  std::optional<std::string> login;      // -U; integrated login when absent
  std::string password;                  // -P
  bool help = false;                     // -?
};

// A command line that cannot be used; the text says what was wrong.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads the arguments after the program name.
SqlToolOptions ParseSqlToolArgs(const std::vector<std::string>& args);

// The usage summary that -? prints.
std::string SqlToolUsage();

// Runs -Q, the -i files or else the script on `in`. Output goes to `out`
// as sqlcmd prints it, failures of the tool itself to `err`. Returns the
// exit status: 0, or 1 after an error under -b and after a failure of the
// tool itself (data directory, login, unreadable file).
int RunSqlTool(const SqlToolOptions& options, std::istream& in, std::ostream& out,
               std::ostream& err);

}  // namespace tillbase::engine::tools

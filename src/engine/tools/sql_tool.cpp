#include "engine/tools/sql_tool.h"

#include <unistd.h>

#include <climits>
#include <fstream>
#include <sstream>

#include "engine/engine.h"
#include "engine/tools/batch_splitter.h"
#include "engine/tools/sqlcmd_printer.h"

namespace tillbase::engine::tools {
namespace {

int ParseInt(const std::string& option, const std::string& text) {
  try {
    size_t used = 0;
    long v = std::stol(text, &used);
    if (used == text.size() && v >= INT_MIN && v <= INT_MAX) return static_cast<int>(v);
  } catch (const std::exception&) {
  }
  throw UsageError("option " + option + " needs a number, got '" + text + "'");
}

std::string HostName() {
  char buf[256] = {};
  if (gethostname(buf, sizeof buf - 1) != 0 || buf[0] == '\0') return "localhost";
  return buf;
}

bool ReadFile(const std::string& path, std::string& text) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  std::ostringstream ss;
  ss << f.rdbuf();
  text = ss.str();
  return !f.bad();
}

}  // namespace

std::string SqlToolUsage() {
  return "usage: tillbase-sql --data DIR [-d database] [-U login [-P password]]\n"
         "                    [-Q \"batch\" | -i file ...] [-s separator] [-W] [-h -1] [-b] [-?]\n"
         "  --data DIR   data directory of the embedded engine (created when empty)\n"
         "  -d database  database to use (default: the login's default database)\n"
         "  -U login     SQL login (default: the operating-system user)\n"
         "  -P password  password of the login\n"
         "  -Q batch     run the batch and exit\n"
         "  -i file      run the script file; batches end at GO lines\n"
         "  -s sep       column separator (default: one blank)\n"
         "  -W           remove trailing blanks, no column padding\n"
         "  -h -1        print no column headers (-h n: headers every n rows)\n"
         "  -b           stop at the first error and exit with status 1\n"
         "  -?           show this summary\n"
         "Without -Q and -i the script is read from standard input.\n";
}

SqlToolOptions ParseSqlToolArgs(const std::vector<std::string>& args) {
  SqlToolOptions o;
  bool have_data = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    // Options with a value take it from the next argument, or attached ("-dmaster").
    auto value = [&](const std::string& name) -> std::string {
      if (a.size() > name.size()) return a.substr(name.size());
      if (i + 1 >= args.size()) throw UsageError("option " + name + " needs a value");
      return args[++i];
    };
    if (a == "--data" || a.rfind("--data=", 0) == 0) {
      o.data_dir = a == "--data" ? value("--data") : a.substr(7);
      have_data = true;
    } else if (a == "-?" || a == "--help") {
      o.help = true;
    } else if (a == "-W") {
      o.trim_trailing = true;
    } else if (a == "-b") {
      o.abort_on_error = true;
    } else if (a.rfind("-d", 0) == 0) {
      o.database = value("-d");
    } else if (a.rfind("-Q", 0) == 0) {
      o.query = value("-Q");
    } else if (a.rfind("-i", 0) == 0) {
      o.input_files.push_back(value("-i"));
    } else if (a.rfind("-s", 0) == 0) {
      o.separator = value("-s");
    } else if (a.rfind("-h", 0) == 0) {
      o.header_rows = ParseInt("-h", value("-h"));
      if (o.header_rows < -1 || o.header_rows == 0) {
        throw UsageError("option -h takes -1 or a number of rows from 1 up");
      }
    } else if (a.rfind("-U", 0) == 0) {
      o.login = value("-U");
    } else if (a.rfind("-P", 0) == 0) {
      o.password = value("-P");
    } else {
      throw UsageError("unknown option '" + a + "'");
    }
  }
  if (o.help) return o;
  if (!have_data || o.data_dir.empty()) throw UsageError("--data DIR is required");
  if (o.query && !o.input_files.empty()) {
    throw UsageError("the -Q and -i options are mutually exclusive");
  }
  return o;
}

int RunSqlTool(const SqlToolOptions& options, std::istream& in, std::ostream& out,
               std::ostream& err) {
  if (options.help) {
    out << SqlToolUsage();
    return 0;
  }
  // Scripts are read before anything is opened, so a missing file changes nothing.
  std::vector<std::string> scripts;
  if (options.query) {
    scripts.push_back(*options.query);
  } else if (!options.input_files.empty()) {
    for (const std::string& path : options.input_files) {
      std::string text;
      if (!ReadFile(path, text)) {
        err << "tillbase-sql: cannot read input file '" << path << "'\n";
        return 1;
      }
      scripts.push_back(std::move(text));
    }
  } else {
    std::ostringstream ss;
    ss << in.rdbuf();
    scripts.push_back(ss.str());
  }

  const std::string server_name = HostName();
  std::unique_ptr<Connection> conn;
  try {
    EngineOptions eo;
    eo.data_dir = options.data_dir;
    eo.server_name = server_name;
    std::shared_ptr<Engine> engine = Engine::Open(eo);
    ConnectOptions co;
    if (options.login) {
      co.login = *options.login;
      co.password = options.password;
    } else {
      co.trusted = true;
    }
    if (!options.database.empty()) co.database = options.database;
    co.host_name = server_name;
    co.program_name = "tillbase-sql";
    conn = engine->Connect(co);
  } catch (const EngineError& e) {
    out << MessageHeader(e.message(), server_name) << '\n' << e.message().text << '\n';
    return 1;
  } catch (const std::exception& e) {
    err << "tillbase-sql: " << e.what() << '\n';
    return 1;
  }

  PrintOptions po;
  po.separator = options.separator;
  po.trim_trailing = options.trim_trailing;
  po.header_rows = options.header_rows;
  po.server_name = server_name;
  SqlcmdPrinter printer(out, po);
  bool any_error = false;
  for (const std::string& script : scripts) {
    std::vector<ScriptBatch> batches;
    try {
      batches = SplitBatches(script);
    } catch (const ScriptError& e) {
      out << "Sqlcmd: Error: Syntax error at line " << e.line() << ". " << e.what() << '\n';
      return 1;
    }
    for (const ScriptBatch& batch : batches) {
      for (int n = 0; n < batch.repeat; ++n) {
        printer.ResetError();
        try {
          conn->ExecuteBatch(batch.sql, printer);
        } catch (const EngineError& e) {
          // The connection is gone (killed, closed): nothing further can run.
          printer.OnMessage(e.message());
          out.flush();
          return 1;
        }
        if (printer.saw_error()) {
          any_error = true;
          if (options.abort_on_error) {
            out.flush();
            return 1;
          }
        }
      }
    }
  }
  out.flush();
  return options.abort_on_error && any_error ? 1 : 0;
}

}  // namespace tillbase::engine::tools

#include "server/host/command_line.h"

#include <charconv>

namespace tillbase::host {
namespace {

bool IsStartModeSwitch(const std::string& arg) {
  for (const char* name : {"AUTOMATION", "EMBEDDING", "REGSERVER", "UNREGSERVER"}) {
    if (IsSwitch(arg, name)) return true;
  }
  return false;
}

int ParseNumber(const std::string& option, const std::string& text, int low, int high) {
  int value = 0;
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || ptr != text.data() + text.size() || value < low || value > high) {
    throw UsageError(option + " needs a whole number from " + std::to_string(low) + " to " +
                     std::to_string(high) + ", not '" + text + "'");
  }
  return value;
}

}  // namespace

void ParseListen(const std::string& text, std::string& address, std::uint16_t& port) {
  size_t colon = text.rfind(':');
  if (colon == std::string::npos) throw UsageError("--listen needs ADDR:PORT, not '" + text + "'");
  std::string host = text.substr(0, colon);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  port = static_cast<std::uint16_t>(ParseNumber("--listen", text.substr(colon + 1), 0, 65535));
  address = host.empty() ? kDefaultListenAddress : host;
}

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
  CommandLine cl;
  cl.mode = DetermineStartMode(args);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (IsStartModeSwitch(arg)) continue;
    std::string name = arg;
    std::optional<std::string> value;
    if (arg.rfind("--", 0) == 0) {
      size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        name = arg.substr(0, eq);
        value = arg.substr(eq + 1);
      }
    }
    auto take = [&]() -> std::string {
      if (value) return *value;
      if (i + 1 >= args.size()) throw UsageError(name + " needs a value");
      return args[++i];
    };
    if (name == "--help" || name == "-h") {
      cl.help = true;
    } else if (name == "--home") {
      cl.home = take();
      if (cl.home->empty()) throw UsageError("--home needs a directory");
    } else if (name == "--listen") {
      ParseListen(take(), cl.listen_address, cl.port);
    } else if (name == "--access-key-file") {
      cl.access_key_file = take();
    } else if (name == "--tls-cert") {
      cl.tls_certificate_file = take();
    } else if (name == "--tls-key") {
      cl.tls_private_key_file = take();
    } else if (name == "--tls-client-ca") {
      cl.tls_client_ca_file = take();
    } else if (name == "--lease-seconds") {
      cl.lease_seconds = ParseNumber(name, take(), 1, 7 * 24 * 3600);
    } else if (arg.rfind("--", 0) == 0) {
      throw UsageError("unknown option '" + arg + "' (see --help)");
    }
    // Other words are no switches and are passed over.
  }
  return cl;
}

std::string UsageText() {
  return "usage: tillbase-server [-Embedding | -Automation | -RegServer | -UnRegServer]\n"
         "                       [--home DIR] [--listen ADDR:PORT] [--access-key-file FILE]\n"
         "                       [--tls-cert FILE --tls-key FILE --tls-client-ca FILE]\n"
         "                       [--lease-seconds N]\n"
         "\n"
         "Without a switch the server runs standalone until SIGTERM or SIGINT.\n"
         "-RegServer / -UnRegServer write / remove the class registration and the\n"
         "systemd user units; -Embedding serves the socket handed over by socket\n"
         "activation (LISTEN_FDS) and ends when the last session object is released.\n"
         "--listen defaults to 127.0.0.1:8211; a non-loopback address needs an access\n"
         "key (--access-key-file or TILLBASE_ACCESS_KEY) or TLS with client certificates.\n"
         "The home (CONFIG.INI, BackUp, Data) is --home, else TILLBASE_HOME, else the\n"
         "program's directory.\n";
}

}  // namespace tillbase::host

// The server's command line: the start-mode switch (see start_mode.h) and
// the options of this platform.
//
//   tillbase-server [-Embedding | -Automation | -RegServer | -UnRegServer]
//                   [--home DIR] [--listen ADDR:PORT] [--access-key-file FILE]
//                   [--tls-cert FILE --tls-key FILE --tls-client-ca FILE]
//                   [--lease-seconds N] [--help]
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "server/host/start_mode.h"

namespace tillbase::host {

inline constexpr const char* kDefaultListenAddress = "127.0.0.1";
inline constexpr std::uint16_t kDefaultPort = 8211;

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct CommandLine {
  StartMode mode = StartMode::kStandalone;
  std::optional<std::string> home;  // --home; else TILLBASE_HOME, else the program's directory
  std::string listen_address = kDefaultListenAddress;
  std::uint16_t port = kDefaultPort;
  std::string access_key_file;
  std::string tls_certificate_file;
  std::string tls_private_key_file;
  std::string tls_client_ca_file;
  int lease_seconds = 600;
  bool help = false;
};

// `args` without the program name. Switches ("-x" or "/x" of the start-mode
// table) may stand anywhere; other words are passed over; an unknown "--"
// option or a bad value throws UsageError naming it.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

// "ADDR:PORT", "[v6]:PORT" or ":PORT"; throws UsageError.
void ParseListen(const std::string& text, std::string& address, std::uint16_t& port);

std::string UsageText();

}  // namespace tillbase::host

// Settings of the RPC server and the checks made before it listens.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tillbase::rpc {

struct ServerOptions {
  // Where to listen. Loopback unless configured otherwise.
  std::string address = "127.0.0.1";
  std::uint16_t port = 0;  // 0: any free port
  // A listening socket handed over (socket activation); -1: bind ourselves.
  int listen_fd = -1;

  // When set, every request but /v1/health must carry
  // "Authorization: Bearer <access_key>".
  std::string access_key;
  // TLS with client certificates: all three files or none.
  std::string tls_certificate_file;
  std::string tls_private_key_file;
  std::string tls_client_ca_file;

  std::size_t body_limit = 8 * 1024 * 1024;
  std::size_t header_limit = 16 * 1024;
  int io_threads = 2;
  std::chrono::steady_clock::duration lease = std::chrono::minutes(10);
  // How often silent objects are looked for.
  std::chrono::steady_clock::duration lease_check_interval = std::chrono::seconds(5);

  bool TlsConfigured() const {
    return !tls_certificate_file.empty() || !tls_private_key_file.empty() ||
           !tls_client_ca_file.empty();
  }
};

class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws ConfigError with a message that says what to configure when the
// options are unsafe or incomplete: a non-loopback address without an access
// key or TLS with client certificates, half a TLS configuration, limits of 0.
// `bound_address` is the address actually listened on (for a handed-over
// socket, the socket's own address).
void CheckServerOptions(const ServerOptions& options, std::string_view bound_address);

// True for 127.0.0.0/8, ::1 and "localhost".
bool IsLoopbackAddress(std::string_view address);

// Compares in time that depends only on the lengths, not on where the texts
// differ, so that a key cannot be guessed byte by byte.
bool ConstantTimeEquals(std::string_view a, std::string_view b);

// The bearer token of an Authorization header value; empty when none.
std::string_view BearerToken(std::string_view authorization);

}  // namespace tillbase::rpc

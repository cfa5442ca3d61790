#include "rpc/server_options.h"

#include <arpa/inet.h>

#include <cctype>

namespace tillbase::rpc {

bool IsLoopbackAddress(std::string_view address) {
  std::string text(address);
  if (text.size() > 2 && text.front() == '[' && text.back() == ']')
    text = text.substr(1, text.size() - 2);
  if (text == "localhost") return true;
  in_addr v4{};
  if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  in6_addr v6{};
  if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_LOOPBACK(&v6)) return true;
    // ::ffff:127.x.x.x
    if (IN6_IS_ADDR_V4MAPPED(&v6)) return v6.s6_addr[12] == 127;
  }
  return false;
}

void CheckServerOptions(const ServerOptions& options, std::string_view bound_address) {
  if (options.TlsConfigured()) {
    if (options.tls_certificate_file.empty() || options.tls_private_key_file.empty() ||
        options.tls_client_ca_file.empty()) {
      throw ConfigError(
          "TLS needs a certificate, its private key and the CA file of the client certificates "
          "(all three)");
    }
  }
  if (options.body_limit == 0 || options.header_limit == 0) {
    throw ConfigError("the request body and header limits must be greater than 0");
  }
  if (options.io_threads < 1) throw ConfigError("at least one I/O thread is needed");
  if (!IsLoopbackAddress(bound_address) && options.access_key.empty() && !options.TlsConfigured()) {
    throw ConfigError("refusing to listen on " + std::string(bound_address) +
                      ": an address other than loopback needs an access key (clients then send "
                      "\"Authorization: Bearer <key>\") or TLS with client certificates; "
                      "configure one, or listen on 127.0.0.1");
  }
  if (!options.access_key.empty() && options.access_key.size() < 16) {
    throw ConfigError("the access key must be at least 16 characters long");
  }
}

bool ConstantTimeEquals(std::string_view a, std::string_view b) {
  unsigned char diff = a.size() == b.size() ? 0 : 1;
  // Walk the expected length whatever the given text is.
  for (size_t i = 0; i < b.size(); ++i) {
    unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
    diff |= x ^ static_cast<unsigned char>(b[i]);
  }
  return diff == 0;
}

std::string_view BearerToken(std::string_view authorization) {
  constexpr std::string_view kScheme = "bearer ";
  if (authorization.size() <= kScheme.size()) return {};
  for (size_t i = 0; i < kScheme.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(authorization[i])) != kScheme[i]) return {};
  }
  std::string_view token = authorization.substr(kScheme.size());
  while (!token.empty() && token.front() == ' ') token.remove_prefix(1);
  while (!token.empty() && token.back() == ' ') token.remove_suffix(1);
  return token;
}

}  // namespace tillbase::rpc

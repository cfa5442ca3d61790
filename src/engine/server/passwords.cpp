#include "engine/server/passwords.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <stdexcept>
#include <vector>

namespace tillbase::engine::server {
namespace {

// Enough to make guessing costly while logins stay quick: every connection
// of a SQL login verifies once.
constexpr int kIterations = 4096;
constexpr size_t kSaltBytes = 16;
constexpr size_t kHashBytes = 32;

std::string Hex(const unsigned char* p, size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

bool Unhex(std::string_view s, std::vector<unsigned char>* out) {
  if (s.size() % 2) return false;
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
  };
  out->clear();
  for (size_t i = 0; i < s.size(); i += 2) {
    int a = nibble(s[i]), b = nibble(s[i + 1]);
    if (a < 0 || b < 0) return false;
    out->push_back(static_cast<unsigned char>(a * 16 + b));
  }
  return true;
}

std::vector<unsigned char> Derive(std::string_view password, const unsigned char* salt,
                                  size_t salt_len, int iterations) {
  std::vector<unsigned char> out(kHashBytes);
  if (PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt,
                        static_cast<int>(salt_len), iterations, EVP_sha256(),
                        static_cast<int>(out.size()), out.data()) != 1) {
    throw std::runtime_error("password hashing failed");
  }
  return out;
}

}  // namespace

std::string HashPassword(std::string_view password) {
  unsigned char salt[kSaltBytes];
  if (RAND_bytes(salt, sizeof salt) != 1) throw std::runtime_error("no random salt available");
  auto hash = Derive(password, salt, sizeof salt, kIterations);
  return "pbkdf2-sha256$" + std::to_string(kIterations) + "$" + Hex(salt, sizeof salt) + "$" +
         Hex(hash.data(), hash.size());
}

bool VerifyPassword(std::string_view password, std::string_view stored) {
  const std::string_view prefix = "pbkdf2-sha256$";
  if (stored.substr(0, prefix.size()) != prefix) return false;
  stored.remove_prefix(prefix.size());
  size_t a = stored.find('$');
  if (a == std::string_view::npos) return false;
  size_t b = stored.find('$', a + 1);
  if (b == std::string_view::npos) return false;
  int iterations = 0;
  for (char c : stored.substr(0, a)) {
    if (c < '0' || c > '9' || iterations > 10000000) return false;
    iterations = iterations * 10 + (c - '0');
  }
  std::vector<unsigned char> salt, hash;
  if (iterations <= 0 || !Unhex(stored.substr(a + 1, b - a - 1), &salt) ||
      !Unhex(stored.substr(b + 1), &hash) || hash.size() != kHashBytes) {
    return false;
  }
  auto got = Derive(password, salt.data(), salt.size(), iterations);
  return CRYPTO_memcmp(got.data(), hash.data(), hash.size()) == 0;
}

}  // namespace tillbase::engine::server

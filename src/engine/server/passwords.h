// Salted password hashes of logins: PBKDF2-HMAC-SHA256 with a random salt,
// kept as "pbkdf2-sha256$<iterations>$<salt hex>$<hash hex>".
#pragma once

#include <string>
#include <string_view>

namespace tillbase::engine::server {

std::string HashPassword(std::string_view password);
// Whether `password` matches a stored hash; false for a malformed one.
bool VerifyPassword(std::string_view password, std::string_view stored);

}  // namespace tillbase::engine::server

// The error of the configuration store: its message is the text shown to the
// user ("Unable to write to /srv/tillbase/CONFIG.INI").
#pragma once

#include <stdexcept>
#include <string>

namespace tillbase::config {

class ConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "Unable to write to <path>".
ConfigError UnableToWrite(const std::string& path);

}  // namespace tillbase::config

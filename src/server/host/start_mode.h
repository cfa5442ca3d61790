// How the process was asked to start, decided once from the command line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tillbase::host {

enum class StartMode {
  kAutomation,  // started by socket activation for a client; ends with the last session object
  kRegister,    // writes the class registration and ends
  kUnregister,  // removes the class registration and ends
  kStandalone,  // started by a user; runs until asked to exit
};

// A switch is an argument "-NAME" or "/NAME", NAME compared without regard
// to case, at any position. When several are present the mode listed first
// above wins (automation before register before unregister), whatever the
// order on the command line.
StartMode DetermineStartMode(const std::vector<std::string>& args);

// True when `arg` is the switch `name` written as "-name" or "/name".
bool IsSwitch(std::string_view arg, std::string_view name);

std::string_view StartModeName(StartMode mode);

}  // namespace tillbase::host

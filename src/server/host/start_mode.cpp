#include "server/host/start_mode.h"

#include <algorithm>
#include <array>

namespace tillbase::host {
namespace {

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

}  // namespace

bool IsSwitch(std::string_view arg, std::string_view name) {
  if (arg.empty() || (arg[0] != '-' && arg[0] != '/')) return false;
  return EqualsIgnoringCase(arg.substr(1), name);
}

StartMode DetermineStartMode(const std::vector<std::string>& args) {
  struct Row {
    std::array<std::string_view, 2> names;
    StartMode mode;
  };
  static constexpr std::array<Row, 3> kTable = {{
      {{"AUTOMATION", "EMBEDDING"}, StartMode::kAutomation},
      {{"REGSERVER", ""}, StartMode::kRegister},
      {{"UNREGSERVER", ""}, StartMode::kUnregister},
  }};
  for (const Row& row : kTable) {
    for (const std::string& arg : args) {
      for (std::string_view name : row.names) {
        if (!name.empty() && IsSwitch(arg, name)) return row.mode;
      }
    }
  }
  return StartMode::kStandalone;
}

std::string_view StartModeName(StartMode mode) {
  switch (mode) {
    case StartMode::kAutomation:
      return "automation";
    case StartMode::kRegister:
      return "register";
    case StartMode::kUnregister:
      return "unregister";
    case StartMode::kStandalone:
      return "standalone";
  }
  return "standalone";
}

}  // namespace tillbase::host

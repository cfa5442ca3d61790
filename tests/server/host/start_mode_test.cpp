#include "server/host/start_mode.h"

#include <gtest/gtest.h>

namespace tillbase::host {
namespace {

TEST(StartModeTest, SwitchesInAnyCaseAndPosition) {
  struct Case {
    std::vector<std::string> args;
    StartMode mode;
  };
  const Case cases[] = {
      {{}, StartMode::kStandalone},
      {{"-REGSERVER"}, StartMode::kRegister},
      {{"/regserver"}, StartMode::kRegister},
      {{"--home", "/x", "-RegServer"}, StartMode::kRegister},
      {{"REGSERVER"}, StartMode::kStandalone},  // no leading character: no switch
      {{"-REGSERVERX"}, StartMode::kStandalone},
      {{"-"}, StartMode::kStandalone},
      {{"/UnRegServer"}, StartMode::kUnregister},
      {{"-Embedding"}, StartMode::kAutomation},
      {{"/automation"}, StartMode::kAutomation},
      // The first row of the table wins, whatever the order of the arguments.
      {{"-unregserver", "-regserver"}, StartMode::kRegister},
      {{"-regserver", "-embedding"}, StartMode::kAutomation},
      {{"-unregserver", "/AUTOMATION"}, StartMode::kAutomation},
  };
  for (const Case& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_EQ(StartModeName(DetermineStartMode(c.args)), StartModeName(c.mode)) << joined;
  }
}

}  // namespace
}  // namespace tillbase::host

// The sessions' way to the main window: notifications are run on the main
// loop while the sending session thread waits, as a synchronous window
// message is.
#pragma once

#include "server/host/main_loop.h"
#include "server/host/main_window.h"
#include "server/session/main_window_link.h"

namespace tillbase::host {

class WindowLink : public session::MainWindowLink {
 public:
  WindowLink(MainLoop& loop, MainWindow& window) : loop_(loop), window_(window) {}

  void SendClientConnect(session::TCONNECTINFO info) override;
  void SendClientDisconnect(session::TCONNECTINFO info) override;
  void SetUserCount(int count) override { window_.SetUserCount(count); }
  int UserCount() const override { return window_.UserCount(); }

 private:
  MainLoop& loop_;
  MainWindow& window_;
};

}  // namespace tillbase::host

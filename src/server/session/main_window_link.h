// How sessions reach the main window. The host implements it; sessions only
// see this interface, so the session library does not depend on the host.
#pragma once

#include "server/session/connect_info.h"

namespace tillbase::session {

class MainWindowLink {
 public:
  virtual ~MainWindowLink() = default;

  // Sends WM_CLIENTCONNECT / WM_CLIENTDISCONNECT and returns once the main
  // loop has handled it (the calling session thread waits). The record is
  // the window's after the call.
  virtual void SendClientConnect(TCONNECTINFO info) = 0;
  virtual void SendClientDisconnect(TCONNECTINFO info) = 0;

  // The number of registered client identifiers. Called from any thread;
  // the window sees every change.
  virtual void SetUserCount(int count) = 0;
  virtual int UserCount() const = 0;
};

}  // namespace tillbase::session

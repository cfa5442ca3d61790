#include "server/host/window_link.h"

namespace tillbase::host {

// Once the loop has ended (the process is going down) a notification has no
// window left to reach; Call then returns without running it.
void WindowLink::SendClientConnect(session::TCONNECTINFO info) {
  loop_.Call([&] { window_.AddConnection(info.ComputerName, info.IPAddress); });
}

void WindowLink::SendClientDisconnect(session::TCONNECTINFO info) {
  loop_.Call([&] { window_.RemoveConnection(info.ComputerName, info.IPAddress); });
}

}  // namespace tillbase::host

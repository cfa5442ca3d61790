// TCONNECTINFO: what a session tells the main window about a client machine
// that connects or disconnects.
#pragma once

#include <string>

namespace tillbase::session {

struct TCONNECTINFO {
  std::string ComputerName;  // the client machine's name as the client gave it
  std::string IPAddress;     // its address as the client gave it
  std::string ClientGUID;    // the client's identifier; set for a disconnect only
};

// Window message numbers of the two notifications.
inline constexpr int WM_CLIENTCONNECT = 2029;
inline constexpr int WM_CLIENTDISCONNECT = 2030;

}  // namespace tillbase::session

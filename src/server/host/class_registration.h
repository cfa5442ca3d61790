// The class registration of the session class: a registration file under
// $XDG_DATA_HOME/tillbase/classes (CLSID, ProgID, description, server path,
// "Sockets"=1, "Web"=1) and the systemd user units that start the server by
// socket activation when a client connects.
#pragma once

#include <filesystem>
#include <string>

namespace tillbase::host {

struct RegistrationPaths {
  std::filesystem::path class_file;    // the class registration file
  std::filesystem::path socket_unit;   // tillbase-server.socket
  std::filesystem::path service_unit;  // tillbase-server.service
};

// Locations from $XDG_DATA_HOME (default ~/.local/share) and
// $XDG_CONFIG_HOME (default ~/.config).
RegistrationPaths DefaultRegistrationPaths();

struct RegistrationTarget {
  std::filesystem::path server_path;  // the server program
  std::string listen;                 // "ADDR:PORT" the socket unit listens on
  std::filesystem::path home;         // passed to the activated server; empty = its default
};

// Writes all three files, or on failure none of them (each is written beside
// its place first). Throws with a message naming the place on failure.
void RegisterServer(const RegistrationPaths& paths, const RegistrationTarget& target);

// Removes the files; missing files are not an error. Throws when a file exists
// but cannot be removed.
void UnregisterServer(const RegistrationPaths& paths);

}  // namespace tillbase::host

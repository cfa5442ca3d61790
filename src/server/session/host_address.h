// The server machine's own IPv4 addresses, as its host name resolves.
#pragma once

#include <string>
#include <vector>

namespace tillbase::session {

// The addresses of the local host name in the resolver's order, dotted
// decimal, duplicates removed; empty when the name does not resolve.
std::vector<std::string> HostIpv4Addresses();

}  // namespace tillbase::session

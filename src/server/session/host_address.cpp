#include "server/session/host_address.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace tillbase::session {

std::vector<std::string> HostIpv4Addresses() {
  std::vector<std::string> out;
  char name[256] = {};
  if (::gethostname(name, sizeof(name) - 1) != 0) return out;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  if (::getaddrinfo(name, nullptr, &hints, &list) != 0) return out;
  for (addrinfo* p = list; p != nullptr; p = p->ai_next) {
    if (p->ai_family != AF_INET || p->ai_addr == nullptr) continue;
    char text[INET_ADDRSTRLEN] = {};
    auto* sin = reinterpret_cast<sockaddr_in*>(p->ai_addr);
    if (::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof(text)) == nullptr) continue;
    if (std::find(out.begin(), out.end(), text) == out.end()) out.emplace_back(text);
  }
  ::freeaddrinfo(list);
  return out;
}

}  // namespace tillbase::session

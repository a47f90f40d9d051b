// Socket addresses: the same calls on every system, only their headers differ.
#include <cstring>

#include "net/socket_os.h"
#include "system_sockets.h"

namespace net::os {

namespace {

const sockaddr* AsAddress(const Endpoint& endpoint) {
  return reinterpret_cast<const sockaddr*>(endpoint.bytes);
}

}  // namespace

bool Resolve(const std::string& host, int port, std::vector<Endpoint>* out, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (status != 0) {
    *error = LookUpErrorText(status);
    return false;
  }
  for (const addrinfo* item = found; item != nullptr; item = item->ai_next) {
    Endpoint endpoint;
    if (item->ai_addrlen > sizeof endpoint.bytes) continue;
    std::memcpy(endpoint.bytes, item->ai_addr, item->ai_addrlen);
    endpoint.length = static_cast<int>(item->ai_addrlen);
    out->push_back(endpoint);
  }
  freeaddrinfo(found);
  return true;
}

std::string NumericText(const Endpoint& endpoint) {
  char text[NI_MAXHOST] = {};
  if (getnameinfo(AsAddress(endpoint), static_cast<socklen_t>(endpoint.length), text, sizeof text,
                  nullptr, 0, NI_NUMERICHOST) != 0) {
    return {};
  }
  return text;
}

bool IsIPv6(const Endpoint& endpoint) { return AsAddress(endpoint)->sa_family == AF_INET6; }

int PortOf(const Endpoint& endpoint) {
  return ntohs(IsIPv6(endpoint) ? reinterpret_cast<const sockaddr_in6*>(endpoint.bytes)->sin6_port
                                : reinterpret_cast<const sockaddr_in*>(endpoint.bytes)->sin_port);
}

void SetPort(Endpoint* endpoint, int port) {
  const auto value = htons(static_cast<unsigned short>(port));
  if (IsIPv6(*endpoint)) {
    reinterpret_cast<sockaddr_in6*>(endpoint->bytes)->sin6_port = value;
  } else {
    reinterpret_cast<sockaddr_in*>(endpoint->bytes)->sin_port = value;
  }
}

}  // namespace net::os

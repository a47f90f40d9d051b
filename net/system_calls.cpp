// The socket calls that are the same on every system; only their headers differ.
#include <cstring>

#include "net/socket_os.h"
#include "system_sockets.h"

namespace net::os {

namespace {

// Room for a stranger beside the server's own connection, which must not be refused.
constexpr int kListenBacklog = 4;

sockaddr* AsAddress(Endpoint* endpoint) { return reinterpret_cast<sockaddr*>(endpoint->bytes); }
const sockaddr* AsAddress(const Endpoint& endpoint) {
  return reinterpret_cast<const sockaddr*>(endpoint.bytes);
}

// getsockname and getpeername alike (a template: their calling convention differs by system).
template <class NameCall>
bool AddressOf(NameCall call, SocketHandle handle, Endpoint* out, int* error) {
  socklen_t length = sizeof out->bytes;
  if (call(Native(handle), AsAddress(out), &length) != 0) {
    *error = LastSocketError();
    return false;
  }
  out->length = static_cast<int>(length);
  return true;
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

void Close(SocketHandle handle) { CloseNative(Native(handle)); }

void Abort(SocketHandle handle) {
  linger reset{1, 0};
  setsockopt(Native(handle), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
             sizeof reset);
  Close(handle);
}

void ShutdownSending(SocketHandle handle) { shutdown(Native(handle), kShutdownSending); }

bool DisableSendDelay(SocketHandle handle, int* error) {
  const int noDelay = 1;
  if (setsockopt(Native(handle), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                 sizeof noDelay) == 0) {
    return true;
  }
  *error = LastSocketError();
  return false;
}

int StartConnect(SocketHandle handle, const Endpoint& to) {
  const int result = connect(Native(handle), AsAddress(to), static_cast<socklen_t>(to.length));
  return result == 0 ? 0 : LastSocketError();
}

int ConnectOutcome(SocketHandle handle) {
  int failure = 0;
  socklen_t length = sizeof failure;
  if (getsockopt(Native(handle), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure),
                 &length) != 0) {
    return LastSocketError();
  }
  return failure;
}

int BindAndListen(SocketHandle handle, const Endpoint& at) {
  if (bind(Native(handle), AsAddress(at), static_cast<socklen_t>(at.length)) != 0 ||
      listen(Native(handle), kListenBacklog) != 0) {
    return LastSocketError();
  }
  return 0;
}

bool LocalEndpoint(SocketHandle handle, Endpoint* out, int* error) {
  return AddressOf(getsockname, handle, out, error);
}

bool PeerEndpoint(SocketHandle handle, Endpoint* out, int* error) {
  return AddressOf(getpeername, handle, out, error);
}

}  // namespace net::os

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "net/socket_os.h"

namespace net::os {

namespace {

constexpr int kListenBacklog = 1;

int AsFd(SocketHandle handle) { return static_cast<int>(handle); }

sockaddr* AsAddress(Endpoint* endpoint) { return reinterpret_cast<sockaddr*>(endpoint->bytes); }
const sockaddr* AsAddress(const Endpoint& endpoint) {
  return reinterpret_cast<const sockaddr*>(endpoint.bytes);
}

bool MakeNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

int MillisecondsUntil(std::chrono::steady_clock::time_point deadline) {
  const long long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                             deadline - std::chrono::steady_clock::now())
                             .count();
  return left > 0 ? static_cast<int>(left) : 0;
}

}  // namespace

bool Start(std::string*) { return true; }

std::string ErrorText(int code) { return std::strerror(code); }

bool WouldBlock(int code) { return code == EAGAIN || code == EWOULDBLOCK || code == EINPROGRESS; }

bool Resolve(const std::string& host, int port, std::vector<Endpoint>* out, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int status = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (status != 0) {
    *error = status == EAI_SYSTEM ? ErrorText(errno) : gai_strerror(status);
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
  const auto value = htons(static_cast<std::uint16_t>(port));
  if (IsIPv6(*endpoint)) {
    reinterpret_cast<sockaddr_in6*>(endpoint->bytes)->sin6_port = value;
  } else {
    reinterpret_cast<sockaddr_in*>(endpoint->bytes)->sin_port = value;
  }
}

SocketHandle Open(const Endpoint& like, int* error) {
  const int fd = socket(AsAddress(like)->sa_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || !MakeNonBlocking(fd)) {
    *error = errno;
    if (fd >= 0) close(fd);
    return kNoSocket;
  }
  return fd;
}

void Close(SocketHandle handle) { close(AsFd(handle)); }

void Abort(SocketHandle handle) {
  linger reset{1, 0};
  setsockopt(AsFd(handle), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  Close(handle);
}

bool DisableSendDelay(SocketHandle handle, int* error) {
  const int noDelay = 1;
  if (setsockopt(AsFd(handle), IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay) == 0) {
    return true;
  }
  *error = errno;
  return false;
}

int StartConnect(SocketHandle handle, const Endpoint& to) {
  return connect(AsFd(handle), AsAddress(to), static_cast<socklen_t>(to.length)) == 0 ? 0 : errno;
}

int ConnectOutcome(SocketHandle handle) {
  int failure = 0;
  socklen_t length = sizeof failure;
  if (getsockopt(AsFd(handle), SOL_SOCKET, SO_ERROR, &failure, &length) != 0) return errno;
  return failure;
}

int BindAndListen(SocketHandle handle, const Endpoint& at) {
  if (bind(AsFd(handle), AsAddress(at), static_cast<socklen_t>(at.length)) != 0 ||
      listen(AsFd(handle), kListenBacklog) != 0) {
    return errno;
  }
  return 0;
}

bool LocalEndpoint(SocketHandle handle, Endpoint* out, int* error) {
  socklen_t length = sizeof out->bytes;
  if (getsockname(AsFd(handle), AsAddress(out), &length) != 0) {
    *error = errno;
    return false;
  }
  out->length = static_cast<int>(length);
  return true;
}

bool PeerEndpoint(SocketHandle handle, Endpoint* out, int* error) {
  socklen_t length = sizeof out->bytes;
  if (getpeername(AsFd(handle), AsAddress(out), &length) != 0) {
    *error = errno;
    return false;
  }
  out->length = static_cast<int>(length);
  return true;
}

SocketHandle Accept(SocketHandle listener, Endpoint* peer, int* error) {
  for (;;) {
    socklen_t length = sizeof peer->bytes;
    const int fd = accept4(AsFd(listener), AsAddress(peer), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      peer->length = static_cast<int>(length);
      return fd;
    }
    if (errno == EINTR) continue;
    *error = errno;
    return kNoSocket;
  }
}

int Wait(const SocketHandle* handles, int count, Want want, int timeoutMs, int* error) {
  // POLLPRI (urgent data) is not asked for, so it never wakes the wait.
  const short events = want == Want::Read ? POLLIN : POLLOUT;
  pollfd entries[2] = {};
  if (count > 2) count = 2;
  for (int i = 0; i < count; ++i) entries[i] = {AsFd(handles[i]), events, 0};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const int ready = poll(entries, static_cast<nfds_t>(count), MillisecondsUntil(deadline));
    if (ready > 0) {
      for (int i = 0; i < count; ++i) {
        if (entries[i].revents != 0) return i;
      }
    }
    if (ready == 0) {
      *error = kTimedOut;
      return -1;
    }
    if (ready < 0 && errno != EINTR) {
      *error = errno;
      return -1;
    }
  }
}

long Send(SocketHandle handle, const char* data, std::size_t size, int* error) {
  for (;;) {
    const ssize_t sent = send(AsFd(handle), data, size, MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<long>(sent);
    if (errno == EINTR) continue;
    *error = errno;
    return -1;
  }
}

long Receive(SocketHandle handle, char* buffer, std::size_t size, int timeoutMs, int* error) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const ssize_t got = recv(AsFd(handle), buffer, size, 0);
    if (got >= 0) return static_cast<long>(got);
    if (errno == EINTR) continue;
    if (!WouldBlock(errno)) {
      *error = errno;
      return -1;
    }
    if (Wait(&handle, 1, Want::Read, MillisecondsUntil(deadline), error) < 0) return -1;
  }
}

}  // namespace net::os

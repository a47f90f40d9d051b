#include "framework/net.h"

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

namespace net {

const char* const kTimedOutText = "The operation timed out";

namespace {

constexpr int kListenBacklog = 1;

std::string SystemText(int code) { return std::strerror(code); }

int AsFd(SocketHandle handle) { return static_cast<int>(handle); }

bool MakeNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

bool DisableSendDelay(int fd) {
  const int noDelay = 1;
  return setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay) == 0;
}

int NewSocket(int family, int type) {
  const int fd = socket(family, type | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (!MakeNonBlocking(fd)) {
    const int saved = errno;
    close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

// Waits for `events` on fd. Returns 1 when ready, 0 on timeout, -1 on failure (errno set).
int WaitFor(int fd, short events, int timeoutMs) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const long long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd entry{fd, events, 0};
    const int ready = poll(&entry, 1, left > 0 ? static_cast<int>(left) : 0);
    if (ready >= 0) return ready;
    if (errno != EINTR) return -1;
  }
}

std::string NumericAddress(const sockaddr* address, socklen_t length) {
  char text[NI_MAXHOST] = {};
  if (getnameinfo(address, length, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) return {};
  return text;
}

bool ConnectOne(const addrinfo& candidate, int timeoutMs, Socket* out, std::string* error) {
  const int fd = NewSocket(candidate.ai_family, candidate.ai_socktype);
  if (fd < 0) {
    *error = SystemText(errno);
    return false;
  }
  Socket owner(fd);
  if (!DisableSendDelay(fd)) {
    *error = SystemText(errno);
    return false;
  }
  if (connect(fd, candidate.ai_addr, candidate.ai_addrlen) != 0) {
    if (errno != EINPROGRESS) {
      *error = SystemText(errno);
      return false;
    }
    const int ready = WaitFor(fd, POLLOUT, timeoutMs);
    if (ready <= 0) {
      *error = ready == 0 ? kTimedOutText : SystemText(errno);
      return false;
    }
    int failure = 0;
    socklen_t length = sizeof failure;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0) failure = errno;
    if (failure != 0) {
      *error = SystemText(failure);
      return false;
    }
  }
  *out = std::move(owner);
  return true;
}

}  // namespace

void Socket::Close() {
  if (handle_ != kNoSocket) close(AsFd(Release()));
}

void Socket::Abort() {
  if (handle_ == kNoSocket) return;
  linger reset{1, 0};
  setsockopt(AsFd(handle_), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
  Close();
}

bool Connect(const std::string& host, int port, int timeoutMs, Socket* out, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int status = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (status != 0) {
    *error = status == EAI_SYSTEM ? SystemText(errno) : gai_strerror(status);
    return false;
  }
  bool connected = false;
  for (const addrinfo* candidate = found; candidate != nullptr && !connected;
       candidate = candidate->ai_next) {
    connected = ConnectOne(*candidate, timeoutMs, out, error);
  }
  freeaddrinfo(found);
  return connected;
}

bool ListenBeside(const Socket& connected, Listener* out, std::string* error) {
  sockaddr_storage local{};
  socklen_t length = sizeof local;
  if (getsockname(AsFd(connected.Handle()), reinterpret_cast<sockaddr*>(&local), &length) != 0) {
    *error = SystemText(errno);
    return false;
  }
  if (local.ss_family == AF_INET) {
    reinterpret_cast<sockaddr_in*>(&local)->sin_port = 0;
  } else {
    reinterpret_cast<sockaddr_in6*>(&local)->sin6_port = 0;
  }
  const int fd = NewSocket(local.ss_family, SOCK_STREAM);
  if (fd < 0) {
    *error = SystemText(errno);
    return false;
  }
  Socket owner(fd);
  sockaddr_storage bound{};
  socklen_t boundLength = sizeof bound;
  if (bind(fd, reinterpret_cast<const sockaddr*>(&local), length) != 0 ||
      listen(fd, kListenBacklog) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundLength) != 0) {
    *error = SystemText(errno);
    return false;
  }
  out->isIPv6 = bound.ss_family == AF_INET6;
  out->port = ntohs(out->isIPv6 ? reinterpret_cast<const sockaddr_in6*>(&bound)->sin6_port
                                : reinterpret_cast<const sockaddr_in*>(&bound)->sin_port);
  out->addressText = NumericAddress(reinterpret_cast<const sockaddr*>(&bound), boundLength);
  out->socket = std::move(owner);
  return true;
}

int AcceptWaiting(const Socket& listener, Socket* out, std::string* peerAddress,
                  std::string* error) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  for (;;) {
    const int fd = accept4(AsFd(listener.Handle()), reinterpret_cast<sockaddr*>(&peer), &length,
                           SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      *out = Socket(fd);
      *peerAddress = NumericAddress(reinterpret_cast<const sockaddr*>(&peer), length);
      return 1;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    *error = SystemText(errno);
    return -1;
  }
}

std::string PeerAddress(const Socket& connected) {
  sockaddr_storage peer{};
  socklen_t length = sizeof peer;
  if (getpeername(AsFd(connected.Handle()), reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
    return {};
  }
  return NumericAddress(reinterpret_cast<const sockaddr*>(&peer), length);
}

bool SendAll(const Socket& socket, const char* data, std::size_t size, int timeoutMs,
             std::string* error) {
  const int fd = AsFd(socket.Handle());
  while (size > 0) {
    const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
    if (sent > 0) {
      data += sent;
      size -= static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      *error = SystemText(errno);
      return false;
    }
    const int ready = WaitFor(fd, POLLOUT, timeoutMs);
    if (ready <= 0) {
      *error = ready == 0 ? kTimedOutText : SystemText(errno);
      return false;
    }
  }
  return true;
}

long Receive(const Socket& socket, char* buffer, std::size_t size, int timeoutMs,
             std::string* error) {
  const int fd = AsFd(socket.Handle());
  for (;;) {
    const ssize_t got = recv(fd, buffer, size, 0);
    if (got >= 0) return static_cast<long>(got);
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      *error = SystemText(errno);
      return -1;
    }
    const int ready = WaitFor(fd, POLLIN, timeoutMs);
    if (ready <= 0) {
      *error = ready == 0 ? kTimedOutText : SystemText(errno);
      return -1;
    }
  }
}

int WaitReadable(const Socket& first, const Socket& second, int timeoutMs, std::string* error) {
  pollfd entries[2] = {{AsFd(first.Handle()), POLLIN, 0}, {AsFd(second.Handle()), POLLIN, 0}};
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const long long left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    const int ready = poll(entries, 2, left > 0 ? static_cast<int>(left) : 0);
    if (ready > 0) return entries[0].revents != 0 ? 0 : 1;
    if (ready == 0) {
      *error = kTimedOutText;
      return -1;
    }
    if (errno != EINTR) {
      *error = SystemText(errno);
      return -1;
    }
  }
}

}  // namespace net

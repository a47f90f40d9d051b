#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>

#include "net/deadline.h"
#include "net/socket_os.h"
#include "system_sockets.h"

namespace net::os {

namespace {

constexpr int kKeepAliveIntervalSeconds = 10;
constexpr int kKeepAliveProbes = 6;

bool MakeNonBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL, 0);
  return flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

}  // namespace

bool Start(std::string*) { return true; }

std::string ErrorText(int code) { return std::strerror(code); }

bool WouldBlock(int code) { return code == EAGAIN || code == EWOULDBLOCK || code == EINPROGRESS; }

std::string LookUpErrorText(int status) {
  return status == EAI_SYSTEM ? ErrorText(errno) : gai_strerror(status);
}

SocketHandle Open(const Endpoint& like, int* error) {
  const int fd = socket(reinterpret_cast<const sockaddr*>(like.bytes)->sa_family,
                        SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || !MakeNonBlocking(fd)) {
    *error = errno;
    if (fd >= 0) close(fd);
    return kNoSocket;
  }
  return fd;
}

bool KeepAlive(SocketHandle handle, int idleSeconds, int* error) {
  const int on = 1;
  const int interval = kKeepAliveIntervalSeconds;
  const int probes = kKeepAliveProbes;
  const int fd = Native(handle);
  if (setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
      setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idleSeconds, sizeof idleSeconds) == 0 &&
      setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 &&
      setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) == 0) {
    return true;
  }
  *error = errno;
  return false;
}

SocketHandle Accept(SocketHandle listener, Endpoint* peer, int* error) {
  for (;;) {
    socklen_t length = sizeof peer->bytes;
    const int fd = accept4(Native(listener), reinterpret_cast<sockaddr*>(peer->bytes), &length,
                           SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd >= 0) {
      peer->length = static_cast<int>(length);
      return fd;
    }
    if (errno == EINTR) continue;
    *error = errno;
    return kNoSocket;
  }
}

int Wait(const SocketHandle* handles, int count, Want want, int timeoutMs, const StopSignal* stop,
         int* error) {
  // POLLPRI (urgent data) is not asked for, so it never wakes the wait.
  const short events = want == Want::Read ? POLLIN : POLLOUT;
  pollfd entries[3] = {};
  if (count > 2) count = 2;
  for (int i = 0; i < count; ++i) entries[i] = {Native(handles[i]), events, 0};
  // The stop signal's descriptor goes last, so a socket that is ready wins a tie.
  const bool stoppable = stop != nullptr && stop->Waitable() >= 0;
  if (stoppable) entries[count] = {static_cast<int>(stop->Waitable()), POLLIN, 0};
  const auto watched = static_cast<nfds_t>(count + (stoppable ? 1 : 0));
  const auto deadline = DeadlineAfter(timeoutMs);
  for (;;) {
    if (stop != nullptr && stop->IsRaised()) {
      *error = kStopped;
      return -1;
    }
    const int ready = poll(entries, watched, MillisecondsUntil(deadline));
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
    const ssize_t sent = send(Native(handle), data, size, MSG_NOSIGNAL);
    if (sent >= 0) return static_cast<long>(sent);
    if (errno == EINTR) continue;
    *error = errno;
    return -1;
  }
}

long Receive(SocketHandle handle, char* buffer, std::size_t size, int timeoutMs,
             const StopSignal* stop, int* error) {
  const auto deadline = DeadlineAfter(timeoutMs);
  for (;;) {
    const ssize_t got = recv(Native(handle), buffer, size, 0);
    if (got >= 0) return static_cast<long>(got);
    if (errno == EINTR) continue;
    if (!WouldBlock(errno)) {
      *error = errno;
      return -1;
    }
    if (Wait(&handle, 1, Want::Read, MillisecondsUntil(deadline), stop, error) < 0) return -1;
  }
}

}  // namespace net::os

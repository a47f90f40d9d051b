#include "framework/net.h"

#include "framework/system_error.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <climits>

namespace net {

const char* const kTimedOutText = "The operation timed out";

namespace {

constexpr int kListenBacklog = 1;
constexpr WORD kWinsockVersion = MAKEWORD(2, 2);
// send/recv take an int length.
constexpr std::size_t kMaxChunk = INT_MAX;

std::string SystemText(int code) { return SystemErrorText(static_cast<unsigned long>(code)); }

// Winsock must be started before the first socket call; once per process is enough and it is
// never stopped, since the process ending releases it.
bool WinsockReady(std::string* error) {
  static const int status = [] {
    WSADATA data;
    return WSAStartup(kWinsockVersion, &data);
  }();
  if (status != 0) *error = SystemText(status);
  return status == 0;
}

// The event overlapped receives of this thread wait on: made once per thread, released when the
// process ends.
HANDLE ReceiveEvent() {
  thread_local const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return event;
}

SOCKET AsSocket(SocketHandle handle) { return static_cast<SOCKET>(handle); }

SocketHandle AsHandle(SOCKET socket) {
  return socket == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(socket);
}

bool MakeNonBlocking(SOCKET socket) {
  u_long nonBlocking = 1;
  return ioctlsocket(socket, FIONBIO, &nonBlocking) == 0;
}

bool DisableSendDelay(SOCKET socket) {
  const BOOL noDelay = TRUE;
  return setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                    sizeof noDelay) == 0;
}

SOCKET NewSocket(int family, int type, int protocol) {
  const SOCKET created = socket(family, type, protocol);
  if (created == INVALID_SOCKET) return INVALID_SOCKET;
  if (!MakeNonBlocking(created)) {
    const int saved = WSAGetLastError();
    closesocket(created);
    WSASetLastError(saved);
    return INVALID_SOCKET;
  }
  return created;
}

// Waits until socket is writable (or has failed, for a pending connect) or readable.
// Returns 1 when ready, 0 on timeout, -1 on failure (WSAGetLastError set).
int WaitFor(SOCKET socket, bool forWriting, int timeoutMs) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(socket, &ready);
  FD_SET(socket, &failed);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int count =
      select(0, forWriting ? nullptr : &ready, forWriting ? &ready : nullptr, &failed, &limit);
  if (count == SOCKET_ERROR) return -1;
  return count > 0 ? 1 : 0;
}

std::string NumericAddress(const sockaddr* address, int length) {
  char text[NI_MAXHOST] = {};
  if (getnameinfo(address, length, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) return {};
  return text;
}

bool ConnectOne(const addrinfo& candidate, int timeoutMs, Socket* out, std::string* error) {
  const SOCKET created =
      NewSocket(candidate.ai_family, candidate.ai_socktype, candidate.ai_protocol);
  if (created == INVALID_SOCKET) {
    *error = SystemText(WSAGetLastError());
    return false;
  }
  Socket owner(AsHandle(created));
  if (!DisableSendDelay(created)) {
    *error = SystemText(WSAGetLastError());
    return false;
  }
  if (connect(created, candidate.ai_addr, static_cast<int>(candidate.ai_addrlen)) != 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) {
      *error = SystemText(WSAGetLastError());
      return false;
    }
    const int ready = WaitFor(created, true, timeoutMs);
    if (ready <= 0) {
      *error = ready == 0 ? kTimedOutText : SystemText(WSAGetLastError());
      return false;
    }
    int failure = 0;
    int length = sizeof failure;
    if (getsockopt(created, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&failure), &length) !=
        0) {
      failure = WSAGetLastError();
    }
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
  if (handle_ != kNoSocket) closesocket(AsSocket(Release()));
}

void Socket::Abort() {
  if (handle_ == kNoSocket) return;
  linger reset{1, 0};
  setsockopt(AsSocket(handle_), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset),
             sizeof reset);
  Close();
}

bool Connect(const std::string& host, int port, int timeoutMs, Socket* out, std::string* error) {
  if (!WinsockReady(error)) return false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int status = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (status != 0) {
    *error = SystemText(status);
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
  int length = sizeof local;
  if (getsockname(AsSocket(connected.Handle()), reinterpret_cast<sockaddr*>(&local), &length) !=
      0) {
    *error = SystemText(WSAGetLastError());
    return false;
  }
  if (local.ss_family == AF_INET) {
    reinterpret_cast<sockaddr_in*>(&local)->sin_port = 0;
  } else {
    reinterpret_cast<sockaddr_in6*>(&local)->sin6_port = 0;
  }
  const SOCKET created = NewSocket(local.ss_family, SOCK_STREAM, IPPROTO_TCP);
  if (created == INVALID_SOCKET) {
    *error = SystemText(WSAGetLastError());
    return false;
  }
  Socket owner(AsHandle(created));
  sockaddr_storage bound{};
  int boundLength = sizeof bound;
  if (bind(created, reinterpret_cast<const sockaddr*>(&local), length) != 0 ||
      listen(created, kListenBacklog) != 0 ||
      getsockname(created, reinterpret_cast<sockaddr*>(&bound), &boundLength) != 0) {
    *error = SystemText(WSAGetLastError());
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
  int length = sizeof peer;
  // The accepted socket has the listener's properties, non-blocking mode included.
  const SOCKET accepted =
      accept(AsSocket(listener.Handle()), reinterpret_cast<sockaddr*>(&peer), &length);
  if (accepted == INVALID_SOCKET) {
    if (WSAGetLastError() == WSAEWOULDBLOCK) return 0;
    *error = SystemText(WSAGetLastError());
    return -1;
  }
  *out = Socket(AsHandle(accepted));
  *peerAddress = NumericAddress(reinterpret_cast<const sockaddr*>(&peer), length);
  return 1;
}

std::string PeerAddress(const Socket& connected) {
  sockaddr_storage peer{};
  int length = sizeof peer;
  if (getpeername(AsSocket(connected.Handle()), reinterpret_cast<sockaddr*>(&peer), &length) != 0) {
    return {};
  }
  return NumericAddress(reinterpret_cast<const sockaddr*>(&peer), length);
}

bool SendAll(const Socket& socket, const char* data, std::size_t size, int timeoutMs,
             std::string* error) {
  const SOCKET target = AsSocket(socket.Handle());
  while (size > 0) {
    const int chunk = static_cast<int>(size < kMaxChunk ? size : kMaxChunk);
    const int sent = send(target, data, chunk, 0);
    if (sent > 0) {
      data += sent;
      size -= static_cast<std::size_t>(sent);
      continue;
    }
    if (sent == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) {
      *error = SystemText(WSAGetLastError());
      return false;
    }
    const int ready = WaitFor(target, true, timeoutMs);
    if (ready <= 0) {
      *error = ready == 0 ? kTimedOutText : SystemText(WSAGetLastError());
      return false;
    }
  }
  return true;
}

long Receive(const Socket& socket, char* buffer, std::size_t size, int timeoutMs,
             std::string* error) {
  const HANDLE event = ReceiveEvent();
  if (event == nullptr) {
    *error = SystemText(static_cast<int>(GetLastError()));
    return -1;
  }
  // An overlapped receive waits for the data itself. Waiting for readiness and receiving then
  // takes more system calls, each expensive under Wine, whose server also keeps polling a
  // readable socket until the waiting thread has run again.
  const SOCKET source = AsSocket(socket.Handle());
  WSABUF piece{static_cast<ULONG>(size < kMaxChunk ? size : kMaxChunk), buffer};
  WSAOVERLAPPED pending{};
  pending.hEvent = event;
  DWORD got = 0;
  DWORD flags = 0;
  if (WSARecv(source, &piece, 1, &got, &flags, &pending, nullptr) == 0)
    return static_cast<long>(got);
  if (WSAGetLastError() != WSA_IO_PENDING) {
    *error = SystemText(WSAGetLastError());
    return -1;
  }
  const DWORD waited =
      WaitForSingleObject(event, static_cast<DWORD>(timeoutMs > 0 ? timeoutMs : 0));
  if (waited != WAIT_OBJECT_0) CancelIo(reinterpret_cast<HANDLE>(source));
  // Data that came in just before the cancel is taken, not lost.
  if (WSAGetOverlappedResult(source, &pending, &got, TRUE, &flags)) return static_cast<long>(got);
  *error = waited == WAIT_TIMEOUT ? kTimedOutText : SystemText(WSAGetLastError());
  return -1;
}

int WaitReadable(const Socket& first, const Socket& second, int timeoutMs, std::string* error) {
  const SOCKET sockets[2] = {AsSocket(first.Handle()), AsSocket(second.Handle())};
  fd_set ready;
  FD_ZERO(&ready);
  FD_SET(sockets[0], &ready);
  FD_SET(sockets[1], &ready);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  const int count = select(0, &ready, nullptr, nullptr, &limit);
  if (count == SOCKET_ERROR) {
    *error = SystemText(WSAGetLastError());
    return -1;
  }
  if (count == 0) {
    *error = kTimedOutText;
    return -1;
  }
  return FD_ISSET(sockets[0], &ready) ? 0 : 1;
}

}  // namespace net

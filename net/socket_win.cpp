#include <windows.h>
#include <winsock2.h>
#include <mstcpip.h>

#include <climits>
#include <cstring>

#include "net/socket_os.h"
#include "system_sockets.h"
#include "base/system_error.h"

namespace net::os {

namespace {

constexpr WORD kWinsockVersion = MAKEWORD(2, 2);
// send/recv take an int length.
constexpr std::size_t kMaxChunk = INT_MAX;
// How long a cancelled receive may take to settle before the socket is given up on.
constexpr DWORD kCancelSettleMs = 5000;
constexpr ULONG kKeepAliveIntervalMs = 10000;

SocketHandle AsHandle(SOCKET socket) {
  return socket == INVALID_SOCKET ? kNoSocket : static_cast<SocketHandle>(socket);
}

// The event overlapped receives of this thread wait on: made once per thread, released when the
// process ends.
HANDLE ReceiveEvent() {
  thread_local const HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  return event;
}

}  // namespace

// Winsock must be started before the first socket call; once per process is enough and it is
// never stopped, since the process ending releases it.
bool Start(std::string* error) {
  static const int status = [] {
    WSADATA data;
    return WSAStartup(kWinsockVersion, &data);
  }();
  if (status != 0) *error = ErrorText(status);
  return status == 0;
}

std::string ErrorText(int code) { return SystemErrorText(static_cast<unsigned long>(code)); }

bool WouldBlock(int code) { return code == WSAEWOULDBLOCK || code == WSAEINPROGRESS; }

std::string LookUpErrorText(int status) { return ErrorText(status); }

SocketHandle Open(const Endpoint& like, int* error) {
  const SOCKET created =
      socket(reinterpret_cast<const sockaddr*>(like.bytes)->sa_family, SOCK_STREAM, IPPROTO_TCP);
  u_long nonBlocking = 1;
  if (created == INVALID_SOCKET || ioctlsocket(created, FIONBIO, &nonBlocking) != 0) {
    *error = WSAGetLastError();
    if (created != INVALID_SOCKET) closesocket(created);
    return kNoSocket;
  }
  return AsHandle(created);
}

bool KeepAlive(SocketHandle handle, int idleSeconds, int* error) {
  tcp_keepalive probes{1, static_cast<ULONG>(idleSeconds) * 1000, kKeepAliveIntervalMs};
  DWORD returned = 0;
  if (WSAIoctl(Native(handle), SIO_KEEPALIVE_VALS, &probes, sizeof probes, nullptr, 0, &returned,
               nullptr, nullptr) == 0) {
    return true;
  }
  *error = WSAGetLastError();
  return false;
}

SocketHandle Accept(SocketHandle listener, Endpoint* peer, int* error) {
  int length = sizeof peer->bytes;
  // The accepted socket has the listener's properties, non-blocking mode included.
  const SOCKET accepted =
      accept(Native(listener), reinterpret_cast<sockaddr*>(peer->bytes), &length);
  if (accepted == INVALID_SOCKET) {
    *error = WSAGetLastError();
    return kNoSocket;
  }
  peer->length = length;
  return AsHandle(accepted);
}

namespace {

// Which of the sockets is ready now, without waiting: its index, or -1 with *error set
// (kTimedOut when none is).
int ReadyNow(const SocketHandle* handles, int count, Want want, int* error) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  for (int i = 0; i < count; ++i) {
    FD_SET(Native(handles[i]), &ready);
    FD_SET(Native(handles[i]), &failed);
  }
  // Winsock reports a failed connect only in the exception set. That set also flags pending
  // urgent data, which would wake every wait at once and make its loop spin, so it is asked for
  // only while connecting, before any data can have come.
  fd_set* const exceptions = want == Want::Connect ? &failed : nullptr;
  timeval now{0, 0};
  const int found = select(0, want == Want::Read ? &ready : nullptr,
                           want == Want::Read ? nullptr : &ready, exceptions, &now);
  if (found == SOCKET_ERROR) {
    *error = WSAGetLastError();
    return -1;
  }
  for (int i = 0; i < count && found > 0; ++i) {
    // No exception set was asked for outside a connect: there is none to look in then.
    if (FD_ISSET(Native(handles[i]), &ready) ||
        (exceptions != nullptr && FD_ISSET(Native(handles[i]), exceptions))) {
      return i;
    }
  }
  *error = kTimedOut;
  return -1;
}

long EventsFor(Want want) {
  if (want == Want::Connect) return FD_CONNECT;
  return want == Want::Read ? FD_READ | FD_ACCEPT | FD_CLOSE : FD_WRITE | FD_CLOSE;
}

// One event per socket a wait can watch, made once per thread.
HANDLE SocketEvent(int index) {
  thread_local const HANDLE events[2] = {CreateEventA(nullptr, TRUE, FALSE, nullptr),
                                         CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  return events[index];
}

}  // namespace

// The socket events only say that something changed (Winsock records most of them once, not
// while the state lasts), so readiness itself is always read with a select that does not wait.
int Wait(const SocketHandle* handles, int count, Want want, int timeoutMs, const StopSignal* stop,
         int* error) {
  if (count > 2) count = 2;
  HANDLE waitables[3];
  for (int i = 0; i < count; ++i) {
    waitables[i] = SocketEvent(i);
    ResetEvent(waitables[i]);
    WSAEventSelect(Native(handles[i]), waitables[i], EventsFor(want));
  }
  DWORD watched = static_cast<DWORD>(count);
  if (stop != nullptr && stop->Waitable() != 0) {
    waitables[watched++] = reinterpret_cast<HANDLE>(stop->Waitable());
  }
  const ULONGLONG deadline =
      GetTickCount64() + static_cast<ULONGLONG>(timeoutMs > 0 ? timeoutMs : 0);
  int ready = -1;
  for (;;) {
    if (stop != nullptr && stop->IsRaised()) {
      *error = kStopped;
      break;
    }
    ready = ReadyNow(handles, count, want, error);
    if (ready >= 0 || *error != kTimedOut) break;
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) break;
    const DWORD woke =
        WaitForMultipleObjects(watched, waitables, FALSE, static_cast<DWORD>(deadline - now));
    if (woke == WAIT_FAILED) {
      *error = static_cast<int>(GetLastError());
      break;
    }
    if (woke < WAIT_OBJECT_0 + static_cast<DWORD>(count))
      ResetEvent(waitables[woke - WAIT_OBJECT_0]);
  }
  // Back to a plain non-blocking socket, so overlapped receives see no select of ours.
  for (int i = 0; i < count; ++i) WSAEventSelect(Native(handles[i]), nullptr, 0);
  return ready;
}

long Send(SocketHandle handle, const char* data, std::size_t size, int* error) {
  const int sent =
      send(Native(handle), data, static_cast<int>(size < kMaxChunk ? size : kMaxChunk), 0);
  if (sent != SOCKET_ERROR) return sent;
  *error = WSAGetLastError();
  return -1;
}

long Receive(SocketHandle handle, char* buffer, std::size_t size, int timeoutMs,
             const StopSignal* stop, int* error) {
  const HANDLE event = ReceiveEvent();
  if (event == nullptr) {
    *error = static_cast<int>(GetLastError());
    return -1;
  }
  // An overlapped receive waits for the data itself. Waiting for readiness and receiving then
  // takes more system calls, each expensive under Wine, whose server also keeps polling a
  // readable socket until the waiting thread has run again.
  const SOCKET source = Native(handle);
  WSABUF piece{static_cast<ULONG>(size < kMaxChunk ? size : kMaxChunk), buffer};
  WSAOVERLAPPED pending{};
  pending.hEvent = event;
  DWORD got = 0;
  DWORD flags = 0;
  if (WSARecv(source, &piece, 1, &got, &flags, &pending, nullptr) == 0) {
    return static_cast<long>(got);
  }
  if (WSAGetLastError() != WSA_IO_PENDING) {
    *error = WSAGetLastError();
    return -1;
  }
  HANDLE waitables[2] = {event, nullptr};
  const DWORD watched = stop != nullptr && stop->Waitable() != 0 ? 2 : 1;
  if (watched == 2) waitables[1] = reinterpret_cast<HANDLE>(stop->Waitable());
  const DWORD waited = WaitForMultipleObjects(watched, waitables, FALSE,
                                              static_cast<DWORD>(timeoutMs > 0 ? timeoutMs : 0));
  if (waited != WAIT_OBJECT_0) {
    CancelIo(reinterpret_cast<HANDLE>(source));
    // The cancelled receive must settle before its buffer goes away; if it does not, closing
    // the socket is the one sure way to end it, rather than an unlimited wait.
    if (WaitForSingleObject(event, kCancelSettleMs) != WAIT_OBJECT_0) {
      closesocket(source);
      WaitForSingleObject(event, kCancelSettleMs);
      *error = kAbandoned;
      return -1;
    }
  }
  // Data that came in just before the cancel is taken, not lost.
  if (WSAGetOverlappedResult(source, &pending, &got, FALSE, &flags)) return static_cast<long>(got);
  *error = waited == WAIT_TIMEOUT        ? kTimedOut
           : waited == WAIT_OBJECT_0 + 1 ? kStopped
                                         : WSAGetLastError();
  return -1;
}

}  // namespace net::os

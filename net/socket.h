// Sockets: a small TCP layer over Winsock (Windows) and POSIX sockets (native builds), just enough
// for the FTP client. Every blocking step takes a timeout so a silent peer can never hang the
// program. Each step returns false on a failure, with the reason in `error`, and gives what it
// yields through its out-parameters; nothing here throws.
// Includes nothing of the program's own outside net/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace net {

// Wide enough for a Winsock SOCKET (an unsigned pointer-sized value) and for a POSIX descriptor.
using SocketHandle = std::intptr_t;
constexpr SocketHandle kNoSocket = -1;

// Text used when a wait runs out, so callers and users see one wording for every timeout.
extern const char* const kTimedOutText;
// Text used when a send falls below the pace floor.
extern const char* const kTooSlowText;

// Owns one socket; closes it when destroyed. Sockets made here are non-blocking.
class Socket {
 public:
  Socket() = default;
  explicit Socket(SocketHandle handle) : handle_(handle) {}
  ~Socket() { Close(); }
  Socket(Socket&& other) noexcept : handle_(other.Release()) {}
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = other.Release();
    }
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool IsOpen() const { return handle_ != kNoSocket; }
  SocketHandle Handle() const { return handle_; }
  SocketHandle Release() {
    const SocketHandle handle = handle_;
    handle_ = kNoSocket;
    return handle;
  }
  void Close();
  // Closes with a reset instead of an orderly end, so the peer sees the transfer as broken.
  void Abort();
  // Ends what is sent (the peer reads an end of data); what the peer sends can still be read.
  void ShutdownSending();

 private:
  SocketHandle handle_ = kNoSocket;
};

// Resolves host (a name or an IPv4/IPv6 literal) and connects to the first address that answers,
// all within timeoutMs however many addresses the name has. The connection sends without Nagle's
// delay: it carries short commands that each wait for their answer.
bool Connect(const std::string& host, int port, int timeoutMs, Socket* out, std::string* error);

// TCP keepalive: an idle connection is probed after idleSeconds, so that a router on the way keeps
// it through a long wait (a control connection while a big file goes out).
bool KeepAlive(const Socket& socket, int idleSeconds, std::string* error);

// A floor under the pace of the calling thread's sends (SendAll, and so TLS) while it lasts: when
// fewer than minimumBytes go out in any windowMs, the send fails with kTooSlowText. A silent peer
// is bounded by each send's timeout; this bounds one that trickles.
class SendPaceFloor {
 public:
  SendPaceFloor(std::uint64_t minimumBytes, int windowMs);
  ~SendPaceFloor();
  SendPaceFloor(const SendPaceFloor&) = delete;
  SendPaceFloor& operator=(const SendPaceFloor&) = delete;

 private:
  void* previous_;
};

// A listening socket on the local address of `connected` with a port chosen by the system.
struct Listener {
  Socket socket;
  bool isIPv6 = false;
  std::string addressText;  // numeric form, e.g. 127.0.0.1 or ::1
  int port = 0;
};
bool ListenBeside(const Socket& connected, Listener* out, std::string* error);

// A connection taken from a listener, and where it came from.
struct Accepted {
  Socket socket;
  std::string peerAddress;
  int peerPort = 0;
};
// Takes a connection that is already waiting on listener, without waiting for one; out->socket
// stays closed when none is waiting.
bool AcceptWaiting(const Socket& listener, Accepted* out, std::string* error);

// Numeric address of the remote end (no port), or empty when unknown.
std::string PeerAddress(const Socket& connected);

// Every wait below ends at once, failing with kStoppedText, when the calling thread's stop signal
// (net/stop.h) is raised.
//
// Sends all of data; fails if the peer takes nothing for timeoutMs.
bool SendAll(const Socket& socket, const char* data, std::size_t size, int timeoutMs,
             std::string* error);

// Receives what is there (at most size bytes) into *received, which is 0 when the peer closed the
// connection. False on a failure or when nothing came within timeoutMs. The socket is left closed
// when a wait that would not end had to be broken off.
bool Receive(Socket& socket, char* buffer, std::size_t size, int timeoutMs, std::size_t* received,
             std::string* error);

// Waits until one of two sockets has something to read (or was closed); *ready is 0 or 1 for the
// one that is (the first wins a tie). False on a failure or timeout.
bool WaitReadable(const Socket& first, const Socket& second, int timeoutMs, int* ready,
                  std::string* error);

}  // namespace net

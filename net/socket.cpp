#include "net/socket.h"

#include <chrono>

#include "net/socket_os.h"

namespace net {

const char* const kTimedOutText = "The operation timed out";

namespace {

constexpr int kNoPort = 0;

using Clock = std::chrono::steady_clock;

std::string Text(int code) {
  if (code == os::kAbandoned) return "The connection stopped answering and was closed";
  return code == os::kTimedOut ? kTimedOutText : os::ErrorText(code);
}

int MillisecondsUntil(Clock::time_point deadline) {
  const long long left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool ConnectOne(const os::Endpoint& candidate, Clock::time_point deadline, Socket* out,
                std::string* error) {
  int code = 0;
  Socket owner(os::Open(candidate, &code));
  if (!owner.IsOpen() || !os::DisableSendDelay(owner.Handle(), &code)) {
    *error = Text(code);
    return false;
  }
  code = os::StartConnect(owner.Handle(), candidate);
  if (code != 0 && !os::WouldBlock(code)) {
    *error = Text(code);
    return false;
  }
  if (code != 0) {
    const SocketHandle handle = owner.Handle();
    if (os::Wait(&handle, 1, os::Want::Connect, MillisecondsUntil(deadline), &code) < 0) {
      *error = Text(code);
      return false;
    }
    code = os::ConnectOutcome(handle);
    if (code != 0) {
      *error = Text(code);
      return false;
    }
  }
  *out = std::move(owner);
  return true;
}

}  // namespace

void Socket::Close() {
  if (handle_ != kNoSocket) os::Close(Release());
}

void Socket::Abort() {
  if (handle_ != kNoSocket) os::Abort(Release());
}

void Socket::ShutdownSending() {
  if (handle_ != kNoSocket) os::ShutdownSending(handle_);
}

bool Connect(const std::string& host, int port, int timeoutMs, Socket* out, std::string* error) {
  std::vector<os::Endpoint> candidates;
  if (!os::Start(error) || !os::Resolve(host, port, &candidates, error)) return false;
  // One limit for the whole name: a name with many silent addresses must not multiply it.
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (const os::Endpoint& candidate : candidates) {
    if (ConnectOne(candidate, deadline, out, error)) return true;
    if (MillisecondsUntil(deadline) == 0) break;
  }
  return false;
}

bool ListenBeside(const Socket& connected, Listener* out, std::string* error) {
  os::Endpoint local;
  int code = 0;
  if (!os::LocalEndpoint(connected.Handle(), &local, &code)) {
    *error = Text(code);
    return false;
  }
  os::SetPort(&local, kNoPort);
  Socket owner(os::Open(local, &code));
  os::Endpoint bound;
  if (!owner.IsOpen() || (code = os::BindAndListen(owner.Handle(), local)) != 0 ||
      !os::LocalEndpoint(owner.Handle(), &bound, &code)) {
    *error = Text(code);
    return false;
  }
  out->isIPv6 = os::IsIPv6(bound);
  out->port = os::PortOf(bound);
  out->addressText = os::NumericText(bound);
  out->socket = std::move(owner);
  return true;
}

int AcceptWaiting(const Socket& listener, Socket* out, std::string* peerAddress, int* peerPort,
                  std::string* error) {
  os::Endpoint peer;
  int code = 0;
  const SocketHandle accepted = os::Accept(listener.Handle(), &peer, &code);
  if (accepted == kNoSocket) {
    if (os::WouldBlock(code)) return 0;
    *error = Text(code);
    return -1;
  }
  *out = Socket(accepted);
  *peerAddress = os::NumericText(peer);
  *peerPort = os::PortOf(peer);
  return 1;
}

std::string PeerAddress(const Socket& connected) {
  os::Endpoint peer;
  int code = 0;
  return os::PeerEndpoint(connected.Handle(), &peer, &code) ? os::NumericText(peer) : std::string();
}

bool SendAll(const Socket& socket, const char* data, std::size_t size, int timeoutMs,
             std::string* error) {
  const SocketHandle handle = socket.Handle();
  while (size > 0) {
    int code = 0;
    const long sent = os::Send(handle, data, size, &code);
    if (sent > 0) {
      data += sent;
      size -= static_cast<std::size_t>(sent);
      continue;
    }
    if (sent < 0 && !os::WouldBlock(code)) {
      *error = Text(code);
      return false;
    }
    // Each wait is a full timeout: a peer that keeps taking data, however slowly, is still there.
    if (os::Wait(&handle, 1, os::Want::Write, timeoutMs, &code) < 0) {
      *error = Text(code);
      return false;
    }
  }
  return true;
}

long Receive(Socket& socket, char* buffer, std::size_t size, int timeoutMs, std::string* error) {
  int code = 0;
  const long got = os::Receive(socket.Handle(), buffer, size, timeoutMs, &code);
  if (got < 0) *error = Text(code);
  if (code == os::kAbandoned) socket.Release();
  return got;
}

int WaitReadable(const Socket& first, const Socket& second, int timeoutMs, std::string* error) {
  const SocketHandle handles[2] = {first.Handle(), second.Handle()};
  int code = 0;
  const int ready = os::Wait(handles, 2, os::Want::Read, timeoutMs, &code);
  if (ready < 0) *error = Text(code);
  return ready;
}

}  // namespace net

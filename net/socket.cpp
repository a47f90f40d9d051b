#include "net/socket.h"

#include <chrono>

#include "net/socket_os.h"
#include "net/deadline.h"
#include "net/stop.h"

namespace net {

const char* const kTimedOutText = "The operation timed out";
const char* const kTooSlowText = "The connection moved less than 1 KiB a second for too long";

namespace {

constexpr int kNoPort = 0;

// The pace floor of the calling thread's sends, while a SendPaceFloor lasts.
struct Pace {
  std::uint64_t minimumBytes;
  int windowMs;
  Clock::time_point windowEnd;
  std::uint64_t bytes;
};
thread_local Pace* threadPace = nullptr;

// False when a window has ended with too little sent; a new window starts then.
bool KeepsPace(Pace& pace) {
  const Clock::time_point now = Clock::now();
  if (now < pace.windowEnd) return true;
  const bool kept = pace.bytes >= pace.minimumBytes;
  pace.windowEnd = now + std::chrono::milliseconds(pace.windowMs);
  pace.bytes = 0;
  return kept;
}

std::string Text(int code) {
  if (code == os::kStopped) return kStoppedText;
  if (code == os::kAbandoned) return "The connection stopped answering and was closed";
  return code == os::kTimedOut ? kTimedOutText : os::ErrorText(code);
}

bool Fail(int code, std::string* error) {
  *error = Text(code);
  return false;
}

bool ConnectOne(const os::Endpoint& candidate, Clock::time_point deadline, Socket* out,
                std::string* error) {
  int code = 0;
  Socket owner(os::Open(candidate, &code));
  if (!owner.IsOpen() || !os::DisableSendDelay(owner.Handle(), &code)) return Fail(code, error);
  code = os::StartConnect(owner.Handle(), candidate);
  if (code != 0 && !os::WouldBlock(code)) return Fail(code, error);
  if (code != 0) {
    const SocketHandle handle = owner.Handle();
    if (os::Wait(&handle, 1, os::Want::Connect, MillisecondsUntil(deadline), ThreadStopSignal(),
                 &code) < 0)
      return Fail(code, error);
    code = os::ConnectOutcome(handle);
    if (code != 0) return Fail(code, error);
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
  // One limit for the whole name: a name with many silent addresses must not multiply it. Each
  // address gets an equal share of what is left, so a dead first path (often IPv6) leaves time
  // for the next; one that fails at once leaves its share to those after it.
  const Clock::time_point deadline = DeadlineAfter(timeoutMs);
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const int share = MillisecondsUntil(deadline) / static_cast<int>(candidates.size() - i);
    if (ConnectOne(candidates[i], DeadlineAfter(share), out, error)) {
      return true;
    }
    if (MillisecondsUntil(deadline) == 0 || StopRequested()) break;
  }
  return false;
}

bool KeepAlive(const Socket& socket, int idleSeconds, std::string* error) {
  int code = 0;
  if (os::KeepAlive(socket.Handle(), idleSeconds, &code)) return true;
  *error = Text(code);
  return false;
}

SendPaceFloor::SendPaceFloor(std::uint64_t minimumBytes, int windowMs) : previous_(threadPace) {
  threadPace = new Pace{minimumBytes, windowMs, DeadlineAfter(windowMs), 0};
}

SendPaceFloor::~SendPaceFloor() {
  delete threadPace;
  threadPace = static_cast<Pace*>(previous_);
}

bool ListenBeside(const Socket& connected, Listener* out, std::string* error) {
  os::Endpoint local;
  int code = 0;
  if (!os::LocalEndpoint(connected.Handle(), &local, &code)) return Fail(code, error);
  os::SetPort(&local, kNoPort);
  Socket owner(os::Open(local, &code));
  os::Endpoint bound;
  if (!owner.IsOpen() || (code = os::BindAndListen(owner.Handle(), local)) != 0 ||
      !os::LocalEndpoint(owner.Handle(), &bound, &code))
    return Fail(code, error);
  out->isIPv6 = os::IsIPv6(bound);
  out->port = os::PortOf(bound);
  out->addressText = os::NumericText(bound);
  out->socket = std::move(owner);
  return true;
}

bool AcceptWaiting(const Socket& listener, Accepted* out, std::string* error) {
  os::Endpoint peer;
  int code = 0;
  const SocketHandle accepted = os::Accept(listener.Handle(), &peer, &code);
  if (accepted == kNoSocket) {
    if (os::WouldBlock(code)) return true;
    *error = Text(code);
    return false;
  }
  out->socket = Socket(accepted);
  out->peerAddress = os::NumericText(peer);
  out->peerPort = os::PortOf(peer);
  return true;
}

std::string PeerAddress(const Socket& connected) {
  os::Endpoint peer;
  int code = 0;
  return os::PeerEndpoint(connected.Handle(), &peer, &code) ? os::NumericText(peer) : std::string();
}

bool SendAll(const Socket& socket, const char* data, std::size_t size, int timeoutMs,
             std::string* error) {
  const SocketHandle handle = socket.Handle();
  Pace* const pace = threadPace;
  // The limit counts from the last progress: a peer that keeps taking data, however slowly, is
  // still there (the pace floor, where one is set, is what bounds a trickle).
  Clock::time_point silentUntil = DeadlineAfter(timeoutMs);
  while (size > 0) {
    int code = 0;
    const long sent = os::Send(handle, data, size, &code);
    if (sent > 0) {
      data += sent;
      size -= static_cast<std::size_t>(sent);
      if (pace != nullptr) pace->bytes += static_cast<std::uint64_t>(sent);
      silentUntil = DeadlineAfter(timeoutMs);
      continue;
    }
    if (sent < 0 && !os::WouldBlock(code)) return Fail(code, error);
    if (pace != nullptr && !KeepsPace(*pace)) {
      *error = kTooSlowText;
      return false;
    }
    int wait = MillisecondsUntil(silentUntil);
    if (pace != nullptr) {
      const int windowLeft = MillisecondsUntil(pace->windowEnd) + 1;
      if (windowLeft < wait) wait = windowLeft;
    }
    if (os::Wait(&handle, 1, os::Want::Write, wait, ThreadStopSignal(), &code) < 0 &&
        (code != os::kTimedOut || MillisecondsUntil(silentUntil) == 0))
      return Fail(code, error);
  }
  return true;
}

bool Receive(Socket& socket, char* buffer, std::size_t size, int timeoutMs, std::size_t* received,
             std::string* error) {
  int code = 0;
  const long got = os::Receive(socket.Handle(), buffer, size, timeoutMs, ThreadStopSignal(), &code);
  if (code == os::kAbandoned) socket.Release();
  if (got < 0) return Fail(code, error);
  *received = static_cast<std::size_t>(got);
  return true;
}

bool WaitReadable(const Socket& first, const Socket& second, int timeoutMs, int* ready,
                  std::string* error) {
  const SocketHandle handles[2] = {first.Handle(), second.Handle()};
  int code = 0;
  *ready = os::Wait(handles, 2, os::Want::Read, timeoutMs, ThreadStopSignal(), &code);
  return *ready >= 0 || Fail(code, error);
}

}  // namespace net

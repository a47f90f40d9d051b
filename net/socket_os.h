// The socket calls under the one algorithm in socket.cpp (connecting with one deadline, sending
// all, waiting, taking connections). Those that are the same everywhere live in system_calls.cpp
// over the system's headers (win/ or posix/system_sockets.h); socket_win.cpp and
// socket_posix.cpp hold only the ones that really differ.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "net/socket.h"
#include "net/stop.h"

namespace net::os {

// Error codes of this layer's own; system codes are positive.
constexpr int kTimedOut = -1;   // a wait ran out
constexpr int kAbandoned = -2;  // an I/O would not end when cancelled: the socket was closed
constexpr int kStopped = -3;    // the stop signal was raised

// A socket address of either family in the system's own form, kept as bytes so that the code
// above this layer needs no system header.
struct Endpoint {
  alignas(8) unsigned char bytes[128] = {};
  int length = 0;
};

// Starts the socket library once per process. On failure `error` gets the reason.
bool Start(std::string* error);
std::string ErrorText(int code);
// Text for a failed name lookup's status.
std::string LookUpErrorText(int status);
// True for "would block" and "in progress": the call goes on, wait and try again.
bool WouldBlock(int code);

bool Resolve(const std::string& host, int port, std::vector<Endpoint>* out, std::string* error);
std::string NumericText(const Endpoint& endpoint);
bool IsIPv6(const Endpoint& endpoint);
int PortOf(const Endpoint& endpoint);
void SetPort(Endpoint* endpoint, int port);

// A non-blocking stream socket of the endpoint's family; kNoSocket with *error set on failure.
SocketHandle Open(const Endpoint& like, int* error);
void Close(SocketHandle handle);
// Closes with a reset instead of an orderly end.
void Abort(SocketHandle handle);
// Sends the peer an end of data (FIN) while the socket still receives.
void ShutdownSending(SocketHandle handle);
bool DisableSendDelay(SocketHandle handle, int* error);
// Probes an idle connection after idleSeconds, and every few seconds after that.
bool KeepAlive(SocketHandle handle, int idleSeconds, int* error);

// 0 when connected at once, otherwise the error code (WouldBlock for a connect under way).
int StartConnect(SocketHandle handle, const Endpoint& to);
// The outcome of a connect under way once the socket is writable: 0 or the error code.
int ConnectOutcome(SocketHandle handle);
// 0 or the error code.
int BindAndListen(SocketHandle handle, const Endpoint& at);
bool LocalEndpoint(SocketHandle handle, Endpoint* out, int* error);
bool PeerEndpoint(SocketHandle handle, Endpoint* out, int* error);
// A waiting connection, non-blocking like the listener; kNoSocket with *error set when none.
SocketHandle Accept(SocketHandle listener, Endpoint* peer, int* error);

enum class Want { Read, Write, Connect };
// Waits until one of the sockets is ready. Returns its index, or -1 with *error set (kTimedOut
// when nothing was ready in time, kStopped when stop, if given, was raised first). Urgent data
// never counts as ready: it would make a loop spin.
int Wait(const SocketHandle* handles, int count, Want want, int timeoutMs, const StopSignal* stop,
         int* error);

// Sends what the system takes now: the count, or -1 with *error set.
long Send(SocketHandle handle, const char* data, std::size_t size, int* error);
// Receives what arrives within timeoutMs: the count, 0 when the peer closed, or -1 with *error set
// (kTimedOut when nothing came; kStopped when stop was raised; kAbandoned when the socket had to be
// closed to end the wait).
long Receive(SocketHandle handle, char* buffer, std::size_t size, int timeoutMs,
             const StopSignal* stop, int* error);

}  // namespace net::os

// The system's socket headers and the few spellings that differ, on POSIX systems. CMake puts this
// folder on the include path of native builds only, for the socket calls that are the same
// everywhere.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "net/socket.h"

namespace net::os {

using NativeSocket = int;
inline NativeSocket Native(SocketHandle handle) { return static_cast<int>(handle); }
inline int LastSocketError() { return errno; }
inline void CloseNative(NativeSocket socket) { close(socket); }
inline constexpr int kShutdownSending = SHUT_WR;

}  // namespace net::os

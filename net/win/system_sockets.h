// The system's socket headers and the few spellings that differ, on Windows. CMake puts this folder
// on the include path of Windows builds only, for the socket calls that are the same everywhere.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

#include "net/socket.h"

namespace net::os {

using NativeSocket = SOCKET;
inline NativeSocket Native(SocketHandle handle) { return static_cast<SOCKET>(handle); }
inline int LastSocketError() { return WSAGetLastError(); }
inline void CloseNative(NativeSocket socket) { closesocket(socket); }
inline constexpr int kShutdownSending = SD_SEND;

}  // namespace net::os

// The system's socket headers on Windows, for the socket code that is the same on every system.
// CMake puts this folder on the include path of Windows builds only.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

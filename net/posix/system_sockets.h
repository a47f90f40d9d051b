// The system's socket headers on POSIX systems, for the socket code that is the same on every
// system. CMake puts this folder on the include path of native builds only.
#pragma once

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

// Public header, Windows side of platform/WinApi.h: the real system headers.
/// @file
/// @brief The Windows side of platform/WinApi.h: the real system headers, whose
/// declarations Microsoft documents.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX // windows.h would otherwise define min and max as macros
#endif

// winsock2.h must come before windows.h: windows.h would otherwise pull in
// the old winsock.h, whose declarations clash with Windows Sockets 2.
#include <windows.h>
#include <winsock2.h>
#include <ws2tcpip.h>
// SIO_KEEPALIVE_VALS and struct tcp_keepalive.
#include <mstcpip.h>

// TCP_KEEPCNT (Windows 10 version 1703 and later) is missing from older SDK
// headers, MinGW-w64's among them; the number is the system's.
#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif

#include "platform/YNetExport.h"

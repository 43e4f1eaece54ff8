// Public header, Windows side of platform/WinApi.h: the real system headers.
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

#include "platform/YNetExport.h"

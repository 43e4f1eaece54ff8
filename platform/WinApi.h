// Public header.
/// @file
/// The one door to the system's API.
///
/// The library is written against the Windows API by its own names
/// (Windows Sockets 2, window messages, kernel objects). On Windows this
/// header includes the real system headers; elsewhere it brings in our own
/// POSIX layer, which provides the subset the library and its tests use,
/// with the same names, types, constants and observable behaviour.
///
/// Nothing outside platform/ includes a system header of the socket,
/// thread or window families; include this one instead.
#pragma once

#if defined(_WIN32)
#include "platform/win/WinApiWin.h"
#else
#include "platform/posix/WinApiPosix.h"
#endif

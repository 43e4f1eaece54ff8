// Public header.
/// @file
/// Start-up and shut-down of the socket stack for the process.
///
/// The application calls SocketInit once before it creates any connection
/// and SocketRelease once after the last one is gone; each SocketInit that
/// returned 0 is matched by one SocketRelease. Nothing in the library calls
/// either. Not for use while a connection of the library exists.
#pragma once

#include "platform/WinApi.h"

namespace YNet2 {

/// Starts Windows Sockets, version 2.0. Returns 0 when the stack is ready;
/// otherwise logs "SocketInit()" (start-up failed) or "winsock ver is not 2.0"
/// (another version was granted; the stack has been released again) and
/// returns 10.
YNET_API LONG SocketInit();

/// Releases the stack once (WSACleanup); its result is ignored.
YNET_API void SocketRelease();

} // namespace YNet2

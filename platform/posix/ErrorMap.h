// Internal header. Translation of system error numbers into the Windows
// Sockets codes that WSAGetLastError answers.
#pragma once

namespace YNetPosix {

// The Windows Sockets code for an errno value: the one place where the two
// meet. Values with no Winsock counterpart answer WSAENETDOWN, the generic
// "the network subsystem failed". Callers adjust for context only where
// Winsock's code depends on state errno does not carry (a receive timeout,
// a send after shutdown), and say so where they do.
int WsaErrorFromErrno(int error);

} // namespace YNetPosix

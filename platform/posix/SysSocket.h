// Internal header. The system's socket calls behind neutral types.
//
// The Windows names (struct sockaddr, SOL_SOCKET, ...) and the system's
// names of the same things cannot meet in one translation unit, so the
// Winsock layer calls the system only through these wrappers, whose
// translation unit sees the system's headers alone. Conventions:
//   - every call retries EINTR itself;
//   - a failure answers -1 with errno set (the caller translates it with
//     WsaErrorFromErrno);
//   - addresses are Winsock socket addresses: 16-byte IPv4 ones, laid out
//     alike on both sides (family, port, address, zero), and 28-byte IPv6
//     ones, laid out alike but for the family's number (Winsock's 23 for
//     AF_INET6), which is translated here;
//   - flags are the Winsock flag bits (kFlag*), translated here;
//   - descriptors are created close-on-exec, and sends never raise SIGPIPE.
#pragma once

#include <cstddef>
#include <cstdint>

namespace YNetPosix::Sys {

constexpr int kAddressLength = 16;
constexpr int kAddress6Length = 28;
// Winsock's number for IPv6 (the system's differs).
constexpr int kFamilyInet6 = 23;

// The Winsock values of the recv/send flags.
constexpr int kFlagOob = 0x1;
constexpr int kFlagPeek = 0x2;
constexpr int kFlagDontRoute = 0x4;
constexpr int kFlagWaitAll = 0x8;

enum class Option {
    Debug,
    AcceptConn,
    ReuseAddr,
    KeepAlive,
    DontRoute,
    Broadcast,
    OobInline,
    SendBuffer,
    ReceiveBuffer,
    Error, // answers an errno value
    Type,
    TcpNoDelay,
    TcpKeepIdle,     // seconds
    TcpKeepInterval, // seconds
    TcpKeepCount,
};

struct Buffer {
    void* data;
    std::size_t length;
};
// The most buffers one Receive or Send takes.
constexpr std::size_t kMaxBuffers = 64;

// Poll bits, in and out.
constexpr int kPollIn = 0x1;
constexpr int kPollOut = 0x2;
constexpr int kPollPri = 0x4;
constexpr int kPollErr = 0x8;  // out only
constexpr int kPollHup = 0x10; // out only

struct PollItem {
    int fd;
    int events;
    int revents;
};

// The family, type and protocol numbers are the Winsock ones; those of
// AF_INET, SOCK_STREAM, SOCK_DGRAM and the IP protocols are the system's too.
int Socket(int family, int type, int protocol);
int Close(int fd);
// length: 16 for IPv4, 28 for IPv6 (the caller checked which).
int Bind(int fd, const void* address, int length);
int Connect(int fd, const void* address, int length);
int Listen(int fd, int backlog);
// The new descriptor inherits non-blocking mode when asked (Winsock's
// accepted sockets take the listener's mode). Addresses coming back are
// written into kAddress6Length bytes, *length set to 16 or 28.
int Accept(int fd, void* address, int* length, bool nonBlocking);
// Byte counts or -1. `from`/`to` may be null. A datagram longer than the
// buffers sets *truncated (its tail is lost).
long Receive(int fd, const Buffer* buffers, std::size_t count, int flags, void* from, bool* truncated);
long Send(int fd, const Buffer* buffers, std::size_t count, int flags, const void* to);
// how: 0 receive, 1 send, 2 both (the Winsock and the system values agree).
int Shutdown(int fd, int how);
int LocalAddress(int fd, void* address, int* length);
int PeerAddress(int fd, void* address, int* length);
// Waits up to timeoutMilliseconds (-1: no limit); answers the number of
// items with events, 0 on timeout.
int Poll(PollItem* items, std::size_t count, int timeoutMilliseconds);
int SetNonBlocking(int fd, bool nonBlocking);
int BytesReadable(int fd, int* count);

int SetIntOption(int fd, Option option, int value);
int GetIntOption(int fd, Option option, int* value);
int SetLinger(int fd, bool on, int seconds);
int GetLinger(int fd, bool* on, int* seconds);
int SetTimeout(int fd, bool receive, std::uint32_t milliseconds);
int GetTimeout(int fd, bool receive, std::uint32_t* milliseconds);

// getaddrinfo of the system, its results copied out as Winsock addresses
// (16 or 28 bytes each, family translated), at most max of them, in the
// system's order. family: AF_INET, kFamilyInet6 or 0 (either); numericHost
// takes only a literal. Answers 0 with *count set, or the system's EAI_*
// code (see ResolveErrorText's caller: WinSock.cpp translates it).
struct ResolvedAddress {
    unsigned char bytes[kAddress6Length];
    int length;
};
int Resolve(const char* node, int family, bool numericHost, ResolvedAddress* out, int max, int* count);
// The Winsock code for an EAI_* result of Resolve.
int ResolveErrorToWsa(int error);

// inet_addr of the system (a.b.c.d and its shorter and octal/hex forms);
// answers 0xFFFFFFFF for text that is no address.
std::uint32_t ParseAddress(const char* text);

} // namespace YNetPosix::Sys

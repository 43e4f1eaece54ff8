// The Windows Sockets calls on SOCKET handles.
//
// Each call holds its socket (SocketTable.h) while it uses the descriptor,
// checks its arguments as Winsock does, calls the system through
// SysSocket.h and answers Winsock's result and error code. Where Winsock's
// code depends on what the socket went through, not on errno alone, the
// entry's state decides:
//   - a call that ends because another thread closed the socket answers
//     WSAEINTR, as a blocking call cancelled by closesocket does;
//   - EAGAIN on a blocking socket is a SO_RCVTIMEO/SO_SNDTIMEO expiry:
//     WSAETIMEDOUT;
//   - a send after shutdown(SD_SEND) is WSAESHUTDOWN, a receive after
//     shutdown(SD_RECEIVE) likewise (the system answers EPIPE and 0);
//   - a connection reset answers WSAECONNRESET again on every later call.
#include <cerrno>
#include <cstring>

#include "platform/posix/ErrorMap.h"
#include "platform/posix/SocketTable.h"
#include "platform/posix/SysSocket.h"
#include "platform/posix/WinApiPosix.h"

using namespace YNetPosix;

namespace {

constexpr int kAddressLength = static_cast<int>(sizeof(sockaddr_in));
constexpr int kAddress6Length = static_cast<int>(sizeof(sockaddr_in6));
static_assert(kAddressLength == Sys::kAddressLength && kAddress6Length == Sys::kAddress6Length);
static_assert(AF_INET6 == Sys::kFamilyInet6);
static_assert(MSG_OOB == Sys::kFlagOob && MSG_PEEK == Sys::kFlagPeek && MSG_WAITALL == Sys::kFlagWaitAll);

int Fail(int error) {
    WSASetLastError(error);
    return SOCKET_ERROR;
}

SOCKET FailSocket(int error) {
    WSASetLastError(error);
    return INVALID_SOCKET;
}

// The Winsock code for the errno of a failed system call on a held socket.
int CallError(const SocketHold& hold, int error) {
    if (hold.Closed())
        return WSAEINTR;
    if (error == EAGAIN && !hold->nonBlocking.load())
        return WSAETIMEDOUT;
    int code = WsaErrorFromErrno(error);
    if (code == WSAECONNRESET)
        hold->resetError.store(WSAECONNRESET);
    return code;
}

// Winsock wants a whole address of a family it knows: 16 bytes of AF_INET
// or 28 of AF_INET6. *used: the length the system is given.
int CheckAddress(const sockaddr* address, int length, int* used) {
    if (address == nullptr || length < kAddressLength)
        return WSAEFAULT;
    if (address->sa_family == AF_INET6) {
        if (length < kAddress6Length)
            return WSAEFAULT;
        *used = kAddress6Length;
        return 0;
    }
    if (address->sa_family != AF_INET)
        return WSAEAFNOSUPPORT;
    *used = kAddressLength;
    return 0;
}

// A destination must name a host and a port: Winsock refuses the any
// address and port 0 where the system would take them for "this host" or
// fail later.
int CheckDestination(const sockaddr* address, int length, int* used) {
    if (int error = CheckAddress(address, length, used))
        return error;
    if (address->sa_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(address);
        static const in6_addr kAny{};
        if (std::memcmp(&in6->sin6_addr, &kAny, sizeof kAny) == 0 || in6->sin6_port == 0)
            return WSAEADDRNOTAVAIL;
        return 0;
    }
    const auto* in = reinterpret_cast<const sockaddr_in*>(address);
    if (in->sin_addr.s_addr == INADDR_ANY || in->sin_port == 0)
        return WSAEADDRNOTAVAIL;
    return 0;
}

// An address result: the caller's length must hold at least 16 bytes (an
// IPv6 result checks its 28 in GiveAddress).
bool AddressRoom(const sockaddr* address, const int* length) {
    return address == nullptr || (length != nullptr && *length >= kAddressLength);
}

// Copies an address result of rawLength bytes; false when the caller's
// room is short of it (WSAEFAULT).
bool GiveAddress(const unsigned char* raw, int rawLength, sockaddr* address, int* length) {
    if (address == nullptr)
        return true;
    if (*length < rawLength)
        return false;
    std::memcpy(address, raw, static_cast<size_t>(rawLength));
    *length = rawLength;
    return true;
}

// The buffers of one call, on the caller's stack.
struct BufferList {
    Sys::Buffer items[Sys::kMaxBuffers];
    std::size_t count = 0;
};

// One buffer of a plain recv/send.
int SingleBuffer(const char* buffer, int length, BufferList* out) {
    if (length < 0 || (buffer == nullptr && length > 0))
        return WSAEFAULT;
    out->items[0] = Sys::Buffer{const_cast<char*>(buffer), static_cast<std::size_t>(length)};
    out->count = 1;
    return 0;
}

// WSABUF arrays; more than kMaxBuffers at once answer WSAENOBUFS.
int CheckBuffers(const LPWSABUF buffers, DWORD count, BufferList* out) {
    if (count != 0 && buffers == nullptr)
        return WSAEFAULT;
    if (count > Sys::kMaxBuffers)
        return WSAENOBUFS;
    for (DWORD i = 0; i < count; ++i) {
        if (buffers[i].buf == nullptr && buffers[i].len != 0)
            return WSAEFAULT;
        out->items[i] = Sys::Buffer{buffers[i].buf, buffers[i].len};
    }
    out->count = count;
    return 0;
}

// Receives into the buffers. Answers the byte count, or SOCKET_ERROR with
// the error set. A truncated datagram answers SOCKET_ERROR (WSAEMSGSIZE)
// with its head in the buffers and the count in *truncatedCount.
long ReceiveOn(SocketHold& hold, BufferList& buffers, int flags, sockaddr* from, int* fromLength,
               long* truncatedCount) {
    if ((flags & ~(MSG_OOB | MSG_PEEK | MSG_WAITALL)) != 0)
        return Fail(WSAEOPNOTSUPP);
    if ((flags & MSG_WAITALL) != 0 && (hold->nonBlocking.load() || hold->type != SOCK_STREAM))
        return Fail(WSAEOPNOTSUPP);
    if (!AddressRoom(from, fromLength))
        return Fail(WSAEFAULT);
    if (hold->type == SOCK_DGRAM && !hold->bound.load())
        return Fail(WSAEINVAL);
    if (int error = hold->resetError.load())
        return Fail(error);
    if (hold->receiveShut.load())
        return Fail(WSAESHUTDOWN);

    unsigned char peer[kAddressLength] = {};
    bool datagram = hold->type == SOCK_DGRAM;
    bool truncated = false;
    long result = Sys::Receive(hold.Fd(), buffers.items, buffers.count, flags, datagram ? peer : nullptr, &truncated);
    if (result < 0)
        return Fail(CallError(hold, errno));
    if (hold.Closed() && result == 0)
        return Fail(WSAEINTR); // woken by closesocket, not by the peer
    if (datagram)
        GiveAddress(peer, kAddressLength, from, fromLength);
    if (truncated) {
        *truncatedCount = result;
        return Fail(WSAEMSGSIZE);
    }
    return result;
}

// Sends the buffers. A blocking stream socket sends them whole, as Winsock
// does; a short count answers only when an error stops it half way.
long SendOn(SocketHold& hold, BufferList& buffers, int flags, const sockaddr* to, int toLength) {
    if ((flags & ~(MSG_OOB | Sys::kFlagDontRoute)) != 0)
        return Fail(WSAEOPNOTSUPP);
    bool datagram = hold->type == SOCK_DGRAM;
    if (datagram && to != nullptr) {
        int used = 0;
        if (int error = CheckDestination(to, toLength, &used))
            return Fail(error);
    } else {
        to = nullptr; // a stream socket sends to its peer whatever `to` says
    }
    if (int error = hold->resetError.load())
        return Fail(error);
    if (hold->sendShut.load())
        return Fail(WSAESHUTDOWN);

    long total = 0;
    std::size_t first = 0;
    for (;;) {
        long sent = Sys::Send(hold.Fd(), buffers.items + first, buffers.count - first, flags, to);
        if (sent < 0) {
            int error = errno;
            if (total > 0)
                return total;
            if (error == EPIPE && !hold.Closed()) // no connection at all, or shut by us
                return Fail(hold->sendShut.load()     ? WSAESHUTDOWN
                            : !hold->connected.load() ? WSAENOTCONN
                                                      : CallError(hold, ECONNRESET));
            return Fail(CallError(hold, error));
        }
        if (datagram)
            hold->bound.store(true); // the system bound it to send
        total += sent;
        if (datagram || hold->nonBlocking.load())
            return total;
        // Skip what went out; stop once every buffer is empty.
        std::size_t done = static_cast<std::size_t>(sent);
        while (first < buffers.count && done >= buffers.items[first].length) {
            done -= buffers.items[first].length;
            ++first;
        }
        if (first == buffers.count)
            return total;
        buffers.items[first].data = static_cast<char*>(buffers.items[first].data) + done;
        buffers.items[first].length -= done;
    }
}

SOCKET NewSocket(int family, int type, int protocol) {
    if (!WinSockStarted())
        return FailSocket(WSANOTINITIALISED);
    if (family != AF_INET && family != AF_INET6)
        return FailSocket(WSAEAFNOSUPPORT);
    if (type != SOCK_STREAM && type != SOCK_DGRAM)
        return FailSocket(WSAESOCKTNOSUPPORT);
    if (family == AF_INET6 && type != SOCK_STREAM) // datagrams carry IPv4 addresses only here
        return FailSocket(WSAESOCKTNOSUPPORT);
    int expected = type == SOCK_STREAM ? IPPROTO_TCP : IPPROTO_UDP;
    if (protocol != 0 && protocol != expected)
        return FailSocket(WSAEPROTONOSUPPORT);
    int fd = Sys::Socket(family, type, expected);
    if (fd < 0)
        return FailSocket(WsaErrorFromErrno(errno));
    return AddSocket(fd, type, false, false);
}

} // namespace

// ---------------------------------------------------------------- creation, closing

SOCKET WINAPI socket(int family, int type, int protocol) {
    return NewSocket(family, type, protocol);
}

// Serves the plain case: no protocol record, no group. Sockets here are
// always fit for synchronous use, so WSA_FLAG_OVERLAPPED changes nothing;
// the overlapped calls themselves are refused (see WSARecv).
SOCKET WINAPI WSASocketA(int family, int type, int protocol, LPWSAPROTOCOL_INFOA info, GROUP group, DWORD flags) {
    if (!WinSockStarted())
        return FailSocket(WSANOTINITIALISED);
    if (info != nullptr)
        return FailSocket(WSAEOPNOTSUPP);
    if (group != 0)
        return FailSocket(WSAEINVAL);
    if ((flags & ~static_cast<DWORD>(WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT)) != 0)
        return FailSocket(WSAEOPNOTSUPP);
    return NewSocket(family, type, protocol);
}

int WINAPI closesocket(SOCKET s) {
    return CloseSocket(s);
}

// ---------------------------------------------------------------- addresses, connections

int WINAPI bind(SOCKET s, const struct sockaddr* address, int length) {
    SocketHold hold = HoldSocket(s);
    if (!hold)
        return SOCKET_ERROR;
    int used = 0;
    if (int error = CheckAddress(address, length, &used))
        return Fail(error);
    if (Sys::Bind(hold.Fd(), address, used) != 0)
        return Fail(CallError(hold, errno));
    hold->bound.store(true);
    return 0;
}

int WINAPI listen(SOCKET s, int backlog) {
    SocketHold hold = HoldSocket(s);
    if (!hold)
        return SOCKET_ERROR;
    if (hold->type != SOCK_STREAM)
        return Fail(WSAEOPNOTSUPP);
    if (hold->connected.load())
        return Fail(WSAEISCONN);
    if (!hold->bound.load()) // the system would bind it; Winsock refuses
        return Fail(WSAEINVAL);
    if (Sys::Listen(hold.Fd(), backlog < 0 ? 0 : backlog) != 0)
        return Fail(CallError(hold, errno));
    return 0;
}

SOCKET WINAPI accept(SOCKET s, struct sockaddr* address, int* length) {
    SocketHold hold = HoldSocket(s);
    if (!hold)
        return INVALID_SOCKET;
    if (!AddressRoom(address, length))
        return FailSocket(WSAEFAULT);
    if (hold->type != SOCK_STREAM)
        return FailSocket(WSAEOPNOTSUPP);
    unsigned char peer[kAddress6Length] = {};
    int peerLength = 0;
    bool nonBlocking = hold->nonBlocking.load();
    int fd = Sys::Accept(hold.Fd(), peer, &peerLength, nonBlocking);
    if (fd < 0)
        return FailSocket(CallError(hold, errno));
    SOCKET accepted = AddSocket(fd, SOCK_STREAM, nonBlocking, true);
    if (accepted == INVALID_SOCKET)
        return INVALID_SOCKET;
    if (!GiveAddress(peer, peerLength, address, length)) {
        closesocket(accepted);
        return FailSocket(WSAEFAULT);
    }
    return accepted;
}

// Serves the condition function synchronously: the connection is accepted,
// shown to the condition with the caller's and our address, and kept on
// CF_ACCEPT. CF_REJECT closes it (WSAECONNREFUSED); CF_DEFER needs
// SO_CONDITIONAL_ACCEPT, which is not offered (WSAEINVAL).
SOCKET WINAPI WSAAccept(SOCKET s, struct sockaddr* address, int* length, LPCONDITIONPROC condition,
                        DWORD_PTR callbackData) {
    sockaddr_in6 caller{};
    int callerLength = kAddress6Length;
    SOCKET accepted = accept(s, reinterpret_cast<sockaddr*>(&caller), &callerLength);
    auto give = [&] {
        if (GiveAddress(reinterpret_cast<unsigned char*>(&caller), callerLength, address, length))
            return accepted;
        closesocket(accepted);
        return FailSocket(WSAEFAULT);
    };
    if (accepted == INVALID_SOCKET)
        return accepted;
    if (condition == nullptr)
        return give();
    sockaddr_in6 callee{};
    int calleeLength = kAddress6Length;
    getsockname(accepted, reinterpret_cast<sockaddr*>(&callee), &calleeLength);
    WSABUF callerId{static_cast<ULONG>(callerLength), reinterpret_cast<char*>(&caller)};
    WSABUF calleeId{static_cast<ULONG>(calleeLength), reinterpret_cast<char*>(&callee)};
    GROUP group = 0;
    int verdict = condition(&callerId, nullptr, nullptr, nullptr, &calleeId, nullptr, &group, callbackData);
    if (verdict == CF_ACCEPT)
        return give();
    closesocket(accepted);
    return FailSocket(verdict == CF_REJECT ? WSAECONNREFUSED : WSAEINVAL);
}

int WINAPI connect(SOCKET s, const struct sockaddr* address, int length) {
    SocketHold hold = HoldSocket(s);
    if (!hold)
        return SOCKET_ERROR;
    int used = 0;
    if (int error = CheckDestination(address, length, &used))
        return Fail(error);
    if (Sys::Connect(hold.Fd(), address, used) == 0) {
        hold->bound.store(true);
        hold->connecting.store(false);
        hold->connected.store(true);
        return 0;
    }
    int error = errno;
    if (error == EINPROGRESS) {
        hold->bound.store(true);
        // A blocking connect ends this way only when SO_SNDTIMEO expired.
        if (!hold->nonBlocking.load())
            return Fail(WSAETIMEDOUT);
        hold->connecting.store(true);
    }
    return Fail(CallError(hold, error));
}

int WINAPI shutdown(SOCKET s, int how) {
    SocketHold hold = HoldSocket(s);
    if (!hold)
        return SOCKET_ERROR;
    if (how != SD_RECEIVE && how != SD_SEND && how != SD_BOTH)
        return Fail(WSAEINVAL);
    if (Sys::Shutdown(hold.Fd(), how) != 0)
        return Fail(CallError(hold, errno));
    if (how != SD_SEND)
        hold->receiveShut.store(true);
    if (how != SD_RECEIVE)
        hold->sendShut.store(true);
    return 0;
}

int WINAPI getsockname(SOCKET s, struct sockaddr* address, int* length) {
    SocketHold hold = HoldSocket(s);
    if (!hold)
        return SOCKET_ERROR;
    if (address == nullptr || !AddressRoom(address, length))
        return Fail(WSAEFAULT);
    if (!hold->bound.load()) // the system would answer 0.0.0.0:0; Winsock refuses
        return Fail(WSAEINVAL);
    unsigned char local[kAddress6Length];
    int localLength = 0;
    if (Sys::LocalAddress(hold.Fd(), local, &localLength) != 0)
        return Fail(CallError(hold, errno));
    if (!GiveAddress(local, localLength, address, length))
        return Fail(WSAEFAULT);
    return 0;
}

int WINAPI getpeername(SOCKET s, struct sockaddr* address, int* length) {
    SocketHold hold = HoldSocket(s);
    if (!hold)
        return SOCKET_ERROR;
    if (address == nullptr || !AddressRoom(address, length))
        return Fail(WSAEFAULT);
    unsigned char peer[kAddress6Length];
    int peerLength = 0;
    if (Sys::PeerAddress(hold.Fd(), peer, &peerLength) != 0)
        return Fail(CallError(hold, errno));
    if (!GiveAddress(peer, peerLength, address, length))
        return Fail(WSAEFAULT);
    return 0;
}

// ---------------------------------------------------------------- data

int WINAPI recv(SOCKET s, char* buffer, int length, int flags) {
    SocketHold hold = HoldSocket(s);
    if (!hold)
        return SOCKET_ERROR;
    BufferList buffers;
    if (int error = SingleBuffer(buffer, length, &buffers))
        return Fail(error);
    long truncated = 0;
    return static_cast<int>(ReceiveOn(hold, buffers, flags, nullptr, nullptr, &truncated));
}

int WINAPI recvfrom(SOCKET s, char* buffer, int length, int flags, struct sockaddr* from, int* fromLength) {
    SocketHold hold = HoldSocket(s);
    if (!hold)
        return SOCKET_ERROR;
    BufferList buffers;
    if (int error = SingleBuffer(buffer, length, &buffers))
        return Fail(error);
    long truncated = 0;
    return static_cast<int>(ReceiveOn(hold, buffers, flags, from, fromLength, &truncated));
}

int WINAPI send(SOCKET s, const char* buffer, int length, int flags) {
    SocketHold hold = HoldSocket(s, HoldFor::Send);
    if (!hold)
        return SOCKET_ERROR;
    BufferList buffers;
    if (int error = SingleBuffer(buffer, length, &buffers))
        return Fail(error);
    return static_cast<int>(SendOn(hold, buffers, flags, nullptr, 0));
}

int WINAPI sendto(SOCKET s, const char* buffer, int length, int flags, const struct sockaddr* to, int toLength) {
    SocketHold hold = HoldSocket(s, HoldFor::Send);
    if (!hold)
        return SOCKET_ERROR;
    BufferList buffers;
    if (int error = SingleBuffer(buffer, length, &buffers))
        return Fail(error);
    return static_cast<int>(SendOn(hold, buffers, flags, to, toLength));
}

// The overlapped variants serve the synchronous case only: with an
// OVERLAPPED record or a completion routine they answer WSAEOPNOTSUPP
// (there is no completion machinery here). Synchronously they answer 0 and
// the byte count through their count argument.
namespace {

int ReceiveBuffers(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD received, LPDWORD flags, sockaddr* from,
                   int* fromLength, LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
    SocketHold hold = HoldSocket(s);
    if (!hold)
        return SOCKET_ERROR;
    if (overlapped != nullptr || routine != nullptr)
        return Fail(WSAEOPNOTSUPP);
    if (received == nullptr || flags == nullptr)
        return Fail(WSAEFAULT);
    BufferList list;
    if (int error = CheckBuffers(buffers, count, &list))
        return Fail(error);
    long truncated = 0;
    long result = ReceiveOn(hold, list, static_cast<int>(*flags), from, fromLength, &truncated);
    if (result == SOCKET_ERROR) {
        if (WSAGetLastError() == WSAEMSGSIZE)
            *received = static_cast<DWORD>(truncated);
        return SOCKET_ERROR;
    }
    *received = static_cast<DWORD>(result);
    *flags = 0;
    return 0;
}

int SendBuffers(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD sent, DWORD flags, const sockaddr* to, int toLength,
                LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
    SocketHold hold = HoldSocket(s, HoldFor::Send);
    if (!hold)
        return SOCKET_ERROR;
    if (overlapped != nullptr || routine != nullptr)
        return Fail(WSAEOPNOTSUPP);
    if (sent == nullptr)
        return Fail(WSAEFAULT);
    BufferList list;
    if (int error = CheckBuffers(buffers, count, &list))
        return Fail(error);
    long result = SendOn(hold, list, static_cast<int>(flags), to, toLength);
    if (result == SOCKET_ERROR)
        return SOCKET_ERROR;
    *sent = static_cast<DWORD>(result);
    return 0;
}

} // namespace

int WINAPI WSARecv(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD received, LPDWORD flags, LPWSAOVERLAPPED overlapped,
                   LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
    return ReceiveBuffers(s, buffers, count, received, flags, nullptr, nullptr, overlapped, routine);
}

int WINAPI WSARecvFrom(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD received, LPDWORD flags, struct sockaddr* from,
                       int* fromLength, LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
    return ReceiveBuffers(s, buffers, count, received, flags, from, fromLength, overlapped, routine);
}

int WINAPI WSASend(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD sent, DWORD flags, LPWSAOVERLAPPED overlapped,
                   LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
    return SendBuffers(s, buffers, count, sent, flags, nullptr, 0, overlapped, routine);
}

int WINAPI WSASendTo(SOCKET s, LPWSABUF buffers, DWORD count, LPDWORD sent, DWORD flags, const struct sockaddr* to,
                     int toLength, LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
    return SendBuffers(s, buffers, count, sent, flags, to, toLength, overlapped, routine);
}

// ---------------------------------------------------------------- control

int WINAPI ioctlsocket(SOCKET s, LONG command, ULONG* argument) {
    SocketHold hold = HoldSocket(s);
    if (!hold)
        return SOCKET_ERROR;
    if (argument == nullptr)
        return Fail(WSAEFAULT);
    if (command == FIONBIO) {
        bool nonBlocking = *argument != 0;
        if (Sys::SetNonBlocking(hold.Fd(), nonBlocking) != 0)
            return Fail(CallError(hold, errno));
        hold->nonBlocking.store(nonBlocking);
        return 0;
    }
    if (command == FIONREAD) {
        int count = 0;
        if (Sys::BytesReadable(hold.Fd(), &count) != 0)
            return Fail(CallError(hold, errno));
        *argument = static_cast<ULONG>(count);
        return 0;
    }
    return Fail(WSAEINVAL);
}

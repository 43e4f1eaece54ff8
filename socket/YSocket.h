// Public header.
/// @file
/// YSocket: owner of one socket handle, one method per socket call.
///
/// @class YNet2::YSocket
/// The object holds one SOCKET; INVALID_SOCKET means it holds none. It owns
/// what it holds: destruction and Close close the handle. The copying
/// operations, SetSocket and assignment from a handle copy the handle as it
/// stands and never close the one held before, so they can leave two objects
/// holding the same socket; the caller keeps one owner and empties the other
/// with SetSocket(INVALID_SOCKET) before it is closed or destroyed. Moving
/// hands the handle over and leaves the source empty.
///
/// Every socket call forwards the held handle and its own arguments to the
/// system call of the same family and returns that call's result unchanged
/// (SOCKET_ERROR or INVALID_SOCKET on failure; the reason is WSAGetLastError).
/// Only RecvLen writes a log line.
///
/// Threads: no lock. Different calls on one handle may run on different
/// threads as far as the system allows; closing a handle another thread is
/// blocked on is how a receive is ended, and is the caller's to arrange.
#pragma once

#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"

namespace YNet2 {

class YNET_API YSocket {
public:
    /// Empty: INVALID_SOCKET.
    YSocket();
    /// socket(family, type, protocol); a failure leaves INVALID_SOCKET, see IsInit.
    YSocket(int family, int type, int protocol);
    /// Adopts handle.
    YSocket(SOCKET handle);
    /// Copies the handle as it stands (see the ownership rule above).
    YSocket(const YSocket& other);
    /// Takes the other's handle and empties it.
    YSocket(YSocket&& other) noexcept;
    /// Closes a held handle.
    ~YSocket();

    /// Copy the handle as it stands, without closing the one held before.
    ///@{
    YSocket& operator=(const YSocket& other);
    YSocket& operator=(SOCKET handle);
    ///@}
    /// Takes the other's handle and empties it; a different handle held here
    /// before is closed first, as the one owner of it.
    YSocket& operator=(YSocket&& other) noexcept;

    /// Stores the result of socket(...) / WSASocketA(...); always 0. A handle
    /// held before is overwritten without being closed; a failed creation
    /// shows only as !IsInit().
    ///@{
    LONG Init(int family, int type, int protocol);
    LONG Init(int family, int type, int protocol, LPWSAPROTOCOL_INFOA info, GROUP group, DWORD flags);
    ///@}

    /// closesocket on a held handle, then INVALID_SOCKET; nothing when empty.
    void Close();
    /// Whether a handle is held.
    bool IsInit() const;
    /// Replaces the handle without closing the one held before.
    void SetSocket(SOCKET handle);
    /// The handle held, or INVALID_SOCKET.
    SOCKET GetSocket() const;

    /// The socket calls of the same names (bind, accept and WSAAccept,
    /// connect, listen, recv and WSARecv, recvfrom and WSARecvFrom, send and
    /// WSASend, sendto and WSASendTo, shutdown, setsockopt, getpeername) on
    /// the held handle, their results unchanged.
    ///@{
    int Bind(YSocketAddr* address, int length);
    SOCKET Accept(YSocketAddr* address, int* length);
    SOCKET Accept(YSocketAddr* address, int* length, LPCONDITIONPROC condition, UINT_PTR callbackData);
    int Connect(YSocketAddr* address, int length);
    int Listen(int backlog);
    int Recv(void* buffer, int length, int flags);
    int Recv(LPWSABUF buffers, DWORD count, LPDWORD received, LPDWORD flags, LPWSAOVERLAPPED overlapped,
             LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
    int RecvFrom(void* buffer, int length, int flags, YSocketAddr* from, int* fromLength);
    int RecvFrom(LPWSABUF buffers, DWORD count, LPDWORD received, LPDWORD flags, YSocketAddr* from, int* fromLength,
                 LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
    int Send(const void* buffer, int length, int flags);
    int Send(LPWSABUF buffers, DWORD count, LPDWORD sent, DWORD flags, LPWSAOVERLAPPED overlapped,
             LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
    int SendTo(const void* buffer, int length, int flags, const YSocketAddr* to, int toLength);
    int SendTo(LPWSABUF buffers, DWORD count, LPDWORD sent, DWORD flags, const YSocketAddr* to, int toLength,
               LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine);
    int ShutDown(int how);
    int SetSockOpt(int level, int option, const void* value, int length);
    int GetPeerName(YSocketAddr* address, int* length);
    ///@}

    /// Receives exactly length bytes (length >= 1) unless the peer closes
    /// first or the receive fails. Returns length when all arrived; the count
    /// received so far (possibly 0) when the peer closed; -1 on a socket
    /// error, after logging the requested length and WSAGetLastError().
    int RecvLen(void* buffer, int length, int flags);

    /// The socket's local IPv4 address as its four bytes stand in memory
    /// (network order: on a little-endian host the first dotted number is the
    /// lowest byte), the form IP2Str prints. 0 when getsockname fails.
    ULONG GetLocalIP();

private:
    SOCKET m_Socket;
};

} // namespace YNet2

#include "socket/YSocket.h"

#include <cstring>

#include "framework/Log.h"

namespace YNet2 {
namespace {

// The record is the system's sockaddr_in; the calls take the generic form.
sockaddr* Generic(YSocketAddr* address) {
    return reinterpret_cast<sockaddr*>(static_cast<sockaddr_in*>(address));
}
const sockaddr* Generic(const YSocketAddr* address) {
    return reinterpret_cast<const sockaddr*>(static_cast<const sockaddr_in*>(address));
}

} // namespace

YSocket::YSocket() : m_Socket(INVALID_SOCKET) {}

YSocket::YSocket(int family, int type, int protocol) : m_Socket(socket(family, type, protocol)) {}

YSocket::YSocket(SOCKET handle) : m_Socket(handle) {}

YSocket::YSocket(const YSocket& other) : m_Socket(other.m_Socket) {}

YSocket::YSocket(YSocket&& other) noexcept : m_Socket(other.m_Socket) {
    other.m_Socket = INVALID_SOCKET;
}

YSocket::~YSocket() {
    Close();
}

YSocket& YSocket::operator=(const YSocket& other) {
    m_Socket = other.m_Socket;
    return *this;
}

YSocket& YSocket::operator=(SOCKET handle) {
    SetSocket(handle);
    return *this;
}

YSocket& YSocket::operator=(YSocket&& other) noexcept {
    if (this != &other) {
        if (m_Socket != other.m_Socket)
            Close();
        m_Socket = other.m_Socket;
        other.m_Socket = INVALID_SOCKET;
    }
    return *this;
}

LONG YSocket::Init(int family, int type, int protocol) {
    m_Socket = socket(family, type, protocol);
    return 0;
}

LONG YSocket::Init(int family, int type, int protocol, LPWSAPROTOCOL_INFOA info, GROUP group, DWORD flags) {
    m_Socket = WSASocketA(family, type, protocol, info, group, flags);
    return 0;
}

void YSocket::Close() {
    if (m_Socket == INVALID_SOCKET)
        return;
    closesocket(m_Socket);
    m_Socket = INVALID_SOCKET;
}

bool YSocket::IsInit() const {
    return m_Socket != INVALID_SOCKET;
}

void YSocket::SetSocket(SOCKET handle) {
    m_Socket = handle;
}

SOCKET YSocket::GetSocket() const {
    return m_Socket;
}

int YSocket::Bind(YSocketAddr* address, int length) {
    return bind(m_Socket, Generic(address), length);
}

SOCKET YSocket::Accept(YSocketAddr* address, int* length) {
    return accept(m_Socket, Generic(address), length);
}

SOCKET YSocket::Accept(YSocketAddr* address, int* length, LPCONDITIONPROC condition, UINT_PTR callbackData) {
    return WSAAccept(m_Socket, Generic(address), length, condition, callbackData);
}

int YSocket::Connect(YSocketAddr* address, int length) {
    return connect(m_Socket, Generic(address), length);
}

int YSocket::Listen(int backlog) {
    return listen(m_Socket, backlog);
}

int YSocket::Recv(void* buffer, int length, int flags) {
    return recv(m_Socket, static_cast<char*>(buffer), length, flags);
}

int YSocket::Recv(LPWSABUF buffers, DWORD count, LPDWORD received, LPDWORD flags, LPWSAOVERLAPPED overlapped,
                  LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
    return WSARecv(m_Socket, buffers, count, received, flags, overlapped, routine);
}

int YSocket::RecvFrom(void* buffer, int length, int flags, YSocketAddr* from, int* fromLength) {
    return recvfrom(m_Socket, static_cast<char*>(buffer), length, flags, Generic(from), fromLength);
}

int YSocket::RecvFrom(LPWSABUF buffers, DWORD count, LPDWORD received, LPDWORD flags, YSocketAddr* from,
                      int* fromLength, LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
    return WSARecvFrom(m_Socket, buffers, count, received, flags, Generic(from), fromLength, overlapped, routine);
}

int YSocket::Send(const void* buffer, int length, int flags) {
    return send(m_Socket, static_cast<const char*>(buffer), length, flags);
}

int YSocket::Send(LPWSABUF buffers, DWORD count, LPDWORD sent, DWORD flags, LPWSAOVERLAPPED overlapped,
                  LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
    return WSASend(m_Socket, buffers, count, sent, flags, overlapped, routine);
}

int YSocket::SendTo(const void* buffer, int length, int flags, const YSocketAddr* to, int toLength) {
    return sendto(m_Socket, static_cast<const char*>(buffer), length, flags, Generic(to), toLength);
}

int YSocket::SendTo(LPWSABUF buffers, DWORD count, LPDWORD sent, DWORD flags, const YSocketAddr* to, int toLength,
                    LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
    return WSASendTo(m_Socket, buffers, count, sent, flags, Generic(to), toLength, overlapped, routine);
}

int YSocket::ShutDown(int how) {
    return shutdown(m_Socket, how);
}

int YSocket::SetSockOpt(int level, int option, const void* value, int length) {
    return setsockopt(m_Socket, level, option, static_cast<const char*>(value), length);
}

int YSocket::GetPeerName(YSocketAddr* address, int* length) {
    return getpeername(m_Socket, Generic(address), length);
}

int YSocket::RecvLen(void* buffer, int length, int flags) {
    char* bytes = static_cast<char*>(buffer);
    int received = 0;
    for (;;) {
        int r = recv(m_Socket, bytes + received, length - received, flags);
        if (r == SOCKET_ERROR) {
            Debug("Yonder3::YSocket::RecvLen(%d) error!( 0x%x)", length, static_cast<unsigned>(WSAGetLastError()));
            return -1;
        }
        if (r == 0)
            return received; // the peer closed: what arrived so far
        received += r;
        if (received >= length)
            return length;
    }
}

ULONG YSocket::GetLocalIP() {
    YSocketAddr local;
    std::memset(static_cast<void*>(&local), 0, sizeof(local));
    int length = static_cast<int>(sizeof(local));
    if (getsockname(m_Socket, Generic(&local), &length) == SOCKET_ERROR)
        return 0;
    ULONG address;
    std::memcpy(&address, &local.sin_addr, sizeof(address));
    return address;
}

} // namespace YNet2

// setsockopt / getsockopt with Winsock's levels, option numbers and value
// layouts:
//   - BOOL options take an int (a single byte is accepted, as Winsock does);
//   - SO_LINGER takes Winsock's linger, two u_short fields;
//   - SO_RCVTIMEO / SO_SNDTIMEO take a DWORD of milliseconds (0: no limit);
//   - SO_SNDBUF / SO_RCVBUF read back what was set (the system keeps twice
//     the size asked for, its bookkeeping included: halved on the way out);
//   - SO_ERROR answers a Winsock code and clears it;
//   - TCP_KEEPCNT at IPPROTO_TCP takes an int, as the system's does.
// And WSAIoctl's SIO_KEEPALIVE_VALS, keepalive's times in milliseconds.
#include <cerrno>
#include <cstring>

#include "platform/posix/ErrorMap.h"
#include "platform/posix/SocketTable.h"
#include "platform/posix/SysSocket.h"
#include "platform/posix/WinApiPosix.h"

using namespace YNetPosix;

namespace {

int Fail(int error) {
    WSASetLastError(error);
    return SOCKET_ERROR;
}

int SystemFail(const SocketHold& hold, int error) {
    return Fail(hold.Closed() ? WSAEINTR : WsaErrorFromErrno(error));
}

enum class Kind { Bool, Int, Linger, Timeout, GetOnly };

struct OptionInfo {
    Kind kind;
    Sys::Option option; // for Bool, Int and GetOnly
    bool receive;       // for Timeout
};

// Answers 0 and fills *info for a known option, else the Winsock error.
int Lookup(int level, int option, OptionInfo* info) {
    if (level == IPPROTO_TCP) {
        if (option == TCP_NODELAY)
            *info = {Kind::Bool, Sys::Option::TcpNoDelay, false};
        else if (option == TCP_KEEPCNT)
            *info = {Kind::Int, Sys::Option::TcpKeepCount, false};
        else
            return WSAENOPROTOOPT;
        return 0;
    }
    if (level != SOL_SOCKET)
        return WSAEINVAL;
    switch (option) {
    case SO_DEBUG:
        *info = {Kind::Bool, Sys::Option::Debug, false};
        return 0;
    case SO_REUSEADDR:
        *info = {Kind::Bool, Sys::Option::ReuseAddr, false};
        return 0;
    case SO_KEEPALIVE:
        *info = {Kind::Bool, Sys::Option::KeepAlive, false};
        return 0;
    case SO_DONTROUTE:
        *info = {Kind::Bool, Sys::Option::DontRoute, false};
        return 0;
    case SO_BROADCAST:
        *info = {Kind::Bool, Sys::Option::Broadcast, false};
        return 0;
    case SO_OOBINLINE:
        *info = {Kind::Bool, Sys::Option::OobInline, false};
        return 0;
    case SO_SNDBUF:
        *info = {Kind::Int, Sys::Option::SendBuffer, false};
        return 0;
    case SO_RCVBUF:
        *info = {Kind::Int, Sys::Option::ReceiveBuffer, false};
        return 0;
    case SO_LINGER:
        *info = {Kind::Linger, Sys::Option::Debug, false};
        return 0;
    case SO_RCVTIMEO:
        *info = {Kind::Timeout, Sys::Option::Debug, true};
        return 0;
    case SO_SNDTIMEO:
        *info = {Kind::Timeout, Sys::Option::Debug, false};
        return 0;
    case SO_ACCEPTCONN:
        *info = {Kind::GetOnly, Sys::Option::AcceptConn, false};
        return 0;
    case SO_ERROR:
        *info = {Kind::GetOnly, Sys::Option::Error, false};
        return 0;
    case SO_TYPE:
        *info = {Kind::GetOnly, Sys::Option::Type, false};
        return 0;
    default:
        return WSAENOPROTOOPT;
    }
}

bool IsBufferSize(Sys::Option option) {
    return option == Sys::Option::SendBuffer || option == Sys::Option::ReceiveBuffer;
}

// Milliseconds as the system's keepalive seconds: rounded up, within the
// range it takes (1 to 32767).
int KeepAliveSeconds(ULONG milliseconds) {
    const ULONG seconds = milliseconds / 1000 + (milliseconds % 1000 != 0 ? 1 : 0);
    return static_cast<int>(seconds < 1 ? 1 : seconds > 32767 ? 32767 : seconds);
}

} // namespace

int WINAPI setsockopt(SOCKET s, int level, int option, const char* value, int length) {
    SocketHold hold = HoldSocket(s);
    if (!hold)
        return SOCKET_ERROR;
    OptionInfo info;
    if (int error = Lookup(level, option, &info))
        return Fail(error);
    if (value == nullptr)
        return Fail(WSAEFAULT);
    int fd = hold.Fd();
    switch (info.kind) {
    case Kind::GetOnly:
        return Fail(WSAENOPROTOOPT);
    case Kind::Bool:
    case Kind::Int: {
        int number = 0;
        if (length >= static_cast<int>(sizeof(int)))
            std::memcpy(&number, value, sizeof(number));
        else if (info.kind == Kind::Bool && length >= 1)
            number = static_cast<unsigned char>(value[0]);
        else
            return Fail(WSAEFAULT);
        if (info.kind == Kind::Bool)
            number = number != 0 ? 1 : 0;
        if (Sys::SetIntOption(fd, info.option, number) != 0)
            return SystemFail(hold, errno);
        return 0;
    }
    case Kind::Linger: {
        if (hold->type != SOCK_STREAM)
            return Fail(WSAENOPROTOOPT);
        linger windows;
        if (length < static_cast<int>(sizeof(windows)))
            return Fail(WSAEFAULT);
        std::memcpy(&windows, value, sizeof(windows));
        if (Sys::SetLinger(fd, windows.l_onoff != 0, windows.l_linger) != 0)
            return SystemFail(hold, errno);
        hold->abortiveClose.store(windows.l_onoff != 0 && windows.l_linger == 0);
        return 0;
    }
    case Kind::Timeout: {
        DWORD milliseconds;
        if (length < static_cast<int>(sizeof(milliseconds)))
            return Fail(WSAEFAULT);
        std::memcpy(&milliseconds, value, sizeof(milliseconds));
        if (Sys::SetTimeout(fd, info.receive, milliseconds) != 0)
            return SystemFail(hold, errno);
        return 0;
    }
    }
    return Fail(WSAENOPROTOOPT);
}

int WINAPI getsockopt(SOCKET s, int level, int option, char* value, int* length) {
    SocketHold hold = HoldSocket(s);
    if (!hold)
        return SOCKET_ERROR;
    OptionInfo info;
    if (int error = Lookup(level, option, &info))
        return Fail(error);
    if (value == nullptr || length == nullptr)
        return Fail(WSAEFAULT);
    int fd = hold.Fd();
    switch (info.kind) {
    case Kind::Bool:
    case Kind::Int:
    case Kind::GetOnly: {
        if (*length < static_cast<int>(sizeof(int)))
            return Fail(WSAEFAULT);
        int number = 0;
        if (Sys::GetIntOption(fd, info.option, &number) != 0)
            return SystemFail(hold, errno);
        if (info.option == Sys::Option::Error)
            number = WsaErrorFromErrno(number);
        else if (IsBufferSize(info.option))
            number /= 2;
        else if (info.kind == Kind::Bool || info.option == Sys::Option::AcceptConn)
            number = number != 0 ? TRUE : FALSE;
        std::memcpy(value, &number, sizeof(number));
        *length = sizeof(number);
        return 0;
    }
    case Kind::Linger: {
        if (*length < static_cast<int>(sizeof(linger)))
            return Fail(WSAEFAULT);
        bool on = false;
        int seconds = 0;
        if (Sys::GetLinger(fd, &on, &seconds) != 0)
            return SystemFail(hold, errno);
        linger windows{static_cast<unsigned short>(on ? 1 : 0), static_cast<unsigned short>(seconds)};
        std::memcpy(value, &windows, sizeof(windows));
        *length = sizeof(windows);
        return 0;
    }
    case Kind::Timeout: {
        if (*length < static_cast<int>(sizeof(DWORD)))
            return Fail(WSAEFAULT);
        DWORD milliseconds = 0;
        if (Sys::GetTimeout(fd, info.receive, &milliseconds) != 0)
            return SystemFail(hold, errno);
        std::memcpy(value, &milliseconds, sizeof(milliseconds));
        *length = sizeof(milliseconds);
        return 0;
    }
    }
    return Fail(WSAENOPROTOOPT);
}

int WINAPI WSAIoctl(SOCKET s, DWORD command, LPVOID in, DWORD inLength, LPVOID /*out*/, DWORD /*outLength*/,
                    LPDWORD returned, LPWSAOVERLAPPED overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE routine) {
    SocketHold hold = HoldSocket(s);
    if (!hold)
        return SOCKET_ERROR;
    if (overlapped != nullptr || routine != nullptr)
        return Fail(WSAEOPNOTSUPP);
    if (command != SIO_KEEPALIVE_VALS)
        return Fail(WSAEINVAL);
    tcp_keepalive values;
    if (in == nullptr || inLength < sizeof(values) || returned == nullptr)
        return Fail(WSAEFAULT);
    std::memcpy(&values, in, sizeof(values));
    const int fd = hold.Fd();
    if (values.onoff != 0 &&
        (Sys::SetIntOption(fd, Sys::Option::TcpKeepIdle, KeepAliveSeconds(values.keepalivetime)) != 0 ||
         Sys::SetIntOption(fd, Sys::Option::TcpKeepInterval, KeepAliveSeconds(values.keepaliveinterval)) != 0))
        return SystemFail(hold, errno);
    if (Sys::SetIntOption(fd, Sys::Option::KeepAlive, values.onoff != 0 ? 1 : 0) != 0)
        return SystemFail(hold, errno);
    *returned = 0;
    return 0;
}

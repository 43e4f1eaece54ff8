// Windows Sockets start-up and shut-down, the error slot, byte order,
// address text and the fd_set helpers.
#include <atomic>
#include <bit>
#include <cstring>
#include <mutex>

#include "platform/posix/SocketTable.h"
#include "platform/posix/SysSocket.h"
#include "platform/posix/WinApiPosix.h"

namespace YNetPosix {
namespace {

std::mutex g_StartLock;
int g_StartCount = 0; // g_StartLock; mirrored in g_Started for the socket calls
std::atomic<bool> g_Started{false};

} // namespace

bool WinSockStarted() {
    return g_Started.load(std::memory_order_acquire);
}

} // namespace YNetPosix

using namespace YNetPosix;

// Grants the version asked for up to 2.2, the highest there is, as Windows
// does; versions below 1.0 are refused. Every successful call is matched by
// one WSACleanup.
int WINAPI WSAStartup(WORD versionRequested, LPWSADATA data) {
    const WORD kHighest = MAKEWORD(2, 2);
    BYTE major = LOBYTE(versionRequested);
    BYTE minor = HIBYTE(versionRequested);
    if (data == nullptr)
        return WSAEFAULT;
    if (major == 0)
        return WSAVERNOTSUPPORTED;
    std::memset(data, 0, sizeof(*data));
    bool aboveHighest = major > 2 || (major == 2 && minor > 2);
    data->wVersion = aboveHighest ? kHighest : versionRequested;
    data->wHighVersion = kHighest;
    std::strcpy(data->szDescription, "WinSock 2.0");
    std::strcpy(data->szSystemStatus, "Running");

    std::lock_guard<std::mutex> hold(g_StartLock);
    if (g_StartCount++ == 0)
        g_Started.store(true, std::memory_order_release);
    return 0;
}

// The last WSACleanup closes every socket still open, as Windows does.
int WINAPI WSACleanup() {
    std::lock_guard<std::mutex> hold(g_StartLock);
    if (g_StartCount == 0) {
        WSASetLastError(WSANOTINITIALISED);
        return SOCKET_ERROR;
    }
    if (--g_StartCount == 0) {
        g_Started.store(false, std::memory_order_release);
        CloseAllSockets();
    }
    return 0;
}

int WINAPI WSAGetLastError() {
    return static_cast<int>(GetLastError());
}

void WINAPI WSASetLastError(int error) {
    SetLastError(static_cast<DWORD>(error));
}

// ---------------------------------------------------------------- byte order, address text

namespace {

constexpr bool kLittleEndian = std::endian::native == std::endian::little;

} // namespace

unsigned short WINAPI htons(unsigned short value) {
    return kLittleEndian ? static_cast<unsigned short>(__builtin_bswap16(value)) : value;
}

unsigned short WINAPI ntohs(unsigned short value) {
    return htons(value);
}

ULONG WINAPI htonl(ULONG value) {
    return kLittleEndian ? __builtin_bswap32(value) : value;
}

ULONG WINAPI ntohl(ULONG value) {
    return htonl(value);
}

ULONG WINAPI inet_addr(const char* text) {
    if (text == nullptr) {
        WSASetLastError(WSAEFAULT);
        return INADDR_NONE;
    }
    return Sys::ParseAddress(text);
}

// ---------------------------------------------------------------- fd_set

int WINAPI __WSAFDIsSet(SOCKET s, fd_set* set) {
    for (unsigned int i = 0; i < set->fd_count; ++i) {
        if (set->fd_array[i] == s)
            return 1;
    }
    return 0;
}

// As Winsock's FD_SET: a handle already present, or a full set, is left alone.
void YNetWinFdSetAdd(SOCKET s, fd_set* set) {
    if (set->fd_count < FD_SETSIZE && !__WSAFDIsSet(s, set))
        set->fd_array[set->fd_count++] = s;
}

void YNetWinFdSetRemove(SOCKET s, fd_set* set) {
    unsigned int kept = 0;
    for (unsigned int i = 0; i < set->fd_count; ++i) {
        if (set->fd_array[i] != s)
            set->fd_array[kept++] = set->fd_array[i];
    }
    set->fd_count = kept;
}

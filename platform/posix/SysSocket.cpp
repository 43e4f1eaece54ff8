// The system side of the socket layer: thin wrappers over the POSIX calls.
// This file sees the system's socket headers and none of the Windows names.
#include "platform/posix/SysSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace YNetPosix::Sys {
namespace {

static_assert(sizeof(sockaddr_in) == kAddressLength);
static_assert(sizeof(sockaddr_in6) == kAddress6Length);
// Numbers the Winsock layer hands through unchanged.
static_assert(AF_INET == 2 && SOCK_STREAM == 1 && SOCK_DGRAM == 2);
static_assert(SHUT_RD == 0 && SHUT_WR == 1 && SHUT_RDWR == 2);

int SystemFlags(int flags) {
    int result = 0;
    if (flags & kFlagOob)
        result |= MSG_OOB;
    if (flags & kFlagPeek)
        result |= MSG_PEEK;
    if (flags & kFlagDontRoute)
        result |= MSG_DONTROUTE;
    if (flags & kFlagWaitAll)
        result |= MSG_WAITALL;
    return result;
}

bool OptionName(Option option, int* level, int* name) {
    *level = SOL_SOCKET;
    switch (option) {
    case Option::Debug:
        *name = SO_DEBUG;
        return true;
    case Option::AcceptConn:
        *name = SO_ACCEPTCONN;
        return true;
    case Option::ReuseAddr:
        *name = SO_REUSEADDR;
        return true;
    case Option::KeepAlive:
        *name = SO_KEEPALIVE;
        return true;
    case Option::DontRoute:
        *name = SO_DONTROUTE;
        return true;
    case Option::Broadcast:
        *name = SO_BROADCAST;
        return true;
    case Option::OobInline:
        *name = SO_OOBINLINE;
        return true;
    case Option::SendBuffer:
        *name = SO_SNDBUF;
        return true;
    case Option::ReceiveBuffer:
        *name = SO_RCVBUF;
        return true;
    case Option::Error:
        *name = SO_ERROR;
        return true;
    case Option::Type:
        *name = SO_TYPE;
        return true;
    case Option::TcpNoDelay:
        *level = IPPROTO_TCP;
        *name = TCP_NODELAY;
        return true;
    case Option::TcpKeepIdle:
        *level = IPPROTO_TCP;
        *name = TCP_KEEPIDLE;
        return true;
    case Option::TcpKeepInterval:
        *level = IPPROTO_TCP;
        *name = TCP_KEEPINTVL;
        return true;
    case Option::TcpKeepCount:
        *level = IPPROTO_TCP;
        *name = TCP_KEEPCNT;
        return true;
    }
    return false;
}

template <typename Call> auto RetryInterrupted(Call call) {
    for (;;) {
        auto result = call();
        if (result >= 0 || errno != EINTR)
            return result;
    }
}

bool FillVector(const Buffer* buffers, std::size_t count, iovec* vector) {
    if (count > kMaxBuffers) {
        errno = EINVAL;
        return false;
    }
    for (std::size_t i = 0; i < count; ++i) {
        vector[i].iov_base = buffers[i].data;
        vector[i].iov_len = buffers[i].length;
    }
    return true;
}

// A Winsock address of length bytes as the system's: the same bytes, the
// IPv6 family's number translated. Answers the system's length.
socklen_t ToSystem(const void* address, int length, sockaddr_storage* out) {
    std::memset(out, 0, sizeof(*out));
    std::memcpy(out, address, static_cast<std::size_t>(length));
    if (length == kAddress6Length)
        out->ss_family = AF_INET6;
    return static_cast<socklen_t>(length);
}

// The system's address as a Winsock one (16 or 28 bytes); answers its length.
int FromSystem(const sockaddr_storage& address, void* out) {
    if (address.ss_family == AF_INET6) {
        std::memcpy(out, &address, kAddress6Length);
        const unsigned short family = kFamilyInet6;
        std::memcpy(out, &family, sizeof family);
        return kAddress6Length;
    }
    std::memcpy(out, &address, kAddressLength);
    return kAddressLength;
}

} // namespace

int Socket(int family, int type, int protocol) {
    return ::socket(family == kFamilyInet6 ? AF_INET6 : family, type | SOCK_CLOEXEC, protocol);
}

// close is not retried on EINTR: on Linux the descriptor is gone either way.
int Close(int fd) {
    return ::close(fd);
}

int Bind(int fd, const void* address, int length) {
    sockaddr_storage system;
    socklen_t systemLength = ToSystem(address, length, &system);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&system), systemLength);
}

// An interrupted connect goes on in the background: wait for its end
// instead of starting it again (which would answer EALREADY).
int Connect(int fd, const void* address, int length) {
    sockaddr_storage system;
    socklen_t systemLength = ToSystem(address, length, &system);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&system), systemLength) == 0)
        return 0;
    if (errno != EINTR)
        return -1;
    pollfd item{fd, POLLOUT, 0};
    if (RetryInterrupted([&] { return ::poll(&item, 1, -1); }) < 0)
        return -1;
    int error = 0;
    socklen_t errorLength = sizeof(error);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorLength) != 0)
        return -1;
    if (error != 0) {
        errno = error;
        return -1;
    }
    return 0;
}

int Listen(int fd, int backlog) {
    return ::listen(fd, backlog);
}

int Accept(int fd, void* address, int* length, bool nonBlocking) {
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof(peer);
    int flags = SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0);
    int result =
        RetryInterrupted([&] { return ::accept4(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength, flags); });
    if (result >= 0 && address != nullptr)
        *length = FromSystem(peer, address);
    return result;
}

long Receive(int fd, const Buffer* buffers, std::size_t count, int flags, void* from, bool* truncated) {
    iovec vector[kMaxBuffers];
    if (!FillVector(buffers, count, vector))
        return -1;
    sockaddr_in peer{};
    msghdr message{};
    message.msg_name = from != nullptr ? &peer : nullptr;
    message.msg_namelen = from != nullptr ? sizeof(peer) : 0;
    message.msg_iov = vector;
    message.msg_iovlen = count;
    long result = RetryInterrupted([&] { return ::recvmsg(fd, &message, SystemFlags(flags)); });
    if (result >= 0 && from != nullptr)
        std::memcpy(from, &peer, kAddressLength);
    *truncated = result >= 0 && (message.msg_flags & MSG_TRUNC) != 0;
    return result;
}

long Send(int fd, const Buffer* buffers, std::size_t count, int flags, const void* to) {
    iovec vector[kMaxBuffers];
    if (!FillVector(buffers, count, vector))
        return -1;
    msghdr message{};
    message.msg_name = const_cast<void*>(to);
    message.msg_namelen = to != nullptr ? kAddressLength : 0;
    message.msg_iov = vector;
    message.msg_iovlen = count;
    return RetryInterrupted([&] { return ::sendmsg(fd, &message, SystemFlags(flags) | MSG_NOSIGNAL); });
}

int Shutdown(int fd, int how) {
    return ::shutdown(fd, how);
}

int LocalAddress(int fd, void* address, int* length) {
    sockaddr_storage local{};
    socklen_t localLength = sizeof(local);
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLength) != 0)
        return -1;
    *length = FromSystem(local, address);
    return 0;
}

int PeerAddress(int fd, void* address, int* length) {
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof(peer);
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0)
        return -1;
    *length = FromSystem(peer, address);
    return 0;
}

int Resolve(const char* node, int family, bool numericHost, ResolvedAddress* out, int max, int* count) {
    addrinfo hints{};
    hints.ai_family = family == kFamilyInet6 ? AF_INET6 : family == AF_INET ? AF_INET : AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = numericHost ? AI_NUMERICHOST : 0;
    addrinfo* list = nullptr;
    int result = ::getaddrinfo(node, nullptr, &hints, &list);
    if (result != 0)
        return result;
    int n = 0;
    for (const addrinfo* item = list; item != nullptr && n < max; item = item->ai_next) {
        if (item->ai_family != AF_INET && item->ai_family != AF_INET6)
            continue;
        sockaddr_storage address{};
        std::memcpy(&address, item->ai_addr, item->ai_addrlen);
        out[n].length = FromSystem(address, out[n].bytes);
        ++n;
    }
    ::freeaddrinfo(list);
    *count = n;
    return 0;
}

// Winsock's codes, by number: this file sees no Windows names.
int ResolveErrorToWsa(int error) {
    switch (error) {
    case EAI_NONAME:
    case EAI_NODATA:
    case EAI_ADDRFAMILY:
        return 11001; // WSAHOST_NOT_FOUND
    case EAI_AGAIN:
        return 11002; // WSATRY_AGAIN
    case EAI_FAMILY:
        return 10047; // WSAEAFNOSUPPORT
    case EAI_MEMORY:
        return 8; // WSA_NOT_ENOUGH_MEMORY
    case EAI_SERVICE:
        return 10109; // WSATYPE_NOT_FOUND
    case EAI_SOCKTYPE:
        return 10044; // WSAESOCKTNOSUPPORT
    case EAI_BADFLAGS:
        return 10022; // WSAEINVAL
    default:
        return 11003; // WSANO_RECOVERY
    }
}

int Poll(PollItem* items, std::size_t count, int timeoutMilliseconds) {
    constexpr std::size_t kMaxItems = 3 * 64;
    if (count > kMaxItems) {
        errno = EINVAL;
        return -1;
    }
    pollfd polled[kMaxItems];
    for (std::size_t i = 0; i < count; ++i) {
        short events = 0;
        if (items[i].events & kPollIn)
            events |= POLLIN;
        if (items[i].events & kPollOut)
            events |= POLLOUT;
        if (items[i].events & kPollPri)
            events |= POLLPRI;
        polled[i] = pollfd{items[i].fd, events, 0};
    }
    // A signal restarts the wait with the time that is left.
    auto start = std::chrono::steady_clock::now();
    int result;
    for (;;) {
        int wait = timeoutMilliseconds;
        if (timeoutMilliseconds > 0) {
            auto spent =
                std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
            wait = spent.count() >= timeoutMilliseconds ? 0 : timeoutMilliseconds - static_cast<int>(spent.count());
        }
        result = ::poll(polled, count, wait);
        if (result >= 0 || errno != EINTR)
            break;
    }
    if (result < 0)
        return -1;
    for (std::size_t i = 0; i < count; ++i) {
        short got = polled[i].revents;
        int revents = 0;
        if (got & POLLIN)
            revents |= kPollIn;
        if (got & POLLOUT)
            revents |= kPollOut;
        if (got & POLLPRI)
            revents |= kPollPri;
        if (got & (POLLERR | POLLNVAL))
            revents |= kPollErr;
        if (got & (POLLHUP | POLLRDHUP))
            revents |= kPollHup;
        items[i].revents = revents;
    }
    return result;
}

int SetNonBlocking(int fd, bool nonBlocking) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        return -1;
    flags = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(fd, F_SETFL, flags);
}

int BytesReadable(int fd, int* count) {
    return ::ioctl(fd, FIONREAD, count);
}

int SetIntOption(int fd, Option option, int value) {
    int level, name;
    if (!OptionName(option, &level, &name)) {
        errno = ENOPROTOOPT;
        return -1;
    }
    return ::setsockopt(fd, level, name, &value, sizeof(value));
}

int GetIntOption(int fd, Option option, int* value) {
    int level, name;
    if (!OptionName(option, &level, &name)) {
        errno = ENOPROTOOPT;
        return -1;
    }
    socklen_t length = sizeof(*value);
    return ::getsockopt(fd, level, name, value, &length);
}

int SetLinger(int fd, bool on, int seconds) {
    linger value{on ? 1 : 0, seconds};
    return ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof(value));
}

int GetLinger(int fd, bool* on, int* seconds) {
    linger value{};
    socklen_t length = sizeof(value);
    if (::getsockopt(fd, SOL_SOCKET, SO_LINGER, &value, &length) != 0)
        return -1;
    *on = value.l_onoff != 0;
    *seconds = value.l_linger;
    return 0;
}

int SetTimeout(int fd, bool receive, std::uint32_t milliseconds) {
    timeval value{static_cast<time_t>(milliseconds / 1000), static_cast<suseconds_t>((milliseconds % 1000) * 1000)};
    return ::setsockopt(fd, SOL_SOCKET, receive ? SO_RCVTIMEO : SO_SNDTIMEO, &value, sizeof(value));
}

int GetTimeout(int fd, bool receive, std::uint32_t* milliseconds) {
    timeval value{};
    socklen_t length = sizeof(value);
    if (::getsockopt(fd, SOL_SOCKET, receive ? SO_RCVTIMEO : SO_SNDTIMEO, &value, &length) != 0)
        return -1;
    *milliseconds = static_cast<std::uint32_t>(value.tv_sec * 1000 + value.tv_usec / 1000);
    return 0;
}

std::uint32_t ParseAddress(const char* text) {
    return ::inet_addr(text);
}

} // namespace YNetPosix::Sys

// The POSIX layer's keepalive settings: Winsock's milliseconds become the
// system's whole seconds, rounded up, within the range it takes; the probe
// count is TCP_KEEPCNT.
#include <gtest/gtest.h>

#include "platform/WinApi.h"
#include "platform/posix/SocketTable.h"
#include "platform/posix/SysSocket.h"

namespace {

using YNetPosix::Sys::Option;

TEST(PosixSocketOptions, KeepAliveMillisecondsBecomeWholeSecondsRoundedUpAndTheCountIsTcpKeepCnt) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);
    const int fd = YNetPosix::HoldSocket(s).Fd();
    DWORD returned = 0;
    for (ULONG milliseconds : {1000u, 1500u, 2001u, 1u, 60000u, 40000000u}) {
        tcp_keepalive values{1, milliseconds, milliseconds};
        ASSERT_EQ(0, WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr));
        int idle = 0, interval = 0;
        YNetPosix::Sys::GetIntOption(fd, Option::TcpKeepIdle, &idle);
        YNetPosix::Sys::GetIntOption(fd, Option::TcpKeepInterval, &interval);
        const int expected = milliseconds >= 32767000 ? 32767 : static_cast<int>((milliseconds + 999) / 1000);
        EXPECT_EQ(expected, idle) << milliseconds;
        EXPECT_EQ(expected, interval) << milliseconds;
    }
    tcp_keepalive values{1, 1000, 1000};
    EXPECT_EQ(SOCKET_ERROR, WSAIoctl(s, 0x12345678, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError());
    int probes = 3, probesRead = 0, length = sizeof probesRead;
    ASSERT_EQ(0, setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<char*>(&probes), sizeof probes));
    ASSERT_EQ(0, getsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<char*>(&probesRead), &length));
    EXPECT_EQ(3, probesRead);
    EXPECT_EQ(0, closesocket(s));
}

} // namespace

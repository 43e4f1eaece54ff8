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
    struct Row {
        ULONG idleMs, intervalMs;
        int idle, interval;
    };
    const Row rows[] = {{1000, 1000, 1, 1},
                        {1500, 2001, 2, 3},
                        {1, 0, 1, 1},
                        {60000, 10000, 60, 10},
                        {40000000, 32767000, 32767, 32767}};
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);
    for (const Row& row : rows) {
        tcp_keepalive values{1, row.idleMs, row.intervalMs};
        DWORD returned = 0;
        ASSERT_EQ(0, WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr));
        YNetPosix::SocketHold hold = YNetPosix::HoldSocket(s);
        ASSERT_TRUE(hold);
        int idle = 0, interval = 0;
        ASSERT_EQ(0, YNetPosix::Sys::GetIntOption(hold.Fd(), Option::TcpKeepIdle, &idle));
        ASSERT_EQ(0, YNetPosix::Sys::GetIntOption(hold.Fd(), Option::TcpKeepInterval, &interval));
        EXPECT_EQ(row.idle, idle) << row.idleMs;
        EXPECT_EQ(row.interval, interval) << row.intervalMs;
    }
    DWORD returned = 0;
    tcp_keepalive values{1, 1000, 1000};
    EXPECT_EQ(SOCKET_ERROR, WSAIoctl(s, 0x12345678, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR,
              WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, nullptr, nullptr, nullptr));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
    int probes = 3, probesRead = 0;
    int length = sizeof probesRead;
    ASSERT_EQ(0, setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<char*>(&probes), sizeof probes));
    ASSERT_EQ(0, getsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<char*>(&probesRead), &length));
    EXPECT_EQ(3, probesRead);
    EXPECT_EQ(0, closesocket(s));
    EXPECT_EQ(SOCKET_ERROR,
              WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
}

} // namespace

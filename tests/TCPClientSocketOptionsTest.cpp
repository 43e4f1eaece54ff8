// The socket options a client sets on every socket it connects (TCP_NODELAY,
// keepalive), read back from the connected socket: after Init and after
// Reconnect, directly and through a real SOCKS5 proxy (microsocks).
#include <gtest/gtest.h>

#ifdef YNET_HAVE_ECHO_SERVER

#include <functional>
#include <string>

#include "client/TCPClient.h"
#include "client/TCPClient_Socks5.h"
#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"
#include "support/ClientHarness.h"
#include "support/Loopback.h"
#include "support/RealProxies.h"
#include "tools/EchoServer.h"

using namespace YNet2;
using namespace YNetTest;

namespace {

struct Seen {
    BOOL noDelay;
    BOOL keepAlive;
    int keepCount; // read only while keepalive is on
};

// A client that reads the options of the socket it holds.
template <class Base> class OptionsClient : public Base {
public:
    using Base::Base;
    ~OptionsClient() override { this->EndReceiveThread(); }
    std::string Read(Seen* seen) {
        SOCKET handle = this->BeginSocketUse();
        if (handle == INVALID_SOCKET)
            return "no socket";
        *seen = Seen{FALSE, FALSE, 0};
        int length = sizeof seen->noDelay;
        std::string failed;
        if (getsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&seen->noDelay), &length) != 0)
            failed = "TCP_NODELAY";
        length = sizeof seen->keepAlive;
        if (getsockopt(handle, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&seen->keepAlive), &length) != 0)
            failed = "SO_KEEPALIVE";
        length = sizeof seen->keepCount;
        if (seen->keepAlive &&
            getsockopt(handle, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<char*>(&seen->keepCount), &length) != 0) {
            if (WSAGetLastError() == WSAENOPROTOOPT)
                seen->keepCount = -1; // a system that has no count to set (Windows before 10 version 1703, Wine 8)
            else
                failed = "TCP_KEEPCNT";
        }
        this->EndSocketUse(handle);
        return failed.empty() ? "" : failed + " fail " + std::to_string(WSAGetLastError());
    }
};

// Where the system has no probe count to set, any count reads as "on".
std::string Describe(const Seen& seen) {
    return std::string(seen.noDelay ? "nodelay" : "delay") + ", keepalive " +
           (!seen.keepAlive      ? "off"
            : seen.keepCount < 0 ? "on"
                                 : std::to_string(seen.keepCount) + " probes");
}
std::string Expect(Seen seen, bool systemCounts) {
    if (!systemCounts)
        seen.keepCount = -1;
    return Describe(seen);
}

// Each step: the options set, then how the client connects, then what its
// socket shows. Settings made while connected leave the live socket alone.
template <class Client>
void RunSteps(Client& client, const std::function<LONG()>& init, const std::function<LONG()>& reconnect) {
    Seen seen{};
    ASSERT_EQ(0, init());
    ASSERT_EQ("", client.Read(&seen));
    const bool counts = seen.keepCount >= 0;
#ifndef _WIN32
    ASSERT_TRUE(counts);
#endif
    EXPECT_EQ(Expect({TRUE, TRUE, 6}, counts), Describe(seen)) << "the defaults";

    client.SetNoDelay(false);
    ASSERT_TRUE(client.SetKeepAlive(0, 0, 0));
    ASSERT_EQ("", client.Read(&seen));
    EXPECT_EQ(Expect({TRUE, TRUE, 6}, counts), Describe(seen)) << "a live connection keeps its options";
    ASSERT_EQ(0, reconnect());
    ASSERT_EQ("", client.Read(&seen));
    EXPECT_EQ("delay, keepalive off", Describe(seen)) << "after Reconnect";

    client.SetNoDelay(true);
    ASSERT_TRUE(client.SetKeepAlive(2000, 1000, 3));
    client.Wait_Release();
    ASSERT_EQ(0, init());
    ASSERT_EQ("", client.Read(&seen));
    EXPECT_EQ(Expect({TRUE, TRUE, 3}, counts), Describe(seen)) << "after Init again";
    client.Wait_Release();
}

TEST(TCPClientSocketOptions, EverySocketTheClientConnectsHasTheOptionsSetBeforeIt) {
    YNet2Tools::EchoServer server;
    ASSERT_EQ(0, server.Start());
    YSocketAddr echo{};
    static_cast<sockaddr_in&>(echo) = LoopbackAddress(server.Port());
    RecordingWorker worker;
    {
        SCOPED_TRACE("direct");
        OptionsClient<TCPClient> client(&worker);
        RunSteps(
            client, [&] { return client.Init(echo); }, [&] { return client.Reconnect(); });
    }
    RealProxies proxies = FindRealProxies();
    ASSERT_EQ("", proxies.missing) << "run the tests through scripts/proxies.sh, which starts the proxies";
    {
        SCOPED_TRACE("through microsocks");
        OptionsClient<TCPClient_Socks5> client(&worker);
        RunSteps(
            client, [&] { return client.Init(echo, TCPClient_Socks5::SOCKS5, &proxies.microsocks, nullptr, nullptr); },
            [&] { return client.Reconnect(); });
    }
}

TEST(TCPClientSocketOptions, KeepAliveTakesWhatEverySystemTakesAndACopyKeepsIt) {
    struct Row {
        DWORD idle, interval, count;
        bool taken;
    };
    const Row rows[] = {
        {0, 0, 0, true},                 // off
        {0, 0, 500, true},               // off: the others are not looked at
        {1, 1, 0, true},                 // the system's own count
        {32767000, 32767000, 127, true}, // the longest
        {32767001, 1000, 5, false},      // idle too long
        {1000, 32767001, 5, false},      // interval too long
        {1000, 0, 5, false},             // no interval
        {1000, 1000, 128, false},        // too many probes
    };
    RecordingWorker worker;
    TCPClient client(&worker);
    for (const Row& row : rows) {
        ASSERT_TRUE(client.SetKeepAlive(7000, 3000, 4));
        EXPECT_EQ(row.taken, client.SetKeepAlive(row.idle, row.interval, row.count))
            << row.idle << " " << row.interval << " " << row.count;
        DWORD idle = 0, interval = 0, count = 0;
        client.GetKeepAlive(&idle, &interval, &count);
        const bool off = row.taken && row.idle == 0;
        EXPECT_EQ(row.taken ? row.idle : 7000u, idle);
        EXPECT_EQ(off ? 0u : row.taken ? row.interval : 3000u, interval);
        EXPECT_EQ(off ? 0u : row.taken ? row.count : 4u, count);
    }
    client.SetNoDelay(false);
    ASSERT_TRUE(client.SetKeepAlive(9000, 2000, 2));
    TCPClient copy(client);
    DWORD idle = 0, interval = 0, count = 0;
    copy.GetKeepAlive(&idle, &interval, &count);
    EXPECT_FALSE(copy.GetNoDelay());
    EXPECT_EQ(9000u, idle);
    EXPECT_EQ(2000u, interval);
    EXPECT_EQ(2u, count);
}

} // namespace

#endif // YNET_HAVE_ECHO_SERVER

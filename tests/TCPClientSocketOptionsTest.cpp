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
#include "support/ClientHarness.h"
#include "support/Loopback.h"
#include "support/RealProxies.h"
#include "tools/EchoServer.h"

using namespace YNet2;
using namespace YNetTest;

namespace {

// "nodelay, keepalive 6 probes", or "delay, keepalive off"; where the system
// has no probe count to set (Windows before 10 version 1703, Wine 8) "on".
template <class Base> class OptionsClient : public Base {
public:
    using Base::Base;
    ~OptionsClient() override { this->EndReceiveThread(); }
    std::string Options() {
        SOCKET handle = this->BeginSocketUse();
        auto read = [handle](int level, int option) {
            int value = 0, length = sizeof value;
            return getsockopt(handle, level, option, reinterpret_cast<char*>(&value), &length) == 0 ? value : -1;
        };
        const int noDelay = read(IPPROTO_TCP, TCP_NODELAY), keepAlive = read(SOL_SOCKET, SO_KEEPALIVE);
        const int count = read(IPPROTO_TCP, TCP_KEEPCNT);
        this->EndSocketUse(handle);
        const bool counted = count >= 0;
        if (noDelay < 0 || keepAlive < 0)
            return "no options to read";
        return std::string(noDelay != 0 ? "nodelay" : "delay") + ", keepalive " +
               (keepAlive == 0 ? "off"
                : counted      ? std::to_string(count) + " probes"
                               : "on");
    }
};

std::string Expected(const std::string& probes, bool counted) {
    return "nodelay, keepalive " + (counted ? probes + " probes" : std::string("on"));
}

// Options set while connected leave the live socket alone.
template <class Client>
void RunSteps(Client& client, const std::function<LONG()>& init, const std::function<LONG()>& reconnect) {
    ASSERT_EQ(0, init());
    const bool counted = client.Options() != "nodelay, keepalive on";
#ifndef _WIN32
    ASSERT_TRUE(counted);
#endif
    EXPECT_EQ(Expected("6", counted), client.Options()) << "the defaults";
    client.SetNoDelay(false);
    ASSERT_TRUE(client.SetKeepAlive(0, 0, 0));
    EXPECT_EQ(Expected("6", counted), client.Options()) << "a live connection keeps its options";
    ASSERT_EQ(0, reconnect());
    EXPECT_EQ("delay, keepalive off", client.Options()) << "after Reconnect";
    client.SetNoDelay(true);
    ASSERT_TRUE(client.SetKeepAlive(2000, 1000, 3));
    client.Wait_Release();
    ASSERT_EQ(0, init());
    EXPECT_EQ(Expected("3", counted), client.Options()) << "after Init again";
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
    SCOPED_TRACE("through microsocks");
    OptionsClient<TCPClient_Socks5> client(&worker);
    RunSteps(
        client, [&] { return client.Init(echo, TCPClient_Socks5::SOCKS5, &proxies.microsocks, nullptr, nullptr); },
        [&] { return client.Reconnect(); });
}

TEST(TCPClientSocketOptions, KeepAliveTakesWhatEverySystemTakesAndACopyKeepsIt) {
    RecordingWorker worker;
    TCPClient client(&worker);
    EXPECT_TRUE(client.SetKeepAlive(32767000, 32767000, 127));
    EXPECT_FALSE(client.SetKeepAlive(32767001, 1000, 5));
    EXPECT_FALSE(client.SetKeepAlive(1000, 32767001, 5));
    EXPECT_FALSE(client.SetKeepAlive(1000, 0, 5));
    EXPECT_FALSE(client.SetKeepAlive(1000, 1000, 128));
    client.SetNoDelay(false);
    EXPECT_TRUE(client.SetKeepAlive(9000, 2000, 0)); // 0: the system's count
    TCPClient copy(client);
    DWORD idle = 0, interval = 0, count = 7;
    copy.GetKeepAlive(&idle, &interval, &count);
    EXPECT_EQ("9000 2000 0 delay", std::to_string(idle) + " " + std::to_string(interval) + " " + std::to_string(count) +
                                       (copy.GetNoDelay() ? " nodelay" : " delay"));
}

} // namespace

#endif // YNET_HAVE_ECHO_SERVER

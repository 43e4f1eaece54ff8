// TCPClient_Socks5 through real proxies (microsocks, danted, tinyproxy) started by
// scripts/proxies.sh: each method reaches the echo server, delivers the
// server's first message and exchanges messages; each refusal fails cleanly.
#include <gtest/gtest.h>

#ifdef YNET_HAVE_ECHO_SERVER

#include <algorithm>
#include <string>
#include <vector>

#include "client/TCPClient_Socks5.h"
#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"
#include "socket/YSocketTarget.h"
#include "support/ClientHarness.h"
#include "support/LogCapture.h"
#include "support/Loopback.h"
#include "support/RealProxies.h"
#include "support/ScriptedPeer.h"
#include "tools/EchoServer.h"

using namespace YNet2;
using namespace YNetTest;

namespace {

using Bytes = std::vector<unsigned char>;
using Lines = std::vector<std::string>;
using Socks = TCPClient_Socks5;

RealProxies Proxies() {
    RealProxies proxies = FindRealProxies();
    EXPECT_EQ("", proxies.missing) << "run the tests through scripts/proxies.sh, which starts the proxies";
    return proxies;
}

YSocketAddr EchoAddress(const YNet2Tools::EchoServer& server) {
    YSocketAddr address{};
    static_cast<sockaddr_in&>(address) = LoopbackAddress(server.Port());
    return address;
}

// A loopback port that nothing listens on.
YSocketAddr ClosedPort() {
    unsigned short port = 0;
    SOCKET listener = ListenOnLoopback(&port);
    CloseIfOpen(&listener);
    YSocketAddr address{};
    static_cast<sockaddr_in&>(address) = LoopbackAddress(port);
    return address;
}

TEST(Socks5ProxyTest, EachProxyAndMethodDeliversTheServersFirstMessageAndCarriesMessagesBothWays) {
    RealProxies proxies = Proxies();
    ASSERT_EQ("", proxies.missing);
    YNet2Tools::EchoOptions options;
    options.extra = YNet2Tools::EchoExtra::HeadOnly; // sent as soon as the connection is accepted
    YNet2Tools::EchoServer server(options);
    ASSERT_EQ(0, server.Start());
    YSocketAddr echo = EchoAddress(server);
    struct Route {
        const char* name;
        Socks::_SOCKS_TYPE type;
        YSocketAddr proxy;
        const char* user;
        const char* password;
    };
    const Route routes[] = {
        {"microsocks", Socks::SOCKS5, proxies.microsocks, nullptr, nullptr},
        {"microsocks with credentials", Socks::SOCKS5, proxies.microsocksAuth, proxies.user.c_str(),
         proxies.password.c_str()},
        {"danted SOCKS5", Socks::SOCKS5, proxies.dante, nullptr, nullptr},
        {"danted SOCKS4", Socks::SOCKS4, proxies.dante, nullptr, nullptr},
        {"tinyproxy", Socks::HTTP, proxies.tinyproxy, nullptr, nullptr},
        {"tinyproxy with credentials", Socks::HTTP, proxies.tinyproxyAuth, proxies.httpUser.c_str(),
         proxies.httpPassword.c_str()},
    };
    for (const Route& route : routes) {
        LogCapture log;
        RecordingWorker worker;
        Socks client(&worker);
        ASSERT_EQ(0, client.Init(echo, route.type, &route.proxy, route.user, route.password)) << route.name;
        ASSERT_TRUE(worker.WaitForMessages(1)) << route.name;
        EXPECT_EQ(Bytes(YNet2Tools::kHeadOnlyMessage, YNet2Tools::kHeadOnlyMessage + 4), worker.Messages()[0])
            << route.name;
        for (BYTE i = 1; i <= 3; ++i) {
            Bytes message = PlainMessage(1, i, Bytes(20 * i, static_cast<unsigned char>('a' + i)));
            ASSERT_EQ(static_cast<int>(message.size()),
                      client.SendMsg(nullptr, message.data(), static_cast<int>(message.size())));
        }
        ASSERT_TRUE(worker.WaitForMessages(4)) << route.name;
        for (BYTE i = 1; i <= 3; ++i)
            EXPECT_EQ(PlainMessage(1, i, Bytes(20 * i, static_cast<unsigned char>('a' + i))), worker.Messages()[i])
                << route.name;
        client.Wait_Release();
        EXPECT_EQ(Lines{}, log.Lines()) << route.name;
    }
}

TEST(Socks5ProxyTest, WrongCredentialsRefusedTargetAndSocks4ToASocks5OnlyProxyFailWithTheirCause) {
    RealProxies proxies = Proxies();
    ASSERT_EQ("", proxies.missing);
    YNet2Tools::EchoServer server;
    ASSERT_EQ(0, server.Start());
    YSocketAddr echo = EchoAddress(server);
    YSocketAddr closed = ClosedPort();
    const std::string wrong = proxies.password + "-wrong";
    struct Refusal {
        const char* name;
        YSocketAddr target;
        Socks::_SOCKS_TYPE type;
        YSocketAddr proxy;
        const char* user;
        const char* password;
        Lines logLines;
        // danted resets the connection right behind its refusal; on Windows a
        // reset discards received bytes not yet read, so the reply may be
        // lost and the read of it fail instead (Wine may show the reset as
        // the end of the stream).
        std::vector<std::string> resetOvertook = {};
    };
    const std::string init = "TCPClient_Socks5::Init() ";
    const Refusal refusals[] = {
        {"wrong password",
         echo,
         Socks::SOCKS5,
         proxies.microsocksAuth,
         proxies.user.c_str(),
         wrong.c_str(),
         {init + "socks5 user name/password fail! (refused, status 2)"}},
        {"no credentials for an authenticating proxy",
         echo,
         Socks::SOCKS5,
         proxies.microsocksAuth,
         nullptr,
         nullptr,
         {init + "socks5 method reply fail! (no acceptable method)"}},
        {"closed target, microsocks",
         closed,
         Socks::SOCKS5,
         proxies.microsocks,
         nullptr,
         nullptr,
         {init + "socks5 connect fail! (connection refused, code 5)"}},
        {"wrong password, tinyproxy",
         echo,
         Socks::HTTP,
         proxies.tinyproxyAuth,
         proxies.httpUser.c_str(),
         wrong.c_str(),
         {init + "http connect fail! (status 401 Unauthorized: the proxy refused the user name and password)"}},
        {"no credentials, tinyproxy",
         echo,
         Socks::HTTP,
         proxies.tinyproxyAuth,
         nullptr,
         nullptr,
         {init + "http connect fail! (status 407 Proxy Authentication Required: the proxy needs a user name and "
                 "password, none given)"}},
        {"closed target, tinyproxy",
         closed,
         Socks::HTTP,
         proxies.tinyproxy,
         nullptr,
         nullptr,
         {init + "http connect fail! (status 500 Unable to connect)"}},
        {"closed target, danted",
         closed,
         Socks::SOCKS5,
         proxies.dante,
         nullptr,
         nullptr,
         {init + "socks5 connect fail! (connection refused, code 5)"},
         {init + "socks5 connect reply fail! (recv 0x2746)",
          init + "socks5 connect reply fail! (proxy closed the connection)"}},
        {"closed target, danted SOCKS4",
         closed,
         Socks::SOCKS4,
         proxies.dante,
         nullptr,
         nullptr,
         {init + "socks4 ans1 fail!", init + "socks4 ans1: request rejected or failed (code 91)"},
         {init + "recv socks4 ans1 fail!"}},
        {"SOCKS4 to microsocks",
         echo,
         Socks::SOCKS4,
         proxies.microsocks,
         nullptr,
         nullptr,
         {init + "socks4 ans1 fail!", init + "socks4 ans1: reply version 5, not 0 (not a SOCKS4 proxy)"}},
    };
    for (const Refusal& refusal : refusals) {
        LogCapture log;
        RecordingWorker worker;
        Socks client(&worker);
        YSocketAddr target = refusal.target;
        EXPECT_EQ(E_FAIL, client.Init(target, refusal.type, &refusal.proxy, refusal.user, refusal.password))
            << refusal.name;
        Lines lines = log.Lines();
        bool overtaken = !lines.empty() && std::find(refusal.resetOvertook.begin(), refusal.resetOvertook.end(),
                                                     lines[0]) != refusal.resetOvertook.end();
        if (!overtaken) {
            EXPECT_EQ(refusal.logLines, lines) << refusal.name;
        }
        EXPECT_TRUE(client.IsSockValid()) << refusal.name; // no socket left
        EXPECT_TRUE(worker.Events().empty()) << refusal.name;
    }
    EXPECT_EQ(0, server.Accepted()); // no refusal reached the server
}

// Connects to target through the proxy, takes the server's head-only first
// message and one echo.
void ExpectEchoByTarget(const char* route, const YSocketTarget& target, Socks::_SOCKS_TYPE type,
                        const YSocketAddr& proxy) {
    LogCapture log;
    RecordingWorker worker;
    Socks client(&worker);
    ASSERT_EQ(0, client.Init(target, type, &proxy, nullptr, nullptr, Socks::RESOLVE_BY_PROXY)) << route;
    Bytes message = PlainMessage(2, 9, Bytes(33, 'x'));
    ASSERT_EQ(static_cast<int>(message.size()),
              client.SendMsg(nullptr, message.data(), static_cast<int>(message.size())));
    ASSERT_TRUE(worker.WaitForMessages(2)) << route;
    EXPECT_EQ(Bytes(YNet2Tools::kHeadOnlyMessage, YNet2Tools::kHeadOnlyMessage + 4), worker.Messages()[0]) << route;
    EXPECT_EQ(PlainMessage(2, 9, Bytes(33, 'x')), worker.Messages()[1]) << route;
    client.Wait_Release();
    EXPECT_EQ(Lines{}, log.Lines()) << route;
}

TEST(Socks5ProxyTest, ANameResolvedByTheProxyReachesTheServerThroughMicrosocksDantedAndTinyproxy) {
    RealProxies proxies = Proxies();
    ASSERT_EQ("", proxies.missing);
    YNet2Tools::EchoOptions options;
    options.extra = YNet2Tools::EchoExtra::HeadOnly;
    YNet2Tools::EchoServer server(options);
    ASSERT_EQ(0, server.Start());
    const YSocketTarget localhost("localhost", server.Port());
    ExpectEchoByTarget("microsocks, socks5h", localhost, Socks::SOCKS5, proxies.microsocks);
    ExpectEchoByTarget("danted, socks5h", localhost, Socks::SOCKS5, proxies.dante);
    ExpectEchoByTarget("tinyproxy", localhost, Socks::HTTP, proxies.tinyproxy);

    // danted 1.4 has no SOCKS4a: it reads 0.0.0.1 as the address to reach,
    // which its rules block, and answers "rejected".
    LogCapture log;
    RecordingWorker worker;
    Socks client(&worker);
    EXPECT_EQ(E_FAIL, client.Init(localhost, Socks::SOCKS4, &proxies.dante, nullptr, nullptr, Socks::RESOLVE_BY_PROXY));
    EXPECT_EQ((Lines{"TCPClient_Socks5::Init() socks4 ans1 fail!",
                     "TCPClient_Socks5::Init() socks4 ans1: request rejected or failed (code 91)"}),
              log.Lines());
    EXPECT_EQ(3, server.Accepted());
}

TEST(Socks5ProxyTest, AnIPv6TargetIsReachedThroughMicrosocksAndTinyproxy) {
    RealProxies proxies = Proxies();
    ASSERT_EQ("", proxies.missing);
    YNet2Tools::EchoOptions options;
    options.extra = YNet2Tools::EchoExtra::HeadOnly;
    options.listen = "::1";
    YNet2Tools::EchoServer server(options);
    if (LONG error = server.Start())
        GTEST_SKIP() << "no IPv6 loopback here: cannot listen on [::1] (error " << error << ")";
    ExpectEchoByTarget("microsocks, [::1]", YSocketTarget("[::1]", server.Port()), Socks::SOCKS5, proxies.microsocks);
    ExpectEchoByTarget("tinyproxy, [::1]", YSocketTarget("[::1]", server.Port()), Socks::HTTP, proxies.tinyproxy);
    EXPECT_EQ(2, server.Accepted());
}

} // namespace

#endif // YNET_HAVE_ECHO_SERVER

// TCPClient_Socks5 against a scripted fake proxy: the exact request bytes,
// replies split into single bytes, and every fault a real proxy does not
// produce on request (garbage, refusals held open, closes at every step).
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "client/TCPClient_Socks5.h"
#include "platform/WinApi.h"
#include "support/ClientHarness.h"
#include "support/Loopback.h"
#include "support/ScriptedPeer.h"

using namespace YNet2;
using namespace YNetTest;

namespace {

using Bytes = std::vector<unsigned char>;
using Lines = std::vector<std::string>;
using Socks = TCPClient_Socks5;

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Shows the protected parts a test drives or inspects.
class OpenSocks : public TCPClient_Socks5 {
public:
    using TCPClient::RecvMsg;
    using TCPClient_Socks5::InitEach;
    using TCPClient_Socks5::m_HandshakeBuff;
    using TCPClient_Socks5::m_HandshakeState;
    using TCPClient_Socks5::TCPClient_Socks5;
    // Forgets the handle without closing it (a copy's shared handle).
    void DropSocket() { m_Socket.Share(INVALID_SOCKET); }
    SOCKET Handle() {
        SOCKET handle = BeginSocketUse();
        if (handle != INVALID_SOCKET)
            EndSocketUse(handle);
        return handle;
    }
    void SetReceiveTimeout(DWORD milliseconds) {
        SOCKET handle = BeginSocketUse();
        setsockopt(handle, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&milliseconds), sizeof milliseconds);
        EndSocketUse(handle);
    }
};

// 127.1.2.3:0xA1B2: no two address or port bytes alike, so an order mistake shows.
YSocketAddr Target() {
    YSocketAddr target{};
    target.sin_family = AF_INET;
    const unsigned char address[4] = {127, 1, 2, 3};
    const unsigned char port[2] = {0xA1, 0xB2};
    std::memcpy(&target.sin_addr, address, 4);
    std::memcpy(&target.sin_port, port, 2);
    return target;
}

const Bytes kConnectRequest = {5, 1, 0, 1, 127, 1, 2, 3, 0xA1, 0xB2};
const Bytes kSocks4Request = {4, 1, 0xA1, 0xB2, 127, 1, 2, 3, 0};
const Bytes kGranted = {5, 0, 0, 1, 10, 0, 0, 9, 0x12, 0x34};
const std::string kHttpConnect = "CONNECT 127.1.2.3:41394 HTTP/1.1\r\nHost: 127.1.2.3:41394\r\n";
const Bytes kHttpRequest = Text(kHttpConnect + "\r\n");
// alice:pw
const Bytes kHttpAuthRequest = Text(kHttpConnect + "Proxy-Authorization: Basic YWxpY2U6cHc=\r\n\r\n");

// A client whose Init (or Reconnect) runs on a thread of its own while the
// test plays the proxy. Destruction closes the proxy first, so a handshake
// that a failed test left waiting ends.
struct FakeProxied {
    std::unique_ptr<ScriptedPeer> peer = std::make_unique<ScriptedPeer>();
    ScriptedPeer& proxy = *peer;
    RecordingWorker worker;
    OpenSocks client{&worker};
    YSocketAddr target = Target();
    YSocketAddr proxyAddress = proxy.Address();
    std::future<LONG> init;

    explicit FakeProxied(HWND window = nullptr) : worker(window) {}
    ~FakeProxied() {
        peer.reset();
        if (init.valid())
            init.wait();
        client.Wait_Release();
    }
    bool Start(Socks::_SOCKS_TYPE type, const char* user = nullptr, const char* password = nullptr) {
        init = std::async(std::launch::async,
                          [=, this] { return client.Init(target, type, &proxyAddress, user, password); });
        return proxy.Listening() && proxy.Accept();
    }
    bool StartReconnect() {
        init = std::async(std::launch::async, [this] { return client.Reconnect(); });
        return proxy.Accept();
    }
    // The proxy reads exactly the request it expects.
    bool Expect(const Bytes& request) {
        Bytes got;
        return proxy.Receive(static_cast<int>(request.size()), &got) && got == request;
    }
    // Sends bytes one write each (the peer sets TCP_NODELAY).
    bool SendSplit(const Bytes& bytes) {
        for (unsigned char byte : bytes) {
            if (!proxy.Send({byte}))
                return false;
        }
        return true;
    }
    // Init's result; E_FAIL + 1 when it did not return in time.
    LONG Result() {
        if (init.wait_for(std::chrono::milliseconds(kWaitMs)) != std::future_status::ready)
            return E_FAIL + 1;
        return init.get();
    }
};

// ---------------------------------------------------------------- success

TEST(Socks5ClientTest, NoAuthenticationSendsExactBytesTakesSplitRepliesAndDeliversMessagesBehindTheReply) {
    NotificationWindow window;
    FakeProxied f(window.Handle());
    ASSERT_TRUE(f.Start(Socks::SOCKS5));
    ASSERT_TRUE(f.Expect({5, 1, 0}));
    ASSERT_TRUE(f.SendSplit({5, 0}));
    ASSERT_TRUE(f.Expect(kConnectRequest));
    ASSERT_TRUE(f.SendSplit({5, 0, 0}));
    // The rest of the reply and the server's first two messages in one segment:
    // the second stays read ahead while nothing more arrives.
    Bytes rest(kGranted.begin() + 3, kGranted.end());
    ASSERT_TRUE(f.proxy.Send(Join(Join(rest, WireMessage(1, 1, Text("first"))), WireMessage(1, 2, Text("second")))));
    ASSERT_EQ(0, f.Result());
    ASSERT_TRUE(f.worker.WaitForMessages(2));
    EXPECT_EQ(PlainMessage(1, 1, Text("first")), f.worker.Messages()[0]);
    EXPECT_EQ(PlainMessage(1, 2, Text("second")), f.worker.Messages()[1]);
    // "connected" is posted before the receive thread exists.
    EXPECT_EQ((std::vector<WPARAM>{1, 2}), window.Collect(2));

    Bytes echo = WireMessage(2, 3, Text("up"));
    ASSERT_EQ(static_cast<int>(echo.size()), f.client.Send(echo.data(), static_cast<int>(echo.size())));
    EXPECT_TRUE(f.Expect(echo));
}

TEST(Socks5ClientTest, EachBoundAddressFormIsReadExactlyAndUserNameAndPasswordAreSentPerRfc1929) {
    const Bytes domain = {5, 0, 0, 3, 9, 'p', 'r', 'o', 'x', 'y', '.', 'l', 'a', 'n', 0x04, 0x38};
    Bytes ipv6 = {5, 0, 0, 4};
    ipv6.resize(22, 0x11);
    for (const Bytes& reply : {kGranted, domain, ipv6}) {
        FakeProxied f;
        ASSERT_TRUE(f.Start(Socks::SOCKS5, "alice", "s3cret"));
        ASSERT_TRUE(f.Expect({5, 2, 2, 2}));
        ASSERT_TRUE(f.proxy.Send({5, 2}));
        ASSERT_TRUE(f.Expect({1, 5, 'a', 'l', 'i', 'c', 'e', 6, 's', '3', 'c', 'r', 'e', 't'}));
        ASSERT_TRUE(f.proxy.Send({1, 0}));
        ASSERT_TRUE(f.Expect(kConnectRequest));
        ASSERT_TRUE(f.proxy.Send(Join(reply, WireMessage(1, 1, Text("behind")))));
        ASSERT_EQ(0, f.Result()) << reply.size();
        ASSERT_TRUE(f.worker.WaitForMessages(1));
        EXPECT_EQ(PlainMessage(1, 1, Text("behind")), f.worker.Messages()[0]) << reply.size();
    }
}

TEST(Socks5ClientTest, Socks4SendsExactBytesAndLeavesTheServerMessageBehindTheEightByteReply) {
    FakeProxied f;
    ASSERT_TRUE(f.Start(Socks::SOCKS4, "ignored", "ignored"));
    ASSERT_TRUE(f.Expect(kSocks4Request));
    ASSERT_TRUE(f.proxy.Send(Join({0, 90, 9, 9, 9, 9, 9, 9}, WireMessage(1, 1, Text("hi")))));
    ASSERT_EQ(0, f.Result());
    ASSERT_TRUE(f.worker.WaitForMessages(1));
    EXPECT_EQ(PlainMessage(1, 1, Text("hi")), f.worker.Messages()[0]);
}

TEST(Socks5ClientTest, HttpConnectSendsExactBytesAndLeavesTheServerMessageBehindTheBlankLine) {
    FakeProxied f;
    ASSERT_TRUE(f.Start(Socks::HTTP, "alice", "pw"));
    ASSERT_TRUE(f.Expect(kHttpAuthRequest));
    // An HTTP/1.0 status, headers, bare LFs, a Content-Length to ignore,
    // one byte per write, the server's first message right behind.
    ASSERT_TRUE(f.SendSplit(Text("HTTP/1.0 200 Connection established\r\nProxy-agent: t/1\nContent-Length: 9\r\n\n")));
    ASSERT_TRUE(f.proxy.Send(WireMessage(1, 1, Text("through"))));
    ASSERT_EQ(0, f.Result());
    ASSERT_TRUE(f.worker.WaitForMessages(1));
    EXPECT_EQ(PlainMessage(1, 1, Text("through")), f.worker.Messages()[0]);
}

// ---------------------------------------------------------------- failures

// One script step: the proxy expects a request, sends a reply, or closes.
struct Step {
    enum { Expect, Send, Close } kind;
    Bytes bytes;
};

struct FailureCase {
    const char* name;
    Socks::_SOCKS_TYPE type;
    const char* user;
    std::vector<Step> script;
    std::string logLine;
    const char* password = "pw";
    std::string words = ""; // SOCKS4's second line: what happened
};

TEST(Socks5ClientTest, EveryRefusalGarbageOrCloseEndsInitWithItsLinesAndNoConnection) {
    const std::string init = "TCPClient_Socks5::Init() ";
    const std::string closed = " fail! (proxy closed the connection)";
    const Step greet{Step::Expect, {5, 1, 0}};
    const Step greetAuth{Step::Expect, {5, 2, 2, 2}};
    const Step accepted{Step::Send, {5, 0}};
    const Step connect{Step::Expect, kConnectRequest};
    const Step close{Step::Close, {}};
    const std::vector<FailureCase> cases = {
        {"method 255",
         Socks::SOCKS5,
         nullptr,
         {greet, {Step::Send, {5, 255}}},
         init + "socks5 method reply fail! (no acceptable method)"},
        {"garbage",
         Socks::SOCKS5,
         nullptr,
         {greet, {Step::Send, {'H', 'T'}}},
         init + "socks5 method reply fail! (version 72, not a SOCKS5 proxy)"},
        {"method not offered",
         Socks::SOCKS5,
         nullptr,
         {greet, {Step::Send, {5, 1}}},
         init + "socks5 method reply fail! (method 1 not offered)"},
        {"method 2 without credentials",
         Socks::SOCKS5,
         nullptr,
         {greet, {Step::Send, {5, 2}}},
         init + "socks5 proxy asks for a user name and password, none given!"},
        {"auth version 5",
         Socks::SOCKS5,
         "alice",
         {greetAuth,
          {Step::Send, {5, 2}},
          {Step::Expect, {1, 5, 'a', 'l', 'i', 'c', 'e', 2, 'p', 'w'}},
          {Step::Send, {5, 0}}},
         init + "socks5 user name/password reply fail! (version 5, not 1)"},
        {"user name without a password",
         Socks::SOCKS5,
         "alice",
         {greetAuth, {Step::Send, {5, 2}}},
         init + "socks5 proxy asks for a user name and password, none given!",
         nullptr},
        {"connect reply version 4",
         Socks::SOCKS5,
         nullptr,
         {greet, accepted, connect, {Step::Send, {4, 0, 0, 1, 10, 0, 0, 1, 0, 80}}},
         init + "socks5 connect reply fail! (version 4, not a SOCKS5 reply)"},
        {"socks4 version 4",
         Socks::SOCKS4,
         nullptr,
         {{Step::Expect, kSocks4Request}, {Step::Send, {4, 90, 0, 80, 10, 0, 0, 1}}},
         init + "socks4 ans1 fail!",
         nullptr,
         init + "socks4 ans1: reply version 4, not 0 (not a SOCKS4 proxy)"},
        {"auth status 1",
         Socks::SOCKS5,
         "alice",
         {greetAuth,
          {Step::Send, {5, 2}},
          {Step::Expect, {1, 5, 'a', 'l', 'i', 'c', 'e', 2, 'p', 'w'}},
          {Step::Send, {1, 1}}},
         init + "socks5 user name/password fail! (refused, status 1)"},
        {"refused, held open",
         Socks::SOCKS5,
         nullptr,
         {greet, accepted, connect, {Step::Send, {5, 5}}},
         init + "socks5 connect fail! (connection refused, code 5)"},
        {"unknown address type",
         Socks::SOCKS5,
         nullptr,
         {greet, accepted, connect, {Step::Send, {5, 0, 0, 9, 0}}},
         init + "socks5 connect reply fail! (unknown address type 9)"},
        {"close before method reply", Socks::SOCKS5, nullptr, {greet, close}, init + "socks5 method reply" + closed},
        {"close inside method reply",
         Socks::SOCKS5,
         nullptr,
         {greet, {Step::Send, {5}}, close},
         init + "socks5 method reply" + closed},
        {"close before auth reply",
         Socks::SOCKS5,
         "alice",
         {greetAuth, {Step::Send, {5, 2}}, {Step::Expect, {1, 5, 'a', 'l', 'i', 'c', 'e', 2, 'p', 'w'}}, close},
         init + "socks5 user name/password reply" + closed},
        {"close before connect reply",
         Socks::SOCKS5,
         nullptr,
         {greet, accepted, connect, close},
         init + "socks5 connect reply" + closed},
        {"close inside bound address",
         Socks::SOCKS5,
         nullptr,
         {greet, accepted, connect, {Step::Send, {5, 0, 0, 1, 10, 0}}, close},
         init + "socks5 connect reply" + closed},
        {"socks4 91, held open",
         Socks::SOCKS4,
         nullptr,
         {{Step::Expect, kSocks4Request}, {Step::Send, {0, 91}}},
         init + "socks4 ans1 fail!",
         nullptr,
         init + "socks4 ans1: request rejected or failed (code 91)"},
        {"socks4 garbage",
         Socks::SOCKS4,
         nullptr,
         {{Step::Expect, kSocks4Request}, {Step::Send, {5, 255}}},
         init + "socks4 ans1 fail!",
         nullptr,
         init + "socks4 ans1: reply version 5, not 0 (not a SOCKS4 proxy)"},
        {"socks4 close inside reply",
         Socks::SOCKS4,
         nullptr,
         {{Step::Expect, kSocks4Request}, {Step::Send, {0, 90, 1}}, close},
         init + "socks4 ans1 fail!",
         nullptr,
         init + "socks4 ans1: proxy closed the connection"},
        {"http 407, none given",
         Socks::HTTP,
         nullptr,
         {{Step::Expect, kHttpRequest}, {Step::Send, Text("HTTP/1.1 407 Proxy Authentication Required\r\n")}},
         init + "http connect fail! (status 407 Proxy Authentication Required: the proxy needs a user name and "
                "password, none given)"},
        {"http 407, refused",
         Socks::HTTP,
         "alice",
         {{Step::Expect, kHttpAuthRequest}, {Step::Send, Text("HTTP/1.0 407\r\n\r\n")}},
         init + "http connect fail! (status 407: the proxy refused the user name and password)"},
        {"http 503, held open",
         Socks::HTTP,
         nullptr,
         {{Step::Expect, kHttpRequest}, {Step::Send, Text("HTTP/1.1 503 Service \x01navailable\r\n")}},
         init + "http connect fail! (status 503 Service ?navailable)"},
        {"http garbage",
         Socks::HTTP,
         nullptr,
         {{Step::Expect, kHttpRequest}, {Step::Send, Text("SSH-2.0-OpenSSH_9.2\r\n")}},
         init + "http connect reply fail! (not an HTTP reply)"},
        {"http NUL after the status code",
         Socks::HTTP,
         nullptr,
         {{Step::Expect, kHttpRequest}, {Step::Send, Text(std::string("HTTP/1.0 200\0C\r\n\r\n", 18))}},
         init + "http connect reply fail! (not an HTTP reply)"},
        {"http status line too long",
         Socks::HTTP,
         nullptr,
         {{Step::Expect, kHttpRequest}, {Step::Send, Text("HTTP/1.1 200 " + std::string(1100, 'k'))}},
         init + "http connect reply fail! (status line longer than 1024 bytes)"},
        {"http header block too long",
         Socks::HTTP,
         nullptr,
         {{Step::Expect, kHttpRequest},
          {Step::Send, Text("HTTP/1.1 200 OK\r\n" + std::string(100, 'X') + ": " + std::string(9000, 'y'))}},
         init + "http connect reply fail! (header block longer than 8192 bytes)"},
        {"http close inside headers",
         Socks::HTTP,
         nullptr,
         {{Step::Expect, kHttpRequest}, {Step::Send, Text("HTTP/1.1 200 OK\r\nVia: x\r\n")}, close},
         init + "http connect reply" + closed},
    };
    for (const FailureCase& c : cases) {
        LogCapture log;
        FakeProxied f;
        ASSERT_TRUE(f.Start(c.type, c.user, c.password)) << c.name;
        for (const Step& step : c.script) {
            if (step.kind == Step::Expect)
                ASSERT_TRUE(f.Expect(step.bytes)) << c.name;
            else if (step.kind == Step::Send)
                ASSERT_TRUE(f.proxy.Send(step.bytes)) << c.name;
            else
                f.proxy.Close();
        }
        EXPECT_EQ(E_FAIL, f.Result()) << c.name;
        Lines expected{c.logLine};
        if (!c.words.empty())
            expected.push_back(c.words);
        EXPECT_EQ(expected, log.Lines()) << c.name;
        EXPECT_FALSE(f.client.IsConnect()) << c.name;
        EXPECT_TRUE(f.client.IsSockValid()) << c.name; // no socket left
        EXPECT_TRUE(f.worker.Events().empty()) << c.name;
        // Nothing more was sent: the proxy sees only the end of the connection.
        Bytes more;
        if (c.script.back().kind != Step::Close) {
            EXPECT_FALSE(f.proxy.Receive(1, &more)) << c.name;
            EXPECT_TRUE(more.empty()) << c.name;
        }
    }
}

TEST(Socks5ClientTest, WhatCannotBeSentIsRefusedBeforeConnecting) {
    const std::string longest(255, 'u');
    const std::string tooLong(256, 'p');
    struct Refusal {
        Socks::_SOCKS_TYPE type;
        const char* user;
        const char* password;
        unsigned short port;
        std::string line;
    };
    const std::string init = "TCPClient_Socks5::Init() ";
    const Refusal refusals[] = {
        {Socks::SOCKS5, tooLong.c_str(), longest.c_str(), 80, init + "user name longer than 255 bytes!"},
        {Socks::SOCKS5, longest.c_str(), tooLong.c_str(), 80, init + "password longer than 255 bytes!"},
        {Socks::SOCKS5, "", "pw", 80, init + "empty user name (RFC 1929 wants 1 to 255 bytes)!"},
        {Socks::HTTP, "al:ice", "pw", 80, init + "user name holds ':' (HTTP Basic credentials cannot carry it)!"},
        {Socks::SOCKS5, nullptr, nullptr, 0, init + "127.1.2.3: port 0!"},
    };
    for (const Refusal& r : refusals) {
        LogCapture log;
        FakeProxied f;
        f.client.SetConnectTimeout(kWaitMs); // what is sent after all is not answered
        f.target.sin_port = htons(r.port);
        EXPECT_EQ(E_FAIL, f.client.Init(f.target, r.type, &f.proxyAddress, r.user, r.password));
        EXPECT_EQ(Lines{r.line}, log.Lines());
        EXPECT_FALSE(f.proxy.HasPendingConnection(0));
    }
    // 255 bytes each is the most RFC 1929 carries, and is sent whole.
    FakeProxied f;
    ASSERT_TRUE(f.Start(Socks::SOCKS5, longest.c_str(), longest.c_str()));
    ASSERT_TRUE(f.Expect({5, 2, 2, 2}));
    ASSERT_TRUE(f.proxy.Send({5, 2}));
    Bytes request = Join(Join({1, 255}, Bytes(longest.begin(), longest.end())), {255});
    ASSERT_TRUE(f.Expect(Join(request, Bytes(longest.begin(), longest.end()))));
    LogCapture log;
    f.proxy.Close();
    EXPECT_EQ(E_FAIL, f.Result());
}

// A proxy that takes the connection and never answers: an ending call from
// another thread ends the handshake of Init, and of Reconnect (whose socket
// the client does not hold yet), and the line says who closed it.
TEST(Socks5ClientTest, EndingCallsFromAnotherThreadEndAHandshakeThatHangs) {
    const char* const names[] = {"Init, Release", "Reconnect, Release", "Reconnect, Disconnect",
                                 "Reconnect, Wait_Release"};
    for (int c = 0; c < 4; ++c) {
        FakeProxied f;
        const std::string op = c == 0 ? "Init" : "Reconnect";
        ASSERT_TRUE(f.Start(Socks::SOCKS5)) << names[c];
        if (c > 0) {
            ASSERT_TRUE(f.Expect({5, 1, 0}));
            ASSERT_TRUE(f.proxy.Send({5, 0}));
            ASSERT_TRUE(f.Expect(kConnectRequest));
            ASSERT_TRUE(f.proxy.Send(kGranted));
            ASSERT_EQ(0, f.Result());
            ASSERT_TRUE(f.StartReconnect());
        }
        LogCapture log;
        ASSERT_TRUE(f.Expect({5, 1, 0})) << names[c]; // and the proxy never answers
        if (c == 3)
            f.client.Wait_Release();
        else if (c == 2)
            f.client.Disconnect();
        else
            f.client.Release();
        EXPECT_EQ(E_FAIL, f.Result()) << names[c];
        EXPECT_EQ(Lines{"TCPClient_Socks5::" + op + "() socks5 method reply fail! (the client closed the connection)"},
                  log.Lines())
            << names[c];
    }
}

// A name resolved here with several addresses: only the proxy's refusal of
// the target moves on to the next address; the proxy's own failure ends
// the attempt at once (no password sent twice), and one bound covers all.
TEST(Socks5ClientTest, OnlyARefusedTargetMovesOnToTheNextAddress) {
    struct Row {
        const char* name;
        Socks::_SOCKS_TYPE type;
        const char* user;
        std::vector<std::vector<Step>> connections; // the proxy's script for each
        LONG result;
    };
    const Bytes auth = {1, 5, 'a', 'l', 'i', 'c', 'e', 2, 'p', 'w'};
    const Bytes second = {5, 1, 0, 1, 127, 1, 2, 4, 0xA1, 0xB2}; // the next address, 127.1.2.4
    const Row rows[] = {
        {"password refused",
         Socks::SOCKS5,
         "alice",
         {{{Step::Expect, {5, 2, 2, 2}}, {Step::Send, {5, 2}}, {Step::Expect, auth}, {Step::Send, {1, 1}}}},
         E_FAIL},
        {"target refused, then reached",
         Socks::SOCKS5,
         nullptr,
         {{{Step::Expect, {5, 1, 0}}, {Step::Send, {5, 0}}, {Step::Expect, kConnectRequest}, {Step::Send, {5, 5}}},
          {{Step::Expect, {5, 1, 0}}, {Step::Send, {5, 0}}, {Step::Expect, second}, {Step::Send, kGranted}}},
         0},
        {"http 407",
         Socks::HTTP,
         nullptr,
         {{{Step::Expect, kHttpRequest}, {Step::Send, Text("HTTP/1.1 407 Who\r\n")}}},
         E_FAIL},
        {"silent proxy", Socks::SOCKS5, nullptr, {{{Step::Expect, {5, 1, 0}}}}, E_FAIL},
    };
    YSocketAddr addresses[3] = {Target(), Target(), Target()};
    addresses[1].sin_addr.s_addr = htonl(0x7F010204);
    addresses[2].sin_addr.s_addr = htonl(0x7F010205);
    for (const Row& row : rows) {
        LogCapture log;
        FakeProxied f;
        f.client.SetConnectTimeout(300);
        const DWORD start = GetTickCount();
        f.init = std::async(std::launch::async,
                            [&] { return f.client.InitEach(addresses, 3, row.type, &f.proxyAddress, row.user, "pw"); });
        for (const std::vector<Step>& script : row.connections) {
            ASSERT_TRUE(f.proxy.Accept()) << row.name;
            for (const Step& step : script) {
                if (step.kind == Step::Expect)
                    ASSERT_TRUE(f.Expect(step.bytes)) << row.name;
                else
                    ASSERT_TRUE(f.proxy.Send(step.bytes)) << row.name;
            }
        }
        EXPECT_EQ(row.result, f.Result()) << row.name;
        EXPECT_LT(GetTickCount() - start, 1500u) << row.name; // one bound, not one per address
        EXPECT_FALSE(f.proxy.HasPendingConnection(100)) << row.name << ": the proxy was asked again";
    }
}

// ---------------------------------------------------------------- receive loop and life

TEST(Socks5ClientTest, ReceiveErrorThatLastsCutsTheConnection) {
    LogCapture log;
    FakeProxied f;
    ASSERT_TRUE(f.Start(static_cast<Socks::_SOCKS_TYPE>(0))); // no handshake: the proxy is the server
    ASSERT_EQ(0, f.Result());
    ASSERT_TRUE(f.worker.WaitForEvent("begin"));
    f.client.SetReceiveTimeout(50);
    // A head announcing 20 bytes and only 3 of its body: the body's receive times out.
    Bytes message = WireMessage(1, 1, Bytes(16, 'x'));
    ASSERT_TRUE(f.proxy.Send(Bytes(message.begin(), message.begin() + 7)));
    ASSERT_TRUE(f.worker.WaitForEvent("end"));
    EXPECT_EQ((std::vector<std::string>{"begin", "cut", "end"}), f.worker.Events());
    EXPECT_NE(-1, f.proxy.WaitForEnd());
    // WSAETIMEDOUT, as when keepalive finds the peer gone: the line that says so follows.
    const std::vector<std::string> lines = log.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ((std::vector<std::string>{"TCPClient::RecvMsg() RecvLen fail! ( 0x274c )",
                                        "TCPClient::RecvMsg() the peer stopped answering: connection cut"}),
              std::vector<std::string>(lines.end() - 2, lines.end()));
}

TEST(Socks5ClientTest, InitAgainReleasesTheConnectionAndReconnectRepeatsTheHandshake) {
    FakeProxied f;
    ASSERT_TRUE(f.Start(Socks::SOCKS5));
    ASSERT_TRUE(f.Expect({5, 1, 0}));
    ASSERT_TRUE(f.proxy.Send({5, 0}));
    ASSERT_TRUE(f.Expect(kConnectRequest));
    ASSERT_TRUE(f.proxy.Send(kGranted));
    ASSERT_EQ(0, f.Result());
    ASSERT_TRUE(f.worker.WaitForEvent("begin"));

    // A second Init ends the first connection and its thread first.
    ASSERT_TRUE(f.Start(Socks::SOCKS5));
    ASSERT_TRUE(f.Expect({5, 1, 0}));
    ASSERT_TRUE(f.proxy.Send({5, 0}));
    ASSERT_TRUE(f.Expect(kConnectRequest));
    ASSERT_TRUE(f.proxy.Send(kGranted));
    ASSERT_EQ(0, f.Result());
    ASSERT_TRUE(f.proxy.Send(WireMessage(1, 1, Text("second"))));
    ASSERT_TRUE(f.worker.WaitForMessages(1));
    EXPECT_EQ((std::vector<std::string>{"begin", "cut", "end", "begin", "message"}), f.worker.Events());
    f.client.Wait_Release();

    ASSERT_TRUE(f.StartReconnect());
    ASSERT_TRUE(f.Expect({5, 1, 0}));
    ASSERT_TRUE(f.proxy.Send({5, 0}));
    ASSERT_TRUE(f.Expect(kConnectRequest));
    ASSERT_TRUE(f.proxy.Send(kGranted));
    EXPECT_EQ(0, f.Result());
    EXPECT_FALSE(f.client.IsSockValid()); // holds the new socket

    // Reconnect again: the proxy connection held is closed, not left open.
    SOCKET held = f.client.Handle();
    ASSERT_TRUE(f.StartReconnect());
    ASSERT_TRUE(f.Expect({5, 1, 0}));
    ASSERT_TRUE(f.proxy.Send({5, 0}));
    ASSERT_TRUE(f.Expect(kConnectRequest));
    ASSERT_TRUE(f.proxy.Send(kGranted));
    EXPECT_EQ(0, f.Result());
    int type = 0;
    int length = sizeof type;
    EXPECT_EQ(SOCKET_ERROR, getsockopt(held, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
}

TEST(Socks5ClientTest, AsynchronousHandshakeSendsRfc1929AndLeavesTheServerMessageAndACopyHasItsOwnBuffer) {
    NotificationWindow window;
    FakeProxied f(window.Handle());
    ASSERT_TRUE(f.Start(static_cast<Socks::_SOCKS_TYPE>(0), "bob", "pw"));
    ASSERT_EQ(0, f.Result());
    f.client.Wait_Release();
    // A socket through the proxy without a receive thread: the test takes its place.
    ASSERT_TRUE(f.StartReconnect());
    ASSERT_EQ(0, f.Result());
    ASSERT_EQ((std::vector<WPARAM>{1, 2, 3}), window.Collect(3)); // Init's connection

    f.client.m_HandshakeState = 1;
    ASSERT_TRUE(f.proxy.Send({5}));
    EXPECT_EQ(1, f.client.RecvSocks5Msg());
    ASSERT_TRUE(f.proxy.Send({2}));
    EXPECT_EQ(1, f.client.RecvSocks5Msg());
    ASSERT_TRUE(f.Expect({1, 3, 'b', 'o', 'b', 2, 'p', 'w'}));
    EXPECT_EQ(2, f.client.m_HandshakeState);
    ASSERT_TRUE(f.proxy.Send({1, 0}));
    EXPECT_EQ(2, f.client.RecvSocks5Msg());
    ASSERT_TRUE(f.Expect(kConnectRequest));
    const Bytes reply = {5, 0, 0, 3, 4, 'h', 'o', 's', 't', 0x04, 0x38};
    ASSERT_TRUE(f.proxy.Send(Join(reply, WireMessage(1, 1, Text("next")))));
    int taken = 0;
    while (f.client.IsSocks5Msg() && taken < 100) {
        int n = f.client.RecvSocks5Msg();
        ASSERT_GT(n, 0);
        taken += n;
    }
    EXPECT_EQ(static_cast<int>(reply.size()), taken);
    EXPECT_EQ((std::vector<WPARAM>{1, 2, 3, 1}), window.Collect(4));

    {
        OpenSocks copy(f.client);
        EXPECT_EQ(nullptr, copy.m_HandshakeBuff.data);
        EXPECT_NE(nullptr, f.client.m_HandshakeBuff.data);
        copy.DropSocket();
    }
    unsigned char buffer[2 * TCPClient::kMaxMessage];
    ASSERT_EQ(static_cast<int>(PlainMessage(1, 1, Text("next")).size()), f.client.RecvMsg(buffer));
    EXPECT_EQ(PlainMessage(1, 1, Text("next")), Bytes(buffer, buffer + 8));
}

TEST(Socks5ClientTest, AsynchronousRefusalIsAClosedConnection) {
    FakeProxied f;
    ASSERT_TRUE(f.Start(static_cast<Socks::_SOCKS_TYPE>(0)));
    ASSERT_EQ(0, f.Result());
    f.client.Wait_Release();
    ASSERT_TRUE(f.StartReconnect());
    ASSERT_EQ(0, f.Result());
    LogCapture log;
    f.client.m_HandshakeState = 3;
    ASSERT_TRUE(f.proxy.Send({5, 2}));
    EXPECT_EQ(0, f.client.RecvSocks5Msg());
    EXPECT_EQ(
        Lines{"TCPClient_Socks5::RecvSocks5Msg() socks5 connect fail! (connection not allowed by ruleset, code 2)"},
        log.Lines());
}

} // namespace

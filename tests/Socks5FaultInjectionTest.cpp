// A proxy that closes or resets the connection at every byte of every
// handshake exchange - after reading part of a request, after sending part
// of a reply - for SOCKS5 without authentication, SOCKS5 with user name and
// password, SOCKS4 and HTTP CONNECT. Every case must end Init with E_FAIL
// and its log line (SOCKS4: its two), post nothing, start no thread; and the cases together
// leave no descriptor behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "client/TCPClient_Socks5.h"
#include "platform/WinApi.h"
#include "support/ClientHarness.h"
#include "support/ConnectedClient.h"
#include "support/Loopback.h"
#include "support/ProcessCounters.h"
#include "support/ScriptedPeer.h"

using namespace YNet2;
using namespace YNetTest;

namespace {

using Bytes = std::vector<unsigned char>;

// One exchange of a handshake: the request's length and the proxy's reply.
struct Exchange {
    int requestLength;
    Bytes reply;
};

struct Handshake {
    const char* name;
    TCPClient_Socks5::_SOCKS_TYPE type;
    const char* userName;
    const char* password;
    std::vector<Exchange> exchanges;
};

const Bytes kConnectReply{5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90};
// The reply to "CONNECT 127.0.0.1:8080 HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n" (57 bytes).
const char kHttpGranted[] = "HTTP/1.1 200 OK\r\n\r\n";

std::vector<Handshake> Handshakes() {
    return {
        {"SOCKS5", TCPClient_Socks5::SOCKS5, nullptr, nullptr, {{3, {5, 0}}, {10, kConnectReply}}},
        {"SOCKS5 user name/password",
         TCPClient_Socks5::SOCKS5,
         "user",
         "pass",
         {{4, {5, 2}}, {3 + 4 + 4, {1, 0}}, {10, kConnectReply}}},
        {"SOCKS4", TCPClient_Socks5::SOCKS4, nullptr, nullptr, {{9, {0, 90, 0, 0, 0, 0, 0, 0}}}},
        {"HTTP", TCPClient_Socks5::HTTP, nullptr, nullptr, {{57, Bytes(kHttpGranted, kHttpGranted + 19)}}},
    };
}

enum class Fault { Close, Reset };

// Where the proxy stops: in exchange `step`, after reading `read` bytes of
// its request (then nothing is sent), or after the whole request and
// `sent` bytes of its reply.
struct Cut {
    size_t step;
    int read;
    int sent;
};

// The fake proxy's side of one case, on a thread of its own.
bool ServeUntilCut(ScriptedPeer& proxy, const Handshake& handshake, const Cut& cut, Fault fault) {
    if (!proxy.Accept())
        return false;
    Bytes request;
    bool ok = true;
    for (size_t step = 0; step <= cut.step && ok; ++step) {
        const Exchange& exchange = handshake.exchanges[step];
        bool last = step == cut.step;
        int read = last && cut.read < exchange.requestLength ? cut.read : exchange.requestLength;
        ok = read == 0 || proxy.Receive(read, &request);
        if (ok && (!last || cut.read == exchange.requestLength)) {
            int sent = last ? cut.sent : static_cast<int>(exchange.reply.size());
            ok = sent == 0 || proxy.Send(exchange.reply.data(), sent);
        }
    }
    if (fault == Fault::Close)
        proxy.Close();
    else
        proxy.Reset();
    return ok;
}

std::string RunCase(ScriptedPeer& proxy, const Handshake& handshake, const Cut& cut, Fault fault) {
    LogCapture log;
    NotificationWindow window;
    RecordingWorker worker(window.Handle());
    TCPClient_Socks5 client(&worker);
    YSocketAddr target;
    static_cast<sockaddr_in&>(target) = LoopbackAddress(8080); // never reached: the proxy fails first
    YSocketAddr address = proxy.Address();
    bool served = false;
    std::thread proxySide([&] { served = ServeUntilCut(proxy, handshake, cut, fault); });
    LONG result = client.Init(target, handshake.type, &address, handshake.userName, handshake.password);
    proxySide.join();
    if (!served)
        return "the proxy could not play its part";
    if (result != E_FAIL)
        return "Init did not fail";
    std::vector<std::string> lines = log.Lines();
    // A SOCKS4 answer that fails adds a line saying how; a request the
    // client could not send (a proxy that reset before it left, as a slow
    // client meets) has its one line.
    const bool sendFailed =
        cut.read == 0 && lines.size() == 1 && lines[0].find(" send req1 fail!") != std::string::npos;
    const size_t expected = handshake.type == TCPClient_Socks5::SOCKS4 && !sendFailed ? 2 : 1;
    if (lines.size() != expected || lines[0].rfind("TCPClient_Socks5::Init() ", 0) != 0 ||
        lines.back().rfind("TCPClient_Socks5::Init() ", 0) != 0)
        return "not the lines of TCPClient_Socks5::Init: " + (lines.empty() ? std::string("none") : lines.back());
    if (!worker.Events().empty() || !window.Drain().empty())
        return "a thread ran or a notification was posted";
    if (!client.IsSockValid())
        return "a socket is still held";
    return "";
}

void WarmUp() {
    Connected c;
    if (c.Start())
        c.client.Wait_Release();
}

void RunEveryCut(Fault fault) {
    WarmUp();
    ProcessCounters before = SampleProcess();
    int cases = 0;
    {
        ScriptedPeer proxy;
        ASSERT_TRUE(proxy.Listening());
        for (const Handshake& handshake : Handshakes()) {
            for (size_t step = 0; step < handshake.exchanges.size(); ++step) {
                const Exchange& exchange = handshake.exchanges[step];
                std::vector<Cut> cuts;
                for (int read = 0; read < exchange.requestLength; ++read)
                    cuts.push_back({step, read, 0});
                for (int sent = 0; sent < static_cast<int>(exchange.reply.size()); ++sent)
                    cuts.push_back({step, exchange.requestLength, sent});
                for (const Cut& cut : cuts) {
                    std::string failure = RunCase(proxy, handshake, cut, fault);
                    ++cases;
                    ASSERT_EQ("", failure) << handshake.name << ", exchange " << step + 1 << ", after reading "
                                           << cut.read << " and sending " << cut.sent << " bytes";
                }
            }
        }
    }
    std::printf("[ figures  ] %d cases\n", cases);
    EXPECT_TRUE(WaitForThreadsAtMost(before.threads, kWaitMs));
    EXPECT_LE(SampleProcess().descriptors, before.descriptors + DescriptorNoise());
}

TEST(Socks5FaultInjectionTest, ProxyClosingAtEveryByteOfEveryExchangeEndsInitWithItsLine) {
    RunEveryCut(Fault::Close);
}

TEST(Socks5FaultInjectionTest, ProxyResettingAtEveryByteOfEveryExchangeEndsInitWithItsLine) {
    RunEveryCut(Fault::Reset);
}

} // namespace

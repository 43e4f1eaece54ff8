// The opt-in bound on a client's connect: a peer that never completes the
// connection ends Init and Reconnect with E_FAIL and the usual log line
// within the bound, and a bounded connect that succeeds or is refused
// behaves as an unbounded one.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "client/TCPClient.h"
#include "client/TCPClient_Socks5.h"
#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"
#include "support/ClientHarness.h"
#include "support/ConnectedClient.h"
#include "support/Loopback.h"
#include "support/ScriptedPeer.h"

using namespace YNet2;
using namespace YNetTest;

namespace {

using Bytes = std::vector<unsigned char>;

// A listener whose accept queue is full: the system drops further
// connection requests without an answer, so a connect to it stays under
// way (for minutes) - the loopback form of a peer that never answers.
class SilentListener {
public:
    SilentListener() {
        m_Listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = LoopbackAddress(0);
        int length = sizeof address;
        if (m_Listener == INVALID_SOCKET || bind(m_Listener, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            listen(m_Listener, 0) != 0 || getsockname(m_Listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            return;
        std::memcpy(&m_Address, &address, sizeof m_Address);
        // Backlog 0 holds one connection: this one fills the queue.
        m_Filler = socket(AF_INET, SOCK_STREAM, 0);
        m_Ready = connect(m_Filler, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~SilentListener() {
        CloseIfOpen(&m_Filler);
        CloseIfOpen(&m_Listener);
    }
    SilentListener(const SilentListener&) = delete;
    SilentListener& operator=(const SilentListener&) = delete;

    bool Ready() const { return m_Ready; }
    YSocketAddr Address() const { return m_Address; }

private:
    SOCKET m_Listener = INVALID_SOCKET;
    SOCKET m_Filler = INVALID_SOCKET;
    YSocketAddr m_Address{};
    bool m_Ready = false;
};

constexpr DWORD kBoundMs = 300;
// Far below the minutes the system keeps an unanswered connect going, far
// above what the bound plus a loaded machine's delay could take.
constexpr DWORD kWithinMs = 8000;

TEST(ConnectBoundTest, ConnectToAPeerThatNeverAnswersEndsInitAndReconnectWithinTheBound) {
    SilentListener silent;
    ASSERT_TRUE(silent.Ready());
    LogCapture log;
    NotificationWindow window;
    RecordingWorker worker(window.Handle());
    OpenClient client(&worker);
    EXPECT_EQ(0u, client.GetConnectTimeout()); // off unless asked for
    client.SetConnectTimeout(kBoundMs);
    YSocketAddr address = silent.Address();

    DWORD start = GetTickCount();
    EXPECT_EQ(E_FAIL, client.Init(address));
    EXPECT_LT(GetTickCount() - start, kWithinMs);
    EXPECT_EQ((std::vector<std::string>{"TCPClient::Init() connect fail(0x274c)!"}), log.Lines());
    EXPECT_FALSE(client.IsInited());
    EXPECT_TRUE(client.IsSockValid());
    EXPECT_TRUE(worker.Events().empty());
    EXPECT_TRUE(window.Drain().empty());

    start = GetTickCount();
    EXPECT_EQ(E_FAIL, client.Reconnect());
    EXPECT_LT(GetTickCount() - start, kWithinMs);
    EXPECT_EQ("TCPClient::Reconnect() connect fail!", log.Lines().back());
    EXPECT_TRUE(client.IsSockValid());
}

TEST(ConnectBoundTest, BoundedConnectThatSucceedsOrIsRefusedBehavesAsAnUnboundedOne) {
    LogCapture log;
    {
        // Refused: the code of the refusal, not of a time-out.
        YSocketAddr closed;
        {
            ScriptedPeer gone;
            closed = gone.Address();
        }
        RecordingWorker worker;
        OpenClient client(&worker);
        client.SetConnectTimeout(5000);
        EXPECT_EQ(E_FAIL, client.Init(closed));
        EXPECT_EQ((std::vector<std::string>{"TCPClient::Init() connect fail(0x274d)!"}), log.Lines());
    }

    // Connected: the socket is blocking again, so the receive thread waits
    // for the message the peer sends only after the client's one arrived.
    Connected c;
    c.client.SetConnectTimeout(5000);
    ASSERT_TRUE(c.Start());
    Bytes sent = WireMessage(3, 4, {'h', 'i'});
    ASSERT_EQ(6, c.client.Send(sent.data(), 6));
    Bytes got;
    ASSERT_TRUE(c.peer.Receive(6, &got));
    ASSERT_TRUE(c.peer.Send(sent));
    ASSERT_TRUE(c.worker.WaitForMessages(1));
    EXPECT_EQ(PlainMessage(3, 4, {'h', 'i'}), c.worker.Messages()[0]);
    EXPECT_EQ((std::vector<std::string>{"begin", "message"}), c.worker.Events());
    EXPECT_EQ(1u, log.Lines().size());

    // Reconnect with the bound also connects.
    c.client.Wait_Release();
    EXPECT_EQ(0, c.client.Reconnect());
    EXPECT_TRUE(c.peer.Accept());
}

TEST(ConnectBoundTest, ProxyThatNeverAnswersEndsInitWithinTheBoundAtEveryStep) {
    LogCapture log;
    RecordingWorker worker;
    TCPClient_Socks5 client(&worker);
    client.SetConnectTimeout(kBoundMs);
    YSocketAddr target;
    static_cast<sockaddr_in&>(target) = LoopbackAddress(8080); // never reached

    // The proxy's connect never completes.
    SilentListener unreachable;
    ASSERT_TRUE(unreachable.Ready());
    YSocketAddr proxy = unreachable.Address();
    DWORD start = GetTickCount();
    EXPECT_EQ(E_FAIL, client.Init(target, TCPClient_Socks5::SOCKS5, &proxy, nullptr, nullptr));
    EXPECT_LT(GetTickCount() - start, kWithinMs);
    EXPECT_EQ("TCPClient_Socks5::Init() connect fail!", log.Lines().back());

    // The proxy takes the connection and never answers the handshake.
    ScriptedPeer silent;
    ASSERT_TRUE(silent.Listening());
    proxy = silent.Address();
    start = GetTickCount();
    EXPECT_EQ(E_FAIL, client.Init(target, TCPClient_Socks5::SOCKS5, &proxy, "user", "password"));
    EXPECT_LT(GetTickCount() - start, kWithinMs);
    EXPECT_EQ("TCPClient_Socks5::Init() socks5 method reply fail! (recv 0x274c)", log.Lines().back());
    start = GetTickCount();
    EXPECT_EQ(E_FAIL, client.Init(target, TCPClient_Socks5::SOCKS4, &proxy, nullptr, nullptr));
    EXPECT_LT(GetTickCount() - start, kWithinMs);
    ASSERT_LE(2u, log.Lines().size());
    EXPECT_EQ("TCPClient_Socks5::Init() recv socks4 ans1 fail!", log.Lines().end()[-2]);
    EXPECT_EQ("TCPClient_Socks5::Init() socks4 ans1: recv 0x274c", log.Lines().back());
    start = GetTickCount();
    EXPECT_EQ(E_FAIL, client.Init(target, TCPClient_Socks5::HTTP, &proxy, nullptr, nullptr));
    EXPECT_LT(GetTickCount() - start, kWithinMs);
    EXPECT_EQ("TCPClient_Socks5::Init() http connect reply fail! (recv 0x274c)", log.Lines().back());

    // It answers the method request, then falls silent.
    ScriptedPeer halfway;
    ASSERT_TRUE(halfway.Listening());
    proxy = halfway.Address();
    start = GetTickCount();
    std::thread answer([&] {
        std::vector<unsigned char> request;
        if (halfway.Accept() && halfway.Receive(3, &request))
            halfway.Send({5, 0});
    });
    EXPECT_EQ(E_FAIL, client.Init(target, TCPClient_Socks5::SOCKS5, &proxy, nullptr, nullptr));
    answer.join();
    EXPECT_LT(GetTickCount() - start, kWithinMs);
    EXPECT_EQ("TCPClient_Socks5::Init() socks5 connect reply fail! (recv 0x274c)", log.Lines().back());

    // It answers every step, the connect reply a byte at a time: each byte
    // comes well within the bound, all of them together do not. The bound
    // holds the whole handshake, not each wait.
    ScriptedPeer trickling;
    ASSERT_TRUE(trickling.Listening());
    proxy = trickling.Address();
    std::thread trickle([&] {
        std::vector<unsigned char> request;
        if (!trickling.Accept() || !trickling.Receive(3, &request) || !trickling.Send({5, 0}) ||
            !trickling.Receive(10, &request))
            return;
        for (unsigned char byte : {5, 0, 0, 1, 127, 0, 0, 1, 0, 80}) {
            Sleep(kBoundMs / 3);
            if (!trickling.Send({byte}))
                return;
        }
    });
    EXPECT_EQ(E_FAIL, client.Init(target, TCPClient_Socks5::SOCKS5, &proxy, nullptr, nullptr));
    trickle.join();
    EXPECT_EQ("TCPClient_Socks5::Init() socks5 connect reply fail! (recv 0x274c)", log.Lines().back());
    EXPECT_TRUE(worker.Events().empty());
}

} // namespace

// TCPClient::Reconnect (and the SOCKS client's) on a connection whose receive thread still runs, or has ended.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/TCPClient.h"
#include "client/TCPClientHooks.h"
#include "client/TCPClient_Socks5.h"
#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"
#include "support/ClientHarness.h"
#include "support/LogCapture.h"
#include "support/RealProxies.h"
#include "support/ScriptedPeer.h"

using namespace YNet2;
using namespace YNetTest;

namespace {

using Bytes = std::vector<unsigned char>;
using Events = std::vector<std::string>;

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

class ReconnectingClient : public TCPClient {
public:
    using TCPClient::TCPClient;
    ~ReconnectingClient() override { EndReceiveThread(); }
    SOCKET Handle() {
        SOCKET handle = BeginSocketUse();
        if (handle != INVALID_SOCKET)
            EndSocketUse(handle);
        return handle;
    }
    void SetServer(const YSocketAddr& address) { m_ServerAddr = address; }
};

// True once handle names no socket any more: it was closed.
bool BecomesStale(SOCKET handle) {
    for (DWORD start = GetTickCount(); GetTickCount() - start < kWaitMs; Sleep(5)) {
        int type = 0;
        int length = sizeof type;
        if (getsockopt(handle, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) == SOCKET_ERROR &&
            WSAGetLastError() == WSAENOTSOCK)
            return true;
    }
    return false;
}

// The client is declared before the peer in both tests: should a receive
// stay blocked on the old socket, the peer's destruction ends it.

TEST(TCPClientReconnect, OnALiveConnectionTheOldSocketIsClosedAndTheThreadReadsTheNewOne) {
    LogCapture log;
    RecordingWorker worker;
    auto client = std::make_unique<ReconnectingClient>(&worker);
    ScriptedPeer peer;
    ASSERT_TRUE(peer.Listening());
    YSocketAddr address = peer.Address();
    ASSERT_EQ(0, client->Init(address));
    ASSERT_TRUE(peer.Accept());
    // A whole message and the first bytes of another: they wait in the read-ahead.
    Bytes bytes = WireMessage(1, 1, Text("old"));
    Bytes unfinished = WireMessage(1, 2, Text("never finished"));
    bytes.insert(bytes.end(), unfinished.begin(), unfinished.begin() + 6);
    ASSERT_TRUE(peer.Send(bytes));
    ASSERT_TRUE(worker.WaitForMessages(1));
    SOCKET old = client->Handle();

    ASSERT_EQ(0, client->Reconnect()); // the receive thread is blocked on the old socket
    EXPECT_NE(-1, peer.WaitForEnd());
    EXPECT_TRUE(BecomesStale(old));
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(peer.Send(WireMessage(1, 3, Text("new"))));
    ASSERT_TRUE(worker.WaitForMessages(2));
    EXPECT_EQ(PlainMessage(1, 3, Text("new")), worker.Messages()[1]);
    EXPECT_TRUE(client->IsConnect());
    EXPECT_EQ((Events{"begin", "message", "message"}), worker.Events());
    EXPECT_TRUE(log.Lines().empty());

    client->Wait_Release();
    EXPECT_EQ((Events{"begin", "message", "message", "cut", "end"}), worker.Events());
    EXPECT_EQ(0, peer.WaitForEnd());
}

TEST(TCPClientReconnect, AFailedReconnectLeavesTheLiveConnectionAsItWas) {
    LogCapture log;
    RecordingWorker worker;
    auto client = std::make_unique<ReconnectingClient>(&worker);
    ScriptedPeer peer;
    YSocketAddr address = peer.Address();
    ASSERT_EQ(0, client->Init(address));
    ASSERT_TRUE(peer.Accept());
    SOCKET held = client->Handle();
    YSocketAddr nowhere;
    {
        ScriptedPeer gone; // listens, then goes away: nothing listens on its port
        nowhere = gone.Address();
    }
    client->SetServer(nowhere);

    EXPECT_EQ(E_FAIL, client->Reconnect());
    EXPECT_EQ((Events{"TCPClient::Reconnect() connect fail!"}), log.Lines());
    ASSERT_EQ(held, client->Handle());
    ASSERT_TRUE(peer.Send(WireMessage(1, 1, Text("still here"))));
    ASSERT_TRUE(worker.WaitForMessages(1));
    EXPECT_TRUE(client->IsConnect());
    client->Wait_Release();
    EXPECT_EQ((Events{"begin", "message", "cut", "end"}), worker.Events());
}

// Holds the receive thread where it calls Stop (once armed) until go.
struct ThreadHold {
    HANDLE reached = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> armed{false};
    ~ThreadHold() {
        SetEvent(go);
        CloseHandle(reached);
        CloseHandle(go);
    }
    void Stop() {
        if (!armed.exchange(false))
            return;
        SetEvent(reached);
        WaitForSingleObject(go, kWaitMs);
    }
    static void Hook(const TCPClient*, bool marked, void* context) {
        if (marked)
            static_cast<ThreadHold*>(context)->Stop();
    }
    // Holds at the receive thread's first unmarked call once armed (before a receive).
    static void HookNextReceive(const TCPClient*, bool marked, void* context) {
        if (!marked)
            static_cast<ThreadHold*>(context)->Stop();
    }
    // Holds at the receive thread's second unmarked call (before its second receive).
    static void HookSecondReceive(const TCPClient*, bool marked, void* context) {
        auto* self = static_cast<ThreadHold*>(context);
        if (!marked && ++self->receives == 2)
            self->Stop();
    }
    int receives = 0;
};

// Disconnect from another thread cuts wherever the receive thread is -
// inside the handler, or past the handler right before its next receive
// (the hook): the thread calls ConnectionCut and ends by itself, and a
// Reconnect after the Disconnect brings a socket that it never reads.
TEST(TCPClientReconnect, DisconnectCutsWhereverTheThreadIsAndItNeverReadsALaterReconnect) {
    for (bool inReceive : {false, true}) {
        RecordingWorker worker;
        auto client = std::make_unique<ReconnectingClient>(&worker);
        ScriptedPeer peer;
        ThreadHold first;
        first.armed = !inReceive;
        ThreadHold beforeReceive;
        SetSocketUseHook(ThreadHold::HookNextReceive, &beforeReceive);
        worker.onMessage = [&](const unsigned char*, int, void*) -> LONG {
            beforeReceive.armed = inReceive;
            first.Stop();
            return 0;
        };
        YSocketAddr address = peer.Address();
        ASSERT_EQ(0, client->Init(address));
        ASSERT_TRUE(peer.Accept());
        ASSERT_TRUE(peer.Send(WireMessage(1, 1, Text("one"))));
        ThreadHold& held = inReceive ? beforeReceive : first;
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held.reached, kWaitMs)) << inReceive;
        client->Disconnect();
        EXPECT_TRUE(IsReset(peer.WaitForEnd())) << inReceive;
        ASSERT_EQ(0, client->Reconnect());
        SetEvent(held.go);
        ASSERT_TRUE(worker.WaitForEvent("end")) << inReceive; // without any ending call
        ASSERT_TRUE(peer.Accept());
        ASSERT_TRUE(peer.Send(WireMessage(1, 2, Text("two"))));
        EXPECT_FALSE(client->IsReceiving()) << inReceive;
        client->Wait_Release();
        SetSocketUseHook(nullptr, nullptr);
        EXPECT_EQ((Events{"begin", "message", "cut", "end"}), worker.Events()) << inReceive;
    }
}

// Reconnects in a row on a running connection: the second comes while the
// receive thread, woken by the first, is held right before its receive
// (after it took up the socket the first brought): the thread goes on with
// the newest, without a cut, for a SOCKS client without a proxy, through a
// proxy of type 0 and through microsocks alike.
TEST(TCPClientReconnect, ReconnectsInARowKeepTheReceiveThreadReadingDirectAndThroughAProxy) {
    RealProxies proxies = FindRealProxies();
    ASSERT_EQ("", proxies.missing) << "run the tests through scripts/proxies.sh";
    for (int route = 0; route < 3; ++route) {
        LogCapture log;
        RecordingWorker worker;
        auto socks = std::make_unique<TCPClient_Socks5>(&worker);
        ScriptedPeer peer;
        ThreadHold hold;
        SetSocketUseHook(ThreadHold::HookNextReceive, &hold);
        worker.onMessage = [&](const unsigned char*, int, void*) -> LONG {
            hold.armed = true;
            return 0;
        };
        YSocketAddr server = peer.Address();
        LONG init = route == 0 ? socks->TCPClient::Init(server)
                    : route == 1
                        ? socks->Init(server, static_cast<TCPClient_Socks5::_SOCKS_TYPE>(0), &server, nullptr, nullptr)
                        : socks->Init(server, TCPClient_Socks5::SOCKS5, &proxies.microsocksAuth, proxies.user.c_str(),
                                      proxies.password.c_str());
        ASSERT_EQ(0, init) << route;
        ASSERT_TRUE(peer.Accept()) << route;
        ASSERT_TRUE(peer.Send(WireMessage(1, 1, Text("before"))));
        ASSERT_TRUE(worker.WaitForMessages(1)) << route;
        for (int i = 0; i < 2; ++i) {
            ASSERT_EQ(0, socks->Reconnect()) << route; // through the proxy, credentials included
            ASSERT_TRUE(peer.Accept()) << route;
            // Two bytes of a head: a loop that waits for readability comes to its receive too.
            ASSERT_TRUE(i == 1 || peer.Send({10, 0})) << route;
            ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hold.reached, kWaitMs)) << route;
        }
        SetEvent(hold.go);
        ASSERT_TRUE(peer.Send(WireMessage(1, 2, Text("after"))));
        EXPECT_TRUE(worker.WaitForMessages(2)) << route;
        SetSocketUseHook(nullptr, nullptr);
        EXPECT_TRUE(socks->IsConnect()) << route;
        EXPECT_EQ((Events{"begin", "message", "message"}), worker.Events()) << route;
        EXPECT_TRUE(log.Lines().empty()) << route;
        socks->Wait_Release();
    }
}

// The socket is replaced between two receives of one message: the part
// already received belongs to the old connection and is dropped, never
// completed with the new connection's bytes.
TEST(TCPClientReconnect, APartReceivedBeforeTheSocketWasReplacedIsNeverCompletedFromTheNewOne) {
    RecordingWorker worker;
    auto client = std::make_unique<ReconnectingClient>(&worker);
    ScriptedPeer peer;
    ThreadHold hold;
    hold.armed = true;
    SetSocketUseHook(ThreadHold::HookSecondReceive, &hold);
    YSocketAddr address = peer.Address();
    ASSERT_EQ(0, client->Init(address));
    ASSERT_TRUE(peer.Accept());
    Bytes cut = WireMessage(1, 1, Text("never finished"));
    cut.resize(6);
    ASSERT_TRUE(peer.Send(cut));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(hold.reached, kWaitMs));
    ASSERT_EQ(0, client->Reconnect());
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(peer.Send(WireMessage(1, 2, Text("whole message"))));
    SetEvent(hold.go);
    ASSERT_TRUE(worker.WaitForMessages(1));
    SetSocketUseHook(nullptr, nullptr);
    EXPECT_EQ(PlainMessage(1, 2, Text("whole message")), worker.Messages()[0]);
    client->Wait_Release();
}

// The socket a Reconnect brought after the receive thread ended is closed
// by the next Init, not left open.
TEST(TCPClientReconnect, InitClosesTheSocketAReconnectBroughtAfterTheThreadEnded) {
    RecordingWorker worker;
    auto client = std::make_unique<ReconnectingClient>(&worker);
    ScriptedPeer peer;
    YSocketAddr address = peer.Address();
    ASSERT_EQ(0, client->Init(address));
    ASSERT_TRUE(peer.Accept());
    peer.Close();
    ASSERT_TRUE(worker.WaitForEvent("end"));
    ASSERT_EQ(0, client->Reconnect());
    ASSERT_TRUE(peer.Accept());
    client->Wait_Release(); // waits for the thread; the socket stays held
    ASSERT_EQ(0, client->Init(address));
    EXPECT_EQ(0, peer.WaitForEnd()); // the Reconnect's connection
    client->Wait_Release();
}

} // namespace

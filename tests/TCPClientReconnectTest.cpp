// TCPClient::Reconnect on a connection whose receive thread still runs.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/TCPClient.h"
#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"
#include "support/ClientHarness.h"
#include "support/LogCapture.h"
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

// Disconnect clears the state bits while the thread is inside the handler;
// the thread then carries on with the socket Reconnect brought, and the
// ending call's close (which goes by those bits) does not reach it.
TEST(TCPClientReconnect, WaitReleaseEndsAThreadReadingTheSocketReconnectBroughtAfterADisconnect) {
    RecordingWorker worker;
    auto client = std::make_unique<ReconnectingClient>(&worker);
    ScriptedPeer peer;
    std::mutex gate;
    std::unique_lock<std::mutex> holding(gate);
    worker.onMessage = [&](const unsigned char*, int, void*) -> LONG {
        std::lock_guard<std::mutex> pass(gate);
        return 0;
    };
    YSocketAddr address = peer.Address();
    ASSERT_EQ(0, client->Init(address));
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(peer.Send(WireMessage(1, 1, Text("one"))));
    ASSERT_TRUE(worker.WaitForMessages(1));
    client->Disconnect();
    ASSERT_EQ(0, client->Reconnect());
    holding.unlock();
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(peer.Send(WireMessage(1, 2, Text("two"))));
    ASSERT_TRUE(worker.WaitForMessages(2)); // the thread reads the new socket

    auto ending = std::async(std::launch::async, [&] { client->Wait_Release(); });
    bool ended = ending.wait_for(std::chrono::milliseconds(kWaitMs)) == std::future_status::ready;
    EXPECT_TRUE(ended);
    if (!ended)
        peer.Close(); // ends the receive, and so the wait
    ending.wait();
    if (ended) {
        EXPECT_EQ(0, peer.WaitForEnd());
    }
    EXPECT_EQ((Events{"begin", "message", "message", "cut", "end"}), worker.Events());
}

} // namespace

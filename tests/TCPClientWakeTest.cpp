// TCPClient: the owner's close of a socket that the receive thread has
// marked in use but not yet entered a receive on. On Windows the close's
// cancel finds no call then; this is the moment the test holds the thread in.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "client/TCPClient.h"
#include "client/TCPClientHooks.h"
#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"
#include "support/ClientHarness.h"
#include "support/ScriptedPeer.h"

using namespace YNet2;
using namespace YNetTest;

namespace {

using Events = std::vector<std::string>;

// Holds the first thread that marks the client's socket after Arm, until Go.
class MarkedCallHold {
public:
    explicit MarkedCallHold(const TCPClient* client)
        : m_Client(client), m_Marked(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          m_Go(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        SetSocketUseHook(Hook, this);
    }
    ~MarkedCallHold() {
        SetSocketUseHook(nullptr, nullptr);
        SetEvent(m_Go);
        CloseHandle(m_Marked);
        CloseHandle(m_Go);
    }
    MarkedCallHold(const MarkedCallHold&) = delete;
    MarkedCallHold& operator=(const MarkedCallHold&) = delete;

    void Arm() { m_Armed = true; }
    bool WaitUntilHeld() { return WaitForSingleObject(m_Marked, kWaitMs) == WAIT_OBJECT_0; }
    void Go() { SetEvent(m_Go); }

private:
    static void Hook(const TCPClient* client, bool marked, void* context) {
        auto* self = static_cast<MarkedCallHold*>(context);
        if (!marked || client != self->m_Client || !self->m_Armed.exchange(false))
            return;
        SetEvent(self->m_Marked);
        WaitForSingleObject(self->m_Go, kWaitMs);
    }
    const TCPClient* m_Client;
    std::atomic<bool> m_Armed{false};
    HANDLE m_Marked;
    HANDLE m_Go;
};

// Ends a receive that the client failed to wake: the peer closes its end
// once milliseconds have passed without Stop.
class CloseLater {
public:
    CloseLater(ScriptedPeer* peer, DWORD milliseconds)
        : m_Peer(peer), m_Milliseconds(milliseconds), m_Stop(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          m_Thread(CreateThread(nullptr, 0, Run, this, 0, nullptr)) {}
    ~CloseLater() { Stop(); }
    CloseLater(const CloseLater&) = delete;
    CloseLater& operator=(const CloseLater&) = delete;

    // True when the peer had to close.
    bool Stop() {
        if (m_Thread != nullptr) {
            SetEvent(m_Stop);
            WaitForSingleObject(m_Thread, INFINITE);
            CloseHandle(m_Thread);
            CloseHandle(m_Stop);
            m_Thread = nullptr;
        }
        return m_Closed;
    }

private:
    static DWORD WINAPI Run(LPVOID parameter) {
        auto* self = static_cast<CloseLater*>(parameter);
        if (WaitForSingleObject(self->m_Stop, self->m_Milliseconds) != WAIT_OBJECT_0) {
            self->m_Closed = true;
            self->m_Peer->Close();
        }
        return 0;
    }
    ScriptedPeer* m_Peer;
    DWORD m_Milliseconds;
    HANDLE m_Stop;
    HANDLE m_Thread;
    std::atomic<bool> m_Closed{false};
};

TEST(TCPClientWake, ACloseBetweenMarkingTheSocketAndTheReceiveStillEndsTheThread) {
    RecordingWorker worker;
    auto client = std::make_unique<TCPClient>(&worker);
    ScriptedPeer peer; // a silent peer: only the client's wake can end the receive
    MarkedCallHold hold(client.get());
    // The thread hands the message out, then marks the socket for its next receive.
    worker.onMessage = [&](const unsigned char*, int, void*) -> LONG {
        hold.Arm();
        return 0;
    };
    YSocketAddr address = peer.Address();
    ASSERT_EQ(0, client->Init(address));
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(worker.WaitForEvent("begin"));
    ASSERT_TRUE(peer.Send(WireMessage(1, 1, {'o', 'n', 'e'})));
    ASSERT_TRUE(hold.WaitUntilHeld());
    client->Disconnect(); // the socket is in use: the close wakes, and finds no receive to cancel
    hold.Go();

    CloseLater rescue(&peer, kWaitMs);
    client->Wait_Release();
    EXPECT_FALSE(rescue.Stop()) << "the receive entered after the close was not woken";
    EXPECT_EQ((Events{"begin", "message", "cut", "end"}), worker.Events());
}

} // namespace

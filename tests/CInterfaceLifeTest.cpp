// The C interface's ending calls and the receive thread: what ynet.h
// promises of release, wait_release, connect again, disconnect from a
// callback and reconnect after a cut.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <string>

#include "framework/YThreadHook.h"
#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"
#include "support/ClientHarness.h"
#include "support/ScriptedPeer.h"
#include "ynet.h"

using namespace YNet2;
using namespace YNetTest;

namespace {

// What the callbacks saw; the test thread reads it.
struct Seen {
    std::atomic<int> begins{0};
    std::atomic<int> ends{0};
    std::atomic<int> cuts{0};
    std::atomic<int> messages{0};
    std::atomic<bool> disconnectInHandler{false};
    // Callbacks of the client overlapping, and the first callback of a
    // connection (kConnected, kBegin), set once per round.
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> first{0};
    HANDLE ended = CreateEventA(nullptr, FALSE, FALSE, nullptr); // auto-reset: one per thread end
    ~Seen() { CloseHandle(ended); }
};

constexpr int kConnected = 1;
constexpr int kBegin = 2;

// Marks one callback as running while it lives.
struct Inside {
    Seen* seen;
    Inside(void* user, int event) : seen(static_cast<Seen*>(user)) {
        if (seen->inside.fetch_add(1) != 0)
            seen->overlapped = true;
        int none = 0;
        seen->first.compare_exchange_strong(none, event);
    }
    ~Inside() { seen->inside.fetch_sub(1); }
};

int32_t YNET_CALL OnMessage(void* user, ynet_client* client, uint32_t, uint32_t, uint32_t, const uint8_t*, int32_t) {
    Inside inside(user, 0);
    auto* seen = static_cast<Seen*>(user);
    seen->messages.fetch_add(1);
    if (seen->disconnectInHandler)
        ynet_client_disconnect(client);
    return 0;
}
void YNET_CALL OnNotify(void* user, ynet_client*, uint32_t what) {
    Inside inside(user, what == YNET_NOTIFY_CONNECTED ? kConnected : 0);
}
void YNET_CALL OnCut(void* user, ynet_client*) {
    static_cast<Seen*>(user)->cuts.fetch_add(1);
}
void YNET_CALL OnBegin(void* user, ynet_client*) {
    Inside inside(user, kBegin);
    static_cast<Seen*>(user)->begins.fetch_add(1);
}
void YNET_CALL OnEnd(void* user, ynet_client*) {
    static_cast<Seen*>(user)->ends.fetch_add(1);
    SetEvent(static_cast<Seen*>(user)->ended);
}

// Threads that take long over their last steps: each routine of the
// library returns, then its thread sets `returned` and stays a while in a
// thread-local's destructor before it ends (as a thread's exit in the
// system may), counting `ended` last.
struct SlowEnd {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
};
constexpr DWORD kLastStepsMs = 300;
HANDLE g_Returned = nullptr; // auto-reset
std::atomic<int> g_Ended{0};
struct LastSteps {
    ~LastSteps() {
        Sleep(kLastStepsMs);
        g_Ended.fetch_add(1);
    }
};

DWORD WINAPI EndSlowly(LPVOID argument) {
    const SlowEnd start = *static_cast<SlowEnd*>(argument);
    delete static_cast<SlowEnd*>(argument);
    const DWORD result = start.routine(start.parameter);
    SetEvent(g_Returned);
    thread_local LastSteps atExit;
    return result;
}

HANDLE WINAPI StartEndingSlowly(LPSECURITY_ATTRIBUTES attributes, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine,
                                LPVOID parameter, DWORD flags, LPDWORD threadId) {
    auto* start = new SlowEnd{routine, parameter};
    HANDLE thread = CreateThread(attributes, stackSize, EndSlowly, start, flags, threadId);
    if (thread == nullptr)
        delete start;
    return thread;
}

struct SlowEndScope {
    SlowEndScope() {
        g_Returned = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        SetYThreadStarter(&StartEndingSlowly);
    }
    ~SlowEndScope() {
        SetYThreadStarter(nullptr);
        CloseHandle(g_Returned);
    }
};

class CClientLife : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(YNET_OK, ynet_stack_start());
        ASSERT_TRUE(peer.Listening());
        server = "127.0.0.1:" + std::to_string(ntohs(peer.Address().sin_port));
        callbacks.size = sizeof callbacks;
        callbacks.user = &seen;
        callbacks.on_message = OnMessage;
        callbacks.on_cut = OnCut;
        callbacks.on_thread_begin = OnBegin;
        callbacks.on_thread_end = OnEnd;
        callbacks.on_notify = OnNotify;
        ASSERT_EQ(YNET_OK, ynet_client_new(&callbacks, &client));
    }
    void TearDown() override {
        EXPECT_EQ(YNET_OK, ynet_client_destroy(client));
        EXPECT_EQ(seen.begins.load(), seen.ends.load());
        ynet_stack_stop();
    }
    int32_t Connect() {
        int32_t result = ynet_client_connect(client, server.c_str(), nullptr);
        return result == YNET_OK && !peer.Accept() ? YNET_E_FAIL : result;
    }
    bool ThreadEnds() { return WaitForSingleObject(seen.ended, kWaitMs) == WAIT_OBJECT_0; }

    ScriptedPeer peer;
    std::string server;
    Seen seen;
    ynet_callbacks callbacks{};
    ynet_client* client = nullptr;
};

// release does not wait; the next connect and wait_release do, whatever
// came before them: connect then finds no old thread in its way, and
// wait_release returns after on_thread_end.
TEST_F(CClientLife, ConnectAndWaitReleaseAfterReleaseWaitForTheOldThread) {
    for (int round = 0; round < 10; ++round) {
        ASSERT_EQ(YNET_OK, Connect()) << round;
        ASSERT_EQ(YNET_OK, ynet_client_release(client));
        ASSERT_EQ(YNET_OK, Connect()) << round << ": " << ynet_last_error();
        ASSERT_EQ(YNET_OK, ynet_client_release(client));
        ASSERT_EQ(YNET_OK, ynet_client_wait_release(client));
        EXPECT_EQ(2 * (round + 1), seen.ends.load()) << round;
        EXPECT_EQ(seen.begins.load(), seen.ends.load()) << round;
    }
}

// A server that speaks first and closes at once: CONNECTED still comes
// before any callback of the receive thread, and no two callbacks overlap.
TEST_F(CClientLife, ConnectedComesFirstAndCallbacksNeverOverlap) {
    const int rounds = kSlowBuild ? 100 : 300;
    for (int round = 0; round < rounds; ++round) {
        seen.first = 0;
        auto speaker = std::async(std::launch::async, [this] {
            bool sent = peer.Accept() && peer.Send(WireMessage(1, 2, {'x'}));
            peer.Close();
            return sent;
        });
        ASSERT_EQ(YNET_OK, ynet_client_connect(client, server.c_str(), nullptr)) << round;
        ASSERT_TRUE(speaker.get()) << round;
        ASSERT_TRUE(ThreadEnds()) << round;
        ASSERT_EQ(kConnected, seen.first.load()) << round;
        ASSERT_FALSE(seen.overlapped.load()) << round;
    }
}

// disconnect from on_message cuts: on_cut, then the thread ends by itself.
TEST_F(CClientLife, DisconnectFromOnMessageCutsAndEndsTheThread) {
    seen.disconnectInHandler = true;
    ASSERT_EQ(YNET_OK, Connect());
    ASSERT_TRUE(peer.Send(WireMessage(1, 2, {'x'})));
    ASSERT_TRUE(ThreadEnds());
    EXPECT_EQ(1, seen.messages.load());
    EXPECT_EQ(1, seen.cuts.load());
    EXPECT_EQ(0, ynet_client_is_connected(client));
}

// A thread that ended by itself (a disconnect from on_message) is let go
// of by the library before its last steps: wait_release, and destroy, still
// return only once it has ended, so that the program may exit or unload
// the library right after them.
TEST_F(CClientLife, WaitReleaseAndDestroyReturnOnceAThreadThatEndedByItselfHasEnded) {
    SlowEndScope slow;
    seen.disconnectInHandler = true;
    for (bool destroy : {false, true}) {
        ASSERT_EQ(YNET_OK, Connect()) << destroy;
        ASSERT_TRUE(peer.Send(WireMessage(1, 2, {'x'}))) << destroy;
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(g_Returned, kWaitMs)) << destroy;
        const int ended = g_Ended.load();
        if (destroy) {
            ASSERT_EQ(YNET_OK, ynet_client_destroy(client));
            ASSERT_EQ(YNET_OK, ynet_client_new(&callbacks, &client)); // for TearDown
        } else {
            ASSERT_EQ(YNET_OK, ynet_client_wait_release(client));
        }
        EXPECT_EQ(ended + 1, g_Ended.load()) << (destroy ? "destroy" : "wait_release") << " returned before";
    }
}

// reconnect replaces a connection that a thread reads; once the thread
// was cut (by the peer, a disconnect or a release) nobody would read a new
// one: YNET_E_STATE, never YNET_OK.
TEST_F(CClientLife, ReconnectAfterACutIsRefused) {
    enum class Cut { None, PeerCloses, Disconnect, Release };
    for (Cut cut : {Cut::None, Cut::PeerCloses, Cut::Disconnect, Cut::Release}) {
        const int row = static_cast<int>(cut);
        ASSERT_EQ(YNET_OK, Connect()) << row;
        if (cut == Cut::PeerCloses)
            peer.Close();
        else if (cut == Cut::Disconnect)
            ynet_client_disconnect(client);
        else if (cut == Cut::Release)
            ynet_client_release(client);
        if (cut != Cut::None) {
            ASSERT_TRUE(ThreadEnds()) << row;
        }
        const int32_t result = ynet_client_reconnect(client);
        if (cut == Cut::None) {
            ASSERT_EQ(YNET_OK, result) << row;
            ASSERT_TRUE(peer.Accept()) << row;
            ASSERT_EQ(YNET_OK, ynet_client_wait_release(client));
            ASSERT_TRUE(ThreadEnds()); // that end's signal, taken
        } else {
            EXPECT_EQ(YNET_E_STATE, result) << row;
        }
        EXPECT_EQ(seen.begins.load(), seen.ends.load()) << row;
    }
}

} // namespace

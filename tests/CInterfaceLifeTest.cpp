// The C interface's ending calls and the receive thread: what ynet.h
// promises of release, wait_release, connect again, disconnect from a
// callback, reconnect after a cut and before any connection, the calls
// refused from CONNECTED and from the log sink, and the socket options a
// connection is made with.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <future>
#include <iterator>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "client/CClient.h"
#include "framework/Log.h"
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
    std::atomic<bool> releaseFromAnotherThreadInCut{false};
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
void YNET_CALL OnCut(void* user, ynet_client* client) {
    auto* seen = static_cast<Seen*>(user);
    seen->cuts.fetch_add(1);
    if (seen->releaseFromAnotherThreadInCut)
        std::async(std::launch::async, [client] { ynet_client_release(client); }).get();
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

// Runs call on a thread of its own: false when it has not returned within
// kWaitMs (a hang; the thread and what call holds are left behind).
bool ReturnsInTime(std::function<void()> call) {
    auto returned = std::make_shared<std::promise<void>>();
    std::future<void> done = returned->get_future();
    std::thread([call = std::move(call), returned] {
        call();
        returned->set_value();
    }).detach();
    return done.wait_for(std::chrono::milliseconds(kWaitMs)) == std::future_status::ready;
}

int32_t YNET_CALL Ignore(void*, ynet_client*, uint32_t, uint32_t, uint32_t, const uint8_t*, int32_t) {
    return 0;
}
const ynet_callbacks kQuiet{sizeof(ynet_callbacks), nullptr, Ignore, nullptr, nullptr, nullptr, nullptr, nullptr, 0};
ynet_client* g_Made = nullptr;

// Functions that take a client or the stack; `waits` marks those that wait
// for the client's receive thread (or connect).
struct ClientCall {
    const char* name;
    int32_t (*call)(ynet_client* client, const char* server);
    bool waits;
};
const ClientCall kClientCalls[] = {
    {"ynet_client_connect", [](ynet_client* c, const char* s) { return ynet_client_connect(c, s, nullptr); }, true},
    {"ynet_client_connect_url", [](ynet_client* c, const char* s) { return ynet_client_connect_url(c, s, "", 0); },
     true},
    {"ynet_client_reconnect", [](ynet_client* c, const char*) { return ynet_client_reconnect(c); }, true},
    {"ynet_client_wait_release", [](ynet_client* c, const char*) { return ynet_client_wait_release(c); }, true},
    {"ynet_client_destroy", [](ynet_client* c, const char*) { return ynet_client_destroy(c); }, true},
    {"ynet_client_send", [](ynet_client* c, const char*) { return ynet_client_send(c, 1, 2, 0, nullptr, 0); }, false},
    {"ynet_client_new", [](ynet_client*, const char*) { return ynet_client_new(&kQuiet, &g_Made); }, false},
    {"ynet_stack_start", [](ynet_client*, const char*) { return ynet_stack_start(); }, false},
    {"ynet_stack_stop", [](ynet_client*, const char*) { return ynet_stack_stop(); }, false},
};

// One row's call, made once from a callback or a sink (result 1: not yet).
struct OneCall {
    const ClientCall* row;
    std::string server;
    ynet_client* client = nullptr;
    std::atomic<bool> made{false};
    int32_t result = 1;
    std::string text;
    void Make(ynet_client* on) {
        if (!made.exchange(true)) {
            result = row->call(on, server.c_str());
            text = ynet_last_error();
        }
    }
    // YNET_E_STATE, the text naming the function and where it was called from.
    void ExpectRefused(const char* where) const {
        EXPECT_EQ(YNET_E_STATE, result) << row->name << ": " << text;
        EXPECT_EQ(0u, text.find(std::string(row->name) + ": not allowed from the " + where)) << text;
    }
};
void YNET_CALL CallFromConnected(void* user, ynet_client* client, uint32_t what) {
    if (what == YNET_NOTIFY_CONNECTED)
        static_cast<OneCall*>(user)->Make(client);
}
void YNET_CALL CallFromSink(void* user, const char*) {
    static_cast<OneCall*>(user)->Make(static_cast<OneCall*>(user)->client);
}

// This test's lines, counted by whichever of its sinks got them, each sink
// putting a sink in place again from inside.
constexpr char kRaceLine[] = "sink race";
std::atomic<int> g_RaceLines{0};
std::atomic<int> g_RaceFailures{0};
void YNET_CALL ReplaceFromSink(void* user, const char* line) {
    if (std::strncmp(line, kRaceLine, sizeof kRaceLine - 1) != 0)
        return;
    g_RaceLines.fetch_add(1);
    std::this_thread::yield(); // lets another thread's ynet_set_log_sink begin meanwhile
    if (ynet_set_log_sink(ReplaceFromSink, user) != YNET_OK)
        g_RaceFailures.fetch_add(1);
}

// TCP_NODELAY as a connected connection's own socket has it: 0, 1, or -1.
// Windows (and Wine) may write a single byte of the value: it starts at 0.
struct SocketOf : TCPClient {
    static int NoDelay(TCPClient* connection) {
        const SOCKET handle = (connection->*&SocketOf::BeginSocketUse)();
        int value = 0, length = sizeof value;
        const bool read = getsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&value), &length) == 0;
        if (handle != INVALID_SOCKET)
            (connection->*&SocketOf::EndSocketUse)(handle);
        return read ? value != 0 : -1;
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
    // "127.0.0.1:port" where nobody listens any more.
    static std::string ClosedServer() {
        ScriptedPeer gone;
        return "127.0.0.1:" + std::to_string(ntohs(gone.Address().sin_port));
    }

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

// A second connect waits for the old connection's thread; that thread's
// on_cut has another thread release the client, and the release returns
// while the connect still runs: the connect fails, and nothing connects.
TEST_F(CClientLife, AReleaseWhileAConnectWaitsForTheOldThreadEndsThatConnect) {
    ASSERT_EQ(YNET_OK, Connect());
    seen.releaseFromAnotherThreadInCut = true;
    EXPECT_EQ(YNET_E_FAIL, ynet_client_connect(client, server.c_str(), nullptr));
    EXPECT_EQ(0, ynet_client_is_connected(client));
    EXPECT_EQ(YNET_OK, ynet_client_wait_release(client));
    EXPECT_EQ(1, seen.begins.load());
}

// reconnect needs a connection made before: a client that never connected
// (new, or whose connects all failed) fails as the class does without an
// address, not as after a cut.
TEST_F(CClientLife, ReconnectOfAClientThatNeverConnectedFails) {
    const std::string closed = ClosedServer();
    for (bool tried : {false, true}) {
        if (tried) {
            ASSERT_EQ(YNET_E_FAIL, ynet_client_connect(client, closed.c_str(), nullptr));
        }
        EXPECT_EQ(YNET_E_FAIL, ynet_client_reconnect(client)) << tried << ": " << ynet_last_error();
    }
}

// A C client's connections are made with TCP_NODELAY unless it is turned
// off, read on the connection's own socket.
TEST_F(CClientLife, ConnectionsHaveNoDelayUnlessTurnedOff) {
    for (int32_t set : {-1, 0}) { // -1: the default
        if (set >= 0) {
            ASSERT_EQ(YNET_OK, ynet_client_set_nodelay(client, set));
        }
        ASSERT_EQ(YNET_OK, Connect());
        EXPECT_EQ(set < 0 ? 1 : set, SocketOf::NoDelay(static_cast<CClient*>(client)->Active())) << set;
        ASSERT_EQ(YNET_OK, ynet_client_wait_release(client));
    }
}

// CONNECTED runs on the connecting thread while the receive thread waits
// for it: every call that would wait for that thread (or connect) is
// refused there, and the connection goes on.
TEST_F(CClientLife, CallsThatWaitAreRefusedFromConnected) {
    for (const ClientCall& row : kClientCalls) {
        if (!row.waits)
            continue;
        auto one = std::make_shared<OneCall>();
        one->row = &row;
        one->server = server;
        ynet_callbacks refusing = kQuiet;
        refusing.user = one.get();
        refusing.on_notify = CallFromConnected;
        ASSERT_EQ(YNET_OK, ynet_client_new(&refusing, &one->client));
        int32_t connected = 1;
        ASSERT_TRUE(ReturnsInTime([one, &connected] {
            connected = ynet_client_connect(one->client, one->server.c_str(), nullptr);
        })) << row.name
            << " from CONNECTED hung";
        EXPECT_EQ(YNET_OK, connected) << row.name;
        one->ExpectRefused("client's own callback");
        EXPECT_EQ(1, ynet_client_is_connected(one->client)) << row.name;
        EXPECT_EQ(YNET_OK, ynet_client_destroy(one->client)) << row.name;
    }
}

// A sink runs while the library may hold its locks, or inside the call
// another would wait for (here the client's own failing connect): all but
// the helpers and ynet_set_log_sink is refused there.
TEST_F(CClientLife, ClientAndStackCallsAreRefusedFromTheLogSink) {
    const std::string closed = ClosedServer();
    for (const ClientCall& row : kClientCalls) {
        auto one = std::make_shared<OneCall>();
        one->row = &row;
        one->server = server;
        one->client = client;
        ASSERT_EQ(YNET_OK, ynet_set_log_sink(CallFromSink, one.get()));
        int32_t connected = YNET_OK;
        const bool returned = ReturnsInTime(
            [one, closed, &connected] { connected = ynet_client_connect(one->client, closed.c_str(), nullptr); });
        if (!returned)
            client = nullptr; // still in the call that hangs
        ASSERT_TRUE(returned) << row.name << " from the log sink hung";
        ASSERT_EQ(YNET_OK, ynet_set_log_sink(nullptr, nullptr));
        EXPECT_EQ(YNET_E_FAIL, connected) << row.name;
        one->ExpectRefused("log sink");
    }
}

// Sinks that put a sink in place from inside while other threads do so,
// from their sinks and from outside: no line is lost, nothing waits for ever.
TEST_F(CClientLife, SinksMayReplaceTheSinkWhileOtherThreadsDoSoToo) {
    constexpr int kThreads = 3, kLines = kSlowBuild ? 200 : 2000;
    g_RaceLines = 0;
    g_RaceFailures = 0;
    ASSERT_EQ(YNET_OK, ynet_set_log_sink(ReplaceFromSink, nullptr));
    ASSERT_TRUE(ReturnsInTime([] {
        std::latch start(kThreads);
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t)
            threads.emplace_back([&start, t] {
                start.arrive_and_wait();
                for (int i = 0; i < kLines; ++i) {
                    if (t > 0) // a line, whose sink replaces the sink
                        Debug("%s %d", kRaceLine, i);
                    else if (ynet_set_log_sink(ReplaceFromSink, nullptr) != YNET_OK)
                        g_RaceFailures.fetch_add(1);
                }
            });
        for (std::thread& thread : threads)
            thread.join();
    })) << "replacing the sink hung";
    EXPECT_EQ(YNET_OK, ynet_set_log_sink(nullptr, nullptr));
    EXPECT_EQ((kThreads - 1) * kLines, g_RaceLines.load());
    EXPECT_EQ(0, g_RaceFailures.load());
}

} // namespace

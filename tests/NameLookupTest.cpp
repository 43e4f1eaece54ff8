// Name lookups against a resolver that answers only once a test lets it:
// ending calls reach a lookup under way, and few lookups outlive callers.
#include "socket/NameLookup.h"
#include "client/TCPClient.h"
#include "support/ClientHarness.h"
#include "support/LogCapture.h"
#include "support/ProcessCounters.h"
#include "support/ScriptedPeer.h"
#include <chrono>
#include <condition_variable>
#include <future>
#include <gtest/gtest.h>
#include <mutex>

using namespace YNet2;
using namespace YNetTest;

namespace {

constexpr auto kWait = std::chrono::seconds(5);

// Answers 127.0.0.1, at once while open, else once opened (10 s at most).
struct SlowResolver {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = true;
    int waiting = 0;
    void Open(bool value) {
        std::lock_guard<std::mutex> hold(mutex);
        open = value;
        changed.notify_all();
    }
    static int Answer(const char*, ULONG* out, int, int* count);
} g_Resolver;

int SlowResolver::Answer(const char*, ULONG* out, int, int* count) {
    std::unique_lock<std::mutex> hold(g_Resolver.mutex);
    ++g_Resolver.waiting;
    g_Resolver.changed.notify_all();
    g_Resolver.changed.wait_for(hold, std::chrono::seconds(10), [] { return g_Resolver.open; });
    --g_Resolver.waiting;
    out[0] = htonl(INADDR_LOOPBACK);
    *count = 1;
    return 0;
}

} // namespace

TEST(NameLookupTest, AnEndingCallEndsInitAndReconnectInTheirLookupAtOnceHoldingNothing) {
    ScriptedPeer server;
    ASSERT_TRUE(server.Listening());
    const YSocketTarget name("slow.example", ntohs(server.Address().sin_port));
    SetResolverHook(SlowResolver::Answer);
    const ProcessCounters before = SampleProcess();
    for (int row = 0; row < 8; ++row) {
        const bool reconnect = row >= 4;
        SCOPED_TRACE(::testing::Message() << (reconnect ? "Reconnect, ending call " : "Init, ending call ") << row % 4);
        RecordingWorker worker;
        auto* client = new TCPClient(&worker);
        g_Resolver.Open(true);
        if (reconnect) {
            ASSERT_EQ(0, client->Init(name));
            ASSERT_TRUE(server.Accept());
        }
        g_Resolver.Open(false);
        auto connecting =
            std::async(std::launch::async, [&] { return reconnect ? client->Reconnect() : client->Init(name); });
        {
            std::unique_lock<std::mutex> hold(g_Resolver.mutex);
            ASSERT_TRUE(g_Resolver.changed.wait_for(hold, kWait, [] { return g_Resolver.waiting > 0; }));
        }
        auto ending = std::async(std::launch::async, [&, row] {
            void (TCPClient::*const calls[])() = {&TCPClient::Disconnect, &TCPClient::Release,
                                                  &TCPClient::Wait_Release};
            row % 4 == 3 ? delete client : (client->*calls[row % 4])();
        });
        const bool atOnce = connecting.wait_for(kWait) == std::future_status::ready &&
                            ending.wait_for(kWait) == std::future_status::ready;
        g_Resolver.Open(true); // the resolver answers now, too late
        EXPECT_TRUE(atOnce) << "the ending call did not reach the lookup";
        EXPECT_EQ(E_FAIL, connecting.get());
        ending.get();
        if (row % 4 != 3) {
            EXPECT_TRUE(client->IsSockValid()) << "a socket is held";
            delete client;
        }
        EXPECT_TRUE(WaitForThreadsAtMost(before.threads, 10000)); // the lookup's thread ended by itself
    }
    SetResolverHook(nullptr);
}

TEST(NameLookupTest, FewLookupsOutliveTheirBoundAndNoneOutlivesItsAnswer) {
    SetResolverHook(SlowResolver::Answer);
    g_Resolver.Open(false);
    LogCapture log;
    const ProcessCounters before = SampleProcess();
    RecordingWorker worker;
    TCPClient client(&worker);
    client.SetConnectTimeout(20);
    for (int i = 0; i < 3 * kMaxOutlivingLookups; ++i)
        EXPECT_EQ(E_FAIL, client.Init(YSocketTarget("slow.example", 7000)));
    const ProcessCounters piled = SampleProcess();
    EXPECT_LE(piled.threads, before.threads + kMaxOutlivingLookups);
    EXPECT_LE(piled.descriptors, before.descriptors + kMaxOutlivingLookups + DescriptorNoise());
    int refused = 0;
    for (const std::string& line : log.Lines())
        refused += line.find("TCPClient::Init() slow.example: 8 name lookups that outlived their callers still run, "
                             "none more is started!") != std::string::npos;
    EXPECT_EQ(2 * kMaxOutlivingLookups, refused);
    g_Resolver.Open(true);
    EXPECT_TRUE(WaitForThreadsAtMost(before.threads, 10000));
    EXPECT_LE(SampleProcess().descriptors, before.descriptors + DescriptorNoise());
    SetResolverHook(nullptr);
}

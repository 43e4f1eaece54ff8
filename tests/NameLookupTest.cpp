// Name lookups against a resolver that answers only once a test lets it.
#include "client/TCPClient.h"
#include "socket/LookupAbandon.h"
#include "support/ClientHarness.h"
#include "support/LogCapture.h"
#include "support/ProcessCounters.h"
#include "support/ScriptedPeer.h"
#include <algorithm>
#include <condition_variable>
#include <future>
#include <gtest/gtest.h>

using namespace YNet2;
using namespace YNetTest;

namespace {

constexpr auto kWait = std::chrono::seconds(5);
std::mutex g_Mutex;
std::condition_variable g_Changed;
bool g_Open = true; // else the resolver answers once opened (10 s at most)
int g_Waiting = 0;
int g_Peak = 0; // the most lookups inside the resolver at once

void OpenResolver(bool open) {
    std::lock_guard<std::mutex> hold(g_Mutex);
    g_Open = open;
    g_Changed.notify_all();
}

int SlowResolver(const char*, ULONG* out, int, int* count) {
    std::unique_lock<std::mutex> hold(g_Mutex);
    g_Peak = std::max(g_Peak, ++g_Waiting);
    g_Changed.notify_all();
    g_Changed.wait_for(hold, std::chrono::seconds(10), [] { return g_Open; });
    --g_Waiting;
    out[0] = htonl(INADDR_LOOPBACK);
    *count = 1;
    return 0;
}

} // namespace

// Rows: Init, then Reconnect, each ended by Disconnect, Release, Wait_Release, destruction.
TEST(NameLookupTest, AnEndingCallEndsInitAndReconnectInTheirLookupAtOnceHoldingNothing) {
    ScriptedPeer server;
    ASSERT_TRUE(server.Listening());
    const YSocketTarget name("slow.example", ntohs(server.Address().sin_port));
    SetResolverHook(SlowResolver);
    WarmUpThreads();
    const ProcessCounters before = SampleProcess();
    for (int row = 0; row < 8; ++row) {
        SCOPED_TRACE(row);
        RecordingWorker worker;
        auto* client = new TCPClient(&worker);
        OpenResolver(true);
        ASSERT_TRUE(row < 4 || (client->Init(name) == 0 && server.Accept()));
        OpenResolver(false);
        auto connecting =
            std::async(std::launch::async, [&] { return row < 4 ? client->Init(name) : client->Reconnect(); });
        std::unique_lock<std::mutex> hold(g_Mutex);
        ASSERT_TRUE(g_Changed.wait_for(hold, kWait, [] { return g_Waiting > 0; }));
        hold.unlock();
        void (TCPClient::*const calls[])() = {&TCPClient::Disconnect, &TCPClient::Release, &TCPClient::Wait_Release};
        auto ending =
            std::async(std::launch::async, [&] { row % 4 == 3 ? delete client : (client->*calls[row % 4])(); });
        const bool atOnce = connecting.wait_for(kWait) == std::future_status::ready &&
                            ending.wait_for(kWait) == std::future_status::ready;
        OpenResolver(true); // the resolver answers now, too late
        EXPECT_TRUE(atOnce) << "the ending call did not reach the lookup";
        EXPECT_EQ(E_FAIL, connecting.get());
        ending.get();
        EXPECT_TRUE(row % 4 == 3 || client->IsSockValid()) << "a socket is held";
        if (row % 4 != 3)
            delete client;
        EXPECT_TRUE(WaitForThreadsAtMost(before.threads, 10000)); // the lookup's thread ended by itself
    }
    SetResolverHook(nullptr);
}

TEST(NameLookupTest, FewLookupsOutliveTheirBoundAndNoneOutlivesItsAnswer) {
    SetResolverHook(SlowResolver);
    OpenResolver(false);
    LogCapture log;
    WarmUpThreads();
    const ProcessCounters before = SampleProcess();
    RecordingWorker worker;
    TCPClient client(&worker);
    client.SetConnectTimeout(20);
    for (int i = 0; i < 3 * kMaxOutlivingLookups; ++i)
        EXPECT_EQ(E_FAIL, client.Init(YSocketTarget("slow.example", 7000)));
    EXPECT_LE(SampleProcess().threads, before.threads + kMaxOutlivingLookups);
    const char* refusal = "TCPClient::Init() slow.example: 8 name lookups that outlived their callers still run, none "
                          "more is started!";
    const std::vector<std::string> lines = log.Lines();
    EXPECT_EQ(2 * kMaxOutlivingLookups, std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
                  return line.find(refusal) != std::string::npos;
              }));
    OpenResolver(true);
    EXPECT_TRUE(WaitForThreadsAtMost(before.threads, 10000));
    EXPECT_LE(SampleProcess().descriptors, before.descriptors + DescriptorNoise());
    SetResolverHook(nullptr);
}

// Rows: 32 callers at once, each bounded (150 ms) or ended by an ending
// call, against a resolver that holds its answer; then one that answers at once.
TEST(NameLookupTest, CallersAtOnceRunNoMoreLookupThreadsThanTheCapAndAllSucceedWhenAnswered) {
    constexpr int kCallers = 32;
    SetResolverHook(SlowResolver);
    LogCapture log;
    WarmUpThreads();
    const ProcessCounters before = SampleProcess();
    for (int row = 0; row < 3; ++row) {
        SCOPED_TRACE(row);
        std::unique_lock<std::mutex> hold(g_Mutex);
        g_Open = row == 2;
        g_Peak = 0;
        hold.unlock();
        LookupAbandon abandons[kCallers];
        std::future<LONG> callers[kCallers];
        for (int i = 0; i < kCallers; ++i) {
            callers[i] = std::async(std::launch::async, [&, i] {
                YSocketAddr found{};
                int count = 0;
                LONG result = YSocketTarget("slow.example", 7000)
                                  .Resolve(&found, 1, &count, row == 0 ? 150 : 10000, "Lookup",
                                           row == 0 ? nullptr : &abandons[i]);
                return result == 0 && (count != 1 || found.sin_addr.s_addr != htonl(INADDR_LOOPBACK)) ? E_FAIL : result;
            });
        }
        hold.lock();
        EXPECT_TRUE(row == 2 || g_Changed.wait_for(hold, kWait, [] { return g_Waiting >= kMaxOutlivingLookups; }));
        hold.unlock();
        for (int i = 0; row == 1 && i < kCallers; ++i)
            abandons[i].Abandon();
        for (std::future<LONG>& caller : callers) {
            ASSERT_EQ(std::future_status::ready, caller.wait_for(kWait));
            EXPECT_EQ(row == 2 ? 0 : E_FAIL, caller.get());
        }
        // Nothing has ended in the slow rows: every thread counted is a lookup's.
        EXPECT_TRUE(row == 2 || SampleProcess().threads <= before.threads + kMaxOutlivingLookups);
        hold.lock();
        EXPECT_LE(g_Peak, kMaxOutlivingLookups) << "lookups inside the resolver at once";
        hold.unlock();
        OpenResolver(true);
        EXPECT_TRUE(WaitForThreadsAtMost(before.threads, 10000)); // every lookup's thread ended by itself
    }
    const std::vector<std::string> lines = log.Lines();
    EXPECT_EQ(kCallers, std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
                  return line.find("Lookup() slow.example: name lookup abandoned, the call was ended!") !=
                         std::string::npos;
              }));
    SetResolverHook(nullptr);
}

// Clients under concurrent use: threads calling every owner operation on one
// client in random order, one worker shared by 50 connections whose
// handlers all answer, and a server flooding a slow handler. Run under
// ThreadSanitizer too, where any race among these calls fails the suite.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "client/TCPClient.h"
#include "message/YNetMsgHead.h"
#include "platform/WinApi.h"
#include "support/ClientHarness.h"
#include "support/ConnectedClient.h"
#include "support/Loopback.h"
#include "support/ProcessCounters.h"
#include "support/ScriptedPeer.h"
#if defined(YNET_HAVE_ECHO_SERVER)
#include "tools/EchoServer.h"
#endif

using namespace YNet2;
using namespace YNetTest;

namespace {

using Bytes = std::vector<unsigned char>;

// A message whose body follows from its head: body length and bytes are
// functions of the assistant ID, so any message can be checked on its own.
Bytes PatternMessage(BYTE mainID, BYTE assistantID, int bodyLength) {
    Bytes body(static_cast<size_t>(bodyLength));
    for (int i = 0; i < bodyLength; ++i)
        body[static_cast<size_t>(i)] = static_cast<unsigned char>(assistantID * 31 + i);
    return PlainMessage(mainID, assistantID, body);
}

bool IsPatternMessage(const unsigned char* message, int length) {
    if (length < 4)
        return false;
    const auto* head = reinterpret_cast<const YNetMsgHead*>(message);
    Bytes expected = PatternMessage(static_cast<BYTE>(message[2] >> 2), message[3], length - 4);
    return head->GetSize() == length && std::equal(expected.begin(), expected.end(), message);
}

#if defined(YNET_HAVE_ECHO_SERVER)
// A connection made and ended before a baseline is sampled: threads the
// process starts once (a sanitizer's own) are then in the baseline.
void WarmUp() {
    Connected c;
    if (c.Start())
        c.client.Wait_Release();
}

YSocketAddr EchoAddress(const YNet2Tools::EchoServer& server) {
    YSocketAddr address;
    static_cast<sockaddr_in&>(address) = LoopbackAddress(server.Port());
    return address;
}

TEST(ConcurrencyTest, ThreadsCallingEveryOwnerOperationInRandomOrderLeaveTheClientSoundAndNothingOpen) {
    WarmUp();
    ProcessCounters before = SampleProcess();
    {
        YNet2Tools::EchoServer server;
        ASSERT_EQ(0, server.Start());
        YSocketAddr address = EchoAddress(server);
        std::atomic<int> broken{0};
        RecordingWorker worker;
        worker.onMessage = [&](const unsigned char* message, int length, void*) {
            if (!IsPatternMessage(message, length))
                ++broken;
            return 0;
        };
        // Each round connects a client and lets the threads loose on it; the
        // round ends by destroying it, which waits for its receive thread
        // even after a Release (Wait_Release then does not wait). A round's
        // few small messages fit in the socket buffers, as a client without
        // a receive thread (after Release) does not read its echoes.
        const int kRounds = kSlowBuild ? 12 : 60;
        const int kThreads = 4;
        const int kOperations = 12;
        for (int round = 0; round < kRounds; ++round) {
            OpenClient client(&worker);
            ASSERT_EQ(0, client.Init(address));
            std::vector<std::thread> threads;
            for (int t = 0; t < kThreads; ++t) {
                threads.emplace_back([&client, seed = round * 131 + t] {
                    std::mt19937 random(static_cast<unsigned>(seed));
                    for (int i = 0; i < kOperations; ++i) {
                        switch (random() % 10) {
                        case 0:
                            client.Release();
                            break;
                        case 1:
                            client.Disconnect();
                            break;
                        case 2:
                            client.Wait_Release();
                            break;
                        case 3:
                            client.Reconnect();
                            break;
                        default: {
                            Bytes message = PatternMessage(1, static_cast<BYTE>(random()), 1 + random() % 24);
                            client.SendMsg(nullptr, message.data(), static_cast<int>(message.size()));
                        }
                        }
                    }
                });
            }
            for (std::thread& thread : threads)
                thread.join();
            client.Wait_Release();
        }
        EXPECT_EQ(0, broken.load());

        // The server still serves: a new client gets an echo.
        RecordingWorker fresh;
        OpenClient again(&fresh);
        ASSERT_EQ(0, again.Init(address));
        Bytes message = PatternMessage(1, 77, 20);
        Bytes original = message;
        ASSERT_EQ(24, again.SendMsg(nullptr, message.data(), 24));
        ASSERT_TRUE(fresh.WaitForMessages(1));
        EXPECT_EQ(original, fresh.Messages()[0]);
        again.Wait_Release();
        server.Stop();
    }
    EXPECT_TRUE(WaitForThreadsAtMost(before.threads, kWaitMs));
    EXPECT_LE(SampleProcess().descriptors, before.descriptors + DescriptorNoise());
}

// Thread-safe worker shared by every connection: counts what each
// connection (told apart by its kernel) received and answers each message
// with the next one until a connection has had kRounds.
class SharedWorker : public MsgWorker {
public:
    static constexpr int kRounds = 20;
    SharedWorker() : MsgWorker(nullptr, 0) {}
    LONG HandleMessage(void* message, int length, void* connection, void* kernel) override {
        auto* bytes = static_cast<const unsigned char*>(message);
        int round;
        {
            std::lock_guard<std::mutex> hold(m_Mutex);
            round = m_Rounds[kernel]++;
            if (connection != nullptr || !IsPatternMessage(bytes, length) || bytes[3] != round)
                ++m_Broken;
            m_Total++;
        }
        if (round + 1 < kRounds) {
            Bytes next = PatternMessage(1, static_cast<BYTE>(round + 1), 8 + round);
            static_cast<NetKernel*>(kernel)->SendMsg(nullptr, next.data(), static_cast<int>(next.size()));
        }
        return 0;
    }
    LONG ConnectionCut(void*) override { return 0; }
    LONG ConnectionAccept(void*) override { return 0; }

    int Total() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        return m_Total;
    }
    std::map<void*, int> Rounds() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        return m_Rounds;
    }
    int Broken() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        return m_Broken;
    }

private:
    std::mutex m_Mutex;
    std::map<void*, int> m_Rounds;
    int m_Total = 0;
    int m_Broken = 0;
};

TEST(ConcurrencyTest, OneWorkerSharedByFiftyConnectionsWhoseHandlersAllAnswerGetsEveryRound) {
    YNet2Tools::EchoServer server;
    ASSERT_EQ(0, server.Start());
    YSocketAddr address = EchoAddress(server);
    SharedWorker worker;
    const int kConnections = 50;
    std::vector<std::unique_ptr<TCPClient>> clients;
    for (int i = 0; i < kConnections; ++i) {
        clients.push_back(std::make_unique<TCPClient>(&worker));
        ASSERT_EQ(0, clients.back()->Init(address));
    }
    for (auto& client : clients) {
        Bytes first = PatternMessage(1, 0, 8);
        ASSERT_EQ(12, client->SendMsg(nullptr, first.data(), 12));
    }
    const int total = kConnections * SharedWorker::kRounds;
    DWORD start = GetTickCount();
    while (worker.Total() < total && GetTickCount() - start < 4 * kWaitMs)
        server.WaitForEchoed(server.Echoed() + 1, 100);
    EXPECT_EQ(total, worker.Total());
    EXPECT_EQ(0, worker.Broken());
    std::map<void*, int> rounds = worker.Rounds();
    EXPECT_EQ(static_cast<size_t>(kConnections), rounds.size());
    for (auto& [kernel, count] : rounds)
        EXPECT_EQ(SharedWorker::kRounds, count);
    for (auto& client : clients)
        client->Wait_Release();
}
#endif

// The flood's messages, built before the flood: nothing is allocated per
// message on either side while the client's memory is measured. Message i
// is number i % kKinds of these.
struct FloodMessages {
    static constexpr int kKinds = 5 * 256;
    std::vector<Bytes> plain;
    std::vector<Bytes> wire;
    FloodMessages() {
        const int bodies[5] = {1436, 96, 700, 0, 1200};
        for (int i = 0; i < kKinds; ++i) {
            plain.push_back(PatternMessage(2, static_cast<BYTE>(i), bodies[i % 5]));
            wire.push_back(WireMessage(2, static_cast<BYTE>(i), Bytes(plain.back().begin() + 4, plain.back().end())));
        }
    }
};

// Checks each message as it comes and keeps none.
class FloodWorker : public MsgWorker {
public:
    explicit FloodWorker(const FloodMessages& messages) : MsgWorker(nullptr, 0), m_Messages(messages) {}
    LONG HandleMessage(void* message, int length, void*, void*) override {
        int expected = m_Next;
        const Bytes& want = m_Messages.plain[static_cast<size_t>(expected % FloodMessages::kKinds)];
        if (length != static_cast<int>(want.size()) ||
            !std::equal(want.begin(), want.end(), static_cast<unsigned char*>(message)))
            ++m_Broken;
        if (expected % 500 == 0)
            Sleep(5); // slow now and then: the sender fills every buffer meanwhile
        std::lock_guard<std::mutex> hold(m_Mutex);
        ++m_Next;
        m_Changed.notify_all();
        return 0;
    }
    LONG ConnectionCut(void*) override { return 0; }
    LONG ConnectionAccept(void*) override { return 0; }
    bool WaitFor(int count, DWORD milliseconds) {
        std::unique_lock<std::mutex> hold(m_Mutex);
        return m_Changed.wait_for(hold, std::chrono::milliseconds(milliseconds), [&] { return m_Next >= count; });
    }
    int Next() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        return m_Next;
    }
    std::atomic<int> m_Broken{0};

private:
    const FloodMessages& m_Messages;
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    int m_Next = 0; // written by the receive thread only; read under the lock
};

TEST(ConcurrencyTest, ServerFloodIntoASlowHandlerLosesNothingAndHoldsMemoryBounded) {
    // Far more than any buffer between the two ends (tens of MB): the
    // sender gets ahead only as far as TCP's flow control lets it.
    const int kMessages = kSlowBuild ? 6000 : 40000;
    const FloodMessages messages;
    ScriptedPeer peer;
    FloodWorker worker(messages);
    OpenClient client(&worker);
    YSocketAddr address = peer.Address();
    ASSERT_EQ(0, client.Init(address));
    ASSERT_TRUE(peer.Accept());
    long residentBefore = SampleProcess().residentKiB;
    std::atomic<bool> sent{true};
    std::thread sender([&] {
        for (int i = 0; i < kMessages && sent; ++i)
            sent = peer.Send(messages.wire[static_cast<size_t>(i % FloodMessages::kKinds)]);
    });
    EXPECT_TRUE(worker.WaitFor(kMessages, 6 * kWaitMs));
    sender.join();
    EXPECT_TRUE(sent.load());
    EXPECT_EQ(kMessages, worker.Next());
    EXPECT_EQ(0, worker.m_Broken.load());
    long residentAfter = SampleProcess().residentKiB;
    if (residentBefore >= 0) {
        EXPECT_LT(residentAfter - residentBefore, 8 * 1024);
    }
    std::printf("[ figures  ] %d messages, resident memory %ld KiB -> %ld KiB\n", kMessages, residentBefore,
                residentAfter);
    client.Wait_Release();
}

} // namespace

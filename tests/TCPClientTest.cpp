// TCPClient: connecting, the wire format both ways, notifications and the
// owner's ways of ending a connection, against real loopback peers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/TCPClient.h"
#include "message/Scrambler.h"
#include "message/YNetMsgHead.h"
#include "platform/WinApi.h"
#include "support/ClientHarness.h"
#include "support/ConnectedClient.h"
#include "support/Loopback.h"
#include "support/ScriptedPeer.h"
#if defined(YNET_HAVE_ECHO_SERVER)
#include "tools/EchoServer.h"
#endif

using namespace YNet2;
using namespace YNetTest;

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

TEST(TCPClientTest, WorkedExampleIsScrambledOnTheWireAndUnscrambledForTheHandler) {
    Connected c;
    ASSERT_TRUE(c.Start());

    unsigned char message[7] = {0x07, 0x00, 0x05, 0x02, 0x61, 0x62, 0x63};
    EXPECT_EQ(7, c.client.SendMsg(nullptr, message, 7));
    EXPECT_EQ((Bytes{0x07, 0x00, 0x05, 0x02, 0x61, 0xAB, 0x6B}), Bytes(message, message + 7)); // left scrambled
    Bytes wire;
    ASSERT_TRUE(c.peer.Receive(7, &wire));
    EXPECT_EQ((Bytes{0x07, 0x00, 0x05, 0x02, 0x61, 0xAB, 0x6B}), wire);

    ASSERT_TRUE(c.peer.Send({0x07, 0x00, 0x05, 0x02, 0x61, 0xAB, 0x6B}));
    ASSERT_TRUE(c.worker.WaitForMessages(1));
    EXPECT_EQ((Bytes{0x07, 0x00, 0x05, 0x02, 0x61, 0x62, 0x63}), c.worker.Messages()[0]);
    EXPECT_EQ(nullptr, c.worker.lastConnection);
    EXPECT_EQ(static_cast<void*>(static_cast<NetKernel*>(&c.client)), c.worker.lastKernel);

    c.client.Wait_Release();
    EXPECT_EQ((std::vector<std::string>{"begin", "message", "cut", "end"}), c.worker.Events());
}

TEST(TCPClientTest, SendMsgScramblesOnlyBodiesAndLeavesTheCallersBufferScrambled) {
    Connected c;
    ASSERT_TRUE(c.Start());

    unsigned char headOnly[4] = {0x04, 0x00, 0x05, 0x09};
    EXPECT_EQ(4, c.client.SendMsg(nullptr, headOnly, 4));
    Bytes wire;
    ASSERT_TRUE(c.peer.Receive(4, &wire));
    EXPECT_EQ(Bytes(headOnly, headOnly + 4), wire);

    // The same buffer sent twice goes out scrambled twice.
    unsigned char message[7] = {0x07, 0x00, 0x05, 0x02, 0x61, 0x62, 0x63};
    ASSERT_EQ(7, c.client.SendMsg(nullptr, message, 7));
    ASSERT_EQ(7, c.client.SendMsg(nullptr, message, 7));
    Bytes twice = {0x61, 0xAB, 0x6B};
    unsigned char scratch = 0;
    Encode(twice.data(), 3, scratch);
    ASSERT_TRUE(c.peer.Receive(14, &wire));
    EXPECT_EQ((Bytes{0x07, 0x00, 0x05, 0x02, 0x61, 0xAB, 0x6B, 0x07, 0x00, 0x05, 0x02}),
              Bytes(wire.begin(), wire.begin() + 11));
    EXPECT_EQ(twice, Bytes(wire.begin() + 11, wire.end()));

    // Send passes bytes through as they are, whatever they look like.
    unsigned char raw[5] = {0x05, 0x01, 0x00, 0x01, 0x7F};
    EXPECT_EQ(5, c.client.Send(raw, 5));
    ASSERT_TRUE(c.peer.Receive(5, &wire));
    EXPECT_EQ(Bytes(raw, raw + 5), wire);
    c.client.Wait_Release();
}

TEST(TCPClientTest, WithoutSocketSendReturnsZeroAndStillScrambles) {
    RecordingWorker worker;
    OpenClient client(&worker);
    unsigned char message[7] = {0x07, 0x00, 0x05, 0x02, 0x61, 0x62, 0x63};
    EXPECT_EQ(0, client.SendMsg(nullptr, message, 7));
    EXPECT_EQ((Bytes{0x07, 0x00, 0x05, 0x02, 0x61, 0xAB, 0x6B}), Bytes(message, message + 7));
    EXPECT_EQ(0, client.Send(message, 7));
    EXPECT_EQ(0u, client.GetLocalIP());
    EXPECT_TRUE(client.IsSockValid()); // true means: no socket
    EXPECT_FALSE(client.IsConnect());
    EXPECT_FALSE(client.IsInited());
}

TEST(TCPClientTest, HeadSizesZeroToFourAreHeadOnlyMessagesOfLengthFour) {
    Connected c;
    ASSERT_TRUE(c.Start());
    // Heads announcing 0 to 4 bytes, then one of 4 bytes with the ordinal
    // flag, which is not part of the size.
    const Bytes stream{0x00, 0x00, 0x04, 0x10, 0x01, 0x00, 0x04, 0x11, 0x02, 0x00, 0x04, 0x12,
                       0x03, 0x00, 0x04, 0x13, 0x04, 0x00, 0x04, 0x14, 0x04, 0x80, 0x04, 0x20};
    ASSERT_TRUE(c.peer.Send(stream));
    ASSERT_TRUE(c.worker.WaitForMessages(6));
    auto messages = c.worker.Messages();
    ASSERT_EQ(6u, messages.size());
    for (size_t i = 0; i < messages.size(); ++i)
        EXPECT_EQ(Bytes(stream.begin() + 4 * i, stream.begin() + 4 * i + 4), messages[i]) << i;
    c.client.Wait_Release();
}

TEST(TCPClientTest, MessageOfExactly1440BytesIsAcceptedAnd1441CutsWithoutLogLine) {
    LogCapture log;
    Connected c;
    ASSERT_TRUE(c.Start());

    Bytes body(1436);
    for (size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<unsigned char>(i * 7 + 3);
    ASSERT_TRUE(c.peer.Send(WireMessage(9, 1, body)));
    ASSERT_TRUE(c.worker.WaitForMessages(1));
    EXPECT_EQ(PlainMessage(9, 1, body), c.worker.Messages()[0]);

    // 1441 = 0x5A1, followed by bytes that would make a whole message.
    Bytes oversized = {0xA1, 0x05, 0x04, 0x00};
    oversized.resize(1441, 0x55);
    ASSERT_TRUE(c.peer.Send(oversized));
    ASSERT_TRUE(c.worker.WaitForEvent("end"));
    EXPECT_EQ((std::vector<std::string>{"begin", "message", "cut", "end"}), c.worker.Events());
    EXPECT_TRUE(IsReset(c.peer.WaitForEnd())); // the cut is abortive
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_FALSE(c.client.IsConnect());
    c.client.Wait_Release();
}

TEST(TCPClientTest, MessagesSplitAnywhereArriveWholeAndInOrder) {
    // Heads and bodies cut at every kind of boundary: 1-byte writes, heads
    // split 1+3 and 2+2, many messages in one write, sizes 0 to 1440.
    Connected c;
    ASSERT_TRUE(c.Start());
    std::mt19937 random(20240611);
    Bytes stream;
    std::vector<Bytes> expected;
    for (int i = 0; i < 400; ++i) {
        size_t bodySize = i < 20 ? static_cast<size_t>(i) : random() % 1437;
        if (i % 50 == 7)
            bodySize = 1436;
        Bytes body(bodySize);
        for (auto& b : body)
            b = static_cast<unsigned char>(random());
        Bytes wire = WireMessage(static_cast<BYTE>(1 + i % 63), static_cast<BYTE>(i), body);
        stream.insert(stream.end(), wire.begin(), wire.end());
        expected.push_back(PlainMessage(static_cast<BYTE>(1 + i % 63), static_cast<BYTE>(i), body));
    }
    size_t at = 0;
    int step = 0;
    while (at < stream.size()) {
        size_t piece = (step % 4 == 0) ? 1 : (step % 4 == 1) ? 2 : (step % 4 == 2) ? 3 : 1 + random() % 6000;
        piece = std::min(piece, stream.size() - at);
        ASSERT_TRUE(c.peer.Send(stream.data() + at, static_cast<int>(piece)));
        at += piece;
        ++step;
    }
    ASSERT_TRUE(c.worker.WaitForMessages(expected.size()));
    EXPECT_EQ(expected, c.worker.Messages());
    c.peer.Close();
    ASSERT_TRUE(c.worker.WaitForEvent("end"));
    EXPECT_EQ(expected.size(), c.worker.MessageCount()); // nothing after the close
    c.client.Wait_Release();
}

TEST(TCPClientTest, NotificationsArriveInOrderAndWorkerCallsFollowTheLifeOfTheConnection) {
    NotificationWindow window;
    ASSERT_NE(nullptr, window.Handle());
    Connected c(window.Handle());
    ASSERT_TRUE(c.Start());
    ASSERT_TRUE(c.peer.Send(WireMessage(1, 1, Text("hello"))));
    ASSERT_TRUE(c.worker.WaitForMessages(1));
    c.peer.Close();
    ASSERT_TRUE(c.worker.WaitForEvent("end"));

    std::vector<WPARAM> seen = window.Collect(3);
    ASSERT_EQ(3u, seen.size());
    // "connected" comes from Init after the thread exists, so it may follow
    // "started"; "started" always precedes "ended".
    EXPECT_EQ(1, std::count(seen.begin(), seen.end(), WPARAM(1)));
    auto started = std::find(seen.begin(), seen.end(), WPARAM(2));
    auto ended = std::find(seen.begin(), seen.end(), WPARAM(3));
    ASSERT_NE(seen.end(), started);
    ASSERT_NE(seen.end(), ended);
    EXPECT_LT(started, ended);
    EXPECT_EQ((std::vector<std::string>{"begin", "message", "cut", "end"}), c.worker.Events());
    EXPECT_EQ(static_cast<void*>(static_cast<NetKernel*>(&c.client)), c.worker.beginKernel);
    EXPECT_EQ(c.worker.beginKernel, c.worker.endKernel);
    EXPECT_EQ(nullptr, c.worker.cutConnection);

    c.client.Wait_Release();
    EXPECT_EQ(3u, window.Drain().size()); // nothing more
}

TEST(TCPClientTest, NonZeroMsgThreadBeginSkipsTheLoopAndLeavesTheConnectionOpen) {
    NotificationWindow window;
    Connected c(window.Handle());
    c.worker.beginResult = 5;
    YSocketAddr address = c.peer.Address();
    ASSERT_EQ(0, c.client.Init(address));
    ASSERT_TRUE(c.peer.Accept());
    ASSERT_TRUE(c.worker.WaitForEvent("end"));
    ASSERT_TRUE(c.peer.Send(WireMessage(1, 1, Text("unread"))));

    std::vector<WPARAM> seen = window.Collect(3);
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ((std::vector<WPARAM>{1, 2, 3}), seen);
    EXPECT_EQ((std::vector<std::string>{"begin", "end"}), c.worker.Events());
    EXPECT_TRUE(c.client.IsConnect());
    EXPECT_EQ(-1, c.peer.WaitForEnd(50)); // still open: the owner ends it

    c.client.Release();
    EXPECT_TRUE(IsReset(c.peer.WaitForEnd()));
    EXPECT_FALSE(c.client.IsInited());
    c.client.Wait_Release();
}

TEST(TCPClientTest, NonZeroHandlerResultCutsTheConnectionAtOnce) {
    Connected c;
    c.worker.onMessage = [](const unsigned char*, int, void*) -> LONG { return 1; };
    ASSERT_TRUE(c.Start());
    Bytes two = WireMessage(1, 1, Text("first"));
    Bytes second = WireMessage(1, 2, Text("second"));
    two.insert(two.end(), second.begin(), second.end());
    ASSERT_TRUE(c.peer.Send(two));
    ASSERT_TRUE(c.worker.WaitForEvent("end"));
    EXPECT_EQ((std::vector<std::string>{"begin", "message", "cut", "end"}), c.worker.Events());
    EXPECT_TRUE(IsReset(c.peer.WaitForEnd()));
    c.client.Wait_Release();
}

TEST(TCPClientTest, HandlerAnswersThroughTheKernelOnTheReceiveThread) {
    Connected c;
    c.worker.onMessage = [](const unsigned char* message, int length, void* kernel) -> LONG {
        Bytes answer(message, message + length);
        answer[3] = static_cast<unsigned char>(answer[3] + 1);
        return static_cast<NetKernel*>(kernel)->SendMsg(nullptr, answer.data(), length) == length ? 0 : 1;
    };
    ASSERT_TRUE(c.Start());
    ASSERT_TRUE(c.peer.Send(WireMessage(3, 40, Text("ping"))));
    Bytes wire;
    ASSERT_TRUE(c.peer.Receive(8, &wire));
    EXPECT_EQ(WireMessage(3, 41, Text("ping")), wire);
    c.client.Wait_Release();
}

TEST(TCPClientTest, HasBufferedMessageTellsWhetherRecvMsgCanAnswerWithoutReceiving) {
    // A derived kernel sees its own read-ahead from its handler (slot [7]).
    struct Probe : OpenClient {
        using OpenClient::OpenClient;
        std::vector<bool> buffered;
        LONG HandleMessage(void* message, int length) override {
            buffered.push_back(HasBufferedMessage());
            return OpenClient::HandleMessage(message, length);
        }
    };
    ScriptedPeer peer;
    RecordingWorker worker;
    Probe client(&worker);
    YSocketAddr address = peer.Address();
    ASSERT_EQ(0, client.Init(address));
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(worker.WaitForEvent("begin"));

    // Three messages and half a fourth in one write; the rest later.
    Bytes fourth = WireMessage(1, 4, Text("fourth message"));
    Bytes burst;
    for (int i = 1; i <= 3; ++i) {
        Bytes m = WireMessage(1, static_cast<BYTE>(i), Text("m"));
        burst.insert(burst.end(), m.begin(), m.end());
    }
    burst.insert(burst.end(), fourth.begin(), fourth.begin() + 6);
    ASSERT_TRUE(peer.Send(burst));
    ASSERT_TRUE(worker.WaitForMessages(3));
    ASSERT_TRUE(peer.Send(fourth.data() + 6, static_cast<int>(fourth.size() - 6)));
    ASSERT_TRUE(worker.WaitForMessages(4));
    client.Wait_Release();
    EXPECT_EQ((std::vector<bool>{true, true, false, false}), client.buffered);
}

TEST(TCPClientTest, HandlerMayOverwriteItsWholeBufferWhileTheReadAheadGrowsAndShrinks) {
    // Every message is handed out in a buffer of 1440 bytes that the handler
    // overwrites whole; the messages behind it must not notice. A backlog
    // bigger than the small read-ahead fills it twice over, which moves the
    // connection to the large one; a long run of single messages moves it
    // back.
    struct Probe : OpenClient {
        using OpenClient::OpenClient;
        HANDLE firstMessageIn = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        HANDLE firstMessageGoes = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        std::vector<int> sizes; // the read-ahead size at each message
        ~Probe() override {
            CloseHandle(firstMessageIn);
            CloseHandle(firstMessageGoes);
        }
        LONG HandleMessage(void* message, int length) override {
            if (sizes.empty()) {
                SetEvent(firstMessageIn);
                WaitForSingleObject(firstMessageGoes, kWaitMs);
            }
            sizes.push_back(ReadAheadSize());
            LONG result = OpenClient::HandleMessage(message, length);
            std::memset(message, 0xEE, kMaxMessage);
            return result;
        }
    };
    ScriptedPeer peer;
    RecordingWorker worker;
    Probe client(&worker);
    YSocketAddr address = peer.Address();
    ASSERT_EQ(0, client.Init(address));
    ASSERT_TRUE(peer.Accept());

    std::mt19937 random(1440);
    std::vector<Bytes> expected;
    auto next = [&](size_t bodySize) {
        Bytes body(bodySize);
        for (auto& b : body)
            b = static_cast<unsigned char>(random());
        const BYTE id = static_cast<BYTE>(expected.size());
        expected.push_back(PlainMessage(1, id, body));
        return WireMessage(1, id, body);
    };
    ASSERT_TRUE(peer.Send(next(10)));
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(client.firstMessageIn, kWaitMs));
    // 40 KiB wait in the socket while the handler holds the first message:
    // the two receives after it fill the small buffer's room.
    Bytes backlog;
    while (backlog.size() < 40 * 1024) {
        Bytes wire = next(random() % 1437);
        backlog.insert(backlog.end(), wire.begin(), wire.end());
    }
    ASSERT_TRUE(peer.Send(backlog));
    SetEvent(client.firstMessageGoes);
    ASSERT_TRUE(worker.WaitForMessages(expected.size()));
    for (int i = 0; i < 70; ++i) {
        ASSERT_TRUE(peer.Send(next(random() % 200)));
        ASSERT_TRUE(worker.WaitForMessages(expected.size()));
    }
    client.Wait_Release();

    EXPECT_EQ(expected, worker.Messages());
    ASSERT_EQ(expected.size(), client.sizes.size());
    EXPECT_EQ(16384, client.sizes.front());
    EXPECT_NE(client.sizes.end(), std::find(client.sizes.begin(), client.sizes.end(), 65536));
    EXPECT_EQ(16384, client.sizes.back());
}

TEST(TCPClientTest, ConnectRefusedFailsWithTheErrorCodeInTheLog) {
    LogCapture log;
    YSocketAddr address;
    {
        ScriptedPeer closedPort; // listens, then goes away: nothing listens on its port
        address = closedPort.Address();
    }
    NotificationWindow window;
    RecordingWorker worker(window.Handle());
    OpenClient client(&worker);
    EXPECT_EQ(E_FAIL, client.Init(address));
    EXPECT_EQ((std::vector<std::string>{"TCPClient::Init() connect fail(0x274d)!"}), log.Lines());
    EXPECT_FALSE(client.IsInited());
    EXPECT_TRUE(client.IsSockValid());
    EXPECT_TRUE(worker.Events().empty());
    EXPECT_TRUE(window.Drain().empty());

    EXPECT_EQ(E_FAIL, client.Reconnect());
    EXPECT_EQ("TCPClient::Reconnect() connect fail!", log.Lines().back());
    EXPECT_TRUE(client.IsSockValid());
}

TEST(TCPClientTest, ReleaseThenWaitReleaseWaitsForTheThread) {
    std::mutex gate; // outlives the client; closed opens it before the client goes
    Connected c;
    std::unique_lock<std::mutex> closed(gate);
    // The handler blocks until the test opens the gate: Wait_Release after
    // Release must not return while the receive thread is still busy.
    c.worker.onMessage = [&](const unsigned char*, int, void*) -> LONG {
        std::lock_guard<std::mutex> pass(gate);
        return 0;
    };
    ASSERT_TRUE(c.Start());
    ASSERT_TRUE(c.peer.Send(WireMessage(1, 1, Text("hold"))));
    ASSERT_TRUE(c.worker.WaitForMessages(1));

    c.client.Release();
    EXPECT_FALSE(c.client.IsInited());
    EXPECT_TRUE(IsReset(c.peer.WaitForEnd()));
    auto waiting = std::async(std::launch::async, [&] { c.client.Wait_Release(); });
    EXPECT_EQ(std::future_status::timeout, waiting.wait_for(std::chrono::milliseconds(50))); // still in the handler
    closed.unlock();
    waiting.get();
    EXPECT_EQ((std::vector<std::string>{"begin", "message", "cut", "end"}), c.worker.Events());
}

TEST(TCPClientTest, WaitReleaseClosesGracefullyAndReturnsAfterTheThreadEnded) {
    Connected c;
    ASSERT_TRUE(c.Start());
    c.client.Wait_Release();
    EXPECT_EQ((std::vector<std::string>{"begin", "cut", "end"}), c.worker.Events());
    EXPECT_EQ(0, c.peer.WaitForEnd()); // orderly close
    EXPECT_FALSE(c.client.IsInited());
    EXPECT_TRUE(c.client.IsSockValid());

    // A released client connects again, with a new receive thread, and
    // nothing of the first connection leaks into the second.
    YSocketAddr address = c.peer.Address();
    ASSERT_EQ(0, c.client.Init(address));
    ASSERT_TRUE(c.peer.Accept());
    ASSERT_TRUE(c.peer.Send(WireMessage(2, 2, Text("again"))));
    ASSERT_TRUE(c.worker.WaitForMessages(1));
    EXPECT_EQ(PlainMessage(2, 2, Text("again")), c.worker.Messages()[0]);
    c.client.Wait_Release();
    EXPECT_EQ((std::vector<std::string>{"begin", "cut", "end", "begin", "message", "cut", "end"}), c.worker.Events());
}

TEST(TCPClientTest, ReconnectAfterTheLoopEndedConnectsWithoutAReceiveThread) {
    Connected c;
    ASSERT_TRUE(c.Start());
    c.peer.Close();
    ASSERT_TRUE(c.worker.WaitForEvent("end"));

    ASSERT_EQ(0, c.client.Reconnect());
    ASSERT_TRUE(c.peer.Accept());
    EXPECT_FALSE(c.client.IsConnect());
    EXPECT_FALSE(c.client.IsSockValid()); // a socket is held
    ULONG local = c.client.GetLocalIP();
    EXPECT_EQ((Bytes{127, 0, 0, 1}),
              Bytes(reinterpret_cast<unsigned char*>(&local), reinterpret_cast<unsigned char*>(&local) + 4));
    ASSERT_TRUE(c.peer.Send(WireMessage(1, 1, Text("nobody reads this"))));
    unsigned char message[6] = {0x06, 0x00, 0x04, 0x01, 0x41, 0x42};
    EXPECT_EQ(6, c.client.SendMsg(nullptr, message, 6)); // sending works on it
    Bytes wire;
    ASSERT_TRUE(c.peer.Receive(6, &wire));

    c.client.Wait_Release(); // state bits are clear: the socket stays
    EXPECT_EQ(-1, c.peer.WaitForEnd(50));
    EXPECT_EQ(0u, c.worker.MessageCount());
}

TEST(TCPClientTest, DestroyingAClientAfterReconnectClosesTheHandle) {
    ScriptedPeer peer;
    RecordingWorker worker;
    auto client = std::make_unique<OpenClient>(&worker);
    YSocketAddr address = peer.Address();
    ASSERT_EQ(0, client->Init(address));
    ASSERT_TRUE(peer.Accept());
    client->Wait_Release();
    ASSERT_EQ(0, client->Reconnect());
    ASSERT_TRUE(peer.Accept());
    client.reset();
    EXPECT_EQ(0, peer.WaitForEnd());
}

#if defined(YNET_HAVE_ECHO_SERVER)

// The messages of the echo test: main ID 1 from a sender, main ID 2 the
// handler's answer to its echo. The body names the sender and the sequence
// number, and the rest of it follows from both.
Bytes EchoBody(int sender, int seq) {
    size_t size = (seq % 997 == 0) ? 1436 : 5 + static_cast<size_t>(seq * 37 + sender * 11) % 300;
    Bytes body(size);
    body[0] = static_cast<unsigned char>(sender);
    for (int i = 0; i < 4; ++i)
        body[1 + i] = static_cast<unsigned char>(seq >> (8 * i));
    for (size_t i = 5; i < size; ++i)
        body[i] = static_cast<unsigned char>(seq * 31 + sender + i);
    return body;
}

TEST(TCPClientTest, FourThreadsSendingWhileTheHandlerAnswersGetEveryMessageBackIntact) {
    constexpr int kSenders = 4;
    // Under sanitizers and emulation a tenth, under Wine (where every socket
    // call is a round trip to its server process) a fiftieth.
    const int perSender = RunningUnderWine() ? 2000 : kSlowBuild || kEmulatedBuild ? 10000 : 100000;
    constexpr int kWindow = 64; // originals in flight per sender: keeps both directions within socket buffers

    YNet2Tools::EchoServer server;
    ASSERT_EQ(0, server.Start());

    std::mutex mutex;
    std::condition_variable changed;
    int echoed[kSenders] = {};
    int answered[kSenders] = {};
    int faults = 0;
    std::string firstFault;

    RecordingWorker worker;
    TCPClient client(&worker);
    auto fault = [&](const std::string& what) {
        std::lock_guard<std::mutex> hold(mutex);
        if (faults++ == 0)
            firstFault = what;
        changed.notify_all();
    };
    worker.onMessage = [&](const unsigned char* message, int length, void* kernel) -> LONG {
        const auto* head = reinterpret_cast<const YNetMsgHead*>(message);
        if (length < 9 || head->GetSize() != length) {
            fault("short message");
            return 1;
        }
        int sender = message[4];
        int seq = message[5] | message[6] << 8 | message[7] << 16 | message[8] << 24;
        bool answer = head->GetMainID() == 2;
        if (sender >= kSenders ||
            Bytes(message, message + length) != PlainMessage(answer ? 2 : 1, 0, EchoBody(sender, seq))) {
            fault("corrupted message");
            return 1;
        }
        {
            std::lock_guard<std::mutex> hold(mutex);
            int& next = answer ? answered[sender] : echoed[sender];
            if (seq != next) {
                if (faults++ == 0)
                    firstFault = "out of order";
                changed.notify_all();
                return 1;
            }
            // Waking the senders for every message would cost more than the
            // messages: wake them every 16th, and at the end.
            if (++next % 16 == 0 || next == perSender)
                changed.notify_all();
        }
        if (answer)
            return 0;
        Bytes reply = PlainMessage(2, 0, EchoBody(sender, seq));
        return static_cast<NetKernel*>(kernel)->SendMsg(nullptr, reply.data(), static_cast<int>(reply.size())) ==
                       static_cast<int>(reply.size())
                   ? 0
                   : 1;
    };

    YSocketAddr address;
    static_cast<sockaddr_in&>(address) = LoopbackAddress(server.Port());
    ASSERT_EQ(0, client.Init(address));

    std::vector<std::thread> senders;
    std::atomic<int> sendFailures{0};
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int seq = 0; seq < perSender; ++seq) {
                {
                    std::unique_lock<std::mutex> hold(mutex);
                    if (!changed.wait_for(hold, std::chrono::milliseconds(kWaitMs),
                                          [&] { return seq - echoed[s] < kWindow || faults != 0; }) ||
                        faults != 0)
                        return;
                }
                Bytes message = PlainMessage(1, 0, EchoBody(s, seq));
                if (client.SendMsg(nullptr, message.data(), static_cast<int>(message.size())) !=
                    static_cast<int>(message.size())) {
                    sendFailures.fetch_add(1);
                    return;
                }
            }
        });
    }
    bool complete;
    {
        std::unique_lock<std::mutex> hold(mutex);
        complete = changed.wait_for(hold, std::chrono::seconds(300), [&] {
            if (faults != 0)
                return true;
            for (int s = 0; s < kSenders; ++s) {
                if (echoed[s] < perSender || answered[s] < perSender)
                    return false;
            }
            return true;
        });
    }
    for (auto& sender : senders)
        sender.join();
    client.Wait_Release();
    server.Stop();

    EXPECT_TRUE(complete);
    EXPECT_EQ(0, faults) << firstFault;
    EXPECT_EQ(0, sendFailures.load());
    for (int s = 0; s < kSenders; ++s) {
        EXPECT_EQ(perSender, echoed[s]) << "sender " << s;
        EXPECT_EQ(perSender, answered[s]) << "sender " << s;
    }
    EXPECT_EQ(2 * kSenders * perSender, server.Echoed());
    EXPECT_EQ((std::vector<std::string>{"begin", "cut", "end"}),
              (std::vector<std::string>{worker.Events().front(), worker.Events()[worker.Events().size() - 2],
                                        worker.Events().back()}));
}

#endif

} // namespace

// TCPClient: sends from several threads at once, with the socket's send
// buffer small and a peer that reads one message at a time, so that sends
// are cut into pieces and several senders wait inside send at once.
#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

#include "client/TCPClient.h"
#include "message/YNetMsgHead.h"
#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"
#include "support/ClientHarness.h"
#include "support/ScriptedPeer.h"

using namespace YNet2;
using namespace YNetTest;

namespace {

class SmallBufferClient : public TCPClient {
public:
    using TCPClient::TCPClient;
    ~SmallBufferClient() override { EndReceiveThread(); }
    bool ShrinkSendBuffer(int bytes) {
        SOCKET handle = BeginSocketUse();
        if (handle == INVALID_SOCKET)
            return false;
        bool set = setsockopt(handle, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
        EndSocketUse(handle);
        return set;
    }
};

// Message seq of sender: 1440 bytes, main ID the sender, every body byte seq.
std::vector<unsigned char> Numbered(int sender, int seq) {
    std::vector<unsigned char> message(TCPClient::kMaxMessage, static_cast<unsigned char>(seq));
    reinterpret_cast<YNetMsgHead*>(message.data())
        ->SetHead(TCPClient::kMaxMessage, static_cast<BYTE>(sender), 0, false, false, false);
    return message;
}

TEST(TCPClientSendLock, WholeMessagesFromSeveralSendersThroughASmallSendBuffer) {
    constexpr int kSenders = 4;
    const int perSender = kSlowBuild ? 60 : 200;
    RecordingWorker worker;
    auto client = std::make_unique<SmallBufferClient>(&worker);
    ScriptedPeer peer;
    YSocketAddr address = peer.Address();
    ASSERT_EQ(0, client->Init(address));
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(client->ShrinkSendBuffer(2048));

    std::vector<std::thread> senders;
    std::vector<int> results(kSenders, 0);
    for (int s = 0; s < kSenders; ++s) {
        senders.emplace_back([&, s] {
            for (int seq = 0; seq < perSender; ++seq) {
                std::vector<unsigned char> message = Numbered(s, seq);
                if (client->Send(message.data(), TCPClient::kMaxMessage) != TCPClient::kMaxMessage)
                    return;
                results[s] = seq + 1;
            }
        });
    }
    // Read one message at a time: each must be one sender's, whole, and in
    // that sender's order.
    std::vector<int> next(kSenders, 0);
    int whole = 0;
    for (int i = 0; i < kSenders * perSender; ++i) {
        std::vector<unsigned char> message;
        if (!peer.Receive(TCPClient::kMaxMessage, &message))
            break;
        const auto* head = reinterpret_cast<const YNetMsgHead*>(message.data());
        int sender = head->GetMainID();
        bool ok = head->GetSize() == TCPClient::kMaxMessage && sender < kSenders;
        for (size_t b = YNetMsgHead::HeadSize; ok && b < message.size(); ++b)
            ok = message[b] == static_cast<unsigned char>(next[sender]);
        if (!ok)
            break;
        ++next[sender];
        ++whole;
    }
    client->Release(); // ends sends still blocked, should the reading have stopped early
    for (std::thread& sender : senders)
        sender.join();
    EXPECT_EQ(kSenders * perSender, whole);
    EXPECT_EQ(std::vector<int>(kSenders, perSender), results);
}

} // namespace

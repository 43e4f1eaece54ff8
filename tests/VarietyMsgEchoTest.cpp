// A message built in a YNetVarietyMsg travels through a TCPClient to the echo
// server and back, and is read by laying a second object over what arrived.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "client/TCPClient.h"
#include "message/YNetMsgHead.h"
#include "message/YNetVarietyMsg.h"
#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"
#include "support/ClientHarness.h"
#include "tools/EchoServer.h"

using YNet2::TCPClient;
using YNet2::YNetVarietyMsg;
using YNet2::YSocketAddr;
using YNetTest::RecordingWorker;

namespace {

YSocketAddr EchoAddress(const YNet2Tools::EchoServer& server) {
    YSocketAddr address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(server.Port());
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    return address;
}

} // namespace

TEST(VarietyMsgEcho, BuiltMessageComesBackAndReadsThroughAWrappingObject) {
    YNet2Tools::EchoServer server;
    ASSERT_EQ(0, server.Start());
    RecordingWorker worker;
    TCPClient client(&worker);
    YSocketAddr address = EchoAddress(server);
    ASSERT_EQ(0, client.Init(address));

    // Bodies of several sizes, the largest one filling a whole 1440-byte message.
    const int sizes[] = {1, 37, 1436};
    std::vector<std::string> bodies;
    for (int size : sizes) {
        std::string body;
        for (int i = 0; i < size; ++i)
            body.push_back(static_cast<char>('A' + (i * 7 + size) % 26));
        bodies.push_back(body);

        YNetVarietyMsg msg(size);
        ASSERT_TRUE(msg.Resize(size));
        ASSERT_TRUE(msg.SetData(0, body.data(), size));
        msg.SetHead(static_cast<WORD>(msg.GetMsgSize()), 9, static_cast<BYTE>(size & 0xFF), true, false, false);
        ASSERT_EQ(client.SendMsg(nullptr, msg.m_MsgHead, msg.GetMsgSize()), msg.GetMsgSize());
    }

    ASSERT_TRUE(worker.WaitForMessages(bodies.size()));
    std::vector<std::vector<unsigned char>> received = worker.Messages();
    ASSERT_EQ(received.size(), bodies.size());
    for (size_t i = 0; i < bodies.size(); ++i) {
        YNetVarietyMsg echo(received[i].data()); // lays itself over the received bytes
        EXPECT_EQ(echo.m_Alloc, nullptr);
        EXPECT_EQ(reinterpret_cast<unsigned char*>(echo.m_MsgHead), received[i].data());
        EXPECT_EQ(echo.m_MsgData, received[i].data() + 4);
        ASSERT_EQ(static_cast<size_t>(echo.m_MsgHead->GetSize()), received[i].size());
        EXPECT_EQ(echo.m_MsgHead->GetMainID(), 9);
        EXPECT_EQ(echo.m_MsgHead->GetAssistantID(), static_cast<BYTE>(sizes[i] & 0xFF));
        EXPECT_TRUE(echo.m_MsgHead->IsRequestMsg());
        EXPECT_FALSE(echo.m_MsgHead->IsRespondMsg());
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(echo.m_MsgData), received[i].size() - 4), bodies[i]);
    }

    client.Wait_Release();
    server.Stop();
}

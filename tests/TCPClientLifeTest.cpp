// The client's life when owner calls overlap: destruction during a call
// under way, a sender during Init's handshake. The proxy is scripted so the
// test knows exactly where the owner's call stands.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "client/TCPClient_Socks5.h"
#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"
#include "support/ClientHarness.h"
#include "support/ScriptedPeer.h"

using namespace YNet2;
using namespace YNetTest;

namespace {

using Bytes = std::vector<unsigned char>;

// A proxy's handshake as the scripted peer plays it: the request the client
// sends first (its length), the reply that grants it, and, for SOCKS5, the
// CONNECT request and its reply after the method reply.
struct Handshake {
    const char* name;
    TCPClient_Socks5::_SOCKS_TYPE type;
    int firstLength;
    Bytes firstReply;
    int secondLength; // 0: none
    Bytes secondReply;
};

const Handshake kHandshakes[] = {
    {"SOCKS5", TCPClient_Socks5::SOCKS5, 3, {5, 0}, 10, {5, 0, 0, 1, 127, 0, 0, 1, 0, 80}},
    {"SOCKS4", TCPClient_Socks5::SOCKS4, 9, {0, 90, 0, 0, 0, 0, 0, 0}, 0, {}},
};

// Plays the rest of the handshake after its first request arrived.
bool Grant(ScriptedPeer& proxy, const Handshake& shake) {
    Bytes request;
    if (!proxy.Send(shake.firstReply))
        return false;
    if (shake.secondLength == 0)
        return true;
    return proxy.Receive(shake.secondLength, &request) && request[0] == 5 && request[1] == 1 &&
           proxy.Send(shake.secondReply);
}

std::future<LONG> InitAsync(TCPClient_Socks5& client, const Handshake& shake, YSocketAddr proxy) {
    return std::async(std::launch::async, [&client, shake, proxy]() mutable {
        YSocketAddr server = proxy;
        return client.Init(server, shake.type, &proxy, nullptr, nullptr);
    });
}

bool Returns(std::future<LONG>& call) {
    return call.wait_for(std::chrono::milliseconds(kWaitMs)) == std::future_status::ready;
}

// Destruction from another thread while Reconnect waits in its handshake
// (after the receive thread ended): the handshake wakes, Reconnect fails,
// and destruction returns only once Reconnect has left.
TEST(TCPClientLife, DestructionEndsAReconnectInItsHandshakeAndWaitsForIt) {
    for (const Handshake& shake : kHandshakes) {
        ScriptedPeer proxy;
        RecordingWorker worker;
        auto client = std::make_unique<TCPClient_Socks5>(&worker);
        std::future<LONG> init = InitAsync(*client, shake, proxy.Address());
        Bytes request;
        ASSERT_TRUE(proxy.Accept() && proxy.Receive(shake.firstLength, &request)) << shake.name;
        ASSERT_TRUE(Grant(proxy, shake)) << shake.name;
        ASSERT_TRUE(Returns(init)) << shake.name;
        ASSERT_EQ(0, init.get()) << shake.name;
        proxy.Close(); // the thread is cut and ends: destruction has no thread to wait for
        ASSERT_TRUE(worker.WaitForEvent("end")) << shake.name;

        std::future<LONG> reconnect = std::async(std::launch::async, [&client] { return client->Reconnect(); });
        ASSERT_TRUE(proxy.Accept() && proxy.Receive(shake.firstLength, &request)) << shake.name;
        client.reset(); // Reconnect now waits for the proxy's reply
        EXPECT_EQ(std::future_status::ready, reconnect.wait_for(std::chrono::seconds(0))) << shake.name;
        ASSERT_TRUE(Returns(reconnect)) << shake.name;
        EXPECT_EQ(E_FAIL, reconnect.get()) << shake.name;
    }
}

// A send while Init shakes hands with the proxy finds no connection (0, as
// with no socket) and never reaches the wire: the proxy reads exactly its
// handshake.
TEST(TCPClientLife, ASendDuringInitsHandshakeFailsAndNeverReachesTheProxy) {
    for (const Handshake& shake : kHandshakes) {
        ScriptedPeer proxy;
        RecordingWorker worker;
        TCPClient_Socks5 client(&worker);
        std::future<LONG> init = InitAsync(client, shake, proxy.Address());
        Bytes request;
        ASSERT_TRUE(proxy.Accept() && proxy.Receive(shake.firstLength, &request)) << shake.name;
        Bytes message = WireMessage(1, 2, {'a', 'p', 'p', 'l', 'i', 'c', 'a', 't', 'i', 'o', 'n'});
        EXPECT_EQ(0, client.SendMsg(nullptr, message.data(), static_cast<int>(message.size()))) << shake.name;
        EXPECT_FALSE(client.IsConnect()) << shake.name;
        ASSERT_TRUE(Grant(proxy, shake)) << shake.name;
        ASSERT_TRUE(Returns(init)) << shake.name;
        EXPECT_EQ(0, init.get()) << shake.name;
        client.Wait_Release();
    }
}

// Disconnect closes whatever socket the client holds: after a Reconnect
// that followed a first Disconnect, a second one closes that socket too, and
// nothing more is sent on it.
TEST(TCPClientLife, ASecondDisconnectClosesTheSocketAReconnectBrought) {
    ScriptedPeer peer;
    RecordingWorker worker;
    TCPClient client(&worker);
    YSocketAddr address = peer.Address();
    ASSERT_EQ(0, client.Init(address));
    ASSERT_TRUE(peer.Accept());
    client.Disconnect();
    ASSERT_EQ(0, client.Reconnect());
    ASSERT_TRUE(peer.Accept());
    client.Disconnect();
    Bytes message = WireMessage(1, 2, {'x'});
    EXPECT_NE(static_cast<int>(message.size()),
              client.SendMsg(nullptr, message.data(), static_cast<int>(message.size())));
    EXPECT_TRUE(IsReset(peer.WaitForEnd()));
    EXPECT_FALSE(client.IsConnect());
    client.Wait_Release();
    EXPECT_EQ((std::vector<std::string>{"begin", "cut", "end"}), worker.Events());
}

} // namespace

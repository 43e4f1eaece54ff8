// The client's life when owner calls overlap: destruction during a call
// under way, a sender during Init's handshake. The proxy is scripted so the
// test knows exactly where the owner's call stands.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/TCPClient_Socks5.h"
#include "framework/Log.h"
#include "platform/WinApi.h"
#include "socket/LookupAbandon.h"
#include "socket/YSocketAddr.h"
#include "socket/YSocketTarget.h"
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

// The receive thread destroys its client inside the callbacks that an
// owner's Release or Disconnect caused: the owner's call leaves before the
// client's memory goes (AddressSanitizer saw Release's tail use it).
TEST(TCPClientLife, AClientDestroyedInTheCallbacksOfAnOwnersEndingCallOutlivesThatCall) {
    struct Row {
        const char* name;
        void (TCPClient::*ending)();
        bool inCut; // destroyed in ConnectionCut, else in MsgThreadEnd
    };
    const Row rows[] = {{"Release, in MsgThreadEnd", &TCPClient::Release, false},
                        {"Release, in ConnectionCut", &TCPClient::Release, true},
                        {"Disconnect, in MsgThreadEnd", &TCPClient::Disconnect, false},
                        {"Disconnect, in ConnectionCut", &TCPClient::Disconnect, true}};
    const int rounds = kSlowBuild || kEmulatedBuild ? 5 : 20;
    for (const Row& row : rows) {
        for (int round = 0; round < rounds; ++round) {
            SCOPED_TRACE(row.name);
            ScriptedPeer server;
            RecordingWorker worker;
            auto* client = new TCPClient(&worker);
            HANDLE destroyed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            (row.inCut ? worker.onCut : worker.onEnd) = [client, destroyed] {
                delete client;
                SetEvent(destroyed);
            };
            YSocketAddr address = server.Address();
            ASSERT_EQ(0, client->Init(address));
            ASSERT_TRUE(server.Accept());
            (client->*row.ending)();
            EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(destroyed, kWaitMs));
            CloseHandle(destroyed);
            const std::vector<std::string> cut{"begin", "cut"}, ended{"begin", "cut", "end"};
            EXPECT_EQ(row.inCut ? cut : ended, worker.Events());
        }
    }
}

// Init on a live connection ends it first: the old thread has cut and
// ended before the new one begins, and the new connection is live.
TEST(TCPClientLife, InitOnALiveConnectionEndsItBeforeTheNewThreadBegins) {
    ScriptedPeer server;
    RecordingWorker worker;
    TCPClient client(&worker);
    YSocketAddr address = server.Address();
    ASSERT_EQ(0, client.Init(address));
    ASSERT_TRUE(server.Accept());
    ASSERT_EQ(0, client.Init(address));
    EXPECT_NE(-1, server.WaitForEnd());
    ASSERT_TRUE(server.Accept());
    ASSERT_TRUE(server.Send(WireMessage(1, 2, {'n', 'e', 'w'})));
    ASSERT_TRUE(worker.WaitForMessages(1));
    EXPECT_TRUE(client.IsConnect());
    EXPECT_EQ(TCPClient::Life::LIVE, client.GetLife());
    client.Wait_Release();
    EXPECT_EQ((std::vector<std::string>{"begin", "cut", "end", "begin", "message", "cut", "end"}), worker.Events());
}

// Destruction during an Init or Reconnect by name, their lookup held, waits
// until the call has returned: the call's line for the abandoned lookup is
// written while destruction still waits (a log sink holds it there).
namespace held {
std::mutex g_Mutex;
std::condition_variable g_Changed;
bool g_Open = true;
bool g_Inside = false;
bool g_DestroyedBeforeTheCallReturned = false;
bool g_Destroyed = false;

int Resolver(const char*, ULONG* out, int, int* count) {
    std::unique_lock<std::mutex> hold(g_Mutex);
    g_Inside = true;
    g_Changed.notify_all();
    g_Changed.wait_for(hold, std::chrono::seconds(10), [] { return g_Open; });
    g_Inside = false;
    out[0] = htonl(INADDR_LOOPBACK);
    *count = 1;
    return 0;
}

void Sink(const char* line, void*) {
    if (std::strstr(line, "name lookup abandoned") == nullptr)
        return;
    // Waits for a destruction that did not wait for this call: a short
    // bound, which the passing case always spends.
    std::unique_lock<std::mutex> hold(g_Mutex);
    if (g_Changed.wait_for(hold, std::chrono::milliseconds(300), [] { return g_Destroyed; }))
        g_DestroyedBeforeTheCallReturned = true;
}
} // namespace held

TEST(TCPClientLife, DestructionDuringALookupWaitsUntilTheCallHasReturned) {
    ScriptedPeer server;
    ASSERT_TRUE(server.Listening());
    const YSocketTarget name("held.example", ntohs(server.Address().sin_port));
    SetResolverHook(held::Resolver);
    for (bool reconnect : {false, true}) {
        SCOPED_TRACE(reconnect ? "Reconnect" : "Init");
        RecordingWorker worker;
        auto* client = new TCPClient(&worker);
        {
            std::lock_guard<std::mutex> hold(held::g_Mutex);
            held::g_Open = true;
            held::g_Destroyed = held::g_DestroyedBeforeTheCallReturned = false;
        }
        ASSERT_TRUE(!reconnect || (client->Init(name) == 0 && server.Accept()));
        {
            std::lock_guard<std::mutex> hold(held::g_Mutex);
            held::g_Open = false;
        }
        auto call =
            std::async(std::launch::async, [&] { return reconnect ? client->Reconnect() : client->Init(name); });
        {
            std::unique_lock<std::mutex> hold(held::g_Mutex);
            ASSERT_TRUE(held::g_Changed.wait_for(hold, std::chrono::seconds(5), [] { return held::g_Inside; }));
        }
        SetLogSink(held::Sink, nullptr);
        delete client;
        {
            std::lock_guard<std::mutex> hold(held::g_Mutex);
            held::g_Destroyed = true;
            held::g_Open = true;
            held::g_Changed.notify_all();
        }
        SetLogSink(nullptr, nullptr);
        EXPECT_EQ(E_FAIL, call.get());
        std::lock_guard<std::mutex> hold(held::g_Mutex);
        EXPECT_FALSE(held::g_DestroyedBeforeTheCallReturned);
    }
    SetResolverHook(nullptr);
}

} // namespace

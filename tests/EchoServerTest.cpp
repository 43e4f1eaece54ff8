// The echo server of tools/ against raw loopback sockets: what it sends back,
// how it reassembles pieces of any size, its options, its refusal of bytes
// that are not messages, and Stop with connections still open.
#ifdef YNET_HAVE_ECHO_SERVER

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "message/Scrambler.h"
#include "message/YNetMsgHead.h"
#include "platform/WinApi.h"
#include "support/ClientHarness.h"
#include "support/Loopback.h"
#include "tools/EchoServer.h"

using YNet2Tools::EchoExtra;
using YNet2Tools::EchoObserver;
using YNet2Tools::EchoOptions;
using YNet2Tools::EchoServer;
using YNetTest::kWaitMs;
using YNetTest::RunningUnderWine;

namespace {

typedef std::vector<BYTE> Bytes;

// A blocking loopback client whose every receive is bounded by select.
class RawPeer {
public:
    RawPeer() : m_Socket(INVALID_SOCKET) {}
    ~RawPeer() { Close(); }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool Connect(WORD port) {
        m_Socket = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (m_Socket == INVALID_SOCKET)
            return false;
        BOOL noDelay = TRUE; // small sends leave as small segments
        setsockopt(m_Socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));
        sockaddr_in address = YNetTest::LoopbackAddress(port);
        return connect(m_Socket, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    }

    bool Send(const BYTE* bytes, size_t length, size_t piece = 0) {
        size_t sent = 0;
        while (sent < length) {
            size_t chunk = length - sent;
            if (piece != 0 && chunk > piece)
                chunk = piece;
            const int n = send(m_Socket, reinterpret_cast<const char*>(bytes) + sent, static_cast<int>(chunk), 0);
            if (n <= 0)
                return false;
            sent += static_cast<size_t>(n);
        }
        return true;
    }
    bool Send(const Bytes& bytes, size_t piece = 0) { return Send(bytes.data(), bytes.size(), piece); }

    // Exactly length bytes, or fewer when the stream ends, fails or the wait runs out.
    Bytes Receive(size_t length) {
        Bytes bytes(length);
        size_t got = 0;
        while (got < length) {
            const int n = ReceiveSome(bytes.data() + got, length - got);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        bytes.resize(got);
        return bytes;
    }

    // What the next receive reports: 0 at the end of the stream, otherwise
    // the Windows Sockets error (WSAETIMEDOUT when nothing came in time).
    int EndOfStream() {
        BYTE byte = 0;
        const int n = ReceiveSome(&byte, 1);
        if (n == 0)
            return 0;
        if (n > 0)
            return -1; // unexpected data
        return m_LastError;
    }

    // Pushes bytes without reading until the connection jams: the server,
    // blocked on echoes nobody reads, reads no more either, and our socket
    // stays unwritable. True once jammed; false if limit bytes went first.
    bool SendUntilJammed(const Bytes& bytes, size_t limit) {
        ULONG nonBlocking = 1;
        if (ioctlsocket(m_Socket, FIONBIO, &nonBlocking) != 0)
            return false;
        size_t offset = 0;
        for (size_t pushed = 0; pushed < limit;) {
            const int n = send(m_Socket, reinterpret_cast<const char*>(bytes.data()) + offset,
                               static_cast<int>(bytes.size() - offset), 0);
            if (n > 0) {
                pushed += static_cast<size_t>(n);
                offset = (offset + static_cast<size_t>(n)) % bytes.size();
                continue;
            }
            if (WSAGetLastError() != WSAEWOULDBLOCK)
                return false;
            // A server that still reads makes room well within a second.
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(m_Socket, &writable);
            timeval second{1, 0};
            if (select(0, nullptr, &writable, nullptr, &second) == 0)
                return true;
        }
        return false;
    }

    void Close() {
        if (m_Socket != INVALID_SOCKET) {
            closesocket(m_Socket);
            m_Socket = INVALID_SOCKET;
        }
    }

private:
    int ReceiveSome(BYTE* buffer, size_t length) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(m_Socket, &readable);
        timeval timeout{static_cast<long>(kWaitMs / 1000), 0};
        if (select(0, &readable, nullptr, nullptr, &timeout) != 1) {
            m_LastError = WSAETIMEDOUT;
            return -1;
        }
        const int n = recv(m_Socket, reinterpret_cast<char*>(buffer), static_cast<int>(length), 0);
        if (n < 0)
            m_LastError = WSAGetLastError();
        return n;
    }

    SOCKET m_Socket;
    int m_LastError = 0;
};

// A message as it travels: head, then the body scrambled.
Bytes WireMessage(BYTE mainId, BYTE assistId, const Bytes& body) {
    Bytes message(4 + body.size());
    YNet2::YNetMsgHead head;
    head.SetHead(static_cast<WORD>(message.size()), mainId, assistId, false, false, false);
    std::memcpy(message.data(), &head, 4);
    std::copy(body.begin(), body.end(), message.begin() + 4);
    BYTE unused = 0;
    if (body.size() > 1)
        YNet2::Encode(message.data() + 4, static_cast<DWORD>(body.size()), unused);
    return message;
}

// Messages of every size class: head-only, one-byte body, the 1440 limit,
// and a spread in between that makes heads fall anywhere in a block.
Bytes ManyMessages(int count, std::vector<Bytes>* plain = nullptr) {
    Bytes all;
    DWORD seed = 12345;
    for (int i = 0; i < count; ++i) {
        seed = seed * 1103515245u + 12345u;
        size_t bodyLength = (seed >> 8) % 1437;
        if (i % 10 == 0)
            bodyLength = 1436;
        if (i % 10 == 1)
            bodyLength = 0;
        if (i % 10 == 2)
            bodyLength = 1;
        Bytes body(bodyLength);
        for (size_t k = 0; k < bodyLength; ++k)
            body[k] = static_cast<BYTE>(seed >> (k % 24)) ^ static_cast<BYTE>(k);
        const Bytes message = WireMessage(static_cast<BYTE>(i % 64), static_cast<BYTE>(i), body);
        if (plain != nullptr) {
            Bytes unscrambled = message;
            std::copy(body.begin(), body.end(), unscrambled.begin() + 4);
            plain->push_back(unscrambled);
        }
        all.insert(all.end(), message.begin(), message.end());
    }
    return all;
}

// Long byte runs compare by length and first difference: a full dump helps nobody.
testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected) {
    const size_t common = std::min(actual.size(), expected.size());
    const size_t at = static_cast<size_t>(
        std::mismatch(actual.begin(), actual.begin() + static_cast<std::ptrdiff_t>(common), expected.begin()).first -
        actual.begin());
    if (at == common && actual.size() == expected.size())
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "got " << actual.size() << " bytes, expected " << expected.size()
                                       << "; first difference at offset " << at;
}

// Records what the server reports, from its threads.
class Recorder : public EchoObserver {
public:
    Recorder() { InitializeCriticalSection(&m_Lock); }
    ~Recorder() override { DeleteCriticalSection(&m_Lock); }
    void OnMessage(DWORD, const BYTE* message, int length) override {
        EnterCriticalSection(&m_Lock);
        m_Messages.emplace_back(message, message + length);
        LeaveCriticalSection(&m_Lock);
    }
    void OnClosed(DWORD, const char* reason) override {
        EnterCriticalSection(&m_Lock);
        m_Reasons.emplace_back(reason);
        LeaveCriticalSection(&m_Lock);
    }
    std::vector<Bytes> Messages() {
        EnterCriticalSection(&m_Lock);
        std::vector<Bytes> copy = m_Messages;
        LeaveCriticalSection(&m_Lock);
        return copy;
    }
    std::vector<std::string> Reasons() {
        EnterCriticalSection(&m_Lock);
        std::vector<std::string> copy = m_Reasons;
        LeaveCriticalSection(&m_Lock);
        return copy;
    }

private:
    CRITICAL_SECTION m_Lock;
    std::vector<Bytes> m_Messages;
    std::vector<std::string> m_Reasons;
};

} // namespace

TEST(EchoServerTest, EchoesTheWorkedExampleScrambledAndShowsItPlain) {
    Recorder recorder;
    EchoServer server(EchoOptions(), &recorder);
    ASSERT_EQ(server.Start(), 0);
    ASSERT_NE(server.Port(), 0);

    RawPeer peer;
    ASSERT_TRUE(peer.Connect(server.Port()));
    const Bytes scrambled = {0x07, 0x00, 0x05, 0x02, 0x61, 0xAB, 0x6B};
    ASSERT_TRUE(peer.Send(scrambled));
    EXPECT_EQ(peer.Receive(7), scrambled);

    ASSERT_TRUE(server.WaitForEchoed(1, kWaitMs));
    const std::vector<Bytes> seen = recorder.Messages();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], (Bytes{0x07, 0x00, 0x05, 0x02, 0x61, 0x62, 0x63}));
    EXPECT_EQ(server.Accepted(), 1);

    peer.Close();
    ASSERT_TRUE(server.WaitForClosed(1, kWaitMs));
    EXPECT_EQ(recorder.Reasons(), std::vector<std::string>{"closed by the client"});
    server.Stop();
    EXPECT_EQ(server.Port(), 0);
}

TEST(EchoServerTest, ReassemblesMessagesSplitAcrossTinySends) {
    Recorder recorder;
    EchoServer server(EchoOptions(), &recorder);
    ASSERT_EQ(server.Start(), 0);
    std::vector<Bytes> plain;
    const Bytes all = ManyMessages(30, &plain);

    // Pieces of 1 to 7 bytes cut heads and bodies at every position.
    RawPeer peer;
    ASSERT_TRUE(peer.Connect(server.Port()));
    size_t sent = 0;
    for (size_t piece = 1; sent < all.size(); piece = piece % 7 + 1) {
        const size_t chunk = std::min(piece, all.size() - sent);
        ASSERT_TRUE(peer.Send(all.data() + sent, chunk));
        sent += chunk;
    }
    EXPECT_TRUE(SameBytes(peer.Receive(all.size()), all));
    ASSERT_TRUE(server.WaitForEchoed(30, kWaitMs));
    EXPECT_EQ(recorder.Messages(), plain);
    server.Stop();
}

TEST(EchoServerTest, EchoesEveryMessageOfOneLargeSendAcrossBlockBoundaries) {
    EchoServer server;
    ASSERT_EQ(server.Start(), 0);
    const Bytes all = ManyMessages(60); // tens of kilobytes: messages straddle every receive block

    RawPeer peer;
    ASSERT_TRUE(peer.Connect(server.Port()));
    ASSERT_TRUE(peer.Send(all));
    EXPECT_TRUE(SameBytes(peer.Receive(all.size()), all));
    EXPECT_TRUE(server.WaitForEchoed(60, kWaitMs));
    EXPECT_EQ(server.Echoed(), 60);
    server.Stop();
}

TEST(EchoServerTest, ClosesInOrderAfterNMessages) {
    EchoOptions options;
    options.closeAfter = 2;
    Recorder recorder;
    EchoServer server(options, &recorder);
    ASSERT_EQ(server.Start(), 0);

    RawPeer peer;
    ASSERT_TRUE(peer.Connect(server.Port()));
    const Bytes one = WireMessage(1, 1, {'o', 'n', 'e'});
    const Bytes two = WireMessage(1, 2, {'t', 'w', 'o'});
    Bytes both = one;
    both.insert(both.end(), two.begin(), two.end());
    ASSERT_TRUE(peer.Send(both));
    EXPECT_EQ(peer.Receive(both.size()), both);
    EXPECT_EQ(peer.EndOfStream(), 0); // an orderly end, no reset
    peer.Close();
    ASSERT_TRUE(server.WaitForClosed(1, kWaitMs));
    EXPECT_EQ(recorder.Reasons(), std::vector<std::string>{"closed after 2 message(s)"});
    server.Stop();
}

TEST(EchoServerTest, ResetsInsteadOfClosingWithTheResetOption) {
    EchoOptions options;
    options.closeAfter = 1;
    options.reset = true;
    EchoServer server(options);
    ASSERT_EQ(server.Start(), 0);

    RawPeer peer;
    ASSERT_TRUE(peer.Connect(server.Port()));
    const Bytes message = WireMessage(3, 4, {'x', 'y'});
    ASSERT_TRUE(peer.Send(message));
    EXPECT_EQ(peer.Receive(message.size()), message);
    EXPECT_EQ(peer.EndOfStream(), RunningUnderWine() ? 0 : WSAECONNRESET);
    EXPECT_TRUE(server.WaitForClosed(1, kWaitMs));

    // Stop resets too, and wakes a connection thread blocked in a receive.
    RawPeer idle;
    ASSERT_TRUE(idle.Connect(server.Port()));
    ASSERT_TRUE(server.WaitForAccepted(2, kWaitMs));
    server.Stop();
    EXPECT_EQ(server.Closed(), 2);
    EXPECT_EQ(idle.EndOfStream(), RunningUnderWine() ? 0 : WSAECONNRESET);
}

TEST(EchoServerTest, SendsAHeadOnlyMessageOnAcceptThenEchoes) {
    EchoOptions options;
    options.extra = EchoExtra::HeadOnly;
    EchoServer server(options);
    ASSERT_EQ(server.Start(), 0);

    RawPeer peer;
    ASSERT_TRUE(peer.Connect(server.Port()));
    EXPECT_EQ(peer.Receive(4), (Bytes{0x04, 0x00, 0x06, 0x00}));
    const Bytes message = WireMessage(2, 9, {'h', 'i', '!'});
    ASSERT_TRUE(peer.Send(message));
    EXPECT_EQ(peer.Receive(message.size()), message);
    server.Stop();
}

TEST(EchoServerTest, SendsAnOversizedHeadAfterTheNthEcho) {
    EchoOptions options;
    options.extra = EchoExtra::Oversized;
    options.extraAfter = 1;
    EchoServer server(options);
    ASSERT_EQ(server.Start(), 0);

    RawPeer peer;
    ASSERT_TRUE(peer.Connect(server.Port()));
    const Bytes message = WireMessage(2, 9, {'a', 'b', 'c', 'd'});
    ASSERT_TRUE(peer.Send(message));
    EXPECT_EQ(peer.Receive(message.size()), message);
    const Bytes oversized = peer.Receive(YNet2Tools::kOversizedSize);
    ASSERT_EQ(oversized.size(), static_cast<size_t>(YNet2Tools::kOversizedSize));
    YNet2::YNetMsgHead head;
    std::memcpy(&head, oversized.data(), 4);
    EXPECT_EQ(head.GetSize(), 1441);
    EXPECT_EQ(head.GetMainID(), 1);

    // Sent once: the next echo comes alone.
    ASSERT_TRUE(peer.Send(message));
    EXPECT_EQ(peer.Receive(message.size()), message);
    server.Stop();
}

TEST(EchoServerTest, CutsOnlyTheConnectionWhoseBytesAreNotMessages) {
    Recorder recorder;
    EchoServer server(EchoOptions(), &recorder);
    ASSERT_EQ(server.Start(), 0);
    RawPeer good;
    ASSERT_TRUE(good.Connect(server.Port()));

    // A first head over the 1440 limit, a head of size 0 and one shorter
    // than a head: each connection is cut, in order, without an echo.
    const Bytes garbage[] = {
        {0xA1, 0x05, 0x04, 0x00, 1, 2, 3},          // 1441 bytes announced
        {0x00, 0x00, 0x04, 0x00, 0x00, 0x00, 0x04}, // size 0
        {0x02, 0x00, 0x04, 0x00, 0x09, 0x09, 0x09}, // size 2
    };
    LONG refused = 0;
    for (const Bytes& bytes : garbage) {
        RawPeer bad;
        ASSERT_TRUE(bad.Connect(server.Port()));
        ASSERT_TRUE(bad.Send(bytes));
        EXPECT_EQ(bad.EndOfStream(), 0) << "announced size " << (bytes[0] | bytes[1] << 8);
        bad.Close();
        ++refused;
        ASSERT_TRUE(server.WaitForClosed(refused, kWaitMs));
    }
    EXPECT_EQ(server.Refused(), 3);
    EXPECT_EQ(server.Echoed(), 0);

    const Bytes message = WireMessage(1, 1, {'s', 't', 'i', 'l', 'l'});
    ASSERT_TRUE(good.Send(message));
    EXPECT_EQ(good.Receive(message.size()), message);
    server.Stop();
}

TEST(EchoServerTest, BroadcastReachesEveryConnectionWhole) {
    EchoServer server;
    ASSERT_EQ(server.Start(), 0);
    RawPeer peers[8];
    for (RawPeer& peer : peers)
        ASSERT_TRUE(peer.Connect(server.Port()));
    ASSERT_TRUE(server.WaitForAccepted(8, kWaitMs));

    const Bytes message = WireMessage(7, 7, Bytes(600, 0x5A));
    EXPECT_EQ(server.Broadcast(message.data(), static_cast<int>(message.size())), 8);
    for (RawPeer& peer : peers)
        EXPECT_EQ(peer.Receive(message.size()), message);
    server.Stop();
}

TEST(EchoServerTest, StopClosesLiveConnectionsJoinsThemAndCanStartAgain) {
    EchoServer server;
    ASSERT_EQ(server.Start(), 0);
    const Bytes message = WireMessage(1, 0, {'p', 'i', 'n', 'g'});
    {
        RawPeer peers[20];
        for (RawPeer& peer : peers) {
            ASSERT_TRUE(peer.Connect(server.Port()));
            ASSERT_TRUE(peer.Send(message));
            ASSERT_EQ(peer.Receive(message.size()), message);
        }
        ASSERT_TRUE(server.WaitForAccepted(20, kWaitMs));
        EXPECT_EQ(server.Open(), 20);

        // Every connection thread is blocked in a receive when Stop comes.
        server.Stop();
        EXPECT_EQ(server.Closed(), 20);
        EXPECT_EQ(server.Open(), 0);
        for (RawPeer& peer : peers)
            EXPECT_EQ(peer.EndOfStream(), 0);
    }

    ASSERT_EQ(server.Start(), 0);
    RawPeer again;
    ASSERT_TRUE(again.Connect(server.Port()));
    ASSERT_TRUE(again.Send(message));
    EXPECT_EQ(again.Receive(message.size()), message);
    server.Stop();
    server.Stop(); // a second Stop does nothing
    EXPECT_EQ(server.Accepted(), 21);
}

TEST(EchoServerTest, StopReturnsWhileAnEchoWaitsForAClientThatReadsNothing) {
    EchoServer server;
    ASSERT_EQ(server.Start(), 0);
    RawPeer peer;
    ASSERT_TRUE(peer.Connect(server.Port()));
    ASSERT_TRUE(peer.SendUntilJammed(WireMessage(1, 1, Bytes(1436, 0x33)), 256u << 20));
    EXPECT_GT(server.Echoed(), 0);

    server.Stop(); // returns although the connection's echo cannot go out
    EXPECT_EQ(server.Closed(), 1);
}

#endif // YNET_HAVE_ECHO_SERVER

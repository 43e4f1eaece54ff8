// The POSIX layer's handle table: handles are not descriptors, a closed
// handle stays dead even when its descriptor number is reused, and a
// descriptor closes only once no call is in flight on it.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "platform/WinApi.h"
#include "platform/posix/SocketTable.h"
#include "support/Loopback.h"

using YNetTest::CloseIfOpen;
using YNetTest::MakeConnectedPair;

namespace {

constexpr DWORD kBoundedWait = 10000;

int DescriptorOf(SOCKET s) {
    YNetPosix::SocketHold hold = YNetPosix::HoldSocket(s);
    return hold ? hold.Fd() : -1;
}

TEST(PosixSocketTable, StaleHandleNeverReachesAReusedDescriptor) {
    SOCKET first = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(first, INVALID_SOCKET);
    int descriptor = DescriptorOf(first);
    ASSERT_EQ(closesocket(first), 0);
    SOCKET second = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(second, INVALID_SOCKET);
    ASSERT_EQ(DescriptorOf(second), descriptor); // the system gave the number again
    EXPECT_NE(second, first);                    // but the handle differs

    EXPECT_EQ(send(first, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(closesocket(first), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    int type = 0, length = sizeof(type);
    EXPECT_EQ(getsockopt(second, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length), 0);
    EXPECT_EQ(closesocket(second), 0);
}

// One socket at a time, thousands of times: every handle is new (a stale
// one can meet no later socket) and positive when read as an int.
TEST(PosixSocketTable, HandlesAreNotGivenAgainSoon) {
    std::vector<SOCKET> seen;
    for (int i = 0; i < 3000; ++i) {
        SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_NE(s, INVALID_SOCKET);
        EXPECT_GT(static_cast<int>(s), 0);
        seen.push_back(s);
        ASSERT_EQ(closesocket(s), 0);
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(std::adjacent_find(seen.begin(), seen.end()), seen.end());
}

// A thousand connections held and others coming and going: the handle of
// a closed socket names none of the sockets opened after it (the slot of a
// freed handle comes round only behind thousands of others).
TEST(PosixSocketTable, StaleHandleStaysDeadWithMostSlotsHeldOpen) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_cur < 1100 && limit.rlim_max >= 1100) {
        limit.rlim_cur = 1100;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::vector<SOCKET> held(1021);
    for (SOCKET& s : held)
        ASSERT_NE(s = socket(AF_INET, SOCK_DGRAM, 0), INVALID_SOCKET);
    SOCKET stale = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_EQ(closesocket(stale), 0);
    int met = 0;
    for (int i = 0; i < 40000; ++i) {
        SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_NE(s, INVALID_SOCKET);
        met += s == stale || DescriptorOf(stale) >= 0;
        ASSERT_EQ(closesocket(s), 0);
    }
    EXPECT_EQ(met, 0);
    for (SOCKET s : held)
        closesocket(s);
}

TEST(PosixSocketTable, DescriptorClosesWhenTheLastCallLetsGo) {
    int before = YNetPosix::OpenDescriptorCount();
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);
    YNetPosix::SocketHold inFlight = YNetPosix::HoldSocket(s);
    ASSERT_TRUE(inFlight);
    ASSERT_EQ(closesocket(s), 0);
    EXPECT_TRUE(inFlight.Closed());
    EXPECT_EQ(YNetPosix::OpenDescriptorCount(), before + 1); // still in use
    EXPECT_EQ(recv(s, nullptr, 0, 0), SOCKET_ERROR);         // the handle is dead at once
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    inFlight.Release();
    EXPECT_EQ(YNetPosix::OpenDescriptorCount(), before);
}

struct BlockedReceive {
    SOCKET s;
    HANDLE entered;
    int result;
    int error;
};

DWORD WINAPI ReceiveUntilClosed(LPVOID parameter) {
    auto* state = static_cast<BlockedReceive*>(parameter);
    SetEvent(state->entered);
    char buffer[4];
    state->result = recv(state->s, buffer, sizeof(buffer), 0);
    state->error = WSAGetLastError();
    return 0;
}

TEST(PosixSocketTable, ReceiveCancelledByCloseAnswersInterrupted) {
    SOCKET client, server;
    ASSERT_TRUE(MakeConnectedPair(&client, &server));
    BlockedReceive state{client, CreateEventA(nullptr, TRUE, FALSE, nullptr), 0, 0};
    HANDLE thread = CreateThread(nullptr, 0, ReceiveUntilClosed, &state, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(state.entered, kBoundedWait), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 100), WAIT_TIMEOUT);
    EXPECT_EQ(closesocket(client), 0);
    ASSERT_EQ(WaitForSingleObject(thread, kBoundedWait), WAIT_OBJECT_0);
    EXPECT_EQ(state.result, SOCKET_ERROR);
    // WSAEINTR when the call was blocked, WSAENOTSOCK in the rare case that
    // the close came before the call reached the table.
    EXPECT_TRUE(state.error == WSAEINTR || state.error == WSAENOTSOCK) << state.error;
    // The peer sees an orderly close: the wake-up shut the socket down.
    char buffer[4];
    EXPECT_EQ(recv(server, buffer, sizeof(buffer), 0), 0);
    CloseHandle(thread);
    CloseHandle(state.entered);
    closesocket(server);
}

// Wine closes such sockets gracefully, so this runs on POSIX only; Windows
// resets the connection.
TEST(PosixSocketTable, LingerZeroCloseResetsThePeer) {
    SOCKET client, server;
    ASSERT_TRUE(MakeConnectedPair(&client, &server));
    linger abortive{1, 0};
    ASSERT_EQ(setsockopt(server, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&abortive), sizeof(abortive)), 0);
    ASSERT_EQ(closesocket(server), 0);
    ASSERT_TRUE(YNetTest::WaitReadable(client, kBoundedWait));
    char buffer[4];
    EXPECT_EQ(recv(client, buffer, sizeof(buffer), 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    EXPECT_EQ(recv(client, buffer, sizeof(buffer), 0), SOCKET_ERROR); // Winsock repeats the reset
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    closesocket(client);
}

// Waking a receive blocked on a lingering-zero socket must not send a FIN
// before the reset: the peer sees the reset, not an orderly close.
TEST(PosixSocketTable, LingerZeroCloseUnderABlockedReceiveStillResets) {
    SOCKET client, server;
    ASSERT_TRUE(MakeConnectedPair(&client, &server));
    linger abortive{1, 0};
    ASSERT_EQ(setsockopt(server, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&abortive), sizeof(abortive)), 0);
    BlockedReceive state{server, CreateEventA(nullptr, TRUE, FALSE, nullptr), 0, 0};
    HANDLE thread = CreateThread(nullptr, 0, ReceiveUntilClosed, &state, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(state.entered, kBoundedWait), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 100), WAIT_TIMEOUT);
    EXPECT_EQ(closesocket(server), 0);
    ASSERT_EQ(WaitForSingleObject(thread, kBoundedWait), WAIT_OBJECT_0);
    EXPECT_EQ(state.result, SOCKET_ERROR);
    ASSERT_TRUE(YNetTest::WaitReadable(client, kBoundedWait));
    char buffer[4];
    EXPECT_EQ(recv(client, buffer, sizeof(buffer), 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
    CloseHandle(thread);
    CloseHandle(state.entered);
    closesocket(client);
}

struct BlockedSend {
    SOCKET s;
    HANDLE entered;
    int result;
};

DWORD WINAPI SendUntilClosed(LPVOID parameter) {
    auto* state = static_cast<BlockedSend*>(parameter);
    static char big[32 << 20]; // far more than both socket buffers hold
    SetEvent(state->entered);
    state->result = send(state->s, big, sizeof(big), 0);
    return 0;
}

// A send blocked on a peer that does not read ends when the socket is
// closed under it, for an orderly and for an abortive close alike.
TEST(PosixSocketTable, CloseEndsASendBlockedOnAFullBuffer) {
    for (bool abortive : {false, true}) {
        SOCKET client, server;
        ASSERT_TRUE(MakeConnectedPair(&client, &server));
        linger value{static_cast<unsigned short>(abortive ? 1 : 0), 0};
        ASSERT_EQ(setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&value), sizeof(value)), 0);
        BlockedSend state{client, CreateEventA(nullptr, TRUE, FALSE, nullptr), 0};
        HANDLE thread = CreateThread(nullptr, 0, SendUntilClosed, &state, 0, nullptr);
        ASSERT_EQ(WaitForSingleObject(state.entered, kBoundedWait), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(thread, 100), WAIT_TIMEOUT);
        EXPECT_EQ(closesocket(client), 0);
        ASSERT_EQ(WaitForSingleObject(thread, kBoundedWait), WAIT_OBJECT_0) << "abortive " << abortive;
        // A blocking send answers the bytes it got out before the close.
        EXPECT_LT(state.result, static_cast<int>(32 << 20));
        CloseHandle(thread);
        CloseHandle(state.entered);
        closesocket(server);
    }
}

struct BlockedExceptSelect {
    SOCKET s;
    HANDLE entered;
    int result;
};

DWORD WINAPI SelectForExceptions(LPVOID parameter) {
    auto* state = static_cast<BlockedExceptSelect*>(parameter);
    SetEvent(state->entered);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(state->s, &failed);
    state->result = select(0, nullptr, nullptr, &failed, nullptr);
    return 0;
}

// The peer's close is nothing exceptional, so the select goes on waiting
// with the socket out of poll's set; a close from here must still end it.
TEST(PosixSocketTable, CloseEndsASelectThatIgnoresThePeersClose) {
    SOCKET client, server;
    ASSERT_TRUE(MakeConnectedPair(&client, &server));
    ASSERT_EQ(closesocket(server), 0);
    ASSERT_TRUE(YNetTest::WaitReadable(client, kBoundedWait)); // the FIN is here
    BlockedExceptSelect state{client, CreateEventA(nullptr, TRUE, FALSE, nullptr), 0};
    HANDLE thread = CreateThread(nullptr, 0, SelectForExceptions, &state, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(state.entered, kBoundedWait), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 100), WAIT_TIMEOUT);
    EXPECT_EQ(closesocket(client), 0);
    ASSERT_EQ(WaitForSingleObject(thread, kBoundedWait), WAIT_OBJECT_0);
    EXPECT_EQ(state.result, 1); // the closed socket reads as ready
    CloseHandle(thread);
    CloseHandle(state.entered);
}

// The except set reports out-of-band data and a failed connect only, as
// Winsock's does: neither the peer's orderly close nor its reset ends a wait
// on it alone, while the read set reports both at once.
TEST(PosixSocketTable, ExceptSetIgnoresThePeersCloseAndResetAlike) {
    for (bool reset : {false, true}) {
        SOCKET client, server;
        ASSERT_TRUE(MakeConnectedPair(&client, &server));
        linger value{static_cast<unsigned short>(reset ? 1 : 0), 0};
        ASSERT_EQ(setsockopt(server, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&value), sizeof(value)), 0);
        ASSERT_EQ(closesocket(server), 0);
        ASSERT_TRUE(YNetTest::WaitReadable(client, kBoundedWait)) << "reset " << reset;
        fd_set failed;
        FD_ZERO(&failed);
        FD_SET(client, &failed);
        timeval shortWait{0, 100000};
        EXPECT_EQ(select(0, nullptr, nullptr, &failed, &shortWait), 0) << "reset " << reset;
        closesocket(client);
    }
}

// Calls of every kind race a closesocket; each ends with a Winsock answer,
// and every descriptor is closed in the end.
struct Racer {
    SOCKET s;
    HANDLE started;
    std::atomic<int>* unexpected;
};

DWORD WINAPI CallUntilDead(LPVOID parameter) {
    auto* racer = static_cast<Racer*>(parameter);
    SetEvent(racer->started);
    char buffer[64];
    for (unsigned round = 0;; ++round) {
        int result;
        switch (round % 4) {
        case 0:
            result = send(racer->s, "abc", 3, 0);
            break;
        case 1:
            result = recv(racer->s, buffer, sizeof(buffer), 0);
            break;
        case 2: {
            int type = 0, length = sizeof(type);
            result = getsockopt(racer->s, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length);
            break;
        }
        default: {
            fd_set readable;
            FD_ZERO(&readable);
            FD_SET(racer->s, &readable);
            timeval timeout{0, 1000};
            result = select(0, &readable, nullptr, nullptr, &timeout);
            break;
        }
        }
        if (result != SOCKET_ERROR)
            continue;
        int error = WSAGetLastError();
        if (error == WSAENOTSOCK)
            return 0;
        if (error != WSAEINTR && error != WSAEWOULDBLOCK && error != WSAESHUTDOWN && error != WSAECONNRESET)
            racer->unexpected->fetch_add(1);
    }
}

TEST(PosixSocketTable, CallsRacingACloseEndCleanly) {
    int before = YNetPosix::OpenDescriptorCount();
    std::atomic<int> unexpected{0};
    for (int round = 0; round < 20; ++round) {
        SOCKET client, server;
        ASSERT_TRUE(MakeConnectedPair(&client, &server));
        ULONG on = 1;
        ASSERT_EQ(ioctlsocket(client, FIONBIO, &on), 0);
        Racer racers[3];
        HANDLE threads[3];
        for (int i = 0; i < 3; ++i) {
            racers[i] = Racer{client, CreateEventA(nullptr, TRUE, FALSE, nullptr), &unexpected};
            threads[i] = CreateThread(nullptr, 0, CallUntilDead, &racers[i], 0, nullptr);
        }
        for (Racer& racer : racers)
            ASSERT_EQ(WaitForSingleObject(racer.started, kBoundedWait), WAIT_OBJECT_0);
        EXPECT_EQ(closesocket(client), 0);
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(WaitForSingleObject(threads[i], kBoundedWait), WAIT_OBJECT_0);
            CloseHandle(threads[i]);
            CloseHandle(racers[i].started);
        }
        closesocket(server);
    }
    EXPECT_EQ(unexpected.load(), 0);
    EXPECT_EQ(YNetPosix::OpenDescriptorCount(), before);
}

// Calls find their socket without the table's lock while other threads
// create and close sockets (new slots, new chunks of slots, reused slots):
// a live handle always reaches its own socket, a stale one never any.
TEST(PosixSocketTable, LookupsRacingSocketsComingAndGoingSeeOnlyTheirOwn) {
    SOCKET live = socket(AF_INET, SOCK_STREAM, 0);
    SOCKET stale = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(live, INVALID_SOCKET);
    ASSERT_NE(stale, INVALID_SOCKET);
    ASSERT_EQ(closesocket(stale), 0);
    std::atomic<bool> done{false};
    std::atomic<int> wrong{0};
    std::thread prober([&] {
        while (!done.load()) {
            int type = 0, length = sizeof(type);
            if (getsockopt(live, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) != 0 ||
                type != SOCK_STREAM)
                wrong.fetch_add(1);
            if (getsockopt(stale, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) != SOCKET_ERROR ||
                WSAGetLastError() != WSAENOTSOCK)
                wrong.fetch_add(1);
        }
    });
    for (int i = 0; i < 1500; ++i) {
        SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_NE(s, INVALID_SOCKET);
        // Once the stale handle's slot is reused, this meets it open.
        int type = 0, length = sizeof(type);
        EXPECT_EQ(getsockopt(stale, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length), SOCKET_ERROR);
        ASSERT_EQ(closesocket(s), 0);
    }
    done.store(true);
    prober.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(closesocket(live), 0);
}

// The open bit, the generation and the calls in flight share one 64-bit
// word (on a 32-bit CPU an 8-byte compare-and-swap): holds taken and let go
// by several threads at once count exactly, and the last one closes. Each
// thread goes on until every one has taken its share, so that they overlap.
TEST(PosixSocketTable, HoldsTakenByManyThreadsAtOnceCountExactly) {
    constexpr int kThreads = 4, kShare = 1000000;
    const int before = YNetPosix::OpenDescriptorCount();
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);
    std::atomic<int> refused{0}, finished{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < kShare || finished.load(std::memory_order_relaxed) < kThreads; ++i) {
                auto purpose = i % 2 == 0 ? YNetPosix::HoldFor::Other : YNetPosix::HoldFor::Send;
                if (!YNetPosix::HoldSocket(s, purpose))
                    refused.fetch_add(1);
                if (i == kShare - 1)
                    finished.fetch_add(1);
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(refused.load(), 0);
    EXPECT_EQ(YNetPosix::OpenDescriptorCount(), before + 1);
    EXPECT_EQ(closesocket(s), 0);
    EXPECT_EQ(YNetPosix::OpenDescriptorCount(), before) << "a hold was left counted";
}

TEST(PosixSocketTable, LastCleanupClosesEverySocket) {
    int before = YNetPosix::OpenDescriptorCount();
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(s, INVALID_SOCKET);
    ASSERT_EQ(WSACleanup(), 0); // the suite's start
    EXPECT_EQ(YNetPosix::OpenDescriptorCount(), before);
    EXPECT_EQ(closesocket(s), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 0), &data), 0);
    EXPECT_EQ(closesocket(s), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

TEST(PosixSocketTable, OverlappedRequestsAreRefused) {
    SOCKET client, server;
    ASSERT_TRUE(MakeConnectedPair(&client, &server));
    OVERLAPPED overlapped{};
    char byte = 0;
    WSABUF buffer{1, &byte};
    DWORD count = 0, flags = 0;
    EXPECT_EQ(WSARecv(client, &buffer, 1, &count, &flags, &overlapped, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEOPNOTSUPP);
    EXPECT_EQ(WSASend(client, &buffer, 1, &count, 0, &overlapped, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEOPNOTSUPP);
    EXPECT_EQ(WSARecvFrom(client, &buffer, 1, &count, &flags, nullptr, nullptr, &overlapped, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEOPNOTSUPP);
    EXPECT_EQ(WSASendTo(client, &buffer, 1, &count, 0, nullptr, 0, &overlapped, nullptr), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEOPNOTSUPP);
    WSAPROTOCOL_INFOA info{};
    EXPECT_EQ(WSASocketA(AF_INET, SOCK_STREAM, 0, &info, 0, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAEOPNOTSUPP);
    EXPECT_TRUE(CancelIo(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(client))));
    // Blocked calls are woken by shutdown and closesocket: no I/O is ever pending.
    EXPECT_FALSE(CancelIoEx(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(client)), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_FOUND));
    closesocket(client);
    closesocket(server);
}

} // namespace

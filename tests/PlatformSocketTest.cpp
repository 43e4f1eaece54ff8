// Windows Sockets through platform/WinApi.h, over real loopback peers.
// Runs against our POSIX layer and against the real Windows API alike, so
// it asserts only what Windows shows.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "platform/WinApi.h"
#include "support/Loopback.h"

using YNetTest::CloseIfOpen;
using YNetTest::ListenOnLoopback;
using YNetTest::LoopbackAddress;
using YNetTest::MakeConnectedPair;
using YNetTest::WaitReadable;

namespace {

constexpr DWORD kBoundedWait = 10000; // ms
// How long a call must stay blocked before the test takes it for blocked.
constexpr DWORD kStillBlocked = 100; // ms

sockaddr* AsAddress(sockaddr_in* address) {
    return reinterpret_cast<sockaddr*>(address);
}

timeval Milliseconds(long milliseconds) {
    timeval value{};
    value.tv_sec = milliseconds / 1000;
    value.tv_usec = (milliseconds % 1000) * 1000;
    return value;
}

// A port on which nothing listens: one that listened a moment ago.
unsigned short ClosedPort() {
    unsigned short port = 0;
    SOCKET listener = ListenOnLoopback(&port);
    closesocket(listener);
    return port;
}

class Pair {
public:
    Pair() { ok = MakeConnectedPair(&client, &server); }
    ~Pair() {
        CloseIfOpen(&client);
        CloseIfOpen(&server);
    }
    bool ok;
    SOCKET client;
    SOCKET server;
};

TEST(PlatformSocket, StartupGrantsVersionTwoAndCountsReferences) {
    WSADATA data;
    std::memset(&data, 0xAB, sizeof(data));
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 0), &data), 0);
    EXPECT_EQ(data.wVersion, MAKEWORD(2, 0));
    EXPECT_EQ(data.wHighVersion, MAKEWORD(2, 2));
    ASSERT_EQ(WSACleanup(), 0); // one start of the suite's remains

    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(closesocket(s), 0);
}

TEST(PlatformSocket, CallsBeforeStartupAnswerNotInitialised) {
    ASSERT_EQ(WSACleanup(), 0); // the suite's start: the stack is down now
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    int error = WSAGetLastError();
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);
    int cleanupError = WSAGetLastError();
    WSADATA data;
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 0), &data), 0); // back up for the rest of the suite
    EXPECT_EQ(s, INVALID_SOCKET);
    EXPECT_EQ(error, WSANOTINITIALISED);
    EXPECT_EQ(cleanupError, WSANOTINITIALISED);
}

TEST(PlatformSocket, ByteOrderAndAddressText) {
    EXPECT_EQ(htons(0x1234), 0x3412);
    EXPECT_EQ(ntohs(0x3412), 0x1234);
    EXPECT_EQ(htonl(0x01020304u), 0x04030201u);
    EXPECT_EQ(ntohl(0x04030201u), 0x01020304u);
    EXPECT_EQ(inet_addr("127.0.0.1"), htonl(0x7F000001u));
    EXPECT_EQ(inet_addr("10.1.2.3"), htonl(0x0A010203u));
    EXPECT_EQ(inet_addr("not an address"), INADDR_NONE);
}

TEST(PlatformSocket, FdSetIsACountedArrayWithoutDuplicates) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(8, &set);
    FD_SET(12, &set);
    FD_SET(8, &set);
    ASSERT_EQ(set.fd_count, 2u);
    EXPECT_EQ(set.fd_array[0], 8u);
    EXPECT_TRUE(FD_ISSET(12, &set));
    FD_CLR(8, &set);
    EXPECT_EQ(set.fd_count, 1u);
    EXPECT_FALSE(FD_ISSET(8, &set));
    EXPECT_EQ(set.fd_array[0], 12u);
}

TEST(PlatformSocket, DataCrossesALoopbackPairAndPeerCloseReadsAsZero) {
    Pair pair;
    ASSERT_TRUE(pair.ok);
    sockaddr_in local{}, peer{};
    int localLength = sizeof(local), peerLength = sizeof(peer);
    ASSERT_EQ(getsockname(pair.client, AsAddress(&local), &localLength), 0);
    ASSERT_EQ(getpeername(pair.server, AsAddress(&peer), &peerLength), 0);
    EXPECT_EQ(localLength, 16);
    EXPECT_EQ(peerLength, 16);
    EXPECT_EQ(peer.sin_port, local.sin_port);
    EXPECT_EQ(peer.sin_addr.s_addr, htonl(INADDR_LOOPBACK));
    peerLength = 8;
    EXPECT_EQ(getpeername(pair.server, AsAddress(&peer), &peerLength), SOCKET_ERROR); // no room for an address
    EXPECT_EQ(WSAGetLastError(), WSAEFAULT);

    EXPECT_EQ(send(pair.client, "hello", 5, 0), 5);
    char buffer[16] = {};
    EXPECT_EQ(recv(pair.server, buffer, 2, MSG_PEEK), 2);
    EXPECT_EQ(recv(pair.server, buffer, 5, MSG_WAITALL), 5);
    EXPECT_EQ(std::memcmp(buffer, "hello", 5), 0);

    ASSERT_EQ(shutdown(pair.client, SD_SEND), 0);
    EXPECT_EQ(send(pair.client, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAESHUTDOWN);
    EXPECT_EQ(recv(pair.server, buffer, sizeof(buffer), 0), 0);
}

TEST(PlatformSocket, GatherSendAndScatterReceiveServeTheSynchronousCase) {
    Pair pair;
    ASSERT_TRUE(pair.ok);
    char head[] = "ab", body[] = "cdef";
    WSABUF out[2] = {{2, head}, {4, body}};
    DWORD sent = 0;
    ASSERT_EQ(WSASend(pair.client, out, 2, &sent, 0, nullptr, nullptr), 0);
    EXPECT_EQ(sent, 6u);

    char first[3] = {}, second[3] = {};
    WSABUF in[2] = {{3, first}, {3, second}};
    DWORD received = 0, flags = MSG_WAITALL;
    ASSERT_EQ(WSARecv(pair.server, in, 2, &received, &flags, nullptr, nullptr), 0);
    EXPECT_EQ(received, 6u);
    EXPECT_EQ(std::memcmp(first, "abc", 3), 0);
    EXPECT_EQ(std::memcmp(second, "def", 3), 0);
}

TEST(PlatformSocket, DatagramsCarryTheSenderAddress) {
    SOCKET receiver = WSASocketA(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    SOCKET sender = socket(AF_INET, SOCK_DGRAM, 0);
    ASSERT_NE(receiver, INVALID_SOCKET);
    ASSERT_NE(sender, INVALID_SOCKET);
    sockaddr_in address = LoopbackAddress(0);
    int length = sizeof(address);
    ASSERT_EQ(bind(receiver, AsAddress(&address), sizeof(address)), 0);
    ASSERT_EQ(getsockname(receiver, AsAddress(&address), &length), 0);

    ASSERT_EQ(sendto(sender, "ping", 4, 0, AsAddress(&address), sizeof(address)), 4);
    char buffer[8] = {};
    sockaddr_in from{};
    int fromLength = sizeof(from);
    ASSERT_EQ(recvfrom(receiver, buffer, sizeof(buffer), 0, AsAddress(&from), &fromLength), 4);
    EXPECT_EQ(std::memcmp(buffer, "ping", 4), 0);
    EXPECT_EQ(fromLength, 16);
    sockaddr_in senderAddress{};
    int senderLength = sizeof(senderAddress);
    ASSERT_EQ(getsockname(sender, AsAddress(&senderAddress), &senderLength), 0); // bound by sendto
    EXPECT_EQ(from.sin_port, senderAddress.sin_port);

    WSABUF out{4, const_cast<char*>("pong")};
    DWORD count = 0;
    ASSERT_EQ(WSASendTo(sender, &out, 1, &count, 0, AsAddress(&address), sizeof(address), nullptr, nullptr), 0);
    EXPECT_EQ(count, 4u);
    WSABUF in{sizeof(buffer), buffer};
    DWORD flags = 0;
    fromLength = sizeof(from);
    ASSERT_EQ(WSARecvFrom(receiver, &in, 1, &count, &flags, AsAddress(&from), &fromLength, nullptr, nullptr), 0);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(std::memcmp(buffer, "pong", 4), 0);

    // A datagram longer than the buffer: its head, and WSAEMSGSIZE.
    ASSERT_EQ(sendto(sender, "abcdef", 6, 0, AsAddress(&address), sizeof(address)), 6);
    EXPECT_EQ(recv(receiver, buffer, 3, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEMSGSIZE);
    EXPECT_EQ(std::memcmp(buffer, "abc", 3), 0);
    closesocket(sender);
    closesocket(receiver);
}

TEST(PlatformSocket, ErrorsOfMisusedSocketsAreWinsockCodes) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(s, INVALID_SOCKET);
    char buffer[4];
    sockaddr_in address{};
    int length = sizeof(address);
    EXPECT_EQ(getsockname(s, AsAddress(&address), &length), SOCKET_ERROR); // not bound
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    EXPECT_EQ(listen(s, 1), SOCKET_ERROR); // not bound
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    EXPECT_EQ(recv(s, buffer, sizeof(buffer), 0), SOCKET_ERROR); // not connected
    EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);
    EXPECT_EQ(getpeername(s, AsAddress(&address), &length), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTCONN);
    EXPECT_EQ(shutdown(s, 7), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    EXPECT_EQ(closesocket(s), 0);

    // A handle once closed is no socket any more.
    EXPECT_EQ(send(s, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    EXPECT_EQ(closesocket(s), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

TEST(PlatformSocket, ConnectToAClosedPortIsRefused) {
    sockaddr_in address = LoopbackAddress(ClosedPort());
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(connect(s, AsAddress(&address), sizeof(address)), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
    closesocket(s);
}

TEST(PlatformSocket, NonBlockingConnectShowsItsOutcomeInSelect) {
    unsigned short port = 0;
    SOCKET listener = ListenOnLoopback(&port);
    ASSERT_NE(listener, INVALID_SOCKET);
    SOCKET good = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    SOCKET refused = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ULONG on = 1;
    ASSERT_EQ(ioctlsocket(good, FIONBIO, &on), 0);
    ASSERT_EQ(ioctlsocket(refused, FIONBIO, &on), 0);

    sockaddr_in address = LoopbackAddress(port);
    int result = connect(good, AsAddress(&address), sizeof(address));
    if (result == SOCKET_ERROR) {
        EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    }
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(good, &writable);
    timeval timeout = Milliseconds(kBoundedWait);
    EXPECT_EQ(select(0, nullptr, &writable, nullptr, &timeout), 1);

    address = LoopbackAddress(ClosedPort());
    EXPECT_EQ(connect(refused, AsAddress(&address), sizeof(address)), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(refused, &failed);
    FD_ZERO(&writable);
    FD_SET(refused, &writable);
    EXPECT_EQ(select(0, nullptr, &writable, &failed, &timeout), 1);
    EXPECT_EQ(failed.fd_count, 1u);
    EXPECT_EQ(writable.fd_count, 0u);
    int error = 0, length = sizeof(error);
    ASSERT_EQ(getsockopt(refused, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length), 0);
    EXPECT_EQ(error, WSAECONNREFUSED);

    char buffer[4];
    SOCKET accepted = accept(listener, nullptr, nullptr);
    ASSERT_NE(accepted, INVALID_SOCKET);
    EXPECT_EQ(recv(good, buffer, sizeof(buffer), 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    EXPECT_EQ(send(accepted, "abc", 3, 0), 3);
    ASSERT_TRUE(WaitReadable(good, kBoundedWait));
    ULONG pending = 0;
    ASSERT_EQ(ioctlsocket(good, FIONREAD, &pending), 0);
    EXPECT_EQ(pending, 3u);
    closesocket(accepted);
    closesocket(good);
    closesocket(refused);
    closesocket(listener);
}

TEST(PlatformSocket, ReadSelectSeesDataOnAFreshNonBlockingConnection) {
    unsigned short port = 0;
    SOCKET listener = ListenOnLoopback(&port);
    ASSERT_NE(listener, INVALID_SOCKET);
    SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ULONG on = 1;
    ASSERT_EQ(ioctlsocket(client, FIONBIO, &on), 0);
    sockaddr_in address = LoopbackAddress(port);
    connect(client, AsAddress(&address), sizeof(address)); // completes in the background
    ASSERT_TRUE(WaitReadable(listener, kBoundedWait));
    SOCKET accepted = accept(listener, nullptr, nullptr);
    ASSERT_NE(accepted, INVALID_SOCKET);
    ASSERT_EQ(send(accepted, "x", 1, 0), 1);
    // Only the read set is asked: the connect's end shows as data.
    EXPECT_TRUE(WaitReadable(client, kBoundedWait));
    char byte = 0;
    EXPECT_EQ(recv(client, &byte, 1, 0), 1);
    closesocket(accepted);
    closesocket(client);
    closesocket(listener);
}

TEST(PlatformSocket, SelectKeepsOnlyReadyHandlesAndCountsThem) {
    Pair quiet, busy;
    ASSERT_TRUE(quiet.ok && busy.ok);
    ASSERT_EQ(send(busy.client, "x", 1, 0), 1);
    ASSERT_TRUE(WaitReadable(busy.server, kBoundedWait));

    // Six handles in three sets (more than a small wait keeps on the stack).
    fd_set readable, writable, urgent;
    FD_ZERO(&readable);
    FD_SET(quiet.server, &readable);
    FD_SET(busy.server, &readable);
    FD_ZERO(&writable);
    FD_SET(quiet.server, &writable);
    FD_SET(busy.server, &writable);
    FD_ZERO(&urgent);
    FD_SET(quiet.server, &urgent);
    FD_SET(busy.server, &urgent);
    timeval timeout = Milliseconds(0);
    EXPECT_EQ(select(12345, &readable, &writable, &urgent, &timeout), 3); // first argument ignored
    ASSERT_EQ(readable.fd_count, 1u);
    EXPECT_EQ(readable.fd_array[0], busy.server);
    EXPECT_EQ(writable.fd_count, 2u);
    EXPECT_EQ(urgent.fd_count, 0u);

    FD_ZERO(&readable);
    FD_SET(quiet.server, &readable);
    timeout = Milliseconds(20);
    EXPECT_EQ(select(0, &readable, nullptr, nullptr, &timeout), 0);
    EXPECT_EQ(readable.fd_count, 0u);

    // No handle at all is an invalid call, a closed one is no socket.
    EXPECT_EQ(select(0, &readable, nullptr, nullptr, &timeout), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
    SOCKET gone = socket(AF_INET, SOCK_STREAM, 0);
    closesocket(gone);
    FD_SET(gone, &readable);
    EXPECT_EQ(select(0, &readable, nullptr, nullptr, &timeout), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}

struct Sender {
    SOCKET s;
};

DWORD WINAPI SendOneByte(LPVOID parameter) {
    return send(static_cast<Sender*>(parameter)->s, "!", 1, 0) == 1 ? 0 : 1;
}

TEST(PlatformSocket, SelectWithoutTimeoutWaitsForData) {
    Pair pair;
    ASSERT_TRUE(pair.ok);
    Sender sender{pair.client};
    HANDLE thread = CreateThread(nullptr, 0, SendOneByte, &sender, 0, nullptr);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(pair.server, &readable);
    EXPECT_EQ(select(0, &readable, nullptr, nullptr, nullptr), 1);
    EXPECT_EQ(WaitForSingleObject(thread, kBoundedWait), WAIT_OBJECT_0);
    CloseHandle(thread);
}

TEST(PlatformSocket, OptionsUseWindowsLayouts) {
    Pair pair;
    ASSERT_TRUE(pair.ok);
    linger value{1, 7};
    ASSERT_EQ(setsockopt(pair.client, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&value), sizeof(value)), 0);
    linger read{};
    int length = sizeof(read);
    ASSERT_EQ(getsockopt(pair.client, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&read), &length), 0);
    EXPECT_EQ(length, static_cast<int>(sizeof(linger)));
    EXPECT_EQ(read.l_onoff, 1);
    EXPECT_EQ(read.l_linger, 7);

    DWORD timeout = 1500, readTimeout = 0;
    length = sizeof(readTimeout);
    ASSERT_EQ(setsockopt(pair.client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeout), sizeof(timeout)), 0);
    ASSERT_EQ(getsockopt(pair.client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&readTimeout), &length), 0);
    EXPECT_EQ(readTimeout, 1500u);

    BOOL on = TRUE, got = FALSE;
    length = sizeof(got);
    ASSERT_EQ(setsockopt(pair.client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&on), sizeof(on)), 0);
    ASSERT_EQ(getsockopt(pair.client, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&got), &length), 0);
    EXPECT_NE(got, FALSE);
    ASSERT_EQ(setsockopt(pair.client, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&on), sizeof(on)), 0);
    got = FALSE;
    length = sizeof(got);
    ASSERT_EQ(getsockopt(pair.client, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&got), &length), 0);
    EXPECT_NE(got, FALSE);

    // Keepalive through WSAIoctl: off, then on with its times.
    for (ULONG on : {0u, 1u}) {
        tcp_keepalive keepAlive{on, 1500, 2000};
        DWORD returned = 7;
        ASSERT_EQ(WSAIoctl(pair.client, SIO_KEEPALIVE_VALS, &keepAlive, sizeof(keepAlive), nullptr, 0, &returned,
                           nullptr, nullptr),
                  0);
        EXPECT_EQ(returned, 0u);
        length = sizeof(got);
        ASSERT_EQ(getsockopt(pair.client, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<char*>(&got), &length), 0);
        EXPECT_EQ(got != FALSE, on == 1);
    }

    int type = 0;
    length = sizeof(type);
    ASSERT_EQ(getsockopt(pair.client, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length), 0);
    EXPECT_EQ(type, SOCK_STREAM);
    EXPECT_EQ(getsockopt(pair.client, SOL_SOCKET, 0x7777, reinterpret_cast<char*>(&type), &length), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOPROTOOPT);
}

TEST(PlatformSocket, ReceiveTimeoutAnswersTimedOut) {
    Pair pair;
    ASSERT_TRUE(pair.ok);
    DWORD timeout = 50;
    ASSERT_EQ(setsockopt(pair.client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<char*>(&timeout), sizeof(timeout)), 0);
    char buffer[4];
    EXPECT_EQ(recv(pair.client, buffer, sizeof(buffer), 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAETIMEDOUT);
}

struct ConditionSeen {
    int calls;
    ULONG callerLength;
    unsigned short callerPort;
};

int CALLBACK Judge(LPWSABUF callerId, LPWSABUF, LPQOS, LPQOS, LPWSABUF, LPWSABUF, GROUP*, DWORD_PTR data) {
    auto* seen = reinterpret_cast<ConditionSeen*>(data);
    ++seen->calls;
    seen->callerLength = callerId->len;
    seen->callerPort = reinterpret_cast<sockaddr_in*>(callerId->buf)->sin_port;
    return seen->calls == 1 ? CF_REJECT : CF_ACCEPT;
}

TEST(PlatformSocket, AcceptConditionSeesTheCallerAndDecides) {
    unsigned short port = 0;
    SOCKET listener = ListenOnLoopback(&port);
    ASSERT_NE(listener, INVALID_SOCKET);
    sockaddr_in address = LoopbackAddress(port);
    SOCKET first = socket(AF_INET, SOCK_STREAM, 0);
    SOCKET second = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(first, AsAddress(&address), sizeof(address)), 0);
    sockaddr_in firstLocal{};
    int length = sizeof(firstLocal);
    ASSERT_EQ(getsockname(first, AsAddress(&firstLocal), &length), 0);

    ConditionSeen seen{0, 0, 0};
    EXPECT_EQ(WSAAccept(listener, nullptr, nullptr, Judge, reinterpret_cast<DWORD_PTR>(&seen)), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSAECONNREFUSED);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.callerLength, 16u);
    EXPECT_EQ(seen.callerPort, firstLocal.sin_port);

    ASSERT_EQ(connect(second, AsAddress(&address), sizeof(address)), 0);
    sockaddr_in caller{};
    length = sizeof(caller);
    SOCKET accepted = WSAAccept(listener, AsAddress(&caller), &length, Judge, reinterpret_cast<DWORD_PTR>(&seen));
    ASSERT_NE(accepted, INVALID_SOCKET);
    EXPECT_EQ(seen.calls, 2);
    EXPECT_EQ(length, 16);
    EXPECT_EQ(caller.sin_port, seen.callerPort);
    EXPECT_EQ(send(second, "ok", 2, 0), 2);
    char buffer[2];
    EXPECT_EQ(recv(accepted, buffer, 2, MSG_WAITALL), 2);
    closesocket(accepted);
    closesocket(first);
    closesocket(second);
    closesocket(listener);
}

// ---------------------------------------------------------------- closing under a blocked call

enum class BlockedCall { Receive, Accept, Select };

struct BlockedCallState {
    SOCKET s;
    BlockedCall call;
    HANDLE entered;
    int result;
};

DWORD WINAPI RunBlockedCall(LPVOID parameter) {
    auto* state = static_cast<BlockedCallState*>(parameter);
    SetEvent(state->entered);
    char buffer[8];
    switch (state->call) {
    case BlockedCall::Receive:
        state->result = recv(state->s, buffer, sizeof(buffer), 0);
        break;
    case BlockedCall::Accept:
        state->result = accept(state->s, nullptr, nullptr) == INVALID_SOCKET ? SOCKET_ERROR : 0;
        break;
    case BlockedCall::Select: {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(state->s, &readable);
        state->result = select(0, &readable, nullptr, nullptr, nullptr);
        break;
    }
    }
    return 0;
}

// Starts the call in another thread, checks that it blocks, closes the
// socket under it and answers the call's result (2 when it did not end).
int CloseUnderBlockedCall(SOCKET s, BlockedCall call) {
    BlockedCallState state{s, call, CreateEventA(nullptr, TRUE, FALSE, nullptr), 2};
    HANDLE thread = CreateThread(nullptr, 0, RunBlockedCall, &state, 0, nullptr);
    EXPECT_EQ(WaitForSingleObject(state.entered, kBoundedWait), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, kStillBlocked), WAIT_TIMEOUT); // the call blocks
    EXPECT_EQ(closesocket(s), 0);
    EXPECT_EQ(WaitForSingleObject(thread, kBoundedWait), WAIT_OBJECT_0); // and ends
    CloseHandle(thread);
    CloseHandle(state.entered);
    return state.result;
}

TEST(PlatformSocket, CloseFromAnotherThreadEndsBlockedReceive) {
    Pair pair;
    ASSERT_TRUE(pair.ok);
    EXPECT_EQ(CloseUnderBlockedCall(pair.client, BlockedCall::Receive), SOCKET_ERROR);
    pair.client = INVALID_SOCKET;
}

TEST(PlatformSocket, CloseFromAnotherThreadEndsBlockedAccept) {
    unsigned short port = 0;
    SOCKET listener = ListenOnLoopback(&port);
    ASSERT_NE(listener, INVALID_SOCKET);
    EXPECT_EQ(CloseUnderBlockedCall(listener, BlockedCall::Accept), SOCKET_ERROR);
}

TEST(PlatformSocket, CloseFromAnotherThreadEndsBlockedSelect) {
    Pair pair;
    ASSERT_TRUE(pair.ok);
    // As on Windows, the closed socket reads as ready.
    EXPECT_EQ(CloseUnderBlockedCall(pair.client, BlockedCall::Select), 1);
    pair.client = INVALID_SOCKET;
}

} // namespace

namespace {

TEST(PlatformSocket, ResolverAndIPv6SocketsAnswerAsWinsockDoes) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    ASSERT_EQ(0, getaddrinfo("localhost", "7000", &hints, &found));
    ASSERT_NE(nullptr, found);
    ASSERT_EQ(AF_INET, found->ai_family);
    ASSERT_EQ(sizeof(sockaddr_in), found->ai_addrlen);
    const sockaddr_in* v4 = reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    EXPECT_EQ(htonl(INADDR_LOOPBACK), v4->sin_addr.s_addr);
    EXPECT_EQ(htons(7000), v4->sin_port);
    freeaddrinfo(found);
    EXPECT_EQ(WSAHOST_NOT_FOUND, getaddrinfo("nonexistent.invalid", nullptr, &hints, &found));
    hints.ai_flags = AI_NUMERICHOST;
    EXPECT_EQ(WSAHOST_NOT_FOUND, getaddrinfo("localhost", nullptr, &hints, &found)); // no literal

    // ::1 as a literal, then a connection over it (where the machine has IPv6 loopback).
    hints.ai_family = AF_INET6;
    found = nullptr;
    ASSERT_EQ(0, getaddrinfo("::1", nullptr, &hints, &found));
    sockaddr_in6 address{};
    ASSERT_EQ(sizeof address, found->ai_addrlen);
    std::memcpy(&address, found->ai_addr, sizeof address);
    freeaddrinfo(found);
    EXPECT_EQ(AF_INET6, address.sin6_family);
    EXPECT_EQ(1, address.sin6_addr.s6_addr[15]);
    SOCKET listener = socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(INVALID_SOCKET, listener);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == SOCKET_ERROR) {
        closesocket(listener);
        GTEST_SKIP() << "no IPv6 loopback here (bind error " << WSAGetLastError() << ")";
    }
    ASSERT_EQ(0, listen(listener, 1));
    sockaddr_in small{};
    int length = sizeof small;
    EXPECT_EQ(SOCKET_ERROR, getsockname(listener, reinterpret_cast<sockaddr*>(&small), &length));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
    length = sizeof address;
    ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length));
    EXPECT_EQ(static_cast<int>(sizeof address), length);
    SOCKET client = socket(AF_INET6, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_EQ(0, connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address));
    sockaddr_in6 peer{};
    length = sizeof peer;
    SOCKET accepted = accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
    ASSERT_NE(INVALID_SOCKET, accepted);
    EXPECT_EQ(AF_INET6, peer.sin6_family);
    closesocket(accepted);
    closesocket(client);
    closesocket(listener);
}

} // namespace

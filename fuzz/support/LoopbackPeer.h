// What the harnesses with a peer on a real loopback connection share: a
// check that aborts (so libFuzzer keeps the input), the listener the peer
// accepts on, a bounded wait for readability, and the check that every
// thread an input started has left the process.
#pragma once

#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#define CHECK(condition)                                                                                               \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            std::fprintf(stderr, "%s: check failed at line %d: %s\n", __FILE__, __LINE__, #condition);                 \
            std::abort();                                                                                              \
        }                                                                                                              \
    } while (0)

namespace LoopbackPeer {

// Starts Windows Sockets and listens on 127.0.0.1 at a port the system
// picks; *address gets it.
inline SOCKET Listen(YNet2::YSocketAddr* address) {
    WSADATA data;
    CHECK(WSAStartup(MAKEWORD(2, 0), &data) == 0);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    address->sin_family = AF_INET;
    address->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address->sin_port = 0;
    int length = YNet2::YSocketAddr::Length;
    CHECK(bind(listener, address->AsSockaddr(), length) == 0);
    CHECK(listen(listener, 4) == 0);
    CHECK(getsockname(listener, address->AsSockaddr(), &length) == 0);
    return listener;
}

inline bool WaitReadable(SOCKET s, long seconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval limit{seconds, 0};
    return select(0, &readable, nullptr, nullptr, &limit) == 1;
}

// Threads of this process, from the system's account.
inline int ThreadCount() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 8, "Threads:") == 0)
            return std::atoi(line.c_str() + 8);
    }
    return -1;
}

// The thread count to come back to. The POSIX layer starts one thread of
// its own with the first CreateThread (it joins the threads that end), so
// the count is taken once that thread exists.
inline DWORD WINAPI NoWork(LPVOID) {
    return 0;
}
inline int BaselineThreadCount() {
    static const bool warmed = [] {
        HANDLE thread = CreateThread(nullptr, 0, NoWork, nullptr, 0, nullptr);
        CHECK(thread != nullptr && WaitForSingleObject(thread, 10000) == WAIT_OBJECT_0);
        CloseHandle(thread);
        return true;
    }();
    (void)warmed;
    return ThreadCount();
}

// Waits until the threads the input started have left the system: a
// receive thread is waited for until it signals its end, and exits just
// after. Checks that none is left behind (and lets the leak check that
// follows each input see every thread gone).
inline void ExpectThreadsBackTo(int threads) {
    auto start = std::chrono::steady_clock::now();
    while (ThreadCount() > threads) {
        CHECK(std::chrono::steady_clock::now() - start < std::chrono::seconds(8));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

} // namespace LoopbackPeer

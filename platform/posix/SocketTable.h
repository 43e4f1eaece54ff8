// Internal header. The table of SOCKET handles.
//
// A SOCKET is a handle of ours: (generation << 18) | (slot << 2), never 0,
// never INVALID_SOCKET, and below 2^31 (positive when read as an int). Each slot holds one descriptor. A call on a
// socket holds the slot (SocketHold) for as long as it uses the descriptor;
// closesocket ends the handle at once (any later call answers WSAENOTSOCK)
// but closes the descriptor only when the last call in flight lets go, so
// no call ever reaches a descriptor number the system has given again to
// someone else. Calls blocked on the socket are woken by shutting the
// descriptor down, and answer SOCKET_ERROR (WSAEINTR), as Windows does.
// A socket set to close abortively (SO_LINGER on, time 0) is shut down for
// receiving only, so that the peer gets the reset without a FIN before it,
// unless a call may be blocked sending: that one needs the full shutdown.
//
// Freed slots wait in a queue, in the order freed, and a slot is taken
// from its front only while the queue holds at least 4096 (the table grows
// otherwise). So each turn of a slot after its first passes at least 4096
// new sockets, whatever the number held open, and its generation of 13 bits
// comes round only after 1 + 8191 * 4096 sockets (33.5 million, over 2^24) opened
// after the close: until then a stale handle answers WSAENOTSOCK. The
// price is the table's limit: 65,535 slots, of which 4,095 stay free, so
// at most 61,440 sockets are open (or still closing) at once; one more
// fails with WSAEMFILE. A process that opens and closes sockets one at a
// time grows the table to some 4,100 entries (about 200 KiB).
//
// A call finds its socket without a process-wide lock: each entry keeps
// its generation, whether it is open and the count of calls in flight in
// one atomic word, which a call raises by compare-and-swap only while the
// word names the handle's generation and the socket is open. closesocket
// clears the open bit in the same way, so from that instant no call can
// join, and the call that brings the count to zero on a closed entry closes
// the descriptor. Only creating and finally closing a socket take the
// table's lock (for the free slots).
#pragma once

#include <atomic>

#include "platform/posix/WinApiPosix.h"

namespace YNetPosix {

// True between the first WSAStartup and the last WSACleanup.
bool WinSockStarted();

// What Winsock knows of a socket beyond its descriptor. Fields change under
// the calls of any thread, hence atomics.
struct SocketEntry {
    DWORD slot = 0; // fixed: the entry's place in the table
    // Generation, open bit and calls in flight (those that may block
    // sending counted apart as well); see SocketTable.cpp.
    std::atomic<unsigned long long> state{0};
    std::atomic<int> fd{-1}; // kept while calls are in flight
    std::atomic<bool> closing{false};
    int type = 0; // SOCK_STREAM or SOCK_DGRAM, set at creation
    std::atomic<bool> nonBlocking{false};
    std::atomic<bool> connecting{false}; // a non-blocking connect is under way
    std::atomic<bool> bound{false};
    std::atomic<bool> receiveShut{false};   // shutdown(SD_RECEIVE or SD_BOTH)
    std::atomic<bool> sendShut{false};      // shutdown(SD_SEND or SD_BOTH)
    std::atomic<bool> abortiveClose{false}; // SO_LINGER on with a zero time: close resets
    std::atomic<bool> connected{false};     // a connect or accept has succeeded
    std::atomic<int> resetError{0};         // WSAECONNRESET once seen: Winsock repeats it
};

// A call's hold on one socket: the descriptor stays open while it lives.
class SocketHold {
public:
    SocketHold() = default;
    SocketHold(SocketEntry* entry, bool sends) : m_Entry(entry), m_Sends(sends) {}
    SocketHold(SocketHold&& other) noexcept : m_Entry(other.m_Entry), m_Sends(other.m_Sends) {
        other.m_Entry = nullptr;
    }
    SocketHold& operator=(SocketHold&& other) noexcept;
    SocketHold(const SocketHold&) = delete;
    SocketHold& operator=(const SocketHold&) = delete;
    ~SocketHold() { Release(); }

    explicit operator bool() const { return m_Entry != nullptr; }
    SocketEntry* operator->() const { return m_Entry; }
    int Fd() const { return m_Entry->fd.load(std::memory_order_relaxed); } // stable while held
    // closesocket was called on the socket while this call held it.
    bool Closed() const { return m_Entry->closing.load(std::memory_order_acquire); }
    void Release();

private:
    SocketEntry* m_Entry = nullptr;
    bool m_Sends = false;
};

// What a call holds a socket for: a call that may block sending (send,
// select on writability) needs a full shutdown to be woken.
enum class HoldFor { Other, Send };

// Holds the socket for a call. On failure sets WSAGetLastError
// (WSANOTINITIALISED, WSAENOTSOCK) and answers an empty hold.
SocketHold HoldSocket(SOCKET s, HoldFor purpose = HoldFor::Other);

// Gives the descriptor a handle (of the given SOCK_* type; connected for
// an accepted one), or closes it and answers INVALID_SOCKET with WSAEMFILE
// when the table is full.
SOCKET AddSocket(int fd, int type, bool nonBlocking, bool connected);

// closesocket: 0, or SOCKET_ERROR with WSAENOTSOCK for a handle that is
// not (or no longer) open.
int CloseSocket(SOCKET s);

// Closes every open socket (the last WSACleanup).
void CloseAllSockets();

// Number of descriptors the table still holds, closed handles whose calls
// are in flight included.
int OpenDescriptorCount();

} // namespace YNetPosix

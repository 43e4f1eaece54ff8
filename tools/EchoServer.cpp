#include "tools/EchoServer.h"

#include <cstdio>
#include <cstring>

#include "message/Scrambler.h"
#include "message/YNetMsgHead.h"
#include "stream/NetStream.h"
#include "stream/_block.h"

// Windows commits the whole stack size given to CreateThread unless told it
// is a reservation; elsewhere the flag does not exist and is not needed.
#ifndef STACK_SIZE_PARAM_IS_A_RESERVATION
#define STACK_SIZE_PARAM_IS_A_RESERVATION 0
#endif

namespace YNet2Tools {
namespace {

// 1,000 connection threads must fit in a 32-bit address space.
constexpr DWORD kThreadStack = 256 * 1024;
constexpr ULONG kBlockBytes = YNet2::_block::Size; // room of one receive block
constexpr int kMaxMessage = 1440;

ULONG ReadCounter(const LONG volatile& counter) {
    return static_cast<ULONG>(InterlockedCompareExchange(const_cast<LONG volatile*>(&counter), 0, 0));
}

HANDLE StartThread(LPTHREAD_START_ROUTINE routine, void* parameter) {
    return CreateThread(nullptr, kThreadStack, routine, parameter, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
}

} // namespace

void EchoObserver::OnAccepted(DWORD, ULONG, WORD) {}
void EchoObserver::OnMessage(DWORD, const BYTE*, int) {}
void EchoObserver::OnClosed(DWORD, const char*) {}

struct EchoServer::Connection {
    EchoServer* server;
    DWORD id;
    // The socket is closed by whichever comes first: the connection's own
    // thread when it ends, or Stop to wake that thread. socketLock guards the
    // handle value; no socket call blocks under it.
    SOCKET socket;
    CRITICAL_SECTION socketLock;
    CRITICAL_SECTION sendLock; // held for one whole message: echoes and broadcasts never interleave
    HANDLE thread;
    LONG volatile finished; // 1 once the thread will touch nothing but its own exit
    DWORD echoed;           // the connection thread's own count
    Connection* next;       // m_Connections, under m_ListLock
};

EchoServer::EchoServer(const EchoOptions& options, EchoObserver* observer)
    : m_Options(options), m_Observer(observer), m_Port(0), m_Address{}, m_AddressLength(0), m_Listener(INVALID_SOCKET),
      m_ListenerThread(nullptr), m_Stopping(0), m_NextId(1), m_Connections(nullptr), m_Accepted(0), m_Echoed(0),
      m_Closed(0), m_Refused(0) {
    InitializeCriticalSection(&m_ListLock);
    m_Changed = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

EchoServer::~EchoServer() {
    Stop();
    if (m_Changed != nullptr)
        CloseHandle(m_Changed);
    DeleteCriticalSection(&m_ListLock);
}

LONG EchoServer::Start(WORD port) {
    if (m_ListenerThread != nullptr)
        return E_FAIL;
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (int error = getaddrinfo(m_Options.listen != nullptr ? m_Options.listen : "127.0.0.1", nullptr, &hints, &found))
        return error;
    sockaddr_in6 address{};
    int length = static_cast<int>(found->ai_addrlen);
    std::memcpy(&address, found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    address.sin6_port = htons(port); // where sin_port lies too

    SOCKET listener = socket(address.sin6_family, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET)
        return WSAGetLastError();
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), length) == SOCKET_ERROR ||
        listen(listener, SOMAXCONN) == SOCKET_ERROR ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == SOCKET_ERROR) {
        LONG error = WSAGetLastError();
        closesocket(listener);
        return error;
    }

    m_Listener = listener;
    m_Address = address;
    m_AddressLength = length;
    m_Port = ntohs(address.sin6_port);
    InterlockedExchange(&m_Stopping, 0);
    m_ListenerThread = StartThread(ListenerMain, this);
    if (m_ListenerThread == nullptr) {
        closesocket(m_Listener);
        m_Listener = INVALID_SOCKET;
        m_Port = 0;
        return E_FAIL;
    }
    return 0;
}

void EchoServer::Stop() {
    if (m_ListenerThread == nullptr)
        return;
    InterlockedExchange(&m_Stopping, 1);

    // Wake the listener with a connection of our own rather than by closing
    // its socket under it: a blocked accept is not woken by closesocket on
    // every system. The listener sees m_Stopping and closes what it got.
    SOCKET waker = socket(m_Address.sin6_family, SOCK_STREAM, IPPROTO_TCP);
    const bool woken = waker != INVALID_SOCKET &&
                       connect(waker, reinterpret_cast<sockaddr*>(&m_Address), m_AddressLength) != SOCKET_ERROR;
    if (!woken)
        closesocket(m_Listener); // last resort; the field keeps its value until the listener is joined
    WaitForSingleObject(m_ListenerThread, INFINITE);
    CloseHandle(m_ListenerThread);
    m_ListenerThread = nullptr;
    if (waker != INVALID_SOCKET)
        closesocket(waker);
    if (woken)
        closesocket(m_Listener);
    m_Listener = INVALID_SOCKET;

    // No thread adds to the list any more. Close every socket to wake its
    // thread, then join them all.
    EnterCriticalSection(&m_ListLock);
    Connection* connections = m_Connections;
    m_Connections = nullptr;
    for (Connection* c = connections; c != nullptr; c = c->next)
        CloseSocket(*c, m_Options.reset);
    LeaveCriticalSection(&m_ListLock);
    while (connections != nullptr) {
        Connection* c = connections;
        connections = c->next;
        WaitForSingleObject(c->thread, INFINITE);
        CloseHandle(c->thread);
        DeleteCriticalSection(&c->sendLock);
        DeleteCriticalSection(&c->socketLock);
        delete c;
    }
    m_Port = 0;
}

int EchoServer::Broadcast(const void* message, int length) {
    int reached = 0;
    EnterCriticalSection(&m_ListLock);
    for (Connection* c = m_Connections; c != nullptr; c = c->next) {
        if (InterlockedCompareExchange(&c->finished, 0, 0) == 0 && SendWhole(*c, message, length))
            ++reached;
    }
    LeaveCriticalSection(&m_ListLock);
    return reached;
}

LONG EchoServer::Accepted() const {
    return static_cast<LONG>(ReadCounter(m_Accepted));
}
LONG EchoServer::Echoed() const {
    return static_cast<LONG>(ReadCounter(m_Echoed));
}
LONG EchoServer::Closed() const {
    return static_cast<LONG>(ReadCounter(m_Closed));
}
LONG EchoServer::Refused() const {
    return static_cast<LONG>(ReadCounter(m_Refused));
}

bool EchoServer::WaitForAccepted(LONG count, DWORD milliseconds) const {
    return WaitFor(m_Accepted, count, milliseconds);
}
bool EchoServer::WaitForEchoed(LONG count, DWORD milliseconds) const {
    return WaitFor(m_Echoed, count, milliseconds);
}
bool EchoServer::WaitForClosed(LONG count, DWORD milliseconds) const {
    return WaitFor(m_Closed, count, milliseconds);
}

bool EchoServer::WaitFor(const LONG volatile& counter, LONG count, DWORD milliseconds) const {
    const DWORD start = GetTickCount();
    for (;;) {
        // Reset before looking: a rise after the look sets the event again.
        ResetEvent(m_Changed);
        if (static_cast<LONG>(ReadCounter(counter)) >= count)
            return true;
        const DWORD spent = GetTickCount() - start;
        if (spent >= milliseconds)
            return false;
        // Several waiters share the event and one may reset it under
        // another: wait in short slices so that none misses a rise for long.
        DWORD slice = milliseconds - spent;
        if (slice > 50)
            slice = 50;
        WaitForSingleObject(m_Changed, slice);
    }
}

void EchoServer::Count(LONG volatile& counter) {
    InterlockedIncrement(&counter);
    SetEvent(m_Changed);
}

DWORD WINAPI EchoServer::ListenerMain(LPVOID self) {
    static_cast<EchoServer*>(self)->AcceptLoop();
    return 0;
}

void EchoServer::AcceptLoop() {
    for (;;) {
        sockaddr_in6 peer{}; // room for either family
        int length = sizeof(peer);
        SOCKET accepted = accept(m_Listener, reinterpret_cast<sockaddr*>(&peer), &length);
        if (InterlockedCompareExchange(&m_Stopping, 0, 0) != 0) {
            if (accepted != INVALID_SOCKET)
                closesocket(accepted);
            return;
        }
        if (accepted == INVALID_SOCKET) {
            const int error = WSAGetLastError();
            if (error == WSAEMFILE || error == WSAENOBUFS) {
                // Out of handles: free what ended connections hold, then retry.
                ReapFinished();
                Sleep(10);
                continue;
            }
            // That client gave up before we took it. Wine's accept fails
            // with WSAENOTCONN when the peer's reset lands between taking
            // the connection and reading its address (it closes it then).
            if (error == WSAECONNRESET || error == WSAECONNABORTED || error == WSAEINTR || error == WSAENOTCONN)
                continue;
            return;
        }
        ReapFinished();

        BOOL noDelay = TRUE; // echoes go out at once, not after the client's next message
        setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay), sizeof(noDelay));

        auto* c = new Connection{};
        c->server = this;
        c->id = m_NextId++;
        c->socket = accepted;
        InitializeCriticalSection(&c->socketLock);
        InitializeCriticalSection(&c->sendLock);
        if (m_Observer != nullptr)
            m_Observer->OnAccepted(
                c->id, peer.sin6_family == AF_INET ? reinterpret_cast<sockaddr_in&>(peer).sin_addr.s_addr : 0,
                peer.sin6_port);

        // Listed before its thread starts, so that Stop always finds it.
        // Counted under the list lock and before the thread can echo: whoever
        // sees an echo sees the accept too, and whoever waited for the count
        // reaches the connection with Broadcast (which takes the same lock).
        EnterCriticalSection(&m_ListLock);
        Count(m_Accepted);
        c->thread = StartThread(ConnectionMain, c);
        if (c->thread != nullptr) {
            c->next = m_Connections;
            m_Connections = c;
        }
        LeaveCriticalSection(&m_ListLock);
        if (c->thread == nullptr) {
            closesocket(accepted);
            if (m_Observer != nullptr)
                m_Observer->OnClosed(c->id, "no thread for the connection");
            Count(m_Closed);
            DeleteCriticalSection(&c->sendLock);
            DeleteCriticalSection(&c->socketLock);
            delete c;
        }
    }
}

void EchoServer::ReapFinished() {
    Connection* done = nullptr;
    EnterCriticalSection(&m_ListLock);
    for (Connection** link = &m_Connections; *link != nullptr;) {
        Connection* c = *link;
        if (InterlockedCompareExchange(&c->finished, 0, 0) != 0) {
            *link = c->next;
            c->next = done;
            done = c;
        } else {
            link = &c->next;
        }
    }
    LeaveCriticalSection(&m_ListLock);
    while (done != nullptr) {
        Connection* c = done;
        done = c->next;
        WaitForSingleObject(c->thread, INFINITE); // returns at once: the thread is at its end
        CloseHandle(c->thread);
        DeleteCriticalSection(&c->sendLock);
        DeleteCriticalSection(&c->socketLock);
        delete c;
    }
}

DWORD WINAPI EchoServer::ConnectionMain(LPVOID connection) {
    auto* c = static_cast<Connection*>(connection);
    c->server->Serve(*c);
    return 0;
}

// The receive side of the stream: one large receive at a time into the
// block the stream hands out (exactly the missing bytes while a message is
// pending), then every whole message is consumed in place, by runs.
void EchoServer::Serve(Connection& c) {
    char reason[96];
    bool orderly = false; // the server ends it: an orderly (or, with the reset option, abortive) close
    reason[0] = '\0';

    if (m_Options.extra != EchoExtra::None && m_Options.extraAfter == 0 && !SendExtra(c))
        std::snprintf(reason, sizeof(reason), "send failed (%d)", WSAGetLastError());

    YNet2::NetStream stream;
    YNet2::_block* block = nullptr;
    // Bytes in block by our own count: once a block is full and consumed
    // the stream may give it back to the pool, and another connection may
    // be receiving into it; this thread no longer reads its fields then.
    ULONG filled = 0;
    ULONG remaining = 0;
    while (reason[0] == '\0') {
        // The rest of a pending message exactly; otherwise the room left in
        // the current block while it is large, or a whole fresh block.
        const ULONG room = block != nullptr ? kBlockBytes - filled : 0;
        ULONG want = remaining;
        if (want == 0)
            want = room >= static_cast<ULONG>(kMaxMessage) ? room : static_cast<ULONG>(kBlockBytes);
        // The stream answers with the same block exactly when its room holds want.
        const bool fresh = block == nullptr || room < want;
        block = stream.Request(block, want);
        if (block == nullptr) {
            std::snprintf(reason, sizeof(reason), "no receive block left");
            break;
        }
        if (fresh)
            filled = block->m_Len; // 0, or the pending message's bytes moved along
        int ask = static_cast<int>(kBlockBytes - filled);
        if (static_cast<ULONG>(ask) > want)
            ask = static_cast<int>(want);

        EnterCriticalSection(&c.socketLock);
        const SOCKET s = c.socket;
        LeaveCriticalSection(&c.socketLock);
        const int received = recv(s, reinterpret_cast<char*>(block->m_Bytes) + filled, ask, 0);
        if (received == 0) {
            std::snprintf(reason, sizeof(reason), "closed by the client");
            break;
        }
        if (received == SOCKET_ERROR) {
            const int error = WSAGetLastError();
            if (InterlockedCompareExchange(&m_Stopping, 0, 0) != 0)
                std::snprintf(reason, sizeof(reason), "server stopped");
            else if (error == WSAECONNRESET)
                std::snprintf(reason, sizeof(reason), "reset by the client");
            else
                std::snprintf(reason, sizeof(reason), "receive failed (%d)", error);
            break;
        }
        if (stream.Analyse_InData(static_cast<ULONG>(received), block, remaining) < 0) {
            Count(m_Refused);
            std::snprintf(reason, sizeof(reason), "refused: the bytes do not form messages");
            orderly = true;
            break;
        }
        filled += static_cast<ULONG>(received);

        // Every whole message there is, a run at a time under one claim; the
        // messages of a run are consumed when the next run is taken.
        YNet2::NetMsgRun run;
        bool held = false;
        while (reason[0] == '\0' && (held = stream.Process_Run(run))) {
            while (YNet2::YNetMsgHead* head = run.Next()) {
                const int size = head->GetSize();
                if (size < 4 || size > kMaxMessage) { // the stream refuses these; never echo one
                    Count(m_Refused);
                    std::snprintf(reason, sizeof(reason), "refused: message size %d", size);
                    orderly = true;
                    break;
                }
                if (!Echo(c, reinterpret_cast<BYTE*>(head), size)) {
                    std::snprintf(reason, sizeof(reason), "send failed (%d)", WSAGetLastError());
                    break;
                }
                ++c.echoed;
                Count(m_Echoed);
                if (m_Options.closeAfter != 0 && c.echoed >= m_Options.closeAfter) {
                    std::snprintf(reason, sizeof(reason), "closed after %u message(s)%s",
                                  static_cast<unsigned>(c.echoed), m_Options.reset ? " with a reset" : "");
                    orderly = true;
                    break;
                }
                if (m_Options.extra != EchoExtra::None && m_Options.extraAfter == c.echoed && !SendExtra(c)) {
                    std::snprintf(reason, sizeof(reason), "send failed (%d)", WSAGetLastError());
                    break;
                }
            }
        }
        if (held)
            stream.BrushRun(run); // left inside a run
    }

    stream.Release(); // neither side is active any more
    Finish(c, reason, orderly);
}

bool EchoServer::Echo(Connection& c, BYTE* message, int size) {
    BYTE unused = 0;
    if (size > 4)
        YNet2::Decode(message + 4, static_cast<DWORD>(size - 4), unused);
    if (m_Observer != nullptr)
        m_Observer->OnMessage(c.id, message, size);
    if (size > 4)
        YNet2::Encode(message + 4, static_cast<DWORD>(size - 4), unused);
    return SendWhole(c, message, size);
}

// A client that stops reading must not hold a send forever: not every
// system wakes a send blocked on a full buffer when another thread closes
// the socket (Wine does not). So each send waits for room first, in short
// slices that look whether the socket was closed meanwhile; with room, a
// send of one message does not block.
bool EchoServer::SendWhole(Connection& c, const void* bytes, int length) {
    EnterCriticalSection(&c.sendLock);
    int sent = 0;
    while (sent < length) {
        EnterCriticalSection(&c.socketLock);
        const SOCKET s = c.socket;
        LeaveCriticalSection(&c.socketLock);
        if (s == INVALID_SOCKET)
            break;
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(s, &writable);
        timeval slice{0, 100 * 1000};
        const int ready = select(0, nullptr, &writable, nullptr, &slice);
        if (ready < 0)
            break;
        if (ready == 0)
            continue;
        const int n = send(s, static_cast<const char*>(bytes) + sent, length - sent, 0);
        if (n <= 0)
            break;
        sent += n;
    }
    LeaveCriticalSection(&c.sendLock);
    return sent == length;
}

bool EchoServer::SendExtra(Connection& c) {
    if (m_Options.extra == EchoExtra::HeadOnly)
        return SendWhole(c, kHeadOnlyMessage, sizeof(kHeadOnlyMessage));
    // A head announcing one byte over the limit, with the body it announces:
    // a receiver that honoured the head would read all of it.
    BYTE oversized[kOversizedSize] = {};
    YNet2::YNetMsgHead head;
    head.SetHead(static_cast<WORD>(kOversizedSize), 1, 0, false, true, false);
    static_assert(sizeof(head) == 4, "the head is its 4-byte wire image");
    std::memcpy(oversized, &head, sizeof(head));
    return SendWhole(c, oversized, kOversizedSize);
}

void EchoServer::CloseSocket(Connection& c, bool abortive) {
    EnterCriticalSection(&c.socketLock);
    if (c.socket != INVALID_SOCKET) {
        if (abortive) {
            linger hard{1, 0}; // close resets the connection and drops unsent bytes
            setsockopt(c.socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof(hard));
            shutdown(c.socket, SD_RECEIVE);
        } else {
            shutdown(c.socket, SD_BOTH);
        }
        closesocket(c.socket);
        c.socket = INVALID_SOCKET;
    }
    LeaveCriticalSection(&c.socketLock);
}

// Ends the connection from its own thread. An orderly close sends the end
// of the stream first and then reads until the client closes too: closing
// with unread bytes would make the system reset the connection instead.
// The reading ends when the client closes or when Stop closes the socket.
void EchoServer::Finish(Connection& c, const char* reason, bool orderly) {
    if (orderly && !m_Options.reset) {
        EnterCriticalSection(&c.socketLock);
        const SOCKET s = c.socket;
        if (s != INVALID_SOCKET)
            shutdown(s, SD_SEND);
        LeaveCriticalSection(&c.socketLock);
        char sink[kBlockBytes];
        while (s != INVALID_SOCKET && recv(s, sink, sizeof(sink), 0) > 0) {
        }
    }
    CloseSocket(c, orderly && m_Options.reset);
    if (m_Observer != nullptr)
        m_Observer->OnClosed(c.id, reason);
    Count(m_Closed);
    InterlockedExchange(&c.finished, 1);
}

} // namespace YNet2Tools

// Internal header. EchoServer: a loopback peer that speaks the library's wire format.
//
// The server listens on 127.0.0.1, gives each accepted connection a thread
// of its own and echoes every message it receives: it unscrambles the body
// (Decode), shows the plain message to its observer, scrambles it again
// (Encode) and sends head and body back. It receives through a NetStream:
// large receives into pool blocks, whole messages handed out in place.
//
// It is a test peer, not a product server, but it is meant to be solid: it
// survives any byte sequence (a head the stream refuses cuts that
// connection only), any number of connections (1,000 and more: threads get
// modest stacks) and Stop at any moment. Options provoke a client's edge
// cases: closing or resetting after N echoes, sending a head-only message
// or a head that announces more than the 1440-byte limit.
//
// Threads: Start, Stop, Broadcast and the destructor are called by the
// owner, one at a time (never from an observer callback). The counters and
// the Wait* functions may be used from any thread. Observer callbacks run on
// the listener thread (OnAccepted) and on the connection threads (the
// rest), concurrently for different connections.
#pragma once

#include "platform/WinApi.h"

namespace YNet2Tools {

// What the server sends of its own accord, besides the echoes.
enum class EchoExtra {
    None,
    HeadOnly,  // the 4 bytes of kHeadOnlyMessage
    Oversized, // a head announcing kOversizedSize bytes, then that many bytes minus the head
};

// Size 4, main ID 1, assistant ID 0, respond flag: a head-only message.
inline constexpr BYTE kHeadOnlyMessage[4] = {0x04, 0x00, 0x06, 0x00};
// One byte over the 1440-byte limit that every receiver of the library enforces.
inline constexpr int kOversizedSize = 1441;

struct EchoOptions {
    // Close each connection once it has echoed this many messages; 0: never.
    DWORD closeAfter = 0;
    // Every close the server makes is abortive (the client reads a reset,
    // 10054) instead of orderly (the client reads the end of the stream).
    bool reset = false;
    // A message the server sends of its own accord, once per connection...
    EchoExtra extra = EchoExtra::None;
    // ...as soon as the connection is accepted (0), or right after its Nth echo.
    DWORD extraAfter = 0;
    // The address to listen on, an IPv4 or IPv6 literal ("::1"); null: 127.0.0.1.
    const char* listen = nullptr;
};

// Told what happens on the server. The default does nothing for each.
class EchoObserver {
public:
    virtual ~EchoObserver() = default;
    // A connection was accepted; address (IPv4, 0 for an IPv6 peer) and port
    // are in network byte order.
    virtual void OnAccepted(DWORD connection, ULONG address, WORD port);
    // A whole message was received: head and unscrambled body, valid only
    // during the call. It is echoed after the call returns.
    virtual void OnMessage(DWORD connection, const BYTE* message, int length);
    // The connection is over; reason says who ended it and how.
    virtual void OnClosed(DWORD connection, const char* reason);
};

class EchoServer {
public:
    // observer may be null; it is not owned and must outlive Stop.
    explicit EchoServer(const EchoOptions& options = EchoOptions(), EchoObserver* observer = nullptr);
    ~EchoServer(); // Stop()
    EchoServer(const EchoServer&) = delete;
    EchoServer& operator=(const EchoServer&) = delete;

    // Listens on 127.0.0.1:port, or the options' listen address (0: an
    // ephemeral port, see Port()) and starts accepting. 0 on success,
    // otherwise the Windows Sockets error code of the step that failed
    // (WSAHOST_NOT_FOUND for a listen address that is no literal), or
    // E_FAIL when the server already runs or its listener thread could not
    // be created.
    LONG Start(WORD port = 0);
    // The port the server listens on (host byte order); 0 before Start.
    WORD Port() const { return m_Port; }

    // Stops accepting, closes every connection (abortively with the reset
    // option), joins every thread and frees everything. Idempotent; the
    // server may be started again afterwards.
    void Stop();

    // Sends length bytes, sent as they are (the caller scrambles), to every
    // open connection, whole and never interleaved with an echo. Returns the
    // number of connections that took the whole message. Waits while a
    // connection's buffers are full (its client does not read).
    int Broadcast(const void* message, int length);

    // Counters since construction, readable from any thread.
    LONG Accepted() const; // connections accepted
    LONG Echoed() const;   // messages echoed, over all connections
    LONG Closed() const;   // connections whose thread has finished
    LONG Refused() const;  // connections cut because their bytes did not form messages
    LONG Open() const { return Accepted() - Closed(); }

    // Wait until the counter reaches at least count; false when milliseconds
    // passed first.
    bool WaitForAccepted(LONG count, DWORD milliseconds) const;
    bool WaitForEchoed(LONG count, DWORD milliseconds) const;
    bool WaitForClosed(LONG count, DWORD milliseconds) const;

private:
    struct Connection;

    static DWORD WINAPI ListenerMain(LPVOID self);
    static DWORD WINAPI ConnectionMain(LPVOID connection);
    void AcceptLoop();
    void Serve(Connection& connection);
    bool Echo(Connection& connection, BYTE* message, int size);
    bool SendWhole(Connection& connection, const void* bytes, int length);
    bool SendExtra(Connection& connection);
    void CloseSocket(Connection& connection, bool abortive);
    void Finish(Connection& connection, const char* reason, bool orderly);
    void ReapFinished();
    void Count(LONG volatile& counter);
    bool WaitFor(const LONG volatile& counter, LONG count, DWORD milliseconds) const;

    EchoOptions m_Options;
    EchoObserver* m_Observer;
    WORD m_Port;
    sockaddr_in6 m_Address; // where it listens: an IPv4 (sockaddr_in) or IPv6 address
    int m_AddressLength;
    SOCKET m_Listener;
    HANDLE m_ListenerThread;
    LONG volatile m_Stopping;
    DWORD m_NextId;

    CRITICAL_SECTION m_ListLock; // guards m_Connections and each connection's list link
    Connection* m_Connections;   // every connection whose thread has not been joined

    HANDLE m_Changed; // manual-reset: set whenever a counter grows
    LONG volatile m_Accepted;
    LONG volatile m_Echoed;
    LONG volatile m_Closed;
    LONG volatile m_Refused;
};

} // namespace YNet2Tools

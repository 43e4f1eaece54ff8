// Public header. TCPClient: one TCP connection to a server, with its own receive thread.
/// @file
/// @brief TCPClient: one TCP connection to a server, with its own receive thread.
///
/// The owner's thread connects (Init), sends (SendMsg, Send) and ends the
/// connection (Release, Wait_Release). The receive thread (Run) reads whole
/// messages, unscrambles each body and hands the message to the owner's
/// MsgWorker; it posts "thread started" (wParam 2) and "thread ended"
/// (wParam 3), Init posts "connected" (wParam 1). Calling order for the owner:
///
/// @code
///   TCPClient client(&worker);
///   client.Init(addr);               // connect, start the receive thread
///   client.SendMsg(0, msg, length);  // any thread, the worker's handler too
///   client.Wait_Release();           // close, wait for the receive thread
/// @endcode
///
/// The client is itself the connection: it ignores the connection argument of
/// the kernel operations and hands out 0 wherever it passes one on.
///
/// m_State bits: 1 socket opened, 2 connected, 4 receive thread running;
/// they change together with the state below, in one place.
///
/// The connection's life: the one state table (GetLife tells the state;
/// docs/design-notes.md says how it is kept, CallScope how calls commit):
///
/// @code{.unparsed}
///   IDLE        no thread, no socket (new, or after Wait_Release)
///   CONNECTING  inside Init, until it commits (goes LIVE) or fails: its
///               name lookup, then its socket, is registered (ending calls
///               reach it; an abandoned lookup finishes by itself on its
///               own thread), no socket is held: senders get 0, as
///               without a socket. An ending call from another thread
///               made at any moment of an Init (from its first step on,
///               ending the connection held) makes it fail
///   LIVE        connected, the receive thread reads the socket held
///   CUT         the thread was cut (peer, Disconnect, Release, a handler's
///               non-zero result) and ends, or has ended: it takes no socket
///               any more; a socket that Reconnect brings is held unread
///   ENDING      destruction has begun
/// @endcode
///
/// @code{.unparsed}
///   call         IDLE             CONNECTING        LIVE                   CUT               ENDING
///                                 (another thread's
///                                 Init under way)
///   Init         connects, starts (one owner call   ends the connection,   as in LIVE        -
///                the thread:      at a time)        waits for the thread,
///                0 or E_FAIL                        connects
///   Reconnect    E_FAIL on a new  -                 new socket swapped     new socket held   E_FAIL (one
///                client (no                         under the thread,      unread: 0         under way wakes)
///                address), else                     no cut: 0
///                as in CUT
///   Disconnect   nothing          Init fails        reset; the thread      closes a socket   -
///                                                   is cut and ends        held
///   Release      nothing          Init fails        as Disconnect          nothing more      -
///   Wait_Release nothing          Init fails        close, wait for        waits for the     -
///                                                   the thread             thread
///   destruction  frees            Init: E_FAIL,     as Wait_Release        as Wait_Release   -
///                                 waited for
///   Send         0                0                 sent whole, or -1      0, or a socket    -
///                                                                          Reconnect brought
/// @endcode
///
/// Senders and the receive thread: in LIVE each whole Send reaches the wire
/// whole; in every other state a Send finds no socket (0) or the socket a
/// Reconnect brought. The receive thread starts in LIVE (Init posts
/// "connected" right after starting it, so the thread's own "started" may
/// come first; TCPClient_Socks5 posts it before; the C interface delivers
/// CONNECTED before any callback) and calls the worker until the cut: one ConnectionCut
/// and one MsgThreadEnd per thread, in every way a thread ends. Calls may
/// overlap from any thread: Disconnect, Release, Wait_Release and destruction
/// end an Init or Reconnect under way on another thread (its name lookup,
/// connect, handshake) at once, and an Init that has not gone live yet
/// fails whichever step it is at; Disconnect and Release may come from the worker's callbacks
/// (the thread then ends once the callback returns; from ConnectionCut and
/// MsgThreadEnd, or once a call has ended the thread's connection - an Init
/// waiting for the thread -, they end that thread's connection only, not a
/// call under way on another thread); Init, Reconnect and
/// Wait_Release from a callback cannot wait for their own thread.
///
/// Threads and ownership:
///   - The socket's life is m_Socket's (ClientSocket.h lists its rules): it
///     holds the handle, counts the blocking calls in it (connect, send,
///     recv, select), closes a handle in use only once its last call has
///     left, and hands a Reconnect's new socket to the ending calls. m_State
///     is shared by the owner's thread, the receive thread and senders under
///     m_Lock.
///   - Sends are serialised per connection: a message is always written to
///     the wire whole, whichever threads send at once.
///   - The worker is the owner's; the client never deletes it. m_Data is the
///     owner's pointer, never used here.
///   - Destruction from another thread closes the connection and waits for a
///     running receive thread and for every owner call under way (running
///     meanwhile the messages sent to its thread's windows). A client may also be destroyed from its own
///     receive thread (inside HandleMessage, ConnectionCut, MsgThreadBegin or
///     MsgThreadEnd): the thread then ends at once, without another call to
///     the worker and without posting "thread ended", once every owner call
///     under way on other threads has left (one that waits for this thread,
///     Wait_Release or an Init ending the connection, gives its wait up).
///     Derived classes see EndReceiveThread.
///   - Ending waits (Wait_Release, destruction) run the messages other
///     threads send to the waiting thread's windows, so a handler may
///     SendMessage to the owner's window while the owner ends the client;
///     posted messages stay queued.
///
/// What the design keeps and a user can trip over:
///   - A call that begins on a client already being destroyed is not
///     allowed (calls under way when destruction begins are ended, above).
///   - Wait_Release called on the receive thread (from a worker callback)
///     does not wait: it closes the socket, and the thread ends once the
///     callback returns, as after Release.
///   - Copies of a client share one socket handle. Once one copy has closed
///     it, the value the other holds may, on Windows, name another socket
///     later on: keep one copy the owner and let the others only send while
///     it lives.
#pragma once

#include <atomic>

#include "client/ClientNetKernel.h"
#include "client/ClientSocket.h"
#include "client/MsgWorker.h"
#include "platform/WinApi.h"
#include "socket/YSocket.h"
#include "socket/YSocketAddr.h"
#include "socket/YSocketTarget.h"

namespace YNet2 {

/// One TCP connection to a server, with its own receive thread. The calling
/// order, the state bits and the rules for threads and ownership are in the
/// description of TCPClient.h.
class YNET_API TCPClient : public ClientNetKernel {
public:
    /// Largest whole message, head included; a bigger head cuts the connection.
    static constexpr int kMaxMessage = 1440;

    /// A client that hands what it receives to worker (not owned, never null).
    explicit TCPClient(MsgWorker* worker);
    /// Copies the fields as they stand: both objects then hold the same
    /// socket handle and worker, and the caller keeps one owner of the
    /// socket. The copy has no thread, no handle in use and nothing buffered.
    /// Once one of them has closed the handle, the value the other holds may
    /// name another socket on Windows (a handle value is reused there).
    ///@{
    TCPClient(const TCPClient& other);
    TCPClient& operator=(const TCPClient& other);
    ///@}
    ~TCPClient() override;

    /// Owner's thread: connects to addr (blocking), starts the receive
    /// thread and posts "connected". 0 or E_FAIL (logged). A connection the
    /// client still holds is ended first and its receive thread waited for
    /// (a socket that Reconnect brought after the thread ended is closed);
    /// the new socket is seen by senders only once it is connected.
    LONG Init(YSocketAddr& addr);

    /// Owner's thread, as Init(addr), to a target by host name or IPv4
    /// literal. A name is resolved here (IPv4 addresses; the resolution is
    /// held to the bound of SetConnectTimeout, when one is set) and its
    /// addresses are tried in the resolver's order until one connects: a
    /// failed connect logs its line and the next address is tried. A target
    /// that Check refuses, a name that does not resolve ("host not found")
    /// and an IPv6 target (a direct connection is IPv4; see TCPClient_Socks5)
    /// end it with E_FAIL and a log line, before any socket is made. The
    /// lookup runs on a thread of its own that an ending call from another
    /// thread abandons (E_FAIL at once); at most 8 such threads run at
    /// once in the process, and a lookup that finds them all running waits
    /// its turn within the bound (E_FAIL, saying so, when it runs out while
    /// all 8 are abandoned or timed out lookups).
    /// A connection the client holds is ended (its thread waited for)
    /// before the lookup, so its callbacks cannot end it; a target that
    /// Check refuses leaves it as it was. Reconnect then resolves the name
    /// again.
    LONG Init(const YSocketTarget& target);

    /// Owner's thread: a new socket connected to the address of the last
    /// Init. 0, or E_FAIL (logged) with the client as it was before. Changes
    /// no state bit, starts no thread, posts nothing, calls no worker.
    ///   - The new socket is connected first; only then does it replace the
    ///     socket held, which is retired as a close of the owner's retires
    ///     it (a receive blocked on it wakes; it is closed, gracefully, once
    ///     its last user has left), so nothing of it leaks.
    ///   - A receive thread that is still running carries on with the new
    ///     socket, without ConnectionCut: bytes and messages of the old
    ///     connection not yet handed out are dropped, a message it cut short
    ///     included; the new connection starts on a message boundary.
    ///   - A receive thread that has ended is not restarted: the socket is
    ///     held (IsConnect stays false) until Init or destruction closes it.
    ///   - Disconnect, Release, Wait_Release or destruction from another
    ///     thread while Reconnect runs wakes its calls on the new socket:
    ///     E_FAIL, nothing replaced. That ends a name's lookup (at once), a
    ///     proxy handshake, and a connect where shutdown wakes one (Linux);
    ///     SetConnectTimeout bounds a connect everywhere.
    LONG Reconnect();

    /// Opt-in bound on the connect of Init and Reconnect, in milliseconds; 0
    /// (the default) sets none, and the connect then blocks as long as the
    /// system keeps trying (minutes, against a peer that never answers). A
    /// connect still under way when the bound runs out fails like any other,
    /// with WSAETIMEDOUT (10060) as its error code. Any thread; it applies to
    /// the connects that begin after it. A copy takes the bound along.
    ///@{
    void SetConnectTimeout(DWORD milliseconds);
    DWORD GetConnectTimeout() const;
    ///@}

    /// TCP_NODELAY on the connection's sockets. On (the default), each
    /// message leaves as soon as it is handed over. Off, the system holds a
    /// small message back while an earlier one is unacknowledged (Nagle's
    /// algorithm): a request of two messages then waits for the server's
    /// delayed acknowledgement, some 40 ms. The bytes on the wire are the
    /// same either way. Any thread; it applies to the sockets that Init and
    /// Reconnect make after it (to the server or to a proxy); a live
    /// connection keeps what it was made with. A copy takes it along.
    ///@{
    void SetNoDelay(bool on);
    bool GetNoDelay() const;
    ///@}

    /// TCP keepalive on the connection's sockets: after idleMs without
    /// traffic the system sends a probe, then one every intervalMs; count
    /// probes unanswered drop the connection. The receive thread then sees
    /// its receive fail (WSAETIMEDOUT), logs one line saying that the peer
    /// stopped answering, and cuts the connection as for any receive error
    /// (the worker's ConnectionCut). idleMs 0 turns it off (the system
    /// default; the other two are then ignored). On by default, with
    /// kKeepAliveIdleMs, kKeepAliveIntervalMs and kKeepAliveCount: a peer
    /// that vanished is noticed within two minutes of silence. The system
    /// counts whole seconds on Linux (the times are rounded up); Windows
    /// before 10 version 1703 (and Wine 8) has no way to set the count and
    /// keeps its own (10).
    /// Refused (false, the setting unchanged) unless idleMs is 0 or all of:
    /// idleMs and intervalMs at most 32767000, intervalMs at least 1, count
    /// 0 (the system's own) to 127. Any thread; applies as SetNoDelay does.
    ///@{
    static constexpr DWORD kKeepAliveIdleMs = 60000;
    static constexpr DWORD kKeepAliveIntervalMs = 10000;
    static constexpr DWORD kKeepAliveCount = 6;
    bool SetKeepAlive(DWORD idleMs, DWORD intervalMs, DWORD count);
    void GetKeepAlive(DWORD* idleMs, DWORD* intervalMs, DWORD* count) const;
    ///@}
    /// What SetKeepAlive takes.
    static bool IsKeepAliveSetting(DWORD idleMs, DWORD intervalMs, DWORD count);

    /// Sends length raw bytes, looping until all are sent. Returns the bytes
    /// sent, 0 when there is no socket or send returned 0, -1 on a socket
    /// error (logged). Any thread; whole calls never interleave on the wire.
    int Send(void* data, int length);

    /// Slot [3]: scrambles the body (data + 4, length - 4) in place in the
    /// caller's buffer when length > 4, then Send. The buffer stays scrambled.
    int SendMsg(void* connection, void* data, int length) override;

    /// Abortive close: the connection is reset and unsent data dropped (a
    /// socket that Reconnect brought included); a Reconnect under way on
    /// another thread fails. A running receive thread, wherever it is (its
    /// own callbacks included), takes no socket any more: it calls the
    /// worker's ConnectionCut and ends, as for a peer's close.
    void Disconnect();
    /// The worker's ConnectionCut(0), then Disconnect.
    void ServerCut();
    /// Disconnect and ask the receive thread to end; does not wait.
    void Release();
    /// Closes the socket (gracefully) and waits for the receive thread to end
    /// (one that Release asked to end included), running meanwhile the
    /// messages sent to this thread's windows. From the receive thread (a
    /// worker callback) it cannot wait: it closes the socket and the thread
    /// ends once the callback returns, as after Release.
    /// Release and Wait_Release asking a running receive thread to end also
    /// close the socket it reads, whichever way it came (a Reconnect after a
    /// Disconnect) and wherever the thread is (inside a receive or between
    /// messages); from then on the thread gets no socket, so one that a
    /// Reconnect brings later, or after the thread ended, is read by nobody
    /// and stays held (until Init or destruction).
    void Wait_Release();
    /// The thread base's CleanUp.
    void Clear();

    /// Slot [1]: the receive thread. param is not used; returns 0.
    LONG Run(void* param) override;

    /// Slot [7]: the worker's HandleMessage(message, length, 0, this).
    virtual LONG HandleMessage(void* message, int length);

    /// Slot [4]: logs text and returns code.
    LONG Error(void* connection, LONG code, const char* text) override;
    /// Slots [5], [6]: the owner's pointer.
    void SetData(void* connection, void* data) override;
    void* GetData(void* connection) override;

    /// Bit 2 of m_State.
    bool IsConnect();
    /// True while a receive thread runs and reads: neither cut nor asked to
    /// end. Only then does a Reconnect's socket get a reader. Any thread.
    bool IsReceiving();
    /// True exactly when the client holds NO socket.
    bool IsSockValid();

    /// The client's state in the table of TCPClient.h.
    enum class Life { IDLE, CONNECTING, LIVE, CUT, ENDING };
    /// The state now (another thread may change it at once): for logs,
    /// tests and debuggers. Any thread.
    Life GetLife() const;
    /// The state's name, as the transitions are logged ("LIVE").
    static const char* LifeName(Life life);
    /// The socket's local IPv4 address in network byte order; 0 without a socket.
    ULONG GetLocalIP();

    /// Every owner call (Init, Reconnect, Disconnect, Release, Wait_Release,
    /// AdoptSocket) holds a CallScope for its whole length and returns at
    /// once (Init and Reconnect with E_FAIL) when it did not enter: the
    /// client is being destroyed. A call is a transaction:
    ///   - it takes the client's end epoch as it begins; every ending call
    ///     from another thread (Disconnect, Release, Wait_Release,
    ///     destruction) advances the epoch and wakes what calls under way
    ///     wait in (their lookups, connects, handshakes);
    ///   - each of its commit points (the lookup begins, a socket is
    ///     registered, the connection goes live) checks under the lock that
    ///     the epoch has not moved, and backs out (E_FAIL) when it has. So
    ///     an ending call that returns while an Init runs always ends it,
    ///     whatever step the Init was at.
    /// Calls nest: a call made inside another call of the same client on the
    /// same thread (Init by name calling Init by address, a failed Init's
    /// Release) is a step of the outer one: it shares its epoch, ends
    /// nothing under way and is counted once. Destruction (EndReceiveThread)
    /// refuses new calls, wakes those under way and waits until the last has
    /// left, whichever thread it runs on: one that waits for the receive
    /// thread while that thread destroys the client gives its wait up.
    /// An application may hold one around a sequence of its own calls (a
    /// Wait_Release, then an Init) to make them one call: an ending call
    /// from another thread anywhere in the sequence then ends it.
    class YNET_API CallScope {
    public:
        /// Enters the call, unless destruction of client has begun.
        explicit CallScope(TCPClient& client);
        ~CallScope();
        CallScope(const CallScope&) = delete;
        CallScope& operator=(const CallScope&) = delete;
        /// False: destruction has begun; the call returns at once.
        bool Entered() const { return m_Entered; }

    private:
        friend class TCPClient;
        TCPClient& m_Client;
        const CallScope* m_Previous; ///< this thread's call that encloses this one (any client)
        bool m_Entered;
        bool m_Outer;  ///< this thread's first call of this client: the one counted
        DWORD m_Epoch; ///< the client's end epoch as the outer call began
    };

protected:
    /// What a running receive thread's Run keeps of its client (RunScope).
    struct RunFrame {
        /// The client whose thread it is.
        const TCPClient* client;
        bool destroyed; ///< set by a destructor running inside one of the thread's callbacks
        bool cut;       ///< the thread has cut its connection (its ConnectionCut and MsgThreadEnd)
    };

    /// Receive thread (or a derived Run): reads one whole message into buffer
    /// (at most kMaxMessage bytes are written). Returns its length (4 for a
    /// head-only message), 0 when the peer closed, the connection was reset or
    /// aborted, the socket is gone or the head announces more than 1440 bytes,
    /// -1 on another socket error. The bytes are read ahead into the client's
    /// own buffer, as many as the socket has; whole messages are cut out of it
    /// and unscrambled on their way into buffer (one pass over the bytes).
    /// The bytes of buffer past the message are not touched.
    int RecvMsg(unsigned char* buffer);

    /// Receive thread: true when Reconnect has replaced the socket that the
    /// last RecvMsg read (that RecvMsg's 0 or -1 is then no end).
    bool SocketReplaced() const;

    /// Slot [8], the receive loop's step (Run is one loop for every client):
    /// one message into buffer, as RecvMsg answers (this class's step is
    /// RecvMsg), or kPass when the step received no message and found no end
    /// (the loop then asks ICanExit and steps again). Run calls it only while
    /// a socket is held; a 0 or -1 after Reconnect replaced the socket is no
    /// end either.
    ///@{
    static constexpr int kPass = -2;
    virtual int ReceiveStep(unsigned char* buffer);
    ///@}

    /// True when RecvMsg can answer from bytes already buffered, without a
    /// receive: a derived loop that waits for readability must not wait then.
    bool HasBufferedMessage() const;

    /// For a client whose handlers run in a runtime that scans thread stacks
    /// conservatively (Mono's, Boehm's collector; the C interface turns it
    /// on): before each wait for data the receive thread clears the stack
    /// the wait will use of the words its handlers (or a collection they set
    /// off) left there, which such a runtime would take for live references
    /// for as long as the wait lasts, keeping a dropped client alive. Off by
    /// default: it costs a 4 KiB clear per receive. Set it before Init.
    void SetClearStackBeforeWait(bool on) { m_ClearStackBeforeWait = on; }

    /// Receive thread, before it may wait (a receive, a select): the clear
    /// of SetClearStackBeforeWait, below the caller, when it is on.
    void BeforeWait();

    /// Receive thread: the size of the read-ahead buffer in use now.
    int ReadAheadSize() const { return m_AheadSize; }

    /// Posts "thread started" and returns the worker's MsgThreadBegin(p).
    LONG MsgThreadBegin(void* p);
    /// The worker's MsgThreadEnd(p), then posts "thread ended".
    void MsgThreadEnd(void* p);
    /// m_State is not 0.
    bool IsInited();

    /// What destruction does first: Release, close a socket still held (one
    /// that Reconnect brought), then wait for a receive thread that still
    /// runs - or, when called inside one of that thread's own callbacks, let
    /// the thread end at once without touching the object. A derived class
    /// whose thread uses its own members (or that overrides Run or
    /// HandleMessage) calls it first in its own destructor, so the thread
    /// never meets a half-destroyed object. Calling it again does nothing more.
    void EndReceiveThread();

    /// What Init does with a connection still held: Release, then (off the
    /// receive thread) close a socket still held and wait for the thread.
    void EndConnection();

    /// True once destruction has begun (a call under way commits nothing more).
    bool Ending();
    /// True while the calling thread's call of this client may still commit:
    /// no ending call came since it began, and no destruction. Outside any
    /// call, only destruction is looked at.
    bool CallCurrent();
    /// The commit point of an Init: when the call is still current, the
    /// connection goes live (connected, the receive thread's reader started,
    /// LIVE) and true is returned; otherwise false, and nothing changes.
    /// Then StartReceiveThread.
    bool CommitLive();

    /// target.Resolve within the bound of SetConnectTimeout, reached by the
    /// ending calls: Disconnect, Release, Wait_Release or destruction from
    /// another thread ends the wait at once (E_FAIL; the lookup finishes by
    /// itself on its own thread, touching nothing of the client's). Every
    /// lookup of a name by Init and Reconnect goes through here.
    LONG ResolveTarget(const YSocketTarget& target, YSocketAddr* out, int max, int* count, const char* op);

    /// For a blocking call on the socket made outside this class (a
    /// handshake's recv): BeginSocketUse returns the current handle marked in
    /// use, or INVALID_SOCKET when there is none; every handle it returned
    /// goes back through EndSocketUse, which answers false when the
    /// connection closed that handle during the call (the call's result is
    /// then meaningless and the handle must not be used again). A receive
    /// step's calls use BeginReadUse / EndReadUse instead: the receive thread
    /// is the reader, and gets no handle once it was asked to end.
    ///@{
    SOCKET BeginSocketUse();
    bool EndSocketUse(SOCKET handle);
    SOCKET BeginReadUse();
    bool EndReadUse(SOCKET handle);
    ///@}
    /// True when an ending call of this client closed handle, still in use.
    bool SocketClosedHere(SOCKET handle);

    /// connect on handle (in use by the caller) within the bound of
    /// SetConnectTimeout: 0, or SOCKET_ERROR with WSAGetLastError telling why
    /// (WSAETIMEDOUT when the bound ran out). The handle is blocking again
    /// afterwards. For a derived class's own connect (a proxy's).
    int ConnectWithinBound(SOCKET handle, const YSocketAddr& address);

    /// A new TCP socket with this client's options (SetNoDelay,
    /// SetKeepAlive) set, or INVALID_SOCKET: every socket this client
    /// connects comes from here. An option the system refuses is logged and
    /// left as the system has it.
    SOCKET OpenSocket();

    /// For a derived Init: m_Socket takes handle (a handle held before is
    /// closed, as Init closes it) and m_State gains bits; AddStateBits only
    /// adds bits.
    ///@{
    void AdoptSocket(SOCKET handle, DWORD bits);
    void AddStateBits(DWORD bits);
    ///@}
    /// Receive thread, as it lets go of the thread words: keeps a handle to
    /// itself in m_EndedThread. WaitEndedThread (owner's calls, after
    /// WaitForExitThread) waits for that thread and closes the handle.
    ///@{
    void KeepEndedThread();
    void WaitEndedThread();
    ///@}
    /// For a derived Init, after CommitLive: CreateThread. On failure the
    /// reader and the running bit are taken back.
    LONG StartReceiveThread();
    /// For a derived Init that failed: the connection held is ended (as
    /// Release) and the client is IDLE.
    void FailInit();
    /// For a derived Reconnect: BeginReconnect opens the new socket and
    /// registers it, so that an ending call from another thread wakes its
    /// connect and handshake (INVALID_SOCKET when none could be opened).
    /// EndReconnect(handle, true) puts it in place of the socket held, which
    /// is retired as Reconnect retires it; false then means an ending call
    /// closed it meanwhile. EndReconnect(handle, false) closes it. Both
    /// change no state bit.
    ///@{
    SOCKET BeginReconnect();
    bool EndReconnect(SOCKET handle, bool connected);
    /// For a derived Init: closes a socket still held, marks the socket
    /// opened (not connected), then BeginReconnect; the Init ends with
    /// EndReconnect as a Reconnect does, so nobody sees its socket before
    /// it is ready.
    SOCKET BeginInit();
    ///@}

    /// A derived Run keeps one RunScope open for its whole body, as Run does:
    /// a destructor that runs inside one of the thread's own callbacks then
    /// marks the scope Destroyed instead of waiting for the thread, and Run
    /// must return at once without touching the object. Close it right
    /// before the final CleanUp.
    class YNET_API RunScope {
    public:
        /// Opens the scope of client's receive thread.
        explicit RunScope(const TCPClient* client);
        ~RunScope();
        RunScope(const RunScope&) = delete;
        RunScope& operator=(const RunScope&) = delete;
        /// True when the client was destroyed from inside one of the thread's callbacks.
        bool Destroyed() const { return m_Frame.destroyed; }
        /// Ends the scope before the final CleanUp.
        void Close();

    private:
        RunFrame m_Frame;
    };

    /// Receive thread, while there is no socket: waits a short slice for the
    /// request to end (a loop then asks ICanExit), so the loop neither spins
    /// nor misses a socket that Reconnect brings back.
    void WaitForExitRequest();

    ClientSocket m_Socket;    ///< the connection's socket, and the calls in it
    DWORD m_State;            ///< bits 1, 2, 4 above; guarded by m_Lock
    MsgWorker* m_Worker;      ///< not owned, never null
    YSocketAddr m_ServerAddr; ///< address of the last Init, for Reconnect
    void* m_Data;             ///< the owner's pointer
    /// The target of the last Init by name (NONE after an Init by address):
    /// Reconnect resolves it again. The owner's thread only.
    YSocketTarget m_Target;

private:
    LONG m_Calls;     ///< owner calls under way (outer ones); guarded by m_Lock
    Life m_Life;      ///< the table's state; guarded by m_Lock, changed by Change only
    DWORD m_EndEpoch; ///< advanced by every ending call; guarded by m_Lock
    /// Destruction runs on the receive thread: a call under way that waits
    /// for that thread gives its wait up. Guarded by m_Lock.
    bool m_EndingOnReceiveThread;
    /// Owned: what the ending calls abandon a lookup under way with.
    LookupAbandon* m_Lookup;
    /// Sizes of the read-ahead buffer. Every connection starts with the small
    /// one, inside the object, of which an idle connection touches only the
    /// first page. Receives that keep filling it (a fast stream) move the
    /// connection to the large one, allocated then; a long run of receives
    /// that bring little moves it back and frees the large one. Both hold
    /// many small messages and always more than one whole message.
    static constexpr int kAheadSmall = 16384;
    static constexpr int kAheadLarge = 65536;
    /// Consecutive receives that filled the whole room before growing, and
    /// consecutive receives of at most kAheadSmall / 4 bytes before shrinking.
    static constexpr int kFullReadsToGrow = 2;
    static constexpr int kSmallReadsToShrink = 64;
    /// m_Socket.BeginUse, then the test hook (TCPClientHooks.h).
    SOCKET BeginUse(ClientSocket::Use use, DWORD* generation);
    /// Disconnect without ending a Reconnect under way (the receive thread's cut).
    void CloseConnection();
    /// Sets of lives, for Change: the lives a change applies in.
    static constexpr unsigned Lives(Life life) { return 1u << static_cast<unsigned>(life); }
    static constexpr unsigned kNotEnding = 0x1Fu & ~(1u << static_cast<unsigned>(Life::ENDING));
    /// Lock held: the one place the connection's state changes. m_State
    /// gains set and loses clear; m_Life goes to next if it is one of the
    /// lives in from (0: stays). Builds with assertions log each change by
    /// name, with the bits, when YNET_TRACE_LIFE is set.
    void Change(DWORD set, DWORD clear, unsigned from, Life next, const char* why);
    /// Lock held: CallCurrent's answer.
    bool CallCurrentLocked() const;
    /// The calling thread's call of this client, innermost; null when none.
    const CallScope* OwnCall() const;
    /// An ending call's first step (call is its own scope): unless it is a
    /// step of another call of this client on this thread, or comes from
    /// the receive thread's callbacks after its cut (which end that
    /// thread's connection only), it advances the end epoch and wakes the
    /// lookups, connects and handshakes of the calls under way.
    void EndCallsUnderWay(const CallScope& call);
    /// The bodies of Release and Wait_Release, for steps of other calls.
    ///@{
    void ReleaseHeld();
    void WaitReleaseHeld();
    ///@}
    /// Waits for the receive thread (not from it), giving the wait up when
    /// the thread destroys the client meanwhile; then for its last steps.
    void WaitForReceiveThread();
    /// Disconnect (anySocket) and Release's first step: closes the incoming
    /// sockets and the connection (with anySocket, also a socket held
    /// without state bits), and stops a running receive thread's reading.
    void Cut(bool anySocket);
    /// The owner's wait for the receive thread calls it every few
    /// milliseconds: m_Socket.Recancel; false gives the wait up (the thread
    /// is destroying the client).
    static bool KeepWaitingForThread(void* client);
    /// Reconnect after an Init by name: resolves it again, then reconnects
    /// to its addresses in turn.
    LONG ReconnectByName();
    /// Receive thread: makes at least need bytes of the current message buffered.
    int FillAhead(int need, bool body, int bodyLength);
    /// Receive thread: moves the buffered bytes to the front of the buffer of
    /// the given size (the large one is allocated or freed as needed).
    void ResizeAhead(int size);
    /// Receive thread: after a receive of n bytes into a room of room bytes.
    void SizeAheadFor(int n, int room);
    static RunFrame* OwnRunFrame(const TCPClient* client);
    /// Destruction's first step: see CallScope. False when destruction had
    /// begun already.
    bool EndCalls(bool onReceiveThread);

    mutable CRITICAL_SECTION m_Lock;     ///< m_State; taken before m_Socket's own lock
    CRITICAL_SECTION m_SendLock;         ///< held for one whole Send; taken before m_Lock
    std::atomic<DWORD> m_ConnectTimeout; ///< milliseconds, 0 for none
    struct SocketOptions {
        bool noDelay;
        DWORD keepAliveIdle; ///< milliseconds, 0 for off
        DWORD keepAliveInterval;
        DWORD keepAliveCount;
    };
    SocketOptions m_Options; ///< guarded by m_Lock

    /// Receive thread only: the read-ahead buffer, m_AheadSize bytes at
    /// m_Ahead (m_AheadSmall, or m_AheadLarge when that is allocated). Bytes
    /// [m_AheadBegin, m_AheadEnd) are received and not yet handed out; they
    /// came from the socket of generation m_AheadGeneration.
    unsigned char* m_Ahead;
    int m_AheadSize;
    int m_AheadBegin;
    int m_AheadEnd;
    DWORD m_AheadGeneration;
    int m_FullReads;             ///< consecutive receives that filled the room
    int m_SmallReads;            ///< consecutive small receives into the large buffer
    unsigned char* m_AheadLarge; ///< owned; null while the small buffer is used
    unsigned char m_AheadSmall[kAheadSmall];
    /// The receive thread that ended by itself, from the moment it let go
    /// of the thread words until an ending call has waited for it (the
    /// thread words alone would let that call return while the thread still
    /// runs its last steps); guarded by m_Lock.
    HANDLE m_EndedThread;
    bool m_ClearStackBeforeWait; ///< SetClearStackBeforeWait's; set before Init
};

} // namespace YNet2

#include "client/TCPClient.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "client/AttemptBound.h"
#include "client/TCPClientHooks.h"
#include "framework/Log.h"
#include "message/Scrambler.h"
#include "message/ScramblerPaths.h"
#include "message/YNetMsgHead.h"
#include "socket/LookupAbandon.h"
#include "stream/LockHolder.h"

namespace YNet2 {

namespace {

constexpr DWORD kSocketOpened = 1;
constexpr DWORD kConnected = 2;
constexpr DWORD kThreadRunning = 4;

constexpr int kHeadSize = YNetMsgHead::HeadSize;

// Destruction, while owner calls are still under way, wakes them again in
// slices of this length until the last has left.
constexpr DWORD kCallsLeaveSliceMs = 5;

// While the socket is gone and the thread has not been asked to end, the
// receive loop sleeps on the exit event in slices of this length; between
// slices it looks whether Reconnect brought a socket back.
constexpr DWORD kIdleSliceMs = 100;

// The RunFrame of the receive thread running on this thread, if any: lets a
// destructor that runs inside one of the thread's own callbacks tell Run
// that the object is gone.
thread_local void* t_RunFrame = nullptr;

// This thread's owner calls under way, innermost first (TCPClient::CallScope).
thread_local const void* t_Calls = nullptr;

// Slices of the waits of ending calls: the messages other threads send to
// this thread's windows run meanwhile (a receive thread's handler may be
// sending to one of them), posted ones stay queued.
void WaitSliceDeliveringSentMessages(DWORD milliseconds) {
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds, QS_SENDMESSAGE);
}

#ifndef NDEBUG
bool TraceLife() {
    static const bool on = std::getenv("YNET_TRACE_LIFE") != nullptr;
    return on;
}
#endif

// Kernel handles fit in 32 bits; Windows widens them by sign extension.
HANDLE WordToHandle(DWORD word) {
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(static_cast<LONG>(word)));
}

std::atomic<SocketUseHook> g_UseHook{nullptr};
std::atomic<void*> g_UseHookContext{nullptr};
std::atomic<CommitHook> g_CommitHook{nullptr};
std::atomic<void*> g_CommitHookContext{nullptr};

void BeforeCommit(const TCPClient* client, CommitPoint point) {
    if (CommitHook hook = g_CommitHook.load(std::memory_order_acquire))
        hook(client, point, g_CommitHookContext.load(std::memory_order_acquire));
}

// A receive error that keepalive gives when the peer stopped answering its
// probes (Windows may report it as a reset by keepalive) gets a line that
// says so.
void LogIfPeerSilent(int error) {
    if (error == WSAETIMEDOUT || error == WSAENETRESET)
        Debug("TCPClient::RecvMsg() the peer stopped answering: connection cut");
}

// The application's handlers run below the receive loop's frame, and so
// may a garbage collector of the application's runtime that they set off;
// what they leave there stays in the unused slots of the frames that come
// later at that depth. A runtime that scans thread stacks conservatively
// (Mono's, Boehm's collector) takes such a stale address, in the frames of
// a receive that waits for hours, for a live reference: the object stays,
// and when it is the client's own handle, the client, its socket and its
// thread stay for ever. So a client that asks for it clears the stack its
// wait will use before each wait (BeforeWait: the receive's frames down to
// the system call take 2.5 KiB natively).
constexpr std::size_t kClearedStack = 4096;

[[gnu::noinline]] void ClearStackBelow() {
    unsigned char area[kClearedStack];
    std::memset(area, 0, sizeof area);
    // The area is never read again: without this the compiler may drop the store.
    __asm__ __volatile__("" : : "r"(area) : "memory");
}

// The head's size field (YNetMsgHead::GetSize), read inline: the low 15 bits
// of the first 16-bit little-endian word.
inline int MessageSize(const unsigned char* head) {
    return head[0] | ((head[1] & 0x7F) << 8);
}

} // namespace

TCPClient::RunScope::RunScope(const TCPClient* client) : m_Frame{client, false, false} {
    t_RunFrame = &m_Frame;
}

TCPClient::RunScope::~RunScope() {
    Close();
}

void TCPClient::RunScope::Close() {
    if (t_RunFrame == &m_Frame)
        t_RunFrame = nullptr;
}

TCPClient::RunFrame* TCPClient::OwnRunFrame(const TCPClient* client) {
    auto* frame = static_cast<RunFrame*>(t_RunFrame);
    return frame != nullptr && frame->client == client ? frame : nullptr;
}

// ---------------------------------------------------------------- life

TCPClient::TCPClient(MsgWorker* worker)
    : m_State(0), m_Worker(worker), m_ServerAddr{}, m_Data(nullptr), m_Calls(0), m_Life(Life::IDLE), m_EndEpoch(0),
      m_EndingOnReceiveThread(false), m_Lookup(new LookupAbandon),
      m_ConnectTimeout(0), m_Options{true, kKeepAliveIdleMs, kKeepAliveIntervalMs, kKeepAliveCount},
      m_Ahead(m_AheadSmall), m_AheadSize(kAheadSmall), m_AheadBegin(0), m_AheadEnd(0), m_AheadGeneration(0),
      m_FullReads(0), m_SmallReads(0), m_AheadLarge(nullptr), m_EndedThread(nullptr), m_ClearStackBeforeWait(false) {
    InitializeCriticalSection(&m_Lock);
    InitializeCriticalSection(&m_SendLock);
}

TCPClient::TCPClient(const TCPClient& other)
    : ClientNetKernel(other), m_State(0), m_Worker(other.m_Worker), m_ServerAddr(other.m_ServerAddr),
      m_Data(std::atomic_ref<void*>(const_cast<TCPClient&>(other).m_Data).load()), m_Target(other.m_Target), m_Calls(0),
      m_Life(Life::IDLE), m_EndEpoch(0), m_EndingOnReceiveThread(false), m_Lookup(new LookupAbandon),
      m_ConnectTimeout(other.m_ConnectTimeout.load()), m_Options{}, m_Ahead(m_AheadSmall), m_AheadSize(kAheadSmall),
      m_AheadBegin(0), m_AheadEnd(0), m_AheadGeneration(0), m_FullReads(0), m_SmallReads(0), m_AheadLarge(nullptr),
      m_EndedThread(nullptr), m_ClearStackBeforeWait(false) {
    InitializeCriticalSection(&m_Lock);
    InitializeCriticalSection(&m_SendLock);
    LockHolder hold(&other.m_Lock);
    m_Socket.Share(other.m_Socket.Held());
    m_State = other.m_State;
    m_Options = other.m_Options;
}

TCPClient& TCPClient::operator=(const TCPClient& other) {
    if (this == &other)
        return *this;
    ClientNetKernel::operator=(other);
    DWORD state;
    SocketOptions options;
    {
        LockHolder hold(&other.m_Lock);
        m_Socket.Share(other.m_Socket.Held()); // the handle held before is not closed
        state = other.m_State;
        options = other.m_Options;
    }
    LockHolder hold(&m_Lock);
    m_State = state;
    m_Options = options;
    m_Worker = other.m_Worker;
    m_ServerAddr = other.m_ServerAddr;
    m_Target = other.m_Target;
    m_ConnectTimeout.store(other.m_ConnectTimeout.load());
    std::atomic_ref<void*>(m_Data).store(std::atomic_ref<void*>(const_cast<TCPClient&>(other).m_Data).load());
    return *this;
}

TCPClient::~TCPClient() {
    EndReceiveThread();
    {
        LockHolder hold(&m_Lock);
        m_State = 0;
        if (m_EndedThread != nullptr) // destroyed on its own thread: nobody waits any more
            CloseHandle(m_EndedThread);
    }
    delete[] m_AheadLarge; // m_Socket closes what it still holds
    delete m_Lookup;       // no call is under way any more, so none waits on it
    DeleteCriticalSection(&m_SendLock);
    DeleteCriticalSection(&m_Lock);
}

void TCPClient::EndReceiveThread() {
    RunFrame* frame = OwnRunFrame(this);
    if (!EndCalls(frame != nullptr))
        return; // destruction had begun: its first EndReceiveThread did all
    ReleaseHeld();
    // A socket that Reconnect brought is held without state bits, so
    // Release leaves it; close it now, as the last step of destruction would.
    if (frame == nullptr)
        m_Socket.StopReading();
    m_Socket.Close(false);
    if (frame != nullptr) {
        // Called inside one of the receive thread's own callbacks: that
        // thread returns at once without touching the object again, so
        // release what the thread base holds for it here.
        frame->destroyed = true;
        CleanUp();
    } else {
        WaitForReceiveThread();
    }
}

void TCPClient::KeepEndedThread() {
    HANDLE self = OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId());
    if (self == nullptr)
        return; // the waits then cover everything but the thread's last steps
    LockHolder hold(&m_Lock);
    if (m_EndedThread != nullptr)
        CloseHandle(m_EndedThread); // an earlier thread nobody waited for (an Init from a callback)
    m_EndedThread = self;
}

void TCPClient::WaitEndedThread() {
    HANDLE ended;
    {
        LockHolder hold(&m_Lock);
        ended = m_EndedThread;
        m_EndedThread = nullptr;
    }
    if (ended == nullptr)
        return;
    // The thread is past every call into the worker and waits for nothing
    // of this thread's: a plain wait.
    WaitForSingleObject(ended, INFINITE);
    CloseHandle(ended);
}

void TCPClient::EndConnection() {
    if (IsOwnThread()) {
        ReleaseHeld(); // the thread cannot wait for itself: it ends once this call returns to it
        return;
    }
    ReleaseHeld();
    m_Socket.StopReading();
    m_Socket.Close(false);
    WaitForReceiveThread();
}

void TCPClient::WaitForReceiveThread() {
    if (WaitForExitThreadWhile(KeepWaitingForThread, this))
        WaitEndedThread();
}

// ---------------------------------------------------------------- owner calls under way

const TCPClient::CallScope* TCPClient::OwnCall() const {
    for (auto* call = static_cast<const CallScope*>(t_Calls); call != nullptr; call = call->m_Previous) {
        if (&call->m_Client == this)
            return call;
    }
    return nullptr;
}

TCPClient::CallScope::CallScope(TCPClient& client)
    : m_Client(client), m_Previous(static_cast<const CallScope*>(t_Calls)), m_Entered(false), m_Outer(false),
      m_Epoch(0) {
    const CallScope* outer = client.OwnCall();
    t_Calls = this;
    LockHolder hold(&client.m_Lock);
    if (client.m_Life == Life::ENDING)
        return;
    m_Entered = true;
    m_Outer = outer == nullptr;
    if (m_Outer) {
        ++client.m_Calls;
        m_Epoch = client.m_EndEpoch;
    } else {
        m_Epoch = outer->m_Epoch;
    }
}

TCPClient::CallScope::~CallScope() {
    t_Calls = m_Previous;
    if (m_Entered && m_Outer) {
        LockHolder hold(&m_Client.m_Lock);
        --m_Client.m_Calls;
    }
}

bool TCPClient::Ending() {
    LockHolder hold(&m_Lock);
    return m_Life == Life::ENDING;
}

bool TCPClient::CallCurrentLocked() const {
    if (m_Life == Life::ENDING)
        return false;
    const CallScope* call = OwnCall();
    return call == nullptr || call->m_Epoch == m_EndEpoch;
}

bool TCPClient::CallCurrent() {
    LockHolder hold(&m_Lock);
    return CallCurrentLocked();
}

void TCPClient::EndCallsUnderWay(const CallScope& call) {
    if (!call.m_Outer)
        return; // a step of this thread's own call of this client
    // The receive thread's callbacks after its cut, or once a call has ended
    // its connection (an Init waiting for this thread), end that connection
    // only.
    if (RunFrame* frame = OwnRunFrame(this); frame != nullptr && (frame->cut || !m_Socket.Reading()))
        return;
    {
        LockHolder hold(&m_Lock);
        ++m_EndEpoch;
    }
    // Calls that registered before the epoch moved are woken here; those
    // that register after find it moved.
    m_Socket.CloseIncoming();
    m_Lookup->Abandon();
}

bool TCPClient::EndCalls(bool onReceiveThread) {
    // Destroyed from inside one of its own calls on this thread (a log sink,
    // a window procedure run by an ending wait): that call is not waited for.
    const LONG own = OwnCall() != nullptr ? 1 : 0;
    {
        LockHolder hold(&m_Lock);
        if (m_Life == Life::ENDING)
            return false;
        Change(0, 0, kNotEnding, Life::ENDING, "destruction"); // from now on no call enters, and none commits
        ++m_EndEpoch;
        m_EndingOnReceiveThread = onReceiveThread;
    }
    for (;;) {
        // Wakes the calls' connects and handshakes: the new sockets of
        // Init and Reconnect are incoming until ready; a lookup is abandoned.
        m_Socket.CloseIncoming();
        m_Lookup->Abandon();
        {
            LockHolder hold(&m_Lock);
            if (m_Calls == own)
                return true;
        }
        WaitSliceDeliveringSentMessages(kCallsLeaveSliceMs);
    }
}

void TCPClient::Change(DWORD set, DWORD clear, unsigned from, Life next, const char* why) {
    const DWORD state = (m_State | set) & ~clear;
    if ((from & Lives(m_Life)) == 0)
        next = m_Life;
#ifndef NDEBUG
    if (TraceLife() && (next != m_Life || state != m_State))
        Debug("TCPClient %p: %s -> %s, state %lu -> %lu (%s)", static_cast<void*>(this), LifeName(m_Life),
              LifeName(next), static_cast<unsigned long>(m_State), static_cast<unsigned long>(state), why);
#else
    (void)why;
#endif
    m_State = state;
    m_Life = next;
}

TCPClient::Life TCPClient::GetLife() const {
    LockHolder hold(&m_Lock);
    return m_Life;
}

const char* TCPClient::LifeName(Life life) {
    switch (life) {
    case Life::IDLE:
        return "IDLE";
    case Life::CONNECTING:
        return "CONNECTING";
    case Life::LIVE:
        return "LIVE";
    case Life::CUT:
        return "CUT";
    case Life::ENDING:
        return "ENDING";
    }
    return "?";
}

bool TCPClient::CommitLive() {
    BeforeCommit(this, CommitPoint::LIVE);
    LockHolder hold(&m_Lock);
    if (!CallCurrentLocked())
        return false;
    // Before the thread exists: an ending call from now on stops its reading.
    m_Socket.StartReading();
    Change(kConnected | kThreadRunning, 0, kNotEnding, Life::LIVE, "connected");
    return true;
}

void TCPClient::FailInit() {
    ReleaseHeld();
    LockHolder hold(&m_Lock);
    Change(0, 0, kNotEnding, Life::IDLE, "Init failed");
}

// ---------------------------------------------------------------- the handle in use

SOCKET TCPClient::BeginUse(ClientSocket::Use use, DWORD* generation) {
    SOCKET handle = m_Socket.BeginUse(use, generation);
    if (handle == INVALID_SOCKET)
        return INVALID_SOCKET;
    if (SocketUseHook hook = g_UseHook.load(std::memory_order_acquire))
        hook(this, true, g_UseHookContext.load(std::memory_order_acquire));
    return handle;
}

bool TCPClient::KeepWaitingForThread(void* context) {
    auto* client = static_cast<TCPClient*>(context);
    client->m_Socket.Recancel();
    LockHolder hold(&client->m_Lock);
    return !client->m_EndingOnReceiveThread;
}

SOCKET TCPClient::BeginSocketUse() {
    return BeginUse(ClientSocket::Use::Other, nullptr);
}

bool TCPClient::EndSocketUse(SOCKET handle) {
    return m_Socket.EndUse(handle, ClientSocket::Use::Other);
}

bool TCPClient::SocketClosedHere(SOCKET handle) {
    return m_Socket.Retired(handle);
}

SOCKET TCPClient::BeginReadUse() {
    return BeginUse(ClientSocket::Use::Read, nullptr);
}

bool TCPClient::EndReadUse(SOCKET handle) {
    return m_Socket.EndUse(handle, ClientSocket::Use::Read);
}

void TCPClient::AdoptSocket(SOCKET handle, DWORD bits) {
    CallScope call(*this);
    {
        LockHolder hold(&m_Lock);
        if (call.Entered() && CallCurrentLocked()) {
            m_Socket.Hold(handle);
            Change(bits, 0, 0, m_Life, "a socket adopted");
            return;
        }
    }
    // Ended meanwhile (or being destroyed): the socket is nobody's.
    if (handle != INVALID_SOCKET)
        closesocket(handle);
}

void TCPClient::AddStateBits(DWORD bits) {
    LockHolder hold(&m_Lock);
    Change(bits, 0, 0, m_Life, "bits added");
}

SOCKET TCPClient::BeginInit() {
    // A socket still held (one that Reconnect brought after the thread
    // ended) is closed: the new one takes its place once it is ready.
    m_Socket.Hold(INVALID_SOCKET);
    {
        LockHolder hold(&m_Lock);
        Change(kSocketOpened, 0, kNotEnding, Life::CONNECTING, "Init");
    }
    return BeginReconnect();
}

SOCKET TCPClient::BeginReconnect() {
    SOCKET created = OpenSocket();
    if (created == INVALID_SOCKET)
        return created;
    BeforeCommit(this, CommitPoint::REGISTER);
    {
        // Under the lock: an ending call reaches every socket registered
        // before it and none is registered after it (the call has ended).
        LockHolder hold(&m_Lock);
        if (CallCurrentLocked() && m_Socket.AddIncoming(created))
            return created;
    }
    closesocket(created);
    return INVALID_SOCKET;
}

bool TCPClient::EndReconnect(SOCKET handle, bool connected) {
    if (connected)
        return m_Socket.PromoteIncoming(handle);
    m_Socket.DropIncoming(handle);
    return false;
}

// ---------------------------------------------------------------- owner's operations

LONG TCPClient::Init(const YSocketTarget& target) {
    const char* op = "TCPClient::Init";
    CallScope call(*this);
    if (!call.Entered())
        return YRet(E_FAIL, "TCPClient::Init() the client is being destroyed!");
    if (target.Check(op) != 0)
        return E_FAIL;
    // The connection held ends before the lookup: its thread's callbacks
    // (a Disconnect there) then cannot end this Init's lookup.
    EndConnection();
    AttemptBound bound(*this); // the lookup and every connect together
    YSocketAddr found[YSocketTarget::kMaxAddresses];
    int count = 0;
    if (ResolveTarget(target, found, YSocketTarget::kMaxAddresses, &count, op) != 0)
        return E_FAIL;
    LONG result = E_FAIL;
    for (int i = 0; i < count && result != 0 && bound.Narrow(); ++i)
        result = Init(found[i]);
    if (result == 0 && target.GetKind() == YSocketTarget::NAME)
        m_Target = target;
    return result;
}

LONG TCPClient::Init(YSocketAddr& addr) {
    CallScope call(*this);
    if (!call.Entered())
        return YRet(E_FAIL, "TCPClient::Init() the client is being destroyed!");
    // A connection still held is ended first and its thread waited for (a
    // thread that Release asked to end included); on that thread itself
    // the thread creation below fails.
    EndConnection();
    m_Target = YSocketTarget();
    std::memcpy(&m_ServerAddr, &addr, sizeof m_ServerAddr);
    // The new socket is kept apart until it is connected, as Reconnect
    // keeps its own: a sender meanwhile finds no socket, an ending call
    // reaches the connect.
    SOCKET handle = BeginInit();
    // A failed socket() shows as a failed connect on the invalid handle.
    int result = ConnectWithinBound(handle, m_ServerAddr);
    int error = WSAGetLastError();
    if (handle != INVALID_SOCKET && !EndReconnect(handle, result == 0))
        result = SOCKET_ERROR; // an ending call from another thread closed it
    // The commit point: an ending call since this call began (it returned,
    // or it runs now on another thread) ends it, whichever step it reached.
    if (result == 0 && !CommitLive()) {
        if (Ending()) {
            FailInit();
            return YRet(E_FAIL, "TCPClient::Init() the client is being destroyed!");
        }
        result = SOCKET_ERROR;
    }
    if (result == SOCKET_ERROR) {
        if (!CallCurrent())
            error = WSAEINTR; // ended, whatever the connect itself answered
        FailInit();
        WSASetLastError(error);
        return YRet(E_FAIL, "TCPClient::Init() connect fail(0x%x)!", error);
    }
    if (StartReceiveThread() != 0) {
        FailInit();
        return YRet(E_FAIL, "TCPClient::Init() Create main thread fail!");
    }
    m_Worker->PostMsg(1, 0); // connected; the thread may have posted "started" already
    return 0;
}

LONG TCPClient::StartReceiveThread() {
    LONG result = CreateThread(0, nullptr, nullptr, 0);
    if (result != 0) {
        m_Socket.ReaderEnded();
        LockHolder hold(&m_Lock);
        Change(0, kThreadRunning, 0, m_Life, "no thread");
        return result;
    }
    // An ending call between CommitLive and the creation stopped the
    // reader but found no thread to ask to end.
    if (!m_Socket.Reading())
        SignalExit();
    return 0;
}

LONG TCPClient::Reconnect() {
    CallScope call(*this);
    if (!call.Entered())
        return YRet(E_FAIL, "TCPClient::Reconnect() the client is being destroyed!");
    if (m_Target.GetKind() == YSocketTarget::NAME)
        return ReconnectByName();
    // A client that no Init has given an address: nothing to connect to
    // (under Wine a connect to 0.0.0.0:0 was seen to succeed).
    if (m_ServerAddr.sin_family == 0)
        return YRet(E_FAIL, "TCPClient::Reconnect() no address to connect to: Init first!");
    // The new socket is connected before it takes the old one's place: until
    // then the receive thread goes on reading the old connection, and it
    // never meets a socket that is not connected yet. The old handle is
    // retired as the owner's close retires one: closed at once, or, while a
    // call is blocked on it, woken and closed by its last user.
    SOCKET created = BeginReconnect();
    if (created != INVALID_SOCKET && EndReconnect(created, ConnectWithinBound(created, m_ServerAddr) != SOCKET_ERROR))
        return 0;
    return YRet(E_FAIL, "TCPClient::Reconnect() connect fail!");
}

// Resolves the name of the last Init again and reconnects to its addresses
// in turn, each as Reconnect reconnects to an address.
LONG TCPClient::ReconnectByName() {
    AttemptBound bound(*this);
    YSocketAddr found[YSocketTarget::kMaxAddresses];
    int count = 0;
    if (ResolveTarget(m_Target, found, YSocketTarget::kMaxAddresses, &count, "TCPClient::Reconnect") != 0)
        return E_FAIL;
    const YSocketTarget target = m_Target;
    m_Target = YSocketTarget(); // Reconnect below goes to m_ServerAddr
    LONG result = E_FAIL;
    YSocketAddr before = m_ServerAddr;
    for (int i = 0; i < count && result != 0 && bound.Narrow(); ++i) {
        m_ServerAddr = found[i];
        result = Reconnect();
    }
    if (result != 0)
        m_ServerAddr = before;
    m_Target = target;
    return result;
}

LONG TCPClient::ResolveTarget(const YSocketTarget& target, YSocketAddr* out, int max, int* count, const char* op) {
    BeforeCommit(this, CommitPoint::LOOKUP);
    {
        // Under the lock: an ending call abandons every lookup that began
        // before it, and none begins after it.
        LockHolder hold(&m_Lock);
        if (m_Life == Life::ENDING) {
            *count = 0;
            return YRet(E_FAIL, "%s() the client is being destroyed!", op);
        }
        if (!CallCurrentLocked()) {
            *count = 0;
            return YRet(E_FAIL, "%s() %s: name lookup abandoned, the call was ended!", op, target.GetHost());
        }
        m_Lookup->Reset();
    }
    return target.Resolve(out, max, count, GetConnectTimeout(), op, m_Lookup);
}

void TCPClient::SetConnectTimeout(DWORD milliseconds) {
    m_ConnectTimeout.store(milliseconds);
}

DWORD TCPClient::GetConnectTimeout() const {
    return m_ConnectTimeout.load();
}

void TCPClient::SetNoDelay(bool on) {
    LockHolder hold(&m_Lock);
    m_Options.noDelay = on;
}

bool TCPClient::GetNoDelay() const {
    LockHolder hold(&m_Lock);
    return m_Options.noDelay;
}

bool TCPClient::IsKeepAliveSetting(DWORD idleMs, DWORD intervalMs, DWORD count) {
    constexpr DWORD kLongest = 32767000; // what the systems take: 32767 s, 127 probes
    return idleMs == 0 || (idleMs <= kLongest && intervalMs != 0 && intervalMs <= kLongest && count <= 127);
}

bool TCPClient::SetKeepAlive(DWORD idleMs, DWORD intervalMs, DWORD count) {
    if (!IsKeepAliveSetting(idleMs, intervalMs, count))
        return false;
    if (idleMs == 0)
        intervalMs = count = 0;
    LockHolder hold(&m_Lock);
    m_Options.keepAliveIdle = idleMs;
    m_Options.keepAliveInterval = intervalMs;
    m_Options.keepAliveCount = count;
    return true;
}

void TCPClient::GetKeepAlive(DWORD* idleMs, DWORD* intervalMs, DWORD* count) const {
    LockHolder hold(&m_Lock);
    *idleMs = m_Options.keepAliveIdle;
    *intervalMs = m_Options.keepAliveInterval;
    *count = m_Options.keepAliveCount;
}

// Options left off are not set at all: the socket then has the system's
// defaults, as a socket of a client that sets nothing.
SOCKET TCPClient::OpenSocket() {
    SOCKET handle = socket(AF_INET, SOCK_STREAM, 0);
    if (handle == INVALID_SOCKET)
        return handle;
    SocketOptions options;
    {
        LockHolder hold(&m_Lock);
        options = m_Options;
    }
    const BOOL on = TRUE;
    if (options.noDelay &&
        setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on) == SOCKET_ERROR)
        Debug("TCPClient::OpenSocket() setsockopt TCP_NODELAY fail! (0x%x)", WSAGetLastError());
    if (options.keepAliveIdle != 0) {
        tcp_keepalive values{1, options.keepAliveIdle, options.keepAliveInterval};
        DWORD returned = 0;
        if (WSAIoctl(handle, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr) ==
            SOCKET_ERROR)
            Debug("TCPClient::OpenSocket() WSAIoctl SIO_KEEPALIVE_VALS fail! (0x%x)", WSAGetLastError());
        // A system without the option (Windows before 10 version 1703)
        // keeps its own count: no failure worth a line.
        const int count = static_cast<int>(options.keepAliveCount);
        if (count != 0 &&
            setsockopt(handle, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&count), sizeof count) ==
                SOCKET_ERROR &&
            WSAGetLastError() != WSAENOPROTOOPT)
            Debug("TCPClient::OpenSocket() setsockopt TCP_KEEPCNT fail! (0x%x)", WSAGetLastError());
    }
    return handle;
}

int TCPClient::ConnectWithinBound(SOCKET handle, const YSocketAddr& address) {
    DWORD bound = m_ConnectTimeout.load();
    if (bound == 0)
        return connect(handle, address.AsSockaddr(), YSocketAddr::Length);

    // Non-blocking for the connect only: its end shows in select, success
    // in the write set, failure in the except set (as on Windows).
    ULONG nonBlocking = 1;
    if (ioctlsocket(handle, FIONBIO, &nonBlocking) == SOCKET_ERROR)
        return SOCKET_ERROR;
    int error = 0;
    if (connect(handle, address.AsSockaddr(), YSocketAddr::Length) == SOCKET_ERROR) {
        error = WSAGetLastError();
        if (error == WSAEWOULDBLOCK) {
            fd_set connected;
            fd_set failed;
            FD_ZERO(&connected);
            FD_ZERO(&failed);
            FD_SET(handle, &connected);
            FD_SET(handle, &failed);
            timeval limit{static_cast<long>(bound / 1000), static_cast<long>(bound % 1000 * 1000)};
            int ready = select(0, nullptr, &connected, &failed, &limit);
            if (ready == 0) {
                error = WSAETIMEDOUT;
            } else if (ready == SOCKET_ERROR) {
                error = WSAGetLastError();
            } else if (FD_ISSET(handle, &failed)) {
                int code = 0;
                int length = sizeof code;
                error = getsockopt(handle, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&code), &length) == 0
                            ? (code != 0 ? code : WSAECONNREFUSED)
                            : WSAGetLastError();
            } else {
                error = 0;
            }
        }
    }
    ULONG blocking = 0;
    ioctlsocket(handle, FIONBIO, &blocking); // fails only on a handle closed meanwhile
    if (error == 0)
        return 0;
    WSASetLastError(error);
    return SOCKET_ERROR;
}

int TCPClient::Send(void* data, int length) {
    // Held for the whole loop: the bytes of one call reach the wire together.
    LockHolder sending(&m_SendLock);
    SOCKET handle = BeginUse(ClientSocket::Use::Send, nullptr);
    if (handle == INVALID_SOCKET)
        return 0;
    const char* bytes = static_cast<const char*>(data);
    int sent = 0;
    int result;
    int error = 0;
    for (;;) {
        int n = send(handle, bytes + sent, length - sent, 0);
        if (n == 0) {
            result = 0;
            break;
        }
        if (n == SOCKET_ERROR) {
            error = WSAGetLastError();
            result = -1;
            break;
        }
        sent += n;
        if (sent >= length) {
            result = sent;
            break;
        }
    }
    m_Socket.EndUse(handle, ClientSocket::Use::Send);
    if (result == -1) {
        Debug("TCPClient::Send() fail! (0x%x)", error);
        WSASetLastError(error);
    }
    return result;
}

int TCPClient::SendMsg(void* /*connection*/, void* data, int length) {
    // Signed comparison: a negative length scrambles nothing (and fails in Send).
    if (length > kHeadSize) {
        unsigned char scratch = 0;
        Encode(static_cast<unsigned char*>(data) + kHeadSize, static_cast<DWORD>(length - kHeadSize), scratch);
    }
    return Send(data, length);
}

void TCPClient::Disconnect() {
    CallScope call(*this);
    if (!call.Entered())
        return; // destruction closes everything
    EndCallsUnderWay(call);
    Cut(true);
}

void TCPClient::Cut(bool anySocket) {
    bool running;
    {
        LockHolder hold(&m_Lock);
        if (anySocket || (m_State & (kSocketOpened | kConnected)) != 0)
            m_Socket.Close(true);
        Change(0, kSocketOpened | kConnected, Lives(Life::LIVE), Life::CUT, "cut by a call");
        running = (m_State & kThreadRunning) != 0;
    }
    // The receive thread, wherever it is (in a receive, in a callback - this
    // one's caller included - or between messages), takes no socket from
    // now on: it sees the cut and ends.
    if (running) {
        m_Socket.StopReading();
        SignalExit();
    }
}

void TCPClient::CloseConnection() {
    LockHolder hold(&m_Lock);
    // The connection the thread read: a socket that Reconnect brought after
    // a Disconnect (no bits) is left to its owner.
    if ((m_State & (kSocketOpened | kConnected)) != 0)
        m_Socket.Close(true);
    Change(0, kSocketOpened | kConnected, Lives(Life::LIVE), Life::CUT, "the receive thread's cut");
}

bool TCPClient::IsReceiving() {
    return m_Socket.Reading();
}

void TCPClient::ServerCut() {
    RunFrame* frame = OwnRunFrame(this);
    if (frame != nullptr) {
        m_Socket.ReaderCut(); // from now on a Reconnect's socket is read by nobody
        frame->cut = true;
    }
    m_Worker->ConnectionCut(nullptr);
    if (frame != nullptr && frame->destroyed)
        return;
    // The receive thread's own cut leaves a Reconnect under way alone.
    if (frame != nullptr)
        CloseConnection();
    else
        Disconnect();
}

void TCPClient::Release() {
    CallScope call(*this);
    if (!call.Entered())
        return;
    EndCallsUnderWay(call);
    ReleaseHeld();
}

void TCPClient::ReleaseHeld() {
    Cut(false); // a socket that Reconnect brought after a cut stays held
    bool signal;
    {
        LockHolder hold(&m_Lock);
        signal = (m_State & kThreadRunning) != 0;
        Change(0, kThreadRunning, 0, m_Life, "the thread asked to end");
    }
    if (signal) {
        m_Socket.StopReading();
        SignalExit(); // sets m_ExitEvent while a thread is held
    }
}

void TCPClient::Wait_Release() {
    CallScope call(*this);
    if (!call.Entered())
        return; // destruction waits for the thread
    EndCallsUnderWay(call);
    WaitReleaseHeld();
}

void TCPClient::WaitReleaseHeld() {
    const bool own = IsOwnThread();
    bool wait;
    {
        LockHolder hold(&m_Lock);
        if ((m_State & (kSocketOpened | kConnected)) != 0)
            m_Socket.Close(false); // graceful: the linger setting is left as it is
        Change(0, kSocketOpened | kConnected, Lives(Life::LIVE), Life::CUT, "Wait_Release");
        wait = (m_State & kThreadRunning) != 0;
    }
    // A thread that Release asked to end has no "running" bit any more but
    // may still run: it is waited for all the same.
    if (wait)
        m_Socket.StopReading();
    if (!own) {
        WaitForReceiveThread();
    } else if (wait) {
        // The thread cannot wait for itself: it ends once the callback
        // returns to it, as after Release (left reading no socket, it would
        // idle until destruction, and a later Release would not end it).
        SignalExit();
    }
    LockHolder hold(&m_Lock);
    Change(0, kThreadRunning, own ? 0 : Lives(Life::CUT), Life::IDLE, "Wait_Release");
}

void TCPClient::Clear() {
    CleanUp();
}

// ---------------------------------------------------------------- receive thread

LONG TCPClient::Run(void* /*param*/) {
    RunScope scope(this);

    // Cleared: the stack may be one that an ended thread left, with its
    // stale words, and a message uses only the front (see BeforeWait).
    unsigned char buffer[2 * kMaxMessage] = {};
    void* kernel = static_cast<NetKernel*>(this);
    LONG begun = MsgThreadBegin(kernel);
    if (scope.Destroyed())
        return 0;
    if (begun == 0) {
        for (;;) {
            int n = kPass;
            if (m_Socket.Generation() != 0)
                n = ReceiveStep(buffer);
            else
                WaitForExitRequest();
            if (n > 0) {
                LONG handled = HandleMessage(buffer, n);
                if (scope.Destroyed())
                    return 0;
                if (handled != 0) {
                    ServerCut();
                    break;
                }
            } else if (n != kPass && !SocketReplaced()) {
                // A 0 or -1 of a socket that Reconnect retired is no end:
                // the loop goes on with the new one.
                ServerCut();
                break;
            }
            if (ICanExit()) {
                ServerCut();
                break;
            }
        }
        if (scope.Destroyed())
            return 0;
    }
    m_Socket.ReaderEnded();
    MsgThreadEnd(kernel);
    if (scope.Destroyed())
        return 0;
    scope.Close();
    // Before the thread words go: an ending call from now on still waits
    // for this thread's last steps (they run library code, and a process
    // or library that ends under them stalls or faults).
    KeepEndedThread();
    CleanUp();
    return 0;
}

int TCPClient::ReceiveStep(unsigned char* buffer) {
    return RecvMsg(buffer);
}

void TCPClient::BeforeWait() {
    if (m_ClearStackBeforeWait)
        ClearStackBelow();
}

void TCPClient::WaitForExitRequest() {
    BeforeWait();
    // m_ExitEvent stays valid while this thread runs: it is closed only by
    // this thread's CleanUp or by a waiter once the thread has ended.
    DWORD exitEvent = std::atomic_ref<DWORD>(m_ExitEvent).load(std::memory_order_acquire);
    if (exitEvent != 0)
        WaitForSingleObject(WordToHandle(exitEvent), kIdleSliceMs);
}

int TCPClient::RecvMsg(unsigned char* buffer) {
    DWORD live = m_Socket.Generation();
    if (live == 0)
        return 0;
    if (live != m_AheadGeneration) {
        // A new socket since the last message: what is buffered belongs to the old one.
        m_AheadBegin = m_AheadEnd = 0;
        m_AheadGeneration = live;
    }

    // The fill is asked for only when the buffered bytes are short of the
    // head, then of the message: most messages of a fast stream need neither.
    if (m_AheadEnd - m_AheadBegin < kHeadSize) {
        int result = FillAhead(kHeadSize, false, 0);
        if (result <= 0)
            return result;
    }
    int size = MessageSize(m_Ahead + m_AheadBegin);
    if (size > kMaxMessage) {
        m_AheadBegin += kHeadSize; // the head is read; nothing else is
        return 0;
    }
    if (size <= kHeadSize) {
        std::memcpy(buffer, m_Ahead + m_AheadBegin, kHeadSize);
        m_AheadBegin += kHeadSize;
        return kHeadSize;
    }
    if (m_AheadEnd - m_AheadBegin < size) {
        int result = FillAhead(size, true, size - kHeadSize);
        if (result <= 0)
            return result;
    }
    // The only copy: the head as it is, the body unscrambled on the way.
    const unsigned char* message = m_Ahead + m_AheadBegin;
    std::memcpy(buffer, message, kHeadSize);
    DecodeCopy(message + kHeadSize, buffer + kHeadSize, static_cast<DWORD>(size - kHeadSize));
    m_AheadBegin += size;
    return size;
}

// Receives until need bytes of the current message (which starts at
// m_AheadBegin) are buffered. Returns 1 then; otherwise RecvMsg's result:
// 0 when the peer closed (a message cut short is never handed out), the
// connection was reset or aborted, or the socket is gone; -1 on another
// error. Errors are logged as the head read (body false) or the body read
// (body true, bodyLength the body's full length) would log them.
int TCPClient::FillAhead(int need, bool body, int bodyLength) {
    while (m_AheadEnd - m_AheadBegin < need) {
        // Keep the partial message (less than one whole message) at the
        // front, so the receive gets all the room behind it.
        if (m_AheadBegin > 0) {
            int kept = m_AheadEnd - m_AheadBegin;
            std::memmove(m_Ahead, m_Ahead + m_AheadBegin, static_cast<size_t>(kept));
            m_AheadBegin = 0;
            m_AheadEnd = kept;
        }

        if (SocketUseHook hook = g_UseHook.load(std::memory_order_acquire))
            hook(this, false, g_UseHookContext.load(std::memory_order_acquire));
        DWORD generation = 0;
        SOCKET handle = BeginUse(ClientSocket::Use::Read, &generation);
        if (handle == INVALID_SOCKET)
            return 0;
        if (generation != m_AheadGeneration) {
            EndReadUse(handle);
            return 0; // the socket was replaced in the middle of a message
        }
        const int room = m_AheadSize - m_AheadEnd;
        BeforeWait();
        int n = recv(handle, reinterpret_cast<char*>(m_Ahead) + m_AheadEnd, room, 0);
        int error = n == SOCKET_ERROR ? WSAGetLastError() : 0;
        if (!EndReadUse(handle))
            return 0; // this connection closed the socket during the receive
        if (n > 0) {
            m_AheadEnd += n;
            SizeAheadFor(n, room);
            continue;
        }
        if (n == 0)
            return 0;

        if (body) {
            Debug("Yonder3::YSocket::RecvLen(%d) error!( 0x%x)", bodyLength, error);
            Debug("TCPClient::RecvMsg() RecvLen fail! ( 0x%x )", error);
            LogIfPeerSilent(error);
            WSASetLastError(error);
            return -1;
        }
        Debug("TCPClient::RecvMsg() recv fail! ( 0x%x )", error);
        LogIfPeerSilent(error);
        if (error == WSAECONNABORTED || error == WSAECONNRESET) {
            m_Socket.CloseIfHeld(handle);
            return 0;
        }
        if (error == WSANOTINITIALISED)
            return 0;
        WSASetLastError(error); // for a caller that tells passing errors from lasting ones
        return -1;
    }
    return 1;
}

// The large buffer pays off only while the socket has more bytes than the
// small one holds at every receive; a receive that fills the whole room
// says so. Once receives bring little for a long run, the connection gives
// the large buffer back, so that a connection gone quiet costs what an
// idle one does.
void TCPClient::SizeAheadFor(int n, int room) {
    if (m_AheadLarge == nullptr) {
        m_FullReads = n == room ? m_FullReads + 1 : 0;
        if (m_FullReads >= kFullReadsToGrow) {
            m_FullReads = 0;
            ResizeAhead(kAheadLarge);
        }
        return;
    }
    m_SmallReads = n <= kAheadSmall / 4 ? m_SmallReads + 1 : 0;
    if (m_SmallReads >= kSmallReadsToShrink && m_AheadEnd - m_AheadBegin <= kAheadSmall) {
        m_SmallReads = 0;
        ResizeAhead(kAheadSmall);
    }
}

void TCPClient::ResizeAhead(int size) {
    unsigned char* target = m_AheadSmall;
    unsigned char* large = m_AheadLarge;
    if (size == kAheadLarge) {
        large = new (std::nothrow) unsigned char[kAheadLarge];
        if (large == nullptr)
            return; // stay with the small buffer
        target = large;
    }
    const int kept = m_AheadEnd - m_AheadBegin;
    std::memcpy(target, m_Ahead + m_AheadBegin, static_cast<size_t>(kept));
    if (size == kAheadSmall) {
        delete[] m_AheadLarge;
        large = nullptr;
    }
    m_AheadLarge = large;
    m_Ahead = target;
    m_AheadSize = size;
    m_AheadBegin = 0;
    m_AheadEnd = kept;
}

void SetCommitHook(CommitHook hook, void* context) {
    g_CommitHook.store(nullptr, std::memory_order_release);
    g_CommitHookContext.store(context, std::memory_order_release);
    g_CommitHook.store(hook, std::memory_order_release);
}

void SetSocketUseHook(SocketUseHook hook, void* context) {
    g_UseHook.store(nullptr, std::memory_order_release);
    g_UseHookContext.store(context, std::memory_order_release);
    g_UseHook.store(hook, std::memory_order_release);
}

bool TCPClient::SocketReplaced() const {
    DWORD live = m_Socket.Generation();
    return live != 0 && live != m_AheadGeneration;
}

bool TCPClient::HasBufferedMessage() const {
    if (m_Socket.Generation() != m_AheadGeneration)
        return false;
    int buffered = m_AheadEnd - m_AheadBegin;
    if (buffered < kHeadSize)
        return false;
    int size = MessageSize(m_Ahead + m_AheadBegin);
    return size <= kHeadSize || size > kMaxMessage || buffered >= size;
}

LONG TCPClient::HandleMessage(void* message, int length) {
    return m_Worker->HandleMessage(message, length, nullptr, static_cast<NetKernel*>(this));
}

LONG TCPClient::MsgThreadBegin(void* p) {
    m_Worker->PostMsg(2, 0);
    return m_Worker->MsgThreadBegin(p);
}

void TCPClient::MsgThreadEnd(void* p) {
    RunFrame* frame = OwnRunFrame(this);
    m_Worker->MsgThreadEnd(p);
    if (frame != nullptr && frame->destroyed)
        return;
    m_Worker->PostMsg(3, 0);
}

// ---------------------------------------------------------------- small operations

LONG TCPClient::Error(void* /*connection*/, LONG code, const char* text) {
    return YRet(code, "%s", text);
}

void TCPClient::SetData(void* /*connection*/, void* data) {
    std::atomic_ref<void*>(m_Data).store(data);
}

void* TCPClient::GetData(void* /*connection*/) {
    return std::atomic_ref<void*>(m_Data).load();
}

bool TCPClient::IsConnect() {
    LockHolder hold(&m_Lock);
    return (m_State & kConnected) != 0;
}

bool TCPClient::IsInited() {
    LockHolder hold(&m_Lock);
    return m_State != 0;
}

bool TCPClient::IsSockValid() {
    return m_Socket.Held() == INVALID_SOCKET;
}

ULONG TCPClient::GetLocalIP() {
    SOCKET handle = BeginSocketUse();
    if (handle == INVALID_SOCKET)
        return 0;
    YSocketAddr local{};
    int length = YSocketAddr::Length;
    ULONG address = 0;
    if (getsockname(handle, local.AsSockaddr(), &length) == 0)
        std::memcpy(&address, &local.sin_addr, sizeof address);
    EndSocketUse(handle);
    return address;
}

} // namespace YNet2

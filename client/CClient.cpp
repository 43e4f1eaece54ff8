#include "client/CClient.h"

#include <new>

#include "client/CConnection.h"

namespace YNet2 {

namespace {
// The client whose receive thread this is, from MsgThreadBegin to MsgThreadEnd.
thread_local const CClient* t_ReceiveOf = nullptr;
// The clients whose CONNECTED runs on this thread, innermost first: a
// CONNECTED may connect another client, whose CONNECTED then runs inside.
struct ConnectedFrame {
    const CClient* client;
    const ConnectedFrame* outer;
};
thread_local const ConnectedFrame* t_Connected = nullptr;
} // namespace

CClient::CClient(const ynet_callbacks& callbacks)
    : MsgWorker(static_cast<HWND>(callbacks.window), callbacks.window_message), m_Callbacks(callbacks) {}

// Each destructor ends its connection and waits for its receive thread,
// while the callbacks still stand.
CClient::~CClient() {
    delete m_Direct;
    delete m_Proxied;
}

TCPClient* CClient::Direct(std::optional<TCPClient::CallScope>& call) {
    if (m_Direct == nullptr)
        m_Direct = new (std::nothrow) CConnection<TCPClient>(this);
    if (m_Direct != nullptr) {
        call.emplace(*m_Direct);
        Activate(m_Direct);
        m_Direct->Wait_Release(); // TCPClient::Init wants no connection held
        GiveOptions(m_Direct);
    }
    return m_Direct;
}

TCPClient_Socks5* CClient::Proxied(std::optional<TCPClient::CallScope>& call) {
    if (m_Proxied == nullptr)
        m_Proxied = new (std::nothrow) CConnection<TCPClient_Socks5>(this);
    if (m_Proxied != nullptr) {
        call.emplace(*m_Proxied);
        Activate(m_Proxied);
        GiveOptions(m_Proxied);
    }
    return m_Proxied;
}

void CClient::Activate(TCPClient* next) {
    TCPClient* previous = m_Active.exchange(next, std::memory_order_acq_rel);
    if (previous != nullptr && previous != next)
        previous->Wait_Release();
}

LONG CClient::Reconnect() {
    TCPClient* active = Active();
    if (active == nullptr)
        return E_FAIL;
    GiveOptions(active);
    // TCPClient_Socks5::Reconnect hides TCPClient's (it is not virtual).
    return active == m_Proxied ? m_Proxied->Reconnect() : active->Reconnect();
}

void CClient::SetNoDelay(bool on) {
    std::lock_guard<std::mutex> hold(m_OptionsLock);
    m_NoDelay = on;
}

bool CClient::SetKeepAlive(DWORD idleMs, DWORD intervalMs, DWORD count) {
    if (!TCPClient::IsKeepAliveSetting(idleMs, intervalMs, count))
        return false;
    std::lock_guard<std::mutex> hold(m_OptionsLock);
    m_KeepAliveIdle = idleMs;
    m_KeepAliveInterval = intervalMs;
    m_KeepAliveCount = count;
    return true;
}

void CClient::GiveOptions(TCPClient* connection) {
    std::lock_guard<std::mutex> hold(m_OptionsLock);
    connection->SetNoDelay(m_NoDelay);
    connection->SetKeepAlive(m_KeepAliveIdle, m_KeepAliveInterval, m_KeepAliveCount);
}

// Not reached: the connections hand their messages to Deliver themselves.
LONG CClient::HandleMessage(void* message, int length, void* /*connection*/, void* /*kernel*/) {
    return Deliver(static_cast<const unsigned char*>(message), length);
}

LONG CClient::ConnectionCut(void* /*connection*/) {
    if (m_Callbacks.on_cut != nullptr)
        m_Callbacks.on_cut(m_Callbacks.user, this);
    return 0;
}

LONG CClient::ConnectionAccept(void* /*connection*/) {
    return 0;
}

LONG CClient::MsgThreadBegin(void* /*kernel*/) {
    {
        std::unique_lock<std::mutex> hold(m_ConnectLock);
        m_ConnectEnded.wait(hold, [this] { return !m_Connecting; });
    }
    t_ReceiveOf = this;
    Notify(YNET_NOTIFY_THREAD_STARTED);
    if (m_Callbacks.on_thread_begin != nullptr)
        m_Callbacks.on_thread_begin(m_Callbacks.user, this);
    return 0;
}

void CClient::MsgThreadEnd(void* /*kernel*/) {
    if (m_Callbacks.on_thread_end != nullptr)
        m_Callbacks.on_thread_end(m_Callbacks.user, this);
    Notify(YNET_NOTIFY_THREAD_ENDED);
    t_ReceiveOf = nullptr;
}

void CClient::BeginConnect() {
    std::lock_guard<std::mutex> hold(m_ConnectLock);
    m_Connecting = true;
}

void CClient::EndConnect(bool connected) {
    if (connected) {
        m_EverConnected.store(true, std::memory_order_release);
        const ConnectedFrame frame{this, t_Connected};
        t_Connected = &frame;
        Notify(YNET_NOTIFY_CONNECTED);
        t_Connected = frame.outer;
    }
    std::lock_guard<std::mutex> hold(m_ConnectLock);
    m_Connecting = false;
    m_ConnectEnded.notify_all();
}

bool CClient::InOwnCallback() const {
    for (const ConnectedFrame* frame = t_Connected; frame != nullptr; frame = frame->outer) {
        if (frame->client == this)
            return true;
    }
    return t_ReceiveOf == this;
}

void CClient::Notify(uint32_t what) {
    if (m_Callbacks.on_notify != nullptr)
        m_Callbacks.on_notify(m_Callbacks.user, this, what);
}

} // namespace YNet2

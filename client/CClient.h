// Internal header. CClient: one client of the C interface (include/ynet.h).
//
// A MsgWorker that forwards each callback to the C function the application
// gave, and the connection it works for: a TCPClient for a direct connect, a
// TCPClient_Socks5 through a proxy (each a CConnection), made on its first
// connect, so that either kind behaves exactly as the C++ class does. A
// received message goes from the connection's HandleMessage straight to
// on_message (Deliver), without the hop through the worker: no more calls
// than a C++ MsgWorker gets, and no copy.
//
// Ownership: both connection objects live until the CClient is destroyed;
// a connect of the other kind ends the one active before (Wait_Release) and
// keeps it, so a thread still holding it never meets a freed object.
//
// Threads: the callbacks run on the client's receive thread, CONNECTED on
// the connecting thread while the receive thread waits for it.
// InOwnCallback tells a call made from one of them (between MsgThreadBegin
// and MsgThreadEnd on the receive thread, or inside CONNECTED), so that calls
// which would wait for that receive thread can be refused.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>

#include "client/MsgWorker.h"
#include "client/TCPClient_Socks5.h"
#include "platform/WinApi.h"
#include "ynet.h"

// The opaque type of the C interface: every handle is a CClient.
struct ynet_client {};

namespace YNet2 {

class CClient : public ynet_client, public MsgWorker {
public:
    // callbacks: checked by the caller (size, on_message).
    explicit CClient(const ynet_callbacks& callbacks);
    ~CClient() override;
    CClient(const CClient&) = delete;
    CClient& operator=(const CClient&) = delete;

    // One received message to on_message. The head's fields are read
    // straight from its bytes (drawn in YNetMsgHead.h).
    LONG Deliver(const unsigned char* message, int length) {
        // Request and respond are bits 0 and 1 of byte 2, as YNET_FLAG_REQUEST
        // and YNET_FLAG_RESPOND; the ordinal bit is bit 7 of byte 1.
        static_assert(YNET_FLAG_REQUEST == 1u && YNET_FLAG_RESPOND == 2u && YNET_FLAG_ORDINAL == 4u);
        const uint32_t flags = (message[2] & 0x03u) | ((message[1] >> 5) & 0x04u);
        return m_Callbacks.on_message(m_Callbacks.user, this, message[2] >> 2, message[3], flags, message + 4,
                                      length - 4);
    }

    LONG HandleMessage(void* message, int length, void* connection, void* kernel) override;
    LONG ConnectionCut(void* connection) override;
    LONG ConnectionAccept(void* connection) override;
    LONG MsgThreadBegin(void* kernel) override;
    void MsgThreadEnd(void* kernel) override;

    // The owner's thread, around a connect: a receive thread that the
    // connect starts waits in MsgThreadBegin until EndConnect has notified
    // CONNECTED (when connected), so CONNECTED comes first and never runs
    // at the same time as the thread's callbacks.
    void BeginConnect();
    void EndConnect(bool connected);
    // True inside this client's callbacks: on its receive thread, or in
    // CONNECTED on the connecting thread (also from a connect of another
    // client made there).
    bool InOwnCallback() const;
    // True once a connect of this client succeeded. Any thread.
    bool EverConnected() const { return m_EverConnected.load(std::memory_order_acquire); }

    // Owner's thread, before a connect: the object of that kind, made
    // active (null when it cannot be allocated). call is opened on it
    // before it is made active, so the whole connect is one call of it: an
    // ending call from another thread from then on ends the connect.
    TCPClient* Direct(std::optional<TCPClient::CallScope>& call);
    TCPClient_Socks5* Proxied(std::optional<TCPClient::CallScope>& call);
    // The object of the last connect, or null before the first. Any thread.
    TCPClient* Active() const { return m_Active.load(std::memory_order_acquire); }
    // Reconnect of the active object, as its own class does it.
    LONG Reconnect();

    // Socket options for the connections made from now on: kept here and
    // given to the connection object before each connect and reconnect.
    // Any thread. SetKeepAlive is false (nothing kept) for what
    // TCPClient::SetKeepAlive refuses.
    void SetNoDelay(bool on);
    bool SetKeepAlive(DWORD idleMs, DWORD intervalMs, DWORD count);

private:
    void Notify(uint32_t what);
    // Ends the other object's connection and makes next the active one.
    void Activate(TCPClient* next);
    // The kept socket options onto connection.
    void GiveOptions(TCPClient* connection);

    ynet_callbacks m_Callbacks;
    TCPClient* m_Direct = nullptr;         // owned, a CConnection<TCPClient>
    TCPClient_Socks5* m_Proxied = nullptr; // owned, a CConnection<TCPClient_Socks5>
    std::atomic<TCPClient*> m_Active{nullptr};
    std::mutex m_ConnectLock; // m_Connecting
    std::condition_variable m_ConnectEnded;
    bool m_Connecting = false;
    std::atomic<bool> m_EverConnected{false};
    std::mutex m_OptionsLock; // the four below
    bool m_NoDelay = true;
    DWORD m_KeepAliveIdle = TCPClient::kKeepAliveIdleMs;
    DWORD m_KeepAliveInterval = TCPClient::kKeepAliveIntervalMs;
    DWORD m_KeepAliveCount = TCPClient::kKeepAliveCount;
};

} // namespace YNet2

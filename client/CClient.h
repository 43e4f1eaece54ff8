// CClient: one client of the C interface (include/ynet.h). Internal header.
//
// A MsgWorker that forwards each callback to the C function the application
// gave, and the TCPClient_Socks5 it works for. A received message reaches
// on_message from HandleMessage with one indirect call and no copy.
//
// Threads: the callbacks run on the client's receive thread. OnReceiveThread
// tells a call made from one of them (between MsgThreadBegin and
// MsgThreadEnd on that thread), so that calls which would wait for this
// very thread can be refused.
#pragma once

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

    LONG HandleMessage(void* message, int length, void* connection, void* kernel) override;
    LONG ConnectionCut(void* connection) override;
    LONG ConnectionAccept(void* connection) override;
    LONG MsgThreadBegin(void* kernel) override;
    void MsgThreadEnd(void* kernel) override;

    // The owner's thread, after a successful connect.
    void NotifyConnected();
    // True on this client's receive thread, inside its callbacks.
    bool OnReceiveThread() const;

    TCPClient_Socks5& Client() { return m_Client; }

private:
    void Notify(uint32_t what);

    ynet_callbacks m_Callbacks;
    // Declared last, destroyed first: its receive thread has ended before
    // the callbacks above go.
    TCPClient_Socks5 m_Client;
};

} // namespace YNet2

// Internal header. CConnection: a connection of the C interface, TCPClient
// or TCPClient_Socks5 as Base, whose receive thread hands each message
// straight to its CClient's Deliver.
//
// It overrides only HandleMessage; the rest is Base's own. Its destructor
// ends the receive thread first, as a class that overrides HandleMessage
// must (TCPClient::EndReceiveThread).
#pragma once

#include "client/CClient.h"
#include "client/TCPClient.h"
#include "platform/WinApi.h"

namespace YNet2 {

template <typename Base> class CConnection : public Base {
public:
    // The C interface serves runtimes that may scan stacks conservatively
    // (Mono, Unity's): the receive thread clears what handlers left.
    explicit CConnection(CClient* owner) : Base(owner), m_Owner(owner) { this->SetClearStackBeforeWait(true); }
    ~CConnection() override { this->EndReceiveThread(); }
    CConnection(const CConnection&) = delete;
    CConnection& operator=(const CConnection&) = delete;

    LONG HandleMessage(void* message, int length) override {
        return m_Owner->Deliver(static_cast<const unsigned char*>(message), length);
    }

private:
    CClient* m_Owner;
};

} // namespace YNet2

#include "client/CClient.h"

#include "message/YNetMsgHead.h"

namespace YNet2 {

namespace {
// The client whose receive thread this is, from MsgThreadBegin to MsgThreadEnd.
thread_local const CClient* t_ReceiveOf = nullptr;
} // namespace

CClient::CClient(const ynet_callbacks& callbacks)
    : MsgWorker(static_cast<HWND>(callbacks.window), callbacks.window_message), m_Callbacks(callbacks), m_Client(this) {
}

CClient::~CClient() = default;

LONG CClient::HandleMessage(void* message, int length, void* /*connection*/, void* /*kernel*/) {
    const auto* bytes = static_cast<const unsigned char*>(message);
    const auto* head = static_cast<const YNetMsgHead*>(message);
    uint32_t flags = (head->IsRequestMsg() ? YNET_FLAG_REQUEST : 0u) | (head->IsRespondMsg() ? YNET_FLAG_RESPOND : 0u) |
                     (head->IsOrdinal() ? YNET_FLAG_ORDINAL : 0u);
    return m_Callbacks.on_message(m_Callbacks.user, this, head->GetMainID(), head->GetAssistantID(), flags,
                                  bytes + YNetMsgHead::HeadSize, length - YNetMsgHead::HeadSize);
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

void CClient::NotifyConnected() {
    Notify(YNET_NOTIFY_CONNECTED);
}

bool CClient::OnReceiveThread() const {
    return t_ReceiveOf == this;
}

void CClient::Notify(uint32_t what) {
    if (m_Callbacks.on_notify != nullptr)
        m_Callbacks.on_notify(m_Callbacks.user, this, what);
}

} // namespace YNet2

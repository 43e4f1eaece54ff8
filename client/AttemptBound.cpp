#include "client/AttemptBound.h"

namespace YNet2 {

AttemptBound::AttemptBound(TCPClient& client)
    : m_Client(client), m_Bound(client.GetConnectTimeout()), m_Start(GetTickCount()) {}

AttemptBound::~AttemptBound() {
    m_Client.SetConnectTimeout(m_Bound);
}

bool AttemptBound::Narrow() {
    if (m_Bound == 0)
        return true;
    DWORD spent = GetTickCount() - m_Start;
    if (spent >= m_Bound)
        return false;
    m_Client.SetConnectTimeout(m_Bound - spent);
    return true;
}

} // namespace YNet2

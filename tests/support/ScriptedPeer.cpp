#include "support/ScriptedPeer.h"

#include <algorithm>
#include <cstring>

#include "message/Scrambler.h"
#include "message/YNetMsgHead.h"
#include "support/Loopback.h"

namespace YNetTest {

ScriptedPeer::ScriptedPeer() : m_Listener(INVALID_SOCKET), m_Connection(INVALID_SOCKET), m_Address{} {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener == INVALID_SOCKET)
        return;
    m_Address.sin_family = AF_INET;
    const unsigned char loopback[4] = {127, 0, 0, 1}; // in network order, as the record holds it
    std::memcpy(&m_Address.sin_addr, loopback, sizeof loopback);
    m_Address.sin_port = 0;
    int length = YNet2::YSocketAddr::Length;
    if (bind(listener, m_Address.AsSockaddr(), length) != 0 || listen(listener, 16) != 0 ||
        getsockname(listener, m_Address.AsSockaddr(), &length) != 0) {
        closesocket(listener);
        return;
    }
    m_Listener = listener;
}

ScriptedPeer::~ScriptedPeer() {
    CloseIfOpen(&m_Connection);
    for (SOCKET& s : m_Earlier)
        CloseIfOpen(&s);
    CloseIfOpen(&m_Listener);
}

YNet2::YSocketAddr ScriptedPeer::Address() const {
    return m_Address;
}

bool ScriptedPeer::HasPendingConnection(DWORD milliseconds) {
    return m_Listener != INVALID_SOCKET && WaitReadable(m_Listener, milliseconds);
}

bool ScriptedPeer::Accept(DWORD milliseconds) {
    if (!HasPendingConnection(milliseconds))
        return false;
    SOCKET accepted = accept(m_Listener, nullptr, nullptr);
    if (accepted == INVALID_SOCKET)
        return false;
    int on = 1;
    setsockopt(accepted, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    if (m_Connection != INVALID_SOCKET)
        m_Earlier.push_back(m_Connection);
    m_Connection = accepted;
    return true;
}

bool ScriptedPeer::Send(const void* data, int length) {
    const char* bytes = static_cast<const char*>(data);
    int sent = 0;
    while (sent < length) {
        int n = send(m_Connection, bytes + sent, length - sent, 0);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

bool ScriptedPeer::Send(std::initializer_list<unsigned char> bytes) {
    std::vector<unsigned char> copy(bytes);
    return Send(copy);
}

bool ScriptedPeer::Receive(int length, std::vector<unsigned char>* out, DWORD milliseconds) {
    out->clear();
    DWORD start = GetTickCount();
    while (static_cast<int>(out->size()) < length) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= milliseconds || !WaitReadable(m_Connection, milliseconds - elapsed))
            return false;
        char piece[4096];
        int want = length - static_cast<int>(out->size());
        int n = recv(m_Connection, piece, want < 4096 ? want : 4096, 0);
        if (n <= 0)
            return false;
        out->insert(out->end(), piece, piece + n);
    }
    return true;
}

int ScriptedPeer::WaitForEnd(DWORD milliseconds) {
    DWORD start = GetTickCount();
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        if (elapsed >= milliseconds || !WaitReadable(m_Connection, milliseconds - elapsed))
            return -1;
        char piece[4096];
        int n = recv(m_Connection, piece, sizeof piece, 0);
        if (n == 0)
            return 0;
        if (n == SOCKET_ERROR)
            return WSAGetLastError();
    }
}

void ScriptedPeer::Close() {
    CloseIfOpen(&m_Connection);
}

void ScriptedPeer::Reset() {
    if (m_Connection == INVALID_SOCKET)
        return;
    linger abortive{1, 0};
    setsockopt(m_Connection, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive), sizeof abortive);
    CloseIfOpen(&m_Connection);
}

std::vector<unsigned char> PlainMessage(BYTE mainID, BYTE assistantID, const std::vector<unsigned char>& body) {
    std::vector<unsigned char> message(YNet2::YNetMsgHead::HeadSize + body.size());
    reinterpret_cast<YNet2::YNetMsgHead*>(message.data())
        ->SetHead(static_cast<WORD>(message.size()), mainID, assistantID, true, false, false);
    std::copy(body.begin(), body.end(), message.begin() + YNet2::YNetMsgHead::HeadSize);
    return message;
}

std::vector<unsigned char> WireMessage(BYTE mainID, BYTE assistantID, const std::vector<unsigned char>& body) {
    std::vector<unsigned char> message = PlainMessage(mainID, assistantID, body);
    if (body.size() > 0) {
        unsigned char scratch = 0;
        YNet2::Encode(message.data() + YNet2::YNetMsgHead::HeadSize, static_cast<DWORD>(body.size()), scratch);
    }
    return message;
}

} // namespace YNetTest

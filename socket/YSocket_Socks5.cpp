#include "socket/YSocket_Socks5.h"

namespace YNet2 {

YSocket_Socks5::YSocket_Socks5() : m_Socket(INVALID_SOCKET) {}

YSocket_Socks5::YSocket_Socks5(const YSocket_Socks5& other) : m_Socket(other.m_Socket) {}

YSocket_Socks5::~YSocket_Socks5() {
    if (m_Socket == INVALID_SOCKET)
        return;
    closesocket(m_Socket);
    m_Socket = INVALID_SOCKET;
}

YSocket_Socks5& YSocket_Socks5::operator=(const YSocket_Socks5& other) {
    m_Socket = other.m_Socket;
    return *this;
}

} // namespace YNet2

#include "support/Loopback.h"

namespace YNetTest {

sockaddr_in LoopbackAddress(unsigned short port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

SOCKET ListenOnLoopback(unsigned short* port) {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (listener == INVALID_SOCKET)
        return INVALID_SOCKET;
    sockaddr_in address = LoopbackAddress(0);
    int length = sizeof(address);
    if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        listen(listener, SOMAXCONN) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        closesocket(listener);
        return INVALID_SOCKET;
    }
    *port = ntohs(address.sin_port);
    return listener;
}

bool MakeConnectedPair(SOCKET* client, SOCKET* server) {
    *client = INVALID_SOCKET;
    *server = INVALID_SOCKET;
    unsigned short port = 0;
    SOCKET listener = ListenOnLoopback(&port);
    if (listener == INVALID_SOCKET)
        return false;
    // A loopback connect completes against the listen backlog at once, so
    // one thread can connect first and accept after.
    *client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = LoopbackAddress(port);
    bool ok = *client != INVALID_SOCKET &&
              connect(*client, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
              WaitReadable(listener, 10000);
    if (ok) {
        *server = accept(listener, nullptr, nullptr);
        ok = *server != INVALID_SOCKET;
    }
    closesocket(listener);
    if (!ok) {
        CloseIfOpen(client);
        CloseIfOpen(server);
    }
    return ok;
}

void CloseIfOpen(SOCKET* s) {
    if (*s != INVALID_SOCKET)
        closesocket(*s);
    *s = INVALID_SOCKET;
}

bool WaitReadable(SOCKET s, DWORD milliseconds) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(s, &readable);
    timeval timeout{static_cast<long>(milliseconds / 1000), static_cast<long>((milliseconds % 1000) * 1000)};
    return select(0, &readable, nullptr, nullptr, &timeout) == 1;
}

bool WaitForMessage(HWND window, UINT message, DWORD milliseconds, MSG* out) {
    DWORD start = GetTickCount();
    for (;;) {
        if (PeekMessageA(out, window, message, message, PM_REMOVE))
            return true;
        DWORD spent = GetTickCount() - start;
        if (spent >= milliseconds)
            return false;
        // Wakes for input that arrives after the look above.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - spent, QS_ALLINPUT);
    }
}

} // namespace YNetTest

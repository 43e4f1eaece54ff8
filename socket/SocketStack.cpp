#include "socket/SocketStack.h"

#include "framework/Log.h"

namespace YNet2 {
namespace {

constexpr WORD kVersion20 = MAKEWORD(2, 0);
constexpr LONG kSocketInitFailed = 10;

} // namespace

LONG SocketInit() {
    WSADATA data;
    if (WSAStartup(kVersion20, &data) != 0)
        return YRet(kSocketInitFailed, "SocketInit()");
    if (LOBYTE(data.wVersion) == 2 && HIBYTE(data.wVersion) == 0)
        return 0;
    WSACleanup();
    return YRet(kSocketInitFailed, "winsock ver is not 2.0");
}

void SocketRelease() {
    WSACleanup();
}

} // namespace YNet2

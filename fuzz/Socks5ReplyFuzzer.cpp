// libFuzzer harness for TCPClient_Socks5::Init against a hostile proxy, over
// a real loopback connection.
//
// Input: a byte that picks the handshake (SOCKS5 without authentication,
// SOCKS5 offering user name and password, SOCKS4, HTTP CONNECT), a byte that seeds how
// the proxy cuts its writes, then every byte the proxy sends. The proxy
// sends them all, ends its side (the client then sees the end of the
// stream) and reads whatever the client sends until it closes. Init is
// checked against a plain reading of the same bytes, made here after the
// RFCs and the class's stated choices:
//   SOCKS5  a method reply 05 00, or 05 02 when user name and password were
//           offered followed by an RFC 1929 reply 01 00; then a CONNECT
//           reply 05 00 xx with address type 1 (10 bytes in all), 3 (7 +
//           the name's length) or 4 (22), all of it there;
//   SOCKS4  eight bytes, the first 00 and the second 90 (5A);
//   HTTP    a status line "HTTP/1.d 2dd" (then a space and a reason, or
//           nothing) of at most 1024 bytes before its LF, header lines, and
//           a line that is empty but for CRs, its LF within the first 8192
//           bytes.
// Init succeeds exactly for such a grant, otherwise fails with its log line
// (SOCKS4: its two lines); it always ends within a bound; nothing crashes or leaks, and
// every thread the input started has left the process.
#include "client/TCPClient_Socks5.h"
#include "framework/Log.h"
#include "fuzz/support/LoopbackPeer.h"
#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace YNet2;

namespace {

enum Mode { kSocks5, kSocks5UserPassword, kSocks4, kHttp, kModes };

std::mutex g_LinesLock; // a receive thread may log too
std::vector<std::string> g_Lines;
void KeepLine(const char* line, void*) {
    std::lock_guard<std::mutex> hold(g_LinesLock);
    g_Lines.emplace_back(line);
}

bool IsHttpGrant(const std::uint8_t* reply, std::size_t length) {
    const std::string text(reinterpret_cast<const char*>(reply), length < 8192 ? length : 8192);
    std::size_t lf = text.find('\n');
    if (lf == std::string::npos || lf > 1024)
        return false;
    std::string status = text.substr(0, lf);
    if (!status.empty() && status.back() == '\r')
        status.pop_back();
    auto digit = [&](std::size_t i, char low, char high) { return status[i] >= low && status[i] <= high; };
    if (status.size() < 12 || status.compare(0, 7, "HTTP/1.") != 0 || !digit(7, '0', '9') || status[8] != ' ' ||
        status[9] != '2' || !digit(10, '0', '9') || !digit(11, '0', '9') || (status.size() > 12 && status[12] != ' '))
        return false;
    for (std::size_t at = lf + 1;; at = lf + 1) {
        lf = text.find('\n', at);
        if (lf == std::string::npos)
            return false;
        if (text.find_first_not_of('\r', at) == lf)
            return true;
    }
}

// The reference: does this byte run grant the connection?
bool IsGrant(Mode mode, const std::uint8_t* reply, std::size_t length) {
    if (mode == kHttp)
        return IsHttpGrant(reply, length);
    if (mode == kSocks4)
        return length >= 8 && reply[0] == 0 && reply[1] == 90;
    std::size_t at = 2;
    if (length < at || reply[0] != 5)
        return false;
    if (reply[1] == 2 && mode == kSocks5UserPassword) {
        if (length < at + 2 || reply[at] != 1 || reply[at + 1] != 0)
            return false;
        at += 2;
    } else if (reply[1] != 0) {
        return false;
    }
    if (length < at + 5 || reply[at] != 5 || reply[at + 1] != 0)
        return false;
    std::size_t need;
    switch (reply[at + 3]) {
    case 1:
        need = 10;
        break;
    case 3:
        need = 7 + reply[at + 4];
        break;
    case 4:
        need = 22;
        break;
    default:
        return false;
    }
    return length >= at + need;
}

class Worker : public MsgWorker {
public:
    Worker() : MsgWorker(nullptr, 0) {}
    LONG HandleMessage(void*, int, void*, void*) override { return 0; }
    LONG ConnectionCut(void*) override { return 0; }
    LONG ConnectionAccept(void*) override { return 0; }
};

using namespace LoopbackPeer;

SOCKET g_Listener = INVALID_SOCKET;
YSocketAddr g_Proxy{};

// The proxy: all its bytes in pieces, its end of the stream, then it reads
// until the client closes (bounded).
void Proxy(const std::uint8_t* reply, std::size_t length, std::uint32_t seed) {
    CHECK(WaitReadable(g_Listener, 8));
    SOCKET proxy = accept(g_Listener, nullptr, nullptr);
    CHECK(proxy != INVALID_SOCKET);
    std::size_t at = 0;
    while (at < length) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        std::size_t piece = 1 + seed % 16;
        if (piece > length - at)
            piece = length - at;
        int n = send(proxy, reinterpret_cast<const char*>(reply + at), static_cast<int>(piece), 0);
        if (n <= 0)
            break;
        at += static_cast<std::size_t>(n);
    }
    shutdown(proxy, SD_SEND);
    char sink[256];
    while (WaitReadable(proxy, 8) && recv(proxy, sink, sizeof sink, 0) > 0) {
    }
    closesocket(proxy);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetLogSink(&KeepLine, nullptr);
    g_Listener = Listen(&g_Proxy);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const Mode mode = static_cast<Mode>(data[0] % kModes);
    const std::uint32_t seed = (data[1] * 2654435761u) | 1;
    const std::uint8_t* reply = data + 2;
    const std::size_t length = size - 2;

    const int threadsBefore = BaselineThreadCount();
    {
        std::lock_guard<std::mutex> hold(g_LinesLock);
        g_Lines.clear();
    }
    Worker worker;
    LONG result;
    {
        TCPClient_Socks5 client(&worker);
        YSocketAddr target = g_Proxy; // never reached: the proxy only answers
        std::thread proxy(Proxy, reply, length, seed);
        auto start = std::chrono::steady_clock::now();
        result = client.Init(target,
                             mode == kSocks4 ? TCPClient_Socks5::SOCKS4
                             : mode == kHttp ? TCPClient_Socks5::HTTP
                                             : TCPClient_Socks5::SOCKS5,
                             &g_Proxy, mode == kSocks5UserPassword ? "user" : nullptr,
                             mode == kSocks5UserPassword ? "password" : nullptr);
        CHECK(std::chrono::steady_clock::now() - start < std::chrono::seconds(8));
        client.Wait_Release();
        proxy.join();
    }
    ExpectThreadsBackTo(threadsBefore);
    if (IsGrant(mode, reply, length)) {
        CHECK(result == 0);
    } else {
        CHECK(result == E_FAIL);
        std::lock_guard<std::mutex> hold(g_LinesLock);
        CHECK(g_Lines.size() == (mode == kSocks4 ? 2u : 1u) && g_Lines[0].rfind("TCPClient_Socks5::Init() ", 0) == 0 &&
              g_Lines.back().rfind("TCPClient_Socks5::Init() ", 0) == 0);
    }
    return 0;
}

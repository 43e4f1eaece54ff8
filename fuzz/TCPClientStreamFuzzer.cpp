// libFuzzer harness for TCPClient's receive path, over a real loopback
// connection.
//
// Input: two bytes that seed how the server cuts its writes, then the bytes
// a hostile server sends to a connected TCPClient before it closes the
// connection. Everything the worker is handed is checked against a plain
// reading of the same bytes, made here without the client's code: heads
// read one after the other, a size of 0 to 4 a head-only message, a size
// over 1440 the end, a message the bytes do not complete never handed out,
// bodies unscrambled by the scrambler's step-by-step reference. So:
//   - the worker gets exactly the reference's messages, in order, byte for
//     byte, none longer than 1440 bytes;
//   - then it is told of the cut once and the receive thread ends, within a
//     bound (no hang), and the client closes its socket.
// A mismatch aborts, so libFuzzer keeps the input.
#include "client/TCPClient.h"
#include "framework/Log.h"
#include "fuzz/support/LoopbackPeer.h"
#include "message/ScramblerReference.h"
#include "platform/WinApi.h"
#include "socket/YSocketAddr.h"

#include <chrono>
#include <condition_variable>
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

using Bytes = std::vector<std::uint8_t>;

constexpr int kMaxMessage = 1440;
constexpr auto kBound = std::chrono::seconds(8); // far beyond a loopback round trip

void DropLine(const char*, void*) {}

// The messages a receiver must hand out for this byte run.
std::vector<Bytes> ReferenceMessages(const std::uint8_t* wire, std::size_t length) {
    std::vector<Bytes> messages;
    std::size_t at = 0;
    while (length - at >= 4) {
        std::size_t size = (wire[at] | (wire[at + 1] << 8)) & 0x7FFF;
        if (size > kMaxMessage)
            break;
        if (size <= 4) {
            messages.emplace_back(wire + at, wire + at + 4);
            at += 4;
            continue;
        }
        if (length - at < size)
            break;
        Bytes message(wire + at, wire + at + size);
        ScramblerReference::Decode(message.data() + 4, static_cast<DWORD>(size - 4));
        messages.push_back(message);
        at += size;
    }
    return messages;
}

class Worker : public MsgWorker {
public:
    Worker() : MsgWorker(nullptr, 0) {}
    LONG HandleMessage(void* message, int length, void*, void*) override {
        std::lock_guard<std::mutex> hold(m_Mutex);
        CHECK(length >= 4 && length <= kMaxMessage && !m_Cut);
        auto* bytes = static_cast<const std::uint8_t*>(message);
        messages.emplace_back(bytes, bytes + length);
        return 0;
    }
    LONG ConnectionCut(void*) override {
        std::lock_guard<std::mutex> hold(m_Mutex);
        CHECK(!m_Cut);
        m_Cut = true;
        return 0;
    }
    LONG ConnectionAccept(void*) override { return 0; }
    void MsgThreadEnd(void*) override {
        std::lock_guard<std::mutex> hold(m_Mutex);
        CHECK(m_Cut);
        m_Ended = true;
        m_Changed.notify_all();
    }
    bool WaitForEnd() {
        std::unique_lock<std::mutex> hold(m_Mutex);
        return m_Changed.wait_for(hold, kBound, [this] { return m_Ended; });
    }
    std::vector<Bytes> messages;

private:
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    bool m_Cut = false;
    bool m_Ended = false;
};

using namespace LoopbackPeer;

SOCKET g_Listener = INVALID_SOCKET;
YSocketAddr g_Address{};

// The server's side: writes the bytes in pieces (sizes from seed), then an
// orderly close. The client may cut first; a write that fails ends it.
void Serve(SOCKET server, const std::uint8_t* wire, std::size_t length, std::uint32_t seed) {
    std::size_t at = 0;
    while (at < length) {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        std::size_t piece = seed % 4 == 0 ? 1 + seed % 3 : 1 + seed % 2048;
        if (piece > length - at)
            piece = length - at;
        int n = send(server, reinterpret_cast<const char*>(wire + at), static_cast<int>(piece), 0);
        if (n <= 0)
            break;
        at += static_cast<std::size_t>(n);
    }
    closesocket(server);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    SetLogSink(&DropLine, nullptr);
    g_Listener = Listen(&g_Address);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const std::uint32_t seed = (static_cast<std::uint32_t>(data[0] | (data[1] << 8)) * 2654435761u) | 1;
    const std::uint8_t* wire = data + 2;
    const std::size_t length = size - 2;

    const int threadsBefore = BaselineThreadCount();
    Worker worker;
    {
        TCPClient client(&worker);
        CHECK(client.Init(g_Address) == 0);
        CHECK(WaitReadable(g_Listener, 8));
        SOCKET server = accept(g_Listener, nullptr, nullptr);
        CHECK(server != INVALID_SOCKET);
        int on = 1;
        setsockopt(server, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
        Serve(server, wire, length, seed);
        CHECK(worker.WaitForEnd());  // cut and ended, within the bound
        CHECK(client.IsSockValid()); // the cut closed the socket
        client.Wait_Release();
    }
    ExpectThreadsBackTo(threadsBefore);
    const std::vector<Bytes> expected = ReferenceMessages(wire, length);
    CHECK(worker.messages.size() == expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        CHECK(worker.messages[i] == expected[i]);
    return 0;
}

// ynet-churn: connects, exchanges one message and releases, many times over
// in one process, and shows what the process holds before and after.
//
//   ynet-churn [--cycles N] [--port P | --target HOST:PORT] [--proxy PORT | --proxy URL]
//
// Each cycle: a new TCPClient connects to the echo server, sends one
// message, waits for its echo in the worker, Wait_Release, destruction.
// With --proxy the client is a TCPClient_Socks5 that reaches the echo
// server through the SOCKS5 proxy (no authentication) on 127.0.0.1:PORT,
// or through the proxy of the URL (socks5://, socks5h://, socks4://,
// socks4a://, http://, as curl reads them: ProxyUrl). Without
// --port or --target the echo server runs in this process on an ephemeral
// loopback port (its connection threads and sockets count as the
// process's too, and are waited for before the last sample); with --port
// the client connects to 127.0.0.1:P, with --target to HOST:PORT (a name,
// resolved in every cycle unless the proxy resolves it, a dotted IPv4
// address, or [IPv6] through a SOCKS5 proxy).
//
// Prints the cycles per second and descriptors (handles on Windows),
// threads and resident memory before the first cycle and after the last.
// Exit status: 0 when every cycle got its echo and nothing grew (no
// descriptor, no thread, resident memory by less than kResidentNoiseKiB);
// 1 when a cycle failed or something grew; 2 on bad usage.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "client/MsgWorker.h"
#include "client/TCPClient.h"
#include "client/TCPClient_Socks5.h"
#include "framework/Log.h"
#include "message/YNetMsgHead.h"
#include "platform/WinApi.h"
#include "socket/ProxyUrl.h"
#include "socket/YSocketAddr.h"
#include "socket/YSocketTarget.h"
#include "support/Loopback.h"
#include "support/ProcessCounters.h"
#include "tools/EchoServer.h"

using namespace YNet2;

namespace {

// Allocator arenas and the first use of lazily built tables settle within
// the warm-up; what remains is noise of a few hundred KiB.
constexpr long kResidentNoiseKiB = 4096;
constexpr int kWarmUp = 50;
constexpr DWORD kWaitMs = 10000;

class EchoWaiter : public MsgWorker {
public:
    EchoWaiter() : MsgWorker(nullptr, 0) {}
    LONG HandleMessage(void* message, int length, void*, void*) override {
        std::lock_guard<std::mutex> hold(m_Mutex);
        m_Got = length == static_cast<int>(m_Expected.size()) &&
                std::memcmp(message, m_Expected.data(), m_Expected.size()) == 0;
        m_Done = true;
        m_Changed.notify_all();
        return 0;
    }
    LONG ConnectionCut(void*) override {
        std::lock_guard<std::mutex> hold(m_Mutex);
        m_Done = true;
        m_Changed.notify_all();
        return 0;
    }
    LONG ConnectionAccept(void*) override { return 0; }
    void Expect(const std::vector<unsigned char>& message) {
        std::lock_guard<std::mutex> hold(m_Mutex);
        m_Expected = message;
        m_Got = m_Done = false;
    }
    bool WaitForEcho() {
        std::unique_lock<std::mutex> hold(m_Mutex);
        m_Changed.wait_for(hold, std::chrono::milliseconds(kWaitMs), [this] { return m_Done; });
        return m_Got;
    }

private:
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::vector<unsigned char> m_Expected;
    bool m_Got = false;
    bool m_Done = false;
};

std::vector<unsigned char> Message(int cycle) {
    std::vector<unsigned char> message(4 + 32);
    reinterpret_cast<YNetMsgHead*>(message.data())
        ->SetHead(static_cast<WORD>(message.size()), 1, static_cast<BYTE>(cycle), true, false, false);
    for (size_t i = 4; i < message.size(); ++i)
        message[i] = static_cast<unsigned char>(cycle + i);
    return message;
}

// The exchange of a connected client, then Wait_Release; false when the
// echo did not come back whole.
bool Exchange(TCPClient& client, EchoWaiter& worker, const std::vector<unsigned char>& plain) {
    std::vector<unsigned char> sent = plain; // scrambled in place by SendMsg
    bool ok = client.SendMsg(nullptr, sent.data(), static_cast<int>(sent.size())) == static_cast<int>(sent.size()) &&
              worker.WaitForEcho();
    client.Wait_Release();
    return ok;
}

// One cycle, directly (proxy null) or through the proxy; false when the
// connection or the echo failed.
bool Cycle(const YSocketTarget& target, const ProxyUrl& url, EchoWaiter& worker, int cycle) {
    std::vector<unsigned char> plain = Message(cycle);
    worker.Expect(plain);
    if (url.GetScheme() == ProxyUrl::NONE) {
        TCPClient client(&worker);
        return client.Init(target) == 0 && Exchange(client, worker, plain);
    }
    TCPClient_Socks5 client(&worker);
    return client.Init(target, url) == 0 && Exchange(client, worker, plain);
}

void Show(const char* when, const YNetTest::ProcessCounters& counters) {
    std::printf("%-7s descriptors %ld, threads %ld, resident %ld KiB\n", when, counters.descriptors, counters.threads,
                counters.residentKiB);
}

void Quiet(const char*, void*) {}

} // namespace

int main(int argc, char** argv) {
    long cycles = 10000;
    long port = 0;
    long proxyPort = 0;
    std::string targetText;
    ProxyUrl url;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--target" && i + 1 < argc) {
            targetText = argv[++i];
        } else if (option == "--proxy" && i + 1 < argc && std::strchr(argv[i + 1], ':') != nullptr) {
            if (!url.Parse(argv[++i])) {
                std::fprintf(stderr, "ynet-churn: bad proxy URL: %s\n", url.Why());
                return 2;
            }
        } else if ((option == "--cycles" || option == "--port" || option == "--proxy") && i + 1 < argc) {
            char* end = nullptr;
            long value = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || value <= 0 || (option != "--cycles" && value > 65535)) {
                std::fprintf(stderr, "ynet-churn: bad number for %s\n", option.c_str());
                return 2;
            }
            (option == "--cycles" ? cycles : option == "--port" ? port : proxyPort) = value;
        } else {
            std::fprintf(stderr, "usage: ynet-churn [--cycles N] [--port P | --target HOST:PORT] [--proxy PORT|URL]\n");
            return 2;
        }
    }

    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 0), &data) != 0)
        return 1;
    SetLogSink(&Quiet, nullptr);
    YNet2Tools::EchoServer server;
    if (port == 0 && targetText.empty()) {
        if (server.Start() != 0) {
            std::fprintf(stderr, "ynet-churn: the echo server did not start\n");
            return 1;
        }
        port = server.Port();
    }
    if (targetText.empty())
        targetText = "127.0.0.1:" + std::to_string(port);
    if (proxyPort != 0 && !url.Parse(("socks5://127.0.0.1:" + std::to_string(proxyPort)).c_str()))
        return 2;
    const YSocketTarget target = YSocketTarget::Parse(targetText.data(), targetText.size());
    char why[2 * YSocketTarget::kMaxName];
    if (target.Refused(why, sizeof why)) {
        std::fprintf(stderr, "ynet-churn: --target: %s\n", why);
        return 2;
    }
    EchoWaiter worker;

    auto settle = [&] {
        // The in-process server's connection threads end once they see
        // their client's close.
        if (server.Port() != 0)
            server.WaitForClosed(server.Accepted(), kWaitMs);
    };
    int failed = 0;
    for (int i = 0; i < kWarmUp; ++i)
        failed += Cycle(target, url, worker, i) ? 0 : 1;
    settle();
    YNetTest::ProcessCounters before = YNetTest::SampleProcess();

    auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < cycles; ++i)
        failed += Cycle(target, url, worker, static_cast<int>(i)) ? 0 : 1;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    settle();
    YNetTest::WaitForThreadsAtMost(before.threads, kWaitMs);
    YNetTest::ProcessCounters after = YNetTest::SampleProcess();

    Show("before", before);
    Show("after", after);
    bool grew = after.descriptors > before.descriptors || after.threads > before.threads ||
                after.residentKiB - before.residentKiB >= kResidentNoiseKiB;
    std::printf("%ld cycles in %.2f s: %.0f cycles/s, %d failed, %s\n", cycles, seconds, cycles / seconds, failed,
                grew ? "something grew" : "nothing grew");
    server.Stop();
    WSACleanup();
    return failed == 0 && !grew ? 0 : 1;
}

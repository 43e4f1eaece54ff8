// TCPClient_Socks5 beside TCPClient on the same server in the same run: once
// the handshake is done, a proxied connection should cost what a direct one
// costs. Contenders alternate round by round; counters give the min, median
// and max of the per-round ratios (ratio > 1: the SOCKS client is faster).
//
// OneWay: 100-byte messages per second from a server that sends one after
// another. "socks" goes through microsocks, "type0" is TCPClient_Socks5 with
// proxy type 0 connected straight to the server (its own receive loop, no
// proxy in the path). Target: ratios >= 0.9.
// PingPong: round trips per second with the echo server, through microsocks
// against direct. Target: ratio >= 0.95 (the proxy's own relay hop is in it).
// Init: microseconds of one Init, direct, through microsocks and through
// danted (SOCKS5 and SOCKS4); medians.
//
// Needs the proxies of scripts/proxies.sh:
//   bash scripts/proxies.sh build/native/bench/Socks5Bench
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "client/TCPClient_Socks5.h"
#include "message/Scrambler.h"
#include "message/YNetMsgHead.h"
#include "platform/WinApi.h"
#include "socket/SocketStack.h"
#include "tools/EchoServer.h"

using namespace YNet2;

namespace {

using Clock = std::chrono::steady_clock;
using Socks = TCPClient_Socks5;

constexpr int kRounds = 11;

YSocketAddr Loopback(WORD port) {
    YSocketAddr address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    const unsigned char ip[4] = {127, 0, 0, 1};
    std::memcpy(&address.sin_addr, ip, sizeof ip);
    return address;
}

// The proxy named by an environment variable of scripts/proxies.sh.
bool ProxyFromEnv(const char* name, YSocketAddr* address) {
    const char* port = std::getenv(name);
    if (port == nullptr || *port == '\0')
        return false;
    *address = Loopback(static_cast<WORD>(std::atoi(port)));
    return true;
}

std::vector<unsigned char> WireMessage(int size) {
    std::vector<unsigned char> message(static_cast<size_t>(size));
    reinterpret_cast<YNetMsgHead*>(message.data())->SetHead(static_cast<WORD>(size), 3, 1, true, false, false);
    for (int i = 4; i < size; ++i)
        message[static_cast<size_t>(i)] = static_cast<unsigned char>(i * 13 + 1);
    unsigned char scratch = 0;
    Encode(message.data() + 4, static_cast<DWORD>(size - 4), scratch);
    return message;
}

// Counts messages; the waiter is told when the count reaches the target.
// With answer set, the handler sends every message back (ping-pong).
class CountingWorker : public MsgWorker {
public:
    CountingWorker() : MsgWorker(nullptr, 0) {}
    void Arm(long target, bool answer) {
        std::lock_guard<std::mutex> hold(m_Mutex);
        m_Count = 0;
        m_Target = target;
        m_Answer = answer;
        m_Done = false;
    }
    bool Wait() {
        std::unique_lock<std::mutex> hold(m_Mutex);
        return m_Changed.wait_for(hold, std::chrono::seconds(60), [&] { return m_Done; });
    }
    LONG HandleMessage(void* message, int length, void* connection, void* kernel) override {
        bool answer;
        {
            std::lock_guard<std::mutex> hold(m_Mutex);
            if (++m_Count == m_Target) {
                m_Done = true;
                m_Changed.notify_all();
            }
            answer = m_Answer && m_Count < m_Target;
        }
        if (answer)
            static_cast<NetKernel*>(kernel)->SendMsg(connection, message, length);
        return 0;
    }
    LONG ConnectionCut(void*) override { return 0; }
    LONG ConnectionAccept(void*) override { return 0; }

private:
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    long m_Count = 0;
    long m_Target = 0;
    bool m_Answer = false;
    bool m_Done = false;
};

// Accepts connections one at a time and sends each `count` copies of one
// 100-byte message in large writes, then waits for the client to close.
class StreamServer {
public:
    explicit StreamServer(long count) : m_Count(count) {
        m_Listener = socket(AF_INET, SOCK_STREAM, 0);
        YSocketAddr address = Loopback(0);
        int length = YSocketAddr::Length;
        bind(m_Listener, address.AsSockaddr(), length);
        listen(m_Listener, 16);
        getsockname(m_Listener, address.AsSockaddr(), &length);
        m_Port = ntohs(address.sin_port);
        m_Thread = std::thread([this] { Serve(); });
    }
    ~StreamServer() {
        closesocket(m_Listener); // ends accept
        m_Thread.join();
    }
    WORD Port() const { return m_Port; }

private:
    void Serve() {
        std::vector<unsigned char> one = WireMessage(100);
        std::vector<unsigned char> chunk;
        for (int i = 0; i < 640; ++i)
            chunk.insert(chunk.end(), one.begin(), one.end());
        for (;;) {
            SOCKET s = accept(m_Listener, nullptr, nullptr);
            if (s == INVALID_SOCKET)
                return;
            for (long left = m_Count; left > 0;) {
                long n = std::min<long>(left, 640);
                if (send(s, reinterpret_cast<const char*>(chunk.data()), static_cast<int>(n * 100), 0) <= 0)
                    break;
                left -= n;
            }
            char byte;
            recv(s, &byte, 1, 0); // until the client closes
            closesocket(s);
        }
    }
    long m_Count;
    SOCKET m_Listener;
    WORD m_Port = 0;
    std::thread m_Thread;
};

// One contender's connection: Init as the contender does, run, release.
struct Contender {
    const char* name;
    Socks::_SOCKS_TYPE type;
    const YSocketAddr* proxy; // null: a plain TCPClient
};

LONG Connect(const Contender& who, YSocketAddr target, TCPClient** client, CountingWorker* worker) {
    if (who.proxy == nullptr) {
        auto* direct = new TCPClient(worker);
        *client = direct;
        return direct->Init(target);
    }
    auto* socks = new Socks(worker);
    *client = socks;
    return socks->Init(target, who.type, who.proxy, nullptr, nullptr);
}

void Finish(TCPClient* client) {
    client->Wait_Release();
    delete client;
}

void Ratios(benchmark::State& state, const char* name, std::vector<double> ratios) {
    std::sort(ratios.begin(), ratios.end());
    state.counters[std::string(name) + "_min"] = ratios.front();
    state.counters[std::string(name) + "_median"] = ratios[ratios.size() / 2];
    state.counters[std::string(name) + "_max"] = ratios.back();
}

void OneWay(benchmark::State& state) {
    YSocketAddr microsocks;
    if (!ProxyFromEnv("YNET_MICROSOCKS_PORT", &microsocks)) {
        state.SkipWithError("no proxies: run through scripts/proxies.sh");
        return;
    }
    const long count = 200000;
    StreamServer server(count);
    YSocketAddr target = Loopback(server.Port());
    const Contender contenders[] = {
        {"direct", Socks::SOCKS5, nullptr},
        {"socks", Socks::SOCKS5, &microsocks},
        {"type0", static_cast<Socks::_SOCKS_TYPE>(0), &target},
    };
    std::vector<double> socks, type0;
    for (auto _ : state) {
        double rate[3] = {};
        for (int round = 0; round < kRounds; ++round) {
            for (int i = 0; i < 3; ++i) {
                CountingWorker worker;
                worker.Arm(count, false);
                TCPClient* client = nullptr;
                auto start = Clock::now();
                if (Connect(contenders[i], target, &client, &worker) != 0 || !worker.Wait()) {
                    state.SkipWithError("a connection failed");
                    Finish(client);
                    return;
                }
                rate[i] = count / std::chrono::duration<double>(Clock::now() - start).count();
                Finish(client);
            }
            socks.push_back(rate[1] / rate[0]);
            type0.push_back(rate[2] / rate[0]);
            state.SetIterationTime(count / rate[0]);
        }
    }
    Ratios(state, "socks", socks);
    Ratios(state, "type0", type0);
}

void PingPong(benchmark::State& state) {
    YSocketAddr microsocks;
    if (!ProxyFromEnv("YNET_MICROSOCKS_PORT", &microsocks)) {
        state.SkipWithError("no proxies: run through scripts/proxies.sh");
        return;
    }
    YNet2Tools::EchoServer server;
    server.Start();
    YSocketAddr target = Loopback(server.Port());
    const Contender contenders[] = {
        {"direct", Socks::SOCKS5, nullptr},
        {"socks", Socks::SOCKS5, &microsocks},
    };
    const long trips = 2000;
    std::vector<double> socks;
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            double rate[2] = {};
            for (int i = 0; i < 2; ++i) {
                CountingWorker worker;
                worker.Arm(trips, true);
                TCPClient* client = nullptr;
                if (Connect(contenders[i], target, &client, &worker) != 0) {
                    state.SkipWithError("a connection failed");
                    Finish(client);
                    return;
                }
                std::vector<unsigned char> first = WireMessage(100);
                reinterpret_cast<YNetMsgHead*>(first.data())->SetHead(100, 3, 1, true, false, false);
                auto start = Clock::now();
                client->SendMsg(nullptr, first.data(), 100);
                bool done = worker.Wait();
                rate[i] = trips / std::chrono::duration<double>(Clock::now() - start).count();
                Finish(client);
                if (!done) {
                    state.SkipWithError("the ping-pong stalled");
                    return;
                }
            }
            socks.push_back(rate[1] / rate[0]);
            state.SetIterationTime(trips / rate[0]);
        }
    }
    Ratios(state, "socks", socks);
}

void InitTime(benchmark::State& state) {
    YSocketAddr microsocks, dante;
    if (!ProxyFromEnv("YNET_MICROSOCKS_PORT", &microsocks) || !ProxyFromEnv("YNET_DANTE_PORT", &dante)) {
        state.SkipWithError("no proxies: run through scripts/proxies.sh");
        return;
    }
    YNet2Tools::EchoServer server;
    server.Start();
    YSocketAddr target = Loopback(server.Port());
    const Contender contenders[] = {
        {"direct_us", Socks::SOCKS5, nullptr},
        {"microsocks_us", Socks::SOCKS5, &microsocks},
        {"danted5_us", Socks::SOCKS5, &dante},
        {"danted4_us", Socks::SOCKS4, &dante},
    };
    std::vector<double> times[4];
    for (auto _ : state) {
        for (int round = 0; round < kRounds * 3; ++round) {
            for (int i = 0; i < 4; ++i) {
                CountingWorker worker;
                TCPClient* client = nullptr;
                auto start = Clock::now();
                LONG result = Connect(contenders[i], target, &client, &worker);
                times[i].push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
                Finish(client);
                if (result != 0) {
                    state.SkipWithError("a connection failed");
                    return;
                }
            }
        }
        state.SetIterationTime(1e-6 * times[0].back());
    }
    for (int i = 0; i < 4; ++i) {
        std::sort(times[i].begin(), times[i].end());
        state.counters[contenders[i].name] = times[i][times[i].size() / 2];
    }
}

} // namespace

BENCHMARK(OneWay)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(PingPong)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(InitTime)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    SocketInit();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    SocketRelease();
    return 0;
}

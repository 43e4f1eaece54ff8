// TCPClient_Socks5 once its handshake is done, against TCPClient on the same
// server in the same run, and against a plain POSIX client (bench/support:
// blocking socket calls, none of this library's layers) direct and through
// the same proxy. A relay in the path adds a receive and a send per byte on
// the same two cores, so the proxied figures carry the relay's own cost: the
// POSIX client through the same microsocks shows what any client gets
// behind that relay, and the SOCKS client against it shows what is left of
// its own.
//
// Contenders (servers: bench/support's Streamer and Reflector, plain
// sockets on threads of their own):
//   TCPClient         direct.
//   Socks5 type 0     TCPClient_Socks5 with proxy type 0 and the server as
//                     its "proxy": connected straight, no handshake, but its
//                     own receive loop.
//   Socks5 microsocks TCPClient_Socks5 through microsocks (SOCKS5, no
//                     authentication).
//   POSIX             the plain client, direct (64 KiB receive buffer).
//   POSIX microsocks  the same client through the same microsocks; it does
//                     the SOCKS5 handshake itself with blocking calls.
//   HTTP tinyproxy    TCPClient_Socks5 through tinyproxy (HTTP CONNECT).
//   POSIX tinyproxy   the plain client through the same tinyproxy; it sends
//                     the CONNECT request and reads the reply itself.
// Every contender does the same work per message: cut the frame, unscramble
// the body with this library's Decode, sum every byte of the message; each
// round's sum is checked against the bytes sent. Contenders take turns,
// their order rotating and reversing from one round to the next; a ratio of
// rates is taken per round and reported as min / median / max over the
// rounds (ratio A / B > 1: A is faster).
//
//   oneway    100-byte messages per second from a server that sends one
//             message after another; each contender connects afresh per
//             round and is timed from before its connect (handshake
//             included, a fraction of a millisecond in rounds of hundreds)
//             to its last message. Also the CPU seconds of each receiving
//             thread, which other processes disturb less than the time.
//   pingpong  100-byte round trips per second against a server that sends
//             every byte back; the contenders stay connected for the whole
//             run. The TCPClients answer from their handler through SendMsg.
//   init      microseconds one Init takes: direct, through microsocks,
//             through danted with SOCKS5 and with SOCKS4, through
//             tinyproxy; beside them a blocking POSIX connect, direct, with
//             the SOCKS5 handshake through microsocks and with CONNECT
//             through tinyproxy. Medians, min and max.
//
// Ratios: Socks5 type 0 / TCPClient and Socks5 microsocks / TCPClient (the
// SOCKS client against a direct one); Socks5 microsocks / POSIX microsocks
// and HTTP tinyproxy / POSIX tinyproxy (the client's own cost behind the
// same relay); POSIX microsocks / POSIX (the relay's ceiling for any
// client); TCPClient / POSIX (the direct baseline).
//
// Needs the proxies of scripts/proxies.sh:
//   bash scripts/proxies.sh build/bench/bench/Socks5Bench [--rounds N] [oneway|pingpong|init ...]
// (default: 10 rounds, all three).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/TCPClient_Socks5.h"
#include "message/Scrambler.h"
#include "message/YNetMsgHead.h"
#include "platform/WinApi.h"
#include "support/Contenders.h"
#include "support/CountingWorker.h"
#include "support/Done.h"
#include "support/LibraryWire.h"
#include "support/PingWorker.h"
#include "support/Rounds.h"

using namespace YNet2;
using namespace BenchNet;

namespace {

using Socks = TCPClient_Socks5;

// A loopback port from an environment variable of scripts/proxies.sh; 0
// when it is missing.
int PortFromEnv(const char* name) {
    const char* port = std::getenv(name);
    return port == nullptr ? 0 : std::atoi(port);
}

// tinyproxy's port (YNET_TINYPROXY_PORT).
int g_Tinyproxy = 0;

// The library's contenders, and how each connects.
enum Way { kDirect, kType0, kMicrosocks, kTinyproxy };

// Connects client (a TCPClient_Socks5 unless way is kDirect) to the server
// on port the contender's way. 0 or E_FAIL.
LONG InitClient(TCPClient& client, Way way, int port, int microsocks) {
    YSocketAddr target = Loopback(port);
    switch (way) {
    case kDirect:
        return client.Init(target);
    case kType0:
        return static_cast<Socks&>(client).Init(target, static_cast<Socks::_SOCKS_TYPE>(0), &target, nullptr, nullptr);
    case kMicrosocks: {
        YSocketAddr proxy = Loopback(microsocks);
        return static_cast<Socks&>(client).Init(target, Socks::SOCKS5, &proxy, nullptr, nullptr);
    }
    case kTinyproxy: {
        YSocketAddr proxy = Loopback(g_Tinyproxy);
        return static_cast<Socks&>(client).Init(target, Socks::HTTP, &proxy, nullptr, nullptr);
    }
    }
    return E_FAIL;
}

std::unique_ptr<TCPClient> MakeClient(Way way, MsgWorker* worker) {
    if (way == kDirect)
        return std::make_unique<TCPClient>(worker);
    return std::make_unique<Socks>(worker);
}

// The seven contenders of oneway and pingpong, in this order.
const int kContenders = 7;
const char* const kNames[kContenders] = {"TCPClient",        "Socks5 type 0",  "Socks5 microsocks", "POSIX",
                                         "POSIX microsocks", "HTTP tinyproxy", "POSIX tinyproxy"};
enum { kOwnDirect, kOwnType0, kOwnMicrosocks, kPosix, kPosixMicrosocks, kOwnTinyproxy, kPosixTinyproxy };

// The ratios both report, of rates (or of CPU seconds) per round.
struct Pair {
    int a, b;
    const char* label;
};
const Pair kPairs[] = {
    {kOwnType0, kOwnDirect, "Socks5 type 0 / TCPClient"},
    {kOwnMicrosocks, kOwnDirect, "Socks5 microsocks / TCPClient"},
    {kOwnMicrosocks, kPosixMicrosocks, "Socks5 microsocks / POSIX microsocks"},
    {kOwnTinyproxy, kPosixTinyproxy, "HTTP tinyproxy / POSIX tinyproxy"},
    {kOwnTinyproxy, kOwnMicrosocks, "HTTP tinyproxy / Socks5 microsocks"},
    {kPosixMicrosocks, kPosix, "POSIX microsocks / POSIX"},
    {kOwnDirect, kPosix, "TCPClient / POSIX"},
};

// Per contender, one value per round; prints each pair's per-round ratio
// a / b (inverse: b / a) as min / median / max.
void PrintRatios(const char* prefix, const std::vector<std::vector<double>>& values, bool inverse) {
    for (const Pair& pair : kPairs) {
        const std::vector<double>& a = values[static_cast<size_t>(pair.a)];
        const std::vector<double>& b = values[static_cast<size_t>(pair.b)];
        std::vector<double> ratios;
        for (size_t i = 0; i < a.size(); ++i)
            ratios.push_back(inverse ? b[i] / a[i] : a[i] / b[i]);
        PrintSpread((std::string(prefix) + pair.label).c_str(), SpreadOf(ratios), 42);
    }
}

// ---------------------------------------------------------------- one-way

double ClientStream(Way way, int port, int microsocks, long count, std::uint64_t* sum, double* cpu) {
    CountingWorker worker(count);
    std::unique_ptr<TCPClient> client = MakeClient(way, &worker);
    Clock::time_point start = Clock::now();
    if (InitClient(*client, way, port, microsocks) != 0 || !worker.m_Done.Wait(300)) {
        client->Wait_Release();
        return -1;
    }
    double seconds = Seconds(start, Clock::now());
    client->Wait_Release();
    *sum += worker.m_Sum;
    *cpu = worker.m_Cpu;
    return seconds;
}

bool OneWay(int rounds, int microsocks) {
    const int size = 100;
    const long perBatch = 65536 / size + 1;
    // About 3 million messages (300 MB): rounds of a few hundred
    // milliseconds, long enough that a scheduling hiccup does not decide one.
    const long batches = 3000000 / perBatch + 1;
    const long count = perBatch * batches;
    Bytes message = PlainMessage(size);
    const std::uint64_t expected = SumBytes(message.data(), size) * static_cast<std::uint64_t>(count);
    EncodeBody(message.data() + 4, static_cast<unsigned>(size - 4));
    Bytes wire;
    for (long i = 0; i < perBatch; ++i)
        wire.insert(wire.end(), message.begin(), message.end());

    std::vector<std::vector<double>> rates(kContenders), cpus(kContenders);
    for (int round = 0; round < rounds; ++round) {
        for (int who : OrderOfRound(round, kContenders)) {
            auto server = BenchNet::Server::Streamer(wire, batches);
            const int port = server->Port();
            std::uint64_t sum = 0;
            double cpu = 0, seconds = -1;
            switch (who) {
            case kOwnDirect:
                seconds = ClientStream(kDirect, port, microsocks, count, &sum, &cpu);
                break;
            case kOwnType0:
                seconds = ClientStream(kType0, port, microsocks, count, &sum, &cpu);
                break;
            case kOwnMicrosocks:
                seconds = ClientStream(kMicrosocks, port, microsocks, count, &sum, &cpu);
                break;
            case kPosix:
                seconds = BenchNet::RawStream(port, count, 65536, DecodeBody, &sum, &cpu);
                break;
            case kPosixMicrosocks:
                seconds = BenchNet::RawStream(port, count, 65536, DecodeBody, &sum, &cpu, microsocks);
                break;
            case kOwnTinyproxy:
                seconds = ClientStream(kTinyproxy, port, microsocks, count, &sum, &cpu);
                break;
            case kPosixTinyproxy:
                seconds = BenchNet::RawStream(port, count, 65536, DecodeBody, &sum, &cpu, 0, g_Tinyproxy);
                break;
            }
            if (seconds <= 0 || sum != expected) {
                std::printf("oneway: %s failed (time %g, sum %llu, expected %llu)\n", kNames[who], seconds,
                            static_cast<unsigned long long>(sum), static_cast<unsigned long long>(expected));
                return false;
            }
            rates[static_cast<size_t>(who)].push_back(count / seconds);
            cpus[static_cast<size_t>(who)].push_back(cpu);
        }
    }
    std::printf("oneway %d bytes, %ld messages per contender and round, %d rounds\n", size, count, rounds);
    for (int who = 0; who < kContenders; ++who)
        std::printf("    %-18s median %.3f M msg/s, %.0f MB/s, receiving thread's CPU %.0f ms\n", kNames[who],
                    Median(rates[static_cast<size_t>(who)]) / 1e6, Median(rates[static_cast<size_t>(who)]) * size / 1e6,
                    Median(cpus[static_cast<size_t>(who)]) * 1e3);
    std::printf("  rate ratios (> 1: the first is faster)\n");
    PrintRatios("", rates, false);
    std::printf("  CPU ratios, the second's CPU seconds over the first's (> 1: the first uses less)\n");
    PrintRatios("CPU ", cpus, true);
    std::fflush(stdout);
    return true;
}

// ---------------------------------------------------------------- ping-pong

bool PingPong(int rounds, int microsocks) {
    const int size = 100;
    // A loopback round trip takes 10 to 50 us here, twice that through the
    // relay: rounds of a few hundred milliseconds.
    const long roundTrips = 20000;
    const Bytes plain = PlainMessage(size);
    const std::uint64_t expected = SumBytes(plain.data(), size) * static_cast<std::uint64_t>(roundTrips);
    auto server = BenchNet::Server::Reflector();
    const int port = server->Port();

    const Way ways[] = {kDirect, kType0, kMicrosocks};
    const int ownOf[kContenders] = {0, 1, 2, -1, -1, 3, -1}; // contender -> its client below
    std::vector<std::unique_ptr<PingWorker>> workers;
    std::vector<std::unique_ptr<TCPClient>> clients;
    bool ok = true;
    for (Way way : ways) {
        workers.push_back(std::make_unique<PingWorker>(plain));
        clients.push_back(MakeClient(way, workers.back().get()));
        if (InitClient(*clients.back(), way, port, microsocks) != 0) {
            std::printf("pingpong: %s did not connect\n", kNames[way]);
            ok = false;
        }
    }
    auto raw = BenchNet::Pinger::Raw(port, plain, EncodeBody, DecodeBody);
    auto rawProxied = BenchNet::Pinger::Raw(port, plain, EncodeBody, DecodeBody, microsocks);
    auto rawHttp = BenchNet::Pinger::Raw(port, plain, EncodeBody, DecodeBody, 0, g_Tinyproxy);
    workers.push_back(std::make_unique<PingWorker>(plain));
    clients.push_back(MakeClient(kTinyproxy, workers.back().get()));
    if (InitClient(*clients.back(), kTinyproxy, port, microsocks) != 0) {
        std::printf("pingpong: %s did not connect\n", kNames[kOwnTinyproxy]);
        ok = false;
    }

    std::vector<std::vector<double>> rates(kContenders);
    for (int round = 0; round < rounds && ok; ++round) {
        for (int who : OrderOfRound(round, kContenders)) {
            std::uint64_t sum = 0;
            Clock::time_point start = Clock::now();
            const size_t own = static_cast<size_t>(ownOf[who]);
            bool ran = who == kPosix             ? raw->Run(roundTrips, &sum)
                       : who == kPosixMicrosocks ? rawProxied->Run(roundTrips, &sum)
                       : who == kPosixTinyproxy
                           ? rawHttp->Run(roundTrips, &sum)
                           : workers[own]->Start(*clients[own], roundTrips, &sum) && workers[own]->Wait();
            const double seconds = Seconds(start, Clock::now());
            if (!ran || sum != expected) {
                std::printf("pingpong: %s failed (sum %llu, expected %llu)\n", kNames[who],
                            static_cast<unsigned long long>(sum), static_cast<unsigned long long>(expected));
                ok = false;
                break;
            }
            rates[static_cast<size_t>(who)].push_back(roundTrips / seconds);
        }
    }
    for (auto& client : clients)
        client->Wait_Release();
    if (!ok)
        return false;
    std::printf("pingpong %d bytes, %ld round trips per contender and round, %d rounds\n", size, roundTrips, rounds);
    for (int who = 0; who < kContenders; ++who)
        std::printf("    %-18s median %.1f k rt/s\n", kNames[who], Median(rates[static_cast<size_t>(who)]) / 1e3);
    std::printf("  rate ratios (> 1: the first is faster)\n");
    PrintRatios("", rates, false);
    std::fflush(stdout);
    return true;
}

// ---------------------------------------------------------------- Init

bool InitTime(int rounds, int microsocks, int dante) {
    const char* names[] = {"TCPClient direct",
                           "Socks5 microsocks",
                           "Socks5 danted",
                           "Socks4 danted",
                           "HTTP tinyproxy",
                           "POSIX connect",
                           "POSIX connect + SOCKS5 microsocks",
                           "POSIX connect + HTTP tinyproxy"};
    const int contenders = 8;
    auto server = BenchNet::Server::Reflector();
    const int port = server->Port();
    YSocketAddr target = Loopback(port);
    YSocketAddr proxies[] = {Loopback(microsocks), Loopback(dante), Loopback(dante), Loopback(g_Tinyproxy)};
    const Socks::_SOCKS_TYPE types[] = {Socks::SOCKS5, Socks::SOCKS5, Socks::SOCKS4, Socks::HTTP};
    std::vector<std::vector<double>> micros(contenders);
    for (int round = 0; round < rounds * 3; ++round) {
        for (int who : OrderOfRound(round, contenders)) {
            double seconds = -1;
            if (who >= 5) {
                seconds = BenchNet::RawConnect(port, who == 6 ? microsocks : 0, who == 7 ? g_Tinyproxy : 0);
            } else {
                CountingWorker worker(0);
                std::unique_ptr<TCPClient> client = MakeClient(who == 0 ? kDirect : kMicrosocks, &worker);
                Clock::time_point start = Clock::now();
                const LONG result = who == 0 ? client->Init(target)
                                             : static_cast<Socks&>(*client).Init(target, types[who - 1],
                                                                                 &proxies[who - 1], nullptr, nullptr);
                if (result == 0)
                    seconds = Seconds(start, Clock::now());
                client->Wait_Release();
            }
            if (seconds < 0) {
                std::printf("init: %s failed\n", names[who]);
                return false;
            }
            micros[static_cast<size_t>(who)].push_back(seconds * 1e6);
        }
    }
    std::printf("init, microseconds, %d connects each\n", rounds * 3);
    for (int who = 0; who < contenders; ++who)
        PrintSpread(names[who], SpreadOf(micros[static_cast<size_t>(who)]), 42);
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int rounds = 10;
    const std::vector<std::string> which = PartsToRun(argc, argv, &rounds, {"oneway", "pingpong", "init"});
    const int microsocks = PortFromEnv("YNET_MICROSOCKS_PORT"), dante = PortFromEnv("YNET_DANTE_PORT");
    g_Tinyproxy = PortFromEnv("YNET_TINYPROXY_PORT");
    if (microsocks == 0 || dante == 0 || g_Tinyproxy == 0) {
        std::printf("no proxies: run it through scripts/proxies.sh\n");
        return 2;
    }
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 0), &data) != 0)
        return 2;
    bool ok = true;
    for (const std::string& name : which) {
        if (name == "oneway")
            ok = OneWay(rounds, microsocks) && ok;
        else if (name == "pingpong")
            ok = PingPong(rounds, microsocks) && ok;
        else if (name == "init")
            ok = InitTime(rounds, microsocks, dante) && ok;
        else {
            std::printf("unknown benchmark: %s\n", name.c_str());
            ok = false;
        }
    }
    WSACleanup();
    return ok ? 0 : 1;
}

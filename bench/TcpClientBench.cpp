// TCPClient on loopback beside the clients a user might pick instead: one
// on standalone Asio (async reads into a 16 or 64 KiB buffer) and one on the
// plain POSIX socket calls (bench/support, which uses none of this
// library's layers). Every contender does the same work per message: cut
// the frame, unscramble the body with this library's Decode, sum every
// byte of the message; each round's sums are checked against the bytes
// sent. Contenders take turns, their order rotating and reversing from one
// round to the next; a ratio is taken per round and reported as min /
// median / max over the rounds (ratio > 1: TCPClient is faster).
//
//   oneway SIZE    messages per second from a server that sends one message
//                  after another; each contender connects afresh per round.
//                  Ratio: TCPClient against Asio with its better buffer
//                  size, the one (16 or 64 KiB) whose median rate over the
//                  run is higher. Also the CPU ratio: the CPU seconds that
//                  Asio's receiving thread used over those of TCPClient's
//                  receive thread, which other processes on a loaded
//                  machine disturb less than the time.
//   pingpong SIZE  round trips per second against a server that sends every
//                  byte back; the contenders stay connected for the whole
//                  run. TCPClient answers from its handler through SendMsg.
//   scale          1,000 TCPClient connections, each with its receive
//                  thread, to one local server (on this library's socket
//                  layer, as in earlier figures): connects per second,
//                  resident memory per connection, and the threads and
//                  descriptors left afterwards (must be 0).
//
// Usage: TcpClientBench [--rounds N] [oneway|pingpong|scale ...]
// (default: 10 rounds, all three).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <filesystem>

#include "client/TCPClient.h"
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

// ---------------------------------------------------------------- sockets (this library's)

SOCKET Listen(WORD* port) {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    YSocketAddr address = Loopback(0);
    int length = YSocketAddr::Length;
    if (bind(listener, address.AsSockaddr(), length) != 0 || listen(listener, SOMAXCONN) != 0 ||
        getsockname(listener, address.AsSockaddr(), &length) != 0) {
        closesocket(listener);
        return INVALID_SOCKET;
    }
    *port = ntohs(address.sin_port);
    return listener;
}

bool SendAll(SOCKET s, const unsigned char* data, int length) {
    int sent = 0;
    while (sent < length) {
        int n = send(s, reinterpret_cast<const char*>(data) + sent, length - sent, 0);
        if (n <= 0)
            return false;
        sent += n;
    }
    return true;
}

// ---------------------------------------------------------------- one-way

double TcpClientStream(int port, long count, std::uint64_t* sum, double* cpu) {
    CountingWorker worker(count);
    TCPClient client(&worker);
    YSocketAddr address = Loopback(static_cast<WORD>(port));
    Clock::time_point start = Clock::now();
    if (client.Init(address) != 0 || !worker.m_Done.Wait(300)) {
        client.Wait_Release();
        return -1;
    }
    double seconds = Seconds(start, Clock::now());
    client.Wait_Release();
    *sum += worker.m_Sum;
    *cpu = worker.m_Cpu;
    return seconds;
}

bool OneWay(int size, int rounds) {
    const long perBatch = 65536 / size + 1;
    // About 8 million, 3 million and 300,000 messages (64, 300 and 432 MB):
    // rounds of a few hundred milliseconds, long enough that a scheduling
    // hiccup does not decide a round.
    const long target = size <= 8 ? 8000000 : size <= 100 ? 3000000 : 300000;
    const long batches = target / perBatch + 1;
    const long count = perBatch * batches;
    Bytes message = PlainMessage(size);
    const std::uint64_t expected = SumBytes(message.data(), size) * static_cast<std::uint64_t>(count);
    EncodeBody(message.data() + 4, static_cast<unsigned>(size - 4));
    Bytes wire;
    for (long i = 0; i < perBatch; ++i)
        wire.insert(wire.end(), message.begin(), message.end());

    const char* names[] = {"TCPClient", "Asio 16 KiB", "Asio 64 KiB", "POSIX 64 KiB"};
    const int contenders = 4;
    std::vector<std::vector<double>> rates(contenders);
    std::vector<double> seconds16, seconds64, secondsOwn, secondsPosix, cpu16, cpu64, cpuOwn;
    for (int round = 0; round < rounds; ++round) {
        double seconds[contenders], cpu[contenders];
        for (int who : OrderOfRound(round, contenders)) {
            auto server = BenchNet::Server::Streamer(wire, batches);
            std::uint64_t sum = 0;
            double s = -1;
            double& c = cpu[who];
            switch (who) {
            case 0:
                s = TcpClientStream(server->Port(), count, &sum, &c);
                break;
            case 1:
                s = BenchNet::AsioStream(server->Port(), count, 16384, DecodeBody, &sum, &c);
                break;
            case 2:
                s = BenchNet::AsioStream(server->Port(), count, 65536, DecodeBody, &sum, &c);
                break;
            case 3:
                s = BenchNet::RawStream(server->Port(), count, 65536, DecodeBody, &sum, &c);
                break;
            }
            if (s <= 0 || sum != expected) {
                std::printf("oneway %d: %s failed (time %g, sum %llu, expected %llu)\n", size, names[who], s,
                            static_cast<unsigned long long>(sum), static_cast<unsigned long long>(expected));
                return false;
            }
            seconds[who] = s;
            rates[static_cast<size_t>(who)].push_back(count / s);
        }
        secondsOwn.push_back(seconds[0]);
        seconds16.push_back(seconds[1]);
        seconds64.push_back(seconds[2]);
        secondsPosix.push_back(seconds[3]);
        cpuOwn.push_back(cpu[0]);
        cpu16.push_back(cpu[1]);
        cpu64.push_back(cpu[2]);
    }
    // Asio with its better buffer size: the one with the higher median rate
    // over the run. (Taking the faster of the two in every round would pick
    // each round's luckier draw and hand Asio the noise.)
    const bool large = Median(seconds64) < Median(seconds16);
    const std::vector<double>& asioSeconds = large ? seconds64 : seconds16;
    const std::vector<double>& asioCpu = large ? cpu64 : cpu16;
    std::vector<double> ratioAsio, ratioPosix, cpuRatioAsio;
    for (size_t i = 0; i < secondsOwn.size(); ++i) {
        ratioAsio.push_back(asioSeconds[i] / secondsOwn[i]);
        ratioPosix.push_back(secondsPosix[i] / secondsOwn[i]);
        cpuRatioAsio.push_back(asioCpu[i] / cpuOwn[i]);
    }
    std::printf("oneway %d bytes, %ld messages per contender and round, %d rounds\n", size, count, rounds);
    for (int who = 0; who < contenders; ++who)
        std::printf("    %-14s median %.3f M msg/s\n", names[who], Median(rates[static_cast<size_t>(who)]) / 1e6);
    std::printf("    better Asio buffer: %s\n", large ? "64 KiB" : "16 KiB");
    PrintSpread("ratio TCPClient / better Asio", SpreadOf(ratioAsio));
    PrintSpread("ratio TCPClient / POSIX 64 KiB", SpreadOf(ratioPosix));
    PrintSpread("CPU ratio TCPClient / better Asio", SpreadOf(cpuRatioAsio));
    std::fflush(stdout);
    return true;
}

// ---------------------------------------------------------------- ping-pong

bool PingPong(int size, int rounds) {
    const long roundTrips = 20000;
    const Bytes plain = PlainMessage(size);
    const std::uint64_t expected = SumBytes(plain.data(), size) * static_cast<std::uint64_t>(roundTrips);
    auto server = BenchNet::Server::Reflector();
    auto asio = BenchNet::Pinger::Asio(server->Port(), plain, EncodeBody, DecodeBody);
    auto raw = BenchNet::Pinger::Raw(server->Port(), plain, EncodeBody, DecodeBody);
    PingWorker worker(plain);
    TCPClient client(&worker);
    YSocketAddr address = Loopback(static_cast<WORD>(server->Port()));
    if (client.Init(address) != 0) {
        std::printf("pingpong %d: connect failed\n", size);
        return false;
    }
    const char* names[] = {"TCPClient", "Asio", "POSIX"};
    const int contenders = 3;
    std::vector<std::vector<double>> rates(contenders);
    std::vector<double> ratioAsio, ratioPosix;
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        double seconds[contenders];
        for (int who : OrderOfRound(round, contenders)) {
            std::uint64_t sum = 0;
            Clock::time_point start = Clock::now();
            bool ran = who == 0   ? worker.Start(client, roundTrips, &sum) && worker.Wait()
                       : who == 1 ? asio->Run(roundTrips, &sum)
                                  : raw->Run(roundTrips, &sum);
            seconds[who] = Seconds(start, Clock::now());
            if (!ran || sum != expected) {
                std::printf("pingpong %d: %s failed\n", size, names[who]);
                ok = false;
                break;
            }
            rates[static_cast<size_t>(who)].push_back(roundTrips / seconds[who]);
        }
        if (ok) {
            ratioAsio.push_back(seconds[1] / seconds[0]);
            ratioPosix.push_back(seconds[2] / seconds[0]);
        }
    }
    client.Wait_Release();
    if (!ok)
        return false;
    std::printf("pingpong %d bytes, %ld round trips per contender and round, %d rounds\n", size, roundTrips, rounds);
    for (int who = 0; who < contenders; ++who)
        std::printf("    %-14s median %.1f k rt/s\n", names[who], Median(rates[static_cast<size_t>(who)]) / 1e3);
    PrintSpread("ratio TCPClient / Asio", SpreadOf(ratioAsio));
    PrintSpread("ratio TCPClient / POSIX", SpreadOf(ratioPosix));
    std::fflush(stdout);
    return true;
}

// ---------------------------------------------------------------- scale

// Accepts every connection and keeps it; Broadcast writes to all of them.
class HoldingServer {
public:
    HoldingServer() {
        m_Listener = Listen(&m_Port);
        m_Thread = CreateThread(nullptr, 0, &HoldingServer::Main, this, 0, nullptr);
    }
    ~HoldingServer() {
        closesocket(m_Listener); // ends the accept loop
        WaitForSingleObject(m_Thread, INFINITE);
        CloseHandle(m_Thread);
        for (SOCKET s : m_Accepted)
            closesocket(s);
    }
    WORD Port() const { return m_Port; }
    size_t Accepted() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        return m_Accepted.size();
    }
    int Broadcast(const std::vector<unsigned char>& message) {
        std::lock_guard<std::mutex> hold(m_Mutex);
        int reached = 0;
        for (SOCKET s : m_Accepted)
            reached += SendAll(s, message.data(), static_cast<int>(message.size())) ? 1 : 0;
        return reached;
    }

private:
    static DWORD WINAPI Main(LPVOID self) {
        auto* server = static_cast<HoldingServer*>(self);
        for (;;) {
            SOCKET s = accept(server->m_Listener, nullptr, nullptr);
            if (s == INVALID_SOCKET)
                return 0;
            std::lock_guard<std::mutex> hold(server->m_Mutex);
            server->m_Accepted.push_back(s);
        }
    }
    SOCKET m_Listener;
    WORD m_Port = 0;
    HANDLE m_Thread;
    std::mutex m_Mutex;
    std::vector<SOCKET> m_Accepted;
};

class BroadcastWorker : public MsgWorker {
public:
    BroadcastWorker(std::atomic<int>* received, Done* all, int expected)
        : MsgWorker(nullptr, 0), m_Received(received), m_All(all), m_Expected(expected) {}
    LONG HandleMessage(void*, int, void*, void*) override {
        if (m_Received->fetch_add(1) + 1 == m_Expected)
            m_All->Set();
        return 0;
    }
    LONG ConnectionCut(void*) override { return 0; }
    LONG ConnectionAccept(void*) override { return 0; }

private:
    std::atomic<int>* m_Received;
    Done* m_All;
    int m_Expected;
};

// Process figures from /proc (-1 where absent).
long StatusField(const char* name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    size_t length = std::strlen(name);
    while (std::getline(status, line)) {
        if (line.compare(0, length, name) == 0)
            return std::stol(line.substr(length + 1));
    }
    return -1;
}

long Descriptors() {
    long count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// One round: connects, broadcast, release. False on a failure.
bool ScaleRound(int connections, double* connectsPerSecond, double* rssPerConnection, long* threadsLeft,
                long* descriptorsLeft) {
    const long threadsBefore = StatusField("Threads:"), descriptorsBefore = Descriptors();
    const long rssBefore = StatusField("VmRSS:");
    {
        HoldingServer server;
        std::atomic<int> received{0};
        Done all;
        std::vector<std::unique_ptr<BroadcastWorker>> workers;
        std::vector<std::unique_ptr<TCPClient>> clients;
        YSocketAddr address = Loopback(server.Port());
        Clock::time_point start = Clock::now();
        for (int i = 0; i < connections; ++i) {
            workers.push_back(std::make_unique<BroadcastWorker>(&received, &all, connections));
            clients.push_back(std::make_unique<TCPClient>(workers.back().get()));
            if (clients.back()->Init(address) != 0)
                return false;
        }
        *connectsPerSecond = connections / Seconds(start, Clock::now());
        while (server.Accepted() < static_cast<size_t>(connections))
            Sleep(1);
        *rssPerConnection = static_cast<double>(StatusField("VmRSS:") - rssBefore) / connections;

        Bytes message = PlainMessage(100);
        EncodeBody(message.data() + 4, 96);
        if (server.Broadcast(message) != connections || !all.Wait(60))
            return false;
        for (auto& client : clients)
            client->Wait_Release();
    }
    *threadsLeft = StatusField("Threads:") - threadsBefore;
    *descriptorsLeft = Descriptors() - descriptorsBefore;
    return true;
}

bool Scale(int rounds) {
    const int connections = 1000;
    std::vector<double> connects, rss;
    long threadsLeft = 0, descriptorsLeft = 0;
    // A first round grows the process-wide tables once; it is not counted.
    for (int round = 0; round <= rounds; ++round) {
        double c, r;
        long t, d;
        if (!ScaleRound(connections, &c, &r, &t, &d)) {
            std::printf("scale: a round failed\n");
            return false;
        }
        if (round == 0)
            continue;
        connects.push_back(c);
        rss.push_back(r);
        threadsLeft = std::max(threadsLeft, t);
        descriptorsLeft = std::max(descriptorsLeft, d);
    }
    std::printf("scale %d connections, %d rounds (sizeof(TCPClient) %zu)\n", connections, rounds, sizeof(TCPClient));
    PrintSpread("connects/s (thousands)", SpreadOf([&] {
                    std::vector<double> k;
                    for (double c : connects)
                        k.push_back(c / 1e3);
                    return k;
                }()));
    PrintSpread("resident KiB per connection", SpreadOf(rss));
    std::printf("    threads left %ld, descriptors left %ld\n", threadsLeft, descriptorsLeft);
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int rounds = 10;
    const std::vector<std::string> which = PartsToRun(argc, argv, &rounds, {"oneway", "pingpong", "scale"});
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 0), &data) != 0)
        return 2;
    bool ok = true;
    for (const std::string& name : which) {
        for (int size : {8, 100, 1440}) {
            if (name == "oneway")
                ok = OneWay(size, rounds) && ok;
            else if (name == "pingpong")
                ok = PingPong(size, rounds) && ok;
        }
        if (name == "scale")
            ok = Scale(std::min(rounds, 5)) && ok;
    }
    WSACleanup();
    return ok ? 0 : 1;
}

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
// The scale of many connections has a program of its own, ScaleBench.
//
// Usage: TcpClientBench [--rounds N] [oneway|pingpong ...]
// (default: 10 rounds, both).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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

} // namespace

int main(int argc, char** argv) {
    int rounds = 10;
    const std::vector<std::string> which = PartsToRun(argc, argv, &rounds, {"oneway", "pingpong"});
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
    }
    WSACleanup();
    return ok ? 0 : 1;
}

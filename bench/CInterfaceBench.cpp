// The C interface (ynet.h) against the C++ classes it forwards to: a
// received message reaches a C callback (through CClient, one indirect call
// more) or a MsgWorker directly; a send goes through ynet_client_send (handle
// check, head built, body copied) or TCPClient::SendMsg. Both contenders do
// the same work per message: sum every body byte; each round's sums are
// checked against the bytes sent. One-way also gives the CPU ratio: the
// CPU seconds of the C++ receive thread over those of the C one, which
// other processes on a loaded machine disturb less than the time. They take turns, the order alternating
// from one round to the next; a ratio is taken per round and reported as
// min / median / max (ratio > 1: the C path is faster).
//
//   oneway SIZE    messages per second from a server that sends one message
//                  after another; each contender connects afresh per round.
//   pingpong SIZE  round trips per second against a server that sends every
//                  byte back; each handler sends the next message.
//
// Usage: CInterfaceBench [--rounds N] [oneway|pingpong ...] (default: 10 rounds, both).
//
// For the bindings' benchmark (bench/bindings.py), which runs each contender
// in a process of its own against one server:
//   CInterfaceBench serve SIZE COUNT   a Streamer of COUNT (rounded up to whole
//                                      batches) SIZE-byte messages per connection;
//                                      prints "port P count N bodysum S", serves
//                                      until its standard input ends
//   CInterfaceBench receive PORT COUNT the C path's one-way receive; prints
//                                      "SECONDS SUM" (the sum of every body byte)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/MsgWorker.h"
#include "client/NetKernel.h"
#include "client/TCPClient.h"
#include "platform/WinApi.h"
#include "support/Contenders.h"
#include "support/Done.h"
#include "support/LibraryWire.h"
#include "support/Rounds.h"
#include "ynet.h"

using namespace YNet2;
using namespace BenchNet;

namespace {

// What both contenders' handlers keep: bodies summed and counted up to the
// target; in ping-pong each handler then sends the next message.
struct Tally {
    long target = 0;
    long count = 0;
    std::uint64_t sum = 0;
    double cpu = 0;      // the receive thread's CPU seconds, from its start to the target
    bool answer = false; // ping-pong: send the next message
    Bytes plain;         // the message (head and plain body) sent
    Done done;

    // Counts one body; true when the target is reached.
    bool Count(const unsigned char* body, int length) {
        sum += SumBytes(body, length);
        if (++count == target) {
            cpu = ThreadCpuSeconds();
            done.Set();
            return true;
        }
        return false;
    }
    void Reset(long newTarget) {
        target = newTarget;
        count = 0;
        sum = 0;
        done.Reset();
    }
};

// The C++ path: a MsgWorker on a TCPClient.
class TallyWorker : public MsgWorker {
public:
    explicit TallyWorker(Tally* tally) : MsgWorker(nullptr, 0), m_Tally(tally), m_Out(tally->plain.size()) {}
    LONG HandleMessage(void* message, int length, void*, void* kernel) override {
        const auto* bytes = static_cast<const unsigned char*>(message);
        if (m_Tally->Count(bytes + 4, length - 4) || !m_Tally->answer)
            return 0;
        return Send(static_cast<NetKernel*>(kernel)) ? 0 : 1;
    }
    LONG ConnectionCut(void*) override { return 0; }
    LONG ConnectionAccept(void*) override { return 0; }
    // The message is copied (SendMsg scrambles in place), as ynet_client_send copies the body.
    bool Send(NetKernel* kernel) {
        std::memcpy(m_Out.data(), m_Tally->plain.data(), m_Out.size());
        int size = static_cast<int>(m_Out.size());
        return kernel->SendMsg(nullptr, m_Out.data(), size) == size;
    }

private:
    Tally* m_Tally;
    Bytes m_Out;
};

// The C path: the same handler as a C callback.
bool SendC(ynet_client* client, const Tally& tally) {
    return ynet_client_send(client, 3, 1, YNET_FLAG_REQUEST, tally.plain.data() + 4,
                            static_cast<int32_t>(tally.plain.size() - 4)) == YNET_OK;
}

int32_t YNET_CALL OnMessageC(void* user, ynet_client* client, uint32_t, uint32_t, uint32_t, const uint8_t* body,
                             int32_t length) {
    auto* tally = static_cast<Tally*>(user);
    if (tally->Count(body, length) || !tally->answer)
        return 0;
    return SendC(client, *tally) ? 0 : 1;
}

ynet_callbacks CallbacksC(Tally* tally) {
    ynet_callbacks callbacks{};
    callbacks.size = sizeof(callbacks);
    callbacks.user = tally;
    callbacks.on_message = OnMessageC;
    return callbacks;
}

std::string Address(int port) {
    return "127.0.0.1:" + std::to_string(port);
}

// One contender's round of one-way: seconds from connect to the last message, or -1.
double OneWayCpp(int port, Tally& tally) {
    TallyWorker worker(&tally);
    TCPClient client(&worker);
    YSocketAddr address = Loopback(port);
    Clock::time_point start = Clock::now();
    bool ok = client.Init(address) == 0 && tally.done.Wait(300);
    double seconds = Seconds(start, Clock::now());
    client.Wait_Release();
    return ok ? seconds : -1;
}

double OneWayC(int port, Tally& tally) {
    ynet_callbacks callbacks = CallbacksC(&tally);
    ynet_client* client = nullptr;
    if (ynet_client_new(&callbacks, &client) != YNET_OK)
        return -1;
    Clock::time_point start = Clock::now();
    bool ok = ynet_client_connect(client, Address(port).c_str(), nullptr) == YNET_OK && tally.done.Wait(300);
    double seconds = Seconds(start, Clock::now());
    ynet_client_destroy(client);
    return ok ? seconds : -1;
}

bool OneWay(int size, int rounds) {
    const long perBatch = 65536 / size + 1;
    const long target = size <= 8 ? 8000000 : size <= 100 ? 3000000 : 300000;
    const long batches = target / perBatch + 1;
    const long count = perBatch * batches;
    Tally tally;
    tally.plain = PlainMessage(size);
    const std::uint64_t expected = SumBytes(tally.plain.data() + 4, size - 4) * static_cast<std::uint64_t>(count);
    Bytes message = tally.plain;
    EncodeBody(message.data() + 4, static_cast<unsigned>(size - 4));
    Bytes wire;
    for (long i = 0; i < perBatch; ++i)
        wire.insert(wire.end(), message.begin(), message.end());

    const char* names[] = {"C++ (MsgWorker)", "C (ynet.h)"};
    std::vector<double> rates[2], ratio, cpuRatio;
    for (int round = 0; round < rounds; ++round) {
        double seconds[2], cpu[2];
        for (int who : OrderOfRound(round, 2)) {
            auto server = Server::Streamer(wire, batches);
            tally.Reset(count);
            seconds[who] = who == 0 ? OneWayCpp(server->Port(), tally) : OneWayC(server->Port(), tally);
            if (seconds[who] <= 0 || tally.sum != expected) {
                std::printf("oneway %d: %s failed\n", size, names[who]);
                return false;
            }
            rates[who].push_back(count / seconds[who]);
            cpu[who] = tally.cpu;
        }
        ratio.push_back(seconds[0] / seconds[1]);
        cpuRatio.push_back(cpu[0] / cpu[1]);
    }
    std::printf("oneway %d bytes, %ld messages per contender and round, %d rounds\n", size, count, rounds);
    for (int who = 0; who < 2; ++who)
        std::printf("    %-16s median %.3f M msg/s\n", names[who], Median(rates[who]) / 1e6);
    PrintSpread("ratio C / C++", SpreadOf(ratio));
    PrintSpread("CPU ratio C / C++", SpreadOf(cpuRatio));
    std::fflush(stdout);
    return true;
}

bool PingPong(int size, int rounds) {
    const long roundTrips = 20000;
    Tally cppTally, cTally;
    cppTally.plain = cTally.plain = PlainMessage(size);
    cppTally.answer = cTally.answer = true;
    const std::uint64_t expected = SumBytes(cTally.plain.data() + 4, size - 4) * static_cast<std::uint64_t>(roundTrips);
    auto server = Server::Reflector();
    TallyWorker worker(&cppTally);
    TCPClient cppClient(&worker);
    YSocketAddr address = Loopback(server->Port());
    ynet_callbacks callbacks = CallbacksC(&cTally);
    ynet_client* cClient = nullptr;
    if (cppClient.Init(address) != 0 || ynet_client_new(&callbacks, &cClient) != YNET_OK ||
        ynet_client_connect(cClient, Address(server->Port()).c_str(), nullptr) != YNET_OK) {
        std::printf("pingpong %d: connect failed\n", size);
        ynet_client_destroy(cClient);
        return false;
    }
    const char* names[] = {"C++ (MsgWorker)", "C (ynet.h)"};
    std::vector<double> rates[2], ratio;
    bool ok = true;
    for (int round = 0; round < rounds && ok; ++round) {
        double seconds[2];
        for (int who : OrderOfRound(round, 2)) {
            Tally& tally = who == 0 ? cppTally : cTally;
            tally.Reset(roundTrips);
            Clock::time_point start = Clock::now();
            bool sent = who == 0 ? worker.Send(&cppClient) : SendC(cClient, cTally);
            ok = sent && tally.done.Wait(120);
            seconds[who] = Seconds(start, Clock::now());
            if (!ok || tally.sum != expected) {
                std::printf("pingpong %d: %s failed\n", size, names[who]);
                ok = false;
                break;
            }
            rates[who].push_back(roundTrips / seconds[who]);
        }
        if (ok)
            ratio.push_back(seconds[0] / seconds[1]);
    }
    cppClient.Wait_Release();
    ynet_client_destroy(cClient);
    if (!ok)
        return false;
    std::printf("pingpong %d bytes, %ld round trips per contender and round, %d rounds\n", size, roundTrips, rounds);
    for (int who = 0; who < 2; ++who)
        std::printf("    %-16s median %.1f k rt/s\n", names[who], Median(rates[who]) / 1e3);
    PrintSpread("ratio C / C++", SpreadOf(ratio));
    std::fflush(stdout);
    return true;
}

// The bindings' benchmark's server and C contender (see the top).
int Serve(int size, long count) {
    const long perBatch = 65536 / size + 1;
    const long batches = (count + perBatch - 1) / perBatch;
    Bytes plain = PlainMessage(size);
    Bytes message = plain;
    EncodeBody(message.data() + 4, static_cast<unsigned>(size - 4));
    Bytes wire;
    for (long i = 0; i < perBatch; ++i)
        wire.insert(wire.end(), message.begin(), message.end());
    auto server = Server::Streamer(wire, batches);
    std::printf("port %d count %ld bodysum %llu\n", server->Port(), perBatch * batches,
                static_cast<unsigned long long>(SumBytes(plain.data() + 4, size - 4)));
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    return 0;
}

int Receive(int port, long count) {
    Tally tally;
    tally.Reset(count);
    const double seconds = OneWayC(port, tally);
    std::printf("%.6f %llu\n", seconds, static_cast<unsigned long long>(tally.sum));
    return seconds > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && (std::strcmp(argv[1], "serve") == 0 || std::strcmp(argv[1], "receive") == 0)) {
        if (ynet_stack_start() != YNET_OK)
            return 2;
        const int result = argv[1][0] == 's' ? Serve(std::atoi(argv[2]), std::atol(argv[3]))
                                             : Receive(std::atoi(argv[2]), std::atol(argv[3]));
        ynet_stack_stop();
        return result;
    }
    int rounds = 10;
    const std::vector<std::string> which = PartsToRun(argc, argv, &rounds, {"oneway", "pingpong"});
    if (ynet_stack_start() != YNET_OK)
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
    ynet_stack_stop();
    return ok ? 0 : 1;
}

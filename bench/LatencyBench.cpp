// Round-trip latency as a request/response application feels it: TCPClient
// beside the plain POSIX socket calls (blocking, a thread per connection)
// and standalone Asio (one io_context on one thread for every connection),
// each with TCP_NODELAY on and off (TCPClient's default is on; bench/support:
// none of this library's layers in the competitors).
//
// Patterns, against a server that answers every whole request with one
// message (the request's last, sent back as it came):
//   one    a request of one 64-byte message, then its reply;
//   two    a request of two 64-byte messages handed to the socket one after
//          the other, then one reply: the pattern where Nagle's algorithm
//          holds the second message until the first is acknowledged, and
//          the server, waiting for the whole request, acknowledges late
//          (delayed ACK);
// each over 1 connection and over 100 connections at once.
//
// TCPClient sends each request from its handler when the reply of the last
// one arrives (the library's request/response model: the receive thread
// hands over the reply and the handler answers through SendMsg), as the
// blocking client sends from the thread that received. Every contender
// scrambles each message, unscrambles and sums each reply; the sums are
// checked against the replies counted. A round trip is timed from its first
// send to its whole reply.
//
// Each contender stays connected for the whole pattern; contenders take
// turns, their order rotating and reversing from round to round. A round
// gives each contender 10,000 round trips (100 per connection over 100
// connections) or 3 seconds, whichever ends first: a contender that waits
// 40 ms per round trip does fewer. Printed per pattern: p50, p99, p99.9 and
// the maximum over every round trip of the run, the histogram, and the
// per-round ratios of p99 (and p50) of TCPClient to each competitor with the
// same TCP_NODELAY setting, min / median / max (below 1: TCPClient's
// round trips are shorter).
//
// Usage: LatencyBench [--rounds N] [--connections N] [one|two ...]
// (default: 10 rounds, 1 and 100 connections, both patterns).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "client/TCPClient.h"
#include "platform/WinApi.h"
#include "support/Contenders.h"
#include "support/Done.h"
#include "support/Latency.h"
#include "support/LibraryWire.h"
#include "support/Rounds.h"

using namespace YNet2;
using namespace BenchNet;

namespace {

constexpr int kMessageSize = 64;
constexpr long kRoundTripsPerRound = 10000;
constexpr double kBudgetSeconds = 3;

// One connection's requests, from the handler: each reply is timed, summed,
// and answered with the next request until the count or the budget is
// spent.
class RequestWorker : public MsgWorker {
public:
    RequestWorker(const Bytes& plain, int perRequest)
        : MsgWorker(nullptr, 0), m_Plain(plain), m_Out(plain.size()), m_PerRequest(perRequest) {}

    bool Start(TCPClient& client, long roundTrips, Clock::time_point start, double budget) {
        m_Left = roundTrips;
        m_Start = start;
        m_Budget = budget;
        m_Times.clear();
        m_Sum = 0;
        m_Failed = false;
        m_Done.Reset();
        return Request(&client);
    }
    // False when the replies stopped coming or a send failed.
    bool Wait() { return m_Done.Wait(120) && !m_Failed; }

    LONG HandleMessage(void* message, int length, void*, void* kernel) override {
        const Clock::time_point answered = Clock::now();
        m_Times.push_back(std::chrono::duration<double, std::micro>(answered - m_Sent).count());
        m_Sum += SumBytes(static_cast<unsigned char*>(message), length);
        if (--m_Left == 0 || Seconds(m_Start, answered) > m_Budget) {
            m_Done.Set();
            return 0;
        }
        if (!Request(static_cast<NetKernel*>(kernel))) {
            m_Failed = true;
            m_Done.Set();
        }
        return 0;
    }
    LONG ConnectionCut(void*) override { return 0; }
    LONG ConnectionAccept(void*) override { return 0; }

    std::vector<double> m_Times;
    std::uint64_t m_Sum = 0;

private:
    bool Request(NetKernel* kernel) {
        m_Sent = Clock::now();
        const int size = static_cast<int>(m_Out.size());
        for (int k = 0; k < m_PerRequest; ++k) {
            std::memcpy(m_Out.data(), m_Plain.data(), m_Plain.size());
            if (kernel->SendMsg(nullptr, m_Out.data(), size) != size)
                return false;
        }
        return true;
    }
    const Bytes m_Plain;
    Bytes m_Out;
    const int m_PerRequest;
    long m_Left = 0;
    Clock::time_point m_Start, m_Sent;
    double m_Budget = 0;
    bool m_Failed = false;
    Done m_Done;
};

// TCPClient over `connections` connections at once, as the Requester
// contenders of bench/support run.
class LibraryRequester : public Requester {
public:
    LibraryRequester(int port, int connections, bool noDelay, const Bytes& plain, int perRequest) {
        YSocketAddr address = Loopback(port);
        for (int i = 0; i < connections; ++i) {
            m_Workers.push_back(std::make_unique<RequestWorker>(plain, perRequest));
            m_Clients.push_back(std::make_unique<TCPClient>(m_Workers.back().get()));
            m_Clients.back()->SetNoDelay(noDelay);
            m_Connected = m_Connected && m_Clients.back()->Init(address) == 0;
        }
    }
    ~LibraryRequester() override {
        for (auto& client : m_Clients)
            client->Wait_Release();
    }
    bool Run(long roundTrips, double budget, std::vector<double>* times, std::uint64_t* sum) override {
        if (!m_Connected)
            return false;
        const Clock::time_point start = Clock::now();
        bool ok = true;
        for (std::size_t i = 0; i < m_Clients.size(); ++i)
            ok = m_Workers[i]->Start(*m_Clients[i], roundTrips, start, budget) && ok;
        for (auto& worker : m_Workers) {
            ok = worker->Wait() && ok;
            times->insert(times->end(), worker->m_Times.begin(), worker->m_Times.end());
            *sum += worker->m_Sum;
        }
        return ok;
    }

private:
    std::vector<std::unique_ptr<RequestWorker>> m_Workers;
    std::vector<std::unique_ptr<TCPClient>> m_Clients;
    bool m_Connected = true;
};

enum class Kind { Library, Posix, Asio };

struct Contender {
    const char* name;
    Kind kind;
    bool noDelay;
};

// TCPClient's default is TCP_NODELAY on.
const Contender kContenders[] = {
    {"TCPClient NODELAY", Kind::Library, true}, {"TCPClient", Kind::Library, false},
    {"POSIX NODELAY", Kind::Posix, true},       {"POSIX", Kind::Posix, false},
    {"Asio NODELAY", Kind::Asio, true},         {"Asio", Kind::Asio, false},
};
constexpr int kCount = static_cast<int>(sizeof kContenders / sizeof kContenders[0]);

std::unique_ptr<Requester> Make(const Contender& who, int port, int connections, const Bytes& plain, int perRequest) {
    switch (who.kind) {
    case Kind::Library:
        return std::make_unique<LibraryRequester>(port, connections, who.noDelay, plain, perRequest);
    case Kind::Posix:
        return Requester::Raw(port, connections, who.noDelay, plain, perRequest, EncodeBody, DecodeBody);
    case Kind::Asio:
        return Requester::Asio(port, connections, who.noDelay, plain, perRequest, EncodeBody, DecodeBody);
    }
    return nullptr;
}

bool Pattern(int perRequest, int connections, int rounds) {
    const Bytes plain = PlainMessage(kMessageSize);
    const std::uint64_t replySum = SumBytes(plain.data(), kMessageSize);
    const long perConnection = kRoundTripsPerRound / connections;
    auto server = BenchNet::Server::Responder(perRequest);
    std::vector<std::unique_ptr<Requester>> requesters;
    std::vector<std::string> names;
    for (const Contender& who : kContenders) {
        requesters.push_back(Make(who, server->Port(), connections, plain, perRequest));
        names.push_back(who.name);
    }
    std::printf("%s, %d connection%s: %d rounds of up to %ld round trips per contender (%d-byte messages)\n",
                perRequest == 1 ? "one message and its reply" : "two messages back to back and one reply", connections,
                connections == 1 ? "" : "s at once", rounds, perConnection * connections, kMessageSize);
    std::fflush(stdout);

    // A first exchange on every connection, not counted.
    for (int who = 0; who < kCount; ++who) {
        std::vector<double> unused;
        std::uint64_t sum = 0;
        if (!requesters[static_cast<std::size_t>(who)]->Run(2, kBudgetSeconds, &unused, &sum)) {
            std::printf("    %s failed to connect or exchange\n", names[static_cast<std::size_t>(who)].c_str());
            return false;
        }
    }

    std::vector<std::vector<double>> all(kCount);
    std::vector<std::vector<Percentiles>> perRound(kCount);
    std::vector<double> cpu(kCount, 0.0); // process CPU seconds, the server's threads included
    for (int round = 0; round < rounds; ++round) {
        for (int who : OrderOfRound(round, kCount)) {
            const std::size_t w = static_cast<std::size_t>(who);
            std::vector<double> times;
            std::uint64_t sum = 0;
            const std::clock_t cpuStart = std::clock();
            const bool ran = requesters[w]->Run(perConnection, kBudgetSeconds, &times, &sum);
            cpu[w] += static_cast<double>(std::clock() - cpuStart) / CLOCKS_PER_SEC;
            if (!ran || times.empty() || sum != replySum * times.size()) {
                std::printf("    %s failed in round %d (%zu replies, sum %llu, expected %llu)\n", names[w].c_str(),
                            round, times.size(), static_cast<unsigned long long>(sum),
                            static_cast<unsigned long long>(replySum * times.size()));
                return false;
            }
            perRound[w].push_back(PercentilesOf(times));
            all[w].insert(all[w].end(), times.begin(), times.end());
        }
    }
    requesters.clear();

    PrintPercentiles(names, all);
    std::printf("    CPU per round trip (the process, the server's threads included):");
    for (std::size_t w = 0; w < names.size(); ++w)
        std::printf("%s %s %.1f us", w == 0 ? "" : ",", names[w].c_str(),
                    cpu[w] * 1e6 / static_cast<double>(all[w].size()));
    std::printf("\n");
    PrintHistogram(names, all);
    std::printf("    per round, TCPClient / competitor with the same TCP_NODELAY (below 1: TCPClient shorter):\n");
    for (int mine = 0; mine < kCount; ++mine) {
        if (kContenders[mine].kind != Kind::Library)
            continue;
        for (int other = 0; other < kCount; ++other) {
            if (kContenders[other].kind == Kind::Library || kContenders[other].noDelay != kContenders[mine].noDelay)
                continue;
            std::vector<double> p50, p99;
            for (int r = 0; r < rounds; ++r) {
                const Percentiles& a = perRound[static_cast<std::size_t>(mine)][static_cast<std::size_t>(r)];
                const Percentiles& b = perRound[static_cast<std::size_t>(other)][static_cast<std::size_t>(r)];
                p50.push_back(a.p50 / b.p50);
                p99.push_back(a.p99 / b.p99);
            }
            const std::string label = std::string(kContenders[mine].name) + " / " + kContenders[other].name;
            PrintSpread((label + ", p50").c_str(), SpreadOf(p50), 44);
            PrintSpread((label + ", p99").c_str(), SpreadOf(p99), 44);
        }
    }
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    int rounds = 10;
    std::vector<int> connectionCounts = {1, 100};
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
        if (std::string(argv[i]) == "--connections" && i + 1 < argc)
            connectionCounts = {std::max(1, std::atoi(argv[++i]))};
        else
            rest.push_back(argv[i]);
    }
    const std::vector<std::string> which =
        PartsToRun(static_cast<int>(rest.size()), rest.data(), &rounds, {"one", "two"});
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 0), &data) != 0)
        return 2;
    bool ok = true;
    for (const std::string& name : which) {
        if (name != "one" && name != "two") {
            std::printf("unknown pattern %s (one, two)\n", name.c_str());
            ok = false;
            continue;
        }
        for (int connections : connectionCounts)
            ok = Pattern(name == "one" ? 1 : 2, connections, rounds) && ok;
    }
    WSACleanup();
    return ok ? 0 : 1;
}

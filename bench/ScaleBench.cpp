// Many TCPClient connections in one process, each with its receive thread.
//
//   ScaleBench [--rounds N] [--reserve BYTES] [--port P] [--stack] [COUNT ...]
//
// For each COUNT (default 10000): COUNT clients connect, one after the
// other, to a server that greets each connection with one 100-byte message
// and holds it; once every client's worker has its message, the process's
// own account of itself is read; then every client is ended (Wait_Release)
// and destroyed. Reported per count, min / median / max over the rounds
// (default 3, after a first round that is not counted: it grows the heap
// and the process's tables once, and its address space and resident memory
// per connection are printed apart, as what the connections cost a fresh
// process): connects per second, address space reserved and memory
// resident per connection (the growth of the process's mappings and of its
// resident set over the connections, divided by their number), and what is
// left after the release (threads, descriptors, address space). A count
// the process cannot hold is reported with the number it held and the
// address space mapped then: with a count beyond reach, the ceiling.
//
// The server is a child process (`ScaleBench --serve`), whose descriptors do
// not count against this one's; the descriptor limit is raised to the hard
// limit first. With --port the clients connect to a server already running
// on 127.0.0.1:P (under Wine: the native server, bench/wine-scale.sh).
// --reserve sets each receive thread's stack reserve (default: the
// library's). --stack measures how much of a receive thread's stack the
// library itself uses (the handler answers through SendMsg, then the server
// resets the connection, which the library logs, and the connection ends).
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/NetKernel.h"
#include "client/TCPClient.h"
#include "socket/YSocket.h"
#include "support/HoldingServer.h"
#include "support/LibraryWire.h"
#include "support/ProcessAccount.h"
#include "support/Rounds.h"

using namespace YNet2;
using namespace BenchNet;

namespace {

constexpr int kGreetingSize = 100;
constexpr DWORD kWaitMs = 120000;

Bytes Greeting() {
    Bytes message = PlainMessage(kGreetingSize);
    EncodeBody(message.data() + 4, kGreetingSize - 4);
    return message;
}

class CountingWorker : public MsgWorker {
public:
    explicit CountingWorker(std::atomic<long>* received) : MsgWorker(nullptr, 0), m_Received(received) {}
    LONG HandleMessage(void*, int length, void*, void*) override {
        if (length == kGreetingSize)
            m_Received->fetch_add(1);
        return 0;
    }
    LONG ConnectionCut(void*) override { return 0; }
    LONG ConnectionAccept(void*) override { return 0; }

private:
    std::atomic<long>* m_Received;
};

// Waits, polling, until value reaches target; false after kWaitMs.
bool WaitFor(const std::atomic<long>& value, long target) {
    const DWORD start = GetTickCount();
    while (value.load() < target) {
        if (GetTickCount() - start > kWaitMs)
            return false;
        Sleep(2);
    }
    return true;
}

// The threads of ended receive threads go a little after they signal it.
ProcessAccount SettledAccount(long threads) {
    ProcessAccount now = SampleAccount();
    for (int i = 0; i < 500 && now.threads > threads; ++i) {
        Sleep(10);
        now = SampleAccount();
    }
    return now;
}

struct RoundResult {
    long held;
    double connectsPerSecond, reservedKiB, residentKiB;
    long threadsLeft, descriptorsLeft;
    long long reservedLeftKiB;
    long long mappedBeforeKiB, mappedFullKiB; // the process's whole address space
};

bool Round(int count, WORD port, DWORD reserve, RoundResult* result) {
    const ProcessAccount before = SampleAccount();
    std::atomic<long> received{0};
    long held = 0;
    bool ok = true;
    {
        std::vector<std::unique_ptr<CountingWorker>> workers;
        std::vector<std::unique_ptr<TCPClient>> clients;
        workers.reserve(static_cast<std::size_t>(count));
        clients.reserve(static_cast<std::size_t>(count));
        YSocketAddr address = Loopback(port);
        const Clock::time_point start = Clock::now();
        for (; held < count; ++held) {
            workers.push_back(std::make_unique<CountingWorker>(&received));
            clients.push_back(std::make_unique<TCPClient>(workers.back().get()));
            if (reserve != 0)
                clients.back()->SetStackReserve(reserve);
            if (clients.back()->Init(address) != 0) {
                clients.pop_back();
                break;
            }
        }
        result->connectsPerSecond = held / Seconds(start, Clock::now());
        ok = WaitFor(received, held);
        const ProcessAccount full = SampleAccount();
        result->held = held;
        result->mappedBeforeKiB = before.reservedKiB;
        result->mappedFullKiB = full.reservedKiB;
        result->reservedKiB = static_cast<double>(full.reservedKiB - before.reservedKiB) / std::max(held, 1L);
        result->residentKiB = static_cast<double>(full.residentKiB - before.residentKiB) / std::max(held, 1L);
        for (auto& client : clients)
            client->Wait_Release();
    }
    const ProcessAccount after = SettledAccount(before.threads);
    result->threadsLeft = after.threads - before.threads;
    result->descriptorsLeft = after.descriptors - before.descriptors;
    result->reservedLeftKiB = after.reservedKiB - before.reservedKiB;
    return ok;
}

bool Scale(int count, int rounds, WORD port, DWORD reserve) {
    std::vector<double> connects, reserved, resident;
    long held = count, threadsLeft = 0, descriptorsLeft = 0;
    long long reservedLeft = 0;
    RoundResult first{};
    for (int round = 0; round <= rounds; ++round) {
        RoundResult r{};
        if (!Round(count, port, reserve, &r)) {
            std::printf("scale %d: only %ld of the connections held got their message\n", count, r.held);
            return false;
        }
        held = std::min(held, r.held);
        if (round == 0) {
            first = r;
            continue;
        }
        connects.push_back(r.connectsPerSecond / 1e3);
        reserved.push_back(r.reservedKiB);
        resident.push_back(r.residentKiB);
        threadsLeft = std::max(threadsLeft, r.threadsLeft);
        descriptorsLeft = std::max(descriptorsLeft, r.descriptorsLeft);
        reservedLeft = std::max(reservedLeft, r.reservedLeftKiB);
    }
    std::printf("scale %d connections (held %ld), %d rounds, stack reserve %lu KiB, sizeof(TCPClient) %zu\n", count,
                held, rounds,
                static_cast<unsigned long>((reserve != 0 ? reserve : YThread::kDefaultStackReserve) / 1024),
                sizeof(TCPClient));
    // The first round grows the heap and the process's tables: its figures
    // are what the connections cost a fresh process.
    std::printf("    first round: reserved %.1f KiB, resident %.1f KiB per connection\n", first.reservedKiB,
                first.residentKiB);
    PrintSpread("connects/s (thousands)", SpreadOf(connects));
    PrintSpread("reserved KiB per connection", SpreadOf(reserved));
    PrintSpread("resident KiB per connection", SpreadOf(resident));
    std::printf("    left after release: threads %ld, descriptors %ld, address space %lld KiB\n", threadsLeft,
                descriptorsLeft, reservedLeft);
    // Fewer held than asked: the next Init failed (its log line says why).
    if (held < count)
        std::printf("    ceiling, first round: %ld held, then %.0f MiB of address space mapped (%.0f MiB before)\n",
                    first.held, first.mappedFullKiB / 1024.0, first.mappedBeforeKiB / 1024.0);
    std::fflush(stdout);
    return held == count;
}

// ---------------------------------------------------------------- the library's stack use

constexpr unsigned char kPaint = 0xA5;
constexpr std::size_t kPaintDepth = 96 * 1024;

// Paints the stack below the caller's frame, page by page from the top down
// (so that a guard page below the committed part is met first, as the
// thread's own growth would meet it).
__attribute__((noinline)) void PaintBelow(std::uintptr_t from, std::uintptr_t low) {
    constexpr std::uintptr_t kPage = 4096;
    for (std::uintptr_t page = (from & ~(kPage - 1)); page > low; page -= kPage) {
        const std::uintptr_t begin = std::max(page - kPage, low);
        const std::uintptr_t end = std::min(page, from);
        if (end > begin)
            std::memset(reinterpret_cast<void*>(begin), kPaint, end - begin);
    }
}

class StackWorker : public MsgWorker {
public:
    StackWorker() : MsgWorker(nullptr, 0) {}
    LONG MsgThreadBegin(void*) override {
        volatile char here = 0;
        const auto at = reinterpret_cast<std::uintptr_t>(&here);
        if (!ThreadStackExtent(const_cast<char*>(&here), &m_Low, &m_Top))
            return 0;
        m_AtBegin = m_Top - at;
        m_Bottom = std::max(m_Low, at - kPaintDepth);
        PaintBelow(at - 512, m_Bottom); // this frame and PaintBelow's stay above
        return 0;
    }
    LONG HandleMessage(void* message, int length, void*, void* kernel) override {
        static_cast<NetKernel*>(kernel)->SendMsg(0, message, length); // the send path, from the handler
        return 0;
    }
    LONG ConnectionCut(void*) override { return 0; }
    LONG ConnectionAccept(void*) override { return 0; }
    void MsgThreadEnd(void*) override {
        std::uintptr_t touched = m_Bottom;
        while (touched < m_Top && *reinterpret_cast<const unsigned char*>(touched) == kPaint)
            ++touched;
        m_Deepest = m_Top - touched;
        m_Ended = 1;
    }
    std::uintptr_t m_Low = 0, m_Top = 0, m_Bottom = 0, m_AtBegin = 0, m_Deepest = 0;
    std::atomic<long> m_Ended{0};
};

SOCKET Listen(WORD* port) {
    SOCKET listener = socket(AF_INET, SOCK_STREAM, 0);
    YSocketAddr address = Loopback(0);
    int length = YSocketAddr::Length;
    if (bind(listener, address.AsSockaddr(), length) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, address.AsSockaddr(), &length) != 0) {
        closesocket(listener);
        return INVALID_SOCKET;
    }
    *port = ntohs(address.sin_port);
    return listener;
}

bool ReceiveAll(SOCKET s, Bytes& bytes) {
    int got = 0;
    for (int n = 1; got < static_cast<int>(bytes.size()) && n > 0; got += n)
        n = recv(s, reinterpret_cast<char*>(bytes.data()) + got, static_cast<int>(bytes.size()) - got, 0);
    return got == static_cast<int>(bytes.size());
}

bool SendAll(SOCKET s, const Bytes& bytes) {
    return send(s, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0) ==
           static_cast<int>(bytes.size());
}

// One connection: a message the handler answers, then a reset, which the
// receive loop logs before it ends the connection.
bool MeasureStack(DWORD reserve) {
    WORD port = 0;
    SOCKET listener = Listen(&port);
    StackWorker worker;
    TCPClient client(&worker);
    if (reserve != 0)
        client.SetStackReserve(reserve);
    YSocketAddr address = Loopback(port);
    if (listener == INVALID_SOCKET || client.Init(address) != 0)
        return false;
    SOCKET server = accept(listener, nullptr, nullptr);
    Bytes answer(kGreetingSize);
    const bool ok = SendAll(server, Greeting()) && ReceiveAll(server, answer);
    linger reset{1, 0}; // the close resets the connection: the receive fails and is logged
    setsockopt(server, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&reset), sizeof(reset));
    closesocket(server);
    for (DWORD waited = 0; worker.m_Ended.load() == 0 && waited < kWaitMs; waited += 2)
        Sleep(2);
    client.Wait_Release();
    closesocket(listener);
    if (!ok || worker.m_Top == 0 || worker.m_Ended.load() == 0) {
        std::printf("stack: the measurement failed\n");
        return false;
    }
    std::printf("stack of a receive thread (reservation %lu KiB as the system reports it)\n",
                static_cast<unsigned long>((worker.m_Top - worker.m_Low) / 1024));
    std::printf("    in use when the worker's MsgThreadBegin runs  %.1f KiB\n", worker.m_AtBegin / 1024.0);
    std::printf("    deepest use over the connection's life        %.1f KiB%s\n", worker.m_Deepest / 1024.0,
                worker.m_Top - worker.m_Bottom <= worker.m_Deepest ? " (all that was painted)" : "");
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc >= 2 && std::string(argv[1]) == "--serve")
        return RunHoldingServer(Greeting());
    int rounds = 3;
    int port = 0;
    DWORD reserve = 0;
    bool stack = false;
    std::vector<int> counts;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--port" && i + 1 < argc)
            port = std::atoi(argv[++i]);
        else if (arg == "--reserve" && i + 1 < argc)
            reserve = static_cast<DWORD>(std::strtoul(argv[++i], nullptr, 0));
        else if (arg == "--stack")
            stack = true;
        else if (std::atoi(arg.c_str()) > 0)
            counts.push_back(std::atoi(arg.c_str()));
        else {
            std::printf("usage: ScaleBench [--rounds N] [--reserve BYTES] [--port P] [--stack] [COUNT ...]\n");
            return 2;
        }
    }
    if (counts.empty() && !stack)
        counts.push_back(10000);

    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 0), &data) != 0)
        return 2;
    std::printf("descriptor limit %ld\n", RaiseDescriptorLimit());
    bool ok = true;
    if (stack)
        ok = MeasureStack(reserve);
    const bool ownServer = port == 0 && !counts.empty();
    if (ownServer && !StartServerProcess(argv[0], &port)) {
        std::printf("no server: give --port of a running `ScaleBench --serve`\n");
        return 2;
    }
    for (int count : counts)
        ok = Scale(count, rounds, static_cast<WORD>(port), reserve) && ok;
    if (ownServer)
        StopServerProcess();
    WSACleanup();
    return ok ? 0 : 1;
}

// TCPClient on loopback, beside minimal clients written with the raw socket
// calls. Each benchmark measures every contender in the same run and
// reports the ratios as counters (ratio > 1: TCPClient is faster).
//
// PingPong/size: round trips per second. A reflector server sends every
// byte back. TCPClient's handler answers each echo through SendMsg; the raw
// client is a blocking loop doing the same framing (scramble, send, receive
// the head, receive the body, unscramble). Both stay connected and take
// turns in rounds of 2,000 round trips. Target: ratio_raw >= 0.95.
//
// Stream/size: messages per second delivered to the consumer, from a server
// that sends one message after another. raw2 receives the head and then
// the body of every message (two receives per message); raw64k receives
// 64 KiB pieces, cuts the messages out in place and unscrambles them. Every
// consumer reads each message's first body byte and last byte. Targets for
// 100-byte messages: ratio_raw2 >= 10, ratio_raw64k >= 0.5.
//
// Scale: 1,000 TCPClient connections, each with its receive thread, to one
// local server; all receive one broadcast message; all are released.
// Counters: connects per second, resident memory per connection, and the
// descriptors, threads and heap bytes left afterwards (all must be 0). Two
// rounds; the counters are the second's, as the first also grows the
// process-wide handle tables once.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
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
#if !defined(_WIN32)
#include <filesystem>
#endif

#include "client/TCPClient.h"
#include "message/Scrambler.h"
#include "message/YNetMsgHead.h"
#include "platform/WinApi.h"

using namespace YNet2;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// ---------------------------------------------------------------- sockets

YSocketAddr Loopback(WORD port) {
    YSocketAddr address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    const unsigned char ip[4] = {127, 0, 0, 1};
    std::memcpy(&address.sin_addr, ip, sizeof ip);
    return address;
}

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

void NoDelay(SOCKET s) {
    int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

SOCKET ConnectRaw(WORD port) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    YSocketAddr address = Loopback(port);
    if (connect(s, address.AsSockaddr(), YSocketAddr::Length) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    NoDelay(s);
    return s;
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

bool RecvAll(SOCKET s, unsigned char* data, int length) {
    int got = 0;
    while (got < length) {
        int n = recv(s, reinterpret_cast<char*>(data) + got, length - got, 0);
        if (n <= 0)
            return false;
        got += n;
    }
    return true;
}

// A server of one connection, run on a thread of its own: accepts, runs
// its body, closes.
class OneShotServer {
public:
    explicit OneShotServer(std::function<void(SOCKET)> body) : m_Body(std::move(body)) {
        m_Listener = Listen(&m_Port);
        m_Thread = CreateThread(nullptr, 0, &OneShotServer::Main, this, 0, nullptr);
    }
    ~OneShotServer() {
        WaitForSingleObject(m_Thread, INFINITE);
        CloseHandle(m_Thread);
        closesocket(m_Listener);
    }
    WORD Port() const { return m_Port; }

private:
    static DWORD WINAPI Main(LPVOID self) {
        auto* server = static_cast<OneShotServer*>(self);
        SOCKET s = accept(server->m_Listener, nullptr, nullptr);
        if (s == INVALID_SOCKET)
            return 1;
        NoDelay(s);
        server->m_Body(s);
        closesocket(s);
        return 0;
    }
    std::function<void(SOCKET)> m_Body;
    SOCKET m_Listener;
    WORD m_Port = 0;
    HANDLE m_Thread;
};

// Sends back every byte it receives, until the client closes.
void Reflect(SOCKET s) {
    std::vector<unsigned char> buffer(65536);
    for (;;) {
        int n = recv(s, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0);
        if (n <= 0 || !SendAll(s, buffer.data(), n))
            return;
    }
}

std::vector<unsigned char> PlainMessage(int size) {
    std::vector<unsigned char> message(static_cast<size_t>(size));
    reinterpret_cast<YNetMsgHead*>(message.data())->SetHead(static_cast<WORD>(size), 3, 1, true, false, false);
    for (int i = 4; i < size; ++i)
        message[static_cast<size_t>(i)] = static_cast<unsigned char>(i * 13 + 1);
    return message;
}

// What every consumer does with a message: its first body byte and last byte.
inline unsigned Touch(const unsigned char* message, int length) {
    return message[4] + message[length - 1];
}

// A signal the benchmark thread waits on.
class Done {
public:
    void Set() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        m_Set = true;
        m_Changed.notify_all();
    }
    bool Wait(int seconds) {
        std::unique_lock<std::mutex> hold(m_Mutex);
        return m_Changed.wait_for(hold, std::chrono::seconds(seconds), [&] { return m_Set; });
    }
    void Reset() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        m_Set = false;
    }

private:
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    bool m_Set = false;
};

// ---------------------------------------------------------------- ping-pong

class PingWorker : public MsgWorker {
public:
    explicit PingWorker(int size) : MsgWorker(nullptr, 0), m_Plain(PlainMessage(size)), m_Out(m_Plain.size()) {}

    // Sends the first message; the handler sends each next one.
    bool Start(TCPClient& client, long target) {
        m_Target = target;
        m_Count = 0;
        m_Done.Reset();
        return Ping(&client);
    }
    bool Wait() { return m_Done.Wait(120); }

    LONG HandleMessage(void* message, int length, void*, void* kernel) override {
        m_Sink += Touch(static_cast<unsigned char*>(message), length);
        if (++m_Count >= m_Target) {
            m_Done.Set();
            return 0;
        }
        return Ping(static_cast<NetKernel*>(kernel)) ? 0 : 1;
    }
    LONG ConnectionCut(void*) override { return 0; }
    LONG ConnectionAccept(void*) override { return 0; }
    unsigned m_Sink = 0;

private:
    bool Ping(NetKernel* kernel) {
        std::memcpy(m_Out.data(), m_Plain.data(), m_Plain.size());
        int size = static_cast<int>(m_Out.size());
        return kernel->SendMsg(nullptr, m_Out.data(), size) == size;
    }
    std::vector<unsigned char> m_Plain;
    std::vector<unsigned char> m_Out;
    long m_Target = 0;
    long m_Count = 0;
    Done m_Done;
};

// The raw client: one blocking loop, the same framing work per round trip.
class RawPinger {
public:
    RawPinger(WORD port, int size)
        : m_Socket(ConnectRaw(port)), m_Size(size), m_Plain(PlainMessage(size)), m_Out(m_Plain.size()), m_In(1440) {}
    ~RawPinger() { closesocket(m_Socket); }
    bool Run(long roundTrips, unsigned* sink) {
        unsigned char scratch = 0;
        for (long i = 0; i < roundTrips; ++i) {
            std::memcpy(m_Out.data(), m_Plain.data(), m_Plain.size());
            Encode(m_Out.data() + 4, static_cast<DWORD>(m_Size - 4), scratch);
            if (!SendAll(m_Socket, m_Out.data(), m_Size) || !RecvAll(m_Socket, m_In.data(), 4))
                return false;
            int got = reinterpret_cast<YNetMsgHead*>(m_In.data())->GetSize();
            if (got > 4 && !RecvAll(m_Socket, m_In.data() + 4, got - 4))
                return false;
            Decode(m_In.data() + 4, static_cast<DWORD>(got - 4), scratch);
            *sink += Touch(m_In.data(), got);
        }
        return true;
    }

private:
    SOCKET m_Socket;
    int m_Size;
    std::vector<unsigned char> m_Plain, m_Out, m_In;
};

// Both clients stay connected for the whole run and take turns in short
// rounds, so that drifts of the machine's speed reach both alike.
void PingPong(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    const long roundTrips = 2000;
    double tcpSeconds = 0, rawSeconds = 0;
    unsigned sink = 0;
    OneShotServer rawServer(Reflect), tcpServer(Reflect);
    RawPinger raw(rawServer.Port(), size);
    PingWorker worker(size);
    TCPClient client(&worker);
    YSocketAddr address = Loopback(tcpServer.Port());
    if (client.Init(address) != 0) {
        state.SkipWithError("connect");
        return;
    }
    for (auto _ : state) {
        Clock::time_point start = Clock::now();
        if (!raw.Run(roundTrips, &sink)) {
            state.SkipWithError("raw ping-pong failed");
            break;
        }
        Clock::time_point middle = Clock::now();
        if (!worker.Start(client, roundTrips) || !worker.Wait()) {
            state.SkipWithError("ping-pong stalled");
            break;
        }
        Clock::time_point end = Clock::now();
        rawSeconds += Seconds(start, middle);
        tcpSeconds += Seconds(middle, end);
        state.SetIterationTime(Seconds(middle, end));
    }
    client.Wait_Release();
    benchmark::DoNotOptimize(sink + worker.m_Sink);
    const double n = static_cast<double>(state.iterations() * roundTrips);
    state.counters["tcpclient_rt/s"] = n / tcpSeconds;
    state.counters["raw_rt/s"] = n / rawSeconds;
    state.counters["ratio_raw"] = rawSeconds / tcpSeconds;
}

// ---------------------------------------------------------------- one-way stream

// Sends count messages of one size, one after another, then closes.
void Stream(SOCKET s, int size, long count) {
    std::vector<unsigned char> wire;
    std::vector<unsigned char> message = PlainMessage(size);
    unsigned char scratch = 0;
    Encode(message.data() + 4, static_cast<DWORD>(size - 4), scratch);
    long perBatch = 65536 / size + 1;
    for (long i = 0; i < perBatch; ++i)
        wire.insert(wire.end(), message.begin(), message.end());
    for (long sent = 0; sent < count; sent += perBatch) {
        long n = std::min(perBatch, count - sent);
        if (!SendAll(s, wire.data(), static_cast<int>(n * size)))
            return;
    }
    shutdown(s, SD_SEND);
    char drain[256];
    while (recv(s, drain, sizeof drain, 0) > 0) {
    }
}

class CountingWorker : public MsgWorker {
public:
    CountingWorker() : MsgWorker(nullptr, 0) {}
    long m_Target = 0;
    long m_Count = 0;
    unsigned m_Sink = 0;
    Done m_Done;
    LONG HandleMessage(void* message, int length, void*, void*) override {
        m_Sink += Touch(static_cast<unsigned char*>(message), length);
        if (++m_Count == m_Target)
            m_Done.Set();
        return 0;
    }
    LONG ConnectionCut(void*) override { return 0; }
    LONG ConnectionAccept(void*) override { return 0; }
};

double TcpStream(WORD port, long count, unsigned* sink) {
    CountingWorker worker;
    worker.m_Target = count;
    TCPClient client(&worker);
    YSocketAddr address = Loopback(port);
    Clock::time_point start = Clock::now();
    if (client.Init(address) != 0 || !worker.m_Done.Wait(300))
        return -1;
    double seconds = Seconds(start, Clock::now());
    client.Wait_Release();
    *sink += worker.m_Sink;
    return seconds;
}

double RawTwoReceives(WORD port, long count, unsigned* sink) {
    Clock::time_point start = Clock::now();
    SOCKET s = ConnectRaw(port);
    std::vector<unsigned char> in(1440);
    unsigned char scratch = 0;
    long got = 0;
    for (; got < count; ++got) {
        if (!RecvAll(s, in.data(), 4))
            break;
        int size = reinterpret_cast<YNetMsgHead*>(in.data())->GetSize();
        if (size > 4 && !RecvAll(s, in.data() + 4, size - 4))
            break;
        Decode(in.data() + 4, static_cast<DWORD>(size - 4), scratch);
        *sink += Touch(in.data(), size);
    }
    double seconds = Seconds(start, Clock::now());
    closesocket(s);
    return got == count ? seconds : -1;
}

double RawPieces(WORD port, long count, unsigned* sink) {
    Clock::time_point start = Clock::now();
    SOCKET s = ConnectRaw(port);
    std::vector<unsigned char> buffer(65536 + 1440);
    unsigned char scratch = 0;
    long got = 0;
    int kept = 0;
    while (got < count) {
        int n = recv(s, reinterpret_cast<char*>(buffer.data()) + kept, 65536, 0);
        if (n <= 0)
            break;
        int end = kept + n, at = 0;
        while (end - at >= 4) {
            int size = reinterpret_cast<YNetMsgHead*>(buffer.data() + at)->GetSize();
            if (end - at < size)
                break;
            Decode(buffer.data() + at + 4, static_cast<DWORD>(size - 4), scratch);
            *sink += Touch(buffer.data() + at, size);
            ++got;
            at += size;
        }
        kept = end - at;
        std::memmove(buffer.data(), buffer.data() + at, static_cast<size_t>(kept));
    }
    double seconds = Seconds(start, Clock::now());
    closesocket(s);
    return got == count ? seconds : -1;
}

void OneWayStream(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    const long many = size <= 100 ? 2000000 : 300000; // TCPClient and raw64k
    const long few = size <= 100 ? 200000 : 100000;   // raw2, slower by far
    double tcp = 0, raw2 = 0, raw64k = 0;
    unsigned sink = 0;
    for (auto _ : state) {
        double t, r2, r64;
        {
            OneShotServer server([&](SOCKET s) { Stream(s, size, few); });
            r2 = RawTwoReceives(server.Port(), few, &sink);
        }
        {
            OneShotServer server([&](SOCKET s) { Stream(s, size, many); });
            r64 = RawPieces(server.Port(), many, &sink);
        }
        {
            OneShotServer server([&](SOCKET s) { Stream(s, size, many); });
            t = TcpStream(server.Port(), many, &sink);
        }
        if (t < 0 || r2 < 0 || r64 < 0) {
            state.SkipWithError("a stream was cut short");
            break;
        }
        tcp += t;
        raw2 += r2;
        raw64k += r64;
        state.SetIterationTime(t);
    }
    benchmark::DoNotOptimize(sink);
    const double rounds = static_cast<double>(state.iterations());
    const double tcpRate = rounds * many / tcp, raw2Rate = rounds * few / raw2, raw64Rate = rounds * many / raw64k;
    state.counters["tcpclient_msg/s"] = tcpRate;
    state.counters["raw2_msg/s"] = raw2Rate;
    state.counters["raw64k_msg/s"] = raw64Rate;
    state.counters["ratio_raw2"] = tcpRate / raw2Rate;
    state.counters["ratio_raw64k"] = tcpRate / raw64Rate;
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

// Process figures, where the system shows them (-1 elsewhere).
long StatusField(const char* name) {
#if defined(_WIN32)
    (void)name;
    return -1;
#else
    std::ifstream status("/proc/self/status");
    std::string line;
    size_t length = std::strlen(name);
    while (std::getline(status, line)) {
        if (line.compare(0, length, name) == 0)
            return std::stol(line.substr(length + 1));
    }
    return -1;
#endif
}

long Descriptors() {
#if defined(_WIN32)
    return -1;
#else
    long count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
#endif
}

long HeapInUse() {
#if defined(__GLIBC__)
    return static_cast<long>(mallinfo2().uordblks);
#else
    return -1;
#endif
}

void Scale(benchmark::State& state) {
    const int connections = static_cast<int>(state.range(0));
    for (auto _ : state) {
        const long threadsBefore = StatusField("Threads:"), descriptorsBefore = Descriptors();
        const long heapBefore = HeapInUse(), rssBefore = StatusField("VmRSS:");
        double connectSeconds, releaseSeconds;
        long rssConnected;
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
                if (clients.back()->Init(address) != 0) {
                    state.SkipWithError("connect failed");
                    return;
                }
            }
            connectSeconds = Seconds(start, Clock::now());
            while (server.Accepted() < static_cast<size_t>(connections))
                Sleep(1);
            rssConnected = StatusField("VmRSS:");

            std::vector<unsigned char> message = PlainMessage(100);
            unsigned char scratch = 0;
            Encode(message.data() + 4, 96, scratch);
            if (server.Broadcast(message) != connections || !all.Wait(60)) {
                state.SkipWithError("broadcast did not reach every connection");
                return;
            }

            start = Clock::now();
            for (auto& client : clients)
                client->Wait_Release();
            clients.clear();
            workers.clear();
            releaseSeconds = Seconds(start, Clock::now());
        }
        state.SetIterationTime(connectSeconds);

        state.counters["connects/s"] = connections / connectSeconds;
        state.counters["releases/s"] = connections / releaseSeconds;
        state.counters["rss_KiB_per_conn"] = static_cast<double>(rssConnected - rssBefore) / connections;
        state.counters["sizeof_TCPClient"] = sizeof(TCPClient);
        state.counters["threads_left"] = static_cast<double>(StatusField("Threads:") - threadsBefore);
        state.counters["descriptors_left"] = static_cast<double>(Descriptors() - descriptorsBefore);
        state.counters["heap_bytes_left"] = static_cast<double>(HeapInUse() - heapBefore);
    }
}

} // namespace

BENCHMARK(PingPong)->Arg(8)->Arg(100)->Arg(1440)->UseManualTime()->Iterations(50)->Unit(benchmark::kMillisecond);
BENCHMARK(OneWayStream)->Arg(100)->Arg(1440)->UseManualTime()->Iterations(3)->Unit(benchmark::kMillisecond);
BENCHMARK(Scale)->Arg(1000)->UseManualTime()->Iterations(2)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 0), &data) != 0)
        return 2;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    WSACleanup();
    return 0;
}

// A seeded model test of a client's life, against TCPClient.h's state table.
//
// Each step makes owner calls from one to three threads at once - Init
// directly, through a real proxy (microsocks, with and without credentials;
// danted, SOCKS5 and SOCKS4; tinyproxy, HTTP CONNECT with and without Basic
// credentials) and by name, Reconnect, Disconnect, Release,
// Wait_Release, sends from two senders, destruction - while the worker's
// callbacks send, Disconnect, Release, Wait_Release, Reconnect, Init or
// cut. The server greets every
// connection first, then echoes, stays silent, closes or resets, and stops
// listening now and then. After every step the test checks:
//   - each call's result, as the table gives it for the state the model is
//     in (for calls that overlap: one of the results the overlap allows);
//   - the worker's calls: begin, messages, one cut, one end, per thread; no
//     call after destruction;
//   - every message: whole, in order per sender, none twice, and none from a
//     connection its thread had left (every message carries its connection's
//     number; a new connection's greeting comes first);
//   - every call returned within a bound; at the end no descriptor and no
//     thread is left;
//   - every client shares its worker with a second client, which connects,
//     sends and ends now and then; one of the two senders sends through a
//     TCPClientList;
//   - one client in four has no bound on its attempts; now and then 9 to 16
//     clients of their own connect by name at once, and all connect;
//   - histories: the old connection's cut has another thread end the
//     client while a second Init waits for that connection's thread; each
//     call is an interval of one clock, and an ending call that began after
//     the Init began and returned before it returned is never lost (the
//     Init failed, or the connection it made is not live);
//   - commit points: an ending call (or destruction) from another thread
//     right before an Init's or Reconnect's lookup, socket registration or
//     going live, after the points before it: that point alone must end the
//     call (E_FAIL; a lookup ended so never reaches the resolver).
//
//   YNET_MODEL_SEED=n        runs seed n alone (a failure names its seed)
//   YNET_MODEL_SEEDS=n       runs n seeds from YNET_MODEL_FIRST_SEED (1)
//   YNET_MODEL_STEPS=n       steps per seed
// The target model-soak runs many seeds from a random first one.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/TCPClientHooks.h"
#include "client/TCPClientList.h"
#include "client/TCPClient_Socks5.h"
#include "message/Scrambler.h"
#include "message/YNetMsgHead.h"
#include "platform/WinApi.h"
#include "socket/LookupAbandon.h"
#include "socket/YSocketTarget.h"
#include "support/ClientHarness.h"
#include "support/Loopback.h"
#include "support/ProcessCounters.h"
#include "support/RealProxies.h"
#include "support/ScriptedPeer.h"

using namespace YNet2;
using namespace YNetTest;

namespace {

using Bytes = std::vector<unsigned char>;
using Clock = std::chrono::steady_clock;

// Every call returns within this, or the step fails as hung.
constexpr DWORD kCallBoundMs = 15000;
// The client's bound on Init and Reconnect (lookup, connects, handshake).
constexpr DWORD kAttemptBoundMs = 1500;
// The slow name's lookup answers well after that bound.
constexpr DWORD kSlowLookupMs = 4000;

enum Manner : unsigned char { ECHO, SILENT, CLOSE, RESET };
constexpr unsigned char kGreeting = 0xF0; // | manner, after the connection's number

void PutNumber(unsigned char* at, std::uint32_t value) {
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<unsigned char>(value >> (8 * i));
}
std::uint32_t GetNumber(const unsigned char* at) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i)
        value |= static_cast<std::uint32_t>(at[i]) << (8 * i);
    return value;
}

// A sender's message body: sender, sequence number, n, then n bytes that
// the first three determine.
unsigned char PatternByte(unsigned sender, std::uint32_t seq, int i) {
    return static_cast<unsigned char>(seq * 31 + static_cast<std::uint32_t>(i) * 7 + sender);
}
Bytes SenderBody(unsigned sender, std::uint32_t seq, int n) {
    Bytes body(6 + static_cast<std::size_t>(n));
    body[0] = static_cast<unsigned char>(sender);
    PutNumber(&body[1], seq);
    body[5] = static_cast<unsigned char>(n);
    for (int i = 0; i < n; ++i)
        body[6 + static_cast<std::size_t>(i)] = PatternByte(sender, seq, i);
    return body;
}

// ------------------------------------------------------------------ server

// One thread serves every connection (select): it numbers each, greets it
// with [number][kGreeting | manner], then echoes each message with the
// number put in front of its body, discards what arrives, closes or resets.
class ModelServer {
public:
    explicit ModelServer(std::uint32_t seed) : m_Random(seed) {
        m_Listener = Listen(0);
        if (m_Listener != INVALID_SOCKET)
            m_Thread = std::thread([this] { Loop(); });
    }
    ~ModelServer() {
        {
            std::lock_guard<std::mutex> hold(m_Mutex);
            m_Stop = true;
        }
        if (m_Thread.joinable())
            m_Thread.join();
        CloseIfOpen(&m_Listener);
        for (Peer& peer : m_Peers)
            CloseIfOpen(&peer.socket);
    }
    ModelServer(const ModelServer&) = delete;
    ModelServer& operator=(const ModelServer&) = delete;

    bool Listening() const { return m_Thread.joinable(); }
    // Connections reset so far. A connect that the server accepts and
    // resets at once may fail itself (the reset is the socket's pending
    // error when the connect's completion is checked).
    unsigned Resets() const { return m_Resets.load(); }
    unsigned short Port() const { return m_Port; }

    // Stops or starts listening (on the same port); true once done.
    bool SetListening(bool on) {
        std::unique_lock<std::mutex> hold(m_Mutex);
        m_Want = on;
        return m_Changed.wait_for(hold, std::chrono::milliseconds(kWaitMs), [&] { return m_Have == m_Want; });
    }

private:
    struct Peer {
        SOCKET socket;
        std::uint32_t number;
        Manner manner;
        Bytes in;
    };

    SOCKET Listen(unsigned short port) {
        SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        if (listener == INVALID_SOCKET)
            return listener;
        BOOL reuse = TRUE; // listening again on the port while its connections live
        setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof reuse);
        sockaddr_in address = LoopbackAddress(port);
        int length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener, SOMAXCONN) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            closesocket(listener);
            return INVALID_SOCKET;
        }
        m_Port = ntohs(address.sin_port);
        return listener;
    }

    void Loop() {
        for (;;) {
            {
                std::lock_guard<std::mutex> hold(m_Mutex);
                if (m_Stop)
                    return;
                if (m_Want != m_Have) {
                    if (m_Want)
                        m_Listener = Listen(m_Port);
                    else
                        CloseIfOpen(&m_Listener);
                    m_Have = m_Want && m_Listener != INVALID_SOCKET;
                    m_Changed.notify_all();
                }
            }
            fd_set readable;
            FD_ZERO(&readable);
            if (m_Listener != INVALID_SOCKET)
                FD_SET(m_Listener, &readable);
            for (const Peer& peer : m_Peers)
                FD_SET(peer.socket, &readable);
            timeval tick{0, 10000};
            if (select(0, &readable, nullptr, nullptr, &tick) <= 0)
                continue;
            if (m_Listener != INVALID_SOCKET && FD_ISSET(m_Listener, &readable))
                Accept();
            for (std::size_t i = 0; i < m_Peers.size();) {
                if (FD_ISSET(m_Peers[i].socket, &readable) && !Serve(m_Peers[i])) {
                    CloseIfOpen(&m_Peers[i].socket);
                    m_Peers.erase(m_Peers.begin() + static_cast<std::ptrdiff_t>(i));
                } else {
                    ++i;
                }
            }
        }
    }

    void Accept() {
        SOCKET accepted = accept(m_Listener, nullptr, nullptr);
        if (accepted == INVALID_SOCKET)
            return;
        static const Manner kManners[] = {ECHO, ECHO, ECHO, ECHO, SILENT, SILENT, CLOSE, CLOSE, RESET, RESET};
        Peer peer{accepted, ++m_Numbered, kManners[m_Random() % 10], {}};
        Bytes greeting(5);
        PutNumber(greeting.data(), peer.number);
        greeting[4] = static_cast<unsigned char>(kGreeting | peer.manner);
        Reply(peer, WireMessage(1, 1, greeting));
        if (peer.manner == CLOSE || peer.manner == RESET) {
            if (peer.manner == RESET) {
                ++m_Resets;
                linger abortive{1, 0};
                setsockopt(accepted, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abortive), sizeof abortive);
            }
            closesocket(accepted);
            return;
        }
        m_Peers.push_back(peer);
    }

    // A reply leaves only while the client reads: a client that holds a
    // socket unread must not stall the server.
    static void Reply(const Peer& peer, const Bytes& message) {
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(peer.socket, &writable);
        timeval now{0, 0};
        if (select(0, nullptr, &writable, nullptr, &now) == 1)
            send(peer.socket, reinterpret_cast<const char*>(message.data()), static_cast<int>(message.size()), 0);
    }

    // False once the connection has ended.
    bool Serve(Peer& peer) {
        char chunk[4096];
        int got = recv(peer.socket, chunk, sizeof chunk, 0);
        if (got <= 0)
            return false;
        if (peer.manner != ECHO)
            return true;
        peer.in.insert(peer.in.end(), chunk, chunk + got);
        while (peer.in.size() >= static_cast<std::size_t>(YNetMsgHead::HeadSize)) {
            int size = reinterpret_cast<const YNetMsgHead*>(peer.in.data())->GetSize();
            if (size < YNetMsgHead::HeadSize || size > YNetMsgHead::MaxMsgSize - 4)
                return false;
            if (peer.in.size() < static_cast<std::size_t>(size))
                break;
            Bytes body(static_cast<std::size_t>(size)); // the number takes the head's place
            std::copy(peer.in.begin() + YNetMsgHead::HeadSize, peer.in.begin() + size, body.begin() + 4);
            PutNumber(body.data(), peer.number);
            unsigned char scratch = 0;
            if (body.size() > 4)
                Decode(body.data() + 4, static_cast<DWORD>(body.size() - 4), scratch);
            Reply(peer, WireMessage(1, 2, body));
            peer.in.erase(peer.in.begin(), peer.in.begin() + size);
        }
        return true;
    }

    std::mt19937 m_Random;
    SOCKET m_Listener = INVALID_SOCKET;
    unsigned short m_Port = 0;
    std::uint32_t m_Numbered = 0;
    std::atomic<unsigned> m_Resets{0};
    std::vector<Peer> m_Peers;
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    bool m_Want = true;
    bool m_Have = true;
    bool m_Stop = false;
    std::thread m_Thread;
};

// Names the model's resolver knows: one answers at once, one long after the
// client's bound, one with 20 addresses where the 16th is the server's (a
// lookup keeps 16), one where only the 17th is.
constexpr const char* kFastName = "fast.model.test";
constexpr const char* kSlowName = "slow.model.test";
constexpr const char* kManyName = "many.model.test";
constexpr const char* kTooManyName = "too-many.model.test";

// A name whose lookups wait, while the gate is closed, until it opens:
// an ending call is then sure to meet the call in its lookup. Every name
// that begins with "held" is held; the gate counts each name's entries, so
// a step that waits for its own call's lookup is not misled by a lookup
// that an earlier step gave up on and that only now reaches the resolver.
constexpr const char* kHeldName = "held.model.test";
bool IsHeldName(const char* name) {
    return std::strncmp(name, "held", 4) == 0;
}
struct LookupGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool closed = false;
    std::map<std::string, unsigned> entered;

    void Pass(const char* name) {
        std::unique_lock<std::mutex> hold(mutex);
        ++entered[name];
        changed.notify_all();
        changed.wait_for(hold, std::chrono::milliseconds(kCallBoundMs), [&] { return !closed; });
    }
    void Set(bool close) {
        std::lock_guard<std::mutex> hold(mutex);
        closed = close;
        changed.notify_all();
    }
    bool WaitEntered(const std::string& name, unsigned count, DWORD milliseconds) {
        std::unique_lock<std::mutex> hold(mutex);
        return changed.wait_for(hold, std::chrono::milliseconds(milliseconds), [&] { return entered[name] >= count; });
    }
    unsigned Entered(const std::string& name) {
        std::lock_guard<std::mutex> hold(mutex);
        return entered[name];
    }
};
LookupGate g_Gate;

// Slow lookups begun and answered: all take as long, so they answer in the
// order they began, and an Init that returns while fewer have answered than
// had begun returned before its own lookup answered.
std::atomic<unsigned> g_SlowBegun{0};
std::atomic<unsigned> g_SlowAnswered{0};

int ModelResolver(const char* name, ULONG* addresses, int max, int* count) {
    auto loopback = [](int last) { return htonl(0x7F000000u | static_cast<ULONG>(last)); };
    *count = 0;
    if (std::strcmp(name, kSlowName) == 0) {
        ++g_SlowBegun;
        Sleep(kSlowLookupMs);
        ++g_SlowAnswered;
    }
    if (IsHeldName(name))
        g_Gate.Pass(name);
    if (std::strcmp(name, kFastName) == 0 || std::strcmp(name, kSlowName) == 0 || IsHeldName(name)) {
        addresses[(*count)++] = loopback(1);
        return 0;
    }
    bool many = std::strcmp(name, kManyName) == 0;
    if (!many && std::strcmp(name, kTooManyName) != 0)
        return WSAHOST_NOT_FOUND;
    for (int i = 0; i < 20 && i < max; ++i) // 127.0.0.2 and on: nothing listens there
        addresses[(*count)++] = loopback(i == (many ? 15 : 16) ? 1 : i + 2);
    return 0;
}

// ------------------------------------------------------------------ worker

// Records what one client's thread does and checks it as it comes. The
// worker outlives its client, so a call after destruction is seen.
class ModelWorker : public MsgWorker {
public:
    explicit ModelWorker(std::uint32_t seed) : MsgWorker(nullptr, 0), m_Seed(seed) {}

    TCPClient_Socks5* client = nullptr; // for the callbacks' own calls
    YSocketAddr server{};               // where a callback's Init goes
    // One connecting call (Init, Reconnect) of the client at a time, the
    // owner's or a callback's, as the table asks; a callback skips its own
    // when the owner's is under way.
    std::mutex connecting;

    LONG MsgThreadBegin(void*) override {
        std::lock_guard<std::mutex> hold(m_Mutex);
        Check(!m_Destroyed, "a thread began after destruction");
        Check(m_Phase == IDLE, "a thread began while another one ran");
        m_Phase = RUNNING;
        m_Connection = 0;
        ++m_Begun;
        m_Quiet.notify_all();
        return 0;
    }
    LONG HandleMessage(void* message, int length, void*, void*) override {
        LONG action = 0;
        {
            std::lock_guard<std::mutex> hold(m_Mutex);
            Check(!m_Destroyed, "a message after destruction");
            Check(m_Phase == RUNNING, "a message outside a running thread");
            Inspect(static_cast<const unsigned char*>(message), length);
            ++m_Handled;
            // The callback's own calls, now and then: the same for a seed.
            std::uint32_t roll = m_Seed * 0x9E3779B1u ^ m_Handled * 0x85EBCA6Bu;
            roll ^= roll >> 15;
            roll = roll * 0x2C1B3C6Du % 100;
            action = roll < 2    ? 1
                     : roll < 4  ? 2
                     : roll < 6  ? 3
                     : roll < 7  ? 5
                     : roll < 8  ? 6
                     : roll < 9  ? 7
                     : roll < 16 ? 4
                                 : 0;
            if (m_Probing || action == 0)
                action = 0;
            else if (action != 4)
                ++m_CallbackEnded;
        }
        switch (action) {
        case 1:
            client->Disconnect();
            return 0;
        case 2:
            client->Release();
            return 0;
        case 3:
            return 1; // the handler's non-zero result cuts
        case 4:
            SendFrom(2);
            return 0;
        case 5: // closes the socket; cannot wait for its own thread
            client->Wait_Release();
            return 0;
        case 6: { // swaps a new socket under this thread
            std::unique_lock<std::mutex> one(connecting, std::try_to_lock);
            if (!one.owns_lock())
                return 0;
            const LONG result = client->Reconnect();
            std::lock_guard<std::mutex> hold(m_Mutex);
            Check(result == 0 || result == E_FAIL, "Reconnect from a callback: " + std::to_string(result));
            return 0;
        }
        case 7: { // ends this thread's connection, and cannot start a thread on it
            std::unique_lock<std::mutex> one(connecting, std::try_to_lock);
            if (!one.owns_lock())
                return 0;
            const LONG result =
                client->Init(YSocketTarget(server), TCPClient_Socks5::SOCKS5, nullptr, nullptr, nullptr);
            std::lock_guard<std::mutex> hold(m_Mutex);
            Check(result == E_FAIL, "Init from a callback: E_FAIL expected, got " + std::to_string(result));
            return 0;
        }
        default:
            return 0;
        }
    }
    LONG ConnectionCut(void*) override {
        std::function<void()> hook;
        {
            std::lock_guard<std::mutex> hold(m_Mutex);
            Check(!m_Destroyed, "a cut after destruction");
            Check(m_Phase == RUNNING, "a cut outside a running thread, or a second one");
            m_Phase = CUT;
            ++m_Cut;
            hook.swap(m_OnNextCut);
            m_HookRuns += hook ? 1 : 0;
        }
        if (hook) {
            hook();
            std::lock_guard<std::mutex> hold(m_Mutex);
            --m_HookRuns;
            m_Quiet.notify_all();
        }
        return 0;
    }
    // Runs once, inside the next ConnectionCut (null: none).
    void OnNextCut(std::function<void()> hook) {
        std::lock_guard<std::mutex> hold(m_Mutex);
        m_OnNextCut = std::move(hook);
    }
    // Waits until no OnNextCut hook runs.
    bool WaitHooksDone() {
        std::unique_lock<std::mutex> hold(m_Mutex);
        return m_Quiet.wait_for(hold, std::chrono::milliseconds(kCallBoundMs), [&] { return m_HookRuns == 0; });
    }
    LONG ConnectionAccept(void*) override { return 0; }
    void MsgThreadEnd(void*) override {
        std::lock_guard<std::mutex> hold(m_Mutex);
        Check(!m_Destroyed, "a thread end after destruction");
        Check(m_Phase == CUT, "a thread ended without its cut");
        m_Phase = IDLE;
        ++m_Ended;
        m_Quiet.notify_all();
    }

    // Sends a few messages as sender (0, 1: owner's senders; 2: callbacks;
    // 3: probes); the results the model checks.
    std::vector<int> SendFrom(unsigned sender, int messages = 1, int size = 0) {
        std::vector<int> results;
        for (int i = 0; i < messages; ++i) {
            std::uint32_t seq;
            {
                std::lock_guard<std::mutex> hold(m_Mutex);
                seq = ++m_Sent[sender];
            }
            Bytes message = PlainMessage(1, 2, SenderBody(sender, seq, (size + i * 13) % 40));
            // Sender 1 goes through a list, which hands the call to the client.
            results.push_back(sender == 1 ? m_List.SendMsg(static_cast<NetKernel*>(client), message.data(),
                                                           static_cast<int>(message.size()))
                                          : client->SendMsg(nullptr, message.data(), static_cast<int>(message.size())));
        }
        return results;
    }

    // Waits until every thread begun has ended.
    bool WaitQuiet(DWORD milliseconds = kCallBoundMs) {
        std::unique_lock<std::mutex> hold(m_Mutex);
        return m_Quiet.wait_for(hold, std::chrono::milliseconds(milliseconds), [&] { return m_Begun == m_Ended; });
    }
    bool WaitBegun(unsigned count, DWORD milliseconds = kCallBoundMs) {
        std::unique_lock<std::mutex> hold(m_Mutex);
        return m_Quiet.wait_for(hold, std::chrono::milliseconds(milliseconds), [&] { return m_Begun >= count; });
    }
    bool Quiet() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        return m_Begun == m_Ended && m_Begun == m_Cut;
    }
    void Destroyed() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        Check(m_Begun == m_Ended && m_Begun == m_Cut, "destruction returned with a thread not ended");
        m_Destroyed = true;
    }
    // The connection the thread reads, and its manner (the last greeting).
    bool LiveEcho() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        return m_Phase == RUNNING && m_Connection != 0 && m_Manner == ECHO;
    }
    unsigned CallbackEnded() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        return m_CallbackEnded;
    }
    // A probe's round trip: true once the echo of a new probe came back.
    bool Probe(DWORD milliseconds) {
        std::uint32_t before;
        {
            std::lock_guard<std::mutex> hold(m_Mutex);
            m_Probing = true;
            before = m_Received[3];
        }
        std::vector<int> sent = SendFrom(3);
        std::unique_lock<std::mutex> hold(m_Mutex);
        bool back = sent[0] > 0 && m_Quiet.wait_for(hold, std::chrono::milliseconds(milliseconds),
                                                    [&] { return m_Received[3] > before; });
        m_Probing = false;
        return back;
    }
    std::vector<std::string> Faults() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        return m_Faults;
    }
    unsigned Begun() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        return m_Begun;
    }
    unsigned Handled() {
        std::lock_guard<std::mutex> hold(m_Mutex);
        return m_Handled;
    }

private:
    enum Phase { IDLE, RUNNING, CUT };

    void Check(bool ok, const std::string& what) {
        if (!ok)
            m_Faults.push_back(what);
    }

    // A greeting starts a new connection (a larger number than any before);
    // an echo carries its connection's number, which must be the thread's
    // current one, and a sender's body, whole and in its order.
    void Inspect(const unsigned char* message, int length) {
        const unsigned char* body = message + YNetMsgHead::HeadSize;
        int size = length - YNetMsgHead::HeadSize;
        if (size < 5) {
            Check(false, "a message of " + std::to_string(length) + " bytes");
            return;
        }
        std::uint32_t number = GetNumber(body);
        if (size == 5 && (body[4] & 0xF0) == kGreeting) {
            Check(number > m_Highest, "a greeting of connection " + std::to_string(number) + " after connection " +
                                          std::to_string(m_Highest));
            m_Highest = number > m_Highest ? number : m_Highest;
            m_Connection = number;
            m_Manner = static_cast<Manner>(body[4] & 0x0F);
            return;
        }
        Check(number == m_Connection && number != 0, "a message of connection " + std::to_string(number) +
                                                         " while the thread reads connection " +
                                                         std::to_string(m_Connection));
        unsigned sender = body[4];
        if (size < 10 || sender > 3 || size != 10 + body[9]) {
            Check(false, "a torn message: " + std::to_string(size) + " bytes of body");
            return;
        }
        std::uint32_t seq = GetNumber(body + 5);
        Check(seq > m_Received[sender], "sender " + std::to_string(sender) + "'s message " + std::to_string(seq) +
                                            " after its message " + std::to_string(m_Received[sender]));
        m_Received[sender] = seq;
        for (int i = 0; i < body[9]; ++i) {
            if (body[10 + i] != PatternByte(sender, seq, i)) {
                Check(false, "a corrupted message of sender " + std::to_string(sender));
                return;
            }
        }
    }

    std::mutex m_Mutex;
    std::condition_variable m_Quiet; // a thread ended, or a probe came back
    std::uint32_t m_Seed;
    Phase m_Phase = IDLE;
    bool m_Destroyed = false;
    bool m_Probing = false;
    unsigned m_Begun = 0, m_Cut = 0, m_Ended = 0, m_Handled = 0, m_CallbackEnded = 0;
    std::uint32_t m_Connection = 0, m_Highest = 0;
    Manner m_Manner = ECHO;
    std::uint32_t m_Sent[4] = {};
    std::uint32_t m_Received[4] = {};
    std::vector<std::string> m_Faults;
    std::function<void()> m_OnNextCut;
    int m_HookRuns = 0;
    TCPClientList m_List{nullptr};
};

// Two clients on one worker: each callback goes to the ModelWorker of the
// client that makes it (MsgThreadBegin, HandleMessage and MsgThreadEnd name
// their client; a cut is told by its thread).
class SharedWorker : public MsgWorker {
public:
    SharedWorker() : MsgWorker(nullptr, 0) {}
    void Add(TCPClient* client, ModelWorker* to) {
        std::lock_guard<std::mutex> hold(m_Mutex);
        m_Of[static_cast<NetKernel*>(client)] = to;
    }
    LONG MsgThreadBegin(void* kernel) override {
        ModelWorker* to = Of(kernel);
        {
            std::lock_guard<std::mutex> hold(m_Mutex);
            m_OfThread[GetCurrentThreadId()] = to;
        }
        return to->MsgThreadBegin(kernel);
    }
    LONG HandleMessage(void* message, int length, void* connection, void* kernel) override {
        return Of(kernel)->HandleMessage(message, length, connection, kernel);
    }
    LONG ConnectionCut(void* connection) override {
        ModelWorker* to;
        {
            std::lock_guard<std::mutex> hold(m_Mutex);
            to = m_OfThread[GetCurrentThreadId()];
        }
        return to->ConnectionCut(connection);
    }
    LONG ConnectionAccept(void*) override { return 0; }
    void MsgThreadEnd(void* kernel) override { Of(kernel)->MsgThreadEnd(kernel); }

private:
    ModelWorker* Of(void* kernel) {
        std::lock_guard<std::mutex> hold(m_Mutex);
        return m_Of[kernel];
    }
    std::mutex m_Mutex;
    std::map<void*, ModelWorker*> m_Of;
    std::map<DWORD, ModelWorker*> m_OfThread;
};

// ------------------------------------------------------------------ driver

enum Op {
    INIT_DIRECT,
    INIT_PROXY,
    INIT_URL,
    INIT_NAME,
    RECONNECT,
    DISCONNECT,
    RELEASE,
    WAIT_RELEASE,
    SEND,
    DESTROY,
    TOGGLE_LISTENING,
    LET_RUN,
    TWIN,
    END_IN_LOOKUP,
    END_FROM_CUT,
    END_AT_COMMIT,
    LOOKUP_STORM,
};
const char* const kOpNames[] = {"Init",
                                "Init via microsocks",
                                "Init via a proxy URL",
                                "Init by name",
                                "Reconnect",
                                "Disconnect",
                                "Release",
                                "Wait_Release",
                                "Send",
                                "destruction",
                                "server listening on/off",
                                "a pause",
                                "a call of the client that shares the worker",
                                "an ending call during a lookup",
                                "an ending call from the old connection's cut",
                                "an ending call at a commit point",
                                "many clients connecting by name at once"};

// What the model knows of the client between steps.
struct Model {
    bool anyInit = false;    // an Init was called: Reconnect has somewhere to go
    bool lastInitOk = false; // and the last Init connected
    bool socketless = true;  // nothing can have brought a socket since the last
                             // cut of every socket
    bool listening = true;   // the server accepts
    bool heldName = false;   // the last Init that connected went to kHeldName
};

// The real proxies an Init through a proxy goes through, chosen by its roll.
struct ProxyRoute {
    TCPClient_Socks5::_SOCKS_TYPE type;
    YSocketAddr address;
    std::string user, password; // empty: none
};
std::vector<ProxyRoute> ProxyRoutes(const RealProxies& proxies) {
    return {{TCPClient_Socks5::SOCKS5, proxies.microsocks, "", ""},
            {TCPClient_Socks5::SOCKS5, proxies.microsocksAuth, proxies.user, proxies.password},
            {TCPClient_Socks5::SOCKS5, proxies.dante, "", ""},
            {TCPClient_Socks5::SOCKS4, proxies.dante, "", ""},
            {TCPClient_Socks5::HTTP, proxies.tinyproxy, "", ""},
            {TCPClient_Socks5::HTTP, proxies.tinyproxyAuth, proxies.httpUser, proxies.httpPassword}};
}

struct ModelRun {
    std::uint32_t seed;
    int steps;
    YSocketAddr proxy; // microsocks: names and held lookups go through it
    std::vector<ProxyRoute> routes;
    std::mt19937 random;
    ModelServer server;
    Model model;
    std::vector<std::unique_ptr<ModelWorker>> workers; // outlive their clients
    SharedWorker shared;                               // the clients' worker
    std::unique_ptr<TCPClient_Socks5> client;
    // A second client on the same worker, with a simple life of its own.
    ModelWorker twinWorker{0};
    std::unique_ptr<TCPClient_Socks5> twin;
    std::vector<std::string> faults;
    int step = 0;
    std::atomic<unsigned> calls{0};
    unsigned histories = 0; // ending calls found inside an Init's interval

    // The step's calls as intervals of one clock, for the history check.
    struct Interval {
        Op op;
        unsigned begin, end;
        LONG result;
    };
    std::atomic<unsigned> clock{0};
    std::mutex intervalsMutex;
    std::vector<Interval> intervals;
    std::vector<std::thread> enders; // Wait_Release calls the cut hook started;
                                     // guarded by intervalsMutex

    ModelRun(std::uint32_t s, int n, const RealProxies& proxies)
        : seed(s), steps(n), proxy(proxies.microsocks), routes(ProxyRoutes(proxies)), random(s), server(s ^ 0x5eedu) {}

    std::uint32_t Roll(std::uint32_t below) { return static_cast<std::uint32_t>(random() % below); }

    YSocketAddr ServerAddress() const {
        YSocketAddr address{};
        static_cast<sockaddr_in&>(address) = LoopbackAddress(server.Port());
        return address;
    }

    bool bounded = true; // the client has a bound on its attempts (one in four has none)

    void NewClient() {
        workers.push_back(std::make_unique<ModelWorker>(seed + static_cast<std::uint32_t>(workers.size())));
        client = std::make_unique<TCPClient_Socks5>(&shared);
        shared.Add(client.get(), workers.back().get());
        workers.back()->client = client.get();
        workers.back()->server = ServerAddress();
        bounded = Roll(4) != 0;
        client->SetConnectTimeout(bounded ? kAttemptBoundMs : 0);
        bool listening = model.listening;
        model = Model{};
        model.listening = listening;
    }

    LogCapture* log = nullptr;
    std::vector<std::string> history; // the steps so far, for the failure's report

    void Fault(const std::string& what) {
        std::string report = "step " + std::to_string(step) + ": " + what + "\n  steps before:";
        for (std::size_t i = history.size() > 6 ? history.size() - 6 : 0; i < history.size(); ++i)
            report += "\n    " + history[i];
        std::vector<std::string> lines = log->Lines();
        report += "\n  last log lines:";
        for (std::size_t i = lines.size() > 12 ? lines.size() - 12 : 0; i < lines.size(); ++i)
            report += "\n    " + lines[i];
        faults.push_back(report);
    }

    void NewTwin() {
        twin = std::make_unique<TCPClient_Socks5>(&shared);
        shared.Add(twin.get(), &twinWorker);
        twinWorker.client = twin.get();
        twinWorker.server = ServerAddress();
    }

    // The twin connects, sends, or ends its connection; what it receives,
    // its worker checks, and its results are the table's.
    void Twin(unsigned roll) {
        history.push_back(std::to_string(step) + ": " + kOpNames[TWIN]);
        if (!twin->IsConnect()) {
            std::lock_guard<std::mutex> one(twinWorker.connecting);
            const LONG result =
                twin->Init(YSocketTarget(ServerAddress()), TCPClient_Socks5::SOCKS5, nullptr, nullptr, nullptr);
            if (result != 0 && result != E_FAIL)
                Fault("the twin's Init: 0 or E_FAIL expected, got " + std::to_string(result));
        } else if (roll % 4 == 0) {
            twin->Release();
        } else if (roll % 4 == 1) {
            twin->Wait_Release();
            if (!twinWorker.Quiet())
                Fault("the twin's Wait_Release returned before its thread ended");
        } else {
            for (int result : twinWorker.SendFrom(roll % 2, 1 + static_cast<int>(roll % 3), static_cast<int>(roll)))
                if (result != -1 && result < 0)
                    Fault("the twin's send: " + std::to_string(result));
        }
        for (const std::string& fault : twinWorker.Faults())
            Fault("the twin's worker: " + fault);
    }

    // One call; its result (sends: the first result that is not a whole
    // message's length, or that length).
    LONG Call(Op op, unsigned sender) {
        ++calls;
        std::unique_lock<std::mutex> one(workers.back()->connecting, std::defer_lock);
        if (op == INIT_DIRECT || op == INIT_PROXY || op == INIT_URL || op == INIT_NAME || op == RECONNECT)
            one.lock();
        ModelWorker& worker = *workers.back();
        YSocketAddr address = ServerAddress();
        switch (op) {
        case INIT_DIRECT:
            return client->Init(YSocketTarget(address), TCPClient_Socks5::SOCKS5, nullptr, nullptr, nullptr);
        case INIT_PROXY: {
            // sender: which proxy (SOCKS5 with and without credentials, SOCKS4, HTTP
            // CONNECT with and without)
            const ProxyRoute& route = routes[sender % routes.size()];
            return client->Init(YSocketTarget(address), route.type, &route.address,
                                route.user.empty() ? nullptr : route.user.c_str(),
                                route.password.empty() ? nullptr : route.password.c_str());
        }
        case INIT_URL: {
            // sender: which proxy, whether the URL names it (the model's
            // resolver answers), whether the target is a name (only where
            // this side resolves it: the proxies must not look up names)
            const ProxyRoute& route = routes[sender % routes.size()];
            const bool proxyByName = sender / 6 % 2 != 0, targetByName = sender / 12 % 2 != 0;
            const bool http = route.type == TCPClient_Socks5::HTTP;
            const char* scheme = http                                     ? "http"
                                 : route.type == TCPClient_Socks5::SOCKS4 ? (targetByName ? "socks4" : "socks4a")
                                                                          : (targetByName ? "socks5" : "socks5h");
            std::string text = std::string(scheme) + "://";
            if (!route.user.empty())
                text += route.user + ":" + route.password + "@";
            text += (proxyByName ? std::string(kFastName) : std::string("127.0.0.1")) + ":" +
                    std::to_string(ntohs(route.address.sin_port));
            ProxyUrl url;
            if (!url.Parse(text.c_str()))
                return 1; // no result of Init: the step reports it
            return targetByName && !http ? client->Init(YSocketTarget(kFastName, server.Port()), url)
                                         : client->Init(YSocketTarget(address), url);
        }
        case INIT_NAME: {
            // sender: which name (the slow one, bound to fail, seldom), and whether
            // through microsocks
            const char* names[] = {kFastName, kHeldName, kFastName, kManyName, kTooManyName, kSlowName};
            const char* name = names[sender % 6 == 5 && (sender / 6 % 3 != 0 || !bounded) ? 0 : sender % 6];
            return client->Init(YSocketTarget(name, server.Port()), TCPClient_Socks5::SOCKS5,
                                sender / 18 == 0 ? nullptr : &proxy, nullptr, nullptr);
        }
        case RECONNECT:
            return client->Reconnect();
        case DISCONNECT:
            client->Disconnect();
            return 0;
        case RELEASE:
            client->Release();
            return 0;
        case WAIT_RELEASE:
            client->Wait_Release();
            return 0;
        case SEND: {
            // sender: which sender (0, 1), then how many messages and how long
            std::vector<int> results =
                worker.SendFrom(sender % 2, 1 + static_cast<int>(sender / 2 % 6), static_cast<int>(sender / 2 % 40));
            for (int result : results)
                if (result <= 0)
                    return result;
            return results.back();
        }
        default:
            return 0;
        }
    }

    LONG Timed(Op op, unsigned sender) {
        const unsigned begin = ++clock;
        const LONG result = Call(op, sender);
        const unsigned end = ++clock;
        std::lock_guard<std::mutex> hold(intervalsMutex);
        intervals.push_back({op, begin, end, result});
        return result;
    }

    // Every ending call whose interval lies inside an Init's must have
    // taken effect: the Init failed, or the connection is not live now.
    void CheckHistory() {
        std::vector<Interval> seen;
        {
            std::lock_guard<std::mutex> hold(intervalsMutex);
            seen.swap(intervals);
        }
        const bool live = client->IsConnect();
        for (const Interval& init : seen) {
            if (init.op != INIT_DIRECT && init.op != INIT_PROXY && init.op != INIT_URL && init.op != INIT_NAME)
                continue;
            for (const Interval& ending : seen) {
                if ((ending.op != DISCONNECT && ending.op != RELEASE && ending.op != WAIT_RELEASE) ||
                    ending.begin < init.begin || ending.end > init.end)
                    continue;
                ++histories;
                if (init.result == 0 && live)
                    Fault(std::string(kOpNames[ending.op]) + " returned while " + kOpNames[init.op] +
                          " ran, which returned 0 and left its connection live: the "
                          "ending call was lost");
            }
        }
    }

    // Init on the connection the worker reads: that connection's cut (the
    // Init ends it) has another thread end the client while the Init waits
    // for the old thread; Release and Disconnect return before the cut
    // does, Wait_Release waits for the thread and so returns later.
    void EndFromCut(unsigned roll) {
        static const Op kEndings[] = {RELEASE, DISCONNECT, WAIT_RELEASE};
        const Op ending = kEndings[roll % 3];
        const Op init = roll / 3 % 2 == 0 ? INIT_DIRECT : INIT_PROXY;
        ModelWorker& worker = *workers.back();
        history.push_back(std::to_string(step) + ": " + kOpNames[init] + ", " + kOpNames[ending] +
                          " from the old connection's cut");
        if (!client->IsReceiving()) {
            const LONG first = Call(init, roll / 6);
            model.anyInit = true;
            model.lastInitOk = first == 0;
            model.socketless = model.socketless && first != 0;
            if (first != 0)
                return;
        }
        worker.OnNextCut([this, ending] {
            if (ending == WAIT_RELEASE) {
                std::lock_guard<std::mutex> hold(intervalsMutex);
                enders.emplace_back([this] { Timed(WAIT_RELEASE, 0); });
                return;
            }
            std::async(std::launch::async, [this, ending] { Timed(ending, 0); }).get();
        });
        const LONG result = Timed(init, roll / 6);
        worker.OnNextCut(nullptr);
        if (!worker.WaitHooksDone())
            Fault("the cut's hook did not end");
        std::vector<std::thread> started;
        {
            std::lock_guard<std::mutex> hold(intervalsMutex);
            started.swap(enders);
        }
        for (std::thread& ender : started)
            ender.join();
        history.back() += " -> " + std::to_string(result);
        model.anyInit = true;
        model.lastInitOk = result == 0;
        model.socketless = false;
        CheckHistory();
    }

    // An ending call from another thread at one commit point of an Init or
    // Reconnect (its lookup's start, its socket's registration, going live):
    // the hook holds the call there until the ending call has returned
    // (destruction runs on, and returns only once the call has left). The
    // ending call then came after every earlier commit point and before
    // this one, so this point alone must end the call: it fails.
    struct AtCommit {
        std::mutex mutex;
        const TCPClient* client = nullptr;
        CommitPoint point = CommitPoint::LOOKUP;
        std::function<void()> ending; // run once
        bool fired = false;
    } atCommit;
    static void OnCommit(const TCPClient* client, CommitPoint point, void* context) {
        auto& at = *static_cast<AtCommit*>(context);
        std::function<void()> ending;
        {
            std::lock_guard<std::mutex> hold(at.mutex);
            if (client != at.client || point != at.point || at.fired)
                return;
            at.fired = true;
            ending.swap(at.ending);
        }
        ending();
    }

    void EndAtCommit(unsigned roll) {
        static const Op kEndings[] = {DISCONNECT, RELEASE, WAIT_RELEASE, DESTROY};
        static const char* const kPoints[] = {"the lookup", "the registration", "going live"};
        const Op ending = kEndings[roll % 4];
        const auto point = static_cast<CommitPoint>(roll / 4 % 3);
        // A lookup is an Init's by name; Reconnect never goes live.
        static const Op kCalls[] = {INIT_DIRECT, INIT_PROXY, INIT_URL, RECONNECT};
        Op op = point == CommitPoint::LOOKUP ? INIT_NAME : kCalls[roll / 12 % 4];
        if (op == RECONNECT && (point == CommitPoint::LIVE || !model.anyInit))
            op = INIT_DIRECT;
        const unsigned sender = op == INIT_NAME ? 0 : roll / 48; // by name: the fast one, directly
        history.push_back(std::to_string(step) + ": " + kOpNames[ending] + " at " + kPoints[static_cast<int>(point)] +
                          " of " + kOpNames[op]);
        std::atomic<bool> returned{false}, early{false};
        std::thread destroyer;
        {
            std::lock_guard<std::mutex> hold(atCommit.mutex);
            atCommit.fired = false;
            atCommit.client = client.get();
            atCommit.point = point;
            atCommit.ending = [&] {
                if (ending == DESTROY) {
                    TCPClient* dying = client.get();
                    destroyer = std::thread([&] {
                        client.reset();
                        early = !returned;
                    });
                    // Held here until destruction has begun (it then waits
                    // for this call): no event tells that moment.
                    const Clock::time_point until = Clock::now() + std::chrono::milliseconds(kCallBoundMs);
                    while (dying->GetLife() != TCPClient::Life::ENDING && Clock::now() < until)
                        std::this_thread::yield();
                } else {
                    std::thread([&] { Call(ending, 0); }).join();
                }
            };
        }
        const unsigned resets = server.Resets();
        const unsigned ended = workers.back()->CallbackEnded();
        SetCommitHook(OnCommit, &atCommit);
        // A lookup's own name, which the gate (open) counts: an ending call
        // before it begins means it never reaches the resolver.
        const std::string name = "held-commit-" + std::to_string(seed) + "-" + std::to_string(step) + ".model.test";
        TCPClient_Socks5* target = client.get();
        ModelWorker& worker = *workers.back();
        auto initByName = [&] {
            std::lock_guard<std::mutex> one(worker.connecting);
            return target->Init(YSocketTarget(name.c_str(), server.Port()), TCPClient_Socks5::SOCKS5, nullptr, nullptr,
                                nullptr);
        };
        const LONG result = point != CommitPoint::LOOKUP ? Call(op, sender) : initByName();
        returned = true;
        SetCommitHook(nullptr, nullptr);
        if (destroyer.joinable())
            destroyer.join();
        bool fired;
        {
            std::lock_guard<std::mutex> hold(atCommit.mutex);
            fired = atCommit.fired;
        }
        history.back() += std::string(" -> ") + std::to_string(result) + (fired ? "" : " (not reached)");
        if (fired && result != E_FAIL)
            Fault(std::string(kOpNames[ending]) + " at " + kPoints[static_cast<int>(point)] + " of " + kOpNames[op] +
                  ": E_FAIL expected, got " + std::to_string(result));
        if (!fired && op != RECONNECT && model.listening && server.Resets() == resets &&
            workers.back()->CallbackEnded() == ended) // the old connection's callbacks may end it first
            Fault(std::string(kOpNames[op]) + " never reached " + kPoints[static_cast<int>(point)]);
        if (early)
            Fault("destruction returned before the call under way had left");
        if (fired && point == CommitPoint::LOOKUP && g_Gate.Entered(name) != 0)
            Fault("the lookup began after an ending call");
        if (fired)
            ++histories;
        if (ending == DESTROY && fired) {
            workers.back()->Destroyed();
            NewClient();
            return;
        }
        if (op != RECONNECT) {
            model.anyInit = true;
            model.lastInitOk = result == 0;
            model.heldName = false;
        }
        model.socketless = false;
    }

    // Many clients of their own connect by name at once: their lookups run
    // at most 8 at a time, and every one connects within its bound (or
    // meets a reset of the server).
    void LookupStorm(unsigned roll) {
        const unsigned count = 9 + roll % 8;
        history.push_back(std::to_string(step) + ": " + std::to_string(count) + " clients connect by name at once");
        if (!model.listening)
            return;
        const unsigned resets = server.Resets();
        std::vector<std::unique_ptr<RecordingWorker>> stormWorkers;
        std::vector<std::unique_ptr<TCPClient>> stormClients;
        std::vector<std::future<LONG>> inits;
        for (unsigned i = 0; i < count; ++i) {
            stormWorkers.push_back(std::make_unique<RecordingWorker>());
            stormClients.push_back(std::make_unique<TCPClient>(stormWorkers.back().get()));
            stormClients.back()->SetConnectTimeout(2 * kAttemptBoundMs);
            TCPClient* one = stormClients.back().get();
            const unsigned short port = server.Port();
            inits.push_back(
                std::async(std::launch::async, [one, port] { return one->Init(YSocketTarget(kFastName, port)); }));
        }
        unsigned failed = 0;
        for (std::future<LONG>& init : inits) {
            if (init.wait_for(std::chrono::milliseconds(kCallBoundMs)) != std::future_status::ready) {
                std::fprintf(stderr, "seed %u step %d: a client of the storm did not return\n", seed, step);
                std::abort();
            }
            failed += init.get() != 0 ? 1 : 0;
        }
        stormClients.clear();
        if (failed != 0 && server.Resets() == resets)
            Fault(std::to_string(failed) + " of " + std::to_string(count) +
                  " clients connecting by name at once failed");
    }

    // The calls of one step, at once: the first on this thread, the others
    // on threads of their own. Every call must return within the bound.
    std::vector<LONG> Overlap(const std::vector<Op>& ops, const std::vector<unsigned>& senders) {
        std::vector<std::future<LONG>> others;
        for (std::size_t i = 1; i < ops.size(); ++i)
            others.push_back(
                std::async(std::launch::async, [this, &ops, &senders, i] { return Call(ops[i], senders[i]); }));
        std::vector<LONG> results{Call(ops[0], senders[0])};
        for (std::future<LONG>& other : others) {
            if (other.wait_for(std::chrono::milliseconds(kCallBoundMs)) != std::future_status::ready) {
                std::fprintf(stderr, "seed %u step %d: a call did not return within %u ms\n", seed, step,
                             static_cast<unsigned>(kCallBoundMs));
                std::abort(); // a hung call cannot be taken back: fail the whole run,
                              // naming the seed
            }
            results.push_back(other.get());
        }
        return results;
    }

    // Init, or Reconnect after an Init to the held name, waits in its
    // lookup while another thread ends the client's connection or destroys
    // the client: the call fails at once, and destruction returns only once
    // it has left.
    void EndInLookup(unsigned roll) {
        static const Op kEndings[] = {DISCONNECT, RELEASE, WAIT_RELEASE, DESTROY};
        Op ending = kEndings[roll % 4];
        bool reconnect = model.heldName && model.lastInitOk && roll / 4 % 2 == 0;
        const YSocketAddr* via = roll / 8 % 2 == 0 ? nullptr : &proxy;
        history.push_back(std::to_string(step) + ": " + kOpNames[ending] + " during the lookup of " +
                          (reconnect        ? "Reconnect"
                           : via != nullptr ? "Init via microsocks"
                                            : "Init"));
        // An Init looks up a name of its own; a Reconnect the name of the
        // last Init.
        const std::string name =
            reconnect ? kHeldName : "held-" + std::to_string(seed) + "-" + std::to_string(step) + ".model.test";
        unsigned entered = g_Gate.Entered(name);
        g_Gate.Set(true);
        TCPClient_Socks5* target = client.get();
        unsigned short port = server.Port();
        const unsigned ended = workers.back()->CallbackEnded();
        std::mutex* connecting = &workers.back()->connecting;
        std::future<LONG> call = std::async(std::launch::async, [target, connecting, reconnect, via, port, name] {
            std::lock_guard<std::mutex> one(*connecting);
            return reconnect ? target->Reconnect()
                             : target->Init(YSocketTarget(name.c_str(), port), TCPClient_Socks5::SOCKS5, via, nullptr,
                                            nullptr);
        });
        // Until the call is in its lookup, or has returned before it (the old
        // connection's callbacks may end it first).
        bool inside = false;
        for (DWORD waited = 0; !inside && waited < kCallBoundMs; waited += 50) {
            inside = g_Gate.WaitEntered(name, entered + 1, 50);
            if (call.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
                break;
        }
        const bool endedFirst = workers.back()->CallbackEnded() != ended;
        bool left = true;
        if (ending == DESTROY) {
            client.reset();
            left = call.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
            workers.back()->Destroyed();
        } else {
            Call(ending, 0);
        }
        bool returned = call.wait_for(std::chrono::milliseconds(kCallBoundMs)) == std::future_status::ready;
        g_Gate.Set(false);
        if (!returned) {
            std::fprintf(stderr, "seed %u step %d: a call in its lookup did not return\n", seed, step);
            std::abort();
        }
        LONG result = call.get();
        if (!inside && !endedFirst)
            Fault("the call never reached its lookup");
        if (!left)
            Fault("destruction returned before the call under way had left");
        if (result != E_FAIL)
            Fault(std::string(kOpNames[ending]) + " during a lookup: E_FAIL expected, got " + std::to_string(result));
        if (ending == DESTROY) {
            NewClient();
        } else if (!reconnect) {
            model.anyInit = true;
            model.lastInitOk = false;
        }
    }

    void Step() {
        ModelWorker& worker = *workers.back();
        // The step's calls: a first one, and now and then one or two
        // overlapping it from other threads (never two connecting calls).
        static const Op kFirst[] = {
            INIT_DIRECT,  INIT_DIRECT,   INIT_URL,      INIT_PROXY,    INIT_PROXY,    INIT_NAME,
            INIT_NAME,    RECONNECT,     RECONNECT,     RECONNECT,     DISCONNECT,    RELEASE,
            WAIT_RELEASE, WAIT_RELEASE,  SEND,          SEND,          SEND,          SEND,
            SEND,         SEND,          SEND,          SEND,          DESTROY,       TOGGLE_LISTENING,
            LET_RUN,      TWIN,          LET_RUN,       END_IN_LOOKUP, END_IN_LOOKUP, END_FROM_CUT,
            END_FROM_CUT, END_AT_COMMIT, END_AT_COMMIT, LOOKUP_STORM};
        static const Op kOverlapping[] = {DISCONNECT, RELEASE, WAIT_RELEASE, RECONNECT, SEND};
        std::vector<Op> ops{kFirst[Roll(sizeof kFirst / sizeof kFirst[0])]};
        std::vector<unsigned> senders{Roll(36)};
        if (ops[0] == SEND)
            senders[0] = 2 * Roll(240);
        if (ops[0] == END_AT_COMMIT)
            senders[0] = Roll(48 * 6);
        if (ops[0] != DESTROY && ops[0] != TOGGLE_LISTENING && ops[0] != LET_RUN && ops[0] != TWIN &&
            ops[0] != END_IN_LOOKUP && ops[0] != END_FROM_CUT && ops[0] != END_AT_COMMIT && ops[0] != LOOKUP_STORM &&
            Roll(3) == 0) {
            Op second = kOverlapping[Roll(5)];
            bool connecting = ops[0] == INIT_DIRECT || ops[0] == INIT_PROXY || ops[0] == INIT_URL ||
                              ops[0] == INIT_NAME || ops[0] == RECONNECT;
            if (!(second == RECONNECT && connecting) && !(second == SEND && ops[0] == SEND)) {
                ops.push_back(second);
                senders.push_back(1 + 2 * Roll(240));
            }
            if (Roll(2) == 0 && ops[0] != SEND && second != SEND) {
                ops.push_back(SEND);
                senders.push_back(1 + 2 * Roll(240));
            }
        }

        if (ops[0] == DESTROY || ops[0] == TOGGLE_LISTENING)
            history.push_back(std::to_string(step) + ": " + kOpNames[ops[0]]);
        if (ops[0] == DESTROY) {
            client.reset();
            worker.Destroyed();
            NewClient();
            return;
        }
        if (ops[0] == TOGGLE_LISTENING) {
            if (!server.SetListening(!model.listening))
                Fault("the server could not listen again on its port");
            model.listening = !model.listening;
            return;
        }
        if (ops[0] == LET_RUN) {
            Sleep(Roll(20)); // echoes come back meanwhile
            return;
        }
        if (ops[0] == END_IN_LOOKUP) {
            EndInLookup(senders[0]);
            return;
        }
        if (ops[0] == END_FROM_CUT) {
            EndFromCut(senders[0]);
            return;
        }
        if (ops[0] == TWIN) {
            Twin(senders[0]);
            return;
        }
        if (ops[0] == END_AT_COMMIT) {
            EndAtCommit(senders[0]);
            return;
        }
        if (ops[0] == LOOKUP_STORM) {
            LookupStorm(senders[0]);
            return;
        }

        bool echoing = worker.LiveEcho() && client->IsReceiving() && client->IsConnect();
        unsigned ended = worker.CallbackEnded();
        unsigned begun = worker.Begun();
        unsigned resets = server.Resets();
        unsigned slowBegun = g_SlowBegun.load();
        std::vector<LONG> results = Overlap(ops, senders);
        // Read once, as the calls returned: a slow lookup of this step that
        // had begun by then must not have answered yet (one that had not
        // begun, its call abandoned first, answers later still).
        unsigned slowBegunAfter = g_SlowBegun.load();
        bool answeredFirst = slowBegunAfter > slowBegun && g_SlowAnswered.load() >= slowBegunAfter;
        bool reset = server.Resets() != resets; // a connect may then fail
        bool alone = ops.size() == 1;
        std::string call = kOpNames[ops[0]];
        for (std::size_t i = 1; i < ops.size(); ++i)
            call += std::string(" with ") + kOpNames[ops[i]];
        for (std::size_t i = 0; i < ops.size(); ++i)
            history.push_back(std::to_string(step) + ": " + kOpNames[ops[i]] + "(" + std::to_string(senders[i]) +
                              ") -> " + std::to_string(results[i]));
        auto expect = [&](bool ok, const std::string& what) {
            if (!ok)
                Fault(call + ": " + what + " (result " + std::to_string(results[0]) + ")");
        };

        // What the state table gives, for the first call.
        switch (ops[0]) {
        case INIT_DIRECT:
        case INIT_PROXY:
        case INIT_URL:
        case INIT_NAME: {
            bool slow = bounded && senders[0] % 6 == 5 && senders[0] / 6 % 3 == 0;
            bool reachable = model.listening && !(ops[0] == INIT_NAME && (senders[0] % 6 == 4 || slow));
            // The old connection's callbacks end an Init under way, as they
            // end a Reconnect.
            if (alone && !(reset && results[0] == E_FAIL) && worker.CallbackEnded() == ended)
                expect(results[0] == (reachable ? 0 : E_FAIL), reachable ? "0 expected" : "E_FAIL expected");
            else
                expect(results[0] == 0 || results[0] == E_FAIL, "0 or E_FAIL expected");
            // The bound covers the lookup: Init returns before the slow one answers.
            if (slow)
                expect(!answeredFirst, "returned only once its lookup had answered, past the bound");
            if (results[0] == 0) {
                model.socketless = false;
                if (alone && !worker.WaitBegun(begun + 1))
                    expect(false, "no receive thread began");
            }
            model.anyInit = true;
            model.lastInitOk = results[0] == 0;
            model.heldName = ops[0] == INIT_NAME && senders[0] % 6 == 1;
            break;
        }
        case RECONNECT:
            // A callback's Disconnect or Release ends a Reconnect under way
            // too: the table then allows either result.
            if (alone && worker.CallbackEnded() == ended && !reset) {
                if (!model.anyInit || !model.listening)
                    expect(results[0] == E_FAIL, "E_FAIL expected: nowhere to connect to");
                else if (model.lastInitOk)
                    expect(results[0] == 0, "0 expected");
            }
            if (results[0] == 0)
                model.socketless = false;
            // A failed Reconnect leaves the connection as it was: one that
            // echoed still does.
            if (alone && results[0] != 0 && echoing && !worker.Probe(kCallBoundMs) && worker.CallbackEnded() == ended &&
                client->IsReceiving())
                expect(false, "the connection stopped echoing after a failed Reconnect");
            break;
        case DISCONNECT:
        case RELEASE:
            if (alone && !worker.WaitQuiet())
                expect(false, "the receive thread did not end");
            if (alone && ops[0] == DISCONNECT)
                model.socketless = true;
            break;
        case WAIT_RELEASE:
            if (alone && !worker.Quiet())
                expect(false, "returned before the receive thread ended");
            break;
        case SEND:
            expect(results[0] == -1 || results[0] >= 0, "0, -1 or the length expected");
            if (alone && model.socketless)
                expect(results[0] == 0, "0 expected: no socket");
            break;
        default:
            break;
        }
        for (std::size_t i = 1; i < ops.size(); ++i) {
            if (ops[i] == RECONNECT && results[i] == 0)
                model.socketless = false;
        }
        if (!alone)
            model.socketless = false; // overlapping calls: the model no longer knows
        for (const std::string& fault : worker.Faults())
            Fault(fault);
    }
};

std::uint32_t EnvNumber(const char* name, std::uint32_t otherwise) {
    const char* text = std::getenv(name);
    return text == nullptr || *text == '\0' ? otherwise : static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10));
}

TEST(TCPClientModel, RandomOverlappingCallsKeepTheStateTable) {
    RealProxies proxies = FindRealProxies();
    ASSERT_TRUE(proxies.missing.empty()) << "run under scripts/proxies.sh; not set: " << proxies.missing;
    // Fewer steps where every call costs more.
    int steps = RunningUnderWine() ? 200 : kSlowBuild || kEmulatedBuild ? 300 : 500;
    steps = static_cast<int>(EnvNumber("YNET_MODEL_STEPS", static_cast<std::uint32_t>(steps)));
    std::uint32_t first = EnvNumber("YNET_MODEL_SEED", EnvNumber("YNET_MODEL_FIRST_SEED", 1));
    std::uint32_t seeds = std::getenv("YNET_MODEL_SEED") != nullptr ? 1 : EnvNumber("YNET_MODEL_SEEDS", 4);

    WarmUpThreads();
    ProcessCounters before = SampleProcess();
    LogCapture log; // the calls that fail log a line each
    SetResolverHook(ModelResolver);
    unsigned calls = 0, messages = 0, threads = 0, histories = 0;
    for (std::uint32_t seed = first; seed < first + seeds; ++seed) {
        ModelRun run(seed, steps, proxies);
        ASSERT_TRUE(run.server.Listening());
        run.log = &log;
        run.NewClient();
        run.NewTwin();
        for (run.step = 0; run.step < steps && run.faults.empty(); ++run.step)
            run.Step();
        run.client.reset();
        run.workers.back()->Destroyed();
        run.twin.reset();
        run.twinWorker.Destroyed();
        for (const std::string& fault : run.twinWorker.Faults())
            run.Fault("the twin's worker: " + fault);
        messages += run.twinWorker.Handled();
        threads += run.twinWorker.Begun();
        for (auto& worker : run.workers) {
            for (const std::string& fault : worker->Faults())
                run.Fault(fault);
            messages += worker->Handled();
            threads += worker->Begun();
        }
        calls += run.calls;
        histories += run.histories;
        EXPECT_TRUE(run.faults.empty()) << "seed " << seed << " (YNET_MODEL_SEED=" << seed
                                        << " replays it): " << run.faults.front();
    }
    SetResolverHook(nullptr);
    std::printf("model: %u seeds from %u, %d steps each: %u calls, %u receive "
                "threads, %u messages, %u ending "
                "calls inside an Init\n",
                seeds, first, steps, calls, threads, messages, histories);
    // Lookups that outlived their callers finish within their answer's delay.
    EXPECT_TRUE(WaitForThreadsAtMost(before.threads, kSlowLookupMs + kWaitMs))
        << "threads: " << before.threads << " before, " << SampleProcess().threads << " now";
    EXPECT_LE(SampleProcess().descriptors, before.descriptors + DescriptorNoise());
}

} // namespace

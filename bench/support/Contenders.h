// The benchmarks' peers and competitors, written on the plain system socket
// calls and on standalone Asio: nothing in them goes through this library's
// layers (it is compiled apart, without the library's headers, whose
// Winsock names would clash with the system's). The library's own
// unscrambling reaches them as a function pointer, so that every contender
// does the same work per message: cut the frame, unscramble the body, sum
// every byte of the message.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace BenchNet {

typedef std::vector<unsigned char> Bytes;
// Unscrambles (or scrambles) a body of length bytes in place.
typedef void (*BodyCoder)(unsigned char* body, unsigned length);

// The head's size field: the low 15 bits of the first little-endian word.
inline int MessageSize(const unsigned char* head) {
    return head[0] | ((head[1] & 0x7F) << 8);
}

// The check every contender makes over every message it receives: the sum
// of its bytes, eight at a time (16-bit lanes, folded before they can
// overflow), so that the check costs little beside the work it checks.
inline std::uint64_t SumBytes(const unsigned char* message, int length) {
    constexpr std::uint64_t kLanes = 0x00FF00FF00FF00FFull;
    std::uint64_t sum = 0;
    int at = 0;
    while (length - at >= 8) {
        std::uint64_t even = 0, odd = 0;
        const int words = std::min((length - at) / 8, 256); // 256 * 255 fits a lane
        for (int i = 0; i < words; ++i, at += 8) {
            std::uint64_t word;
            std::memcpy(&word, message + at, 8);
            even += word & kLanes;
            odd += (word >> 8) & kLanes;
        }
        for (std::uint64_t part : {even, odd})
            sum += (part & 0xFFFF) + ((part >> 16) & 0xFFFF) + ((part >> 32) & 0xFFFF) + (part >> 48);
    }
    for (; at < length; ++at)
        sum += message[at];
    return sum;
}

// A loopback server on a thread of its own; every accepted connection is
// served on a thread of its own too, with plain blocking socket calls.
class Server {
public:
    // Sends back every byte it receives, until the client closes.
    static std::unique_ptr<Server> Reflector();
    // Sends `wire` (whole scrambled messages) `repeats` times, then closes
    // its sending side and waits for the client to close.
    static std::unique_ptr<Server> Streamer(Bytes wire, long repeats);
    // Answers requests: reads messages (framed by their heads) and, after
    // every perRequest of them, sends back the last one as it came, with
    // one send.
    static std::unique_ptr<Server> Responder(int perRequest);
    virtual ~Server() = default;
    virtual int Port() const = 0;
};

// CPU time the calling thread has used since it started, in seconds.
double ThreadCpuSeconds();

// One-way receive of count messages from a Streamer: seconds from connect
// to the last message, or -1 when the stream was cut short. *sum gets the
// sum of every received message's bytes (after unscrambling), *cpu the CPU
// seconds the receiving thread used for it.
//
// socks5Proxy, where a function takes it: 0 connects straight to port;
// otherwise the client connects to the SOCKS5 proxy on that loopback port
// and asks it for 127.0.0.1:port (no authentication, blocking calls,
// exactly the 10-byte reply read, nothing beyond it) before anything else.
// httpProxy, when not 0, does the same through the HTTP proxy on that port
// (CONNECT, the reply read a byte at a time up to its blank line).
double RawStream(int port, long count, int bufferSize, BodyCoder decode, std::uint64_t* sum, double* cpu,
                 int socks5Proxy = 0, int httpProxy = 0);
double AsioStream(int port, long count, int bufferSize, BodyCoder decode, std::uint64_t* sum, double* cpu);

// Seconds a blocking connect to port takes (through socks5Proxy: connect
// and handshake), closed right after; -1 on a failure.
double RawConnect(int port, int socks5Proxy, int httpProxy = 0);

// Ping-pong against a Reflector: sends a copy of `plain` scrambled, waits
// for it to come back whole, unscrambles and sums it; stays connected.
class Pinger {
public:
    // A blocking client with a read-ahead buffer (one receive per round
    // trip as long as the echo arrives whole).
    static std::unique_ptr<Pinger> Raw(int port, const Bytes& plain, BodyCoder encode, BodyCoder decode,
                                       int socks5Proxy = 0, int httpProxy = 0);
    // An Asio client: async_write, then async_read_some into its buffer
    // until the echo is whole; one io_context run per round.
    static std::unique_ptr<Pinger> Asio(int port, const Bytes& plain, BodyCoder encode, BodyCoder decode);
    virtual ~Pinger() = default;
    // False when the connection failed.
    virtual bool Run(long roundTrips, std::uint64_t* sum) = 0;
};

// Round trips against a Responder over `connections` connections at once:
// a request is perRequest scrambled copies of `plain`, each handed to the
// socket by a call of its own, back to back; the reply is read whole,
// unscrambled and summed. TCP_NODELAY as noDelay says. Stays connected.
class Requester {
public:
    // Blocking calls, one thread per connection (the caller's alone for one
    // connection), a read-ahead buffer per connection.
    static std::unique_ptr<Requester> Raw(int port, int connections, bool noDelay, const Bytes& plain, int perRequest,
                                          BodyCoder encode, BodyCoder decode);
    // Asio: async_write per message, async_read_some until the reply is
    // whole; every connection on one io_context, run by the caller's thread.
    static std::unique_ptr<Requester> Asio(int port, int connections, bool noDelay, const Bytes& plain, int perRequest,
                                           BodyCoder encode, BodyCoder decode);
    virtual ~Requester() = default;
    // roundTrips per connection, all connections at once; a connection stops
    // early once `budget` seconds have passed since the start. Appends each
    // round trip's time (first send to whole reply) in microseconds to
    // *times, adds each reply's byte sum to *sum. False when a connection
    // failed or was never made.
    virtual bool Run(long roundTrips, double budget, std::vector<double>* times, std::uint64_t* sum) = 0;
};

} // namespace BenchNet

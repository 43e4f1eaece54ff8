// The benchmarks' servers and competitors: plain POSIX sockets and
// standalone Asio (see Contenders.h). Benchmark code, not library code: it
// includes the system's headers directly.
#include "Contenders.h"

#include <asio.hpp>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string>
#include <thread>

namespace BenchNet {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

void NoDelay(int fd) {
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

int Connect(int port, bool noDelay = true) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(port);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    if (noDelay)
        NoDelay(fd);
    return fd;
}

bool SendAll(int fd, const unsigned char* data, std::size_t length) {
    while (length > 0) {
        ssize_t n = send(fd, data, length, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

bool RecvExactly(int fd, unsigned char* data, std::size_t length) {
    while (length > 0) {
        ssize_t n = recv(fd, data, length, 0);
        if (n <= 0)
            return false;
        data += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

// A connection to 127.0.0.1:port through the HTTP proxy on loopback port
// httpProxy (CONNECT): the reply is read a byte at a time up to its blank
// line and no further; -1 on a failure or a status other than 200.
int ConnectViaHttp(int port, int httpProxy) {
    int fd = Connect(httpProxy);
    if (fd < 0)
        return -1;
    const std::string authority = "127.0.0.1:" + std::to_string(port);
    const std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n\r\n";
    std::string reply;
    unsigned char byte = 0;
    bool ok = SendAll(fd, reinterpret_cast<const unsigned char*>(request.data()), request.size());
    while (ok && reply.size() < 8192 && (reply.size() < 4 || reply.compare(reply.size() - 4, 4, "\r\n\r\n") != 0)) {
        ok = RecvExactly(fd, &byte, 1);
        reply.push_back(static_cast<char>(byte));
    }
    if (!ok || reply.size() < 12 || reply.compare(0, 7, "HTTP/1.") != 0 || reply.compare(9, 3, "200") != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A connection to 127.0.0.1:port, through the SOCKS5 proxy on loopback port
// socks5Proxy unless that is 0 (or the HTTP proxy on httpProxy unless that
// is 0); -1 on a failure. The replies are read to their last byte and no
// further: the server's first bytes, which a proxy may send right behind
// its CONNECT reply, stay for the caller.
int ConnectVia(int port, int socks5Proxy, int httpProxy) {
    if (httpProxy != 0)
        return ConnectViaHttp(port, httpProxy);
    if (socks5Proxy == 0)
        return Connect(port);
    int fd = Connect(socks5Proxy);
    if (fd < 0)
        return -1;
    const unsigned char greeting[3] = {5, 1, 0}; // version 5, one method: none
    const unsigned char request[10] = {5,
                                       1,
                                       0,
                                       1,
                                       127,
                                       0,
                                       0,
                                       1,
                                       static_cast<unsigned char>(port >> 8),
                                       static_cast<unsigned char>(port & 0xFF)}; // CONNECT, IPv4
    unsigned char choice[2], reply[10];
    // A CONNECT reply is 10 bytes when its bound address is IPv4 (type 1),
    // which is what a proxy reached over IPv4 loopback answers.
    if (!SendAll(fd, greeting, sizeof greeting) || !RecvExactly(fd, choice, sizeof choice) || choice[0] != 5 ||
        choice[1] != 0 || !SendAll(fd, request, sizeof request) || !RecvExactly(fd, reply, 4) || reply[0] != 5 ||
        reply[1] != 0 || reply[3] != 1 || !RecvExactly(fd, reply + 4, 6)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Cuts the whole messages at the front of [data, data + end): unscrambles,
// sums and counts each. Returns the bytes consumed.
std::size_t CutMessages(unsigned char* data, std::size_t end, BodyCoder decode, std::uint64_t* sum, long* got) {
    std::size_t at = 0;
    while (end - at >= 4) {
        const int size = MessageSize(data + at);
        if (end - at < static_cast<std::size_t>(size))
            break;
        decode(data + at + 4, static_cast<unsigned>(size - 4));
        *sum += SumBytes(data + at, size);
        ++*got;
        at += static_cast<std::size_t>(size);
    }
    return at;
}

// ---------------------------------------------------------------- servers

class ThreadServer : public Server {
public:
    ThreadServer() {
        m_Listener = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address = Loopback(0);
        socklen_t length = sizeof address;
        if (bind(m_Listener, reinterpret_cast<sockaddr*>(&address), length) == 0 && listen(m_Listener, 128) == 0 &&
            getsockname(m_Listener, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            m_Port = ntohs(address.sin_port);
    }
    ~ThreadServer() override = default;
    int Port() const override { return m_Port; }

protected:
    // Every derived destructor calls it first: the connection threads run
    // the derived Serve until the clients have closed.
    void Stop() {
        shutdown(m_Listener, SHUT_RDWR); // ends the accept loop
        if (m_Accepting.joinable())
            m_Accepting.join();
        close(m_Listener);
        for (std::thread& t : m_Connections)
            t.join();
        m_Connections.clear();
    }
    // Serves one accepted connection; the descriptor is closed afterwards.
    virtual void Serve(int fd) = 0;
    void Start() {
        m_Accepting = std::thread([this] {
            for (;;) {
                int fd = accept(m_Listener, nullptr, nullptr);
                if (fd < 0)
                    return;
                NoDelay(fd);
                m_Connections.emplace_back([this, fd] {
                    Serve(fd);
                    close(fd);
                });
            }
        });
    }

private:
    int m_Listener;
    int m_Port = 0;
    std::thread m_Accepting;
    std::vector<std::thread> m_Connections; // the accepting thread's until it has ended
};

class ReflectingServer : public ThreadServer {
public:
    ReflectingServer() { Start(); }
    ~ReflectingServer() override { Stop(); }

private:
    void Serve(int fd) override {
        std::vector<unsigned char> buffer(65536);
        for (;;) {
            ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
            if (n <= 0 || !SendAll(fd, buffer.data(), static_cast<std::size_t>(n)))
                return;
        }
    }
};

class StreamingServer : public ThreadServer {
public:
    StreamingServer(Bytes wire, long repeats) : m_Wire(std::move(wire)), m_Repeats(repeats) { Start(); }
    ~StreamingServer() override { Stop(); }

private:
    void Serve(int fd) override {
        for (long i = 0; i < m_Repeats; ++i) {
            if (!SendAll(fd, m_Wire.data(), m_Wire.size()))
                return;
        }
        shutdown(fd, SHUT_WR);
        unsigned char drain[256];
        while (recv(fd, drain, sizeof drain, 0) > 0) {
        }
    }
    const Bytes m_Wire;
    const long m_Repeats;
};

class RespondingServer : public ThreadServer {
public:
    explicit RespondingServer(int perRequest) : m_PerRequest(perRequest) { Start(); }
    ~RespondingServer() override { Stop(); }

private:
    void Serve(int fd) override {
        std::vector<unsigned char> buffer(65536);
        std::size_t kept = 0;
        long count = 0;
        for (;;) {
            ssize_t n = recv(fd, buffer.data() + kept, buffer.size() - kept, 0);
            if (n <= 0)
                return;
            const std::size_t end = kept + static_cast<std::size_t>(n);
            std::size_t at = 0;
            while (end - at >= 4) {
                const std::size_t size = static_cast<std::size_t>(MessageSize(buffer.data() + at));
                if (size < 4 || end - at < size)
                    break;
                if (++count % m_PerRequest == 0 && !SendAll(fd, buffer.data() + at, size))
                    return;
                at += size;
            }
            kept = end - at;
            std::memmove(buffer.data(), buffer.data() + at, kept);
        }
    }
    const long m_PerRequest;
};

// ---------------------------------------------------------------- Asio one-way

class AsioReader {
public:
    AsioReader(asio::ip::tcp::socket& socket, long count, int bufferSize, BodyCoder decode)
        : m_Socket(socket), m_Buffer(static_cast<std::size_t>(bufferSize)), m_Count(count), m_Decode(decode) {}
    void Read() {
        m_Socket.async_read_some(asio::buffer(m_Buffer.data() + m_Kept, m_Buffer.size() - m_Kept),
                                 [this](const asio::error_code& error, std::size_t n) { OnRead(error, n); });
    }
    long m_Got = 0;
    std::uint64_t m_Sum = 0;

private:
    void OnRead(const asio::error_code& error, std::size_t n) {
        if (error)
            return;
        const std::size_t end = m_Kept + n;
        const std::size_t at = CutMessages(m_Buffer.data(), end, m_Decode, &m_Sum, &m_Got);
        m_Kept = end - at;
        std::memmove(m_Buffer.data(), m_Buffer.data() + at, m_Kept);
        if (m_Got < m_Count)
            Read();
    }
    asio::ip::tcp::socket& m_Socket;
    std::vector<unsigned char> m_Buffer;
    std::size_t m_Kept = 0;
    const long m_Count;
    const BodyCoder m_Decode;
};

// ---------------------------------------------------------------- ping-pong

class RawPinger : public Pinger {
public:
    RawPinger(int port, const Bytes& plain, BodyCoder encode, BodyCoder decode, int socks5Proxy, int httpProxy)
        : m_Fd(ConnectVia(port, socks5Proxy, httpProxy)), m_Plain(plain), m_Out(plain.size()), m_In(65536),
          m_Encode(encode), m_Decode(decode) {}
    ~RawPinger() override {
        if (m_Fd >= 0)
            close(m_Fd);
    }
    bool Run(long roundTrips, std::uint64_t* sum) override {
        if (m_Fd < 0)
            return false;
        const int size = static_cast<int>(m_Plain.size());
        for (long i = 0; i < roundTrips; ++i) {
            std::memcpy(m_Out.data(), m_Plain.data(), m_Plain.size());
            m_Encode(m_Out.data() + 4, static_cast<unsigned>(size - 4));
            if (!SendAll(m_Fd, m_Out.data(), m_Out.size()))
                return false;
            long got = 0;
            while (got == 0) {
                ssize_t n = recv(m_Fd, m_In.data() + m_Kept, m_In.size() - m_Kept, 0);
                if (n <= 0)
                    return false;
                const std::size_t end = m_Kept + static_cast<std::size_t>(n);
                const std::size_t at = CutMessages(m_In.data(), end, m_Decode, sum, &got);
                m_Kept = end - at;
                std::memmove(m_In.data(), m_In.data() + at, m_Kept);
            }
        }
        return true;
    }

private:
    int m_Fd;
    const Bytes m_Plain;
    Bytes m_Out, m_In;
    std::size_t m_Kept = 0;
    const BodyCoder m_Encode, m_Decode;
};

class AsioPinger : public Pinger {
public:
    AsioPinger(int port, const Bytes& plain, BodyCoder encode, BodyCoder decode)
        : m_Socket(m_Io), m_Plain(plain), m_Out(plain.size()), m_In(65536), m_Encode(encode), m_Decode(decode) {
        asio::error_code error;
        m_Socket.connect(asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)),
                         error);
        m_Connected = !error;
        if (m_Connected)
            m_Socket.set_option(asio::ip::tcp::no_delay(true), error);
    }
    bool Run(long roundTrips, std::uint64_t* sum) override {
        if (!m_Connected)
            return false;
        m_Left = roundTrips;
        m_Sum = sum;
        m_Failed = false;
        m_Io.restart();
        Ping();
        m_Io.run();
        return !m_Failed && m_Left == 0;
    }

private:
    void Ping() {
        std::memcpy(m_Out.data(), m_Plain.data(), m_Plain.size());
        m_Encode(m_Out.data() + 4, static_cast<unsigned>(m_Out.size() - 4));
        asio::async_write(m_Socket, asio::buffer(m_Out), [this](const asio::error_code& error, std::size_t) {
            if (error)
                m_Failed = true;
            else
                ReadEcho();
        });
    }
    void ReadEcho() {
        m_Socket.async_read_some(asio::buffer(m_In.data() + m_Kept, m_In.size() - m_Kept),
                                 [this](const asio::error_code& error, std::size_t n) {
                                     if (error) {
                                         m_Failed = true;
                                         return;
                                     }
                                     long got = 0;
                                     const std::size_t end = m_Kept + n;
                                     const std::size_t at = CutMessages(m_In.data(), end, m_Decode, m_Sum, &got);
                                     m_Kept = end - at;
                                     std::memmove(m_In.data(), m_In.data() + at, m_Kept);
                                     if (got == 0)
                                         ReadEcho();
                                     else if (--m_Left > 0)
                                         Ping();
                                 });
    }
    asio::io_context m_Io;
    asio::ip::tcp::socket m_Socket;
    bool m_Connected = false;
    const Bytes m_Plain;
    Bytes m_Out, m_In;
    std::size_t m_Kept = 0;
    const BodyCoder m_Encode, m_Decode;
    long m_Left = 0;
    std::uint64_t* m_Sum = nullptr;
    bool m_Failed = false;
};

// ---------------------------------------------------------------- request / response

double MicrosecondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double, std::micro>(to - from).count();
}

class RawRequester : public Requester {
public:
    RawRequester(int port, int connections, bool noDelay, const Bytes& plain, int perRequest, BodyCoder encode,
                 BodyCoder decode)
        : m_Plain(plain), m_PerRequest(perRequest), m_Encode(encode), m_Decode(decode) {
        for (int i = 0; i < connections; ++i)
            m_Links.push_back(Link{Connect(port, noDelay), Bytes(plain.size()), Bytes(65536), 0});
    }
    ~RawRequester() override {
        for (Link& link : m_Links)
            if (link.fd >= 0)
                close(link.fd);
    }
    bool Run(long roundTrips, double budget, std::vector<double>* times, std::uint64_t* sum) override {
        for (const Link& link : m_Links)
            if (link.fd < 0)
                return false;
        if (m_Links.size() == 1)
            return RunLink(m_Links[0], roundTrips, Clock::now(), budget, times, sum);
        // Every thread starts its round trips once all exist, so that all
        // the connections are busy at once.
        std::mutex merge;
        std::condition_variable released;
        bool go = false;
        Clock::time_point start;
        bool ok = true;
        std::vector<std::thread> threads;
        for (Link& link : m_Links) {
            threads.emplace_back([&, roundTrips, budget] {
                {
                    std::unique_lock<std::mutex> hold(merge);
                    released.wait(hold, [&] { return go; });
                }
                std::vector<double> own;
                std::uint64_t ownSum = 0;
                bool ran = RunLink(link, roundTrips, start, budget, &own, &ownSum);
                std::lock_guard<std::mutex> hold(merge);
                ok = ok && ran;
                times->insert(times->end(), own.begin(), own.end());
                *sum += ownSum;
            });
        }
        {
            std::lock_guard<std::mutex> hold(merge);
            start = Clock::now();
            go = true;
        }
        released.notify_all();
        for (std::thread& t : threads)
            t.join();
        return ok;
    }

private:
    struct Link {
        int fd;
        Bytes out, in;
        std::size_t kept;
    };
    bool RunLink(Link& link, long roundTrips, Clock::time_point start, double budget, std::vector<double>* times,
                 std::uint64_t* sum) {
        const unsigned body = static_cast<unsigned>(m_Plain.size() - 4);
        for (long i = 0; i < roundTrips; ++i) {
            const Clock::time_point sent = Clock::now();
            for (int k = 0; k < m_PerRequest; ++k) {
                std::memcpy(link.out.data(), m_Plain.data(), m_Plain.size());
                m_Encode(link.out.data() + 4, body);
                if (!SendAll(link.fd, link.out.data(), link.out.size()))
                    return false;
            }
            long got = 0;
            while (got == 0) {
                ssize_t n = recv(link.fd, link.in.data() + link.kept, link.in.size() - link.kept, 0);
                if (n <= 0)
                    return false;
                const std::size_t end = link.kept + static_cast<std::size_t>(n);
                const std::size_t at = CutMessages(link.in.data(), end, m_Decode, sum, &got);
                link.kept = end - at;
                std::memmove(link.in.data(), link.in.data() + at, link.kept);
            }
            const Clock::time_point answered = Clock::now();
            times->push_back(MicrosecondsBetween(sent, answered));
            if (std::chrono::duration<double>(answered - start).count() > budget)
                break;
        }
        return true;
    }
    const Bytes m_Plain;
    const int m_PerRequest;
    const BodyCoder m_Encode, m_Decode;
    std::vector<Link> m_Links;
};

class AsioRequester : public Requester {
public:
    AsioRequester(int port, int connections, bool noDelay, const Bytes& plain, int perRequest, BodyCoder encode,
                  BodyCoder decode)
        : m_Plain(plain), m_PerRequest(perRequest), m_Encode(encode), m_Decode(decode) {
        for (int i = 0; i < connections; ++i) {
            auto link = std::make_unique<Link>(m_Io, plain.size());
            asio::error_code error;
            link->socket.connect(
                asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)), error);
            if (!error)
                link->socket.set_option(asio::ip::tcp::no_delay(noDelay), error);
            m_Connected = m_Connected && !error;
            m_Links.push_back(std::move(link));
        }
    }
    bool Run(long roundTrips, double budget, std::vector<double>* times, std::uint64_t* sum) override {
        if (!m_Connected)
            return false;
        m_Start = Clock::now();
        m_Budget = budget;
        m_Times = times;
        m_Sum = sum;
        m_Failed = false;
        m_Io.restart();
        for (auto& link : m_Links) {
            link->left = roundTrips;
            Request(*link);
        }
        m_Io.run();
        return !m_Failed;
    }

private:
    struct Link {
        Link(asio::io_context& io, std::size_t size) : socket(io), out(size), in(65536) {}
        asio::ip::tcp::socket socket;
        Bytes out, in;
        std::size_t kept = 0;
        long left = 0;
        Clock::time_point sent;
    };
    void Request(Link& link) {
        link.sent = Clock::now();
        Write(link, 0);
    }
    void Write(Link& link, int k) {
        std::memcpy(link.out.data(), m_Plain.data(), m_Plain.size());
        m_Encode(link.out.data() + 4, static_cast<unsigned>(link.out.size() - 4));
        asio::async_write(link.socket, asio::buffer(link.out),
                          [this, &link, k](const asio::error_code& error, std::size_t) {
                              if (error)
                                  m_Failed = true;
                              else if (k + 1 < m_PerRequest)
                                  Write(link, k + 1);
                              else
                                  ReadReply(link);
                          });
    }
    void ReadReply(Link& link) {
        link.socket.async_read_some(asio::buffer(link.in.data() + link.kept, link.in.size() - link.kept),
                                    [this, &link](const asio::error_code& error, std::size_t n) {
                                        if (error) {
                                            m_Failed = true;
                                            return;
                                        }
                                        long got = 0;
                                        const std::size_t end = link.kept + n;
                                        const std::size_t at = CutMessages(link.in.data(), end, m_Decode, m_Sum, &got);
                                        link.kept = end - at;
                                        std::memmove(link.in.data(), link.in.data() + at, link.kept);
                                        if (got == 0) {
                                            ReadReply(link);
                                            return;
                                        }
                                        const Clock::time_point answered = Clock::now();
                                        m_Times->push_back(MicrosecondsBetween(link.sent, answered));
                                        if (--link.left > 0 &&
                                            std::chrono::duration<double>(answered - m_Start).count() <= m_Budget)
                                            Request(link);
                                    });
    }
    asio::io_context m_Io;
    const Bytes m_Plain;
    const int m_PerRequest;
    const BodyCoder m_Encode, m_Decode;
    std::vector<std::unique_ptr<Link>> m_Links;
    bool m_Connected = true;
    Clock::time_point m_Start;
    double m_Budget = 0;
    std::vector<double>* m_Times = nullptr;
    std::uint64_t* m_Sum = nullptr;
    bool m_Failed = false;
};

} // namespace

std::unique_ptr<Server> Server::Reflector() {
    return std::make_unique<ReflectingServer>();
}

std::unique_ptr<Server> Server::Streamer(Bytes wire, long repeats) {
    return std::make_unique<StreamingServer>(std::move(wire), repeats);
}

std::unique_ptr<Server> Server::Responder(int perRequest) {
    return std::make_unique<RespondingServer>(perRequest);
}

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

double RawStream(int port, long count, int bufferSize, BodyCoder decode, std::uint64_t* sum, double* cpu,
                 int socks5Proxy, int httpProxy) {
    const double cpuStart = ThreadCpuSeconds();
    Clock::time_point start = Clock::now();
    int fd = ConnectVia(port, socks5Proxy, httpProxy);
    if (fd < 0)
        return -1;
    std::vector<unsigned char> buffer(static_cast<std::size_t>(bufferSize));
    std::size_t kept = 0;
    long got = 0;
    while (got < count) {
        ssize_t n = recv(fd, buffer.data() + kept, buffer.size() - kept, 0);
        if (n <= 0)
            break;
        const std::size_t end = kept + static_cast<std::size_t>(n);
        const std::size_t at = CutMessages(buffer.data(), end, decode, sum, &got);
        kept = end - at;
        std::memmove(buffer.data(), buffer.data() + at, kept);
    }
    double seconds = SecondsSince(start);
    *cpu = ThreadCpuSeconds() - cpuStart;
    close(fd);
    return got == count ? seconds : -1;
}

double AsioStream(int port, long count, int bufferSize, BodyCoder decode, std::uint64_t* sum, double* cpu) {
    const double cpuStart = ThreadCpuSeconds();
    Clock::time_point start = Clock::now();
    asio::io_context io;
    asio::ip::tcp::socket socket(io);
    asio::error_code error;
    socket.connect(asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)), error);
    if (error)
        return -1;
    socket.set_option(asio::ip::tcp::no_delay(true), error);
    AsioReader reader(socket, count, bufferSize, decode);
    reader.Read();
    io.run();
    double seconds = SecondsSince(start);
    *cpu = ThreadCpuSeconds() - cpuStart;
    *sum += reader.m_Sum;
    return reader.m_Got == count ? seconds : -1;
}

double RawConnect(int port, int socks5Proxy, int httpProxy) {
    Clock::time_point start = Clock::now();
    int fd = ConnectVia(port, socks5Proxy, httpProxy);
    double seconds = SecondsSince(start);
    if (fd < 0)
        return -1;
    close(fd);
    return seconds;
}

std::unique_ptr<Pinger> Pinger::Raw(int port, const Bytes& plain, BodyCoder encode, BodyCoder decode, int socks5Proxy,
                                    int httpProxy) {
    return std::make_unique<RawPinger>(port, plain, encode, decode, socks5Proxy, httpProxy);
}

std::unique_ptr<Pinger> Pinger::Asio(int port, const Bytes& plain, BodyCoder encode, BodyCoder decode) {
    return std::make_unique<AsioPinger>(port, plain, encode, decode);
}

std::unique_ptr<Requester> Requester::Raw(int port, int connections, bool noDelay, const Bytes& plain, int perRequest,
                                          BodyCoder encode, BodyCoder decode) {
    return std::make_unique<RawRequester>(port, connections, noDelay, plain, perRequest, encode, decode);
}

std::unique_ptr<Requester> Requester::Asio(int port, int connections, bool noDelay, const Bytes& plain, int perRequest,
                                           BodyCoder encode, BodyCoder decode) {
    return std::make_unique<AsioRequester>(port, connections, noDelay, plain, perRequest, encode, decode);
}

} // namespace BenchNet

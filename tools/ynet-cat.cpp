// ynet-cat: a command-line client of the library.
//
//   ynet-cat [--main N] [--assist N] [--request] [--respond] [--hex] [--wait-ms N]
//            [--proxy socks5[h]://[USER:PASSWORD@]HOST:PORT | socks4[a]://HOST:PORT] [--proxy-user USER:PASSWORD]
//            [--keepalive-time SECONDS] [--keepalive-cnt N] [--no-keepalive] [--tcp-nodelay | --no-tcp-nodelay]
//            HOST:PORT
//
// The socket options have curl's names: --keepalive-time sets keepalive's
// idle time and the time between probes, --keepalive-cnt the probes. Without
// them the library's defaults hold (keepalive on, TCP_NODELAY on).
//
// HOST:PORT: a name, a dotted IPv4 address or a bracketed IPv6 literal. As
// with curl, socks5:// and socks4:// resolve the name here, socks5h:// and
// socks4a:// send it to the proxy.
//
// Connects with a TCPClient (a TCPClient_Socks5 through a proxy), sends each line of standard input as one
// message (the line is the body; main and assistant IDs and flags from the
// options), prints every message received and every window notification as
// it arrives. Once standard input ends it waits, at most --wait-ms
// milliseconds, for one reply per message sent, then releases the
// connection. A message that arrives while no line awaits its reply (a
// server's greeting on accept) is printed but not counted as a reply.
//
// Threads: the main thread owns a message-only window and prints, in the
// order they were posted, the window notifications and the messages the
// receive thread hands over (so "receive thread started" comes before the
// first message); a reader thread reads standard input and sends. The
// library's log lines are printed in the tool's own form. Output lines are
// whole.
//
// Exit status: 0 done; 1 the connection was cut, a send failed or a line was
// too long to send; 2 bad usage or no connection (a proxy's refusal
// included); 3 replies still missing after --wait-ms.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/MsgWorker.h"
#include "client/TCPClient.h"
#include "client/TCPClient_Socks5.h"
#include "framework/Log.h"
#include "message/YNetMsgHead.h"
#include "socket/AddrText.h"
#include "socket/SocketStack.h"
#include "socket/YSocketAddr.h"
#include "socket/YSocketTarget.h"
#include "tools/MessageText.h"
#include "tools/ToolArgs.h"

using YNet2Tools::ParseNumber;

namespace {

constexpr UINT kNotify = WM_APP + 1;     // the worker's notifications: wParam 1, 2, 3
constexpr UINT kReaderDone = WM_APP + 2; // wParam 1: standard input ended; 0: a send failed
constexpr UINT kWake = WM_APP + 3;       // the connection was cut
constexpr UINT kReceived = WM_APP + 4;   // lParam: a std::string* line to print, owned by the message
constexpr int kMaxBody = YNet2::YNetMsgHead::MaxMsgSize - YNet2::YNetMsgHead::HeadSize;

struct Options {
    DWORD mainId = 1;
    DWORD assistId = 0;
    bool request = false;
    bool respond = false;
    bool hex = false;
    DWORD waitMs = 5000;
    std::string target;
    // --proxy: type 0 for none.
    int proxyType = 0;
    bool proxyResolves = false; // socks5h://, socks4a://
    std::string proxy;          // HOST:PORT
    bool proxyCredentials = false;
    std::string proxyUser;
    std::string proxyPassword;
    // Socket options; the library's defaults unless given.
    bool noDelay = true;
    bool keepAliveOff = false;
    DWORD keepAliveSeconds = 0; // 0: the library's times
    DWORD keepAliveCount = YNet2::TCPClient::kKeepAliveCount;
};

// Whole lines from any thread.
class Output {
public:
    Output() { InitializeCriticalSection(&m_Lock); }
    ~Output() { DeleteCriticalSection(&m_Lock); }
    void Line(FILE* stream, const std::string& line) {
        EnterCriticalSection(&m_Lock);
        std::fputs(line.c_str(), stream);
        std::fputc('\n', stream);
        std::fflush(stream);
        LeaveCriticalSection(&m_Lock);
    }

private:
    CRITICAL_SECTION m_Lock;
};

Output g_Out;

// The library's log lines, in the tool's form.
void LogToStderr(const char* line, void*) {
    g_Out.Line(stderr, std::string("ynet-cat: library: ") + line);
}

LONG Read(const LONG volatile& value) {
    return InterlockedCompareExchange(const_cast<LONG volatile*>(&value), 0, 0);
}

// Asked, when a connection is cut, whether the peer ended it.
class PeerProbe {
public:
    virtual ~PeerProbe() = default;
    // Receive thread, from ConnectionCut (before the client closes its
    // socket): true when the peer ended the connection (the end of the
    // stream, a reset, or a socket error already closed the socket); false
    // when the peer is still connected, so the client itself cut it.
    virtual bool PeerEnded() = 0;
};

// A client (direct or through a proxy) that can tell, when its connection
// is cut, whether the peer ended it. The library cuts without a word when a
// head announces more than a message can hold; the peer is still there then.
template <class Client> class CatClient : public Client, public PeerProbe {
public:
    explicit CatClient(YNet2::MsgWorker* worker) : Client(worker) {}
    ~CatClient() override { this->EndReceiveThread(); }

    bool PeerEnded() override {
        const SOCKET handle = this->BeginSocketUse();
        if (handle == INVALID_SOCKET)
            return true;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(handle, &readable);
        timeval now{0, 0};
        bool ended = true;
        const int ready = select(0, &readable, nullptr, nullptr, &now);
        if (ready == 0) {
            ended = false; // nothing to read, no end of stream: the peer is there
        } else if (ready > 0) {
            char byte = 0;
            ended = recv(handle, &byte, 1, MSG_PEEK) <= 0; // bytes still coming: the peer is there
        }
        if (!this->EndSocketUse(handle))
            ended = true;
        return ended;
    }
};

// Runs on the connection's receive thread. What it prints goes through the
// main thread's queue, behind the notifications posted before it.
class CatWorker : public YNet2::MsgWorker {
public:
    CatWorker(HWND window, bool hex, const LONG volatile* sent)
        : MsgWorker(window, kNotify), m_Hex(hex), m_Client(nullptr), m_Sent(sent), m_Received(0), m_Cut(0),
          m_ClientCut(0) {}

    void Watch(PeerProbe* client) { m_Client = client; }

    LONG HandleMessage(void* message, int length, void*, void*) override {
        auto* line =
            new std::string("recv: " + YNet2Tools::DescribeMessage(static_cast<const BYTE*>(message), length, m_Hex));
        // The sender counts a line before sending it, so its reply always
        // finds it counted.
        if (Read(m_Received) < Read(*m_Sent))
            InterlockedIncrement(&m_Received);
        if (!PostMessageA(m_Window, kReceived, 0, reinterpret_cast<LPARAM>(line))) {
            g_Out.Line(stdout, *line);
            delete line;
        }
        return 0;
    }
    LONG ConnectionCut(void*) override {
        if (m_Client != nullptr && !m_Client->PeerEnded())
            InterlockedExchange(&m_ClientCut, 1);
        InterlockedExchange(&m_Cut, 1);
        PostMessageA(m_Window, kWake, 0, 0);
        return 0;
    }
    LONG ConnectionAccept(void*) override { return 0; }

    LONG Received() const { return Read(m_Received); }
    bool Cut() const { return Read(m_Cut) != 0; }
    // The cut was the client's: the peer was still connected.
    bool ClientCut() const { return Read(m_ClientCut) != 0; }

private:
    bool m_Hex;
    PeerProbe* m_Client;
    const LONG volatile* m_Sent; // lines sent so far (the reader's count)
    LONG volatile m_Received;    // replies: messages that came while a line awaited one
    LONG volatile m_Cut;
    LONG volatile m_ClientCut;
};

struct Reader {
    YNet2::TCPClient* client;
    const Options* options;
    HWND window;
    LONG volatile* sent;   // lines sent, shared with the worker
    LONG volatile tooLong; // lines not sent: longer than a message body holds
};

// Reads standard input line by line and sends each line as one message.
DWORD WINAPI ReadAndSend(LPVOID parameter) {
    auto* reader = static_cast<Reader*>(parameter);
    const Options& options = *reader->options;
    std::string line;
    int number = 0;
    for (;;) {
        line.clear();
        int ch = 0;
        while ((ch = std::getc(stdin)) != EOF && ch != '\n')
            line.push_back(static_cast<char>(ch));
        if (ch == EOF && line.empty())
            break;
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (static_cast<int>(line.size()) > kMaxBody) {
            g_Out.Line(stderr, "ynet-cat: line " + std::to_string(number) + " has " + std::to_string(line.size()) +
                                   " bytes, more than the " + std::to_string(kMaxBody) +
                                   " a message body holds; not sent");
            InterlockedIncrement(&reader->tooLong);
            continue;
        }
        // A fresh buffer for every message: SendMsg scrambles the body in place.
        const int length = YNet2::YNetMsgHead::HeadSize + static_cast<int>(line.size());
        std::vector<BYTE> message(static_cast<size_t>(length));
        YNet2::YNetMsgHead head;
        head.SetHead(static_cast<WORD>(length), static_cast<BYTE>(options.mainId), static_cast<BYTE>(options.assistId),
                     options.request, options.respond, false);
        std::memcpy(message.data(), &head, sizeof(head));
        std::memcpy(message.data() + sizeof(head), line.data(), line.size());
        InterlockedIncrement(reader->sent);
        if (reader->client->SendMsg(nullptr, message.data(), length) != length) {
            PostMessageA(reader->window, kReaderDone, 0, 0);
            return 1;
        }
    }
    PostMessageA(reader->window, kReaderDone, 1, 0);
    return 0;
}

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: ynet-cat [--main N] [--assist N] [--request] [--respond] [--hex] [--wait-ms N]\n"
                 "                [--proxy URL] [--proxy-user USER:PASSWORD] [--keepalive-time S] [--keepalive-cnt N]\n"
                 "                [--no-keepalive] [--tcp-nodelay | --no-tcp-nodelay] HOST:PORT\n"
                 "  --main N      main ID of the messages sent, 0-63 (default 1)\n"
                 "  --assist N    assistant ID, 0-255 (default 0)\n"
                 "  --request     set the request flag\n"
                 "  --respond     set the respond flag\n"
                 "  --hex         print received bodies as hexadecimal bytes\n"
                 "  --wait-ms N   after the input ends, wait at most N ms for the replies (default 5000)\n"
                 "  --proxy URL   connect through a SOCKS proxy: socks5://[USER:PASSWORD@]HOST:PORT\n"
                 "                or socks4://HOST:PORT (USER and PASSWORD may be %%-encoded);\n"
                 "                socks5h:// and socks4a:// let the proxy resolve the server's name\n"
                 "  --proxy-user USER:PASSWORD  the SOCKS5 proxy's user name and password\n"
                 "  --keepalive-time S  TCP keepalive: first probe after S seconds of silence, then one\n"
                 "                every S seconds (default 60, then 10)\n"
                 "  --keepalive-cnt N   probes unanswered before the connection is cut, 1-127 (default 6)\n"
                 "  --no-keepalive      no TCP keepalive\n"
                 "  --no-tcp-nodelay    let the system delay small messages (Nagle); --tcp-nodelay: not (default)\n"
                 "Each line of standard input is sent as one message. HOST is a name, a dotted IPv4\n"
                 "address or a bracketed IPv6 literal ([::1]:7000, through a SOCKS5 proxy only); the\n"
                 "proxy's HOST is a dotted IPv4 address or localhost.\n");
}

// HOST:PORT with HOST four dotted numbers of 0-255 (or localhost) and PORT
// 1-65535, checked here because Str2Addr reads any text without complaint.
bool ParseTarget(const std::string& text, YNet2::YSocketAddr& address) {
    std::string canonical = text;
    if (canonical.rfind("localhost:", 0) == 0)
        canonical = "127.0.0.1" + canonical.substr(9);
    const char* p = canonical.c_str();
    for (int part = 0; part < 5; ++part) {
        if (*p < '0' || *p > '9')
            return false;
        DWORD value = 0;
        int digits = 0;
        while (*p >= '0' && *p <= '9' && digits < 6) {
            value = value * 10 + static_cast<DWORD>(*p++ - '0');
            ++digits;
        }
        if (part < 4 && value > 255)
            return false;
        if (part == 4 && (value == 0 || value > 65535))
            return false;
        const char separator = part < 3 ? '.' : part == 3 ? ':' : '\0';
        if (*p != separator)
            return false;
        if (separator != '\0')
            ++p;
    }
    address = YNet2::YSocketAddr{};
    std::vector<char> writable(canonical.begin(), canonical.end());
    writable.push_back('\0');
    YNet2::Str2Addr(address, writable.data());
    // Str2Addr leaves the family alone and keeps the port in host order.
    address.sin_family = AF_INET;
    address.sin_port = htons(address.sin_port);
    return true;
}

// USER:PASSWORD into the options.
bool ParseCredentials(const std::string& text, Options& options) {
    YNet2Tools::ProxyUrl proxy;
    if (!YNet2Tools::ParseCredentials(text, proxy))
        return false;
    options.proxyCredentials = true;
    options.proxyUser = proxy.user;
    options.proxyPassword = proxy.password;
    return true;
}

// socks5://, socks5h://, socks4:// or socks4a:// (curl's meanings), with
// [USER:PASSWORD@] for SOCKS5. The address itself is checked later.
bool ParseProxy(const std::string& url, Options& options) {
    YNet2Tools::ProxyUrl proxy;
    if (!YNet2Tools::ParseProxyUrl(url, proxy))
        return false;
    options.proxyType = proxy.type;
    options.proxyResolves = proxy.proxyResolves;
    options.proxy = proxy.address;
    if (proxy.credentials) {
        options.proxyCredentials = true;
        options.proxyUser = proxy.user;
        options.proxyPassword = proxy.password;
    }
    return true;
}

// The last line the library logged, kept while a connection is made so that
// a refusal can be told in words.
void KeepLastLine(const char* line, void* context) {
    *static_cast<std::string*>(context) = line;
}

const char* ConnectErrorText(int error) {
    switch (error) {
    case WSAECONNREFUSED:
        return "connection refused";
    case WSAETIMEDOUT:
        return "timed out";
    case WSAENETUNREACH:
        return "network unreachable";
    case WSAEHOSTUNREACH:
        return "host unreachable";
    case WSAEADDRNOTAVAIL:
        return "address not available";
    case WSAHOST_NOT_FOUND:
        return "host not found";
    default:
        return "connect failed";
    }
}

const char* NotificationText(WPARAM code) {
    switch (code) {
    case 1:
        return "notify: connected";
    case 2:
        return "notify: receive thread started";
    case 3:
        return "notify: receive thread ended";
    default:
        return "notify: unknown";
    }
}

// Handles every message waiting in the main thread's queue.
void Pump(bool& readerDone, bool& sendFailed) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == kNotify) {
            g_Out.Line(stdout, NotificationText(message.wParam));
        } else if (message.message == kReceived) {
            auto* line = reinterpret_cast<std::string*>(message.lParam);
            g_Out.Line(stdout, *line);
            delete line;
        } else if (message.message == kReaderDone) {
            readerDone = true;
            sendFailed = message.wParam == 0;
        } else if (message.message != kWake) {
            DispatchMessageA(&message);
        }
    }
}

// Reads the command line into options. Returns -1 to go on, or the exit
// status: 0 after --help, 2 after a usage error (reported).
int ParseArgs(int argc, char** argv, Options& options, YNet2::YSocketTarget& target) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = true;
        if (arg == "--main") {
            ok = ParseNumber(next, 63, options.mainId);
            ++i;
        } else if (arg == "--assist") {
            ok = ParseNumber(next, 255, options.assistId);
            ++i;
        } else if (arg == "--wait-ms") {
            ok = ParseNumber(next, 3600000, options.waitMs);
            ++i;
        } else if (arg == "--keepalive-time") {
            ok = ParseNumber(next, 32767, options.keepAliveSeconds) && options.keepAliveSeconds > 0;
            ++i;
        } else if (arg == "--keepalive-cnt") {
            ok = ParseNumber(next, 127, options.keepAliveCount) && options.keepAliveCount > 0;
            ++i;
        } else if (arg == "--no-keepalive") {
            options.keepAliveOff = true;
        } else if (arg == "--tcp-nodelay" || arg == "--no-tcp-nodelay") {
            options.noDelay = arg == "--tcp-nodelay";
        } else if (arg == "--proxy" || arg == "--proxy-user") {
            const bool parsed =
                next != nullptr && (arg == "--proxy" ? ParseProxy(next, options) : ParseCredentials(next, options));
            ++i;
            if (!parsed) {
                std::fprintf(stderr, "ynet-cat: %s needs %s\n", arg.c_str(),
                             arg == "--proxy" ? "socks5://[USER:PASSWORD@]HOST:PORT, socks5h://..., "
                                                "socks4://HOST:PORT or socks4a://HOST:PORT"
                                              : "USER:PASSWORD");
                Usage(stderr);
                return 2;
            }
        } else if (arg == "--request") {
            options.request = true;
        } else if (arg == "--respond") {
            options.respond = true;
        } else if (arg == "--hex") {
            options.hex = true;
        } else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (!arg.empty() && arg[0] != '-' && options.target.empty()) {
            options.target = arg;
        } else {
            std::fprintf(stderr, "ynet-cat: unexpected argument %s\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "ynet-cat: %s needs a number in range\n", arg.c_str());
            Usage(stderr);
            return 2;
        }
    }
    if (options.target.empty()) {
        std::fprintf(stderr, "ynet-cat: no target: give the server as HOST:PORT\n");
        Usage(stderr);
        return 2;
    }
    std::string host;
    unsigned short port = 0;
    if (!YNet2Tools::ParseHostPort(options.target, host, port)) {
        std::fprintf(stderr, "ynet-cat: %s is not HOST:PORT (a name, a dotted IPv4 address or [IPv6], port 1-65535)\n",
                     options.target.c_str());
        Usage(stderr);
        return 2;
    }
    target = YNet2::YSocketTarget(host.c_str(), port);
    return -1;
}

// The socket options of the command line onto client.
void SetSocketOptions(YNet2::TCPClient& client, const Options& options) {
    client.SetNoDelay(options.noDelay);
    DWORD idle = 0, interval = 0, count = 0;
    client.GetKeepAlive(&idle, &interval, &count);
    if (options.keepAliveSeconds != 0)
        idle = interval = options.keepAliveSeconds * 1000;
    if (options.keepAliveOff)
        idle = 0;
    client.SetKeepAlive(idle, interval, options.keepAliveCount); // in range: checked while parsing
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    YNet2::YSocketTarget target;
    const int usage = ParseArgs(argc, argv, options, target);
    if (usage >= 0)
        return usage;
    YNet2::SetLogSink(LogToStderr, nullptr);

    YNet2::YSocketAddr proxyAddress{};
    if (options.proxyType != 0 && !ParseTarget(options.proxy, proxyAddress)) {
        std::fprintf(stderr, "ynet-cat: proxy %s is not HOST:PORT (a dotted IPv4 address or localhost, port 1-65535)\n",
                     options.proxy.c_str());
        return 2;
    }
    if (options.proxyCredentials && options.proxyType == YNet2::TCPClient_Socks5::SOCKS4) {
        std::fprintf(stderr, "ynet-cat: a SOCKS4 proxy takes no user name and password\n");
        return 2;
    }
    if (options.proxyCredentials && (options.proxyUser.size() > YNet2::TCPClient_Socks5::kMaxCredential ||
                                     options.proxyPassword.size() > YNet2::TCPClient_Socks5::kMaxCredential)) {
        std::fprintf(stderr, "ynet-cat: a proxy user name or password has at most %d bytes\n",
                     YNet2::TCPClient_Socks5::kMaxCredential);
        return 2;
    }

    if (YNet2::SocketInit() != 0) {
        std::fprintf(stderr, "ynet-cat: the socket stack did not start\n");
        return 2;
    }
    HWND window = CreateWindowExA(0, "STATIC", "ynet-cat", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    if (window == nullptr) {
        std::fprintf(stderr, "ynet-cat: no window for the notifications (error %lu)\n",
                     static_cast<unsigned long>(GetLastError()));
        YNet2::SocketRelease();
        return 2;
    }

    LONG volatile sent = 0;
    CatWorker worker(window, options.hex, &sent);
    std::unique_ptr<YNet2::TCPClient> connection;
    LONG connected;
    if (options.proxyType == 0) {
        auto direct = std::make_unique<CatClient<YNet2::TCPClient>>(&worker);
        worker.Watch(direct.get());
        SetSocketOptions(*direct, options);
        connected = direct->Init(target);
        connection = std::move(direct);
    } else {
        auto socks = std::make_unique<CatClient<YNet2::TCPClient_Socks5>>(&worker);
        worker.Watch(socks.get());
        SetSocketOptions(*socks, options);
        const char* user = options.proxyCredentials ? options.proxyUser.c_str() : nullptr;
        const char* password = options.proxyCredentials ? options.proxyPassword.c_str() : nullptr;
        std::string why;
        YNet2::SetLogSink(KeepLastLine, &why);
        connected = socks->Init(
            target, static_cast<YNet2::TCPClient_Socks5::_SOCKS_TYPE>(options.proxyType), &proxyAddress, user, password,
            options.proxyResolves ? YNet2::TCPClient_Socks5::RESOLVE_BY_PROXY : YNet2::TCPClient_Socks5::RESOLVE_LOCAL);
        const int error = WSAGetLastError();
        YNet2::SetLogSink(LogToStderr, nullptr);
        connection = std::move(socks);
        if (connected != 0) {
            // "TCPClient_Socks5::Init() socks5 connect fail! (...)": the step and the proxy's answer.
            // "TCPClient_Socks5::Init() connect fail!": the proxy itself is not there.
            if (why == "TCPClient_Socks5::Init() connect fail!")
                why = "() the proxy cannot be reached: " + std::string(ConnectErrorText(error)) + " (error " +
                      std::to_string(error) + ")";
            const size_t words = why.find("() ");
            std::fprintf(stderr, "ynet-cat: cannot connect to %s through the %s proxy %s: %s\n", options.target.c_str(),
                         options.proxyType == YNet2::TCPClient_Socks5::SOCKS4 ? "SOCKS4" : "SOCKS5",
                         options.proxy.c_str(), words == std::string::npos ? why.c_str() : why.c_str() + words + 3);
            connection.reset();
            DestroyWindow(window);
            YNet2::SocketRelease();
            return 2;
        }
    }
    YNet2::TCPClient& client = *connection;
    if (connected != 0) {
        // The library logs the error code; it may also still be the last error.
        const int error = WSAGetLastError();
        if (error != 0)
            std::fprintf(stderr, "ynet-cat: cannot connect to %s: %s (error %d)\n", options.target.c_str(),
                         ConnectErrorText(error), error);
        else
            std::fprintf(stderr, "ynet-cat: cannot connect to %s\n", options.target.c_str());
        DestroyWindow(window);
        YNet2::SocketRelease();
        return 2;
    }
    g_Out.Line(stdout, "connected to " + options.target +
                           (options.proxyType == 0 ? std::string() : " through the proxy " + options.proxy));

    Reader reader{&client, &options, window, &sent, 0};
    HANDLE readerThread = CreateThread(nullptr, 0, ReadAndSend, &reader, 0, nullptr);
    if (readerThread == nullptr) {
        std::fprintf(stderr, "ynet-cat: cannot start the input thread\n");
        client.Wait_Release();
        DestroyWindow(window);
        YNet2::SocketRelease();
        return 2;
    }

    // Waits until everything sent is answered after the input ended, or
    // the connection is cut, or a send failed, or time runs out.
    bool readerDone = false;
    bool sendFailed = false;
    DWORD endedAt = 0; // when the input ended, or when the peer cut with nothing unanswered
    bool timing = false;
    int status = 0;
    std::string verdict;
    for (;;) {
        Pump(readerDone, sendFailed);
        const LONG sentNow = Read(sent);
        const LONG received = worker.Received();
        // The client's own cut comes first: a send it made fail is part of it.
        if (worker.ClientCut()) {
            status = 1;
            verdict = "ynet-cat: the server sent a message head announcing more than the 1440-byte limit;"
                      " the client refused it and cut the connection";
            break;
        }
        if (sendFailed) {
            status = 1;
            verdict = worker.Cut() ? "ynet-cat: the connection was cut by the peer; a message could not be sent"
                                   : "ynet-cat: the connection was cut; a message could not be sent";
            break;
        }
        if (readerDone && received >= sentNow)
            break; // all answered (a cut after that is the peer's normal end)
        if (worker.Cut() && (received < sentNow || !readerDone)) {
            if (received < sentNow) {
                status = 1;
                verdict = "ynet-cat: the connection was cut by the peer with " + std::to_string(sentNow - received) +
                          " message(s) unanswered";
                break;
            }
            // Everything sent so far is answered: give the input a moment to
            // end (piped input) before calling the cut an error.
        }
        if ((readerDone || worker.Cut()) && !timing) {
            timing = true;
            endedAt = GetTickCount();
        }
        DWORD timeout = INFINITE;
        if (timing) {
            const DWORD spent = GetTickCount() - endedAt;
            if (spent >= options.waitMs) {
                if (!readerDone) {
                    status = 1;
                    verdict = "ynet-cat: the connection was cut by the peer";
                } else {
                    status = 3;
                    verdict = "ynet-cat: " + std::to_string(sentNow - received) + " of " + std::to_string(sentNow) +
                              " repl" + (sentNow - received == 1 ? "y" : "ies") + " still missing after " +
                              std::to_string(options.waitMs) + " ms";
                }
                break;
            }
            timeout = options.waitMs - spent;
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, timeout, QS_ALLPOSTMESSAGE);
    }

    client.Wait_Release();
    Pump(readerDone, sendFailed); // the receive thread's last notification
    g_Out.Line(stdout, "sent " + std::to_string(Read(sent)) + ", received " + std::to_string(worker.Received()));
    const LONG tooLong = Read(reader.tooLong);
    if (verdict.empty() && tooLong > 0) {
        status = 1;
        verdict = "ynet-cat: " + std::to_string(tooLong) + " line(s) too long to send";
    }
    if (!verdict.empty())
        g_Out.Line(stderr, verdict);

    if (!readerDone) {
        // The reader is blocked on standard input and may stay so: end the
        // process without waiting for it (it holds the client).
        std::fflush(stdout);
        std::fflush(stderr);
        std::_Exit(status);
    }
    WaitForSingleObject(readerThread, INFINITE);
    CloseHandle(readerThread);
    DestroyWindow(window);
    YNet2::SocketRelease();
    return status;
}

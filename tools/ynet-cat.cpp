// ynet-cat: a command-line client of the library.
//
//   ynet-cat [--main N] [--assist N] [--request] [--respond] [--hex] [--wait-ms N]
//            [--connect-timeout SECONDS] [--proxy URL] [--proxy-user USER:PASSWORD]
//            [--keepalive-time SECONDS] [--keepalive-cnt N] [--no-keepalive] [--tcp-nodelay | --no-tcp-nodelay]
//            HOST:PORT
//
// The socket options have curl's names: --keepalive-time sets keepalive's
// idle time and the time between probes, --keepalive-cnt the probes. Without
// them the library's defaults hold (keepalive on, TCP_NODELAY on).
//
// HOST:PORT: a name, a dotted IPv4 address or a bracketed IPv6 literal
// (YSocketTarget::Parse). URL: socks4://, socks4a://, socks5://, socks5h://
// or http://, read as curl reads them (ProxyUrl); socks5:// and socks4://
// resolve the name here, the others send it to the proxy. The last --proxy
// replaces any before it whole, credentials included; --proxy-user gives
// the credentials in place of the URL's, wherever it stands.
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
// too long to send; 2 bad usage or no connection (a proxy's refusal, and a
// connect or handshake that --connect-timeout ended, included); 3 replies
// still missing after --wait-ms.
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
#include "socket/ProxyUrl.h"
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
    DWORD connectTimeoutMs = 30000; // the lookup, the connects and the proxy's handshake together
    std::string target;
    YNet2::ProxyUrl proxy; // NONE: direct
    std::string proxyName; // "SOCKS5 proxy 127.0.0.1:1080", for messages
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
                 "  --connect-timeout SECONDS  bound on connecting: the lookup, every connect and\n"
                 "                the proxy's handshake together (default 30; 0: none; e.g. 2.5)\n"
                 "  --proxy URL   connect through a proxy, as curl reads URL:\n"
                 "                  socks5://[USER[:PASSWORD]@]HOST[:PORT]   the server's name resolved here\n"
                 "                  socks5h://[USER[:PASSWORD]@]HOST[:PORT]  the name resolved by the proxy\n"
                 "                  socks4://HOST[:PORT]    socks4a://HOST[:PORT]  (likewise; no credentials)\n"
                 "                  http://[USER[:PASSWORD]@]HOST[:PORT]     HTTP CONNECT, the proxy resolves\n"
                 "                PORT is 1080 when left out; USER and PASSWORD are %%-encoded where they\n"
                 "                hold ':', '@', '/' or other bytes; HOST is a name or a.b.c.d. The last\n"
                 "                --proxy replaces any before it, credentials included\n"
                 "  --proxy-user USER:PASSWORD  the proxy's user name and password (%%-encoded), in\n"
                 "                place of the URL's\n"
                 "  --keepalive-time S  TCP keepalive: first probe after S seconds of silence, then one\n"
                 "                every S seconds (default 60, then 10)\n"
                 "  --keepalive-cnt N   probes unanswered before the connection is cut, 1-127 (default 6)\n"
                 "  --no-keepalive      no TCP keepalive\n"
                 "  --no-tcp-nodelay    let the system delay small messages (Nagle); --tcp-nodelay: not (default)\n"
                 "Each line of standard input is sent as one message. HOST is a name, a dotted IPv4\n"
                 "address (a.b.c.d, no leading zeros) or a bracketed IPv6 literal ([::1]:7000, through\n"
                 "a socks5://, socks5h:// or http:// proxy only).\n"
                 "Exit status: 0 done; 1 cut, a send failed or a line too long; 2 bad usage or no\n"
                 "connection (a proxy's refusal or --connect-timeout included); 3 replies missing.\n");
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
    std::string proxyText;
    std::string userText;
    bool proxyGiven = false;
    bool userGiven = false;
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
        } else if (arg == "--connect-timeout") {
            ok = YNet2Tools::ParseSeconds(next, 3600000, options.connectTimeoutMs);
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
            ok = next != nullptr;
            (arg == "--proxy" ? proxyText : userText) = next != nullptr ? next : "";
            (arg == "--proxy" ? proxyGiven : userGiven) = true;
            ++i;
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
            std::fprintf(stderr, "ynet-cat: %s needs %s\n", arg.c_str(),
                         arg == "--proxy"        ? "a URL"
                         : arg == "--proxy-user" ? "USER:PASSWORD"
                                                 : "a number in range");
            Usage(stderr);
            return 2;
        }
    }
    if (options.target.empty()) {
        std::fprintf(stderr, "ynet-cat: no target: give the server as HOST:PORT\n");
        Usage(stderr);
        return 2;
    }
    // The library's own reading of both, and its own refusals, before
    // anything is sent.
    char why[2 * YNet2::YSocketTarget::kMaxName];
    target = YNet2::YSocketTarget::Parse(options.target.data(), options.target.size());
    const char* refused = nullptr;
    const char* option = "";
    if (target.Refused(why, sizeof why)) {
        refused = why;
    } else if (proxyGiven && !options.proxy.Parse(proxyText.data(), proxyText.size())) {
        refused = options.proxy.Why();
        option = "--proxy: ";
    } else if (userGiven && options.proxy.GetScheme() == YNet2::ProxyUrl::NONE) {
        refused = "--proxy-user needs --proxy";
    } else if (userGiven && !options.proxy.SetCredentials(userText.data(), userText.size())) {
        refused = options.proxy.Why();
        option = "--proxy-user: ";
    }
    if (refused != nullptr) {
        std::fprintf(stderr, "ynet-cat: %s%s\n", option, refused);
        Usage(stderr);
        return 2;
    }
    if (options.proxy.GetScheme() != YNet2::ProxyUrl::NONE) {
        const YNet2::ProxyUrl::Scheme scheme = options.proxy.GetScheme();
        char address[YNet2::YSocketTarget::kMaxName + 16];
        options.proxy.GetProxy().Authority(address, sizeof address);
        options.proxyName =
            std::string(scheme == YNet2::ProxyUrl::HTTP                                           ? "HTTP"
                        : scheme == YNet2::ProxyUrl::SOCKS4 || scheme == YNet2::ProxyUrl::SOCKS4A ? "SOCKS4"
                                                                                                  : "SOCKS5") +
            " proxy " + address;
    }
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
    if (options.proxy.GetScheme() == YNet2::ProxyUrl::NONE) {
        auto direct = std::make_unique<CatClient<YNet2::TCPClient>>(&worker);
        worker.Watch(direct.get());
        direct->SetConnectTimeout(options.connectTimeoutMs);
        SetSocketOptions(*direct, options);
        connected = direct->Init(target);
        connection = std::move(direct);
    } else {
        auto socks = std::make_unique<CatClient<YNet2::TCPClient_Socks5>>(&worker);
        worker.Watch(socks.get());
        socks->SetConnectTimeout(options.connectTimeoutMs);
        SetSocketOptions(*socks, options);
        std::string why;
        YNet2::SetLogSink(KeepLastLine, &why);
        connected = socks->Init(target, options.proxy);
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
            // WSAETIMEDOUT: the bound ran out.
            const bool timedOut = why.find("0x274c") != std::string::npos;
            std::fprintf(stderr, "ynet-cat: cannot connect to %s through the %s: %s%s\n", options.target.c_str(),
                         options.proxyName.c_str(), words == std::string::npos ? why.c_str() : why.c_str() + words + 3,
                         timedOut ? " (timed out: see --connect-timeout)" : "");
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
                           (options.proxyName.empty() ? std::string() : " through the " + options.proxyName));

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

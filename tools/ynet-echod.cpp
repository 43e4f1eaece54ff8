// ynet-echod: an echo server for the library's wire format, on 127.0.0.1
// (or the address given with --listen, e.g. ::1).
//
// Every message it receives is unscrambled, shown and sent back scrambled.
// Its first line on stdout is "port N", the port it listens on, so that a
// script can start it on an ephemeral port and read where to connect. It
// runs until SIGINT or SIGTERM, or with --stdin-stop until its standard
// input ends, then stops cleanly and prints a summary line.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "framework/Log.h"
#include "platform/WinApi.h"
#include "tools/EchoServer.h"
#include "tools/MessageText.h"
#include "tools/ToolArgs.h"

using namespace YNet2Tools;

namespace {

volatile std::sig_atomic_t g_Signalled = 0;
void OnSignal(int) {
    g_Signalled = 1;
}

// The library's log lines, in the tool's form.
void LogToStderr(const char* line, void*) {
    std::fprintf(stderr, "ynet-echod: library: %s\n", line);
}

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: ynet-echod [options]\n"
                 "  --port N          listen on port N (default 0: an ephemeral port)\n"
                 "  --listen ADDRESS  listen on ADDRESS, an IPv4 or IPv6 literal (default 127.0.0.1; ::1 allowed)\n"
                 "  --close-after N   close each connection after echoing N messages\n"
                 "  --reset           make the server's closes resets (the client reads error 10054): those of\n"
                 "                    --close-after, and those of connections still open when it stops\n"
                 "  --head-only       send each client a head-only message (04 00 06 00)\n"
                 "  --oversized       send each client a message whose head announces 1441 bytes\n"
                 "  --extra-after N   send that message after the Nth echo (default 0: on accept)\n"
                 "  --quiet           print only the port line and the summary\n"
                 "  --stdin-stop      stop when standard input ends (as well as on SIGINT/SIGTERM)\n"
                 "The first line on stdout is \"port N\".\n");
}

// Prints the server's events, one whole line at a time, from any thread.
class Printer : public EchoObserver {
public:
    explicit Printer(bool quiet) : m_Quiet(quiet) { InitializeCriticalSection(&m_Lock); }
    ~Printer() override { DeleteCriticalSection(&m_Lock); }

    void Line(const std::string& line) {
        EnterCriticalSection(&m_Lock);
        std::fputs(line.c_str(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
        LeaveCriticalSection(&m_Lock);
    }

    void OnAccepted(DWORD connection, ULONG address, WORD port) override {
        if (!m_Quiet)
            Line("accepted " + std::to_string(connection) + " from " + DescribeAddress(address, port));
    }
    void OnMessage(DWORD connection, const BYTE* message, int length) override {
        if (!m_Quiet)
            Line("message " + std::to_string(connection) + " " + DescribeMessage(message, length, false));
    }
    void OnClosed(DWORD connection, const char* reason) override {
        if (!m_Quiet)
            Line("closed " + std::to_string(connection) + ": " + reason);
    }

private:
    bool m_Quiet;
    CRITICAL_SECTION m_Lock;
};

DWORD WINAPI WatchStdin(LPVOID stopEvent) {
    char buffer[256];
    while (std::fgets(buffer, sizeof(buffer), stdin) != nullptr) {
    }
    SetEvent(static_cast<HANDLE>(stopEvent));
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    EchoOptions options;
    DWORD port = 0;
    bool quiet = false;
    bool stdinStop = false;
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = true;
        if (std::strcmp(arg, "--port") == 0) {
            ok = ParseNumber(next, 65535, port);
            ++i;
        } else if (std::strcmp(arg, "--listen") == 0) {
            options.listen = next;
            ok = next != nullptr;
            ++i;
        } else if (std::strcmp(arg, "--close-after") == 0) {
            ok = ParseNumber(next, 0xFFFFFFFFu, options.closeAfter);
            ++i;
        } else if (std::strcmp(arg, "--extra-after") == 0) {
            ok = ParseNumber(next, 0xFFFFFFFFu, options.extraAfter);
            ++i;
        } else if (std::strcmp(arg, "--reset") == 0) {
            options.reset = true;
        } else if (std::strcmp(arg, "--head-only") == 0) {
            options.extra = EchoExtra::HeadOnly;
        } else if (std::strcmp(arg, "--oversized") == 0) {
            options.extra = EchoExtra::Oversized;
        } else if (std::strcmp(arg, "--quiet") == 0) {
            quiet = true;
        } else if (std::strcmp(arg, "--stdin-stop") == 0) {
            stdinStop = true;
        } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
            Usage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "ynet-echod: unknown option %s\n", arg);
            Usage(stderr);
            return 2;
        }
        if (!ok) {
            std::fprintf(stderr, "ynet-echod: %s needs %s\n", arg,
                         std::strcmp(arg, "--listen") == 0 ? "an address" : "a number in range");
            Usage(stderr);
            return 2;
        }
    }

    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 0), &data) != 0) {
        std::fprintf(stderr, "ynet-echod: the socket stack did not start\n");
        return 1;
    }
    YNet2::SetLogSink(LogToStderr, nullptr);
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);

    Printer printer(quiet);
    LONG accepted = 0;
    LONG echoed = 0;
    {
        EchoServer server(options, &printer);
        const LONG started = server.Start(static_cast<WORD>(port));
        if (started != 0) {
            std::fprintf(stderr, "ynet-echod: cannot listen on %s port %u (error %ld)\n",
                         options.listen != nullptr ? options.listen : "127.0.0.1", static_cast<unsigned>(port),
                         static_cast<long>(started));
            WSACleanup();
            return 1;
        }
        printer.Line("port " + std::to_string(server.Port()));

        HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        if (stdinStop) {
            // Left running if a signal ends the server first: it is blocked
            // reading and ends with the process.
            HANDLE watcher = CreateThread(nullptr, 64 * 1024, WatchStdin, stop, 0, nullptr);
            if (watcher != nullptr)
                CloseHandle(watcher);
        }
        // Signal handlers may only set a flag: look at it a few times a second.
        while (g_Signalled == 0 && WaitForSingleObject(stop, 100) == WAIT_TIMEOUT) {
        }
        server.Stop();
        accepted = server.Accepted();
        echoed = server.Echoed();
        if (!stdinStop)
            CloseHandle(stop); // the watcher, if any, may still hold it
    }
    printer.Line("stopped: " + std::to_string(accepted) + " connection(s), " + std::to_string(echoed) +
                 " message(s) echoed");
    WSACleanup();
    return 0;
}

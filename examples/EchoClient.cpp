// EchoClient: the smallest complete YonderNetC application.
//
//   EchoClient 127.0.0.1:PORT      (for instance the port ynet-echod prints)
//
// A worker derived from MsgWorker, a message-only window for the
// notifications, a TCPClient that connects, sends one message and receives
// its echo in the worker, then releases.
#include <YNet2.h>

#include <cstdio>
#include <cstring>

constexpr UINT WM_NET = WM_APP + 1;  // the library's notifications: wParam 1, 2, 3
constexpr UINT WM_ECHO = WM_APP + 2; // our own: the echo has arrived

// The receive thread calls the worker; the window thread reads the notifications.
class EchoWorker : public YNet2::MsgWorker {
public:
    explicit EchoWorker(HWND window) : MsgWorker(window, WM_NET) {}

    // Receive thread: one whole message, its body already unscrambled. The
    // window thread prints it, so it appears in order with the notifications.
    LONG HandleMessage(void* message, int length, void* /*connection*/, void* /*kernel*/) override {
        const auto* head = static_cast<const YNet2::YNetMsgHead*>(message);
        std::snprintf(m_Echo, sizeof(m_Echo), "echo: main %u, assistant %u, %d bytes: %.*s", head->GetMainID(),
                      head->GetAssistantID(), length, length - 4, static_cast<const char*>(message) + 4);
        PostMessageA(m_Window, WM_ECHO, 0, 0);
        return 0; // keep receiving
    }
    LONG ConnectionCut(void* /*connection*/) override { return 0; }
    LONG ConnectionAccept(void* /*connection*/) override { return 0; }

    char m_Echo[160] = ""; // written before WM_ECHO is posted, read once it arrives
};

// Handles what the window's queue holds; true once the echo has arrived.
static bool ReadNotifications(const EchoWorker& worker) {
    static const char* const names[] = {"", "connected", "receive thread started", "receive thread ended"};
    bool echoed = false;
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_NET && msg.wParam >= 1 && msg.wParam <= 3)
            std::printf("notification %u: %s\n", static_cast<unsigned>(msg.wParam), names[msg.wParam]);
        else if (msg.message == WM_ECHO) {
            std::printf("%s\n", worker.m_Echo);
            echoed = true;
        }
    }
    return echoed;
}

int main(int argc, char** argv) {
    char target[32] = "127.0.0.1:7000";
    if (argc > 1)
        std::snprintf(target, sizeof(target), "%s", argv[1]);
    YNet2::YSocketAddr server{};
    YNet2::Str2Addr(server, target); // address and port, the port in host order
    server.sin_family = AF_INET;
    server.sin_port = htons(server.sin_port); // the socket calls want network order

    if (YNet2::SocketInit() != 0)
        return 1;
    HWND window = CreateWindowExA(0, "STATIC", "EchoClient", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    EchoWorker worker(window);
    YNet2::TCPClient client(&worker);
    if (client.Init(server) != 0) {
        std::printf("cannot connect to %s\n", target);
        DestroyWindow(window);
        YNet2::SocketRelease();
        return 1;
    }

    // Head (size, main ID, assistant ID, request, respond, ordinal), then the body.
    const char text[] = "hello, YonderNetC";
    const int length = 4 + static_cast<int>(std::strlen(text));
    unsigned char message[64];
    YNet2::YNetMsgHead head;
    head.SetHead(static_cast<WORD>(length), 1, 2, true, false, false);
    std::memcpy(message, &head, 4);
    std::memcpy(message + 4, text, static_cast<size_t>(length - 4));
    client.SendMsg(nullptr, message, length); // scrambles the body in place, then sends

    // The window thread's loop, bounded: at most 5 seconds for the echo.
    bool echoed = false;
    const DWORD start = GetTickCount();
    while (!echoed && GetTickCount() - start < 5000) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 100, QS_ALLPOSTMESSAGE);
        echoed = ReadNotifications(worker);
    }

    client.Wait_Release();     // close the socket, wait for the receive thread
    ReadNotifications(worker); // its last notification: receive thread ended
    DestroyWindow(window);
    YNet2::SocketRelease();
    std::printf(echoed ? "done\n" : "no echo within 5 s\n");
    return echoed ? 0 : 1;
}

#include "support/ClientHarness.h"

#include <chrono>

namespace YNetTest {

bool RunningUnderWine() {
#if defined(_WIN32)
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

bool IsReset(int result) {
    return result == WSAECONNRESET || (result == 0 && RunningUnderWine());
}

// ---------------------------------------------------------------- NotificationWindow

NotificationWindow::NotificationWindow()
    : m_Window(CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr)) {}

NotificationWindow::~NotificationWindow() {
    if (m_Window != nullptr)
        DestroyWindow(m_Window);
}

void NotificationWindow::Take(const MSG& message) {
    if (message.message == kNotifyMsg && message.lParam == 0)
        m_Seen.push_back(message.wParam);
}

std::vector<WPARAM> NotificationWindow::Drain() {
    MSG message;
    while (PeekMessageA(&message, m_Window, 0, 0, PM_REMOVE))
        Take(message);
    return m_Seen;
}

std::vector<WPARAM> NotificationWindow::Collect(size_t count, DWORD milliseconds) {
    DWORD start = GetTickCount();
    for (;;) {
        Drain();
        DWORD elapsed = GetTickCount() - start;
        if (m_Seen.size() >= count || elapsed >= milliseconds)
            return m_Seen;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, milliseconds - elapsed, QS_ALLINPUT);
    }
}

// ---------------------------------------------------------------- RecordingWorker

RecordingWorker::RecordingWorker(HWND window) : MsgWorker(window, kNotifyMsg) {}

void RecordingWorker::Record(const std::string& event) {
    std::lock_guard<std::mutex> hold(m_Mutex);
    m_Events.push_back(event);
    m_Changed.notify_all();
}

LONG RecordingWorker::HandleMessage(void* message, int length, void* connection, void* kernel) {
    auto* bytes = static_cast<const unsigned char*>(message);
    {
        std::lock_guard<std::mutex> hold(m_Mutex);
        lastConnection = connection;
        lastKernel = kernel;
        m_Messages.emplace_back(bytes, bytes + (length > 0 ? length : 0));
        m_Events.push_back("message");
        m_Changed.notify_all();
    }
    return onMessage ? onMessage(bytes, length, kernel) : 0;
}

LONG RecordingWorker::ConnectionCut(void* connection) {
    {
        std::lock_guard<std::mutex> hold(m_Mutex);
        cutConnection = connection;
    }
    Record("cut");
    if (onCut)
        onCut();
    return 0;
}

LONG RecordingWorker::ConnectionAccept(void* /*connection*/) {
    return 0;
}

LONG RecordingWorker::MsgThreadBegin(void* kernel) {
    {
        std::lock_guard<std::mutex> hold(m_Mutex);
        beginKernel = kernel;
    }
    Record("begin");
    return beginResult;
}

void RecordingWorker::MsgThreadEnd(void* kernel) {
    {
        std::lock_guard<std::mutex> hold(m_Mutex);
        endKernel = kernel;
    }
    Record("end");
    if (onEnd)
        onEnd();
}

bool RecordingWorker::WaitForEvent(const std::string& event, DWORD milliseconds) {
    std::unique_lock<std::mutex> hold(m_Mutex);
    return m_Changed.wait_for(hold, std::chrono::milliseconds(milliseconds), [&] {
        for (const std::string& seen : m_Events) {
            if (seen == event)
                return true;
        }
        return false;
    });
}

bool RecordingWorker::WaitForMessages(size_t count, DWORD milliseconds) {
    std::unique_lock<std::mutex> hold(m_Mutex);
    return m_Changed.wait_for(hold, std::chrono::milliseconds(milliseconds),
                              [&] { return m_Messages.size() >= count; });
}

std::vector<std::string> RecordingWorker::Events() {
    std::lock_guard<std::mutex> hold(m_Mutex);
    return m_Events;
}

std::vector<std::vector<unsigned char>> RecordingWorker::Messages() {
    std::lock_guard<std::mutex> hold(m_Mutex);
    return m_Messages;
}

size_t RecordingWorker::MessageCount() {
    std::lock_guard<std::mutex> hold(m_Mutex);
    return m_Messages.size();
}

// ---------------------------------------------------------------- ThreadExitProbe

namespace {

struct ExitSignal {
    ThreadExitProbe* probe = nullptr;
    ~ExitSignal() {
        if (probe != nullptr)
            probe->Signal();
    }
};

thread_local ExitSignal t_ExitSignal;

} // namespace

ThreadExitProbe::ThreadExitProbe()
    : m_Armed(CreateEventA(nullptr, TRUE, FALSE, nullptr)), m_Exited(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}

ThreadExitProbe::~ThreadExitProbe() {
    CloseHandle(m_Armed);
    CloseHandle(m_Exited);
    if (m_Thread != nullptr)
        CloseHandle(m_Thread);
}

void ThreadExitProbe::Arm() {
#if defined(_WIN32)
    m_Thread = OpenThread(SYNCHRONIZE, FALSE, GetCurrentThreadId());
#else
    t_ExitSignal.probe = this;
#endif
    SetEvent(m_Armed);
}

void ThreadExitProbe::Signal() {
    SetEvent(m_Exited);
}

bool ThreadExitProbe::WaitForExit(DWORD milliseconds) {
    DWORD start = GetTickCount();
    if (WaitForSingleObject(m_Armed, milliseconds) != WAIT_OBJECT_0)
        return false;
    DWORD elapsed = GetTickCount() - start;
    DWORD left = elapsed < milliseconds ? milliseconds - elapsed : 0;
    return WaitForSingleObject(m_Thread != nullptr ? m_Thread : m_Exited, left) == WAIT_OBJECT_0;
}

} // namespace YNetTest

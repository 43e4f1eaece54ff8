// Internal header. What a connection test observes: a recording MsgWorker,
// captured log lines and a message-only window that collects notifications.
//
// Every wait is bounded and answers false on time-out, so tests ASSERT on it.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "client/MsgWorker.h"
#include "platform/WinApi.h"
#include "support/LogCapture.h"

namespace YNetTest {

constexpr DWORD kWaitMs = 10000;

// Sanitizer builds and the Windows build (run under an emulator) are many
// times slower: iteration-heavy tests run fewer rounds there.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__) || defined(_WIN32)
constexpr bool kSlowBuild = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
constexpr bool kSlowBuild = true;
#else
constexpr bool kSlowBuild = false;
#endif
#else
constexpr bool kSlowBuild = false;
#endif

// A build whose code the CPU does not run itself: the 32-bit Linux build
// under qemu-i386 (tests/CMakeLists.txt). Its frames are those of a plain
// build; only its speed is a sanitizer build's.
#if defined(YNET_TESTS_EMULATED)
constexpr bool kEmulatedBuild = true;
#else
constexpr bool kEmulatedBuild = false;
#endif

// True under Wine, where every socket call goes through Wine's server
// process and costs far more again than in a native Windows build.
bool RunningUnderWine();

// Wine may hand a connection reset to its own socket machinery first; a
// recv issued after that sees the end of the stream (0) instead of
// WSAECONNRESET, unlike Windows. True when result is what a reader sees of
// a reset: WSAECONNRESET, or under Wine also 0.
bool IsReset(int result);

// The window message number of every notification in the tests.
constexpr ULONG kNotifyMsg = WM_APP + 7;

// A message-only window of the creating thread; Collect pumps that
// thread's queue.
class NotificationWindow {
public:
    NotificationWindow();
    ~NotificationWindow();
    NotificationWindow(const NotificationWindow&) = delete;
    NotificationWindow& operator=(const NotificationWindow&) = delete;

    HWND Handle() const { return m_Window; }
    // Waits until count notifications (kNotifyMsg) have arrived in total,
    // at most milliseconds; returns the wParams of all that arrived so far.
    std::vector<WPARAM> Collect(size_t count, DWORD milliseconds = kWaitMs);
    // The notifications already queued, without waiting.
    std::vector<WPARAM> Drain();

private:
    void Take(const MSG& message);
    HWND m_Window;
    std::vector<WPARAM> m_Seen;
};

// Records what a kernel tells it, in order, as "begin", "message", "cut",
// "end". The hooks run on the receive thread.
class RecordingWorker : public YNet2::MsgWorker {
public:
    explicit RecordingWorker(HWND window = nullptr);

    // Configuration, set before the connection starts.
    LONG beginResult = 0;
    // Called for each message after it was recorded; its result is the
    // handler's result. Null: 0.
    std::function<LONG(const unsigned char* message, int length, void* kernel)> onMessage;
    // Called inside ConnectionCut and MsgThreadEnd after recording, if set.
    std::function<void()> onCut;
    std::function<void()> onEnd;

    LONG HandleMessage(void* message, int length, void* connection, void* kernel) override;
    LONG ConnectionCut(void* connection) override;
    LONG ConnectionAccept(void* connection) override;
    LONG MsgThreadBegin(void* kernel) override;
    void MsgThreadEnd(void* kernel) override;

    bool WaitForEvent(const std::string& event, DWORD milliseconds = kWaitMs);
    bool WaitForMessages(size_t count, DWORD milliseconds = kWaitMs);

    std::vector<std::string> Events();
    std::vector<std::vector<unsigned char>> Messages();
    size_t MessageCount();
    // Connection and kernel arguments as the last HandleMessage saw them.
    void* lastConnection = reinterpret_cast<void*>(1);
    void* lastKernel = nullptr;
    void* beginKernel = nullptr;
    void* endKernel = nullptr;
    void* cutConnection = reinterpret_cast<void*>(1);

private:
    void Record(const std::string& event);
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::vector<std::string> m_Events;
    std::vector<std::vector<unsigned char>> m_Messages;
};

// Tells when the thread that called Arm has ended. On Windows it waits for
// the thread's own handle; elsewhere a thread-local object sets an event
// when the thread's storage is destroyed, after its body returned.
class ThreadExitProbe {
public:
    ThreadExitProbe();
    ~ThreadExitProbe();
    ThreadExitProbe(const ThreadExitProbe&) = delete;
    ThreadExitProbe& operator=(const ThreadExitProbe&) = delete;

    // Call on the thread to watch.
    void Arm();
    bool WaitForExit(DWORD milliseconds = kWaitMs);
    void Signal();

private:
    HANDLE m_Armed;  // set once Arm has run
    HANDLE m_Exited; // set by the thread-local object
    HANDLE m_Thread = nullptr;
};

} // namespace YNetTest

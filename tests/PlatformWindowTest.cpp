// Window messages through platform/WinApi.h: a message-only window of the
// test thread receives messages posted and sent from other threads. Runs
// against our POSIX layer and against the real Windows API alike.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "platform/WinApi.h"
#include "support/Loopback.h"

using YNetTest::WaitForMessage;

namespace {

constexpr DWORD kBoundedWait = 10000; // ms
constexpr UINT kNotify = WM_APP + 1;
constexpr UINT kQuery = WM_APP + 2;
constexpr UINT kOther = WM_APP + 3;

// What the window procedure saw; the procedure runs on the window's thread.
struct Seen {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD threadId;
};
std::vector<Seen> g_Seen;
int g_Destroyed = 0;
void* g_CreateParameter = nullptr;

LRESULT CALLBACK RecordingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        g_CreateParameter = reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams;
        return 0;
    case WM_DESTROY:
        ++g_Destroyed;
        return 0;
    case kNotify:
    case kQuery:
    case kOther:
        g_Seen.push_back(Seen{message, wParam, lParam, GetCurrentThreadId()});
        return static_cast<LRESULT>(wParam + lParam); // the answer a sender gets
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

const char kClassName[] = "YNetPlatformTestWindow";

// A registered class and one message-only window of it, on the test thread.
class TestWindow {
public:
    TestWindow() {
        g_Seen.clear();
        g_Destroyed = 0;
        WNDCLASSEXA windowClass{};
        windowClass.cbSize = sizeof(windowClass);
        windowClass.lpfnWndProc = RecordingProcedure;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = kClassName;
        registered = RegisterClassExA(&windowClass) != 0;
        static int parameter;
        handle = CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr),
                                 &parameter);
        createdWithParameter = g_CreateParameter == &parameter;
    }
    ~TestWindow() {
        if (handle != nullptr && IsWindow(handle))
            DestroyWindow(handle);
        UnregisterClassA(kClassName, GetModuleHandleA(nullptr));
    }
    bool registered;
    bool createdWithParameter;
    HWND handle;
};

struct Poster {
    HWND window;
    int count;
};

DWORD WINAPI PostNotifications(LPVOID parameter) {
    auto* poster = static_cast<Poster*>(parameter);
    for (int i = 1; i <= poster->count; ++i) {
        if (!PostMessageA(poster->window, kNotify, static_cast<WPARAM>(i), 0))
            return 1;
    }
    return 0;
}

HANDLE StartThread(LPTHREAD_START_ROUTINE routine, void* parameter) {
    return CreateThread(nullptr, 0, routine, parameter, 0, nullptr);
}

void Join(HANDLE thread) {
    EXPECT_EQ(WaitForSingleObject(thread, kBoundedWait), WAIT_OBJECT_0);
    CloseHandle(thread);
}

TEST(PlatformWindow, NotificationsPostedFromAnotherThreadArriveInOrder) {
    TestWindow window;
    ASSERT_TRUE(window.registered);
    ASSERT_NE(window.handle, nullptr);
    EXPECT_TRUE(window.createdWithParameter);

    Poster poster{window.handle, 3};
    HANDLE thread = StartThread(PostNotifications, &poster);
    for (WPARAM expected = 1; expected <= 3; ++expected) {
        MSG message;
        ASSERT_TRUE(WaitForMessage(window.handle, kNotify, kBoundedWait, &message));
        EXPECT_EQ(message.hwnd, window.handle);
        EXPECT_EQ(message.wParam, expected);
        EXPECT_EQ(message.lParam, 0);
        EXPECT_EQ(DispatchMessageA(&message), static_cast<LRESULT>(expected));
    }
    Join(thread);
    ASSERT_EQ(g_Seen.size(), 3u);
    EXPECT_EQ(g_Seen[2].wParam, 3u);
    EXPECT_EQ(g_Seen[0].threadId, GetCurrentThreadId()); // dispatched on the window's thread
}

TEST(PlatformWindow, PeekLeavesOrTakesAndFilters) {
    TestWindow window;
    ASSERT_NE(window.handle, nullptr);
    MSG message;
    EXPECT_FALSE(PeekMessageA(&message, window.handle, 0, 0, PM_REMOVE)); // empty
    ASSERT_TRUE(PostMessageA(window.handle, kOther, 9, 0));
    ASSERT_TRUE(PostMessageA(window.handle, kNotify, 5, 6));

    ASSERT_TRUE(PeekMessageA(&message, window.handle, kNotify, kNotify, PM_NOREMOVE));
    EXPECT_EQ(message.message, kNotify);
    ASSERT_TRUE(PeekMessageA(&message, window.handle, kNotify, kNotify, PM_REMOVE));
    EXPECT_EQ(message.lParam, 6);
    EXPECT_FALSE(PeekMessageA(&message, window.handle, kNotify, kNotify, PM_REMOVE));
    ASSERT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)); // no filter: the one left
    EXPECT_EQ(message.message, kOther);
    EXPECT_EQ(message.wParam, 9u);
    EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
}

struct Sender {
    HWND window;
    LRESULT answer;
    DWORD threadId;
};

DWORD WINAPI SendQuery(LPVOID parameter) {
    auto* sender = static_cast<Sender*>(parameter);
    sender->threadId = GetCurrentThreadId();
    sender->answer = SendMessageA(sender->window, kQuery, 40, 2);
    return 0;
}

TEST(PlatformWindow, MessageSentFromAnotherThreadRunsInTheWindowThread) {
    TestWindow window;
    ASSERT_NE(window.handle, nullptr);
    Sender sender{window.handle, -1, 0};
    HANDLE thread = StartThread(SendQuery, &sender);
    // The sender blocks until this thread looks at its queue.
    DWORD waited;
    while ((waited = MsgWaitForMultipleObjects(1, &thread, FALSE, kBoundedWait, QS_ALLINPUT)) == WAIT_OBJECT_0 + 1) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
    }
    ASSERT_EQ(waited, WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(sender.answer, 42);
    ASSERT_EQ(g_Seen.size(), 1u);
    EXPECT_EQ(g_Seen[0].message, kQuery);
    EXPECT_EQ(g_Seen[0].threadId, GetCurrentThreadId());
    EXPECT_NE(sender.threadId, GetCurrentThreadId());
}

// The wait of a thread that must not take its posted messages (they
// belong to its message loop) but must run the ones sent to it.
TEST(PlatformWindow, WaitForSentMessagesRunsThemAndLeavesPostedOnesQueued) {
    TestWindow window;
    ASSERT_NE(window.handle, nullptr);
    ASSERT_TRUE(PostMessageA(window.handle, kNotify, 5, 0));
    Sender sender{window.handle, -1, 0};
    HANDLE thread = StartThread(SendQuery, &sender);
    DWORD waited;
    do {
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    } while ((waited = MsgWaitForMultipleObjects(1, &thread, FALSE, kBoundedWait, QS_SENDMESSAGE)) ==
             WAIT_OBJECT_0 + 1);
    ASSERT_EQ(waited, WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_EQ(sender.answer, 42);
    ASSERT_EQ(g_Seen.size(), 1u);
    EXPECT_EQ(g_Seen[0].message, kQuery);
    MSG message;
    ASSERT_TRUE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(message.message, kNotify);
    EXPECT_EQ(message.wParam, 5u);
}

TEST(PlatformWindow, MessageSentFromTheWindowThreadRunsAtOnce) {
    TestWindow window;
    ASSERT_NE(window.handle, nullptr);
    EXPECT_EQ(SendMessageA(window.handle, kQuery, 1, 2), 3);
    ASSERT_EQ(g_Seen.size(), 1u);
    MSG message;
    EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)); // nothing was queued
}

TEST(PlatformWindow, DestroyedWindowTakesNoMessages) {
    TestWindow window;
    ASSERT_NE(window.handle, nullptr);
    ASSERT_TRUE(PostMessageA(window.handle, kNotify, 1, 0));
    ASSERT_TRUE(DestroyWindow(window.handle));
    EXPECT_EQ(g_Destroyed, 1);
    EXPECT_FALSE(IsWindow(window.handle));
    EXPECT_FALSE(PostMessageA(window.handle, kNotify, 2, 0));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_EQ(SendMessageA(window.handle, kQuery, 1, 2), 0);
    EXPECT_TRUE(g_Seen.empty());
}

TEST(PlatformWindow, QuitMessageEndsGetMessageAfterPostedOnes) {
    TestWindow window;
    ASSERT_NE(window.handle, nullptr);
    ASSERT_TRUE(PostMessageA(window.handle, kNotify, 1, 0));
    PostQuitMessage(7);
    MSG message;
    EXPECT_EQ(GetMessageA(&message, nullptr, 0, 0), TRUE);
    EXPECT_EQ(message.message, kNotify);
    EXPECT_EQ(GetMessageA(&message, nullptr, 0, 0), FALSE);
    EXPECT_EQ(message.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(message.wParam, 7u);
    EXPECT_FALSE(PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)); // the quit is taken once
}

TEST(PlatformWindow, MsgWaitAnswersForHandlesQueueAndTimeout) {
    TestWindow window;
    ASSERT_NE(window.handle, nullptr);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    MSG message;
    PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE); // look at the queue: nothing new from here on
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, 20, QS_ALLINPUT), WAIT_TIMEOUT);
    SetEvent(event);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, kBoundedWait, QS_ALLINPUT), WAIT_OBJECT_0);
    ResetEvent(event);

    Poster poster{window.handle, 1};
    HANDLE thread = StartThread(PostNotifications, &poster);
    EXPECT_EQ(MsgWaitForMultipleObjects(1, &event, FALSE, kBoundedWait, QS_ALLINPUT), WAIT_OBJECT_0 + 1);
    Join(thread);
    ASSERT_TRUE(PeekMessageA(&message, window.handle, kNotify, kNotify, PM_REMOVE));
    EXPECT_EQ(MsgWaitForMultipleObjects(0, nullptr, FALSE, 0, QS_ALLINPUT), WAIT_TIMEOUT);
    CloseHandle(event);
}

LRESULT CALLBACK NeverCalled(HWND, UINT, WPARAM, LPARAM) {
    return 0;
}

TEST(PlatformWindow, ClassesAreNamedOnceAndStaticIsPredefined) {
    TestWindow window;
    ASSERT_TRUE(window.registered);
    WNDCLASSA again{};
    again.lpfnWndProc = NeverCalled;
    again.hInstance = GetModuleHandleA(nullptr);
    again.lpszClassName = kClassName;
    EXPECT_EQ(RegisterClassA(&again), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CLASS_ALREADY_EXISTS));

    HWND plain = CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(SendMessageA(plain, WM_USER, 1, 2), 0);
    EXPECT_TRUE(DestroyWindow(plain));
    EXPECT_EQ(CreateWindowExA(0, "NoSuchClassHere", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr),
              nullptr);
    DWORD error = GetLastError(); // Windows answers the first, Wine the second
    EXPECT_TRUE(error == ERROR_CANNOT_FIND_WND_CLASS || error == ERROR_CLASS_DOES_NOT_EXIST) << error;
}

struct Destroyer {
    HWND window;
    BOOL result;
};

DWORD WINAPI DestroyFromHere(LPVOID parameter) {
    auto* destroyer = static_cast<Destroyer*>(parameter);
    destroyer->result = DestroyWindow(destroyer->window);
    return 0;
}

TEST(PlatformWindow, OnlyTheWindowThreadDestroysIt) {
    TestWindow window;
    ASSERT_NE(window.handle, nullptr);
    Destroyer destroyer{window.handle, TRUE};
    Join(StartThread(DestroyFromHere, &destroyer));
    EXPECT_FALSE(destroyer.result);
    EXPECT_TRUE(IsWindow(window.handle));
}

struct Talker {
    HWND window;
    int wrongAnswers;
};

DWORD WINAPI PostAndSend(LPVOID parameter) {
    auto* talker = static_cast<Talker*>(parameter);
    for (int i = 0; i < 500; ++i) {
        if (!PostMessageA(talker->window, kNotify, 0, 0))
            ++talker->wrongAnswers;
        if (i % 10 == 0 && SendMessageA(talker->window, kQuery, static_cast<WPARAM>(i), 1) != i + 1)
            ++talker->wrongAnswers;
    }
    return 0;
}

TEST(PlatformWindow, ManyThreadsPostAndSendToOneWindow) {
    TestWindow window;
    ASSERT_NE(window.handle, nullptr);
    Talker talkers[4];
    HANDLE threads[4];
    for (int i = 0; i < 4; ++i) {
        talkers[i] = Talker{window.handle, 0};
        threads[i] = StartThread(PostAndSend, &talkers[i]);
    }
    // Pump until every talker has ended, then take what is left.
    int ended = 0;
    DWORD start = GetTickCount();
    while (ended < 4 && GetTickCount() - start < kBoundedWait) {
        DWORD waited =
            MsgWaitForMultipleObjects(static_cast<DWORD>(4 - ended), threads + ended, FALSE, 100, QS_ALLINPUT);
        if (waited < WAIT_OBJECT_0 + 4 - ended) {
            std::swap(threads[ended], threads[waited - WAIT_OBJECT_0 + ended]);
            CloseHandle(threads[ended]);
            ++ended;
        }
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
    }
    ASSERT_EQ(ended, 4);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&message);
    int posted = 0, sent = 0;
    for (const Seen& seen : g_Seen)
        (seen.message == kNotify ? posted : sent) += 1;
    EXPECT_EQ(posted, 4 * 500);
    EXPECT_EQ(sent, 4 * 50);
    for (const Talker& talker : talkers)
        EXPECT_EQ(talker.wrongAnswers, 0);
}

// ---------------------------------------------------------------- windows of other threads

constexpr UINT kStop = WM_APP + 4;
HWND g_AskBack = nullptr; // the window a ForwardingProcedure asks

// Answers a query by sending it on to g_AskBack, ten times its answer.
LRESULT CALLBACK ForwardingProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kQuery)
        return SendMessageA(g_AskBack, kQuery, wParam, lParam) * 10;
    return DefWindowProcA(window, message, wParam, lParam);
}

const char kForwardingClass[] = "YNetPlatformTestForwarding";

struct WindowThread {
    HANDLE ready;
    HWND window;
    bool pump; // run a message loop until kStop, or just end
};

DWORD WINAPI RunWindowThread(LPVOID parameter) {
    auto* state = static_cast<WindowThread*>(parameter);
    state->window = CreateWindowExA(0, kForwardingClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    SetEvent(state->ready);
    if (state->window == nullptr)
        return 1;
    if (!state->pump)
        return 0; // ends with its window: the system takes the window away
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0 && message.message != kStop)
        DispatchMessageA(&message);
    DestroyWindow(state->window);
    return 0;
}

class ForwardingClass {
public:
    ForwardingClass() {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = ForwardingProcedure;
        windowClass.lpszClassName = kForwardingClass;
        registered = RegisterClassA(&windowClass) != 0;
    }
    ~ForwardingClass() { UnregisterClassA(kForwardingClass, nullptr); }
    bool registered;
};

TEST(PlatformWindow, SenderHandlesMessagesSentBackWhileItWaits) {
    TestWindow window;
    ForwardingClass forwarding;
    ASSERT_TRUE(window.handle != nullptr && forwarding.registered);
    g_AskBack = window.handle;
    WindowThread state{CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr, true};
    HANDLE thread = StartThread(RunWindowThread, &state);
    ASSERT_EQ(WaitForSingleObject(state.ready, kBoundedWait), WAIT_OBJECT_0);
    ASSERT_NE(state.window, nullptr);

    // The other window asks this thread's window back while this thread
    // waits in SendMessageA: the wait must handle it, or both would hang.
    EXPECT_EQ(SendMessageA(state.window, kQuery, 1, 2), 30);
    ASSERT_EQ(g_Seen.size(), 1u);
    EXPECT_EQ(g_Seen[0].threadId, GetCurrentThreadId());

    EXPECT_TRUE(PostMessageA(state.window, kStop, 0, 0));
    Join(thread);
    EXPECT_FALSE(IsWindow(state.window));
    CloseHandle(state.ready);
}

TEST(PlatformWindow, WindowOfAnEndedThreadIsGone) {
    ForwardingClass forwarding;
    ASSERT_TRUE(forwarding.registered);
    WindowThread state{CreateEventA(nullptr, TRUE, FALSE, nullptr), nullptr, false};
    HANDLE thread = StartThread(RunWindowThread, &state);
    ASSERT_EQ(WaitForSingleObject(state.ready, kBoundedWait), WAIT_OBJECT_0);
    ASSERT_NE(state.window, nullptr);
    Join(thread);
    EXPECT_FALSE(IsWindow(state.window));
    EXPECT_FALSE(PostMessageA(state.window, kNotify, 1, 0));
    EXPECT_EQ(SendMessageA(state.window, kQuery, 1, 2), 0);
    CloseHandle(state.ready);
}

} // namespace

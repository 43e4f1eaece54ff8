// Window messages of the POSIX layer: window classes, message-only
// windows, one message queue per thread, posted and sent messages.
//
// Every table and queue below is guarded by the kernel lock, which is never
// held while a window procedure runs. A thread gets its queue on its first
// call that needs one (creating a window, reading its queue) and loses it
// when it ends (ReleaseThreadQueue).
//
// As on Windows:
//   - a posted message waits in the queue of the window's thread until that
//     thread reads it; a queue holds at most 10000 posted messages;
//   - a message sent from another thread runs in the window's thread, inside
//     its next GetMessageA / PeekMessageA, while the sender waits (and
//     handles messages sent to its own thread meanwhile);
//   - WM_QUIT comes only once the posted messages are read, and only to a
//     read that does not filter on a window;
//   - MsgWaitForMultipleObjects wakes for input that arrived since the
//     thread last looked at its queue, not for messages it left unread;
//   - PeekMessageA with PM_QS_SENDMESSAGE runs the sent messages only and
//     leaves every posted message queued.
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <strings.h>
#include <unordered_map>
#include <vector>

#include "platform/posix/KernelObjects.h"
#include "platform/posix/WinApiPosix.h"

using namespace YNetPosix;

namespace {

constexpr std::size_t kPostedLimit = 10000;
constexpr DWORD kMaxWaitHandles = 64;
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

struct SentMessage {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    LRESULT result = 0; // kernel lock
    bool done = false;  // kernel lock
    Notifier doneNotifier;
};

struct ThreadQueue : Notifier {
    explicit ThreadQueue(DWORD id) : threadId(id) {}
    DWORD threadId;
    std::deque<MSG> posted;                        // kernel lock
    std::deque<std::shared_ptr<SentMessage>> sent; // kernel lock
    bool quit = false;                             // kernel lock
    int quitCode = 0;                              // kernel lock
    UINT arrived = 0;                              // QS_* of input since the owner last looked (kernel lock)
    bool alive = true;                             // kernel lock
};

struct WindowClass {
    std::string name;
    WNDPROC procedure;
    HINSTANCE instance;
    ATOM atom;
    int windows = 0; // kernel lock
};

struct Window {
    HWND handle;
    std::shared_ptr<WindowClass> windowClass;
    WNDPROC procedure;
    std::shared_ptr<ThreadQueue> queue;
};

struct Tables {
    std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>> queues;
    std::unordered_map<std::uintptr_t, std::shared_ptr<Window>> windows;
    std::vector<std::shared_ptr<WindowClass>> classes;
    std::uintptr_t nextWindow = 0x10000;
    ATOM nextAtom = 0xC000;
};

// Never destroyed: threads may end while the process unloads.
Tables& TheTables() {
    static Tables* tables = [] {
        auto* created = new Tables;
        created->classes.push_back(
            std::make_shared<WindowClass>(WindowClass{"STATIC", DefWindowProcA, nullptr, 0xC000, 0}));
        created->nextAtom = 0xC001;
        return created;
    }();
    return *tables;
}

// The calling thread's queue; ends it at thread exit for threads that did
// not come from CreateThread.
struct QueueHolder {
    std::shared_ptr<ThreadQueue> queue;
    ~QueueHolder() { ReleaseThreadQueue(); }
};
thread_local QueueHolder t_Queue;

// Kernel lock held.
std::shared_ptr<ThreadQueue> ThisQueueLocked() {
    if (t_Queue.queue == nullptr) {
        DWORD id = GetCurrentThreadId();
        t_Queue.queue = std::make_shared<ThreadQueue>(id);
        TheTables().queues[id] = t_Queue.queue;
    }
    return t_Queue.queue;
}

std::uintptr_t Key(HWND window) {
    return reinterpret_cast<std::uintptr_t>(window);
}

// Kernel lock held. The live window, or null.
std::shared_ptr<Window> FindWindow(HWND window) {
    auto& windows = TheTables().windows;
    auto it = windows.find(Key(window));
    return it == windows.end() ? nullptr : it->second;
}

bool IsAtom(LPCSTR name) {
    return reinterpret_cast<std::uintptr_t>(name) < 0x10000;
}

// Kernel lock held. Class names compare without case, as on Windows.
std::shared_ptr<WindowClass> FindClass(LPCSTR name) {
    for (auto& windowClass : TheTables().classes) {
        if (IsAtom(name) ? windowClass->atom == static_cast<ATOM>(reinterpret_cast<std::uintptr_t>(name))
                         : strcasecmp(windowClass->name.c_str(), name) == 0)
            return windowClass;
    }
    return nullptr;
}

struct Filter {
    HWND window;
    UINT min;
    UINT max;

    bool Takes(const MSG& message) const {
        if (window == kThreadMessagesOnly ? message.hwnd != nullptr : window != nullptr && message.hwnd != window)
            return false;
        return InRange(message.message);
    }
    bool InRange(UINT message) const { return (min == 0 && max == 0) || (message >= min && message <= max); }
    bool TakesQuit() const { return (window == nullptr || window == kThreadMessagesOnly) && InRange(WM_QUIT); }
};

// Kernel lock held. Posted input the filter would take.
bool HasPosted(const ThreadQueue& queue, const Filter& filter) {
    for (const MSG& message : queue.posted) {
        if (filter.Takes(message))
            return true;
    }
    return queue.quit && filter.TakesQuit();
}

MSG MakeMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG made{};
    made.hwnd = window;
    made.message = message;
    made.wParam = wParam;
    made.lParam = lParam;
    made.time = GetTickCount();
    return made;
}

// Kernel lock held by `lock`. Queues a posted message and wakes the reader.
BOOL PostLocked(ThreadQueue& queue, const MSG& message) {
    if (queue.posted.size() >= kPostedLimit) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    queue.posted.push_back(message);
    queue.arrived |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
    queue.Notify();
    return TRUE;
}

void Complete(SentMessage& sent, LRESULT result) {
    sent.result = result;
    sent.done = true;
    sent.doneNotifier.Notify();
}

// Runs the messages other threads have sent to this thread's windows, one
// at a time, unlocked while each window procedure runs.
void HandleSentMessages(std::unique_lock<std::mutex>& lock, ThreadQueue& queue) {
    while (!queue.sent.empty()) {
        std::shared_ptr<SentMessage> sent = queue.sent.front();
        queue.sent.pop_front();
        std::shared_ptr<Window> window = FindWindow(sent->window);
        if (window == nullptr) {
            Complete(*sent, 0);
            continue;
        }
        lock.unlock();
        LRESULT result = window->procedure(sent->window, sent->message, sent->wParam, sent->lParam);
        lock.lock();
        Complete(*sent, result);
    }
}

// Kernel lock held. Takes the window out of every table; senders still
// waiting for it are answered 0 and its posted messages are dropped.
void ForgetWindow(const std::shared_ptr<Window>& window) {
    Tables& tables = TheTables();
    tables.windows.erase(Key(window->handle));
    --window->windowClass->windows;
    ThreadQueue& queue = *window->queue;
    std::erase_if(queue.posted, [&](const MSG& message) { return message.hwnd == window->handle; });
    std::erase_if(queue.sent, [&](const std::shared_ptr<SentMessage>& sent) {
        if (sent->window != window->handle)
            return false;
        Complete(*sent, 0);
        return true;
    });
}

bool ValidClass(LPCSTR name, WNDPROC procedure) {
    return name != nullptr && procedure != nullptr;
}

ATOM Register(LPCSTR name, WNDPROC procedure, HINSTANCE instance) {
    if (!ValidClass(name, procedure) || IsAtom(name)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::lock_guard<std::mutex> hold(KernelLock());
    Tables& tables = TheTables();
    if (FindClass(name) != nullptr) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    if (tables.nextAtom == 0xFFFF) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    ATOM atom = tables.nextAtom++;
    tables.classes.push_back(std::make_shared<WindowClass>(WindowClass{name, procedure, instance, atom, 0}));
    return atom;
}

} // namespace

namespace YNetPosix {

void ReleaseThreadQueue() {
    if (t_Queue.queue == nullptr)
        return;
    std::lock_guard<std::mutex> hold(KernelLock());
    std::shared_ptr<ThreadQueue> queue = std::move(t_Queue.queue);
    Tables& tables = TheTables();
    tables.queues.erase(queue->threadId);
    std::vector<std::shared_ptr<Window>> owned;
    for (auto& [key, window] : tables.windows) {
        if (window->queue == queue)
            owned.push_back(window);
    }
    for (auto& window : owned)
        ForgetWindow(window);
    for (auto& sent : queue->sent)
        Complete(*sent, 0);
    queue->sent.clear();
    queue->posted.clear();
    queue->alive = false;
}

} // namespace YNetPosix

// ---------------------------------------------------------------- classes, windows

HMODULE WINAPI GetModuleHandleA(LPCSTR name) {
    if (name != nullptr) { // only the program itself is known
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x400000));
}

ATOM WINAPI RegisterClassA(const WNDCLASSA* windowClass) {
    if (windowClass == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Register(windowClass->lpszClassName, windowClass->lpfnWndProc, windowClass->hInstance);
}

ATOM WINAPI RegisterClassExA(const WNDCLASSEXA* windowClass) {
    if (windowClass == nullptr || windowClass->cbSize != sizeof(WNDCLASSEXA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return Register(windowClass->lpszClassName, windowClass->lpfnWndProc, windowClass->hInstance);
}

BOOL WINAPI UnregisterClassA(LPCSTR className, HINSTANCE /*instance*/) {
    std::lock_guard<std::mutex> hold(KernelLock());
    std::shared_ptr<WindowClass> found = className == nullptr ? nullptr : FindClass(className);
    if (found == nullptr || found->procedure == DefWindowProcA) { // the predefined class stays
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if (found->windows != 0) {
        SetLastError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    std::erase(TheTables().classes, found);
    return TRUE;
}

HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y, int width,
                            int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID parameter) {
    if (parent != HWND_MESSAGE) { // only message-only windows exist here
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto window = std::make_shared<Window>();
    {
        std::lock_guard<std::mutex> hold(KernelLock());
        std::shared_ptr<WindowClass> windowClass = className == nullptr ? nullptr : FindClass(className);
        if (windowClass == nullptr) {
            SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        Tables& tables = TheTables();
        window->handle = reinterpret_cast<HWND>(tables.nextWindow);
        tables.nextWindow += 2;
        window->windowClass = windowClass;
        window->procedure = windowClass->procedure;
        window->queue = ThisQueueLocked();
        ++windowClass->windows;
        tables.windows[Key(window->handle)] = window;
    }
    CREATESTRUCTA create{parameter,  instance,  menu,   parent, height, width, y, x, static_cast<LONG>(style),
                         windowName, className, exStyle};
    if (window->procedure(window->handle, WM_CREATE, 0, reinterpret_cast<LPARAM>(&create)) == -1) {
        DestroyWindow(window->handle);
        return nullptr;
    }
    return window->handle;
}

// Only the window's own thread may destroy it (ERROR_ACCESS_DENIED
// otherwise). The procedure gets WM_DESTROY first.
BOOL WINAPI DestroyWindow(HWND window) {
    std::shared_ptr<Window> found;
    {
        std::lock_guard<std::mutex> hold(KernelLock());
        found = FindWindow(window);
        if (found == nullptr) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        if (found->queue != t_Queue.queue) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    found->procedure(window, WM_DESTROY, 0, 0);
    std::lock_guard<std::mutex> hold(KernelLock());
    if (FindWindow(window) == found) // the procedure may have destroyed it already
        ForgetWindow(found);
    return TRUE;
}

BOOL WINAPI IsWindow(HWND window) {
    std::lock_guard<std::mutex> hold(KernelLock());
    return FindWindow(window) != nullptr ? TRUE : FALSE;
}

LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM /*wParam*/, LPARAM /*lParam*/) {
    if (message == WM_CLOSE)
        DestroyWindow(window);
    return 0;
}

// ---------------------------------------------------------------- posting, sending

BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (window == nullptr)
        return PostThreadMessageA(GetCurrentThreadId(), message, wParam, lParam);
    std::lock_guard<std::mutex> hold(KernelLock());
    std::shared_ptr<Window> found = FindWindow(window);
    if (found == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return PostLocked(*found->queue, MakeMessage(window, message, wParam, lParam));
}

BOOL WINAPI PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    std::lock_guard<std::mutex> hold(KernelLock());
    std::shared_ptr<ThreadQueue> queue;
    if (threadId == GetCurrentThreadId()) {
        queue = ThisQueueLocked();
    } else {
        auto it = TheTables().queues.find(threadId);
        if (it != TheTables().queues.end())
            queue = it->second;
    }
    if (queue == nullptr) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return PostLocked(*queue, MakeMessage(nullptr, message, wParam, lParam));
}

void WINAPI PostQuitMessage(int exitCode) {
    std::lock_guard<std::mutex> hold(KernelLock());
    std::shared_ptr<ThreadQueue> queue = ThisQueueLocked();
    queue->quit = true;
    queue->quitCode = exitCode;
    queue->arrived |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
    queue->Notify();
}

LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    std::unique_lock<std::mutex> lock(KernelLock());
    std::shared_ptr<Window> found = FindWindow(window);
    if (found == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (found->queue == t_Queue.queue) { // the window's own thread: a plain call
        lock.unlock();
        return found->procedure(window, message, wParam, lParam);
    }
    auto sent = std::make_shared<SentMessage>();
    sent->window = window;
    sent->message = message;
    sent->wParam = wParam;
    sent->lParam = lParam;
    found->queue->sent.push_back(sent);
    found->queue->arrived |= QS_SENDMESSAGE;
    found->queue->Notify();

    // Wait for the answer; messages sent to this thread meanwhile are
    // handled, so two threads sending to each other do not deadlock.
    std::shared_ptr<ThreadQueue> own = t_Queue.queue;
    Deadline forever(INFINITE);
    for (;;) {
        if (own != nullptr)
            HandleSentMessages(lock, *own);
        if (sent->done)
            return sent->result;
        Notifier* sources[2] = {&sent->doneNotifier, own.get()};
        WaitUntil(lock, sources, own != nullptr ? 2 : 1, forever,
                  [&] { return sent->done || (own != nullptr && !own->sent.empty()); });
    }
}

// ---------------------------------------------------------------- reading the queue

namespace {

// Kernel lock held by `lock`. Handles sent messages, then takes the first
// posted message the filter accepts. True when *message was filled.
bool TakeMessage(std::unique_lock<std::mutex>& lock, ThreadQueue& queue, const Filter& filter, LPMSG message,
                 bool remove) {
    HandleSentMessages(lock, queue);
    queue.arrived = 0; // the thread has looked at its queue
    for (auto it = queue.posted.begin(); it != queue.posted.end(); ++it) {
        if (!filter.Takes(*it))
            continue;
        *message = *it;
        if (remove)
            queue.posted.erase(it);
        return true;
    }
    if (queue.quit && filter.TakesQuit()) {
        *message = MakeMessage(nullptr, WM_QUIT, static_cast<WPARAM>(queue.quitCode), 0);
        if (remove)
            queue.quit = false;
        return true;
    }
    return false;
}

// Kernel lock held. A window filter must name a live window.
bool ValidFilterWindow(HWND window) {
    return window == nullptr || window == kThreadMessagesOnly || FindWindow(window) != nullptr;
}

} // namespace

BOOL WINAPI PeekMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage) {
    std::unique_lock<std::mutex> lock(KernelLock());
    if (!ValidFilterWindow(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    std::shared_ptr<ThreadQueue> queue = ThisQueueLocked();
    if ((removeMessage & PM_QS_SENDMESSAGE) != 0) {
        // Sent messages only: posted ones stay queued, and their arrival
        // still wakes a wait that asks for them.
        HandleSentMessages(lock, *queue);
        queue->arrived &= ~static_cast<UINT>(QS_SENDMESSAGE);
        return FALSE;
    }
    return TakeMessage(lock, *queue, Filter{window, filterMin, filterMax}, message, (removeMessage & PM_REMOVE) != 0)
               ? TRUE
               : FALSE;
}

BOOL WINAPI GetMessageA(LPMSG message, HWND window, UINT filterMin, UINT filterMax) {
    std::unique_lock<std::mutex> lock(KernelLock());
    if (!ValidFilterWindow(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    std::shared_ptr<ThreadQueue> queue = ThisQueueLocked();
    Filter filter{window, filterMin, filterMax};
    Deadline forever(INFINITE);
    Notifier* source = queue.get();
    while (!TakeMessage(lock, *queue, filter, message, true))
        WaitUntil(lock, &source, 1, forever, [&] { return !queue->sent.empty() || HasPosted(*queue, filter); });
    return message->message == WM_QUIT ? FALSE : TRUE;
}

BOOL WINAPI TranslateMessage(const MSG* /*message*/) {
    return FALSE;
} // no keyboard input here

LRESULT WINAPI DispatchMessageA(const MSG* message) {
    if (message == nullptr || message->hwnd == nullptr)
        return 0;
    std::shared_ptr<Window> found;
    {
        std::lock_guard<std::mutex> hold(KernelLock());
        found = FindWindow(message->hwnd);
        if (found == nullptr || found->queue != t_Queue.queue) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
    }
    return found->procedure(message->hwnd, message->message, message->wParam, message->lParam);
}

DWORD WINAPI MsgWaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds,
                                       DWORD wakeMask) {
    // Waiting for all handles at once is not offered.
    if (count > kMaxWaitHandles || (count > 0 && (handles == nullptr || waitAll))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    Deadline deadline(milliseconds);
    std::unique_lock<std::mutex> lock(KernelLock());
    std::vector<std::shared_ptr<Waitable>> objects;
    std::vector<Notifier*> sources;
    for (DWORD i = 0; i < count; ++i) {
        std::shared_ptr<Waitable> object = FindWaitable(handles[i]);
        if (object == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        sources.push_back(object.get());
        objects.push_back(std::move(object));
    }
    std::shared_ptr<ThreadQueue> queue = ThisQueueLocked();
    sources.push_back(queue.get());
    DWORD answer = WAIT_TIMEOUT;
    WaitUntil(lock, sources.data(), sources.size(), deadline, [&] {
        for (DWORD i = 0; i < count; ++i) {
            if (objects[i]->TryConsume()) {
                answer = WAIT_OBJECT_0 + i;
                return true;
            }
        }
        if ((queue->arrived & wakeMask) != 0) {
            answer = WAIT_OBJECT_0 + count;
            return true;
        }
        return false;
    });
    return answer;
}

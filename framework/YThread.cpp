#include "framework/YThread.h"

#include <atomic>

#include "framework/YThreadHook.h"

namespace YNet2 {
namespace {

// Kernel handles fit in 32 bits on every Windows (and ours do too), so the
// thread words can carry them; sign extension is how Windows widens them.
HANDLE ToHandle(DWORD word) {
    return reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(static_cast<LONG>(word)));
}
DWORD ToWord(HANDLE handle) {
    return static_cast<DWORD>(reinterpret_cast<LONG_PTR>(handle));
}

// Guards the thread words of every YThread against the owner's thread and
// the object's own thread changing them at once. Never destroyed: a thread
// may end while the process unloads.
CRITICAL_SECTION& ThreadLock() {
    static CRITICAL_SECTION* lock = [] {
        auto* section = new CRITICAL_SECTION;
        InitializeCriticalSection(section);
        return section;
    }();
    return *lock;
}

class ThreadLockHolder {
public:
    ThreadLockHolder() { EnterCriticalSection(&ThreadLock()); }
    ~ThreadLockHolder() { LeaveCriticalSection(&ThreadLock()); }
    ThreadLockHolder(const ThreadLockHolder&) = delete;
    ThreadLockHolder& operator=(const ThreadLockHolder&) = delete;
};

// m_ExitEvent is read by ICanExit without the lock: every write is atomic too.
void StoreWord(DWORD& word, DWORD value) {
    std::atomic_ref<DWORD>(word).store(value, std::memory_order_release);
}

std::atomic<YThreadStarter> g_Starter{nullptr};

// Waits until handle is signalled while running the messages that other
// threads send to this thread's windows. The thread that ends a kernel is
// usually a window's thread, and the kernel's thread may be inside a
// handler that sends to that window (SendMessage returns only once the
// window's thread has run it): a wait that ran nothing would wait for that
// thread while it waits for this one. Posted messages stay queued for the
// thread's own message loop. A window procedure run here runs inside the
// caller's ending call, as it would inside any SendMessage of its own.
// With whileWaiting, it is called every kWaitSliceMs until the handle is
// signalled.
constexpr DWORD kWaitSliceMs = 20;

// False when keepWaiting gave the wait up before the handle was signalled.
bool WaitDeliveringSentMessages(HANDLE handle, bool (*keepWaiting)(void*), void* context) {
    const DWORD slice = keepWaiting != nullptr ? kWaitSliceMs : INFINITE;
    for (;;) {
        // Sent messages that arrived before the wait; the wait then wakes
        // for those that arrive after this look at the queue.
        MSG message;
        PeekMessageA(&message, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
        DWORD result = MsgWaitForMultipleObjects(1, &handle, FALSE, slice, QS_SENDMESSAGE);
        if (result == WAIT_OBJECT_0 + 1)
            continue;
        if (result == WAIT_TIMEOUT) {
            if (keepWaiting != nullptr && !keepWaiting(context)) // a wait without a slice never times out
                return false;
            continue;
        }
        if (result != WAIT_OBJECT_0)
            WaitForSingleObject(handle, INFINITE); // not reached: the handle is ours until the wait ends
        return true;
    }
}

// The void callback of WaitForExitThread, as a keepWaiting that never gives up.
struct WhileWaiting {
    void (*call)(void*);
    void* context;
};
bool KeepWaitingAfter(void* context) {
    auto* waiting = static_cast<WhileWaiting*>(context);
    waiting->call(waiting->context);
    return true;
}

struct StartRecord {
    YThread* object;
    LPTHREAD_START_ROUTINE routine;
    void* param;
};

DWORD WINAPI ThreadMain(LPVOID argument) {
    StartRecord start = *static_cast<StartRecord*>(argument);
    delete static_cast<StartRecord*>(argument);
    // CreateThread holds the lock until it has written the thread words:
    // passing through it here makes them visible to the body, which may
    // read m_Thread and m_ExitEvent directly.
    { ThreadLockHolder hold; }
    if (start.routine != nullptr)
        return start.routine(start.param);
    return static_cast<DWORD>(start.object->Run(start.param));
}

} // namespace

void SetYThreadStarter(YThreadStarter starter) {
    g_Starter.store(starter);
}

YThread::YThread()
    : m_Thread(0), m_ThreadId(0), m_StackSize(0), m_Flags(0), m_ExitAsked(0), m_ExitEvent(0), m_Waiting(0) {}

// The stack reserve is a setting, not a thread resource: copies keep it.
YThread::YThread(const YThread& other) : YThread() {
    m_StackSize = other.m_StackSize;
}

YThread& YThread::operator=(const YThread& /*other*/) {
    return *this;
}

YThread::~YThread() {
    // Backstop: a derived kernel ends its thread before it is destroyed.
    // A thread still held here is asked to end and waited for, so that the
    // handles are not closed under it. An object destroyed on its own thread
    // (from one of its callbacks) cannot be waited for by anyone afterwards:
    // it releases the handles itself, as its thread's CleanUp would.
    if (IsOwnThread())
        CleanUp();
    else
        WaitForExitThread();
}

LONG YThread::Run(void* /*param*/) {
    return 0;
}

LONG YThread::CreateThread(DWORD stackSize, LPTHREAD_START_ROUTINE routine, void* param, DWORD flags) {
    ThreadLockHolder hold;
    if (m_Thread != 0)
        return E_FAIL;

    HANDLE exitEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (exitEvent == nullptr)
        return E_FAIL;
    auto* start = new StartRecord{this, routine, param};

    // The new thread waits for this lock before its body runs, so the body
    // and its CleanUp see the words below complete.
    StoreWord(m_ExitEvent, ToWord(exitEvent));
    std::atomic_ref<DWORD>(m_ExitAsked).store(0, std::memory_order_relaxed);
    // A reservation, not a commit: without the flag Windows would commit
    // the whole size, and with a size of 0 reserve the program's default
    // (1 MiB from Microsoft's linker, 2 MiB from MinGW's), which caps a
    // 32-bit process near 1,900 threads.
    if (stackSize != 0)
        m_StackSize = stackSize;
    DWORD threadId = 0;
    YThreadStarter starter = g_Starter.load();
    HANDLE thread = (starter != nullptr ? starter : &::CreateThread)(nullptr, GetStackReserve(), ThreadMain, start,
                                                                     STACK_SIZE_PARAM_IS_A_RESERVATION, &threadId);
    if (thread == nullptr) {
        delete start;
        CloseHandle(exitEvent);
        StoreWord(m_ExitEvent, 0);
        return E_FAIL;
    }
    m_Thread = ToWord(thread);
    m_ThreadId = threadId;
    m_Flags = flags;
    return 0;
}

void YThread::SetStackReserve(DWORD bytes) {
    m_StackSize = bytes;
}

DWORD YThread::GetStackReserve() const {
    return m_StackSize != 0 ? m_StackSize : kDefaultStackReserve;
}

// Asked once per received message, so it must cost next to nothing: the
// flag set beside the event is read without the lock. A kernel may also
// signal m_ExitEvent itself, which the flag does not see; the event is
// polled on the first call and then on every kEventPollInterval-th call of
// the thread while the flag is clear (a poll is a system call: once per
// message would cost more than the message), and the flag remembers the
// answer. A loop that only spins on ICanExit so sees the request within
// microseconds; a receive loop whose socket the owner closed ends through
// the failed receive anyway. The event stays open while the thread runs:
// only the ended thread's CleanUp, or a waiter after the thread has ended,
// closes it.
namespace {
constexpr unsigned kEventPollInterval = 1024;
// Read on every call: in a shared library the general TLS model would make
// each read a call into the loader; the initial-exec model is one load. It
// takes four bytes of static TLS, which glibc keeps in reserve for
// libraries loaded later with dlopen too.
#if defined(__ELF__)
__attribute__((tls_model("initial-exec")))
#endif
thread_local unsigned t_ExitChecks = 0; // calls of ICanExit on this thread
} // namespace

bool YThread::ICanExit() {
    std::atomic_ref<DWORD> asked(m_ExitAsked);
    if (asked.load(std::memory_order_acquire) != 0)
        return true;
    if (t_ExitChecks++ % kEventPollInterval != 0)
        return false;
    DWORD exitEvent = std::atomic_ref<DWORD>(m_ExitEvent).load(std::memory_order_acquire);
    if (exitEvent == 0 || WaitForSingleObject(ToHandle(exitEvent), 0) != WAIT_OBJECT_0)
        return false;
    asked.store(1, std::memory_order_release);
    return true;
}

void YThread::SignalExit() {
    ThreadLockHolder hold;
    if (m_Thread == 0)
        return;
    std::atomic_ref<DWORD>(m_ExitAsked).store(1, std::memory_order_release);
    SetEvent(ToHandle(m_ExitEvent));
}

bool YThread::IsOwnThread() const {
    ThreadLockHolder hold;
    return m_Thread != 0 && m_ThreadId == GetCurrentThreadId();
}

void YThread::WaitForExitThread() {
    WaitForExitThread(nullptr, nullptr);
}

void YThread::WaitForExitThread(void (*whileWaiting)(void* context), void* context) {
    if (whileWaiting == nullptr) {
        WaitForExitThreadWhile(nullptr, nullptr);
        return;
    }
    WhileWaiting waiting{whileWaiting, context};
    WaitForExitThreadWhile(KeepWaitingAfter, &waiting);
}

bool YThread::WaitForExitThreadWhile(bool (*keepWaiting)(void* context), void* context) {
    DWORD thread;
    DWORD exitEvent;
    {
        ThreadLockHolder hold;
        if (m_Thread == 0 || m_ThreadId == GetCurrentThreadId())
            return true;
        thread = m_Thread;
        exitEvent = m_ExitEvent;
        ++m_Waiting; // from now on the handles are ours to close
        std::atomic_ref<DWORD>(m_ExitAsked).store(1, std::memory_order_release);
        SetEvent(ToHandle(exitEvent));
    }
    bool ended = WaitDeliveringSentMessages(ToHandle(thread), keepWaiting, context);
    ThreadLockHolder hold;
    // A wait given up just as the thread ended closes its handles too; one
    // given up while the thread runs its last steps leaves them to the
    // thread's CleanUp or to the next wait (m_Thread stays set until then).
    if (!ended)
        ended = WaitForSingleObject(ToHandle(thread), 0) == WAIT_OBJECT_0;
    if (--m_Waiting == 0 && m_Thread == thread && ended) {
        CloseHandle(ToHandle(thread));
        CloseHandle(ToHandle(exitEvent));
        m_Thread = 0;
        m_ThreadId = 0;
        StoreWord(m_ExitEvent, 0);
    }
    return ended;
}

void YThread::CleanUp() {
    ThreadLockHolder hold;
    if (m_Thread == 0 || m_Waiting != 0)
        return; // nothing held, or a waiter closes the handles once the thread is gone
    CloseHandle(ToHandle(m_Thread));
    CloseHandle(ToHandle(m_ExitEvent));
    m_Thread = 0;
    m_ThreadId = 0;
    StoreWord(m_ExitEvent, 0);
}

} // namespace YNet2

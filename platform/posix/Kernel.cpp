// Kernel services of the POSIX layer: critical sections, interlocked
// operations, events, threads, waits, the calling thread's error slot.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <deque>
#include <limits>
#include <mutex>
#include <new>
#include <unordered_map>

#include "platform/posix/KernelObjects.h"
#include "platform/posix/WinApiPosix.h"

namespace YNetPosix {
namespace {

// The thread's error slot, shared by GetLastError and WSAGetLastError as on
// Windows.
thread_local DWORD t_LastError = 0;
thread_local DWORD t_ThreadId = 0;

// Windows thread ids are non-zero multiples of 4; ours never repeat.
std::atomic<DWORD> g_NextThreadId{4};

DWORD NewThreadId() {
    DWORD id = g_NextThreadId.fetch_add(4, std::memory_order_relaxed);
    if (id == 0) // wrapped after a billion threads
        id = g_NextThreadId.fetch_add(4, std::memory_order_relaxed);
    return id;
}

class ThreadObject : public Waitable {
public:
    ThreadObject() : Waitable(true, false) {}
    DWORD exitCode = STILL_ACTIVE;    // kernel lock
    pthread_t system{};               // kernel lock; valid while started && !timed
    bool started = false;             // kernel lock
    bool timed = false;               // kernel lock: cpuNanoseconds is final, the thread is being joined
    std::uint64_t cpuNanoseconds = 0; // kernel lock: the thread's total once timed
};

std::uint64_t Nanoseconds(const ::timespec& time) {
    return static_cast<std::uint64_t>(time.tv_sec) * 1000000000u + static_cast<std::uint64_t>(time.tv_nsec);
}

// Handles of events and threads: small multiples of 4 that are never given
// twice while the first holder is open, and not again until 2^30 others
// have been given, so a stale handle finds no object.
class HandleTable {
public:
    // Kernel lock held.
    HANDLE Add(std::shared_ptr<Waitable> object) {
        DWORD value;
        do {
            m_Next += 4;
            if (m_Next >= 0x80000000u)
                m_Next = 4;
            value = m_Next;
        } while (m_Objects.count(value) != 0);
        m_Objects.emplace(value, std::move(object));
        return ToHandle(value);
    }
    std::shared_ptr<Waitable> Find(HANDLE handle) const {
        auto it = m_Objects.find(ToValue(handle));
        return it == m_Objects.end() ? nullptr : it->second;
    }
    bool Remove(HANDLE handle) { return m_Objects.erase(ToValue(handle)) != 0; }

private:
    static HANDLE ToHandle(DWORD value) { return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value)); }
    static DWORD ToValue(HANDLE handle) {
        auto raw = reinterpret_cast<std::uintptr_t>(handle);
        return raw > 0xFFFFFFFFu ? 0 : static_cast<DWORD>(raw);
    }

    DWORD m_Next = 0;
    std::unordered_map<DWORD, std::shared_ptr<Waitable>> m_Objects;
};

// Never destroyed: detached threads may still close handles while the
// process unloads.
HandleTable& Handles() {
    static HandleTable* table = new HandleTable;
    return *table;
}

// Kernel lock. The threads of CreateThread that have not ended, by id (OpenThread).
std::unordered_map<DWORD, std::shared_ptr<ThreadObject>>& RunningThreads() {
    static auto* threads = new std::unordered_map<DWORD, std::shared_ptr<ThreadObject>>;
    return *threads;
}

class Reaper;

// A thread of CreateThread, from its creation to its end; owned by the
// thread itself, then by the reaper.
struct StartRecord {
    LPTHREAD_START_ROUTINE routine;
    LPVOID parameter;
    DWORD threadId;
    std::shared_ptr<ThreadObject> thread;
    Reaper* reaper;
    DWORD exitCode = 0; // the routine's result
    pthread_t system{}; // these two set by the thread as it hands itself over
    pid_t systemId = 0;
};

// A thread of CreateThread ends as on Windows: its handle is signalled,
// and its exit code set, only once the thread has left the process, its
// thread-locals destroyed and the system thread gone, so that a waiter may
// unload code or count the process's threads at once. The system destroys
// C++ thread-locals before it runs key destructors; in its key's destructor
// (ThreadExits) the thread hands itself to the reaper, one thread of the
// layer that joins it, waits until the system has let go of it
// (LeftTheProcess), and only then marks it ended. So a key destructor of
// another library that waits for some other thread of CreateThread, after
// ours has run, waits for ever. One reaper per process: started with the
// first thread (and again in a forked child, which has the parent's memory
// but not its threads), never ended nor destroyed, so exit() neither waits
// for it nor for the threads it would join.
class Reaper {
public:
    // Kernel lock held. The process's reaper, started now if need be; null
    // if it could not be.
    static Reaper* OfThisProcess();
    pthread_key_t Key() const { return m_Key; }
    // Kernel lock held.
    void HandOver(StartRecord* ending) {
        m_Ending.push_back(ending);
        m_Wake.notify_one();
    }

private:
    static void* Run(void* argument);

    pid_t m_Process = 0;
    pthread_key_t m_Key{};
    std::condition_variable m_Wake;    // with the kernel lock
    std::deque<StartRecord*> m_Ending; // kernel lock
};

// Kernel lock. Never destroyed, as the threads it joins may end during exit().
Reaper* g_Reaper = nullptr;

// The thread's last code: runs once its thread-locals are destroyed.
void ThreadExits(void* value) {
    auto* start = static_cast<StartRecord*>(value);
    ::timespec used{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    start->system = pthread_self();
    start->systemId = gettid();
    std::lock_guard<std::mutex> hold(KernelLock());
    start->thread->cpuNanoseconds = Nanoseconds(used);
    start->thread->timed = true; // GetThreadTimes no longer asks the thread, which may be joined from now on
    start->reaper->HandOver(start);
}

void* ThreadStart(void* argument) {
    auto* start = static_cast<StartRecord*>(argument);
    t_ThreadId = start->threadId;
    // Fails only for want of memory: the thread then hands itself over
    // before its thread-locals are destroyed.
    const bool atExit = pthread_setspecific(start->reaper->Key(), start) == 0;
    start->exitCode = start->routine(start->parameter);
    ReleaseThreadQueue();
    if (!atExit)
        ThreadExits(start);
    return nullptr;
}

// After pthread_join the system may still list the thread a moment (about
// one end in a thousand here): Linux clears the thread's id and wakes the
// joiner as the thread lets go of its memory, before it releases the task.
// Waits until the id names no thread of the process; bounded, as the id
// may already be a new thread's.
void LeftTheProcess(pid_t systemId) {
    const pid_t process = getpid();
    for (int round = 0; round < 1200 && tgkill(process, systemId, 0) == 0; ++round) {
        if (round < 1000) {
            sched_yield();
        } else {
            ::timespec pause{0, 1000000}; // the thread was taken off the processor: 200 ms more at most
            nanosleep(&pause, nullptr);
        }
    }
}

Reaper* Reaper::OfThisProcess() {
    const pid_t process = getpid();
    if (g_Reaper != nullptr && g_Reaper->m_Process == process)
        return g_Reaper;
    // The first thread, or the first of a forked child: the parent's reaper
    // is not here, and its state may have been copied mid-change; left as
    // it is, with the parent's threads it held.
    auto* reaper = new Reaper;
    reaper->m_Process = process;
    if (g_Reaper != nullptr) {
        reaper->m_Key = g_Reaper->m_Key;
    } else if (pthread_key_create(&reaper->m_Key, ThreadExits) != 0) {
        delete reaper;
        return nullptr;
    }
    // The reaper takes no signal meant for the process.
    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t system;
    const int error = pthread_create(&system, &attr, Run, reaper);
    pthread_attr_destroy(&attr);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (error != 0) {
        if (g_Reaper == nullptr)
            pthread_key_delete(reaper->m_Key);
        delete reaper;
        return nullptr;
    }
    g_Reaper = reaper;
    return reaper;
}

void* Reaper::Run(void* argument) {
    auto* reaper = static_cast<Reaper*>(argument);
    std::unique_lock<std::mutex> lock(KernelLock());
    for (;;) {
        reaper->m_Wake.wait(lock, [reaper] { return !reaper->m_Ending.empty(); });
        std::unique_ptr<StartRecord> ending(reaper->m_Ending.front());
        reaper->m_Ending.pop_front();
        lock.unlock();
        pthread_join(ending->system, nullptr);
        LeftTheProcess(ending->systemId);
        lock.lock();
        ThreadObject& thread = *ending->thread;
        thread.exitCode = ending->exitCode;
        RunningThreads().erase(ending->threadId);
        thread.Set();
    }
}

std::recursive_mutex* SectionLock(LPCRITICAL_SECTION section) {
    return std::launder(reinterpret_cast<std::recursive_mutex*>(section->Opaque));
}

static_assert(sizeof(std::recursive_mutex) <= sizeof(CRITICAL_SECTION::Opaque));
static_assert(alignof(std::recursive_mutex) <= alignof(CRITICAL_SECTION));

} // namespace

std::mutex& KernelLock() {
    static std::mutex* lock = new std::mutex;
    return *lock;
}

Waiter& ThisThreadWaiter() {
    thread_local Waiter waiter;
    return waiter;
}

void Notifier::Notify() {
    for (Waiter* waiter : m_Waiters)
        waiter->wake.notify_one();
}

void Notifier::Add(Waiter* waiter) {
    m_Waiters.push_back(waiter);
}

void Notifier::Remove(Waiter* waiter) {
    for (auto it = m_Waiters.begin(); it != m_Waiters.end(); ++it) {
        if (*it == waiter) {
            m_Waiters.erase(it);
            return;
        }
    }
}

Deadline::Deadline(DWORD milliseconds)
    : infinite(milliseconds == INFINITE), at(Clock::now() + std::chrono::milliseconds(infinite ? 0 : milliseconds)) {}

std::shared_ptr<Waitable> FindWaitable(HANDLE handle) {
    return Handles().Find(handle);
}

} // namespace YNetPosix

using namespace YNetPosix;

// ---------------------------------------------------------------- critical sections

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION section) {
    new (section->Opaque) std::recursive_mutex;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION section) {
    SectionLock(section)->lock();
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION section) {
    return SectionLock(section)->try_lock() ? TRUE : FALSE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION section) {
    SectionLock(section)->unlock();
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION section) {
    SectionLock(section)->~recursive_mutex();
}

// ---------------------------------------------------------------- interlocked
// Full barriers, as the Windows functions are.

LONG WINAPI InterlockedExchange(LONG volatile* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}

LONG WINAPI InterlockedCompareExchange(LONG volatile* target, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand; // the value found, whether or not it was replaced
}

// The sums wrap as on Windows: computed unsigned, so overflow is defined.
LONG WINAPI InterlockedIncrement(LONG volatile* target) {
    return static_cast<LONG>(__atomic_add_fetch(reinterpret_cast<volatile ULONG*>(target), 1u, __ATOMIC_SEQ_CST));
}

LONG WINAPI InterlockedDecrement(LONG volatile* target) {
    return static_cast<LONG>(__atomic_sub_fetch(reinterpret_cast<volatile ULONG*>(target), 1u, __ATOMIC_SEQ_CST));
}

LONG WINAPI InterlockedExchangeAdd(LONG volatile* target, LONG value) {
    return static_cast<LONG>(
        __atomic_fetch_add(reinterpret_cast<volatile ULONG*>(target), static_cast<ULONG>(value), __ATOMIC_SEQ_CST));
}

// ---------------------------------------------------------------- events, waits, handles

HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES /*attributes*/, BOOL manualReset, BOOL initialState, LPCSTR name) {
    if (name != nullptr) { // named events would be shared between processes: not offered
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto event = std::make_shared<Waitable>(manualReset != FALSE, initialState != FALSE);
    std::lock_guard<std::mutex> hold(KernelLock());
    return Handles().Add(std::move(event));
}

namespace {

// Events only: a thread handle cannot be set or reset.
BOOL ChangeEvent(HANDLE event, bool set) {
    std::lock_guard<std::mutex> hold(KernelLock());
    std::shared_ptr<Waitable> object = Handles().Find(event);
    if (object == nullptr || dynamic_cast<ThreadObject*>(object.get()) != nullptr) {
        t_LastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (set)
        object->Set();
    else
        object->Reset();
    return TRUE;
}

} // namespace

BOOL WINAPI SetEvent(HANDLE event) {
    return ChangeEvent(event, true);
}

BOOL WINAPI ResetEvent(HANDLE event) {
    return ChangeEvent(event, false);
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    Deadline deadline(milliseconds);
    std::unique_lock<std::mutex> lock(KernelLock());
    std::shared_ptr<Waitable> object = Handles().Find(handle);
    if (object == nullptr) {
        t_LastError = ERROR_INVALID_HANDLE;
        return WAIT_FAILED;
    }
    Notifier* source = object.get();
    return WaitUntil(lock, &source, 1, deadline, [&] { return object->TryConsume(); }) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL WINAPI CloseHandle(HANDLE handle) {
    std::shared_ptr<Waitable> object; // released after the lock
    std::lock_guard<std::mutex> hold(KernelLock());
    object = Handles().Find(handle);
    if (object == nullptr) {
        t_LastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    Handles().Remove(handle);
    return TRUE;
}

// ---------------------------------------------------------------- threads

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES /*attributes*/, SIZE_T stackSize, LPTHREAD_START_ROUTINE routine,
                           LPVOID parameter, DWORD creationFlags, LPDWORD threadId) {
    // Suspended creation is not offered; the reservation flag changes nothing here.
    if (routine == nullptr || (creationFlags & ~STACK_SIZE_PARAM_IS_A_RESERVATION) != 0) {
        t_LastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    auto thread = std::make_shared<ThreadObject>();
    auto* start = new StartRecord{routine, parameter, NewThreadId(), thread, nullptr};
    DWORD id = start->threadId;

    HANDLE handle;
    {
        std::lock_guard<std::mutex> hold(KernelLock());
        start->reaper = Reaper::OfThisProcess();
        if (start->reaper == nullptr) {
            delete start;
            t_LastError = ERROR_NOT_ENOUGH_MEMORY;
            return nullptr;
        }
        handle = Handles().Add(thread);
        RunningThreads().emplace(id, thread);
    }

    pthread_attr_t attr; // joinable: the reaper joins it
    pthread_attr_init(&attr);
    if (stackSize != 0) {
        const std::size_t kMinimum = 64 * 1024;
        pthread_attr_setstacksize(&attr, stackSize < kMinimum ? kMinimum : stackSize);
    }
    pthread_t system;
    int error = pthread_create(&system, &attr, ThreadStart, start);
    pthread_attr_destroy(&attr);
    if (error != 0) {
        delete start;
        std::lock_guard<std::mutex> hold(KernelLock());
        Handles().Remove(handle);
        RunningThreads().erase(id);
        t_LastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    {
        std::lock_guard<std::mutex> hold(KernelLock());
        thread->system = system;
        thread->started = true;
    }
    if (threadId != nullptr)
        *threadId = id;
    return handle;
}

BOOL WINAPI GetThreadTimes(HANDLE thread, LPFILETIME creationTime, LPFILETIME exitTime, LPFILETIME kernelTime,
                           LPFILETIME userTime) {
    if (creationTime == nullptr || exitTime == nullptr || kernelTime == nullptr || userTime == nullptr) {
        t_LastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    std::uint64_t used = 0;
    {
        std::lock_guard<std::mutex> hold(KernelLock());
        auto* threadObject = dynamic_cast<ThreadObject*>(Handles().Find(thread).get());
        if (threadObject == nullptr) {
            t_LastError = ERROR_INVALID_HANDLE;
            return FALSE;
        }
        if (threadObject->timed) {
            used = threadObject->cpuNanoseconds;
        } else if (threadObject->started) {
            // Not joined meanwhile: the thread marks itself timed under this lock first.
            clockid_t clock;
            ::timespec now{};
            if (pthread_getcpuclockid(threadObject->system, &clock) == 0 && clock_gettime(clock, &now) == 0)
                used = Nanoseconds(now);
        }
    }
    std::uint64_t units = used / 100;
    *creationTime = FILETIME{0, 0};
    *exitTime = FILETIME{0, 0};
    *kernelTime = FILETIME{0, 0};
    *userTime = FILETIME{static_cast<DWORD>(units), static_cast<DWORD>(units >> 32)};
    return TRUE;
}

BOOL WINAPI GetExitCodeThread(HANDLE thread, LPDWORD exitCode) {
    std::lock_guard<std::mutex> hold(KernelLock());
    std::shared_ptr<Waitable> object = Handles().Find(thread);
    auto* threadObject = dynamic_cast<ThreadObject*>(object.get());
    if (threadObject == nullptr || exitCode == nullptr) {
        t_LastError = threadObject == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    *exitCode = threadObject->exitCode;
    return TRUE;
}

HANDLE WINAPI OpenThread(DWORD /*access*/, BOOL /*inheritHandle*/, DWORD threadId) {
    std::lock_guard<std::mutex> hold(KernelLock());
    auto it = RunningThreads().find(threadId);
    if (it == RunningThreads().end()) {
        t_LastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    return Handles().Add(it->second);
}

DWORD WINAPI GetCurrentThreadId() {
    if (t_ThreadId == 0)
        t_ThreadId = NewThreadId();
    return t_ThreadId;
}

void WINAPI Sleep(DWORD milliseconds) {
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;) {
            ::timespec day{86400, 0};
            nanosleep(&day, nullptr);
        }
    }
    ::timespec request{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    ::timespec left;
    while (nanosleep(&request, &left) != 0)
        request = left; // interrupted by a signal: sleep what is left
}

DWORD WINAPI GetTickCount() {
    ::timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::uint64_t milliseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000u + now.tv_nsec / 1000000;
    return static_cast<DWORD>(milliseconds); // wraps every 49.7 days, as on Windows
}

DWORD WINAPI GetLastError() {
    return t_LastError;
}

void WINAPI SetLastError(DWORD error) {
    t_LastError = error;
}

BOOL WINAPI CancelIo(HANDLE /*file*/) {
    return TRUE;
}

BOOL WINAPI CancelIoEx(HANDLE /*file*/, LPOVERLAPPED /*overlapped*/) {
    t_LastError = ERROR_NOT_FOUND;
    return FALSE;
}

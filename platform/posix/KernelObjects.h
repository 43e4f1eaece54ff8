// Internal header. Kernel objects of the POSIX layer: the handle table of
// events and threads, and the one wait primitive that events, threads,
// message queues and cross-thread SendMessageA share.
//
// Locking: every field marked "kernel lock" is read and written only under
// KernelLock(). The lock is never held across a call into application code
// (thread routines, window procedures).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/posix/WinApiPosix.h"

namespace YNetPosix {

std::mutex& KernelLock();

// One waiting thread. A thread waits on at most one wait call at a time, so
// each thread owns one Waiter (ThisThreadWaiter).
struct Waiter {
    std::condition_variable wake;
};
Waiter& ThisThreadWaiter();

// Something a thread can wait for: wakes every registered waiter on a
// change of state; each waiter then re-tests its own condition.
class Notifier {
public:
    // Kernel lock held.
    void Notify();
    void Add(Waiter* waiter);
    void Remove(Waiter* waiter);

private:
    std::vector<Waiter*> m_Waiters; // kernel lock
};

// An object with a signalled state: events and threads.
class Waitable : public Notifier {
public:
    Waitable(bool manualReset, bool signalled) : m_ManualReset(manualReset), m_Signalled(signalled) {}
    virtual ~Waitable() = default;

    // Kernel lock held. An auto-reset object is consumed by the wait that
    // sees it signalled.
    bool TryConsume() {
        if (!m_Signalled)
            return false;
        if (!m_ManualReset)
            m_Signalled = false;
        return true;
    }
    void Set() {
        m_Signalled = true;
        Notify();
    }
    void Reset() { m_Signalled = false; }

private:
    bool m_ManualReset;
    bool m_Signalled; // kernel lock
};

using Clock = std::chrono::steady_clock;

// A point in time, or never (INFINITE).
struct Deadline {
    explicit Deadline(DWORD milliseconds);
    bool infinite;
    Clock::time_point at;
};

// Kernel lock held by `lock`. Waits until ready() answers true (tested
// under the lock, first at once) or the deadline passes; the waiter is
// registered with every source meanwhile. Returns ready()'s last answer.
template <typename Ready>
bool WaitUntil(std::unique_lock<std::mutex>& lock, Notifier* const* sources, std::size_t count,
               const Deadline& deadline, Ready ready) {
    if (ready())
        return true;
    if (!deadline.infinite && Clock::now() >= deadline.at)
        return false; // a poll (zero time-out) answers at once, as on Windows
    Waiter& waiter = ThisThreadWaiter();
    for (std::size_t i = 0; i < count; ++i)
        sources[i]->Add(&waiter);
    bool result = false;
    for (;;) {
        if (deadline.infinite) {
            waiter.wake.wait(lock);
        } else if (waiter.wake.wait_until(lock, deadline.at) == std::cv_status::timeout) {
            result = ready();
            break;
        }
        if (ready()) {
            result = true;
            break;
        }
    }
    for (std::size_t i = 0; i < count; ++i)
        sources[i]->Remove(&waiter);
    return result;
}

// Kernel lock held. The object behind an event or thread handle, or null.
std::shared_ptr<Waitable> FindWaitable(HANDLE handle);

// Ends the calling thread's message queue, if it has one: its windows are
// gone, posts to them fail, and senders waiting on them are answered 0.
// Runs when a thread of CreateThread returns (before its handle is
// signalled) and, for other threads, at thread exit.
void ReleaseThreadQueue();

} // namespace YNetPosix

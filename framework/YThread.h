// Public header. YThread: the worker-thread base of every connection kernel.
//
// Layout, part of the interface: a table of virtual operations, then seven
// 32-bit words. Derived kernels read two of them: m_Thread (first word,
// non-zero while a created thread is held) and m_ExitEvent (sixth word, the
// event that asks the thread to end).
//
//   slot [0] virtual destructor     (releases nothing)
//   slot [1] Run(void*)             the thread body
//   slot [2] CreateThread(...)      starts a thread that runs Run
//
// Threads: CreateThread, SignalExit, WaitForExitThread and CleanUp may race
// with one another (owner's thread against the object's own thread); they
// serialise on one process-wide lock, taken only for these rare steps.
#pragma once

#include "platform/WinApi.h"

namespace YNet2 {

class YNET_API YThread {
public:
    YThread();
    // A copy does not take over the other object's thread: its thread words
    // start at zero. Assignment keeps this object's own thread words.
    YThread(const YThread& other);
    YThread& operator=(const YThread& other);
    virtual ~YThread();

    // The thread body. The default does nothing and returns 0.
    virtual LONG Run(void* param);

    // Starts the object's thread. With a null routine the new thread runs
    // this object's Run(param); otherwise it runs routine(param). Returns 0
    // when a thread was started, non-zero (E_FAIL) when none was, and also
    // when this object already holds a thread.
    virtual LONG CreateThread(DWORD stackSize, LPTHREAD_START_ROUTINE routine, void* param, DWORD flags);

    // Asked by the thread itself once per pass of its loop: true once the
    // thread has been asked to end by SignalExit or WaitForExitThread, and
    // within at most 1024 calls once a derived kernel has signalled
    // m_ExitEvent itself (SetEvent). Costs an atomic load on the common path.
    bool ICanExit();

    // Asks the thread to end, then returns once it has ended; at once when
    // there is no thread. Never call it from the object's own thread.
    // While it waits, the calling thread runs the messages other threads
    // send to its windows (the object's thread may be sending to one of
    // them); posted messages stay queued.
    void WaitForExitThread();
    // The same, calling whileWaiting(context) on the waiting thread every
    // few milliseconds until the thread has ended (for a kernel that must
    // repeat a wake of its thread).
    void WaitForExitThread(void (*whileWaiting)(void* context), void* context);

    // Asks the thread to end without waiting (sets m_ExitEvent while a
    // thread is held).
    void SignalExit();

    // True when the calling thread is this object's thread.
    bool IsOwnThread() const;

protected:
    // The thread's last call before its body returns; also safe from the
    // owner once the thread has ended. Releases what the base holds for the
    // ended thread, unless a waiter in WaitForExitThread will.
    void CleanUp();

    DWORD m_Thread;    // [1] thread handle, 0 when none
    DWORD m_ThreadId;  // [2] system id of the thread
    DWORD m_StackSize; // [3] stack size asked for
    DWORD m_Flags;     // [4] creation flags asked for
    DWORD m_ExitAsked; // [5] 1 once the thread was asked to end (read with an atomic load)
    DWORD m_ExitEvent; // [6] manual-reset event: the request to end
    DWORD m_Waiting;   // [7] 1 while WaitForExitThread waits: the waiter closes the handles
};

} // namespace YNet2

// Public header.
/// @file
/// YThread: the worker-thread base of every connection kernel.
///
/// @class YNet2::YThread
/// Layout, part of the interface: a table of virtual operations, then seven
/// 32-bit words. Derived kernels read two of them: m_Thread (first word,
/// non-zero while a created thread is held) and m_ExitEvent (sixth word, the
/// event that asks the thread to end).
///
///       slot [0] virtual destructor     (releases nothing)
///       slot [1] Run(void*)             the thread body
///       slot [2] CreateThread(...)      starts a thread that runs Run
///
/// Threads: CreateThread, SignalExit, WaitForExitThread and CleanUp may race
/// with one another (owner's thread against the object's own thread); they
/// serialise on one process-wide lock, taken only for these rare steps.
#pragma once

#include "platform/WinApi.h"

namespace YNet2 {

class YNET_API YThread {
public:
    YThread();
    /// A copy does not take over the other object's thread: its thread words
    /// start at zero. Assignment keeps this object's own thread words.
    ///@{
    YThread(const YThread& other);
    YThread& operator=(const YThread& other);
    ///@}
    virtual ~YThread();

    /// The thread body. The default does nothing and returns 0.
    virtual LONG Run(void* param);

    /// Starts the object's thread. With a null routine the new thread runs
    /// this object's Run(param); otherwise it runs routine(param). Its stack
    /// is a reservation of stackSize bytes, or with 0 of the object's stack
    /// reserve (SetStackReserve). Returns 0 when a thread was started,
    /// non-zero (E_FAIL) when none was, and also when this object already
    /// holds a thread.
    virtual LONG CreateThread(DWORD stackSize, LPTHREAD_START_ROUTINE routine, void* param, DWORD flags);

    /// The address space reserved for the stack of the thread this object
    /// starts next (a connection's receive thread: set it before Init). The
    /// system commits pages only as the thread touches them; it rounds the
    /// size up to its granularity (64 KiB on Windows; Wine reserves at least
    /// 1 MiB whatever is asked) and the POSIX layer takes at least 64 KiB.
    /// 0 restores the default, 128 KiB: with it a 32-bit process has room
    /// for about 12,000 connections (computed; 1 MiB, the default reserve of
    /// a program built by Microsoft's linker, leaves room for about 1,900).
    ///
    /// The library's own calls on a receive thread (its receive loop, the
    /// calls into the worker, SendMsg from the handler, a failed receive
    /// with its log line) reach at most 18.3 KiB below the stack's top
    /// natively, 7.4 KiB of which the system keeps there before the thread
    /// starts (glibc's thread block and thread-local storage), and 9.1 KiB
    /// under Wine (measured with bench/ScaleBench --stack). The rest is the
    /// handler's; a handler that needs more than the reserve overflows the
    /// stack, which ends the process: size it for the handler.
    void SetStackReserve(DWORD bytes);
    /// The stack reserve the next thread gets: SetStackReserve's, or the default.
    DWORD GetStackReserve() const;
    /// The stack reserve of a receive thread unless SetStackReserve sets another.
    static constexpr DWORD kDefaultStackReserve = 128 * 1024;

    /// Asked by the thread itself once per pass of its loop: true once the
    /// thread has been asked to end by SignalExit or WaitForExitThread, and
    /// within at most 1024 calls once a derived kernel has signalled
    /// m_ExitEvent itself (SetEvent). Costs an atomic load on the common path.
    bool ICanExit();

    /// Asks the thread to end, then returns once it has ended; at once when
    /// there is no thread. Never call it from the object's own thread.
    /// While it waits, the calling thread runs the messages other threads
    /// send to its windows (the object's thread may be sending to one of
    /// them); posted messages stay queued.
    void WaitForExitThread();
    /// The same, calling whileWaiting(context) on the waiting thread every
    /// few milliseconds until the thread has ended (for a kernel that must
    /// repeat a wake of its thread).
    void WaitForExitThread(void (*whileWaiting)(void* context), void* context);
    /// The same, but keepWaiting(context), called every few milliseconds,
    /// may give the wait up by answering false: false is then returned and
    /// the thread, still running, keeps its handles (its own CleanUp, or a
    /// later wait, releases them). True once the thread has ended.
    /// Whoever gives a wait up holds the object alive until the thread's
    /// own CleanUp (the C++ client does so only while it is destroyed on
    /// that thread).
    bool WaitForExitThreadWhile(bool (*keepWaiting)(void* context), void* context);

    /// Asks the thread to end without waiting (sets m_ExitEvent while a
    /// thread is held).
    void SignalExit();

    /// True when the calling thread is this object's thread.
    bool IsOwnThread() const;

protected:
    /// The thread's last call before its body returns; also safe from the
    /// owner once the thread has ended. Releases what the base holds for the
    /// ended thread, unless a waiter in WaitForExitThread will.
    void CleanUp();

    DWORD m_Thread;    ///< [1] thread handle, 0 when none
    DWORD m_ThreadId;  ///< [2] system id of the thread
    DWORD m_StackSize; ///< [3] stack reserve asked for, 0 for kDefaultStackReserve
    DWORD m_Flags;     ///< [4] creation flags asked for
    DWORD m_ExitAsked; ///< [5] 1 once the thread was asked to end (read with an atomic load)
    DWORD m_ExitEvent; ///< [6] manual-reset event: the request to end
    DWORD m_Waiting;   ///< [7] 1 while WaitForExitThread waits: the waiter closes the handles
};

} // namespace YNet2

// Internal header, not installed. The slots that bound how many name
// lookups run on threads of their own.
#pragma once

#include "platform/WinApi.h"

namespace YNet2 {

// kMaxOutlivingLookups slots, one held by each lookup that runs on a thread
// of its own from before its thread starts until the thread is done. Any
// such lookup may outlive its caller (its bound runs out, or it is
// abandoned), so holding a slot for the whole of the thread's life is what
// keeps the lookups left running by callers that gave up at that many,
// whatever the callers do. A caller that finds none free waits its turn.
//
// Invariants (checked by assertions in debug builds, under the lock):
//   1. Free slots plus slots held make kMaxOutlivingLookups, neither below 0.
//   2. A slot is free only while no caller waits: Give hands a slot to the
//      first waiter rather than freeing it, so callers are served in the
//      order they came.
//   3. A waiter is queued from its Take until a slot is handed to it
//      (Give dequeues it) or it leaves without one (Take dequeues it): the
//      queue names no waiter that has left, and its event is open while
//      it is queued.
//
// The one object lives as long as the process (Slots()): lookup threads
// that outlive their callers may give their slots back while it exits.
class LookupSlots {
public:
    static LookupSlots& Slots();

    // A slot: true at once when one is free, else once Give hands one over,
    // waiting on wake (the caller's own manual-reset event, which Give sets
    // when it hands a slot over) until then, or until wake is set by
    // something else (an abandon) or boundMs (0: none) counted from start
    // (GetTickCount) runs out: false, without a slot. Leaves wake set when a
    // slot was handed over.
    bool Take(HANDLE wake, DWORD start, DWORD boundMs);
    // Gives back a slot that Take answered: to the first waiter, or free.
    void Give();

private:
    struct Waiter {
        HANDLE wake;
        bool granted;
        Waiter* next;
        Waiter* previous;
    };
    LookupSlots();
    void Check() const;

    CRITICAL_SECTION m_Lock;
    int m_Free;
    int m_Held;
    Waiter* m_First; // the queue of waiters, in the order they came
    Waiter* m_Last;
};

// What is left of boundMs counted from start (GetTickCount); INFINITE when
// boundMs is 0 (no bound).
DWORD RemainingMs(DWORD start, DWORD boundMs);

} // namespace YNet2

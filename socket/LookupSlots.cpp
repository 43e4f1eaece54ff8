#include "socket/LookupSlots.h"

#include <cassert>

#include "socket/LookupAbandon.h"
#include "stream/LockHolder.h"

namespace YNet2 {

LookupSlots& LookupSlots::Slots() {
    static LookupSlots slots; // trivially destroyed: nothing of it ends at exit
    return slots;
}

LookupSlots::LookupSlots() : m_Free(kMaxOutlivingLookups), m_Held(0), m_First(nullptr), m_Last(nullptr) {
    InitializeCriticalSection(&m_Lock);
}

bool LookupSlots::Take(HANDLE wake, DWORD start, DWORD boundMs) {
    Waiter me{wake, false, nullptr, nullptr};
    LockHolder hold(&m_Lock);
    Check();
    if (m_Free > 0) {
        --m_Free;
        ++m_Held;
        return true;
    }
    me.previous = m_Last;
    (m_Last != nullptr ? m_Last->next : m_First) = &me;
    m_Last = &me;
    hold.Unlock();
    // Only Give (with the slot) and an abandon set wake: one wait suffices.
    WaitForSingleObject(wake, RemainingMs(start, boundMs));
    hold.Lock();
    if (!me.granted) {
        (me.previous != nullptr ? me.previous->next : m_First) = me.next;
        (me.next != nullptr ? me.next->previous : m_Last) = me.previous;
    }
    Check();
    return me.granted;
}

void LookupSlots::Give() {
    LockHolder hold(&m_Lock);
    Check();
    if (Waiter* first = m_First) {
        m_First = first->next;
        (m_First != nullptr ? m_First->previous : m_Last) = nullptr;
        first->granted = true; // the slot goes from this holder to that one
        SetEvent(first->wake); // under the lock: the waiter, and its event, stay until it has it back
    } else {
        --m_Held;
        ++m_Free;
    }
    Check();
}

void LookupSlots::Check() const {
#ifndef NDEBUG
    assert(m_Free >= 0 && m_Held >= 0 && m_Free + m_Held == kMaxOutlivingLookups);
    assert(m_Free == 0 || m_First == nullptr);
    const Waiter* previous = nullptr;
    for (const Waiter* waiter = m_First; waiter != nullptr; previous = waiter, waiter = waiter->next)
        assert(!waiter->granted && waiter->previous == previous && waiter->wake != nullptr);
    assert(m_Last == previous);
#endif
}

DWORD RemainingMs(DWORD start, DWORD boundMs) {
    if (boundMs == 0)
        return INFINITE;
    DWORD spent = GetTickCount() - start;
    return spent >= boundMs ? 0 : boundMs - spent;
}

} // namespace YNet2

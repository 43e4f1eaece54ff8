#include "socket/LookupAbandon.h"

namespace YNet2 {

LookupAbandon::LookupAbandon() : m_Wake(nullptr), m_Abandoned(false) {
    InitializeCriticalSection(&m_Lock);
}

LookupAbandon::~LookupAbandon() {
    DeleteCriticalSection(&m_Lock);
}

void LookupAbandon::Abandon() {
    EnterCriticalSection(&m_Lock);
    m_Abandoned = true;
    if (m_Wake != nullptr)
        SetEvent(m_Wake); // the waiter holds the lookup, and its event, until it has left
    LeaveCriticalSection(&m_Lock);
}

void LookupAbandon::Reset() {
    EnterCriticalSection(&m_Lock);
    m_Abandoned = false;
    LeaveCriticalSection(&m_Lock);
}

bool LookupAbandon::Enter(HANDLE wake) {
    EnterCriticalSection(&m_Lock);
    m_Wake = wake;
    bool abandoned = m_Abandoned;
    LeaveCriticalSection(&m_Lock);
    return !abandoned;
}

bool LookupAbandon::Leave() {
    EnterCriticalSection(&m_Lock);
    m_Wake = nullptr;
    bool abandoned = m_Abandoned;
    LeaveCriticalSection(&m_Lock);
    return abandoned;
}

} // namespace YNet2

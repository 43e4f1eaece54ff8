#include "stream/LockHolder.h"

namespace YNet2 {

LockHolder::LockHolder(LPCRITICAL_SECTION section) : m_Section(section), m_Entered(0) { Lock(); }

LockHolder::~LockHolder() {
    while (m_Entered > 0)
        Unlock();
}

void LockHolder::Lock() {
    EnterCriticalSection(m_Section);
    ++m_Entered;
}

void LockHolder::Unlock() {
    if (m_Entered == 0)
        return;
    --m_Entered;
    LeaveCriticalSection(m_Section);
}

} // namespace YNet2

// Public header.
/// @file
/// LockHolder: scoped holder of a critical section.
#pragma once

#include "platform/WinApi.h"

namespace YNet2 {

/// Enters the critical section on construction and, when it goes out of
/// scope, leaves it as many times as this holder entered it, so a region is
/// released on every way out. One thread uses a holder; it is not copyable.
/// Inline: the receive stream takes its locks on every block it handles.
class YNET_API LockHolder {
public:
    /// Enters section once.
    explicit LockHolder(LPCRITICAL_SECTION section) : m_Section(section), m_Entered(0) { Lock(); }
    ~LockHolder() {
        while (m_Entered > 0)
            Unlock();
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    /// Enters once more.
    void Lock() {
        EnterCriticalSection(m_Section);
        ++m_Entered;
    }
    /// Leaves once, if this holder is inside.
    void Unlock() {
        if (m_Entered == 0)
            return;
        --m_Entered;
        LeaveCriticalSection(m_Section);
    }
    /// How many times this holder is inside.
    int Entered() const { return m_Entered; }

private:
    LPCRITICAL_SECTION m_Section;
    int m_Entered;
};

} // namespace YNet2

// Public header. LockHolder: scoped holder of a critical section.
#pragma once

#include "platform/WinApi.h"

namespace YNet2 {

// Enters the critical section on construction and, when it goes out of
// scope, leaves it as many times as this holder entered it, so a region is
// released on every way out. One thread uses a holder; it is not copyable.
class YNET_API LockHolder {
public:
    explicit LockHolder(LPCRITICAL_SECTION section);
    ~LockHolder();
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;

    // Enters once more.
    void Lock();
    // Leaves once, if this holder is inside.
    void Unlock();

private:
    LPCRITICAL_SECTION m_Section;
    int m_Entered;
};

} // namespace YNet2

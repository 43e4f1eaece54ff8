// Internal header, not installed. What reaches a name lookup under way from
// another thread (LookupAbandon), how many lookups may outlive their
// callers, and the tests' resolver hook.
#pragma once

#include "platform/WinApi.h"

namespace YNet2 {

// One per client. A lookup that YSocketTarget::Resolve waits for on a
// thread of its own registers here; Abandon, from any thread, ends that
// wait at once (E_FAIL) and every wait that begins after it, until Reset.
// The abandoned lookup's thread finishes by itself, touching nothing of the
// caller's.
class LookupAbandon {
public:
    LookupAbandon();
    ~LookupAbandon();
    LookupAbandon(const LookupAbandon&) = delete;
    LookupAbandon& operator=(const LookupAbandon&) = delete;

    void Abandon();
    void Reset();
    // Resolve's: registers the event its wait ends on; false when abandoned.
    bool Enter(HANDLE wake);
    // Resolve's: unregisters; true when abandoned meanwhile.
    bool Leave();

private:
    CRITICAL_SECTION m_Lock;
    HANDLE m_Wake; // null while no wait is registered
    bool m_Abandoned;
};

// Most lookups left running by callers that gave up on them (their bound
// ran out, or they were abandoned). Any lookup on a thread of its own may
// become one at any moment, so this is also how many run on threads of
// their own in all (LookupSlots): a caller that finds that many running
// waits for one to end, within its bound and until abandoned; one whose
// bound runs out while all of them have outlived their callers fails with a
// log line saying so. Lookups without a bound or an abandon run on their
// callers' threads and are not counted.
constexpr int kMaxOutlivingLookups = 8;

// Tests only: answers lookups instead of the system's resolver. Writes at
// most max IPv4 addresses (network byte order) and their count; answers 0
// or a Winsock error (WSAHOST_NOT_FOUND...). max is larger than what a
// lookup keeps (YSocketTarget::kMaxAddresses), so a hook can answer as a
// name with many addresses does. Null restores the system's.
typedef int (*ResolverHook)(const char* name, ULONG* addresses, int max, int* count);
void SetResolverHook(ResolverHook hook);

} // namespace YNet2

// Internal header. What a process holds, sampled from the system's own
// accounts, for the checks that a run of connections leaves nothing behind.
//
// POSIX: open descriptors (/proc/self/fd), threads and resident memory
// (/proc/self/status). Windows: open handles (sockets, events and threads
// among them); threads and resident memory only under Wine, read from the
// host's account of the process. -1 where the platform cannot tell.
#pragma once

#include "platform/WinApi.h"

namespace YNetTest {

struct ProcessCounters {
    long descriptors; // descriptors (POSIX) or handles (Windows)
    long threads;
    long residentKiB;
};

ProcessCounters SampleProcess();

// Threads end a little after they signal their end (the system tears them
// down). Waits at most milliseconds until the thread count is at most
// threads; true when it is (or when the platform cannot tell).
bool WaitForThreadsAtMost(long threads, DWORD milliseconds);

} // namespace YNetTest

// Internal header. What a process holds, sampled from the system's own
// accounts, for the checks that a run of connections leaves nothing behind.
//
// POSIX: open descriptors (/proc/self/fd), threads and resident memory
// (/proc/self/status). Under Wine: the same three of the host process that
// runs the program, whose id the environment variable YNET_HOST_PID gives
// (cmake/wine-run.sh sets it; the host's /proc seen through drive Z:). On
// Windows otherwise: open handles only. -1 where the platform cannot tell.
#pragma once

#include "platform/WinApi.h"

namespace YNetTest {

struct ProcessCounters {
    long descriptors; // descriptors (POSIX) or handles (Windows)
    long threads;
    long residentKiB;
};

ProcessCounters SampleProcess();

// Descriptors a process may open of its own accord between two samples:
// none natively; under Wine a few (its per-thread server channels and
// caches are opened lazily), so a check there catches repeated leaks only.
long DescriptorNoise();

// Threads end a little after they signal their end (the system tears them
// down). Waits at most milliseconds until the thread count is at most
// threads; true when it is (or when the platform cannot tell).
bool WaitForThreadsAtMost(long threads, DWORD milliseconds);

// Makes and ends a thread of CreateThread: the threads a process starts
// once, at its first thread (a sanitizer's own; on POSIX the kernel layer's
// reaper), are then in a baseline sampled after.
void WarmUpThreads();

} // namespace YNetTest

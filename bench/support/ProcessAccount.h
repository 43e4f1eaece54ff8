// What the process holds, from its own account of itself: the address space
// it has mapped or reserved, its resident memory, its threads and open
// descriptors (handles on Windows). POSIX reads /proc/self; Windows walks its
// address space with VirtualQuery and, under Wine, reads the rest from the
// host process's /proc entry (cmake/wine-run.sh gives its id in
// YNET_HOST_PID). -1 where the platform cannot tell.
//
// Written apart from this library's headers (the POSIX side uses the
// system's names), one source per platform.
#pragma once

#include <cstdint>

namespace BenchNet {

struct ProcessAccount {
    long long reservedKiB; // mapped or reserved address space
    long long residentKiB;
    long threads;
    long descriptors;
};

ProcessAccount SampleAccount();

// Raises the limit on open descriptors to the hard limit. Returns the limit
// now in force, or -1 where there is none to raise.
long RaiseDescriptorLimit();

// The calling thread's stack: the lowest address it may grow down to (above
// the guard) and its top. False when the platform cannot tell.
bool ThreadStackExtent(const void* inside, std::uintptr_t* low, std::uintptr_t* top);

} // namespace BenchNet

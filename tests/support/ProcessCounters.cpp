#include "support/ProcessCounters.h"

#include <filesystem>
#include <fstream>
#include <string>

#include "support/ClientHarness.h"

namespace YNetTest {

namespace {

// One "Name:   value" field of a Linux /proc status file, or -1.
long StatusField(const char* path, const std::string& name) {
    std::ifstream status(path);
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, name.size() + 1, name + ":") == 0)
            return std::stol(line.substr(name.size() + 1));
    }
    return -1;
}

} // namespace

ProcessCounters SampleProcess() {
    ProcessCounters counters{-1, -1, -1};
#if defined(_WIN32)
    DWORD handles = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &handles))
        counters.descriptors = static_cast<long>(handles);
    if (RunningUnderWine()) {
        // The Windows process is a host process: drive Z: is the host's root.
        counters.threads = StatusField("Z:\\proc\\self\\status", "Threads");
        counters.residentKiB = StatusField("Z:\\proc\\self\\status", "VmRSS");
    }
#else
    std::error_code error;
    long count = 0;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end; !error && it != end; it.increment(error))
        ++count;
    if (!error)
        counters.descriptors = count;
    counters.threads = StatusField("/proc/self/status", "Threads");
    counters.residentKiB = StatusField("/proc/self/status", "VmRSS");
#endif
    return counters;
}

bool WaitForThreadsAtMost(long threads, DWORD milliseconds) {
    DWORD start = GetTickCount();
    for (;;) {
        long now = SampleProcess().threads;
        if (now < 0 || now <= threads)
            return true;
        if (GetTickCount() - start >= milliseconds)
            return false;
        Sleep(10); // polling the system's account: there is nothing to wait on
    }
}

} // namespace YNetTest

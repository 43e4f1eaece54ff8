#include "support/ProcessCounters.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "support/ClientHarness.h"

namespace YNetTest {

namespace {

// One "Name:   value" field of a Linux /proc status file, or -1.
long StatusField(const std::string& path, const std::string& name) {
    std::ifstream status(path);
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, name.size() + 1, name + ":") == 0)
            return std::stol(line.substr(name.size() + 1));
    }
    return -1;
}

// Entries of a directory, or -1 when it cannot be read.
long CountEntries(const std::string& path) {
    std::error_code error;
    long count = 0;
    for (std::filesystem::directory_iterator it(path, error), end; !error && it != end; it.increment(error))
        ++count;
    return error ? -1 : count;
}

// The host's account of a process: descriptors, threads, resident memory.
ProcessCounters HostCounters(const std::string& proc, char separator) {
    std::string status = proc + separator + "status";
    return {CountEntries(proc + separator + "fd"), StatusField(status, "Threads"), StatusField(status, "VmRSS")};
}

DWORD WINAPI Nothing(LPVOID) {
    return 0;
}

} // namespace

ProcessCounters SampleProcess() {
#if defined(_WIN32)
    // Under Wine the program runs in a host process. Drive Z: is the host's
    // root, but "self" there would name Wine's server, which resolves the
    // path: the process is named by its host id.
    const char* hostPid = std::getenv("YNET_HOST_PID");
    if (RunningUnderWine() && hostPid != nullptr)
        return HostCounters(std::string("Z:\\proc\\") + hostPid, '\\');
    ProcessCounters counters{-1, -1, -1};
    DWORD handles = 0;
    if (!RunningUnderWine() && GetProcessHandleCount(GetCurrentProcess(), &handles))
        counters.descriptors = static_cast<long>(handles);
    return counters;
#else
    return HostCounters("/proc/self", '/');
#endif
}

long DescriptorNoise() {
    return RunningUnderWine() ? 3 : 0;
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

void WarmUpThreads() {
    HANDLE thread = CreateThread(nullptr, 0, Nothing, nullptr, 0, nullptr);
    if (thread != nullptr && WaitForSingleObject(thread, kWaitMs) == WAIT_OBJECT_0)
        CloseHandle(thread);
}

} // namespace YNetTest

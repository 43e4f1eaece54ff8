// ProcessAccount on Windows: the address space by VirtualQuery; resident
// memory, threads and descriptors from the host's /proc under Wine.
#include "support/ProcessAccount.h"

#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/WinApi.h"

namespace BenchNet {
namespace {

long HostStatusField(const std::string& name) {
    const char* host = std::getenv("YNET_HOST_PID");
    if (host == nullptr)
        return -1;
    std::ifstream status(std::string("Z:\\proc\\") + host + "\\status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, name.size() + 1, name + ":") == 0)
            return std::stol(line.substr(name.size() + 1));
    }
    return -1;
}

} // namespace

ProcessAccount SampleAccount() {
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    auto* at = static_cast<char*>(system.lpMinimumApplicationAddress);
    long long taken = 0;
    MEMORY_BASIC_INFORMATION region;
    while (at < static_cast<char*>(system.lpMaximumApplicationAddress) &&
           VirtualQuery(at, &region, sizeof(region)) == sizeof(region)) {
        if (region.State != MEM_FREE)
            taken += static_cast<long long>(region.RegionSize);
        at = static_cast<char*>(region.BaseAddress) + region.RegionSize;
    }
    DWORD handles = 0;
    GetProcessHandleCount(GetCurrentProcess(), &handles);
    return {taken / 1024, HostStatusField("VmRSS"), HostStatusField("Threads"), static_cast<long>(handles)};
}

long RaiseDescriptorLimit() {
    return -1; // no such limit on Windows
}

// The reservation that holds the address: from its base (the bottom page
// stays a guard) to the top of the committed part the address lies in.
bool ThreadStackExtent(const void* inside, std::uintptr_t* low, std::uintptr_t* top) {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(inside, &region, sizeof(region)) != sizeof(region))
        return false;
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    *low = reinterpret_cast<std::uintptr_t>(region.AllocationBase) + 3 * system.dwPageSize;
    *top = reinterpret_cast<std::uintptr_t>(region.BaseAddress) + region.RegionSize;
    return true;
}

} // namespace BenchNet

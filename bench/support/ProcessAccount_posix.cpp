// ProcessAccount on Linux: /proc/self/maps, /proc/self/status, /proc/self/fd.
#include "support/ProcessAccount.h"

#include <sys/resource.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace BenchNet {
namespace {

long StatusField(const std::string& name) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, name.size() + 1, name + ":") == 0)
            return std::stol(line.substr(name.size() + 1));
    }
    return -1;
}

// Calls each(low, high, line) for every mapping; stops when it returns true.
template <typename Each> void ForEachMapping(Each each) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long long low = 0, high = 0;
        if (std::sscanf(line.c_str(), "%llx-%llx", &low, &high) == 2 && each(low, high, line))
            return;
    }
}

} // namespace

ProcessAccount SampleAccount() {
    long long mapped = 0;
    ForEachMapping([&](unsigned long long low, unsigned long long high, const std::string&) {
        mapped += static_cast<long long>(high - low);
        return false;
    });
    long descriptors = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++descriptors;
    return {mapped / 1024, StatusField("VmRSS"), StatusField("Threads"), descriptors};
}

long RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
    getrlimit(RLIMIT_NOFILE, &limit);
    return static_cast<long>(limit.rlim_cur);
}

// The mapping that holds the address; the guard below it is a mapping of
// its own (no access), so the whole mapping may be used.
bool ThreadStackExtent(const void* inside, std::uintptr_t* low, std::uintptr_t* top) {
    const auto at = reinterpret_cast<std::uintptr_t>(inside);
    bool found = false;
    ForEachMapping([&](unsigned long long from, unsigned long long to, const std::string&) {
        if (at >= from && at < to) {
            *low = static_cast<std::uintptr_t>(from);
            *top = static_cast<std::uintptr_t>(to);
            found = true;
        }
        return found;
    });
    return found;
}

} // namespace BenchNet

// ProcessAccount on Linux: /proc/self/maps, /proc/self/status, /proc/self/fd.
#include "support/ProcessAccount.h"

#include <pthread.h>
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

// Calls each(low, high) for every mapping.
template <typename Each> void ForEachMapping(Each each) {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line)) {
        unsigned long long low = 0, high = 0;
        if (std::sscanf(line.c_str(), "%llx-%llx", &low, &high) == 2)
            each(low, high);
    }
}

} // namespace

ProcessAccount SampleAccount() {
    long long mapped = 0;
    ForEachMapping(
        [&](unsigned long long low, unsigned long long high) { mapped += static_cast<long long>(high - low); });
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

// The calling thread's stack as the thread library knows it (the guard
// below it excluded); the mappings may not tell, as the system merges
// neighbouring ones.
bool ThreadStackExtent(const void* /*inside*/, std::uintptr_t* low, std::uintptr_t* top) {
    pthread_attr_t attributes;
    if (pthread_getattr_np(pthread_self(), &attributes) != 0)
        return false;
    void* address = nullptr;
    std::size_t size = 0;
    const bool known = pthread_attr_getstack(&attributes, &address, &size) == 0;
    pthread_attr_destroy(&attributes);
    *low = reinterpret_cast<std::uintptr_t>(address);
    *top = *low + size;
    return known;
}

} // namespace BenchNet

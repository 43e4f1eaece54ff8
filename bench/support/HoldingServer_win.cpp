// HoldingServer on Windows: not offered. Under Wine the scale benchmark
// connects to the native server instead (bench/wine-scale.sh).
#include "support/HoldingServer.h"

#include <cstdio>

namespace BenchNet {

int RunHoldingServer(const std::vector<unsigned char>&) {
    std::printf("the holding server runs on POSIX systems only\n");
    return 2;
}

bool StartServerProcess(const char*, int*) {
    return false;
}

void StopServerProcess() {}

} // namespace BenchNet

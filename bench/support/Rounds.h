// How the benchmarks take turns and summarise: contenders alternate their
// order from one round to the next, a ratio is taken per round, and the
// rounds are reported as min / median / max.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace BenchNet {

using Clock = std::chrono::steady_clock;

inline double Seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

struct Spread {
    double min, median, max;
};

inline Spread SpreadOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    const double median = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return Spread{values.front(), median, values.back()};
}

inline double Median(const std::vector<double>& values) {
    return SpreadOf(values).median;
}

// Round r runs the contenders rotated by r, and reversed on odd rounds.
inline std::vector<int> OrderOfRound(int round, int contenders) {
    std::vector<int> order(static_cast<std::size_t>(contenders));
    for (int i = 0; i < contenders; ++i)
        order[static_cast<std::size_t>(i)] = (i + round) % contenders;
    if (round % 2 == 1)
        std::reverse(order.begin(), order.end());
    return order;
}

// One line: the label in a column of width characters, then the spread.
inline void PrintSpread(const char* what, const Spread& s, int width = 34) {
    std::printf("    %-*s min %.3f  median %.3f  max %.3f\n", width, what, s.min, s.median, s.max);
}

// A program's arguments: "--rounds N" (at least 1) sets *rounds; every
// other argument names a part to run, and naming none runs them all.
inline std::vector<std::string> PartsToRun(int argc, char** argv, int* rounds, std::vector<std::string> all) {
    std::vector<std::string> which;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--rounds" && i + 1 < argc)
            *rounds = std::max(1, std::atoi(argv[++i]));
        else
            which.push_back(arg);
    }
    return which.empty() ? all : which;
}

} // namespace BenchNet

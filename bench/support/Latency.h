// Latency figures: percentiles of round-trip times and a histogram of them
// in bands, printed side by side for several contenders.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

namespace BenchNet {

// The q-quantile (0 < q <= 1) of sorted values, by nearest rank; 0 for none.
inline double Quantile(const std::vector<double>& sorted, double q) {
    if (sorted.empty())
        return 0;
    std::size_t rank = static_cast<std::size_t>(std::ceil(q * static_cast<double>(sorted.size())));
    return sorted[std::min(sorted.size(), std::max<std::size_t>(rank, 1)) - 1];
}

struct Percentiles {
    double p50, p99, p999, max;
};

inline Percentiles PercentilesOf(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return Percentiles{Quantile(values, 0.5), Quantile(values, 0.99), Quantile(values, 0.999),
                       values.empty() ? 0 : values.back()};
}

// One line per contender: round trips, p50, p99, p99.9 and the maximum.
inline void PrintPercentiles(const std::vector<std::string>& names, const std::vector<std::vector<double>>& times) {
    std::printf("    %-22s %11s %9s %9s %9s %9s  (microseconds)\n", "contender", "round trips", "p50", "p99", "p99.9",
                "max");
    for (std::size_t i = 0; i < names.size(); ++i) {
        const Percentiles p = PercentilesOf(times[i]);
        std::printf("    %-22s %11zu %9.1f %9.1f %9.1f %9.1f\n", names[i].c_str(), times[i].size(), p.p50, p.p99,
                    p.p999, p.max);
    }
}

// The share of each contender's round trips in bands of 1-2-5 steps from
// 10 microseconds to 100 milliseconds, the rows from the first band that
// holds any to the last.
inline void PrintHistogram(const std::vector<std::string>& names, const std::vector<std::vector<double>>& times) {
    static const double kEdges[] = {10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000, 50000, 100000};
    constexpr int kBands = static_cast<int>(sizeof kEdges / sizeof kEdges[0]) + 1;
    std::vector<std::vector<std::size_t>> counts(names.size(), std::vector<std::size_t>(kBands, 0));
    int first = kBands, last = -1;
    for (std::size_t c = 0; c < names.size(); ++c) {
        for (double t : times[c]) {
            const int band = static_cast<int>(std::upper_bound(std::begin(kEdges), std::end(kEdges), t) - kEdges);
            ++counts[c][static_cast<std::size_t>(band)];
            first = std::min(first, band);
            last = std::max(last, band);
        }
    }
    std::printf("    histogram, share of round trips per band:\n    %-16s", "");
    for (const std::string& name : names)
        std::printf(" %17.17s", name.c_str());
    std::printf("\n");
    for (int band = first; band <= last; ++band) {
        char label[32];
        auto text = [](double us) {
            return us >= 1000 ? std::to_string(static_cast<int>(us / 1000)) + " ms"
                              : std::to_string(static_cast<int>(us)) + " us";
        };
        if (band == 0)
            std::snprintf(label, sizeof label, "< %s", text(kEdges[0]).c_str());
        else if (band == kBands - 1)
            std::snprintf(label, sizeof label, ">= %s", text(kEdges[kBands - 2]).c_str());
        else
            std::snprintf(label, sizeof label, "%s - %s", text(kEdges[band - 1]).c_str(), text(kEdges[band]).c_str());
        std::printf("    %-16s", label);
        for (std::size_t c = 0; c < names.size(); ++c) {
            const double share = times[c].empty()
                                     ? 0
                                     : 100.0 * static_cast<double>(counts[c][static_cast<std::size_t>(band)]) /
                                           static_cast<double>(times[c].size());
            std::printf(" %16.2f%%", share);
        }
        std::printf("\n");
    }
}

} // namespace BenchNet

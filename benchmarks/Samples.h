// Order statistics over timing samples, for the benchmarks' own counters.
#pragma once

#include <algorithm>
#include <vector>

// The sample below which a share P of them lie.
inline double Percentile(std::vector<double> samples, double p) {
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1, size_t(p * double(samples.size())))];
}

// The middle sample, or the mean of the middle two.
inline double Median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    const size_t n = samples.size();
    return n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
}

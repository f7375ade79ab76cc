#include "stats.h"

#include <algorithm>

namespace bench {

double NowUs()
{
    static const double perUs = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart) / 1e6;
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return static_cast<double>(c.QuadPart) / perUs;
}

namespace {

// Linear interpolation between the closest ranks.
double Quantile(const std::vector<double>& sorted, double q)
{
    const double pos = q * static_cast<double>(sorted.size() - 1);
    const size_t lo = static_cast<size_t>(pos);
    const size_t hi = std::min(lo + 1, sorted.size() - 1);
    const double frac = pos - static_cast<double>(lo);
    return sorted[lo] + (sorted[hi] - sorted[lo]) * frac;
}

}  // namespace

Summary Summarize(std::vector<double> samples)
{
    Summary s;
    s.count = samples.size();
    if (samples.empty()) {
        return s;
    }
    std::sort(samples.begin(), samples.end());
    s.p10 = Quantile(samples, 0.10);
    s.median = Quantile(samples, 0.50);
    s.p90 = Quantile(samples, 0.90);
    return s;
}

}  // namespace bench

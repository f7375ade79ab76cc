// Clock and order statistics for the benchmark.
#pragma once

#include <windows.h>

#include <cstddef>
#include <vector>

namespace bench {

// Microseconds on the performance counter.
double NowUs();

struct Summary {
    double p10 = 0;
    double median = 0;
    double p90 = 0;
    size_t count = 0;
};

Summary Summarize(std::vector<double> samples);

// Per-call times of two sides measured in alternation.
struct Paired {
    std::vector<double> a;
    std::vector<double> b;
};

// Runs `reps` rounds; each round times one batch of `batch` calls of each
// side, swapping which side goes first every round so drift hits both alike.
// Each side returns false on a failed call; the run stops then.
template <typename A, typename B>
bool Alternate(A&& sideA, B&& sideB, int reps, int batch, Paired* out)
{
    auto timeBatch = [batch](auto& side, std::vector<double>* into) {
        const double t0 = NowUs();
        for (int i = 0; i < batch; ++i) {
            if (!side()) {
                return false;
            }
        }
        into->push_back((NowUs() - t0) / batch);
        return true;
    };
    std::vector<double> warm;
    for (int i = 0; i < 2; ++i) {
        if (!timeBatch(sideA, &warm) || !timeBatch(sideB, &warm)) {
            return false;
        }
    }
    for (int r = 0; r < reps; ++r) {
        const bool ok = (r % 2 == 0) ? timeBatch(sideA, &out->a) && timeBatch(sideB, &out->b)
                                     : timeBatch(sideB, &out->b) && timeBatch(sideA, &out->a);
        if (!ok) {
            return false;
        }
    }
    return true;
}

}  // namespace bench

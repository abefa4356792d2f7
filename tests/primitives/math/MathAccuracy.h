// Accuracy sweeps of the slot kernels against double-precision exp, log and sqrt over evenly
// spread float patterns of each function's domain (every pattern when the step is 1).
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "primitives/math/MathKernels.h"
#include "tests/primitives/math/MathTestSupport.h"

namespace mathtest {

// A domain as ranges of bit patterns, each walked from first to last.
struct PatternRange {
    uint32_t first;
    uint32_t last;
};

struct SweepResult {
    double maxError = 0.0;  // ulps, or relative error for the square root
    float worst = 0.0f;
    uint64_t points = 0;
};

// Calls take(patterns, count) on batches of up to 4096 patterns: `points` patterns spread evenly
// over the domain (all of them when points covers it).
template <typename Take>
void SweepPatterns(const std::vector<PatternRange>& domain, uint64_t points, Take take)
{
    uint64_t total = 0;
    for (const PatternRange& r : domain) {
        total += uint64_t{r.last} - r.first + 1;
    }
    const uint64_t count = points < total ? points : total;
    std::vector<uint32_t> batch;
    batch.reserve(4096);
    size_t range = 0;
    uint64_t rangeStart = 0;  // index of domain[range].first in the walk
    for (uint64_t k = 0; k < count; ++k) {
        const uint64_t index = count == total ? k : k * total / count;
        while (index - rangeStart > uint64_t{domain[range].last} - domain[range].first) {
            rangeStart += uint64_t{domain[range].last} - domain[range].first + 1;
            ++range;
        }
        batch.push_back(static_cast<uint32_t>(domain[range].first + (index - rangeStart)));
        if (batch.size() == 4096) {
            take(batch);
            batch.clear();
        }
    }
    if (!batch.empty()) {
        take(batch);
    }
}

// exp on (-87.3365, 87.1]: the inputs the kernel computes.
inline SweepResult SweepExponential(uint64_t points)
{
    SweepResult result;
    const std::vector<PatternRange> domain = {{0x80000000u, 0xC2AEAC49u}, {0x00000000u, 0x42AE3333u}};
    alignas(16) float x[4096];
    alignas(16) float y[4096];
    SweepPatterns(domain, points, [&](const std::vector<uint32_t>& batch) {
        std::memcpy(x, batch.data(), batch.size() * 4);
        Sse3Variant::ExponentialKernel(x, y, static_cast<int32_t>(batch.size()));
        for (size_t i = 0; i < batch.size(); ++i) {
            const double e = UlpError(y[i], std::exp(static_cast<double>(x[i])));
            if (e > result.maxError) {
                result.maxError = e;
                result.worst = x[i];
            }
        }
        result.points += batch.size();
    });
    return result;
}

// ln of every positive finite float, by the blocked path (aligned chunks of 256) or the
// four-wide path (chunks of 31).
inline SweepResult SweepLogarithm(uint64_t points, bool blocked)
{
    SweepResult result;
    const std::vector<PatternRange> domain = {{0x00000001u, 0x7F7FFFFFu}};
    alignas(16) float x[4096];
    alignas(16) float y[4096];
    alignas(16) uint8_t scratch[LOG_CHUNK_ELEMENTS * LOG_SCRATCH_BYTES_PER_ELEMENT];
    const int64_t chunk = blocked ? 256 : 31;
    SweepPatterns(domain, points, [&](const std::vector<uint32_t>& batch) {
        std::memcpy(x, batch.data(), batch.size() * 4);
        std::memcpy(y, batch.data(), batch.size() * 4);
        const auto n = static_cast<int64_t>(batch.size());
        for (int64_t i = 0; i < n; i += chunk) {
            Sse3Variant::NaturalLogKernel(y + i, n - i < chunk ? n - i : chunk, scratch);
        }
        for (size_t i = 0; i < batch.size(); ++i) {
            const double e = UlpError(y[i], std::log(static_cast<double>(x[i])));
            if (e > result.maxError) {
                result.maxError = e;
                result.worst = x[i];
            }
        }
        result.points += batch.size();
    });
    return result;
}

// The refined fast path of the square root over every positive normal finite float: relative
// error.
inline SweepResult SweepSquareRoot(uint64_t points)
{
    SweepResult result;
    const std::vector<PatternRange> domain = {{0x00800000u, 0x7F7FFFFFu}};
    alignas(16) float x[4096];
    alignas(16) float y[4096];
    SweepPatterns(domain, points, [&](const std::vector<uint32_t>& batch) {
        // Whole blocks of 16 only, so that every element takes the fast path.
        const size_t n = batch.size() / 16 * 16;
        std::memcpy(x, batch.data(), n * 4);
        Sse3Variant::SquareRootKernel(x, y, static_cast<int32_t>(n));
        for (size_t i = 0; i < n; ++i) {
            const double exact = std::sqrt(static_cast<double>(x[i]));
            const double e = std::fabs(static_cast<double>(y[i]) - exact) / exact;
            if (e > result.maxError) {
                result.maxError = e;
                result.worst = x[i];
            }
        }
        result.points += n;
    });
    return result;
}

}  // namespace mathtest

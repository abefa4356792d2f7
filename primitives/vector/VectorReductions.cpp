// Generic bodies of the vector reductions. The grouping of the comparisons and additions is part
// of each result (signed zeros, NaN placement, rounding), so the loops follow it exactly.
#include "primitives/vector/VectorReductions.h"

#include "primitives/vector/VectorAccess.h"

using namespace kvxvec;

namespace {

// Maximum and minimum share one walk; Better(x, m) says whether x replaces m. A NaN never
// replaces, and equal values keep the first.
template <typename Better>
float Extreme(const float* src, int32_t len, Better better)
{
    float m = Load(src, 0);
    const auto apply = [&](float& acc, float x) {
        if (better(x, acc)) {
            acc = x;
        }
    };
    const int32_t p = PeelToSixteen(src);
    if (!IsFourByteAligned(src) || len < p + 8) {
        for (int32_t i = 0; i < len; ++i) {
            apply(m, Load(src, i));
        }
        return m;
    }
    for (int32_t i = 0; i < p; ++i) {
        apply(m, Load(src, i));
    }
    float lane[4] = {m, m, m, m};
    const int32_t end = len - (len - p) % 8;
    for (int32_t i = p; i < end; i += 8) {
        for (int32_t j = 0; j < 4; ++j) {
            apply(lane[j], Load(src, i + j));
            apply(lane[j], Load(src, i + 4 + j));
        }
    }
    // Fold: the first operand only when strictly better, so ties and NaNs take the second.
    const auto pick = [&](float first, float second) { return better(first, second) ? first : second; };
    m = pick(pick(lane[0], lane[2]), pick(lane[1], lane[3]));
    for (int32_t i = end; i < len; ++i) {
        apply(m, Load(src, i));
    }
    return m;
}

// Two double accumulators over groups of four, then the tail in order.
double SumInDouble(const float* src, int32_t len)
{
    double even = 0.0;
    double odd = 0.0;
    const int32_t groups = len / 4 * 4;
    for (int32_t i = 0; i < groups; i += 4) {
        even += Load(src, i);
        odd += Load(src, i + 1);
        even += Load(src, i + 2);
        odd += Load(src, i + 3);
    }
    double s = odd + even;
    for (int32_t i = groups; i < len; ++i) {
        s += Load(src, i);
    }
    return s;
}

}  // namespace

PrimitiveStatus MaximumGeneric(const float* src, int32_t len, float* pMax)
{
    const PrimitiveStatus status = CheckArguments(len, src, pMax);
    if (status != StatusOk) {
        return status;
    }
    Store(pMax, 0, Extreme(src, len, [](float x, float m) { return x > m; }));
    return StatusOk;
}

PrimitiveStatus MinimumGeneric(const float* src, int32_t len, float* pMin)
{
    const PrimitiveStatus status = CheckArguments(len, src, pMin);
    if (status != StatusOk) {
        return status;
    }
    Store(pMin, 0, Extreme(src, len, [](float x, float m) { return x < m; }));
    return StatusOk;
}

PrimitiveStatus SumGeneric(const float* src, int32_t len, float* pSum, int32_t /*hint*/)
{
    const PrimitiveStatus status = CheckArguments(len, src, pSum);
    if (status != StatusOk) {
        return status;
    }
    Store(pSum, 0, static_cast<float>(SumInDouble(src, len)));
    return StatusOk;
}

PrimitiveStatus MeanGeneric(const float* src, int32_t len, float* pMean, int32_t /*hint*/)
{
    const PrimitiveStatus status = CheckArguments(len, src, pMean);
    if (status != StatusOk) {
        return status;
    }
    Store(pMean, 0, static_cast<float>(SumInDouble(src, len) / static_cast<double>(len)));
    return StatusOk;
}

PrimitiveStatus DotProductGeneric(const float* a, const float* b, int32_t len, float* pResult)
{
    const PrimitiveStatus status = CheckArguments(len, a, b, pResult);
    if (status != StatusOk) {
        return status;
    }
    DotProductKernel(a, b, len, pResult);
    return StatusOk;
}

void DotProductKernel(const float* a, const float* b, int32_t len, float* pResult)
{
    float s = 0.0f;
    int32_t start = 0;
    const uintptr_t m = reinterpret_cast<uintptr_t>(b) % 16;
    const int32_t k = m == 0 ? 0 : static_cast<int32_t>((16 - m) / 4);
    if (len > 0 && m % 4 == 0 && len >= k + 8) {
        // Eight interleaved partial sums once b is 16-byte aligned; the peel goes to lane 0.
        const int32_t end = len - (len - k) % 8;
        float acc0[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        float acc1[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        for (int32_t i = 0; i < k; ++i) {
            acc0[0] += Load(a, i) * Load(b, i);
        }
        for (int32_t i = k; i < end; i += 8) {
            for (int32_t j = 0; j < 4; ++j) {
                acc0[j] += Load(a, i + j) * Load(b, i + j);
                acc1[j] += Load(a, i + 4 + j) * Load(b, i + 4 + j);
            }
        }
        for (int32_t j = 0; j < 4; ++j) {
            acc0[j] += acc1[j];
        }
        s = (acc0[0] + acc0[2]) + (acc0[1] + acc0[3]);
        start = end;
    }
    for (int32_t i = start; i < len; ++i) {
        s += Load(a, i) * Load(b, i);
    }
    Store(pResult, 0, s);
}

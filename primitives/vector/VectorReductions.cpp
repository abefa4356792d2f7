// Generic bodies of the vector reductions. The grouping of the comparisons and additions is part
// of each result (signed zeros, NaN placement, rounding), so the loops follow it exactly.
#include "primitives/vector/VectorReductions.h"

#include <cstring>

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

namespace {

inline double Product(const float* a, const float* b, int64_t i)
{
    return static_cast<double>(Load(a, i)) * static_cast<double>(Load(b, i));
}

}  // namespace

void DotProductFloatToDoubleKernel(const float* a, const float* b, int64_t len, double* pResult)
{
    // Two pairs of double lanes; six products per step (P, Q, P by pairs), the rest into Q's first.
    double p[2] = {0.0, 0.0};
    double q[2] = {0.0, 0.0};
    int64_t i = 0;
    for (; len - i >= 6; i += 6) {
        for (int k = 0; k < 2; ++k) {
            p[k] += Product(a, b, i + k);
            q[k] += Product(a, b, i + 2 + k);
            p[k] += Product(a, b, i + 4 + k);
        }
    }
    for (; i < len; ++i) {
        q[0] += Product(a, b, i);
    }
    const double result = (p[0] + q[0]) + (p[1] + q[1]);
    std::memcpy(pResult, &result, sizeof(result));
}

void DotProductRealComplexToDoubleKernel(const float* a, const float* b, int64_t len, double* pResult)
{
    // Two complex accumulators; an element peeled into the first when a lies 4 bytes past an
    // 8-byte boundary, then four per step alternating, the rest into the second.
    double p[2] = {0.0, 0.0};
    double q[2] = {0.0, 0.0};
    const auto add = [&](double* acc, int64_t k) {
        const double x = Load(a, k);
        acc[0] += x * static_cast<double>(Load(b, 2 * k));
        acc[1] += x * static_cast<double>(Load(b, 2 * k + 1));
    };
    int64_t i = 0;
    if (len > 0 && (reinterpret_cast<uintptr_t>(a) & 4u) != 0) {
        add(p, i++);
    }
    for (; len - i >= 4; i += 4) {
        add(p, i);
        add(q, i + 1);
        add(p, i + 2);
        add(q, i + 3);
    }
    for (; i < len; ++i) {
        add(q, i);
    }
    const double result[2] = {p[0] + q[0], p[1] + q[1]};
    std::memcpy(pResult, result, sizeof(result));
}

void DotProductComplexToDoubleKernel(const float* a, const float* b, int64_t len, double* pResult)
{
    // The sums of ar * (br, bi) and of ai * (br, bi), element by element in order.
    double re[2] = {0.0, 0.0};
    double im[2] = {0.0, 0.0};
    for (int64_t k = 0; k < len; ++k) {
        const double ar = Load(a, 2 * k);
        const double ai = Load(a, 2 * k + 1);
        const double br = Load(b, 2 * k);
        const double bi = Load(b, 2 * k + 1);
        re[0] += ar * br;
        re[1] += ar * bi;
        im[0] += ai * br;
        im[1] += ai * bi;
    }
    const double result[2] = {re[0] - im[1], re[1] + im[0]};
    std::memcpy(pResult, result, sizeof(result));
}

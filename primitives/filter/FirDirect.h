// The direct-form inner loop shared by the single-rate filters: y[i] = sum over j of T[j] * x[i+j]
// for i = 0..count-1, each sum starting at 0 and adding j = 0, 1, ..., L-1 in single precision.
// Only that order is fixed, so many outputs share one pass over the taps: each tap is loaded once
// per block of outputs and the block's sums stay in registers, one lane per output, so that no
// output's order of additions changes.
#pragma once

#include <cstdint>

#include "primitives/filter/FilterVector.h"

namespace kvxfilter {

// 4 * Lanes consecutive outputs.
template <int32_t Lanes>
inline void FirDirectBlock(const float* T, int32_t L, const float* x, float* y) {
    Vec4 acc[Lanes];
#pragma GCC unroll 16
    for (int32_t v = 0; v < Lanes; ++v) acc[v] = Splat4(0.0f);
    for (int32_t j = 0; j < L; ++j) {
        const Vec4 t = Splat4(T[j]);
        const float* xj = x + j;
#pragma GCC unroll 16
        for (int32_t v = 0; v < Lanes; ++v) acc[v] += Load4(xj + 4 * v) * t;
    }
#pragma GCC unroll 16
    for (int32_t v = 0; v < Lanes; ++v) Store4(y + 4 * v, acc[v]);
}

inline void FirDirectOne(const float* T, int32_t L, const float* x, float* y) {
    float sum = 0.0f;
    for (int32_t j = 0; j < L; ++j) sum += T[j] * x[j];
    *y = sum;
}

}  // namespace kvxfilter

inline void FirDirect(const float* T, int32_t L, const float* x, float* y, int32_t count) {
    // 64-bit position: i + 32 must not wrap for counts near INT32_MAX.
    int64_t i = 0;
    for (; i + 32 <= count; i += 32) kvxfilter::FirDirectBlock<8>(T, L, x + i, y + i);
    for (; i + 8 <= count; i += 8) kvxfilter::FirDirectBlock<2>(T, L, x + i, y + i);
    for (; i + 4 <= count; i += 4) kvxfilter::FirDirectBlock<1>(T, L, x + i, y + i);
    for (; i < count; ++i) kvxfilter::FirDirectOne(T, L, x + i, y + i);
}

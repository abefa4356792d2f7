// The direct-form inner loop shared by the single-rate filters: y[i] = sum over j of T[j] * x[i+j]
// for i = 0..count-1, each sum starting at 0 and adding j = 0, 1, ..., L-1 in single precision.
// Only that order is fixed, so many outputs share one pass over the taps: each tap is loaded once
// per block of outputs and the block's sums stay in registers, which the compiler turns into
// vector adds across outputs without changing any output's order of additions.
#pragma once

#include <cstdint>

namespace kvxfilter {

template <int32_t Block>
inline void FirDirectBlock(const float* T, int32_t L, const float* x, float* y) {
    float acc[Block];
    for (int32_t o = 0; o < Block; ++o) acc[o] = 0.0f;
    for (int32_t j = 0; j < L; ++j) {
        const float t = T[j];
        const float* xj = x + j;
        for (int32_t o = 0; o < Block; ++o) acc[o] += t * xj[o];
    }
    for (int32_t o = 0; o < Block; ++o) y[o] = acc[o];
}

}  // namespace kvxfilter

inline void FirDirect(const float* T, int32_t L, const float* x, float* y, int32_t count) {
    int32_t i = 0;
    for (; i + 32 <= count; i += 32) kvxfilter::FirDirectBlock<32>(T, L, x + i, y + i);
    for (; i + 8 <= count; i += 8) kvxfilter::FirDirectBlock<8>(T, L, x + i, y + i);
    for (; i + 4 <= count; i += 4) kvxfilter::FirDirectBlock<4>(T, L, x + i, y + i);
    for (; i < count; ++i) kvxfilter::FirDirectBlock<1>(T, L, x + i, y + i);
}

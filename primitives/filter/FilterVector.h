// Four-float lanes for the filter loops, in the compiler's generic vector extension: plain
// element-wise arithmetic that maps onto the baseline 128-bit registers. The filter loops keep
// several of them as running sums; written with these types the sums stay in registers, where
// arrays of scalar sums are left in memory by the vectoriser.
#pragma once

#include <cstring>

namespace kvxfilter {

typedef float Vec4 __attribute__((vector_size(16)));

inline Vec4 Load4(const float* p) {
    Vec4 v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}

inline void Store4(float* p, Vec4 v) { std::memcpy(p, &v, sizeof(v)); }

inline Vec4 Splat4(float s) { return Vec4{s, s, s, s}; }

}  // namespace kvxfilter

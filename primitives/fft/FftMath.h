// Complex arithmetic and the radix-4 butterfly stage shared by the FFT kernels. Direction is a
// template argument so that the forward and inverse kernels share one body: the inverse uses +i
// where the forward uses -i and the conjugate of every twiddle factor.
#pragma once

#include <cstdint>
#include <cstring>

#include "primitives/fft/FftSpec.h"

namespace kvxfft {

template <bool Inverse>
inline FftComplex Conj(FftComplex w) {
    return Inverse ? FftComplex{w.re, -w.im} : w;
}

// Two complex values (re, im, re, im) in one 16-byte vector. The vector code performs exactly
// the scalar formulas, lane by lane and in the same order (a + (-b) is a - b in IEEE arithmetic),
// so its results are the scalar results bit for bit; it only lets the compiler use the
// baseline vector registers.
typedef float V4 __attribute__((vector_size(16)));

inline V4 Load2(const FftComplex* p) {
    V4 v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}
inline void Store2(FftComplex* p, V4 v) { std::memcpy(p, &v, sizeof(v)); }
inline V4 Load4f(const float* p) {
    V4 v;
    std::memcpy(&v, p, sizeof(v));
    return v;
}
inline void Store4f(float* p, V4 v) { std::memcpy(p, &v, sizeof(v)); }
// (re, im) -> (im, re) in each complex lane pair.
inline V4 SwapReIm(V4 v) { return __builtin_shufflevector(v, v, 1, 0, 3, 2); }
// The two complex values in reverse order.
inline V4 SwapHalves(V4 v) { return __builtin_shufflevector(v, v, 2, 3, 0, 1); }

// Multiplication by -i (forward) or +i (inverse) of two complex values.
template <bool Inverse>
inline V4 RotateQuarter2(V4 z) {
    return Inverse ? SwapReIm(z) * V4{-1.0f, 1.0f, -1.0f, 1.0f} : SwapReIm(z) * V4{1.0f, -1.0f, 1.0f, -1.0f};
}

// x * w for two complex values, w given as (wr, wr, wr', wr') and (-wi, wi, -wi', wi').
inline V4 Mul2(V4 x, V4 wr, V4 wiSigned) { return x * wr + SwapReIm(x) * wiSigned; }

// Four consecutive complex values as their real and their imaginary parts. After their first
// stage(s) the radix passes keep the data in place in this blocked form, each block of four complex
// values (eight floats) holding r0..r3 then i0..i3: the butterflies of the later stages then work
// on four positions at once without a shuffle. The first of the later stages reads (re, im) pairs
// and the last one writes them; other kernels use the form only in registers. The lanes compute
// exactly the scalar formulas, so the results do not depend on the layout.
struct Block {
    V4 r, i;
};

inline Block LoadBlock(const FftComplex* p) {
    const auto* f = reinterpret_cast<const float*>(p);
    return {Load4f(f), Load4f(f + 4)};
}
inline Block LoadPairsAsBlock(const FftComplex* p) {
    const V4 lo = Load2(p), hi = Load2(p + 2);
    return {__builtin_shufflevector(lo, hi, 0, 2, 4, 6), __builtin_shufflevector(lo, hi, 1, 3, 5, 7)};
}
inline void StorePairs(FftComplex* p, Block b) {
    Store2(p, __builtin_shufflevector(b.r, b.i, 0, 4, 1, 5));
    Store2(p + 2, __builtin_shufflevector(b.r, b.i, 2, 6, 3, 7));
}

// x * w per lane, with the conjugate of w for the inverse: (xr wr - xi wi, xi wr + xr wi).
template <bool Inverse>
inline Block MulBlock(Block x, V4 wr, V4 wi) {
    if (Inverse) return {x.r * wr + x.i * wi, x.i * wr - x.r * wi};
    return {x.r * wr - x.i * wi, x.i * wr + x.r * wi};
}

}  // namespace kvxfft

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

// The three twiddle vector pairs of two entries a and b of a radix table (conjugated for the
// inverse). Each entry is read as eight floats: entries below n/4 always have six more behind.
template <bool Inverse>
inline void TwiddlePairs(const float* a, const float* b, V4 wr[3], V4 wi[3]) {
    const V4 sign = Inverse ? V4{1.0f, -1.0f, 1.0f, -1.0f} : V4{-1.0f, 1.0f, -1.0f, 1.0f};
    const V4 a0 = Load4f(a), a1 = Load4f(a + 4), b0 = Load4f(b), b1 = Load4f(b + 4);
    wr[0] = __builtin_shufflevector(a0, b0, 0, 0, 4, 4);
    wi[0] = __builtin_shufflevector(a0, b0, 1, 1, 5, 5) * sign;
    wr[1] = __builtin_shufflevector(a0, b0, 2, 2, 6, 6);
    wi[1] = __builtin_shufflevector(a0, b0, 3, 3, 7, 7) * sign;
    wr[2] = __builtin_shufflevector(a1, b1, 0, 0, 4, 4);
    wi[2] = __builtin_shufflevector(a1, b1, 1, 1, 5, 5) * sign;
}

// The radix-4 butterflies of two adjacent positions, on the four quarter values a, b, c, d
// (in place). With FirstPair the pair is j = 0, 1: the values of j = 0 are used unmultiplied
// (their factor is 1), so only the upper lanes of each product are taken.
template <bool Inverse, bool FirstPair>
inline void Butterfly4Pair(V4& a, V4& b, V4& c, V4& d, const V4 wr[3], const V4 wi[3]) {
    V4 mb = Mul2(b, wr[1], wi[1]);
    V4 mc = Mul2(c, wr[0], wi[0]);
    V4 md = Mul2(d, wr[2], wi[2]);
    if (FirstPair) {
        mb = __builtin_shufflevector(b, mb, 0, 1, 6, 7);
        mc = __builtin_shufflevector(c, mc, 0, 1, 6, 7);
        md = __builtin_shufflevector(d, md, 0, 1, 6, 7);
    }
    const V4 ab = a + mb, cd = mc + md;
    const V4 amb = a - mb, rcd = RotateQuarter2<Inverse>(mc - md);
    a = ab + cd;
    c = ab - cd;
    b = amb + rcd;
    d = amb - rcd;
}

// The same on the positions j, j+1 of a group of 4L values in memory.
template <bool Inverse, bool FirstPair>
inline void Butterfly4Pair(FftComplex* v, int32_t L, const V4 wr[3], const V4 wi[3]) {
    V4 a = Load2(v), b = Load2(v + L), c = Load2(v + 2 * L), d = Load2(v + 3 * L);
    Butterfly4Pair<Inverse, FirstPair>(a, b, c, d, wr, wi);
    Store2(v, a);
    Store2(v + L, b);
    Store2(v + 2 * L, c);
    Store2(v + 3 * L, d);
}

// One radix-4 stage over groups of 4L values of bit-reversed data: the quarters hold the
// sub-spectra of the residues 0, 2, 1, 3, so the second quarter takes w^2 and the third w^1.
// FixedL is L when the stage length is known at compile time (so the butterflies unroll), else 0.
// Positions run two at a time; each pair's twiddles serve every group.
template <bool Inverse, int32_t FixedL>
inline void Radix4Stage(FftComplex* x, int32_t n, int32_t dynamicL, const float* W) {
    const int32_t L = FixedL != 0 ? FixedL : dynamicL;
    const int32_t stride = n / (4 * L);
    V4 wr[3], wi[3];
    TwiddlePairs<Inverse>(W, W + 6 * stride, wr, wi);
    for (int32_t g = 0; g < n; g += 4 * L) Butterfly4Pair<Inverse, true>(x + g, L, wr, wi);
    for (int32_t j = 2; j < L; j += 2) {
        TwiddlePairs<Inverse>(W + 6 * (j * stride), W + 6 * ((j + 1) * stride), wr, wi);
        for (int32_t g = 0; g < n; g += 4 * L) Butterfly4Pair<Inverse, false>(x + g + j, L, wr, wi);
    }
}

}  // namespace kvxfft

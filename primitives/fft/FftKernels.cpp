// The kernels every transform of order 4 or more is built on: the pair-table bit reversal, the
// radix-4 passes of up to 1024 complex points and the recombination of a real transform.
#include "primitives/fft/FftInternal.h"
#include "primitives/fft/FftMath.h"

namespace kvxfft {

namespace {

// Walks the pair table: fn(y, r) for every pair of middle values, then fnSingle(y) for y = 0 and
// for every middle value that is its own reversal. The values in the table are 4y.
template <typename PairFn, typename SingleFn>
inline void WalkPairTable(const int32_t* table, PairFn pairFn, SingleFn singleFn) {
    const int32_t* p = table;
    for (; *p != 0; p += 2) pairFn(p[0] >> 2, p[1] >> 2);
    singleFn(0);
    for (++p; *p != 0; ++p) singleFn(*p >> 2);
}

// The first stage: radix 4 on a group of four consecutive values, lo = (x0, x1), hi = (x2, x3).
// With P = (x0, x2) and Q = (x1, x3): S = P + Q and D = P - Q give (y0, y1) = (S0, D0) +
// (S1, rot D1) and (y2, y3) = (S0, D0) - (S1, rot D1).
template <bool Inverse>
inline void FirstRadix4(V4& lo, V4& hi) {
    const V4 P = __builtin_shufflevector(lo, hi, 0, 1, 4, 5);
    const V4 Q = __builtin_shufflevector(lo, hi, 2, 3, 6, 7);
    const V4 S = P + Q, D = P - Q;
    const V4 rot = RotateQuarter2<Inverse>(D);
    const V4 T1 = __builtin_shufflevector(S, D, 0, 1, 4, 5);
    const V4 T2 = __builtin_shufflevector(S, rot, 2, 3, 6, 7);
    lo = T1 + T2;
    hi = T1 - T2;
}

template <bool Inverse>
void Radix4Pass(FftComplex* x, int32_t n, const float* W) {
    for (int32_t g = 0; g < n; g += 4) {
        V4 lo = Load2(x + g), hi = Load2(x + g + 2);
        FirstRadix4<Inverse>(lo, hi);
        Store2(x + g, lo);
        Store2(x + g + 2, hi);
    }

    int32_t L = 4;
    if ((n & 0x55555555) == 0) {  // odd order: one radix-2 stage over groups of eight
        // x4 unmultiplied, x5 and x7 times (c, -c) and (-c, -c) with c the cosine in entry n/8,
        // x6 times -i.
        const float c = W[6 * (n / 8)];
        const FftComplex f1 = Conj<Inverse>({c, -c});
        const FftComplex f3 = Conj<Inverse>({-c, -c});
        const V4 f1r{1.0f, 1.0f, f1.re, f1.re}, f1i{0.0f, 0.0f, -f1.im, f1.im};
        const V4 f3r{1.0f, 1.0f, f3.re, f3.re}, f3i{0.0f, 0.0f, -f3.im, f3.im};
        for (int32_t g = 0; g < n; g += 8) {
            FftComplex* v = x + g;
            const V4 v45 = Load2(v + 4), v67 = Load2(v + 6);
            // The upper lanes of each product are taken.
            const V4 o01 = __builtin_shufflevector(v45, Mul2(v45, f1r, f1i), 0, 1, 6, 7);
            const V4 o23 = __builtin_shufflevector(RotateQuarter2<Inverse>(v67), Mul2(v67, f3r, f3i), 0, 1, 6, 7);
            const V4 e01 = Load2(v), e23 = Load2(v + 2);
            Store2(v, e01 + o01);
            Store2(v + 4, e01 - o01);
            Store2(v + 2, e23 + o23);
            Store2(v + 6, e23 - o23);
        }
        L = 8;
    }

    for (; 4 * L <= n; L *= 4) {
        switch (L) {
        case 4:
            Radix4Stage<Inverse, 4>(x, n, 4, W);
            break;
        case 8:
            Radix4Stage<Inverse, 8>(x, n, 8, W);
            break;
        default:
            Radix4Stage<Inverse, 0>(x, n, L, W);
            break;
        }
    }
}

// With h = n/2, the four elements 2y, 2y+1, h+2y, h+2y+1 of a middle value y go to 2r, h+2r,
// 2r+1, h+2r+1 (r the reversal of y): the 2x2 transpose of the element pairs at 2y and h+2y.
inline void TransposedPairs(const FftComplex* lo, const FftComplex* hi, FftComplex* dstLo, FftComplex* dstHi) {
    const V4 l = Load2(lo), u = Load2(hi);
    Store2(dstLo, __builtin_shufflevector(l, u, 0, 1, 4, 5));
    Store2(dstHi, __builtin_shufflevector(l, u, 2, 3, 6, 7));
}

}  // namespace

void BitReverseCopy(const FftComplex* src, FftComplex* dst, int32_t n, const int32_t* pairTable) {
    const int32_t h = n / 2;
    WalkPairTable(
        pairTable,
        [&](int32_t y, int32_t r) {
            const int32_t a = 2 * y, b = 2 * r;
            TransposedPairs(src + a, src + h + a, dst + b, dst + h + b);
            TransposedPairs(src + b, src + h + b, dst + a, dst + h + a);
        },
        [&](int32_t y) { TransposedPairs(src + 2 * y, src + h + 2 * y, dst + 2 * y, dst + h + 2 * y); });
}

void BitReverseInPlace(FftComplex* data, int32_t n, const int32_t* pairTable) {
    const int32_t h = n / 2;
    WalkPairTable(
        pairTable,
        [&](int32_t y, int32_t r) {
            FftComplex* a = data + 2 * y;
            FftComplex* b = data + 2 * r;
            const V4 al = Load2(a), ah = Load2(a + h), bl = Load2(b), bh = Load2(b + h);
            Store2(a, __builtin_shufflevector(bl, bh, 0, 1, 4, 5));
            Store2(a + h, __builtin_shufflevector(bl, bh, 2, 3, 6, 7));
            Store2(b, __builtin_shufflevector(al, ah, 0, 1, 4, 5));
            Store2(b + h, __builtin_shufflevector(al, ah, 2, 3, 6, 7));
        },
        [&](int32_t y) {
            FftComplex* a = data + 2 * y;
            TransposedPairs(a, a + h, a, a + h);
        });
}

void Radix4ForwardPass(FftComplex* data, int32_t n, const float* twiddles) { Radix4Pass<false>(data, n, twiddles); }

void Radix4InversePass(FftComplex* data, int32_t n, const float* twiddles) { Radix4Pass<true>(data, n, twiddles); }

// Elements k and k+1 run together with their mirrors n-k and n-k-1. With Zm the mirrors in the
// order (n-k, n-k-1), P = (a - b, c + d) and HG = (h, g) per element.
void RealForwardPostProcess(float* data, int32_t n, const float* table) {
    auto* z = reinterpret_cast<FftComplex*>(data);
    int32_t k = 1;
    for (; k + 1 < n / 2; k += 2) {
        const V4 zk = Load2(z + k);
        const V4 zm = SwapHalves(Load2(z + n - k - 1));
        const V4 t = Load4f(table + 2 * k);
        const V4 wi = __builtin_shufflevector(t, t, 1, 1, 3, 3);
        const V4 wr = __builtin_shufflevector(t, t, 0, 0, 2, 2) * V4{1.0f, -1.0f, 1.0f, -1.0f};
        const V4 P = zk + zm * V4{-1.0f, 1.0f, -1.0f, 1.0f};
        const V4 HG = P * wi + SwapReIm(P) * wr;
        Store2(z + k, HG + zm * V4{1.0f, -1.0f, 1.0f, -1.0f});
        Store2(z + n - k - 1, SwapHalves(zk * V4{1.0f, -1.0f, 1.0f, -1.0f} + HG * V4{-1.0f, 1.0f, -1.0f, 1.0f}));
    }
    for (; k < n / 2; ++k) {
        float* zk = data + 2 * k;
        float* zm = data + 2 * (n - k);
        const float a = zk[0], c = zk[1], b = zm[0], d = zm[1];
        const float wr = table[2 * k], wi = table[2 * k + 1];
        const float h = wi * (a - b) + wr * (c + d);
        const float g = wi * (c + d) - wr * (a - b);
        zk[0] = b + h;
        zk[1] = g - d;
        zm[0] = a - h;
        zm[1] = g - c;
    }
    data[n + 1] = -data[n + 1];
}

// Same pairing as the post-process: P = (a - b, c + d), Q = (a + b, c - d), EF = (e, f).
void RealInversePreProcess(const float* src, float* dst, int32_t n, const float* table) {
    const auto* x = reinterpret_cast<const FftComplex*>(src);
    auto* y = reinterpret_cast<FftComplex*>(dst);
    int32_t k = 1;
    for (; k + 1 < n / 2; k += 2) {
        const V4 xk = Load2(x + k);
        const V4 xm = SwapHalves(Load2(x + n - k - 1));
        const V4 t = Load4f(table + 2 * k);
        const V4 wi = __builtin_shufflevector(t, t, 1, 1, 3, 3);
        const V4 wr = __builtin_shufflevector(t, t, 0, 0, 2, 2) * V4{-1.0f, 1.0f, -1.0f, 1.0f};
        const V4 P = xk + xm * V4{-1.0f, 1.0f, -1.0f, 1.0f};
        const V4 Q = xk + xm * V4{1.0f, -1.0f, 1.0f, -1.0f};
        const V4 EF = P * wi + SwapReIm(P) * wr;
        Store2(y + k, Q + EF);
        Store2(y + n - k - 1, SwapHalves(Q * V4{1.0f, -1.0f, 1.0f, -1.0f} + EF * V4{-1.0f, 1.0f, -1.0f, 1.0f}));
    }
    for (; k < n / 2; ++k) {
        const float a = src[2 * k], c = src[2 * k + 1];
        const float b = src[2 * (n - k)], d = src[2 * (n - k) + 1];
        const float wr = table[2 * k], wi = table[2 * k + 1];
        const float e = wi * (a - b) - wr * (c + d);
        const float f = wr * (a - b) + wi * (c + d);
        dst[2 * k] = a + b + e;
        dst[2 * k + 1] = (c - d) + f;
        dst[2 * (n - k)] = a + b - e;
        dst[2 * (n - k) + 1] = f - (c - d);
    }
    const float re = src[n], im = src[n + 1];
    dst[n] = 2.0f * re;
    dst[n + 1] = -2.0f * im;
}

}  // namespace kvxfft

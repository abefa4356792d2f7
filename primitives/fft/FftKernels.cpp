// The kernels every transform of order 4 or more is built on: the pair-table bit reversal, the
// radix-4 passes of up to 1024 complex points and the recombination of a real transform. The
// transforms run the passes split after their first stages, which join the pass of the bit
// reversal: the data are read and written once less, with the same arithmetic.
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

template <bool FromPairs>
inline Block LoadStage(const FftComplex* p) {
    return FromPairs ? LoadPairsAsBlock(p) : LoadBlock(p);
}
inline void StoreBlock(FftComplex* p, Block b) {
    auto* f = reinterpret_cast<float*>(p);
    Store4f(f, b.r);
    Store4f(f + 4, b.i);
}
template <bool Last>
inline void StoreStage(FftComplex* p, Block b) {
    if (Last)
        StorePairs(p, b);
    else
        StoreBlock(p, b);
}

// Four complex values from t as lane vectors (real, imaginary).
inline void LoadTable4(const float* t, V4& wr, V4& wi) {
    const V4 lo = Load4f(t), hi = Load4f(t + 4);
    wr = __builtin_shufflevector(lo, hi, 0, 2, 4, 6);
    wi = __builtin_shufflevector(lo, hi, 1, 3, 5, 7);
}

// The values of lane 0 from x, the others from p.
inline Block KeepLane0(Block x, Block p) {
    return {__builtin_shufflevector(x.r, p.r, 0, 5, 6, 7), __builtin_shufflevector(x.i, p.i, 0, 5, 6, 7)};
}

// The factors w^l, w^2l, w^3l of four radix table entries, `step` floats apart, as lane vectors
// (real, imaginary): a 4x4 transpose of the entries' first four floats and a 4x2 one of their
// last two. Each entry is read as eight floats: entries below n/4 always have six more behind.
inline void TwiddleQuad(const float* e, int32_t step, V4 wr[3], V4 wi[3]) {
    const V4 a0 = Load4f(e), a1 = Load4f(e + step), a2 = Load4f(e + 2 * step), a3 = Load4f(e + 3 * step);
    const V4 b0 = Load4f(e + 4), b1 = Load4f(e + step + 4), b2 = Load4f(e + 2 * step + 4),
             b3 = Load4f(e + 3 * step + 4);
    const V4 t0 = __builtin_shufflevector(a0, a1, 0, 4, 1, 5), t1 = __builtin_shufflevector(a2, a3, 0, 4, 1, 5);
    const V4 t2 = __builtin_shufflevector(a0, a1, 2, 6, 3, 7), t3 = __builtin_shufflevector(a2, a3, 2, 6, 3, 7);
    const V4 u0 = __builtin_shufflevector(b0, b1, 0, 4, 1, 5), u1 = __builtin_shufflevector(b2, b3, 0, 4, 1, 5);
    wr[0] = __builtin_shufflevector(t0, t1, 0, 1, 4, 5);
    wi[0] = __builtin_shufflevector(t0, t1, 2, 3, 6, 7);
    wr[1] = __builtin_shufflevector(t2, t3, 0, 1, 4, 5);
    wi[1] = __builtin_shufflevector(t2, t3, 2, 3, 6, 7);
    wr[2] = __builtin_shufflevector(u0, u1, 0, 1, 4, 5);
    wi[2] = __builtin_shufflevector(u0, u1, 2, 3, 6, 7);
}

// The radix-4 butterflies of four positions j..j+3 of a group of 4L values; out(q, value) takes
// the result for j + qL. The quarters hold the sub-spectra of the residues 0, 2, 1, 3, so the
// second quarter takes w^2 and the third w^1. With FirstQuad the positions are 0..3 and position
// 0 is not multiplied (its factor is 1).
template <bool Inverse, bool FromPairs, bool FirstQuad, typename Out>
inline void ButterflyQuadValues(const FftComplex* v, int32_t L, const V4 wr[3], const V4 wi[3], Out out) {
    const Block a = LoadStage<FromPairs>(v), xb = LoadStage<FromPairs>(v + L);
    const Block xc = LoadStage<FromPairs>(v + 2 * L), xd = LoadStage<FromPairs>(v + 3 * L);
    Block b = MulBlock<Inverse>(xb, wr[1], wi[1]);
    Block c = MulBlock<Inverse>(xc, wr[0], wi[0]);
    Block d = MulBlock<Inverse>(xd, wr[2], wi[2]);
    if (FirstQuad) {
        b = KeepLane0(xb, b);
        c = KeepLane0(xc, c);
        d = KeepLane0(xd, d);
    }
    const Block ab{a.r + b.r, a.i + b.i}, amb{a.r - b.r, a.i - b.i};
    const Block cd{c.r + d.r, c.i + d.i}, t{c.r - d.r, c.i - d.i};
    out(0, Block{ab.r + cd.r, ab.i + cd.i});
    out(2, Block{ab.r - cd.r, ab.i - cd.i});
    // (a - b) -/+ i(c - d) at j + L and (a - b) +/- i(c - d) at j + 3L.
    if (Inverse) {
        out(1, Block{amb.r - t.i, amb.i + t.r});
        out(3, Block{amb.r + t.i, amb.i - t.r});
    } else {
        out(1, Block{amb.r + t.i, amb.i - t.r});
        out(3, Block{amb.r - t.i, amb.i + t.r});
    }
}

template <bool Inverse, bool FromPairs, bool Last, bool FirstQuad>
inline void ButterflyQuad(FftComplex* v, int32_t L, const V4 wr[3], const V4 wi[3]) {
    ButterflyQuadValues<Inverse, FromPairs, FirstQuad>(v, L, wr, wi,
                                                       [=](int32_t q, Block b) { StoreStage<Last>(v + q * L, b); });
}

// One radix-4 stage over groups of 4L values (L a multiple of 4). Positions run four at a time;
// each quad's twiddles serve every group.
template <bool Inverse, bool FromPairs, bool Last>
void Radix4Stage(FftComplex* x, int32_t n, int32_t L, const float* W) {
    const int32_t step = 6 * (n / (4 * L));
    V4 wr[3], wi[3];
    TwiddleQuad(W, step, wr, wi);
    for (int32_t g = 0; g < n; g += 4 * L) ButterflyQuad<Inverse, FromPairs, Last, true>(x + g, L, wr, wi);
    for (int32_t j = 4; j < L; j += 4) {
        TwiddleQuad(W + j * step, step, wr, wi);
        for (int32_t g = 0; g < n; g += 4 * L)
            ButterflyQuad<Inverse, FromPairs, Last, false>(x + g + j, L, wr, wi);
    }
}

inline bool OddOrder(int32_t n) { return (n & 0x55555555) == 0; }

// The radix-4 stages that follow the first stage(s) of an n-point pass, from (re, im) pairs to
// pairs, or to blocks for a caller that reads them as such.
template <bool Inverse, bool ToBlocks = false>
void LaterStages(FftComplex* x, int32_t n, const float* W) {
    int32_t L = OddOrder(n) ? 8 : 4;
    if (4 * L == n) {
        Radix4Stage<Inverse, true, !ToBlocks>(x, n, L, W);
        return;
    }
    Radix4Stage<Inverse, true, false>(x, n, L, W);
    for (L *= 4; 4 * L < n; L *= 4) Radix4Stage<Inverse, false, false>(x, n, L, W);
    Radix4Stage<Inverse, false, !ToBlocks>(x, n, L, W);
}

// Positions k..k+3 of the radix-2 stage that combines the pieces at x and x + n: a and b their
// values in the two pieces. Contiguous factors (step 1) load as two vectors.
template <bool Inverse, bool Upper, bool ToPairs, bool Contiguous>
inline void CombineWithFactors(FftComplex* x, int32_t n, int32_t k, Block a, Block b, const FftComplex* table,
                               int32_t step) {
    const FftComplex* w = table + (Upper ? k - n / 2 : k) * step;
    V4 re, im;
    if (Contiguous) {
        LoadTable4(reinterpret_cast<const float*>(w), re, im);
    } else {
        re = V4{w[0].re, w[step].re, w[2 * step].re, w[3 * step].re};
        im = V4{w[0].im, w[step].im, w[2 * step].im, w[3 * step].im};
    }
    const Block o = Upper ? MulBlock<Inverse>(b, im, -re) : MulBlock<Inverse>(b, re, im);
    StoreStage<ToPairs>(x + k, {a.r + o.r, a.i + o.i});
    StoreStage<ToPairs>(x + n + k, {a.r - o.r, a.i - o.i});
}

// The later stages of the two adjacent pieces of n points at x and x + n, the last radix stage of
// both joined with the radix-2 stage that combines them, so that its values never go back to
// memory in between. The factor of position k is w(k) = table[k step] below n/2 and -i w(k - n/2)
// above (the conjugates for the inverse), grouped and multiplied as the combining stage does.
template <bool Inverse, bool FromPairs, bool ToPairs, bool Contiguous>
void LastStagePairCombined(FftComplex* x, int32_t n, int32_t L, const float* W, const FftComplex* table,
                           int32_t step) {
    const int32_t twStep = 6 * (n / (4 * L));
    V4 wr[3], wi[3];
    for (int32_t j = 0; j < L; j += 4) {
        TwiddleQuad(W + j * twStep, twStep, wr, wi);
        Block a[4], b[4];
        auto toA = [&](int32_t q, Block v) { a[q] = v; };
        auto toB = [&](int32_t q, Block v) { b[q] = v; };
        if (j == 0) {
            ButterflyQuadValues<Inverse, FromPairs, true>(x, L, wr, wi, toA);
            ButterflyQuadValues<Inverse, FromPairs, true>(x + n, L, wr, wi, toB);
        } else {
            ButterflyQuadValues<Inverse, FromPairs, false>(x + j, L, wr, wi, toA);
            ButterflyQuadValues<Inverse, FromPairs, false>(x + n + j, L, wr, wi, toB);
        }
        // The last stage has L = n/4: its first two outputs lie below n/2, the others above.
        CombineWithFactors<Inverse, false, ToPairs, Contiguous>(x, n, j, a[0], b[0], table, step);
        CombineWithFactors<Inverse, false, ToPairs, Contiguous>(x, n, j + L, a[1], b[1], table, step);
        CombineWithFactors<Inverse, true, ToPairs, Contiguous>(x, n, j + 2 * L, a[2], b[2], table, step);
        CombineWithFactors<Inverse, true, ToPairs, Contiguous>(x, n, j + 3 * L, a[3], b[3], table, step);
    }
}

// The last stage in the form its input and output take: from pairs when it is also the first of
// the later stages, and to pairs or blocks.
template <bool Inverse, bool FromPairs>
void LastStagePairCombinedTo(FftComplex* x, int32_t n, int32_t L, const float* W, const FftComplex* table,
                             int32_t step, bool toPairs) {
    if (toPairs && step == 1)
        LastStagePairCombined<Inverse, FromPairs, true, true>(x, n, L, W, table, step);
    else if (toPairs)
        LastStagePairCombined<Inverse, FromPairs, true, false>(x, n, L, W, table, step);
    else if (step == 1)
        LastStagePairCombined<Inverse, FromPairs, false, true>(x, n, L, W, table, step);
    else
        LastStagePairCombined<Inverse, FromPairs, false, false>(x, n, L, W, table, step);
}

template <bool Inverse>
void LaterStagesPairCombined(FftComplex* x, int32_t n, const float* W, const FftComplex* table, int32_t step,
                             bool toPairs) {
    const int32_t first = OddOrder(n) ? 8 : 4;
    if (4 * first == n) {
        LastStagePairCombinedTo<Inverse, true>(x, n, first, W, table, step, toPairs);
        return;
    }
    int32_t L = first;
    for (FftComplex* y = x; y < x + 2 * n; y += n) {
        Radix4Stage<Inverse, true, false>(y, n, first, W);
        for (L = 4 * first; 4 * L < n; L *= 4) Radix4Stage<Inverse, false, false>(y, n, L, W);
    }
    LastStagePairCombinedTo<Inverse, false>(x, n, L, W, table, step, toPairs);
}

// The radix-2 factors of an odd order, position by position 1, (c, -c), -i, (-c, -c) with c the
// cosine in entry n/8 of W (conjugated for the inverse), applied to the odd halves of two groups
// at once. The products are formed as for any other twiddle factor.
template <bool Inverse>
struct Radix2Factors {
    V4 f1r, f1i, f3r, f3i;
    explicit Radix2Factors(float c) {
        const FftComplex f1 = Conj<Inverse>({c, -c});
        const FftComplex f3 = Conj<Inverse>({-c, -c});
        f1r = V4{f1.re, f1.re, f1.re, f1.re};
        f1i = V4{-f1.im, f1.im, -f1.im, f1.im};
        f3r = V4{f3.re, f3.re, f3.re, f3.re};
        f3i = V4{-f3.im, f3.im, -f3.im, f3.im};
    }
};

// Values x0..x3 (or y0..y3) of two groups, one in the low and one in the high half of each vector.
struct Quad {
    V4 y0, y1, y2, y3;
};

// The first radix-4 stage on two groups at once: y0 = (x0 + x1) + (x2 + x3), y2 = (x0 + x1) -
// (x2 + x3), y1 and y3 = (x0 - x1) -/+ rot(x2 - x3), rot the multiplication by -i (+i inverse).
template <bool Inverse>
inline Quad FirstRadix4Vertical(Quad x) {
    const V4 s01 = x.y0 + x.y1, d01 = x.y0 - x.y1, s23 = x.y2 + x.y3;
    const V4 rot = RotateQuarter2<Inverse>(x.y2 - x.y3);
    return {s01 + s23, d01 + rot, s01 - s23, d01 - rot};
}

// The radix-2 stage on two pairs of groups: e + f*o and e - f*o position by position.
template <bool Inverse>
inline void Radix2Vertical(Quad& e, Quad& o, const Radix2Factors<Inverse>& f) {
    const V4 o1 = Mul2(o.y1, f.f1r, f.f1i);
    const V4 o2 = RotateQuarter2<Inverse>(o.y2);
    const V4 o3 = Mul2(o.y3, f.f3r, f.f3i);
    const Quad sum{e.y0 + o.y0, e.y1 + o1, e.y2 + o2, e.y3 + o3};
    o = {e.y0 - o.y0, e.y1 - o1, e.y2 - o2, e.y3 - o3};
    e = sum;
}

// The first stage on the groups of four consecutive values, each in place.
template <bool Inverse>
void FirstStage(FftComplex* x, int32_t n) {
    for (int32_t g = 0; g < n; g += 4) {
        V4 lo = Load2(x + g), hi = Load2(x + g + 2);
        FirstRadix4<Inverse>(lo, hi);
        Store2(x + g, lo);
        Store2(x + g + 2, hi);
    }
}

// For an odd order the first stage and the radix-2 stage together, on each group of eight.
template <bool Inverse>
void FirstStagesOdd(FftComplex* x, int32_t n, const float* W) {
    const Radix2Factors<Inverse> f(W[6 * (n / 8)]);
    for (int32_t g = 0; g < n; g += 8) {
        FftComplex* v = x + g;
        V4 e01 = Load2(v), e23 = Load2(v + 2), o45 = Load2(v + 4), o67 = Load2(v + 6);
        FirstRadix4<Inverse>(e01, e23);
        FirstRadix4<Inverse>(o45, o67);
        // x4 unmultiplied, x5 times f1, x6 rotated, x7 times f3: the upper lanes of each product.
        const V4 p45 = __builtin_shufflevector(o45, Mul2(o45, f.f1r, f.f1i), 0, 1, 6, 7);
        const V4 p67 = __builtin_shufflevector(RotateQuarter2<Inverse>(o67), Mul2(o67, f.f3r, f.f3i), 0, 1, 6, 7);
        Store2(v, e01 + p45);
        Store2(v + 2, e23 + p67);
        Store2(v + 4, e01 - p45);
        Store2(v + 6, e23 - p67);
    }
}

// The first stage, with the radix-2 stage for an odd order.
template <bool Inverse>
void FirstStages(FftComplex* x, int32_t n, const float* W) {
    if (n > 4 && OddOrder(n))
        FirstStagesOdd<Inverse>(x, n, W);
    else
        FirstStage<Inverse>(x, n);
}

template <bool Inverse>
void Radix4Pass(FftComplex* x, int32_t n, const float* W) {
    FirstStages<Inverse>(x, n, W);
    if (n > 8) LaterStages<Inverse>(x, n, W);
}

// Two groups as (re, im) pairs: the low halves of y0..y3 to a, the high halves to b.
inline void StoreTwoGroups(Quad y, FftComplex* a, FftComplex* b) {
    Store2(a, __builtin_shufflevector(y.y0, y.y1, 0, 1, 4, 5));
    Store2(a + 2, __builtin_shufflevector(y.y2, y.y3, 0, 1, 4, 5));
    Store2(b, __builtin_shufflevector(y.y0, y.y1, 2, 3, 6, 7));
    Store2(b + 2, __builtin_shufflevector(y.y2, y.y3, 2, 3, 6, 7));
}

// The groups at 4k and h + 4k of the bit-reversed order, read straight from the source. With y
// the reversal of 2k over the m - 2 middle bits, the first holds src[2y], src[h+2y], src[2y+n/4],
// src[h+2y+n/4] and the second the elements after each: the exchanges of the pair table,
// gathered per group.
inline Quad GroupsFromSource(const FftComplex* src, int32_t h, int32_t y) {
    const FftComplex* p = src + 2 * y;
    const int32_t q = h / 2;
    return {Load2(p), Load2(p + h), Load2(p + q), Load2(p + h + q)};
}

// y plus one counted from the bit `top` downward: the next value of a bit-reversed counter.
inline int32_t NextReversed(int32_t y, int32_t top) {
    int32_t bit = top;
    while ((y & bit) != 0) {
        y ^= bit;
        bit >>= 1;
    }
    return y | bit;
}

// The bit reversal of n values from src into dst together with the first stage of radix passes of
// `piece` points each (and, for an odd order of the pieces, their radix-2 stage): one pass instead
// of three. n >= piece >= 16, dst not src; W is the twiddle table of the pieces.
template <bool Inverse>
void BitReverseFirstStages(const FftComplex* src, FftComplex* dst, int32_t n, int32_t piece, const float* W) {
    const int32_t h = n / 2;
    int32_t y = 0;
    if (!OddOrder(piece)) {
        for (int32_t k = 0; k < n / 8; ++k, y = NextReversed(y, n / 16))
            StoreTwoGroups(FirstRadix4Vertical<Inverse>(GroupsFromSource(src, h, y)), dst + 4 * k, dst + h + 4 * k);
        return;
    }
    // The radix-2 stage pairs the groups at 4k and 4k + 4 (k even), read from y and y + n/16.
    const Radix2Factors<Inverse> f(W[6 * (piece / 8)]);
    for (int32_t k = 0; k < n / 8; k += 2, y = NextReversed(y, n / 32)) {
        Quad e = FirstRadix4Vertical<Inverse>(GroupsFromSource(src, h, y));
        Quad o = FirstRadix4Vertical<Inverse>(GroupsFromSource(src, h, y + n / 16));
        Radix2Vertical<Inverse>(e, o, f);
        StoreTwoGroups(e, dst + 4 * k, dst + h + 4 * k);
        StoreTwoGroups(o, dst + 4 * k + 4, dst + h + 4 * k + 4);
    }
}

// The first stage(s) of the radix passes of `piece` points, applied in natural order before an
// in-place bit reversal of all n points: the group at 4k..4k+3 of the bit-reversed order is the
// elements x, x + n/2, x + n/4, x + 3n/4 (x the reversal of 4k), and the radix-2 partner of a
// group lies n/8 further. Each element keeps its place and the bit reversal then moves the
// results where the later stages expect them. n >= piece >= 16.
inline Quad NaturalGroup(const FftComplex* x, int32_t h) {
    const int32_t q = h / 2;
    return {Load2(x), Load2(x + h), Load2(x + q), Load2(x + h + q)};
}
inline void StoreNaturalGroup(FftComplex* x, int32_t h, Quad y) {
    const int32_t q = h / 2;
    Store2(x, y.y0);
    Store2(x + h, y.y1);
    Store2(x + q, y.y2);
    Store2(x + h + q, y.y3);
}

template <bool Inverse>
void NaturalFirstStages(FftComplex* data, int32_t n, int32_t piece, const float* W) {
    const int32_t h = n / 2;
    if (!OddOrder(piece)) {
        for (int32_t x = 0; x < n / 4; x += 2)
            StoreNaturalGroup(data + x, h, FirstRadix4Vertical<Inverse>(NaturalGroup(data + x, h)));
        return;
    }
    const Radix2Factors<Inverse> f(W[6 * (piece / 8)]);
    const int32_t e8 = n / 8;
    for (int32_t x = 0; x < e8; x += 2) {
        Quad e = FirstRadix4Vertical<Inverse>(NaturalGroup(data + x, h));
        Quad o = FirstRadix4Vertical<Inverse>(NaturalGroup(data + x + e8, h));
        Radix2Vertical<Inverse>(e, o, f);
        StoreNaturalGroup(data + x, h, e);
        StoreNaturalGroup(data + x + e8, h, o);
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

namespace {

// Pieces below 16 points take the plain bit reversal and then their first stages.
template <bool Inverse>
void BitReverseFront(const FftComplex* src, FftComplex* dst, int32_t n, int32_t piece, const int32_t* pairTable,
                     const float* W) {
    if (piece < 16) {
        if (src == dst)
            BitReverseInPlace(dst, n, pairTable);
        else
            BitReverseCopy(src, dst, n, pairTable);
        for (int32_t p = 0; p < n; p += piece) FirstStages<Inverse>(dst + p, piece, W);
    } else if (src == dst) {
        NaturalFirstStages<Inverse>(dst, n, piece, W);
        BitReverseInPlace(dst, n, pairTable);
    } else {
        BitReverseFirstStages<Inverse>(src, dst, n, piece, W);
    }
}

}  // namespace

void BitReverseFirstStagesForward(const FftComplex* src, FftComplex* dst, int32_t n, int32_t piece,
                                  const int32_t* pairTable, const float* W) {
    BitReverseFront<false>(src, dst, n, piece, pairTable, W);
}

void BitReverseFirstStagesInverse(const FftComplex* src, FftComplex* dst, int32_t n, int32_t piece,
                                  const int32_t* pairTable, const float* W) {
    BitReverseFront<true>(src, dst, n, piece, pairTable, W);
}

void Radix4ForwardLaterStages(FftComplex* data, int32_t n, const float* twiddles) {
    if (n > 8) LaterStages<false>(data, n, twiddles);
}

void Radix4InverseLaterStages(FftComplex* data, int32_t n, const float* twiddles) {
    if (n > 8) LaterStages<true>(data, n, twiddles);
}

void Radix4ForwardLaterStagesToBlocks(FftComplex* data, int32_t n, const float* twiddles) {
    LaterStages<false, true>(data, n, twiddles);
}

void Radix4InverseLaterStagesToBlocks(FftComplex* data, int32_t n, const float* twiddles) {
    LaterStages<true, true>(data, n, twiddles);
}

void Radix4LaterStagesPairCombinedForward(FftComplex* data, int32_t n, const float* twiddles,
                                          const FftComplex* combine, int32_t step, bool toPairs) {
    LaterStagesPairCombined<false>(data, n, twiddles, combine, step, toPairs);
}

void Radix4LaterStagesPairCombinedInverse(FftComplex* data, int32_t n, const float* twiddles,
                                          const FftComplex* combine, int32_t step, bool toPairs) {
    LaterStagesPairCombined<true>(data, n, twiddles, combine, step, toPairs);
}

namespace {

// The recombination runs four elements k..k+3 at a time with their mirrors n-k..n-k-3, in the
// lane layout of a block, then two at a time, then one; the lanes compute the scalar formulas.
// Elements m-3..m, lane i holding element m-i.
inline Block LoadMirrored(const FftComplex* m) {
    const V4 lo = Load2(m - 3), hi = Load2(m - 1);
    return {__builtin_shufflevector(hi, lo, 2, 0, 6, 4), __builtin_shufflevector(hi, lo, 3, 1, 7, 5)};
}
inline void StoreMirrored(FftComplex* m, Block b) {
    Store2(m - 3, __builtin_shufflevector(b.r, b.i, 3, 7, 2, 6));
    Store2(m - 1, __builtin_shufflevector(b.r, b.i, 1, 5, 0, 4));
}

}  // namespace

// With two elements at a time: Zm the mirrors in the order (n-k, n-k-1), P = (a - b, c + d) and
// HG = (h, g) per element.
void RealForwardPostProcess(float* data, int32_t n, const float* table) {
    auto* z = reinterpret_cast<FftComplex*>(data);
    int32_t k = 1;
    for (; k + 3 < n / 2; k += 4) {
        const Block x = LoadPairsAsBlock(z + k), m = LoadMirrored(z + n - k);
        V4 wr, wi;
        LoadTable4(table + 2 * k, wr, wi);
        const V4 amb = x.r - m.r, cpd = x.i + m.i;
        const V4 h = wi * amb + wr * cpd;
        const V4 g = wi * cpd - wr * amb;
        StorePairs(z + k, {m.r + h, g - m.i});
        StoreMirrored(z + n - k, {x.r - h, g - x.i});
    }
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

// The same steps as the post-process: P = (a - b, c + d), Q = (a + b, c - d), EF = (e, f).
void RealInversePreProcess(const float* src, float* dst, int32_t n, const float* table) {
    const auto* x = reinterpret_cast<const FftComplex*>(src);
    auto* y = reinterpret_cast<FftComplex*>(dst);
    int32_t k = 1;
    for (; k + 3 < n / 2; k += 4) {
        const Block xk = LoadPairsAsBlock(x + k), m = LoadMirrored(x + n - k);
        V4 wr, wi;
        LoadTable4(table + 2 * k, wr, wi);
        const V4 amb = xk.r - m.r, cpd = xk.i + m.i;
        const V4 apb = xk.r + m.r, cmd = xk.i - m.i;
        const V4 e = wi * amb - wr * cpd;
        const V4 f = wi * cpd + wr * amb;
        StorePairs(y + k, {apb + e, cmd + f});
        StoreMirrored(y + n - k, {apb - e, f - cmd});
    }
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

// Complex FFTs of 2048 points and more, split into rows and columns so that no step spans more
// than 1024 points (apart from the combining stages of a leaf of at most 4096 points).
#include "primitives/core/VectorBasics.h"
#include "primitives/fft/FftInternal.h"
#include "primitives/fft/FftMath.h"

namespace kvxfft {

namespace {

constexpr int32_t PIECE = 1 << RADIX_MAX_ORDER;

// With firstDone the first stages of the pass already ran, with the bit reversal of the whole
// transform.
template <bool Inverse>
inline void RadixPass(FftComplex* data, int32_t n, const float* twiddles, bool firstDone = false) {
    if (firstDone) {
        if (Inverse)
            Radix4InverseLaterStages(data, n, twiddles);
        else
            Radix4ForwardLaterStages(data, n, twiddles);
    } else if (Inverse) {
        Radix4InversePass(data, n, twiddles);
    } else {
        Radix4ForwardPass(data, n, twiddles);
    }
}

// The order of the radix passes that run first on the bit-reversed data of complex order m: the
// pieces of a leaf, or the rows of the innermost level.
inline int32_t PieceOrder(int32_t m) {
    while (LargeFftSplitTable[m] != 0) {
        m -= LargeFftSplitTable[m];
        if (m <= RADIX_MAX_ORDER) return m;
    }
    return RADIX_MAX_ORDER;
}

template <bool Inverse>
inline void ScaleIfFlagged(const FftSpec* spec, FftComplex* data, int32_t points) {
    if ((Inverse ? spec->scaleInverse : spec->scaleForward) == 1)
        MultiplyByConstantInPlaceGeneric(spec->scale, reinterpret_cast<float*>(data), 2 * points);
}

template <bool ToPairs>
inline void StoreCombined(FftComplex* p, Block b) {
    if (ToPairs) {
        StorePairs(p, b);
    } else {
        Store4f(reinterpret_cast<float*>(p), b.r);
        Store4f(reinterpret_cast<float*>(p) + 4, b.i);
    }
}

// Positions j0..j1-1 of one stage over every pair of sub-transforms of length s, four positions
// at a time; the group lies wholly below or wholly above s/2. The factor of position j is
// w = table[(j - base) step] below s/2 and -i w above, (w.im, -w.re); the inverse takes the
// conjugates.
template <bool Inverse, bool Upper, bool FromBlocks, bool ToPairs>
inline void CombineGroup(FftComplex* data, int32_t n, int32_t s, int32_t j0, int32_t j1, const FftComplex* table) {
    const int32_t step = n / (2 * s);
    const int32_t base = Upper ? s / 2 : 0;
    for (int32_t j = j0; j < j1; j += 4) {
        const FftComplex* w = table + (j - base) * step;
        const V4 re{w[0].re, w[step].re, w[2 * step].re, w[3 * step].re};
        const V4 im{w[0].im, w[step].im, w[2 * step].im, w[3 * step].im};
        const V4 fr = Upper ? im : re;
        const V4 fi = Upper ? -re : im;
        for (int32_t p = 0; p < n; p += 2 * s) {
            FftComplex* E = data + p + j;
            const Block o = MulBlock<Inverse>(FromBlocks ? LoadBlock(E + s) : LoadPairsAsBlock(E + s), fr, fi);
            const Block e = FromBlocks ? LoadBlock(E) : LoadPairsAsBlock(E);
            StoreCombined<ToPairs>(E, {e.r + o.r, e.i + o.i});
            StoreCombined<ToPairs>(E + s, {e.r - o.r, e.i - o.i});
        }
    }
}

template <bool Inverse, bool FromBlocks, bool ToPairs>
void CombineStage(FftComplex* data, int32_t n, int32_t s, const FftComplex* table, int32_t group) {
    // Positions j are visited in groups of `group` over every pair of sub-transforms, so that a
    // group's factors stay in cache while the pairs stream past. s is a multiple of 1024, so no
    // group straddles s/2.
    for (int32_t j0 = 0; j0 < s; j0 += group) {
        const int32_t j1 = j0 + group < s ? j0 + group : s;
        if (j0 < s / 2)
            CombineGroup<Inverse, false, FromBlocks, ToPairs>(data, n, s, j0, j1, table);
        else
            CombineGroup<Inverse, true, FromBlocks, ToPairs>(data, n, s, j0, j1, table);
    }
}

// With FromBlocks the sub-transforms arrive in the blocked form of the radix passes; the stages
// keep it between them and the last one writes (re, im) pairs.
template <bool Inverse, bool FromBlocks = false>
void CombineStages(FftComplex* data, int32_t n, int32_t a, const FftComplex* table, int32_t blocking) {
    if (n / a < 2) return;
    const int32_t group = blocking / 2;
    for (int32_t s = a; s < n; s *= 2) {
        const bool last = 2 * s >= n;
        if (FromBlocks && !last)
            CombineStage<Inverse, true, false>(data, n, s, table, group);
        else if (FromBlocks)
            CombineStage<Inverse, true, true>(data, n, s, table, group);
        else
            CombineStage<Inverse, false, true>(data, n, s, table, group);
    }
}

// A leaf of 2048 or 4096 bit-reversed points: 1024-point pieces, then radix-2 combining stages.
// With firstDone the pieces stay in the blocked form for the combining stages, and unless the
// pieces are scaled (which comes between the two) the first combining stage runs with the last
// radix stage of each pair of pieces.
template <bool Inverse>
void Leaf(const FftSpec* spec, FftComplex* data, int32_t points, bool firstDone) {
    const bool scaled = (Inverse ? spec->scaleInverse : spec->scaleForward) == 1;
    if (firstDone && !scaled) {
        const int32_t step = points / (2 * PIECE);
        for (int32_t pair = 0; pair < points; pair += 2 * PIECE) {
            if (Inverse)
                Radix4LaterStagesPairCombinedInverse(data + pair, PIECE, spec->twiddleTable, spec->combineTable, step,
                                                     step == 1);
            else
                Radix4LaterStagesPairCombinedForward(data + pair, PIECE, spec->twiddleTable, spec->combineTable, step,
                                                     step == 1);
        }
        CombineStages<Inverse, true>(data, points, 2 * PIECE, spec->combineTable, COMBINE_BLOCKING);
        return;
    }
    for (int32_t piece = 0; piece < points; piece += PIECE) {
        if (!firstDone)
            RadixPass<Inverse>(data + piece, PIECE, spec->twiddleTable);
        else if (Inverse)
            Radix4InverseLaterStagesToBlocks(data + piece, PIECE, spec->twiddleTable);
        else
            Radix4ForwardLaterStagesToBlocks(data + piece, PIECE, spec->twiddleTable);
        ScaleIfFlagged<Inverse>(spec, data + piece, PIECE);
    }
    if (firstDone)
        CombineStages<Inverse, true>(data, points, PIECE, spec->combineTable, COMBINE_BLOCKING);
    else
        CombineStages<Inverse>(data, points, PIECE, spec->combineTable, COMBINE_BLOCKING);
}

// Column factors as multiplier vectors: (wr, wr, ...) and (-wi, wi, ...), conjugated for the inverse.
inline V4 ColumnRe(V4 c) { return __builtin_shufflevector(c, c, 0, 0, 2, 2); }
template <bool Inverse>
inline V4 ColumnIm(V4 c) {
    return __builtin_shufflevector(c, c, 1, 1, 3, 3) *
           (Inverse ? V4{1.0f, -1.0f, 1.0f, -1.0f} : V4{-1.0f, 1.0f, -1.0f, 1.0f});
}

// The depth is a template argument so that every instance indexes the per-depth tables within
// their bounds; the split table never nests levels deeper than they provide for.
template <bool Inverse, int32_t Depth>
void Level(const FftSpec* spec, FftComplex* data, int32_t j, uint8_t* work, bool firstDone) {
    const int32_t a = LargeFftSplitTable[j];
    const int32_t s = j - a;
    const int32_t K = 1 << a;
    const int32_t L = 1 << s;

    // Rows: each holds, in natural order, the L-point spectrum of one decimated sequence.
    for (int32_t r = 0; r < K; ++r) {
        FftComplex* row = data + static_cast<int64_t>(r) * L;
        if (s <= RADIX_MAX_ORDER) {
            RadixPass<Inverse>(row, L, spec->twiddleTable, firstDone);
            ScaleIfFlagged<Inverse>(spec, row, L);
        } else if (LargeFftSplitTable[s] != 0) {
            if constexpr (Depth + 1 < FFT_LARGE_DEPTHS) Level<Inverse, Depth + 1>(spec, row, s, work, firstDone);
        } else {
            Leaf<Inverse>(spec, row, L, firstDone);
        }
    }

    // Columns, four at a time: gather with the column factors, transform, scatter back.
    auto* rows = reinterpret_cast<FftComplex*>(work);
    const FftComplex* C = spec->columnTwiddles[Depth];
    const float* levelTwiddles = spec->levelTwiddles[Depth];
    for (int32_t c0 = 0; c0 < L; c0 += 4) {
        for (int32_t r = 0; r < K; ++r, C += 4) {
            const FftComplex* src = data + static_cast<int64_t>(r) * L + c0;
            const V4 lo = Mul2(Load2(src), ColumnRe(Load2(C)), ColumnIm<Inverse>(Load2(C)));
            const V4 hi = Mul2(Load2(src + 2), ColumnRe(Load2(C + 2)), ColumnIm<Inverse>(Load2(C + 2)));
            rows[r] = {lo[0], lo[1]};
            rows[K + r] = {lo[2], lo[3]};
            rows[2 * K + r] = {hi[0], hi[1]};
            rows[3 * K + r] = {hi[2], hi[3]};
        }
        for (int32_t q = 0; q < 4; ++q) RadixPass<Inverse>(rows + q * K, K, levelTwiddles);
        for (int32_t r = 0; r < K; ++r) {
            FftComplex* dst = data + static_cast<int64_t>(r) * L + c0;
            for (int32_t q = 0; q < 4; ++q) dst[q] = rows[q * K + r];
        }
    }
}

template <bool Inverse>
void Large(const FftSpec* spec, const FftComplex* src, FftComplex* dst, int32_t m, uint8_t* work) {
    const int32_t n = 1 << m;
    const int32_t piece = 1 << PieceOrder(m);
    if (Inverse)
        BitReverseFirstStagesInverse(src, dst, n, piece, spec->bitReverseTable, spec->twiddleTable);
    else
        BitReverseFirstStagesForward(src, dst, n, piece, spec->bitReverseTable, spec->twiddleTable);
    if (LargeFftSplitTable[m] != 0)
        Level<Inverse, 0>(spec, dst, m, work, true);
    else
        Leaf<Inverse>(spec, dst, n, true);
}

}  // namespace

void LargeFftForward(const FftSpec* spec, const FftComplex* src, FftComplex* dst, int32_t m, uint8_t* work) {
    Large<false>(spec, src, dst, m, work);
}

void LargeFftInverse(const FftSpec* spec, const FftComplex* src, FftComplex* dst, int32_t m, uint8_t* work) {
    Large<true>(spec, src, dst, m, work);
}

namespace {

template <bool Inverse>
void LevelAtDepth(const FftSpec* spec, FftComplex* data, int32_t j, int32_t depth, uint8_t* work) {
    if (depth == 0)
        Level<Inverse, 0>(spec, data, j, work, false);
    else if (depth == 1)
        Level<Inverse, 1>(spec, data, j, work, false);
    else
        Level<Inverse, 2>(spec, data, j, work, false);
}

}  // namespace

void LargeFftLevelForward(const FftSpec* spec, FftComplex* data, int32_t j, int32_t depth, uint8_t* work) {
    LevelAtDepth<false>(spec, data, j, depth, work);
}

void LargeFftLevelInverse(const FftSpec* spec, FftComplex* data, int32_t j, int32_t depth, uint8_t* work) {
    LevelAtDepth<true>(spec, data, j, depth, work);
}

void CombineStagesForward(FftComplex* data, int32_t n, int32_t a, const FftComplex* table, int32_t blocking) {
    CombineStages<false>(data, n, a, table, blocking);
}

void CombineStagesInverse(FftComplex* data, int32_t n, int32_t a, const FftComplex* table, int32_t blocking) {
    CombineStages<true>(data, n, a, table, blocking);
}

}  // namespace kvxfft

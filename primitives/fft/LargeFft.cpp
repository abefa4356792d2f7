// Complex FFTs of 2048 points and more, split into rows and columns so that no step spans more
// than 1024 points (apart from the combining stages of a leaf of at most 4096 points).
#include "primitives/core/VectorBasics.h"
#include "primitives/fft/FftInternal.h"
#include "primitives/fft/FftMath.h"

namespace kvxfft {

namespace {

constexpr int32_t PIECE = 1 << RADIX_MAX_ORDER;

template <bool Inverse>
inline void RadixPass(FftComplex* data, int32_t n, const float* twiddles) {
    if (Inverse)
        Radix4InversePass(data, n, twiddles);
    else
        Radix4ForwardPass(data, n, twiddles);
}

template <bool Inverse>
inline void ScaleIfFlagged(const FftSpec* spec, FftComplex* data, int32_t points) {
    if ((Inverse ? spec->scaleInverse : spec->scaleForward) == 1)
        MultiplyByConstantInPlaceGeneric(spec->scale, reinterpret_cast<float*>(data), 2 * points);
}

// The combining factors of table entries t and t + step as multiplier vectors (wr, wr, ...) and
// (-wi, wi, ...): the entries themselves below s/2, -i times them from there (Upper); the inverse
// takes the conjugates (+i times the conjugate above s/2).
template <bool Inverse, bool Upper>
inline void CombineFactorPair(const FftComplex* table, int32_t t, int32_t step, V4& wr, V4& wi) {
    const FftComplex a = table[t], b = table[t + step];
    const V4 v{a.re, a.im, b.re, b.im};
    const V4 re = __builtin_shufflevector(v, v, 0, 0, 2, 2);
    const V4 im = __builtin_shufflevector(v, v, 1, 1, 3, 3);
    const V4 minusPlus{-1.0f, 1.0f, -1.0f, 1.0f};
    const V4 plusMinus{1.0f, -1.0f, 1.0f, -1.0f};
    if (!Upper) {
        wr = re;
        wi = im * (Inverse ? plusMinus : minusPlus);
    } else {
        wr = im;
        wi = re * (Inverse ? minusPlus : plusMinus);
    }
}

// Positions j0..j1-1 of one stage over every pair of sub-transforms of length s, two positions
// at a time; the group lies wholly below or wholly above s/2.
template <bool Inverse, bool Upper>
inline void CombineGroup(FftComplex* data, int32_t n, int32_t s, int32_t j0, int32_t j1, const FftComplex* table) {
    const int32_t step = n / (2 * s);
    const int32_t base = Upper ? s / 2 : 0;
    for (int32_t j = j0; j < j1; j += 2) {
        V4 wr, wi;
        CombineFactorPair<Inverse, Upper>(table, (j - base) * step, step, wr, wi);
        for (int32_t p = 0; p < n; p += 2 * s) {
            FftComplex* E = data + p + j;
            const V4 o = Mul2(Load2(E + s), wr, wi);
            const V4 e = Load2(E);
            Store2(E, e + o);
            Store2(E + s, e - o);
        }
    }
}

template <bool Inverse>
void CombineStages(FftComplex* data, int32_t n, int32_t a, const FftComplex* table, int32_t blocking) {
    if (n / a < 2) return;
    const int32_t group = blocking / 2;
    for (int32_t s = a; s < n; s *= 2) {
        // Positions j are visited in groups of `group` over every pair of sub-transforms, so
        // that a group's factors stay in cache while the pairs stream past. s is a multiple of
        // 1024, so no group straddles s/2.
        for (int32_t j0 = 0; j0 < s; j0 += group) {
            const int32_t j1 = j0 + group < s ? j0 + group : s;
            if (j0 < s / 2)
                CombineGroup<Inverse, false>(data, n, s, j0, j1, table);
            else
                CombineGroup<Inverse, true>(data, n, s, j0, j1, table);
        }
    }
}

// A leaf of 2048 or 4096 bit-reversed points: 1024-point pieces, then radix-2 combining stages.
template <bool Inverse>
void Leaf(const FftSpec* spec, FftComplex* data, int32_t points) {
    for (int32_t piece = 0; piece < points; piece += PIECE) {
        RadixPass<Inverse>(data + piece, PIECE, spec->twiddleTable);
        ScaleIfFlagged<Inverse>(spec, data + piece, PIECE);
    }
    CombineStages<Inverse>(data, points, PIECE, spec->combineTable, COMBINE_BLOCKING);
}

// Column factors as multiplier vectors: (wr, wr, ...) and (-wi, wi, ...), conjugated for the inverse.
inline V4 ColumnRe(V4 c) { return __builtin_shufflevector(c, c, 0, 0, 2, 2); }
template <bool Inverse>
inline V4 ColumnIm(V4 c) {
    return __builtin_shufflevector(c, c, 1, 1, 3, 3) *
           (Inverse ? V4{1.0f, -1.0f, 1.0f, -1.0f} : V4{-1.0f, 1.0f, -1.0f, 1.0f});
}

template <bool Inverse>
void Level(const FftSpec* spec, FftComplex* data, int32_t j, int32_t depth, uint8_t* work) {
    const int32_t a = LargeFftSplitTable[j];
    const int32_t s = j - a;
    const int32_t K = 1 << a;
    const int32_t L = 1 << s;

    // Rows: each holds, in natural order, the L-point spectrum of one decimated sequence.
    for (int32_t r = 0; r < K; ++r) {
        FftComplex* row = data + static_cast<int64_t>(r) * L;
        if (s <= RADIX_MAX_ORDER) {
            RadixPass<Inverse>(row, L, spec->twiddleTable);
            ScaleIfFlagged<Inverse>(spec, row, L);
        } else if (LargeFftSplitTable[s] != 0) {
            Level<Inverse>(spec, row, s, depth + 1, work);
        } else {
            Leaf<Inverse>(spec, row, L);
        }
    }

    // Columns, four at a time: gather with the column factors, transform, scatter back.
    auto* rows = reinterpret_cast<FftComplex*>(work);
    const FftComplex* C = spec->columnTwiddles[depth];
    const float* levelTwiddles = spec->levelTwiddles[depth];
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
    if (src == dst)
        BitReverseInPlace(dst, n, spec->bitReverseTable);
    else
        BitReverseCopy(src, dst, n, spec->bitReverseTable);
    if (LargeFftSplitTable[m] != 0)
        Level<Inverse>(spec, dst, m, 0, work);
    else
        Leaf<Inverse>(spec, dst, n);
}

}  // namespace

void LargeFftForward(const FftSpec* spec, const FftComplex* src, FftComplex* dst, int32_t m, uint8_t* work) {
    Large<false>(spec, src, dst, m, work);
}

void LargeFftInverse(const FftSpec* spec, const FftComplex* src, FftComplex* dst, int32_t m, uint8_t* work) {
    Large<true>(spec, src, dst, m, work);
}

void LargeFftLevelForward(const FftSpec* spec, FftComplex* data, int32_t j, int32_t depth, uint8_t* work) {
    Level<false>(spec, data, j, depth, work);
}

void LargeFftLevelInverse(const FftSpec* spec, FftComplex* data, int32_t j, int32_t depth, uint8_t* work) {
    Level<true>(spec, data, j, depth, work);
}

void CombineStagesForward(FftComplex* data, int32_t n, int32_t a, const FftComplex* table, int32_t blocking) {
    CombineStages<false>(data, n, a, table, blocking);
}

void CombineStagesInverse(FftComplex* data, int32_t n, int32_t a, const FftComplex* table, int32_t blocking) {
    CombineStages<true>(data, n, a, table, blocking);
}

}  // namespace kvxfft

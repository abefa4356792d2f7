// The processor-specific FFT kernels behind slots 1 to 3 of the FFT family: reorder kernels, the
// one-pass and radix-pass complex FFTs, and their siblings for split data and the eight-way
// decimated transform. Each kernel exists once per variant namespace (Sse3Variant, Ssse3Variant,
// Sse41Variant), built from the same sources for the variant's instruction set with its own
// constants; the eight-way passes exist in the slot-2 and slot-3 variants only.
//
// Kernels test nothing and return nothing: the slot bodies validate the specification and the
// pointers and meet each kernel's contract. They only need SSE2.
//
// Layouts (n = 2^m complex points):
// - interleaved: (real, imaginary) float pairs, 4-byte alignment at least;
// - SplitQuadLayout: 32-byte blocks of four consecutive elements, floats 0-3 the real parts and
//   floats 4-7 the imaginary parts;
// - BitReverseIndexTable: n/4 + 1 int32 entries, entry t = 2 rev_(m-2)(t) and a final 0;
// - BitReversePairTable: the pair table of the generic FFT (pairs 4u, 4U for u < U = rev_(m-2)(u),
//   a 0, the self-reversed 4u from the end backwards, a final 0);
// - StageTwiddleTable: for each twiddled stage of the slot's FftStagePlan (radix R producing length
//   L), for each group of four k = 4g..4g+3 below L/R, for j = 1..R-1, one SplitQuadLayout block
//   holding w_L^(jk), w_L = e^(-2 pi i / L): 8(n - 4) bytes in all.
#pragma once

#include <cstdint>

// sqrt(1/2) as the radix-8 butterflies and the 8-point kernels use it: one unit above the nearest
// float, which the twiddle tables carry.
constexpr uint32_t FFT_SQRT_HALF_BITS = 0x3F3504F4u;

// One block of SplitQuadLayout.
struct SplitQuadLayout {
    float re[4];
    float im[4];
};

// The radices of the twiddled stages that follow the first (radix-4, untwiddled) stage of an
// n = 2^m point transform. Variant 1 has its own rule; variants 2 and 3 share the other.
struct FftStagePlan {
    int32_t count;
    int32_t radix[8];
};

constexpr FftStagePlan MakeFftStagePlan(int32_t variant, int32_t m)
{
    FftStagePlan plan{0, {}};
    for (int32_t used = 2; used < m;) {
        const int32_t rest = m - used;
        bool eight;
        if (variant == 1) {
            const bool listed = m == 7 || m == 10 || m == 11 || m == 13 || m == 14;
            eight = rest == 3 || (rest > 4 && used > 2) || (used == 2 && listed);
        } else {
            eight = rest % 3 == 0;
        }
        plan.radix[plan.count++] = eight ? 8 : 4;
        used += eight ? 3 : 2;
    }
    return plan;
}

#define KVX_DECLARE_FFT_KERNELS(Ns)                                                                               \
    namespace Ns {                                                                                                \
    /* Bit reversal by the index table, moving groups of sixteen elements (n >= 8). */                           \
    void BitReverseInPlaceSse(float* data, int64_t n, const int32_t* indexTable);                                \
    void BitReverseCopySse(const float* src, float* dst, int64_t n, const int32_t* indexTable);                  \
    void BitReverseInPlace32(void* data, int64_t n, const int32_t* indexTable);                                  \
    void BitReverseCopy32(const void* src, void* dst, int64_t n, const int32_t* indexTable);                     \
    void BitReverseInPlace64(void* data, int64_t n, const int32_t* indexTable);                                  \
    void BitReverseCopy64(const void* src, void* dst, int64_t n, const int32_t* indexTable);                     \
    void BitReverseInPlace128(void* data, int64_t n, const int32_t* indexTable);                                 \
    void BitReverseCopy128(const void* src, void* dst, int64_t n, const int32_t* indexTable);                    \
    /* Bit reversal by the pair table, on units of two elements. */                                             \
    void BitReverseSwapPairs(float* data, int64_t n, const int32_t* pairTable);                                  \
    void BitReverseSwapPairs32(void* data, int64_t n, const int32_t* pairTable);                                 \
    void BitReverseSwapPairs32Second(void* data, int64_t n, const int32_t* pairTable);                           \
    void BitReverseSwapPairs64Int(void* data, int64_t n, const int32_t* pairTable);                              \
    void BitReverseSwapPairs64Vector(void* data, int64_t n, const int32_t* pairTable);                           \
    void BitReverseSwapPairs128(void* data, int64_t n, const int32_t* pairTable);                                \
    void BitReverseCopyPairs32(const void* src, void* dst, int64_t n, const int32_t* pairTable);                 \
    void BitReverseCopyPairs64(const void* src, void* dst, int64_t n, const int32_t* pairTable);                 \
    /* One-pass complex FFT, natural order in and out; work (8n bytes, 16-byte aligned) is the          */    \
    /* intermediate buffer when src is dst or dst is not 16-byte aligned.                                */    \
    void OnePassFftForward(const float* src, float* dst, uint64_t n, const float* twiddles,                    \
                           const int32_t* bitReverseIndex, void* work);                                          \
    void OnePassFftInverse(const float* src, float* dst, uint64_t n, const float* twiddles,                    \
                           const int32_t* bitReverseIndex, void* work);                                          \
    /* Radix pass in place on bit-reversed data; interleave 1 gives pairs, else SplitQuadLayout.          */    \
    void Radix4ForwardPassSse(float* data, uint64_t n, const float* twiddles, void* work, int32_t interleave);   \
    void Radix4InversePassSse(float* data, uint64_t n, const float* twiddles, void* work, int32_t interleave);   \
    /* The split-format siblings: separate arrays of real and imaginary parts. */                               \
    void SplitOnePassFftForward(const float* reIn, const float* imIn, float* reOut, float* imOut, int32_t n,    \
                                const float* twiddles, const int32_t* bitReverseIndex, void* work);              \
    void SplitOnePassFftInverse(const float* reIn, const float* imIn, float* reOut, float* imOut, int32_t n,    \
                                const float* twiddles, const int32_t* bitReverseIndex, void* work);              \
    void SplitRadixPassesForward(float* re, float* im, uint64_t n, const float* twiddles, void* work);          \
    void SplitRadixPassesInverse(float* re, float* im, uint64_t n, const float* twiddles, void* work);          \
    /* Column steps of the large-order algorithm: a block of `columns` columns of `rows` rows of */            \
    /* `rowLength` points (SplitQuadLayout) gathered into work row after row, and back; the passes   */        \
    /* combine `groups` groups of R legs of `width` values in the work buffer (src is dst). The      */        \
    /* planar forms gather from and scatter to separate real and imaginary arrays.                   */        \
    void ColumnGather(const float* data, float* work, int32_t rowLength, int32_t rows, int32_t columns);        \
    void ColumnScatter(float* data, const float* work, int32_t rowLength, int32_t rows, int32_t columns,        \
                       int32_t interleave);                                                                      \
    void ColumnGatherPlanar(const float* re, const float* im, float* work, int32_t rowLength, int32_t rows,    \
                            int32_t columns);                                                                    \
    void ColumnScatterPlanar(float* re, float* im, const float* work, int32_t rowLength, int32_t rows,         \
                             int32_t columns);                                                                   \
    void ColumnRadix2ForwardPass(const float* src, float* dst, int32_t width, int32_t groups, const float* twiddles); \
    void ColumnRadix2InversePass(const float* src, float* dst, int32_t width, int32_t groups, const float* twiddles); \
    void ColumnRadix4ForwardPass(const float* src, float* dst, int32_t width, int32_t groups, const float* twiddles); \
    void ColumnRadix4InversePass(const float* src, float* dst, int32_t width, int32_t groups, const float* twiddles); \
    void ColumnRadix8ForwardPass(const float* src, float* dst, int32_t width, int32_t groups, const float* twiddles); \
    void ColumnRadix8InversePass(const float* src, float* dst, int32_t width, int32_t groups, const float* twiddles); \
    }

KVX_DECLARE_FFT_KERNELS(Sse3Variant)
KVX_DECLARE_FFT_KERNELS(Ssse3Variant)
KVX_DECLARE_FFT_KERNELS(Sse41Variant)
#undef KVX_DECLARE_FFT_KERNELS

// The eight-way decimated FFT of N = 8c points (slots 2 and 3 only): two four-column first passes
// (columns 0-3, then the source advanced by four elements and the destination by 4c elements)
// leave the c-point transforms of the eight columns x[8m + k] in SplitQuadLayout; the radix-8 final
// pass merges them with the last radix-8 stage of the N-point StageTwiddleTable.
#define KVX_DECLARE_EIGHT_WAY_KERNELS(Ns)                                                                         \
    namespace Ns {                                                                                                \
    void FourColumnFftForward(const float* src, float* dst, uint64_t c, const float* twiddles,                 \
                              const int32_t* bitReverseIndex, void* work);                                       \
    void FourColumnFftInverse(const float* src, float* dst, uint64_t c, const float* twiddles,                 \
                              const int32_t* bitReverseIndex, void* work);                                       \
    void FourColumnFftFromSplitForward(const float* srcRe, const float* srcIm, float* dst, uint64_t c,         \
                                       const float* twiddles, const int32_t* bitReverseIndex);                   \
    void FourColumnFftFromSplitInverse(const float* srcRe, const float* srcIm, float* dst, uint64_t c,         \
                                       const float* twiddles, const int32_t* bitReverseIndex);                   \
    void Radix8FinalPassForward(const float* src, float* dst, uint64_t spacing, int64_t count, const float* rows); \
    void Radix8FinalPassInverse(const float* src, float* dst, uint64_t spacing, int64_t count, const float* rows); \
    void Radix8FinalPassToSplitForward(const float* src, float* dstRe, float* dstIm, uint64_t spacing,         \
                                       int32_t count, const float* rows);                                        \
    void Radix8FinalPassToSplitInverse(const float* src, float* dstRe, float* dstIm, uint64_t spacing,         \
                                       int32_t count, const float* rows);                                        \
    }

KVX_DECLARE_EIGHT_WAY_KERNELS(Ssse3Variant)
KVX_DECLARE_EIGHT_WAY_KERNELS(Sse41Variant)
#undef KVX_DECLARE_EIGHT_WAY_KERNELS

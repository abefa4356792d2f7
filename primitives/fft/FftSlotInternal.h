// Internal operations of the slot 1 to 3 FFT bodies, one copy per variant namespace: the table
// builders of their specification layouts, the recombination steps, the complex products, the
// small kernels and the large-order algorithm. They check nothing (ZeroFftSpecSse and
// CopyBytesChecked excepted); the slot bodies validate first. Tests reach them directly.
#pragma once

#include <cstdint>

#include "primitives/core/PrimitiveStatus.h"
#include "primitives/fft/FftSpec.h"

#define KVX_DECLARE_FFT_SLOT_INTERNALS(Ns)                                                                        \
    namespace Ns {                                                                                                \
    /* Builders; each returns the next 32-byte boundary after its table (for the index and pair   */           \
    /* tables below order 2 and the twiddle table up to order 3, which write nothing: dst).         */           \
    PrimitiveStatus ZeroFftSpecSse(void* p, int32_t bytes);                                                       \
    float* BuildQuarterSineTableSse(int32_t order, float* dst);                                                   \
    float* BuildBitReverseIndexTable(int32_t m, int32_t* dst);                                                    \
    float* BuildBitReversePairTableSse(int32_t m, int32_t* dst);                                                  \
    float* BuildBlockedBitReverseTable(int32_t m, int32_t tileBits, int32_t* dst);                                \
    float* BuildTwiddleTableSse(int32_t m, const float* sine, int32_t sineOrder, float* dst);                     \
    float* BuildRealForwardTableSse(int32_t p, const float* sine, int32_t sineOrder, float* dst);                 \
    float* BuildRealInverseTableSse(int32_t p, const float* sine, int32_t sineOrder, float* dst);                 \
    /* Base sizes of the large layout of complex order m, in 64 bits. */                                        \
    void GetLargeFftSizeSse(int32_t m, int64_t* spec, int64_t* init, int64_t* work);                              \
    float* BuildLargeFftTablesSse(FftSpec* spec, int32_t m, const float* sine, int32_t sineOrder, float* dst);    \
    float* BuildLargeFftLevelTablesSse(FftSpec* spec, int32_t j, const float* sine, int32_t sineOrder,           \
                                       int32_t depth, float* dst);                                                \
    /* The recombination of the real transforms on the grouped tables; direction is not examined. */            \
    void RealForwardPostProcessSse(float* data, int32_t n, int32_t direction, const float* table);                \
    void RealInversePreProcessSse(const float* src, float* dst, int32_t n, int32_t direction, const float* table); \
    void ComplexMultiply(const float* a, const float* b, float* dst, uint32_t count);                             \
    void ComplexMultiplyInPlace(const float* src, float* srcDst, uint32_t count);                                 \
    /* Small kernels of the slot's rows of the kernel tables. */                                                 \
    void SmallRealForward1(const float* src, float* dst);                                                         \
    void SmallRealForward1Scaled(const float* src, float* dst, float s);                                          \
    void SmallRealForward2(const float* src, float* dst);                                                         \
    void SmallRealForward2Scaled(const float* src, float* dst, float s);                                          \
    void SmallRealInverse2(const float* src, float* dst);                                                         \
    void SmallRealInverse2Scaled(const float* src, float* dst, float s);                                          \
    void SmallRealForward3(const float* src, float* dst);                                                         \
    void SmallRealForward3Scaled(const float* src, float* dst, float s);                                          \
    void SmallRealInverse3(const float* src, float* dst);                                                         \
    void SmallRealInverse3Scaled(const float* src, float* dst, float s);                                          \
    void SmallComplexForward2(const float* src, float* dst);                                                      \
    void SmallComplexForward2Scaled(const float* src, float* dst, float s);                                       \
    void SmallComplexForward3(const float* src, float* dst);                                                      \
    void SmallComplexForward3Scaled(const float* src, float* dst, float s);                                       \
    /* The large-order algorithm (src may be dst; work rounded up to 32 bytes). */                               \
    void LargeFftForwardSse(const FftSpec* spec, const float* src, float* dst, int32_t m, uint8_t* work);         \
    void LargeFftInverseSse(const FftSpec* spec, const float* src, float* dst, int32_t m, uint8_t* work);         \
    void LargeFftLevelForwardSse(const FftSpec* spec, float* data, int32_t j, int32_t depth, uint8_t* work);      \
    void LargeFftLevelInverseSse(const FftSpec* spec, float* data, int32_t j, int32_t depth, uint8_t* work);      \
    void BitReverseBlocked(float* data, int64_t n, const int32_t* tables, uint8_t* work);                         \
    PrimitiveStatus CopyBytesChecked(const void* src, void* dst, int32_t bytes);                                  \
    }

KVX_DECLARE_FFT_SLOT_INTERNALS(Sse3Variant)
KVX_DECLARE_FFT_SLOT_INTERNALS(Ssse3Variant)
KVX_DECLARE_FFT_SLOT_INTERNALS(Sse41Variant)
#undef KVX_DECLARE_FFT_SLOT_INTERNALS

// The processor-specific slot bodies and kernel modules of the vector family: one namespace per
// variant (Sse3Variant for slot 1, Ssse3Variant for slot 2, Sse41Variant for slot 3), each built
// from the same sources for its own instruction set. A slot's bodies call only its own kernels.
//
// Kernels check nothing: their slot bodies have tested the pointers and lengths, so every length
// passed is at least 1. Members that no entry point reaches belong to their modules all the same.
#pragma once

#include <cstdint>

#include "primitives/core/PrimitiveStatus.h"

// A complex int16 constant passed by value: real part first.
struct ComplexInt16 {
    int16_t Re;
    int16_t Im;
};

// The two float partial sums of a chunk (even and odd lanes).
struct ChunkSums {
    float F0;
    float F1;
};

#define KVX_DECLARE_VECTOR_VARIANT(Ns, Suffix)                                                                        \
    namespace Ns {                                                                                                    \
    /* Absolute value and reversal. */                                                                                \
    void AbsoluteFloatKernel(const float* src, float* dst, int32_t len);                                              \
    void AbsoluteDoubleKernel(const double* src, double* dst, int32_t len);                                           \
    void AbsoluteInt16Kernel(const int16_t* src, int16_t* dst, int32_t len);                                          \
    void AbsoluteInt32Kernel(const int32_t* src, int32_t* dst, int32_t len);                                          \
    void ReverseCopyKernel8(const uint8_t* src, uint8_t* dst, uint32_t len);                                          \
    void ReverseCopyKernel16(const uint16_t* src, uint16_t* dst, uint32_t len);                                       \
    void ReverseCopyKernel32(const uint32_t* src, uint32_t* dst, uint32_t len);                                       \
    void ReverseInPlaceKernel8(uint8_t* buf, uint32_t len);                                                           \
    void ReverseInPlaceKernel16(uint16_t* buf, uint32_t len);                                                         \
    void ReverseInPlaceKernel32(uint32_t* buf, uint32_t len);                                                         \
    /* Maximum and minimum. */                                                                                        \
    void MaximumFloatKernel(const float* src, int64_t len, float* out);                                               \
    void MinimumFloatKernel(const float* src, int64_t len, float* out);                                               \
    void MaximumDoubleKernel(const double* src, int64_t len, double* out);                                            \
    void MinimumDoubleKernel(const double* src, int64_t len, double* out);                                            \
    void MaximumInt16Kernel(const int16_t* src, int64_t len, int16_t* out);                                           \
    void MinimumInt16Kernel(const int16_t* src, int64_t len, int16_t* out);                                           \
    void ElementwiseMinimumKernel(const float* src, float* srcDst, uint32_t len);                                      \
    void ElementwiseMaximumKernel(const float* src, float* srcDst, uint32_t len);                                      \
    /* Squares; complex arrays are pairs, real part first, len counts elements. */                                    \
    void SquareKernel(const float* src, float* dst, int32_t len);                                                     \
    void SquareComplexKernel(const float* src, float* dst, int32_t len);                                              \
    void SquareDoubleKernel(const double* src, double* dst, int32_t len);                                             \
    void SquareComplexDoubleKernel(const double* src, double* dst, int32_t len);                                      \
    void SquareInt16ScaledKernel(const int16_t* src, int16_t* dst, int32_t len, int32_t s);                           \
    void SquareComplexInt16ScaledKernel(const int16_t* src, int16_t* dst, int32_t len, int32_t s);                    \
    void SquareUInt8ScaledKernel(const uint8_t* src, uint8_t* dst, int32_t len, int32_t s);                           \
    void SquareUInt16ScaledKernel(const uint16_t* src, uint16_t* dst, int32_t len, int32_t s);                        \
    /* Division: a holds the divisors, b the dividends; nonzero results report a zero divisor. */                     \
    int32_t DivideKernel(const float* a, const float* b, float* dst, int32_t len);                                    \
    int32_t DivideConstantByVectorKernel(const float* a, const float* pc, float* dst, int32_t len);                   \
    int32_t DivideComplexKernel(const float* a, const float* b, float* dst, int32_t len);                             \
    int32_t DivideDoubleKernel(const double* a, const double* b, double* dst, int32_t len);                           \
    int32_t DivideComplexDoubleKernel(const double* a, const double* b, double* dst, int32_t len);                    \
    int32_t DivideInt32ScaledKernel(const int32_t* a, const int32_t* b, int32_t* dst, int32_t len, int32_t s);        \
    int32_t DivideInt16ScaledKernel(const int16_t* a, const int16_t* b, int16_t* dst, int32_t len, int32_t s);        \
    int32_t DivideComplexInt16ScaledKernel(const int16_t* a, const int16_t* b, int16_t* dst, int32_t len, int32_t s); \
    int32_t DivideUInt8ScaledKernel(const uint8_t* a, const uint8_t* b, uint8_t* dst, int32_t len, int32_t s);        \
    int32_t DivideInt32ByInt16ScaledKernel(const int16_t* a, const int32_t* b, int16_t* dst, int32_t len, int32_t s); \
    void DivideByConstantInt16ScaledKernel(const int16_t* src, int16_t c, int16_t* dst, int32_t len, int32_t s);      \
    void DivideByConstantComplexInt16ScaledKernel(const int16_t* src, ComplexInt16 c, int16_t* dst, int32_t len,      \
                                                  int32_t s);                                                         \
    void DivideByConstantUInt8ScaledKernel(const uint8_t* src, uint8_t c, uint8_t* dst, int32_t len, int32_t s);      \
    int32_t DivideConstantByVectorUInt16Kernel(const uint16_t* src, uint16_t c, uint16_t* dst, int32_t len);          \
    /* Summation. */                                                                                                  \
    double SumFrontKernel(const float* src, int32_t len, int32_t hint);                                               \
    float MeanFrontKernel(const float* src, int32_t len, int32_t hint);                                               \
    void SumKernel(const float* src, int64_t len, double* pSum);                                                      \
    void SumChunkKernel(const float* src, int32_t len, double* pSum);                                                 \
    ChunkSums SumChunkInner(const float** position, int64_t n);                                                       \
    ChunkSums SumChunkInnerUnaligned(const float** position, int64_t n);                                              \
    void SumDoubleKernel(const double* src, int32_t len, double* pSum);                                               \
    void SumInt16Kernel(const int16_t* src, double* pSum, int32_t len);                                               \
    int32_t ScaleSumToInt32(const double* pValue, int32_t sf);                                                        \
    void SumComplexInt16Kernel(const int16_t* src, double* pSum, int64_t len);                                        \
    void ScaleComplexSumToInt32(const double* pValue, int32_t* dst, int32_t sf);                                      \
    void SumComplexChunkKernel(const float* src, int32_t len, double* pSum);                                          \
    void SumComplexDoubleKernel(const double* src, int32_t len, double* pSum);                                        \
    void SumComplexKernel(const float* src, int64_t len, double* pSum);                                               \
    /* Slot bodies of the entries with a body per slot. */                                                            \
    PrimitiveStatus FillFloat##Suffix(float value, float* dst, int32_t len);                                          \
    PrimitiveStatus AbsoluteInPlace##Suffix(float* srcDst, int32_t len);                                              \
    PrimitiveStatus ReverseCopy##Suffix(const float* src, float* dst, int32_t len);                                   \
    PrimitiveStatus Square##Suffix(const float* src, float* dst, int32_t len);                                        \
    PrimitiveStatus Divide##Suffix(const float* a, const float* b, float* dst, int32_t len);                          \
    PrimitiveStatus ElementwiseMinimumInPlace##Suffix(const float* src, float* srcDst, int32_t len);                  \
    PrimitiveStatus ElementwiseMaximumInPlace##Suffix(const float* src, float* srcDst, int32_t len);                  \
    PrimitiveStatus Maximum##Suffix(const float* src, int32_t len, float* pMax);                                      \
    PrimitiveStatus Minimum##Suffix(const float* src, int32_t len, float* pMin);                                      \
    PrimitiveStatus Sum##Suffix(const float* src, int32_t len, float* pSum, int32_t hint);                            \
    PrimitiveStatus Mean##Suffix(const float* src, int32_t len, float* pMean, int32_t hint);                          \
    PrimitiveStatus DotProduct##Suffix(const float* a, const float* b, int32_t len, float* pResult);                  \
    }

KVX_DECLARE_VECTOR_VARIANT(Sse3Variant, Sse3)
KVX_DECLARE_VECTOR_VARIANT(Ssse3Variant, Ssse3)
KVX_DECLARE_VECTOR_VARIANT(Sse41Variant, Sse41)
#undef KVX_DECLARE_VECTOR_VARIANT

// The element-wise kernels exist twice: the first copy serves slot 1, the second slots 2 and 3,
// whose tables hold the slot-2 bodies.
#define KVX_DECLARE_ELEMENTWISE_COPY(Ns, Suffix)                                                                      \
    namespace Ns {                                                                                                    \
    void MultiplyInPlaceKernel(const float* src, float* srcDst, int32_t len);                                         \
    void AddKernel(const float* a, const float* b, float* dst, int32_t len);                                          \
    void SubtractKernel(const float* a, const float* b, float* dst, int32_t len);                                     \
    void MultiplyKernel(const float* a, const float* b, float* dst, int32_t len);                                     \
    void MultiplyAccumulateByConstantKernel(const float* src, float c, float* srcDst, int32_t len);                   \
    PrimitiveStatus MultiplyInPlace##Suffix(const float* src, float* srcDst, int32_t len);                            \
    PrimitiveStatus Add##Suffix(const float* a, const float* b, float* dst, int32_t len);                             \
    PrimitiveStatus Subtract##Suffix(const float* a, const float* b, float* dst, int32_t len);                        \
    PrimitiveStatus Multiply##Suffix(const float* a, const float* b, float* dst, int32_t len);                        \
    PrimitiveStatus MultiplyAccumulateByConstant##Suffix(const float* src, float c, float* srcDst, int32_t len);      \
    }

KVX_DECLARE_ELEMENTWISE_COPY(Sse3Variant, Sse3)
KVX_DECLARE_ELEMENTWISE_COPY(Ssse3Variant, Ssse3)
#undef KVX_DECLARE_ELEMENTWISE_COPY

// The dot-product kernels: the SSE3-class module serves slot 1, the SSSE3 kernel slots 2 and 3
// (one copy each). Complex results are two values, real part first.
namespace Sse3Variant {
void DotProductKernelSse(const float* a, const float* b, int64_t len, float* pResult);
void DotProductRealComplexKernelSse(const float* a, const float* b, int64_t len, float* pResult);
void DotProductComplexKernelSse(const float* a, const float* b, int64_t len, float* pResult);
void DotProductDoubleKernelSse(const double* a, const double* b, int64_t len, double* pResult);
void DotProductRealComplexDoubleKernelSse(const double* a, const double* b, int64_t len, double* pResult);
void DotProductComplexDoubleKernelSse(const double* a, const double* b, int64_t len, double* pResult);
void DotProductInt32ScaledKernelSse(const int32_t* a, const int32_t* b, int64_t len, int32_t* pResult,
                                    const double* pScale);
void DotProductRealComplexInt32ScaledKernelSse(const int32_t* a, const int32_t* b, int64_t len, int32_t* pResult,
                                               const double* pScale);
void DotProductComplexInt32ScaledKernelSse(const int32_t* a, const int32_t* b, int64_t len, int32_t* pResult,
                                           const double* pScale);
void DotProductInt16Int32ScaledKernelSse(const int16_t* a, const int32_t* b, int64_t len, int32_t* pResult,
                                         const double* pScale);
void DotProductInt16ToInt64KernelSse(const int16_t* a, const int16_t* b, int64_t len, int64_t* pResult);
void DotProductRealComplexInt16ToInt64KernelSse(const int16_t* a, const int16_t* b, int64_t len, int64_t* pResult);
void DotProductComplexInt16ToInt64KernelSse(const int16_t* a, const int16_t* b, int64_t len, int64_t* pResult);
void DotProductInt16ToInt64BlockKernelSse(const int16_t* a, const int16_t* b, int64_t len, int64_t* pResult);
}  // namespace Sse3Variant
namespace Ssse3Variant {
void DotProductKernelSsse3(const float* a, const float* b, int32_t len, float* pResult);
}
namespace Sse41Variant {
void DotProductKernelSsse3(const float* a, const float* b, int32_t len, float* pResult);
}

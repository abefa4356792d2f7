// The processor-specific kernels of the elementary math family and the slot bodies that call
// them: one namespace per variant, Sse3Variant for slot 1, Ssse3Variant for slot 2 and
// Sse41Variant for slot 3, each built from the same sources with its own constant blocks and
// tables. The kernels validate nothing: their callers have tested pointers and lengths.
//
// Only the exponential, the single-precision in-place logarithm and the float square root are
// reached (through the slot bodies of ExponentialInPlace, NaturalLogInPlace and
// SquareRootInPlace); every other member is complete but has no caller in the library.
#pragma once

#include "primitives/core/PrimitiveStatus.h"
#include "primitives/core/PrimitiveTypes.h"

// One row of the reciprocal table of the double-precision logarithms (made by tools/tablegen): r,
// r again (so that one 16-byte load yields the pair), and -ln r split into a high part and a
// small low part.
struct alignas(16) LogReciprocalEntry {
    double Reciprocal;
    double ReciprocalAgain;
    double NegLogHigh;
    double NegLogLow;
};

constexpr int32_t LOG_RECIPROCAL_ENTRIES = 65;
// Bytes of scratch the in-place logarithm needs per element, and the chunk its slot bodies use.
constexpr int32_t LOG_SCRATCH_BYTES_PER_ELEMENT = 8;
constexpr int32_t LOG_CHUNK_ELEMENTS = 256;
// Domain flags of the logarithm kernels: the kind of the first zero or negative element.
constexpr int64_t LOG_DOMAIN_ZERO = 2;
constexpr int64_t LOG_DOMAIN_NEGATIVE = 4;

#define KVX_DECLARE_MATH_VARIANT(Ns, Suffix)                                                                        \
    namespace Ns {                                                                                                  \
    extern const LogReciprocalEntry LogReciprocalTable[LOG_RECIPROCAL_ENTRIES];                                     \
    /* Exponential. */                                                                                              \
    void ExponentialKernel(const float* src, float* dst, int32_t len);                                              \
    /* Logarithms: each returns the domain flag (0, LOG_DOMAIN_ZERO or LOG_DOMAIN_NEGATIVE). */                     \
    int64_t NaturalLogKernel(float* srcDst, int64_t count, void* scratch);                                          \
    int64_t NaturalLogCopyKernel(const float* src, float* dst, int64_t count, void* scratch);                       \
    int64_t NaturalLogInt32CopyKernel(const int32_t* src, int32_t* dst, int64_t count, const float* pScale,        \
                                      void* work);                                                                  \
    int64_t NaturalLogInt32Kernel(int32_t* srcDst, int64_t count, const float* pScale, void* work);                 \
    int64_t NaturalLogInt32ToInt16Kernel(const int32_t* src, int16_t* dst, int64_t count, ScaleFactor sf,           \
                                         void* work);                                                               \
    int64_t NaturalLogInt16CopyKernel(const int16_t* src, int16_t* dst, int64_t count, ScaleFactor sf, void* work); \
    int64_t NaturalLogInt16Kernel(int16_t* srcDst, int64_t count, ScaleFactor sf, void* work);                      \
    void ScaleFactorToFloat(ScaleFactor sf, float* pScale);                                                         \
    int64_t NaturalLogDoubleKernel(const double* src, double* dst, int64_t count);                                  \
    int64_t NaturalLogDoubleToFloatKernel(const double* src, float* dst, int64_t count);                            \
    /* Square roots: the int32_t results are non-zero when some element counted as negative. */                    \
    int32_t SquareRootKernel(const float* src, float* dst, int32_t len);                                            \
    int32_t SquareRootKernelEntry(float* srcDst, int32_t len);                                                      \
    int32_t SquareRootDoubleKernel(const double* src, double* dst, int32_t len);                                    \
    void ComplexSquareRootKernel(const float* src, float* dst, int32_t len);                                        \
    void ComplexSquareRootDoubleKernel(const double* src, double* dst, int32_t len);                                \
    int32_t SquareRootInt16Kernel(const int16_t* src, int16_t* dst, int32_t len, ScaleFactor sf);                   \
    void ComplexSquareRootInt16Kernel(const int16_t* src, int16_t* dst, int32_t len);                               \
    void ComplexSquareRootInt16ScaledKernel(const int16_t* src, int16_t* dst, int32_t len, ScaleFactor sf);         \
    void ComplexSquareRootInt16QuotientKernel(const int16_t* src, int16_t* dst, int32_t len, ScaleFactor sf);       \
    void SquareRootUint16Kernel(const uint16_t* src, uint16_t* dst, int32_t len, ScaleFactor sf);                   \
    void TranslateBytesKernel(const uint8_t* src, uint8_t* dst, int32_t len, const uint8_t* table);                 \
    int32_t SquareRootInt32ToInt16Kernel(const int32_t* src, int16_t* dst, int32_t len, ScaleFactor sf);            \
    int32_t SquareRootInt64ToInt16Kernel(const int64_t* src, int16_t* dst, int32_t len, ScaleFactor sf);            \
    int32_t SquareRootInt64Kernel(const int64_t* src, int64_t* dst, int32_t len, ScaleFactor sf);                   \
    /* Slot bodies. */                                                                                              \
    PrimitiveStatus ExponentialInPlace##Suffix(float* srcDst, int32_t len);                                         \
    PrimitiveStatus NaturalLogInPlace##Suffix(float* srcDst, int32_t len);                                          \
    PrimitiveStatus SquareRootInPlace##Suffix(float* srcDst, int32_t len);                                          \
    }

KVX_DECLARE_MATH_VARIANT(Sse3Variant, Sse3)
KVX_DECLARE_MATH_VARIANT(Ssse3Variant, Ssse3)
KVX_DECLARE_MATH_VARIANT(Sse41Variant, Sse41)
#undef KVX_DECLARE_MATH_VARIANT

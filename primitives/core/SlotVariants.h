// The processor-specific slot bodies and kernels: one namespace per variant, Sse3Variant for
// slot 1, Ssse3Variant for slot 2 and Sse41Variant for slot 3. Each variant is built from the same
// sources for its own instruction set, and its bodies call only its own kernels. The FFT and
// vector-arithmetic families call the byte, word and fill kernels of the slot they fill.
//
// Kernels validate nothing and return nothing: their slot bodies have tested the arguments.
#pragma once

#include "primitives/core/CpuDetection.h"
#include "primitives/core/PrimitiveTypes.h"

// A 128-bit fill pattern, low half first.
struct Pattern128 {
    uint64_t Low;
    uint64_t High;
};

// The non-temporal choice of the copy kernel of variant 1, 2 or 3, made when dst was aligned on
// entry or src is unaligned once dst is: at least the variant's limit of bytes left, a known cache
// size (per core in variant 1) and at least half of it left to copy.
constexpr int64_t COPY_LOOKUP_LIMIT_SLOT1 = 0x80000;
constexpr int64_t COPY_LOOKUP_LIMIT_SLOT23 = 0x100000;

inline constexpr bool CopyLooksUpCache(int32_t variant, int64_t bytesLeft)
{
    return bytesLeft >= (variant == 1 ? COPY_LOOKUP_LIMIT_SLOT1 : COPY_LOOKUP_LIMIT_SLOT23);
}

inline constexpr bool CopyGoesNonTemporal(int32_t variant, int64_t bytesLeft, int64_t cacheBytes,
                                          int32_t coresPerPackage)
{
    const int64_t share = variant == 1 ? cacheBytes / (coresPerPackage > 0 ? coresPerPackage : 1) : cacheBytes;
    return CopyLooksUpCache(variant, bytesLeft) && share != 0 && bytesLeft >= share / 2;
}

#define KVX_DECLARE_VARIANT(Ns, Suffix)                                                                              \
    namespace Ns {                                                                                                   \
    /* Byte and word kernels; the reader answers the cache lookup of the large sizes. */                             \
    void* ZeroBytesSse(void* ptr, int64_t byteCount, const CpuidReader& reader = HardwareCpuid);                     \
    void* CopyBytesSse(const void* src, void* dst, int64_t byteCount, const CpuidReader& reader = HardwareCpuid);    \
    void* MoveBytesSse(const void* src, void* dst, int64_t byteCount);                                               \
    void FillKernel32SseEntry(uint32_t value, void* dst, int32_t count, const CpuidReader& reader = HardwareCpuid);   \
    void FillKernel32Sse(const uint32_t* pValue, void* dst, int32_t count, const CpuidReader& reader = HardwareCpuid); \
    void FillKernel16(const uint16_t* pValue, void* dst, int32_t count, const CpuidReader& reader = HardwareCpuid);   \
    void FillKernel64(const uint64_t* pValue, void* dst, int32_t count, const CpuidReader& reader = HardwareCpuid);   \
    void FillKernel128(const Pattern128* pValue, void* dst, int32_t count, const CpuidReader& reader = HardwareCpuid); \
    void AddInPlaceKernel(const float* src, float* srcDst, int32_t count);                                           \
    void AddConstantInPlaceKernel(float c, float* srcDst, int32_t count);                                            \
    void MultiplyByConstantInPlaceKernel(float c, float* srcDst, int32_t count);                                     \
    void MultiplyByConstantKernel(const float* src, float c, float* dst, int32_t count);                              \
    /* Conversion kernels. */                                                                                        \
    void ScaleFactorBroadcast(ScaleFactor sf, float out[4]);                                                         \
    void Int32ToFloatKernel(const int32_t* src, float* dst, int32_t count);                                          \
    void FloatToInt16Kernel(const float* src, int16_t* dst, int32_t count, int32_t roundNearest, ScaleFactor sf);    \
    void FloatToInt16AwayKernel(const float* src, int16_t* dst, int32_t count, ScaleFactor sf);                      \
    void FloatToInt32Kernel(const float* src, int32_t* dst, int32_t count, int32_t roundNearest, ScaleFactor sf);    \
    void FloatToInt32AwayKernel(const float* src, int32_t* dst, int32_t count, ScaleFactor sf);                      \
    void Int16ToFloatKernel(const int16_t* src, float* dst, int32_t count, const float* pFactor);                    \
    void Int16ToFloatUnscaledKernel(const int16_t* src, float* dst, int32_t count);                                  \
    void Int24ToFloatKernel(const uint8_t* src, float* dst, int32_t count);                                          \
    void FloatToInt24Kernel(const float* src, uint8_t* dst, int32_t count);                                          \
    void FloatToInt24ScaledKernel(const float* src, uint8_t* dst, int32_t count, ScaleFactor sf);                    \
    /* The conversion family's other members: no slot body calls them. Half floats are uint16 patterns. */          \
    void Int8ToFloatKernel(const int8_t* src, float* dst, int32_t count);                                            \
    void Uint8ToFloatKernel(const uint8_t* src, float* dst, int32_t count);                                          \
    void Int16ToFloatSimpleKernel(const int16_t* src, float* dst, int32_t count);                                    \
    void Uint16ToFloatKernel(const uint16_t* src, float* dst, int32_t count);                                        \
    void Int32ToDoubleKernel(const int32_t* src, double* dst, int32_t count);                                        \
    void FloatToInt8Kernel(const float* src, int8_t* dst, int32_t count, int32_t roundNearest, ScaleFactor sf);      \
    void FloatToUint8Kernel(const float* src, uint8_t* dst, int32_t count, int32_t roundNearest, ScaleFactor sf);    \
    void FloatToUint16Kernel(const float* src, uint16_t* dst, int32_t count, int32_t roundNearest, ScaleFactor sf);  \
    void DoubleToInt32Kernel(const double* src, int32_t* dst, int32_t count, int32_t roundNearest, ScaleFactor sf);  \
    void FloatToInt8AwayKernel(const float* src, int8_t* dst, int32_t count, ScaleFactor sf);                        \
    void FloatToUint8AwayKernel(const float* src, uint8_t* dst, int32_t count, ScaleFactor sf);                      \
    void FloatToUint16AwayKernel(const float* src, uint16_t* dst, int32_t count, ScaleFactor sf);                    \
    void DoubleToInt32AwayKernel(const double* src, int32_t* dst, int32_t count, ScaleFactor sf);                    \
    void Int16ToHalfKernel(const int16_t* src, uint16_t* dst, int32_t count, int32_t roundNearest);                  \
    void FloatToHalfKernel(const float* src, uint16_t* dst, int32_t count, int32_t roundNearest);                    \
    void HalfToInt16Kernel(const uint16_t* src, int16_t* dst, int32_t count, int32_t roundNearest, ScaleFactor sf);  \
    void HalfToFloatKernel(const uint16_t* src, float* dst, int32_t count);                                          \
    void Int64ToInt32ShiftKernel(const int64_t* src, int32_t* dst, int32_t count, int32_t shift);                    \
    void FloatToDoubleKernel(const float* src, double* dst, int32_t count);                                          \
    void DoubleToFloatKernel(const double* src, float* dst, int32_t count);                                          \
    void Int16ToDoubleScaledKernel(const int16_t* src, double* dst, int32_t count, const double* pFactor);           \
    void Int16ToDoubleKernel(const int16_t* src, double* dst, int32_t count);                                        \
    void Int24ToInt32Kernel(const uint8_t* src, int32_t* dst, int32_t count);                                        \
    void Int32ToInt24Kernel(const int32_t* src, uint8_t* dst, int32_t count);                                        \
    void Int32ToInt24ShiftDownKernel(const int32_t* src, uint8_t* dst, int32_t count, int32_t shift);                \
    void Int32ToInt24ShiftUpKernel(const int32_t* src, uint8_t* dst, int32_t count, int32_t shift);                  \
    void InterleaveTwoChannelKernel(const float* left, const float* right, float* dst, int32_t len);                 \
    void DeinterleaveTwoChannelKernel(const float* src, float* left, float* right, int32_t len);                     \
    /* Slot bodies. */                                                                                               \
    PrimitiveStatus ZeroFloat##Suffix(float* dst, int32_t len);                                                      \
    PrimitiveStatus CopyFloat##Suffix(const float* src, float* dst, int32_t len);                                    \
    PrimitiveStatus MoveFloat##Suffix(const float* src, float* dst, int32_t len);                                    \
    PrimitiveStatus FillInt32##Suffix(int32_t value, int32_t* dst, int32_t len);                                     \
    PrimitiveStatus MultiplyByConstant##Suffix(const float* src, float c, float* dst, int32_t len);                  \
    PrimitiveStatus MultiplyByConstantInPlace##Suffix(float c, float* srcDst, int32_t len);                          \
    PrimitiveStatus DivideByConstant##Suffix(const float* src, float c, float* dst, int32_t len);                    \
    PrimitiveStatus DivideByConstantInPlace##Suffix(float c, float* srcDst, int32_t len);                            \
    PrimitiveStatus ConvertFloatToInt16##Suffix(const float* src, int16_t* dst, int32_t len, RoundingMode mode,      \
                                                ScaleFactor sf);                                                     \
    PrimitiveStatus ConvertFloatToInt32##Suffix(const float* src, int32_t* dst, int32_t len, RoundingMode mode,      \
                                                ScaleFactor sf);                                                     \
    PrimitiveStatus ConvertInt16ToFloat##Suffix(const int16_t* src, float* dst, int32_t len, ScaleFactor sf);        \
    PrimitiveStatus ConvertInt24ToFloat##Suffix(const uint8_t* src, float* dst, int32_t len);                        \
    PrimitiveStatus ConvertFloatToInt24##Suffix(const float* src, uint8_t* dst, int32_t len, ScaleFactor sf);        \
    PrimitiveStatus ConvertInt32ToFloat##Suffix(const int32_t* src, float* dst, int32_t len);                        \
    PrimitiveStatus InterleaveChannels##Suffix(const float* const* srcChannels, int32_t numChannels, int32_t len,   \
                                               float* dst);                                                          \
    PrimitiveStatus DeinterleaveChannels##Suffix(const float* src, int32_t numChannels, int32_t len,                \
                                                 float* const* dstChannels);                                         \
    PrimitiveStatus RaiseToPower##Suffix(const float* x, const float* y, float* dst, int32_t len);                   \
    void PowerSpecialCases(const float* x, const float* y, float* dst, int32_t i, PrimitiveStatus* pStatus);         \
    void RaiseFloatException(PrimitiveStatus code);                                                                  \
    }

KVX_DECLARE_VARIANT(Sse3Variant, Sse3)
KVX_DECLARE_VARIANT(Ssse3Variant, Ssse3)
KVX_DECLARE_VARIANT(Sse41Variant, Sse41)
#undef KVX_DECLARE_VARIANT

// Bodies that one variant holds for two slots: slot 3 runs the slot-2 ones.
namespace Sse3Variant {
PrimitiveStatus AddInPlaceSse3(const float* src, float* srcDst, int32_t len);
PrimitiveStatus AddConstantInPlaceSse3(float c, float* srcDst, int32_t len);
}  // namespace Sse3Variant
namespace Ssse3Variant {
PrimitiveStatus AddInPlaceSsse3(const float* src, float* srcDst, int32_t len);
PrimitiveStatus AddConstantInPlaceSsse3(float c, float* srcDst, int32_t len);
PrimitiveStatus ConvertInt32ToFloatScaledSsse3(const int32_t* src, float* dst, int32_t len, ScaleFactor sf);
}  // namespace Ssse3Variant

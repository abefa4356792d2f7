// The filter family's slot bodies, workers and kernels of the three processor variants, one
// namespace each (Sse3Variant for slot 1, Ssse3Variant for slot 2, Sse41Variant for slot 3), built
// from the same sources for each instruction set. The bodies run the algorithms every slot shares
// (FilterSlot.h) with their own slot's descriptors, which name only that slot's vector and FFT
// bodies and kernels. Kernels validate nothing and return no status.
#pragma once

#include <cstdint>

#include "primitives/core/SlotVariants.h"
#include "primitives/filter/FilterSlot.h"

#define KVX_DECLARE_FILTER_VARIANT(Ns, Suffix)                                                                       \
    namespace Ns {                                                                                                   \
    extern const FirSlotOps FirSlot;                                                                                 \
    extern const IirSlotOps IirSlot;                                                                                 \
    /* FIR states and filtering. */                                                                                  \
    PrimitiveStatus ComputeFirStateSizeSse(int32_t tapsLen, int32_t* pSize);                                         \
    PrimitiveStatus BuildFirStateSse(FirState** ppState, const float* taps, int32_t tapsLen, const float* delay,    \
                                     uint8_t* buffer, uint32_t tag);                                                 \
    PrimitiveStatus AllocateFirStateSse(FirState** ppState, const float* taps, int32_t tapsLen, const float* delay, \
                                        uint32_t tag);                                                               \
    MultiRateFirState* BuildMultiRateFirStateMode1Sse(const float* taps, int32_t tapsLen, int32_t up,                \
                                                      int32_t upPhase, int32_t down, int32_t downPhase,              \
                                                      const float* delay, PrimitiveStatus* pStatus,                  \
                                                      uint8_t* buffer, uint32_t tag);                                \
    MultiRateFirState* BuildMultiRateFirStateMode23Sse(const float* taps, int32_t tapsLen, int32_t up,               \
                                                       int32_t upPhase, int32_t down, int32_t downPhase,             \
                                                       const float* delay, PrimitiveStatus* pStatus,                 \
                                                       uint8_t* buffer, uint32_t tag);                               \
    PrimitiveStatus InitFirState##Suffix(FirState** ppState, const float* taps, int32_t tapsLen, const float* dly,   \
                                         uint8_t* buffer);                                                           \
    PrimitiveStatus GetFirStateSize##Suffix(int32_t tapsLen, int32_t* pSize);                                        \
    PrimitiveStatus InitMultiRateFirState##Suffix(MultiRateFirState** ppState, const float* taps, int32_t tapsLen,   \
                                                  int32_t up, int32_t upPhase, int32_t down, int32_t downPhase,      \
                                                  const float* dly, uint8_t* buffer);                                \
    PrimitiveStatus GetMultiRateFirStateSize##Suffix(int32_t tapsLen, int32_t up, int32_t down, int32_t* pSize);     \
    PrimitiveStatus FilterFir##Suffix(const float* src, float* dst, int32_t numIters, FirState* state);              \
    PrimitiveStatus FilterFirOneSample##Suffix(float x, float* pY, const float* taps, int32_t tapsLen, float* dly,   \
                                               int32_t* pDlyIndex);                                                  \
    PrimitiveStatus CreateFirState##Suffix(FirState** ppState, const float* taps, int32_t tapsLen,                   \
                                           const float* dly);                                                        \
    /* FIR kernels and their complex twins. */                                                                       \
    void FirDirectKernel(const float* replicatedTaps, const float* window, float* dst, uint64_t count,               \
                         int32_t tapsLen);                                                                           \
    int32_t FirMultiRateKernelMode1(const float* taps, const float* samples, float* dst, int32_t count,              \
                                    const int32_t* stepTable, const int32_t* stepTableEnd, int32_t offset,           \
                                    int32_t tapsPerPhase);                                                           \
    int32_t FirMultiRateKernelMode2(const float* taps, const float* samples, float* dst, int32_t count,              \
                                    int32_t offset, int32_t tapsPerOutput, int32_t stride);                          \
    int32_t FirMultiRateKernelMode3(const float* taps, const float* samples, float* dst, int32_t count,              \
                                    const int32_t* offsetTable, const int32_t* offsetTableEnd, int32_t offset,       \
                                    int32_t tapsPerOutput);                                                          \
    void FirOneSampleKernel(const float* pX, float* pY, const float* taps, int32_t tapsLen, float* dly,              \
                            int32_t* pIdx);                                                                          \
    void FirDirectKernelComplex(const float* expandedTaps, const float* window, float* dst, uint64_t count,          \
                                int32_t tapsLen);                                                                    \
    int32_t FirMultiRateKernelComplex(const float* taps, const float* samples, float* dst, int32_t count,            \
                                      const int32_t* offsetTable, const int32_t* offsetTableEnd, int32_t offset,     \
                                      int32_t tapsPerOutput);                                                        \
    void FirOneSampleKernelComplex(const float* pX, float* pY, const float* taps, int32_t tapsLen, float* dly,       \
                                   int32_t* pIdx);                                                                   \
    /* IIR states and filtering. */                                                                                  \
    bool ComputeIirStateSizeSse(int32_t order, int32_t* size, int32_t tag);                                          \
    PrimitiveStatus BuildIirStateSse(IirState** ppState, const float* taps, int32_t order, const float* dly,         \
                                     uint8_t* buffer, int32_t tag);                                                  \
    PrimitiveStatus AllocateIirStateSse(IirState** ppState, const float* taps, int32_t order, const float* dly,      \
                                        int32_t tag);                                                                \
    PrimitiveStatus CreateIirState##Suffix(IirState** ppState, const float* taps, int32_t order, const float* dly);  \
    PrimitiveStatus InitIirState##Suffix(IirState** ppState, const float* taps, int32_t order, const float* dly,     \
                                         uint8_t* buffer);                                                           \
    PrimitiveStatus FilterIir##Suffix(const float* src, float* dst, int32_t len, IirState* state);                   \
    PrimitiveStatus FilterIirInPlace##Suffix(float* srcDst, int32_t len, IirState* state);                           \
    PrimitiveStatus InitIirBiquadState##Suffix(IirState** ppState, const float* sections, int32_t sectionCount,      \
                                               const float* dly, uint8_t* buffer);                                   \
    /* IIR kernels. */                                                                                               \
    void IirArSampleStep(const float* x, float* y, IirState* state);                                                 \
    void IirArBlockFeedForward(const float* src, float* w, int32_t count, const float* replicatedNumerator,          \
                               int32_t order);                                                                       \
    void IirArBlockFeedback(const float* w, float* y, int32_t count, const float* feedbackMatrix, int32_t order);    \
    void IirBiquadSampleStep(const float* x, float* y, IirState* state);                                             \
    void IirBiquadBlockFeedForward(const float* src, float* w, int32_t count, const float* sectionNumerator);        \
    void IirBiquadBlockFeedback(const float* w, float* y, int32_t count, const float* sectionMatrix);                \
    /* IIR kernels for other sample types, which no entry point calls. */                                     \
    void IirBiquadSampleStepInt16(const int16_t* src, int16_t* dst, IirState* state, ScaleFactor sf);                \
    void IirArSampleStepInt16(const int16_t* src, int16_t* dst, IirState* state, ScaleFactor sf);                    \
    void IirArSampleStepInt16WithRaw(const int16_t* src, int16_t* dst, float* raw, IirState* state, ScaleFactor sf); \
    void IirArSampleStepComplexFloat(const float* src, float* dst, IirState* state);                                  \
    void IirBiquadSampleStepComplexFloat(const float* src, float* dst, IirState* state);                              \
    void IirArSampleStepComplexInt16(const int16_t* src, int16_t* dst, IirState* state, ScaleFactor sf);             \
    void IirArSampleStepComplexInt16WithRaw(const int16_t* src, int16_t* dst, float* raw, IirState* state,           \
                                            ScaleFactor sf);                                                         \
    void IirBiquadSampleStepComplexInt16(const int16_t* src, int16_t* dst, IirState* state, ScaleFactor sf);         \
    void IirBiquadSampleStepDouble(const double* src, double* dst, IirState* state);                                 \
    void IirBiquadSampleStepInt16DoubleTaps(const int16_t* src, int16_t* dst, IirState* state, ScaleFactor sf);      \
    void IirBiquadSampleStepInt32DoubleTaps(const int32_t* src, int32_t* dst, IirState* state, ScaleFactor sf);      \
    void IirBiquadSampleStepFloatDoubleTaps(const float* src, float* dst, IirState* state);                          \
    void IirArSampleStepDouble(const double* src, double* dst, IirState* state);                                     \
    void IirArSampleStepInt32DoubleTaps(const int32_t* src, int32_t* dst, IirState* state, ScaleFactor sf);          \
    void IirArSampleStepInt32DoubleTapsWithRaw(const int32_t* src, int32_t* dst, double* raw, IirState* state,       \
                                               ScaleFactor sf);                                                      \
    void IirArSampleStepInt16DoubleTaps(const int16_t* src, int16_t* dst, IirState* state, ScaleFactor sf);          \
    void IirArSampleStepInt16DoubleTapsWithRaw(const int16_t* src, int16_t* dst, double* raw, IirState* state,       \
                                               ScaleFactor sf);                                                      \
    void IirArSampleStepFloatDoubleTaps(const float* src, float* dst, IirState* state);                              \
    void IirArSampleStepFloatDoubleTapsWithRaw(const float* src, float* dst, double* raw, IirState* state);          \
    void IirArSampleStepComplexDouble(const double* src, double* dst, IirState* state);                              \
    void IirBiquadSampleStepComplexDouble(const double* src, double* dst, IirState* state);                          \
    void IirArSampleStepComplexInt32DoubleTaps(const int32_t* src, int32_t* dst, IirState* state, ScaleFactor sf);   \
    void IirArSampleStepComplexInt32DoubleTapsWithRaw(const int32_t* src, int32_t* dst, double* raw,                 \
                                                      IirState* state, ScaleFactor sf);                              \
    void IirBiquadSampleStepComplexInt32DoubleTaps(const int32_t* src, int32_t* dst, IirState* state,                \
                                                   ScaleFactor sf);                                                  \
    void IirArSampleStepComplexInt16DoubleTaps(const int16_t* src, int16_t* dst, IirState* state, ScaleFactor sf);   \
    void IirArSampleStepComplexInt16DoubleTapsWithRaw(const int16_t* src, int16_t* dst, double* raw,                 \
                                                      IirState* state, ScaleFactor sf);                              \
    void IirBiquadSampleStepComplexInt16DoubleTaps(const int16_t* src, int16_t* dst, IirState* state,                \
                                                   ScaleFactor sf);                                                  \
    void IirArSampleStepComplexFloatDoubleTaps(const float* src, float* dst, IirState* state);                       \
    void IirArSampleStepComplexFloatDoubleTapsWithRaw(const float* src, float* dst, double* raw, IirState* state);   \
    void IirBiquadSampleStepComplexFloatDoubleTaps(const float* src, float* dst, IirState* state);                   \
    void IirBiquadBlockFeedForwardInt16(const int16_t* src, float* work, int32_t count,                              \
                                        const float* sectionNumerator);                                              \
    void IirBiquadBlockFeedbackToInt16(const float* work, float* y, int32_t count, const float* sectionMatrix,        \
                                       int16_t* out, ScaleFactor sf);                                                \
    void IirArBlockFeedForwardInt16(const int16_t* src, float* work, int32_t count, const float* replicatedNumerator, \
                                    int32_t order);                                                                  \
    void IirArBlockFeedbackToInt16(const float* work, float* y, int32_t count, const float* feedbackMatrix,          \
                                   int32_t order, int16_t* out, ScaleFactor sf);                                     \
    void IirArBlockFeedForwardComplexFloat(const float* src, float* work, int32_t count, const float* table,         \
                                           int32_t order);                                                           \
    void IirArBlockFeedbackComplexFloat(const float* work, float* y, int32_t count, const float* matrix,             \
                                        int32_t order);                                                              \
    void IirArBlockFeedForwardComplexInt16(const int16_t* src, float* work, int32_t count, const float* table,       \
                                           int32_t order);                                                           \
    void IirArBlockFeedbackToComplexInt16(const float* work, float* y, int32_t count, const float* matrix,           \
                                          int32_t order, int16_t* out, ScaleFactor sf);                              \
    /* Up- and down-sampling. */                                                                                     \
    PrimitiveStatus UpsampleFloat##Suffix(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen,            \
                                          int32_t factor, int32_t* pPhase);                                          \
    PrimitiveStatus DownsampleFloat##Suffix(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen,          \
                                            int32_t factor, int32_t* pPhase);                                        \
    void UpsampleKernel(const float* src, uint32_t srcLen, float* dst, uint32_t dstCount, uint32_t strideBytes,      \
                        uint32_t phase);                                                                             \
    void UpsampleBy2Kernel(const float* src, uint32_t srcLen, float* dst, uint32_t phase);                           \
    void DownsampleKernel(const float* src, uint32_t srcLen, float* dst, int32_t* pDstLen, uint32_t factor,          \
                          int32_t* pPhase);                                                                          \
    void DownsampleBy2Kernel(const float* src, uint32_t srcLen, float* dst, int32_t* pDstLen, int32_t* pPhase);      \
    void UpsampleKernel64(const void* src, uint32_t srcLen, void* dst, uint32_t strideBytes, uint32_t phaseBytes);   \
    void UpsampleBy2Kernel64(const void* src, uint32_t srcLen, void* dst, uint32_t phase);                           \
    void UpsampleBy2Kernel128(const void* src, uint32_t srcLen, void* dst, uint32_t phase);                          \
    void UpsampleKernel16(const int16_t* src, uint32_t srcLen, int16_t* dst, uint32_t dstCount,                      \
                          uint32_t strideBytes, uint32_t phase);                                                     \
    void UpsampleBy2Kernel16(const int16_t* src, uint32_t srcLen, int16_t* dst, uint32_t phase);                     \
    void DownsampleKernel128(const void* src, uint32_t srcLen, void* dst, int32_t* pDstLen, uint32_t factor,         \
                             int32_t* pPhase);                                                                       \
    void DownsampleBy2Kernel128(const void* src, uint32_t srcLen, void* dst, int32_t* pDstLen, int32_t* pPhase);     \
    void DownsampleKernel64(const void* src, uint32_t srcLen, void* dst, int32_t* pDstLen, uint32_t factor,          \
                            int32_t* pPhase);                                                                        \
    void DownsampleBy2Kernel64(const void* src, uint32_t srcLen, void* dst, int32_t* pDstLen, int32_t* pPhase);      \
    void DownsampleKernel16(const int16_t* src, uint32_t srcLen, int16_t* dst, int32_t* pDstLen, uint32_t factor,    \
                            int32_t* pPhase);                                                                        \
    void DownsampleBy2Kernel16(const int16_t* src, uint32_t srcLen, int16_t* dst, int32_t* pDstLen,                  \
                               int32_t* pPhase);                                                                     \
    }

KVX_DECLARE_FILTER_VARIANT(Sse3Variant, Sse3)
KVX_DECLARE_FILTER_VARIANT(Ssse3Variant, Ssse3)
KVX_DECLARE_FILTER_VARIANT(Sse41Variant, Sse41)
#undef KVX_DECLARE_FILTER_VARIANT

// The size query of slots 1 and 2; slot 3 runs the slot-2 body.
namespace Sse3Variant {
PrimitiveStatus GetIirStateSizeSse3(int32_t order, int32_t* pSize);
}  // namespace Sse3Variant
namespace Ssse3Variant {
PrimitiveStatus GetIirStateSizeSsse3(int32_t order, int32_t* pSize);
}  // namespace Ssse3Variant

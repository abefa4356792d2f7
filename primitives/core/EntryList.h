// The 65 public entry points of the primitive library, in table order (group 1, then group 2).
//
// Each row is KVX_ENTRY(family, ReturnType, Name, (parameters), (arguments)), where family is
// one of core, fft, filter, vector, math. Expand the list by handing KVX_ENTRY_LIST a macro of
// five parameters, e.g.
//     #define DECLARE(family, Ret, Name, Params, Args) Ret Name Params;
//     KVX_ENTRY_LIST(DECLARE)
// Dispatch.h builds the function types, the table declarations and the stubs from it, and
// Primitives.h the public C declarations. A family corrects only its own rows here.
#pragma once

#include "primitives/core/PrimitiveTypes.h"

#define KVX_ENTRY_LIST(KVX_ENTRY)                                                                                \
    /* group 1 */                                                                                               \
    KVX_ENTRY(core, PrimitiveStatus, ZeroFloat, (float* dst, int32_t len), (dst, len))                           \
    KVX_ENTRY(core, PrimitiveStatus, ConvertFloatToInt16,                                                         \
              (const float* src, int16_t* dst, int32_t len, RoundingMode roundingMode, ScaleFactor scaleFactor), \
              (src, dst, len, roundingMode, scaleFactor))                                                        \
    KVX_ENTRY(core, PrimitiveStatus, ConvertFloatToInt32,                                                         \
              (const float* src, int32_t* dst, int32_t len, RoundingMode roundingMode, ScaleFactor scaleFactor), \
              (src, dst, len, roundingMode, scaleFactor))                                                        \
    KVX_ENTRY(core, PrimitiveStatus, ConvertInt16ToFloat,                                                         \
              (const int16_t* src, float* dst, int32_t len, ScaleFactor scaleFactor), (src, dst, len, scaleFactor)) \
    KVX_ENTRY(core, PrimitiveStatus, ConvertInt32ToFloatScaled,                                                   \
              (const int32_t* src, float* dst, int32_t len, ScaleFactor scaleFactor), (src, dst, len, scaleFactor)) \
    KVX_ENTRY(core, PrimitiveStatus, ConvertInt24ToFloat, (const uint8_t* src, float* dst, int32_t len),          \
              (src, dst, len))                                                                                   \
    KVX_ENTRY(core, PrimitiveStatus, ConvertFloatToInt24,                                                         \
              (const float* src, uint8_t* dst, int32_t len, ScaleFactor scaleFactor), (src, dst, len, scaleFactor)) \
    KVX_ENTRY(core, PrimitiveStatus, AddInPlace, (const float* src, float* srcDst, int32_t len), (src, srcDst, len)) \
    KVX_ENTRY(core, PrimitiveStatus, DivideByConstantInPlace, (float c, float* srcDst, int32_t len), (c, srcDst, len)) \
    KVX_ENTRY(core, PrimitiveStatus, MoveFloat, (const float* src, float* dst, int32_t len), (src, dst, len))     \
    KVX_ENTRY(core, PrimitiveStatus, MultiplyByConstantInPlace, (float c, float* srcDst, int32_t len),            \
              (c, srcDst, len))                                                                                  \
    KVX_ENTRY(filter, PrimitiveStatus, InitFirState,                                                              \
              (FirState** ppState, const float* taps, int32_t tapsLen, const float* dly, uint8_t* buffer),        \
              (ppState, taps, tapsLen, dly, buffer))                                                             \
    KVX_ENTRY(filter, PrimitiveStatus, GetFirStateSize, (int32_t tapsLen, int32_t* pSize), (tapsLen, pSize))      \
    KVX_ENTRY(filter, PrimitiveStatus, InitMultiRateFirState,                                                     \
              (MultiRateFirState** ppState, const float* taps, int32_t tapsLen, int32_t up, int32_t upPhase,      \
               int32_t down, int32_t downPhase, const float* dly, uint8_t* buffer),                              \
              (ppState, taps, tapsLen, up, upPhase, down, downPhase, dly, buffer))                               \
    KVX_ENTRY(filter, PrimitiveStatus, GetMultiRateFirStateSize,                                                  \
              (int32_t tapsLen, int32_t up, int32_t down, int32_t* pSize), (tapsLen, up, down, pSize))          \
    KVX_ENTRY(filter, PrimitiveStatus, FilterFir, (const float* src, float* dst, int32_t numIters, FirState* state), \
              (src, dst, numIters, state))                                                                       \
    KVX_ENTRY(filter, PrimitiveStatus, FilterFirOneSample,                                                        \
              (float x, float* pY, const float* taps, int32_t tapsLen, float* dly, int32_t* pDlyIndex),          \
              (x, pY, taps, tapsLen, dly, pDlyIndex))                                                            \
    KVX_ENTRY(filter, PrimitiveStatus, FilterIirInPlace, (float* srcDst, int32_t len, IirState* state),          \
              (srcDst, len, state))                                                                              \
    KVX_ENTRY(filter, PrimitiveStatus, GetIirStateSize, (int32_t order, int32_t* pSize), (order, pSize))         \
    KVX_ENTRY(filter, PrimitiveStatus, InitIirState,                                                              \
              (IirState** ppState, const float* taps, int32_t order, const float* dly, uint8_t* buffer),         \
              (ppState, taps, order, dly, buffer))                                                               \
    KVX_ENTRY(core, PrimitiveStatus, ConvertInt32ToFloat, (const int32_t* src, float* dst, int32_t len),         \
              (src, dst, len))                                                                                   \
    KVX_ENTRY(core, PrimitiveStatus, AddConstantInPlace, (float c, float* srcDst, int32_t len), (c, srcDst, len)) \
    KVX_ENTRY(core, PrimitiveStatus, InterleaveChannels,                                                          \
              (const float* const* srcChannels, int32_t numChannels, int32_t len, float* dst),                   \
              (srcChannels, numChannels, len, dst))                                                              \
    KVX_ENTRY(core, PrimitiveStatus, DeinterleaveChannels,                                                        \
              (const float* src, int32_t numChannels, int32_t len, float* const* dstChannels),                   \
              (src, numChannels, len, dstChannels))                                                              \
    KVX_ENTRY(core, PrimitiveStatus, RaiseToPower, (const float* x, const float* y, float* dst, int32_t len),     \
              (x, y, dst, len))                                                                                  \
    /* group 2 */                                                                                               \
    KVX_ENTRY(core, PrimitiveStatus, CopyFloat, (const float* src, float* dst, int32_t len), (src, dst, len))     \
    KVX_ENTRY(vector, PrimitiveStatus, FillFloat, (float value, float* dst, int32_t len), (value, dst, len))     \
    KVX_ENTRY(core, PrimitiveStatus, MultiplyByConstant, (const float* src, float c, float* dst, int32_t len),    \
              (src, c, dst, len))                                                                                \
    KVX_ENTRY(math, PrimitiveStatus, SquareRootInPlace, (float* srcDst, int32_t len), (srcDst, len))             \
    KVX_ENTRY(vector, PrimitiveStatus, AbsoluteInPlace, (float* srcDst, int32_t len), (srcDst, len))             \
    KVX_ENTRY(vector, PrimitiveStatus, Maximum, (const float* src, int32_t len, float* pMax), (src, len, pMax))  \
    KVX_ENTRY(vector, PrimitiveStatus, Minimum, (const float* src, int32_t len, float* pMin), (src, len, pMin))  \
    KVX_ENTRY(fft, PrimitiveStatus, CreateComplexFft, (FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint), \
              (ppSpec, order, flag, hint))                                                                       \
    KVX_ENTRY(fft, PrimitiveStatus, DestroyComplexFft, (FftSpec* spec), (spec))                                   \
    KVX_ENTRY(fft, PrimitiveStatus, ForwardComplexFft,                                                            \
              (const float* src, float* dst, const FftSpec* spec, uint8_t* workBuffer), (src, dst, spec, workBuffer)) \
    KVX_ENTRY(vector, float*, AllocateFloatAligned, (int32_t len), (len))                                         \
    KVX_ENTRY(core, void, FreeAligned, (void* pointer), (pointer))                                                \
    KVX_ENTRY(vector, PrimitiveStatus, ReverseCopy, (const float* src, float* dst, int32_t len), (src, dst, len)) \
    KVX_ENTRY(vector, PrimitiveStatus, MultiplyInPlace, (const float* src, float* srcDst, int32_t len),           \
              (src, srcDst, len))                                                                                \
    KVX_ENTRY(vector, PrimitiveStatus, Add, (const float* a, const float* b, float* dst, int32_t len), (a, b, dst, len)) \
    KVX_ENTRY(vector, PrimitiveStatus, Subtract, (const float* a, const float* b, float* dst, int32_t len),       \
              (a, b, dst, len))                                                                                  \
    KVX_ENTRY(vector, PrimitiveStatus, Multiply, (const float* a, const float* b, float* dst, int32_t len),       \
              (a, b, dst, len))                                                                                  \
    KVX_ENTRY(vector, PrimitiveStatus, MultiplyAccumulate, (const float* a, const float* b, float* srcDst, int32_t len), \
              (a, b, srcDst, len))                                                                               \
    KVX_ENTRY(vector, PrimitiveStatus, Square, (const float* src, float* dst, int32_t len), (src, dst, len))      \
    KVX_ENTRY(vector, PrimitiveStatus, Divide, (const float* a, const float* b, float* dst, int32_t len),         \
              (a, b, dst, len))                                                                                  \
    KVX_ENTRY(math, PrimitiveStatus, ExponentialInPlace, (float* srcDst, int32_t len), (srcDst, len))            \
    KVX_ENTRY(math, PrimitiveStatus, NaturalLogInPlace, (float* srcDst, int32_t len), (srcDst, len))             \
    KVX_ENTRY(vector, PrimitiveStatus, Sum, (const float* src, int32_t len, float* pSum, int32_t hint),           \
              (src, len, pSum, hint))                                                                            \
    KVX_ENTRY(vector, PrimitiveStatus, Mean, (const float* src, int32_t len, float* pMean, int32_t hint),         \
              (src, len, pMean, hint))                                                                           \
    KVX_ENTRY(vector, PrimitiveStatus, ElementwiseMinimumInPlace, (const float* src, float* srcDst, int32_t len), \
              (src, srcDst, len))                                                                                \
    KVX_ENTRY(vector, PrimitiveStatus, ElementwiseMaximumInPlace, (const float* src, float* srcDst, int32_t len), \
              (src, srcDst, len))                                                                                \
    KVX_ENTRY(vector, PrimitiveStatus, DotProduct, (const float* a, const float* b, int32_t len, float* pResult), \
              (a, b, len, pResult))                                                                              \
    KVX_ENTRY(fft, PrimitiveStatus, CreateRealFft, (FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint), \
              (ppSpec, order, flag, hint))                                                                       \
    KVX_ENTRY(fft, PrimitiveStatus, DestroyRealFft, (FftSpec* spec), (spec))                                      \
    KVX_ENTRY(fft, PrimitiveStatus, ForwardRealFftInPlace, (float* srcDst, const FftSpec* spec, uint8_t* workBuffer), \
              (srcDst, spec, workBuffer))                                                                        \
    KVX_ENTRY(fft, PrimitiveStatus, InverseRealFftInPlace, (float* srcDst, const FftSpec* spec, uint8_t* workBuffer), \
              (srcDst, spec, workBuffer))                                                                        \
    KVX_ENTRY(fft, PrimitiveStatus, MultiplyPackedSpectrum, (const float* a, const float* b, float* dst, int32_t len), \
              (a, b, dst, len))                                                                                  \
    KVX_ENTRY(filter, PrimitiveStatus, CreateIirState,                                                            \
              (IirState** ppState, const float* taps, int32_t order, const float* dly), (ppState, taps, order, dly)) \
    KVX_ENTRY(filter, PrimitiveStatus, DestroyIirState, (IirState* state), (state))                               \
    KVX_ENTRY(filter, PrimitiveStatus, FilterIir, (const float* src, float* dst, int32_t len, IirState* state),   \
              (src, dst, len, state))                                                                            \
    KVX_ENTRY(filter, PrimitiveStatus, CreateFirState,                                                            \
              (FirState** ppState, const float* taps, int32_t tapsLen, const float* dly),                        \
              (ppState, taps, tapsLen, dly))                                                                     \
    KVX_ENTRY(filter, PrimitiveStatus, DestroyFirState, (FirState* state), (state))                               \
    KVX_ENTRY(filter, PrimitiveStatus, UpsampleFloat,                                                             \
              (const float* src, int32_t srcLen, float* dst, int32_t* pDstLen, int32_t factor, int32_t* pPhase),  \
              (src, srcLen, dst, pDstLen, factor, pPhase))                                                       \
    KVX_ENTRY(filter, PrimitiveStatus, DownsampleFloat,                                                           \
              (const float* src, int32_t srcLen, float* dst, int32_t* pDstLen, int32_t factor, int32_t* pPhase),  \
              (src, srcLen, dst, pDstLen, factor, pPhase))                                                       \
    KVX_ENTRY(vector, PrimitiveStatus, MultiplyAccumulateByConstant,                                              \
              (const float* src, float c, float* srcDst, int32_t len), (src, c, srcDst, len))

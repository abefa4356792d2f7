// Integer-factor up-sampling (zero insertion) and down-sampling (decimation) of float streams,
// with a caller-held phase so that a stream cut into blocks gives the samples of one call.
#pragma once

#include <cstdint>

#include "primitives/core/PrimitiveStatus.h"

PrimitiveStatus UpsampleFloatGeneric(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen,
                                     int32_t factor, int32_t* pPhase);
PrimitiveStatus DownsampleFloatGeneric(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen,
                                       int32_t factor, int32_t* pPhase);

// The four argument checks every body makes, in their order: -8, -6, -31, -30.
PrimitiveStatus CheckResampleArguments(const float* src, int32_t srcLen, const float* dst, const int32_t* pDstLen,
                                       int32_t factor, const int32_t* pPhase);
// The generic down-sampling loop for factor 2 or more, writing *pDstLen and *pPhase.
void DownsampleElementLoop(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen, int32_t factor,
                           int32_t* pPhase);

// Samples are moved as 32-bit patterns and never computed with, so NaN payloads, infinities and
// negative zeros pass unchanged; inserted zeros are +0.0.
#include "primitives/filter/Resample.h"

#include <climits>
#include <cstring>

#include "primitives/core/VectorBasics.h"

PrimitiveStatus CheckResampleArguments(const float* src, int32_t srcLen, const float* dst, const int32_t* pDstLen,
                                       int32_t factor, const int32_t* pPhase) {
    if (src == nullptr || dst == nullptr || pDstLen == nullptr || pPhase == nullptr) return StatusNullPointer;
    if (srcLen <= 0) return StatusSizeError;
    if (factor <= 0) return StatusSampleFactorError;
    if (*pPhase < 0 || *pPhase >= factor) return StatusSamplePhaseError;
    return StatusOk;
}

namespace {

inline void MoveSample(const float* from, float* to) { memcpy(to, from, sizeof(float)); }

}  // namespace

PrimitiveStatus UpsampleFloatGeneric(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen,
                                     int32_t factor, int32_t* pPhase) {
    PrimitiveStatus status = CheckResampleArguments(src, srcLen, dst, pDstLen, factor, pPhase);
    if (status != StatusOk) return status;
    // The output count must be expressible in *pDstLen; a longer output cannot be described.
    const int64_t outLen = static_cast<int64_t>(srcLen) * factor;
    if (outLen > INT32_MAX) return StatusSizeError;
    *pDstLen = static_cast<int32_t>(outLen);
    if (factor == 1) return CopyFloatGeneric(src, dst, srcLen);

    // One forward pass writing every output once: phase zeros, then each input followed by
    // factor - 1 zeros, the last one by factor - 1 - phase.
    const int32_t phase = *pPhase;
    float* out = dst;
    for (int32_t z = 0; z < phase; ++z) *out++ = 0.0f;
    for (int32_t k = 0; k < srcLen; ++k) {
        MoveSample(src + k, out++);
        const int32_t zeros = k + 1 < srcLen ? factor - 1 : factor - 1 - phase;
        for (int32_t z = 0; z < zeros; ++z) *out++ = 0.0f;
    }
    return StatusOk;
}

PrimitiveStatus DownsampleFloatGeneric(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen,
                                       int32_t factor, int32_t* pPhase) {
    const PrimitiveStatus status = CheckResampleArguments(src, srcLen, dst, pDstLen, factor, pPhase);
    if (status != StatusOk) return status;
    if (factor == 1) {
        CopyFloatGeneric(src, dst, srcLen);
        *pDstLen = srcLen;
        return StatusOk;
    }
    DownsampleElementLoop(src, srcLen, dst, pDstLen, factor, pPhase);
    return StatusOk;
}

void DownsampleElementLoop(const float* src, int32_t srcLen, float* dst, int32_t* pDstLen, int32_t factor,
                           int32_t* pPhase) {
    // Counts in 64 bits: srcLen + factor may pass INT32_MAX.
    const int64_t p = *pPhase;
    int64_t n = 0;
    if (p < srcLen) {
        n = (srcLen - p + factor - 1) / factor;
        // Every read position p + i*factor is at or after the write position i, so dst may be src.
        for (int64_t i = 0; i < n; ++i) MoveSample(src + p + i * factor, dst + i);
    }
    *pPhase = static_cast<int32_t>(p + n * factor - srcLen);
    *pDstLen = static_cast<int32_t>(n);
}

// The FFT bodies each filter slot calls, under the names of its own slot. Until the FFT family
// holds processor-specific bodies of its own, every slot's names reach the generic transforms,
// which compute the same spectra; the filter states of a slot hold specifications of that slot.
#pragma once

#include "primitives/fft/FftSpec.h"
#include "primitives/fft/RealFft.h"

#define KVX_FORWARD_FFT_SLOT(Ns, Suffix)                                                                       \
    namespace Ns {                                                                                             \
    inline PrimitiveStatus GetRealFftSize##Suffix(int32_t order, int32_t flag, int32_t hint, int32_t* specBytes, \
                                                  int32_t* initBytes, int32_t* workBytes)                      \
    {                                                                                                          \
        return GetRealFftSize(order, flag, hint, specBytes, initBytes, workBytes);                             \
    }                                                                                                          \
    inline PrimitiveStatus InitRealFftSpec##Suffix(FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint, \
                                                   uint8_t* specMem, uint8_t* initMem)                         \
    {                                                                                                          \
        return InitRealFftSpec(ppSpec, order, flag, hint, specMem, initMem);                                   \
    }                                                                                                          \
    inline PrimitiveStatus CreateRealFft##Suffix(FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint)  \
    {                                                                                                          \
        return CreateRealFftGeneric(ppSpec, order, flag, hint);                                                \
    }                                                                                                          \
    inline PrimitiveStatus ForwardRealFft##Suffix(const float* src, float* dst, const FftSpec* spec,           \
                                                  uint8_t* work)                                               \
    {                                                                                                          \
        return ForwardRealFft(src, dst, spec, work);                                                           \
    }                                                                                                          \
    inline PrimitiveStatus InverseRealFft##Suffix(const float* src, float* dst, const FftSpec* spec,           \
                                                  uint8_t* work)                                               \
    {                                                                                                          \
        return InverseRealFft(src, dst, spec, work);                                                           \
    }                                                                                                          \
    inline PrimitiveStatus MultiplyPackedSpectrumInPlace##Suffix(const float* src, float* srcDst, int32_t len) \
    {                                                                                                          \
        return MultiplyPackedSpectrumInPlace(src, srcDst, len);                                                \
    }                                                                                                          \
    }

KVX_FORWARD_FFT_SLOT(Sse3Variant, Sse3)
KVX_FORWARD_FFT_SLOT(Ssse3Variant, Ssse3)
KVX_FORWARD_FFT_SLOT(Sse41Variant, Sse41)
#undef KVX_FORWARD_FFT_SLOT

// The work-size query of slots 2 and 3 (slot 1 uses the generic GetFftWorkBufferSize).
namespace Ssse3Variant {
inline PrimitiveStatus GetFftWorkBufferSizeSsse3(const FftSpec* spec, int32_t* bytes)
{
    return GetFftWorkBufferSize(spec, bytes);
}
}  // namespace Ssse3Variant

// The slot 1 to 3 bodies of the FFT family: one namespace per processor variant (Sse3Variant for
// slot 1, Ssse3Variant for slot 2, Sse41Variant for slot 3), each built from the same sources for
// its own instruction set. A slot's bodies call only its own kernels and core bodies, and a
// specification built by one slot's size and initialisation functions is read only by that slot's
// transforms. The filter family calls these by name from its own slot bodies.
#pragma once

#include <cstdint>

#include "primitives/fft/FftSpec.h"

#define KVX_DECLARE_FFT_SLOT(Ns, Suffix)                                                                          \
    namespace Ns {                                                                                                \
    PrimitiveStatus GetRealFftSize##Suffix(int32_t order, int32_t flag, int32_t hint, int32_t* specBytes,        \
                                           int32_t* initBytes, int32_t* workBytes);                               \
    PrimitiveStatus InitRealFftSpec##Suffix(FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint,         \
                                            uint8_t* specMem, uint8_t* initMem);                                  \
    PrimitiveStatus CreateRealFft##Suffix(FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint);          \
    PrimitiveStatus ForwardRealFft##Suffix(const float* src, float* dst, const FftSpec* spec, uint8_t* work);    \
    PrimitiveStatus InverseRealFft##Suffix(const float* src, float* dst, const FftSpec* spec, uint8_t* work);    \
    PrimitiveStatus ForwardRealFftInPlace##Suffix(float* srcDst, const FftSpec* spec, uint8_t* work);            \
    PrimitiveStatus InverseRealFftInPlace##Suffix(float* srcDst, const FftSpec* spec, uint8_t* work);            \
    PrimitiveStatus MultiplyPackedSpectrum##Suffix(const float* a, const float* b, float* dst, int32_t len);     \
    PrimitiveStatus MultiplyPackedSpectrumInPlace##Suffix(const float* src, float* srcDst, int32_t len);         \
    PrimitiveStatus GetComplexFftSize##Suffix(int32_t order, int32_t flag, int32_t hint, int32_t* specBytes,     \
                                              int32_t* initBytes, int32_t* workBytes);                            \
    PrimitiveStatus InitComplexFftSpec##Suffix(FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint,      \
                                               uint8_t* specMem, uint8_t* initMem);                               \
    PrimitiveStatus CreateComplexFft##Suffix(FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint);       \
    PrimitiveStatus ForwardComplexFft##Suffix(const float* src, float* dst, const FftSpec* spec, uint8_t* work); \
    }

KVX_DECLARE_FFT_SLOT(Sse3Variant, Sse3)
KVX_DECLARE_FFT_SLOT(Ssse3Variant, Ssse3)
KVX_DECLARE_FFT_SLOT(Sse41Variant, Sse41)
#undef KVX_DECLARE_FFT_SLOT

// The work-buffer size query of the slot-2 and slot-3 FIR state builders: GetFftWorkBufferSize's
// behaviour, in slot-2 code.
namespace Ssse3Variant {
PrimitiveStatus GetFftWorkBufferSizeSsse3(const FftSpec* spec, int32_t* bytes);
}  // namespace Ssse3Variant

// Dispatch tables and entry points of the real and complex FFT. Slots 1 to 3 hold the generic
// bodies until the processor-specific bodies exist. Only the rows named below get a stub.
#include "primitives/core/Dispatch.h"
#include "primitives/fft/ComplexFft.h"
#include "primitives/fft/FftSpec.h"
#include "primitives/fft/RealFft.h"

#define KVX_FFT_GENERIC_TABLE(Name) \
    KVX_DISPATCH_TABLE(Name, Name##Generic, Name##Generic, Name##Generic, Name##Generic)

KVX_FFT_GENERIC_TABLE(CreateRealFft)
KVX_FFT_GENERIC_TABLE(DestroyRealFft)
KVX_FFT_GENERIC_TABLE(ForwardRealFftInPlace)
KVX_FFT_GENERIC_TABLE(InverseRealFftInPlace)
KVX_FFT_GENERIC_TABLE(MultiplyPackedSpectrum)
KVX_FFT_GENERIC_TABLE(CreateComplexFft)
KVX_FFT_GENERIC_TABLE(DestroyComplexFft)
KVX_FFT_GENERIC_TABLE(ForwardComplexFft)

#define KVX_FFT_BUILT_CreateRealFft ~, 1
#define KVX_FFT_BUILT_DestroyRealFft ~, 1
#define KVX_FFT_BUILT_ForwardRealFftInPlace ~, 1
#define KVX_FFT_BUILT_InverseRealFftInPlace ~, 1
#define KVX_FFT_BUILT_MultiplyPackedSpectrum ~, 1
#define KVX_FFT_BUILT_CreateComplexFft ~, 1
#define KVX_FFT_BUILT_DestroyComplexFft ~, 1
#define KVX_FFT_BUILT_ForwardComplexFft ~, 1
#define KVX_FFT_STUB_ROW(family, Ret, Name, Params, Args) \
    KVX_STUB_WHEN(KVX_SAME_FAMILY(KVX_FFT_BUILT_##Name), Ret, Name, Params, Args)

KVX_ENTRY_LIST(KVX_FFT_STUB_ROW)

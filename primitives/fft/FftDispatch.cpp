// Dispatch tables and entry points of the real and complex FFT, and the tables and stubs of the
// specification size and initialisation functions: a specification fits only the transforms of
// the slot that built it, so a program that builds one in its own memory must reach the same
// slot's builders as its transforms. The destroy entries keep one body for every slot.
#include "primitives/core/Dispatch.h"
#include "primitives/fft/ComplexFft.h"
#include "primitives/fft/FftSlotBodies.h"
#include "primitives/fft/FftSpec.h"
#include "primitives/fft/RealFft.h"

#define KVX_FFT_SLOT_TABLE(Name)                                                                    \
    KVX_DISPATCH_TABLE(Name, Name##Generic, Sse3Variant::Name##Sse3, Ssse3Variant::Name##Ssse3, \
                       Sse41Variant::Name##Sse41)
#define KVX_FFT_ONE_BODY_TABLE(Name) \
    KVX_DISPATCH_TABLE(Name, Name##Generic, Name##Generic, Name##Generic, Name##Generic)

KVX_FFT_SLOT_TABLE(CreateRealFft)
KVX_FFT_ONE_BODY_TABLE(DestroyRealFft)
KVX_FFT_SLOT_TABLE(ForwardRealFftInPlace)
KVX_FFT_SLOT_TABLE(InverseRealFftInPlace)
KVX_FFT_SLOT_TABLE(MultiplyPackedSpectrum)
KVX_FFT_SLOT_TABLE(CreateComplexFft)
KVX_FFT_ONE_BODY_TABLE(DestroyComplexFft)
KVX_FFT_SLOT_TABLE(ForwardComplexFft)

KVX_DEFINE_STUBS(fft)

// The specification functions are no entry points of the library's table; they get the same
// table and stub here.
#define KVX_FFT_SPEC_FUNCTIONS(ROW)                                                                      \
    ROW(GetRealFftSize,                                                                                  \
        (int32_t order, int32_t flag, int32_t hint, int32_t* specBytes, int32_t* initBytes,              \
         int32_t* workBytes),                                                                            \
        (order, flag, hint, specBytes, initBytes, workBytes))                                            \
    ROW(InitRealFftSpec,                                                                                 \
        (FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint, uint8_t* specMem, uint8_t* initMem), \
        (ppSpec, order, flag, hint, specMem, initMem))                                                   \
    ROW(GetComplexFftSize,                                                                               \
        (int32_t order, int32_t flag, int32_t hint, int32_t* specBytes, int32_t* initBytes,              \
         int32_t* workBytes),                                                                            \
        (order, flag, hint, specBytes, initBytes, workBytes))                                            \
    ROW(InitComplexFftSpec,                                                                              \
        (FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint, uint8_t* specMem, uint8_t* initMem), \
        (ppSpec, order, flag, hint, specMem, initMem))

#define KVX_FFT_SPEC_ROW(Name, Params, Args)                                                             \
    using Name##Fn = PrimitiveStatus Params;                                                             \
    KVX_FFT_SLOT_TABLE(Name)                                                                             \
    KVX_STUB_BODY(PrimitiveStatus, Name, Params, Args)
KVX_FFT_SPEC_FUNCTIONS(KVX_FFT_SPEC_ROW)

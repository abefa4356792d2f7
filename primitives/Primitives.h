/* The public interface of the signal-processing primitive library: its 65 entry points with C
 * linkage, their status codes and argument types. Usable from C and C++. */
#pragma once

#include "primitives/core/CpuTypeCode.h"
#include "primitives/core/EntryList.h"
#include "primitives/core/PrimitiveStatus.h"
#include "primitives/core/PrimitiveTypes.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KVX_DECLARE_ENTRY(family, Ret, Name, Params, Args) Ret Name Params;
KVX_ENTRY_LIST(KVX_DECLARE_ENTRY)
#undef KVX_DECLARE_ENTRY

/* FFT specifications in the caller's memory (called directly, not dispatched): the sizes in
 * bytes, then the initialisation into a block of specBytes (and, above order 10, an
 * initialisation block of initBytes, free again once the call returns). flag is 1 (forward
 * scaled by 1/N), 2 (inverse scaled by 1/N), 4 (both by 1/sqrt(N)) or 8 (unscaled). A
 * specification built so is invalidated by DestroyRealFft or DestroyComplexFft, which leave
 * its memory to the caller. */
PrimitiveStatus GetRealFftSize(int32_t order, int32_t flag, int32_t hint, int32_t* specBytes, int32_t* initBytes,
                               int32_t* workBytes);
PrimitiveStatus InitRealFftSpec(FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint, uint8_t* specMem,
                                uint8_t* initMem);
PrimitiveStatus GetComplexFftSize(int32_t order, int32_t flag, int32_t hint, int32_t* specBytes, int32_t* initBytes,
                                  int32_t* workBytes);
PrimitiveStatus InitComplexFftSpec(FftSpec** ppSpec, int32_t order, int32_t flag, int32_t hint, uint8_t* specMem,
                                   uint8_t* initMem);

/* The slot index every entry point dispatches on; 0 selects the generic bodies, which is all the
 * driver ever runs. A program that links the library may choose a processor-specific slot with
 * InitDispatchIndex (from the processor it runs on) or ForceDispatchIndex (from a CpuTypeCode),
 * but only while no entry point runs. */
extern int32_t DispatchIndex;
CpuTypeCode DetectCpuType(void);
PrimitiveStatus InitDispatchIndex(void);
PrimitiveStatus ForceDispatchIndex(CpuTypeCode code);

#ifdef __cplusplus
}
#endif

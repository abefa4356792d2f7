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

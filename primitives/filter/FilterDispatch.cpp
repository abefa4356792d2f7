// Dispatch tables and entry points of the IIR filters and of up- and down-sampling. Slots 1 to 3
// hold the generic bodies until the processor-specific bodies exist. Only the rows named below
// are built here, so only they get a stub.
#include "primitives/core/Dispatch.h"
#include "primitives/filter/IirFilter.h"
#include "primitives/filter/IirState.h"
#include "primitives/filter/Resample.h"

#define KVX_FILTER_GENERIC_TABLE(Name) \
    KVX_DISPATCH_TABLE(Name, Name##Generic, Name##Generic, Name##Generic, Name##Generic)

KVX_FILTER_GENERIC_TABLE(FilterIirInPlace)
KVX_FILTER_GENERIC_TABLE(GetIirStateSize)
KVX_FILTER_GENERIC_TABLE(InitIirState)
KVX_FILTER_GENERIC_TABLE(CreateIirState)
KVX_FILTER_GENERIC_TABLE(DestroyIirState)
KVX_FILTER_GENERIC_TABLE(FilterIir)
KVX_FILTER_GENERIC_TABLE(UpsampleFloat)
KVX_FILTER_GENERIC_TABLE(DownsampleFloat)

#define KVX_FILTER_BUILT_FilterIirInPlace ~, 1
#define KVX_FILTER_BUILT_GetIirStateSize ~, 1
#define KVX_FILTER_BUILT_InitIirState ~, 1
#define KVX_FILTER_BUILT_CreateIirState ~, 1
#define KVX_FILTER_BUILT_DestroyIirState ~, 1
#define KVX_FILTER_BUILT_FilterIir ~, 1
#define KVX_FILTER_BUILT_UpsampleFloat ~, 1
#define KVX_FILTER_BUILT_DownsampleFloat ~, 1
#define KVX_FILTER_STUB_ROW(family, Ret, Name, Params, Args) \
    KVX_STUB_WHEN(KVX_SAME_FAMILY(KVX_FILTER_BUILT_##Name), Ret, Name, Params, Args)

KVX_ENTRY_LIST(KVX_FILTER_STUB_ROW)

// Dispatch tables and entry points of the filtering primitives. Slots 1 to 3 hold the generic
// bodies until the processor-specific bodies exist. Only the rows listed under "built rows" get a
// stub; a row joins the list once its table above exists.
#include "primitives/core/Dispatch.h"
#include "primitives/filter/FirState.h"

#define KVX_FILTER_GENERIC_TABLE(Name) \
    KVX_DISPATCH_TABLE(Name, Name##Generic, Name##Generic, Name##Generic, Name##Generic)

// FIR states, filtering and the one-sample filter.
KVX_FILTER_GENERIC_TABLE(InitFirState)
KVX_FILTER_GENERIC_TABLE(GetFirStateSize)
KVX_FILTER_GENERIC_TABLE(InitMultiRateFirState)
KVX_FILTER_GENERIC_TABLE(GetMultiRateFirStateSize)
KVX_FILTER_GENERIC_TABLE(FilterFir)
KVX_FILTER_GENERIC_TABLE(FilterFirOneSample)
KVX_FILTER_GENERIC_TABLE(CreateFirState)
// One body serves every slot.
KVX_DISPATCH_TABLE(DestroyFirState, DestroyFirStateGeneric, DestroyFirStateGeneric, DestroyFirStateGeneric,
                   DestroyFirStateGeneric)

// Built rows.
#define KVX_FILTER_BUILT_InitFirState ~, 1
#define KVX_FILTER_BUILT_GetFirStateSize ~, 1
#define KVX_FILTER_BUILT_InitMultiRateFirState ~, 1
#define KVX_FILTER_BUILT_GetMultiRateFirStateSize ~, 1
#define KVX_FILTER_BUILT_FilterFir ~, 1
#define KVX_FILTER_BUILT_FilterFirOneSample ~, 1
#define KVX_FILTER_BUILT_CreateFirState ~, 1
#define KVX_FILTER_BUILT_DestroyFirState ~, 1
#define KVX_FILTER_STUB_ROW(family, Ret, Name, Params, Args) \
    KVX_STUB_WHEN(KVX_SAME_FAMILY(KVX_FILTER_BUILT_##Name), Ret, Name, Params, Args)

KVX_ENTRY_LIST(KVX_FILTER_STUB_ROW)

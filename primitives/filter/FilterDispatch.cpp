// Dispatch tables and entry points of the filtering primitives. Slots 1 to 3 hold the generic
// bodies until the processor-specific bodies exist.
#include "primitives/core/Dispatch.h"
#include "primitives/filter/FirState.h"
#include "primitives/filter/IirFilter.h"
#include "primitives/filter/IirState.h"
#include "primitives/filter/Resample.h"

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
KVX_FILTER_GENERIC_TABLE(DestroyFirState)

// IIR states and filtering.
KVX_FILTER_GENERIC_TABLE(FilterIirInPlace)
KVX_FILTER_GENERIC_TABLE(GetIirStateSize)
KVX_FILTER_GENERIC_TABLE(InitIirState)
KVX_FILTER_GENERIC_TABLE(CreateIirState)
KVX_FILTER_GENERIC_TABLE(DestroyIirState)
KVX_FILTER_GENERIC_TABLE(FilterIir)

// Up- and down-sampling.
KVX_FILTER_GENERIC_TABLE(UpsampleFloat)
KVX_FILTER_GENERIC_TABLE(DownsampleFloat)

KVX_DEFINE_STUBS(filter)

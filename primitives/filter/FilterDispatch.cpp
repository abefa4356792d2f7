// Dispatch tables and entry points of the filtering primitives: slot 0 the generic bodies, slots
// 1 to 3 the bodies of the processor variants. Two entries have one body for every slot, and the
// IIR size query of slot 3 is the slot-2 body.
#include "primitives/core/Dispatch.h"
#include "primitives/filter/FilterSlotVariants.h"
#include "primitives/filter/FirState.h"
#include "primitives/filter/IirFilter.h"
#include "primitives/filter/IirState.h"
#include "primitives/filter/Resample.h"

#define KVX_FILTER_SLOT_TABLE(Name) \
    KVX_DISPATCH_TABLE(Name, Name##Generic, Sse3Variant::Name##Sse3, Ssse3Variant::Name##Ssse3, \
                       Sse41Variant::Name##Sse41)
#define KVX_FILTER_ONE_BODY_TABLE(Name) \
    KVX_DISPATCH_TABLE(Name, Name##Generic, Name##Generic, Name##Generic, Name##Generic)

// FIR states, filtering and the one-sample filter.
KVX_FILTER_SLOT_TABLE(InitFirState)
KVX_FILTER_SLOT_TABLE(GetFirStateSize)
KVX_FILTER_SLOT_TABLE(InitMultiRateFirState)
KVX_FILTER_SLOT_TABLE(GetMultiRateFirStateSize)
KVX_FILTER_SLOT_TABLE(FilterFir)
KVX_FILTER_SLOT_TABLE(FilterFirOneSample)
KVX_FILTER_SLOT_TABLE(CreateFirState)
KVX_FILTER_ONE_BODY_TABLE(DestroyFirState)

// IIR states and filtering.
KVX_FILTER_SLOT_TABLE(FilterIirInPlace)
KVX_DISPATCH_TABLE(GetIirStateSize, GetIirStateSizeGeneric, Sse3Variant::GetIirStateSizeSse3,
                   Ssse3Variant::GetIirStateSizeSsse3, Ssse3Variant::GetIirStateSizeSsse3)
KVX_FILTER_SLOT_TABLE(InitIirState)
KVX_FILTER_SLOT_TABLE(CreateIirState)
KVX_FILTER_ONE_BODY_TABLE(DestroyIirState)
KVX_FILTER_SLOT_TABLE(FilterIir)

// Up- and down-sampling.
KVX_FILTER_SLOT_TABLE(UpsampleFloat)
KVX_FILTER_SLOT_TABLE(DownsampleFloat)

KVX_DEFINE_STUBS(filter)

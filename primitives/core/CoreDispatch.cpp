// Dispatch tables and entry points of the core family: slot 0 the generic bodies, slots 1 to 3
// the SSE3-, SSSE3- and SSE4.1-class bodies. Where one body serves two slots it bears the name of
// the lower one.
#include "primitives/core/Conversions.h"
#include "primitives/core/Dispatch.h"
#include "primitives/core/Interleave.h"
#include "primitives/core/Memory.h"
#include "primitives/core/Power.h"
#include "primitives/core/SlotVariants.h"
#include "primitives/core/VectorBasics.h"

int32_t DispatchIndex = 0;

// A separate body in every slot.
#define KVX_FOUR_TABLE(Name)                                                                            \
    KVX_DISPATCH_TABLE(Name, Name##Generic, Sse3Variant::Name##Sse3, Ssse3Variant::Name##Ssse3, \
                       Sse41Variant::Name##Sse41)

KVX_FOUR_TABLE(ZeroFloat)
KVX_FOUR_TABLE(ConvertFloatToInt16)
KVX_FOUR_TABLE(ConvertFloatToInt32)
KVX_FOUR_TABLE(ConvertInt16ToFloat)
KVX_DISPATCH_TABLE(ConvertInt32ToFloatScaled, ConvertInt32ToFloatScaledGeneric, ConvertInt32ToFloatScaledGeneric,
                   Ssse3Variant::ConvertInt32ToFloatScaledSsse3, Ssse3Variant::ConvertInt32ToFloatScaledSsse3)
KVX_FOUR_TABLE(ConvertInt24ToFloat)
KVX_FOUR_TABLE(ConvertFloatToInt24)
KVX_DISPATCH_TABLE(AddInPlace, AddInPlaceGeneric, Sse3Variant::AddInPlaceSse3, Ssse3Variant::AddInPlaceSsse3,
                   Ssse3Variant::AddInPlaceSsse3)
KVX_FOUR_TABLE(DivideByConstantInPlace)
KVX_FOUR_TABLE(MoveFloat)
KVX_FOUR_TABLE(MultiplyByConstantInPlace)
KVX_FOUR_TABLE(ConvertInt32ToFloat)
KVX_DISPATCH_TABLE(AddConstantInPlace, AddConstantInPlaceGeneric, Sse3Variant::AddConstantInPlaceSse3,
                   Ssse3Variant::AddConstantInPlaceSsse3, Ssse3Variant::AddConstantInPlaceSsse3)
KVX_FOUR_TABLE(InterleaveChannels)
KVX_FOUR_TABLE(DeinterleaveChannels)
KVX_FOUR_TABLE(RaiseToPower)
KVX_FOUR_TABLE(CopyFloat)
KVX_FOUR_TABLE(MultiplyByConstant)
KVX_DISPATCH_TABLE(FreeAligned, FreeAlignedGeneric, FreeAlignedGeneric, FreeAlignedGeneric, FreeAlignedGeneric)

KVX_DEFINE_STUBS(core)

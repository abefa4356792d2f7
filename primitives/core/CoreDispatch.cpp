// Dispatch tables and entry points of the core family. Slots 1 to 3 hold the generic bodies
// until the processor-specific bodies exist.
#include "primitives/core/Conversions.h"
#include "primitives/core/Dispatch.h"
#include "primitives/core/Interleave.h"
#include "primitives/core/Memory.h"
#include "primitives/core/Power.h"
#include "primitives/core/VectorBasics.h"

int32_t DispatchIndex = 0;

#define KVX_GENERIC_TABLE(Name) KVX_DISPATCH_TABLE(Name, Name##Generic, Name##Generic, Name##Generic, Name##Generic)

KVX_GENERIC_TABLE(ZeroFloat)
KVX_GENERIC_TABLE(ConvertFloatToInt16)
KVX_GENERIC_TABLE(ConvertFloatToInt32)
KVX_GENERIC_TABLE(ConvertInt16ToFloat)
KVX_GENERIC_TABLE(ConvertInt32ToFloatScaled)
KVX_GENERIC_TABLE(ConvertInt24ToFloat)
KVX_GENERIC_TABLE(ConvertFloatToInt24)
KVX_GENERIC_TABLE(AddInPlace)
KVX_GENERIC_TABLE(DivideByConstantInPlace)
KVX_GENERIC_TABLE(MoveFloat)
KVX_GENERIC_TABLE(MultiplyByConstantInPlace)
KVX_GENERIC_TABLE(ConvertInt32ToFloat)
KVX_GENERIC_TABLE(AddConstantInPlace)
KVX_GENERIC_TABLE(InterleaveChannels)
KVX_GENERIC_TABLE(DeinterleaveChannels)
KVX_GENERIC_TABLE(RaiseToPower)
KVX_GENERIC_TABLE(CopyFloat)
KVX_GENERIC_TABLE(MultiplyByConstant)
KVX_GENERIC_TABLE(FreeAligned)

KVX_DEFINE_STUBS(core)

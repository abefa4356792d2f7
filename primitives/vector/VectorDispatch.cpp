// Dispatch tables and entry points of the vector family. The rows hold their processor-specific
// bodies in slots 1 to 3 (slot 3 of the element-wise arithmetic rows runs the slot-2 body); the
// multiply-accumulate and the aligned allocation keep their generic body in every slot.
#include "primitives/core/Dispatch.h"
#include "primitives/vector/VectorArithmetic.h"
#include "primitives/vector/VectorReductions.h"
#include "primitives/vector/VectorSlots.h"

#define KVX_GENERIC_TABLE(Name) KVX_DISPATCH_TABLE(Name, Name##Generic, Name##Generic, Name##Generic, Name##Generic)

// A body per slot, and rows whose slot 3 runs the slot-2 body.
#define KVX_SLOT_TABLE(Name)                                                                                     \
    KVX_DISPATCH_TABLE(Name, Name##Generic, Sse3Variant::Name##Sse3, Ssse3Variant::Name##Ssse3,               \
                       Sse41Variant::Name##Sse41)
#define KVX_SLOT2_SHARED_TABLE(Name)                                                                             \
    KVX_DISPATCH_TABLE(Name, Name##Generic, Sse3Variant::Name##Sse3, Ssse3Variant::Name##Ssse3,               \
                       Ssse3Variant::Name##Ssse3)

KVX_SLOT_TABLE(FillFloat)
KVX_SLOT_TABLE(AbsoluteInPlace)
KVX_SLOT_TABLE(Maximum)
KVX_SLOT_TABLE(Minimum)
KVX_GENERIC_TABLE(AllocateFloatAligned)
KVX_SLOT_TABLE(ReverseCopy)
KVX_SLOT2_SHARED_TABLE(MultiplyInPlace)
KVX_SLOT2_SHARED_TABLE(Add)
KVX_SLOT2_SHARED_TABLE(Subtract)
KVX_SLOT2_SHARED_TABLE(Multiply)
KVX_GENERIC_TABLE(MultiplyAccumulate)
KVX_SLOT_TABLE(Square)
KVX_SLOT_TABLE(Divide)
KVX_SLOT_TABLE(Sum)
KVX_SLOT_TABLE(Mean)
KVX_SLOT_TABLE(ElementwiseMinimumInPlace)
KVX_SLOT_TABLE(ElementwiseMaximumInPlace)
KVX_SLOT_TABLE(DotProduct)
KVX_SLOT2_SHARED_TABLE(MultiplyAccumulateByConstant)

KVX_DEFINE_STUBS(vector)

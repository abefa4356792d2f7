// Dispatch tables and entry points of the vector and elementary math families. Slots 1 to 3
// hold the generic bodies until the processor-specific bodies exist.
#include "primitives/core/Dispatch.h"
#include "primitives/vector/ElementaryMath.h"
#include "primitives/vector/VectorArithmetic.h"
#include "primitives/vector/VectorReductions.h"

#define KVX_GENERIC_TABLE(Name) KVX_DISPATCH_TABLE(Name, Name##Generic, Name##Generic, Name##Generic, Name##Generic)

KVX_GENERIC_TABLE(FillFloat)
KVX_GENERIC_TABLE(AbsoluteInPlace)
KVX_GENERIC_TABLE(Maximum)
KVX_GENERIC_TABLE(Minimum)
KVX_GENERIC_TABLE(AllocateFloatAligned)
KVX_GENERIC_TABLE(ReverseCopy)
KVX_GENERIC_TABLE(MultiplyInPlace)
KVX_GENERIC_TABLE(Add)
KVX_GENERIC_TABLE(Subtract)
KVX_GENERIC_TABLE(Multiply)
KVX_GENERIC_TABLE(MultiplyAccumulate)
KVX_GENERIC_TABLE(Square)
KVX_GENERIC_TABLE(Divide)
KVX_GENERIC_TABLE(Sum)
KVX_GENERIC_TABLE(Mean)
KVX_GENERIC_TABLE(ElementwiseMinimumInPlace)
KVX_GENERIC_TABLE(ElementwiseMaximumInPlace)
KVX_GENERIC_TABLE(DotProduct)
KVX_GENERIC_TABLE(MultiplyAccumulateByConstant)

KVX_DEFINE_STUBS(vector)

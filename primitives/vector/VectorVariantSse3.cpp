// Slot 1: the SSE3-class variant of the vector family. Everything it includes comes before its target
// region, so that only its own functions are built for its instruction set.
#include "primitives/vector/VectorSlotPrologue.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse3"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse3")
#endif

#define KVX_VARIANT 1
#define KVX_SLOT(Name) Name##Sse3
namespace Sse3Variant {
#include "primitives/vector/VectorSlotHelpers.inc"
#include "primitives/vector/ElementwiseKernelsSse.inc"
#include "primitives/vector/AbsoluteReverseKernelsSse.inc"
#include "primitives/vector/ExtremeKernelsSse.inc"
#include "primitives/vector/SquareKernelsSse.inc"
#include "primitives/vector/DivideKernelsSse.inc"
#include "primitives/vector/IntegerDivideKernelsSse.inc"
#include "primitives/vector/SummationKernelsSse.inc"
#include "primitives/vector/DotProductKernelsSse.inc"
#include "primitives/vector/VectorSlotBodies.inc"
}  // namespace Sse3Variant

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

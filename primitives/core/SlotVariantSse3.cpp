// Slot 1: the SSE3-class variant of the core family. Everything it includes comes before its
// target region, so that only its own functions are built for its instruction set.
#include "primitives/core/SlotVariantPrologue.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse3"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse3")
#endif

#define KVX_VARIANT 1
#define KVX_SLOT(Name) Name##Sse3
namespace Sse3Variant {
#include "primitives/core/VectorBasicsSse.inc"
#include "primitives/core/ConversionsSse.inc"
#include "primitives/core/ConversionFamilySse.inc"
#include "primitives/core/WideConversionsSse.inc"
#include "primitives/core/InterleaveSse.inc"
#include "primitives/core/PowerBody.inc"
}  // namespace Sse3Variant

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

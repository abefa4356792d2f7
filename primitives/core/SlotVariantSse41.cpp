// Slot 3: the SSE4.1-class variant of the core family. Everything it includes comes before its
// target region, so that only its own functions are built for its instruction set.
#include "primitives/core/SlotVariantPrologue.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse4.1"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse4.1")
#endif

#define KVX_VARIANT 3
#define KVX_SLOT(Name) Name##Sse41
namespace Sse41Variant {
#include "primitives/core/VectorBasicsSse.inc"
#include "primitives/core/ConversionsSse.inc"
#include "primitives/core/ConversionFamilySse.inc"
#include "primitives/core/WideConversionsSse.inc"
#include "primitives/core/InterleaveSse.inc"
#include "primitives/core/PowerBody.inc"
}  // namespace Sse41Variant

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

// Slot 2: the SSSE3-class variant of the core family. Everything it includes comes before its
// target region, so that only its own functions are built for its instruction set.
#include "primitives/core/SlotVariantPrologue.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("ssse3"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("ssse3")
#endif

#define KVX_VARIANT 2
#define KVX_SLOT(Name) Name##Ssse3
namespace Ssse3Variant {
#include "primitives/core/VectorBasicsSse.inc"
#include "primitives/core/ConversionsSse.inc"
#include "primitives/core/ConversionFamilySse.inc"
#include "primitives/core/WideConversionsSse.inc"
#include "primitives/core/InterleaveSse.inc"
#include "primitives/core/PowerBody.inc"
}  // namespace Ssse3Variant

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

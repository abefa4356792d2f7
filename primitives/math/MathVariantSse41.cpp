// Slot 3: the SSE4.1-class copy of the elementary math kernels. It is built for SSE3 as the other
// copies are; the one SSE4.1 instruction it needs, the vector test of the float square root, is
// written out in that kernel. Everything it includes comes before its target region.
#include "primitives/math/MathVariantPrologue.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse3"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse3")
#endif

#define KVX_VARIANT 3
#define KVX_SLOT(Name) Name##Sse41
namespace Sse41Variant {
#include "primitives/math/MathVariantBody.inc"
}  // namespace Sse41Variant

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

// Slot 1: the SSE3-class copy of the elementary math kernels. Like every copy it needs no more
// than SSE3 (the split-line load and the truncating x87 store), so it is built for SSE3 whatever
// its slot. Everything it includes comes before its target region.
#include "primitives/math/MathVariantPrologue.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse3"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse3")
#endif

#define KVX_VARIANT 1
#define KVX_SLOT(Name) Name##Sse3
namespace Sse3Variant {
#include "primitives/math/MathVariantBody.inc"
}  // namespace Sse3Variant

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

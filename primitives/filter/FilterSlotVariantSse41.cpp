// Slot 3: the filter family's bodies and kernels built for the SSE4.1-class instruction set.
// Everything it includes comes before its target region, so that only its own functions are built
// for that instruction set.
#include <climits>

#include "primitives/core/SlotVariantPrologue.h"
#include "primitives/fft/FftSlotBodies.h"
#include "primitives/filter/FilterSlotVariants.h"
#include "primitives/filter/Resample.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse4.1"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse4.1")
#endif

#define KVX_VARIANT 3
#define KVX_SLOT(Name) Name##Sse41
namespace Sse41Variant {
#include "primitives/filter/FirKernelsSse.inc"
#include "primitives/filter/IirKernelsSse.inc"
#include "primitives/filter/IirKernelsOtherSse.inc"
#include "primitives/filter/ResampleKernelsSse.inc"
#include "primitives/filter/FilterBodiesSse.inc"
}  // namespace Sse41Variant

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

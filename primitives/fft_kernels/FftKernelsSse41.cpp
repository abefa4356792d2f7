// Slot 3: the SSE4.1-class variant of the FFT kernels. Everything it includes comes before its
// target region, so that only its own functions are built for its instruction set.
#include "primitives/fft_kernels/FftKernelsPrologue.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse4.1"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse4.1")
#endif

#define KVX_VARIANT 3
namespace Sse41Variant {
#include "primitives/fft_kernels/FftKernelFrame.inc"
#include "primitives/fft_kernels/BitReverseKernels.inc"
#include "primitives/fft_kernels/ComplexFftKernels.inc"
#include "primitives/fft_kernels/SplitFftKernels.inc"
#include "primitives/fft_kernels/ColumnKernels.inc"
#include "primitives/fft_kernels/EightWayFftKernels.inc"
}  // namespace Sse41Variant

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

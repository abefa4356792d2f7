// Slot 1: the SSE3-class variant of the FFT kernels. Everything it includes comes before its
// target region, so that only its own functions are built for its instruction set.
#include "primitives/fft_kernels/FftKernelsPrologue.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("sse3"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("sse3")
#endif

#define KVX_VARIANT 1
namespace Sse3Variant {
#include "primitives/fft_kernels/FftKernelFrame.inc"
#include "primitives/fft_kernels/BitReverseKernels.inc"
#include "primitives/fft_kernels/ComplexFftKernels.inc"
#include "primitives/fft_kernels/SplitFftKernels.inc"
#include "primitives/fft_kernels/ColumnKernels.inc"
}  // namespace Sse3Variant

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

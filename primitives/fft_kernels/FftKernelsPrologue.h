// Everything the FFT kernel variant sources include before they open their target region, so
// that no function outside the variant is built for its instruction set.
#pragma once

#include "primitives/core/SlotVariantPrologue.h"
#include "primitives/fft_kernels/FftKernels.h"

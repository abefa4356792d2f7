// Everything the FFT variant sources include before they open their target region, so that no
// function outside the variant is built for its instruction set.
#pragma once

#include <climits>
#include <cmath>

#include "primitives/core/Memory.h"
#include "primitives/core/SlotVariantPrologue.h"
#include "primitives/fft/ComplexFft.h"
#include "primitives/fft/FftInternal.h"
#include "primitives/fft/FftSlotBodies.h"
#include "primitives/fft/FftSlotInternal.h"
#include "primitives/fft/FftSlotLayout.h"
#include "primitives/fft/RealFft.h"
#include "primitives/fft/SmallFftKernels.h"
#include "primitives/fft_kernels/FftKernels.h"

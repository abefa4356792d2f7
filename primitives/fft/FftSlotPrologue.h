// Everything the FFT variant sources include before they open their target region, so that no
// function outside the variant is built for its instruction set.
#pragma once

#include "primitives/core/SlotVariantPrologue.h"
#include "primitives/fft/FftInternal.h"
#include "primitives/fft/FftSlotBodies.h"
#include "primitives/fft/ComplexFft.h"
#include "primitives/fft/RealFft.h"

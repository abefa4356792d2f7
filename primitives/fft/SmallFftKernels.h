// The fixed kernels of orders 0 to 3 of every slot, real and complex, plain and scaled (the scaled
// kernel multiplies by its third argument within its first butterfly level). Every slot's kernels
// compute the same formulas with the same results; src may be dst.
#pragma once

#include <cstdint>

using SmallFftKernel = void (*)(const float* src, float* dst);
using SmallFftScaledKernel = void (*)(const float* src, float* dst, float scale);

struct SmallFftKernelRow {
    SmallFftKernel plain[4];
    SmallFftScaledKernel scaled[4];
};

// Rows slot 0 forward, slot 0 inverse, slot 1 forward, ..., slot 3 inverse.
extern const SmallFftKernelRow SmallRealFftKernelTable[8];
// One row per slot: the forward complex kernels.
extern const SmallFftKernelRow SmallComplexFftKernelTable[4];

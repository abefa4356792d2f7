// IIR filtering through an IirState, out of place and in place, on one generic loop.
#pragma once

#include <cstdint>

#include "primitives/filter/IirState.h"

PrimitiveStatus FilterIirGeneric(const float* src, float* dst, int32_t len, IirState* state);
PrimitiveStatus FilterIirInPlaceGeneric(float* srcDst, int32_t len, IirState* state);

struct IirSlotOps;
// The block filter of slots 1 to 3 on the slot's kernels; the arguments and the state are checked.
void FilterIirBlocks(const IirSlotOps& ops, const float* src, float* dst, int32_t len, IirState* state);

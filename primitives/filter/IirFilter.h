// IIR filtering through an IirState, out of place and in place, on one generic loop.
#pragma once

#include <cstdint>

#include "primitives/filter/IirState.h"

PrimitiveStatus FilterIirGeneric(const float* src, float* dst, int32_t len, IirState* state);
PrimitiveStatus FilterIirInPlaceGeneric(float* srcDst, int32_t len, IirState* state);

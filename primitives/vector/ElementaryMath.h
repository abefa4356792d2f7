// Generic (slot 0) bodies of the elementary math entries: square root, exponential and natural
// logarithm, all in place on float arrays.
#pragma once

#include <cstdint>

#include "primitives/core/PrimitiveStatus.h"

PrimitiveStatus SquareRootInPlaceGeneric(float* srcDst, int32_t len);
PrimitiveStatus ExponentialInPlaceGeneric(float* srcDst, int32_t len);
PrimitiveStatus NaturalLogInPlaceGeneric(float* srcDst, int32_t len);

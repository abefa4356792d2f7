// Generic (slot 0) body of the element-wise power function and its scalar path.
#pragma once

#include "primitives/core/PrimitiveTypes.h"

PrimitiveStatus RaiseToPowerGeneric(const float* x, const float* y, float* dst, int32_t len);

// Element i by the scalar path; stores WarningDomain through pStatus in a domain case, nothing else.
void PowerSpecialCases(const float* x, const float* y, float* dst, int32_t i, PrimitiveStatus* pStatus);

// Raises the floating-point exception flag that belongs to a status code (19, 18, 12 or 17).
void RaiseFloatException(PrimitiveStatus code);

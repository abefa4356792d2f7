// Generic (slot 0) bodies of the element-wise vector entries. Other families call these
// directly; only the dispatch tables reach them through the public entry points.
#pragma once

#include <cstdint>

#include "primitives/core/PrimitiveStatus.h"

PrimitiveStatus FillFloatGeneric(float value, float* dst, int32_t len);
PrimitiveStatus AbsoluteInPlaceGeneric(float* srcDst, int32_t len);
PrimitiveStatus ReverseCopyGeneric(const float* src, float* dst, int32_t len);
PrimitiveStatus MultiplyInPlaceGeneric(const float* src, float* srcDst, int32_t len);
PrimitiveStatus AddGeneric(const float* a, const float* b, float* dst, int32_t len);
// dst = b - a: the second operand is the left one.
PrimitiveStatus SubtractGeneric(const float* a, const float* b, float* dst, int32_t len);
PrimitiveStatus MultiplyGeneric(const float* a, const float* b, float* dst, int32_t len);
PrimitiveStatus MultiplyAccumulateGeneric(const float* a, const float* b, float* srcDst, int32_t len);
PrimitiveStatus MultiplyAccumulateByConstantGeneric(const float* src, float c, float* srcDst, int32_t len);
PrimitiveStatus SquareGeneric(const float* src, float* dst, int32_t len);
// dst = b / a: the second operand is the dividend.
PrimitiveStatus DivideGeneric(const float* a, const float* b, float* dst, int32_t len);
PrimitiveStatus ElementwiseMinimumInPlaceGeneric(const float* src, float* srcDst, int32_t len);
PrimitiveStatus ElementwiseMaximumInPlaceGeneric(const float* src, float* srcDst, int32_t len);
float* AllocateFloatAlignedGeneric(int32_t len);

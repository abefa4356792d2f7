// Generic (slot 0) bodies of the vector reductions, and the generic dot-product kernel.
#pragma once

#include <cstdint>

#include "primitives/core/PrimitiveStatus.h"

PrimitiveStatus MaximumGeneric(const float* src, int32_t len, float* pMax);
PrimitiveStatus MinimumGeneric(const float* src, int32_t len, float* pMin);
// hint selects the summation method of the processor-specific bodies; the generic ones ignore it.
PrimitiveStatus SumGeneric(const float* src, int32_t len, float* pSum, int32_t hint);
PrimitiveStatus MeanGeneric(const float* src, int32_t len, float* pMean, int32_t hint);
PrimitiveStatus DotProductGeneric(const float* a, const float* b, int32_t len, float* pResult);

// Single-precision dot product; checks nothing (len of 0 or less writes +0.0).
void DotProductKernel(const float* a, const float* b, int32_t len, float* pResult);

// The module's members with double results (no entry point uses them): products of floats are
// exact in double. Complex arrays are pairs, real part first; complex results are written as two
// doubles, real part first; complex products are not conjugated.
void DotProductFloatToDoubleKernel(const float* a, const float* b, int64_t len, double* pResult);
void DotProductRealComplexToDoubleKernel(const float* a, const float* b, int64_t len, double* pResult);
void DotProductComplexToDoubleKernel(const float* a, const float* b, int64_t len, double* pResult);

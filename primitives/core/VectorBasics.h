// Generic (slot 0) bodies of the vector basics: clear, copy, move, fill and arithmetic with a
// buffer or a constant, and the byte and word routines beneath them. Other families call these
// bodies directly, never the entry points.
#pragma once

#include "primitives/core/PrimitiveTypes.h"

// Byte counts are 64-bit so that a float count of 2^29 or more still does its work.
void* ZeroBytes(void* ptr, int64_t byteCount);
void* CopyBytes(const void* src, void* dst, int64_t byteCount);
void* FillKernel32(uint32_t value, void* dst, int32_t count);

PrimitiveStatus ZeroFloatGeneric(float* dst, int32_t len);
PrimitiveStatus CopyFloatGeneric(const float* src, float* dst, int32_t len);
PrimitiveStatus MoveFloatGeneric(const float* src, float* dst, int32_t len);
PrimitiveStatus FillInt32(int32_t value, int32_t* dst, int32_t len);
PrimitiveStatus AddInPlaceGeneric(const float* src, float* srcDst, int32_t len);
PrimitiveStatus AddConstantInPlaceGeneric(float c, float* srcDst, int32_t len);
PrimitiveStatus MultiplyByConstantGeneric(const float* src, float c, float* dst, int32_t len);
PrimitiveStatus MultiplyByConstantInPlaceGeneric(float c, float* srcDst, int32_t len);
PrimitiveStatus DivideByConstant(const float* src, float c, float* dst, int32_t len);
PrimitiveStatus DivideByConstantInPlaceGeneric(float c, float* srcDst, int32_t len);

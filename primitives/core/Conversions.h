// Generic (slot 0) bodies of the sample conversions between float and 16-, packed 24- and 32-bit
// integer PCM.
#pragma once

#include "primitives/core/PrimitiveTypes.h"

PrimitiveStatus ConvertFloatToInt16Generic(const float* src, int16_t* dst, int32_t len, RoundingMode roundingMode,
                                           ScaleFactor scaleFactor);
PrimitiveStatus ConvertFloatToInt32Generic(const float* src, int32_t* dst, int32_t len, RoundingMode roundingMode,
                                           ScaleFactor scaleFactor);
PrimitiveStatus ConvertInt16ToFloatGeneric(const int16_t* src, float* dst, int32_t len, ScaleFactor scaleFactor);
PrimitiveStatus ConvertInt32ToFloatScaledGeneric(const int32_t* src, float* dst, int32_t len, ScaleFactor scaleFactor);
PrimitiveStatus ConvertInt24ToFloatGeneric(const uint8_t* src, float* dst, int32_t len);
PrimitiveStatus ConvertFloatToInt24Generic(const float* src, uint8_t* dst, int32_t len, ScaleFactor scaleFactor);
PrimitiveStatus ConvertInt32ToFloatGeneric(const int32_t* src, float* dst, int32_t len);

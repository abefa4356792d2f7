// Argument types shared by the primitive entry points. C-compatible, like PrimitiveStatus.h.
#pragma once

#include "primitives/core/PrimitiveStatus.h"

// Rounding of the float to int16/int32 conversions. Every value is accepted: anything other
// than 0 and 1 rounds to nearest with ties away from zero.
typedef int32_t RoundingMode;
enum {
    RoundTowardZero = 0,
    RoundNearestEven = 1,
    RoundNearestAway = 2,
};

// Power-of-two scale of the scaled conversions: the result is value * 2^-sf.
typedef int32_t ScaleFactor;

// Records of the FFT and filtering families; each begins with a 32-bit id that its operations check.
typedef struct FftSpec FftSpec;
typedef struct FirState FirState;
typedef struct MultiRateFirState MultiRateFirState;
typedef struct IirState IirState;

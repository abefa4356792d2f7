// The one result type of the signal-processing primitives: 0 success, negative errors (nothing
// computed, outputs untouched), positive warnings (the result is complete).
// Usable from C and C++: the library is also shipped as an ordinary shared library.
#pragma once

#ifdef __cplusplus
#include <cstdint>
#else
#include <stdint.h>
#endif

typedef int32_t PrimitiveStatus;

enum {
    StatusOk = 0,
    StatusSizeError = -6,
    StatusNullPointer = -8,
    StatusNoMemory = -9,
    StatusDivideByZero = -10,
    StatusFftOrderError = -15,
    StatusFftFlagError = -16,
    StatusContextMismatch = -17,
    StatusIirOrderError = -25,
    StatusFirLengthError = -26,
    StatusMultiRatePhaseError = -28,
    StatusMultiRateFactorError = -29,
    StatusSamplePhaseError = -30,
    StatusSampleFactorError = -31,
    StatusChannelCountError = -53,

    WarningMisalignedBuffer = 2,
    WarningSqrtNegative = 3,
    WarningDivideByZero = 6,
    WarningLnZero = 7,
    WarningLnNegative = 8,
    WarningOverflow = 12,
    WarningUnderflow = 17,
    WarningSingularity = 18,
    WarningDomain = 19,
    WarningOtherCpuVendor = 20,
    WarningUnknownCpuType = 21,
};

// The bit patterns of floats and doubles, for the bodies whose results are pinned bit for bit.
#pragma once

#include <cstdint>

inline uint32_t Bits(float v)
{
    return __builtin_bit_cast(uint32_t, v);
}

inline uint64_t Bits(double v)
{
    return __builtin_bit_cast(uint64_t, v);
}

inline float FloatFromBits(uint32_t b)
{
    return __builtin_bit_cast(float, b);
}

inline double DoubleFromBits(uint64_t b)
{
    return __builtin_bit_cast(double, b);
}

// Flush-to-zero and round-to-nearest for the processing paths, for the life of the object; the
// caller's control register comes back after. Denormal results of filters decaying towards zero
// would otherwise cost hundreds of cycles each.
#pragma once

#include <xmmintrin.h>

class FloatingPointMode {
public:
    FloatingPointMode() : m_saved(_mm_getcsr())
    {
        constexpr unsigned int MXCSR_FLUSH_TO_ZERO = 0x8000u;
        constexpr unsigned int MXCSR_ROUNDING_CONTROL = 0x6000u;
        _mm_setcsr((m_saved & ~MXCSR_ROUNDING_CONTROL) | MXCSR_FLUSH_TO_ZERO);
    }
    ~FloatingPointMode() { _mm_setcsr(m_saved); }
    FloatingPointMode(const FloatingPointMode&) = delete;
    FloatingPointMode& operator=(const FloatingPointMode&) = delete;

private:
    unsigned int m_saved;
};

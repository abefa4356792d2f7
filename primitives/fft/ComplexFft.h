// The forward complex FFT of 2^order (real, imaginary) float pairs in natural order, through a
// specification of id SpecIdComplexFft (FftSpec.h). There is no inverse complex transform.
#pragma once

#include <cstdint>

#include "primitives/fft/FftSpec.h"

PrimitiveStatus ForwardComplexFftGeneric(const float* src, float* dst, const FftSpec* spec, uint8_t* work);

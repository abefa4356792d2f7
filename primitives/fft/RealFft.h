// The real FFT of N = 2^order floats into the packed spectrum [X0, X(N/2), Re X1, Im X1, ...]
// and back, and the products of packed spectra (how the FIR filters and the headphone engine
// convolve). The FIR family calls the out-of-place forms and the in-place product directly.
#pragma once

#include <cstdint>

#include "primitives/fft/FftSpec.h"

PrimitiveStatus ForwardRealFft(const float* src, float* dst, const FftSpec* spec, uint8_t* work);
PrimitiveStatus InverseRealFft(const float* src, float* dst, const FftSpec* spec, uint8_t* work);
PrimitiveStatus ForwardRealFftInPlaceGeneric(float* srcDst, const FftSpec* spec, uint8_t* work);
PrimitiveStatus InverseRealFftInPlaceGeneric(float* srcDst, const FftSpec* spec, uint8_t* work);
PrimitiveStatus MultiplyPackedSpectrumGeneric(const float* a, const float* b, float* dst, int32_t len);
PrimitiveStatus MultiplyPackedSpectrumInPlace(const float* src, float* srcDst, int32_t len);

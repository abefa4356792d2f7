// The forward complex FFT: small kernels for orders 0 to 3, the radix path up to 1024 points and
// the large-order path above, all on the tables of the specification.
#include "primitives/fft/ComplexFft.h"

#include "primitives/core/VectorBasics.h"
#include "primitives/fft/FftInternal.h"
#include "primitives/fft/FftSlotInternal.h"
#include "primitives/fft/SmallFftKernels.h"

using namespace kvxfft;

namespace {

constexpr float HALF_SQRT2 = 0.70710677f;

struct C {
    float re;
    float im;
};

inline C Add(C a, C b) { return {a.re + b.re, a.im + b.im}; }
inline C Sub(C a, C b) { return {a.re - b.re, a.im - b.im}; }
// a - i b and a + i b.
inline C SubTimesI(C a, C b) { return {a.re + b.im, a.im - b.re}; }
inline C AddTimesI(C a, C b) { return {a.re - b.im, a.im + b.re}; }

// X0..X3 of four values: X1 = (a0 - a2) - i (a1 - a3), X3 = (a0 - a2) + i (a1 - a3).
inline void Dft4(C a0, C a1, C a2, C a3, C out[4]) {
    const C s02 = Add(a0, a2), d02 = Sub(a0, a2), s13 = Add(a1, a3), d13 = Sub(a1, a3);
    out[0] = Add(s02, s13);
    out[2] = Sub(s02, s13);
    out[1] = SubTimesI(d02, d13);
    out[3] = AddTimesI(d02, d13);
}

// The kernels read every input before writing, so src may equal dst. A scaled kernel multiplies
// the inputs by s as they enter its first butterfly level.
void SmallForward(const float* src, float* dst, int32_t order, bool scaled, float s) {
    C x[8];
    const int32_t count = 1 << order;
    for (int32_t i = 0; i < count; ++i) {
        x[i] = {src[2 * i], src[2 * i + 1]};
        if (scaled) x[i] = {x[i].re * s, x[i].im * s};
    }
    C X[8];
    switch (order) {
    case 0:
        X[0] = x[0];
        break;
    case 1:
        X[0] = Add(x[0], x[1]);
        X[1] = Sub(x[0], x[1]);
        break;
    case 2:
        Dft4(x[0], x[1], x[2], x[3], X);
        break;
    default: {
        C E[4], O[4];
        Dft4(x[0], x[2], x[4], x[6], E);
        Dft4(x[1], x[3], x[5], x[7], O);
        // O[k] times e^(-2 pi i k / 8): (c, -c), -i, (-c, -c).
        const C w[4] = {O[0],
                        {(O[1].re + O[1].im) * HALF_SQRT2, (O[1].im - O[1].re) * HALF_SQRT2},
                        {O[2].im, 0.0f - O[2].re},
                        {(O[3].im - O[3].re) * HALF_SQRT2, (O[3].re + O[3].im) * (-HALF_SQRT2)}};
        for (int32_t k = 0; k < 4; ++k) {
            X[k] = Add(E[k], w[k]);
            X[k + 4] = Sub(E[k], w[k]);
        }
        break;
    }
    }
    for (int32_t i = 0; i < count; ++i) {
        dst[2 * i] = X[i].re;
        dst[2 * i + 1] = X[i].im;
    }
}

template <int32_t Order>
void Plain(const float* src, float* dst) { SmallForward(src, dst, Order, false, 1.0f); }
template <int32_t Order>
void Scaled(const float* src, float* dst, float s) { SmallForward(src, dst, Order, true, s); }

// The work bytes slot 0's initialisation records for complex order p (see RealFft.cpp).
int64_t OwnWorkBytes(int32_t p) {
    if (p < 0 || p > FFT_MAX_ORDER) return -1;
    if (p <= RADIX_MAX_ORDER) return 0;
    int64_t sizes[3];
    GetLargeFftSize(p, sizes);
    return sizes[2];
}

}  // namespace

// Orders 0 and 1 serve every slot; slot 3 runs slot 2's order-2 kernels.
const SmallFftKernelRow SmallComplexFftKernelTable[4] = {
    {{Plain<0>, Plain<1>, Plain<2>, Plain<3>}, {Scaled<0>, Scaled<1>, Scaled<2>, Scaled<3>}},
    {{Plain<0>, Plain<1>, Sse3Variant::SmallComplexForward2, Sse3Variant::SmallComplexForward3},
     {Scaled<0>, Scaled<1>, Sse3Variant::SmallComplexForward2Scaled, Sse3Variant::SmallComplexForward3Scaled}},
    {{Plain<0>, Plain<1>, Ssse3Variant::SmallComplexForward2, Ssse3Variant::SmallComplexForward3},
     {Scaled<0>, Scaled<1>, Ssse3Variant::SmallComplexForward2Scaled, Ssse3Variant::SmallComplexForward3Scaled}},
    {{Plain<0>, Plain<1>, Ssse3Variant::SmallComplexForward2, Sse41Variant::SmallComplexForward3},
     {Scaled<0>, Scaled<1>, Ssse3Variant::SmallComplexForward2Scaled, Sse41Variant::SmallComplexForward3Scaled}},
};

PrimitiveStatus ForwardComplexFftGeneric(const float* src, float* dst, const FftSpec* spec, uint8_t* work) {
    if (spec == nullptr) return StatusNullPointer;
    if (spec->id != SpecIdComplexFft || spec->builderSlot != 0 || spec->workBytes != OwnWorkBytes(spec->order))
        return StatusContextMismatch;
    if (src == nullptr || dst == nullptr) return StatusNullPointer;
    const int32_t p = spec->order;
    if (p <= 3) {
        const SmallFftKernelRow& row = SmallComplexFftKernelTable[0];
        if (spec->scaleForward == 1)
            row.scaled[p](src, dst, spec->scale);
        else
            row.plain[p](src, dst);
        return StatusOk;
    }
    WorkBuffer buffer;
    const PrimitiveStatus status = buffer.Acquire(spec, work);
    if (status != StatusOk) return status;
    const int32_t n = 1 << p;
    const auto* x = reinterpret_cast<const FftComplex*>(src);
    auto* z = reinterpret_cast<FftComplex*>(dst);
    if (p > RADIX_MAX_ORDER) {
        LargeFftForward(spec, x, z, p, buffer.Get());  // scales by itself
    } else {
        // The bit reversal together with the first radix stages, then the later stages.
        BitReverseFirstStagesForward(x, z, n, n, spec->bitReverseTable, spec->twiddleTable);
        Radix4ForwardLaterStages(z, n, spec->twiddleTable);
        if (spec->scaleForward == 1) MultiplyByConstantInPlaceGeneric(spec->scale, dst, 2 * n);
    }
    return StatusOk;
}

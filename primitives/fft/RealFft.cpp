// Real FFT transforms, their small kernels for orders 0 to 3, and the packed-spectrum products.
#include "primitives/fft/RealFft.h"

#include "primitives/core/Memory.h"
#include "primitives/core/VectorBasics.h"
#include "primitives/fft/FftInternal.h"
#include "primitives/fft/FftMath.h"
#include "primitives/fft/FftSlotInternal.h"
#include "primitives/fft/SmallFftKernels.h"

using namespace kvxfft;

namespace {

constexpr float HALF_SQRT2 = 0.70710677f;
constexpr float SQRT2 = 1.4142135f;

// The small kernels read every input before writing, so src may equal dst. A scaled kernel
// multiplies the inputs by s as they enter its first butterfly level.
void SmallForward(const float* src, float* dst, int32_t order, bool scaled, float s) {
    float x[8];
    const int32_t count = 1 << order;
    for (int32_t i = 0; i < count; ++i) x[i] = scaled ? src[i] * s : src[i];
    switch (order) {
    case 0:
        dst[0] = x[0];
        break;
    case 1:
        dst[0] = x[0] + x[1];
        dst[1] = x[0] - x[1];
        break;
    case 2: {
        const float s02 = x[0] + x[2], s13 = x[1] + x[3];
        dst[0] = s02 + s13;
        dst[1] = s02 - s13;
        dst[2] = x[0] - x[2];
        dst[3] = x[3] - x[1];
        break;
    }
    default: {
        const float a0 = x[0] + x[4], a1 = x[0] - x[4];
        const float b0 = x[2] + x[6], b1 = x[2] - x[6];
        const float c0 = x[1] + x[5], c1 = x[1] - x[5];
        const float d0 = x[3] + x[7], d1 = x[3] - x[7];
        const float e = a0 + b0, o = c0 + d0;
        const float t0 = (c1 - d1) * HALF_SQRT2;
        const float t1 = (c1 + d1) * (-HALF_SQRT2);
        dst[0] = e + o;
        dst[1] = e - o;
        dst[2] = a1 + t0;
        dst[3] = t1 - b1;
        dst[4] = a0 - b0;
        dst[5] = d0 - c0;
        dst[6] = a1 - t0;
        dst[7] = b1 + t1;
        break;
    }
    }
}

void SmallInverse(const float* src, float* dst, int32_t order, bool scaled, float s) {
    if (order < 2) {  // the order-0 and order-1 kernels serve both directions
        SmallForward(src, dst, order, scaled, s);
        return;
    }
    float x[8];
    const int32_t count = 1 << order;
    for (int32_t i = 0; i < count; ++i) x[i] = scaled ? src[i] * s : src[i];
    if (order == 2) {
        const float P = x[0] + x[1], M = x[0] - x[1];
        dst[0] = P + 2.0f * x[2];
        dst[2] = P - 2.0f * x[2];
        dst[1] = M - 2.0f * x[3];
        dst[3] = M + 2.0f * x[3];
        return;
    }
    const float X0 = x[0], X4 = x[1], R1 = x[2], I1 = x[3], R2 = x[4], I2 = x[5], R3 = x[6], I3 = x[7];
    const float P = X0 + X4, M = X0 - X4;
    const float u = (R1 - R3) - (I1 + I3);
    const float v = (R1 - R3) + (I1 + I3);
    const float pe = P + 2.0f * R2, po = P - 2.0f * R2;
    const float me = M - 2.0f * I2, mo = M + 2.0f * I2;
    const float r13 = 2.0f * (R1 + R3), i13 = 2.0f * (I1 - I3);
    dst[0] = pe + r13;
    dst[4] = pe - r13;
    dst[2] = po - i13;
    dst[6] = po + i13;
    dst[1] = me + SQRT2 * u;
    dst[5] = me - SQRT2 * u;
    dst[3] = mo - SQRT2 * v;
    dst[7] = mo + SQRT2 * v;
}

template <int32_t Order>
void ForwardPlain(const float* src, float* dst) { SmallForward(src, dst, Order, false, 1.0f); }
template <int32_t Order>
void ForwardScaled(const float* src, float* dst, float s) { SmallForward(src, dst, Order, true, s); }
template <int32_t Order>
void InversePlain(const float* src, float* dst) { SmallInverse(src, dst, Order, false, 1.0f); }
template <int32_t Order>
void InverseScaled(const float* src, float* dst, float s) { SmallInverse(src, dst, Order, true, s); }

// The complex products x[i..] * y[i..] into out[i..] for the pairs from element i up to len, two
// pairs per step. Both parts of each product are formed before either is stored, so out may be y.
inline void ProductPairs(const float* x, const float* y, float* out, int32_t i, int32_t len) {
    for (; i + 3 < len; i += 4) {
        const V4 xv = Load4f(x + i), yv = Load4f(y + i);
        const V4 yr = __builtin_shufflevector(yv, yv, 0, 0, 2, 2);
        const V4 yi = __builtin_shufflevector(yv, yv, 1, 1, 3, 3) * V4{-1.0f, 1.0f, -1.0f, 1.0f};
        Store4f(out + i, xv * yr + SwapReIm(xv) * yi);
    }
    if (i + 1 < len) {
        const float re = x[i] * y[i] - x[i + 1] * y[i + 1];
        const float im = x[i] * y[i + 1] + x[i + 1] * y[i];
        out[i] = re;
        out[i + 1] = im;
    }
}

// The complex FFT of the n = N/2 halves, then the recombination into the packed spectrum.
void ForwardBody(const float* src, float* dst, const FftSpec* spec, int32_t m, uint8_t* work) {
    const int32_t n = 1 << m;
    auto* z = reinterpret_cast<FftComplex*>(dst);
    if (m > RADIX_MAX_ORDER) {
        LargeFftForward(spec, reinterpret_cast<const FftComplex*>(src), z, m, work);
    } else {
        BitReverseFirstStagesForward(reinterpret_cast<const FftComplex*>(src), z, n, n, spec->bitReverseTable,
                                     spec->twiddleTable);
        Radix4ForwardLaterStages(z, n, spec->twiddleTable);
        if (spec->scaleForward == 1) MultiplyByConstantInPlaceGeneric(spec->scale, dst, 2 * n);
    }
    const float x0 = dst[0], x1 = dst[1];
    dst[0] = x0 + x1;
    dst[1] = x0 - x1;
    RealForwardPostProcess(dst, n, spec->forwardRecombination);
}

// The packed spectrum into twice the spectrum of the halves, then their inverse complex FFT.
void InverseBody(const float* src, float* dst, const FftSpec* spec, int32_t m, uint8_t* work) {
    const int32_t n = 1 << m;
    const float x0 = src[0], x1 = src[1];
    dst[0] = x0 + x1;
    dst[1] = x0 - x1;
    RealInversePreProcess(src, dst, n, spec->inverseRecombination);
    auto* z = reinterpret_cast<FftComplex*>(dst);
    if (m > RADIX_MAX_ORDER) {
        LargeFftInverse(spec, z, z, m, work);
    } else {
        BitReverseFirstStagesInverse(z, z, n, n, spec->bitReverseTable, spec->twiddleTable);
        Radix4InverseLaterStages(z, n, spec->twiddleTable);
        if (spec->scaleInverse == 1) MultiplyByConstantInPlaceGeneric(spec->scale, dst, 2 * n);
    }
}

// The work bytes slot 0's initialisation records for real order p; a specification of another
// slot's layout records others from order 4 on, and its tables would not fit these transforms.
int64_t OwnWorkBytes(int32_t p) {
    if (p < 0 || p > FFT_MAX_ORDER) return -1;
    if (p - 1 <= RADIX_MAX_ORDER) return 0;
    int64_t sizes[3];
    GetLargeFftSize(p - 1, sizes);
    return sizes[2];
}

template <bool Inverse>
PrimitiveStatus RealTransform(const float* src, float* dst, const FftSpec* spec, uint8_t* work) {
    if (spec == nullptr) return StatusNullPointer;
    if (spec->id != SpecIdRealFft || spec->builderSlot != 0 || spec->workBytes != OwnWorkBytes(spec->order))
        return StatusContextMismatch;
    if (src == nullptr || dst == nullptr) return StatusNullPointer;
    const int32_t p = spec->order;
    if (p <= 3) {
        const SmallFftKernelRow& row = SmallRealFftKernelTable[Inverse ? 1 : 0];
        if ((Inverse ? spec->scaleInverse : spec->scaleForward) == 1)
            row.scaled[p](src, dst, spec->scale);
        else
            row.plain[p](src, dst);
        return StatusOk;
    }
    WorkBuffer buffer;
    const PrimitiveStatus status = buffer.Acquire(spec, work);
    if (status != StatusOk) return status;
    if (Inverse)
        InverseBody(src, dst, spec, p - 1, buffer.Get());
    else
        ForwardBody(src, dst, spec, p - 1, buffer.Get());
    return StatusOk;
}

}  // namespace

// Order 0 and the order-0 scaled kernel serve every slot, and order 1 both directions of a slot;
// slot 3 runs slot 2's kernels of orders 1 and 2.
const SmallFftKernelRow SmallRealFftKernelTable[8] = {
    {{ForwardPlain<0>, ForwardPlain<1>, ForwardPlain<2>, ForwardPlain<3>},
     {ForwardScaled<0>, ForwardScaled<1>, ForwardScaled<2>, ForwardScaled<3>}},
    {{ForwardPlain<0>, ForwardPlain<1>, InversePlain<2>, InversePlain<3>},
     {ForwardScaled<0>, ForwardScaled<1>, InverseScaled<2>, InverseScaled<3>}},
    {{ForwardPlain<0>, Sse3Variant::SmallRealForward1, Sse3Variant::SmallRealForward2, Sse3Variant::SmallRealForward3},
     {ForwardScaled<0>, Sse3Variant::SmallRealForward1Scaled, Sse3Variant::SmallRealForward2Scaled,
      Sse3Variant::SmallRealForward3Scaled}},
    {{ForwardPlain<0>, Sse3Variant::SmallRealForward1, Sse3Variant::SmallRealInverse2, Sse3Variant::SmallRealInverse3},
     {ForwardScaled<0>, Sse3Variant::SmallRealForward1Scaled, Sse3Variant::SmallRealInverse2Scaled,
      Sse3Variant::SmallRealInverse3Scaled}},
    {{ForwardPlain<0>, Ssse3Variant::SmallRealForward1, Ssse3Variant::SmallRealForward2,
      Ssse3Variant::SmallRealForward3},
     {ForwardScaled<0>, Ssse3Variant::SmallRealForward1Scaled, Ssse3Variant::SmallRealForward2Scaled,
      Ssse3Variant::SmallRealForward3Scaled}},
    {{ForwardPlain<0>, Ssse3Variant::SmallRealForward1, Ssse3Variant::SmallRealInverse2,
      Ssse3Variant::SmallRealInverse3},
     {ForwardScaled<0>, Ssse3Variant::SmallRealForward1Scaled, Ssse3Variant::SmallRealInverse2Scaled,
      Ssse3Variant::SmallRealInverse3Scaled}},
    {{ForwardPlain<0>, Ssse3Variant::SmallRealForward1, Ssse3Variant::SmallRealForward2,
      Sse41Variant::SmallRealForward3},
     {ForwardScaled<0>, Ssse3Variant::SmallRealForward1Scaled, Ssse3Variant::SmallRealForward2Scaled,
      Sse41Variant::SmallRealForward3Scaled}},
    {{ForwardPlain<0>, Ssse3Variant::SmallRealForward1, Ssse3Variant::SmallRealInverse2,
      Sse41Variant::SmallRealInverse3},
     {ForwardScaled<0>, Ssse3Variant::SmallRealForward1Scaled, Ssse3Variant::SmallRealInverse2Scaled,
      Sse41Variant::SmallRealInverse3Scaled}},
};

PrimitiveStatus ForwardRealFft(const float* src, float* dst, const FftSpec* spec, uint8_t* work) {
    return RealTransform<false>(src, dst, spec, work);
}

PrimitiveStatus InverseRealFft(const float* src, float* dst, const FftSpec* spec, uint8_t* work) {
    return RealTransform<true>(src, dst, spec, work);
}

PrimitiveStatus ForwardRealFftInPlaceGeneric(float* srcDst, const FftSpec* spec, uint8_t* work) {
    return ForwardRealFft(srcDst, srcDst, spec, work);
}

PrimitiveStatus InverseRealFftInPlaceGeneric(float* srcDst, const FftSpec* spec, uint8_t* work) {
    return InverseRealFft(srcDst, srcDst, spec, work);
}

namespace {

// Element 0 (and element 1 for an even length) are real numbers; complex pairs follow. out may be
// y; when it is not, it overlaps neither input, so forming both parts of a product before storing
// them gives the values of storing each real part first.
PrimitiveStatus MultiplySpectra(const float* x, const float* y, float* out, int32_t len) {
    if (x == nullptr || y == nullptr || out == nullptr) return StatusNullPointer;
    if (len <= 0) return StatusSizeError;
    out[0] = x[0] * y[0];
    int32_t i = 1;
    if (len % 2 == 0) {
        out[1] = x[1] * y[1];
        i = 2;
    }
    ProductPairs(x, y, out, i, len);
    return StatusOk;
}

}  // namespace

PrimitiveStatus MultiplyPackedSpectrumInPlace(const float* src, float* srcDst, int32_t len) {
    return MultiplySpectra(src, srcDst, srcDst, len);
}

PrimitiveStatus MultiplyPackedSpectrumGeneric(const float* a, const float* b, float* dst, int32_t len) {
    return MultiplySpectra(a, b, dst, len);
}

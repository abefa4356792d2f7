// The generic IIR loop, transposed direct form. For orders of 2 or more the samples go two at a
// time, so that the delay line is walked once per pair; the pairing fixes the rounding, which is
// why a signal cut into calls of even length filters bit for bit like one call.
#include "primitives/filter/IirFilter.h"

#include "primitives/core/VectorBasics.h"
#include "primitives/filter/FilterSlot.h"

const IirSlotOps GenericIirSlot = {
    0, ZeroFloatGeneric, CopyFloatGeneric, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

namespace {

void FilterOrder1(const float* src, float* dst, int32_t len, IirState* state) {
    const float b0 = state->taps[0], b1 = state->taps[1], a1 = state->taps[2];
    float z0 = state->delayLine[0];
    for (int32_t i = 0; i < len; ++i) {
        const float x = src[i];
        const float y = (b0 * x) + z0;
        z0 = (x * b1) - (a1 * y);
        dst[i] = y;
    }
    state->delayLine[0] = z0;
}

// b[k] = b_k (k = 0..N), a[k] = a_k (k = 1..N, a[0] unused), z[0..N] with z[N] = 0.
// One pair: x0, x1 read before y0, y1 are stored, so src may be dst.
template <typename Z, typename C>
inline void PairStep(int32_t n, const C& b, const C& a, Z& z, const float* src, float* dst) {
    const float x0 = src[0], x1 = src[1];
    const float y0 = (b[0] * x0) + z[0];
    const float y1 = (((b[0] * x1) + z[1]) + (b[1] * x0)) - (a[1] * y0);
    for (int32_t j = 0; j + 2 <= n; ++j)
        z[j] = ((((b[j + 1] * x1) - (a[j + 1] * y1)) + (b[j + 2] * x0)) - (a[j + 2] * y0)) + z[j + 2];
    z[n - 1] = (b[n] * x1) - (a[n] * y1);
    dst[0] = y0;
    dst[1] = y1;
}

template <typename Z, typename C>
inline void SingleStep(int32_t n, const C& b, const C& a, Z& z, const float* src, float* dst) {
    const float x = src[0];
    const float y = (b[0] * x) + z[0];
    for (int32_t j = 0; j < n; ++j) z[j] = ((b[j + 1] * x) - (a[j + 1] * y)) + z[j + 1];
    dst[0] = y;
}

// Small orders with coefficients and delays in local arrays the compiler keeps in registers.
template <int32_t N>
void FilterFixedOrder(const float* src, float* dst, int32_t len, IirState* state) {
    float b[N + 1], a[N + 1], z[N + 1];
    a[0] = 0.0f;
    for (int32_t k = 0; k <= N; ++k) {
        b[k] = state->taps[k];
        if (k > 0) a[k] = state->taps[N + k];
        z[k] = state->delayLine[k];
    }
    z[N] = 0.0f;
    int32_t i = 0;
    for (; i + 1 < len; i += 2) PairStep(N, b, a, z, src + i, dst + i);
    if (i < len) SingleStep(N, b, a, z, src + i, dst + i);
    for (int32_t k = 0; k < N; ++k) state->delayLine[k] = z[k];
}

// Any order, on the state's own arrays. a is offset so that a[k] = a_k.
void FilterAnyOrder(const float* src, float* dst, int32_t len, IirState* state) {
    const int32_t n = state->order;
    const float* b = state->taps;
    const float* a = state->taps + n;
    float* z = state->delayLine;
    int32_t i = 0;
    for (; i + 1 < len; i += 2) PairStep(n, b, a, z, src + i, dst + i);
    if (i < len) SingleStep(n, b, a, z, src + i, dst + i);
}

void FilterArbitrary(const float* src, float* dst, int32_t len, IirState* state) {
    switch (state->order) {
    case 1: FilterOrder1(src, dst, len, state); break;
    case 2: FilterFixedOrder<2>(src, dst, len, state); break;
    case 3: FilterFixedOrder<3>(src, dst, len, state); break;
    case 4: FilterFixedOrder<4>(src, dst, len, state); break;
    case 5: FilterFixedOrder<5>(src, dst, len, state); break;
    case 6: FilterFixedOrder<6>(src, dst, len, state); break;
    case 7: FilterFixedOrder<7>(src, dst, len, state); break;
    case 8: FilterFixedOrder<8>(src, dst, len, state); break;
    default: FilterAnyOrder(src, dst, len, state); break;
    }
}

// K consecutive sections, each sample through all of them before the next sample: the sections'
// recursions overlap in the processor, and their delays stay in registers.
template <int32_t K>
void FilterSections(const float* in, float* dst, int32_t len, const float* taps, float* delays) {
    float c0[K], c1[K], c2[K], c3[K], nc4[K], z0[K], z1[K];
    for (int32_t s = 0; s < K; ++s) {
        const float* c = taps + 5 * s;
        c0[s] = c[0];
        c1[s] = c[1];
        c2[s] = c[2];
        c3[s] = c[3];
        nc4[s] = 0.0f - c[4];
        z0[s] = delays[2 * s];
        z1[s] = delays[2 * s + 1];
    }
    for (int32_t i = 0; i < len; ++i) {
        float x = in[i];
#pragma GCC unroll 8
        for (int32_t s = 0; s < K; ++s) {
            const float y = (c0[s] * x) + z0[s];
            z0[s] = ((c1[s] * x) + z1[s]) - (c3[s] * y);
            z1[s] = (c2[s] * x) + (nc4[s] * y);
            x = y;
        }
        dst[i] = x;
    }
    for (int32_t s = 0; s < K; ++s) {
        delays[2 * s] = z0[s];
        delays[2 * s + 1] = z1[s];
    }
}

// Sections k = 0, 2, 4, ... while k < order (the order counts delay values), in groups of at
// most eight; the first group reads the block's input, later ones rewrite dst. A section's
// arithmetic per sample does not depend on the grouping.
void FilterBiquad(const float* src, float* dst, int32_t len, IirState* state) {
    const int32_t sections = (state->order + 1) / 2;
    if (sections <= 0) {
        for (int32_t i = 0; i < len; ++i) dst[i] = 0.0f;
        return;
    }
    const float* in = src;
    for (int32_t first = 0; first < sections; first += 8) {
        const float* taps = state->taps + 5 * first;
        float* delays = state->delayLine + 2 * first;
        switch (sections - first < 8 ? sections - first : 8) {
        case 1: FilterSections<1>(in, dst, len, taps, delays); break;
        case 2: FilterSections<2>(in, dst, len, taps, delays); break;
        case 3: FilterSections<3>(in, dst, len, taps, delays); break;
        case 4: FilterSections<4>(in, dst, len, taps, delays); break;
        case 5: FilterSections<5>(in, dst, len, taps, delays); break;
        case 6: FilterSections<6>(in, dst, len, taps, delays); break;
        case 7: FilterSections<7>(in, dst, len, taps, delays); break;
        default: FilterSections<8>(in, dst, len, taps, delays); break;
        }
        in = dst;
    }
}

}  // namespace

PrimitiveStatus FilterIirFor(const IirSlotOps& ops, const float* src, float* dst, int32_t len, IirState* state) {
    if (state == nullptr || src == nullptr || dst == nullptr) return StatusNullPointer;
    if (len <= 0) return StatusSizeError;
    if (state->tag != StateIdIir && state->tag != StateIdIirBiquad) return StatusContextMismatch;
    // Another slot's layout: its builder never wrote the areas this slot would read.
    if (state->builderSlot != static_cast<uint32_t>(ops.slot)) return StatusContextMismatch;
    if (ops.slot != 0) {
        FilterIirBlocks(ops, src, dst, len, state);
    } else if (state->tag == StateIdIir) {
        FilterArbitrary(src, dst, len, state);
    } else {
        FilterBiquad(src, dst, len, state);
    }
    return StatusOk;
}

PrimitiveStatus FilterIirGeneric(const float* src, float* dst, int32_t len, IirState* state) {
    return FilterIirFor(GenericIirSlot, src, dst, len, state);
}

PrimitiveStatus FilterIirInPlaceGeneric(float* srcDst, int32_t len, IirState* state) {
    if (state == nullptr || srcDst == nullptr) return StatusNullPointer;
    return FilterIirFor(GenericIirSlot, srcDst, srcDst, len, state);
}

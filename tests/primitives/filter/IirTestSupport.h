// Test-only helpers for the IIR tests: stable random filters, double-precision references
// (transposed direct form and a biquad cascade) and states in guarded caller memory.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "primitives/Primitives.h"
#include "primitives/filter/FilterSlotVariants.h"
#include "primitives/filter/IirState.h"

namespace iirtest {

inline uint32_t Bits(float v) {
    uint32_t b;
    memcpy(&b, &v, sizeof(b));
    return b;
}

inline float FromBits(uint32_t b) {
    float v;
    memcpy(&v, &b, sizeof(v));
    return v;
}

// 2N+2 raw coefficients b0..bN, a0..aN of a stable filter: poles of radius 0.3 to 0.85, a0 = 1.5
// so that normalisation is not a no-op.
inline std::vector<float> StableFilter(int32_t order, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> radius(0.3, 0.85), angle(0.1, 3.0), coef(-1.0, 1.0);
    std::vector<std::complex<double>> a{1.0};
    auto multiply = [&a](std::complex<double> root) {
        std::vector<std::complex<double>> next(a.size() + 1, 0.0);
        for (size_t i = 0; i < a.size(); ++i) {
            next[i] += a[i];
            next[i + 1] -= a[i] * root;
        }
        a = next;
    };
    int32_t k = 0;
    for (; k + 1 < order; k += 2) {
        const std::complex<double> p = std::polar(radius(rng), angle(rng));
        multiply(p);
        multiply(std::conj(p));
    }
    if (k < order) multiply(radius(rng) * (coef(rng) < 0 ? -1.0 : 1.0));
    std::vector<float> taps(2 * order + 2);
    for (int32_t i = 0; i <= order; ++i) taps[i] = static_cast<float>(coef(rng));
    for (int32_t i = 0; i <= order; ++i) taps[order + 1 + i] = static_cast<float>(1.5 * a[i].real());
    return taps;
}

inline std::vector<float> RandomSignal(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> x(n);
    for (auto& v : x) v = dist(rng);
    return x;
}

// Transposed direct form in double over normalised coefficients b0..bN, a1..aN (a state's taps),
// from the delays z0..z(N-1).
inline std::vector<double> TransposedReference(const float* taps, int32_t order, const std::vector<float>& x,
                                               std::vector<double> z = {}) {
    z.resize(order + 1, 0.0);
    z[order] = 0.0;
    std::vector<double> y(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        const double xi = x[i];
        const double yi = taps[0] * xi + z[0];
        for (int32_t j = 0; j < order; ++j)
            z[j] = double(taps[j + 1]) * xi - double(taps[order + j + 1]) * yi + z[j + 1];
        y[i] = yi;
    }
    return y;
}

// A cascade of sections (b0, b1, b2, a1, a2 each, normalised) in double.
inline std::vector<double> BiquadReference(const float* taps, int32_t sections, const std::vector<float>& x) {
    std::vector<double> z(2 * sections, 0.0);
    std::vector<double> y(x.size());
    for (size_t i = 0; i < x.size(); ++i) {
        double v = x[i];
        for (int32_t s = 0; s < sections; ++s) {
            const float* c = taps + 5 * s;
            const double out = c[0] * v + z[2 * s];
            z[2 * s] = c[1] * v + z[2 * s + 1] - c[3] * out;
            z[2 * s + 1] = c[2] * v - c[4] * out;
            v = out;
        }
        y[i] = v;
    }
    return y;
}

// Sum of |impulse response| of the filter given by normalised taps, over enough samples for the
// stable filters above to have died out.
inline double AbsoluteGain(const float* taps, int32_t order, bool biquad) {
    std::vector<float> impulse(6000, 0.0f);
    impulse[0] = 1.0f;
    const std::vector<double> h =
        biquad ? BiquadReference(taps, order / 2, impulse) : TransposedReference(taps, order, impulse);
    double sum = 0;
    for (double v : h) sum += std::fabs(v);
    return sum;
}

// The biquad-cascade builder and size of the slot that runs now (no entry point builds one).
inline PrimitiveStatus GetIirBiquadStateSizeInSlot(int32_t sections, int32_t* pSize) {
    return DispatchIndex == 0 ? GetIirBiquadStateSize(sections, pSize) : GetIirBiquadStateSizeSse(sections, pSize);
}

inline PrimitiveStatus InitIirBiquadStateInSlot(IirState** ppState, const float* sections, int32_t count,
                                                const float* dly, uint8_t* buffer) {
    using Builder = PrimitiveStatus (*)(IirState**, const float*, int32_t, const float*, uint8_t*);
    const Builder builders[4] = {InitIirBiquadState, Sse3Variant::InitIirBiquadStateSse3,
                                 Ssse3Variant::InitIirBiquadStateSsse3, Sse41Variant::InitIirBiquadStateSse41};
    return builders[DispatchIndex](ppState, sections, count, dly, buffer);
}

// An arbitrary-order state in a byte vector sized by GetIirStateSize.
class CallerState {
public:
    CallerState(const std::vector<float>& taps, int32_t order, const float* dly = nullptr) {
        int32_t size = 0;
        m_status = GetIirStateSize(order, &size);
        if (m_status != StatusOk) return;
        m_memory.assign(size, 0xEE);
        m_status = InitIirState(&m_pState, taps.data(), order, dly, m_memory.data());
    }
    IirState* get() const { return m_pState; }
    PrimitiveStatus status() const { return m_status; }

private:
    std::vector<uint8_t> m_memory;
    IirState* m_pState = nullptr;
    PrimitiveStatus m_status = StatusOk;
};

// A biquad cascade of K sections given as (b0, b1, b2, a0, a1, a2) groups.
class BiquadState {
public:
    BiquadState(const std::vector<float>& sections, int32_t count, const float* dly = nullptr) {
        int32_t size = 0;
        m_status = GetIirBiquadStateSizeInSlot(count, &size);
        if (m_status != StatusOk) return;
        m_memory.assign(size, 0xEE);
        m_status = InitIirBiquadStateInSlot(&m_pState, sections.data(), count, dly, m_memory.data());
    }
    IirState* get() const { return m_pState; }
    PrimitiveStatus status() const { return m_status; }

private:
    std::vector<uint8_t> m_memory;
    IirState* m_pState = nullptr;
    PrimitiveStatus m_status = StatusOk;
};

// K stable sections with a0 = 2 (normalisation exact) or another a0.
inline std::vector<float> StableSections(int32_t count, uint32_t seed, float a0 = 2.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> radius(0.3, 0.9), angle(0.1, 3.0), coef(-1.0, 1.0);
    std::vector<float> s;
    for (int32_t k = 0; k < count; ++k) {
        const double r = radius(rng), t = angle(rng);
        s.push_back(static_cast<float>(coef(rng)));
        s.push_back(static_cast<float>(coef(rng)));
        s.push_back(static_cast<float>(coef(rng)));
        s.push_back(a0);
        s.push_back(static_cast<float>(a0 * (-2.0 * r * std::cos(t))));
        s.push_back(static_cast<float>(a0 * (r * r)));
    }
    return s;
}

}  // namespace iirtest

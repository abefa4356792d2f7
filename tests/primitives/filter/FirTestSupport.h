// Test-only helpers for the FIR tests: double-precision references, random signals, buffers with
// guard bytes and canary fills.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "primitives/Primitives.h"
#include "primitives/filter/FilterSlotVariants.h"
#include "primitives/filter/FirState.h"

namespace firtest {

inline uint32_t Bits(float v) {
    uint32_t b;
    std::memcpy(&b, &v, sizeof(b));
    return b;
}

inline std::vector<float> RandomSignal(size_t count, uint32_t seed, float scale = 1.0f) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-scale, scale);
    std::vector<float> v(count);
    for (auto& x : v) x = dist(rng);
    return v;
}

// Random block sizes from 1 to maxBlock that add up to total.
inline std::vector<int32_t> RandomCuts(int32_t total, int32_t maxBlock, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<int32_t> cuts;
    while (total > 0) {
        int32_t c = 1 + static_cast<int32_t>(rng() % static_cast<uint32_t>(maxBlock));
        if (c > total) c = total;
        cuts.push_back(c);
        total -= c;
    }
    return cuts;
}

// The stream a filter sees: history (given most recent first, as the builders take it) followed by
// the inputs, so that element history.size() + s is x[s].
inline std::vector<float> Stream(const std::vector<float>& historyRecentFirst, const std::vector<float>& x) {
    std::vector<float> s(historyRecentFirst.rbegin(), historyRecentFirst.rend());
    s.insert(s.end(), x.begin(), x.end());
    return s;
}

// Single-rate convolution over the whole stream in double: y[i] = sum over m of h[m] * x[i-m].
inline std::vector<double> ConvolveDouble(const std::vector<float>& h, const std::vector<float>& history,
                                          const std::vector<float>& x) {
    const std::vector<float> s = Stream(history, x);
    const int64_t H = static_cast<int64_t>(history.size());
    std::vector<double> y(x.size());
    for (int64_t i = 0; i < static_cast<int64_t>(x.size()); ++i) {
        double sum = 0.0;
        for (int64_t m = 0; m < static_cast<int64_t>(h.size()); ++m) {
            const int64_t at = H + i - m;
            if (at >= 0) sum += static_cast<double>(h[m]) * static_cast<double>(s[at]);
        }
        y[i] = sum;
    }
    return y;
}

// The direct form's exact float result: each sum from 0, oldest tap position first.
inline std::vector<float> ConvolveFloatOrdered(const std::vector<float>& h, const std::vector<float>& history,
                                               const std::vector<float>& x) {
    const std::vector<float> s = Stream(history, x);
    const int64_t H = static_cast<int64_t>(history.size());
    const int64_t L = static_cast<int64_t>(h.size());
    std::vector<float> y(x.size());
    for (int64_t i = 0; i < static_cast<int64_t>(x.size()); ++i) {
        float sum = 0.0f;
        for (int64_t j = 0; j < L; ++j) {
            const int64_t at = H + i - (L - 1 - j);
            sum += h[L - 1 - j] * (at >= 0 ? s[at] : 0.0f);
        }
        y[i] = sum;
    }
    return y;
}

// Multi-rate definition in double: zero-stuff (input s at s * up + upPhase), filter, keep every
// down-th sample from downPhase.
inline std::vector<double> MultiRateDouble(const std::vector<float>& h, int32_t up, int32_t upPhase, int32_t down,
                                           int32_t downPhase, const std::vector<float>& history,
                                           const std::vector<float>& x, size_t outputs) {
    const std::vector<float> s = Stream(history, x);
    const int64_t H = static_cast<int64_t>(history.size());
    std::vector<double> y(outputs);
    for (int64_t i = 0; i < static_cast<int64_t>(outputs); ++i) {
        const int64_t t = i * down + downPhase;
        double sum = 0.0;
        for (int64_t k = 0; k < static_cast<int64_t>(h.size()); ++k) {
            const int64_t r = t - k - upPhase;
            if (r % up != 0) continue;
            const int64_t at = H + r / up;
            if (at >= 0 && at < static_cast<int64_t>(s.size())) {
                sum += static_cast<double>(h[k]) * static_cast<double>(s[at]);
            }
        }
        y[i] = sum;
    }
    return y;
}

// The float error bound: c * 2^-24 * sum|h| * max|x|.
inline double ErrorBound(const std::vector<float>& h, const std::vector<float>& x, double c) {
    double sumH = 0.0;
    for (float v : h) sumH += std::fabs(static_cast<double>(v));
    double maxX = 0.0;
    for (float v : x) maxX = std::fmax(maxX, std::fabs(static_cast<double>(v)));
    return c * std::ldexp(1.0, -24) * sumH * maxX;
}

inline double MaxError(const std::vector<float>& got, const std::vector<double>& want) {
    double worst = 0.0;
    for (size_t i = 0; i < got.size(); ++i) {
        worst = std::fmax(worst, std::fabs(static_cast<double>(got[i]) - want[i]));
    }
    return worst;
}

// Bytes with a guard after a chosen number of usable bytes, starting at a chosen offset from a
// 64-byte boundary: a build that writes past its reported size spoils the guard.
class GuardedBuffer {
public:
    static constexpr uint8_t GUARD = 0xA7;
    static constexpr size_t GUARD_BYTES = 64;

    GuardedBuffer(size_t bytes, size_t offset, uint8_t fill = 0xEE)
        : m_storage(bytes + offset + GUARD_BYTES + 64, GUARD), m_bytes(bytes) {
        auto base = reinterpret_cast<uintptr_t>(m_storage.data());
        m_data = reinterpret_cast<uint8_t*>((base + 63) & ~uintptr_t{63}) + offset;
        std::memset(m_data, fill, bytes);
    }
    uint8_t* Data() { return m_data; }
    bool GuardIntact() const {
        for (size_t i = 0; i < GUARD_BYTES; ++i) {
            if (m_data[m_bytes + i] != GUARD) return false;
        }
        return true;
    }

private:
    std::vector<uint8_t> m_storage;
    uint8_t* m_data;
    size_t m_bytes;
};

// The slot the entry points run now (forced by the test fixture).
inline int32_t Slot() { return DispatchIndex; }

// The FFT work bytes the slot that runs now reports for a state's order (the size query follows
// the slot): 0 in slot 0 up to order 13, the slot's layout needs a work buffer from order 4 on.
inline int32_t SlotFftWorkBytes(int32_t order) {
    int32_t spec = 0, init = 0, work = 0;
    return GetRealFftSize(order, FftScaleInverse, 0, &spec, &init, &work) == StatusOk ? work : -1;
}

// Bytes the layouts of slots 1 to 3 add for the replicated taps.
inline int32_t ReplicatedBytes(int32_t taps) { return Slot() == 0 ? 0 : 4 * ((4 * taps + 15) & ~15); }

// The multi-rate builder of one mode in the slot that runs now.
inline MultiRateFirState* BuildModeInSlot(int32_t mode, const float* taps, int32_t tapsLen, int32_t up,
                                          int32_t upPhase, int32_t down, int32_t downPhase, const float* delay,
                                          PrimitiveStatus* pStatus, uint8_t* buffer) {
    using Builder = MultiRateFirState* (*)(const float*, int32_t, int32_t, int32_t, int32_t, int32_t, const float*,
                                           PrimitiveStatus*, uint8_t*, uint32_t);
    const Builder mode1[4] = {BuildMultiRateFirStateMode1, Sse3Variant::BuildMultiRateFirStateMode1Sse,
                              Ssse3Variant::BuildMultiRateFirStateMode1Sse, Sse41Variant::BuildMultiRateFirStateMode1Sse};
    const Builder mode23[4] = {BuildMultiRateFirStateMode23, Sse3Variant::BuildMultiRateFirStateMode23Sse,
                               Ssse3Variant::BuildMultiRateFirStateMode23Sse,
                               Sse41Variant::BuildMultiRateFirStateMode23Sse};
    const Builder build = (mode == 1 ? mode1 : mode23)[Slot()];
    return build(taps, tapsLen, up, upPhase, down, downPhase, delay, pStatus, buffer, StateIdMultiRateFir);
}

// The one-sample kernel of slots 1 to 3 on the window w (the line from the new index on): the
// plain sum up to 16 taps; beyond, single products into s0 until the window is 16-byte aligned,
// eight products per step (window lanes reversed against four taps from the end down, the two
// products added first), four, two, one, and (s0 + s2) + (s1 + s3).
inline float OneSampleKernelModel(const float* w, const float* taps, int32_t L) {
    auto p = [&](int64_t k) { return w[k] * taps[L - 1 - k]; };
    if (L <= 16) {
        float s = 0.0f;
        for (int64_t k = 0; k < L; ++k) s = s + p(k);
        return s;
    }
    float s[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    int64_t k = 0;
    if (reinterpret_cast<uintptr_t>(w) % 4 == 0) {
        for (; reinterpret_cast<uintptr_t>(w + k) % 16 != 0; ++k) s[0] = s[0] + p(k);
    }
    for (; L - k >= 8; k += 8) {
        for (int64_t l = 0; l < 4; ++l) s[l] = s[l] + (p(k + 3 - l) + p(k + 7 - l));
    }
    if (L - k >= 4) {
        for (int64_t l = 0; l < 4; ++l) s[l] = s[l] + p(k + 3 - l);
        k += 4;
    }
    if (L - k >= 2) {
        s[0] = s[0] + p(k + 1);
        s[1] = s[1] + p(k);
        k += 2;
    }
    if (k < L) s[0] = s[0] + p(k);
    return (s[0] + s[2]) + (s[1] + s[3]);
}

// A single-rate state in memory of exactly its reported size.
struct InBufferFir {
    explicit InBufferFir(const std::vector<float>& h, const float* history = nullptr, size_t offset = 0) {
        int32_t size = 0;
        status = GetFirStateSize(static_cast<int32_t>(h.size()), &size);
        if (status != StatusOk) return;
        buffer = std::make_unique<GuardedBuffer>(static_cast<size_t>(size), offset);
        status = InitFirState(&state, h.data(), static_cast<int32_t>(h.size()), history, buffer->Data());
    }
    PrimitiveStatus status = StatusOk;
    FirState* state = nullptr;
    std::unique_ptr<GuardedBuffer> buffer;
};

}  // namespace firtest

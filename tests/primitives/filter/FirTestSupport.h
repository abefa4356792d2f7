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

// Test arrays at chosen byte offsets from a 32-byte boundary. Elements are read and written
// through memcpy so that arrays at odd addresses are legal to touch from the tests too.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "primitives/vector/VectorAccess.h"

namespace vectest {

using kvxvec::Bits;
using kvxvec::FromBits;

class TestArray {
public:
    explicit TestArray(const std::vector<float>& values, size_t byteOffset = 0)
        : m_storage(values.size() * 4 + 64, 0)
    {
        const auto base = reinterpret_cast<uintptr_t>(m_storage.data());
        const uintptr_t aligned = (base + 31) & ~static_cast<uintptr_t>(31);
        m_p = reinterpret_cast<float*>(aligned + byteOffset);
        m_count = values.size();
        for (size_t i = 0; i < values.size(); ++i) {
            Set(i, values[i]);
        }
    }

    float* Data() { return m_p; }
    float Get(size_t i) const
    {
        float v;
        std::memcpy(&v, reinterpret_cast<const unsigned char*>(m_p) + i * 4, 4);
        return v;
    }
    uint32_t BitsAt(size_t i) const { return Bits(Get(i)); }
    void Set(size_t i, float v) { std::memcpy(reinterpret_cast<unsigned char*>(m_p) + i * 4, &v, 4); }
    std::vector<uint32_t> AllBits() const
    {
        std::vector<uint32_t> out(m_count);
        for (size_t i = 0; i < m_count; ++i) {
            out[i] = BitsAt(i);
        }
        return out;
    }

private:
    std::vector<unsigned char> m_storage;
    float* m_p = nullptr;
    size_t m_count = 0;
};

inline std::vector<float> RandomValues(size_t n, float lo, float hi, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(lo, hi);
    std::vector<float> v(n);
    for (auto& x : v) {
        x = dist(rng);
    }
    return v;
}

// Distance in units in the last place between two finite floats of the same sign.
inline int64_t UlpDistance(float a, float b)
{
    return std::llabs(static_cast<int64_t>(Bits(a)) - static_cast<int64_t>(Bits(b)));
}

constexpr uint32_t NAN_PATTERN = 0xFFC00000u;
constexpr uint32_t PLUS_INF = 0x7F800000u;
constexpr uint32_t MINUS_INF = 0xFF800000u;
constexpr uint32_t MINUS_ZERO = 0x80000000u;

}  // namespace vectest

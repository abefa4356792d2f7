// Small helpers shared by the core primitive tests.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

namespace coretest {

inline uint32_t Bits(float v)
{
    uint32_t b;
    memcpy(&b, &v, sizeof(b));
    return b;
}

inline float FromBits(uint32_t b)
{
    float v;
    memcpy(&v, &b, sizeof(v));
    return v;
}

// A block of 32-bit words with guard words on both sides, placed at a chosen byte offset from a
// 64-byte boundary, so that a test can both pick the alignment and see a stray write.
class GuardedWords {
public:
    static constexpr uint32_t GUARD = 0xA5A5A5A5u;
    static constexpr size_t GUARD_WORDS = 8;

    GuardedWords(size_t count, size_t offsetBytes = 0)
        : m_storage((count + 2 * GUARD_WORDS) * 4 + 64 + offsetBytes + 4, 0xA5), m_count(count)
    {
        auto base = reinterpret_cast<uintptr_t>(m_storage.data());
        uintptr_t aligned = (base + 63) & ~static_cast<uintptr_t>(63);
        m_data = reinterpret_cast<uint8_t*>(aligned) + offsetBytes + GUARD_WORDS * 4;
    }

    float* Floats() { return reinterpret_cast<float*>(m_data); }
    int32_t* Ints() { return reinterpret_cast<int32_t*>(m_data); }
    uint8_t* Bytes() { return m_data; }
    size_t Count() const { return m_count; }

    bool GuardsIntact() const
    {
        for (size_t i = 0; i < GUARD_WORDS * 4; ++i) {
            if (m_data[-1 - static_cast<ptrdiff_t>(i)] != 0xA5 || m_data[m_count * 4 + i] != 0xA5) {
                return false;
            }
        }
        return true;
    }

private:
    std::vector<uint8_t> m_storage;
    uint8_t* m_data;
    size_t m_count;
};

// An array of n elements of T at a byte offset from a 64-byte boundary, with guard bytes on both
// sides: any address and any element width, element access through memcpy.
template <typename T>
class GuardedArray {
public:
    GuardedArray(size_t n, size_t offset) : m_bytes(n * sizeof(T)), m_storage(m_bytes + 256, 0xA5)
    {
        const auto base = reinterpret_cast<uintptr_t>(m_storage.data()) + 64;
        m_data = reinterpret_cast<uint8_t*>((base + 63) & ~uintptr_t{63}) + offset;
    }
    T* Data() { return reinterpret_cast<T*>(m_data); }
    T Get(size_t i) const
    {
        T v;
        memcpy(&v, m_data + i * sizeof(T), sizeof(T));
        return v;
    }
    void Set(size_t i, T v) { memcpy(m_data + i * sizeof(T), &v, sizeof(T)); }
    void Fill(const std::vector<T>& v)
    {
        for (size_t i = 0; i < v.size(); ++i) {
            Set(i, v[i]);
        }
    }
    bool GuardsIntact() const
    {
        for (const uint8_t* p = m_storage.data(); p < m_storage.data() + m_storage.size(); ++p) {
            if ((p < m_data || p >= m_data + m_bytes) && *p != 0xA5) {
                return false;
            }
        }
        return true;
    }

private:
    size_t m_bytes;
    std::vector<uint8_t> m_storage;
    uint8_t* m_data;
};

// Floats of every kind: ordinary values of many magnitudes, zeros, infinities, NaNs with payloads,
// subnormals.
inline std::vector<float> MixedFloats(size_t count, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<float> v(count);
    for (size_t i = 0; i < count; ++i) {
        switch (rng() % 4) {
        case 0:
            v[i] = FromBits(static_cast<uint32_t>(rng()));
            break;
        case 1:
            v[i] = std::uniform_real_distribution<float>(-1.5f, 1.5f)(rng);
            break;
        default:
            v[i] = std::uniform_real_distribution<float>(-70000.0f, 70000.0f)(rng);
            break;
        }
    }
    const float specials[] = {0.0f,   -0.0f, 0.5f,     -0.5f,       1.5f,      2.5f,       -2.5f,
                              1.0f,   -1.0f, 32767.5f, -32768.5f,   32767.0f,  -32768.0f,  8388607.5f,
                              8388606.5f,    -8388610.0f,           2147483520.0f, -2147483648.0f,
                              FromBits(0x7F800000u), FromBits(0xFF800000u), FromBits(0x7FC00001u),
                              FromBits(0xFF800123u), FromBits(1),   FromBits(0x3EFFFFFFu)};
    for (size_t i = 0; i < sizeof(specials) / sizeof(specials[0]) && i < count; ++i) {
        v[i] = specials[i];
    }
    return v;
}

// Pages that fault on any access on both sides of a readable and writable area (one page, or as
// many as `bytes` needs): a kernel given an array flush against either guard faults at its first
// stray byte.
class GuardedPage {
public:
    explicit GuardedPage(size_t bytes = 0)
    {
        m_page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        m_pages = bytes == 0 ? 1 : (bytes + m_page - 1) / m_page;
        void* p = mmap(nullptr, (m_pages + 2) * m_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) {
            abort();
        }
        m_base = static_cast<uint8_t*>(p);
        mprotect(m_base, m_page, PROT_NONE);
        mprotect(m_base + (m_pages + 1) * m_page, m_page, PROT_NONE);
    }
    ~GuardedPage() { munmap(m_base, (m_pages + 2) * m_page); }
    GuardedPage(const GuardedPage&) = delete;
    GuardedPage& operator=(const GuardedPage&) = delete;

    uint8_t* Start() { return m_base + m_page; }
    uint8_t* EndMinus(size_t bytes) { return m_base + (m_pages + 1) * m_page - bytes; }

private:
    size_t m_page = 4096;
    size_t m_pages = 1;
    uint8_t* m_base = nullptr;
};

}  // namespace coretest

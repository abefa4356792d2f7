// Scalar models of the processor-specific exponential, logarithm and square-root kernels, written
// from their steps (float operations in order, the processor's own rcpss and rsqrtss estimates),
// and array helpers for the math tests.
#pragma once

#include <xmmintrin.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tests/primitives/core/CoreTestSupport.h"

namespace mathtest {

using coretest::Bits;
using coretest::FromBits;

constexpr uint32_t PLUS_INF = 0x7F800000u;
constexpr uint32_t MINUS_INF = 0xFF800000u;
constexpr uint32_t DEFAULT_NAN = 0xFFC00000u;
constexpr uint32_t POSITIVE_QNAN = 0x7FC00000u;

inline float Reciprocal(float d)
{
    return _mm_cvtss_f32(_mm_rcp_ss(_mm_set_ss(d)));
}

inline float ReciprocalRoot(float x)
{
    return _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(x)));
}

// ---- exponential ----------------------------------------------------------------------------

inline uint32_t ExpModel(float x)
{
    const uint32_t b = Bits(x);
    if (x <= -87.33650207519531f) {
        return 0;
    }
    if (static_cast<int32_t>(b) > 0x42AE3333) {
        return (b & 0x7FC00000u) == 0x7FC00000u ? POSITIVE_QNAN : PLUS_INF;
    }
    const float rounding = 12582912.0f;
    const float sum = x * FromBits(0x3FB8AA3Bu) + rounding;
    const float n = sum - rounding;
    const uint32_t power = ((Bits(sum) & 0xFFFFu) << 23) + 0x3F800000u;
    const float t = n * FromBits(0xBF318000u) + x;
    const float r = t + n * FromBits(0x395E8083u);
    const float z = r * r;
    const float z10 = z + 10.0f;
    const float q = 12.0f * z10;
    const float p = r * (z10 + 50.0f);
    const float num = q + p;
    const float den = q - p;
    const float y0 = Reciprocal(den);
    const float y1 = y0 * (2.0f - den * y0);
    return Bits((y1 * num) * FromBits(power));
}

// ---- logarithm ------------------------------------------------------------------------------

struct LogSplitModel {
    int32_t e;
    float f;
};

inline LogSplitModel SplitModel(uint32_t b)
{
    int32_t e = static_cast<int32_t>((b & 0xFF800000u) - 0x3F000000u) >> 23;
    const uint32_t m = b & 0x007FFFFFu;
    if (m < 0x003504F2u) {
        return {e - 1, FromBits(m | 0x3F800000u)};
    }
    return {e, FromBits(m | 0x3F000000u)};
}

inline float LogResultModel(float s, int32_t e)
{
    const float z = s * s;
    float p = FromBits(0x3E7353DAu) * z + FromBits(0x3E920CCAu);
    p = p * z + FromBits(0x3ECCCD95u);
    p = p * z + FromBits(0x3F2AAAAAu);
    p = p * z + 2.0f;
    return p * s + static_cast<float>(e) * FromBits(0x3F317218u);
}

inline float RatioDivided(float f)
{
    return (f - 1.0f) / (f + 1.0f);
}

// Element outside the window of ordinary values (exponent below -62 or above 63).
inline bool LogOutside(int32_t e)
{
    return e < -62 || e > 63;
}

// The result of one element given its computed value (of whatever path) and the domain flag.
inline uint32_t LogSpecialModel(uint32_t b, uint32_t computed, int64_t& flag)
{
    const LogSplitModel p = SplitModel(b);
    if (!LogOutside(p.e)) {
        return computed;
    }
    if (b == 0) {
        flag = flag ? flag : 2;
        return MINUS_INF;
    }
    if (b & 0x80000000u) {
        flag = flag ? flag : 4;
        return DEFAULT_NAN;
    }
    if ((b & PLUS_INF) == PLUS_INF) {
        return b == PLUS_INF ? b : (b | 0x00400000u);
    }
    if (b < 0x00800000u) {
        // A subnormal: normalised (value = m 2^-149), then the four-wide formulas.
        int32_t shift = 0;
        uint32_t m = b;
        while ((m & 0x00800000u) == 0) {
            m <<= 1;
            ++shift;
        }
        const LogSplitModel n = SplitModel(m);
        return Bits(LogResultModel(RatioDivided(n.f), n.e - shift));
    }
    return computed;
}

// One call of a float logarithm kernel: the blocked path over the elements from lead on when
// blocked, four-wide otherwise; the lead-in reaches the 16-byte boundary of leadAddress.
inline std::vector<uint32_t> LogKernelModel(const std::vector<uint32_t>& in, bool blocked, uintptr_t leadAddress,
                                            int64_t& flag)
{
    const size_t count = in.size();
    std::vector<uint32_t> out(count);
    size_t blockFrom = count, blockTo = count;
    if (blocked && count >= 32) {
        blockFrom = ((0 - leadAddress) & 15) / 4;
        blockTo = blockFrom + (count - blockFrom) / 8 * 8;
    }
    for (size_t i = 0; i < count; ++i) {
        const LogSplitModel p = SplitModel(in[i]);
        float s;
        if (i >= blockFrom && i < blockTo) {
            // Lane k of vector A (elements 0-3 of a block) shares its division with lane k of
            // vector B (elements 4-7).
            const size_t k = (i - blockFrom) % 8;
            const float fo = SplitModel(in[k < 4 ? i + 4 : i - 4]).f;
            const float q = 1.0f / ((p.f + 1.0f) * (fo + 1.0f));
            s = ((p.f - 1.0f) * (fo + 1.0f)) * q;
        } else {
            s = RatioDivided(p.f);
        }
        out[i] = LogSpecialModel(in[i], Bits(LogResultModel(s, p.e)), flag);
    }
    return out;
}

// The in-place logarithm over one array as the slot bodies run it: chunks of 256, each blocked
// where count >= 32 and its address is a multiple of 4. flag is the first domain flag.
inline std::vector<uint32_t> LogArrayModel(const std::vector<uint32_t>& in, uintptr_t address, int64_t& flag)
{
    std::vector<uint32_t> out;
    flag = 0;
    for (size_t start = 0; start < in.size(); start += 256) {
        const std::vector<uint32_t> chunk(in.begin() + static_cast<ptrdiff_t>(start),
                                          in.begin() + static_cast<ptrdiff_t>(std::min(in.size(), start + 256)));
        const uintptr_t a = address + start * 4;
        const auto part = LogKernelModel(chunk, a % 4 == 0, a, flag);
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

// ---- square root ----------------------------------------------------------------------------

inline float SqrtFastModel(float x)
{
    const float y = ReciprocalRoot(x);
    const float s = x * y;
    const float t = s * y;
    return (3.0f - t) * (0.5f * s);
}

inline bool PositiveNormal(uint32_t b)
{
    return b >= 0x00800000u && b < 0x7F800000u;
}

// The float square root over one array at dst address: head to a 16-byte boundary, blocks of 16
// (fast when all 16 are positive normal finite), exact tails. flag: some element below 0.0.
inline std::vector<uint32_t> SqrtArrayModel(const std::vector<uint32_t>& in, uintptr_t address, bool& negative)
{
    std::vector<uint32_t> out(in.size());
    negative = false;
    size_t i = 0;
    while (i < in.size() && ((address + 4 * i) & 12) != 0) {
        ++i;
    }
    std::vector<bool> fast(in.size(), false);
    for (; i + 16 <= in.size(); i += 16) {
        bool all = true;
        for (size_t k = 0; k < 16; ++k) {
            all = all && PositiveNormal(in[i + k]);
        }
        for (size_t k = 0; k < 16; ++k) {
            fast[i + k] = all;
        }
    }
    for (size_t k = 0; k < in.size(); ++k) {
        const float x = FromBits(in[k]);
        negative = negative || x < 0.0f;
        out[k] = fast[k] ? Bits(SqrtFastModel(x)) : Bits(_mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(x))));
    }
    return out;
}

// ---- arrays ---------------------------------------------------------------------------------

// Floats at a chosen byte offset from a 64-byte boundary, read and written as bit patterns.
class FloatRow {
public:
    FloatRow(const std::vector<uint32_t>& bits, size_t offset) : m_storage(bits.size() * 4 + 128, 0)
    {
        const auto base = reinterpret_cast<uintptr_t>(m_storage.data());
        m_data = reinterpret_cast<uint8_t*>((base + 63) & ~uintptr_t{63}) + offset;
        std::memcpy(m_data, bits.data(), bits.size() * 4);
        m_count = bits.size();
    }
    float* Data() { return reinterpret_cast<float*>(m_data); }
    uintptr_t Address() const { return reinterpret_cast<uintptr_t>(m_data); }
    std::vector<uint32_t> Contents() const
    {
        std::vector<uint32_t> out(m_count);
        std::memcpy(out.data(), m_data, m_count * 4);
        return out;
    }

private:
    std::vector<uint8_t> m_storage;
    uint8_t* m_data = nullptr;
    size_t m_count = 0;
};

// ULP distance of a float result from a double reference, in units of the float ulp at the
// reference (the subnormal ulp below FLT_MIN).
inline double UlpError(float result, double reference)
{
    const uint32_t exponent = (Bits(static_cast<float>(std::fabs(reference))) >> 23) & 0xFFu;
    const uint64_t ulpExponent = (exponent == 0 ? 1u : exponent) - 150 + 1023;  // ulp 2^(E - 150)
    double ulp;
    const uint64_t ulpBits = ulpExponent << 52;
    std::memcpy(&ulp, &ulpBits, 8);
    return std::fabs(static_cast<double>(result) - reference) / ulp;
}

}  // namespace mathtest

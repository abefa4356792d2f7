// Division in slots 1 to 3: quotients through the reciprocal estimate where a block or group of
// divisors allows it, exact IEEE division where it holds a zero divisor or one the estimate cannot
// serve. A model of the kernel's groups, on the same estimate instruction, predicts every bit;
// the estimated quotients stay within 2 units in the last place of the IEEE ones.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstring>
#include <vector>
#include <xmmintrin.h>

#include "primitives/Primitives.h"
#include "tests/primitives/core/CoreTestSupport.h"
#include "tests/primitives/core/ForcedSlot.h"
#include "tests/primitives/vector/VectorTestSupport.h"

namespace {

using namespace vectest;

constexpr uint32_t SLOT_INVALID = 0x7FC00000u;

float At(const float* p, int64_t i)
{
    float v;
    memcpy(&v, reinterpret_cast<const uint8_t*>(p) + 4 * i, 4);
    return v;
}

float Estimate(float d)
{
    return _mm_cvtss_f32(_mm_rcp_ss(_mm_set_ss(d)));
}

float ReciprocalQuotient(float d, float x)
{
    const float r = Estimate(d);
    const float e = 1.0f - d * r;
    const float q0 = x * r;
    return q0 + (q0 * e + q0) * e;
}

// Divisors the estimate serves: normal and below 2^125 in magnitude; quotients that came out finite.
bool Served(float d, float q)
{
    const uint32_t magnitude = Bits(d) & 0x7FFFFFFFu;
    return magnitude >= 0x00800000u && magnitude < 0x7E000000u && std::isfinite(q);
}

float PerLane(float d, float x, bool* zero)
{
    if (d == 0.0f) {
        *zero = true;
        return x > 0 ? FromBits(PLUS_INF) : (x < 0 ? FromBits(MINUS_INF) : FromBits(SLOT_INVALID));
    }
    if (std::isnan(d)) {
        return FromBits(SLOT_INVALID);
    }
    return x / d;
}

// One group of lanes (a block of eight, four, a pair or a single with spare lanes of 1.0 over 1.0,
// which never decide anything): estimated unless some lane's divisor is zero or unserved.
void Group(const float* a, const float* b, float* out, int64_t i, int64_t count, bool* zero)
{
    bool estimate = true;
    for (int64_t k = 0; k < count; ++k) {
        const float d = At(a, i + k);
        estimate = estimate && d != 0.0f && Served(d, ReciprocalQuotient(d, At(b, i + k)));
    }
    for (int64_t k = 0; k < count; ++k) {
        const float d = At(a, i + k);
        const float x = At(b, i + k);
        out[i + k] = estimate ? ReciprocalQuotient(d, x) : PerLane(d, x, zero);
    }
}

// The kernel's grouping: groups of four when any array is not 4-byte aligned; otherwise a peel to
// the destination's 16-byte boundary, blocks of eight, then a four, a pair, a single.
std::vector<float> DivideModel(const float* a, const float* b, const float* dst, int64_t n, bool* zero)
{
    std::vector<float> out(n);
    const auto at = [](const float* p) { return reinterpret_cast<uintptr_t>(p); };
    int64_t i = 0;
    *zero = false;
    if (at(a) % 4 || at(b) % 4 || at(dst) % 4) {
        for (; n - i >= 4; i += 4) {
            Group(a, b, out.data(), i, 4, zero);
        }
    } else {
        if (at(dst) % 8 == 4) {
            Group(a, b, out.data(), i++, 1, zero);
        }
        if (i < n && (at(dst) + 4 * i) % 16 == 8) {
            const int64_t count = n - i >= 2 ? 2 : 1;
            Group(a, b, out.data(), i, count, zero);
            i += count;
        }
        for (; n - i >= 8; i += 8) {
            Group(a, b, out.data(), i, 8, zero);
        }
        if (n - i >= 4) {
            Group(a, b, out.data(), i, 4, zero);
            i += 4;
        }
    }
    if (n - i >= 2) {
        Group(a, b, out.data(), i, 2, zero);
        i += 2;
    }
    if (n - i >= 1) {
        Group(a, b, out.data(), i, 1, zero);
    }
    return out;
}

class SlotDivide : public coretest::ForcedSlotTest {};

// Divisors and dividends of every kind: ordinary, zeros, NaNs, infinities, subnormals, divisors
// near the top of the range and quotients near the float limit.
std::vector<float> Divisors(size_t n, uint32_t seed)
{
    auto v = RandomValues(n, 0.01f, 100.0f, seed);
    const float specials[] = {0.0f, -0.0f, FromBits(0x7FC00001u), __builtin_inff(), -__builtin_inff(),
                              FromBits(1),  FromBits(0x807FFFFFu), std::ldexp(1.0f, 125), std::ldexp(-1.0f, 126),
                              std::ldexp(1.0f, 127), 0.7f, 1.3f, -2.5f};
    std::mt19937 rng(seed);
    for (size_t i = 0; i < n; ++i) {
        if (rng() % 5 == 0) {
            v[i] = specials[rng() % std::size(specials)];
        }
    }
    return v;
}

std::vector<float> Dividends(size_t n, uint32_t seed)
{
    auto v = RandomValues(n, -1000.0f, 1000.0f, seed);
    const float specials[] = {0.0f, -0.0f, FromBits(0xFFC00002u), __builtin_inff(), FLT_MAX, 0.69999f * FLT_MAX,
                              std::ldexp(1.0f, 100), FromBits(3), -FLT_MAX};
    std::mt19937 rng(seed + 1);
    for (size_t i = 0; i < n; ++i) {
        if (rng() % 5 == 0) {
            v[i] = specials[rng() % std::size(specials)];
        }
    }
    return v;
}

// Every bit and the warning, against the model, at every length and over the 4-byte phases of the
// three arrays (the misaligned ones included).
TEST_P(SlotDivide, FollowsItsGroupsBitForBit)
{
    if (DispatchIndex == 0) {
        GTEST_SKIP() << "the generic division is exact IEEE division";
    }
    for (size_t o = 0; o < 16; ++o) {
        const size_t offsets[][3] = {{o, o, o}, {(o * 5 + 4) % 16, (o * 3 + 8) % 16, o}, {o, (o + 1) % 16, (o + 4) % 16}};
        for (const auto& offset : offsets) {
            for (int32_t len = 1; len <= 70; ++len) {
                const auto da = Divisors(len, 3u * len + static_cast<uint32_t>(o));
                const auto db = Dividends(len, 5u * len + static_cast<uint32_t>(o));
                TestArray a(da, offset[0]), b(db, offset[1]), dst(std::vector<float>(len, 9.0f), offset[2]);
                bool zero = false;
                const auto expected = DivideModel(a.Data(), b.Data(), dst.Data(), len, &zero);
                ASSERT_EQ(Divide(a.Data(), b.Data(), dst.Data(), len), zero ? WarningDivideByZero : StatusOk);
                for (int32_t i = 0; i < len; ++i) {
                    const float got = dst.Get(i);
                    ASSERT_TRUE(Bits(got) == Bits(expected[i]) || (std::isnan(got) && std::isnan(expected[i]) &&
                                                                    Bits(expected[i]) != SLOT_INVALID))
                        << "len " << len << " offsets " << offset[0] << "/" << offset[1] << "/" << offset[2] << " i "
                        << i << ": " << At(a.Data(), i) << " into " << At(b.Data(), i) << " gave " << std::hex
                        << Bits(got) << ", model " << Bits(expected[i]);
                }
            }
        }
    }
}

// The estimated quotients lie within 2 units in the last place of the IEEE quotients; divisors and
// quotients the estimate cannot serve get the IEEE quotient itself.
TEST_P(SlotDivide, StaysWithinTwoUlpAndExactWhereTheEstimateCannotServe)
{
    if (DispatchIndex == 0) {
        GTEST_SKIP() << "the generic division is exact IEEE division";
    }
    const auto da = RandomValues(4000, 1e-3f, 1e3f, 1);
    const auto db = RandomValues(4000, -1e6f, 1e6f, 2);
    for (size_t offset : {0, 4, 2}) {
        TestArray a(da, offset), b(db, offset), dst(std::vector<float>(4000, 0.0f), offset);
        ASSERT_EQ(Divide(a.Data(), b.Data(), dst.Data(), 4000), StatusOk);
        for (int i = 0; i < 4000; ++i) {
            ASSERT_LE(UlpDistance(dst.Get(i), db[i] / da[i]), 2) << i;
        }
    }
    // A block of eight of each: divisors infinite, subnormal or from 2^125 up, an infinite
    // dividend, quotients near the float limit. Each gives the IEEE quotient.
    struct Case {
        float d, x;
    };
    const Case cases[] = {
        {__builtin_inff(), 5.0f},           {FromBits(0x00000100u), 1e-40f},   {std::ldexp(1.0f, 127), std::ldexp(1.0f, 100)},
        {std::ldexp(1.0f, 126), 3.0f},      {std::ldexp(-1.0f, 125), 7.0f},    {1.3f, __builtin_inff()},
        {0.7f, 0.69999f * FLT_MAX},         {0.5f, FLT_MAX},                   {-__builtin_inff(), -1.0f},
    };
    for (const Case& c : cases) {
        for (int32_t len : {1, 2, 3, 4, 8, 9, 16}) {
            std::vector<float> divisors(len, 2.0f), dividends(len, 1.0f);
            divisors[len - 1] = c.d;
            dividends[len - 1] = c.x;
            TestArray a(divisors), b(dividends), dst(std::vector<float>(len, 0.0f));
            ASSERT_EQ(Divide(a.Data(), b.Data(), dst.Data(), len), StatusOk);
            EXPECT_EQ(Bits(dst.Get(len - 1)), Bits(c.x / c.d)) << c.x << " / " << c.d << " len " << len;
        }
    }
}

// The zero-divisor rule and its warning, and how far an exact group reaches.
TEST_P(SlotDivide, ZeroDivisorsInTheirGroups)
{
    const bool generic = DispatchIndex == 0;
    const uint32_t invalid = generic ? NAN_PATTERN : SLOT_INVALID;
    TestArray a({0.0f, -0.0f, 0.0f, 0.0f}), b({1.0f, 1.0f, 0.0f, -3.0f}), dst(std::vector<float>(4, 0.0f));
    ASSERT_EQ(Divide(a.Data(), b.Data(), dst.Data(), 4), WarningDivideByZero);
    EXPECT_EQ(dst.AllBits(), (std::vector<uint32_t>{PLUS_INF, PLUS_INF, invalid, MINUS_INF}));
    TestArray nanDivisor({FromBits(0x7FC00000u)}), one({1.0f}), out({0.0f});
    ASSERT_EQ(Divide(nanDivisor.Data(), one.Data(), out.Data(), 1), StatusOk);
    EXPECT_TRUE(std::isnan(out.Get(0)));
    // A block of eight holding one zero divisor is divided exactly in all eight lanes.
    std::vector<float> threes(8, 3.0f);
    threes[7] = 0.0f;
    TestArray d8(threes), x8(std::vector<float>(8, 1.0f)), q8(std::vector<float>(8, 0.0f));
    ASSERT_EQ(Divide(d8.Data(), x8.Data(), q8.Data(), 8), WarningDivideByZero);
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(q8.Get(i), 1.0f / 3.0f) << i;
    }
    EXPECT_EQ(q8.BitsAt(7), PLUS_INF);
    // Not 4-byte aligned: groups of four from the first element; a zero divisor makes only its own
    // group exact, and the warning still comes.
    std::vector<float> divisors(8, 3.0f);
    divisors[1] = 0.0f;
    TestArray dm(divisors, 2), xm(std::vector<float>(8, 1.0f), 2), qm(std::vector<float>(8, 0.0f), 2);
    ASSERT_EQ(Divide(dm.Data(), xm.Data(), qm.Data(), 8), WarningDivideByZero);
    EXPECT_EQ(qm.BitsAt(1), PLUS_INF);
    for (int i : {0, 2, 3}) {
        EXPECT_EQ(qm.Get(i), 1.0f / 3.0f) << i;
    }
    for (int i = 4; i < 8; ++i) {
        EXPECT_LE(UlpDistance(qm.Get(i), 1.0f / 3.0f), 2) << i;
        if (!generic) {
            EXPECT_EQ(Bits(qm.Get(i)), Bits(ReciprocalQuotient(3.0f, 1.0f))) << i;
        }
    }
}

KVX_INSTANTIATE_FOR_EVERY_SLOT(SlotDivide);

}  // namespace

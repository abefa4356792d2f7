#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <vector>
#include <xmmintrin.h>

#include "primitives/Primitives.h"
#include "primitives/core/Power.h"
#include "tests/primitives/core/CoreTestSupport.h"
#include "tests/primitives/core/ForcedSlot.h"

namespace {

// Run once per dispatch slot, through the public entry points.
class PowerEverySlot : public coretest::ForcedSlotTest {};
KVX_INSTANTIATE_FOR_EVERY_SLOT(PowerEverySlot);

using coretest::Bits;
using coretest::FromBits;

const float kInf = FromBits(0x7F800000u);
const uint32_t kDomainNan = 0xFFC00000u;

struct PowerCase {
    float x;
    float y;
    uint32_t expected;
    PrimitiveStatus status;
};

// One element alone (tail path) and the same element inside a group of eight ordinary elements
// (where a refused element demotes its whole group to the scalar path).
void ExpectElement(const PowerCase& c)
{
    float out = 0;
    EXPECT_EQ(RaiseToPower(&c.x, &c.y, &out, 1), c.status) << c.x << "^" << c.y;
    EXPECT_EQ(Bits(out), c.expected) << c.x << "^" << c.y << " alone";
}

TEST_P(PowerEverySlot, PinnedResults)
{
    const PowerCase cases[] = {
        {10.0f, 1.0f, 0x41200000u, StatusOk},  // 10
        {10.0f, 2.0f, 0x42C80000u, StatusOk},  // 100
        {10.0f, 0.0f, 0x3F800000u, StatusOk},
        {10.0f, -1.0f, 0x3DCCCCCDu, StatusOk},  // the float nearest 0.1
        {2.0f, 0.5f, 0x3FB504F3u, StatusOk},
        {4.0f, 0.5f, 0x40000000u, StatusOk},
        {2.0f, 10.0f, 0x44800000u, StatusOk},
        {-2.0f, 3.0f, 0xC1000000u, StatusOk},
        {-2.0f, 2.0f, 0x40800000u, StatusOk},
        {-8.0f, 1.0f / 3.0f, kDomainNan, WarningDomain},
        {10.0f, 39.0f, 0x7F800000u, StatusOk},
        {10.0f, -46.0f, 0x00000000u, StatusOk},
        {FromBits(1), -0.5f, 0x64B504F3u, StatusOk},  // 2^-149 to the -1/2: the float nearest 2^74.5
        {10.0f, FromBits(0x3FE2DB64u), 0x426CCC9Au, StatusOk},
    };
    for (const PowerCase& c : cases) {
        ExpectElement(c);
    }
}

TEST_P(PowerEverySlot, VolumeLevelsBecomeGains)
{
    // Levels in 1/65536 dB as the volume controls pass them: int32 -> float, / 1310720, 10^level.
    const int32_t levels[] = {0, -1310720, 1310720, -6291456, 786432, -65536, 1, -96 * 65536, 12 * 65536};
    const int32_t n = static_cast<int32_t>(std::size(levels));
    std::vector<float> y(static_cast<size_t>(n)), tens(static_cast<size_t>(n), 10.0f), gain(static_cast<size_t>(n));
    ASSERT_EQ(ConvertInt32ToFloat(levels, y.data(), n), StatusOk);
    ASSERT_EQ(DivideByConstantInPlace(1310720.0f, y.data(), n), StatusOk);
    ASSERT_EQ(RaiseToPower(tens.data(), y.data(), gain.data(), n), StatusOk);
    EXPECT_EQ(gain[0], 1.0f);
    EXPECT_EQ(Bits(gain[1]), 0x3DCCCCCDu);
    for (int32_t i = 0; i < n; ++i) {
        double exact = std::pow(10.0, static_cast<double>(y[static_cast<size_t>(i)]));
        EXPECT_NEAR(gain[static_cast<size_t>(i)] / exact, 1.0, 3e-7) << levels[i];
    }
}

TEST(Power, AccurateOverTheFastPathRange)
{
    // Groups of eight ordinary elements take the fast path; compare with the exact power.
    std::mt19937 rng(11);
    const int32_t len = 8 * 4096 + 5;
    std::vector<float> x(len), y(len), out(len);
    for (int32_t i = 0; i < len; ++i) {
        x[static_cast<size_t>(i)] = std::ldexp(std::uniform_real_distribution<float>(1.0f, 2.0f)(rng),
                                               static_cast<int>(rng() % 60) - 30);
        y[static_cast<size_t>(i)] = std::uniform_real_distribution<float>(-4.0f, 4.0f)(rng);
    }
    ASSERT_EQ(RaiseToPower(x.data(), y.data(), out.data(), len), StatusOk);
    for (size_t i = 0; i < out.size(); ++i) {
        double exact = std::pow(static_cast<double>(x[i]), static_cast<double>(y[i]));
        ASSERT_NEAR(out[i] / exact, 1.0, 3e-7) << x[i] << "^" << y[i];
    }
}

TEST_P(PowerEverySlot, GroupDemotion)
{
    const float y0 = FromBits(0x3FE2DB64u);
    std::vector<float> x(9, 10.0f), y(9, y0), out(9);
    ASSERT_EQ(RaiseToPower(x.data(), y.data(), out.data(), 9), StatusOk);
    for (float v : out) {
        EXPECT_EQ(Bits(v), 0x426CCC9Au);  // eight as a group, the ninth alone, all by the fast path
    }
    // A zero base at index 8 sends only that element to the scalar path.
    x[8] = 0.0f;
    ASSERT_EQ(RaiseToPower(x.data(), y.data(), out.data(), 9), StatusOk);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(Bits(out[static_cast<size_t>(i)]), 0x426CCC9Au);
    }
    EXPECT_EQ(Bits(out[8]), 0u);
    // A zero base inside the group sends all eight to the scalar path.
    x[8] = 10.0f;
    x[5] = 0.0f;
    ASSERT_EQ(RaiseToPower(x.data(), y.data(), out.data(), 9), StatusOk);
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(Bits(out[static_cast<size_t>(i)]), i == 5 ? 0u : 0x426CCC99u) << i;
    }
    EXPECT_EQ(Bits(out[8]), 0x426CCC9Au);
}

TEST_P(PowerEverySlot, SpecialCaseTable)
{
    const float nanPayload = FromBits(0xFFC12345u);
    const float nanY = FromBits(0x7F812345u);  // signalling, returned bit for bit
    const PowerCase cases[] = {
        // y = ±0: 1, even for a NaN base.
        {nanPayload, 0.0f, 0x3F800000u, StatusOk},
        {0.0f, -0.0f, 0x3F800000u, StatusOk},
        {-kInf, 0.0f, 0x3F800000u, StatusOk},
        // +1 to anything, NaN included; -1 to ±infinity.
        {1.0f, nanY, 0x3F800000u, StatusOk},
        {1.0f, -kInf, 0x3F800000u, StatusOk},
        {-1.0f, kInf, 0x3F800000u, StatusOk},
        {-1.0f, -kInf, 0x3F800000u, StatusOk},
        // NaN base or exponent, bit for bit.
        {nanPayload, 2.0f, 0xFFC12345u, StatusOk},
        {nanPayload, nanY, 0xFFC12345u, StatusOk},
        {-3.0f, nanY, 0x7F812345u, StatusOk},
        {0.0f, nanY, 0x7F812345u, StatusOk},
        {-1.0f, nanY, 0x7F812345u, StatusOk},
        // zero base with -infinity: domain.
        {0.0f, -kInf, 0x7F800000u, WarningDomain},
        {-0.0f, -kInf, 0x7F800000u, WarningDomain},
        // infinite exponents.
        {2.0f, kInf, 0x7F800000u, StatusOk},
        {-kInf, kInf, 0x7F800000u, StatusOk},
        {-2.0f, -kInf, 0x00000000u, StatusOk},
        {0.5f, kInf, 0x00000000u, StatusOk},
        {-0.5f, -kInf, 0x7F800000u, StatusOk},
        {0.0f, kInf, 0x00000000u, StatusOk},
        // infinite bases.
        {kInf, 0.5f, 0x7F800000u, StatusOk},
        {kInf, -3.0f, 0x00000000u, StatusOk},
        {-kInf, 3.0f, 0xFF800000u, StatusOk},
        {-kInf, 2.0f, 0x7F800000u, StatusOk},
        {-kInf, 0.5f, 0x7F800000u, StatusOk},
        {-kInf, -3.0f, 0x80000000u, StatusOk},
        {-kInf, -4.0f, 0x00000000u, StatusOk},
        // zero bases.
        {0.0f, 3.0f, 0x00000000u, StatusOk},
        {0.0f, -1.0f, 0x7F800000u, WarningDomain},
        {-0.0f, 3.0f, 0x80000000u, StatusOk},
        {-0.0f, 2.5f, 0x00000000u, StatusOk},
        {-0.0f, -1.0f, 0xFF800000u, WarningDomain},
        {-0.0f, -2.0f, 0x7F800000u, WarningDomain},
        {-0.0f, -0.5f, 0x7F800000u, WarningDomain},
        // negative finite base: an integer exponent is computed, a fraction is a domain case.
        {-2.0f, 0.5f, kDomainNan, WarningDomain},
        {-2.0f, 16777216.0f, 0x7F800000u, StatusOk},  // |y| >= 2^24 is even
        {-1.0f, 16777217.0f, 0x3F800000u, StatusOk},
        {-1.0f, 16777215.0f, 0xBF800000u, StatusOk},
        {-0.5f, 3.0f, 0xBE000000u, StatusOk},
    };
    for (const PowerCase& c : cases) {
        ExpectElement(c);
    }
}

TEST_P(PowerEverySlot, OneDomainElementAmongManyAndAliasing)
{
    const int32_t len = 21;
    std::vector<float> x(len), y(len);
    for (int32_t i = 0; i < len; ++i) {
        x[static_cast<size_t>(i)] = 1.5f + 0.25f * static_cast<float>(i);
        y[static_cast<size_t>(i)] = -2.0f + 0.3f * static_cast<float>(i);
    }
    std::vector<float> reference(len);
    ASSERT_EQ(RaiseToPower(x.data(), y.data(), reference.data(), len), StatusOk);

    std::vector<float> xBad = x, out(len);
    xBad[17] = -4.0f;
    y[17] = 0.5f;
    std::vector<float> expected = reference;
    float one = 0;
    ASSERT_EQ(RaiseToPower(&x[17], &y[17], &one, 1), StatusOk);
    expected[17] = FromBits(kDomainNan);
    EXPECT_EQ(RaiseToPower(xBad.data(), y.data(), out.data(), len), WarningDomain);
    for (int32_t i = 0; i < len; ++i) {
        if (i >= 16 && i < 24 && i != 17) {
            continue;  // the domain element's group went through the scalar path
        }
        EXPECT_EQ(Bits(out[static_cast<size_t>(i)]), Bits(expected[static_cast<size_t>(i)])) << i;
    }
    // The destination may be either source.
    std::vector<float> inX = xBad, inY = y;
    EXPECT_EQ(RaiseToPower(inX.data(), y.data(), inX.data(), len), WarningDomain);
    EXPECT_EQ(RaiseToPower(xBad.data(), inY.data(), inY.data(), len), WarningDomain);
    EXPECT_EQ(0, memcmp(inX.data(), out.data(), len * sizeof(float)));
    EXPECT_EQ(0, memcmp(inY.data(), out.data(), len * sizeof(float)));
}

TEST_P(PowerEverySlot, ArgumentOrder)
{
    float a[2] = {2.0f, 3.0f}, b[2] = {2.0f, 2.0f}, d[2] = {7.0f, 7.0f};
    EXPECT_EQ(RaiseToPower(nullptr, b, d, 0), StatusNullPointer);
    EXPECT_EQ(RaiseToPower(a, nullptr, d, -1), StatusNullPointer);
    EXPECT_EQ(RaiseToPower(a, b, nullptr, 2), StatusNullPointer);
    EXPECT_EQ(RaiseToPower(a, b, d, 0), StatusSizeError);
    EXPECT_EQ(d[0], 7.0f);
}

// The caller's control register: a flush-to-zero or directed-rounding caller gets the default-mode
// results and finds its register exactly as it left it, flags included.
TEST_P(PowerEverySlot, CallerControlRegisterIsRestoredAndDoesNotChangeResults)
{
    const int32_t len = 19;
    std::vector<float> x(len), y(len);
    for (int32_t i = 0; i < len; ++i) {
        x[static_cast<size_t>(i)] = 0.37f + 1.1f * static_cast<float>(i);
        y[static_cast<size_t>(i)] = 0.7f - 0.13f * static_cast<float>(i);
    }
    x[3] = FromBits(5);  // a subnormal base
    y[3] = 0.25f;
    x[11] = 1e-20f;      // a subnormal result
    y[11] = 2.0f;
    x[18] = -1.0f;       // a domain element
    y[18] = 0.5f;

    const unsigned int original = _mm_getcsr();
    _mm_setcsr(original & ~0x3Fu);
    std::vector<float> expected(len);
    EXPECT_EQ(RaiseToPower(x.data(), y.data(), expected.data(), len), WarningDomain);
    EXPECT_NE(Bits(expected[11]), 0u);  // gradual underflow

    const unsigned int modes[] = {0x8000u, 0x0040u, 0x2000u, 0x4000u, 0x6000u, 0x8040u | 0x6000u};
    for (unsigned int mode : modes) {
        const unsigned int callerCsr = (original & ~0xE07Fu) | mode;
        std::vector<float> out(len);
        _mm_setcsr(callerCsr);
        PrimitiveStatus status = RaiseToPower(x.data(), y.data(), out.data(), len);
        const unsigned int after = _mm_getcsr();
        _mm_setcsr(original);
        EXPECT_EQ(after, callerCsr) << std::hex << mode;
        EXPECT_EQ(status, WarningDomain);
        EXPECT_EQ(0, memcmp(out.data(), expected.data(), len * sizeof(float))) << std::hex << mode;
    }
    _mm_setcsr(original);
}

TEST(Power, RaiseFloatExceptionRaisesTheFlagOfItsCode)
{
    struct Case {
        PrimitiveStatus code;
        int flags;
    };
    const Case cases[] = {
        {WarningDomain, FE_INVALID},
        {WarningSingularity, FE_DIVBYZERO},
        {WarningOverflow, FE_OVERFLOW | FE_INEXACT},
        {WarningUnderflow, FE_UNDERFLOW | FE_INEXACT},
        {StatusOk, 0},
        {WarningMisalignedBuffer, 0},
    };
    const int all = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW | FE_UNDERFLOW | FE_INEXACT;
    for (const Case& c : cases) {
        std::feclearexcept(FE_ALL_EXCEPT);
        RaiseFloatException(c.code);
        EXPECT_EQ(std::fetestexcept(all), c.flags) << c.code;
    }
    std::feclearexcept(FE_ALL_EXCEPT);
}

}  // namespace

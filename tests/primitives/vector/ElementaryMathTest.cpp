// Square root, exponential and natural logarithm in place: special patterns, warnings and
// accuracy against double-precision references.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "primitives/Primitives.h"
#include "tests/primitives/vector/VectorTestSupport.h"

namespace {

using namespace vectest;

TEST(ElementaryMath, SquareRootSpecialsAndWarning)
{
    const uint32_t payloadNan = 0x7FC00077u;
    TestArray a({4.0f, -1.0f, -0.0f, FromBits(payloadNan), 0.0f, FromBits(PLUS_INF)}, 1);
    EXPECT_EQ(SquareRootInPlace(a.Data(), 6), WarningSqrtNegative);
    EXPECT_EQ(a.AllBits(),
              (std::vector<uint32_t>{Bits(2.0f), NAN_PATTERN, MINUS_ZERO, payloadNan, 0u, PLUS_INF}));

    TestArray b({FromBits(MINUS_INF)});
    EXPECT_EQ(SquareRootInPlace(b.Data(), 1), WarningSqrtNegative);
    EXPECT_EQ(b.BitsAt(0), NAN_PATTERN);
}

TEST(ElementaryMath, SquareRootIsTheDoubleRootRoundedOnce)
{
    auto values = RandomValues(999, 0.0f, 1e6f, 7);
    values.push_back(FromBits(1u));           // smallest subnormal
    values.push_back(3.4028235e38f);          // largest finite
    TestArray a(values);
    ASSERT_EQ(SquareRootInPlace(a.Data(), static_cast<int32_t>(values.size())), StatusOk);
    for (size_t i = 0; i < values.size(); ++i) {
        ASSERT_EQ(a.Get(i), static_cast<float>(std::sqrt(static_cast<double>(values[i])))) << values[i];
    }
}

TEST(ElementaryMath, ExponentialShortAndLongPathsDiffer)
{
    // Fewer than four elements: the double exponential, so -100 gives a subnormal.
    TestArray shortRow({0.0f, -100.0f, 100.0f});
    ASSERT_EQ(ExponentialInPlace(shortRow.Data(), 3), StatusOk);
    EXPECT_EQ(shortRow.Get(0), 1.0f);
    EXPECT_EQ(shortRow.Get(1), static_cast<float>(std::exp(-100.0)));
    EXPECT_EQ(std::fpclassify(shortRow.Get(1)), FP_SUBNORMAL);
    EXPECT_EQ(shortRow.BitsAt(2), PLUS_INF);

    // Four or more: -100 is below the regular range and flushes to +0.0; the lone regular
    // element takes the double path.
    TestArray longRow({0.0f, -100.0f, 100.0f, 1.0f});
    ASSERT_EQ(ExponentialInPlace(longRow.Data(), 4), StatusOk);
    EXPECT_EQ(longRow.AllBits(),
              (std::vector<uint32_t>{Bits(1.0f), 0u, PLUS_INF, Bits(static_cast<float>(std::exp(1.0)))}));
}

TEST(ElementaryMath, ExponentialRangeEdgesOnTheGroupPath)
{
    struct Case {
        uint32_t input;
        uint32_t expected;  // 0xFFFFFFFF: finite and normal, checked against the reference
    };
    const Case cases[] = {
        {Bits(88.72283935546875f), PLUS_INF},
        {Bits(88.72283172607422f), 0xFFFFFFFFu},
        {Bits(-87.3365478515625f), 0u},
        {Bits(-87.33654022216797f), 0xFFFFFFFFu},
        {0x7FC00000u, NAN_PATTERN},
        {0xFFC00123u, NAN_PATTERN},
        {PLUS_INF, PLUS_INF},
        {MINUS_INF, 0u},
        {0u, Bits(1.0f)},
        {MINUS_ZERO, Bits(1.0f)},
        {0x80000005u, Bits(1.0f)},
    };
    for (const auto& c : cases) {
        TestArray a(std::vector<float>(5, FromBits(c.input)));
        ASSERT_EQ(ExponentialInPlace(a.Data(), 5), StatusOk);
        for (size_t i = 0; i < 5; ++i) {
            if (c.expected != 0xFFFFFFFFu) {
                EXPECT_EQ(a.BitsAt(i), c.expected) << std::hex << c.input << " at " << i;
            } else {
                EXPECT_EQ(std::fpclassify(a.Get(i)), FP_NORMAL) << std::hex << c.input;
                const float reference = static_cast<float>(std::exp(static_cast<double>(FromBits(c.input))));
                EXPECT_LE(UlpDistance(a.Get(i), reference), 2) << std::hex << c.input;
            }
        }
    }
}

// Regular elements interleaved with special ones: groups of four gather across the gaps, and
// every regular result stays within two units in the last place of the exponential (the
// approximant's quotient is rounded to single in three steps).
TEST(ElementaryMath, ExponentialGroupsAreAccurateAcrossSpecials)
{
    for (int32_t len : {4, 5, 7, 8, 9, 64, 1001}) {
        auto values = RandomValues(len, -87.0f, 88.5f, 11u + len);
        for (int32_t i = 2; i < len; i += 5) {
            values[i] = (i % 2) ? -0.0f : 200.0f;
        }
        TestArray a(values, len % 2 ? 2 : 0);
        ASSERT_EQ(ExponentialInPlace(a.Data(), len), StatusOk);
        for (int32_t i = 0; i < len; ++i) {
            const float reference = static_cast<float>(std::exp(static_cast<double>(values[i])));
            if (std::isinf(reference) || values[i] == 0.0f) {
                ASSERT_EQ(a.Get(i), reference) << "len " << len << " i " << i;
            } else {
                ASSERT_LE(UlpDistance(a.Get(i), reference), 2) << "len " << len << " i " << i << " x " << values[i];
            }
        }
    }
}

TEST(ElementaryMath, NaturalLogWarningIsDecidedByTheFirstOffender)
{
    struct Case {
        std::vector<float> input;
        std::vector<uint32_t> expected;
        PrimitiveStatus status;
    };
    const Case cases[] = {
        {{0.0f, -1.0f}, {MINUS_INF, NAN_PATTERN}, WarningLnZero},
        {{-1.0f, 0.0f}, {NAN_PATTERN, MINUS_INF}, WarningLnNegative},
        {{-0.0f}, {NAN_PATTERN}, WarningLnNegative},
        {{1.0f}, {0u}, StatusOk},
        {{FromBits(0x7FC00042u), FromBits(PLUS_INF)}, {NAN_PATTERN, PLUS_INF}, StatusOk},
        {{2.0f, FromBits(0xFFC00001u), 0.0f}, {Bits(static_cast<float>(std::log(2.0))), NAN_PATTERN, MINUS_INF},
         WarningLnNegative},
    };
    for (const auto& c : cases) {
        TestArray a(c.input, 3);
        EXPECT_EQ(NaturalLogInPlace(a.Data(), static_cast<int32_t>(c.input.size())), c.status);
        EXPECT_EQ(a.AllBits(), c.expected);
    }
}

TEST(ElementaryMath, NaturalLogIsCorrectlyRounded)
{
    auto values = RandomValues(1000, 1e-6f, 1e6f, 5);
    values.push_back(FromBits(1u));
    values.push_back(0.99999994f);
    TestArray a(values);
    ASSERT_EQ(NaturalLogInPlace(a.Data(), static_cast<int32_t>(values.size())), StatusOk);
    for (size_t i = 0; i < values.size(); ++i) {
        ASSERT_EQ(a.Get(i), static_cast<float>(std::log(static_cast<long double>(values[i])))) << values[i];
    }
}

}  // namespace

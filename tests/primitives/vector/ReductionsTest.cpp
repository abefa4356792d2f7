// Maximum, minimum, sum, mean and dot product: NaN and signed-zero rules, the grouping that
// decides the last bits, and independence from alignment where the results are exact.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "primitives/Primitives.h"
#include "tests/primitives/vector/VectorTestSupport.h"

namespace {

using namespace vectest;

uint32_t MaxBits(const std::vector<float>& values, size_t offset = 0)
{
    TestArray a(values, offset);
    float out = 0.0f;
    EXPECT_EQ(Maximum(a.Data(), static_cast<int32_t>(values.size()), &out), StatusOk);
    return Bits(out);
}

uint32_t MinBits(const std::vector<float>& values, size_t offset = 0)
{
    TestArray a(values, offset);
    float out = 0.0f;
    EXPECT_EQ(Minimum(a.Data(), static_cast<int32_t>(values.size()), &out), StatusOk);
    return Bits(out);
}

TEST(VectorReductions, ExtremesNaNAndSignedZeroRules)
{
    const float nan = FromBits(0x7FC00123u);
    EXPECT_EQ(MaxBits({nan, 1.0f, 2.0f}), 0x7FC00123u);
    EXPECT_EQ(MinBits({nan, 1.0f, 2.0f}), 0x7FC00123u);
    EXPECT_EQ(MaxBits({1.0f, nan, 2.0f}), Bits(2.0f));
    EXPECT_EQ(MinBits({1.0f, nan, 2.0f}), Bits(1.0f));
    EXPECT_EQ(MaxBits({5.0f}), Bits(5.0f));
    EXPECT_EQ(MaxBits({-0.0f, 0.0f}), MINUS_ZERO);
    EXPECT_EQ(MinBits({0.0f, -0.0f}), 0u);
}

// On the block path the lanes fold preferring the later lane on ties, so of two equal zeros
// the one in lane 2 wins even though lane 0 met its zero first; element by element (here on an
// address that is not 4-byte aligned) the first zero met wins.
TEST(VectorReductions, BlockFoldDecidesBetweenEqualZeros)
{
    const std::vector<float> forMax = {-1, -1, -1, -1, 0.0f, -1, -0.0f, -1};
    EXPECT_EQ(MaxBits(forMax, 0), MINUS_ZERO);
    EXPECT_EQ(MaxBits(forMax, 1), 0u);
    const std::vector<float> forMin = {1, 1, 1, 1, -0.0f, 1, 0.0f, 1};
    EXPECT_EQ(MinBits(forMin, 0), 0u);
    EXPECT_EQ(MinBits(forMin, 1), MINUS_ZERO);
}

TEST(VectorReductions, ExtremesIgnoreLaterNaNsAtEveryAlignment)
{
    for (size_t offset : {0, 4, 8, 12, 2}) {
        for (int32_t len = 1; len <= 40; ++len) {
            auto values = RandomValues(len, -100.0f, 100.0f, 31u * len);
            for (int32_t i = 3; i < len; i += 7) {
                values[i] = FromBits(i % 2 ? 0x7FC00000u : 0xFFC00000u);
            }
            float hi = values[0], lo = values[0];
            for (float v : values) {
                if (!std::isnan(v)) {
                    hi = std::max(hi, v);
                    lo = std::min(lo, v);
                }
            }
            ASSERT_EQ(MaxBits(values, offset), Bits(hi)) << "offset " << offset << " len " << len;
            ASSERT_EQ(MinBits(values, offset), Bits(lo)) << "offset " << offset << " len " << len;
        }
    }
}

TEST(VectorReductions, SumAndMeanAccumulateInDouble)
{
    const std::vector<float> cancel = {1e8f, 1.0f, -1e8f};
    for (int32_t hint : {0, 1, -7}) {
        TestArray a(cancel);
        float sum = 0.0f, mean = 0.0f;
        ASSERT_EQ(Sum(a.Data(), 3, &sum, hint), StatusOk);
        ASSERT_EQ(Mean(a.Data(), 3, &mean, hint), StatusOk);
        EXPECT_EQ(sum, 1.0f);
        EXPECT_EQ(mean, static_cast<float>(1.0 / 3.0));
    }
    TestArray pair({1.0f, 2.0f}), single({-7.25f}, 1);
    float out = 0.0f;
    ASSERT_EQ(Mean(pair.Data(), 2, &out, 0), StatusOk);
    EXPECT_EQ(out, 1.5f);
    ASSERT_EQ(Mean(single.Data(), 1, &out, 0), StatusOk);
    EXPECT_EQ(out, -7.25f);
}

// Integers up to 2^24 stay exact in every accumulator, so any grouping gives the exact sum:
// a dropped or repeated element in the groups of four or the tail shows at once.
TEST(VectorReductions, SumCoversEveryElementOnce)
{
    for (int32_t len = 1; len <= 19; ++len) {
        std::vector<float> values(len);
        double exact = 0;
        for (int32_t i = 0; i < len; ++i) {
            values[i] = static_cast<float>(1 << (i % 20));
            exact += values[i];
        }
        TestArray a(values, 3);
        float sum = 0.0f;
        ASSERT_EQ(Sum(a.Data(), len, &sum, 0), StatusOk);
        EXPECT_EQ(sum, static_cast<float>(exact)) << "len " << len;
    }
}

TEST(VectorReductions, DotProductFormDependsOnTheAlignmentOfB)
{
    // Eight interleaved partial sums keep the ones that a sequential sum loses next to 1e8.
    const std::vector<float> a(8, 1.0f);
    const std::vector<float> b = {1e8f, 1, 1, 1, -1e8f, 1, 1, 1};
    struct Case {
        size_t offsetA, offsetB;
        float expected;
    };
    const Case cases[] = {
        {0, 0, 6.0f},   // b 16-byte aligned: vector form, a aligned
        {4, 16, 6.0f},  // vector form with unaligned loads of a
        {0, 4, 3.0f},   // three peeled elements leave fewer than 8: sequential
        {0, 2, 3.0f},   // b not 4-byte aligned: sequential
    };
    for (const auto& c : cases) {
        TestArray x(a, c.offsetA), y(b, c.offsetB);
        float result = -1.0f;
        ASSERT_EQ(DotProduct(x.Data(), y.Data(), 8, &result), StatusOk);
        EXPECT_EQ(result, c.expected) << c.offsetA << "/" << c.offsetB;
    }
}

TEST(VectorReductions, DotProductCoversEveryElementOnce)
{
    for (size_t offsetB : {0, 4, 8, 12, 1}) {
        for (int32_t len = 1; len <= 40; ++len) {
            std::vector<float> a(len), b(len);
            float exact = 0;
            for (int32_t i = 0; i < len; ++i) {
                a[i] = static_cast<float>(i + 1);
                b[i] = static_cast<float>((i % 5) - 2);
                exact += a[i] * b[i];
            }
            TestArray x(a, 4), y(b, offsetB);
            float result = 0.0f;
            ASSERT_EQ(DotProduct(x.Data(), y.Data(), len, &result), StatusOk);
            ASSERT_EQ(result, exact) << "offset " << offsetB << " len " << len;
        }
    }
}

}  // namespace

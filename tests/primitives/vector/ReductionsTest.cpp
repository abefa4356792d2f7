// Maximum, minimum, sum, mean and dot product under every slot: the NaN and signed-zero rules, the
// grouping that decides the last bits, and independence from alignment where the results are
// exact. Slots 1 to 3 follow their kernels' own order, which the models below restate element by
// element; every result is compared bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>
#include <xmmintrin.h>

#include "primitives/Primitives.h"
#include "primitives/vector/VectorReductions.h"
#include "tests/primitives/core/CoreTestSupport.h"
#include "tests/primitives/core/ForcedSlot.h"
#include "tests/primitives/vector/VectorTestSupport.h"

namespace {

using namespace vectest;

class VectorReductions : public coretest::ForcedSlotTest {
protected:
    static bool Generic() { return DispatchIndex == 0; }
};

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

float At(const float* p, int64_t i)
{
    float v;
    memcpy(&v, reinterpret_cast<const uint8_t*>(p) + 4 * i, 4);
    return v;
}

// ---- models of the slot kernels ----

// The combining steps: the running value only when strictly better, else the incoming one.
template <bool Max>
float Combine(float a, float x)
{
    return Max ? (a > x ? a : x) : (a < x ? a : x);
}

template <bool Max>
float ExtremeModel(const float* src, int64_t n)
{
    const auto address = reinterpret_cast<uintptr_t>(src);
    float lane[4] = {At(src, 0), At(src, 0), At(src, 0), At(src, 0)};
    const auto combineFour = [&](float* l, int64_t i) {
        for (int k = 0; k < 4; ++k) {
            l[k] = Combine<Max>(l[k], At(src, i + k));
        }
    };
    const auto reduce = [&] { return Combine<Max>(Combine<Max>(lane[0], lane[2]), Combine<Max>(lane[1], lane[3])); };
    int64_t i = 0;
    float r;
    if (address % 4 != 0) {
        for (; n - i >= 4; i += 4) {
            combineFour(lane, i);
        }
        r = reduce();
    } else {
        for (; (address + 4 * i) % 16 >= 4; ++i) {
            if (i == n) {
                return lane[0];
            }
            lane[0] = Combine<Max>(lane[0], At(src, i));
        }
        if (i == n) {
            return lane[0];
        }
        bool reduced = false;
        if ((address + 4 * i) % 32 == 16) {
            if (n - i < 4) {
                r = lane[0];
                reduced = true;
            } else {
                combineFour(lane, i);
                i += 4;
            }
        }
        if (!reduced) {
            if (n - i >= 16) {
                float acc[4][4];
                for (auto& a : acc) {
                    std::copy(lane, lane + 4, a);
                }
                for (; n - i >= 16; i += 16) {
                    for (int j = 0; j < 4; ++j) {
                        combineFour(acc[j], i + 4 * j);
                    }
                }
                for (int k = 0; k < 4; ++k) {
                    lane[k] = Combine<Max>(Combine<Max>(acc[0][k], acc[2][k]), Combine<Max>(acc[1][k], acc[3][k]));
                }
            }
            for (; n - i >= 4; i += 4) {
                combineFour(lane, i);
            }
            r = reduce();
        }
    }
    for (; i < n; ++i) {
        r = Combine<Max>(r, At(src, i));
    }
    return r;
}

// Hint other than 1: eight double lanes, widened elements, after a peel to 8 bytes.
double SumModel(const float* src, int64_t n)
{
    double p[2] = {0, 0}, q[2] = {0, 0}, r[2] = {0, 0}, s[2] = {0, 0};
    int64_t i = 0;
    if (reinterpret_cast<uintptr_t>(src) & 4u) {
        p[0] += At(src, 0);
        if (++i == n) {
            return p[0];
        }
    }
    if (n - i >= 8) {
        for (; n - i >= 8; i += 8) {
            for (int k = 0; k < 2; ++k) {
                p[k] += At(src, i + k);
                q[k] += At(src, i + 2 + k);
                r[k] += At(src, i + 4 + k);
                s[k] += At(src, i + 6 + k);
            }
        }
        for (int k = 0; k < 2; ++k) {
            p[k] += r[k];
            q[k] += s[k];
        }
    }
    if (n - i >= 4) {
        for (int k = 0; k < 2; ++k) {
            p[k] += At(src, i + k);
            q[k] += At(src, i + 2 + k);
        }
        i += 4;
    }
    if (n - i >= 2) {
        for (int k = 0; k < 2; ++k) {
            p[k] += At(src, i + k);
        }
        i += 2;
    }
    if (n - i >= 1) {
        p[0] += At(src, i);
    }
    return (p[0] + q[0]) + (p[1] + q[1]);
}

// Sixteen float lanes within a chunk; the two lane sums.
void ChunkModel(const float* p, int64_t n, float* f0, float* f1)
{
    float t[4] = {0, 0, 0, 0};
    int64_t i = 0;
    if (n >= 16) {
        float a[4][4] = {};
        for (; n - i >= 16; i += 16) {
            for (int j = 0; j < 4; ++j) {
                for (int k = 0; k < 4; ++k) {
                    a[j][k] += At(p, i + 4 * j + k);
                }
            }
        }
        for (int k = 0; k < 4; ++k) {
            t[k] = (a[0][k] + a[2][k]) + (a[1][k] + a[3][k]);
        }
    }
    for (; n - i >= 4; i += 4) {
        for (int k = 0; k < 4; ++k) {
            t[k] += At(p, i + k);
        }
    }
    if (n - i >= 2) {
        t[0] += At(p, i);
        t[1] += At(p, i + 1);
        i += 2;
    }
    if (n - i >= 1) {
        t[0] += At(p, i);
    }
    *f0 = t[0] + t[2];
    *f1 = t[1] + t[3];
}

// Hint 1: float within chunks of 32768, double across them, after a peel to 16 bytes.
double ChunkedSumModel(const float* src, int64_t n)
{
    double d0 = 0;
    double d1 = 0;
    int64_t i = 0;
    while ((reinterpret_cast<uintptr_t>(src) + 4 * i) & 12u) {
        d0 += At(src, i);
        if (++i == n) {
            return d0 + d1;
        }
    }
    float f0;
    float f1;
    for (; n - i >= 32768; i += 32768) {
        ChunkModel(src + i, 32768, &f0, &f1);
        d0 += f0;
        d1 += f1;
    }
    ChunkModel(src + i, n - i, &f0, &f1);
    d0 += f0;
    d1 += f1;
    return d0 + d1;
}

double SlotSum(const float* src, int64_t n, int32_t hint)
{
    return hint == 1 ? ChunkedSumModel(src, n) : SumModel(src, n);
}

// The mean of slots 1 to 3: the float-rounded sum divided in double, unless only the float sum
// overflowed.
float SlotMean(const float* src, int64_t n, int32_t hint)
{
    const double d = SlotSum(src, n, hint);
    const float s = static_cast<float>(d);
    const double numerator = std::isinf(s) && std::isfinite(d) ? d : s;
    return static_cast<float>(numerator / static_cast<double>(n));
}

// The dot products of slots 1 to 3.
struct DotLanes {
    float acc[4][4] = {};
    void Add(int which, const float* a, const float* b, int64_t i)
    {
        for (int k = 0; k < 4; ++k) {
            acc[which][k] += At(a, i + k) * At(b, i + k);
        }
    }
    float Finish(const float* a, const float* b, int64_t i, int64_t n)
    {
        for (; n - i >= 2; i += 2) {
            acc[0][0] += At(a, i) * At(b, i);
            acc[0][1] += At(a, i + 1) * At(b, i + 1);
        }
        if (i < n) {
            acc[0][0] += At(a, i) * At(b, i);
        }
        float s[4];
        for (int k = 0; k < 4; ++k) {
            s[k] = (acc[0][k] + acc[1][k]) + (acc[2][k] + acc[3][k]);
        }
        return (s[0] + s[2]) + (s[1] + s[3]);
    }
    float Blocks(const float* a, const float* b, int64_t i, int64_t n)
    {
        for (; n - i >= 16; i += 16) {
            for (int j = 0; j < 4; ++j) {
                Add(j, a, b, i + 4 * j);
            }
        }
        return Finish(a, b, i, n);
    }
};

float ShortDot(const float* a, const float* b, int64_t n)
{
    float l0 = 0;
    float l1 = 0;
    int64_t i = 0;
    for (; n - i >= 2; i += 2) {
        l0 += At(a, i) * At(b, i);
        l1 += At(a, i + 1) * At(b, i + 1);
    }
    if (i < n) {
        l1 += At(a, i) * At(b, i);
    }
    return l1 + l0;
}

bool Aligned(const float* p, uintptr_t to)
{
    return reinterpret_cast<uintptr_t>(p) % to == 0;
}

float DotSseModel(const float* a, const float* b, int64_t n)
{
    if (n <= 15) {
        return ShortDot(a, b, n);
    }
    DotLanes lanes;
    if (Aligned(a, 16) && Aligned(b, 16)) {
        return lanes.Blocks(a, b, 0, n);
    }
    const float* x = a;
    const float* y = b;
    if (!Aligned(b, 4) && Aligned(a, 4)) {
        std::swap(x, y);
    }
    int64_t i = 0;
    for (; i < n && !Aligned(y + i, 16); ++i) {
        lanes.acc[0][0] += At(x, i) * At(y, i);
    }
    return lanes.Blocks(x, y, i, n);
}

float DotSsse3Model(const float* a, const float* b, int64_t n)
{
    if (n <= 15) {
        return ShortDot(a, b, n);
    }
    DotLanes lanes;
    if (Aligned(a, 16) && Aligned(b, 16)) {
        return lanes.Blocks(a, b, 0, n);
    }
    if (!Aligned(a, 4) || !Aligned(b, 4)) {
        return lanes.Finish(a, b, 0, n);
    }
    const float* x = a;
    const float* y = b;
    if (!Aligned(b, 16) && Aligned(a, 16)) {
        std::swap(x, y);
    }
    int64_t i = 0;
    if (!Aligned(y, 16)) {
        for (; i < n && !Aligned(y + i, 16); ++i) {
            lanes.acc[0][0] += At(x, i) * At(y, i);
        }
        if (Aligned(x + i, 16)) {
            return lanes.Blocks(x, y, i, n);
        }
    }
    lanes.Add(0, x, y, i);
    i += 4;
    for (; n - i >= 16; i += 12) {
        for (int j = 0; j < 3; ++j) {
            lanes.Add(j, x, y, i + 4 * j);
        }
    }
    return lanes.Finish(x, y, i, n);
}

// ---- the edge cases of the rules ----

TEST_P(VectorReductions, ExtremesNaNAndSignedZeroRules)
{
    const float nan = FromBits(0x7FC00123u);
    // The generic walk never lets a later NaN in; the slot kernels let the last value combined in.
    EXPECT_EQ(MaxBits({nan, 1.0f, 2.0f}), Generic() ? 0x7FC00123u : Bits(2.0f));
    EXPECT_EQ(MinBits({nan, 1.0f, 2.0f}), Generic() ? 0x7FC00123u : Bits(1.0f));
    EXPECT_EQ(MaxBits({1.0f, nan, 2.0f}), Bits(2.0f));
    // The NaN replaces the slots' running minimum, and the next element replaces the NaN.
    EXPECT_EQ(MinBits({1.0f, nan, 2.0f}), Generic() ? Bits(1.0f) : Bits(2.0f));
    EXPECT_EQ(MaxBits({5.0f}), Bits(5.0f));
    for (size_t offset : {0, 4, 8, 12, 16, 20, 24, 28, 2}) {
        EXPECT_EQ(MaxBits({1.0f, nan}, offset), Generic() ? Bits(1.0f) : 0x7FC00123u) << offset;
        EXPECT_EQ(MaxBits({nan, 1.0f}, offset), Generic() ? 0x7FC00123u : Bits(1.0f)) << offset;
        // Of two equal zeros the generic walk keeps the first, the slots take the later.
        EXPECT_EQ(MaxBits({-0.0f, 0.0f}, offset), Generic() ? MINUS_ZERO : 0u) << offset;
        EXPECT_EQ(MinBits({0.0f, -0.0f}, offset), Generic() ? 0u : MINUS_ZERO) << offset;
        EXPECT_EQ(MaxBits({0.0f, -0.0f}, offset), Generic() ? 0u : MINUS_ZERO) << offset;
    }
    // Eight elements from a 16-byte boundary: in the slots a NaN survives as the last value of
    // lane 3 (index 7) but not of lane 2 (index 6), whose fold against lane 0 replaces it.
    std::vector<float> eight = {1, 2, 3, 4, 5, 6, 7, 8};
    eight[7] = nan;
    EXPECT_EQ(MaxBits(eight, 0), Generic() ? Bits(7.0f) : 0x7FC00123u);
    eight[7] = 8;
    eight[6] = nan;
    EXPECT_EQ(MaxBits(eight, 0), Bits(8.0f));
}

// On the generic block path the lanes fold preferring the later lane on ties, so of two equal
// zeros the one in lane 2 wins even though lane 0 met its zero first; element by element (here on
// an address that is not 4-byte aligned) the first zero met wins. The slots follow their model.
TEST_P(VectorReductions, BlockFoldDecidesBetweenEqualZeros)
{
    const std::vector<float> forMax = {-1, -1, -1, -1, 0.0f, -1, -0.0f, -1};
    const std::vector<float> forMin = {1, 1, 1, 1, -0.0f, 1, 0.0f, 1};
    for (size_t offset : {0, 1}) {
        TestArray hi(forMax, offset), lo(forMin, offset);
        const uint32_t maxExpected = Generic() ? (offset == 0 ? MINUS_ZERO : 0u) : Bits(ExtremeModel<true>(hi.Data(), 8));
        const uint32_t minExpected = Generic() ? (offset == 0 ? 0u : MINUS_ZERO) : Bits(ExtremeModel<false>(lo.Data(), 8));
        EXPECT_EQ(MaxBits(forMax, offset), maxExpected) << offset;
        EXPECT_EQ(MinBits(forMin, offset), minExpected) << offset;
    }
}

// Without NaNs and zeros of both signs every form finds the true extreme; with them each slot
// equals its model bit for bit, over lengths and every 4-byte phase of a 32-byte block.
TEST_P(VectorReductions, ExtremesAtEveryLengthAndAlignment)
{
    for (size_t offset : {0, 4, 8, 12, 16, 20, 24, 28, 2, 7}) {
        for (int32_t len = 1; len <= 70; ++len) {
            auto plain = RandomValues(len, -100.0f, 100.0f, 31u * len);
            auto mixed = coretest::MixedFloats(len, 7u * len + offset);
            for (int32_t i = 3; i < len; i += 7) {
                plain[i] = FromBits(i % 2 ? 0x7FC00000u : 0xFFC00000u);
            }
            const float hi = *std::max_element(plain.begin(), plain.end(), [](float x, float y) {
                return std::isnan(x) || (!std::isnan(y) && x < y);
            });
            const float lo = *std::min_element(plain.begin(), plain.end(), [](float x, float y) {
                return !std::isnan(x) && (std::isnan(y) || x < y);
            });
            if (Generic()) {
                // Later NaNs are ignored by the generic walk.
                ASSERT_EQ(MaxBits(plain, offset), Bits(hi)) << "offset " << offset << " len " << len;
                ASSERT_EQ(MinBits(plain, offset), Bits(lo)) << "offset " << offset << " len " << len;
                continue;
            }
            for (const auto* values : {&plain, &mixed}) {
                TestArray a(*values, offset);
                ASSERT_EQ(MaxBits(*values, offset), Bits(ExtremeModel<true>(a.Data(), len))) << offset << " " << len;
                ASSERT_EQ(MinBits(*values, offset), Bits(ExtremeModel<false>(a.Data(), len))) << offset << " " << len;
            }
            // Without NaNs, the true extremes.
            const auto clean = RandomValues(len, -100.0f, 100.0f, 5u * len);
            ASSERT_EQ(MaxBits(clean, offset), Bits(*std::max_element(clean.begin(), clean.end())));
            ASSERT_EQ(MinBits(clean, offset), Bits(*std::min_element(clean.begin(), clean.end())));
        }
    }
}

TEST_P(VectorReductions, SumAndMeanAccumulateInDouble)
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
    TestArray pair({1.0f, 2.0f}), single({-7.25f}, 1), negativeZero({-0.0f});
    float out = 0.0f;
    ASSERT_EQ(Mean(pair.Data(), 2, &out, 0), StatusOk);
    EXPECT_EQ(out, 1.5f);
    ASSERT_EQ(Mean(single.Data(), 1, &out, 0), StatusOk);
    EXPECT_EQ(out, -7.25f);
    for (int32_t hint : {0, 1}) {
        ASSERT_EQ(Sum(single.Data(), 1, &out, hint), StatusOk);
        EXPECT_EQ(out, -7.25f);
        ASSERT_EQ(Sum(negativeZero.Data(), 1, &out, hint), StatusOk);
        EXPECT_EQ(Bits(out), 0u) << "the accumulators start at +0.0";
    }
    // A sum beyond the float range with a mean inside it: the mean is the double sum's.
    TestArray large({3e38f, 3e38f});
    ASSERT_EQ(Sum(large.Data(), 2, &out, 0), StatusOk);
    EXPECT_EQ(Bits(out), PLUS_INF);
    for (int32_t hint : {0, 1}) {
        ASSERT_EQ(Mean(large.Data(), 2, &out, hint), StatusOk);
        EXPECT_EQ(out, 3e38f) << "hint " << hint;
    }
}

// Integers up to 2^24 stay exact in every accumulator, so any grouping gives the exact sum:
// a dropped or repeated element in the groups of four or the tail shows at once.
TEST_P(VectorReductions, SumCoversEveryElementOnce)
{
    for (int32_t hint : {0, 1}) {
        for (size_t offset : {0, 4, 8, 12, 3}) {
            for (int32_t len = 1; len <= 40; ++len) {
                std::vector<float> values(len);
                double exact = 0;
                for (int32_t i = 0; i < len; ++i) {
                    values[i] = static_cast<float>(1 << (i % 20));
                    exact += values[i];
                }
                TestArray a(values, offset);
                float sum = 0.0f;
                ASSERT_EQ(Sum(a.Data(), len, &sum, hint), StatusOk);
                EXPECT_EQ(sum, static_cast<float>(exact)) << "len " << len;
            }
        }
    }
}

// Each slot's sum and mean equal their models bit for bit, for both methods, at every length
// and offset and around the chunk splits; hints other than 1 behave alike.
TEST_P(VectorReductions, SumAndMeanFollowTheSlotOrder)
{
    if (Generic()) {
        GTEST_SKIP() << "the generic order is pinned by the tests above";
    }
    const auto check = [](const std::vector<float>& values, size_t offset, int32_t hint) {
        TestArray a(values, offset);
        const auto n = static_cast<int32_t>(values.size());
        float sum = 0.0f;
        float mean = 0.0f;
        ASSERT_EQ(Sum(a.Data(), n, &sum, hint), StatusOk);
        ASSERT_EQ(Mean(a.Data(), n, &mean, hint), StatusOk);
        const float expectedSum = static_cast<float>(SlotSum(a.Data(), n, hint));
        const float expectedMean = SlotMean(a.Data(), n, hint);
        ASSERT_TRUE(Bits(sum) == Bits(expectedSum) || (std::isnan(sum) && std::isnan(expectedSum)))
            << "len " << n << " offset " << offset << " hint " << hint << ": " << sum << " vs " << expectedSum;
        ASSERT_TRUE(Bits(mean) == Bits(expectedMean) || (std::isnan(mean) && std::isnan(expectedMean)))
            << "len " << n << " offset " << offset << " hint " << hint;
    };
    for (int32_t hint : {0, 1, 2, -1}) {
        for (size_t offset = 0; offset < 16; ++offset) {
            for (int32_t len = 1; len <= 70; ++len) {
                check(RandomValues(len, -1e4f, 1e4f, 3u * len + offset), offset, hint);
            }
            check(coretest::MixedFloats(67, static_cast<uint32_t>(offset)), offset, hint);
        }
        for (int32_t len : {32768, 32769, 32771, 65536 + 5, 1000}) {
            for (size_t offset : {0, 4, 12, 1}) {
                check(RandomValues(len, -1.0f, 1.0f, 7u + len), offset, hint);
            }
        }
    }
    // The chunked sum reads only address bits 2 and 3 for its peel: the same data at an address
    // that is not 4-byte aligned gives the sum of the aligned address below it.
    const auto values = RandomValues(40000, -1.0f, 1.0f, 99);
    for (size_t offset : {4, 8, 12}) {
        TestArray aligned(values, offset), shifted(values, offset + 1);
        float x = 0.0f, y = 1.0f;
        ASSERT_EQ(Sum(aligned.Data(), 40000, &x, 1), StatusOk);
        ASSERT_EQ(Sum(shifted.Data(), 40000, &y, 1), StatusOk);
        EXPECT_EQ(Bits(x), Bits(y)) << offset;
    }
}

// Under the caller's rounding toward zero and flushing of subnormals, the sums keep their order:
// each equals its model computed under the same modes.
TEST_P(VectorReductions, SumFollowsTheCallersRoundingMode)
{
    if (Generic()) {
        GTEST_SKIP() << "the generic sum is plain arithmetic in the caller's modes";
    }
    const uint32_t saved = _mm_getcsr();
    const auto values = RandomValues(1000, -3.0f, 3.0f, 5);
    for (uint32_t mode : {0x1F80u | 0x6000u, 0x1F80u | 0x8040u, 0x1F80u | 0x4000u}) {
        for (int32_t hint : {0, 1}) {
            for (size_t offset : {0, 4, 8}) {
                TestArray a(values, offset);
                _mm_setcsr(mode);
                float sum = 0.0f;
                const PrimitiveStatus status = Sum(a.Data(), 1000, &sum, hint);
                const float expected = static_cast<float>(SlotSum(a.Data(), 1000, hint));
                _mm_setcsr(saved);
                ASSERT_EQ(status, StatusOk);
                EXPECT_EQ(Bits(sum), Bits(expected)) << std::hex << mode << " hint " << hint;
            }
        }
    }
}

TEST_P(VectorReductions, DotProductFormDependsOnTheAlignment)
{
    // Interleaved partial sums keep the ones that a sequential sum loses next to 1e8.
    const std::vector<float> a(8, 1.0f);
    const std::vector<float> b = {1e8f, 1, 1, 1, -1e8f, 1, 1, 1};
    struct Case {
        size_t offsetA, offsetB;
        float generic;
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
        // Up to 15 elements the slots add the even and the odd products in two lanes.
        EXPECT_EQ(result, Generic() ? c.generic : 5.0f) << c.offsetA << "/" << c.offsetB;
    }
    TestArray one({-2.0f}), zero({0.0f});
    float result = -1.0f;
    ASSERT_EQ(DotProduct(one.Data(), zero.Data(), 1, &result), StatusOk);
    EXPECT_EQ(Bits(result), 0u) << "-0.0 product onto +0.0";
}

TEST_P(VectorReductions, DotProductCoversEveryElementOnce)
{
    for (size_t offsetA : {4, 0, 8, 1}) {
        for (size_t offsetB : {0, 4, 8, 12, 1}) {
            for (int32_t len = 1; len <= 40; ++len) {
                std::vector<float> a(len), b(len);
                float exact = 0;
                for (int32_t i = 0; i < len; ++i) {
                    a[i] = static_cast<float>(i + 1);
                    b[i] = static_cast<float>((i % 5) - 2);
                    exact += a[i] * b[i];
                }
                TestArray x(a, offsetA), y(b, offsetB);
                float result = 0.0f;
                ASSERT_EQ(DotProduct(x.Data(), y.Data(), len, &result), StatusOk);
                ASSERT_EQ(result, exact) << "offsets " << offsetA << "/" << offsetB << " len " << len;
            }
        }
    }
}

// Each slot's dot product equals the model of its kernel bit for bit over lengths (the pair path
// to 15, the four accumulators from 16) and every pair of 4-byte phases, misaligned ones included.
TEST_P(VectorReductions, DotProductFollowsTheSlotKernel)
{
    if (Generic()) {
        GTEST_SKIP() << "the generic kernel is pinned by the tests above";
    }
    const bool sse = DispatchIndex == 1;
    for (size_t offsetA = 0; offsetA < 16; ++offsetA) {
        for (size_t offsetB = 0; offsetB < 16; ++offsetB) {
            if ((offsetA % 4 != 0 || offsetB % 4 != 0) && (offsetA + offsetB) % 3 != 0) {
                continue;  // a sample of the misaligned pairs
            }
            for (int32_t len : {1, 2, 3, 14, 15, 16, 17, 19, 27, 28, 31, 32, 33, 45, 64, 70, 301}) {
                TestArray x(RandomValues(len, -10.0f, 10.0f, 11u * len), offsetA);
                TestArray y(RandomValues(len, -10.0f, 10.0f, 13u * len + 1), offsetB);
                float result = 0.0f;
                ASSERT_EQ(DotProduct(x.Data(), y.Data(), len, &result), StatusOk);
                const float expected = sse ? DotSseModel(x.Data(), y.Data(), len) : DotSsse3Model(x.Data(), y.Data(), len);
                ASSERT_EQ(Bits(result), Bits(expected)) << "offsets " << offsetA << "/" << offsetB << " len " << len;
            }
        }
    }
}

KVX_INSTANTIATE_FOR_EVERY_SLOT(VectorReductions);

}  // namespace

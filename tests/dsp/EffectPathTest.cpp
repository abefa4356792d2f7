#include <gtest/gtest.h>

#include "dsp/EffectPath.h"
#include "platform/nt/PoolHost.h"
#include "tests/dsp/PeakLimiterFixture.h"

namespace kvxtest {
namespace {

// Blocks of one limiter's buffers (per channel: filter delay, filter state, two rings).
constexpr size_t kLimiterBufferBlocks = 8 * 4;

// An effect entity's order: both work sets, then the limiters.
bool MakePath(EffectPath& path, float gain) { return path.AllocateWorkSets() && path.AllocateLimiters(gain); }

TEST(EffectPath, MadePathHasTwoZeroedWorkSetsAndTwoLimitersAtTheirGains)
{
    EffectPath path;
    EXPECT_FALSE(path.IsComplete());
    ASSERT_TRUE(MakePath(path, 2.8183f));
    ASSERT_TRUE(path.IsComplete());
    // Two arrays and sixteen 512-float buffers; two limiter objects with their buffers.
    EXPECT_EQ(platform::PoolLiveCount(EFFECT_WORK_SET_TAG), 18u);
    EXPECT_EQ(platform::PoolLiveCount(EFFECT_LIMITER_TAG), 2u);
    EXPECT_EQ(platform::PoolLiveCount(LIMITER_BUFFER_TAG), 2 * kLimiterBufferBlocks);
    for (float* const* set : {path.DrySet(), path.EffectSet()}) {
        for (int c = 0; c < 8; ++c) {
            ULONG tag = 0;
            POOL_TYPE type{};
            SIZE_T size = 0;
            ASSERT_TRUE(platform::PoolQueryBlock(set[c], &tag, &type, &size));
            EXPECT_EQ(type, NonPagedPoolNx);
            EXPECT_EQ(size, 512 * sizeof(float));
            for (int i = 0; i < 512; ++i) {
                ASSERT_EQ(set[c][i], 0.0f);
            }
        }
    }
    EXPECT_NE(path.DrySet()[0], path.EffectSet()[0]);
    for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(PeakLimiterInspector::ConfiguredGain(*path.EffectLimiter(), c), 2.8183f);
        EXPECT_EQ(PeakLimiterInspector::ConfiguredGain(*path.DryLimiter(), c), 1.0f);
    }
    for (PeakLimiter* l : {path.EffectLimiter(), path.DryLimiter()}) {
        EXPECT_TRUE(PeakLimiterInspector::Allocated(*l));
        EXPECT_EQ(PeakLimiterInspector::Mode(*l), 0);
        EXPECT_EQ(PeakLimiterInspector::Threshold(*l), 1.0f);
    }
    path.Free();
    EXPECT_FALSE(path.IsComplete());
    EXPECT_EQ(platform::PoolLiveCount(EFFECT_WORK_SET_TAG), 0u);
    EXPECT_EQ(platform::PoolLiveCount(EFFECT_LIMITER_TAG), 0u);
    path.Free();  // twice is harmless
}

// Every allocation failing in turn: the path stops there, is never complete, keeps what it made
// (whole members only: a limiter whose buffers failed is gone) and frees without a leak.
TEST(EffectPath, EachFailedAllocationLeavesAnIncompletePathThatFreesCleanly)
{
    const uint64_t before = platform::PoolCurrentSerial();
    {
        EffectPath path;
        ASSERT_TRUE(MakePath(path, 2.0f));
        path.Free();
    }
    const uint64_t allocations = platform::PoolCurrentSerial() - before;
    ASSERT_GT(allocations, 18u);
    for (uint64_t n = 1; n <= allocations; ++n) {
        EffectPath path;
        platform::PoolFailNthAllocation(n);
        EXPECT_FALSE(MakePath(path, 2.0f)) << n;
        platform::PoolClearFailures();
        EXPECT_FALSE(path.IsComplete()) << n;
        // The work sets come first: a failure there leaves no limiter.
        if (n <= 18) {
            EXPECT_EQ(path.EffectLimiter(), nullptr) << n;
        }
        if (path.EffectLimiter() == nullptr || path.DryLimiter() == nullptr) {
            EXPECT_EQ(platform::PoolLiveCount(LIMITER_BUFFER_TAG),
                      (path.EffectLimiter() != nullptr ? 1 : 0) * kLimiterBufferBlocks) << n;
        }
        // A second attempt completes what is missing.
        EXPECT_TRUE(MakePath(path, 2.0f)) << n;
        EXPECT_TRUE(path.IsComplete()) << n;
        path.Free();
        EXPECT_EQ(platform::PoolLiveCount(EFFECT_WORK_SET_TAG) + platform::PoolLiveCount(EFFECT_LIMITER_TAG) +
                      platform::PoolLiveCount(LIMITER_BUFFER_TAG),
                  0u)
            << n;
    }
}

}  // namespace
}  // namespace kvxtest

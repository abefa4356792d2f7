#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/nt/Irql.h"
#include "platform/nt/PoolHost.h"
#include "platform/nt/Verifier.h"
#include "tests/dsp/PeakLimiterFixture.h"

namespace kvxtest {
namespace {

// Per channel: filter delay block, filter state memory, input ring, output ring.
constexpr size_t kBlocksPerLimiter = 8 * 4;

TEST(PeakLimiter, ConstructedLimiterHasUnityStateAndNoBuffers)
{
    PeakLimiter* l = NewLimiter();
    ASSERT_NE(l, nullptr);
    EXPECT_FALSE(PeakLimiterInspector::Allocated(*l));
    EXPECT_EQ(PeakLimiterInspector::Threshold(*l), 1.0f);
    EXPECT_EQ(PeakLimiterInspector::Mode(*l), 0);
    for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(PeakLimiterInspector::CurrentGain(*l, c), 1.0f);
        EXPECT_EQ(PeakLimiterInspector::JumpFlag(*l, c), 1);
    }
    EXPECT_EQ(platform::PoolLiveCount(LIMITER_BUFFER_TAG), 0u);
    // Reset, SetFormat and FreeBuffers on a limiter without buffers touch nothing.
    l->Reset();
    const WaveFormatRecord f = LimiterFormat(2);
    l->SetFormat(&f);
    l->FreeBuffers();
    l->FreeBuffers();
    DeleteLimiter(l);
}

TEST(PeakLimiter, AllocateBuffersObtainsNonPagedTaggedBlocksOnceAndFreeBuffersReturnsThem)
{
    PeakLimiter* l = NewLimiter();
    ASSERT_TRUE(l->AllocateBuffers());
    EXPECT_TRUE(PeakLimiterInspector::Allocated(*l));
    EXPECT_EQ(platform::PoolLiveCount(LIMITER_BUFFER_TAG), kBlocksPerLimiter);
    const size_t bytes = platform::PoolLiveBytes(LIMITER_BUFFER_TAG);

    // A second call is a no-op that reports success.
    const uint64_t serial = platform::PoolCurrentSerial();
    EXPECT_TRUE(l->AllocateBuffers());
    EXPECT_EQ(platform::PoolCurrentSerial(), serial);
    EXPECT_EQ(platform::PoolLiveBytes(LIMITER_BUFFER_TAG), bytes);

    const WaveFormatRecord f = LimiterFormat(2);
    l->SetFormat(&f);
    for (int c = 0; c < 8; ++c) {
        ASSERT_NE(PeakLimiterInspector::FirStateOf(*l, c), nullptr) << c;
        ULONG tag = 0;
        POOL_TYPE type{};
        SIZE_T size = 0;
        // Each filter state lies in the limiter's own non-paged memory.
        EXPECT_TRUE(platform::PoolQueryBlock(PeakLimiterInspector::FirStateOf(*l, c), &tag, &type, &size)) << c;
        EXPECT_EQ(tag, LIMITER_BUFFER_TAG);
        EXPECT_EQ(type, NonPagedPoolNx);
    }

    l->FreeBuffers();
    EXPECT_EQ(platform::PoolLiveCount(LIMITER_BUFFER_TAG), 0u);
    for (int c = 0; c < 8; ++c) {
        EXPECT_EQ(PeakLimiterInspector::FirStateOf(*l, c), nullptr);
    }
    l->FreeBuffers();

    // Freed buffers leave an unallocated limiter: the signal operations touch nothing, and
    // AllocateBuffers obtains the blocks again.
    EXPECT_FALSE(PeakLimiterInspector::Allocated(*l));
    l->Reset();
    l->SetFormat(&f);
    float x[2][256] = {};
    x[0][0] = 0.5f;
    float* channels[2] = {x[0], x[1]};
    l->Process(channels, 256);
    EXPECT_EQ(x[0][0], 0.5f);
    EXPECT_TRUE(l->AllocateBuffers());
    EXPECT_EQ(platform::PoolLiveCount(LIMITER_BUFFER_TAG), kBlocksPerLimiter);
    DeleteLimiter(l);
}

// Every allocation in turn fails: false, no harm from the other operations, and nothing left
// once FreeBuffers ran. A retry obtains only the missing blocks.
TEST(PeakLimiter, EachFailedAllocationIsReportedAndLeavesNothingBehind)
{
    for (uint64_t n = 1; n <= kBlocksPerLimiter; ++n) {
        SCOPED_TRACE(n);
        PeakLimiter* l = NewLimiter();
        platform::PoolFailNthAllocation(n);
        EXPECT_FALSE(l->AllocateBuffers());
        EXPECT_FALSE(PeakLimiterInspector::Allocated(*l));
        EXPECT_EQ(platform::PoolLiveCount(LIMITER_BUFFER_TAG), n - 1);

        const WaveFormatRecord f = LimiterFormat(2);
        l->SetFormat(&f);
        l->Reset();
        float left[300];
        float right[300];
        for (int i = 0; i < 300; ++i) {
            left[i] = static_cast<float>(i);
            right[i] = -static_cast<float>(i);
        }
        float* channels[2] = {left, right};
        l->Process(channels, 300);
        EXPECT_EQ(left[299], 299.0f);
        EXPECT_EQ(right[1], -1.0f);

        if (n % 2 == 0) {
            EXPECT_TRUE(l->AllocateBuffers());
            EXPECT_EQ(platform::PoolLiveCount(LIMITER_BUFFER_TAG), kBlocksPerLimiter);
        }
        l->FreeBuffers();
        EXPECT_EQ(platform::PoolLiveCount(LIMITER_BUFFER_TAG), 0u);
        DeleteLimiter(l);
    }
    platform::PoolClearFailures();
}

TEST(PeakLimiter, SettingsAreKeptAndSetTheJumpFlagsAsTheModeAllows)
{
    PeakLimiter* l = NewConfiguredLimiter(1.0f, 1);
    float x[128] = {};
    float* channels[1] = {x};
    l->Process(channels, 128);  // one block step clears the flags
    ASSERT_EQ(PeakLimiterInspector::JumpFlag(*l, 0), 0);

    l->SetGain(2.0f);  // mode 0: flags set
    EXPECT_EQ(PeakLimiterInspector::JumpFlag(*l, 7), 1);
    EXPECT_EQ(PeakLimiterInspector::ConfiguredGain(*l, 7), 2.0f);
    l->Process(channels, 128);

    l->SetMode(3);  // SetMode always sets them
    EXPECT_EQ(PeakLimiterInspector::JumpFlag(*l, 0), 1);
    l->Process(channels, 128);
    l->SetGain(0.5f);  // other modes: flags stay clear
    EXPECT_EQ(PeakLimiterInspector::JumpFlag(*l, 0), 0);
    EXPECT_EQ(PeakLimiterInspector::ConfiguredGain(*l, 0), 0.5f);

    l->SetThreshold(0.25f);
    EXPECT_EQ(PeakLimiterInspector::Threshold(*l), 0.25f);
    EXPECT_EQ(PeakLimiterInspector::JumpFlag(*l, 0), 1);

    // Reset keeps every setting.
    l->Process(channels, 128);
    l->Reset();
    EXPECT_EQ(PeakLimiterInspector::JumpFlag(*l, 0), 1);
    EXPECT_EQ(PeakLimiterInspector::Threshold(*l), 0.25f);
    EXPECT_EQ(PeakLimiterInspector::Mode(*l), 3);
    EXPECT_EQ(PeakLimiterInspector::ConfiguredGain(*l, 0), 0.5f);
    DeleteLimiter(l);
}

TEST(PeakLimiter, CoefficientTablesAreSymmetricWithTheirCentreAndEndValues)
{
    struct Case {
        const float* table;
        float centre;
        float first;
    };
    for (const Case& t : {Case{LimiterFirTable48k, 0.6591155f, -0.0014565f}, Case{LimiterFirTable, 0.6926921f, -0.0016591f}}) {
        EXPECT_EQ(t.table[50], t.centre);
        EXPECT_EQ(t.table[0], t.first);
        for (int k = 0; k < LIMITER_FIR_TAPS; ++k) {
            EXPECT_EQ(t.table[k], t.table[100 - k]) << k;
        }
    }
}

TEST(PeakLimiter, SetFormatScalesTheTableOfItsRate)
{
    struct Case {
        ULONG rate;
        const float* table;
        float first;
    };
    PeakLimiter* l = NewConfiguredLimiter(1.0f, 2);
    for (const Case& t : {Case{48000, LimiterFirTable48k, 1.0f}, Case{44100, LimiterFirTable, 2.0f * -0.0016591f},
                          Case{96000, LimiterFirTable, 2.0f * -0.0016591f}}) {
        SCOPED_TRACE(t.rate);
        const WaveFormatRecord f = LimiterFormat(2, t.rate);
        l->SetFormat(&f);
        const float* taps = PeakLimiterInspector::Taps(*l);
        EXPECT_EQ(taps[0], t.first);
        for (int k = 1; k < LIMITER_FIR_TAPS; ++k) {
            EXPECT_EQ(taps[k], 2.0f * t.table[k]) << k;
        }
    }
    DeleteLimiter(l);
}

// The streaming path formats, processes and resets at DISPATCH_LEVEL: no verifier fault and no
// allocation.
TEST(PeakLimiter, FormatProcessAndResetAtDispatchLevelAllocateNothing)
{
    PeakLimiter* l = NewConfiguredLimiter(1.0f, 8);
    std::vector<std::vector<float>> data(8, std::vector<float>(512, 0.5f));
    float* channels[8];
    for (int c = 0; c < 8; ++c) {
        channels[c] = data[c].data();
    }
    const WaveFormatRecord f = LimiterFormat(8, 44100);
    const uint64_t serial = platform::PoolCurrentSerial();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    l->SetFormat(&f);
    l->Process(channels, 512);
    l->Reset();
    l->Process(channels, 512);
    KeLowerIrql(old);
    EXPECT_EQ(platform::PoolCurrentSerial(), serial);
    EXPECT_TRUE(platform::VerifierTakeFaults().empty());
    DeleteLimiter(l);
}

}  // namespace
}  // namespace kvxtest

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/nt/PoolHost.h"
#include "tests/globaltopo/common/JQZ/HeadphoneFirFixture.h"
#include "tests/primitives/fft/FftReference.h"

namespace {

using Inspector = HeadphoneFirInspector;
using kvxtest::HeadphoneFirTestBase;

class HeadphoneFirTest : public HeadphoneFirTestBase {};

TEST_F(HeadphoneFirTest, InitLoadsSetOneWithCode29AndBypasses)
{
    EXPECT_EQ(Inspector::Room(*m_fir), 1);
    EXPECT_EQ(Inspector::Angle(*m_fir), 29);
    EXPECT_EQ(Inspector::HeadCount(*m_fir), 2);
    EXPECT_EQ(Inspector::TailCount(*m_fir), 6);
    EXPECT_FALSE(m_fir->IsSwitchPending());
    EXPECT_EQ(Inspector::CtcAngle(*m_fir), 0);
    EXPECT_EQ(Inspector::CtcFilterLength(*m_fir), HEADPHONEFIR_CTC_BYPASS);
    EXPECT_TRUE(m_fir->HasFftSpec());
    EXPECT_TRUE(m_fir->HasCtcStates());
}

TEST_F(HeadphoneFirTest, SelectionTable)
{
    struct Case {
        int32_t roomCode;
        int32_t angleCode;
        int32_t set;
        int32_t code;
        int32_t tailCount;
    };
    const Case cases[] = {
        {0, 39, 3, 39, 14}, {1, 40, 2, 40, 10}, {2, 31, 1, 31, 12},
        // Unknown rooms take set 2, unknown angles code 24.
        {7, 24, 2, 24, 6}, {-1, 30, 2, 30, 10}, {0, -1, 3, 24, 14}, {0, 26, 3, 24, 14}, {1, 0, 2, 24, 6},
        // Every code in every set: the tail count follows set and family.
        {2, 24, 1, 24, 6}, {2, 29, 1, 29, 6}, {2, 34, 1, 34, 6}, {2, 39, 1, 39, 6},
        {2, 25, 1, 25, 6}, {2, 30, 1, 30, 6}, {2, 35, 1, 35, 6}, {2, 40, 1, 40, 6},
        {1, 24, 2, 24, 6}, {1, 29, 2, 29, 6}, {1, 34, 2, 34, 6}, {1, 39, 2, 39, 6},
        {1, 25, 2, 25, 10}, {1, 30, 2, 30, 10}, {1, 35, 2, 35, 10}, {1, 31, 2, 31, 12},
        {0, 24, 3, 24, 14}, {0, 29, 3, 29, 14}, {0, 34, 3, 34, 14},
        {0, 25, 3, 25, 14}, {0, 30, 3, 30, 14}, {0, 35, 3, 35, 14}, {0, 40, 3, 40, 14}, {0, 31, 3, 31, 12},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(testing::Message() << "room code " << t.roomCode << ", angle code " << t.angleCode);
        EXPECT_EQ(m_fir->SelectImpulseResponses(t.roomCode, t.angleCode), 1);
        EXPECT_TRUE(m_fir->IsSwitchPending());
        EXPECT_EQ(m_fir->LoadImpulseResponses(), 1);
        EXPECT_FALSE(m_fir->IsSwitchPending());
        EXPECT_EQ(Inspector::Room(*m_fir), t.set);
        EXPECT_EQ(Inspector::Angle(*m_fir), t.code);
        EXPECT_EQ(Inspector::HeadCount(*m_fir), 2);
        EXPECT_EQ(Inspector::TailCount(*m_fir), t.tailCount);
    }
}

TEST_F(HeadphoneFirTest, TwoSelectionsBeforeALoadLoadTheSecondOnce)
{
    m_fir->SelectImpulseResponses(0, 39);
    m_fir->SelectImpulseResponses(2, 31);
    m_fir->LoadImpulseResponses();
    EXPECT_EQ(Inspector::Room(*m_fir), 1);
    EXPECT_EQ(Inspector::Angle(*m_fir), 31);
    EXPECT_EQ(Inspector::TailCount(*m_fir), 12);
    EXPECT_FALSE(m_fir->IsSwitchPending()) << "the next block would load again";
}

// Every partition of the loaded responses against a double DFT of the partition followed by 512
// zeros, in the packed layout (DC, Nyquist, then real and imaginary parts).
void ExpectPartition(const float* spectrum, const float* samples, const char* what, int index, int part)
{
    std::vector<float> frame(2 * HEADPHONEFIR_N, 0.0f);
    std::copy(samples, samples + HEADPHONEFIR_N, frame.begin());
    const std::vector<fftref::Cd> X = fftref::RealSpectrum(frame);
    double worst = std::fabs(spectrum[0] - X[0].real());
    worst = std::max(worst, std::fabs(spectrum[1] - X[HEADPHONEFIR_N].real()));
    for (int k = 1; k < HEADPHONEFIR_N; ++k) {
        worst = std::max(worst, std::fabs(spectrum[2 * k] - X[static_cast<size_t>(k)].real()));
        worst = std::max(worst, std::fabs(spectrum[2 * k + 1] - X[static_cast<size_t>(k)].imag()));
    }
    EXPECT_LE(worst, 1e-5) << what << " " << index << ", partition " << part;
}

TEST_F(HeadphoneFirTest, PartitionSpectraAreTheTransformsOfTheZeroPaddedPartitions)
{
    struct Case {
        int32_t roomCode;
        int32_t angleCode;
    };
    // A variant 1 code (no shared responses) with the middle tail, and the longest tail.
    for (const Case& t : {Case{1, 40}, Case{0, 39}}) {
        m_fir->SelectImpulseResponses(t.roomCode, t.angleCode);
        m_fir->LoadImpulseResponses();
        const int32_t set = Inspector::Room(*m_fir);
        const int32_t family = HeadphoneAngleFamily(t.angleCode);
        const float* head = HeadphoneResponseLibrary + HeadphoneHeadOffset(set, HeadphoneAngleCodeIndex(t.angleCode));
        const float* tail = HeadphoneResponseLibrary + HeadphoneTailOffset(set, family);
        const int32_t tailLength = HeadphoneTailLengths[set - 1][family];
        for (int r = 0; r < HEADPHONE_HEAD_RESPONSES; ++r) {
            for (int p = 0; p < 2; ++p) {
                ExpectPartition(Inspector::HeadSpectrum(*m_fir, r, p), head + r * HEADPHONE_HEAD_LENGTH + p * 512, "head", r, p);
            }
        }
        for (int e = 0; e < 2; ++e) {
            for (int p = 0; p < Inspector::TailCount(*m_fir); ++p) {
                ExpectPartition(Inspector::TailSpectrum(*m_fir, e, p), tail + e * tailLength + p * 512, "tail", e, p);
            }
        }
    }
}

TEST(PrepareImpulseResponses, RefusesLayoutsItWasNotBuiltFor)
{
    FftSpec* spec = nullptr;
    ASSERT_EQ(CreateRealFft(&spec, HEADPHONEFIR_FFT_ORDER, 2, 0), StatusOk);
    std::vector<float> head(10 * 1024, 0.25f), tail(2 * 7168, 0.125f);
    std::vector<float> headSpectra(10 * 2 * 1024), tailSpectra(2 * 14 * 1024);
    struct Case {
        const char* name;
        int32_t nhead, headlen, ntail, tailen;
        bool withSpec;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"ten heads, longest tail", 10, 1024, 2, 7168, true, STATUS_SUCCESS},
        {"five heads", 5, 1024, 2, 3072, true, STATUS_INVALID_PARAMETER},
        {"three head partitions", 10, 1536, 2, 3072, true, STATUS_INVALID_PARAMETER},
        {"fifteen tail partitions", 10, 1024, 2, 7680, true, STATUS_INVALID_PARAMETER},
        {"tail not a multiple of 512", 10, 1024, 2, 3000, true, STATUS_INVALID_PARAMETER},
        {"one tail", 10, 1024, 1, 3072, true, STATUS_INVALID_PARAMETER},
        {"no FFT specification", 10, 1024, 2, 3072, false, STATUS_INVALID_PARAMETER},
    };
    for (const Case& t : cases) {
        SCOPED_TRACE(t.name);
        int32_t headCount = -1, tailCount = -1;
        std::fill(headSpectra.begin(), headSpectra.end(), 7.0f);
        EXPECT_EQ(PrepareImpulseResponses(head.data(), t.nhead, t.headlen, tail.data(), t.ntail, t.tailen,
                                          headSpectra.data(), tailSpectra.data(), &headCount, &tailCount,
                                          t.withSpec ? spec : nullptr, nullptr),
                  t.expected);
        if (t.expected == STATUS_SUCCESS) {
            EXPECT_EQ(headCount, 2);
            EXPECT_EQ(tailCount, 14);
            EXPECT_EQ(headSpectra[0], 0.25f * 512);  // DC of a partition of 0.25
        } else {
            EXPECT_EQ(headCount, -1);
            EXPECT_EQ(tailCount, -1);
            EXPECT_EQ(headSpectra[0], 7.0f) << "written on a refusal";
        }
    }
    // Either count may be left out.
    EXPECT_EQ(PrepareImpulseResponses(head.data(), 10, 1024, tail.data(), 2, 3072, headSpectra.data(), tailSpectra.data(),
                                      nullptr, nullptr, spec, nullptr),
              STATUS_SUCCESS);
    DestroyRealFft(spec);
}

// Each allocation of Init failed in turn: Init reports what it could not obtain (a FIR state
// without its own FFT still filters, in direct form, and counts as obtained), the object stays
// usable (a load without the FFT loads nothing; bypass needs no state), and Release leaves no
// block of the FIR's or the primitives' pool behind.
TEST(HeadphoneFirInit, EachFailedAllocationLeavesNothingAfterRelease)
{
    const ULONG tags[] = {HEADPHONEFIR_POOL_TAG, MakePoolTag("KVX ")};
    int refused = 0;
    for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE(n);
        HeadphoneFir* fir = kvxtest::NewHeadphoneFir();
        ASSERT_NE(fir, nullptr);
        const size_t before[] = {platform::PoolLiveCount(tags[0]), platform::PoolLiveCount(tags[1])};
        const uint64_t injected = platform::PoolInjectedFailures();
        platform::PoolFailNthAllocation(n);
        const NTSTATUS status = fir->Init();
        const bool failed = platform::PoolInjectedFailures() != injected;
        platform::PoolClearFailures();
        EXPECT_EQ(status == STATUS_SUCCESS, fir->HasFftSpec() && fir->HasCtcStates());
        EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES);
        refused += status != STATUS_SUCCESS;
        if (!fir->HasFftSpec()) {
            EXPECT_EQ(Inspector::HeadCount(*fir), -1);
            EXPECT_EQ(Inspector::TailCount(*fir), -1);
        }
        // Bypass works with or without the states.
        std::vector<float> l(512, 0.5f), r(512, -0.5f);
        float* io[2] = {l.data(), r.data()};
        fir->ApplyCtc(io, 2, io, 2, 512);
        EXPECT_EQ(l[300], 0.5f);
        EXPECT_EQ(r[300], -0.5f);
        fir->Release();
        EXPECT_EQ(platform::PoolLiveCount(tags[0]), before[0]);
        EXPECT_EQ(platform::PoolLiveCount(tags[1]), before[1]);
        ExFreePoolWithTag(fir, HEADPHONEFIR_POOL_TAG);
        if (!failed) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            break;
        }
    }
    // The specification and the block of each of the two states.
    EXPECT_GE(refused, 3);
}

}  // namespace

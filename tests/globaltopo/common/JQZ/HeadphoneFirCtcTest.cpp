#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <random>
#include <thread>
#include <vector>

#include "platform/nt/Irql.h"
#include "platform/nt/PoolHost.h"
#include "platform/nt/Machine.h"
#include "tests/globaltopo/common/JQZ/HeadphoneFirFixture.h"

namespace {

using Inspector = HeadphoneFirInspector;
using kvxtest::HeadphoneFirTestBase;

constexpr int N = HEADPHONEFIR_N;

const float* Direct(int angle)
{
    const int a = static_cast<int>(std::find(HeadphoneCtcAngles, HeadphoneCtcAngles + 5, angle) - HeadphoneCtcAngles);
    return HeadphoneCtcTable + a * 2 * HEADPHONE_CTC_TAPS;
}
const float* Cross(int angle)
{
    return Direct(angle) + HEADPHONE_CTC_TAPS;
}

// A stereo stream and the blocks it is cut into; the CTC stage runs in place on a copy.
struct Stream {
    Stream(int blocks, unsigned seed) : left(static_cast<size_t>(blocks) * N), right(left.size())
    {
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> u(-0.5f, 0.5f);
        for (size_t i = 0; i < left.size(); ++i) {
            left[i] = u(rng);
            right[i] = u(rng);
        }
    }
    std::vector<float> left, right;
};

// Runs blocks [first, last) of the stream through the stage, in place, and returns the outputs.
void RunBlocks(HeadphoneFir* fir, const Stream& in, int first, int last, std::vector<float>* out0,
               std::vector<float>* out1)
{
    out0->assign(in.left.begin(), in.left.end());
    out1->assign(in.right.begin(), in.right.end());
    for (int b = first; b < last; ++b) {
        float* io[2] = {out0->data() + b * N, out1->data() + b * N};
        fir->ApplyCtc(io, 2, io, 2, N);
    }
}

// d * a + x * b at sample n of the stream, the history starting at sample `start`.
double Convolve(const float* d, const float* x, const std::vector<float>& a, const std::vector<float>& b, int n,
                int start)
{
    double sum = 0.0;
    for (int k = 0; k < HEADPHONE_CTC_TAPS && n - k >= start; ++k) {
        sum += static_cast<double>(d[k]) * a[static_cast<size_t>(n - k)] + static_cast<double>(x[k]) * b[static_cast<size_t>(n - k)];
    }
    return sum;
}

// Blocks [first, last) of the outputs against direct double convolution with the angle's filters
// over the input from sample `start` on (the filters' histories began there).
void ExpectFiltered(const Stream& in, const std::vector<float>& out0, const std::vector<float>& out1, int angle,
                    int first, int last, int start)
{
    double worst = 0.0;
    for (int n = first * N; n < last * N; ++n) {
        worst = std::max(worst, std::fabs(out0[static_cast<size_t>(n)] - Convolve(Direct(angle), Cross(angle), in.left, in.right, n, start)));
        worst = std::max(worst, std::fabs(out1[static_cast<size_t>(n)] - Convolve(Direct(angle), Cross(angle), in.right, in.left, n, start)));
    }
    EXPECT_LT(worst, 2e-5) << "angle " << angle;
}

class HeadphoneFirCtcTest : public HeadphoneFirTestBase {};

TEST_F(HeadphoneFirCtcTest, FilterModeIsDirectAndCrossConvolutionWithoutAllocating)
{
    for (int angle : {5, 10, 15, 20, 30}) {
        SCOPED_TRACE(angle);
        ASSERT_EQ(m_fir->SetCtcAngle(angle), 1);
        const Stream in(6, static_cast<unsigned>(angle));
        std::vector<float> out0, out1;
        const uint64_t serial = platform::PoolCurrentSerial();
        const size_t live = platform::PoolLiveCountAll();
        RunBlocks(m_fir, in, 0, 6, &out0, &out1);
        // The block that installs the states allocates and frees nothing either.
        EXPECT_EQ(platform::PoolCurrentSerial(), serial);
        EXPECT_EQ(platform::PoolLiveCountAll(), live);
        EXPECT_EQ(Inspector::CtcFilterLength(*m_fir), HEADPHONEFIR_CTC_FILTER);
        ExpectFiltered(in, out0, out1, angle, 0, 6, 0);
    }
}

TEST_F(HeadphoneFirCtcTest, BypassDelaysEachChannelBy255Samples)
{
    const Stream in(4, 1);
    std::vector<float> out0, out1;
    RunBlocks(m_fir, in, 0, 4, &out0, &out1);
    for (size_t n = 0; n < out0.size(); ++n) {
        ASSERT_EQ(out0[n], n < 255 ? 0.0f : in.left[n - 255]) << n;
        ASSERT_EQ(out1[n], n < 255 ? 0.0f : in.right[n - 255]) << n;
    }
}

TEST_F(HeadphoneFirCtcTest, TheSameAngleKeepsTheHistoriesAndANewOneRestartsThem)
{
    const Stream in(5, 2);
    std::vector<float> out0(in.left), out1(in.right);
    auto block = [&](int b) {
        float* io[2] = {out0.data() + b * N, out1.data() + b * N};
        m_fir->ApplyCtc(io, 2, io, 2, N);
    };
    m_fir->SetCtcAngle(20);
    block(0);
    block(1);
    m_fir->SetCtcAngle(20);
    block(2);
    ExpectFiltered(in, out0, out1, 20, 0, 3, 0);
    m_fir->SetCtcAngle(30);
    block(3);
    block(4);
    ExpectFiltered(in, out0, out1, 30, 3, 5, 3 * N);
}

// From filter mode, an angle outside the table bypasses. Its first block starts with 255
// samples of the lines, which still hold the last filtered mid and side signals; then the block's
// own input, 255 samples late, with no cross-feed.
TEST_F(HeadphoneFirCtcTest, AnglesOutsideTheTableBypass)
{
    for (int angle : {0, 7, -5, 45}) {
        SCOPED_TRACE(angle);
        m_fir->SetCtcAngle(20);
        const Stream in(2, static_cast<unsigned>(100 + angle));
        std::vector<float> out0(in.left), out1(in.right);
        float* first[2] = {out0.data(), out1.data()};
        m_fir->ApplyCtc(first, 2, first, 2, N);
        std::vector<float> mid(Inspector::CtcLeftLine(*m_fir), Inspector::CtcLeftLine(*m_fir) + N);
        std::vector<float> side(Inspector::CtcRightLine(*m_fir), Inspector::CtcRightLine(*m_fir) + N);
        m_fir->SetCtcAngle(angle);
        float* second[2] = {out0.data() + N, out1.data() + N};
        m_fir->ApplyCtc(second, 2, second, 2, N);
        EXPECT_EQ(Inspector::CtcFilterLength(*m_fir), HEADPHONEFIR_CTC_BYPASS);
        for (int i = 0; i < 255; ++i) {
            ASSERT_EQ(out0[static_cast<size_t>(N + i)], mid[static_cast<size_t>(i + 1)]) << i;
            ASSERT_EQ(out1[static_cast<size_t>(N + i)], side[static_cast<size_t>(i + 1)]) << i;
        }
        for (int i = 255; i < N; ++i) {
            ASSERT_EQ(out0[static_cast<size_t>(N + i)], in.left[static_cast<size_t>(N + i - 255)]) << i;
            ASSERT_EQ(out1[static_cast<size_t>(N + i)], in.right[static_cast<size_t>(N + i - 255)]) << i;
        }
    }
}

// A state that cannot be created keeps the current mode, states and histories (a null state
// would replay stale lines); the next call retries. Each allocation of the change fails in turn:
// either the change is refused whole or it goes through (a state whose own FFT could not be
// obtained filters in direct form).
TEST_F(HeadphoneFirCtcTest, AFailedStateKeepsTheCurrentFiltersAndALaterCallRetries)
{
    int refused = 0;
    for (uint32_t n = 1;; ++n) {
        SCOPED_TRACE(n);
        // Filter mode at 10 degrees with fresh histories, one block in.
        m_fir->SetCtcAngle(0);
        m_fir->SetCtcAngle(10);
        const Stream in(2, n);
        std::vector<float> out0(in.left), out1(in.right);
        float* io0[2] = {out0.data(), out1.data()};
        m_fir->ApplyCtc(io0, 2, io0, 2, N);
        m_fir->SetCtcAngle(10);  // the same angle: nothing changes, the replaced states are reclaimed
        const size_t live = platform::PoolLiveCount(MakePoolTag("KVX "));
        const uint64_t injected = platform::PoolInjectedFailures();
        platform::PoolFailNthAllocation(n);
        m_fir->SetCtcAngle(30);
        const bool failed = platform::PoolInjectedFailures() != injected;
        platform::PoolClearFailures();
        float* io1[2] = {out0.data() + N, out1.data() + N};
        m_fir->ApplyCtc(io1, 2, io1, 2, N);
        if (Inspector::CtcAngle(*m_fir) == 10) {
            ++refused;
            EXPECT_TRUE(failed);
            EXPECT_EQ(platform::PoolLiveCount(MakePoolTag("KVX ")), live) << "a state left over";
            ExpectFiltered(in, out0, out1, 10, 0, 2, 0);
            // The next call retries, and succeeds.
            m_fir->SetCtcAngle(30);
            EXPECT_EQ(Inspector::CtcAngle(*m_fir), 30);
        } else {
            EXPECT_EQ(Inspector::CtcAngle(*m_fir), 30);
            ExpectFiltered(in, out0, out1, 30, 1, 2, N);
        }
        if (!failed) {
            break;
        }
    }
    EXPECT_GE(refused, 2) << "the block of each state";

    // As the system meets it: the primitives cannot allocate while the angle changes between two
    // blocks of filter mode, and the stream goes on unbroken.
    m_fir->SetCtcAngle(0);
    m_fir->SetCtcAngle(20);
    const Stream in(2, 99);
    std::vector<float> out0(in.left), out1(in.right);
    float* io0[2] = {out0.data(), out1.data()};
    m_fir->ApplyCtc(io0, 2, io0, 2, N);
    platform::PoolFailNextWithTag(MakePoolTag("KVX "), 8);
    m_fir->SetCtcAngle(5);
    platform::PoolClearFailures();
    float* io1[2] = {out0.data() + N, out1.data() + N};
    m_fir->ApplyCtc(io1, 2, io1, 2, N);
    EXPECT_EQ(Inspector::CtcAngle(*m_fir), 20);
    ExpectFiltered(in, out0, out1, 20, 0, 2, 0);
}

// The engine's setters run beside the block: SetCtcAngle on one thread while blocks run at
// DISPATCH_LEVEL on another. Every block uses whole, live states (the sanitizers see a use of a
// destroyed one), and nothing is left after Release.
TEST_F(HeadphoneFirCtcTest, SetCtcAngleRacingApplyCtcNeverTouchesADestroyedState)
{
    std::atomic<bool> stop{false};
    std::atomic<int> changes{0};
    std::thread setter([&] {
        platform::ClientThreadScope scope("ctc setter");
        const int angles[] = {5, 0, 10, 20, 7, 30, 15, 0};
        for (int i = 0; !stop.load(); ++i) {
            m_fir->SetCtcAngle(angles[i % 8]);
            m_fir->SelectImpulseResponses(i % 3, 24 + i % 17);
            ++changes;
        }
    });
    const Stream in(1, 4);
    std::vector<float> l, r;
    int installs = 0;
    // Until both sides have done plenty and blocks have installed states handed over while the
    // setter ran (on a loaded machine either thread may sit out long stretches), with a bound in
    // case the setter never gets to run.
    for (int block = 0; block < 1000000 && (block < 400 || changes.load() < 100 || installs < 20); ++block) {
        l = in.left;
        r = in.right;
        float* io[2] = {l.data(), r.data()};
        const void* installedBefore = Inspector::CtcInstalled(*m_fir);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        m_fir->ApplyCtc(io, 2, io, 2, N);
        if (m_fir->IsSwitchPending()) {
            m_fir->LoadImpulseResponses();
        }
        KeLowerIrql(old);
        installs += Inspector::CtcInstalled(*m_fir) != installedBefore;
        ASSERT_TRUE(std::all_of(l.begin(), l.end(), [](float v) { return std::isfinite(v); }));
    }
    EXPECT_GE(changes.load(), 100);
    EXPECT_GE(installs, 20);
    stop = true;
    setter.join();
}

}  // namespace

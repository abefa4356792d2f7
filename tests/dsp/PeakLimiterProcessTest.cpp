#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "primitives/Primitives.h"
#include "tests/dsp/PeakLimiterFixture.h"
#include "tests/primitives/core/ForcedSlot.h"

namespace kvxtest {
namespace {

using Signal = std::vector<std::vector<float>>;  // [channel][sample]

// The limiter's algorithm in double precision, on whole streams: a two-block delay, a block's
// gain ramp derived from the 20-block peak window ending one block after it, linked by minimum.
Signal ReferenceLimit(const Signal& in, double gain, double threshold, bool jumpAtStart = true)
{
    const size_t n = in.size();
    const size_t frames = in[0].size();
    const size_t blocks = frames / 128;
    Signal out(n, std::vector<float>(frames, 0.0f));
    std::vector<std::vector<double>> peaks(n);
    std::vector<double> g(n, 1.0);
    bool jump = jumpAtStart;
    auto sample = [&](size_t c, long i) { return i < 0 ? 0.0 : static_cast<double>(in[c][static_cast<size_t>(i)]); };
    for (size_t b = 0; b < blocks; ++b) {
        // Block b is the newest; block b - 1 is scaled and comes out as block b + 1.
        double a = 1e300;
        for (size_t c = 0; c < n; ++c) {
            double peak = 0.0;
            for (size_t i = 0; i < 128; ++i) {
                peak = std::max(peak, std::fabs(sample(c, static_cast<long>(b * 128 + i))));
            }
            peaks[c].push_back(peak);
            double window = 0.0;
            for (size_t k = peaks[c].size() >= 20 ? peaks[c].size() - 20 : 0; k < peaks[c].size(); ++k) {
                window = std::max(window, peaks[c][k]);
            }
            double target = threshold >= gain * window ? gain : threshold / window;
            a = std::min(a, std::max(target, 0.0));
        }
        for (size_t c = 0; c < n; ++c) {
            double step = 0.0;
            if (a > g[c]) {
                step = std::max((a - g[c]) / (jump ? 128.0 : 10240.0), g[c] * 0x1p-23);
            } else if (a < g[c]) {
                step = -std::max((g[c] - a) / 128.0, g[c] * 0x1p-23);
            }
            for (size_t i = 0; i < 128; ++i) {
                const size_t o = (b + 1) * 128 + i;
                if (o < frames) {
                    out[c][o] = static_cast<float>(g[c] * sample(c, static_cast<long>(b * 128 + i) - 128));
                }
                g[c] = step > 0 ? std::min(a, g[c] + step) : step < 0 ? std::max(a, g[c] + step) : g[c];
            }
        }
        jump = false;
    }
    return out;
}

// Runs the signal through the limiter in chunks of the given sizes (cycled) and returns the
// output stream.
Signal RunLimiter(PeakLimiter* l, Signal s, const std::vector<int>& chunks)
{
    const size_t frames = s[0].size();
    size_t done = 0;
    for (size_t k = 0; done < frames; ++k) {
        const int count = static_cast<int>(std::min<size_t>(static_cast<size_t>(chunks[k % chunks.size()]), frames - done));
        std::vector<float*> ptrs;
        for (auto& ch : s) {
            ptrs.push_back(ch.data() + done);
        }
        l->Process(ptrs.data(), count);
        done += static_cast<size_t>(count);
    }
    return s;
}

Signal Sine(size_t channels, size_t frames, double amplitude, double period)
{
    Signal s(channels, std::vector<float>(frames));
    for (size_t c = 0; c < channels; ++c) {
        for (size_t i = 0; i < frames; ++i) {
            s[c][i] = static_cast<float>(amplitude * std::sin(2.0 * M_PI * static_cast<double>(i) / period + static_cast<double>(c)));
        }
    }
    return s;
}

void ExpectClose(const Signal& got, const Signal& want, double tolerance)
{
    for (size_t c = 0; c < want.size(); ++c) {
        for (size_t i = 0; i < want[c].size(); ++i) {
            ASSERT_NEAR(got[c][i], want[c][i], tolerance) << "channel " << c << " sample " << i;
        }
    }
}

TEST(PeakLimiterProcess, ZeroFramesChangeNothing)
{
    PeakLimiter* l = NewConfiguredLimiter(1.0f, 1);
    float x[4] = {1.0f, 2.0f, 3.0f, 4.0f};
    float* channels[1] = {x};
    l->Process(channels, 0);
    l->Process(channels, -5);
    EXPECT_EQ(x[3], 4.0f);
    // The stream still starts from the beginning: the next 256 samples come out as zeros.
    Signal s = RunLimiter(l, Sine(1, 256, 0.5, 50.0), {256});
    EXPECT_TRUE(std::all_of(s[0].begin(), s[0].end(), [](float v) { return v == 0.0f; }));
    DeleteLimiter(l);
}

TEST(PeakLimiterProcess, ImpulseComesOutTwoBlocksLateScaledByItsGain)
{
    for (int k : {0, 1, 127, 128, 300}) {
        SCOPED_TRACE(k);
        PeakLimiter* l = NewConfiguredLimiter(1.0f, 1);
        Signal s(1, std::vector<float>(1024, 0.0f));
        s[0][static_cast<size_t>(k)] = 0.5f;
        Signal out = RunLimiter(l, s, {1024});
        for (size_t i = 0; i < out[0].size(); ++i) {
            EXPECT_EQ(out[0][i], i == static_cast<size_t>(k) + 256 ? 0.5f : 0.0f) << i;
        }
        DeleteLimiter(l);
    }
}

// The output stream is the same whatever the caller's chunk sizes, and matches the reference.
TEST(PeakLimiterProcess, ChunkSizesDoNotChangeTheStream)
{
    const Signal in = Sine(2, 128 * 60 + 77, 1.0, 97.3);
    const Signal want = ReferenceLimit(in, 2.8183, 1.0);
    PeakLimiter* whole = NewConfiguredLimiter(2.8183f, 2);
    const Signal once = RunLimiter(whole, in, {static_cast<int>(in[0].size())});
    DeleteLimiter(whole);
    ExpectClose(once, want, 2e-5);
    for (const std::vector<int>& chunks : std::vector<std::vector<int>>{{1}, {100}, {129}, {480}, {7, 512, 3}}) {
        SCOPED_TRACE(chunks[0]);
        PeakLimiter* l = NewConfiguredLimiter(2.8183f, 2);
        const Signal got = RunLimiter(l, in, chunks);
        EXPECT_EQ(got, once);
        DeleteLimiter(l);
    }
}

TEST(PeakLimiterProcess, LoudSineNeverExceedsTheThreshold)
{
    for (double period : {48.0, 200.0, 1234.5}) {
        SCOPED_TRACE(period);
        const Signal in = Sine(1, 128 * 100, 1.0, period);
        PeakLimiter* l = NewConfiguredLimiter(2.8183f, 1);
        const Signal out = RunLimiter(l, in, {480});
        float peak = 0.0f;
        for (float v : out[0]) {
            peak = std::max(peak, std::fabs(v));
        }
        EXPECT_LE(peak, 1.0f + 1e-6f);
        EXPECT_GT(peak, 0.99f);
        ExpectClose(out, ReferenceLimit(in, 2.8183, 1.0), 2e-5);
        DeleteLimiter(l);
    }
}

// One loud block among quiet signal: the gain stays down while the block is in the 20-block
// window, then recovers by 1/80 of the remaining distance per block; the loud channel, either
// one, pulls the other down too.
TEST(PeakLimiterProcess, LoudBlockHoldsTheLinkedGainThenReleasesSlowly)
{
    const size_t blocks = 60;
    for (size_t loud : {0u, 1u}) {
        SCOPED_TRACE(loud);
        const size_t quiet = 1 - loud;
        Signal in(2, std::vector<float>(128 * blocks, 0.1f));
        for (size_t i = 0; i < 128; ++i) {
            in[loud][5 * 128 + i] = 4.0f;
        }
        PeakLimiter* l = NewConfiguredLimiter(1.0f, 2);
        const Signal out = RunLimiter(l, in, {100});
        ExpectClose(out, ReferenceLimit(in, 1.0, 1.0), 1e-6);
        // Output block b + 2 carries input block b. Block 5 is scaled to the threshold.
        EXPECT_NEAR(out[loud][7 * 128 + 127], 1.0f, 1e-6);
        // Blocks 6 to 23 still see block 5 in their window: gain 0.25 on both channels.
        for (size_t b = 6; b <= 23; ++b) {
            EXPECT_NEAR(out[loud][(b + 2) * 128 + 64], 0.025f, 1e-7) << b;
            EXPECT_NEAR(out[quiet][(b + 2) * 128 + 64], 0.025f, 1e-7) << b;
        }
        // Then a slow rise: each block closes 1/80 of the gap to unity.
        const float g1 = out[quiet][(26 + 2) * 128] / 0.1f;
        const float g2 = out[quiet][(27 + 2) * 128] / 0.1f;
        EXPECT_GT(g1, 0.25f);
        EXPECT_NEAR((1.0f - g2) / (1.0f - g1), 1.0f - 1.0f / 80.0f, 1e-4);
        DeleteLimiter(l);
    }
}

// Raising the gain on a quiet signal: mode 0 reaches the new gain within a block, another mode
// only creeps towards it.
TEST(PeakLimiterProcess, RaisedGainArrivesAtOnceOnlyInModeZero)
{
    struct Case {
        int32_t mode;
        bool arrives;
    };
    for (const Case& t : {Case{0, true}, Case{1, false}}) {
        SCOPED_TRACE(t.mode);
        PeakLimiter* l = NewConfiguredLimiter(0.5f, 1);
        l->SetMode(t.mode);
        RunLimiter(l, Signal(1, std::vector<float>(128 * 4, 0.1f)), {128});  // settles at 0.5
        l->SetGain(1.0f);
        const Signal out = RunLimiter(l, Signal(1, std::vector<float>(128 * 4, 0.1f)), {128});
        // The block after the change ramps; the one after it carries the gain reached.
        const float reached = out[0][2 * 128] / 0.1f;
        if (t.arrives) {
            EXPECT_NEAR(reached, 1.0f, 1e-6);
        } else {
            EXPECT_NEAR(reached, 0.5f + 0.5f / 80.0f, 1e-4);
        }
        DeleteLimiter(l);
    }
}

// Reset empties the delay and the window: the loud past no longer holds the gain down, and the
// first 256 samples after it are zeros again.
TEST(PeakLimiterProcess, ResetStartsAFreshStream)
{
    PeakLimiter* l = NewConfiguredLimiter(1.0f, 1);
    RunLimiter(l, Signal(1, std::vector<float>(128 * 3 + 50, 8.0f)), {128});
    l->Reset();
    const Signal in = Sine(1, 128 * 10, 0.5, 64.0);
    const Signal out = RunLimiter(l, in, {480});
    ExpectClose(out, ReferenceLimit(in, 1.0, 1.0), 1e-6);
    DeleteLimiter(l);
}

// More channels than the limiter holds: the buffers are left as they are.
TEST(PeakLimiterProcess, TooManyChannelsAreRefused)
{
    PeakLimiter* l = NewLimiter();
    ASSERT_TRUE(l->AllocateBuffers());
    const WaveFormatRecord f = LimiterFormat(9);
    l->SetFormat(&f);
    Signal s = Sine(9, 300, 0.5, 10.0);
    const Signal before = s;
    EXPECT_EQ(RunLimiter(l, s, {300}), before);
    DeleteLimiter(l);
}

// The limiter on the primitives' processor-specific slots: the same stream as on the generic
// slot, bit for bit (a loud stereo sine with a quiet stretch, in uneven chunks, with a reset).
class PeakLimiterEverySlot : public coretest::ForcedSlotTest {};

Signal LimitedStream()
{
    Signal in = Sine(2, 128 * 40 + 33, 1.7, 61.7);
    for (size_t i = 128 * 12; i < 128 * 20; ++i) {
        in[0][i] *= 0.01f;
        in[1][i] = -0.0f;
    }
    PeakLimiter* l = NewConfiguredLimiter(2.8183f, 2);
    Signal out = RunLimiter(l, in, {7, 480, 128, 1000});
    l->Reset();
    const Signal again = RunLimiter(l, in, {512});
    DeleteLimiter(l);
    out.insert(out.end(), again.begin(), again.end());
    return out;
}

TEST_P(PeakLimiterEverySlot, GivesTheGenericSlotsStreamBitForBit)
{
    static const Signal generic = [] {
        const int32_t saved = DispatchIndex;
        DispatchIndex = 0;
        Signal s = LimitedStream();
        DispatchIndex = saved;
        return s;
    }();
    const Signal got = LimitedStream();
    ASSERT_EQ(got.size(), generic.size());
    for (size_t c = 0; c < got.size(); ++c) {
        ASSERT_EQ(0, std::memcmp(got[c].data(), generic[c].data(), got[c].size() * sizeof(float))) << "channel " << c;
    }
}

KVX_INSTANTIATE_FOR_EVERY_SLOT(PeakLimiterEverySlot);

}  // namespace
}  // namespace kvxtest

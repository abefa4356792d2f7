// The headphone engine's resampler (forward/backward IIR, integer-factor conversion), its delay
// line and the block driver that frames chunks into blocks.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <random>
#include <vector>

#include "globaltopo/common/JQZ/AudioApp.h"
#include "globaltopo/common/JQZ/JqzPool.h"
#include "globaltopo/common/JQZ/LinearPhaseIIR.h"
#include "globaltopo/common/JQZ/SRC.h"
#include "globaltopo/common/JQZ/SimpleSampleDelay.h"
#include "platform/nt/PoolHost.h"

namespace {

constexpr int32_t D = 64;

// A third-order IIR in double with its state kept between calls.
struct DoubleIir {
    double b[4], a[4];
    double x[3] = {}, y[3] = {};
    explicit DoubleIir(const float* taps)
    {
        for (int i = 0; i < 4; ++i) {
            b[i] = taps[i];
            a[i] = taps[4 + i];
        }
    }
    double Step(double in)
    {
        double out = b[0] * in + b[1] * x[0] + b[2] * x[1] + b[3] * x[2] - a[1] * y[0] - a[2] * y[1] - a[3] * y[2];
        out /= a[0];
        x[2] = x[1], x[1] = x[0], x[0] = in;
        y[2] = y[1], y[1] = y[0], y[0] = out;
        return out;
    }
};

// The forward/backward filter over a sliding window, in double.
struct DoubleLinearPhase {
    DoubleIir fwd, bwd;
    std::vector<double> history = std::vector<double>(D, 0.0);
    explicit DoubleLinearPhase(int factor) : fwd(IirFilter::Coefficients(factor)), bwd(IirFilter::Coefficients(factor)) {}
    std::vector<double> Process(const std::vector<float>& in)
    {
        std::vector<double> w(history);
        for (float v : in) w.push_back(fwd.Step(v));
        std::vector<double> back(w.size());
        for (size_t i = w.size(); i-- > 0;) back[i] = bwd.Step(w[i]);
        history.assign(w.end() - D, w.end());
        return std::vector<double>(back.begin(), back.begin() + static_cast<long>(in.size()));
    }
};

LinearPhaseIIR* NewFilter(int factor)
{
    auto* f = NewJqzObject<LinearPhaseIIR>(D);
    f->SetFactor(factor);
    return f;
}

std::vector<float> Noise(size_t n, unsigned seed)
{
    std::mt19937 gen(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

// Factor 1 and 2, blocks of changing length: the float filter follows the double model.
TEST(LinearPhaseIir, FollowsDoubleModelAcrossCalls)
{
    for (int factor : {1, 2}) {
        SCOPED_TRACE(factor);
        LinearPhaseIIR* f = NewFilter(factor);
        ASSERT_TRUE(f->IsReady());
        DoubleLinearPhase model(factor);
        unsigned seed = 1;
        for (int32_t len : {1024, 512, 100, 7, 1024, 256, 64, 33, 1024}) {
            std::vector<float> in = Noise(static_cast<size_t>(len), seed++);
            std::vector<float> out(static_cast<size_t>(len));
            f->Process(out.data(), in.data(), len);
            std::vector<double> ref = model.Process(in);
            for (int32_t i = 0; i < len; ++i) {
                ASSERT_NEAR(out[static_cast<size_t>(i)], ref[static_cast<size_t>(i)], 1e-6) << "len " << len << " i " << i;
            }
        }
        DeleteJqzObject(f);
    }
}

// An impulse at position 0 of a block with zero history: the response of that same call is
// centred on 64, symmetric around it, and its spectrum is the filter's squared magnitude.
TEST(LinearPhaseIir, ImpulseCentredWithSquaredMagnitude)
{
    for (int factor : {1, 2}) {
        SCOPED_TRACE(factor);
        LinearPhaseIIR* f = NewFilter(factor);
        std::vector<float> in(1024, 0.0f), out(1024), more(1024);
        in[0] = 1.0f;
        f->Process(out.data(), in.data(), 1024);
        std::vector<float> zeros(1024, 0.0f);
        f->Process(more.data(), zeros.data(), 1024);
        size_t peak = 0;
        for (size_t i = 0; i < out.size(); ++i) {
            if (std::fabs(out[i]) > std::fabs(out[peak])) peak = i;
        }
        EXPECT_EQ(peak, 64u);
        for (int k = 1; k < 60; ++k) {
            EXPECT_NEAR(out[64 - k], out[64 + k], 1e-5) << k;
        }
        // What leaks into the next call is negligible.
        for (float v : more) EXPECT_NEAR(v, 0.0f, 1e-6);

        const float* taps = IirFilter::Coefficients(factor);
        for (int bin = 0; bin <= 512; bin += 4) {
            const double w = M_PI * bin / 512.0;
            std::complex<double> h(0.0), num(0.0), den(0.0);
            for (int n = 0; n < 1024; ++n) h += static_cast<double>(out[static_cast<size_t>(n)]) * std::polar(1.0, -w * (n - 64));
            for (int k = 0; k < 4; ++k) {
                num += static_cast<double>(taps[k]) * std::polar(1.0, -w * k);
                den += static_cast<double>(taps[4 + k]) * std::polar(1.0, -w * k);
            }
            const double expected = std::norm(num / den);
            const double expectedDb = 10.0 * std::log10(expected);
            if (expectedDb < -60.0) continue;
            EXPECT_NEAR(10.0 * std::log10(std::abs(h)), expectedDb, 0.05) << "bin " << bin;
            EXPECT_NEAR(h.imag(), 0.0, 1e-4) << "bin " << bin;  // no phase beyond the delay
        }
        DeleteJqzObject(f);
    }
}

// A block it cannot take writes silence and keeps the history.
TEST(LinearPhaseIir, RefusesLongerBlock)
{
    LinearPhaseIIR* f = NewFilter(2);
    std::vector<float> in(2048, 1.0f), out(2048, 5.0f);
    f->Process(out.data(), in.data(), 1025);
    for (int i = 0; i < 1025; ++i) ASSERT_EQ(out[static_cast<size_t>(i)], 0.0f);
    EXPECT_EQ(out[1025], 5.0f);
    DeleteJqzObject(f);
}

// Lengths, level and the refusal of lengths the factor does not divide.
TEST(Src, DownAndUpLengthsLevelAndRefusals)
{
    auto* down = NewJqzObject<SRC>(44100, 96000, 1);  // factor 2, device above
    ASSERT_TRUE(down->IsReady());
    EXPECT_EQ(down->Direction(), 1);
    EXPECT_EQ(down->Factor(), 2);
    std::vector<float> dc(1024, 1.0f), half(600, 7.0f), full(1100, 7.0f);
    for (int k = 0; k < 4; ++k) {
        down->Down(half.data(), dc.data(), 1024);
        down->Up(full.data(), dc.data(), 512);
    }
    EXPECT_EQ(half[512], 7.0f);   // 512 written
    EXPECT_EQ(full[1024], 7.0f);  // 1,024 written
    for (int i = 0; i < 512; ++i) ASSERT_NEAR(half[static_cast<size_t>(i)], 1.0f, 1e-4);
    for (int i = 0; i < 1024; ++i) ASSERT_NEAR(full[static_cast<size_t>(i)], 1.0f, 1e-4);  // zeros made up
    down->Down(half.data(), dc.data(), 1023);  // not a multiple of 2: silence
    for (int i = 0; i < 511; ++i) ASSERT_EQ(half[static_cast<size_t>(i)], 0.0f);
    down->Up(full.data(), dc.data(), 513);  // beyond the filter's block: silence
    for (int i = 0; i < 1026; ++i) ASSERT_EQ(full[static_cast<size_t>(i)], 0.0f);
    DeleteJqzObject(down);

    // Direction and factor by rate.
    struct Case { int32_t rate, direction, factor; } cases[] = {
        {48000, 1, 1}, {88200, 1, 2}, {96000, 1, 2}, {32000, -1, 1}, {22050, -1, 2}, {16000, -1, 2}, {44100, 0, 1}};
    for (const Case& c : cases) {
        auto* s = NewJqzObject<SRC>(44100, c.rate, 1);
        EXPECT_EQ(s->Direction(), c.direction) << c.rate;
        EXPECT_EQ(s->Factor(), c.factor) << c.rate;
        DeleteJqzObject(s);
    }
}

// The plain (non-linear-phase) mode filters with one IIR per direction.
TEST(Src, PlainModeFiltersWithOneIir)
{
    auto* s = NewJqzObject<SRC>(44100, 88200, 0);
    ASSERT_TRUE(s->IsReady());
    std::vector<float> in(1024, 0.0f), out(512), ref(1024);
    in[0] = 1.0f;
    s->Down(out.data(), in.data(), 1024);
    DoubleIir iir(IirFilter::Coefficients(2));
    for (int i = 0; i < 1024; ++i) ref[static_cast<size_t>(i)] = static_cast<float>(iir.Step(in[static_cast<size_t>(i)]));
    for (int i = 0; i < 512; ++i) ASSERT_NEAR(out[static_cast<size_t>(i)], ref[static_cast<size_t>(2 * i)], 1e-6);
    DeleteJqzObject(s);
}

TEST(SimpleSampleDelay, KeepsLastSamplesAndRefusesOversize)
{
    SimpleSampleDelay line(3, 4);
    ASSERT_TRUE(line.IsValid());
    const float a[] = {1, 2, 3, 4}, b[] = {5, 6, 7, 8};
    EXPECT_EQ(line.Push(a, 4), 4);
    EXPECT_EQ(std::vector<float>(line.Line(), line.Line() + 7), (std::vector<float>{0, 0, 0, 1, 2, 3, 4}));
    EXPECT_EQ(line.Push(b, 4), 4);
    EXPECT_EQ(std::vector<float>(line.Line(), line.Line() + 7), (std::vector<float>{2, 3, 4, 5, 6, 7, 8}));
    const float big[5] = {};
    EXPECT_EQ(line.Push(big, 5), 0);
    EXPECT_EQ(line.Push(nullptr, 2), 0);
    EXPECT_EQ(line.Line()[6], 8.0f);
    line.Release();
    EXPECT_EQ(line.Push(a, 4), 0);

    platform::PoolFailNthAllocation(1);
    SimpleSampleDelay missing(3, 4);
    platform::PoolClearFailures();
    EXPECT_FALSE(missing.IsValid());
    EXPECT_EQ(missing.Push(a, 4), 0);
}

// A block driver whose processing is the identity.
class IdentityApp : public AudioApp {
public:
    IdentityApp() : AudioApp(44100, 512, 8, 8, 1.0f) {}
    void ProcessBlock(float* const* out, int32_t nOut, float* const* in, int32_t, int32_t len) override
    {
        CopyChannels(out, nOut, in, nOut, len);
        ++blocks;
    }
    int blocks = 0;
};

// 44,100 Hz in chunks of 100: exactly one block of latency (plus the input offset); a chunk that
// ends on the boundary runs its block; 0 frames change nothing.
TEST(AudioApp, OneBlockLatencyAtProcessingRate)
{
    IdentityApp app;
    ASSERT_EQ(app.Configure(44100, 2, 2), 1);
    EXPECT_EQ(app.RealDataLen(), 512);
    const std::vector<float> in0 = Noise(3000, 5), in1 = Noise(3000, 6);
    std::vector<float> out0(3000), out1(3000);
    for (int32_t pos = 0; pos < 3000; pos += 100) {
        const int32_t n = pos + 100 <= 3000 ? 100 : 3000 - pos;
        std::vector<float> c0(in0.begin() + pos, in0.begin() + pos + n), c1(in1.begin() + pos, in1.begin() + pos + n);
        float* io[2] = {c0.data(), c1.data()};
        ASSERT_TRUE(app.Process(io, 2, io, 2, n));  // in place
        std::copy(c0.begin(), c0.end(), out0.begin() + pos);
        std::copy(c1.begin(), c1.end(), out1.begin() + pos);
    }
    for (int k = 0; k < 3000; ++k) {
        const float e0 = k < 512 ? 0.0f : in0[static_cast<size_t>(k - 512)] + 1e-10f;
        const float e1 = k < 512 ? 0.0f : in1[static_cast<size_t>(k - 512)] + 1e-10f;
        ASSERT_EQ(out0[static_cast<size_t>(k)], e0) << k;
        ASSERT_EQ(out1[static_cast<size_t>(k)], e1) << k;
    }
    // 3,000 frames: five blocks run, 440 gathered.
    EXPECT_EQ(app.blocks, 5);
    EXPECT_EQ(app.WritePosition(), 440);
    std::vector<float> chunk(72, 0.25f);
    float* io[2] = {chunk.data(), chunk.data()};
    ASSERT_TRUE(app.Process(io, 1, io, 1, 0));
    EXPECT_EQ(app.WritePosition(), 440);
    ASSERT_TRUE(app.Process(io, 1, io, 1, 72));
    EXPECT_EQ(app.blocks, 6);
    EXPECT_EQ(app.WritePosition(), 0);
    // More channels than configured: refused.
    float* many[3] = {chunk.data(), chunk.data(), chunk.data()};
    EXPECT_FALSE(app.Process(many, 3, many, 2, 10));
    app.ReleaseBuffers();
}

// 96 kHz: blocks of 1,024, each through decimation and interpolation; a low tone comes out one
// block plus both filters' delays (64 + 64 samples) late.
TEST(AudioApp, NinetySixKilohertzBlocksThroughBothResamplers)
{
    IdentityApp app;
    ASSERT_EQ(app.Configure(96000, 2, 2), 1);
    EXPECT_EQ(app.RealDataLen(), 1024);
    EXPECT_EQ(app.SrcFactor(), 2);
    const int32_t total = 8192;
    std::vector<float> in(total), out(total);
    for (int32_t k = 0; k < total; ++k) in[static_cast<size_t>(k)] = 0.5f * std::sin(2.0 * M_PI * 300.0 * k / 96000.0);
    for (int32_t pos = 0; pos < total; pos += 480) {
        const int32_t n = pos + 480 <= total ? 480 : total - pos;
        std::vector<float> c(in.begin() + pos, in.begin() + pos + n);
        float* io[1] = {c.data()};
        ASSERT_TRUE(app.Process(io, 1, io, 1, n));
        std::copy(c.begin(), c.end(), out.begin() + pos);
    }
    EXPECT_EQ(app.blocks, total / 1024);
    const int32_t delay = 1024 + 64 + 64;
    for (int32_t k = 4096; k < total; ++k) {
        ASSERT_NEAR(out[static_cast<size_t>(k)], in[static_cast<size_t>(k - delay)], 2e-3) << k;
    }
    app.ReleaseBuffers();
}

// Block lengths and factors by rate; rates beyond factors 1 and 2 and bad counts are refused
// with nothing kept; two Configures leave one set of buffers.
TEST(AudioApp, ConfigureByRateKeepsOneSet)
{
    struct Case { int32_t rate, ok, direction, factor, len; } cases[] = {
        {44100, 1, 0, 1, 512},  {48000, 1, 1, 1, 512},   {88200, 1, 1, 2, 1024}, {96000, 1, 1, 2, 1024},
        {32000, 1, -1, 1, 512}, {22050, 1, -1, 2, 256},  {16000, 1, -1, 2, 256}, {14701, 1, -1, 2, 256},
        {132299, 1, 1, 2, 1024}, {14700, 0, 0, 0, 0},    {8000, 0, 0, 0, 0},     {132300, 0, 0, 0, 0},
        {176400, 0, 0, 0, 0},   {192000, 0, 0, 0, 0},    {0, 0, 0, 0, 0}};
    const size_t baseline = platform::PoolLiveCount(JQZ_POOL_TAG);
    IdentityApp app;
    size_t firstSet = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        ASSERT_EQ(app.Configure(c.rate, 8, 2), c.ok);
        EXPECT_EQ(app.IsConfigured(), c.ok == 1);
        if (c.ok == 0) {
            EXPECT_EQ(platform::PoolLiveCount(JQZ_POOL_TAG), baseline);
            continue;
        }
        EXPECT_EQ(app.Direction(), c.direction);
        EXPECT_EQ(app.SrcFactor(), c.factor);
        EXPECT_EQ(app.RealDataLen(), c.len);
        const size_t live = platform::PoolLiveCount(JQZ_POOL_TAG);
        ASSERT_EQ(app.Configure(c.rate, 8, 2), 1);
        EXPECT_EQ(platform::PoolLiveCount(JQZ_POOL_TAG), live);
        if (c.rate == 96000) firstSet = live;
    }
    EXPECT_GT(firstSet, baseline);
    EXPECT_EQ(app.Configure(48000, 0, 2), 0);
    EXPECT_EQ(app.Configure(48000, 2, 9), 0);
    std::vector<float> c(10);
    float* io[1] = {c.data()};
    EXPECT_FALSE(app.Process(io, 1, io, 1, 10));
    app.ReleaseBuffers();
    EXPECT_EQ(platform::PoolLiveCount(JQZ_POOL_TAG), baseline);
}

// Each allocation of a Configure failed in turn: refused, nothing kept.
TEST(AudioApp, EachFailedAllocationKeepsNothing)
{
    IdentityApp app;
    const size_t baseline = platform::PoolLiveCount(JQZ_POOL_TAG);
    const size_t baselineAll = platform::PoolLiveCountAll();
    for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE(n);
        const uint64_t injected = platform::PoolInjectedFailures();
        platform::PoolFailNthAllocation(n);
        const int32_t ok = app.Configure(96000, 8, 2);
        const bool failed = platform::PoolInjectedFailures() != injected;
        platform::PoolClearFailures();
        if (!failed) {
            EXPECT_EQ(ok, 1);
            break;
        }
        EXPECT_EQ(ok, 0);
        EXPECT_EQ(platform::PoolLiveCount(JQZ_POOL_TAG), baseline);
        EXPECT_EQ(platform::PoolLiveCountAll(), baselineAll);
    }
    app.ReleaseBuffers();
    EXPECT_EQ(platform::PoolLiveCountAll(), baselineAll);
}

}  // namespace

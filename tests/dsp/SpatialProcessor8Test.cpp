#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include "dsp/SpatialProcessor8.h"
#include "platform/nt/Pool.h"
#include "tests/dsp/SpatialReference.h"

struct SpatialProcessor8Inspector {
    static int32_t ActiveRateIndex(const SpatialProcessor8& p) { return p.m_ActiveRateIndex; }
    static int32_t ActiveChannelCode(const SpatialProcessor8& p) { return p.m_ActiveChannelCode; }
    static int32_t ConfiguredRateIndex(const SpatialProcessor8& p) { return p.m_ConfiguredRateIndex; }
    static int32_t ConfiguredChannelCode(const SpatialProcessor8& p) { return p.m_ConfiguredChannelCode; }
    static int32_t RingLength(const SpatialProcessor8& p) { return p.m_RingLength; }
};

namespace {

using Inspector = SpatialProcessor8Inspector;
using kvxtest::SpatialReference;

constexpr float STEP = 1.0f / 32768.0f;

// Eight channel buffers, processed in place as the spatial effect entity does it.
struct Channels {
    explicit Channels(size_t frames) : data(8, std::vector<float>(frames)) {}
    float* const* Pointers(size_t offset)
    {
        for (int c = 0; c < 8; ++c) pointers[c] = data[c].data() + offset;
        return pointers;
    }
    std::vector<std::vector<float>> data;
    float* pointers[8];
};

class SpatialProcessor8Test : public ::testing::Test {
protected:
    void SetUp() override
    {
        void* memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(SpatialProcessor8), MakePoolTag("DoHP"));
        ASSERT_NE(memory, nullptr);
        std::memset(memory, 0, sizeof(SpatialProcessor8));
        m_p = new (memory) SpatialProcessor8;
        m_p->Init();
    }
    void TearDown() override { ExFreePoolWithTag(m_p, MakePoolTag("DoHP")); }

    // Processes the channels in place in chunks of the given sizes, cycling through them.
    void Run(Channels& ch, const std::vector<int32_t>& chunks)
    {
        const size_t frames = ch.data[0].size();
        size_t offset = 0;
        for (size_t i = 0; offset < frames; ++i) {
            const auto n = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(chunks[i % chunks.size()]), frames - offset));
            float* const* p = ch.Pointers(offset);
            m_p->Process(p, p, n);
            offset += static_cast<size_t>(n);
        }
    }

    SpatialProcessor8* m_p = nullptr;
};

Channels RandomInput(size_t frames, int channels, unsigned seed, float level = 0.3f)
{
    Channels ch(frames);
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-level, level);
    for (int c = 0; c < channels; ++c) {
        for (float& x : ch.data[c]) x = u(rng);
    }
    return ch;
}

// Output of the model over the same input (channels 0 and 1 of the returned buffers).
void ExpectMatchesReference(const Channels& input, const Channels& output, int32_t rateIndex, int32_t code)
{
    SpatialReference ref(rateIndex, code);
    int mismatches = 0;
    for (size_t n = 0; n < input.data[0].size(); ++n) {
        float x[8];
        for (int c = 0; c < 8; ++c) x[c] = input.data[c][n];
        float l, r;
        ref.Step(x, &l, &r);
        if (std::fabs(output.data[0][n] - l) > STEP || std::fabs(output.data[1][n] - r) > STEP) {
            if (++mismatches <= 5) {
                ADD_FAILURE() << "sample " << n << ": " << output.data[0][n] << ", " << output.data[1][n]
                              << " against " << l << ", " << r;
            }
        }
    }
    EXPECT_EQ(mismatches, 0);
}

TEST_F(SpatialProcessor8Test, RandomInputMatchesTheRecurrencesAtEveryRate)
{
    struct Case {
        int32_t rate;
        int32_t rateIndex;
    };
    const Case cases[] = {{48000, 0}, {44100, 1}, {32000, 2}, {96000, 16}, {88200, 17}};
    for (const Case& t : cases) {
        for (int channels : {6, 8}) {
            SCOPED_TRACE(testing::Message() << t.rate << " Hz, " << channels << " channels");
            m_p->SetFormat(t.rate, channels - 1);
            // Long enough for the tank to come round several times (the longest line is 2,068
            // samples at 96 kHz); chunk sizes that straddle the internal runs.
            const Channels input = RandomInput(6000, channels, static_cast<unsigned>(t.rate + channels));
            Channels output = input;
            Run(output, {512, 1, 129, 480, 300});
            ExpectMatchesReference(input, output, t.rateIndex, channels - 1);
            // Only the two outputs were written.
            for (int c = 2; c < 8; ++c) {
                EXPECT_EQ(output.data[c], input.data[c]) << "channel " << c;
            }
            // A configuration change clears the tank for the next case.
            m_p->SetFormat(t.rate, 0);
        }
    }
}

TEST_F(SpatialProcessor8Test, CentreImpulseTimings)
{
    // 48 kHz: sample 0 carries the centre stream alone, the first diffuser adds from sample 2,
    // the diffusers are done by sample 43 and the tank first reaches the right output through
    // line 1 and the front-right stream at 600 (the left one through the diffusers at 602).
    m_p->SetFormat(48000, 7);
    const float a = 0.5f;
    Channels ch(1200);
    ch.data[2][0] = a;
    Run(ch, {512});
    const std::vector<float>& left = ch.data[0];
    const std::vector<float>& right = ch.data[1];
    EXPECT_EQ(left[0], kvxtest::ReferenceQuantise(0.2783508f * a));
    EXPECT_EQ(right[0], left[0]);
    EXPECT_EQ(left[1], kvxtest::ReferenceQuantise(0.008270264f * a));
    EXPECT_NE(left[2], kvxtest::ReferenceQuantise(-0.1473083f * a)) << "no diffuser at sample 2";
    for (int n = 43; n < 600; ++n) {
        ASSERT_EQ(right[n], 0.0f) << n;
    }
    for (int n = 43; n < 602; ++n) {
        ASSERT_EQ(left[n], 0.0f) << n;
    }
    EXPECT_NE(right[600], 0.0f);
    EXPECT_NE(left[602], 0.0f);
}

TEST_F(SpatialProcessor8Test, QuantiserEdges)
{
    // A centre impulse x gives yL = 0.2783508 x at sample 0 of a cleared tank.
    const float oC = 0.2783508f;
    const float edge = 0.99998474f;
    const float inf = std::numeric_limits<float>::infinity();
    // The smallest positive input whose product meets the (monotone) condition.
    auto smallest = [&](auto condition) {
        float x = edge / oC;
        while (!condition(oC * x)) x = std::nextafter(x, inf);
        while (condition(oC * std::nextafter(x, 0.0f))) x = std::nextafter(x, 0.0f);
        return x;
    };
    const float atUpper = smallest([&](float y) { return y >= edge; });
    const float aboveLower = smallest([&](float y) { return y > edge; });
    struct Case {
        const char* name;
        float input;
        float expected;
    };
    const Case cases[] = {
        {"at the upper edge", atUpper, 32767.0f / 32768.0f},
        // 32768 y + 0.5 is just below 32768 here: it must not round up into the sign bit.
        {"just below the upper edge", std::nextafter(atUpper, 0.0f), 32767.0f / 32768.0f},
        {"just below the lower edge", -aboveLower, -1.0f},
        {"at the lower edge", -std::nextafter(aboveLower, 0.0f), -32767.0f / 32768.0f},
        {"NaN", std::numeric_limits<float>::quiet_NaN(), 0.0f},
        {"+infinity", inf, 32767.0f / 32768.0f},
        {"-infinity", -inf, -1.0f},
    };
    m_p->SetFormat(48000, 7);
    for (const Case& t : cases) {
        SCOPED_TRACE(t.name);
        m_p->Clear();
        Channels ch(1);
        ch.data[2][0] = t.input;
        Run(ch, {1});
        EXPECT_EQ(ch.data[0][0], t.expected);
        EXPECT_EQ(ch.data[1][0], t.expected);
    }
}

TEST_F(SpatialProcessor8Test, RatesSelectTheirSetAndRing)
{
    struct Case {
        int32_t rate;
        int32_t index;
        int32_t ring;
    };
    const Case cases[] = {{48000, 0, 3588}, {44100, 1, 3307}, {32000, 2, 2408}, {96000, 16, 7155},
                          {88200, 17, 6595}, {22050, 1, 3307}, {192000, 1, 3307}};
    for (const Case& t : cases) {
        SCOPED_TRACE(t.rate);
        m_p->SetFormat(t.rate, 7);
        Channels ch(1);
        Run(ch, {1});
        EXPECT_EQ(Inspector::ActiveRateIndex(*m_p), t.index);
        EXPECT_EQ(Inspector::RingLength(*m_p), t.ring);
        m_p->SetFormat(t.rate, 0);
        Run(ch, {1});
    }
    // 22,050 Hz renders with the 44.1 kHz set.
    m_p->SetFormat(22050, 7);
    const Channels input = RandomInput(3000, 8, 22050);
    Channels output = input;
    Run(output, {441});
    ExpectMatchesReference(input, output, 1, 7);
}

TEST_F(SpatialProcessor8Test, InvalidChannelCodesChangeNothing)
{
    for (int32_t code : {8, -1}) {
        SCOPED_TRACE(code);
        m_p->SetFormat(48000, 7);
        const Channels input = RandomInput(4000, 8, static_cast<unsigned>(100 + code));
        Channels output = input;
        // The bad configuration arrives mid-stream, with another rate: the tank goes on.
        float* const* p = output.Pointers(0);
        m_p->Process(p, p, 2000);
        m_p->SetFormat(96000, code);
        p = output.Pointers(2000);
        m_p->Process(p, p, 2000);
        EXPECT_EQ(Inspector::ActiveRateIndex(*m_p), 0);
        EXPECT_EQ(Inspector::ActiveChannelCode(*m_p), 7);
        EXPECT_EQ(Inspector::ConfiguredRateIndex(*m_p), 0);
        EXPECT_EQ(Inspector::ConfiguredChannelCode(*m_p), 7);
        ExpectMatchesReference(input, output, 0, 7);
        m_p->SetFormat(48000, 0);
        Run(output, {1});
    }
}

TEST_F(SpatialProcessor8Test, TwoAndFourChannelInputGivesOnlyTheTail)
{
    for (int channels : {2, 4}) {
        SCOPED_TRACE(channels);
        m_p->SetFormat(48000, channels - 1);
        Channels ch = RandomInput(4000, channels, static_cast<unsigned>(channels), 0.9f);
        Run(ch, {512});
        for (int side = 0; side < 2; ++side) {
            for (float y : ch.data[side]) ASSERT_EQ(y, 0.0f);
        }
    }
}

TEST_F(SpatialProcessor8Test, SilenceAfterClearAndAfterTheTailIsExactlyZero)
{
    for (int32_t rate : {48000, 96000}) {
        SCOPED_TRACE(rate);
        m_p->SetFormat(rate, 7);
        // A second of loud input, then two seconds of silence: the tank has rung out.
        const auto frames = static_cast<size_t>(rate);
        Channels ch = RandomInput(3 * frames, 8, static_cast<unsigned>(rate), 0.5f);
        for (int c = 0; c < 8; ++c) std::fill(ch.data[c].begin() + static_cast<long>(frames), ch.data[c].end(), 0.0f);
        Run(ch, {512});
        EXPECT_NE(ch.data[0][frames + 100], 0.0f) << "no tail at all";
        for (int side = 0; side < 2; ++side) {
            for (size_t n = ch.data[side].size() - 512; n < ch.data[side].size(); ++n) ASSERT_EQ(ch.data[side][n], 0.0f);
        }
        // Clear in the middle of loud input: silence after it is silent at once.
        Channels loud = RandomInput(frames / 4, 8, 7, 0.5f);
        Run(loud, {512});
        m_p->Clear();
        Channels quiet(4096);
        Run(quiet, {512});
        for (int side = 0; side < 2; ++side) {
            for (float y : quiet.data[side]) ASSERT_EQ(y, 0.0f);
        }
        m_p->SetFormat(rate, 0);
    }
}

}  // namespace

// The headphone engine's control object: angle codes, CTC angles, parameter sets, fold-downs,
// the rates and channel counts the core renders, and failed set-ups.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "globaltopo/common/JQZ/HeadphoneEngine.h"
#include "globaltopo/common/JQZ/JqzPool.h"
#include "globaltopo/common/JQZ/headphoneenginecore.h"
#include "platform/nt/PoolHost.h"

namespace {

WAVEFORMATEX Format(int channels, int rate)
{
    WAVEFORMATEX f = {};
    f.wFormatTag = 3;
    f.nChannels = static_cast<WORD>(channels);
    f.nSamplesPerSec = static_cast<DWORD>(rate);
    f.wBitsPerSample = 32;
    f.nBlockAlign = static_cast<WORD>(4 * channels);
    f.nAvgBytesPerSec = f.nBlockAlign * f.nSamplesPerSec;
    return f;
}

struct Chunk {
    std::vector<std::vector<float>> data;
    std::vector<float*> ptr;
    Chunk(int channels, int frames, unsigned seed)
    {
        std::mt19937 gen(seed);
        std::uniform_real_distribution<float> dist(-0.5f, 0.5f);
        data.assign(8, std::vector<float>(static_cast<size_t>(frames)));
        for (auto& ch : data) {
            for (float& x : ch) x = dist(gen);
        }
        for (auto& ch : data) ptr.push_back(ch.data());
        (void)channels;
    }
};

class HeadphoneEngineTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_engine = CreateHeadphoneEngine();
        ASSERT_NE(m_engine, nullptr);
        ASSERT_TRUE(m_engine->HasCore());
    }
    void TearDown() override { DestroyHeadphoneEngine(m_engine); }
    HeadphoneEngine* m_engine = nullptr;
};

TEST(HeadphoneEngineCodes, AngleCodesAndCtcAngles)
{
    struct Case { int variant, angle, code; } cases[] = {
        {0, 0, 24}, {1, 0, 25}, {0, 25, 24}, {1, 25, 25}, {0, 1, 29}, {1, 30, 30}, {0, 2, 34}, {1, 35, 35},
        {0, 3, 39}, {1, 3, 40}, {0, 40, 39}, {5, 40, 40}, {0, 31, 31}, {1, 31, 31}, {1, 7, -1}, {0, 4, -1}, {0, -1, -1}};
    for (const Case& c : cases) {
        EXPECT_EQ(HeadphoneEngine::GetAngleCode(c.variant, c.angle), c.code) << c.variant << "/" << c.angle;
    }
    struct CtcCase { int index, angle; } ctc[] = {{0, 5}, {1, 10}, {2, 15}, {3, 20}, {4, 30}, {20, 20}, {7, 7}, {-1, -1}};
    for (const CtcCase& c : ctc) EXPECT_EQ(HeadphoneEngine::CtcAngleOfIndex(c.index), c.angle);
}

// Defaults; the active set reselects, the other only stores; CTC mode switches the stage.
TEST_F(HeadphoneEngineTest, ParameterSetsAndCtcMode)
{
    EXPECT_EQ(m_engine->GetEnable(), 0);
    EXPECT_EQ(m_engine->GetCtcAngle(), 20);
    EXPECT_EQ(m_engine->GetHeadphoneRoom(), 1);
    EXPECT_EQ(m_engine->GetSpeakerAngle(), 40);
    EXPECT_EQ(m_engine->GetChannelCount(), 8);
    HeadphoneFir& fir = m_engine->Core()->Fir();
    EXPECT_FALSE(fir.IsSwitchPending());
    m_engine->SetSpeakerRoom(2);
    EXPECT_EQ(m_engine->GetSpeakerRoom(), 2);
    EXPECT_FALSE(fir.IsSwitchPending());
    m_engine->SetHeadphoneAngleVariant(1);
    EXPECT_TRUE(fir.IsSwitchPending());
    fir.LoadImpulseResponses();
    m_engine->SetCtcMode(1);
    EXPECT_FALSE(fir.IsSwitchPending());  // the headphone set's responses stay
    m_engine->SetHeadphoneRoom(0);
    EXPECT_FALSE(fir.IsSwitchPending());
    m_engine->SetSpeakerAngle(31);
    EXPECT_TRUE(fir.IsSwitchPending());
    m_engine->SetCtcAngle(4);
    EXPECT_EQ(m_engine->GetCtcAngle(), 30);
    m_engine->SetCtcAngle(7);
    EXPECT_EQ(m_engine->GetCtcAngle(), 7);
}

// Disabled: 8 channels fold to 0.5 x (s0 + 0.707 s2 + s3 + s4 + s6) and its right twin; two
// channels stay; the counts without a fold of their own use the channels present.
TEST_F(HeadphoneEngineTest, FoldDowns)
{
    constexpr int F = 64;
    for (int n = 1; n <= 9; ++n) {
        SCOPED_TRACE(n);
        m_engine->SetFormat(nullptr);
        WAVEFORMATEX f = Format(n, 48000);
        ASSERT_EQ(m_engine->SetFormat(&f), 1);
        Chunk c(n, F, static_cast<unsigned>(n));
        const auto in = c.data;
        m_engine->Process(c.ptr.data(), F);
        for (int i = 0; i < F; ++i) {
            auto s = [&](int ch) { return ch < n ? in[static_cast<size_t>(ch)][static_cast<size_t>(i)] : 0.0f; };
            float l = s(0), r = s(1);
            if (n == 4) {
                l = 0.5f * (s(0) + s(2));
                r = 0.5f * (s(1) + s(3));
            } else if (n >= 3 && n <= 8) {
                l = 0.5f * (s(0) + 0.707f * s(2) + s(3) + s(4)) + 0.5f * s(6);
                r = 0.5f * (s(1) + 0.707f * s(2) + s(3) + s(5)) + 0.5f * s(7);
            }
            ASSERT_NEAR(c.data[0][static_cast<size_t>(i)], l, 1e-6);
            if (n >= 2) ASSERT_NEAR(c.data[1][static_cast<size_t>(i)], r, 1e-6);
            else ASSERT_EQ(c.data[1][static_cast<size_t>(i)], in[1][static_cast<size_t>(i)]);  // not touched
            for (int ch = 2; ch < 8; ++ch) ASSERT_EQ(c.data[static_cast<size_t>(ch)][static_cast<size_t>(i)], in[static_cast<size_t>(ch)][static_cast<size_t>(i)]);
        }
    }
}

// Rates 8 to 192 kHz by channel counts 1 to 8: the core renders 2, 6 and 8 channels at rates of
// factor 1 or 2; everything else folds down. Each case runs two chunks.
TEST_F(HeadphoneEngineTest, RatesAndCountsTheCoreRenders)
{
    m_engine->SetEnable(1);
    const int rates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000, 88200, 96000, 176400, 192000};
    for (int rate : rates) {
        for (int n = 1; n <= 8; ++n) {
            SCOPED_TRACE(testing::Message() << rate << " Hz, " << n << " channels");
            WAVEFORMATEX f = Format(n, rate);
            const bool inRange = rate >= 14701 && rate <= 132299;
            EXPECT_EQ(m_engine->SetFormat(&f), inRange ? 1 : 0);
            const bool renders = inRange && (n == 2 || n == 6 || n == 8);
            EXPECT_EQ(m_engine->CanRender(), renders);
            Chunk c(n, 480, 3);
            const auto in = c.data;
            m_engine->Process(c.ptr.data(), 480);
            if (renders) {
                // The first block plays silence.
                EXPECT_NEAR(c.data[0][0], 0.0f, 1e-6);
            } else if (n >= 3) {
                EXPECT_NE(c.data[0][0], in[0][0]);  // folded
            }
            m_engine->Process(c.ptr.data(), 480);
        }
    }
}

// With the core rendering, an impulse comes out of both ears one block (plus filters) later.
TEST_F(HeadphoneEngineTest, EnabledRendersThroughTheCore)
{
    WAVEFORMATEX f = Format(2, 44100);
    ASSERT_EQ(m_engine->SetFormat(&f), 1);
    m_engine->SetEnable(1);
    std::vector<float> l(4096, 0.0f), r(4096, 0.0f);
    l[0] = 1.0f;
    for (int pos = 0; pos < 4096; pos += 256) {
        float* io[2] = {l.data() + pos, r.data() + pos};
        m_engine->Process(io, 256);
    }
    double before = 0.0, after = 0.0;
    for (int i = 0; i < 512 + 255; ++i) before += std::fabs(l[static_cast<size_t>(i)]) + std::fabs(r[static_cast<size_t>(i)]);
    for (int i = 512 + 255; i < 4096; ++i) after += std::fabs(l[static_cast<size_t>(i)]) + std::fabs(r[static_cast<size_t>(i)]);
    EXPECT_LT(before, 1e-6);
    EXPECT_GT(after, 0.01);
}

// No core: SetFormat is -1 and changes nothing, setters store, Process folds down. Each
// allocation of a Configure failed in turn: SetFormat 0, fold-down, nothing left behind.
TEST(HeadphoneEngineFailures, MissingCoreAndFailedConfigure)
{
    const size_t baseline = platform::PoolLiveCountAll();
    platform::PoolFailNthAllocation(2);  // the engine's block, then the core's
    HeadphoneEngine* engine = CreateHeadphoneEngine();
    platform::PoolClearFailures();
    ASSERT_NE(engine, nullptr);
    EXPECT_FALSE(engine->HasCore());
    WAVEFORMATEX f = Format(6, 48000);
    EXPECT_EQ(engine->SetFormat(&f), -1);
    EXPECT_EQ(engine->GetChannelCount(), 8);
    engine->SetEnable(1);
    engine->SetHeadphoneRoom(2);
    EXPECT_EQ(engine->GetHeadphoneRoom(), 2);
    Chunk c(8, 32, 1);
    const auto in = c.data;
    engine->Process(c.ptr.data(), 32);
    EXPECT_NEAR(c.data[0][5], 0.5f * (in[0][5] + 0.707f * in[2][5] + in[3][5] + in[4][5] + in[6][5]), 1e-6);
    DestroyHeadphoneEngine(engine);
    EXPECT_EQ(platform::PoolLiveCountAll(), baseline);

    engine = CreateHeadphoneEngine();
    ASSERT_TRUE(engine->HasCore());
    engine->SetEnable(1);
    const size_t configured = platform::PoolLiveCountAll();
    WAVEFORMATEX f96 = Format(6, 96000);
    for (uint64_t n = 1;; ++n) {
        SCOPED_TRACE(n);
        const uint64_t injected = platform::PoolInjectedFailures();
        platform::PoolFailNthAllocation(n);
        const int32_t result = engine->SetFormat(&f96);
        const bool failed = platform::PoolInjectedFailures() != injected;
        platform::PoolClearFailures();
        if (!failed) {
            EXPECT_EQ(result, 1);
            EXPECT_TRUE(engine->CanRender());
            break;
        }
        EXPECT_EQ(result, 0);
        EXPECT_FALSE(engine->CanRender());
        Chunk k(6, 64, 2);
        const auto kin = k.data;
        engine->Process(k.ptr.data(), 64);
        ASSERT_NEAR(k.data[1][9], 0.5f * (kin[1][9] + 0.707f * kin[2][9] + kin[3][9] + kin[5][9]), 1e-6);
        EXPECT_LT(platform::PoolLiveCountAll(), configured + 1);
    }
    DestroyHeadphoneEngine(engine);
    EXPECT_EQ(platform::PoolLiveCountAll(), baseline);
}

// The core's FIR without its FFT specification, or without its CTC states: the engine folds down
// even when enabled.
TEST(HeadphoneEngineFailures, FirWithoutFftOrCtcStatesFoldsDown)
{
    bool seen[2] = {false, false};  // no FFT, no CTC states
    for (uint64_t n = 3; n < 60 && !(seen[0] && seen[1]); ++n) {
        platform::PoolFailNthAllocation(n);
        HeadphoneEngine* engine = CreateHeadphoneEngine();
        platform::PoolClearFailures();
        ASSERT_NE(engine, nullptr);
        HeadphoneFir* fir = engine->HasCore() ? &engine->Core()->Fir() : nullptr;
        const int which = fir == nullptr ? -1 : !fir->HasFftSpec() ? 0 : !fir->HasCtcStates() ? 1 : -1;
        if (which >= 0 && !seen[which]) {
            SCOPED_TRACE(which == 0 ? "no FFT" : "no CTC states");
            seen[which] = true;
            WAVEFORMATEX f = Format(2, 44100);
            engine->SetFormat(&f);
            engine->SetEnable(1);
            EXPECT_FALSE(engine->CanRender());
            Chunk c(2, 16, 5);
            const auto in = c.data;
            engine->Process(c.ptr.data(), 16);
            EXPECT_EQ(c.data[0], in[0]);
        }
        DestroyHeadphoneEngine(engine);
    }
    EXPECT_TRUE(seen[0]);
    EXPECT_TRUE(seen[1]);
}

}  // namespace

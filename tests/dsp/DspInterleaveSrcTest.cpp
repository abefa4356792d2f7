// The stream format adapter: the chain of every pair of rates, the refusals and their messages,
// Init's failures, and audio through the chain: sines keep frequency and level, frame counts
// follow the ratio, equal rates round-trip bit for bit, any cut into calls gives the same bytes,
// and the channel mapping.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "dsp/DspInterleaveSrc.h"
#include "platform/nt/DebugHost.h"
#include "platform/nt/PoolHost.h"
#include "tests/dsp/SrcStageFixture.h"

namespace kvxtest {
namespace {

constexpr ULONG kRates[6] = {44100, 48000, 88200, 96000, 176400, 192000};

WaveFormatRecord Format(ULONG rate, USHORT bits = 16, USHORT channels = 2, const GUID& sub = KSDATAFORMAT_SUBTYPE_PCM)
{
    WaveFormatRecord f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = bits;
    f.Format.nBlockAlign = static_cast<USHORT>(channels * bits / 8);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = bits;
    f.SubFormat = sub;
    return f;
}

WaveFormatRecord FloatFormat(ULONG rate, USHORT channels)
{
    return Format(rate, 32, channels, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
}

// An adapter as the wave stream holds it: zeroed non-paged memory with tag "CCST".
class Adapter {
public:
    Adapter()
    {
        m_memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CDspInterleaveSrc), MakePoolTag("CCST"));
        std::memset(m_memory, 0, sizeof(CDspInterleaveSrc));
        m_src = new (m_memory) CDspInterleaveSrc();
    }
    ~Adapter()
    {
        m_src->~CDspInterleaveSrc();
        ExFreePoolWithTag(m_memory, MakePoolTag("CCST"));
    }
    CDspInterleaveSrc* operator->() const { return m_src; }
    CDspInterleaveSrc* get() const { return m_src; }

private:
    PVOID m_memory;
    CDspInterleaveSrc* m_src;
};

// Runs the whole input through the adapter in calls of at most `outChunk` output frames (input
// offered in full each time), then drains it; returns the output bytes.
std::vector<UCHAR> Convert(CDspInterleaveSrc* src, const std::vector<UCHAR>& in, ULONG outChunk,
                           std::mt19937* cuts = nullptr)
{
    const ULONG inBlock = src->GetInFormat().Format.nBlockAlign;
    const ULONG outBlock = src->GetOutFormat().Format.nBlockAlign;
    const ULONG inFrames = static_cast<ULONG>(in.size() / inBlock);
    std::vector<UCHAR> out;
    std::vector<UCHAR> chunk(static_cast<size_t>(outChunk) * outBlock);
    ULONG at = 0;
    for (int guard = 0; guard < 1000000; ++guard) {
        ULONG offer = inFrames - at, want = outChunk;
        if (cuts != nullptr) {
            offer = std::min<ULONG>(offer, (*cuts)() % 700);
            want = 1 + (*cuts)() % outChunk;
        }
        ULONG consumed = 0, produced = 0;
        EXPECT_TRUE(src->Process(in.data() + static_cast<size_t>(at) * inBlock, offer, chunk.data(), want, &consumed,
                                 &produced));
        EXPECT_LE(consumed, offer);
        EXPECT_LE(produced, want);
        at += consumed;
        out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<size_t>(produced) * outBlock);
        if (at == inFrames && produced < want) break;
    }
    return out;
}

std::vector<UCHAR> FloatBytes(const std::vector<float>& v)
{
    std::vector<UCHAR> b(v.size() * sizeof(float));
    std::memcpy(b.data(), v.data(), b.size());
    return b;
}

std::vector<float> Floats(const std::vector<UCHAR>& b)
{
    std::vector<float> v(b.size() / sizeof(float));
    std::memcpy(v.data(), b.data(), v.size() * sizeof(float));
    return v;
}

// Every pair of rates: the stages after the split stage in order ('R' the 160/147 stage, '2' and
// '4' the power-of-two ones; '+' raises the rate, '-' lowers it), each reset for its direction
// (its output matches its model for that direction), walked so that every stage changes
// direction along the way.
TEST(DspInterleaveSrc, TheChainFollowsThePairOfRates)
{
    const char* const cells[6][6] = {
        {"", "R+", "2+", "R+2+", "4+", "R+4+"},   {"R-", "", "R-2+", "2+", "R-4+", "4+"},
        {"2-", "2-R+", "", "R+", "2+", "R+2+"},   {"2-R-", "2-", "R-", "", "R-2+", "2+"},
        {"4-", "4-R+", "2-", "2-R+", "", "R+"},   {"4-R-", "4-", "2-R-", "2-", "R-", ""},
    };
    Adapter src;
    ASSERT_TRUE(src->Init());
    EXPECT_FALSE(src->Init());
    std::vector<float> noise(64);
    std::mt19937 rng(5);
    for (float& v : noise) v = static_cast<float>(rng() % 2000) / 1000.0f - 1.0f;
    for (int i = 0; i < 6; ++i) {
        for (int o = 0; o < 6; ++o) {
            SCOPED_TRACE(std::to_string(kRates[i]) + " -> " + std::to_string(kRates[o]));
            const WaveFormatRecord in = Format(kRates[i]), out = Format(kRates[o]);
            ASSERT_TRUE(src->SetFormat(&in, &out));
            EXPECT_EQ(src->GetChain(0), src->GetSplit());
            std::string chain;
            for (ULONG s = 1; s < 3 && src->GetChain(s) != nullptr; ++s) {
                SrcStage* stage = src->GetChain(s);
                const int kind = stage == src->GetR() ? 0 : stage == src->GetX2() ? 2 : 4;
                chain += kind == 0 ? 'R' : static_cast<char>('0' + kind);
                chain += stage->m_bUp ? '+' : '-';
                EXPECT_EQ(stage->GetOutputCount(0), 0);
                const StageKind model{"", kind, stage->m_bUp != 0};
                LONG n = static_cast<LONG>(noise.size());
                ASSERT_TRUE(stage->Process(1, noise.data(), &n));
                std::vector<float> y(static_cast<size_t>(stage->GetOutputCount(1)));
                stage->TakeOutput(1, y.data(), static_cast<LONG>(y.size()));
                const std::vector<double> expected = ModelOutput(model, noise, y.size());
                for (size_t j = 0; j < y.size(); ++j) ASSERT_NEAR(y[j], expected[j], 1e-5) << chain << " " << j;
                stage->Reset();
            }
            EXPECT_EQ(chain, cells[i][o]);
            EXPECT_EQ(src->GetChain(1 + chain.size() / 2), nullptr);
        }
    }
}

TEST(DspInterleaveSrc, RefusalsChangeNothingAndSayWhy)
{
    Adapter src;
    ASSERT_TRUE(src->Init());
    const WaveFormatRecord ok = Format(48000), ok2 = Format(96000, 24);
    ASSERT_TRUE(src->SetFormat(&ok, &ok2));
    struct Case {
        const char* What;
        WaveFormatRecord In, Out;
        const char* Message;  // empty: refused without a message
    } cases[] = {
        {"in subformat", Format(48000, 16, 2, GUID_NULL), ok, "Tag not PCM"},
        {"in channels", Format(48000, 16, 9), ok, "InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS"},
        {"in rate before bits", Format(32000, 20), ok, "InFormat.Format.nSamplesPerSec not in List"},
        {"in bits", Format(48000, 20), ok, "InFormat.Format.wBitsPerSample not in List"},
        {"in 40 bits", Format(48000, 40), ok, "InFormat.Format.wBitsPerSample not in List"},
        {"out tag", ok, Format(48000, 16, 2, GUID_NULL), "Output Tag not PCM"},
        {"out channels", ok, Format(48000, 16, 9),
         "Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS"},
        {"out rate", ok, Format(8000), "OutFormat.Format.nSamplesPerSec not in List"},
        {"out bits", ok, Format(48000, 20), ""},
        {"out 40 bits", ok, Format(48000, 40), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        platform::DebugLogTake();
        EXPECT_FALSE(src->SetFormat(&c.In, &c.Out));
        const std::string log = platform::DebugLogTake();
        if (*c.Message != 0) {
            EXPECT_EQ(log, std::string("CDspInterleaveSrc::SetFormat ") + c.Message + "\n");
        } else {
            EXPECT_EQ(log, "");
        }
        EXPECT_EQ(src->GetInFormat().Format.nSamplesPerSec, 48000u);
        EXPECT_EQ(src->GetOutFormat().Format.nSamplesPerSec, 96000u);
        EXPECT_EQ(src->GetChain(1), src->GetX2());
        // A refused format leaves nothing to run.
        UCHAR in[8] = {}, out[8] = {};
        ULONG consumed = 7, produced = 7;
        EXPECT_FALSE(src->Process(in, 1, out, 1, &consumed, &produced));
        EXPECT_EQ(consumed, 7u);
    }
    // Zero channels and 24-bit float pass SetFormat, but no chain runs on them.
    const WaveFormatRecord none = Format(48000, 16, 0), float24 = Format(48000, 24, 2, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
    WaveFormatRecord plainFloat = FloatFormat(48000, 2);
    plainFloat.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    const WaveFormatRecord* const unrunnable[][2] = {{&none, &plainFloat}, {&ok, &none}, {&float24, &ok}};
    for (const auto& pair : unrunnable) {
        ASSERT_TRUE(src->SetFormat(pair[0], pair[1]));
        UCHAR in[64] = {}, out[64] = {};
        ULONG consumed = 0, produced = 0;
        EXPECT_FALSE(src->Process(in, 2, out, 2, &consumed, &produced));
    }
    ASSERT_TRUE(src->SetFormat(&ok, &plainFloat));
    UCHAR in[8] = {}, out[16] = {};
    ULONG consumed = 0, produced = 0;
    EXPECT_TRUE(src->Process(in, 2, out, 2, &consumed, &produced));
    EXPECT_EQ(produced, 2u);
}

// Init allocates the split stage's conversion, the four stages with their per-channel buffers and
// the work buffer; failing each allocation in turn leaves Init false and, once the adapter is
// destroyed, nothing behind. An adapter whose Init failed refuses Reset and SetFormat.
TEST(DspInterleaveSrc, EachFailedAllocationOfInitLeavesNothing)
{
    const uint64_t before = platform::PoolCurrentSerial();
    uint64_t allocations = 0;
    {
        Adapter src;
        const uint64_t start = platform::PoolCurrentSerial();
        ASSERT_TRUE(src->Init());
        allocations = platform::PoolCurrentSerial() - start;
    }
    ASSERT_GT(allocations, 100u) << before;
    for (uint64_t n = 1; n <= allocations; ++n) {
        SCOPED_TRACE(n);
        {
            Adapter src;
            platform::PoolFailNthAllocation(n);
            EXPECT_FALSE(src->Init());
            platform::PoolClearFailures();
            EXPECT_FALSE(src->IsInitialised());
            EXPECT_FALSE(src->Reset());
            const WaveFormatRecord f = Format(48000);
            EXPECT_FALSE(src->SetFormat(&f, &f));
        }
        for (ULONG tag : {MakePoolTag("CCST"), DSP_SRC_STAGE_TAG, SRC_CHANNEL_BUFFER_TAG}) {
            EXPECT_EQ(platform::PoolLiveCount(tag), 0u) << std::hex << tag;
        }
    }
}

TEST(DspInterleaveSrc, ResetSetFormatAndProcessAllocateNothing)
{
    Adapter src;
    ASSERT_TRUE(src->Init());
    const WaveFormatRecord in = Format(44100), out = Format(192000, 24, 6);
    std::vector<UCHAR> pcm(4 * 1000, 0x11), result(18 * 4000);
    const uint64_t serial = platform::PoolCurrentSerial();
    EXPECT_TRUE(src->Reset());
    ASSERT_TRUE(src->SetFormat(&in, &out));
    ULONG consumed = 0, produced = 0;
    ASSERT_TRUE(src->Process(pcm.data(), 1000, result.data(), 4000, &consumed, &produced));
    EXPECT_GT(produced, 0u);
    EXPECT_EQ(platform::PoolCurrentSerial(), serial);
}

// A 1 kHz sine at -6 dBFS through every pair of rates (mono, 32-bit float, 3 s in 512-frame
// calls, some thousand calls per pair): the output frame count follows the ratio within two frames, and a stretch of the output
// is a 1 kHz sine of the same level within 0.1 dB.
TEST(DspInterleaveSrc, SinesKeepFrequencyAndLevelThroughEveryPairOfRates)
{
    Adapter src;
    ASSERT_TRUE(src->Init());
    for (ULONG inRate : kRates) {
        std::vector<float> sine(static_cast<size_t>(inRate) * 3);
        for (size_t n = 0; n < sine.size(); ++n) sine[n] = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 1000.0 * n / inRate));
        const std::vector<UCHAR> bytes = FloatBytes(sine);
        for (ULONG outRate : kRates) {
            SCOPED_TRACE(std::to_string(inRate) + " -> " + std::to_string(outRate));
            const WaveFormatRecord in = FloatFormat(inRate, 1), out = FloatFormat(outRate, 1);
            ASSERT_TRUE(src->SetFormat(&in, &out));
            const std::vector<float> y = Floats(Convert(src.get(), bytes, 512));
            EXPECT_NEAR(static_cast<double>(y.size()), 3.0 * outRate, 2.0);
            // Projection on the expected sine over 0.1 s from 1 s on (past every filter delay).
            const size_t from = outRate, count = outRate / 10;
            ASSERT_GT(y.size(), from + count);
            double c = 0.0, s = 0.0, energy = 0.0;
            for (size_t n = from; n < from + count; ++n) {
                const double w = 2.0 * M_PI * 1000.0 * n / outRate;
                c += y[n] * std::cos(w);
                s += y[n] * std::sin(w);
                energy += static_cast<double>(y[n]) * y[n];
            }
            const double level = 2.0 * std::hypot(c, s) / count;
            EXPECT_NEAR(20.0 * std::log10(level / 0.5), 0.0, 0.1);
            // What the sine does not explain is tiny: the frequency is right, not merely the level.
            const double residual = energy - level * level * count / 2.0;
            EXPECT_LT(residual / energy, 1e-4);
        }
    }
}

// Equal rates leave 16- and 24-bit samples as they are, through any cut into calls; a rate change
// gives the same bytes whatever the cut.
TEST(DspInterleaveSrc, EqualRatesRoundTripAndAnyCutGivesTheSameBytes)
{
    Adapter src;
    ASSERT_TRUE(src->Init());
    std::mt19937 rng(9);
    for (USHORT bits : {16, 24}) {
        SCOPED_TRACE(bits);
        const WaveFormatRecord f = Format(48000, bits, 2);
        ASSERT_TRUE(src->SetFormat(&f, &f));
        std::vector<UCHAR> pcm(static_cast<size_t>(f.Format.nBlockAlign) * 5000);
        for (UCHAR& b : pcm) b = static_cast<UCHAR>(rng());
        EXPECT_EQ(Convert(src.get(), pcm, 512), pcm);
        ASSERT_TRUE(src->Reset());
        EXPECT_EQ(Convert(src.get(), pcm, 300, &rng), pcm);
    }
    const WaveFormatRecord in = Format(44100, 16, 2), out = Format(96000, 24, 2);
    std::vector<UCHAR> pcm(4 * 20000);
    for (size_t n = 0; n < pcm.size() / 2; ++n) {
        const int16_t v = static_cast<int16_t>(20000.0 * std::sin(n * 0.01) + static_cast<int>(rng() % 64));
        std::memcpy(&pcm[2 * n], &v, 2);
    }
    ASSERT_TRUE(src->SetFormat(&in, &out));
    const std::vector<UCHAR> whole = Convert(src.get(), pcm, 60000);
    ASSERT_TRUE(src->Reset());
    EXPECT_EQ(Convert(src.get(), pcm, 700, &rng), whole);
    // Reset empties the chain: the same input again gives the same bytes.
    ASSERT_TRUE(src->Reset());
    EXPECT_EQ(Convert(src.get(), pcm, 60000), whole);
}

// Channel mapping by position: one input channel at a time carries 0.25, and each row says what
// every output channel then holds.
TEST(DspInterleaveSrc, ChannelsMapByPosition)
{
    constexpr float h = 0.707f * 0.25f;  // folded
    struct Row {
        USHORT In, Out;
        std::vector<std::vector<float>> Gains;  // [input channel][output channel] of 0.25 in
    } rows[] = {
        {1, 2, {{0.25f, 0.25f}}},
        {2, 1, {{0.125f}, {0.125f}}},
        {1, 1, {{0.25f}}},
        {2, 6, {{0.25f, 0, 0, 0, 0, 0}, {0, 0.25f, 0, 0, 0, 0}}},
        {6, 2, {{0.25f, 0}, {0, 0.25f}, {h, h}, {0, 0}, {h, 0}, {0, h}}},
        {4, 2, {{0.25f, 0}, {0, 0.25f}, {h, 0}, {0, h}}},
        {8, 2, {{0.25f, 0}, {0, 0.25f}, {h, h}, {0, 0}, {h, 0}, {0, h}, {h, 0}, {0, h}}},
        {6, 1, {{0.125f}, {0.125f}, {h}, {0}, {h / 2}, {h / 2}}},
        {6, 4, {{0.25f, 0, 0, 0}, {0, 0.25f, 0, 0}, {h, h, 0, 0}, {0, 0, 0, 0}, {0, 0, 0.25f, 0}, {0, 0, 0, 0.25f}}},
        {4, 6, {{0.25f, 0, 0, 0, 0, 0}, {0, 0.25f, 0, 0, 0, 0}, {0, 0, 0, 0, 0.25f, 0}, {0, 0, 0, 0, 0, 0.25f}}},
    };
    Adapter src;
    ASSERT_TRUE(src->Init());
    for (const Row& r : rows) {
        const WaveFormatRecord in = FloatFormat(48000, r.In), out = FloatFormat(48000, r.Out);
        ASSERT_TRUE(src->SetFormat(&in, &out));
        for (USHORT i = 0; i < r.In; ++i) {
            SCOPED_TRACE(std::to_string(r.In) + " -> " + std::to_string(r.Out) + ", input channel " + std::to_string(i));
            std::vector<float> frames(static_cast<size_t>(r.In) * 4, 0.0f);
            for (int n = 0; n < 4; ++n) frames[static_cast<size_t>(n) * r.In + i] = 0.25f;
            const std::vector<float> y = Floats(Convert(src.get(), FloatBytes(frames), 4));
            ASSERT_EQ(y.size(), static_cast<size_t>(r.Out) * 4);
            for (USHORT o = 0; o < r.Out; ++o) EXPECT_FLOAT_EQ(y[o], r.Gains[i][o]) << "output channel " << o;
        }
    }
    // Overs saturate: 0.9 in front and back, with the signs of their sides, folds past full scale.
    const WaveFormatRecord in = Format(48000, 16, 6), out = Format(48000, 16, 2);
    ASSERT_TRUE(src->SetFormat(&in, &out));
    std::vector<UCHAR> pcm(12 * 8);
    for (size_t n = 0; n < pcm.size() / 2; ++n) {
        const int16_t side[6] = {29491, -29491, 0, 0, 29491, -29491};
        const int16_t v = side[n % 6];
        std::memcpy(&pcm[2 * n], &v, 2);
    }
    const std::vector<UCHAR> y = Convert(src.get(), pcm, 8);
    ASSERT_EQ(y.size(), 4u * 8);
    int16_t left, right;
    std::memcpy(&left, &y[0], 2);
    std::memcpy(&right, &y[2], 2);
    EXPECT_EQ(left, 32767);
    EXPECT_EQ(right, -32768);
}

}  // namespace
}  // namespace kvxtest

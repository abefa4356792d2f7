// The split stage and its channel conversion: the float counterparts the conversion receives,
// the records the split stage keeps, and the conversion's refusals with their messages.
#include <gtest/gtest.h>

#include <string>

#include "dsp/SplitStage.h"
#include "platform/nt/DebugHost.h"
#include "tests/dsp/SrcStageFixture.h"

namespace kvxtest {
namespace {

WaveFormatRecord Record(WORD tag, USHORT channels, ULONG rate, USHORT bits, const GUID& sub = KSDATAFORMAT_SUBTYPE_PCM)
{
    WaveFormatRecord f{};
    f.Format.wFormatTag = tag;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = bits;
    f.Format.nBlockAlign = static_cast<USHORT>(channels * bits / 8);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    if (tag == WAVE_FORMAT_EXTENSIBLE) {
        f.Format.cbSize = 22;
        f.Samples.wValidBitsPerSample = bits;
        f.dwChannelMask = 0x3F;
        f.SubFormat = sub;
    }
    return f;
}

TEST(SplitStage, TheConversionReceivesFloatCounterparts)
{
    const WaveFormatRecord plainFloat = Record(WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 32);
    const WaveFormatRecord extFloat = Record(WAVE_FORMAT_EXTENSIBLE, 2, 44100, 32, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
    struct Case {
        const char* What;
        WaveFormatRecord In;
        WORD Tag;
        USHORT ValidBits, BlockAlign;
        ULONG BytesPerSecond;
    } cases[] = {
        {"plain 16-bit PCM stereo", Record(WAVE_FORMAT_PCM, 2, 48000, 16), WAVE_FORMAT_IEEE_FLOAT, 0, 8, 384000},
        {"extensible 24-bit PCM, six channels", Record(WAVE_FORMAT_EXTENSIBLE, 6, 48000, 24), WAVE_FORMAT_EXTENSIBLE,
         32, 24, 1152000},
        {"plain float", plainFloat, WAVE_FORMAT_IEEE_FLOAT, 0, 8, 352800},
        {"extensible float", extFloat, WAVE_FORMAT_EXTENSIBLE, 32, 8, 352800},
    };
    PoolStage<SplitStage> split;
    ASSERT_TRUE(split->Init());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        ASSERT_TRUE(split->SetFormat(&c.In, &plainFloat));
        const WaveFormatRecord& got = split->GetConversion()->GetInFormat();
        EXPECT_EQ(got.Format.wFormatTag, c.Tag);
        EXPECT_EQ(WaveFormatEffectiveTag(&got), WAVE_FORMAT_IEEE_FLOAT);
        EXPECT_EQ(got.Format.wBitsPerSample, 32);
        EXPECT_EQ(got.Format.nBlockAlign, c.BlockAlign);
        EXPECT_EQ(got.Format.nAvgBytesPerSec, c.BytesPerSecond);
        EXPECT_EQ(got.Format.nChannels, c.In.Format.nChannels);
        EXPECT_EQ(got.Format.cbSize, c.In.Format.cbSize);
        EXPECT_EQ(got.dwChannelMask, c.In.dwChannelMask);
        if (c.Tag == WAVE_FORMAT_EXTENSIBLE) {
            EXPECT_EQ(got.Samples.wValidBitsPerSample, c.ValidBits);
        }
        // The split stage keeps the record as given.
        EXPECT_EQ(0, std::memcmp(&split->GetInFormat(), &c.In, sizeof c.In));
        if (WaveFormatEffectiveTag(&c.In) == WAVE_FORMAT_IEEE_FLOAT) {
            EXPECT_EQ(0, std::memcmp(&got, &c.In, sizeof c.In));
        }
    }
}

TEST(SplitStage, TheConversionRefusesWithItsMessages)
{
    PoolStage<SplitStage> split;
    ASSERT_TRUE(split->Init());
    CChannelConversion* conversion = split->GetConversion();
    EXPECT_FALSE(conversion->Init());
    const WaveFormatRecord ok = Record(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32);
    const WaveFormatRecord pcm = Record(WAVE_FORMAT_PCM, 2, 48000, 16);
    const WaveFormatRecord nine = Record(WAVE_FORMAT_IEEE_FLOAT, 9, 48000, 32);
    const WaveFormatRecord extPcm = Record(WAVE_FORMAT_EXTENSIBLE, 2, 48000, 32);
    ASSERT_TRUE(conversion->SetFormat(&ok, &ok));
    struct Case {
        const WaveFormatRecord *In, *Out;
        const char* Message;
    } cases[] = {
        {&pcm, &ok, "Tag not WAVE_FORMAT_IEEE_FLOAT"},
        {&extPcm, &ok, "Tag not WAVE_FORMAT_IEEE_FLOAT"},
        {&ok, &pcm, "Output Tag not WAVE_FORMAT_IEEE_FLOAT"},
        {&nine, &ok, "InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS"},
        {&ok, &nine, "InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Message);
        platform::DebugLogTake();
        EXPECT_FALSE(conversion->SetFormat(c.In, c.Out));
        EXPECT_EQ(platform::DebugLogTake(), std::string("CChannelConversion::SetFormat ") + c.Message + "\n");
        // A refused format keeps the previous ones.
        EXPECT_EQ(conversion->GetInFormat().Format.nChannels, 2);
        EXPECT_EQ(conversion->GetOutFormat().Format.nChannels, 2);
    }
}

}  // namespace
}  // namespace kvxtest

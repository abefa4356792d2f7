// The stream format adapter's lifecycle: Init once, the chain chosen by the pair of rates with
// each stage's direction, the refusals and their messages, and teardown after a failed Init.
#include <gtest/gtest.h>

#include <cstring>
#include <new>
#include <string>

#include "dsp/DspInterleaveSrc.h"
#include "platform/nt/DebugHost.h"
#include "platform/nt/PoolHost.h"

namespace {

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
    f.SubFormat = sub;
    return f;
}

class DspInterleaveSrcTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::DebugReset();
        m_memory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CDspInterleaveSrc), MakePoolTag("CCST"));
        std::memset(m_memory, 0, sizeof(CDspInterleaveSrc));
        m_src = new (m_memory) CDspInterleaveSrc();
    }
    void TearDown() override
    {
        m_src->~CDspInterleaveSrc();
        ExFreePoolWithTag(m_memory, MakePoolTag("CCST"));
        EXPECT_EQ(platform::PoolLiveCount(DSP_SRC_STAGE_TAG), 0u);
    }
    PVOID m_memory = nullptr;
    CDspInterleaveSrc* m_src = nullptr;
};

TEST_F(DspInterleaveSrcTest, TheChainFollowsThePairOfRates)
{
    ASSERT_TRUE(m_src->Init());
    EXPECT_FALSE(m_src->Init());
    // Stages after the split stage: 'R' the 160/147 stage, '2' and '4' the power-of-two ones;
    // '+' raises the rate, '-' lowers it.
    struct Case {
        ULONG In, Out;
        const char* Chain;
    } cases[] = {{48000, 48000, ""},        {44100, 48000, "R+"},     {176400, 48000, "4-R+"},
                 {48000, 44100, "R-"},      {48000, 88200, "R-2+"},   {192000, 44100, "4-R-"},
                 {44100, 192000, "R+4+"},   {96000, 88200, "R-"},     {88200, 96000, "R+"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.In) + " -> " + std::to_string(c.Out));
        const WaveFormatRecord in = Format(c.In), out = Format(c.Out);
        ASSERT_TRUE(m_src->SetFormat(&in, &out));
        EXPECT_EQ(m_src->GetChain(0), m_src->GetSplit());
        std::string chain;
        for (ULONG i = 1; i < 3 && m_src->GetChain(i) != nullptr; ++i) {
            DspSrcStage* s = m_src->GetChain(i);
            chain += s == m_src->GetR() ? 'R' : s == m_src->GetX2() ? '2' : '4';
            chain += s->Up ? '+' : '-';
        }
        EXPECT_EQ(chain, c.Chain);
    }
    // 48 -> 44.1 then 44.1 -> 48 turns the R stage up and rebuilds it after the direction is set.
    const WaveFormatRecord f48 = Format(48000), f44 = Format(44100);
    ASSERT_TRUE(m_src->SetFormat(&f48, &f44));
    const ULONG resets = m_src->GetR()->ResetCount;
    ASSERT_TRUE(m_src->SetFormat(&f44, &f48));
    EXPECT_EQ(m_src->GetR()->Up, 1);
    EXPECT_EQ(m_src->GetR()->ResetCount, resets + 2);  // the adapter's reset, then its own
}

TEST_F(DspInterleaveSrcTest, RefusalsChangeNothingAndSayWhy)
{
    ASSERT_TRUE(m_src->Init());
    const WaveFormatRecord ok = Format(48000), ok2 = Format(96000, 24);
    ASSERT_TRUE(m_src->SetFormat(&ok, &ok2));
    struct Case {
        const char* What;
        WaveFormatRecord In, Out;
        const char* Message;  // empty: refused without a message
    } cases[] = {
        {"in subformat", Format(48000, 16, 2, GUID_NULL), ok, "Tag not PCM"},
        {"in channels", Format(48000, 16, 9), ok, "InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS"},
        {"in rate before bits", Format(32000, 20), ok, "InFormat.Format.nSamplesPerSec not in List"},
        {"in bits", Format(48000, 20), ok, "InFormat.Format.wBitsPerSample not in List"},
        {"out tag", ok, Format(48000, 16, 2, GUID_NULL), "Output Tag not PCM"},
        {"out channels", ok, Format(48000, 16, 9), "Output OutFormat.Format.nChannels"},
        {"out rate", ok, Format(8000), "OutFormat.Format.nSamplesPerSec not in List"},
        {"out bits", ok, Format(48000, 20), ""},
        {"40 bits", ok, Format(48000, 40), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        platform::DebugLogTake();
        EXPECT_FALSE(m_src->SetFormat(&c.In, &c.Out));
        const std::string log = platform::DebugLogTake();
        if (*c.Message != 0) {
            EXPECT_NE(log.find(std::string("CDspInterleaveSrc::SetFormat ") + c.Message), std::string::npos) << log;
        } else {
            EXPECT_EQ(log, "");
        }
        EXPECT_EQ(m_src->GetInFormat().Format.nSamplesPerSec, 48000u);
        EXPECT_EQ(m_src->GetOutFormat().Format.nSamplesPerSec, 96000u);
    }
    // Zero channels pass the channel tests; a plain float record passes the tag test.
    WaveFormatRecord mono0 = Format(48000, 16, 0), plainFloat = Format(48000, 32);
    plainFloat.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    EXPECT_TRUE(m_src->SetFormat(&mono0, &plainFloat));
}

TEST_F(DspInterleaveSrcTest, AFailedInitKeepsWhatItGotForTheDestructor)
{
    for (uint64_t n = 1; n <= 5; ++n) {
        SCOPED_TRACE(n);
        TearDown();
        SetUp();
        platform::PoolFailNthAllocation(n);
        EXPECT_FALSE(m_src->Init());
        platform::PoolClearFailures();
        EXPECT_FALSE(m_src->IsInitialised());
    }
}

}  // namespace

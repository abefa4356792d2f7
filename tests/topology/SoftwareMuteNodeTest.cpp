#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "adapter/StreamEngine.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Machine.h"
#include "platform/nt/Pool.h"
#include "tests/topology/TopologyDoubles.h"
#include "topology/EntityCommon.h"
#include "topology/SoftwareMuteNode.h"
#include "platform/nt/PoolHost.h"

namespace kvxtest {
namespace {

WaveFormatRecord Format(WORD tag, USHORT channels, USHORT bits, const GUID& subFormat)
{
    WaveFormatRecord f{};
    f.Format.wFormatTag = tag;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = 48000;
    f.Format.wBitsPerSample = bits;
    f.Format.nBlockAlign = static_cast<USHORT>(channels * bits / 8);
    f.Format.nAvgBytesPerSec = 48000u * f.Format.nBlockAlign;
    f.Format.cbSize = tag == WAVE_FORMAT_EXTENSIBLE ? WAVEFORMATEXTENSIBLE_EXTRA : 0;
    f.Samples.wValidBitsPerSample = bits;
    f.SubFormat = subFormat;
    return f;
}

SoftwareMuteNode* NewMuteNode()
{
    SoftwareMuteNode* node = NewObject<SoftwareMuteNode>(30u);
    EXPECT_EQ(node->Init(29, 1), STATUS_SUCCESS);
    return node;
}

TEST(SoftwareMuteNodeTest, InitTakesOneNonPagedChannelOnly)
{
    SoftwareMuteNode* node = NewObject<SoftwareMuteNode>(30u);
    EXPECT_EQ(node->Init(29, 2), STATUS_INSUFFICIENT_RESOURCES);
    UCHAR value = 0;
    EXPECT_EQ(node->GetValue(0, &value), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(node->Init(29, 1), STATUS_SUCCESS);
    EXPECT_EQ(platform::PoolLiveCount(SOFTWARE_MUTE_TAG), 1u);
    EXPECT_EQ(platform::PoolLiveCount(ON_OFF_VALUES_TAG), 0u);
    ULONG count = 0;
    EXPECT_EQ(node->GetChannelCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(node->GetValue(0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0);  // starts unmuted
    EXPECT_EQ(node->Reserved1(), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(node->Reserved2(), STATUS_NOT_IMPLEMENTED);
    node->Release();
    EXPECT_EQ(platform::PoolLiveCount(SOFTWARE_MUTE_TAG), 0u);
}

TEST(SoftwareMuteNodeTest, MutedChunksAreZeroedPerFormatAndUnmutedOnesUntouched)
{
    GUID ieee = KSDATAFORMAT_SUBTYPE_PCM;
    ieee.Data1 = 3;
    const struct {
        const char* name;
        WaveFormatRecord format;
        bool pcm;
    } cases[] = {
        {"pcm", Format(WAVE_FORMAT_PCM, 2, 16, GUID{}), true},
        {"extensible pcm", Format(WAVE_FORMAT_EXTENSIBLE, 2, 24, KSDATAFORMAT_SUBTYPE_PCM), true},
        {"extensible float", Format(WAVE_FORMAT_EXTENSIBLE, 2, 32, ieee), false},
        {"other tag", Format(0x0092, 2, 16, GUID{}), false},
    };
    constexpr ULONG frames = 100;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SoftwareMuteNode* node = NewMuteNode();
        std::vector<float> left(frames + 1, 0.5f), right(frames + 1, -0.25f);
        float* channels[2] = {left.data(), right.data()};
        std::vector<uint8_t> raw(c.format.Format.nBlockAlign * (frames + 1), 0x5A);
        PVOID data = c.pcm ? static_cast<PVOID>(channels) : static_cast<PVOID>(raw.data());

        ASSERT_EQ(node->Process(&c.format, data, frames), STATUS_SUCCESS);
        EXPECT_EQ(left[0], 0.5f);
        EXPECT_EQ(raw[0], 0x5A);

        ASSERT_EQ(node->SetValue(0, 1), STATUS_SUCCESS);
        ASSERT_EQ(node->Process(&c.format, data, frames), STATUS_SUCCESS);
        if (c.pcm) {
            for (ULONG i = 0; i < frames; ++i) {
                ASSERT_EQ(left[i], 0.0f);
                ASSERT_EQ(right[i], 0.0f);
            }
            EXPECT_EQ(left[frames], 0.5f);  // nothing past the chunk
            EXPECT_EQ(raw[0], 0x5A);
        } else {
            const size_t bytes = size_t{c.format.Format.nBlockAlign} * frames;
            for (size_t i = 0; i < bytes; ++i) ASSERT_EQ(raw[i], 0);
            EXPECT_EQ(raw[bytes], 0x5A);
            EXPECT_EQ(left[0], 0.5f);
        }
        EXPECT_EQ(node->SetFormat(&c.format), STATUS_SUCCESS);
        EXPECT_EQ(node->Reset(), STATUS_SUCCESS);
        UCHAR value = 0;
        EXPECT_EQ(node->GetValue(0, &value), STATUS_SUCCESS);
        EXPECT_EQ(value, 1);  // stream start and stop keep the state
        node->Release();
    }
}

class MuteStreamTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_engine = new (NonPagedPoolNx, STREAM_ENGINE_TAG) StreamEngine(nullptr, 1);
        m_engine->NonDelegatingAddRef();
        ASSERT_EQ(m_engine->Init(FALSE), STATUS_SUCCESS);
        ASSERT_EQ(m_engine->AllocateProcessingBuffers(), STATUS_SUCCESS);
        m_engine->m_CurrentWaveFormat = Format(WAVE_FORMAT_EXTENSIBLE, 2, 16, KSDATAFORMAT_SUBTYPE_PCM);
        m_node = NewMuteNode();
        ASSERT_EQ(m_engine->AddEntity(m_node), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        m_node->Release();
        m_engine->Release();
    }

    NTSTATUS Process(std::vector<int16_t>& buffer)
    {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        const NTSTATUS status =
            m_engine->ProcessBuffer(buffer.data(), static_cast<ULONG>(buffer.size() * sizeof(int16_t)));
        KeLowerIrql(old);
        return status;
    }

    static std::vector<int16_t> Samples(size_t frames)
    {
        std::vector<int16_t> out(frames * 2);
        for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<int16_t>((i * 2654435761u) % 65535 - 32767);
        out[3] = -32768;
        out[4] = 32767;
        return out;
    }

    StreamEngine* m_engine = nullptr;
    SoftwareMuteNode* m_node = nullptr;
};

TEST_F(MuteStreamTest, ThroughTheStreamMutedIsSilentAndUnmutedIsBitExact)
{
    std::vector<int16_t> buffer = Samples(1300);
    const std::vector<int16_t> original = buffer;
    ASSERT_EQ(Process(buffer), STATUS_SUCCESS);
    EXPECT_TRUE(buffer == original);

    ASSERT_EQ(m_node->SetValue(0, 1), STATUS_SUCCESS);
    ASSERT_EQ(Process(buffer), STATUS_SUCCESS);
    for (int16_t s : buffer) ASSERT_EQ(s, 0);

    buffer = original;
    ASSERT_EQ(m_node->SetValue(0, 0), STATUS_SUCCESS);
    ASSERT_EQ(Process(buffer), STATUS_SUCCESS);
    EXPECT_TRUE(buffer == original);
}

TEST_F(MuteStreamTest, RacingSetsMuteEachChunkWhollyOrNotAtAll)
{
    std::atomic<bool> stop{false};
    std::thread toggler([&] {
        platform::ClientThreadScope scope("toggler");
        UCHAR value = 0;
        while (!stop.load()) {
            value ^= 1;
            m_node->SetValue(0, value);
        }
    });
    // Samples with no zero, so a zero shows the mute.
    std::vector<int16_t> source(512 * 2 * 8);
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<int16_t>(1 + i % 1000);
    int muted = 0, untouched = 0;
    for (int round = 0; round < 200; ++round) {
        std::vector<int16_t> buffer = source;
        ASSERT_EQ(Process(buffer), STATUS_SUCCESS);
        for (size_t chunk = 0; chunk < 8; ++chunk) {
            const auto first = buffer.begin() + static_cast<std::ptrdiff_t>(chunk * 1024);
            const bool zero = std::all_of(first, first + 1024, [](int16_t s) { return s == 0; });
            const bool same = std::equal(first, first + 1024, source.begin() + static_cast<std::ptrdiff_t>(chunk * 1024));
            ASSERT_TRUE(zero || same) << "chunk " << chunk << " partly muted";
            (zero ? muted : untouched)++;
        }
    }
    stop = true;
    toggler.join();
    EXPECT_GT(muted + untouched, 0);
}

}  // namespace
}  // namespace kvxtest

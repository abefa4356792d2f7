// The V3 render-path nodes on chunks: the channel swap trades the back and side pairs of 8-channel
// PCM only; the jack node attenuates or silences PCM and leaves other streams alone.
#include <gtest/gtest.h>

#include <vector>

#include "adapter/StreamEngine.h"
#include "platform/nt/Pool.h"
#include "topology/ChannelSwapNode.h"
#include "usb/JackMuteNode.h"

namespace {

WaveFormatRecord Format(USHORT tag, USHORT channels, bool extensible)
{
    WaveFormatRecord f = {};
    f.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : tag;
    f.Format.nChannels = channels;
    f.Format.nBlockAlign = static_cast<USHORT>(channels * 2);
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    f.SubFormat.Data1 = tag;
    return f;
}

template <typename T>
T* New()
{
    auto* node = new (NonPagedPoolNx, MakePoolTag("Tnod")) T(nullptr);
    static_cast<IProcessingNode*>(node)->AddRef();
    return node;
}

TEST(V3Nodes, TheChannelSwapTradesBackAndSidePairsOfEightChannelPcmOnly)
{
    ChannelSwapNode* node = New<ChannelSwapNode>();
    float samples[8] = {};
    struct Row {
        const char* Name;
        WaveFormatRecord Format;
        bool Swaps;
    } rows[] = {
        {"8-channel PCM", Format(WAVE_FORMAT_PCM, 8, false), true},
        {"8-channel extensible PCM", Format(WAVE_FORMAT_PCM, 8, true), true},
        {"6-channel PCM", Format(WAVE_FORMAT_PCM, 6, false), false},
        {"8-channel float", Format(3, 8, true), false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        float* channels[8];
        for (int c = 0; c < 8; ++c) channels[c] = &samples[c];
        ASSERT_EQ(node->Process(&r.Format, channels, 16), STATUS_SUCCESS);
        const std::vector<int> expected = r.Swaps ? std::vector<int>{0, 1, 2, 3, 6, 7, 4, 5}
                                                  : std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7};
        for (int c = 0; c < 8; ++c) EXPECT_EQ(channels[c], &samples[expected[c]]) << c;
        // A second chunk on the same array swaps back.
        ASSERT_EQ(node->Process(&r.Format, channels, 16), STATUS_SUCCESS);
        for (int c = 0; c < 8; ++c) EXPECT_EQ(channels[c], &samples[c]) << c;
    }
    PVOID raw = nullptr;
    EXPECT_EQ(node->QueryInterface(IID_IProcessingNode, &raw), STATUS_SUCCESS);
    static_cast<IProcessingNode*>(raw)->Release();
    EXPECT_EQ(node->QueryInterface(IID_IStreamEngine, &raw), STATUS_INVALID_PARAMETER);
    static_cast<IProcessingNode*>(node)->Release();
}

TEST(V3Nodes, TheJackNodeAttenuatesOrSilencesPcmAndLeavesOtherStreams)
{
    JackMuteNode* node = New<JackMuteNode>();
    ASSERT_EQ(node->Init(), STATUS_SUCCESS);
    struct Row {
        const char* Name;
        ULONG Mode;
        WaveFormatRecord Format;
        float Expected;
    } rows[] = {
        {"pass", JACK_MUTE_PASS, Format(WAVE_FORMAT_PCM, 2, false), 0.5f},
        {"attenuate", JACK_MUTE_ATTENUATE, Format(WAVE_FORMAT_PCM, 2, true), 0.125f},
        {"silence", JACK_MUTE_SILENCE, Format(WAVE_FORMAT_PCM, 2, false), 0.0f},
        {"silence leaves AC-3 alone", JACK_MUTE_SILENCE, Format(0x0092, 2, true), 0.5f},
        {"attenuate leaves float alone", JACK_MUTE_ATTENUATE, Format(3, 2, true), 0.5f},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        std::vector<float> left(32, 0.5f), right(32, 0.5f);
        float* channels[8] = {left.data(), right.data()};
        node->SetMode(r.Mode);
        ASSERT_EQ(node->Process(&r.Format, channels, 32), STATUS_SUCCESS);
        for (float v : left) EXPECT_EQ(v, r.Expected);
        for (float v : right) EXPECT_EQ(v, r.Expected);
    }
    static_cast<IProcessingNode*>(node)->Release();
}

}  // namespace

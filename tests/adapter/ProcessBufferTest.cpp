#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cstring>
#include <vector>

#include "platform/nt/Debug.h"
#include "platform/nt/Irql.h"
#include "tests/adapter/EntityDoubles.h"
#include "platform/nt/DebugHost.h"

namespace kvxtest {
namespace {

constexpr unsigned int MXCSR_FLUSH_TO_ZERO = 0x8000u;
constexpr unsigned int MXCSR_ROUNDING = 0x6000u;
constexpr unsigned int MXCSR_DEFAULT = 0x1F80u;

WaveFormatRecord Pcm(USHORT channels, USHORT bits, USHORT blockAlign)
{
    WaveFormatRecord f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = 48000;
    f.Format.nBlockAlign = blockAlign;
    f.Format.nAvgBytesPerSec = 48000u * blockAlign;
    f.Format.wBitsPerSample = bits;
    f.Format.cbSize = WAVEFORMATEXTENSIBLE_EXTRA;
    f.Samples.wValidBitsPerSample = bits;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

class ProcessBufferTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_engine = new (NonPagedPoolNx, STREAM_ENGINE_TAG) StreamEngine(nullptr, 1);
        m_engine->NonDelegatingAddRef();
        ASSERT_EQ(m_engine->Init(FALSE), STATUS_SUCCESS);
        ASSERT_EQ(m_engine->AllocateProcessingBuffers(), STATUS_SUCCESS);
        m_node = TestNode::New();
    }
    void TearDown() override
    {
        m_node->Release();
        m_engine->Release();
    }

    void AddNode() { ASSERT_EQ(m_engine->AddNode(m_node), STATUS_SUCCESS); }

    // As the transfer paths call it: at DISPATCH_LEVEL.
    NTSTATUS Process(std::vector<uint8_t>& buffer, size_t bytes = SIZE_MAX)
    {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        const NTSTATUS status =
            m_engine->ProcessBuffer(buffer.data(), static_cast<ULONG>(bytes == SIZE_MAX ? buffer.size() : bytes));
        KeLowerIrql(old);
        return status;
    }

    // Frames of distinct samples, the extremes of the sample size among them.
    static std::vector<uint8_t> Samples(size_t frames, const WaveFormatRecord& f)
    {
        const size_t bytes = f.Format.wBitsPerSample / 8;
        std::vector<uint8_t> out(frames * f.Format.nBlockAlign);
        const int64_t max = (int64_t{1} << (f.Format.wBitsPerSample - 1)) - 1;
        for (size_t i = 0; i < frames * f.Format.nChannels; ++i) {
            int64_t v = static_cast<int64_t>((i * 2654435761u) % static_cast<uint64_t>(2 * max)) - max;
            if (i == 3) v = -max - 1;
            if (i == 4) v = max;
            std::memcpy(out.data() + i * bytes, &v, bytes);  // little endian: the low bytes
        }
        return out;
    }

    StreamEngine* m_engine = nullptr;
    TestNode* m_node = nullptr;
};

TEST_F(ProcessBufferTest, PcmComesBackBitExactInChunksOf512WithTheCallersFloatingPointState)
{
    for (USHORT bits : {USHORT{16}, USHORT{24}}) {
        SCOPED_TRACE(bits);
        const WaveFormatRecord format = Pcm(2, bits, static_cast<USHORT>(2 * bits / 8));
        m_engine->m_CurrentWaveFormat = format;
        if (m_node->m_Frames.empty()) AddNode();
        m_node->m_Frames.clear();
        std::vector<uint8_t> buffer = Samples(1300, format);
        const std::vector<uint8_t> original = buffer;

        const unsigned int callers = MXCSR_DEFAULT | MXCSR_ROUNDING;  // toward zero, no flush
        const unsigned int saved = _mm_getcsr();
        _mm_setcsr(callers);
        const NTSTATUS status = Process(buffer);
        const unsigned int after = _mm_getcsr();
        _mm_setcsr(saved);

        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(after, callers);
        EXPECT_EQ(m_node->m_Mxcsr & (MXCSR_FLUSH_TO_ZERO | MXCSR_ROUNDING), MXCSR_FLUSH_TO_ZERO);
        EXPECT_EQ(m_node->m_Frames, (std::vector<ULONG>{512, 512, 276}));
        EXPECT_TRUE(buffer == original);
    }
}

TEST_F(ProcessBufferTest, ThirtyTwoBitSamplesKeepTheirFloatPrecision)
{
    m_engine->m_CurrentWaveFormat = Pcm(1, 32, 4);
    AddNode();
    std::vector<uint8_t> buffer(4);
    const int32_t sample = 0x12345677;  // 29 significant bits: a float keeps 24
    std::memcpy(buffer.data(), &sample, 4);
    EXPECT_EQ(Process(buffer), STATUS_SUCCESS);
    int32_t result = 0;
    std::memcpy(&result, buffer.data(), 4);
    EXPECT_EQ(result, 0x12345680);
}

TEST_F(ProcessBufferTest, FormatsThePathCannotCarryAreRefusedWithTheBufferUntouched)
{
    AddNode();
    WaveFormatRecord nine = Pcm(9, 16, 18);
    WaveFormatRecord twenty = Pcm(2, 20, 6);
    WaveFormatRecord shortFrame = Pcm(2, 16, 2);
    WaveFormatRecord zeroAlign = Pcm(2, 16, 0);
    struct Case {
        const char* What;
        WaveFormatRecord Format;
        size_t Bytes;
    } cases[] = {
        {"no format yet", WaveFormatRecord{}, 360},
        {"block alignment 0", zeroAlign, 360},
        {"nine channels", nine, 360},
        {"20-bit samples", twenty, 360},
        {"frames smaller than their samples", shortFrame, 360},
        {"a size that is not whole frames", Pcm(2, 16, 4), 358},
    };
    platform::DebugLogTake();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        m_engine->m_CurrentWaveFormat = c.Format;
        std::vector<uint8_t> buffer(360);
        for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i * 7 + 1);
        const std::vector<uint8_t> original = buffer;
        EXPECT_EQ(Process(buffer, c.Bytes), STATUS_UNSUCCESSFUL);
        EXPECT_TRUE(buffer == original);
    }
    EXPECT_TRUE(m_node->m_Frames.empty());
    EXPECT_NE(platform::DebugLogTake().find("0 != lBufSize(358) Div m_CurrentWaveFormat.Format.nBlockAlign(4) \n"),
              std::string::npos);
}

TEST_F(ProcessBufferTest, ANodeFailingOnTheSecondChunkLeavesTheRestAsItWas)
{
    const WaveFormatRecord format = Pcm(2, 16, 4);
    m_engine->m_CurrentWaveFormat = format;
    AddNode();
    m_node->m_Scale = 0.5f;
    m_node->m_FailAtCall = 2;
    std::vector<uint8_t> buffer(1300 * 4);
    for (size_t i = 0; i < 1300 * 2; ++i) {
        const int16_t v = static_cast<int16_t>(((i % 1000) + 1) * 2);
        std::memcpy(buffer.data() + i * 2, &v, 2);
    }
    const std::vector<uint8_t> original = buffer;
    EXPECT_EQ(Process(buffer), STATUS_DEVICE_DATA_ERROR);
    EXPECT_EQ(m_node->m_Frames.size(), 2u);
    for (size_t i = 0; i < 1300 * 2; ++i) {
        int16_t before = 0, now = 0;
        std::memcpy(&before, original.data() + i * 2, 2);
        std::memcpy(&now, buffer.data() + i * 2, 2);
        ASSERT_EQ(now, i < 512 * 2 ? before / 2 : before) << i;
    }
}

TEST_F(ProcessBufferTest, FloatStreamsReachTheNodesRawAndSkipTheClientLists)
{
    TestClientProcessor* processor = TestClientProcessor::New();
    ASSERT_EQ(m_engine->AddClientProcessorA(processor), STATUS_SUCCESS);

    // PCM with only a client list: the list runs per chunk.
    m_engine->m_CurrentWaveFormat = Pcm(2, 16, 4);
    std::vector<uint8_t> buffer(600 * 8);
    EXPECT_EQ(Process(buffer, 600 * 4), STATUS_SUCCESS);
    EXPECT_EQ(processor->m_CallsA, 2);

    WaveFormatRecord ieee = Pcm(2, 32, 8);
    ieee.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    m_engine->m_CurrentWaveFormat = ieee;
    AddNode();
    for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i);
    const std::vector<uint8_t> original = buffer;
    EXPECT_EQ(Process(buffer), STATUS_SUCCESS);
    EXPECT_EQ(m_node->m_Frames, (std::vector<ULONG>{512, 88}));
    EXPECT_EQ(m_node->m_Data, (std::vector<PVOID>{buffer.data(), buffer.data() + 512 * 8}));
    EXPECT_EQ(processor->m_CallsA, 2);
    EXPECT_TRUE(buffer == original);

    // The nodes-only path: PCM chunks through the nodes, never through the client lists.
    m_engine->m_CurrentWaveFormat = Pcm(2, 16, 4);
    m_node->m_Frames.clear();
    EXPECT_EQ(m_engine->ProcessBufferNodes(buffer.data(), 600 * 4), STATUS_SUCCESS);
    EXPECT_EQ(m_node->m_Frames, (std::vector<ULONG>{512, 88}));
    EXPECT_EQ(processor->m_CallsA, 2);
    EXPECT_TRUE(buffer == original);

    // Without nodes or client processors nothing runs.
    m_engine->DrainClientProcessorsA();
    processor->Release();
    StreamEngine* bare = new (NonPagedPoolNx, STREAM_ENGINE_TAG) StreamEngine(nullptr, 2);
    bare->NonDelegatingAddRef();
    ASSERT_EQ(bare->Init(FALSE), STATUS_SUCCESS);
    bare->m_CurrentWaveFormat = Pcm(2, 16, 4);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(bare->ProcessBuffer(buffer.data(), 400), STATUS_SUCCESS);
    KeLowerIrql(old);
    EXPECT_TRUE(buffer == original);
    bare->Release();
}

}  // namespace
}  // namespace kvxtest

// The transfer ring on the wire: render bytes in order, capture frames whole, the prepared sizes,
// and the edge cases of packet sizes, empty packets and a full ring.
#include "tests/stream/StreamFixture.h"

namespace kvxtest {
namespace {

using TransferRingTest = StreamFixture;

TEST_F(TransferRingTest, RenderSendsTheClientsBytesInOrderAPacketEveryFrame)
{
    Uac1RenderEndpoint* endpoint = Render();
    ClientDouble client;
    Play(endpoint, client, PcmFormat(48000));
    platform::RunFor(std::chrono::milliseconds(200));
    EXPECT_EQ(endpoint->GetTransfersInUse(), 3u);
    const auto packets = m_device->Wire(0x01);
    ASSERT_GT(packets.size(), 150u);
    for (size_t i = 1; i < packets.size(); ++i) {
        ASSERT_EQ(packets[i].Frame, packets[i - 1].Frame + 1) << "packet " << i;
        ASSERT_EQ(packets[i].Data.size(), 192u) << "packet " << i;
    }
    Finish(endpoint, client);
    ExpectPattern(WireBytes(0x01), client.Written);
    // Every transfer completed was reported as moved, and every one submitted completed.
    EXPECT_EQ(client.BytesMoved, client.Written);
    EXPECT_EQ(WireBytes(0x01).size(), client.Written);
    EXPECT_EQ(endpoint->GetStreamState(), STREAM_STATE_IDLE);
}

TEST_F(TransferRingTest, CaptureHandsOutTheSourcesBytesInWholeFrames)
{
    m_device->SetSource(0x82, {48000, 2, 2});
    Uac1CaptureEndpoint* endpoint = Capture();
    ClientDouble client;
    Play(endpoint, client, PcmFormat(48000));
    platform::RunFor(std::chrono::milliseconds(200));
    Finish(endpoint, client);
    ASSERT_GT(client.Captured.size(), 150u * 192);
    EXPECT_EQ(client.Captured.size() % 4, 0u);
    EXPECT_EQ(client.BytesMoved, client.Captured.size());
    for (size_t frame = 0; frame < client.Captured.size() / 4; ++frame) {
        for (uint32_t ch = 0; ch < 2; ++ch) {
            const auto expected = static_cast<int16_t>(sim::SimDevice::SourceSample(frame, ch, 2));
            int16_t got;
            std::memcpy(&got, &client.Captured[frame * 4 + ch * 2], 2);
            ASSERT_EQ(got, expected) << "frame " << frame << " channel " << ch;
        }
    }
}

struct SizeCase {
    const char* name;
    bool capture;
    WaveFormatRecord format;
    ULONG ms, queued;
    ULONG framesPerPacket, dataBuffer, ring, queuedAfter;
};

// The sizes a preparation derives from the format, the alternate setting and the client.
TEST_F(TransferRingTest, PreparedSizes)
{
    const SizeCase cases[] = {
        {"render 44.1 kHz, 5 ms", false, PcmFormat(44100), 5, 3, 44, 900, 0, 3},
        {"render 48 kHz, 1 ms", false, PcmFormat(48000), 1, 3, 48, 196, 0, 3},
        {"capture 44.1 kHz, 5 ms x 3: a 40 ms ring", true, PcmFormat(44100), 5, 3, 50, 1000, 7056, 3},
        {"capture 5 ms x 1 is raised to 2", true, PcmFormat(48000), 5, 1, 50, 1000, 7680, 2},
        {"capture 1 ms x 3 is raised to 10", true, PcmFormat(48000), 1, 3, 50, 200, 7680, 10},
        {"capture ring of whole frames", true, PcmFormat(44056, 3), 5, 3, 33, 990, 10578, 3},
    };
    for (const SizeCase& c : cases) {
        UsbStreamEndpoint* endpoint = c.capture ? static_cast<UsbStreamEndpoint*>(Capture({c.format}))
                                                : static_cast<UsbStreamEndpoint*>(Render({c.format}));
        ClientDouble client;
        ASSERT_EQ(Register(endpoint, client, c.format, c.ms, c.queued), STATUS_SUCCESS) << c.name;
        ULONG ms = 0, frame = 0;
        ASSERT_EQ(endpoint->ClientStart(client.Record->Registration, &ms, &frame), STATUS_SUCCESS) << c.name;
        EXPECT_EQ(endpoint->GetPacketsPerMsValue(), 1u) << c.name;
        EXPECT_EQ(endpoint->GetFramesPerPacket(), c.framesPerPacket) << c.name;
        EXPECT_EQ(endpoint->GetDataBufferSize(), c.dataBuffer) << c.name;
        EXPECT_EQ(endpoint->GetRingSize(), c.ring) << c.name;
        EXPECT_EQ(endpoint->GetTransfersQueued(), c.queuedAfter) << c.name;
        EXPECT_EQ(client.Record->TransfersQueued, c.queuedAfter) << c.name;
        EXPECT_EQ(endpoint->ClientStop(client.Record->Registration), STATUS_SUCCESS) << c.name;
        EXPECT_EQ(endpoint->UnregisterClient(client.Record->Registration), STATUS_SUCCESS) << c.name;
        Drop(endpoint);
    }
}

// Packet lengths in frames of the render stream as it reached the device.
std::vector<size_t> PacketFrames(const std::vector<sim::WirePacket>& packets, size_t count, size_t frameBytes)
{
    std::vector<size_t> frames;
    for (size_t i = 0; i < count && i < packets.size(); ++i) {
        frames.push_back(packets[i].Data.size() / frameBytes);
    }
    return frames;
}

TEST_F(TransferRingTest, RenderAt44100CarriesNinePacketsOf44AndOneOf45)
{
    Uac1RenderEndpoint* endpoint = Render();
    ClientDouble client;
    Play(endpoint, client, PcmFormat(44100));
    platform::RunFor(std::chrono::milliseconds(1100));
    EXPECT_LE(endpoint->GetTransfersInUse(), 3u);
    Finish(endpoint, client);
    const auto packets = m_device->Wire(0x01);
    ASSERT_GE(packets.size(), 1000u);
    const std::vector<size_t> expected = {44, 44, 44, 44, 44, 44, 44, 44, 44, 45, 44, 44, 44, 44, 44, 44, 44, 44, 44, 45};
    EXPECT_EQ(PacketFrames(packets, 20, 4), expected);
    // Exactly the nominal frames in every thousand.
    size_t frames = 0;
    for (size_t i = 0; i < 1000; ++i) {
        frames += packets[i].Data.size() / 4;
    }
    EXPECT_EQ(frames, 44100u);
    ExpectPattern(WireBytes(0x01), client.Written);
}

class HighSpeedRingTest : public StreamFixture {
protected:
    void SetUp() override { Start(Uac1Device(1), true); }
};

TEST_F(HighSpeedRingTest, EightPacketsPerMillisecondAt44100AreOf5And6Frames)
{
    Uac1RenderEndpoint* endpoint = Render();
    ClientDouble client;
    Play(endpoint, client, PcmFormat(44100));
    EXPECT_EQ(endpoint->GetPacketsPerMsValue(), 8u);
    EXPECT_EQ(endpoint->GetFramesPerPacket(), 5u);
    EXPECT_EQ(endpoint->GetDataBufferSize(), (44u - 4 + 8) * 4 * 5);
    platform::RunFor(std::chrono::milliseconds(200));
    Finish(endpoint, client);
    const auto packets = m_device->Wire(0x01);
    ASSERT_GE(packets.size(), 8000u / 10);
    size_t frames = 0;
    for (size_t i = 0; i < 800; ++i) {
        const size_t n = packets[i].Data.size() / 4;
        ASSERT_TRUE(n == 5 || n == 6) << "packet " << i << " has " << n << " frames";
        frames += n;
    }
    EXPECT_EQ(frames, 4410u);  // 5.5125 frames per packet on average
    ExpectPattern(WireBytes(0x01), client.Written);
}

// A high-bandwidth endpoint: wMaxPacketSize 200 with one extra transaction carries 400 bytes.
class HighBandwidthCaptureTest : public StreamFixture {
protected:
    void SetUp() override
    {
        sim::DescriptorBuilder b;
        b.AudioControl(0, 0, {1})
            .Uac1InputTerminal(4, 0x0201, 2)
            .Uac1OutputTerminal(6, 0x0101, 4)
            .AudioStreaming(1, 0, 0)
            .AudioStreaming(1, 1, 0)
            .Uac1AsGeneral(6)
            .Uac1FormatTypeI(2, 2, 16, {48000})
            .Endpoint(0x81, 0x05, 0x0800 | 200, 4)
            .Uac1AsEndpoint();
        Start(b, true);
    }
};

TEST_F(HighBandwidthCaptureTest, MaxPacketCountsTheExtraTransactions)
{
    m_device->SetSource(0x81, {48000, 2, 2});
    Uac1CaptureEndpoint* endpoint = NewEndpoint<Uac1CaptureEndpoint>(1, {PcmFormat(48000)});
    ClientDouble client;
    Play(endpoint, client, PcmFormat(48000));
    EXPECT_EQ(endpoint->GetPacketsPerMsValue(), 1u);  // bInterval 4: one packet per frame
    EXPECT_EQ(endpoint->GetFramesPerPacket(), 100u);
    platform::RunFor(std::chrono::milliseconds(100));
    Finish(endpoint, client);
    EXPECT_GT(client.Captured.size(), 80u * 192);
}

}  // namespace
}  // namespace kvxtest

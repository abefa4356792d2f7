// The transfer ring on the wire: render bytes in order, capture frames whole, the prepared sizes,
// and the edge cases of packet sizes, empty packets and a full ring.
#include "tests/stream/StreamFixture.h"

namespace kvxtest {
namespace {

using TransferRingTest = StreamFixture;

// The render stream that reached the device is exactly the client's counting pattern.
void ExpectPattern(const std::vector<uint8_t>& wire, uint64_t written)
{
    ASSERT_GT(wire.size(), 0u);
    ASSERT_LE(wire.size(), written);
    for (size_t i = 0; i < wire.size(); ++i) {
        if (wire[i] != ClientDouble::Pattern(i)) {
            FAIL() << "first difference at byte " << i;
        }
    }
}

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

}  // namespace
}  // namespace kvxtest

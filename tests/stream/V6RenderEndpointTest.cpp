// The effects variant's render endpoint: 8-channel frames from the client, two channels on the
// wire, the client's bytes reported; the reduction by sample container, the limiter on PCM only,
// and the channel counts it refuses.
#include "platform/nt/Irql.h"
#include "stream/V6RenderEndpoint.h"
#include "tests/stream/StreamFixture.h"

namespace kvxtest {
namespace {

using V6RenderEndpointTest = StreamFixture;

// The endpoint with its wire step reachable, at DISPATCH_LEVEL as the submission runs it.
class V6Probe : public V6RenderEndpoint {
public:
    V6Probe(PUNKNOWN outer, ULONG interfaceNumber, ULONG terminal) : V6RenderEndpoint(outer, interfaceNumber, terminal) {}

    ULONG Shape(const WaveFormatRecord& format, std::vector<uint8_t>& buffer, _URB_ISOCH_TRANSFER* iso, bool limiter)
    {
        m_CurrentWaveFormat = format;
        PeakLimiter* kept = m_pLimiter;
        if (!limiter) {
            m_pLimiter = nullptr;
        } else {
            m_pLimiter->SetFormat(&m_CurrentWaveFormat);
        }
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        const ULONG bytes = ShapeWireData(buffer.data(), static_cast<ULONG>(buffer.size()), iso);
        KeLowerIrql(old);
        m_pLimiter = kept;
        return bytes;
    }
    ULONG Reported(ULONG wire) { return ClientBytes(wire); }
};

// One isochronous URB of `packets` packets over `bytes`, cut in whole frames.
struct Iso {
    explicit Iso(ULONG packets, ULONG bytes, ULONG blockAlign)
        : storage(sizeof(_URB_ISOCH_TRANSFER) + packets * sizeof(USBD_ISO_PACKET_DESCRIPTOR))
    {
        urb = reinterpret_cast<_URB_ISOCH_TRANSFER*>(storage.data());
        urb->NumberOfPackets = packets;
        const ULONG frames = bytes / blockAlign;
        for (ULONG i = 0; i < packets; ++i) {
            urb->IsoPacket[i].Offset = frames * i / packets * blockAlign;
            urb->IsoPacket[i].Length = (frames * (i + 1) / packets - frames * i / packets) * blockAlign;
        }
    }
    std::vector<uint8_t> storage;
    _URB_ISOCH_TRANSFER* urb;
};

WaveFormatRecord Format(USHORT channels, USHORT bits, USHORT container)
{
    return PcmFormat(48000, channels, bits, container);
}

TEST_F(V6RenderEndpointTest, EightChannelStreamSendsTwoAndReportsTheClientsBytes)
{
    auto* endpoint = NewEndpoint<V6RenderEndpoint>(1, {Format(8, 16, 16)});
    ASSERT_EQ(endpoint->AllocateProcessingBuffers(), STATUS_SUCCESS);
    ClientDouble client;
    Play(endpoint, client, Format(8, 16, 16));
    platform::RunFor(std::chrono::milliseconds(200));
    Finish(endpoint, client);
    const auto packets = m_device->Wire(0x01);
    ASSERT_GT(packets.size(), 150u);
    for (const auto& p : packets) {
        ASSERT_EQ(p.Data.size(), 192u);  // 48 frames of two 16-bit samples: 960 bytes a 5 ms transfer
    }
    // Each 5 ms transfer reported 3,840 bytes: the client's, four times the wire's.
    EXPECT_EQ(client.BytesMoved, client.Written);
    EXPECT_EQ(client.Written % 3840, 0u);
    EXPECT_EQ(WireBytes(0x01).size() * 4, client.Written);
}

TEST_F(V6RenderEndpointTest, StreamsItCannotReduceAreRefused)
{
    auto* endpoint = NewEndpoint<V6RenderEndpoint>(1, {Format(8, 16, 16), Format(1, 16, 16), Format(3, 16, 16)});
    for (USHORT channels : {1, 3}) {
        SCOPED_TRACE(channels);
        ClientDouble client;
        ASSERT_EQ(Register(endpoint, client, Format(channels, 16, 16), 5, 3), STATUS_SUCCESS);
        ULONG ms = 0, frame = 0;
        EXPECT_EQ(endpoint->ClientStart(client.Record->Registration, &ms, &frame), STATUS_NO_MATCH);
        EXPECT_EQ(endpoint->UnregisterClient(client.Record->Registration), STATUS_SUCCESS);
    }
}

TEST_F(V6RenderEndpointTest, EachFrameKeepsItsFirstTwoSamplesByContainer)
{
    auto* endpoint = NewEndpoint<V6Probe>(1, {Format(8, 16, 16)});
    ASSERT_EQ(endpoint->AllocateProcessingBuffers(), STATUS_SUCCESS);
    struct Row {
        USHORT channels, bits, container;
    };
    const Row rows[] = {{8, 8, 8}, {8, 16, 16}, {8, 24, 24}, {8, 24, 32}, {8, 32, 32}, {6, 16, 16}, {2, 16, 16}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::to_string(row.channels) + " ch " + std::to_string(row.bits) + " in " +
                     std::to_string(row.container));
        const WaveFormatRecord format = Format(row.channels, row.bits, row.container);
        const ULONG align = format.Format.nBlockAlign;
        const ULONG frames = 240;
        std::vector<uint8_t> buffer(frames * align);
        for (size_t i = 0; i < buffer.size(); ++i) buffer[i] = static_cast<uint8_t>(i * 7 + i / 251);
        const std::vector<uint8_t> before = buffer;
        Iso iso(5, frames * align, align);
        const ULONG bytes = endpoint->Shape(format, buffer, iso.urb, false);
        const ULONG factor = row.channels / 2u;
        const ULONG pair = 2u * (row.container / 8u);
        ASSERT_EQ(bytes, frames * pair);
        for (ULONG f = 0; f < frames; ++f) {
            ASSERT_EQ(0, std::memcmp(buffer.data() + f * pair, before.data() + f * align, pair)) << "frame " << f;
        }
        ULONG end = 0;
        for (ULONG i = 0; i < 5; ++i) {
            EXPECT_EQ(iso.urb->IsoPacket[i].Offset, end);
            EXPECT_EQ(iso.urb->IsoPacket[i].Length % pair, 0u);
            end += iso.urb->IsoPacket[i].Length;
        }
        EXPECT_EQ(end, bytes);
        EXPECT_EQ(endpoint->Reported(bytes), bytes * factor);
    }
}

TEST_F(V6RenderEndpointTest, TheLimiterRunsOnPcmOnly)
{
    auto* endpoint = NewEndpoint<V6Probe>(1, {Format(8, 16, 16)});
    ASSERT_EQ(endpoint->AllocateProcessingBuffers(), STATUS_SUCCESS);
    // Half scale on channels 0 and 1 for 700 frames: the limiter passes it 256 frames late.
    const ULONG frames = 700;
    auto make = [&](const WaveFormatRecord& format) {
        std::vector<uint8_t> buffer(frames * format.Format.nBlockAlign, 0);
        for (ULONG f = 0; f < frames; ++f) {
            buffer[f * 16 + 1] = 0x40;
            buffer[f * 16 + 3] = 0x40;
        }
        return buffer;
    };
    WaveFormatRecord pcm = Format(8, 16, 16);
    std::vector<uint8_t> buffer = make(pcm);
    Iso iso(1, frames * 16, 16);
    ASSERT_EQ(endpoint->Shape(pcm, buffer, iso.urb, true), frames * 4);
    auto sample = [&](ULONG frame, ULONG channel) {
        int16_t v;
        std::memcpy(&v, buffer.data() + frame * 4 + channel * 2, 2);
        return v;
    };
    EXPECT_EQ(sample(0, 0), 0);
    EXPECT_EQ(sample(255, 1), 0);
    EXPECT_EQ(sample(256, 0), 0x4000);
    EXPECT_EQ(sample(frames - 1, 1), 0x4000);

    // Another subformat is not samples the limiter could read: only reduced.
    WaveFormatRecord other = pcm;
    other.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    buffer = make(other);
    Iso iso2(1, frames * 16, 16);
    ASSERT_EQ(endpoint->Shape(other, buffer, iso2.urb, true), frames * 4);
    EXPECT_EQ(sample(0, 0), 0x4000);
}

}  // namespace
}  // namespace kvxtest

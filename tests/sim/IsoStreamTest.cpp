// The isochronous models of the simulated devices: sinks on the device clock, sources, and the
// wire helpers.
#include <gtest/gtest.h>

#include <cmath>

#include "sim/IsoStream.h"
#include "tests/platform/usb/BusFixture.h"

namespace {

using sim::Bytes;
using sim::SinkSync;

// A host sending 1 ms packets at `hostRate` frames per second (whole frames, the remainder
// carried), skipping every packet for which `skip` is true.
sim::SinkState Play(sim::SinkConfig config, double ppm, double hostRate, int ms, int skipEvery = 0)
{
    sim::IsoSink sink(config, ppm);
    uint64_t sent = 0;
    for (int k = 0; k < ms; ++k) {
        const auto due = static_cast<uint64_t>(std::floor((k + 1) * hostRate / 1000.0 + 1e-9));
        const uint64_t frames = due - sent;
        sent = due;
        if (skipEvery != 0 && k % skipEvery == skipEvery - 1) {
            continue;
        }
        sink.Packet(k, static_cast<uint32_t>(frames * config.FrameBytes));
    }
    return sink.State();
}

TEST(IsoSinkTest, TheFifoFollowsTheDeviceClock)
{
    struct Case {
        const char* name;
        SinkSync sync;
        uint32_t rate;
        double ppm;
        double hostRate;
        int ms;
        int skipEvery;
        bool underruns;
        bool overruns;
        int64_t fillSpread;  // largest distance of the fill from where playing started, in frames
    };
    const Case cases[] = {
        {"synchronous at the host's rate", SinkSync::Synchronous, 48000, 0, 48000, 10000, 0, false, false, 48},
        {"synchronous 44.1 kHz", SinkSync::Synchronous, 44100, 300, 44100, 10000, 0, false, false, 45},
        {"synchronous, the host too fast", SinkSync::Synchronous, 48000, 0, 48048, 30000, 0, false, true, -1},
        {"synchronous, packets missing", SinkSync::Synchronous, 48000, 0, 48000, 1000, 100, true, false, -1},
        {"adaptive to a fast host", SinkSync::Adaptive, 48000, 0, 48048, 60000, 0, false, false, 96},
        {"adaptive to a slow host", SinkSync::Adaptive, 44100, 0, 44055.9, 60000, 0, false, false, 90},
        {"asynchronous fast, the host at nominal", SinkSync::Asynchronous, 48000, 1000, 48000, 30000, 0, true, false, -1},
        {"asynchronous slow, the host at nominal", SinkSync::Asynchronous, 48000, -1000, 48000, 30000, 0, false, true, -1},
        {"asynchronous fast, the host following it", SinkSync::Asynchronous, 48000, 1000, 48048, 60000, 0, false, false, 48},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        sim::SinkConfig config{k.sync, k.rate, 4, 0, 0};
        const sim::SinkState s = Play(config, k.ppm, k.hostRate, k.ms, k.skipEvery);
        EXPECT_TRUE(s.Playing);
        EXPECT_EQ(s.Underruns > 0, k.underruns) << s.Underruns;
        EXPECT_EQ(s.Overruns > 0, k.overruns) << s.Overruns;
        EXPECT_EQ(s.MissingFrames > 0, k.underruns);
        EXPECT_EQ(s.DroppedBytes > 0, k.overruns);
        if (k.fillSpread >= 0) {
            const int64_t start = k.rate / 500;
            EXPECT_LE(s.MaxFillFrames - start, k.fillSpread);
            EXPECT_LE(start - s.MinFillFrames, k.fillSpread);
        }
        if (k.sync == SinkSync::Adaptive) {
            EXPECT_NEAR(s.Rate, k.hostRate, 1.0);
        }
        // Nothing is made up or lost silently: what came in was played, dropped or is still there.
        EXPECT_EQ(s.ReceivedBytes, (s.PlayedFrames - s.MissingFrames) * 4 + s.DroppedBytes + s.FillBytes);
    }
}

// A gap in the packets empties the FIFO: the device plays what it has, stays silent until it has
// its start level again and plays on from there, so its fill (and the feedback it drives) is back
// where it started, not left near empty.
TEST(IsoSinkTest, AfterAnUnderrunTheFifoRebuffersToItsStartLevel)
{
    sim::IsoSink sink({SinkSync::Asynchronous, 48000, 4, 0, 0}, 0);
    for (int k = 0; k < 10; ++k) {
        sink.Packet(k, 48 * 4);
    }
    EXPECT_EQ(sink.FillErrorFrames(), 0.0);
    sink.Packet(30, 48 * 4);  // 20 ms without a packet
    sim::SinkState s = sink.State();
    EXPECT_EQ(s.Underruns, 1u);
    EXPECT_TRUE(s.Rebuffering);
    EXPECT_EQ(s.FillBytes, 48u * 4);
    sink.Packet(31, 48 * 4);  // the start level again: playing from here
    s = sink.State();
    EXPECT_FALSE(s.Rebuffering);
    EXPECT_EQ(sink.FillErrorFrames(), 0.0);
    for (int k = 32; k < 100; ++k) {
        sink.Packet(k, 48 * 4);
    }
    s = sink.State();
    EXPECT_EQ(s.Underruns, 1u);
    EXPECT_EQ(sink.FillErrorFrames(), 0.0);
    EXPECT_EQ(s.ReceivedBytes, (s.PlayedFrames - s.MissingFrames) * 4 + s.DroppedBytes + s.FillBytes);
}

TEST(IsoSourceTest, PacketSizesFollowTheDeviceClock)
{
    struct Case {
        uint32_t rate;
        double packetsPerSecond;
        double ppm;
        uint64_t frames;  // in one second
        uint32_t smallest, largest;
    };
    for (const Case k : {Case{48000, 1000, 0, 48000, 48, 48}, Case{48000, 1000, 1000, 48048, 48, 49},
                         Case{44100, 1000, -1000, 44055, 44, 45}, Case{48000, 8000, -1000, 47952, 5, 6},
                         Case{96000, 8000, 1000, 96096, 12, 13}}) {
        SCOPED_TRACE(k.rate * 1000 + k.ppm);
        sim::IsoSource source({k.rate, 2, 3}, k.packetsPerSecond, k.ppm);
        uint8_t packet[1024];
        uint32_t smallest = 1000;
        uint32_t largest = 0;
        Bytes all;
        for (int i = 0; i < static_cast<int>(k.packetsPerSecond); ++i) {
            uint32_t reported = 0;
            const uint32_t n = source.NextPacket(packet, sizeof packet, &reported);
            EXPECT_EQ(reported, n);
            smallest = std::min(smallest, n / 6);
            largest = std::max(largest, n / 6);
            all.insert(all.end(), packet, packet + n);
        }
        EXPECT_EQ(all.size(), k.frames * 6);
        EXPECT_EQ(smallest, k.smallest);
        EXPECT_EQ(largest, k.largest);
        EXPECT_EQ(sim::FirstDifference(all, sim::IsoSource::StreamBytes({k.rate, 2, 3}, 0, all.size())), std::nullopt);
    }
    // A count per channel: the channels differ, and each counts on from frame to frame.
    EXPECT_NE(sim::IsoSource::Sample(5, 0, 2), sim::IsoSource::Sample(5, 1, 2));
    EXPECT_EQ(sim::IsoSource::Sample(6, 1, 2) - sim::IsoSource::Sample(5, 1, 2), 7);
    EXPECT_EQ(sim::IsoSource::Sample(6, 1, 3), sim::IsoSource::Sample(6, 1, 2) * 256);
}

TEST(WireTest, HelpersFindDifferencesEmptyFramesAndKeepTheHash)
{
    struct Case {
        Bytes a, b;
        std::optional<size_t> at;
    };
    for (const Case& k : {Case{{1, 2, 3}, {1, 2, 3}, std::nullopt}, Case{{1, 2, 3}, {1, 9, 3}, 1},
                          Case{{1, 2, 3}, {1, 2}, 2}, Case{{}, {7}, 0}}) {
        EXPECT_EQ(sim::FirstDifference(k.a, k.b), k.at);
    }
    sim::WireLog kept;
    sim::WireLog counted;
    counted.KeepBytes(false);
    const uint8_t data[5] = {1, 2, 3, 4, 5};
    for (sim::WireLog* log : {&kept, &counted}) {
        log->Packet(10, 0, data, 3);
        log->Gap(11, 2);
        log->Packet(13, 0, data + 3, 2);
    }
    EXPECT_EQ(kept.Stream(), (Bytes{1, 2, 3, 4, 5}));
    EXPECT_TRUE(counted.Stream().empty());
    EXPECT_EQ(counted.ByteCount(), 5u);
    EXPECT_EQ(counted.Hash(), kept.Hash());
    EXPECT_EQ(kept.Hash(), sim::HashBytes(data, 5));
    EXPECT_NE(kept.Hash(), sim::HashBytes(data, 4));
    EXPECT_EQ(sim::EmptyFrameNumbers(counted.Frames()), (std::vector<uint32_t>{11, 12}));
    EXPECT_EQ(counted.EmptyFrames(), 2u);
    EXPECT_EQ(counted.Packets(), 2u);
}

}  // namespace

namespace {

// Through the bus: an asynchronous sink on a fast device clock runs dry at the nominal rate and
// stays put when the host sends what the feedback value says.
class SinkOnTheBusTest : public kvxtest::BusFixture {
protected:
    sim::SinkState Stream(bool followFeedback)
    {
        sim::DescriptorBuilder b;
        b.AudioControl(0, 0, {1})
            .Uac1InputTerminal(1, 0x0101, 2)
            .Uac1OutputTerminal(3, 0x0301, 1)
            .AudioStreaming(1, 0, 0)
            .AudioStreaming(1, 1, 0)
            .Uac1AsGeneral(1)
            .Uac1FormatTypeI(2, 2, 16, {48000})
            .Endpoint(0x01, 0x05, 256, 1)
            .Uac1AsEndpoint();
        Plug(b);
        PURB config = SelectConfiguration();
        PURB alt = SelectInterface(config, 1, 1, 1);
        EXPECT_EQ(Submit(alt), STATUS_SUCCESS);
        USBD_PIPE_HANDLE pipe = alt->UrbSelectInterface.Interface.Pipes[0].PipeHandle;
        m_device->SetSink(0x01, {SinkSync::Asynchronous, 48000, 4, 0, 0});
        m_device->SetClockPpm(1000);
        const sim::Bytes fb = m_device->FeedbackValue(48000);  // 10.14 frames per frame
        const double rate = followFeedback ? (fb[0] | (fb[1] << 8) | (fb[2] << 16)) / 16384.0 * 1000 : 48000;
        static UCHAR data[3][10 * 256];
        kvxtest::Sent* inFlight[3] = {};
        double due = 0;
        uint64_t sent = 0;
        for (int t = 0; t < 300; ++t) {  // 3 s in 10 ms transfers, three in flight
            kvxtest::Sent*& slot = inFlight[t % 3];
            if (slot != nullptr) {
                EXPECT_EQ(Wait(slot), STATUS_SUCCESS);
            }
            PURB urb = IsoUrb(pipe, 10, 0, data[t % 3]);
            ULONG offset = 0;
            for (ULONG i = 0; i < 10; ++i) {
                due += rate / 1000;
                const auto frames = static_cast<uint64_t>(due) - sent;
                sent += frames;
                urb->UrbIsochronousTransfer.IsoPacket[i].Offset = offset;
                offset += static_cast<ULONG>(frames * 4);
            }
            urb->UrbIsochronousTransfer.TransferBufferLength = offset;
            slot = Send(IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
        }
        for (kvxtest::Sent* s : inFlight) {
            EXPECT_EQ(Wait(s), STATUS_SUCCESS);
        }
        EXPECT_EQ(m_device->EmptyFrames(0x01), 0u);
        return m_device->Sink(0x01);
    }
};

TEST_F(SinkOnTheBusTest, AnAsynchronousSinkIsKeptFedByItsFeedback)
{
    const sim::SinkState nominal = Stream(false);
    EXPECT_GT(nominal.Underruns, 0u);
    Reset();
    const sim::SinkState following = Stream(true);
    EXPECT_EQ(following.Underruns, 0u);
    EXPECT_EQ(following.Overruns, 0u);
    EXPECT_NEAR(following.Rate, 48048, 0.01);
}

}  // namespace

// Long runs on the wire with the device clock off nominal: every render byte the client wrote
// reaches the device in order with a packet in every frame and exactly the nominal frames per
// second; capture hands the client exactly the source's frames; nothing is allocated once the
// stream runs. Sanitizer builds run shorter.
#include <string>

#include "tests/support/CaseName.h"
#include "tests/stream/StreamFixture.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KVX_SHORT_SOAK 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KVX_SHORT_SOAK 1
#endif
#endif

namespace kvxtest {
namespace {

#ifdef KVX_SHORT_SOAK
constexpr int kLongSeconds = 20;
constexpr int kShortSeconds = 5;
#else
constexpr int kLongSeconds = 600;
constexpr int kShortSeconds = 30;
#endif

struct SoakCase {
    const char* name;
    bool capture;
    bool highSpeed;
    ULONG rate;
    double ppm;
    int seconds;
};

const SoakCase kSoaks[] = {
    {"render 44.1 kHz full speed -1000 ppm", false, false, 44100, -1000, kLongSeconds},
    {"render 44.1 kHz full speed +1000 ppm", false, false, 44100, 1000, kLongSeconds},
    {"capture 44.1 kHz full speed -1000 ppm", true, false, 44100, -1000, kLongSeconds},
    {"capture 44.1 kHz full speed +1000 ppm", true, false, 44100, 1000, kLongSeconds},
    {"render 48 kHz full speed", false, false, 48000, 0, kShortSeconds},
    {"render 48 kHz full speed -1000 ppm", false, false, 48000, -1000, kShortSeconds},
    {"render 48 kHz high speed +1000 ppm", false, true, 48000, 1000, kShortSeconds},
    {"render 48 kHz high speed", false, true, 48000, 0, kShortSeconds},
    {"capture 48 kHz full speed +1000 ppm", true, false, 48000, 1000, kShortSeconds},
    {"capture 48 kHz high speed -1000 ppm", true, true, 48000, -1000, kShortSeconds},
    {"capture 48 kHz high speed", true, true, 48000, 0, kShortSeconds},
};

// A device whose render and capture settings both carry 44.1 and 48 kHz.
sim::DescriptorBuilder SoakDevice()
{
    sim::DescriptorBuilder b;
    b.AudioControl(0, 0, {1, 2})
        .Uac1InputTerminal(1, 0x0101, 2)
        .Uac1OutputTerminal(3, 0x0301, 1)
        .Uac1InputTerminal(4, 0x0201, 2)
        .Uac1OutputTerminal(6, 0x0101, 4)
        .AudioStreaming(1, 0, 0)
        .AudioStreaming(1, 1, 0)
        .Uac1AsGeneral(1)
        .Uac1FormatTypeI(2, 2, 16, {48000, 44100})
        .Endpoint(0x01, 0x09, 200, 1)
        .Uac1AsEndpoint()
        .AudioStreaming(2, 0, 0)
        .AudioStreaming(2, 1, 0)
        .Uac1AsGeneral(6)
        .Uac1FormatTypeI(2, 2, 16, {48000, 44100})
        .Endpoint(0x82, 0x05, 200, 1)
        .Uac1AsEndpoint();
    return b;
}

// Checks capture data as it arrives instead of keeping minutes of it.
struct CaptureChecker {
    uint64_t Frames = 0;
    uint64_t Mismatches = 0;
    uint64_t Bytes = 0;
    uint64_t Moved = 0;
    std::vector<uint8_t> Partial;
    EndpointClient* Record = nullptr;

    static VOID Callback(PVOID context, PVOID argument1, PVOID)
    {
        auto* self = static_cast<CaptureChecker*>(context);
        auto* message = static_cast<TransportMessage*>(argument1);
        if (message->Client != self->Record || self->Record == nullptr) {
            return;
        }
        if (message->Event == TRANSPORT_EVENT_BYTES_MOVED) {
            self->Moved += message->BytesMoved;
            return;
        }
        if (message->Event != TRANSPORT_EVENT_CAPTURE_DATA) {
            return;
        }
        const auto* data = static_cast<const uint8_t*>(message->Data.Buffer);
        self->Bytes += message->Data.Bytes;
        if (message->Data.Bytes % 4 != 0) {
            ++self->Mismatches;
        }
        for (ULONG i = 0; i + 4 <= message->Data.Bytes; i += 4, ++self->Frames) {
            for (uint32_t ch = 0; ch < 2; ++ch) {
                const auto expected = static_cast<int16_t>(sim::SimDevice::SourceSample(self->Frames, ch, 2));
                int16_t got;
                std::memcpy(&got, data + i + 2 * ch, 2);
                self->Mismatches += got != expected ? 1 : 0;
            }
        }
    }
};

class SoakTest : public StreamFixture, public ::testing::WithParamInterface<SoakCase> {
protected:
    void SetUp() override
    {
        Start(SoakDevice(), GetParam().highSpeed ? std::optional<bool>(true) : std::nullopt);
    }
};

TEST_P(SoakTest, Run)
{
    const SoakCase& c = GetParam();
    m_device->SetClockPpm(c.ppm);
    m_device->SetSource(0x82, {c.rate, 2, 2});
    const WaveFormatRecord format = PcmFormat(c.rate);
    UsbStreamEndpoint* endpoint = c.capture ? static_cast<UsbStreamEndpoint*>(Capture({format}))
                                            : static_cast<UsbStreamEndpoint*>(Render({format}));
    ClientDouble renderClient;
    CaptureChecker captureClient;
    if (c.capture) {
        WaveFormatRecord f = format;
        ASSERT_EQ(endpoint->RegisterClient(CLIENT_KIND_WAVE_STREAM, &f, 5, 3, CaptureChecker::Callback, &captureClient,
                                           &captureClient.Record),
                  STATUS_SUCCESS);
        ULONG ms = 0, frame = 0;
        ASSERT_EQ(endpoint->ClientStart(captureClient.Record->Registration, &ms, &frame), STATUS_SUCCESS);
        ASSERT_EQ(endpoint->ClientRun(captureClient.Record->Registration, frame + 2, &ms, nullptr), STATUS_SUCCESS);
    } else {
        // An adaptive device: it plays at the rate it recovers from what arrives.
        sim::SinkConfig sink;
        sink.Sync = sim::SinkSync::Adaptive;
        sink.Rate = c.rate;
        sink.FrameBytes = 4;
        m_device->SetSink(0x01, sink);
        Play(endpoint, renderClient, format);
    }
    platform::RunFor(std::chrono::seconds(1));
    const uint64_t serial = platform::PoolCurrentSerial();
    platform::RunFor(std::chrono::seconds(c.seconds - 1));
    // Nothing on the data path allocates.
    EXPECT_EQ(platform::PoolCurrentSerial(), serial) << c.name;
    EXPECT_LE(endpoint->GetRingFill(), 3u) << c.name;

    if (c.capture) {
        PVOID handle = captureClient.Record->Registration;
        endpoint->ClientPause(handle, nullptr);
        EXPECT_EQ(endpoint->ClientStop(handle), STATUS_SUCCESS);
        EXPECT_EQ(endpoint->UnregisterClient(handle), STATUS_SUCCESS);
        captureClient.Record = nullptr;
        EXPECT_EQ(captureClient.Mismatches, 0u) << c.name;
        EXPECT_EQ(captureClient.Moved, captureClient.Bytes) << c.name;
        // The source's frames at its clock over the run, give or take the transfers in flight
        // at either end (the stop lets those complete and stores them).
        const double produced = c.seconds * c.rate * (1.0 + c.ppm * 1e-6);
        EXPECT_NEAR(static_cast<double>(captureClient.Frames), produced, c.rate * 0.02) << c.name;
        return;
    }
    const sim::SinkState sink = m_device->Sink(0x01);
    Finish(endpoint, renderClient);
    // The device's FIFO stays within two packets of where it settled, never running dry or over.
    const int64_t packetFrames = c.rate / (c.highSpeed ? 8000 : 1000) + 1;
    EXPECT_TRUE(sink.Playing) << c.name;
    EXPECT_LE(sink.MaxFillFrames - sink.MinFillFrames, 2 * packetFrames) << c.name;
    EXPECT_EQ(sink.Underruns, 0u) << c.name;
    EXPECT_EQ(sink.Overruns, 0u) << c.name;
    EXPECT_EQ(m_bus->EmptyFrames(0x01), 0u) << c.name;
    const auto packets = m_device->Wire(0x01);
    const size_t perMs = c.highSpeed ? 8 : 1;
    ASSERT_GE(packets.size(), static_cast<size_t>(c.seconds - 1) * 1000 * perMs) << c.name;
    uint64_t offset = 0, windowFrames = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
        const auto& p = packets[i];
        if (i > 0) {
            const ULONG expectedFrame = packets[i - 1].Frame + (p.Microframe == 0 ? 1 : 0);
            ASSERT_EQ(p.Frame, expectedFrame) << c.name << ": packet " << i;
        }
        for (uint8_t b : p.Data) {
            if (b != ClientDouble::Pattern(offset)) {
                FAIL() << c.name << ": first difference at byte " << offset << " (packet " << i << ")";
            }
            ++offset;
        }
        windowFrames += p.Data.size() / 4;
        if ((i + 1) % (1000 * perMs) == 0) {
            ASSERT_EQ(windowFrames, c.rate) << c.name << ": the second ending at packet " << i;
            windowFrames = 0;
        }
    }
    EXPECT_EQ(offset, renderClient.Written) << c.name;
    EXPECT_EQ(renderClient.BytesMoved, renderClient.Written) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Wire, SoakTest, ::testing::ValuesIn(kSoaks), CaseName());

}  // namespace
}  // namespace kvxtest

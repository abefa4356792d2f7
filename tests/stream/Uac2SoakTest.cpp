// Long runs with explicit feedback and the device clock off nominal: the render stream reaches the
// device whole and in order with a packet in every (micro)frame, the device's FIFO holds its level
// within a millisecond of audio, and the driver's rate follows the device clock; capture hands the
// client the source's samples in order; nothing is allocated once the stream runs. A render
// interface without a feedback endpoint drifts out, as it must. Sanitizer builds run shorter.
#include <algorithm>
#include <cmath>

#include "tests/stream/Uac2StreamFixture.h"
#include "tests/support/CaseName.h"

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
#else
constexpr int kLongSeconds = 600;
#endif
constexpr int kDriftSeconds = 30;

struct Uac2SoakCase {
    const char* name;
    bool capture;
    bool highSpeed;
    ULONG rate;
    double ppm;
    int seconds;
    bool onePipe;  // the render interface has no feedback endpoint
};

const Uac2SoakCase kSoaks[] = {
    {"render 44.1 kHz full speed -1000 ppm", false, false, 44100, -1000, kLongSeconds, false},
    {"render 44.1 kHz full speed +1000 ppm", false, false, 44100, 1000, kLongSeconds, false},
    {"render 48 kHz high speed -1000 ppm", false, true, 48000, -1000, kLongSeconds, false},
    {"render 48 kHz high speed +1000 ppm", false, true, 48000, 1000, kLongSeconds, false},
    {"capture 44.1 kHz full speed -1000 ppm", true, false, 44100, -1000, kLongSeconds, false},
    {"capture 44.1 kHz full speed +1000 ppm", true, false, 44100, 1000, kLongSeconds, false},
    {"capture 48 kHz high speed -1000 ppm", true, true, 48000, -1000, kLongSeconds, false},
    {"capture 48 kHz high speed +1000 ppm", true, true, 48000, 1000, kLongSeconds, false},
    {"render without feedback drifts out", false, false, 48000, 1000, kDriftSeconds, true},
};

// Mono 16-bit capture checked as it arrives.
struct MonoCaptureChecker {
    uint64_t Frames = 0;
    uint64_t Mismatches = 0;
    uint64_t Bytes = 0;
    uint64_t Moved = 0;
    EndpointClient* Record = nullptr;

    static VOID Callback(PVOID context, PVOID argument1, PVOID)
    {
        auto* self = static_cast<MonoCaptureChecker*>(context);
        auto* message = static_cast<TransportMessage*>(argument1);
        if (self->Record == nullptr || message->Client != self->Record) {
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
        self->Mismatches += message->Data.Bytes % 2;
        for (ULONG i = 0; i + 2 <= message->Data.Bytes; i += 2, ++self->Frames) {
            int16_t got;
            std::memcpy(&got, data + i, 2);
            self->Mismatches += got != static_cast<int16_t>(sim::SimDevice::SourceSample(self->Frames, 0, 2)) ? 1 : 0;
        }
    }
};

// The hash of the first `count` bytes of the client doubles' counting pattern.
uint64_t PatternHash(uint64_t count)
{
    std::vector<uint8_t> chunk(251 * 4096);
    for (size_t i = 0; i < chunk.size(); ++i) {
        chunk[i] = ClientDouble::Pattern(i);
    }
    uint64_t hash = sim::HashBytes(nullptr, 0);
    for (uint64_t done = 0; done < count;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), count - done));
        hash = sim::HashBytes(chunk.data(), n, hash);
        done += n;
    }
    return hash;
}

class Uac2SoakTest : public Uac2StreamFixture, public ::testing::WithParamInterface<Uac2SoakCase> {
protected:
    void SetUp() override
    {
        const Uac2SoakCase& c = GetParam();
        StartUac2(c.onePipe ? Uac2RenderOnly(c.highSpeed) : Uac2Headset(c.highSpeed), c.highSpeed);
    }
};

TEST_P(Uac2SoakTest, Run)
{
    const Uac2SoakCase& c = GetParam();
    m_device->SetClockPpm(c.ppm);
    const double deviceRate = c.rate * (1.0 + c.ppm * 1e-6);
    if (c.capture) {
        m_device->SetSource(Id::CaptureEndpoint, {c.rate, 1, 2});
        Uac2CaptureEndpoint* endpoint = Capture2();
        MonoCaptureChecker client;
        WaveFormatRecord format = PcmFormat(c.rate, 1);
        ASSERT_EQ(endpoint->RegisterClient(CLIENT_KIND_WAVE_STREAM, &format, 5, 3, MonoCaptureChecker::Callback,
                                           &client, &client.Record),
                  STATUS_SUCCESS);
        ULONG ms = 0, frame = 0;
        ASSERT_EQ(endpoint->ClientStart(client.Record->Registration, &ms, &frame), STATUS_SUCCESS);
        ASSERT_EQ(endpoint->ClientRun(client.Record->Registration, frame + 2, &ms, nullptr), STATUS_SUCCESS);
        platform::RunFor(std::chrono::seconds(1));
        const uint64_t serial = platform::PoolCurrentSerial();
        platform::RunFor(std::chrono::seconds(c.seconds - 1));
        EXPECT_EQ(platform::PoolCurrentSerial(), serial);
        PVOID handle = client.Record->Registration;
        endpoint->ClientPause(handle, nullptr);
        EXPECT_EQ(endpoint->ClientStop(handle), STATUS_SUCCESS);
        EXPECT_EQ(endpoint->UnregisterClient(handle), STATUS_SUCCESS);
        client.Record = nullptr;
        EXPECT_EQ(client.Mismatches, 0u);
        EXPECT_EQ(client.Moved, client.Bytes);
        EXPECT_EQ(endpoint->GetCaptureDropped(), 0u);
        EXPECT_NEAR(static_cast<double>(client.Frames), c.seconds * deviceRate, c.rate * 0.02);
        return;
    }

    Uac2RenderEndpoint* endpoint = c.onePipe ? NewUac2<Uac2RenderEndpoint>(1, {{PcmFormat(c.rate), 1}}) : Render2();
    AsyncSink(c.rate);
    m_device->KeepWireBytes(Id::RenderEndpoint, false);
    ClientDouble client;
    Play(endpoint, client, PcmFormat(c.rate));
    platform::RunFor(std::chrono::seconds(1));
    const uint64_t serial = platform::PoolCurrentSerial();
    const double level = static_cast<double>(m_device->Sink(Id::RenderEndpoint).FillBytes / 4);
    double lowest = level, highest = level, rateSum = 0;
    uint64_t samples = 0;
    for (int tenth = 10; tenth < c.seconds * 10; ++tenth) {
        platform::RunFor(std::chrono::milliseconds(100));
        const double fill = static_cast<double>(m_device->Sink(Id::RenderEndpoint).FillBytes / 4);
        lowest = std::min(lowest, fill);
        highest = std::max(highest, fill);
        rateSum += endpoint->GetCurrentRate();
        ++samples;
    }
    EXPECT_EQ(platform::PoolCurrentSerial(), serial);
    const sim::SinkState sink = m_device->Sink(Id::RenderEndpoint);
    Finish(endpoint, client);
    const double millisecond = c.rate / 1000.0;
    if (c.onePipe) {
        // Without feedback the packets follow the nominal rate and the device's FIFO runs away.
        EXPECT_FALSE(endpoint->HasFeedbackPipe());
        EXPECT_GT(std::max(highest - level, level - lowest) + sink.Underruns + sink.Overruns, millisecond);
        return;
    }
    EXPECT_TRUE(sink.Playing);
    EXPECT_EQ(sink.Underruns, 0u);
    EXPECT_EQ(sink.Overruns, 0u);
    EXPECT_LE(highest - level, millisecond) << "level " << level << ", highest " << highest;
    EXPECT_LE(level - lowest, millisecond) << "level " << level << ", lowest " << lowest;
    EXPECT_NEAR(rateSum / static_cast<double>(samples), deviceRate, 1.0);
    // Every byte the client wrote reached the device in order, a packet in every (micro)frame.
    EXPECT_EQ(m_device->WireByteCount(Id::RenderEndpoint), client.Written);
    EXPECT_EQ(m_device->WireHash(Id::RenderEndpoint), PatternHash(client.Written));
    EXPECT_EQ(client.BytesMoved, client.Written);
    EXPECT_EQ(m_bus->EmptyFrames(Id::RenderEndpoint), 0u);
    EXPECT_EQ(m_device->EmptyFrames(Id::RenderEndpoint), 0u);
    const uint64_t perSecond = c.highSpeed ? 8000 : 1000;
    EXPECT_GE(m_device->Wire(Id::RenderEndpoint).size(), static_cast<size_t>((c.seconds - 1) * perSecond));
}

INSTANTIATE_TEST_SUITE_P(Feedback, Uac2SoakTest, ::testing::ValuesIn(kSoaks), CaseName());

}  // namespace
}  // namespace kvxtest

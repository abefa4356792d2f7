// Wave pins of the driver on the simulated headset, opened and streamed the way the audio stack
// does it: the filter's pin set and data intersection, the pin create with KSPIN_CONNECT, the
// pin's properties, and client buffers sent as stream IRPs that reach the wire (render) or come
// back with the source (capture).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/FilterBrowser.h"
#include "host/KsPin.h"
#include "platform/nt/Clock.h"
#include "platform/portcls/PortClsHost.h"
#include "tests/support/HostSession.h"

namespace {

using namespace std::chrono_literals;
using host::KsPin;

constexpr uint8_t kRenderEndpoint = 0x01;
constexpr uint8_t kCaptureEndpoint = 0x82;
constexpr ULONG kStreamingPin = 0;
constexpr ULONG kBridgePin = 1;

std::vector<uint8_t> Range(const GUID& specifier, ULONG channels, ULONG minBits, ULONG maxBits, ULONG minRate,
                           ULONG maxRate, const GUID& major = KSDATAFORMAT_TYPE_AUDIO)
{
    // 88 bytes: the range padded to its 8-byte alignment, as the audio stack sends it.
    KSDATARANGE_AUDIO r{};
    r.DataRange.FormatSize = 88;
    r.DataRange.MajorFormat = major;
    r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    r.DataRange.Specifier = specifier;
    r.MaximumChannels = channels;
    r.MinimumBitsPerSample = minBits;
    r.MaximumBitsPerSample = maxBits;
    r.MinimumSampleFrequency = minRate;
    r.MaximumSampleFrequency = maxRate;
    std::vector<uint8_t> bytes(88);
    std::memcpy(bytes.data(), &r, sizeof r);
    return bytes;
}

std::vector<uint8_t> PcmRange(ULONG channels, ULONG bits, ULONG rate)
{
    return Range(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, channels, bits, bits, rate, rate);
}

WAVEFORMATEXTENSIBLE WaveOf(const std::vector<uint8_t>& format)
{
    WAVEFORMATEXTENSIBLE w{};
    if (format.size() >= sizeof(KSDATAFORMAT) + sizeof w) std::memcpy(&w, format.data() + sizeof(KSDATAFORMAT), sizeof w);
    return w;
}

class KsPinTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_EQ(m_session.StartProfile("uac1-headset.json", false, &error), STATUS_SUCCESS) << error;
        m_browser = std::make_unique<host::FilterBrowser>(m_session.Fdo());
        m_render = m_browser->Open(u"HPOut00Wave");
        m_capture = m_browser->Open(u"MicIn00Wave");
        ASSERT_NE(m_render, nullptr);
        ASSERT_NE(m_capture, nullptr);
    }

    void TearDown() override
    {
        m_pins.clear();
        m_browser.reset();
        EXPECT_EQ(m_session.Remove(), STATUS_SUCCESS);
        std::string report;
        EXPECT_TRUE(m_session.End(&report)) << report;
        EXPECT_EQ(platform::PcLivePortCount(), 0u);
    }

    KsPin& NewPin()
    {
        m_pins.push_back(std::make_unique<KsPin>(*m_browser));
        return *m_pins.back();
    }

    std::vector<uint8_t> Format(PFILE_OBJECT filter, ULONG channels, ULONG bits, ULONG rate)
    {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        std::vector<uint8_t> format = KsPin::Intersect(*m_browser, filter, kStreamingPin,
                                                       {PcmRange(channels, bits, rate)}, &status);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return format;
    }

    sim::SimDevice& Device() { return m_session.Device(); }

    kvxtest::HostSession m_session;
    std::unique_ptr<host::FilterBrowser> m_browser;
    std::vector<std::unique_ptr<KsPin>> m_pins;
    PFILE_OBJECT m_render = nullptr;
    PFILE_OBJECT m_capture = nullptr;
};

// The pin's range and the miniport's intersection of the client's ranges: the first client range
// that meets a range of the pin gives the format; a size query learns its size.
TEST_F(KsPinTest, DataIntersectionGoesThroughTheMiniport)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const auto ranges = KsPin::DataRanges(*m_browser, m_render, kStreamingPin, &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(ranges.size(), 2u);  // the device's PCM range, then the format adapter's
    KSDATARANGE_AUDIO pcm;
    ASSERT_EQ(ranges[0].size(), 88u);
    std::memcpy(&pcm, ranges[0].data(), sizeof pcm);
    EXPECT_EQ(pcm.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
    EXPECT_EQ(pcm.MaximumChannels, 2u);
    EXPECT_EQ(pcm.MinimumBitsPerSample, 16u);
    EXPECT_EQ(pcm.MaximumBitsPerSample, 24u);
    EXPECT_EQ(pcm.MinimumSampleFrequency, 44100u);
    EXPECT_EQ(pcm.MaximumSampleFrequency, 48000u);

    struct Case {
        const char* Name;
        std::vector<std::vector<uint8_t>> Client;
        NTSTATUS Status;
        WORD Channels = 0;
        DWORD Rate = 0;
        WORD Bits = 0;
    };
    const GUID otherMajor = KSCATEGORY_AUDIO;
    const Case cases[] = {
        {"exact 16-bit 48 kHz", {PcmRange(2, 16, 48000)}, STATUS_SUCCESS, 2, 48000, 16},
        {"exact 24-bit 44.1 kHz", {PcmRange(2, 24, 44100)}, STATUS_SUCCESS, 2, 44100, 24},
        {"wildcard specifier: the range's maxima", {Range(GUID_NULL, 8, 8, 32, 8000, 192000)}, STATUS_SUCCESS, 2,
         48000, 24},
        {"the first range that meets wins",
         {PcmRange(2, 16, 8000), PcmRange(2, 16, 44100), PcmRange(2, 24, 48000)}, STATUS_SUCCESS, 2, 44100, 16},
        {"rates apart", {Range(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 2, 16, 16, 8000, 16000)}, STATUS_NO_MATCH},
        {"another major format", {Range(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 2, 16, 16, 48000, 48000, otherMajor)},
         STATUS_NO_MATCH},
        {"no client range", {}, STATUS_NO_MATCH},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const auto format = KsPin::Intersect(*m_browser, m_render, kStreamingPin, c.Client, &status);
        ASSERT_EQ(status, c.Status);
        if (!NT_SUCCESS(c.Status)) continue;
        ASSERT_EQ(format.size(), 104u);
        const WAVEFORMATEXTENSIBLE w = WaveOf(format);
        EXPECT_EQ(w.Format.nChannels, c.Channels);
        EXPECT_EQ(w.Format.nSamplesPerSec, c.Rate);
        EXPECT_EQ(w.Samples.wValidBitsPerSample, c.Bits);
    }
}

// Requests the port refuses before the miniport sees them, and the sizes a client learns.
TEST_F(KsPinTest, IntersectionRequestsAreCheckedAndSized)
{
    std::vector<uint8_t> list(sizeof(KSMULTIPLE_ITEM));
    const auto range = PcmRange(2, 16, 48000);
    list.insert(list.end(), range.begin(), range.end());
    list.resize((list.size() + 7) & ~size_t{7});
    auto request = [&](ULONG pin, std::vector<uint8_t> instance, ULONG valueSize) {
        KSP_PIN header{{KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, KSPROPERTY_TYPE_GET}, pin, 0};
        std::vector<uint8_t> input(sizeof header);
        std::memcpy(input.data(), &header, sizeof header);
        input.insert(input.end(), instance.begin(), instance.end());
        std::vector<uint8_t> value(valueSize);
        return m_browser->RawProperty(m_render, input.data(), static_cast<ULONG>(input.size()),
                                      valueSize != 0 ? value.data() : nullptr, valueSize);
    };
    auto withList = [&](ULONG size, ULONG count, ULONG formatSize) {
        std::vector<uint8_t> l(list);
        const KSMULTIPLE_ITEM item{size, count};
        std::memcpy(l.data(), &item, sizeof item);
        std::memcpy(l.data() + sizeof item, &formatSize, sizeof formatSize);
        return l;
    };
    const ULONG full = static_cast<ULONG>(list.size());
    struct Case {
        const char* Name;
        ULONG Pin;
        std::vector<uint8_t> Instance;
        ULONG ValueSize;
        NTSTATUS Status;
        ULONG Bytes;
    };
    const Case cases[] = {
        {"size query", kStreamingPin, withList(full, 1, 88), 0, STATUS_BUFFER_OVERFLOW, 104},
        {"short value buffer", kStreamingPin, withList(full, 1, 88), 100, STATUS_BUFFER_TOO_SMALL, 0},
        {"the format", kStreamingPin, withList(full, 1, 88), 104, STATUS_SUCCESS, 104},
        {"no pin of that id", 5, withList(full, 1, 88), 104, STATUS_INVALID_PARAMETER, 0},
        {"no list after the KSP_PIN", kStreamingPin, {}, 104, STATUS_BUFFER_TOO_SMALL, 0},
        {"list larger than the request", kStreamingPin, withList(full + 8, 1, 88), 104, STATUS_INVALID_PARAMETER, 0},
        {"range larger than the list", kStreamingPin, withList(full, 1, full), 104, STATUS_INVALID_PARAMETER, 0},
        {"range smaller than its header", kStreamingPin, withList(full, 1, 16), 104, STATUS_INVALID_PARAMETER, 0},
        {"more ranges than the list holds", kStreamingPin, withList(full, 2, 88), 104, STATUS_INVALID_PARAMETER, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const host::KsResult r = request(c.Pin, c.Instance, c.ValueSize);
        EXPECT_EQ(r.Status, c.Status);
        EXPECT_EQ(r.Bytes, c.Bytes);
    }
    // A KSP_PIN request cut short of its pin id.
    KSPROPERTY shortHeader{KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, KSPROPERTY_TYPE_GET};
    EXPECT_EQ(m_browser->RawProperty(m_render, &shortHeader, sizeof shortHeader, nullptr, 0).Status,
              STATUS_BUFFER_TOO_SMALL);
}

// The pin set beside the ranges: instances, flow, communication, and the processing modes the
// miniport reports (RAW on the streaming pin only).
TEST_F(KsPinTest, PinFactsAndModes)
{
    auto get = [&](ULONG id, ULONG pin, ULONG* value) {
        return m_browser->Get(m_render, host::KsTarget::Pin(pin), KSPROPSETID_Pin, id, value).Status;
    };
    ULONG value = 0;
    EXPECT_EQ(m_browser->Get(m_render, host::KsTarget::Filter(), KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &value).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(value, 2u);
    ASSERT_EQ(get(KSPROPERTY_PIN_DATAFLOW, kStreamingPin, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, static_cast<ULONG>(KSPIN_DATAFLOW_IN));
    ASSERT_EQ(get(KSPROPERTY_PIN_COMMUNICATION, kBridgePin, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, static_cast<ULONG>(KSPIN_COMMUNICATION_NONE));
    ASSERT_EQ(get(KSPROPERTY_PIN_NECESSARYINSTANCES, kStreamingPin, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);

    auto instances = [&] {
        KSPIN_CINSTANCES c{};
        EXPECT_EQ(m_browser->Get(m_render, host::KsTarget::Pin(kStreamingPin), KSPROPSETID_Pin,
                                 KSPROPERTY_PIN_CINSTANCES, &c)
                      .Status,
                  STATUS_SUCCESS);
        return std::make_pair(c.PossibleCount, c.CurrentCount);
    };
    EXPECT_EQ(instances(), std::make_pair(1u, 0u));
    KsPin& pin = NewPin();
    ASSERT_EQ(pin.Open(m_render, kStreamingPin, Format(m_render, 2, 16, 48000)), STATUS_SUCCESS);
    EXPECT_EQ(instances(), std::make_pair(1u, 1u));
    pin.Close();
    EXPECT_EQ(instances(), std::make_pair(1u, 0u));

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const auto modes = m_browser->GetList(m_render, host::KsTarget::Pin(kStreamingPin),
                                          KSPROPSETID_AudioSignalProcessing, KSPROPERTY_AUDIOSIGNALPROCESSING_MODES,
                                          &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(modes.size(), sizeof(KSMULTIPLE_ITEM) + sizeof(GUID));
    GUID mode;
    std::memcpy(&mode, modes.data() + sizeof(KSMULTIPLE_ITEM), sizeof mode);
    EXPECT_EQ(mode, AUDIO_SIGNALPROCESSINGMODE_RAW);
    m_browser->GetList(m_render, host::KsTarget::Pin(kBridgePin), KSPROPSETID_AudioSignalProcessing,
                       KSPROPERTY_AUDIOSIGNALPROCESSING_MODES, &status);
    EXPECT_EQ(status, STATUS_NOT_SUPPORTED);
}

// The create request as the audio stack sends it, each fault in it refused, and one instance at
// a time.
TEST_F(KsPinTest, PinCreateChecksTheConnectAndTheFormat)
{
    const std::vector<uint8_t> format = Format(m_render, 2, 16, 48000);
    ASSERT_EQ(format.size(), 104u);
    const std::vector<uint8_t> good = KsPin::ConnectRequest(kStreamingPin, format);
    auto edited = [&](auto edit) {
        std::vector<uint8_t> r(good);
        edit(r);
        return r;
    };
    constexpr size_t kFormat = sizeof(KSPIN_CONNECT);
    struct Case {
        const char* Name;
        std::vector<uint8_t> Request;
        NTSTATUS Status;
    };
    const Case cases[] = {
        {"connect cut short", std::vector<uint8_t>(good.begin(), good.begin() + 40), STATUS_INVALID_PARAMETER},
        {"no format", std::vector<uint8_t>(good.begin(), good.begin() + kFormat), STATUS_INVALID_PARAMETER},
        {"another interface", edited([](auto& r) { r[offsetof(KSPIN_CONNECT, Interface.Id)] = 1; }), STATUS_NO_MATCH},
        {"another medium", edited([](auto& r) { r[offsetof(KSPIN_CONNECT, Medium.Set)] ^= 1; }), STATUS_NO_MATCH},
        {"no such pin", edited([](auto& r) { r[offsetof(KSPIN_CONNECT, PinId)] = 7; }), STATUS_INVALID_PARAMETER},
        {"the bridge pin", edited([](auto& r) { r[offsetof(KSPIN_CONNECT, PinId)] = kBridgePin; }),
         STATUS_INVALID_DEVICE_REQUEST},
        {"format larger than the request", edited([](auto& r) { r.resize(r.size() - 8); }), STATUS_INVALID_PARAMETER},
        {"attribute list missing",
         edited([](auto& r) { r[kFormat + offsetof(KSDATAFORMAT, Flags)] |= KSDATAFORMAT_ATTRIBUTES; }),
         STATUS_INVALID_PARAMETER},
        {"a rate the endpoint does not list",
         edited([](auto& r) {
             const DWORD rate = 32000;
             std::memcpy(r.data() + kFormat + sizeof(KSDATAFORMAT) + offsetof(WAVEFORMATEX, nSamplesPerSec), &rate,
                         sizeof rate);
         }),
         STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        KsPin pin(*m_browser);
        EXPECT_EQ(pin.OpenWith(m_render, c.Request), c.Status);
        EXPECT_EQ(pin.File(), nullptr);
    }
    KsPin first(*m_browser);
    ASSERT_EQ(first.OpenWith(m_render, good), STATUS_SUCCESS);
    KsPin second(*m_browser);
    EXPECT_EQ(second.OpenWith(m_render, good), STATUS_DEVICE_BUSY);
    first.Close();
    EXPECT_EQ(second.OpenWith(m_render, good), STATUS_SUCCESS);
}

// State one level at a time, the format, the position and the content id through the pin's
// file object.
TEST_F(KsPinTest, PinPropertiesReachTheStream)
{
    const std::vector<uint8_t> format48 = Format(m_render, 2, 16, 48000);
    const std::vector<uint8_t> format44 = Format(m_render, 2, 16, 44100);
    KsPin& pin = NewPin();
    ASSERT_EQ(pin.Open(m_render, kStreamingPin, format48), STATUS_SUCCESS);
    // The pin behind the file object: a 50 ms cyclic buffer.
    platform::PcWavePin* instance = platform::PcWavePinOfFile(pin.File());
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(platform::PcWavePinDmaChannel(instance)->AllocatedBufferSize(), 9600u);
    EXPECT_EQ(platform::PcWavePinOfFile(m_render), nullptr);
    KSSTATE state = KSSTATE_RUN;
    ASSERT_EQ(pin.GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_STOP);
    EXPECT_EQ(pin.SetState(static_cast<KSSTATE>(9)), STATUS_INVALID_PARAMETER);

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(pin.GetFormat(&status), format48);
    ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(pin.SetFormat(format44), STATUS_SUCCESS);
    EXPECT_EQ(pin.GetFormat(&status), format44);
    std::vector<uint8_t> cut(format44.begin(), format44.end() - 2);
    EXPECT_EQ(pin.SetFormat(cut), STATUS_INVALID_PARAMETER);

    platform::PcContentForwardsClear();
    EXPECT_EQ(pin.SetContentId(77), STATUS_SUCCESS);
    const auto forwards = platform::PcContentForwards();
    ASSERT_EQ(forwards.size(), 1u);
    EXPECT_EQ(forwards[0].ContentId, 77u);

    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin.GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_RUN);
    EXPECT_EQ(pin.SetFormat(format48), STATUS_UNSUCCESSFUL);  // not while running
    platform::RunFor(30ms);
    KSAUDIO_POSITION position{};
    ASSERT_EQ(pin.GetPosition(&position), STATUS_SUCCESS);
    EXPECT_GT(position.PlayOffset, 0u);
    EXPECT_EQ(pin.Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, KSPROPERTY_TYPE_SET, &position,
                           sizeof position)
                  .Status,
              STATUS_INVALID_DEVICE_REQUEST);
    // Down from RUN to STOP in one request: the port walks it.
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(pin.GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_STOP);
}

std::vector<uint8_t> CountingPattern(size_t bytes)
{
    std::vector<uint8_t> out(bytes);
    for (size_t i = 0; i < bytes; i += 2) {
        const auto sample = static_cast<uint16_t>(i / 2 * 3 + 1);
        out[i] = static_cast<uint8_t>(sample);
        if (i + 1 < bytes) out[i + 1] = static_cast<uint8_t>(sample >> 8);
    }
    return out;
}

// A counting pattern written as ten 10 ms buffers: silence while the initial queue plays the
// block's tail, then the client's bytes exactly, then silence; each buffer completes with its
// bytes and sets its event, and the play offset never goes back.
TEST_F(KsPinTest, WrittenBuffersReachTheWireExactly)
{
    KsPin& pin = NewPin();
    ASSERT_EQ(pin.Open(m_render, kStreamingPin, Format(m_render, 2, 16, 48000)), STATUS_SUCCESS);
    ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    constexpr ULONG kBuffer = 1920;
    constexpr int kBuffers = 10;
    const std::vector<uint8_t> client = CountingPattern(kBuffer * kBuffers);
    KEVENT events[kBuffers];
    for (int i = 0; i < kBuffers; ++i) {
        KeInitializeEvent(&events[i], NotificationEvent, FALSE);
        ASSERT_EQ(pin.Write(client.data() + i * kBuffer, kBuffer, &events[i]), STATUS_PENDING);
    }
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    KSAUDIO_POSITION position{};
    ULONGLONG lastPlay = 0;
    for (int ms = 0; ms < 160; ++ms) {
        platform::RunFor(1ms);
        ASSERT_EQ(pin.GetPosition(&position), STATUS_SUCCESS);
        ASSERT_GE(position.PlayOffset, lastPlay) << "the play offset went back at " << ms << " ms";
        lastPlay = position.PlayOffset;
    }
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(position.WriteOffset, client.size());
    for (int i = 0; i < kBuffers; ++i) EXPECT_NE(KeReadStateEvent(&events[i]), 0) << "buffer " << i;
    const auto done = pin.Reap();
    ASSERT_EQ(done.size(), static_cast<size_t>(kBuffers));
    for (int i = 0; i < kBuffers; ++i) {
        EXPECT_EQ(done[i].Status, STATUS_SUCCESS);
        EXPECT_EQ(done[i].Bytes, kBuffer);
        EXPECT_EQ(done[i].Data, client.data() + i * kBuffer);
    }

    const std::vector<uint8_t> wire = Device().WireBytes(kRenderEndpoint);
    const size_t lead = 48 * 4 * 15;
    ASSERT_GT(wire.size(), lead + client.size());
    for (size_t k = 0; k < wire.size(); ++k) {
        const uint8_t expected = k >= lead && k - lead < client.size() ? client[k - lead] : 0;
        ASSERT_EQ(wire[k], expected) << "wire byte " << k;
    }
    EXPECT_LE(lastPlay, wire.size());
}

// Read buffers kept queued as an engine does come back in order, full, holding the simulated
// source exactly across several turns of the cyclic buffer.
TEST_F(KsPinTest, ReadBuffersDeliverTheCaptureSourceExactly)
{
    Device().SetSource(kCaptureEndpoint, {48000, 1, 2});
    KsPin& pin = NewPin();
    ASSERT_EQ(pin.Open(m_capture, kStreamingPin, Format(m_capture, 1, 16, 48000)), STATUS_SUCCESS);
    constexpr ULONG kBuffer = 960;  // 10 ms
    std::vector<std::vector<int16_t>> buffers(4, std::vector<int16_t>(kBuffer / 2));
    for (auto& b : buffers) ASSERT_EQ(pin.Read(b.data(), kBuffer, nullptr), STATUS_PENDING);
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    std::vector<int16_t> samples;
    for (int ms = 0; ms < 200; ++ms) {
        platform::RunFor(1ms);
        for (const KsPin::Completion& c : pin.Reap()) {
            ASSERT_EQ(c.Status, STATUS_SUCCESS);
            ASSERT_EQ(c.Bytes, kBuffer);
            const auto* data = static_cast<const int16_t*>(c.Data);
            samples.insert(samples.end(), data, data + kBuffer / 2);
            ASSERT_EQ(pin.Read(c.Data, kBuffer, nullptr), STATUS_PENDING);
        }
    }
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_GT(samples.size(), 48u * 150);
    for (size_t i = 0; i < samples.size(); ++i) {
        ASSERT_EQ(samples[i], static_cast<int16_t>(sim::SimDevice::SourceSample(i, 0, 2))) << "sample " << i;
    }
    // The buffers still queued at STOP came back, the last ones cancelled.
    size_t cancelled = 0;
    for (const KsPin::Completion& c : pin.Reap()) cancelled += c.Status == STATUS_CANCELLED ? 1 : 0;
    EXPECT_GT(cancelled, 0u);
    EXPECT_EQ(pin.Outstanding(), 0u);
}

// Buffers the port holds come back STATUS_CANCELLED, with their events set and the bytes they
// got so far, when the client cancels them, stops the pin or closes it; bad buffers are refused
// at once.
TEST_F(KsPinTest, HeldBuffersComeBackCancelled)
{
    KsPin& pin = NewPin();
    ASSERT_EQ(pin.Open(m_render, kStreamingPin, Format(m_render, 2, 16, 48000)), STATUS_SUCCESS);
    ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    const std::vector<uint8_t> client = CountingPattern(48000);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    // Refused at once.
    std::vector<int16_t> room(100);
    EXPECT_EQ(pin.Write(nullptr, 64, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(pin.Read(room.data(), 200, nullptr), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(pin.Write(client.data(), 0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(pin.Reap().size(), 3u);

    // Cancelled by the client.
    ASSERT_EQ(pin.Write(client.data(), 1920, &event), STATUS_PENDING);
    ASSERT_EQ(pin.Write(client.data() + 1920, 1920, nullptr), STATUS_PENDING);
    pin.Cancel();
    EXPECT_NE(KeReadStateEvent(&event), 0);
    auto done = pin.Reap();
    ASSERT_EQ(done.size(), 2u);
    for (const auto& c : done) {
        EXPECT_EQ(c.Status, STATUS_CANCELLED);
        EXPECT_EQ(c.Bytes, 0u);
    }

    // Stopped part way through a 250 ms buffer.
    KeClearEvent(&event);
    ASSERT_EQ(pin.Write(client.data(), static_cast<ULONG>(client.size()), &event), STATUS_PENDING);
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    platform::RunFor(30ms);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_NE(KeReadStateEvent(&event), 0);
    done = pin.Reap();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].Status, STATUS_CANCELLED);
    EXPECT_GT(done[0].Bytes, 0u);
    EXPECT_LT(done[0].Bytes, client.size());

    // Closed with buffers held.
    KEVENT held[3];
    for (int i = 0; i < 3; ++i) {
        KeInitializeEvent(&held[i], NotificationEvent, FALSE);
        ASSERT_EQ(pin.Write(client.data(), 1920, &held[i]), STATUS_PENDING);
    }
    EXPECT_EQ(pin.Outstanding(), 3u);
    EXPECT_EQ(pin.Close(), STATUS_SUCCESS);
    for (auto& e : held) EXPECT_NE(KeReadStateEvent(&e), 0);
    EXPECT_EQ(pin.Outstanding(), 0u);
}

// Stream headers are checked before the port holds the request: each lies within the request and
// names a buffer for its bytes. Several headers in one request go out in order, and the request
// completes with all their bytes.
TEST_F(KsPinTest, StreamHeadersAreCheckedAndTakenInOrder)
{
    KsPin& pin = NewPin();
    ASSERT_EQ(pin.Open(m_render, kStreamingPin, Format(m_render, 2, 16, 48000)), STATUS_SUCCESS);
    ASSERT_EQ(pin.SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    std::vector<uint8_t> client = CountingPattern(3840);
    const KSSTREAM_HEADER one{sizeof(KSSTREAM_HEADER), 0, {}, 0, 1920, 1920, client.data(), 0, 0};
    constexpr ULONG kHeader = sizeof(KSSTREAM_HEADER);
    struct Case {
        const char* Name;
        std::vector<KSSTREAM_HEADER> Headers;
        ULONG Length;
        NTSTATUS Status;
    };
    auto with = [&](auto edit) {
        KSSTREAM_HEADER h = one;
        edit(h);
        return std::vector<KSSTREAM_HEADER>{h};
    };
    std::vector<Case> cases = {
        {"shorter than a header", {one}, kHeader - 16, STATUS_INVALID_PARAMETER},
        {"size below a header", with([](auto& h) { h.Size = 32; }), kHeader, STATUS_INVALID_PARAMETER},
        {"size beyond the request", with([](auto& h) { h.Size = 2 * kHeader; }), kHeader, STATUS_INVALID_PARAMETER},
        {"no buffer for its bytes", with([](auto& h) { h.Data = nullptr; }), kHeader, STATUS_INVALID_PARAMETER},
        {"second header cut short", {one, one}, 2 * kHeader - 8, STATUS_INVALID_PARAMETER},
        {"no bytes", with([](auto& h) { h.DataUsed = 0; }), kHeader, STATUS_SUCCESS},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.Name);
        EXPECT_EQ(pin.SubmitHeaders(IOCTL_KS_WRITE_STREAM, c.Headers.data(), c.Length, nullptr), c.Status);
    }
    EXPECT_EQ(pin.Reap().size(), cases.size());

    std::vector<KSSTREAM_HEADER> two{one, one};
    two[1].Data = client.data() + 1920;
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    ASSERT_EQ(pin.SubmitHeaders(IOCTL_KS_WRITE_STREAM, two.data(), 2 * kHeader, &event), STATUS_PENDING);
    ASSERT_EQ(pin.SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_TRUE(platform::RunUntil([&] { return KeReadStateEvent(&event) != 0; }, 1s));
    platform::RunFor(40ms);
    ASSERT_EQ(pin.SetState(KSSTATE_STOP), STATUS_SUCCESS);
    const auto done = pin.Reap();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].Status, STATUS_SUCCESS);
    EXPECT_EQ(done[0].Bytes, client.size());
    const std::vector<uint8_t> wire = Device().WireBytes(kRenderEndpoint);
    const size_t lead = 48 * 4 * 15;
    ASSERT_GT(wire.size(), lead + client.size());
    EXPECT_TRUE(std::equal(client.begin(), client.end(), wire.begin() + lead));
}

}  // namespace

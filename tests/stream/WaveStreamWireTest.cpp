// The wave stream on a UAC1 endpoint over a simulated device: what the engine leaves in the cyclic
// buffer reaches the wire in order after the initial queue's silence, and the position ends at
// the bytes the endpoint reported moved.
#include <cmath>
#include <vector>

#include "platform/portcls/PortClsHost.h"
#include "platform/portcls/PortClsInternal.h"
#include "stream/WaveMiniport.h"
#include "stream/WaveStream.h"
#include "tests/adapter/EntityDoubles.h"
#include "tests/dsp/FormatAdapterFixture.h"
#include "tests/stream/StreamFixture.h"

namespace kvxtest {
namespace {

class WaveStreamWireTest : public StreamFixture {
protected:
    void TearDown() override
    {
        if (m_stream != nullptr) static_cast<IMiniportWaveCyclicStream*>(m_stream)->Release();
        if (m_dma != nullptr) m_dma->Release();
        if (m_group != nullptr) m_group->Release();
        if (m_miniport != nullptr) static_cast<IMiniportWaveCyclic*>(m_miniport)->Release();
        if (m_port != nullptr) m_port->Release();
        if (m_hal != nullptr) m_hal->NonDelegatingRelease();
        StreamFixture::TearDown();
        EXPECT_EQ(platform::PoolLiveCount(WAVE_BUFFER_TAG), 0u);
    }

    // A wave miniport over `endpoint` and a stream in `format`.
    void Open(UsbStreamEndpoint* endpoint, const WaveFormatRecord& format)
    {
        // The miniport finds the endpoint in a registry of its own; the endpoint streams through
        // the device.
        m_hal = TestHal::New();
        m_hal->m_Configure = [endpoint](TestHal* hal) { return hal->AddEndpoint(endpoint); };
        ASSERT_EQ(m_hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
        PPORT port = nullptr;
        ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
        PVOID raw = nullptr;
        ASSERT_EQ(port->QueryInterface(IID_IPortWaveCyclic, &raw), STATUS_SUCCESS);
        port->Release();
        m_port = static_cast<PPORTWAVECYCLIC>(raw);
        PUNKNOWN unknown = nullptr;
        ASSERT_EQ(CreateMiniportWaveCyclic(&unknown, GUID_NULL, nullptr, NonPagedPoolNx, 0), STATUS_SUCCESS);
        ASSERT_EQ(unknown->QueryInterface(IID_IMiniportWaveCyclic, &raw), STATUS_SUCCESS);
        unknown->Release();
        m_miniport = static_cast<WaveMiniport*>(static_cast<IMiniportWaveCyclic*>(raw));
        ASSERT_EQ(m_miniport->Init(m_hal->GetNonDelegatingUnknown(), nullptr, m_port), STATUS_SUCCESS);
        std::vector<uint8_t> bytes(sizeof(KSDATAFORMAT) + sizeof format);
        KSDATAFORMAT header{};
        header.FormatSize = static_cast<ULONG>(bytes.size());
        header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
        header.SubFormat = format.SubFormat;
        header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
        std::memcpy(bytes.data(), &header, sizeof header);
        std::memcpy(bytes.data() + sizeof header, &format, sizeof format);
        PMINIPORTWAVECYCLICSTREAM stream = nullptr;
        ASSERT_EQ(m_miniport->NewStream(&stream, nullptr, NonPagedPoolNx, 0, endpoint->IsCapture(),
                                        reinterpret_cast<PKSDATAFORMAT>(bytes.data()), &m_dma, &m_group),
                  STATUS_SUCCESS);
        m_stream = static_cast<WaveStream*>(stream);
        platform::LockSetName(m_stream->GetLock(), "WaveStreamLock");
        platform::LockOrderDeclare("EndpointSubmitLock", "WaveStreamLock");
        platform::LockOrderDeclare("EndpointRingLock", "WaveStreamLock");
    }

    void Play(ULONG rate)
    {
        UsbStreamEndpoint* endpoint = Render({PcmFormat(48000), PcmFormat(44100)});
        Open(endpoint, PcmFormat(rate));
        auto* block = static_cast<PUCHAR>(m_stream->SystemAddress());
        const ULONG size = m_stream->AllocatedBufferSize();
        for (ULONG i = 0; i < size; ++i) block[i] = ClientDouble::Pattern(i);
        Walk({KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN});
        platform::RunFor(std::chrono::milliseconds(30));
        Walk({KSSTATE_PAUSE});
        ULONG position = 0;
        m_stream->GetPosition(&position);
        const std::vector<uint8_t> wire = WireBytes(0x01);
        const ULONG lead = (rate + 999) / 1000 * 4 * 15;
        ASSERT_GT(wire.size(), lead + 4000);
        ASSERT_LT(wire.size(), lead + size);
        for (size_t k = 0; k < wire.size(); ++k) {
            const uint8_t expected = block[(size - lead + k) % size];
            ASSERT_EQ(wire[k], expected) << "wire byte " << k;
        }
        EXPECT_EQ(position, wire.size() % size);
        Walk({KSSTATE_ACQUIRE, KSSTATE_STOP});
    }

    // A stream in a format the 48 kHz stereo 16-bit device lacks: the wire holds the initial
    // queue's silence, then exactly a fresh adapter's one-call conversion of the ring's audio (the
    // engine's data: the ring over and over), and the position never goes back.
    void PlayConverted(const WaveFormatRecord& format)
    {
        const WaveFormatRecord device = PcmFormat(48000);
        UsbStreamEndpoint* endpoint = Render({device});
        Open(endpoint, format);
        auto* block = static_cast<PUCHAR>(m_stream->SystemAddress());
        const ULONG size = m_stream->AllocatedBufferSize();
        const ULONG channels = format.Format.nChannels;
        for (ULONG i = 0; i < size / 2; ++i) {
            const double t = static_cast<double>(i / channels) / format.Format.nSamplesPerSec;
            const auto v = static_cast<int16_t>(12000.0 * std::sin(2.0 * M_PI * (440.0 + 220.0 * (i % channels)) * t) +
                                                static_cast<double>(i * 7919 % 257) - 128.0);
            std::memcpy(block + 2 * i, &v, 2);
        }
        Walk({KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN});
        EXPECT_TRUE(m_stream->IsAdapterMode());
        ULONG last = 0;
        for (int ms = 0; ms < 30; ++ms) {
            platform::RunFor(std::chrono::milliseconds(1));
            ULONG position = 0;
            m_stream->GetPosition(&position);
            EXPECT_LT((position + size - last) % size, size / 2) << "went back at " << ms << " ms";
            last = position;
        }
        Walk({KSSTATE_PAUSE});
        const std::vector<uint8_t> wire = WireBytes(0x01);
        const ULONG lead = 48 * 4 * 15;
        ASSERT_GT(wire.size(), lead + 4000);
        for (ULONG k = 0; k < lead; ++k) ASSERT_EQ(wire[k], 0) << "initial queue byte " << k;
        std::vector<UCHAR> engine;
        for (int lap = 0; lap < 4; ++lap) engine.insert(engine.end(), block, block + size);
        const ULONG frames = static_cast<ULONG>((wire.size() - lead) / 4);
        const std::vector<UCHAR> expected = OneCallConversion(format, device, engine, frames);
        ASSERT_EQ(expected.size(), static_cast<size_t>(frames) * 4);
        for (ULONG k = 0; k < expected.size(); ++k) ASSERT_EQ(wire[lead + k], expected[k]) << "converted byte " << k;
        Walk({KSSTATE_ACQUIRE, KSSTATE_STOP});
    }

    void Walk(std::initializer_list<KSSTATE> states)
    {
        for (KSSTATE s : states) ASSERT_EQ(m_stream->SetState(s), STATUS_SUCCESS);
    }

    TestHal* m_hal = nullptr;
    PPORTWAVECYCLIC m_port = nullptr;
    WaveMiniport* m_miniport = nullptr;
    WaveStream* m_stream = nullptr;
    PDMACHANNEL m_dma = nullptr;
    PSERVICEGROUP m_group = nullptr;
};

// The initial queue (three 5 ms transfers, frames per ms rounded up) comes from the ring's tail,
// then the ring from its start; the position at PAUSE is where the reported bytes end.
TEST_F(WaveStreamWireTest, At48kHzTheCyclicBufferFollowsTheInitialQueue) { Play(48000); }
TEST_F(WaveStreamWireTest, At44100HzNoFrameOfTheCyclicBufferIsSkipped) { Play(44100); }

TEST_F(WaveStreamWireTest, A96kHzStreamIsConvertedTo48kHz) { PlayConverted(PcmFormat(96000)); }
TEST_F(WaveStreamWireTest, A192kHzStreamIsConvertedTo48kHz) { PlayConverted(PcmFormat(192000)); }
TEST_F(WaveStreamWireTest, A44100HzStreamIsConvertedTo48kHz) { PlayConverted(PcmFormat(44100)); }
TEST_F(WaveStreamWireTest, SixChannelsAreFoldedToTwo) { PlayConverted(PcmFormat(48000, 6)); }
// Same byte rate as the device's format: the records differ, so the stream still converts.
TEST_F(WaveStreamWireTest, A96kHzMonoStreamIsConvertedAtTheSameByteRate) { PlayConverted(PcmFormat(96000, 1)); }

// A 96 kHz capture stream on a 48 kHz device: the ring holds a fresh adapter's one-call
// conversion of the device's source from its first frame.
TEST_F(WaveStreamWireTest, CaptureConvertsTheDevicesSourceTo96kHz)
{
    m_device->SetSource(0x82, {48000, 2, 2});
    const WaveFormatRecord device = PcmFormat(48000), stream = PcmFormat(96000);
    UsbStreamEndpoint* endpoint = Capture({device});
    Open(endpoint, stream);
    Walk({KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN});
    platform::RunFor(std::chrono::milliseconds(30));
    Walk({KSSTATE_PAUSE});
    const ULONG stored = m_stream->GetRingOffset();
    ASSERT_GT(stored, 8000u);
    std::vector<UCHAR> source(48 * 4 * 40);
    for (ULONG frame = 0; frame < source.size() / 4; ++frame) {
        for (uint32_t ch = 0; ch < 2; ++ch) {
            const auto v = static_cast<int16_t>(sim::SimDevice::SourceSample(frame, ch, 2));
            std::memcpy(&source[4 * frame + 2 * ch], &v, 2);
        }
    }
    const std::vector<UCHAR> expected = OneCallConversion(device, stream, source, stored / 4);
    ASSERT_EQ(expected.size(), stored);
    const auto* block = static_cast<const UCHAR*>(m_stream->SystemAddress());
    for (ULONG k = 0; k < stored; ++k) ASSERT_EQ(block[k], expected[k]) << "ring byte " << k;
    Walk({KSSTATE_ACQUIRE, KSSTATE_STOP});
}

TEST_F(WaveStreamWireTest, CaptureFillsTheCyclicBufferWithTheSourceAndThePositionTrailsIt)
{
    m_device->SetSource(0x82, {48000, 2, 2});
    UsbStreamEndpoint* endpoint = Capture({PcmFormat(48000)});
    Open(endpoint, PcmFormat(48000));
    Walk({KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN});
    platform::RunFor(std::chrono::milliseconds(30));
    ULONG running = 0;
    m_stream->GetPosition(&running);
    Walk({KSSTATE_PAUSE});
    ULONG position = 0;
    m_stream->GetPosition(&position);
    // The reported position never runs ahead of the data stored in the ring.
    EXPECT_LE(running, m_stream->GetRingOffset());
    EXPECT_EQ(position, m_stream->GetRingOffset());
    ASSERT_GT(position, 4000u);
    // Frame n of the ring is frame n of the source: nothing lost, repeated or shifted.
    const auto* block = static_cast<const int16_t*>(m_stream->SystemAddress());
    for (ULONG frame = 0; frame < position / 4; ++frame) {
        for (uint32_t ch = 0; ch < 2; ++ch) {
            ASSERT_EQ(block[2 * frame + ch], static_cast<int16_t>(sim::SimDevice::SourceSample(frame, ch, 2)))
                << "frame " << frame;
        }
    }
    Walk({KSSTATE_ACQUIRE, KSSTATE_STOP});
}

TEST_F(WaveStreamWireTest, ACountingPatternWrittenToAPinOfThePortReachesTheWireExactly)
{
    UsbStreamEndpoint* endpoint = Render({PcmFormat(48000)});
    m_hal = TestHal::New();
    m_hal->m_Configure = [endpoint](TestHal* hal) { return hal->AddEndpoint(endpoint); };
    ASSERT_EQ(m_hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    PUNKNOWN miniport = nullptr;
    ASSERT_EQ(CreateMiniportWaveCyclic(&miniport, GUID_NULL, nullptr, NonPagedPoolNx, 0), STATUS_SUCCESS);
    ASSERT_EQ(port->Init(m_fdo, nullptr, miniport, m_hal->GetNonDelegatingUnknown(), nullptr), STATUS_SUCCESS);
    miniport->Release();

    const WaveFormatRecord format = PcmFormat(48000);
    std::vector<uint8_t> bytes(sizeof(KSDATAFORMAT) + sizeof format);
    KSDATAFORMAT header{};
    header.FormatSize = static_cast<ULONG>(bytes.size());
    header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header.SubFormat = format.SubFormat;
    header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + sizeof header, &format, sizeof format);
    platform::PcWavePin* pin = nullptr;
    ASSERT_EQ(platform::PcCreateWavePin(port, 0, bytes.data(), static_cast<ULONG>(bytes.size()), &pin), STATUS_SUCCESS);
    platform::LockSetName(static_cast<WaveStream*>(platform::PcWavePinStream(pin))->GetLock(), "WaveStreamLock");
    platform::LockOrderDeclare("EndpointSubmitLock", "WaveStreamLock");

    // 100 ms of the counting pattern, more than the cyclic buffer holds.
    std::vector<uint8_t> client(19200);
    for (size_t i = 0; i < client.size(); ++i) client[i] = ClientDouble::Pattern(i);
    ASSERT_EQ(platform::PcWavePinWrite(pin, client.data(), static_cast<ULONG>(client.size())), STATUS_SUCCESS);
    ASSERT_EQ(platform::PcWavePinSetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    ULONGLONG play = 0, written = 0, lastPlay = 0;
    for (int ms = 0; ms < 160; ++ms) {
        platform::RunFor(std::chrono::milliseconds(1));
        ASSERT_EQ(platform::PcWavePinGetPosition(pin, &play, &written), STATUS_SUCCESS);
        ASSERT_GE(play, lastPlay) << "the play offset went back at " << ms << " ms";
        lastPlay = play;
    }
    ASSERT_EQ(platform::PcWavePinSetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(written, client.size());
    EXPECT_EQ(platform::PcWavePinQueued(pin), 0u);

    // Silence while the initial queue plays the block's tail, the client's bytes exactly, then
    // silence once the client has none.
    const std::vector<uint8_t> wire = WireBytes(0x01);
    const size_t lead = 48 * 4 * 15;
    ASSERT_GT(wire.size(), lead + client.size());
    for (size_t k = 0; k < wire.size(); ++k) {
        const uint8_t expected = k >= lead && k - lead < client.size() ? client[k - lead] : 0;
        ASSERT_EQ(wire[k], expected) << "wire byte " << k;
    }
    EXPECT_LE(play, wire.size());

    platform::PcWavePinClose(pin);
    PVOID raw = nullptr;
    ASSERT_EQ(port->QueryInterface(platform::IID_IPcSubdevice, &raw), STATUS_SUCCESS);
    static_cast<platform::IPcSubdevice*>(raw)->ReleaseChildren();
    static_cast<platform::IPcSubdevice*>(raw)->Release();
    port->Release();
}

TEST_F(WaveStreamWireTest, APinOfThePortDeliversTheCaptureSourceExactly)
{
    m_device->SetSource(0x82, {48000, 2, 2});
    UsbStreamEndpoint* endpoint = Capture({PcmFormat(48000)});
    m_hal = TestHal::New();
    m_hal->m_Configure = [endpoint](TestHal* hal) { return hal->AddEndpoint(endpoint); };
    ASSERT_EQ(m_hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    PUNKNOWN miniport = nullptr;
    ASSERT_EQ(CreateMiniportWaveCyclic(&miniport, GUID_NULL, nullptr, NonPagedPoolNx, 0), STATUS_SUCCESS);
    ASSERT_EQ(port->Init(m_fdo, nullptr, miniport, m_hal->GetNonDelegatingUnknown(), nullptr), STATUS_SUCCESS);
    miniport->Release();
    const WaveFormatRecord format = PcmFormat(48000);
    std::vector<uint8_t> bytes(sizeof(KSDATAFORMAT) + sizeof format);
    KSDATAFORMAT header{};
    header.FormatSize = static_cast<ULONG>(bytes.size());
    header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header.SubFormat = format.SubFormat;
    header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    std::memcpy(bytes.data(), &header, sizeof header);
    std::memcpy(bytes.data() + sizeof header, &format, sizeof format);
    platform::PcWavePin* pin = nullptr;
    ASSERT_EQ(platform::PcCreateWavePin(port, 0, bytes.data(), static_cast<ULONG>(bytes.size()), &pin), STATUS_SUCCESS);

    ASSERT_EQ(platform::PcWavePinSetState(pin, KSSTATE_RUN), STATUS_SUCCESS);
    // Read as an engine does, several times per block; the ring wraps a few times.
    std::vector<int16_t> samples;
    for (int ms = 0; ms < 200; ++ms) {
        platform::RunFor(std::chrono::milliseconds(1));
        int16_t chunk[2048];
        ULONG read = 0;
        ASSERT_EQ(platform::PcWavePinRead(pin, chunk, sizeof chunk, &read), STATUS_SUCCESS);
        samples.insert(samples.end(), chunk, chunk + read / 2);
    }
    ASSERT_EQ(platform::PcWavePinSetState(pin, KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_GT(samples.size(), 2u * 48 * 150);
    for (size_t i = 0; i < samples.size(); ++i) {
        ASSERT_EQ(samples[i], static_cast<int16_t>(sim::SimDevice::SourceSample(i / 2, i % 2, 2))) << "sample " << i;
    }
    platform::PcWavePinClose(pin);
    PVOID raw = nullptr;
    ASSERT_EQ(port->QueryInterface(platform::IID_IPcSubdevice, &raw), STATUS_SUCCESS);
    static_cast<platform::IPcSubdevice*>(raw)->ReleaseChildren();
    static_cast<platform::IPcSubdevice*>(raw)->Release();
    port->Release();
}

}  // namespace
}  // namespace kvxtest

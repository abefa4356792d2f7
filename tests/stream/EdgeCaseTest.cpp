// Edge cases of preparation and of the capture store: refused formats and alternate settings,
// allocation failures, a refused frequency that must give the bandwidth back, packets cut in the
// prepared frame size, late start frames, empty and excess capture packets, a refused callback
// registration.
#include "platform/nt/Callback.h"
#include "tests/stream/StreamFixture.h"

namespace kvxtest {
namespace {

using EdgeCaseTest = StreamFixture;

TEST_F(EdgeCaseTest, PreparationRefusesFormatsAndSettingsItCannotStream)
{
    WaveFormatRecord noRate = PcmFormat(48000);
    noRate.Format.nSamplesPerSec = 0;
    WaveFormatRecord noAlign = PcmFormat(44100);
    noAlign.Format.nBlockAlign = 0;
    struct Case {
        const char* name;
        bool capture;
        ULONG interfaceNumber;
        WaveFormatRecord format;
        UCHAR alternate;
    } cases[] = {
        {"no rate", false, 1, noRate, 1},
        {"no frame size", false, 1, noAlign, 1},
        {"zero-bandwidth setting has no data endpoint", false, 1, PcmFormat(48000), 0},
        {"render on an interface whose data endpoint is IN", false, 2, PcmFormat(48000), 1},
        {"capture on an interface whose data endpoint is OUT", true, 1, PcmFormat(48000), 1},
    };
    for (const Case& c : cases) {
        UsbStreamEndpoint* endpoint =
            c.capture ? static_cast<UsbStreamEndpoint*>(NewEndpoint<Uac1CaptureEndpoint>(c.interfaceNumber, {c.format}, c.alternate))
                      : static_cast<UsbStreamEndpoint*>(NewEndpoint<Uac1RenderEndpoint>(c.interfaceNumber, {c.format}, c.alternate));
        ClientDouble client;
        ASSERT_EQ(Register(endpoint, client, c.format, 5, 3), STATUS_SUCCESS) << c.name;
        ULONG ms = 0, frame = 0;
        EXPECT_EQ(endpoint->ClientStart(client.Record->Registration, &ms, &frame), STATUS_INVALID_PARAMETER) << c.name;
        EXPECT_EQ(endpoint->GetStreamState(), STREAM_STATE_IDLE) << c.name;
        EXPECT_EQ(m_usb->BusyCount(), 0) << c.name;
        EXPECT_EQ(endpoint->UnregisterClient(client.Record->Registration), STATUS_SUCCESS) << c.name;
        Drop(endpoint);
    }
}

TEST_F(EdgeCaseTest, PreparationFailsCleanlyAtEveryAllocation)
{
    for (bool capture : {false, true}) {
        UsbStreamEndpoint* endpoint = capture ? static_cast<UsbStreamEndpoint*>(Capture())
                                              : static_cast<UsbStreamEndpoint*>(Render());
        ClientDouble client;
        ASSERT_EQ(Register(endpoint, client, PcmFormat(48000), 5, 3), STATUS_SUCCESS);
        for (uint64_t n = 1;; ++n) {
            ASSERT_LT(n, 200u);
            // The client's list node moves with it: count blocks rather than look for new ones.
            const size_t live = platform::PoolLiveCountAll();
            const uint64_t injectedBefore = platform::PoolInjectedFailures();
            platform::PoolFailNthAllocation(n);
            ULONG ms = 0, frame = 0;
            const NTSTATUS status = endpoint->ClientStart(client.Record->Registration, &ms, &frame);
            const bool injected = platform::PoolInjectedFailures() != injectedBefore;
            platform::PoolClearFailures();
            if (NT_SUCCESS(status)) {
                EXPECT_EQ(endpoint->ClientStop(client.Record->Registration), STATUS_SUCCESS);
            } else {
                EXPECT_EQ(endpoint->GetStreamState(), STREAM_STATE_IDLE) << "allocation " << n;
                EXPECT_FALSE(endpoint->HoldsBandwidth()) << "allocation " << n;
            }
            EXPECT_EQ(m_usb->BusyCount(), 0) << "allocation " << n;
            EXPECT_EQ(platform::PoolLiveCountAll(), live) << "allocation " << n;
            if (!injected) {
                EXPECT_EQ(status, STATUS_SUCCESS);
                break;
            }
        }
        EXPECT_EQ(endpoint->UnregisterClient(client.Record->Registration), STATUS_SUCCESS);
        Drop(endpoint);
    }
}

TEST_F(EdgeCaseTest, ARefusedCaptureFrequencyGivesTheBandwidthBack)
{
    Uac1CaptureEndpoint* endpoint = Capture();
    m_device->AddFault({0x22, USB_AUDIO_SET_CUR, std::nullopt, std::nullopt}, sim::SimDevice::FaultKind::Stall);
    ClientDouble client;
    ASSERT_EQ(Register(endpoint, client, PcmFormat(48000), 5, 3), STATUS_SUCCESS);
    ULONG ms = 0, frame = 0;
    EXPECT_FALSE(NT_SUCCESS(endpoint->ClientStart(client.Record->Registration, &ms, &frame)));
    EXPECT_EQ(m_device->AlternateSetting(2), 0);
    EXPECT_EQ(m_usb->BusyCount(), 0);
    EXPECT_EQ(endpoint->GetStreamState(), STREAM_STATE_IDLE);
    EXPECT_EQ(endpoint->UnregisterClient(client.Record->Registration), STATUS_SUCCESS);
}

TEST_F(EdgeCaseTest, ARefusedRenderFrequencyStillStreams)
{
    Uac1RenderEndpoint* endpoint = Render();
    m_device->AddFault({0x22, USB_AUDIO_SET_CUR, std::nullopt, std::nullopt}, sim::SimDevice::FaultKind::Stall);
    ClientDouble client;
    Play(endpoint, client, PcmFormat(48000));
    platform::RunFor(std::chrono::milliseconds(30));
    EXPECT_EQ(m_usb->BusyCount(), 1);
    Finish(endpoint, client);
    EXPECT_GT(WireBytes(0x01).size(), 0u);
}

// A client of larger kind started (not running) fixes the prepared format; a running client of
// another frame size still gets packets cut in the prepared frames, inside the buffers.
TEST_F(EdgeCaseTest, PacketsFollowThePreparedFrameSize)
{
    Uac1RenderEndpoint* endpoint = Render({PcmFormat(48000), PcmFormat(48000, 2, 24, 32)});
    ClientDouble wave, asio;
    asio.Kind = CLIENT_KIND_ASIO;
    ASSERT_EQ(Register(endpoint, asio, PcmFormat(48000), 5, 3), STATUS_SUCCESS);
    ULONG ms = 0, frame = 0;
    ASSERT_EQ(endpoint->ClientStart(asio.Record->Registration, &ms, &frame), STATUS_SUCCESS);
    Play(endpoint, wave, PcmFormat(48000, 2, 24, 32));
    platform::RunFor(std::chrono::milliseconds(30));
    EXPECT_EQ(endpoint->m_CurrentWaveFormat.Format.nBlockAlign, 8);
    Finish(endpoint, wave);
    EXPECT_EQ(endpoint->ClientStop(asio.Record->Registration), STATUS_SUCCESS);
    EXPECT_EQ(endpoint->UnregisterClient(asio.Record->Registration), STATUS_SUCCESS);
    const auto packets = m_device->Wire(0x01);
    ASSERT_GT(packets.size(), 20u);
    for (const auto& p : packets) {
        ASSERT_EQ(p.Data.size(), 192u);
    }
}

// A client that runs at a frame the bus has passed (frame 0 from a start that prepared nothing,
// plus 2) starts two frames after the current one.
TEST_F(EdgeCaseTest, ALateStartFrameStartsTwoFramesAhead)
{
    Uac1RenderEndpoint* endpoint = Render();
    ClientDouble client;
    ASSERT_EQ(Register(endpoint, client, PcmFormat(48000), 5, 3), STATUS_SUCCESS);
    ULONG ms = 0, frame = 0;
    ASSERT_EQ(endpoint->ClientStart(client.Record->Registration, &ms, &frame), STATUS_SUCCESS);
    platform::RunFor(std::chrono::milliseconds(100));
    const ULONG now = platform::usb::UsbBus::CurrentFrame();
    ASSERT_EQ(endpoint->ClientRun(client.Record->Registration, 2, &ms, nullptr), STATUS_SUCCESS);
    platform::RunFor(std::chrono::milliseconds(30));
    Finish(endpoint, client);
    const auto packets = m_device->Wire(0x01);
    ASSERT_FALSE(packets.empty());
    EXPECT_EQ(packets.front().Frame, now + 2);
}

TEST_F(EdgeCaseTest, ARefusedCallbackRegistrationLeavesNoRecord)
{
    Uac1RenderEndpoint* endpoint = Render();
    const size_t before = platform::PoolLiveCount(USB_STREAM_TAG);
    platform::CallbackFailNextRegistration();
    ClientDouble client;
    EXPECT_EQ(Register(endpoint, client, PcmFormat(48000), 5, 3), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(client.Record, nullptr);
    EXPECT_EQ(platform::PoolLiveCount(USB_STREAM_TAG), before);
    WaveFormatRecord unlisted = PcmFormat(96000);
    EXPECT_EQ(Register(endpoint, client, unlisted, 5, 3), STATUS_NO_MATCH);
}

// The source's bytes of frames [from, from + count).
std::vector<uint8_t> SourceBytes(uint64_t from, uint64_t count)
{
    std::vector<uint8_t> out;
    for (uint64_t n = from; n < from + count; ++n) {
        for (uint32_t ch = 0; ch < 2; ++ch) {
            const auto v = static_cast<uint16_t>(sim::SimDevice::SourceSample(n, ch, 2));
            out.push_back(static_cast<uint8_t>(v));
            out.push_back(static_cast<uint8_t>(v >> 8));
        }
    }
    return out;
}

// Short and odd-length packets only move the source's bytes along: the client still gets them
// all, in whole frames. An empty packet becomes one packet interval of silence in between.
TEST_F(EdgeCaseTest, CapturedPacketsOfOddSizesKeepTheStreamAndEmptyOnesBecomeSilence)
{
    using Kind = sim::ScriptedPacket::Kind;
    m_device->SetSource(0x82, {48000, 2, 2});
    m_device->ScriptSource(0x82, {{20, Kind::OddLength, 0}, {40, Kind::Short, 8}, {60, Kind::Empty, 0}});
    Uac1CaptureEndpoint* endpoint = Capture();
    ClientDouble client;
    Play(endpoint, client, PcmFormat(48000));
    platform::RunFor(std::chrono::milliseconds(100));
    Finish(endpoint, client);
    const auto& got = client.Captured;
    ASSERT_EQ(got.size() % 4, 0u);
    const std::vector<uint8_t> expected = SourceBytes(0, got.size() / 4);
    size_t first = 0;
    while (first < got.size() && got[first] == expected[first]) ++first;
    ASSERT_LT(first, got.size()) << "no silence was inserted";
    first -= first % 4;
    // The source stream was whole up to the empty packet, past the odd and short ones.
    EXPECT_GE(first / 4, 55u * 48);
    const size_t silence = (48 + 1) * 4;
    ASSERT_GE(got.size(), first + silence);
    for (size_t i = first; i < first + silence; ++i) {
        ASSERT_EQ(got[i], 0) << "byte " << i;
    }
    const std::vector<uint8_t> rest(got.begin() + static_cast<std::ptrdiff_t>(first + silence), got.end());
    EXPECT_EQ(rest, SourceBytes(first / 4, rest.size() / 4));
}

// The capture store fed by hand, at full speed and at high speed (8 packets per ms).
class CaptureStoreTest : public StreamFixture, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        Start(Uac1Device(1), GetParam() ? std::optional<bool>(true) : std::nullopt);
        m_endpoint = Capture();
        m_client.AcceptUnaddressed = true;
        ASSERT_EQ(Register(m_endpoint, m_client, PcmFormat(48000), 5, 3), STATUS_SUCCESS);
        ULONG ms = 0, frame = 0;
        ASSERT_EQ(m_endpoint->ClientStart(m_client.Record->Registration, &ms, &frame), STATUS_SUCCESS);
    }
    void Store(const std::vector<ULONG>& lengths)
    {
        const ULONG space = m_endpoint->GetFramesPerPacket() * 4;
        std::vector<uint8_t> urbBytes(RingIsoUrbSize(static_cast<ULONG>(lengths.size())));
        std::vector<uint8_t> data(space * lengths.size(), 0x5A);
        auto* urb = reinterpret_cast<PURB>(urbBytes.data());
        auto& iso = urb->UrbIsochronousTransfer;
        iso.NumberOfPackets = static_cast<ULONG>(lengths.size());
        for (size_t i = 0; i < lengths.size(); ++i) {
            iso.IsoPacket[i].Offset = static_cast<ULONG>(i * space);
            iso.IsoPacket[i].Length = lengths[i];
        }
        TransferContext context{};
        context.Urb = urb;
        context.DataBuffer = data.data();
        context.ByteCount = static_cast<ULONG>(data.size());
        context.Endpoint = m_endpoint;
        m_endpoint->CaptureData(&context);
    }
    void TearDown() override
    {
        if (m_client.Record != nullptr) {
            EXPECT_EQ(m_endpoint->ClientStop(m_client.Record->Registration), STATUS_SUCCESS);
            EXPECT_EQ(m_endpoint->UnregisterClient(m_client.Record->Registration), STATUS_SUCCESS);
        }
        StreamFixture::TearDown();
    }
    Uac1CaptureEndpoint* m_endpoint = nullptr;
    ClientDouble m_client;
};

TEST_P(CaptureStoreTest, AnEmptyPacketIsOnePacketIntervalOfSilence)
{
    Store({0});
    // (48000 / (packets per ms x 1000) + 1) frames of 4 bytes, all zero.
    const size_t expected = GetParam() ? (6 + 1) * 4 : (48 + 1) * 4;
    ASSERT_EQ(m_client.Captured.size(), expected);
    for (uint8_t b : m_client.Captured) {
        ASSERT_EQ(b, 0);
    }
}

TEST_P(CaptureStoreTest, APartialFrameWaitsAndExcessIsDroppedWholeAndCounted)
{
    Store({6});  // a frame and a half
    EXPECT_EQ(m_client.Captured.size(), 4u);
    EXPECT_EQ(m_endpoint->GetRingFill(), 2u);
    Store({2});
    EXPECT_EQ(m_client.Captured.size(), 8u);
    // Far more than the ring holds in one completion: what does not fit is dropped in packets.
    const ULONG ring = m_endpoint->GetRingSize();
    const ULONG space = m_endpoint->GetFramesPerPacket() * 4;
    const size_t packets = ring / space + 3;
    m_client.Captured.clear();
    Store(std::vector<ULONG>(packets, space));
    const size_t stored = (ring - 4) / space * space;
    EXPECT_EQ(m_client.Captured.size(), stored);
    EXPECT_EQ(m_endpoint->GetCaptureDropped(), packets * space - stored);
}

INSTANTIATE_TEST_SUITE_P(Speeds, CaptureStoreTest, ::testing::Values(false, true));

}  // namespace
}  // namespace kvxtest

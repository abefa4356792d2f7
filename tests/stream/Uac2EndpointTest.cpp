// UAC2 endpoints on the simulated headset: preparation through the clock entity and its failures,
// the valid-alternate-settings question, the raw-stream start request, the feedback decoders,
// packet sizes paced by feedback, and the capture store.
#include <algorithm>
#include <functional>
#include <string>

#include "platform/nt/DebugHost.h"
#include "tests/support/CaseName.h"
#include "tests/stream/Uac2StreamFixture.h"
#include "usb/FormatTables.h"

namespace kvxtest {
namespace {

std::vector<uint8_t> Le(uint32_t value, size_t bytes)
{
    std::vector<uint8_t> out;
    for (size_t i = 0; i < bytes; ++i) {
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
    return out;
}

// The control requests of the log from `mark` on.
std::vector<sim::RequestLogEntry> ControlsSince(sim::SimDevice& device, size_t mark)
{
    std::vector<sim::RequestLogEntry> out;
    const auto log = device.Log();
    for (size_t i = mark; i < log.size(); ++i) {
        if (log[i].What == sim::RequestLogEntry::Kind::Control) {
            out.push_back(log[i]);
        }
    }
    return out;
}

using Uac2EndpointTest = Uac2StreamFixture;

class Uac2FullSpeedTest : public Uac2StreamFixture {
protected:
    void SetUp() override { StartUac2(Uac2Headset(false), false); }
};

TEST_F(Uac2EndpointTest, PreparationSetsTheRateOnTheClockThenSelectsWithoutAFrequencyRequest)
{
    for (bool capture : {false, true}) {
        UsbStreamEndpoint* endpoint =
            capture ? static_cast<UsbStreamEndpoint*>(Capture2()) : static_cast<UsbStreamEndpoint*>(Render2());
        const WaveFormatRecord format = capture ? PcmFormat(44100, 1) : PcmFormat(44100);
        const size_t mark = m_device->Log().size();
        ClientDouble client;
        ASSERT_EQ(Prepare(endpoint, client, format), STATUS_SUCCESS);
        const auto controls = ControlsSince(*m_device, mark);
        // CUR of the clock's sampling frequency (4 bytes), then the interface's streaming setting.
        ASSERT_GE(controls.size(), 2u);
        const auto& clock = controls[0].Setup;
        EXPECT_EQ(clock.bmRequestType, 0x21);
        EXPECT_EQ(clock.bRequest, 0x01);
        EXPECT_EQ(clock.wValue, 0x0100);
        EXPECT_EQ(clock.wIndex, Id::Clock << 8);
        EXPECT_EQ(clock.wLength, 4);
        const auto& select = controls.back().Setup;
        EXPECT_EQ(select.bRequest, USB_REQUEST_SET_INTERFACE);
        EXPECT_EQ(select.wIndex, capture ? 2 : 1);
        EXPECT_EQ(select.wValue, 1);
        for (const auto& c : controls) {
            EXPECT_NE(c.Setup.bmRequestType, 0x22) << "an endpoint frequency request";
        }
        EXPECT_EQ(endpoint->GetStreamState(), STREAM_STATE_PREPARED);
        EXPECT_EQ(endpoint->ClientStop(client.Record->Registration), STATUS_SUCCESS);
        EXPECT_EQ(endpoint->UnregisterClient(client.Record->Registration), STATUS_SUCCESS);
    }
}

TEST_F(Uac2EndpointTest, AClockThatCannotTakeTheRateFailsThePreparationCleanly)
{
    struct Case {
        const char* name;
        bool capture;
        ULONG clockEntity;
        ULONG rate;
        bool refuse;
    } cases[] = {
        {"no entity with the clock's id", false, 77, 48000, false},
        {"no entity with the clock's id (capture)", true, 77, 48000, false},
        {"the device refuses the rate", false, 0, 96000, true},
        {"the device refuses the rate (capture)", true, 0, 48000, true},
    };
    for (const Case& c : cases) {
        const ULONG clock = c.clockEntity != 0 ? c.clockEntity : m_clockEntity;
        UsbStreamEndpoint* endpoint = c.capture ? static_cast<UsbStreamEndpoint*>(Capture2(clock))
                                                : static_cast<UsbStreamEndpoint*>(Render2(clock));
        if (c.refuse) {
            m_device->AddFault({0x21, 0x01, 0x0100, std::nullopt}, sim::SimDevice::FaultKind::Stall);
        }
        const size_t live = platform::PoolLiveCountAll();
        ClientDouble client;
        const WaveFormatRecord format = PcmFormat(c.rate, c.capture ? 1 : 2);
        ASSERT_EQ(Register(endpoint, client, format, 5, 3), STATUS_SUCCESS) << c.name;
        ULONG ms = 0, frame = 0;
        const NTSTATUS status = endpoint->ClientStart(client.Record->Registration, &ms, &frame);
        if (c.refuse) {
            EXPECT_FALSE(NT_SUCCESS(status)) << c.name;
        } else {
            EXPECT_EQ(status, STATUS_UNSUCCESSFUL) << c.name;
        }
        EXPECT_EQ(endpoint->GetStreamState(), STREAM_STATE_IDLE) << c.name;
        EXPECT_FALSE(endpoint->HoldsBandwidth()) << c.name;
        EXPECT_EQ(m_usb->BusyCount(), 0) << c.name;
        EXPECT_EQ(m_device->AlternateSetting(c.capture ? 2 : 1), 0) << c.name;
        EXPECT_EQ(endpoint->UnregisterClient(client.Record->Registration), STATUS_SUCCESS) << c.name;
        EXPECT_LE(platform::PoolLiveCountAll(), live) << c.name << ": " << platform::PoolLeakReport();
        Drop(endpoint);
    }
}

TEST_F(Uac2EndpointTest, PreparationFailsCleanlyAtEveryAllocation)
{
    for (bool capture : {false, true}) {
        UsbStreamEndpoint* endpoint =
            capture ? static_cast<UsbStreamEndpoint*>(Capture2()) : static_cast<UsbStreamEndpoint*>(Render2());
        ClientDouble client;
        ASSERT_EQ(Register(endpoint, client, capture ? PcmFormat(48000, 1) : PcmFormat(48000), 5, 3), STATUS_SUCCESS);
        for (uint64_t n = 1;; ++n) {
            ASSERT_LT(n, 300u);
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
    }
}

TEST_F(Uac2EndpointTest, ValidAlternateSettingsAreAskedOfTheDevice)
{
    struct Case {
        const char* name;
        bool capture;
        std::vector<uint8_t> reply;
        bool stall;
        UCHAR alternate;
        UCHAR valid;
    } cases[] = {
        {"setting 1 of 0b0110", false, {1, 0x06}, false, 1, TRUE},
        {"setting 3 of 0b0110", false, {1, 0x06}, false, 3, FALSE},
        {"setting 8 with bControlSize 1", false, {1, 0xFF, 0xFF}, false, 8, FALSE},
        {"setting 9 with bControlSize 2", false, {2, 0x00, 0x02}, false, 9, TRUE},
        {"setting 31 with bControlSize 4", false, {4, 0, 0, 0, 0x80}, false, 31, TRUE},
        {"setting 32 is past any bitmap", false, {4, 0xFF, 0xFF, 0xFF, 0xFF}, false, 32, FALSE},
        {"bytes not returned count as 0", false, {2, 0xFF}, false, 9, FALSE},
        {"a stalled request", false, {}, true, 1, FALSE},
        {"the capture class asks the same", true, {1, 0x02}, false, 1, TRUE},
        {"the capture class: setting 2 of 0b0010", true, {1, 0x02}, false, 2, FALSE},
    };
    // Each row on an interface number of its own, so that its answer is the only one.
    uint8_t interfaceNumber = 10;
    for (const Case& c : cases) {
        ++interfaceNumber;
        UsbStreamEndpoint* endpoint = c.capture ? static_cast<UsbStreamEndpoint*>(NewUac2<Uac2CaptureEndpoint>(interfaceNumber, {}))
                                                : static_cast<UsbStreamEndpoint*>(NewUac2<Uac2RenderEndpoint>(interfaceNumber, {}));
        m_device->AddRaw({{0xA1, 0x01, 0x00, 0x02, interfaceNumber, 0, 5, 0}, c.reply, c.stall});
        EXPECT_EQ(endpoint->IsAlternateSettingValid(0), TRUE) << c.name;
        const size_t mark = m_device->Log().size();
        EXPECT_EQ(endpoint->IsAlternateSettingValid(c.alternate), c.valid) << c.name;
        const auto controls = ControlsSince(*m_device, mark);
        ASSERT_EQ(controls.size(), 1u) << c.name << ": setting 0 is valid without asking";
        const auto& s = controls[0].Setup;
        EXPECT_EQ(s.bmRequestType, 0xA1) << c.name;
        EXPECT_EQ(s.bRequest, 0x01) << c.name;
        EXPECT_EQ(s.wValue, 0x0200) << c.name;
        EXPECT_EQ(s.wIndex, interfaceNumber) << c.name;
        EXPECT_EQ(s.wLength, 5) << c.name;
        Drop(endpoint);
    }
    EXPECT_EQ(platform::PoolLiveCount(UAC2_REQUEST_TAG), 0u);
}

TEST_F(Uac2EndpointTest, TheRawStreamStartRequestGoesOnlyForTheRawSubformat)
{
    WaveFormatRecord raw = PcmFormat(48000);
    raw.SubFormat = VendorRawSubformat;
    Uac2RenderEndpoint* endpoint = NewUac2<Uac2RenderEndpoint>(1, {{PcmFormat(48000), 1}, {raw, 1}});
    m_device->AddRaw({{0x41, 0x10, 0, 0, 1, 0, 0, 0}, {}, false});
    struct Case {
        const char* name;
        std::optional<WaveFormatRecord> prepared;
        bool sent;
    } cases[] = {
        {"nothing prepared", std::nullopt, false},
        {"PCM prepared", PcmFormat(48000), false},
        {"the raw subformat prepared", raw, true},
    };
    for (const Case& c : cases) {
        ClientDouble client;
        if (c.prepared) {
            ASSERT_EQ(Prepare(endpoint, client, *c.prepared), STATUS_SUCCESS) << c.name;
        }
        const size_t mark = m_device->Log().size();
        EXPECT_EQ(endpoint->SendDsdStartRequest(), STATUS_SUCCESS) << c.name;
        const auto controls = ControlsSince(*m_device, mark);
        ASSERT_EQ(controls.size(), c.sent ? 1u : 0u) << c.name;
        if (c.sent) {
            const auto& s = controls[0].Setup;
            EXPECT_EQ(s.bmRequestType, 0x41);
            EXPECT_EQ(s.bRequest, 0x10);
            EXPECT_EQ(s.wValue, 0);
            EXPECT_EQ(s.wIndex, 1);
            EXPECT_EQ(s.wLength, 0);
            // A device that refuses it: its status comes back.
            m_device->AddFault({0x41, 0x10, std::nullopt, std::nullopt}, sim::SimDevice::FaultKind::Stall);
            EXPECT_FALSE(NT_SUCCESS(endpoint->SendDsdStartRequest()));
        }
        if (c.prepared) {
            EXPECT_EQ(endpoint->ClientStop(client.Record->Registration), STATUS_SUCCESS);
            EXPECT_EQ(endpoint->UnregisterClient(client.Record->Registration), STATUS_SUCCESS);
        }
    }
    EXPECT_EQ(platform::PoolLiveCount(DSD_REQUEST_TAG), 0u);
}

// ---- the feedback decoders ----

struct FeedbackValue {
    FeedbackValue(uint32_t raw, USBD_STATUS status = USBD_STATUS_SUCCESS, std::optional<ULONG> length = std::nullopt)
        : Raw(raw), Status(status), Length(length)
    {
    }
    uint32_t Raw;
    USBD_STATUS Status;
    std::optional<ULONG> Length;  // bytes the packet brought; unset: a whole value
};

struct DecoderRow {
    const char* name;
    ULONG rate;
    ULONG ms;
    std::vector<FeedbackValue> values;
    LONG expected;
};

// Prepares each row's format with the row's ms per transfer and hands its values to the decoder
// of the device's speed, as a completed feedback transfer brings them.
void RunDecoderRows(Uac2StreamFixture& fixture, Uac2RenderEndpoint* endpoint, bool highSpeed,
                    const std::vector<DecoderRow>& rows, std::function<PURB(ULONG)> newUrb,
                    std::function<NTSTATUS(UsbStreamEndpoint*, ClientDouble&, WaveFormatRecord, ULONG)> prepare)
{
    (void)fixture;
    const ULONG size = highSpeed ? 4 : 3;
    for (const DecoderRow& row : rows) {
        ClientDouble client;
        ASSERT_EQ(prepare(endpoint, client, PcmFormat(row.rate), row.ms), STATUS_SUCCESS) << row.name;
        ASSERT_EQ(endpoint->GetCurrentRate(), static_cast<LONG>(row.rate)) << row.name;
        std::vector<uint8_t> buffer(row.ms * size + 16, 0xEE);
        PURB urb = newUrb(RingIsoUrbSize(row.ms));
        auto& iso = urb->UrbIsochronousTransfer;
        iso.NumberOfPackets = row.ms;
        for (ULONG i = 0; i < row.ms; ++i) {
            const FeedbackValue& v = row.values[i % row.values.size()];
            const auto bytes = Le(v.Raw, size);
            std::copy(bytes.begin(), bytes.end(), buffer.begin() + i * size);
            iso.IsoPacket[i].Offset = i * size;
            iso.IsoPacket[i].Length = v.Length.value_or(size);
            iso.IsoPacket[i].Status = v.Status;
        }
        TransferContext context{};
        context.Urb = urb;
        context.Endpoint = endpoint;
        context.ByteCount = row.ms * size;
        context.DataBuffer = buffer.data();
        if (highSpeed) {
            endpoint->DecodeFeedback16_16(&context);
        } else {
            endpoint->DecodeFeedback10_14(&context);
        }
        EXPECT_EQ(endpoint->GetCurrentRate(), row.expected) << row.name;
        EXPECT_EQ(endpoint->ClientStop(client.Record->Registration), STATUS_SUCCESS);
        EXPECT_EQ(endpoint->UnregisterClient(client.Record->Registration), STATUS_SUCCESS);
    }
}

// 10.14 values as the device sends them (3 bytes; the decoder shifts them left by 2).
constexpr uint32_t FS_44100 = 0x0B0640;    // 0x2C1900 after the shift: counts as exactly 44,100
constexpr uint32_t FS_43600 = 0x0AE640;    // 0x2B9900: exactly 43,600
constexpr uint32_t FS_44000 = 0x0B0000;
constexpr uint32_t FS_43500 = 0x0AE000;
constexpr uint32_t FS_45000 = 0x0B4000;
constexpr uint32_t FS_46000 = 0x0B8000;
constexpr uint32_t FS_45099 = 0x0B4666;
constexpr uint32_t FS_43099 = 0x0AC666;

TEST_F(Uac2FullSpeedTest, DecodesTenFourteenFeedback)
{
    Uac2RenderEndpoint* endpoint = Render2();
    const std::vector<DecoderRow> rows = {
        {"five nominal 44.1 kHz reports", 44100, 5, {{FS_44100}}, 44100},
        {"43,600 Hz: 500 below is not 500 / 5", 44100, 5, {{FS_43600}}, 43600},
        {"exactly 100 below with 5 values: taken twice", 44100, 5, {{FS_44000}}, 43900},
        {"1,900 away: ignored", 44100, 5, {{FS_46000}}, 44100},
        {"zero: ignored", 44100, 5, {{0}}, 44100},
        {"all ones: ignored", 44100, 5, {{0xFFFFFF}}, 44100},
        {"alternating extremes: ignored", 44100, 5, {{0}, {0xFFFFFF}}, 44100},
        {"999 above kept, 1,001 below not", 44100, 2, {{FS_45099}, {FS_43099}}, 45099},
        {"failed and short packets bring no value", 44100, 5,
         {{FS_45000, USBD_STATUS_ISO_TD_ERROR}, {FS_43500}, {FS_43500}, {FS_45000, USBD_STATUS_SUCCESS, 2}, {FS_43500}},
         43500},
        {"48 kHz, no value kept: the rate stays", 48000, 10, {{0, USBD_STATUS_ISO_TD_ERROR}}, 48000},
    };
    RunDecoderRows(*this, endpoint, false, rows, [this](ULONG n) { return NewUrb(n); },
                   [this](UsbStreamEndpoint* e, ClientDouble& c, WaveFormatRecord f, ULONG ms) { return Prepare(e, c, f, ms); });
}

TEST_F(Uac2EndpointTest, DecodesSixteenSixteenFeedback)
{
    Uac2RenderEndpoint* endpoint = Render2();
    const std::vector<DecoderRow> rows = {
        {"6.006 frames per microframe", 48000, 5, {{0x60189}}, 48047},
        {"the 44.1 kHz report 0x58380 counts as exactly 44,100", 44100, 5, {{0x58380}}, 44100},
        {"all ones: ignored", 48000, 5, {{0xFFFFFFFF}}, 48000},
        {"alternating extremes: ignored", 48000, 4, {{0}, {0xFFFFFFFF}}, 48000},
        {"a short value is not read", 48000, 2, {{0x60189, USBD_STATUS_SUCCESS, 3}, {0x60000}}, 48000},
    };
    RunDecoderRows(*this, endpoint, true, rows, [this](ULONG n) { return NewUrb(n); },
                   [this](UsbStreamEndpoint* e, ClientDouble& c, WaveFormatRecord f, ULONG ms) { return Prepare(e, c, f, ms); });
}

// ---- packets paced by feedback ----

// ---- packets paced by feedback ----

std::vector<sim::ScriptedFeedback> Reports(uint32_t value, size_t bytes, size_t count)
{
    std::vector<sim::ScriptedFeedback> out(count);
    for (auto& r : out) {
        r.Data = Le(value, bytes);
    }
    return out;
}

struct PacingCase {
    const char* name;
    uint32_t report;
    ULONG ms;
    LONG rate;
    ULONG framesPer10;  // frames of every ten packets once the rate holds
    ULONG largest;      // frames of the largest packet
};

const PacingCase kPacing[] = {
    {"44.1 kHz reported exactly: 44 frames, every tenth 45", FS_44100, 5, 44100, 441, 45},
    {"43,600 Hz: packets shrink", FS_43600, 5, 43600, 436, 44},
    {"2,000 Hz away: ignored, the nominal rate holds", FS_46000, 5, 44100, 441, 45},
    // 500 above with one value per transfer is taken twice: 45,100 Hz would need packets of 46
    // frames, one more than the buffer's share per packet.
    {"45,100 Hz: packets stay within the buffer", 0x0B2640, 1, 45100, 450, 45},
};

class Uac2PacingTest : public Uac2StreamFixture, public ::testing::WithParamInterface<PacingCase> {
protected:
    void SetUp() override { StartUac2(Uac2Headset(false), false); }
};

TEST_P(Uac2PacingTest, PacketSizesFollowTheReportedRate)
{
    const PacingCase& c = GetParam();
    Uac2RenderEndpoint* endpoint = Render2();
    m_device->ScriptFeedback(Id::FeedbackEndpoint, Reports(c.report, 3, 2000));
    ClientDouble client;
    Play(endpoint, client, PcmFormat(44100), c.ms, 3);
    platform::RunFor(std::chrono::milliseconds(300));
    EXPECT_TRUE(endpoint->HasFeedbackPipe());
    EXPECT_EQ(endpoint->GetCurrentRate(), c.rate);
    const auto packets = m_device->Wire(Id::RenderEndpoint);
    Finish(endpoint, client);
    ASSERT_GT(packets.size(), 250u);
    // The rate holds from the second transfer on; look at the last 200 packets.
    ULONG largest = 0;
    for (size_t i = packets.size() - 200; i < packets.size(); i += 10) {
        ULONG frames = 0;
        for (size_t k = i; k < i + 10; ++k) {
            frames += static_cast<ULONG>(packets[k].Data.size() / 4);
            largest = std::max(largest, static_cast<ULONG>(packets[k].Data.size() / 4));
        }
        EXPECT_EQ(frames, c.framesPer10) << "packets from " << i;
    }
    EXPECT_EQ(largest, c.largest);
    for (size_t i = 0; i < packets.size(); ++i) {
        ASSERT_LE(packets[i].Data.size(), 45u * 4) << "packet " << i;
    }
    ExpectPattern(WireBytes(Id::RenderEndpoint), client.Written);
}

INSTANTIATE_TEST_SUITE_P(FullSpeed, Uac2PacingTest, ::testing::ValuesIn(kPacing), CaseName());

// Interfaces without an isochronous IN pipe: nothing is read as feedback; packets follow the
// nominal rate.
class Uac2NoFeedbackTest : public Uac2StreamFixture, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override { StartUac2(Uac2RenderOnly(false, GetParam()), false); }
};

TEST_P(Uac2NoFeedbackTest, PacketsFollowTheNominalRate)
{
    Uac2RenderEndpoint* endpoint = NewUac2<Uac2RenderEndpoint>(1, {{PcmFormat(48000), 1}});
    platform::DebugLogTake();
    ClientDouble client;
    Play(endpoint, client, PcmFormat(48000));
    platform::RunFor(std::chrono::milliseconds(100));
    EXPECT_FALSE(endpoint->HasFeedbackPipe());
    EXPECT_EQ(endpoint->GetFeedbackInUse(), 0u);
    EXPECT_EQ(endpoint->GetResubmitState(), RESUBMIT_IDLE);
    Finish(endpoint, client);
    EXPECT_EQ(platform::DebugLogTake().find("Error_ErrorOccur"), std::string::npos);
    const auto packets = m_device->Wire(Id::RenderEndpoint);
    ASSERT_GT(packets.size(), 90u);
    for (const auto& p : packets) {
        ASSERT_EQ(p.Data.size(), 48u * 4);
    }
    ExpectPattern(WireBytes(Id::RenderEndpoint), client.Written);
}

INSTANTIATE_TEST_SUITE_P(OneOrTwoOutPipes, Uac2NoFeedbackTest, ::testing::Bool());

// A client that fills only its first transfers: what follows goes out silent, not as the audio
// a reused buffer held before.
TEST_F(Uac2EndpointTest, TransfersNoClientFillsGoOutSilent)
{
    struct FirstFills {
        EndpointClient* Record = nullptr;
        int Fills = 0;
        static VOID Callback(PVOID context, PVOID argument1, PVOID)
        {
            auto* self = static_cast<FirstFills*>(context);
            auto* message = static_cast<TransportMessage*>(argument1);
            if (message->Client == self->Record && message->Event == TRANSPORT_EVENT_FILL_RENDER && self->Fills++ < 3) {
                std::memset(message->Data.Buffer, 0x5A, message->Data.Bytes);
            }
        }
    } client;
    Uac2RenderEndpoint* endpoint = Render2();
    WaveFormatRecord format = PcmFormat(48000);
    ASSERT_EQ(endpoint->RegisterClient(CLIENT_KIND_WAVE_STREAM, &format, 5, 3, FirstFills::Callback, &client,
                                       &client.Record),
              STATUS_SUCCESS);
    ULONG ms = 0, frame = 0;
    ASSERT_EQ(endpoint->ClientStart(client.Record->Registration, &ms, &frame), STATUS_SUCCESS);
    ASSERT_EQ(endpoint->ClientRun(client.Record->Registration, frame + 2, &ms, nullptr), STATUS_SUCCESS);
    platform::RunFor(std::chrono::milliseconds(100));
    PVOID handle = client.Record->Registration;
    endpoint->ClientPause(handle, nullptr);
    EXPECT_EQ(endpoint->ClientStop(handle), STATUS_SUCCESS);
    EXPECT_EQ(endpoint->UnregisterClient(handle), STATUS_SUCCESS);
    const auto wire = WireBytes(Id::RenderEndpoint);
    const size_t filled = 3 * 5 * 48 * 4;  // three transfers of 5 ms at the nominal rate
    ASSERT_GT(wire.size(), 4 * filled);
    EXPECT_EQ(std::count(wire.begin(), wire.begin() + filled, 0x5A), static_cast<long>(filled));
    EXPECT_EQ(std::count(wire.begin() + filled, wire.end(), 0), static_cast<long>(wire.size() - filled));
}

// Starts and stops with feedback in flight: every feedback context is back in its slot once the
// stop has seen the ring drain, and nothing is left at the end.
TEST_F(Uac2EndpointTest, StopsWithFeedbackInFlightLeaveEveryContextFree)
{
    Uac2RenderEndpoint* endpoint = Render2();
    const size_t live = platform::PoolLiveCountAll();
    for (int i = 0; i < 20; ++i) {
        ClientDouble client;
        Play(endpoint, client, PcmFormat(48000), 1 + i % 5, 2 + i % 3);
        platform::RunFor(std::chrono::microseconds(700 * (i + 1)));
        PVOID handle = client.Record->Registration;
        ASSERT_EQ(endpoint->ClientPause(handle, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(endpoint->GetOutstandingTransfers(), 0) << "round " << i;
        EXPECT_EQ(endpoint->GetFeedbackInUse(), 0u) << "round " << i;
        EXPECT_EQ(endpoint->GetTransfersInUse(), 0u) << "round " << i;
        EXPECT_EQ(endpoint->ClientStop(handle), STATUS_SUCCESS);
        EXPECT_EQ(endpoint->UnregisterClient(handle), STATUS_SUCCESS);
    }
    EXPECT_EQ(platform::PoolLiveCountAll(), live) << platform::PoolLeakReport();
}

// ---- the capture store ----

// One completion handed to the store directly: packets longer than their space, empty packets,
// and more bytes than the ring holds.
TEST_F(Uac2EndpointTest, TheCaptureStoreBoundsPacketsAndNeverOverrunsItsRing)
{
    Uac2CaptureEndpoint* endpoint = Capture2();
    ClientDouble client;
    client.AcceptUnaddressed = true;
    ASSERT_EQ(Prepare(endpoint, client, PcmFormat(48000, 1)), STATUS_SUCCESS);
    const ULONG space = endpoint->GetFramesPerPacket() * 2;
    const ULONG ring = endpoint->GetRingSize();
    ASSERT_GT(space, 0u);
    ASSERT_EQ(ring, 48000u * 2 / 25);
    const ULONG silence = (48000 / 8 / 1000 + 1) * 2;

    struct Packet {
        ULONG Length;
        USBD_STATUS Status;
    };
    auto complete = [&](const std::vector<Packet>& packets) {
        std::vector<uint8_t> data(packets.size() * space);
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = static_cast<uint8_t>(i % 251 + 1);
        }
        PURB urb = NewUrb(RingIsoUrbSize(static_cast<ULONG>(packets.size())));
        auto& iso = urb->UrbIsochronousTransfer;
        iso.NumberOfPackets = static_cast<ULONG>(packets.size());
        for (size_t i = 0; i < packets.size(); ++i) {
            iso.IsoPacket[i].Offset = static_cast<ULONG>(i * space);
            iso.IsoPacket[i].Length = packets[i].Length;
            iso.IsoPacket[i].Status = packets[i].Status;
        }
        TransferContext context{};
        context.Urb = urb;
        context.Endpoint = endpoint;
        context.ByteCount = static_cast<ULONG>(data.size());
        context.DataBuffer = data.data();
        client.Captured.clear();
        client.BytesMoved = 0;
        endpoint->CaptureData(&context);
        return data;
    };

    // An empty good packet is silence; a failed one brings nothing; an oversize one its space.
    auto data = complete({{0, USBD_STATUS_SUCCESS}, {0, USBD_STATUS_ISO_TD_ERROR}, {space + 100, USBD_STATUS_SUCCESS}});
    ASSERT_EQ(client.Captured.size(), silence + space);
    EXPECT_EQ(std::count(client.Captured.begin(), client.Captured.begin() + silence, 0), static_cast<long>(silence));
    EXPECT_TRUE(std::equal(client.Captured.begin() + silence, client.Captured.end(), data.begin() + 2 * space));
    EXPECT_EQ(client.BytesMoved, silence + space);
    EXPECT_EQ(endpoint->GetCaptureDropped(), 0u);

    // More than the ring holds: what does not fit is dropped and counted, the rest handed out once.
    const ULONG packets = ring / space + 3;
    const ULONG fits = ring / space;
    data = complete(std::vector<Packet>(packets, Packet{space, USBD_STATUS_SUCCESS}));
    ASSERT_EQ(client.Captured.size(), fits * space);
    EXPECT_TRUE(std::equal(client.Captured.begin(), client.Captured.end(), data.begin()));
    EXPECT_EQ(client.BytesMoved, fits * space);
    EXPECT_EQ(endpoint->GetCaptureDropped(), (packets - fits) * space);

    EXPECT_EQ(endpoint->ClientStop(client.Record->Registration), STATUS_SUCCESS);
    EXPECT_EQ(endpoint->UnregisterClient(client.Record->Registration), STATUS_SUCCESS);
}

}  // namespace
}  // namespace kvxtest

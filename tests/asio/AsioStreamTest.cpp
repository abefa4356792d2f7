// The owning ASIO client's shared buffers through the whole driver: what it writes reaches the
// wire exactly, what the device sends reaches its capture ring, every period on time; buffers,
// refusals and rollback; stop and resume around power changes; removal with a stop waiting.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <tuple>

#include "asio/AsioDevice.h"
#include "host/AudioEngine.h"
#include "platform/nt/Dispatcher.h"
#include "platform/nt/Machine.h"
#include "platform/io/ProcessHost.h"
#include "platform/nt/Ob.h"
#include "platform/io/IoHost.h"
#include "platform/nt/Callback.h"
#include "platform/nt/PoolHost.h"
#include "stream/UsbStreamEndpoint.h"
#include "tests/asio/AsioFixture.h"

namespace kvxtest {
namespace {

namespace code = host::asio;

// Render byte n of the client's stream: never 0, so the data's start shows on the wire.
uint8_t PatternByte(uint64_t n) { return static_cast<uint8_t>(n % 251 + 1); }

class AsioStreamTest : public AsioFixture {
protected:
    // Buffers for both output channels and the input channel; `frames` per period.
    void CreateAll(host::AsioSession& client, uint32_t frames)
    {
        ASSERT_EQ(client.CreateBuffers({{0, 0}, {0, 1}, {1, 0}}, frames, 2, &m_buffers), STATUS_SUCCESS);
        ASSERT_EQ(m_buffers.size(), 2u);
    }
    // Streams the counting pattern out and keeps what comes in.
    NTSTATUS Stream(host::AsioSession& client, uint32_t frames)
    {
        host::AsioSession::StreamHooks hooks;
        hooks.Render = [](size_t, uint64_t frame, uint8_t* data, size_t bytes) {
            for (size_t k = 0; k < bytes; ++k) data[k] = PatternByte(frame * 4 + k);
        };
        hooks.Capture = [this](size_t, uint64_t, const uint8_t* data, size_t bytes) {
            m_captured.insert(m_captured.end(), data, data + bytes);
        };
        return client.StartStreaming(m_buffers, 2, frames, hooks);
    }
    // The wire from the client's first byte on holds the pattern for at least `bytes` bytes.
    void ExpectWireHoldsThePattern(size_t bytes)
    {
        const uint8_t ep = kvx::WireEndpoint(m_session.Device());
        ASSERT_NE(ep, 0);
        const sim::Bytes wire = m_session.Device().WireBytes(ep);
        const size_t lead = static_cast<size_t>(
            std::find_if(wire.begin(), wire.end(), [](uint8_t b) { return b != 0; }) - wire.begin());
        ASSERT_GE(wire.size(), lead + bytes);
        for (size_t k = 0; k < bytes; ++k) {
            ASSERT_EQ(wire[lead + k], PatternByte(k)) << "wire byte " << lead + k;
        }
    }
    void ExpectCaptureIsTheSource(size_t minimumBytes)
    {
        ASSERT_GE(m_captured.size(), minimumBytes);
        for (size_t i = 0; i < m_captured.size() / 2; ++i) {
            const int16_t sample = static_cast<int16_t>(m_captured[2 * i] | m_captured[2 * i + 1] << 8);
            ASSERT_EQ(sample, static_cast<int16_t>(sim::SimDevice::SourceSample(i, 0, 2))) << "sample " << i;
        }
    }

    std::vector<host::AsioBufferView*> m_buffers;
    std::vector<uint8_t> m_captured;
};

// A device and the buffers its ASIO endpoints get. The UAC1 headset streams both ways; on UAC2
// only capture endpoints are ASIO-capable, except the headphones of a device whose capabilities
// are fixed by its identity.
struct StreamDevice {
    const char* Profile;
    std::vector<std::pair<uint32_t, int32_t>> Entries;
    ULONG Endpoints;
    bool Render;
    bool Capture;
};

const StreamDevice UAC1_HEADSET{"uac1-asio-headset.json", {{0, 0}, {0, 1}, {1, 0}}, 2, true, true};
const StreamDevice UAC2_HEADPHONES{"uac2-asio-headphones.json", {{0, 0}, {0, 1}}, 1, true, false};
const StreamDevice UAC2_HEADSET{"uac2-headset.json", {{1, 0}}, 1, false, true};

class AsioStreamPeriodTest : public AsioStreamTest,
                             public ::testing::WithParamInterface<std::tuple<const StreamDevice*, uint32_t>> {};

TEST_P(AsioStreamPeriodTest, WireEqualsTheClientsDataAndCaptureTheSource)
{
    const StreamDevice& device = *std::get<0>(GetParam());
    const uint32_t frames = std::get<1>(GetParam());
    StartDevice(device.Profile);
    m_session.Device().SetSource(0x82, {48000, 1, 2});
    host::AsioSession& client = Client();
    ASSERT_EQ(client.CreateBuffers(device.Entries, frames, device.Endpoints, &m_buffers), STATUS_SUCCESS);
    ASSERT_EQ(m_buffers.size(), device.Endpoints);
    // The input carries the signal flag when there is one.
    EXPECT_EQ(m_buffers.back()->SignalFlag, 1u);
    EXPECT_EQ(m_buffers.back()->Direction, device.Capture ? 1u : 0u);
    ASSERT_EQ(Stream(client, frames), STATUS_SUCCESS);
    EXPECT_TRUE(Device()->AsioRunning());
    platform::RunFor(std::chrono::milliseconds(300));
    const host::AsioSession::StreamStats stats = client.Stats();
    ASSERT_EQ(client.StopStreaming(), STATUS_SUCCESS);
    EXPECT_FALSE(Device()->AsioRunning());
    EXPECT_GT(stats.Periods, 20u);
    EXPECT_EQ(stats.LatePeriods, 0u);
    if (device.Render) {
        ExpectWireHoldsThePattern(48000 * 4 / 5);  // 200 ms of it
    }
    if (device.Capture) {
        ExpectCaptureIsTheSource(48000 * 2 / 5);
    }
    // Stopped: the rings are silence.
    for (host::AsioBufferView* buffer : m_buffers) {
        const auto* ring = reinterpret_cast<const uint8_t*>(buffer) + 40;
        EXPECT_TRUE(std::all_of(ring, ring + buffer->Size, [](uint8_t b) { return b == 0; }));
    }
    EXPECT_EQ(client.Control(code::DISPOSE_BUFFERS, nullptr, 0, 0).Status, STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Periods, AsioStreamPeriodTest,
                         ::testing::Combine(::testing::Values(&UAC1_HEADSET, &UAC2_HEADPHONES, &UAC2_HEADSET),
                                            ::testing::Values(64u, 512u, 1024u)));

// The ladder and the render ring's start: a 96-frame period at 48 kHz runs 1 ms transfers, two
// queued, and starts one transfer before the ring's end.
TEST_F(AsioStreamTest, TheRingsStartWhereTheTransfersInFlightLeaveThem)
{
    struct LadderCase {
        uint32_t PeriodMs;
        uint32_t Ms, Count, Queued;
    };
    for (const LadderCase& c : {LadderCase{0, 1, 2, 2}, LadderCase{2, 1, 2, 2}, LadderCase{5, 1, 5, 4},
                                LadderCase{10, 2, 5, 4}, LadderCase{16, 4, 4, 3}, LadderCase{21, 5, 4, 3},
                                LadderCase{200, 5, 5, 4}}) {
        const AsioTransferShape s = AsioLadder(c.PeriodMs);
        EXPECT_EQ(s.MsPerTransfer, c.Ms) << c.PeriodMs;
        EXPECT_EQ(s.Count, c.Count) << c.PeriodMs;
        EXPECT_EQ(s.Queued, c.Queued) << c.PeriodMs;
    }
    StartDevice();
    host::AsioSession& client = Client();
    CreateAll(client, 96);
    ASSERT_EQ(Stream(client, 96), STATUS_SUCCESS);
    EXPECT_EQ(m_buffers[0]->InitialPosition, 7680u - 192u);
    EXPECT_EQ(m_buffers[0]->QueuedBytes, 384u);
    EXPECT_EQ(m_buffers[1]->InitialPosition, 0u);
    EXPECT_EQ(m_buffers[1]->QueuedBytes, 0u);
    ASSERT_EQ(client.StopStreaming(), STATUS_SUCCESS);
}

// What the client writes into the header changes nothing the kernel does.
TEST_F(AsioStreamTest, HeaderWritesMidStreamChangeNothing)
{
    StartDevice();
    m_session.Device().SetSource(0x82, {48000, 1, 2});
    host::AsioSession& client = Client();
    CreateAll(client, 256);
    ASSERT_EQ(Stream(client, 256), STATUS_SUCCESS);
    platform::RunFor(std::chrono::milliseconds(50));
    for (host::AsioBufferView* b : m_buffers) {
        b->Size = 0xFFFFFFFF;
        b->RingPosition = 0x80000000;
        b->Channels = 255;
    }
    platform::RunFor(std::chrono::milliseconds(100));
    AsioEndpointRecord record{};
    ASSERT_TRUE(Device()->AsioRecord(0, &record));
    EXPECT_EQ(record.Size, 7680u);
    EXPECT_LT(record.RingPosition, 7680u);
    ASSERT_TRUE(Device()->AsioRecord(1, &record));
    EXPECT_EQ(record.Size, 3840u);
    EXPECT_LT(record.RingPosition, 3840u);
    EXPECT_EQ(client.StopStreaming(), STATUS_SUCCESS);
}

TEST_F(AsioStreamTest, BuffersAreRefusedToOthersAndLeaveNothingWhenRefused)
{
    StartDevice();
    host::AsioSession& owner = Client();
    host::AsioSession& other = Client();
    std::vector<host::AsioBufferView*> buffers;
    // The output is one address per ASIO endpoint, no more, no less.
    EXPECT_EQ(owner.CreateBuffers({{0, 0}}, 256, 3, &buffers), STATUS_INVALID_PARAMETER);
    AsioEndpointRecord record{};
    ASSERT_TRUE(Device()->AsioRecord(0, &record));
    EXPECT_EQ(record.Buffer, nullptr);
    EXPECT_EQ(LongAt(owner.Control(code::GET_BUSY, nullptr, 0, 4).Output, 0), 0);
    // A request naming only channels nobody has registers nothing.
    EXPECT_EQ(owner.CreateBuffers({{0, 7}}, 256, 2, &buffers), STATUS_INVALID_PARAMETER);

    ASSERT_EQ(owner.CreateBuffers({{0, 0}, {0, 1}}, 256, 2, &buffers), STATUS_SUCCESS);
    EXPECT_EQ(buffers[0]->Enable, 1u);
    EXPECT_EQ(buffers[0]->SignalFlag, 1u);  // no input enabled: the output carries it
    EXPECT_EQ(buffers[1]->Enable, 0u);
    EXPECT_EQ(LongAt(other.Control(code::GET_BUSY, nullptr, 0, 4).Output, 0), 1);
    std::vector<host::AsioBufferView*> others;
    EXPECT_EQ(other.CreateBuffers({{0, 0}}, 256, 2, &others), STATUS_INVALID_PARAMETER);
    // A second set while the first is held would lose the first.
    EXPECT_EQ(owner.CreateBuffers({{0, 0}}, 256, 2, &others), STATUS_INVALID_PARAMETER);
    PKEVENT event = nullptr;
    HANDLE handle = other.NewEvent(&event);
    EXPECT_EQ(other.Control(code::START, other.HandleBytes(handle), 0).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(other.Control(code::STOP, nullptr, 0, 0).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(other.Control(code::DISPOSE_BUFFERS, nullptr, 0, 0).Status, STATUS_INVALID_PARAMETER);
    std::vector<uint8_t> info(52, 0);
    EXPECT_EQ(LongAt(other.Control(code::GET_CHANNEL_INFO, info, 52).Output, 2), 1);  // active
    ZwClose(handle);
    // Closing the owner disposes of its buffers.
    EXPECT_EQ(owner.Close(), STATUS_SUCCESS);
    EXPECT_EQ(LongAt(other.Control(code::GET_BUSY, nullptr, 0, 4).Output, 0), 0);
    ASSERT_EQ(other.CreateBuffers({{0, 0}}, 256, 2, &others), STATUS_SUCCESS);
}

// Disposing of running buffers, without a stop first: the streams stop before the rings go, so
// no endpoint copies from a freed ring; the buffer-switch event is let go; no page, MDL, view or
// endpoint client stays; and the endpoints serve the next owner.
TEST_F(AsioStreamTest, DisposingOfRunningBuffersStopsThemFirst)
{
    StartDevice();
    auto blocks = [] {
        size_t n = 0;
        for (ULONG tag : {platform::IO_PAGES_TAG, platform::IO_MDL_TAG, USB_STREAM_TAG}) n += platform::PoolLiveCount(tag);
        return n;
    };
    const size_t before = blocks();
    host::AsioSession& client = Client();
    CreateAll(client, 256);
    PKEVENT event = nullptr;
    HANDLE handle = client.NewEvent(&event);
    ASSERT_EQ(client.Control(code::START, client.HandleBytes(handle), 0).Status, STATUS_SUCCESS);
    platform::RunFor(std::chrono::milliseconds(30));
    const uint8_t ep = kvx::WireEndpoint(m_session.Device());
    ASSERT_NE(ep, 0);
    EXPECT_EQ(client.Control(code::DISPOSE_BUFFERS, nullptr, 0, 0).Status, STATUS_SUCCESS);
    EXPECT_FALSE(Device()->AsioRunning());
    EXPECT_FALSE(Device()->AsioSuspended());
    EXPECT_EQ(platform::ObReferenceCount(event), 1);  // the handle's own
    ExpectNoBuffers(2);
    const uint64_t wire = m_session.Device().WireByteCount(ep);
    platform::RunFor(std::chrono::milliseconds(30));
    EXPECT_EQ(m_session.Device().WireByteCount(ep), wire);
    EXPECT_EQ(blocks(), before);
    // A stop now finds nothing to stop; new buffers stream.
    EXPECT_EQ(client.Control(code::STOP, nullptr, 0, 0).Status, STATUS_INVALID_PARAMETER);
    m_buffers.clear();
    CreateAll(client, 256);
    ASSERT_EQ(Stream(client, 256), STATUS_SUCCESS);
    platform::RunFor(std::chrono::milliseconds(30));
    EXPECT_GT(m_session.Device().WireByteCount(ep), wire);
    EXPECT_EQ(client.StopStreaming(), STATUS_SUCCESS);
    ZwClose(handle);
}

// A ring's size is worked out in 64 bits: 255 channels of 32-bit samples at 192 kHz make
// 1020 x 192,000 x 40 bytes before the division by 1,000, past 32 bits.
TEST_F(AsioStreamTest, AWideFastEndpointGetsItsWholeRing)
{
    StartEdited({{"10 24 01 06 00 01 01 00 00 00 01 00 00 00 00 00 06 24 02 01 02 10",
                  "10 24 01 06 00 01 01 00 00 00 ff 00 00 00 00 00 06 24 02 01 04 20"},
                 {"96000", "192000"}},
                "uac2-headset.json");
    host::AsioSession& client = Client();
    ASSERT_EQ(client.SetLong(code::SET_SAMPLE_TYPE, 18), STATUS_SUCCESS);
    ASSERT_EQ(client.SetLong(code::SET_SAMPLE_RATE, 192000), STATUS_SUCCESS);
    std::vector<uint8_t> counts(16, 0);
    EXPECT_EQ(LongAt(client.Control(code::GET_CHANNELS, counts, 16).Output, 2), 255);
    ASSERT_EQ(client.CreateBuffers({{1, 0}, {1, 254}}, 1024, 1, &m_buffers), STATUS_SUCCESS);
    EXPECT_EQ(m_buffers[0]->Channels, 255u);
    EXPECT_EQ(m_buffers[0]->Size, 1020u * 192 * 40);
    AsioEndpointRecord record{};
    ASSERT_TRUE(Device()->AsioRecord(1, &record));  // after the headphones
    EXPECT_EQ(record.Size, 1020u * 192 * 40);
    EXPECT_EQ(client.Control(code::DISPOSE_BUFFERS, nullptr, 0, 0).Status, STATUS_SUCCESS);
}

// The endpoint's format announcements (event 2) that say the running client changed: the kind
// of the client each names.
struct FormatChanges {
    std::mutex Lock;
    std::vector<ULONG> Kinds;
};

VOID RecordFormatChange(PVOID context, PVOID argument1, PVOID)
{
    const auto* message = static_cast<const TransportMessage*>(argument1);
    if (message == nullptr || message->Event != TRANSPORT_EVENT_FORMAT ||
        (message->Format.MsPerTransfer & TRANSPORT_FORMAT_CHANGED) == 0) {
        return;
    }
    auto* to = static_cast<FormatChanges*>(context);
    std::lock_guard<std::mutex> guard(to->Lock);
    to->Kinds.push_back(message->Client != nullptr ? message->Client->ClientKind : 0);
}

// ASIO takes the render endpoint from a playing wave stream and hands it back: the wire carries
// the wave, then the client's data, then the wave again; each change is announced to the
// endpoint's clients; the wave stream's position moves on all the while.
TEST_F(AsioStreamTest, AsioTakesTheEndpointFromAPlayingWaveStreamAndHandsItBack)
{
    constexpr uint8_t WAVE = 0x11;
    constexpr uint8_t ASIO = 0x22;
    StartDevice();
    StreamEngine* engine = nullptr;
    ASSERT_EQ(Device()->GetEndpoint(0, &engine), STATUS_SUCCESS);
    ASSERT_FALSE(engine->IsCapture());
    PCALLBACK_OBJECT callback = static_cast<UsbStreamEndpoint*>(engine)->GetTransportCallbackObject();
    ASSERT_NE(callback, nullptr);
    FormatChanges changes;
    PVOID registration = ExRegisterCallback(callback, RecordFormatChange, &changes);
    ASSERT_NE(registration, nullptr);

    host::AudioEngine wave(m_session.Fdo());
    ASSERT_EQ(wave.Open(false), STATUS_SUCCESS);
    ASSERT_EQ(wave.StartRender({48000, 2, 16, 16},
                               [](uint8_t* data, size_t bytes) {
                                   std::memset(data, WAVE, bytes);
                                   return bytes;
                               }),
              STATUS_SUCCESS);
    platform::RunFor(std::chrono::milliseconds(100));

    host::AsioSession& client = Client();
    ASSERT_EQ(client.CreateBuffers({{0, 0}, {0, 1}}, 256, 2, &m_buffers), STATUS_SUCCESS);
    host::AsioSession::StreamHooks hooks;
    hooks.Render = [](size_t, uint64_t, uint8_t* data, size_t bytes) { std::memset(data, ASIO, bytes); };
    ASSERT_EQ(client.StartStreaming(m_buffers, 4, 256, hooks), STATUS_SUCCESS);
    const ULONGLONG asioStart = wave.Stats().PlayOffset;
    platform::RunFor(std::chrono::milliseconds(100));
    const ULONGLONG asioEnd = wave.Stats().PlayOffset;
    EXPECT_GT(asioEnd, asioStart);
    ASSERT_EQ(client.StopStreaming(), STATUS_SUCCESS);
    ASSERT_EQ(client.Control(code::DISPOSE_BUFFERS, nullptr, 0, 0).Status, STATUS_SUCCESS);
    platform::RunFor(std::chrono::milliseconds(100));
    EXPECT_GT(wave.Stats().PlayOffset, asioEnd);
    wave.Stop();
    EXPECT_EQ(wave.Wait(), host::EngineEnd::Stopped);
    ExUnregisterCallback(registration);

    // Packets wholly of one source, in order, runs joined: silence and mixed packets between
    // them left out.
    std::string runs;
    for (const sim::WirePacket& packet : m_session.Device().Wire(kvx::WireEndpoint(m_session.Device()))) {
        for (uint8_t source : {WAVE, ASIO}) {
            if (!packet.Data.empty() &&
                std::all_of(packet.Data.begin(), packet.Data.end(), [source](uint8_t b) { return b == source; })) {
                const char mark = source == WAVE ? 'W' : 'A';
                if (runs.empty() || runs.back() != mark) runs += mark;
            }
        }
    }
    EXPECT_EQ(runs, "WAW");
    std::lock_guard<std::mutex> guard(changes.Lock);
    std::vector<ULONG> kinds = changes.Kinds;
    kinds.erase(std::unique(kinds.begin(), kinds.end()), kinds.end());
    EXPECT_EQ(kinds, (std::vector<ULONG>{CLIENT_KIND_WAVE_STREAM, CLIENT_KIND_ASIO, CLIENT_KIND_WAVE_STREAM}));
}

// Each thing a creation needs failing in turn (the pages, their MDL, the view in the process,
// the endpoint client, its callback registration): the request fails and leaves no buffer, view
// or endpoint client behind; the owner is not busy; a later creation succeeds.
TEST_F(AsioStreamTest, EachFailedStepOfACreationLeavesNothing)
{
    StartDevice();
    struct FailCase {
        const char* What;
        std::function<void()> Arm;
    };
    const std::vector<FailCase> cases = {
        {"pages", [] { platform::PoolFailNextWithTag(platform::IO_PAGES_TAG); }},
        {"MDL", [] { platform::PoolFailNextWithTag(platform::IO_MDL_TAG); }},
        {"view", [] { platform::MmFailNextUserMapping(); }},
        {"second view", [] { platform::MmFailNextUserMapping(2); }},
        {"endpoint client", [] { platform::PoolFailNextWithTag(USB_STREAM_TAG); }},
        {"registration", [] { platform::CallbackFailNextRegistration(); }},
    };
    host::AsioSession& client = Client();
    std::vector<host::AsioBufferView*> buffers;
    for (const FailCase& c : cases) {
        SCOPED_TRACE(c.What);
        c.Arm();
        EXPECT_EQ(client.CreateBuffers({{0, 0}, {1, 0}}, 256, 2, &buffers), STATUS_INSUFFICIENT_RESOURCES);
        platform::PoolClearFailures();
        platform::MmFailNextUserMapping(0);
        ExpectNoBuffers(2);
        EXPECT_EQ(LongAt(client.Control(code::GET_BUSY, nullptr, 0, 4).Output, 0), 0);
    }
    ASSERT_EQ(client.CreateBuffers({{0, 0}, {1, 0}}, 256, 2, &buffers), STATUS_SUCCESS);
    EXPECT_EQ(LongAt(client.Control(code::GET_BUSY, nullptr, 0, 4).Output, 0), 1);
    EXPECT_EQ(client.Control(code::DISPOSE_BUFFERS, nullptr, 0, 0).Status, STATUS_SUCCESS);
}

// D3 while streaming stops the streams and keeps the client's buffers; D0 resumes them.
TEST_F(AsioStreamTest, PowerDownSuspendsAndPowerUpResumes)
{
    StartDevice();
    host::AsioSession& client = Client();
    CreateAll(client, 256);
    ASSERT_EQ(Stream(client, 256), STATUS_SUCCESS);
    platform::RunFor(std::chrono::milliseconds(50));
    ASSERT_EQ(m_session.Pnp().SetPower(m_session.Pdo(), PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_TRUE(Device()->AsioSuspended());
    EXPECT_FALSE(Device()->AsioRunning());
    ASSERT_EQ(m_session.Pnp().SetPower(m_session.Pdo(), PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_FALSE(Device()->AsioSuspended());
    EXPECT_TRUE(Device()->AsioRunning());
    const uint32_t before = m_buffers[1]->CompletedCount;
    platform::RunFor(std::chrono::milliseconds(50));
    EXPECT_GT(m_buffers[1]->CompletedCount, before);
    EXPECT_EQ(client.StopStreaming(), STATUS_SUCCESS);
}

// With selective suspend the idle device sleeps while an ASIO client holds its handle; the
// client's requests wake it: buffers made and started at once stream.
TEST_F(AsioStreamTest, AnAsioRequestWakesASuspendedDevice)
{
    m_session.SetSelectiveSuspend(true);
    StartDevice();
    m_session.Device().SetSource(0x82, {48000, 1, 2});
    host::AsioSession& client = Client();
    ASSERT_TRUE(platform::RunUntil([&] { return m_session.Bus().Suspended(); }, std::chrono::seconds(12)));
    CreateAll(client, 256);
    ASSERT_EQ(Stream(client, 256), STATUS_SUCCESS);
    EXPECT_TRUE(platform::RunUntil([&] { return m_session.Bus().PdoPowerState() == PowerDeviceD0; },
                                   std::chrono::seconds(2)));
    platform::RunFor(std::chrono::milliseconds(200));
    EXPECT_FALSE(m_session.Bus().Suspended());
    EXPECT_TRUE(Device()->AsioRunning());
    EXPECT_EQ(client.Stats().LatePeriods, 0u);
    ASSERT_EQ(client.StopStreaming(), STATUS_SUCCESS);
    ExpectCaptureIsTheSource(48000 * 2 / 10);
}

// With selective suspend, ASIO streams keep the device awake: past several idle checks nothing
// is suspended and no period is late.
TEST_F(AsioStreamTest, AsioStreamingKeepsASelectivelySuspendedDeviceAwake)
{
    m_session.SetSelectiveSuspend(true);
    StartDevice();
    host::AsioSession& client = Client();
    CreateAll(client, 256);
    ASSERT_EQ(Stream(client, 256), STATUS_SUCCESS);
    EXPECT_FALSE(platform::RunUntil([&] { return m_session.Bus().Suspended(); }, std::chrono::seconds(12)));
    EXPECT_TRUE(Device()->AsioRunning());
    EXPECT_EQ(client.Stats().LatePeriods, 0u);
    ASSERT_EQ(client.StopStreaming(), STATUS_SUCCESS);
}

// The owner's own settings changed while its buffers stream (a sample type the capture endpoint
// lacks; raw-data I/O) leave the buffers as they were made: a power cycle resumes the same
// streams with the same rings, and the stop silences them as PCM.
TEST_F(AsioStreamTest, SettingsTheOwnerChangesWhileStreamingLeaveItsBuffersAlone)
{
    struct ChangeCase {
        const StreamDevice* Device;
        ULONG Code;
        int32_t Value;
    };
    const StreamDevice UAC2_RAW{"uac2-asio-raw.json", {{1, 0}}, 1, false, true};
    for (const ChangeCase& c : {ChangeCase{&UAC1_HEADSET, code::SET_SAMPLE_TYPE, 17},
                                ChangeCase{&UAC2_RAW, code::SET_IO_FORMAT, 1}}) {
        SCOPED_TRACE(c.Device->Profile);
        StartDevice(c.Device->Profile);
        host::AsioSession& client = Client();
        m_buffers.clear();
        ASSERT_EQ(client.CreateBuffers(c.Device->Entries, 256, c.Device->Endpoints, &m_buffers), STATUS_SUCCESS);
        ASSERT_EQ(Stream(client, 256), STATUS_SUCCESS);
        platform::RunFor(std::chrono::milliseconds(30));
        std::vector<host::AsioBufferView> before;
        for (host::AsioBufferView* b : m_buffers) before.push_back(*b);
        ASSERT_EQ(client.SetLong(c.Code, c.Value), STATUS_SUCCESS);
        ASSERT_EQ(m_session.Pnp().SetPower(m_session.Pdo(), PowerDeviceD3), STATUS_SUCCESS);
        ASSERT_EQ(m_session.Pnp().SetPower(m_session.Pdo(), PowerDeviceD0), STATUS_SUCCESS);
        EXPECT_TRUE(Device()->AsioRunning());
        for (size_t i = 0; i < m_buffers.size(); ++i) {
            EXPECT_EQ(m_buffers[i]->InitialPosition, before[i].InitialPosition);
            EXPECT_EQ(m_buffers[i]->QueuedBytes, before[i].QueuedBytes);
        }
        const uint32_t completed = m_buffers.back()->CompletedCount;
        platform::RunFor(std::chrono::milliseconds(30));
        EXPECT_GT(m_buffers.back()->CompletedCount, completed);
        EXPECT_EQ(client.StopStreaming(), STATUS_SUCCESS);
        for (host::AsioBufferView* b : m_buffers) {
            const auto* ring = reinterpret_cast<const uint8_t*>(b) + 40;
            EXPECT_TRUE(std::all_of(ring, ring + b->Size, [](uint8_t x) { return x == 0; }));
        }
        m_clients.clear();
        std::string report;
        EXPECT_TRUE(m_session.End(&report)) << report;
    }
}

// Rates other than 48 kHz: 44.1 kHz, whose milliseconds hold no whole number of frames, and
// 96 kHz. The wire still carries exactly what the client wrote, and no period is late.
TEST_F(AsioStreamTest, OtherRatesStreamExactlyToo)
{
    for (int32_t rate : {44100, 96000}) {
        SCOPED_TRACE(rate);
        StartDevice(UAC2_HEADPHONES.Profile);
        host::AsioSession& client = Client();
        ASSERT_EQ(client.SetLong(code::SET_SAMPLE_RATE, rate), STATUS_SUCCESS);
        m_buffers.clear();
        ASSERT_EQ(client.CreateBuffers(UAC2_HEADPHONES.Entries, 256, 1, &m_buffers), STATUS_SUCCESS);
        EXPECT_EQ(m_buffers[0]->Size, static_cast<uint32_t>(rate) * 4 * 40 / 1000);
        ASSERT_EQ(Stream(client, 256), STATUS_SUCCESS);
        platform::RunFor(std::chrono::milliseconds(300));
        const host::AsioSession::StreamStats stats = client.Stats();
        ASSERT_EQ(client.StopStreaming(), STATUS_SUCCESS);
        EXPECT_EQ(stats.LatePeriods, 0u);
        ExpectWireHoldsThePattern(rate * 4 / 5);
        m_clients.clear();
        std::string report;
        EXPECT_TRUE(m_session.End(&report)) << report;
    }
}

// What ends a stop that waits for D0.
enum class StopEnd { PowerUp, SurpriseRemoval, ClientClosesThenRemoval, Cancel };

class AsioStopWaitTest : public AsioStreamTest, public ::testing::WithParamInterface<StopEnd> {};

// A stop outside D0 waits for D0 (a second one is refused) and then completes with the stop's
// result; at surprise removal it completes at once, so that the client can close. When its
// client closes first, the removal that follows goes on and completes it; nothing of the client
// stays.
TEST_P(AsioStopWaitTest, AStopOutsideD0WaitsForD0OrRemoval)
{
    StartDevice();
    host::AsioSession& client = Client();
    CreateAll(client, 256);
    PKEVENT event = nullptr;
    HANDLE handle = client.NewEvent(&event);
    ASSERT_EQ(client.Control(code::START, client.HandleBytes(handle), 0).Status, STATUS_SUCCESS);
    ASSERT_EQ(m_session.Pnp().SetPower(m_session.Pdo(), PowerDeviceD3), STATUS_SUCCESS);
    auto stop = client.Send(code::STOP, nullptr, 0, 0);
    EXPECT_FALSE(host::AsioSession::Done(*stop));
    EXPECT_TRUE(Device()->AsioStopPending());
    EXPECT_EQ(client.Control(code::STOP, nullptr, 0, 0).Status, STATUS_INVALID_PARAMETER);
    switch (GetParam()) {
    case StopEnd::PowerUp:
        ASSERT_EQ(m_session.Pnp().SetPower(m_session.Pdo(), PowerDeviceD0), STATUS_SUCCESS);
        EXPECT_EQ(host::AsioSession::Wait(*stop).Status, STATUS_SUCCESS);
        EXPECT_FALSE(Device()->AsioRunning());
        EXPECT_FALSE(Device()->AsioSuspended());
        // The event was let go: a new start may bring one.
        EXPECT_EQ(client.Control(code::START, client.HandleBytes(handle), 0).Status, STATUS_SUCCESS);
        EXPECT_EQ(client.Control(code::STOP, nullptr, 0, 0).Status, STATUS_SUCCESS);
        break;
    case StopEnd::SurpriseRemoval:
        ASSERT_EQ(m_session.Pnp().SurpriseRemove(m_session.Pdo()), STATUS_SUCCESS);
        EXPECT_EQ(host::AsioSession::Wait(*stop).Status, STATUS_SUCCESS);
        break;
    case StopEnd::Cancel:
        // Cancelled, the stop completes at once and stops nothing: the power-up resumes the
        // streams, and a stop in D0 then ends them.
        EXPECT_TRUE(IoCancelIrp(stop->Irp));
        EXPECT_EQ(host::AsioSession::Wait(*stop).Status, STATUS_CANCELLED);
        EXPECT_FALSE(Device()->AsioStopPending());
        ASSERT_EQ(m_session.Pnp().SetPower(m_session.Pdo(), PowerDeviceD0), STATUS_SUCCESS);
        EXPECT_TRUE(Device()->AsioRunning());
        EXPECT_EQ(client.Control(code::STOP, nullptr, 0, 0).Status, STATUS_SUCCESS);
        EXPECT_FALSE(Device()->AsioRunning());
        break;
    case StopEnd::ClientClosesThenRemoval:
        // (Whether the close reaches the device before the stop completes is the I/O manager's
        // affair; either way the removal must go on and the stop end.)
        EXPECT_EQ(client.Close(), STATUS_SUCCESS);
        // The file's close waits for its stop: the client stays until the removal ends the stop.
        EXPECT_EQ(Device()->AsioClientCount(), 1u);
        ASSERT_EQ(m_session.Remove(), STATUS_SUCCESS);
        EXPECT_NE(host::AsioSession::Wait(*stop).Status, STATUS_PENDING);
        ASSERT_TRUE(platform::RunUntil([&] { return platform::IoUserFilesOnStack(m_session.Pdo()) == 0; },
                                       std::chrono::seconds(5)));
        EXPECT_EQ(platform::ObReferenceCount(event), 1);
        ZwClose(handle);
        return;
    }
    EXPECT_FALSE(Device()->AsioStopPending());
    EXPECT_EQ(platform::ObReferenceCount(event), 1);  // the handle's own
    EXPECT_EQ(client.Close(), STATUS_SUCCESS);
    ZwClose(handle);
}

INSTANTIATE_TEST_SUITE_P(StopEnds, AsioStopWaitTest,
                         ::testing::Values(StopEnd::PowerUp, StopEnd::SurpriseRemoval, StopEnd::ClientClosesThenRemoval,
                                           StopEnd::Cancel));

// A process killed while its stop waits for D0, racing the power-up that would run the stop:
// the exit's cancel and the device's taking of the stop meet, and whichever wins completes it
// once. Neither hangs, faults or leaves the stop, the streams or the buffers behind.
TEST_F(AsioStreamTest, AKilledProcessRacesThePowerUpForAWaitingStop)
{
    StartDevice();
    for (int round = 0; round < 8; ++round) {
        SCOPED_TRACE(round);
        host::AsioSession& client = Client();
        CreateAll(client, 256);
        HANDLE handle = client.NewEvent();
        ASSERT_EQ(client.Control(code::START, client.HandleBytes(handle), 0).Status, STATUS_SUCCESS);
        ASSERT_EQ(m_session.Pnp().SetPower(m_session.Pdo(), PowerDeviceD3), STATUS_SUCCESS);
        auto stop = client.Send(code::STOP, nullptr, 0, 0);
        ASSERT_TRUE(Device()->AsioStopPending());
        platform::ClientThread killer("asio kill", [&] { client.Kill(); });
        ASSERT_EQ(m_session.Pnp().SetPower(m_session.Pdo(), PowerDeviceD0), STATUS_SUCCESS);
        {
            platform::ExternalWaitScope external;
            killer.Join();
        }
        EXPECT_NE(host::AsioSession::Wait(*stop).Status, STATUS_PENDING);
        EXPECT_TRUE(platform::RunUntil([&] { return Device()->AsioClientCount() == 0; }, std::chrono::seconds(5)));
        EXPECT_FALSE(Device()->AsioStopPending());
        EXPECT_FALSE(Device()->AsioRunning());
        EXPECT_FALSE(Device()->AsioSuspended());
        ExpectNoBuffers(2);
        m_clients.clear();
    }
}

// The device goes while a start is under way: the start's vendor request to a quirk device is
// never answered until the device is unplugged. The start ends, the client stops and closes, and
// the removal goes on.
TEST_F(AsioStreamTest, RemovalDuringAStartEndsCleanly)
{
    StartDevice("uac2-asio-quirk.json");
    sim::RequestMatch quirkStart;
    quirkStart.RequestType = 0x40;
    quirkStart.Request = 0x07;
    quirkStart.Value = 1;
    m_session.Device().AddFault(quirkStart, sim::SimDevice::FaultKind::Never);
    host::AsioSession& client = Client();
    ASSERT_EQ(client.CreateBuffers({{1, 0}}, 256, 1, &m_buffers), STATUS_SUCCESS);
    PKEVENT event = nullptr;
    HANDLE handle = client.NewEvent(&event);
    std::atomic<NTSTATUS> started{STATUS_PENDING};
    platform::ClientThread starter("asio start", [&] {
        started = client.Control(code::START, client.HandleBytes(handle), 0).Status;
    });
    ASSERT_TRUE(platform::RunUntil(
        [&] {
            for (const sim::RequestLogEntry& e : m_session.Device().Log()) {
                if (e.Setup.bmRequestType == 0x40 && e.Outcome == "pending") return true;
            }
            return false;
        },
        std::chrono::seconds(2)));
    EXPECT_EQ(started.load(), STATUS_PENDING);
    m_session.Bus().Unplug();
    ASSERT_EQ(m_session.Pnp().SurpriseRemove(m_session.Pdo()), STATUS_SUCCESS);
    {
        platform::ExternalWaitScope external;
        starter.Join();
    }
    EXPECT_EQ(started.load(), STATUS_SUCCESS);
    client.Control(code::STOP, nullptr, 0, 0);
    EXPECT_FALSE(Device()->AsioRunning());
    EXPECT_EQ(client.Close(), STATUS_SUCCESS);
    EXPECT_EQ(platform::ObReferenceCount(event), 1);
    ASSERT_EQ(m_session.Remove(), STATUS_SUCCESS);
    ZwClose(handle);
}

// The owner closes, or disposes of its buffers, while suspended: the power-up that follows
// resumes nothing and touches no owner.
TEST_F(AsioStreamTest, OwnerGoneWhileSuspendedLeavesTheResumeNothingToDo)
{
    for (const bool close : {true, false}) {
        SCOPED_TRACE(close ? "close" : "dispose");
        StartDevice();
        host::AsioSession& client = Client();
        m_buffers.clear();
        CreateAll(client, 256);
        PKEVENT event = nullptr;
        HANDLE handle = client.NewEvent(&event);
        ASSERT_EQ(client.Control(code::START, client.HandleBytes(handle), 0).Status, STATUS_SUCCESS);
        platform::RunFor(std::chrono::milliseconds(30));
        ASSERT_EQ(m_session.Pnp().SetPower(m_session.Pdo(), PowerDeviceD3), STATUS_SUCCESS);
        EXPECT_TRUE(Device()->AsioSuspended());
        if (close) {
            EXPECT_EQ(client.Close(), STATUS_SUCCESS);
        } else {
            EXPECT_EQ(client.Control(code::DISPOSE_BUFFERS, nullptr, 0, 0).Status, STATUS_SUCCESS);
            ExpectNoBuffers(2);
        }
        EXPECT_FALSE(Device()->AsioSuspended());
        EXPECT_EQ(platform::ObReferenceCount(event), 1);
        ASSERT_EQ(m_session.Pnp().SetPower(m_session.Pdo(), PowerDeviceD0), STATUS_SUCCESS);
        EXPECT_FALSE(Device()->AsioRunning());
        EXPECT_EQ(Device()->AsioClientCount(), close ? 0u : 1u);
        EXPECT_EQ(LongAt(Client().Control(code::GET_BUSY, nullptr, 0, 4).Output, 0), 0);
        ZwClose(handle);
        m_clients.clear();
        std::string report;
        EXPECT_TRUE(m_session.End(&report)) << report;
    }
}

// The device unplugged mid-stream: the client stops and closes afterwards, nothing hangs or stays.
TEST_F(AsioStreamTest, UnplugMidStreamEndsCleanly)
{
    StartDevice();
    host::AsioSession& client = Client();
    CreateAll(client, 256);
    ASSERT_EQ(Stream(client, 256), STATUS_SUCCESS);
    platform::RunFor(std::chrono::milliseconds(30));
    ASSERT_EQ(m_session.Pnp().SurpriseRemove(m_session.Pdo()), STATUS_SUCCESS);
    platform::RunFor(std::chrono::milliseconds(30));
    client.StopStreaming();
    EXPECT_EQ(client.Close(), STATUS_SUCCESS);
}

}  // namespace
}  // namespace kvxtest

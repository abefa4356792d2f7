// The UAC2 function on simulated devices: the fixtures start (or fail as they must), the parsers'
// formats come from the clock, the status thread reads interrupt messages and drains a bulk pipe,
// capabilities follow direction, kind and identity, and every allocation of the start may fail.
#include <gtest/gtest.h>

#include <mutex>

#include "platform/nt/PoolHost.h"
#include "platform/nt/ThreadHost.h"
#include "tests/usb/Uac2Fixture.h"
#include "usb/FormatTables.h"

namespace kvxtest {
namespace {

using namespace uac2;

class Uac2FunctionTest : public Uac2Fixture {};

TEST_F(Uac2FunctionTest, FixturesStartOrFailWithTheirStatus)
{
    struct Row {
        const char* Profile;
        NTSTATUS Expected;
        ULONG RenderFormats, CaptureFormats;
    } rows[] = {
        {"uac2-headset.json", STATUS_SUCCESS, 6, 3},     // two settings and one × 44.1, 48, 96 kHz
        {"uac2-headset-fs.json", STATUS_SUCCESS, 4, 2},  // 44.1 and 48 kHz
        {"uac2-clock-selector.json", STATUS_UNSUCCESSFUL, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Profile);
        PlugProfile(row.Profile);
        ASSERT_EQ(StartDeviceObject(), row.Expected);
        if (NT_SUCCESS(row.Expected)) {
            ASSERT_EQ(Function()->GetEndpointCount(), 2u);
            EXPECT_EQ(Formats(0).size(), row.RenderFormats);
            EXPECT_EQ(Formats(1).size(), row.CaptureFormats);
            // The rates come from the clock's RANGE: GET RANGE, sampling frequency, clock 10.
            EXPECT_GE(CountRequests(0xA1, 0x02, 0x0100, 0x0A00), 1u);
        }
        TearDown();
    }
}

TEST_F(Uac2FunctionTest, RecordsFollowTheGeneralTheFormatTypeAndTheClock)
{
    const GUID pcm = KSDATAFORMAT_SUBTYPE_PCM;
    const GUID ac3 = KSDATAFORMAT_SUBTYPE_IEC61937_DOLBY_DIGITAL;
    const GUID wma = KSDATAFORMAT_SUBTYPE_IEC61937_WMA_PRO;
    const GUID raw = VendorRawSubformat;
    struct Row {
        const char* Name;
        std::vector<Bytes> Streaming;
        std::vector<uint32_t> Rates;
        bool RefuseFirstRate;
        std::vector<std::pair<ULONG, GUID>> Records;  // rate and subformat, in order
        WORD BlockAlign, Bits, ValidBits;
        ULONG Mask;
    } rows[] = {
        {"24 in 32 stereo",
         {AsGeneral(1, 1, 0x1, 2, 0x3), FormatType(1, 4, 24)},
         {44100, 48000, 96000},
         false,
         {{44100, pcm}, {48000, pcm}, {96000, pcm}},
         8, 32, 24, 0x3},
        {"the channel config is the mask, unchanged",
         {AsGeneral(1, 1, 0x1, 2, 0x0), FormatType(1, 2, 16)},
         {48000},
         false,
         {{48000, pcm}},
         4, 16, 16, 0x0},
        {"IEC 61937 AC-3 and WMA per rate",
         {AsGeneral(1, 3, 0x1001, 2, 0x3), FormatType(3, 2, 16)},
         {44100, 48000},
         false,
         {{44100, ac3}, {44100, wma}, {48000, ac3}, {48000, wma}},
         4, 16, 16, 0x3},
        {"raw data at the rates the clock takes and the setting is valid at",
         {AsGeneral(1, 1, 0x80000000, 2, 0x3), FormatType(1, 4, 32)},
         {44100, 48000, 96000},
         true,
         {{48000, raw}},
         8, 32, 32, 0x3},
        {"float only: no record", {AsGeneral(1, 1, 0x2, 2, 0x3), FormatType(1, 4, 32)}, {48000}, false, {}, 0, 0, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        PlugBuilt(Device(RenderPath(), row.Streaming), row.Rates);
        // At 96 kHz only the zero-bandwidth setting is valid (raw data asks; PCM does not).
        m_device->SetValidAlternates(1, 96000, 0x1);
        if (row.RefuseFirstRate) {
            // SET CUR of the sampling frequency, clock 10, fails once.
            m_device->AddFault({0x21, 0x01, 0x0100, 0x0A00}, sim::SimDevice::FaultKind::Error);
        }
        ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
        if (row.RefuseFirstRate) {
            // Each rate is set on the clock; the two it took are followed by the question of
            // the valid settings (GET CUR, selector 2, interface 1).
            EXPECT_EQ(CountRequests(0x21, 0x01, 0x0100, 0x0A00), 3u);
            EXPECT_EQ(CountRequests(0xA1, 0x01, 0x0200, 0x0001), 2u);
        }
        const auto formats = Formats(0);
        ASSERT_EQ(formats.size(), row.Records.size());
        for (size_t i = 0; i < formats.size(); ++i) {
            const WaveFormatRecord& r = formats[i];
            EXPECT_EQ(r.Format.nSamplesPerSec, row.Records[i].first);
            EXPECT_TRUE(IsEqualGUID(r.SubFormat, row.Records[i].second)) << i;
            EXPECT_EQ(r.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
            EXPECT_EQ(r.Format.nChannels, 2);
            EXPECT_EQ(r.Format.nBlockAlign, row.BlockAlign);
            EXPECT_EQ(r.Format.nAvgBytesPerSec, row.Records[i].first * row.BlockAlign);
            EXPECT_EQ(r.Format.wBitsPerSample, row.Bits);
            EXPECT_EQ(r.Format.cbSize, 22);
            EXPECT_EQ(r.Samples.wValidBitsPerSample, row.ValidBits);
            EXPECT_EQ(r.dwChannelMask, row.Mask);
        }
        TearDown();
    }
}

// A capture path output terminal <- feature unit <- mixer <- two input terminals: the walk links
// the mixer without passing it, and the mixer then counts as an input terminal.
TEST_F(Uac2FunctionTest, ACaptureMixerBecomesAnInputTerminal)
{
    for (const bool extension : {false, true}) {
        SCOPED_TRACE(extension ? "extension unit" : "mixer unit");
        const Bytes unit = extension ? Extension(4, {1, 2}) : Mixer(4, {1, 2});
        PlugBuilt(Device({Clock(10), InputTerminal(1, 0x0201, 10), InputTerminal(2, 0x0603, 10), unit, Feature(5, 4),
                          OutputTerminal(6, 0x0101, 5, 10)},
                         {AsGeneral(6, 1, 0x1, 2, 0x3), FormatType(1, 2, 16)}, 0x82));
        ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
        StreamEngine* endpoint = nullptr;
        ASSERT_EQ(Function()->GetEndpoint(0, &endpoint), STATUS_SUCCESS);
        ASSERT_TRUE(endpoint->IsCapture());
        std::vector<LONG> types;
        for (ULONG i = 0; i < endpoint->GetEntityCount(); ++i) {
            TopologyNode* entity = nullptr;
            ASSERT_EQ(endpoint->GetEntity(i, &entity), STATUS_SUCCESS);
            types.push_back(entity->GetType());
        }
        // Output terminal, mute, and the mixer as an input terminal; neither input terminal.
        EXPECT_EQ(std::count(types.begin(), types.end(), ENTITY_OUTPUT_TERMINAL), 1);
        EXPECT_EQ(std::count(types.begin(), types.end(), ENTITY_INPUT_TERMINAL), 1);
        EXPECT_EQ(std::count(types.begin(), types.end(), ENTITY_MIXER), 0);
        EXPECT_EQ(types.size(), 3u);
        TearDown();
    }
}

// ---- capabilities ----

TEST(Uac2CapabilitiesTest, FollowIdentityDirectionAndKind)
{
    struct Row {
        USHORT Vendor, Product;
        BOOLEAN Capture;
        ULONG Kind, Mask, Flags;
    } rows[] = {
        {0x0B05, 0x17B1, FALSE, ENDPOINT_KIND_HEADPHONES, 0x603F, 3},
        {0x0B05, 0x17B1, TRUE, ENDPOINT_KIND_MICROPHONE, 0x29000, 0},
        {0x0B05, 0x17B1, FALSE, ENDPOINT_KIND_SPEAKER, 0, 0},
        {0x1234, 0x5721, TRUE, ENDPOINT_KIND_SPDIF, 0, 0},
        {0x1234, 0x5721, TRUE, ENDPOINT_KIND_MICROPHONE, 0, 18},
        {0x1234, 0x5721, TRUE, ENDPOINT_KIND_LINE, 0, 18},
        {0x0B05, 0x180F, TRUE, ENDPOINT_KIND_RECORDING, 0, 16},
        {0x1234, 0x5721, FALSE, ENDPOINT_KIND_SPEAKER, 0, 0},
        {0x1234, 0x5721, FALSE, ENDPOINT_KIND_SPDIF, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << row.Vendor << ":" << row.Product << " kind " << row.Kind);
        PUNKNOWN unknown = nullptr;
        ASSERT_EQ(Uac2Function::Create(&unknown, nullptr, row.Vendor, row.Product), STATUS_SUCCESS);
        PVOID raw = nullptr;
        ASSERT_EQ(unknown->QueryInterface(IID_IAudioHal, &raw), STATUS_SUCCESS);
        auto* hal = static_cast<IAudioHal*>(raw);
        AudioCapabilities block;
        std::memset(&block, 0xCC, sizeof block);
        EXPECT_EQ(hal->GetCapabilities(row.Capture, row.Kind, &block), STATUS_SUCCESS);
        EXPECT_EQ(block.ControlMask, row.Mask);
        EXPECT_EQ(block.Flags, row.Flags);
        EXPECT_EQ(block.Value, 0u);
        const auto* bytes = reinterpret_cast<const UCHAR*>(&block);
        for (size_t i : {4, 8, 12, 20, 28}) {
            EXPECT_EQ(bytes[i], 0) << i;
        }
        EXPECT_EQ(hal->GetCapabilities(row.Capture, row.Kind, nullptr), STATUS_UNSUCCESSFUL);
        hal->Release();
        unknown->Release();
    }
}

// ---- the status thread ----

struct Messages {
    std::mutex Lock;
    std::vector<ULONG> Ids;
    static VOID Record(PVOID context, PVOID argument1, PVOID)
    {
        auto* self = static_cast<Messages*>(context);
        const auto* message = static_cast<const EntityChangeMessage*>(argument1);
        std::lock_guard<std::mutex> guard(self->Lock);
        self->Ids.push_back(message->EntityId);
    }
    std::vector<ULONG> Seen()
    {
        std::lock_guard<std::mutex> guard(Lock);
        return Ids;
    }
};

class Uac2StatusThreadTest : public Uac2Fixture {
protected:
    // Posts raw interrupt data and waits until the thread has read it and asked again.
    void Post(Bytes message)
    {
        const size_t before = Reads(0x83);
        m_device->PostIn(0x83, std::move(message));
        EXPECT_TRUE(
            platform::RunUntil([&] { return Reads(0x83) > before && m_bus->PendingCount() > 0; }, std::chrono::seconds(2)));
    }
    bool ThreadRunning() { return Function()->InterruptPipeIndex() != NO_INTERRUPT_PIPE; }
};

// The headset: feature unit 2 carries the render volume (entity 3) and mute (entity 2).
TEST_F(Uac2StatusThreadTest, OnlyCurChangesOfTheAudioControlInterfaceReachTheirUnit)
{
    PlugProfile("uac2-headset.json");
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    Messages messages;
    PVOID registration = nullptr;
    ASSERT_EQ(Function()->RegisterCallback(Messages::Record, &messages, &registration), STATUS_SUCCESS);
    ASSERT_EQ(StartFunction(), STATUS_SUCCESS);
    ASSERT_TRUE(ThreadRunning());
    EXPECT_EQ(Function()->BulkPipeIndex(), NO_INTERRUPT_PIPE);
    struct Row {
        const char* Name;
        Bytes Message;  // bInfo, bAttribute, channel, selector, interface, entity
    } ignored[] = {
        {"vendor-specific bInfo", {0x01, 0x01, 0x00, 0x02, 0x00, 0x02}},
        {"from an endpoint", {0x02, 0x01, 0x00, 0x02, 0x00, 0x02}},
        {"RANGE change", {0x00, 0x02, 0x00, 0x02, 0x00, 0x02}},
        {"another interface", {0x00, 0x01, 0x00, 0x02, 0x01, 0x02}},
        {"five bytes", {0x00, 0x01, 0x00, 0x02, 0x00}},
        {"an entity no unit carries", {0x00, 0x01, 0x00, 0x02, 0x00, 0x63}},
        {"selector 0x00", {0x00, 0x01, 0x00, 0x00, 0x00, 0x02}},
        {"selector 0x80", {0x00, 0x01, 0x00, 0x80, 0x00, 0x02}},
        {"selector 0xFF", {0x00, 0x01, 0x00, 0xFF, 0x00, 0x02}},
    };
    for (const Row& row : ignored) {
        SCOPED_TRACE(row.Name);
        Post(row.Message);
        EXPECT_TRUE(ThreadRunning());
    }
    // A volume change: the unit names its volume entity, which is announced once; then a mute
    // change names the mute entity. The thread reads in order: nothing ignored came in between.
    Post({0x00, 0x01, 0x00, 0x02, 0x00, 0x02});
    Post({0x00, 0x01, 0x00, 0x01, 0x00, 0x02});
    EXPECT_TRUE(platform::RunUntil([&] { return messages.Seen().size() >= 2; }, std::chrono::seconds(2)));
    EXPECT_EQ(messages.Seen(), std::vector<ULONG>({3, 2}));
    EXPECT_EQ(StopFunction(), STATUS_SUCCESS);
    EXPECT_FALSE(ThreadRunning());
    Function()->UnregisterCallback(registration);
}

TEST_F(Uac2StatusThreadTest, TheThreadHoldsOneDeviceReferenceAndEndsOnATransferError)
{
    PlugProfile("uac2-headset.json");
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    const LONG references = m_usb->GetReferenceCount();
    const size_t threads = platform::ThreadLiveCount();
    ASSERT_EQ(StartFunction(), STATUS_SUCCESS);
    ASSERT_TRUE(platform::RunUntil([&] { return m_bus->PendingCount() > 0; }, std::chrono::seconds(2)));
    const LONG running = m_usb->GetReferenceCount();
    EXPECT_GT(running, references);
    for (int i = 0; i < 5; ++i) {
        Post({0x00, 0x01, 0x00, 0x02, 0x00, 0x02});
    }
    // Each resubmission's own reference is let go again.
    EXPECT_TRUE(platform::RunUntil([&] { return m_usb->GetReferenceCount() == running; }, std::chrono::seconds(2)));
    // A failed read ends the thread by itself, releasing its reference; Stop then finds it gone.
    m_device->FailTransfers(0x83, 1, USBD_STATUS_DEV_NOT_RESPONDING);
    m_device->PostIn(0x83, {0x00, 0x01, 0x00, 0x02, 0x00, 0x02});
    ASSERT_TRUE(platform::RunUntil([&] { return platform::ThreadLiveCount() == threads; }, std::chrono::seconds(2)));
    EXPECT_EQ(m_usb->GetReferenceCount(), running - 1);
    EXPECT_EQ(StopFunction(), STATUS_SUCCESS);
    EXPECT_FALSE(ThreadRunning());
    EXPECT_EQ(m_bus->PendingCount(), 0u);
}

TEST_F(Uac2StatusThreadTest, PipesOfTheAudioControlInterface)
{
    struct Row {
        const char* Name;
        std::vector<std::tuple<uint8_t, uint8_t, uint16_t>> Pipes;  // address, attributes, packet size
        UCHAR Interrupt, Bulk;
    } rows[] = {
        {"interrupt then bulk", {{0x83, 0x03, 6}, {0x84, 0x02, 64}}, 0, 1},
        {"bulk then interrupt", {{0x84, 0x02, 64}, {0x83, 0x03, 6}}, 1, 0},
        {"an 8-byte interrupt pipe: no thread", {{0x83, 0x03, 8}, {0x84, 0x02, 64}}, 0xFF, 0xFF},
        {"a second interrupt pipe ends the scan", {{0x83, 0x03, 6}, {0x85, 0x03, 6}, {0x84, 0x02, 64}}, 0, 0xFF},
        {"OUT pipes do not count", {{0x03, 0x03, 6}, {0x04, 0x02, 64}, {0x83, 0x03, 6}}, 2, 0xFF},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        sim::DescriptorBuilder b({0x1234, 0x5799, 0x0100, 0x0200, 1, 2, 0});
        b.AudioControl(0, 0x20, {1}, 0x04);
        for (const Bytes& d : RenderPath()) b.Raw(d);
        for (const auto& [address, attributes, size] : row.Pipes) b.Endpoint(address, attributes, size, 4, false);
        b.AudioStreaming(1, 0, 0x20).AudioStreaming(1, 1, 0x20);
        for (const Bytes& d : PcmStream()) b.Raw(d);
        b.Endpoint(0x01, 0x05, 200, 1, false).Uac2AsEndpoint();
        PlugBuilt(b);
        ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
        ASSERT_EQ(StartFunction(), STATUS_SUCCESS);
        EXPECT_EQ(Function()->InterruptPipeIndex(), row.Interrupt);
        EXPECT_EQ(Function()->BulkPipeIndex(), row.Bulk);
        if (row.Bulk != 0xFF) {
            // Bulk data is dropped and the read sent again.
            ASSERT_TRUE(platform::RunUntil([&] { return m_bus->PendingCount() == 2; }, std::chrono::seconds(2)));
            m_device->PostIn(0x84, Bytes(100, 0x5A));
            EXPECT_TRUE(platform::RunUntil([&] { return Reads(0x84) == 1 && m_bus->PendingCount() == 2; },
                                           std::chrono::seconds(2)));
        }
        EXPECT_EQ(StopFunction(), STATUS_SUCCESS);
        EXPECT_EQ(m_bus->PendingCount(), 0u);
        TearDown();
    }
}

TEST_F(Uac2StatusThreadTest, AThreadThatCannotBeCreatedLeavesNothingToWaitFor)
{
    sim::DescriptorBuilder b = Device(RenderPath(), PcmStream());
    PlugBuilt(b);
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    platform::ThreadFailNextCreate(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(StartFunction(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_FALSE(ThreadRunning());
    EXPECT_EQ(Function()->BulkPipeIndex(), NO_INTERRUPT_PIPE);
    EXPECT_EQ(StopFunction(), STATUS_SUCCESS);  // returns at once
    ASSERT_EQ(StartFunction(), STATUS_SUCCESS);
    EXPECT_TRUE(ThreadRunning());
    // The destructor ends the running thread itself (TearDown releases the device unstopped).
}

// ---- allocation failures ----

TEST_F(Uac2FunctionTest, EveryAllocationFailureOfTheStartFailsCleanly)
{
    bool reachedEnd = false;
    for (uint64_t n = 1; n < 2000 && !reachedEnd; ++n) {
        SCOPED_TRACE(n);
        PlugProfile("uac2-headset.json");
        const uint64_t injected = platform::PoolInjectedFailures();
        NTSTATUS status = StartFailingAllocation(n);
        if (NT_SUCCESS(status) && m_usb != nullptr) {
            status = StartFunction();
        }
        platform::PoolClearFailures();
        reachedEnd = platform::PoolInjectedFailures() == injected;
        if (!NT_SUCCESS(status)) {
            EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_UNSUCCESSFUL ||
                        status == STATUS_INVALID_PARAMETER || status == STATUS_NO_MEMORY)
                << std::hex << status;
        }
        if (m_usb != nullptr) {
            StopFunction();  // a device whose start failed has nothing to stop
        }
        EXPECT_EQ(m_bus->PendingCount(), 0u);
        TearDown();
    }
    EXPECT_TRUE(reachedEnd);
}

}  // namespace
}  // namespace kvxtest

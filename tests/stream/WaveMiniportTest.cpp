#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "platform/nt/Clock.h"
#include "platform/nt/Machine.h"
#include "platform/nt/PoolHost.h"
#include "platform/portcls/PortClsHost.h"
#include "stream/WaveMiniport.h"
#include "tests/adapter/driver/AdapterDoubles.h"
#include "tests/adapter/EntityDoubles.h"
#include "topology/TopologyAutomation.h"
#include "topology/TopologyMiniport.h"

namespace kvxtest {
namespace {

const GUID& PCM = KSDATAFORMAT_SUBTYPE_PCM;
const GUID& FLOAT = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;

std::vector<WaveFormatRecord> HeadsetFormats()
{
    return {TestFormat(2, 44100, 16, PCM), TestFormat(2, 48000, 16, PCM), TestFormat(2, 44100, 24, PCM),
            TestFormat(2, 48000, 24, PCM)};
}

// One endpoint with the given formats and entities in a registry of its own, and a wave miniport
// for it whose Init ran against a WaveCyclic port.
class WaveMiniportTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        ReleaseMiniport();
        if (m_port != nullptr) m_port->Release();
        if (m_hal != nullptr) m_hal->NonDelegatingRelease();
        EXPECT_EQ(platform::PcLivePortCount(), 0u);
    }

    void Build(bool capture, const std::vector<WaveFormatRecord>& formats, PCWSTR name = u"HPOut00")
    {
        m_nextId = 1;
        m_hal = TestHal::New();
        m_hal->m_Configure = [&](TestHal* hal) {
            m_endpoint = new (NonPagedPoolNx, TEST_ENTITY_TAG) StreamEngine(nullptr, 1);
            m_endpoint->NonDelegatingAddRef();
            NTSTATUS status = m_endpoint->Init(capture);
            for (const auto& f : formats) {
                if (NT_SUCCESS(status)) status = m_endpoint->AddFormat(&f);
            }
            if (NT_SUCCESS(status)) status = m_endpoint->SetName(name);
            if (NT_SUCCESS(status)) status = hal->AddEndpoint(m_endpoint);
            m_endpoint->NonDelegatingRelease();
            return status;
        };
        ASSERT_EQ(m_hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
        PPORT port = nullptr;
        ASSERT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
        PVOID raw = nullptr;
        ASSERT_EQ(port->QueryInterface(IID_IPortWaveCyclic, &raw), STATUS_SUCCESS);
        port->Release();
        m_port = static_cast<PPORTWAVECYCLIC>(raw);
    }

    // A terminal entity, registered and (when linked) on the endpoint's path.
    TestEntity* Terminal(LONG type, ULONG kind, bool linked = true)
    {
        TestEntity* e = TestEntity::New(m_nextId++, type);
        e->m_bTerminal = true;
        e->m_ulKind = kind;
        m_hal->AddEntity(e);
        if (linked) m_endpoint->AddEntity(e);
        e->Release();
        return e;
    }

    NTSTATUS Create()
    {
        PUNKNOWN unknown = nullptr;
        NTSTATUS status = CreateMiniportWaveCyclic(&unknown, GUID_NULL, nullptr, NonPagedPoolNx, 0);
        if (!NT_SUCCESS(status)) return status;
        PVOID raw = nullptr;
        status = unknown->QueryInterface(IID_IMiniportWaveCyclic, &raw);
        unknown->Release();
        m_miniport = static_cast<WaveMiniport*>(static_cast<IMiniportWaveCyclic*>(raw));
        return status;
    }

    NTSTATUS CreateAndInit()
    {
        NTSTATUS status = Create();
        return NT_SUCCESS(status) ? m_miniport->Init(m_hal->GetNonDelegatingUnknown(), nullptr, m_port) : status;
    }

    void ReleaseMiniport()
    {
        if (m_miniport != nullptr) static_cast<IMiniportWaveCyclic*>(m_miniport)->Release();
        m_miniport = nullptr;
    }

    const WaveDataRange& Range(ULONG i)
    {
        return *reinterpret_cast<const WaveDataRange*>(m_miniport->GetDataRangeList()[2 * i]);
    }

    TestHal* m_hal = nullptr;
    StreamEngine* m_endpoint = nullptr;
    PPORTWAVECYCLIC m_port = nullptr;
    WaveMiniport* m_miniport = nullptr;
    ULONG m_nextId = 1;
};

TEST_F(WaveMiniportTest, RangesMergePerSubformatWithPcmFirstEachFollowedByTheModeAttribute)
{
    std::vector<WaveFormatRecord> formats = {TestFormat(2, 48000, 32, FLOAT)};
    for (const auto& f : HeadsetFormats()) formats.push_back(f);
    formats.push_back(TestFormat(2, 96000, 32, VendorRawSubformat));
    Build(false, formats);
    ASSERT_EQ(CreateAndInit(), STATUS_SUCCESS);
    // The device's two ranges, then the range of the formats the stream's format adapter converts.
    ASSERT_EQ(m_miniport->GetDataRangeListCount(), 6u);
    const KSDATARANGE_AUDIO& adapter = Range(2).Audio;
    EXPECT_TRUE(IsEqualGUID(adapter.DataRange.SubFormat, PCM));
    EXPECT_EQ(adapter.MaximumChannels, 8u);
    EXPECT_EQ(adapter.MinimumSampleFrequency, 44100u);
    EXPECT_EQ(adapter.MaximumSampleFrequency, 192000u);
    struct Expected {
        const GUID* Sub;
        ULONG MinBits, MaxBits, MinRate, MaxRate;
    } expected[] = {{&PCM, 16, 24, 44100, 48000}, {&FLOAT, 32, 32, 48000, 48000}};
    for (ULONG i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const KSDATARANGE_AUDIO& r = Range(i).Audio;
        EXPECT_EQ(r.DataRange.FormatSize, 88u);
        EXPECT_EQ(r.DataRange.Flags, KSDATARANGE_ATTRIBUTES);
        EXPECT_TRUE(IsEqualGUID(r.DataRange.SubFormat, *expected[i].Sub));
        EXPECT_TRUE(IsEqualGUID(r.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX));
        EXPECT_EQ(r.MaximumChannels, 2u);
        EXPECT_EQ(r.MinimumBitsPerSample, expected[i].MinBits);
        EXPECT_EQ(r.MaximumBitsPerSample, expected[i].MaxBits);
        EXPECT_EQ(r.MinimumSampleFrequency, expected[i].MinRate);
        EXPECT_EQ(r.MaximumSampleFrequency, expected[i].MaxRate);
        EXPECT_EQ(m_miniport->GetDataRangeList()[2 * i + 1],
                  reinterpret_cast<PKSDATARANGE>(const_cast<KSATTRIBUTE_LIST*>(&SignalProcessingModeAttributeList)));
    }
}

TEST_F(WaveMiniportTest, AnEndpointWithoutPcmGetsNoFilterAndKeepsNothing)
{
    const std::vector<std::vector<WaveFormatRecord>> lists = {
        {TestFormat(2, 96000, 32, VendorRawSubformat)},
        {TestFormat(2, 48000, 32, FLOAT)},
        {},
    };
    for (const auto& formats : lists) {
        SCOPED_TRACE(formats.size());
        TearDown();
        m_hal = nullptr;
        m_port = nullptr;
        Build(false, formats);
        const uint64_t serial = platform::PoolCurrentSerial();
        EXPECT_EQ(CreateAndInit(), STATUS_INSUFFICIENT_RESOURCES);
        PPCFILTER_DESCRIPTOR descriptor = nullptr;
        EXPECT_EQ(m_miniport->GetDescription(&descriptor), STATUS_DEVICE_CONFIGURATION_ERROR);
        EXPECT_EQ(descriptor, nullptr);
        // Only the miniport object itself is left.
        EXPECT_EQ(platform::PoolLiveSince(serial), 1u) << platform::PoolLeakReport(serial);
    }
}

TEST_F(WaveMiniportTest, EveryFailedAllocationOfInitLeavesNothingBehind)
{
    Build(true, HeadsetFormats());
    for (uint64_t n = 2;; ++n) {
        SCOPED_TRACE(n);
        const uint64_t serial = platform::PoolCurrentSerial();
        ASSERT_EQ(Create(), STATUS_SUCCESS);
        platform::PoolFailNthAllocation(n - 1);
        const NTSTATUS status = m_miniport->Init(m_hal->GetNonDelegatingUnknown(), nullptr, m_port);
        platform::PoolClearFailures();
        ReleaseMiniport();
        EXPECT_EQ(platform::PoolLiveSince(serial), 0u) << platform::PoolLeakReport(serial);
        if (NT_SUCCESS(status)) break;
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        ASSERT_LT(n, 40u);
    }
}

TEST_F(WaveMiniportTest, DescriptorFollowsTheDirection)
{
    for (bool capture : {false, true}) {
        SCOPED_TRACE(capture);
        TearDown();
        m_hal = nullptr;
        m_port = nullptr;
        Build(capture, HeadsetFormats());
        ASSERT_EQ(CreateAndInit(), STATUS_SUCCESS);
        PPCFILTER_DESCRIPTOR d = nullptr;
        ASSERT_EQ(m_miniport->GetDescription(&d), STATUS_SUCCESS);
        ASSERT_EQ(d->PinCount, 2u);
        ASSERT_EQ(d->NodeCount, 1u);
        ASSERT_EQ(d->ConnectionCount, 2u);
        ASSERT_EQ(d->CategoryCount, 3u);
        const KSPIN_DESCRIPTOR& streaming = d->Pins[0].KsPinDescriptor;
        const KSPIN_DESCRIPTOR& bridge = d->Pins[1].KsPinDescriptor;
        EXPECT_EQ(streaming.DataFlow, capture ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN);
        EXPECT_EQ(streaming.Communication, KSPIN_COMMUNICATION_SINK);
        EXPECT_EQ(streaming.DataRangesCount, 4u);  // the device's PCM range and the adapter's
        EXPECT_EQ(d->Pins[0].MinFilterInstanceCount, 1u);
        EXPECT_EQ(bridge.DataFlow, capture ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT);
        EXPECT_EQ(bridge.Communication, KSPIN_COMMUNICATION_NONE);
        EXPECT_EQ(bridge.DataRanges[0]->FormatSize, 64u);
        EXPECT_TRUE(IsEqualGUID(*d->Nodes[0].Type, capture ? KSNODETYPE_ADC : KSNODETYPE_DAC));
        const ULONG in = capture ? 1 : 0;
        const ULONG out = capture ? 0 : 1;
        EXPECT_EQ(d->Connections[0].FromNode, PCFILTER_NODE);
        EXPECT_EQ(d->Connections[0].FromNodePin, in);
        EXPECT_EQ(d->Connections[0].ToNodePin, 1u);
        EXPECT_EQ(d->Connections[1].ToNode, PCFILTER_NODE);
        EXPECT_EQ(d->Connections[1].ToNodePin, out);
        EXPECT_TRUE(IsEqualGUID(d->Categories[1], capture ? KSCATEGORY_CAPTURE : KSCATEGORY_RENDER));
        EXPECT_TRUE(IsEqualGUID(d->Categories[2], EnumDeviceInterfaceGuid));
        PWSTR name = nullptr;
        ASSERT_EQ(m_miniport->GetSubdeviceName(&name), STATUS_SUCCESS);
        EXPECT_EQ(std::u16string(name), u"HPOut00Wave");
    }
}

TEST_F(WaveMiniportTest, ASubdeviceNameThatCannotTakeWaveIsRefused)
{
    struct Case {
        size_t Length;
        NTSTATUS Expected;
    } cases[] = {{46, STATUS_SUCCESS}, {47, STATUS_INVALID_PARAMETER}, {50, STATUS_INVALID_PARAMETER}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Length);
        TearDown();
        m_hal = nullptr;
        m_port = nullptr;
        const std::u16string name(c.Length, u'N');
        Build(false, HeadsetFormats(), name.c_str());
        EXPECT_EQ(CreateAndInit(), c.Expected);
        PWSTR subdevice = nullptr;
        m_miniport->GetSubdeviceName(&subdevice);
        EXPECT_EQ(subdevice != nullptr, NT_SUCCESS(c.Expected));
        if (subdevice != nullptr) {
            EXPECT_EQ(std::u16string(subdevice), name + u"Wave");
        }
    }
}

struct Intersection {
    KSDATAFORMAT Header;
    WAVEFORMATEXTENSIBLE Format;
};
static_assert(sizeof(Intersection) == 104);

KSDATARANGE_AUDIO ClientRange(const GUID& specifier, const GUID& sub, ULONG channels, ULONG minBits, ULONG maxBits,
                              ULONG minRate, ULONG maxRate)
{
    KSDATARANGE_AUDIO r{};
    r.DataRange.FormatSize = sizeof(WaveDataRange);
    r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    r.DataRange.SubFormat = sub;
    r.DataRange.Specifier = specifier;
    r.MaximumChannels = channels;
    r.MinimumBitsPerSample = minBits;
    r.MaximumBitsPerSample = maxBits;
    r.MinimumSampleFrequency = minRate;
    r.MaximumSampleFrequency = maxRate;
    return r;
}

TEST_F(WaveMiniportTest, IntersectionAnswersOnlyListedFormats)
{
    // 24-bit only at 44.1 kHz: the wildcard's maxima (24 bits, 48 kHz) are not listed.
    Build(false, {TestFormat(2, 44100, 16, PCM), TestFormat(2, 48000, 16, PCM), TestFormat(2, 44100, 24, PCM),
                  TestFormat(8, 48000, 32, FLOAT)});
    ASSERT_EQ(CreateAndInit(), STATUS_SUCCESS);
    const GUID& WFX = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    const GUID& ANY = KSDATAFORMAT_SPECIFIER_WILDCARD;
    struct Case {
        const char* What;
        KSDATARANGE_AUDIO Client;
        ULONG MyRange;
        ULONG Output;
        NTSTATUS Expected;
        ULONG Rate = 0, Bits = 0, BlockAlign = 0, SampleSize = 0;
    } cases[] = {
        {"a client range within mine", ClientRange(WFX, PCM, 8, 8, 16, 8000, 48000), 0, 104, STATUS_SUCCESS, 48000,
         16, 4, 4},
        {"24 bits at 44.1 kHz", ClientRange(WFX, PCM, 2, 24, 24, 44100, 44100), 0, 104, STATUS_SUCCESS, 44100, 24, 6,
         6},
        {"float", ClientRange(WFX, FLOAT, 8, 32, 32, 48000, 48000), 1, 104, STATUS_SUCCESS, 48000, 32, 32, 32},
        {"wildcard at maxima that are not listed", ClientRange(ANY, PCM, 0, 0, 0, 0, 0), 0, 104, STATUS_NO_MATCH},
        {"rates that do not overlap", ClientRange(WFX, PCM, 2, 16, 16, 8000, 16000), 0, 104, STATUS_NO_MATCH},
        {"bits that do not overlap", ClientRange(WFX, PCM, 2, 8, 8, 8000, 48000), 0, 104, STATUS_NO_MATCH},
        {"a subformat the endpoint does not list", ClientRange(WFX, VendorRawSubformat, 2, 16, 16, 48000, 48000), 0,
         104, STATUS_NO_MATCH},
        {"direct-sound specifier", ClientRange(KSDATAFORMAT_SPECIFIER_DSOUND, PCM, 2, 16, 16, 48000, 48000), 0, 104,
         STATUS_NOT_SUPPORTED},
        {"no output", ClientRange(WFX, PCM, 2, 16, 16, 48000, 48000), 0, 0, STATUS_BUFFER_OVERFLOW},
        // The format adapter's range (after the device's PCM and float ranges): formats the
        // device lacks, with the container the device lists for the width.
        {"the adapter's range: 96 kHz, six channels", ClientRange(WFX, PCM, 6, 16, 16, 96000, 96000), 2, 104,
         STATUS_SUCCESS, 96000, 16, 12, 12},
        {"the adapter's range: its wildcard maxima", ClientRange(ANY, PCM, 0, 0, 0, 0, 0), 2, 104, STATUS_SUCCESS,
         192000, 24, 24, 0},
        {"the adapter's range: a rate it does not know", ClientRange(WFX, PCM, 2, 16, 16, 32000, 32000), 2, 104,
         STATUS_NO_MATCH},
        {"a short output", ClientRange(WFX, PCM, 2, 16, 16, 48000, 48000), 0, 100, STATUS_BUFFER_TOO_SMALL},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        Intersection result{};
        ULONG length = 0;
        KSDATARANGE_AUDIO client = c.Client;
        const NTSTATUS status = m_miniport->DataRangeIntersection(
            0, &client.DataRange, const_cast<PKSDATARANGE>(&Range(c.MyRange).Audio.DataRange), c.Output, &result,
            &length);
        EXPECT_EQ(status, c.Expected);
        if (status == STATUS_BUFFER_OVERFLOW) {
            EXPECT_EQ(length, 104u);
        }
        if (!NT_SUCCESS(status)) continue;
        EXPECT_EQ(length, 104u);
        EXPECT_EQ(result.Header.FormatSize, 104u);
        EXPECT_EQ(result.Header.SampleSize, c.SampleSize);
        EXPECT_TRUE(IsEqualGUID(result.Header.Specifier, WFX));
        EXPECT_EQ(result.Format.Format.nSamplesPerSec, c.Rate);
        EXPECT_EQ(result.Format.Samples.wValidBitsPerSample, c.Bits);
        EXPECT_EQ(result.Format.Format.nBlockAlign, c.BlockAlign);
        EXPECT_EQ(result.Format.Format.cbSize, WAVEFORMATEXTENSIBLE_EXTRA);
    }
    // A client range too small to read as an audio range.
    KSDATARANGE_AUDIO small = ClientRange(WFX, PCM, 2, 16, 16, 48000, 48000);
    small.DataRange.FormatSize = sizeof(KSDATARANGE);
    Intersection result{};
    ULONG length = 0;
    EXPECT_EQ(m_miniport->DataRangeIntersection(0, &small.DataRange,
                                                const_cast<PKSDATARANGE>(&Range(0).Audio.DataRange), 104, &result,
                                                &length),
              STATUS_INVALID_PARAMETER);
}

TEST_F(WaveMiniportTest, WildcardIntersectsToTheListedPcmAtMyMaxima)
{
    Build(false, HeadsetFormats());
    ASSERT_EQ(CreateAndInit(), STATUS_SUCCESS);
    KSDATARANGE_AUDIO client = ClientRange(KSDATAFORMAT_SPECIFIER_WILDCARD, PCM, 0, 0, 0, 0, 0);
    Intersection result{};
    ULONG length = 0;
    ASSERT_EQ(m_miniport->DataRangeIntersection(0, &client.DataRange,
                                                const_cast<PKSDATARANGE>(&Range(0).Audio.DataRange), 104, &result,
                                                &length),
              STATUS_SUCCESS);
    const WaveFormatRecord listed = TestFormat(2, 48000, 24, PCM);
    EXPECT_EQ(std::memcmp(&result.Format, &listed, sizeof listed), 0);
    EXPECT_EQ(result.Header.Flags, KSDATARANGE_ATTRIBUTES);
    EXPECT_EQ(result.Header.SampleSize, 0u);
}

// A data format for NewStream: the header, the format and an optional attribute list.
struct StreamFormat {
    std::vector<uint8_t> Bytes;
    PKSDATAFORMAT Get() { return reinterpret_cast<PKSDATAFORMAT>(Bytes.data()); }
};

StreamFormat MakeStreamFormat(const WaveFormatRecord& wave, ULONG waveBytes, std::vector<GUID> attributes,
                              bool withList)
{
    StreamFormat f;
    const ULONG formatSize = sizeof(KSDATAFORMAT) + waveBytes;
    const ULONG listOffset = (formatSize + 7) & ~7u;
    const ULONG listSize = sizeof(KSMULTIPLE_ITEM) + static_cast<ULONG>(attributes.size()) * 40;
    f.Bytes.assign(listOffset + listSize + 64, 0);
    KSDATAFORMAT header{};
    header.FormatSize = formatSize;
    header.Flags = withList ? KSDATAFORMAT_ATTRIBUTES : 0;
    header.MajorFormat = KSDATAFORMAT_TYPE_AUDIO;
    header.SubFormat = wave.SubFormat;
    header.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    std::memcpy(f.Bytes.data(), &header, sizeof header);
    std::memcpy(f.Bytes.data() + sizeof header, &wave, waveBytes < sizeof wave ? waveBytes : sizeof wave);
    KSMULTIPLE_ITEM list{listSize, static_cast<ULONG>(attributes.size())};
    std::memcpy(f.Bytes.data() + listOffset, &list, sizeof list);
    for (size_t i = 0; i < attributes.size(); ++i) {
        KSATTRIBUTE_AUDIOSIGNALPROCESSING_MODE a{};
        a.AttributeHeader.Size = sizeof a;
        a.AttributeHeader.Attribute = KSATTRIBUTEID_AUDIOSIGNALPROCESSING_MODE;
        if (IsEqualGUID(attributes[i], GUID_NULL)) a.AttributeHeader.Attribute = KSDATAFORMAT_TYPE_AUDIO;
        a.SignalProcessingMode = attributes[i];
        std::memcpy(f.Bytes.data() + listOffset + sizeof list + i * 40, &a, sizeof a);
    }
    return f;
}

TEST_F(WaveMiniportTest, NewStreamChecksFormatAndModeBeforeRefusing)
{
    Build(false, HeadsetFormats());
    ASSERT_EQ(CreateAndInit(), STATUS_SUCCESS);
    const WaveFormatRecord listed = TestFormat(2, 48000, 16, PCM);
    const WaveFormatRecord unlisted = TestFormat(2, 32000, 16, PCM);  // no rate the adapter knows
    WaveFormatRecord plain = listed;
    plain.Format.wFormatTag = WAVE_FORMAT_PCM;
    plain.Format.cbSize = 0;
    const GUID& RAW = AUDIO_SIGNALPROCESSINGMODE_RAW;
    const GUID& DEFAULT = AUDIO_SIGNALPROCESSINGMODE_DEFAULT;
    struct Case {
        const char* What;
        StreamFormat Format;
        NTSTATUS Expected;
    } cases[] = {
        {"extensible", MakeStreamFormat(listed, 40, {}, false), STATUS_SUCCESS},
        {"plain PCM in 82 bytes", MakeStreamFormat(plain, 18, {}, false), STATUS_SUCCESS},
        {"RAW mode", MakeStreamFormat(listed, 40, {RAW}, true), STATUS_SUCCESS},
        {"an empty attribute list", MakeStreamFormat(listed, 40, {}, true), STATUS_SUCCESS},
        {"another mode", MakeStreamFormat(listed, 40, {DEFAULT}, true), STATUS_INVALID_DEVICE_REQUEST},
        {"another attribute", MakeStreamFormat(listed, 40, {GUID_NULL}, true), STATUS_NOT_SUPPORTED},
        {"an unlisted format", MakeStreamFormat(unlisted, 40, {}, false), STATUS_INVALID_PARAMETER},
        {"a size no layout has", MakeStreamFormat(listed, 30, {}, false), STATUS_INVALID_PARAMETER},
        // An extensible format announced in an 82-byte request would be read past its end.
        {"extensible in 82 bytes", MakeStreamFormat(listed, 18, {}, false), STATUS_INVALID_PARAMETER},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.What);
        PMINIPORTWAVECYCLICSTREAM stream = nullptr;
        PDMACHANNEL dma = nullptr;
        PSERVICEGROUP group = nullptr;
        EXPECT_EQ(m_miniport->NewStream(&stream, nullptr, NonPagedPoolNx, 0, FALSE, c.Format.Get(), &dma, &group),
                  c.Expected);
        EXPECT_EQ(stream != nullptr, NT_SUCCESS(c.Expected));
        EXPECT_EQ(dma != nullptr, NT_SUCCESS(c.Expected));
        EXPECT_EQ(group != nullptr, NT_SUCCESS(c.Expected));
        EXPECT_EQ(m_miniport->GetStreamCount(), NT_SUCCESS(c.Expected) ? 1 : 0);
        if (stream != nullptr) stream->Release();
        if (dma != nullptr) dma->Release();
        if (group != nullptr) group->Release();
        EXPECT_EQ(m_miniport->GetStreamCount(), 0);
        EXPECT_EQ(m_miniport->IsStreamPresent(), 0u);
    }
    // One stream at a time.
    m_miniport->SetStreamPresent(1);
    StreamFormat format = MakeStreamFormat(listed, 40, {}, false);
    PMINIPORTWAVECYCLICSTREAM stream = nullptr;
    EXPECT_EQ(m_miniport->NewStream(&stream, nullptr, NonPagedPoolNx, 0, FALSE, format.Get(), nullptr, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    m_miniport->SetStreamPresent(0);
}

TEST_F(WaveMiniportTest, ModesPowerAndStreamCount)
{
    Build(false, HeadsetFormats());
    ASSERT_EQ(CreateAndInit(), STATUS_SUCCESS);
    GUID modes[2] = {};
    struct Case {
        ULONG Pin;
        GUID* Modes;
        ULONG Count;
        NTSTATUS Expected;
        ULONG CountAfter;
    } cases[] = {
        {0, modes, 2, STATUS_SUCCESS, 1},
        {0, modes, 0, STATUS_BUFFER_TOO_SMALL, 1},
        {0, nullptr, 0, STATUS_SUCCESS, 1},
        {1, modes, 2, STATUS_NOT_SUPPORTED, 2},
    };
    for (const Case& c : cases) {
        ULONG count = c.Count;
        EXPECT_EQ(m_miniport->GetModes(c.Pin, c.Modes, &count), c.Expected);
        EXPECT_EQ(count, c.CountAfter);
    }
    EXPECT_TRUE(IsEqualGUID(modes[0], AUDIO_SIGNALPROCESSINGMODE_RAW));
    EXPECT_EQ(m_miniport->GetModes(0, modes, nullptr), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(m_miniport->GetDevicePowerState(), ULONG(PowerDeviceD0));
    for (DEVICE_POWER_STATE s : {PowerDeviceD3, PowerDeviceUnspecified, PowerDeviceMaximum}) {
        POWER_STATE state;
        state.DeviceState = s;
        m_miniport->PowerChangeNotify(state);
    }
    EXPECT_EQ(m_miniport->GetDevicePowerState(), ULONG(PowerDeviceD3));

    EXPECT_EQ(KeReadStateEvent(m_miniport->GetNoStreamEvent()), 1);
    m_miniport->OnStreamCreated();
    m_miniport->OnStreamCreated();
    m_miniport->OnStreamDeleted();
    EXPECT_EQ(KeReadStateEvent(m_miniport->GetNoStreamEvent()), 0);
    m_miniport->OnStreamDeleted();
    EXPECT_EQ(KeReadStateEvent(m_miniport->GetNoStreamEvent()), 1);
}

TEST_F(WaveMiniportTest, PrivatePropertiesCheckSetIdAndSize)
{
    Build(false, HeadsetFormats());
    ASSERT_EQ(CreateAndInit(), STATUS_SUCCESS);
    const PCPROPERTY_ITEM* items = WaveFilterAutomationTable.Properties;
    const PCPROPERTY_ITEM wrongId = {&DriverPropertySetIid, 2, PCPROPERTY_ITEM_FLAG_GET, nullptr};
    uint8_t value[64] = {};
    WaveFormatRecord listed = TestFormat(2, 44100, 24, PCM);
    WaveFormatRecord unlisted = TestFormat(2, 96000, 24, PCM);
    struct Case {
        const char* What;
        const PCPROPERTY_ITEM* Item;
        void* Value;
        ULONG Size;
        NTSTATUS Expected;
    } cases[] = {
        {"capabilities", &items[0], value, 32, STATUS_SUCCESS},
        {"capabilities in 31 bytes", &items[0], value, 31, STATUS_INVALID_DEVICE_REQUEST},
        {"capabilities under another id", &wrongId, value, 32, STATUS_INVALID_DEVICE_REQUEST},
        {"a listed format", &items[1], &listed, 40, STATUS_SUCCESS},
        {"an unlisted format", &items[1], &unlisted, 40, STATUS_NO_MATCH},
        {"a format in 39 bytes", &items[1], &listed, 39, STATUS_INVALID_PARAMETER},
        {"no value", &items[1], nullptr, 40, STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        PCPROPERTY_REQUEST request{};
        request.MajorTarget = reinterpret_cast<PUNKNOWN>(static_cast<IMiniportWaveCyclic*>(m_miniport));
        request.PropertyItem = c.Item;
        request.Value = c.Value;
        request.ValueSize = c.Size;
        const auto handler = c.Item == &wrongId ? WaveMiniport::CapabilitiesPropertyHandler : c.Item->Handler;
        EXPECT_EQ(handler(&request), c.Expected);
        EXPECT_EQ(request.ValueSize, c.Size);
    }
}

TEST_F(WaveMiniportTest, ConnectionPinIsTheStreamingTerminalOfTheEndpointsDirection)
{
    Build(false, HeadsetFormats());
    // Render: input terminals of kind 0 qualify; the last one linked wins.
    Terminal(ENTITY_INPUT_TERMINAL, ENDPOINT_KIND_STREAM);                 // 1
    Terminal(ENTITY_OUTPUT_TERMINAL, ENDPOINT_KIND_STREAM);                // 2: wrong direction
    Terminal(ENTITY_INPUT_TERMINAL, ENDPOINT_KIND_MICROPHONE);             // 3: not a streaming one
    Terminal(ENTITY_INPUT_TERMINAL, ENDPOINT_KIND_STREAM);                 // 4
    ASSERT_EQ(CreateAndInit(), STATUS_SUCCESS);
    ULONG value = 77;
    EXPECT_EQ(m_miniport->ResolveConnectionPin(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 4u);
}

TEST_F(WaveMiniportTest, ARenderPathThroughAMixerFindsItsStreamingTerminalUpstream)
{
    Build(false, HeadsetFormats());
    // Microphone (1) and streaming input (2) feed a mixer (3) that feeds the headphones (4); only
    // the mixer and the headphones are linked to the endpoint.
    TestEntity* microphone = Terminal(ENTITY_INPUT_TERMINAL, ENDPOINT_KIND_MICROPHONE, false);
    TestEntity* stream = Terminal(ENTITY_INPUT_TERMINAL, ENDPOINT_KIND_STREAM, false);
    TestEntity* mixer = TestEntity::New(m_nextId++, ENTITY_MIXER);
    const ULONG inputs[] = {microphone->GetId(), stream->GetId()};
    mixer->SetSources(2, inputs);
    m_hal->AddEntity(mixer);
    m_endpoint->AddEntity(mixer);
    mixer->Release();
    TestEntity* headphones = Terminal(ENTITY_OUTPUT_TERMINAL, ENDPOINT_KIND_HEADPHONES);
    const ULONG mixerId = 3;
    headphones->SetSources(1, &mixerId);
    ASSERT_EQ(CreateAndInit(), STATUS_SUCCESS);
    ULONG value = WAVE_NO_TERMINAL;
    EXPECT_EQ(m_miniport->ResolveConnectionPin(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, stream->GetId());

    // Without a streaming terminal anywhere the value stays as it was.
    stream->m_ulKind = ENDPOINT_KIND_LINE;
    value = WAVE_NO_TERMINAL;
    EXPECT_EQ(m_miniport->ResolveConnectionPin(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, WAVE_NO_TERMINAL);
}

TEST_F(WaveMiniportTest, TeardownWaitsForTheLastStream)
{
    Build(false, HeadsetFormats());
    ASSERT_EQ(CreateAndInit(), STATUS_SUCCESS);
    m_miniport->OnStreamCreated();
    WaveMiniport* miniport = m_miniport;
    m_miniport = nullptr;
    std::atomic<bool> released{false};
    platform::ClientThread releaser("releaser", [&] {
        static_cast<IMiniportWaveCyclic*>(miniport)->Release();
        released = true;
    });
    // The releaser runs until it blocks: the teardown waits while a stream lives.
    platform::RunFor(std::chrono::milliseconds(0));
    EXPECT_FALSE(released.load());
    miniport->OnStreamDeleted();
    EXPECT_TRUE(platform::RunUntil([&] { return released.load(); }, std::chrono::seconds(1)));
    releaser.Join();
}

TEST_F(WaveMiniportTest, QueriesAnswerTheMiniportInterfacesOnly)
{
    Build(false, HeadsetFormats());
    ASSERT_EQ(CreateAndInit(), STATUS_SUCCESS);
    for (const GUID* iid : {&IID_IUnknown, &IID_IMiniport, &IID_IMiniportWaveCyclic, &IID_IMiniportAudioSignalProcessing,
                            &SubdeviceNameIid, &IID_IPowerNotify}) {
        PVOID raw = nullptr;
        EXPECT_EQ(m_miniport->QueryInterface(*iid, &raw), STATUS_SUCCESS);
        static_cast<PUNKNOWN>(raw)->Release();
    }
    PVOID raw = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(m_miniport->QueryInterface(IID_IPortWaveCyclic, &raw), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(raw, nullptr);
}

}  // namespace
}  // namespace kvxtest

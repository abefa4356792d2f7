#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "adapter/SettingsStore.h"
#include "adapter/StreamEngine.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Callback.h"
#include "platform/nt/Debug.h"
#include "platform/nt/Pool.h"
#include "tests/topology/TopologyFixture.h"
#include "platform/nt/PoolHost.h"
#include "platform/nt/DebugHost.h"

namespace kvxtest {
namespace {

JackRecord Jack(ULONG mapping, ULONG color, ULONG word6 = 0)
{
    JackRecord j{};
    j.ChannelMapping = mapping;
    j.Color = color;
    j.ConnectionType = 1;
    j.GeoLocation = 1;
    j.GenLocation = 0;
    j.PortConnection = 0;
    j.Word6 = word6;
    j.IsConnected = 1;
    return j;
}

// The headset: stream terminal -> volume (2 ch) -> bass -> mute -> headphone terminal (one jack);
// mic, line and a mixer in terminal mode -> 3-input selector -> AGC -> capture terminal; a clock;
// a software mute node.
std::vector<TopologyNode*> Headset()
{
    auto* mixer = NewObject<MixerEntity>(8u);
    const ULONG mixed[] = {6, 7};
    EXPECT_EQ(mixer->SetSources(2, mixed), STATUS_SUCCESS);
    EXPECT_EQ(mixer->SetTerminalMode(TRUE), STATUS_SUCCESS);
    auto* selector = NewObject<SelectorEntity>(9u);
    const ULONG inputs[] = {6, 7, 8};
    EXPECT_EQ(selector->SetSources(3, inputs), STATUS_SUCCESS);
    auto* clock = NewObject<ClockEntity>(12u);
    const ULONG rates[] = {44100, 48000};
    EXPECT_EQ(clock->Init(2, rates), STATUS_SUCCESS);
    return {
        NewInput(1, ENDPOINT_KIND_STREAM),
        NewLevel<VolumeEntity>(2, 1, 2),
        NewLevel<BassEntity>(3, 2, 1, 0x000C0000, -0x000C0000, 0x4000),
        NewOnOff<MuteEntity>(4, 3, 2),
        NewOutput(5, 4, ENDPOINT_KIND_HEADPHONES, {Jack(3, 0x00FF00)}),
        NewInput(6, ENDPOINT_KIND_MICROPHONE, {Jack(1, 0xFF0000, 1)}),
        NewInput(7, ENDPOINT_KIND_LINE),
        mixer,
        selector,
        NewOnOff<AgcEntity>(10, 9, 1),
        NewOutput(11, 10, ENDPOINT_KIND_STREAM),
        clock,
        NewOnOff<SoftwareMuteNode>(13, 1, 1),
    };
}

constexpr char HEADSET_DUMP[] =
    "pin 0 out category {6994AD04-93EF-11D0-A3CC-00A0C9223196}\n"
    "pin 1 in category {6994AD04-93EF-11D0-A3CC-00A0C9223196}\n"
    "pin 2 out category {DFF21CE2-F70F-11D0-B917-00A0C9223196}\n"
    "pin 3 in category {DFF21BE1-F70F-11D0-B917-00A0C9223196}\n"
    "pin 4 in category {DFF21FE3-F70F-11D0-B917-00A0C9223196}\n"
    "pin 5 in category {DFF21FE1-F70F-11D0-B917-00A0C9223196} name {8C5716E6-C984-492E-A2FB-1385F2D0F3C9}\n"
    "node 0 type {02B223C0-C557-11D0-8A2B-00A0C9255AC1}\n"
    "node 1 type {E88C9BA0-C557-11D0-8A2B-00A0C9255AC1}\n"
    "node 2 type {2CEAF780-C556-11D0-8A2B-00A0C9255AC1}\n"
    "node 3 type {02B223C0-C557-11D0-8A2B-00A0C9255AC1}\n"
    "node 4 type {7607E580-C557-11D0-8A2B-00A0C9255AC1} name {185FEDE0-9905-11D1-95A9-00C04FB925D3}\n"
    "node 5 type {3A5ACC00-C557-11D0-8A2B-00A0C9255AC1}\n"
    "connection node 3 pin 0 -> filter pin 2\n"
    "connection node 4 pin 0 -> node 3 pin 1\n"
    "connection node 5 pin 0 -> node 4 pin 1\n"
    "connection filter pin 1 -> node 5 pin 1\n"
    "connection node 1 pin 0 -> filter pin 0\n"
    "connection node 2 pin 0 -> node 1 pin 1\n"
    "connection filter pin 5 -> node 2 pin 3\n"
    "connection filter pin 4 -> node 2 pin 2\n"
    "connection filter pin 3 -> node 2 pin 1\n"
    "values node 0: range 0..1 step 1 [0] 0\n"
    "values node 1: range 0..1 step 1 [0] 0\n"
    "values node 2: input 1\n"
    "values node 3: range 0..1 step 1 [0] 0 [1] 0\n"
    "values node 4: range -786432..786432 step 16384 [0] 0\n"
    "values node 5: range -6291456..786432 step 32768 [0] 0 [1] 0\n";

class TopologyMiniportTest : public TopologyFixture {};

TEST_F(TopologyMiniportTest, TheHeadsetBecomesItsFilterAndDumpsAsExpected)
{
    ASSERT_EQ(Install(Headset()), STATUS_SUCCESS);
    EXPECT_EQ(Browser().DumpTopology(u"GlobalTopo"), HEADSET_DUMP);
    // The MUX node's inputs are the selector's, in order; the selector refuses an input beyond them.
    EXPECT_EQ(Browser().Set(m_filter, host::KsTarget::Node(2), KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, ULONG{3})
                  .Status,
              STATUS_SUCCESS);
    EXPECT_EQ(Browser().Set(m_filter, host::KsTarget::Node(2), KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, ULONG{4})
                  .Status,
              STATUS_INVALID_PARAMETER);
    ULONG input = 0;
    EXPECT_EQ(Browser().Get(m_filter, host::KsTarget::Node(2), KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, &input)
                  .Status,
              STATUS_SUCCESS);
    EXPECT_EQ(input, 3u);
    const auto d = Browser().Describe(u"GlobalTopo");
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->Categories, (std::vector<GUID>{KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY, EnumDeviceInterfaceGuid}));
    for (const auto& pin : d->Pins) {
        EXPECT_EQ(pin.DataRangeCount, 1u);
        EXPECT_EQ(pin.Communication, KSPIN_COMMUNICATION_NONE);
    }
    PWSTR name = nullptr;
    ISubdeviceName* subdevice = nullptr;
    ASSERT_EQ(m_miniport->QueryInterface(SubdeviceNameIid, reinterpret_cast<PVOID*>(&subdevice)), STATUS_SUCCESS);
    ASSERT_EQ(subdevice->GetName(&name), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"GlobalTopo");
    EXPECT_EQ(subdevice->GetName(nullptr), STATUS_INVALID_PARAMETER);
    ULONG value = 5;  // the headphone terminal's id
    EXPECT_EQ(subdevice->GetBridgePin(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 2u);
    value = 12;  // the clock: no pin
    EXPECT_EQ(subdevice->GetBridgePin(&value), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(subdevice->GetBridgePin(nullptr), STATUS_INVALID_PARAMETER);
    subdevice->Release();

    // Power: D0 to D3 are recorded, other states ignored.
    TopologyMiniport* miniport = Miniport();
    POWER_STATE state{};
    state.DeviceState = PowerDeviceD3;
    miniport->PowerChangeNotify(state);
    EXPECT_EQ(miniport->GetDevicePowerState(), PowerDeviceD3);
    state.DeviceState = static_cast<DEVICE_POWER_STATE>(7);
    miniport->PowerChangeNotify(state);
    EXPECT_EQ(miniport->GetDevicePowerState(), PowerDeviceD3);
    PVOID other = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(m_miniport->QueryInterface(IID_IPortEvents, &other), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(other, nullptr);
}


TEST_F(TopologyMiniportTest, SharedNodesConnectOnceAndClocksStayOutOfTheFilter)
{
    auto* clock = NewObject<ClockEntity>(9u);
    const ULONG rate = 48000;
    ASSERT_EQ(clock->Init(1, &rate), STATUS_SUCCESS);
    auto* single = NewObject<SelectorEntity>(5u);
    const ULONG one[] = {1};
    ASSERT_EQ(single->SetSources(1, one), STATUS_SUCCESS);
    // Two streaming inputs A (1) and B (2) and a speaker: B is pin 0, A pin 1, the outputs follow.
    ASSERT_EQ(Install({NewInput(1, ENDPOINT_KIND_STREAM), NewInput(2, ENDPOINT_KIND_STREAM), clock, single,
                       NewOnOff<MuteEntity>(6, 5, 2), NewOutput(3, 6, ENDPOINT_KIND_SPEAKER),
                       NewOutput(4, 6, ENDPOINT_KIND_HEADPHONES)}),
              STATUS_SUCCESS);
    const auto d = Browser().Describe(u"GlobalTopo");
    ASSERT_TRUE(d.has_value());
    ASSERT_EQ(d->Pins.size(), 4u);
    ASSERT_EQ(d->Nodes.size(), 2u);  // the mute (0) and the single-input selector (1); no clock
    EXPECT_EQ(d->Nodes[1].Type, KSNODETYPE_DEV_SPECIFIC);
    EXPECT_EQ(d->Nodes[1].Name, KSNODETYPE_DEV_SPECIFIC);
    std::vector<std::string> got;
    for (const auto& c : d->Connections) {
        got.push_back(std::to_string(static_cast<LONG>(c.FromNode)) + "." + std::to_string(c.FromNodePin) + ">" +
                      std::to_string(static_cast<LONG>(c.ToNode)) + "." + std::to_string(c.ToNodePin));
    }
    // One connection into the mute, one out of it to each output terminal.
    EXPECT_EQ(got, (std::vector<std::string>{"0.0>-1.3", "0.0>-1.2", "1.0>0.1", "-1.1>1.1"}));
    ITopologyNode* pin0 = Miniport()->GetPinEntity(0);
    ASSERT_NE(pin0, nullptr);
    EXPECT_EQ(pin0->GetId(), 2u);
}

ULONG Refs(PUNKNOWN unknown)
{
    unknown->AddRef();
    return unknown->Release();
}

TEST_F(TopologyMiniportTest, InitRefusesFiltersItCannotBuild)
{
    struct Case {
        const char* name;
        std::function<std::vector<TopologyNode*>()> entities;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"no output terminal", [] { return std::vector<TopologyNode*>{NewInput(1, ENDPOINT_KIND_STREAM)}; },
         STATUS_UNSUCCESSFUL},
        {"output terminal without a source",
         [] {
             return std::vector<TopologyNode*>{NewInput(1, ENDPOINT_KIND_STREAM), NewObject<OutputTerminalEntity>(2u)};
         },
         STATUS_UNSUCCESSFUL},
        {"source neither node nor pin",
         [] {
             return std::vector<TopologyNode*>{NewInput(1, ENDPOINT_KIND_STREAM),
                                               NewOutput(2, 9, ENDPOINT_KIND_SPEAKER)};
         },
         STATUS_UNSUCCESSFUL},
        {"kind beyond the table",
         [] {
             return std::vector<TopologyNode*>{NewInput(1, ENDPOINT_KIND_RECORDING),
                                               NewOutput(2, 1, ENDPOINT_KIND_SPEAKER)};
         },
         STATUS_INVALID_PARAMETER},
        {"node type beyond the table",
         [] {
             auto* odd = NewObject<OnOffEntity>(3u, LONG{40});
             EXPECT_EQ(odd->Init(1, 1), STATUS_SUCCESS);
             return std::vector<TopologyNode*>{NewInput(1, ENDPOINT_KIND_STREAM), odd,
                                               NewOutput(2, 3, ENDPOINT_KIND_SPEAKER)};
         },
         STATUS_INVALID_PARAMETER},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Install(c.entities()), c.expected);
        PPCFILTER_DESCRIPTOR descriptor = nullptr;
        EXPECT_EQ(Topology()->GetDescription(&descriptor), STATUS_DEVICE_CONFIGURATION_ERROR);
        EXPECT_EQ(platform::CallbackRegistrationCount(m_hal->GetCallbackObject()), 0u);
        EXPECT_EQ(m_hal->GetReferenceCount(), 1);
        Uninstall();
        EXPECT_EQ(platform::PoolLiveCount(TOPOLOGY_MINIPORT_TAG), 0u);
    }
    // A null port.
    PUNKNOWN unknown = nullptr;
    ASSERT_EQ(CreateMiniportTopology(&unknown, GUID_NULL, nullptr, NonPagedPoolNx), STATUS_SUCCESS);
    IMiniportTopology* miniport = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&miniport)), STATUS_SUCCESS);
    EXPECT_EQ(miniport->Init(unknown, nullptr, nullptr), STATUS_INVALID_PARAMETER);
    miniport->Release();
    unknown->Release();
}

TEST_F(TopologyMiniportTest, EveryFailingAllocationAndARefusedRegistrationLeaveNothingBehind)
{
    NewHal(Headset());
    ASSERT_EQ(PcNewPort(&m_port, CLSID_PortTopology), STATUS_SUCCESS);
    IPortTopology* port = nullptr;
    ASSERT_EQ(m_port->QueryInterface(IID_IPortTopology, reinterpret_cast<PVOID*>(&port)), STATUS_SUCCESS);
    const ULONG portRefs = Refs(port);
    const LONG halRefs = m_hal->GetReferenceCount();
    PCALLBACK_OBJECT callback = m_hal->GetCallbackObject();
    auto attempt = [&](std::function<void()> inject) {
        PUNKNOWN unknown = nullptr;
        EXPECT_EQ(CreateMiniportTopology(&unknown, GUID_NULL, nullptr, NonPagedPoolNx), STATUS_SUCCESS);
        IMiniportTopology* miniport = nullptr;
        unknown->QueryInterface(IID_IMiniportTopology, reinterpret_cast<PVOID*>(&miniport));
        miniport->Release();
        inject();
        const NTSTATUS status = miniport->Init(static_cast<IAudioHal*>(m_hal), nullptr, port);
        platform::PoolClearFailures();
        if (!NT_SUCCESS(status)) {
            EXPECT_EQ(platform::CallbackRegistrationCount(callback), 0u);
            EXPECT_EQ(Refs(port), portRefs);
            EXPECT_EQ(m_hal->GetReferenceCount(), halRefs);
        } else {
            EXPECT_EQ(platform::CallbackRegistrationCount(callback), 1u);
        }
        unknown->Release();
        EXPECT_EQ(platform::CallbackRegistrationCount(callback), 0u);
        EXPECT_EQ(Refs(port), portRefs);
        EXPECT_EQ(m_hal->GetReferenceCount(), halRefs);
        EXPECT_EQ(platform::PoolLiveCount(TOPOLOGY_MINIPORT_TAG), 0u);
        return status;
    };
    // Every allocation Init makes, failed in turn: each either fails Init with 0xC000009A or is
    // one Init may do without (a custom pin name that cannot be read).
    int failures = 0;
    for (uint64_t n = 1; n <= 200; ++n) {
        SCOPED_TRACE(n);
        const uint64_t injected = platform::PoolInjectedFailures();
        const NTSTATUS status = attempt([n] { platform::PoolFailNthAllocation(n); });
        if (platform::PoolInjectedFailures() == injected) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            break;  // past the last allocation
        }
        if (!NT_SUCCESS(status)) {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            ++failures;
        }
    }
    EXPECT_GT(failures, 20);  // every record, array and the name
    EXPECT_EQ(attempt([] { platform::CallbackFailNextRegistration(); }), STATUS_UNSUCCESSFUL);
    port->Release();
}

TEST_F(TopologyMiniportTest, TheConnectionWalkEndsOnACycleAndWalksASharedGraphOnce)
{
    // A cycle: A (sources B and the stream pin) and B (source A) feed the speaker.
    {
        auto* a = NewObject<CountingMixer>(100u);
        auto* b = NewObject<CountingMixer>(101u);
        const ULONG aSources[] = {101, 1}, bSources[] = {100};
        ASSERT_EQ(a->SetSources(2, aSources), STATUS_SUCCESS);
        ASSERT_EQ(b->SetSources(1, bSources), STATUS_SUCCESS);
        ASSERT_EQ(Install({NewInput(1, ENDPOINT_KIND_STREAM), a, b, NewOutput(2, 100, ENDPOINT_KIND_SPEAKER)}),
                  STATUS_SUCCESS);
        const auto d = Browser().Describe(u"GlobalTopo");
        ASSERT_TRUE(d.has_value());
        // Nodes: B = 0, A = 1; pins: stream = 0, speaker = 1.
        std::vector<std::string> got;
        for (const auto& c : d->Connections) {
            got.push_back(std::to_string(static_cast<LONG>(c.FromNode)) + "." + std::to_string(c.FromNodePin) + ">" +
                          std::to_string(static_cast<LONG>(c.ToNode)) + "." + std::to_string(c.ToNodePin));
        }
        EXPECT_EQ(got, (std::vector<std::string>{"1.0>-1.1", "-1.0>1.2", "0.0>1.1", "1.0>0.1"}));
        Uninstall();
    }
    // A ladder of 200 mixers, each fed by the two before it: every node is walked once.
    std::vector<CountingMixer*> ladder;
    std::vector<TopologyNode*> entities{NewInput(1, ENDPOINT_KIND_STREAM)};
    for (ULONG i = 0; i < 200; ++i) {
        auto* m = NewObject<CountingMixer>(100 + i);
        std::vector<ULONG> sources = i == 0 ? std::vector<ULONG>{1}
                                     : i == 1 ? std::vector<ULONG>{100, 1}
                                              : std::vector<ULONG>{100 + i - 1, 100 + i - 2};
        ASSERT_EQ(m->SetSources(static_cast<ULONG>(sources.size()), sources.data()), STATUS_SUCCESS);
        ladder.push_back(m);
        entities.push_back(m);
    }
    entities.push_back(NewOutput(2, 299, ENDPOINT_KIND_SPEAKER));
    NewHal(entities);
    for (CountingMixer* m : ladder) m->m_Reads = 0;
    ASSERT_EQ(InstallOnHal(), STATUS_SUCCESS);
    for (CountingMixer* m : ladder) ASSERT_EQ(m->m_Reads, 1) << m->GetId();
    const auto d = Browser().Describe(u"GlobalTopo");
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->Connections.size(), 1u + 2u + 198u * 2u + 1u);
}

TEST_F(TopologyMiniportTest, PinsAndProcessingNodesKeepTheirOwnNames)
{
    const GUID in2 = platform::ParseGuid("{11111111-0000-0000-0000-000000000002}");
    const GUID in3 = platform::ParseGuid("{11111111-0000-0000-0000-000000000003}");
    const GUID line4 = platform::ParseGuid("{11111111-0000-0000-0000-000000000004}");
    const GUID procA = platform::ParseGuid("{22222222-0000-0000-0000-00000000000A}");
    const GUID procB = platform::ParseGuid("{22222222-0000-0000-0000-00000000000B}");
    ASSERT_EQ(AccessSettingsBinary(m_fdo, 2, const_cast<GUID*>(&in2), 16, u"SpdifInName_02"), STATUS_SUCCESS);
    ASSERT_EQ(AccessSettingsBinary(m_fdo, 2, const_cast<GUID*>(&in3), 16, u"SpdifInName_03"), STATUS_SUCCESS);
    ASSERT_EQ(AccessSettingsBinary(m_fdo, 2, const_cast<GUID*>(&line4), 16, u"LineInName_04"), STATUS_SUCCESS);
    auto entities = [&] {
        auto* a = NewObject<TestProcessing>(10u, procA, 2u);
        auto* b = NewObject<TestProcessing>(11u, procB, 2u);
        EXPECT_EQ(a->Init(1), STATUS_SUCCESS);
        EXPECT_EQ(b->Init(10), STATUS_SUCCESS);
        auto* mixer = NewObject<MixerEntity>(7u);
        EXPECT_EQ(mixer->SetSources(0, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(mixer->SetTerminalMode(TRUE), STATUS_SUCCESS);
        return std::vector<TopologyNode*>{NewInput(1, ENDPOINT_KIND_STREAM), a, b, NewOutput(2, 11, ENDPOINT_KIND_SPDIF),
                                          NewInput(3, ENDPOINT_KIND_SPDIF), NewInput(4, ENDPOINT_KIND_SPDIF),
                                          NewInput(5, ENDPOINT_KIND_LINE), NewInput(6, ENDPOINT_KIND_AUX), mixer};
    };
    ASSERT_EQ(Install(entities()), STATUS_SUCCESS);
    auto d = Browser().Describe(u"GlobalTopo");
    ASSERT_TRUE(d.has_value());
    ASSERT_EQ(d->Pins.size(), 7u);
    EXPECT_EQ(d->Pins[1].Name, platform::ParseGuid("{12C15946-BA58-42C1-9F11-8341E2198622}"));  // no SpdifOutName
    EXPECT_EQ(d->Pins[2].Name, in2);
    EXPECT_EQ(d->Pins[3].Name, in3);
    EXPECT_EQ(d->Pins[4].Name, line4);
    EXPECT_EQ(d->Pins[5].Name, platform::ParseGuid("{5F4BB488-A646-408A-9265-8647F9C374D4}"));
    EXPECT_EQ(d->Pins[6].Category, KSNODETYPE_ANALOG_CONNECTOR);
    ASSERT_EQ(d->Nodes.size(), 2u);
    EXPECT_EQ(d->Nodes[0].Name, procB);
    EXPECT_EQ(d->Nodes[1].Name, procA);
    Uninstall();

    // Before the 0x06000000 system: no aux name, the older stereo-mix category and no name.
    platform::SetSystemVersion(0x05010000);
    ASSERT_EQ(Install(entities()), STATUS_SUCCESS);
    d = Browser().Describe(u"GlobalTopo");
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->Pins[5].Name, GUID_NULL);
    EXPECT_EQ(d->Pins[6].Category, platform::ParseGuid("{00DFF077-96E3-11D2-AC4C-00C04F8EFB68}"));
    EXPECT_EQ(d->Pins[6].Name, GUID_NULL);
}


NTSTATUS CreateTestWave(PUNKNOWN* ppUnknown, REFCLSID, PUNKNOWN, POOL_TYPE, ULONG)
{
    *ppUnknown = NewTestMiniport(CLSID_PortWaveCyclic, u"LineIn00Wave");
    return *ppUnknown != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

StreamEngine* NewEngine()
{
    auto* engine = new (NonPagedPoolNx, STREAM_ENGINE_TAG) StreamEngine(nullptr, 1);
    engine->NonDelegatingAddRef();
    EXPECT_EQ(engine->Init(FALSE), STATUS_SUCCESS);
    return engine;
}

TEST_F(TopologyMiniportTest, TheStreamMeetsTheFilterAtItsTerminalsPinAndItsMuteNode)
{
    std::vector<TopologyNode*> entities = Headset();
    auto* mute = static_cast<SoftwareMuteNode*>(entities.back());
    StreamEngine* engine = NewEngine();
    ASSERT_EQ(engine->AllocateProcessingBuffers(), STATUS_SUCCESS);
    ASSERT_EQ(engine->AddEntity(mute), STATUS_SUCCESS);
    WaveFormatRecord format{};
    format.Format.wFormatTag = WAVE_FORMAT_PCM;
    format.Format.nChannels = 2;
    format.Format.wBitsPerSample = 16;
    format.Format.nBlockAlign = 4;
    format.Format.nSamplesPerSec = 48000;
    engine->m_CurrentWaveFormat = format;
    NewHal(entities);
    m_hal->AddEndpoint(engine);
    ASSERT_EQ(InstallOnHal(), STATUS_SUCCESS);

    // The wave filter of the endpoint whose terminal is entity 7 (the line input) meets pin 4.
    PUNKNOWN wave = nullptr;
    ASSERT_EQ(engine->SetTopologyPort(m_port, m_miniport), STATUS_SUCCESS);
    ASSERT_EQ(engine->CreateWaveSubdevice(m_fdo, nullptr, CLSID_PortWaveCyclic, CLSID_PortWaveCyclic, CreateTestWave,
                                          static_cast<IAudioHal*>(m_hal), &wave),
              STATUS_SUCCESS);
    EXPECT_EQ(engine->GetTopologyPin(), 4u);

    // A MUTE SET on the software mute node (node 0) silences the next chunk.
    std::vector<int16_t> buffer(2 * 300, 1234);
    auto process = [&] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        const NTSTATUS status = engine->ProcessBuffer(buffer.data(), static_cast<ULONG>(buffer.size() * 2));
        KeLowerIrql(old);
        return status;
    };
    ASSERT_EQ(process(), STATUS_SUCCESS);
    EXPECT_EQ(buffer[0], 1234);
    const ULONG channel = 0;
    ASSERT_EQ(Browser().Set(m_filter, host::KsTarget::Node(0), KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, ULONG{1},
                            &channel, 4)
                  .Status,
              STATUS_SUCCESS);
    ASSERT_EQ(process(), STATUS_SUCCESS);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](int16_t v) { return v == 0; }));
    // Basic support reports the node's one channel.
    std::vector<uint8_t> reply(72);
    auto r = Browser().Property(m_filter, host::KsTarget::Node(0), KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE,
                                KSPROPERTY_TYPE_BASICSUPPORT, reply.data(), 72);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Bytes, 72u);

    IUnregisterSubdevice* unregister = nullptr;
    ASSERT_EQ(wave->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister)), STATUS_SUCCESS);
    EXPECT_EQ(unregister->UnregisterSubdevice(m_fdo, wave), STATUS_SUCCESS);
    unregister->Release();
    wave->Release();
    engine->Release();
}

}  // namespace
}  // namespace kvxtest

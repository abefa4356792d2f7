#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/PnpManager.h"
#include "platform/nt/Pool.h"
#include "platform/nt/RtlString.h"
#include "platform/portcls/PortClsHost.h"
#include "platform/registry/RegistryHost.h"
#include "tests/adapter/EntityDoubles.h"
#include "tests/support/TestAdapterDriver.h"

namespace kvxtest {
namespace {

StreamEngine* NewEngine(bool capture)
{
    auto* engine = new (NonPagedPoolNx, STREAM_ENGINE_TAG) StreamEngine(nullptr, 1);
    engine->NonDelegatingAddRef();
    EXPECT_EQ(engine->Init(capture), STATUS_SUCCESS);
    return engine;
}

WaveFormatRecord Extensible(USHORT channels, ULONG rate, USHORT bits, USHORT blockAlign)
{
    WaveFormatRecord f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.nBlockAlign = blockAlign;
    f.Format.nAvgBytesPerSec = rate * blockAlign;
    f.Format.wBitsPerSample = bits;
    f.Format.cbSize = WAVEFORMATEXTENSIBLE_EXTRA;
    f.Samples.wValidBitsPerSample = bits;
    f.dwChannelMask = channels == 2 ? 3 : 0x3F;
    f.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return f;
}

// A terminal entity linked to the engine (the engine holds the reference that counts).
TestEntity* AddTerminal(StreamEngine* engine, ULONG id, LONG type, ULONG kind, bool multiOutput = false)
{
    TestEntity* e = TestEntity::New(id, type);
    e->m_bTerminal = !multiOutput;
    e->m_bMultiOutput = multiOutput;
    e->m_ulKind = kind;
    EXPECT_EQ(engine->AddEntity(e), STATUS_SUCCESS);
    e->Release();
    return e;
}

TEST(StreamEngineTest, KindFollowsTheTerminalsAndNamesItsPrefix)
{
    struct Terminal {
        LONG Type;
        ULONG Kind;
        bool Multi;
    };
    struct Case {
        const char* What;
        bool Capture;
        std::vector<Terminal> Terminals;
        ULONG Expected;
    } cases[] = {
        {"render, headphone output", false, {{ENTITY_OUTPUT_TERMINAL, 2, false}}, 2},
        {"render, a later output terminal wins", false,
         {{ENTITY_OUTPUT_TERMINAL, 1, false}, {ENTITY_OUTPUT_TERMINAL, 3, false}}, 3},
        {"render, multi-output after an output terminal", false,
         {{ENTITY_OUTPUT_TERMINAL, 1, false}, {ENTITY_MULTI_OUTPUT_TERMINAL, 4, true}}, 4},
        {"render, multi-output ends the walk", false,
         {{ENTITY_MULTI_OUTPUT_TERMINAL, 4, true}, {ENTITY_OUTPUT_TERMINAL, 1, false}}, 4},
        {"render, input terminals do not count", false, {{ENTITY_INPUT_TERMINAL, 7, false}}, 0},
        {"capture, microphone and line", true,
         {{ENTITY_INPUT_TERMINAL, 7, false}, {ENTITY_INPUT_TERMINAL, 6, false}}, 18},
        {"capture, a streaming terminal does not count", true,
         {{ENTITY_INPUT_TERMINAL, 7, false}, {ENTITY_INPUT_TERMINAL, 0, false}}, 7},
        {"capture, nothing", true, {}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        StreamEngine* engine = NewEngine(c.Capture);
        ULONG id = 1;
        for (const Terminal& t : c.Terminals) AddTerminal(engine, id++, t.Type, t.Kind, t.Multi);
        EXPECT_EQ(engine->GetKind(), c.Expected);
        engine->Release();
    }

    const char16_t* expected[] = {u"Stream",    u"SPK",          u"HP",        u"SPDIF", u"HDMI",
                                  u"DisplayPort", u"Line",       u"Mic",       u"Aux",   u"CD",
                                  u"Video",     u"FMic",         u"Telephone", u"HandSet", u"HeadSet",
                                  u"Speakerphone", u"StereoMix", u"FHP",       u"Rec"};
    static_assert(sizeof expected / sizeof expected[0] == ENDPOINT_KIND_COUNT);
    for (ULONG k = 0; k < ENDPOINT_KIND_COUNT; ++k) {
        EXPECT_EQ(std::u16string(EndpointKindPrefix[k]), expected[k]) << k;
    }
}

TEST(StreamEngineTest, NamesUpToFiftyCharacters)
{
    StreamEngine* engine = NewEngine(false);
    std::u16string fifty(50, u'x');
    EXPECT_EQ(engine->SetName(fifty.c_str()), STATUS_SUCCESS);
    WCHAR out[100];
    ASSERT_EQ(engine->GetName(out), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(out), fifty);
    EXPECT_EQ(engine->SetName((fifty + u"y").c_str()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(engine->SetName(u"HPOut00"), STATUS_SUCCESS);
    ASSERT_EQ(engine->GetName(out), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(out), u"HPOut00");
    EXPECT_EQ(engine->SetName(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(engine->GetName(nullptr), STATUS_INVALID_PARAMETER);
    engine->Release();
}

TEST(StreamEngineTest, TwoChannelKindsServeTheirTwoChannelFormatsAndFindAnyListedOne)
{
    StreamEngine* engine = NewEngine(false);
    TestEntity* terminal = AddTerminal(engine, 1, ENTITY_OUTPUT_TERMINAL, ENDPOINT_KIND_HEADPHONES);
    const WaveFormatRecord stereo = Extensible(2, 48000, 24, 6);
    const WaveFormatRecord six = Extensible(6, 48000, 16, 12);
    ASSERT_EQ(engine->AddFormat(&stereo), STATUS_SUCCESS);
    ASSERT_EQ(engine->AddFormat(&six), STATUS_SUCCESS);
    EXPECT_EQ(engine->GetFormatCount(), 1u);
    WaveFormatRecord got{};
    ASSERT_EQ(engine->GetFormat(0, &got), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&got, &stereo, sizeof got), 0);
    EXPECT_EQ(engine->GetFormat(1, &got), STATUS_INVALID_PARAMETER);
    WaveFormatRecord request = six;
    EXPECT_EQ(engine->FindFormat(&request), STATUS_SUCCESS);
    terminal->m_ulKind = ENDPOINT_KIND_SPEAKER;
    EXPECT_EQ(engine->GetFormatCount(), 2u);
    engine->Release();
}

TEST(StreamEngineTest, FindFormatMatchesExactlyOrFillsAPlainRequestFromTheList)
{
    StreamEngine* unset = new (NonPagedPoolNx, STREAM_ENGINE_TAG) StreamEngine(nullptr, 1);
    unset->NonDelegatingAddRef();
    WaveFormatRecord any = Extensible(2, 48000, 24, 6);
    EXPECT_EQ(unset->FindFormat(&any), STATUS_NO_MATCH);
    unset->Release();

    StreamEngine* engine = NewEngine(false);
    const WaveFormatRecord listed = Extensible(2, 48000, 24, 6);
    ASSERT_EQ(engine->AddFormat(&listed), STATUS_SUCCESS);

    WaveFormatRecord plain{};
    plain.Format = {WAVE_FORMAT_PCM, 2, 48000, 0, 6, 24, 0};
    ASSERT_EQ(engine->FindFormat(&plain), STATUS_SUCCESS);
    EXPECT_EQ(plain.Format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(plain.Format.cbSize, 0);
    EXPECT_EQ(plain.Format.nAvgBytesPerSec, 288000u);
    EXPECT_EQ(plain.Format.nBlockAlign, 6);

    struct Case {
        const char* What;
        WaveFormatRecord Request;
        NTSTATUS Expected;
    } cases[] = {
        {"the listed record itself", listed, STATUS_SUCCESS},
        {"another rate", Extensible(2, 44100, 24, 6), STATUS_NO_MATCH},
        {"another block alignment", Extensible(2, 48000, 24, 8), STATUS_NO_MATCH},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        WaveFormatRecord request = c.Request;
        EXPECT_EQ(engine->FindFormat(&request), c.Expected);
        EXPECT_EQ(std::memcmp(&request, &c.Request, sizeof request), 0);  // extensible requests stay as they are
    }
    // A cbSize beyond the record: refused before any compare reaches past the 40 bytes.
    WaveFormatRecord oversized = listed;
    oversized.Format.cbSize = 0xFFFF;
    EXPECT_EQ(engine->FindFormat(&oversized), STATUS_NO_MATCH);
    WaveFormatRecord floatPlain{};
    floatPlain.Format = {WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 0, 8, 32, 0};
    EXPECT_EQ(engine->FindFormat(&floatPlain), STATUS_NO_MATCH);
    engine->Release();
}

TEST(StreamEngineTest, PresenceFollowsTheJacksOfTheTerminals)
{
    JackRecord unplugged{};
    JackRecord plugged{};
    plugged.IsConnected = 1;
    JackRecord highBitsOnly{};
    highBitsOnly.IsConnected = 0x100;  // only the low byte counts
    struct Case {
        const char* What;
        bool Capture;
        LONG Type;
        ULONG Kind;
        std::vector<JackRecord> Jacks;
        bool Present;
    } cases[] = {
        {"second of two jacks plugged", false, ENTITY_OUTPUT_TERMINAL, 2, {unplugged, plugged}, true},
        {"no jacks at all", false, ENTITY_OUTPUT_TERMINAL, 1, {}, true},
        {"every jack unplugged", false, ENTITY_OUTPUT_TERMINAL, 2, {unplugged, highBitsOnly}, false},
        {"a streaming terminal is not eligible", false, ENTITY_OUTPUT_TERMINAL, 0, {}, false},
        {"capture looks at input terminals", true, ENTITY_INPUT_TERMINAL, 7, {plugged}, true},
        {"capture ignores output terminals", true, ENTITY_OUTPUT_TERMINAL, 7, {plugged}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.What);
        StreamEngine* engine = NewEngine(c.Capture);
        AddTerminal(engine, 1, c.Type, c.Kind)->m_Jacks = c.Jacks;
        EXPECT_EQ(engine->IsPresent() != FALSE, c.Present);
        engine->Release();
    }
}

TEST(StreamEngineTest, ClientListsKeepTheLargerKindFirstAndTheNewerOfEqualKinds)
{
    StreamEngine* engine = NewEngine(false);
    auto client = [](ULONG kind, uintptr_t handle) {
        EndpointClient c{};
        c.ClientKind = kind;
        c.Registration = reinterpret_cast<PVOID>(handle);
        return c;
    };
    EndpointClient asio = client(CLIENT_KIND_ASIO, 0x50);
    EndpointClient older = client(CLIENT_KIND_WAVE_STREAM, 0x31);
    EndpointClient newer = client(CLIENT_KIND_WAVE_STREAM, 0x32);
    EndpointClient seven = client(7, 0x70);
    ASSERT_EQ(engine->InsertStartedClient(&asio), STATUS_SUCCESS);
    ASSERT_EQ(engine->InsertStartedClient(&older), STATUS_SUCCESS);
    ASSERT_EQ(engine->InsertStartedClient(&newer), STATUS_SUCCESS);
    EXPECT_EQ(engine->GetTopStartedClient(), &asio);
    EXPECT_EQ(engine->RemoveStartedClient(asio.Registration), &asio);
    EXPECT_EQ(engine->GetTopStartedClient(), &newer);  // ahead of the older one of its kind
    ASSERT_EQ(engine->InsertStartedClient(&asio), STATUS_SUCCESS);
    ASSERT_EQ(engine->InsertStartedClient(&seven), STATUS_SUCCESS);
    EXPECT_EQ(engine->GetTopStartedClient(), &seven);
    for (EndpointClient* expected : {&seven, &asio, &newer, &older}) {
        EXPECT_EQ(engine->RemoveStartedClient(expected->Registration), expected);
    }
    EXPECT_EQ(engine->GetTopStartedClient(), nullptr);

    ASSERT_EQ(engine->AddRegisteredClient(&older), STATUS_SUCCESS);
    EXPECT_EQ(engine->FindRegisteredClient(older.Registration), &older);
    EXPECT_EQ(engine->FindRegisteredClient(asio.Registration), nullptr);
    EXPECT_EQ(engine->RemoveRegisteredClient(older.Registration), &older);
    ASSERT_EQ(engine->InsertRunningClient(&older), STATUS_SUCCESS);
    EXPECT_EQ(engine->GetTopRunningClient(), &older);
    EXPECT_EQ(engine->RemoveRunningClient(older.Registration), &older);

    TestClientProcessor* processor = TestClientProcessor::New();
    ASSERT_EQ(engine->AddClientProcessorA(processor), STATUS_SUCCESS);
    EXPECT_EQ(engine->RemoveClientProcessorB(processor), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(engine->RemoveClientProcessorA(processor), STATUS_SUCCESS);
    ASSERT_EQ(engine->AddClientProcessorB(processor), STATUS_SUCCESS);
    EXPECT_EQ(processor->GetReferenceCount(), 2);
    engine->DrainClientProcessorsB();
    EXPECT_EQ(processor->GetReferenceCount(), 1);
    processor->Release();
    engine->Release();
}

// ---- the wave subdevice on a started adapter ----

ULONG g_waveIndex = 0xFFFFFFFF;

NTSTATUS CreateTestWave(PUNKNOWN* ppUnknown, REFCLSID, PUNKNOWN, POOL_TYPE, ULONG index)
{
    g_waveIndex = index;
    *ppUnknown = NewTestMiniport(CLSID_PortWaveCyclic, u"HPOut00Wave");
    return *ppUnknown != nullptr ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

class StreamEngineWaveTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::RegistryReset();
        TestAdapterReset();
        TestAdapter().InstallWave = false;
        m_pnp = std::make_unique<host::PnpManager>();
        ASSERT_EQ(m_pnp->LoadDriver(u"UsbAudioTest", TestAdapterDriverEntry), STATUS_SUCCESS);
        m_pdo = m_pnp->CreateUsbDevice(0xABCD, 0x1234, 0x0100);
        ASSERT_EQ(m_pnp->AddDevice(m_pdo), STATUS_SUCCESS);
        ASSERT_EQ(m_pnp->Start(m_pdo), STATUS_SUCCESS);
        m_fdo = m_pnp->TopOfStack(m_pdo);
    }
    void TearDown() override
    {
        m_pnp.reset();
        EXPECT_EQ(platform::PcLivePortCount(), 0u);
        EXPECT_EQ(TestMiniportLiveCount(), 0u);
    }

    std::unique_ptr<host::PnpManager> m_pnp;
    PDEVICE_OBJECT m_pdo = nullptr;
    PDEVICE_OBJECT m_fdo = nullptr;
};

TEST_F(StreamEngineWaveTest, AJackChangeMakesTheWaveSubdeviceAndItsConnectionComeAndGo)
{
    for (bool capture : {false, true}) {
        SCOPED_TRACE(capture ? "capture" : "render");
        PPORT topology = nullptr;
        ASSERT_EQ(PcNewPort(&topology, CLSID_PortTopology), STATUS_SUCCESS);
        PUNKNOWN topologyMiniport = NewTestMiniport(CLSID_PortTopology, u"EngineTopo");

        StreamEngine* engine = NewEngine(capture);
        TestEntity* terminal = AddTerminal(engine, 7, capture ? ENTITY_INPUT_TERMINAL : ENTITY_OUTPUT_TERMINAL,
                                           capture ? ENDPOINT_KIND_MICROPHONE : ENDPOINT_KIND_HEADPHONES);
        JackRecord jack{};
        jack.IsConnected = 1;
        terminal->m_Jacks = {JackRecord{}, jack};
        StreamEngine* other = NewEngine(false);
        TestHal* hal = TestHal::New();
        hal->m_Configure = [&](TestHal* h) {
            h->AddEndpoint(other);
            return h->AddEndpoint(engine);
        };
        ASSERT_EQ(hal->Init(nullptr, m_fdo, nullptr, m_pdo), STATUS_SUCCESS);
        PUNKNOWN adapter = static_cast<IAudioHal*>(hal);
        ASSERT_EQ(topology->Init(m_fdo, nullptr, topologyMiniport, adapter, nullptr), STATUS_SUCCESS);
        ASSERT_EQ(PcRegisterSubdevice(m_fdo, u"EngineTopo", topology), STATUS_SUCCESS);

        EXPECT_EQ(engine->RegisterWave(m_fdo, nullptr, adapter), STATUS_UNSUCCESSFUL);  // no factory yet
        EXPECT_EQ(engine->SetMiniportFactory(nullptr, CLSID_PortWaveCyclic), STATUS_NO_SUCH_DEVICE);
        ASSERT_EQ(engine->SetMiniportFactory(CreateTestWave, CLSID_PortWaveCyclic), STATUS_SUCCESS);
        EXPECT_EQ(engine->SetTopologyPort(nullptr, topologyMiniport), STATUS_NO_SUCH_DEVICE);
        ASSERT_EQ(engine->SetTopologyPort(topology, topologyMiniport), STATUS_SUCCESS);

        auto waveRegistered = [&] {
            for (const auto& s : platform::PcSubdevices(m_fdo)) {
                if (s.Name == u"HPOut00Wave") return true;
            }
            return false;
        };
        auto expectConnection = [&] {
            const auto connections = platform::PcPhysicalConnections(m_fdo);
            ASSERT_EQ(connections.size(), 1u);
            EXPECT_EQ(connections[0].From, capture ? u"EngineTopo" : u"HPOut00Wave");
            EXPECT_EQ(connections[0].To, capture ? u"HPOut00Wave" : u"EngineTopo");
            EXPECT_EQ(connections[0].FromPin, 1u);
            EXPECT_EQ(connections[0].ToPin, 1u);
        };

        ASSERT_EQ(engine->RegisterWave(m_fdo, nullptr, adapter), STATUS_SUCCESS);
        EXPECT_EQ(g_waveIndex, 1u);  // the endpoint's index in the registry
        EXPECT_TRUE(waveRegistered());
        expectConnection();
        EXPECT_EQ(engine->GetTopologyPin(), 1u);
        EXPECT_EQ(engine->RegisterWave(m_fdo, nullptr, adapter), STATUS_SUCCESS);  // still present: once
        EXPECT_EQ(platform::PcSubdevices(m_fdo).size(), 3u);

        terminal->m_Jacks[1].IsConnected = 0;
        ASSERT_EQ(engine->RegisterWave(m_fdo, nullptr, adapter), STATUS_SUCCESS);
        EXPECT_FALSE(waveRegistered());
        EXPECT_TRUE(platform::PcPhysicalConnections(m_fdo).empty());
        EXPECT_EQ(engine->GetWavePort(), nullptr);

        terminal->m_Jacks[1].IsConnected = 1;
        ASSERT_EQ(engine->RegisterWave(m_fdo, nullptr, adapter), STATUS_SUCCESS);
        EXPECT_TRUE(waveRegistered());
        expectConnection();
        ASSERT_EQ(engine->UnregisterWave(m_fdo, nullptr, nullptr), STATUS_SUCCESS);
        EXPECT_FALSE(waveRegistered());
        EXPECT_EQ(engine->UnregisterWave(m_fdo, nullptr, nullptr), STATUS_SUCCESS);

        IUnregisterSubdevice* unregister = nullptr;
        ASSERT_EQ(topology->QueryInterface(IID_IUnregisterSubdevice, reinterpret_cast<PVOID*>(&unregister)),
                  STATUS_SUCCESS);
        EXPECT_EQ(unregister->UnregisterSubdevice(m_fdo, topology), STATUS_SUCCESS);
        unregister->Release();
        engine->Release();
        other->Release();
        hal->Release();
        topologyMiniport->Release();
        topology->Release();
        EXPECT_EQ(TestMiniportLiveCount(), 1u);  // the adapter's own topology filter
    }
}

}  // namespace
}  // namespace kvxtest

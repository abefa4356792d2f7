// The effects variant's feature unit and its two effect entities: their place among the unit's
// entities, vendor blocks that announce nothing usable, every failed allocation of the unit's
// Init, the enable byte on the device and in the registry, and, with a recording effect table
// in place of the driver's, the set-up calls, the parameters and the formats.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "dsp/EffectHooksHost.h"
#include "platform/nt/PoolHost.h"
#include "sim/VendorSwitches.h"
#include "tests/topology/Uac1UnitFixture.h"
#include "topology/V6EffectFeatureUnit.h"

namespace {

using kvxtest::Le16;

constexpr uint8_t ID = 7;
constexpr NTSTATUS BAD = STATUS_INVALID_PARAMETER;

// ---- the recording effect table ----

struct EngineDouble {
    LONG room[2] = {1, 1};
    LONG variant[2] = {0, 0};
    LONG angle[2] = {0, 0};
    LONG ctc = 0;
    WAVEFORMATEX format = {};
};
std::vector<std::string>* g_calls = nullptr;
void Call(const std::string& text)
{
    if (g_calls != nullptr) g_calls->push_back(text);
}
EngineDouble* E(HeadphoneEngine* p) { return reinterpret_cast<EngineDouble*>(p); }
const char* SetName(HeadphoneParameterSet s) { return s == HeadphoneParameterSet::Speaker ? "speaker" : "headphone"; }
int Set(HeadphoneParameterSet s) { return s == HeadphoneParameterSet::Speaker ? 1 : 0; }

EffectHooks RecordingHooks()
{
    EffectHooks h = {};
    h.CreateSpatialProcessor = [] {
        Call("spatial create");
        return reinterpret_cast<SpatialProcessor8*>(new int(0));
    };
    h.DestroySpatialProcessor = [](SpatialProcessor8* p) {
        Call("spatial destroy");
        delete reinterpret_cast<int*>(p);
    };
    h.SpatialSetFormat = [](SpatialProcessor8*, LONG rate, LONG code) {
        Call("spatial format " + std::to_string(rate) + " " + std::to_string(code));
    };
    h.SpatialProcess = [](SpatialProcessor8*, float* const*, float* const*, LONG) {};
    h.SpatialReset = [](SpatialProcessor8*) { Call("spatial reset"); };
    h.CreateHeadphoneEngine = [] {
        Call("engine create");
        return reinterpret_cast<HeadphoneEngine*>(new EngineDouble());
    };
    h.DestroyHeadphoneEngine = [](HeadphoneEngine* p) {
        Call("engine destroy");
        delete E(p);
    };
    h.HeadphoneSetFormat = [](HeadphoneEngine* p, const WAVEFORMATEX* f) -> LONG {
        E(p)->format = *f;
        Call("engine format " + std::to_string(f->wFormatTag) + " " + std::to_string(f->nChannels) + " " +
             std::to_string(f->nSamplesPerSec));
        return 1;
    };
    h.HeadphoneSetEnable = [](HeadphoneEngine*, LONG v) { Call("engine enable " + std::to_string(v)); };
    h.HeadphoneSetCtcMode = [](HeadphoneEngine* p, LONG v) {
        E(p)->ctc = v;
        Call("engine ctc " + std::to_string(v));
    };
    h.HeadphoneGetCtcMode = [](HeadphoneEngine* p) { return E(p)->ctc; };
    h.HeadphoneSetCtcAngle = [](HeadphoneEngine*, LONG v) { Call("engine ctc angle " + std::to_string(v)); };
    h.HeadphoneSetAngle = [](HeadphoneEngine* p, HeadphoneParameterSet s, LONG v) {
        E(p)->angle[Set(s)] = v;
        Call(std::string("engine ") + SetName(s) + " angle " + std::to_string(v));
    };
    h.HeadphoneGetRoom = [](HeadphoneEngine* p, HeadphoneParameterSet s) { return E(p)->room[Set(s)]; };
    h.HeadphoneSetRoom = [](HeadphoneEngine* p, HeadphoneParameterSet s, LONG v) {
        E(p)->room[Set(s)] = v;
        Call(std::string("engine ") + SetName(s) + " room " + std::to_string(v));
    };
    h.HeadphoneGetAngleVariant = [](HeadphoneEngine* p, HeadphoneParameterSet s) { return E(p)->variant[Set(s)]; };
    h.HeadphoneSetAngleVariant = [](HeadphoneEngine* p, HeadphoneParameterSet s, LONG v) {
        E(p)->variant[Set(s)] = v;
        Call(std::string("engine ") + SetName(s) + " variant " + std::to_string(v));
    };
    h.HeadphoneProcess = [](HeadphoneEngine*, float* const*, LONG) {};
    h.ProcessEffectEntity = [](EffectEntityState* s, const WaveFormatRecord*, PVOID, LONG frames) {
        Call("process " + std::to_string(s->Control) + " " + std::to_string(frames));
    };
    h.ResetEffectEntity = [](EffectEntityState* s) { Call("reset " + std::to_string(s->Control)); };
    return h;
}

class V6EffectEntityTest : public kvxtest::Uac1UnitFixture {
protected:
    void SetUp() override
    {
        Uac1UnitFixture::SetUp();
        m_device->SetControl(ID, 1, -1, {0, 0, 1, 1, 1});
        m_device->SetControl(ID, 2, -1, {-5 * 256, -60 * 256, 0, 256, 2});
        m_switches = std::make_shared<sim::VendorSwitches>();
        m_switches->Add(ID, 0x8B, 0);
        m_switches->Add(ID, 0x8C, 0);
        m_device->AddChip(m_switches);
    }
    void TearDown() override
    {
        Uac1UnitFixture::TearDown();
        if (m_installed) {
            InstallEffectHooks(nullptr);
        }
        g_calls = nullptr;
    }
    void Record()
    {
        m_hooks = RecordingHooks();
        InstallEffectHooks(&m_hooks);
        m_installed = true;
        g_calls = &m_calls;
    }
    // GET_MEM answers: the length word and the block (16 bytes, L, size, bitmaps).
    void VendorBlock(uint16_t length, UCHAR size, std::vector<UCHAR> bitmaps, std::optional<uint16_t> field = {})
    {
        Answer(0xA1, 0x85, 0x0010, ID, Le16(length));
        std::vector<UCHAR> block(16, 0);
        const auto l = Le16(field.value_or(length));
        block.insert(block.end(), l.begin(), l.end());
        block.push_back(size);
        block.insert(block.end(), bitmaps.begin(), bitmaps.end());
        Answer(0xA1, 0x85, 0x0000, ID, block);
    }
    void BothEffects() { VendorBlock(21, 2, {0x00, 0x0C}); }
    static std::vector<UCHAR> Descriptor() { return {10, 0x24, 0x06, ID, 1, 1, 0x01, 0x02, 0x02, 0}; }
    V6EffectFeatureUnit* Unit(NTSTATUS expected = STATUS_SUCCESS)
    {
        V6EffectFeatureUnit* unit = nullptr;
        EXPECT_EQ(Init<V6EffectFeatureUnit>(Descriptor(), &unit), expected);
        return unit;
    }
    template <typename T>
    T* EntityOf(UsbAudioUnit* unit, const GUID& guid)
    {
        for (TopologyNode* e : Entities(unit)) {
            if (e->GetType() != ENTITY_PROCESSING) continue;
            GUID g{};
            static_cast<EffectEntity*>(static_cast<UsbDspEntity*>(e))->GetNodeGuid(&g);
            if (IsEqualGUID(g, guid)) return static_cast<T*>(static_cast<UsbDspEntity*>(e));
        }
        return nullptr;
    }
    HeadphoneEffectEntity* Headphone(UsbAudioUnit* unit)
    {
        return EntityOf<HeadphoneEffectEntity>(unit, HEADPHONE_EFFECT_NODE_GUID);
    }
    SpatialEffectEntity* Spatial(UsbAudioUnit* unit) { return EntityOf<SpatialEffectEntity>(unit, SPATIAL_EFFECT_NODE_GUID); }
    std::u16string Name(ULONG id, int index = -1)
    {
        char text[16];
        std::snprintf(text, sizeof text, "Unit%02u_", id);
        std::u16string name(text, text + std::strlen(text));
        if (index >= 0) name += static_cast<char16_t>(u'0' + index);
        return name;
    }
    void Store(const std::u16string& name, LONG value)
    {
        uint8_t bytes[4];
        std::memcpy(bytes, &value, 4);
        platform::RegistrySetValue(SettingsKey(), name, REG_BINARY, std::vector<uint8_t>(bytes, bytes + 4));
    }
    std::optional<LONG> StoredLong(const std::u16string& name)
    {
        auto v = Stored(name);
        if (!v || v->size() != 4) return std::nullopt;
        LONG out;
        std::memcpy(&out, v->data(), 4);
        return out;
    }

    std::shared_ptr<sim::VendorSwitches> m_switches;
    EffectHooks m_hooks = {};
    bool m_installed = false;
    std::vector<std::string> m_calls;
};

TEST_F(V6EffectEntityTest, EffectEntitiesFollowTheClassControlsWithConsecutiveIds)
{
    BothEffects();
    const ULONG first = m_owner->GetEntityCount();
    V6EffectFeatureUnit* unit = Unit();
    ASSERT_EQ(Types(unit), (std::vector<LONG>{ENTITY_PROCESSING, ENTITY_PROCESSING, ENTITY_VOLUME, ENTITY_MUTE}));
    auto entities = Entities(unit);
    for (size_t i = 0; i < entities.size(); ++i) {
        EXPECT_EQ(entities[i]->GetId(), first + 3 - i);
    }
    ASSERT_NE(Spatial(unit), nullptr);
    ASSERT_NE(Headphone(unit), nullptr);
    EXPECT_EQ(Spatial(unit)->GetId(), first + 2);
    EXPECT_EQ(Headphone(unit)->GetId(), first + 3);
    ULONG count = 9;
    EXPECT_EQ(Spatial(unit)->GetParameterCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(Headphone(unit)->GetParameterCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    LONG values[2] = {};
    EXPECT_EQ(Headphone(unit)->GetParameters(0, 2, values), STATUS_SUCCESS);
    EXPECT_EQ(values[0], 1);  // the engine's first values, with an engine or without one
    EXPECT_EQ(values[1], 0);
}

TEST_F(V6EffectEntityTest, VendorBlocksThatAnnounceNothingUsableLeaveTheClassControls)
{
    struct Row {
        const char* name;
        uint16_t length;
        UCHAR size;
        std::optional<uint16_t> field;
    };
    const Row rows[] = {
        {"L under the header", 18, 2, {}},
        {"L past the reply", 40, 2, {}},
        {"L of 0xFFFF", 0xFFFF, 2, {}},
        {"size 1", 21, 1, {}},
        {"size 3", 21, 3, {}},
        {"the block's L above the length word", 21, 2, uint16_t{23}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TearDown();
        SetUp();
        VendorBlock(row.length, row.size, {0x00, 0x0C}, row.field);
        V6EffectFeatureUnit* unit = Unit();
        EXPECT_EQ(Types(unit), (std::vector<LONG>{ENTITY_VOLUME, ENTITY_MUTE}));
    }
}

TEST_F(V6EffectEntityTest, EveryFailedAllocationOfInitEndsCleanlyAndNeverLeavesTheHeadphoneAlone)
{
    Record();
    BothEffects();
    for (uint64_t n = 1;; ++n) {
        ASSERT_LT(n, 400u);
        const size_t before = m_units.size();
        V6EffectFeatureUnit* unit = Make<V6EffectFeatureUnit>();
        kvxtest::PoolDescriptor copy(Descriptor());
        const uint64_t failures = platform::PoolInjectedFailures();
        platform::PoolFailNthAllocation(n);
        const NTSTATUS status = unit->InitFromDescriptor(copy.Data, m_owner->Hal(), m_owner->Hal());
        const bool injected = platform::PoolInjectedFailures() != failures;
        platform::PoolClearFailures();
        if (!NT_SUCCESS(status)) {
            EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_UNSUCCESSFUL) << n;
            // A failed 0x8B set-up ends Init: no 0x8C entity after it.
            EXPECT_FALSE(Headphone(unit) != nullptr && Spatial(unit) == nullptr) << n;
        }
        ASSERT_EQ(m_units.size(), before + 1);
        if (!injected) {
            EXPECT_EQ(status, STATUS_SUCCESS);
            break;
        }
    }
}

TEST_F(V6EffectEntityTest, EnableGoesToTheDeviceAndTheRegistryAndIsReadBack)
{
    BothEffects();
    V6EffectFeatureUnit* unit = Unit();
    SpatialEffectEntity* spatial = Spatial(unit);
    ASSERT_NE(spatial, nullptr);
    ASSERT_EQ(spatial->SetEnable(1), STATUS_SUCCESS);
    EXPECT_EQ(m_switches->Value(ID, 0x8B), 1);
    const auto requests = RequestsTo(ID);
    EXPECT_EQ(requests.back().bmRequestType, 0x41);
    EXPECT_EQ(requests.back().bRequest, 0x01);
    EXPECT_EQ(requests.back().wValue, 0x8B00);
    EXPECT_EQ(Stored(Name(spatial->GetId())), std::vector<uint8_t>{1});
    EXPECT_EQ(spatial->ResetPending(), 1);
    // The device switched it off by itself: a refresh reads it back and keeps it.
    m_switches->Add(ID, 0x8B, 0);
    ASSERT_EQ(spatial->Refresh(), STATUS_SUCCESS);
    UCHAR enable = 9;
    EXPECT_EQ(spatial->GetEnable(&enable), STATUS_SUCCESS);
    EXPECT_EQ(enable, 0);
    EXPECT_EQ(Stored(Name(spatial->GetId())), std::vector<uint8_t>{0});
}

TEST_F(V6EffectEntityTest, SetUpCallsAndStoredParametersReachTheEngine)
{
    Record();
    BothEffects();
    const ULONG headphoneId = m_owner->GetEntityCount() + 3;
    Store(Name(headphoneId, 0), 0);
    Store(Name(headphoneId, 1), 5);
    V6EffectFeatureUnit* unit = Unit();
    EXPECT_EQ(m_calls, (std::vector<std::string>{
                           "spatial create", "engine create", "engine format 3 2 44100", "engine enable 1",
                           "engine ctc 0", "engine headphone angle 3", "engine speaker angle 3", "engine ctc angle 0",
                           "engine speaker variant 1", "engine headphone variant 1", "engine headphone room 0"}));
    LONG values[2] = {};
    ASSERT_EQ(Headphone(unit)->GetParameters(0, 2, values), STATUS_SUCCESS);
    EXPECT_EQ(values[0], 0);
    EXPECT_EQ(values[1], 5);
    // Destruction: the spatial processor and the engine go with their entities.
    m_calls.clear();
    for (UsbAudioUnit*& u : m_units) {
        u->GetNonDelegatingUnknown()->Release();
    }
    m_units.clear();
    m_owner->GetNonDelegatingUnknown()->Release();
    m_owner = nullptr;
    EXPECT_EQ(m_calls, (std::vector<std::string>{"spatial destroy", "engine destroy"}));
}

TEST_F(V6EffectEntityTest, AStalledEnableReadsOffAndAStoredRoomIsAppliedUnchecked)
{
    Record();
    BothEffects();
    m_switches->Add(ID, 0x8B, 1);
    m_device->AddFault({0xC1, 0x81, 0x8B00, static_cast<uint16_t>(ID << 8)}, sim::SimDevice::FaultKind::Stall);
    Store(Name(m_owner->GetEntityCount() + 3, 0), 7);
    V6EffectFeatureUnit* unit = Unit();
    UCHAR enable = 9;
    ASSERT_EQ(Spatial(unit)->GetEnable(&enable), STATUS_SUCCESS);
    EXPECT_EQ(enable, 0);
    EXPECT_EQ(m_calls.back(), "engine headphone room 7");
}

TEST_F(V6EffectEntityTest, HeadphoneParameters)
{
    Record();
    BothEffects();
    HeadphoneEffectEntity* headphone = Headphone(Unit());
    ASSERT_NE(headphone, nullptr);
    const ULONG id = headphone->GetId();
    m_calls.clear();
    struct Row {
        const char* name;
        ULONG first, count;
        std::vector<LONG> values;
        NTSTATUS status;
        std::vector<std::string> calls;
        std::optional<LONG> room, variant;  // stored afterwards
    };
    const Row rows[] = {
        {"a room above 2", 0, 1, {3}, BAD, {}, {}, {}},
        {"a negative room", 0, 1, {-1}, BAD, {}, {}, {}},
        {"room 2", 0, 1, {2}, STATUS_SUCCESS, {"engine headphone room 2"}, 2, {}},
        {"the same room again", 0, 1, {2}, STATUS_SUCCESS, {}, 2, {}},
        {"variant 5", 1, 1, {5}, STATUS_SUCCESS, {"engine speaker variant 1", "engine headphone variant 1"}, 2, 5},
        {"past the end", 1, 2, {0, 0}, BAD, {}, 2, 5},
        {"no values", 0, 0, {}, BAD, {}, 2, 5},
        {"a refused room with a variant", 0, 2, {7, 0}, STATUS_SUCCESS,
         {"engine speaker variant 0", "engine headphone variant 0"}, 2, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        m_calls.clear();
        EXPECT_EQ(headphone->SetParameters(row.first, row.count, row.values.data()), row.status);
        EXPECT_EQ(m_calls, row.calls);
        EXPECT_EQ(StoredLong(Name(id, 0)), row.room);
        EXPECT_EQ(StoredLong(Name(id, 1)), row.variant);
    }
    LONG values[2] = {};
    EXPECT_EQ(headphone->GetParameters(2, 1, values), BAD);
    EXPECT_EQ(headphone->GetParameters(0, 2, values), STATUS_SUCCESS);
    EXPECT_EQ(values[0], 2);
    EXPECT_EQ(values[1], 0);
    EXPECT_EQ(Spatial(reinterpret_cast<UsbAudioUnit*>(m_units.back()))->SetParameters(0, 1, values), BAD);
}

TEST_F(V6EffectEntityTest, FormatsResetAndProcessingThroughTheTable)
{
    Record();
    BothEffects();
    V6EffectFeatureUnit* unit = Unit();
    HeadphoneEffectEntity* headphone = Headphone(unit);
    SpatialEffectEntity* spatial = Spatial(unit);
    m_calls.clear();

    // 16-bit stereo at 48 kHz, extensible.
    WaveFormatRecord pcm{};
    pcm.Format = {WAVE_FORMAT_EXTENSIBLE, 2, 48000, 192000, 4, 16, 22};
    pcm.Samples.wValidBitsPerSample = 16;
    pcm.dwChannelMask = 3;
    pcm.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    ASSERT_EQ(headphone->SetFormat(&pcm), STATUS_SUCCESS);
    const WaveFormatRecord& f = headphone->FloatFormat();
    EXPECT_EQ(f.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(f.Format.wBitsPerSample, 32);
    EXPECT_EQ(f.Samples.wValidBitsPerSample, 32);
    EXPECT_EQ(f.Format.nBlockAlign, 8);
    EXPECT_EQ(f.Format.nAvgBytesPerSec, 384000u);
    EXPECT_TRUE(IsEqualGUID(f.SubFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT));
    const WAVEFORMATEX& e = headphone->EngineFormat();
    EXPECT_EQ(e.wFormatTag, WAVE_FORMAT_IEEE_FLOAT);
    EXPECT_EQ(e.wBitsPerSample, 16);
    EXPECT_EQ(e.nBlockAlign, 4);
    EXPECT_EQ(e.nAvgBytesPerSec, 192000u);
    // A float stream stays as it is.
    WaveFormatRecord flt = f;
    ASSERT_EQ(headphone->SetFormat(&flt), STATUS_SUCCESS);
    EXPECT_EQ(0, std::memcmp(&headphone->FloatFormat(), &flt, sizeof flt));
    // The spatial processor takes the rate and the channel code.
    WaveFormatRecord eight = pcm;
    eight.Format.nChannels = 8;
    eight.Format.nSamplesPerSec = 96000;
    m_calls.clear();
    ASSERT_EQ(spatial->SetFormat(&eight), STATUS_SUCCESS);
    EXPECT_EQ(m_calls, std::vector<std::string>{"spatial format 96000 7"});
    // Process and Reset are the table's bodies, on the entity's state.
    m_calls.clear();
    float buffers[8][4] = {};
    float* channels[8];
    for (int c = 0; c < 8; ++c) channels[c] = buffers[c];
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(spatial->Process(&eight, channels, 4), STATUS_SUCCESS);
    EXPECT_EQ(headphone->Process(&pcm, channels, 4), STATUS_SUCCESS);
    KeLowerIrql(old);
    EXPECT_EQ(spatial->Reset(), STATUS_SUCCESS);
    EXPECT_EQ(m_calls, (std::vector<std::string>{"process 139 4", "process 140 4", "reset 139"}));
}

TEST_F(V6EffectEntityTest, WithoutProcessingAChangeIsTakenOverAndTheChunkLeftAlone)
{
    BothEffects();
    SpatialEffectEntity* spatial = Spatial(Unit());
    ASSERT_EQ(spatial->SetEnable(1), STATUS_SUCCESS);
    float buffers[2][4] = {{1, 2, 3, 4}, {5, 6, 7, 8}};
    float* channels[2] = {buffers[0], buffers[1]};
    WaveFormatRecord pcm{};
    pcm.Format = {WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(spatial->Process(&pcm, channels, 4), STATUS_SUCCESS);
    KeLowerIrql(old);
    EXPECT_EQ(spatial->ValueChanged(), 0);
    EXPECT_EQ(buffers[1][3], 8.0f);
    EXPECT_EQ(spatial->Reset(), STATUS_SUCCESS);
}

}  // namespace

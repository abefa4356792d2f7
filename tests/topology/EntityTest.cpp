#include <gtest/gtest.h>

#include <cstring>

#include "platform/nt/Pool.h"
#include "tests/topology/TopologyDoubles.h"
#include "topology/ClockEntity.h"
#include "topology/EntityCommon.h"
#include "topology/LevelEntity.h"
#include "topology/MultiOutputTerminalEntity.h"
#include "topology/OnOffEntity.h"
#include "topology/ProcessingEntity.h"
#include "topology/SelectorEntity.h"
#include "topology/SoftwareMuteNode.h"
#include "topology/TerminalEntity.h"
#include "platform/nt/PoolHost.h"

namespace kvxtest {
namespace {

// Asks the object for `iid`; releases what it gets.
bool Answers(PUNKNOWN unknown, REFIID iid)
{
    PVOID p = reinterpret_cast<PVOID>(1);
    const NTSTATUS status = unknown->QueryInterface(iid, &p);
    if (!NT_SUCCESS(status)) {
        EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(p, nullptr);
        return false;
    }
    static_cast<PUNKNOWN>(p)->Release();
    return true;
}

TEST(EntityClassTest, EachClassHasItsTypeAndAnswersExactlyItsInterfaces)
{
    const GUID* all[] = {&IID_IEntityOnOff,      &IID_IEntityLink,       &IID_IEntityLevel,
                         &IID_IEntityMixer,      &IID_ITerminalControl,  &IID_IMultiOutputTerminal,
                         &IID_ISelectorControl,  &IID_IClockControl,     &IID_IProcessingEntity,
                         &IID_IProcessingNode,   &IID_ISelectorBranchControl};
    struct Case {
        TopologyNode* entity;
        LONG type;
        std::vector<const GUID*> answers;
    };
    const Case cases[] = {
        {NewObject<MuteEntity>(1u), 2, {&IID_IEntityOnOff, &IID_IEntityLink}},
        {NewObject<AgcEntity>(1u), 6, {&IID_IEntityOnOff, &IID_IEntityLink}},
        {NewObject<LoudnessEntity>(1u), 7, {&IID_IEntityOnOff, &IID_IEntityLink}},
        {NewObject<VendorSwitchEntity>(1u), 18, {&IID_IEntityOnOff, &IID_IEntityLink}},
        {NewObject<LedSwitchEntity>(1u), 22, {&IID_IEntityOnOff, &IID_IEntityLink}},
        {NewObject<SoftwareMuteNode>(1u), 2, {&IID_IEntityOnOff, &IID_IEntityLink, &IID_IProcessingNode}},
        {NewObject<VolumeEntity>(1u), 3, {&IID_IEntityLevel, &IID_IEntityLink}},
        {NewObject<GainPadEntity>(1u), 8, {&IID_IEntityLevel, &IID_IEntityLink}},
        {NewObject<BassEntity>(1u), 9, {&IID_IEntityLevel, &IID_IEntityLink}},
        {NewObject<MidEntity>(1u), 10, {&IID_IEntityLevel, &IID_IEntityLink}},
        {NewObject<TrebleEntity>(1u), 11, {&IID_IEntityLevel, &IID_IEntityLink}},
        {NewObject<InputTerminalEntity>(1u), 0, {&IID_ITerminalControl}},
        {NewObject<OutputTerminalEntity>(1u), 1, {&IID_ITerminalControl}},
        {NewObject<MixerEntity>(1u), 5, {&IID_IEntityMixer}},
        {NewObject<MultiOutputTerminalEntity>(1u), 13, {&IID_IMultiOutputTerminal}},
        {NewObject<SelectorEntity>(1u), 4, {&IID_ISelectorControl}},
        {NewObject<ClockEntity>(1u), 12, {&IID_IClockControl}},
        {NewObject<ProcessingEntity>(1u), 23, {&IID_IProcessingEntity}},
    };
    for (const Case& c : cases) {
        PUNKNOWN unknown = c.entity->GetNonDelegatingUnknown();
        EXPECT_EQ(c.entity->GetType(), c.type);
        EXPECT_TRUE(Answers(unknown, IID_IUnknown));
        EXPECT_TRUE(Answers(unknown, IID_ITopologyNode));
        for (const GUID* iid : all) {
            const bool expected = std::find(c.answers.begin(), c.answers.end(), iid) != c.answers.end();
            EXPECT_EQ(Answers(unknown, *iid), expected) << "type " << c.type;
        }
        EXPECT_EQ(c.entity->GetReferenceCount(), 1);
        c.entity->Release();
    }
}

TEST(EntityClassTest, OnOffAndLevelChannelsFollowTheirBoundsAndTheOutputKind)
{
    MuteEntity* mute = NewObject<MuteEntity>(4u);
    VolumeEntity* volume = NewObject<VolumeEntity>(5u);
    ASSERT_EQ(mute->Init(3, 2), STATUS_SUCCESS);
    ASSERT_EQ(volume->Init(4, 2, 0x000C0000, -0x00600000, 0x8000), STATUS_SUCCESS);
    ULONG ids[2] = {};
    ULONG n = 2;
    ASSERT_EQ(volume->GetSources(&n, ids), STATUS_SUCCESS);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(ids[0], 4u);

    // On/off: channels 0 and 1; level: 0 to 2 (channel 2 is the master value).
    UCHAR b = 0xEE;
    EXPECT_EQ(mute->SetValue(1, 1), STATUS_SUCCESS);
    EXPECT_EQ(mute->GetValue(1, &b), STATUS_SUCCESS);
    EXPECT_EQ(b, 1);
    EXPECT_EQ(mute->GetValue(0, &b), STATUS_SUCCESS);
    EXPECT_EQ(b, 0);
    EXPECT_EQ(mute->SetValue(2, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(mute->GetValue(2, &b), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(mute->GetValue(0, nullptr), STATUS_INVALID_PARAMETER);

    LONG level = 7;
    EXPECT_EQ(volume->SetLevel(2, -0x10000), STATUS_SUCCESS);
    EXPECT_EQ(volume->GetLevel(2, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, -0x10000);
    EXPECT_EQ(volume->GetLevel(0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, 0);
    EXPECT_EQ(volume->SetLevel(3, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(volume->GetLevel(3, &level), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(volume->GetLevel(0, nullptr), STATUS_INVALID_PARAMETER);
    LONG maximum = 0, minimum = 0, step = 0;
    EXPECT_EQ(volume->GetRange(&maximum, &minimum, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(volume->GetRange(&maximum, &minimum, &step), STATUS_SUCCESS);
    EXPECT_EQ(maximum, 0x000C0000);
    EXPECT_EQ(minimum, -0x00600000);
    EXPECT_EQ(step, 0x8000);

    // Six channels: all of them on Stream, SPK, HDMI and Line outputs, two elsewhere.
    AgcEntity* wide = NewObject<AgcEntity>(6u);
    GainPadEntity* wideLevel = NewObject<GainPadEntity>(7u);
    ASSERT_EQ(wide->Init(1, 6), STATUS_SUCCESS);
    ASSERT_EQ(wideLevel->Init(1, 6, 0, 0, 0), STATUS_SUCCESS);
    const struct {
        ULONG kind;
        ULONG count;
    } rule[] = {{0, 6}, {1, 6}, {2, 2}, {3, 2}, {4, 6}, {5, 2}, {6, 6}, {7, 2}, {16, 2}, {18, 2}};
    for (const auto& r : rule) {
        ULONG count = 0;
        EXPECT_EQ(wide->SetOutputKind(r.kind, reinterpret_cast<PVOID>(1)), STATUS_SUCCESS);
        EXPECT_EQ(wide->GetChannelCount(&count), STATUS_SUCCESS);
        EXPECT_EQ(count, r.count) << "kind " << r.kind;
        EXPECT_EQ(wideLevel->SetOutputKind(r.kind, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(wideLevel->GetChannelCount(&count), STATUS_SUCCESS);
        EXPECT_EQ(count, r.count) << "kind " << r.kind;
    }
    EXPECT_EQ(mute->GetChannelCount(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(volume->GetChannelCount(nullptr), STATUS_INVALID_PARAMETER);
    for (TopologyNode* e : std::initializer_list<TopologyNode*>{mute, volume, wide, wideLevel}) e->Release();
    EXPECT_EQ(platform::PoolLiveCount(ON_OFF_VALUES_TAG), 0u);
    EXPECT_EQ(platform::PoolLiveCount(LEVEL_VALUES_TAG), 0u);
}

TEST(EntityClassTest, AFailedInitLeavesNoStorageNoCountsAndNothingToFreeTwice)
{
    struct Case {
        const char* name;
        ULONG failTag;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"values", ON_OFF_VALUES_TAG, STATUS_INSUFFICIENT_RESOURCES},
        {"sources", TOPOLOGY_NODE_TAG, STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MuteEntity* mute = NewObject<MuteEntity>(1u);
        VolumeEntity* volume = NewObject<VolumeEntity>(2u);
        OutputTerminalEntity* out = NewObject<OutputTerminalEntity>(3u);
        const ULONG kinds[] = {2};
        const JackRecord jack{};

        platform::PoolFailNextWithTag(c.failTag);
        EXPECT_EQ(mute->Init(9, 2), c.expected);
        platform::PoolFailNextWithTag(c.failTag == ON_OFF_VALUES_TAG ? LEVEL_VALUES_TAG : c.failTag);
        EXPECT_EQ(volume->Init(9, 2, 0, 0, 0), c.expected);
        platform::PoolFailNextWithTag(c.failTag == ON_OFF_VALUES_TAG ? TERMINAL_TAG : c.failTag);
        EXPECT_EQ(out->Init(9, 1, kinds, 1, &jack), c.expected);
        platform::PoolClearFailures();

        ULONG count = 7;
        UCHAR b = 0;
        LONG level = 0;
        EXPECT_EQ(mute->GetChannelCount(&count), STATUS_SUCCESS);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(mute->GetValue(0, &b), STATUS_INVALID_PARAMETER);
        // The master channel of a level entity without storage has no value either.
        EXPECT_EQ(volume->GetLevel(0, &level), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(volume->SetLevel(0, 1), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(out->GetKindCount(&count), STATUS_SUCCESS);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(out->SelectKind(2), STATUS_INVALID_PARAMETER);
        mute->Release();
        volume->Release();
        out->Release();
        EXPECT_EQ(platform::PoolLiveCountAll(), 0u) << platform::PoolLeakReport();
    }
}

TEST(EntityClassTest, TerminalInitChecksKindsAndJacksAndCopiesThem)
{
    const ULONG kinds[6] = {2, 3, 1, 6, 7, 8};
    JackRecord jacks[2] = {};
    jacks[0].ChannelMapping = 3;
    jacks[0].Color = 0x00FF00;
    jacks[1].ChannelMapping = 1;
    jacks[1].Word6 = 1;
    const struct {
        ULONG kindCount;
        const ULONG* kinds;
        ULONG jackCount;
        const JackRecord* jacks;
        NTSTATUS expected;
    } cases[] = {
        {0, kinds, 0, nullptr, STATUS_INVALID_PARAMETER}, {1, kinds, 0, nullptr, STATUS_SUCCESS},
        {5, kinds, 2, jacks, STATUS_SUCCESS},             {6, kinds, 0, nullptr, STATUS_INVALID_PARAMETER},
        {1, nullptr, 0, nullptr, STATUS_INVALID_PARAMETER}, {1, kinds, 1, nullptr, STATUS_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        InputTerminalEntity* in = NewObject<InputTerminalEntity>(1u);
        OutputTerminalEntity* out = NewObject<OutputTerminalEntity>(2u);
        MultiOutputTerminalEntity* multi = NewObject<MultiOutputTerminalEntity>(3u);
        EXPECT_EQ(in->Init(c.kindCount, c.kinds, c.jackCount, c.jacks), c.expected) << c.kindCount;
        EXPECT_EQ(out->Init(1, c.kindCount, c.kinds, c.jackCount, c.jacks), c.expected) << c.kindCount;
        if (c.jackCount == 0) {
            EXPECT_EQ(multi->Init(1, c.kindCount, c.kinds), c.expected) << c.kindCount;
        }
        if (NT_SUCCESS(c.expected)) {
            EXPECT_EQ(in->GetSourceCount(), 0u);
            EXPECT_EQ(out->GetSourceCount(), 1u);
            ULONG kind = 99, count = 99, got[5] = {};
            EXPECT_EQ(out->GetKind(&kind), STATUS_SUCCESS);
            EXPECT_EQ(kind, 2u);
            EXPECT_EQ(out->GetKindCount(&count), STATUS_SUCCESS);
            EXPECT_EQ(count, c.kindCount);
            EXPECT_EQ(out->GetKinds(got), STATUS_SUCCESS);
            EXPECT_EQ(std::memcmp(got, kinds, c.kindCount * sizeof(ULONG)), 0);
            EXPECT_EQ(out->GetJackCount(&count, 5), STATUS_SUCCESS);
            EXPECT_EQ(count, c.jackCount);
        }
        in->Release();
        out->Release();
        multi->Release();
    }

    OutputTerminalEntity* out = NewObject<OutputTerminalEntity>(2u);
    ASSERT_EQ(out->Init(1, 2, kinds, 2, jacks), STATUS_SUCCESS);
    // Jack descriptions: min(bytes, 72) bytes; refused without a buffer or a size.
    JackRecord got[3];
    std::memset(got, 0xAB, sizeof(got));
    EXPECT_EQ(out->GetJackDescriptions(40, got, 0), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&got[0], &jacks[0], 36), 0);
    EXPECT_EQ(got[1].ChannelMapping, 1u);  // the first 4 bytes of the second record
    EXPECT_EQ(got[1].Color, 0xABABABABu);
    std::memset(got, 0xAB, sizeof(got));
    EXPECT_EQ(out->GetJackDescriptions(sizeof(got), got, 0), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(got, jacks, sizeof(jacks)), 0);
    EXPECT_EQ(got[2].ChannelMapping, 0xABABABABu);
    EXPECT_EQ(out->GetJackDescriptions(0, got, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(out->GetJackDescriptions(36, nullptr, 0), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(out->SelectKind(7), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(out->SelectKind(3), STATUS_SUCCESS);
    ULONG kind = 0;
    EXPECT_EQ(out->GetKind(&kind), STATUS_SUCCESS);
    EXPECT_EQ(kind, 3u);

    AudioCapabilities caps{};
    caps.ControlMask = 0x1234;
    caps.Flags = AUDIO_CAPABILITY_ASIO;
    out->SetTerminalInfo(caps);
    UCHAR info[32] = {};
    EXPECT_EQ(out->GetTerminalInfo(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(out->GetTerminalInfo(info), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(info, &caps, 32), 0);
    out->Release();
    EXPECT_EQ(platform::PoolLiveCount(TERMINAL_TAG), 0u);
}

TEST(EntityClassTest, MixerMovesBetweenMixerAndStereoMixTerminal)
{
    MixerEntity* mixer = NewObject<MixerEntity>(8u);
    const ULONG sources[] = {3, 4, 5};
    ASSERT_EQ(mixer->SetSources(3, sources), STATUS_SUCCESS);
    PUNKNOWN unknown = mixer->GetNonDelegatingUnknown();
    EXPECT_FALSE(Answers(unknown, IID_ITerminalControl));

    ASSERT_EQ(mixer->SetTerminalMode(TRUE), STATUS_SUCCESS);
    EXPECT_EQ(mixer->GetType(), ENTITY_INPUT_TERMINAL);
    EXPECT_EQ(mixer->GetSourceCount(), 0u);
    ITerminalControl* terminal = nullptr;
    ASSERT_EQ(unknown->QueryInterface(IID_ITerminalControl, reinterpret_cast<PVOID*>(&terminal)), STATUS_SUCCESS);
    ULONG kind = 0, count = 0;
    EXPECT_EQ(terminal->GetKindCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(terminal->GetKind(&kind), STATUS_SUCCESS);
    EXPECT_EQ(kind, ENDPOINT_KIND_STEREO_MIX);
    EXPECT_EQ(terminal->GetJackCount(&count, 0), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    JackRecord jack{};
    EXPECT_EQ(terminal->GetJackDescriptions(sizeof(jack), &jack, 0), STATUS_SUCCESS);
    const ULONG expected[9] = {3, 0, 7, 14, 1, 1, 0, 1, 0};
    EXPECT_EQ(std::memcmp(&jack, expected, sizeof(expected)), 0);
    terminal->Release();

    ASSERT_EQ(mixer->SetTerminalMode(FALSE), STATUS_SUCCESS);
    EXPECT_EQ(mixer->GetType(), ENTITY_MIXER);
    ULONG ids[3] = {};
    count = 3;
    EXPECT_EQ(mixer->GetSources(&count, ids), STATUS_SUCCESS);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(ids[2], 5u);
    EXPECT_FALSE(Answers(unknown, IID_ITerminalControl));

    // A refused source copy loses the old ids: leaving terminal mode must not bring them back.
    ASSERT_EQ(mixer->SetTerminalMode(TRUE), STATUS_SUCCESS);
    platform::PoolFailNextWithTag(TOPOLOGY_NODE_TAG);
    EXPECT_EQ(mixer->SetSources(3, sources), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(mixer->SetTerminalMode(FALSE), STATUS_SUCCESS);
    EXPECT_EQ(mixer->GetSourceCount(), 0u);
    platform::PoolFailNextWithTag(TERMINAL_TAG);
    EXPECT_EQ(mixer->SetSources(3, sources), STATUS_INSUFFICIENT_RESOURCES);
    platform::PoolClearFailures();
    mixer->Release();
    EXPECT_EQ(platform::PoolLiveCountAll(), 0u) << platform::PoolLeakReport();
}

TEST(EntityClassTest, SelectorNotifiesBranchesInOrderAroundTheChange)
{
    std::vector<std::string> journal;
    SelectorEntity* selector = NewObject<SelectorEntity>(10u);
    auto* a = NewObject<RecordingPartner>(&journal, "a");
    auto* b = NewObject<RecordingPartner>(&journal, "b");
    EXPECT_EQ(selector->AddBranchControl(a), STATUS_INVALID_PARAMETER);  // no list before SetSources
    platform::PoolFailNextWithTag(SELECTOR_TAG);
    const ULONG inputs[] = {1, 2};
    EXPECT_EQ(selector->SetSources(2, inputs), STATUS_UNSUCCESSFUL);
    platform::PoolClearFailures();
    ASSERT_EQ(selector->SetSources(2, inputs), STATUS_SUCCESS);
    ULONG value = 0;
    EXPECT_EQ(selector->GetSelected(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(selector->GetInputCount(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(selector->AddBranchControl(nullptr), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(selector->AddBranchControl(a), STATUS_SUCCESS);
    ASSERT_EQ(selector->AddBranchControl(b), STATUS_SUCCESS);
    // A failed append gives the reference back.
    platform::PoolFailNextWithTag(OBJECT_LIST_NODE_TAG);
    EXPECT_EQ(selector->AddBranchControl(b), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(b->GetReferenceCount(), 2);

    EXPECT_EQ(selector->SetSelected(0), STATUS_SUCCESS);
    EXPECT_EQ(journal, (std::vector<std::string>{"a:changing(0,1)", "b:changing(0,1)", "a:selected(0)", "b:selected(0)"}));
    EXPECT_EQ(selector->SetSelected(3), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(selector->GetSelected(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0u);

    // A failing branch ends each walk unreported; the selection still changes.
    journal.clear();
    a->m_Status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(selector->SetSelected(2), STATUS_SUCCESS);
    EXPECT_EQ(journal, (std::vector<std::string>{"a:changing(2,0)", "a:selected(2)"}));
    EXPECT_EQ(selector->GetSelected(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(selector->GetSelected(nullptr), STATUS_INVALID_PARAMETER);

    selector->Release();
    EXPECT_EQ(a->GetReferenceCount(), 1);
    EXPECT_EQ(b->GetReferenceCount(), 1);
    a->Release();
    b->Release();
}

TEST(EntityClassTest, MultiOutputTerminalSwitchesLinksOnlyOnARealChange)
{
    std::vector<std::string> journal;
    MultiOutputTerminalEntity* multi = NewObject<MultiOutputTerminalEntity>(12u);
    auto* a = NewObject<RecordingPartner>(&journal, "a");
    auto* b = NewObject<RecordingPartner>(&journal, "b");
    EXPECT_EQ(multi->SelectKind(2), STATUS_INVALID_PARAMETER);  // no kinds yet
    const ULONG kinds[] = {2, 1, 3};
    ASSERT_EQ(multi->Init(7, 3, kinds), STATUS_SUCCESS);
    EXPECT_EQ(multi->AddLink(nullptr), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(multi->AddLink(a), STATUS_SUCCESS);
    ASSERT_EQ(multi->AddLink(b), STATUS_SUCCESS);
    platform::PoolFailNextWithTag(OBJECT_LIST_NODE_TAG);
    EXPECT_EQ(multi->AddLink(b), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(b->GetReferenceCount(), 2);

    EXPECT_EQ(multi->SelectKind(2), STATUS_SUCCESS);  // already active
    EXPECT_EQ(multi->GetChangedFlag(), 0u);
    EXPECT_TRUE(journal.empty());
    EXPECT_EQ(multi->SelectKind(6), STATUS_INVALID_PARAMETER);

    a->m_Status = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(multi->SelectKind(1), STATUS_SUCCESS);
    EXPECT_EQ(journal, (std::vector<std::string>{"a:kind(1)"}));
    EXPECT_EQ(multi->GetChangedFlag(), 1u);
    ULONG kind = 0;
    EXPECT_EQ(multi->GetKind(&kind), STATUS_SUCCESS);
    EXPECT_EQ(kind, 1u);
    a->m_Status = STATUS_SUCCESS;
    journal.clear();
    EXPECT_EQ(multi->SelectKind(3), STATUS_SUCCESS);
    EXPECT_EQ(journal, (std::vector<std::string>{"a:kind(3)", "b:kind(3)"}));
    EXPECT_EQ(multi->ClearChangedFlag(), STATUS_SUCCESS);
    EXPECT_EQ(multi->GetChangedFlag(), 0u);

    multi->Release();
    EXPECT_EQ(a->GetReferenceCount(), 1);
    EXPECT_EQ(b->GetReferenceCount(), 1);
    a->Release();
    b->Release();
}

TEST(EntityClassTest, ClockRatesAndProcessingDefaults)
{
    ULONG rates[31];
    for (ULONG i = 0; i < 31; ++i) rates[i] = 8000 + i * 1000;
    const struct {
        LONG count;
        const ULONG* rates;
        NTSTATUS expected;
    } cases[] = {
        {30, rates, STATUS_SUCCESS},
        {31, rates, STATUS_INSUFFICIENT_RESOURCES},
        {-1, rates, STATUS_INSUFFICIENT_RESOURCES},
        {2, nullptr, STATUS_INSUFFICIENT_RESOURCES},
    };
    for (const auto& c : cases) {
        ClockEntity* clock = NewObject<ClockEntity>(20u);
        EXPECT_EQ(clock->Init(c.count, c.rates), c.expected) << c.count;
        ULONG count = 0;
        EXPECT_EQ(clock->GetRateCount(&count), STATUS_SUCCESS);
        EXPECT_EQ(count, NT_SUCCESS(c.expected) ? static_cast<ULONG>(c.count) : 0u);
        clock->Release();
    }

    ClockEntity* clock = NewObject<ClockEntity>(20u);
    ASSERT_EQ(clock->Init(3, rates), STATUS_SUCCESS);
    EXPECT_EQ(clock->GetSourceCount(), 0u);
    ULONG got[4] = {};
    ULONG count = 2;
    EXPECT_EQ(clock->GetRates(&count, got), STATUS_INVALID_PARAMETER);
    count = 4;
    EXPECT_EQ(clock->GetRates(&count, got), STATUS_SUCCESS);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(got[2], 10000u);
    count = 0xFFFFFFFFu;  // a negative room is below any count
    EXPECT_EQ(clock->GetRates(&count, got), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(clock->GetRates(nullptr, got), STATUS_INVALID_PARAMETER);
    ULONG rate = 1;
    EXPECT_EQ(clock->GetRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 0u);
    EXPECT_EQ(clock->SetRate(48000), STATUS_SUCCESS);
    EXPECT_EQ(clock->GetRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 48000u);
    EXPECT_EQ(clock->GetRate(nullptr), STATUS_INVALID_PARAMETER);
    BOOLEAN valid = FALSE;
    EXPECT_EQ(clock->IsClockValid(&valid), STATUS_SUCCESS);
    EXPECT_EQ(valid, TRUE);
    clock->Release();

    ProcessingEntity* processing = NewObject<ProcessingEntity>(21u);
    ASSERT_EQ(processing->Init(9), STATUS_SUCCESS);
    EXPECT_EQ(processing->GetSourceCount(), 1u);
    EXPECT_EQ(processing->SetEnable(1), STATUS_UNSUCCESSFUL);
    UCHAR enable = 0;
    EXPECT_EQ(processing->GetEnable(&enable), STATUS_SUCCESS);
    EXPECT_EQ(enable, 1);
    EXPECT_EQ(processing->GetEnable(nullptr), STATUS_UNSUCCESSFUL);
    LONG values[2] = {};
    ULONG a = 0, b = 0, c = 0;
    EXPECT_EQ(processing->GetParameters(0, 1, values), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(processing->SetParameters(0, 1, values), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(processing->GetParameterInfo(0, &a, &b, &c), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(processing->GetParameterCount(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(processing->GetNodeGuid(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(processing->GetParameterCount(&a), STATUS_SUCCESS);
    EXPECT_EQ(a, 0u);
    processing->Release();
}

}  // namespace
}  // namespace kvxtest

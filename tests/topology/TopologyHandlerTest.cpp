#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/nt/Dispatcher.h"
#include "platform/nt/Thread.h"
#include "tests/topology/TopologyFixture.h"

namespace kvxtest {
namespace {

const GUID ProcessingName = platform::ParseGuid("{22222222-0000-0000-0000-00000000000A}");

JackRecord Jack(ULONG mapping, ULONG color, ULONG word6)
{
    JackRecord j{};
    j.ChannelMapping = mapping;
    j.Color = color;
    j.ConnectionType = 2;
    j.GeoLocation = 3;
    j.GenLocation = 4;
    j.PortConnection = 5;
    j.Word6 = word6;
    j.IsConnected = 1;
    j.Word8 = 0xEEEEEEEE;
    return j;
}

// Pins: 0 stream, 1 headphones (two jacks), 2 speaker (no jacks).
// Nodes: 0 processing (3 parameters), 1 output select (kinds 2, 1, 3), 2 single-input selector,
// 3 LED switch, 4 vendor switch, 5 gain pad, 6 treble, 7 mid, 8 bass, 9 mute (6 ch, on HP),
// 10 volume (2 ch).
class TopologyHandlerTest : public TopologyFixture {
protected:
    void SetUp() override
    {
        TopologyFixture::SetUp();
        m_mute = NewOnOff<MuteEntity>(3, 2, 6);
        m_mute->SetOutputKind(ENDPOINT_KIND_HEADPHONES, nullptr);
        m_multi = NewObject<MultiOutputTerminalEntity>(24u);
        const ULONG kinds[] = {2, 1, 3};
        EXPECT_EQ(m_multi->Init(23, 3, kinds), STATUS_SUCCESS);
        auto* single = NewObject<SelectorEntity>(23u);
        const ULONG one[] = {22};
        EXPECT_EQ(single->SetSources(1, one), STATUS_SUCCESS);
        m_processing = NewObject<TestProcessing>(25u, ProcessingName, 3u);
        EXPECT_EQ(m_processing->Init(24), STATUS_SUCCESS);
        m_headphones = NewOutput(9, 3, ENDPOINT_KIND_HEADPHONES, {Jack(3, 0x00FF00, 0), Jack(12, 0xFF0000, 1)});
        AudioCapabilities caps{};
        caps.ControlMask = 0xA5;
        caps.Flags = AUDIO_CAPABILITY_ASIO;
        m_headphones->SetTerminalInfo(caps);
        ASSERT_EQ(Install({NewInput(1, ENDPOINT_KIND_STREAM), NewLevel<VolumeEntity>(2, 1, 2), m_mute,
                           NewLevel<BassEntity>(4, 3, 1), NewLevel<MidEntity>(5, 4, 1), NewLevel<TrebleEntity>(6, 5, 1),
                           NewLevel<GainPadEntity>(20, 6, 2), NewOnOff<VendorSwitchEntity>(21, 20, 1),
                           NewOnOff<LedSwitchEntity>(22, 21, 1), single, m_multi, m_processing, m_headphones,
                           NewOutput(10, 25, ENDPOINT_KIND_SPEAKER)}),
                  STATUS_SUCCESS);
    }

    host::KsResult Prop(host::KsTarget target, const GUID& set, ULONG id, ULONG verb, void* value, ULONG size,
                        const void* instance = nullptr, ULONG instanceSize = 0)
    {
        return Browser().Property(m_filter, target, set, id, verb, value, size, instance, instanceSize);
    }

    MuteEntity* m_mute = nullptr;
    MultiOutputTerminalEntity* m_multi = nullptr;
    TestProcessing* m_processing = nullptr;
    OutputTerminalEntity* m_headphones = nullptr;
};

using host::KsTarget;

TEST_F(TopologyHandlerTest, BasicSupportFollowsTheSizeLadder)
{
    struct Case {
        const char* name;
        ULONG node;
        const GUID* set;
        ULONG id;
        ULONG full;
        ULONG access;
        const GUID* typeSet;
        ULONG varType;
        ULONG shortLists;
        ULONG fullLists;
    };
    const Case cases[] = {
        {"mute, 6 channels on HP: 2", 9, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, 88, 0x203, &KSPROPTYPESETID_General,
         VT_BOOL, 1, 1},
        {"volume", 10, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 88, 0x203, &KSPROPTYPESETID_General, VT_I4, 1,
         1},
        {"bass", 8, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_BASS, 72, 0x203, &KSPROPTYPESETID_General, VT_I4, 1, 1},
        {"gain pad", 5, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 92, 0x203, &KSPROPTYPESETID_General, VT_I4, 0,
         1},
        {"switch", 4, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 40, 0x203, &KSPROPTYPESETID_General, VT_BOOL, 0,
         0},
        {"single-input selector", 2, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 64, 0x202,
         &KSPROPTYPESETID_General, VT_UI4, 0, 1},
        {"output select", 1, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 80, 0x202, &KSPROPTYPESETID_General,
         VT_I4, 0, 1},
        {"processing", 0, &KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 80, 0x202, &KSPROPTYPESETID_General,
         VT_BOOL, 0, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> value(c.full + 8, 0xCC);
        auto describe = [&](ULONG size) {
            std::fill(value.begin(), value.end(), 0xCC);
            return Prop(KsTarget::Node(c.node), *c.set, c.id, KSPROPERTY_TYPE_BASICSUPPORT, value.data(), size);
        };
        KSPROPERTY_DESCRIPTION d;
        for (ULONG size : {c.full + 8, c.full}) {
            auto r = describe(size);
            ASSERT_EQ(r.Status, STATUS_SUCCESS);
            EXPECT_EQ(r.Bytes, c.full);
            std::memcpy(&d, value.data(), sizeof d);
            EXPECT_EQ(d.AccessFlags, c.access);
            EXPECT_EQ(d.DescriptionSize, c.full);
            EXPECT_EQ(d.PropTypeSet.Set, *c.typeSet);
            EXPECT_EQ(d.PropTypeSet.Id, c.varType);
            EXPECT_EQ(d.PropTypeSet.Flags, 0u);
            EXPECT_EQ(d.MembersListCount, c.fullLists);
            EXPECT_EQ(value[c.full], 0xCC);
        }
        if (c.full > 40) {
            auto r = describe(c.full - 1);
            ASSERT_EQ(r.Status, STATUS_SUCCESS);
            EXPECT_EQ(r.Bytes, 40u);
            std::memcpy(&d, value.data(), sizeof d);
            EXPECT_EQ(d.MembersListCount, c.shortLists);
            EXPECT_EQ(value[40], 0xCC);
        }
        auto r = describe(39);
        EXPECT_EQ(r.Status, STATUS_SUCCESS);
        EXPECT_EQ(r.Bytes, 4u);
        ULONG access = 0;
        std::memcpy(&access, value.data(), 4);
        EXPECT_EQ(access, c.access);
        r = describe(3);
        EXPECT_EQ(r.Status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(r.Bytes, c.full);
    }

    // The members: two identical steppings of the volume's range; the gain pad's private range.
    std::vector<uint8_t> value(92);
    ASSERT_EQ(Prop(KsTarget::Node(10), KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, KSPROPERTY_TYPE_BASICSUPPORT,
                   value.data(), 88).Status,
              STATUS_SUCCESS);
    const ULONG header[4] = {KSPROPERTY_MEMBER_STEPPEDRANGES, 16, 2, 2};
    EXPECT_EQ(std::memcmp(value.data() + 40, header, 16), 0);
    const LONG step[4] = {0x8000, 0, -0x00600000, 0x000C0000};
    EXPECT_EQ(std::memcmp(value.data() + 56, step, 16), 0);
    EXPECT_EQ(std::memcmp(value.data() + 72, step, 16), 0);
    ASSERT_EQ(Prop(KsTarget::Node(5), KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, KSPROPERTY_TYPE_BASICSUPPORT,
                   value.data(), 92).Status,
              STATUS_SUCCESS);
    const ULONG pad[4] = {KSPROPERTY_MEMBER_VALUES, 36, 1, 0};
    EXPECT_EQ(std::memcmp(value.data() + 40, pad, 16), 0);
    ULONG words[9];
    std::memcpy(words, value.data() + 56, 36);
    EXPECT_EQ(words[0], 36u);
    EXPECT_EQ(std::memcmp(&words[1], &GainPadNodeName, 16), 0);
    EXPECT_EQ(words[5], 12u);
    EXPECT_EQ(static_cast<LONG>(words[6]), 0x000C0000);
    EXPECT_EQ(static_cast<LONG>(words[7]), -0x00600000);

    // Pin properties: 40 bytes at most; below 4 no size at all.
    const ULONG pin = 1;
    for (const GUID* set : {&KSPROPSETID_Jack, &TerminalInfoPropertySetIid}) {
        auto r = Prop(KsTarget::Filter(), *set, 1, KSPROPERTY_TYPE_BASICSUPPORT, value.data(), 92, &pin, 4);
        EXPECT_EQ(r.Status, STATUS_SUCCESS);
        EXPECT_EQ(r.Bytes, 40u);
        KSPROPERTY_DESCRIPTION d;
        std::memcpy(&d, value.data(), sizeof d);
        EXPECT_EQ(d.AccessFlags, 0x201u);
        EXPECT_EQ(d.PropTypeSet.Set, GUID_NULL);
        EXPECT_EQ(d.MembersListCount, 0u);
        r = Prop(KsTarget::Filter(), *set, 1, KSPROPERTY_TYPE_BASICSUPPORT, value.data(), 3, &pin, 4);
        EXPECT_EQ(r.Status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(r.Bytes, 0u);
    }
}

TEST_F(TopologyHandlerTest, ValuesReachTheEntityBehindTheNodeThatFitsTheProperty)
{
    // Tone nodes take only their own property.
    const ULONG tones[] = {KSPROPERTY_AUDIO_BASS, KSPROPERTY_AUDIO_MID, KSPROPERTY_AUDIO_TREBLE};
    const ULONG toneNodes[] = {8, 7, 6};
    const ULONG channel = 0;
    for (int n = 0; n < 3; ++n) {
        for (int p = 0; p < 3; ++p) {
            LONG level = 0x1000 * (n + 1);
            auto r = Browser().Set(m_filter, KsTarget::Node(toneNodes[n]), KSPROPSETID_Audio, tones[p], level, &channel,
                                   4);
            EXPECT_EQ(r.Status, n == p ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER) << n << p;
        }
        LONG level = 0;
        auto r = Browser().Get(m_filter, KsTarget::Node(toneNodes[n]), KSPROPSETID_Audio, tones[n], &level, &channel, 4);
        EXPECT_EQ(r.Status, STATUS_SUCCESS);
        EXPECT_EQ(r.Bytes, 4u);
        EXPECT_EQ(level, 0x1000 * (n + 1));
    }

    // Mute: the 4-byte value is cleared before the byte is written; any non-zero value is 1.
    const ULONG one = 1;
    ASSERT_EQ(Browser().Set(m_filter, KsTarget::Node(9), KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, ULONG{7}, &one, 4)
                  .Status,
              STATUS_SUCCESS);
    UCHAR stored = 0;
    EXPECT_EQ(m_mute->GetValue(1, &stored), STATUS_SUCCESS);
    EXPECT_EQ(stored, 1);
    ULONG value = 0xFFFFFFFF;
    auto r = Browser().Get(m_filter, KsTarget::Node(9), KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, &value, &one, 4);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    // Sizes: no channel or a short value is refused.
    UCHAR small[3] = {};
    EXPECT_EQ(Browser().Get(m_filter, KsTarget::Node(9), KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, &value).Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Prop(KsTarget::Node(9), KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, KSPROPERTY_TYPE_GET, small, 3, &one, 4)
                  .Status,
              STATUS_INVALID_PARAMETER);

    // Switches: channel 0 only, without instance.
    ASSERT_EQ(Browser().Set(m_filter, KsTarget::Node(3), KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, ULONG{5})
                  .Status,
              STATUS_SUCCESS);
    value = 0xFFFFFFFF;
    EXPECT_EQ(Browser().Get(m_filter, KsTarget::Node(3), KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, &value)
                  .Status,
              STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    // The single-input selector accepts a SET and refuses a GET.
    EXPECT_EQ(Browser().Set(m_filter, KsTarget::Node(2), KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, ULONG{3})
                  .Status,
              STATUS_SUCCESS);
    EXPECT_EQ(Browser().Get(m_filter, KsTarget::Node(2), KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, &value)
                  .Status,
              STATUS_UNSUCCESSFUL);

    // Private node names, and the driver version.
    const struct {
        ULONG node;
        GUID expected;
    } names[] = {{5, GainPadNodeName}, {4, VendorSwitchNodeName}, {3, LedSwitchNodeName},
                 {1, OutputSelectNodeName}, {0, ProcessingPropertySetIid}};
    for (const auto& n : names) {
        GUID got{};
        EXPECT_EQ(Browser().Get(m_filter, KsTarget::Node(n.node), NodeGuidPropertySetIid, 1, &got).Status,
                  STATUS_SUCCESS);
        EXPECT_EQ(got, n.expected);
    }
    EXPECT_EQ(Browser().Get(m_filter, KsTarget::Filter(), DriverPropertySetIid, 2, &value).Status, STATUS_SUCCESS);
    EXPECT_EQ(value, 0x00030000u);
}

TEST_F(TopologyHandlerTest, JackAndTerminalRepliesAndTheirSizeQueries)
{
    const ULONG headphones = 1, speaker = 2, beyond = 3;
    auto r = Prop(KsTarget::Filter(), KSPROPSETID_Jack, 1, KSPROPERTY_TYPE_GET, nullptr, 0, &headphones, 4);
    EXPECT_EQ(r.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(r.Bytes, 64u);
    std::vector<uint8_t> value(64);
    r = Prop(KsTarget::Filter(), KSPROPSETID_Jack, 1, KSPROPERTY_TYPE_GET, value.data(), 63, &headphones, 4);
    EXPECT_EQ(r.Status, STATUS_BUFFER_TOO_SMALL);
    r = Prop(KsTarget::Filter(), KSPROPSETID_Jack, 1, KSPROPERTY_TYPE_GET, value.data(), 64, &headphones, 4);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Bytes, 64u);
    const ULONG expected[16] = {64, 2, 3, 0x00FF00, 2, 3, 4, 5, 1, 12, 0xFF0000, 2, 3, 4, 5, 1};
    EXPECT_EQ(std::memcmp(value.data(), expected, 64), 0);
    // The second form: presence detection unless bit 0 of word 6 says otherwise.
    r = Prop(KsTarget::Filter(), KSPROPSETID_Jack, 2, KSPROPERTY_TYPE_GET, nullptr, 0, &headphones, 4);
    EXPECT_EQ(r.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(r.Bytes, 24u);
    r = Prop(KsTarget::Filter(), KSPROPSETID_Jack, 2, KSPROPERTY_TYPE_GET, value.data(), 24, &headphones, 4);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    const ULONG second[6] = {24, 2, 0, 1, 0, 0};
    EXPECT_EQ(std::memcmp(value.data(), second, 24), 0);
    // As the audio stack reads it: the size, then the list.
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    const std::vector<uint8_t> list = Browser().GetList(m_filter, KsTarget::Filter(), KSPROPSETID_Jack, 1, &status,
                                                        &headphones, 4);
    EXPECT_EQ(status, STATUS_SUCCESS);
    ASSERT_EQ(list.size(), 64u);
    EXPECT_EQ(std::memcmp(list.data(), expected, 64), 0);
    // The private copy of the first form.
    r = Prop(KsTarget::Filter(), DriverPropertySetIid, 4, KSPROPERTY_TYPE_GET, value.data(), 64, &headphones, 4);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(value.data(), expected, 64), 0);
    // No jacks, and a pin beyond the filter.
    EXPECT_EQ(Prop(KsTarget::Filter(), KSPROPSETID_Jack, 1, KSPROPERTY_TYPE_GET, value.data(), 64, &speaker, 4).Status,
              STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Prop(KsTarget::Filter(), KSPROPSETID_Jack, 1, KSPROPERTY_TYPE_GET, value.data(), 64, &beyond, 4).Status,
              STATUS_INVALID_DEVICE_REQUEST);

    // Terminal info: 32 bytes.
    r = Prop(KsTarget::Filter(), TerminalInfoPropertySetIid, 1, KSPROPERTY_TYPE_GET, nullptr, 0, &headphones, 4);
    EXPECT_EQ(r.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(r.Bytes, 32u);
    EXPECT_EQ(
        Prop(KsTarget::Filter(), TerminalInfoPropertySetIid, 1, KSPROPERTY_TYPE_GET, value.data(), 31, &headphones, 4)
            .Status,
        STATUS_BUFFER_TOO_SMALL);
    r = Prop(KsTarget::Filter(), TerminalInfoPropertySetIid, 1, KSPROPERTY_TYPE_GET, value.data(), 32, &headphones, 4);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    AudioCapabilities caps;
    std::memcpy(&caps, value.data(), 32);
    EXPECT_EQ(caps.ControlMask, 0xA5u);
    EXPECT_EQ(caps.Flags, AUDIO_CAPABILITY_ASIO);
}

TEST_F(TopologyHandlerTest, OutputSelectAndProcessingLists)
{
    auto r = Prop(KsTarget::Node(1), OutputSelectPropertySetIid, 1, KSPROPERTY_TYPE_GET, nullptr, 0);
    EXPECT_EQ(r.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(r.Bytes, 20u);
    ULONG list[5] = {};
    EXPECT_EQ(Prop(KsTarget::Node(1), OutputSelectPropertySetIid, 1, KSPROPERTY_TYPE_GET, list, 19).Status,
              STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(Prop(KsTarget::Node(1), OutputSelectPropertySetIid, 1, KSPROPERTY_TYPE_GET, list, 20).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(std::vector<ULONG>(list, list + 5), (std::vector<ULONG>{20, 3, 2, 1, 3}));
    ASSERT_EQ(Browser().Set(m_filter, KsTarget::Node(1), KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, ULONG{3})
                  .Status,
              STATUS_SUCCESS);
    ULONG kind = 0;
    ASSERT_EQ(Browser().Get(m_filter, KsTarget::Node(1), OutputSelectPropertySetIid, 2, &kind).Status, STATUS_SUCCESS);
    EXPECT_EQ(kind, 3u);
    EXPECT_EQ(m_multi->GetChangedFlag(), 1u);
    EXPECT_EQ(Browser().Set(m_filter, KsTarget::Node(1), KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, ULONG{9})
                  .Status,
              STATUS_INVALID_PARAMETER);

    // Parameters: {first, count, values}; InstanceSize 16..19 carries count 2, 20 does not.
    ULONG instance[5] = {1, 2, 0x111, 0x222, 0x333};
    for (ULONG size = 12; size <= 20; ++size) {
        ULONG dummy = 0;
        const NTSTATUS expected = size >= 16 && size <= 19 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
        EXPECT_EQ(Prop(KsTarget::Node(0), ProcessingPropertySetIid, 4, KSPROPERTY_TYPE_SET, &dummy, 4, instance, size)
                      .Status,
                  expected)
            << size;
    }
    EXPECT_EQ(m_processing->m_Values, (std::vector<LONG>{0, 0x111, 0x222}));
    // Ranges beyond the parameters, wrapped sums included, are refused before the entity hears of them.
    const ULONG bad[][2] = {{2, 2}, {3, 1}, {0xFFFFFFFF, 2}, {1, 0xFFFFFFFF}, {0, 4}};
    const int calls = m_processing->m_SetCalls;
    for (const auto& b : bad) {
        ULONG request[4] = {b[0], b[1], 7, 7};
        ULONG dummy = 0;
        EXPECT_EQ(Prop(KsTarget::Node(0), ProcessingPropertySetIid, 4, KSPROPERTY_TYPE_SET, &dummy, 4, request, 16)
                      .Status,
                  STATUS_INVALID_PARAMETER);
        ULONG reply[10] = {};
        EXPECT_EQ(Prop(KsTarget::Node(0), ProcessingPropertySetIid, 4, KSPROPERTY_TYPE_GET, reply, 40, b, 8).Status,
                  STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(m_processing->m_SetCalls, calls);
    ULONG range[2] = {1, 2};
    ULONG reply[4] = {};
    EXPECT_EQ(Prop(KsTarget::Node(0), ProcessingPropertySetIid, 4, KSPROPERTY_TYPE_GET, reply, 15, range, 8).Status,
              STATUS_INVALID_PARAMETER);
    auto got = Prop(KsTarget::Node(0), ProcessingPropertySetIid, 4, KSPROPERTY_TYPE_GET, reply, 16, range, 8);
    ASSERT_EQ(got.Status, STATUS_SUCCESS);
    EXPECT_EQ(got.Bytes, 16u);
    EXPECT_EQ(std::vector<ULONG>(reply, reply + 4), (std::vector<ULONG>{16, 2, 0x111, 0x222}));
    GUID name{};
    EXPECT_EQ(Browser().Get(m_filter, KsTarget::Node(0), ProcessingPropertySetIid, 1, &name).Status, STATUS_SUCCESS);
    EXPECT_EQ(name, ProcessingName);
    ULONG count = 0;
    EXPECT_EQ(Browser().Get(m_filter, KsTarget::Node(0), ProcessingPropertySetIid, 2, &count).Status, STATUS_SUCCESS);
    EXPECT_EQ(count, 3u);
    // Enable: the GET clears the whole value first.
    ASSERT_EQ(Browser().Set(m_filter, KsTarget::Node(0), KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, ULONG{1})
                  .Status,
              STATUS_SUCCESS);
    ULONG enable = 0xFFFFFFFF;
    EXPECT_EQ(Browser().Get(m_filter, KsTarget::Node(0), KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, &enable)
                  .Status,
              STATUS_SUCCESS);
    EXPECT_EQ(enable, 1u);
}

// A volume whose operations fail with a chosen status.
class FailingVolume : public VolumeEntity {
public:
    FailingVolume(PUNKNOWN outer, ULONG id) : VolumeEntity(outer, id) {}
    NTSTATUS GetLevel(ULONG, PLONG) override { return m_Status; }
    NTSTATUS SetLevel(ULONG, LONG) override { return m_Status; }
    NTSTATUS GetRange(PLONG, PLONG, PLONG) override { return m_Status; }
    NTSTATUS m_Status = STATUS_DEVICE_NOT_READY;
};

class TopologyFailingEntityTest : public TopologyFixture {};

TEST_F(TopologyFailingEntityTest, AnEntitysFailureIsPassedThrough)
{
    auto* volume = NewObject<FailingVolume>(2u);
    ASSERT_EQ(volume->Init(1, 2, 0, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(Install({NewInput(1, ENDPOINT_KIND_STREAM), volume, NewOutput(3, 2, ENDPOINT_KIND_SPEAKER)}),
              STATUS_SUCCESS);
    const ULONG channel = 0;
    LONG level = 0;
    EXPECT_EQ(Browser().Get(m_filter, KsTarget::Node(0), KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, &level,
                            &channel, 4).Status,
              STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(Browser().Set(m_filter, KsTarget::Node(0), DriverPropertySetIid, 3, level, &channel, 4).Status,
              STATUS_DEVICE_NOT_READY);
    // The description alone needs no range; the whole reply does.
    std::vector<uint8_t> reply(88);
    EXPECT_EQ(Browser().Property(m_filter, KsTarget::Node(0), KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                                 KSPROPERTY_TYPE_BASICSUPPORT, reply.data(), 40).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(Browser().Property(m_filter, KsTarget::Node(0), KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL,
                                 KSPROPERTY_TYPE_BASICSUPPORT, reply.data(), 88).Status,
              STATUS_DEVICE_NOT_READY);
}

// An event client of one node: an event object the port sets.
struct NodeEvent {
    KEVENT Event;
    KSEVENTDATA Data{};
    NodeEvent()
    {
        KeInitializeEvent(&Event, NotificationEvent, FALSE);
        Data.NotificationType = KSEVENTF_EVENT_OBJECT;
        Data.EventObject.Event = &Event;
    }
    bool Signalled() { return KeReadStateEvent(&Event) != 0; }
};

struct NotifyContext {
    PCALLBACK_OBJECT Object;
    PVOID Argument;
};

VOID NotifyRoutine(PVOID context)
{
    auto* c = static_cast<NotifyContext*>(context);
    ExNotifyCallback(c->Object, c->Argument, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(TopologyHandlerTest, ControlChangesSignalOnlyTheirNodesEvent)
{
    std::vector<std::unique_ptr<NodeEvent>> events;
    for (ULONG node = 0; node < 11; ++node) {
        events.push_back(std::make_unique<NodeEvent>());
        const NTSTATUS status =
            Browser().EnableEvent(m_filter, KsTarget::Node(node), KSEVENTSETID_AudioControlChange, 0, &events[node]->Data);
        // The MUX-free filter: only the single-input selector (node 2) has no event.
        EXPECT_EQ(status, node == 2 ? STATUS_NOT_FOUND : STATUS_SUCCESS) << node;
    }
    auto signalled = [&] {
        std::vector<ULONG> nodes;
        for (ULONG node = 0; node < events.size(); ++node) {
            if (events[node]->Signalled()) {
                nodes.push_back(node);
                KeResetEvent(&events[node]->Event);
            }
        }
        return nodes;
    };
    auto notifyFromSystemThread = [&](PVOID argument) {
        NotifyContext context{m_hal->GetCallbackObject(), argument};
        HANDLE thread = nullptr;
        ASSERT_EQ(PsCreateSystemThread(&thread, 0, nullptr, nullptr, nullptr, NotifyRoutine, &context),
                  STATUS_SUCCESS);
        PVOID object = nullptr;
        ASSERT_EQ(ObReferenceObjectByHandle(thread, 0, nullptr, KernelMode, &object, nullptr), STATUS_SUCCESS);
        ZwClose(thread);
        KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(object);
    };
    ULONG message[4] = {1, 1, 3, 0};  // the mute entity: node 9
    notifyFromSystemThread(message);
    EXPECT_EQ(signalled(), (std::vector<ULONG>{9}));
    const ULONG ignored[][4] = {{2, 1, 3, 0}, {1, 0, 3, 0}, {1, 1, 9, 0} /* a terminal */, {1, 1, 77, 0}};
    for (const auto& m : ignored) {
        notifyFromSystemThread(const_cast<ULONG*>(m));
        EXPECT_TRUE(signalled().empty());
    }
    notifyFromSystemThread(nullptr);
    EXPECT_TRUE(signalled().empty());

    // A KS level SET raises nothing; the private level SET raises its node's event.
    const ULONG channel = 0;
    ASSERT_EQ(Browser().Set(m_filter, KsTarget::Node(10), KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, LONG{-65536},
                            &channel, 4)
                  .Status,
              STATUS_SUCCESS);
    EXPECT_TRUE(signalled().empty());
    ASSERT_EQ(Browser().Set(m_filter, KsTarget::Node(8), DriverPropertySetIid, 3, LONG{-65536}, &channel, 4).Status,
              STATUS_SUCCESS);
    EXPECT_EQ(signalled(), (std::vector<ULONG>{8}));
    for (ULONG node = 0; node < events.size(); ++node) {
        if (node != 2) {
            EXPECT_EQ(Browser().DisableEvent(m_filter, &events[node]->Data), STATUS_SUCCESS);
        }
    }

    // Once the filter is gone its registration is too.
    Uninstall();
    TestHal* hal = TestHal::New();
    ASSERT_EQ(hal->Init(nullptr, m_fdo, nullptr, m_pdo), STATUS_SUCCESS);
    EXPECT_EQ(platform::CallbackRegistrationTotal(), 0u);
    hal->Release();
}

TEST_F(TopologyHandlerTest, TheEventHandlerChecksNodeAndVerb)
{
    PCEVENT_REQUEST request{};
    request.MajorTarget = Topology();
    request.Node = 11;  // the node count
    request.Verb = PCEVENT_VERB_SUPPORT;
    EXPECT_EQ(HandleControlChangeEvent(&request), STATUS_INVALID_PARAMETER);
    request.Node = 10;
    EXPECT_EQ(HandleControlChangeEvent(&request), STATUS_SUCCESS);
    request.Verb = PCEVENT_VERB_REMOVE;
    EXPECT_EQ(HandleControlChangeEvent(&request), STATUS_SUCCESS);
    request.Verb = PCEVENT_VERB_ADD;  // without an entry
    EXPECT_EQ(HandleControlChangeEvent(&request), STATUS_UNSUCCESSFUL);
    request.Verb = 8;
    EXPECT_EQ(HandleControlChangeEvent(&request), STATUS_INVALID_PARAMETER);
}

}  // namespace
}  // namespace kvxtest

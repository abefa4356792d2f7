#include <gtest/gtest.h>

#include "tests/topology/Uac1UnitFixture.h"
#include "topology/JackTables.h"
#include "topology/MixerUnit.h"
#include "topology/SelectorUnit.h"
#include "topology/Terminals.h"

namespace {

using kvxtest::Le16;

std::vector<uint8_t> Le32(uint32_t v)
{
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

// A jack-information reply: the count byte, then (mask, cfg) entries.
std::vector<uint8_t> JackReply(uint8_t count, std::vector<std::pair<uint32_t, uint32_t>> jacks)
{
    std::vector<uint8_t> r = {count};
    for (auto [mask, cfg] : jacks) {
        for (auto v : {mask, cfg}) {
            auto b = Le32(v);
            r.insert(r.end(), b.begin(), b.end());
        }
    }
    return r;
}

// An output-list reply: the count word, then 6-byte entries.
std::vector<uint8_t> OutputList(uint16_t count, std::vector<uint16_t> types)
{
    std::vector<uint8_t> r = Le16(count);
    for (uint16_t t : types) {
        auto b = Le16(t);
        r.insert(r.end(), b.begin(), b.end());
        r.insert(r.end(), 4, 0);
    }
    return r;
}

std::vector<UCHAR> InputTerminalBytes(uint8_t id, uint16_t type)
{
    return {12, 0x24, 0x02, id, static_cast<UCHAR>(type), static_cast<UCHAR>(type >> 8), 0, 2, 3, 0, 0, 0};
}

std::vector<UCHAR> OutputTerminalBytes(uint8_t id, uint16_t type, uint8_t source = 9)
{
    return {9, 0x24, 0x03, id, static_cast<UCHAR>(type), static_cast<UCHAR>(type >> 8), 0, source, 0};
}

class Uac1TerminalTest : public kvxtest::Uac1UnitFixture {
protected:
    std::vector<JackRecord> Jacks(ITerminalControl* terminal, ULONG output, NTSTATUS expected = STATUS_SUCCESS)
    {
        ULONG count = 0;
        EXPECT_EQ(terminal->GetJackCount(&count, output), STATUS_SUCCESS);
        std::vector<JackRecord> records(count);
        if (count != 0) {
            EXPECT_EQ(terminal->GetJackDescriptions(count * sizeof(JackRecord), records.data(), output), expected);
        }
        return records;
    }
    void Connected(uint8_t id, uint32_t mask)
    {
        auto reply = Le32(mask);
        reply.insert(reply.begin(), 0xAA);
        reply.push_back(0xBB);
        Vendor(0x81, 0x0200, id, reply);
    }
    // An output terminal whose device lists speaker and headphones, reports `current` and has
    // one jack per output; the current output follows what the driver writes.
    void TwoOutputs(uint8_t id, uint16_t current)
    {
        Vendor(0x81, 0x0800, id, Le16(current));
        Vendor(0x86, 0x0800, id, OutputList(2, {0x0301, 0x0302}));
        Vendor(0x81, 0x02FF, id, JackReply(1, {{0x3, 0x00001000}}));
        Connected(id, 0x1);
    }
    uint16_t DeviceOutput(uint8_t id)
    {
        USB_DEFAULT_PIPE_SETUP_PACKET s = {0xC1, 0x81, 0x0800, static_cast<USHORT>(id << 8), 2};
        UCHAR data[2] = {};
        m_device->Control(s, data, 2);
        return static_cast<uint16_t>(data[0] | data[1] << 8);
    }
    std::u16string ActiveName(uint8_t id) { return u"UACUnit" + std::u16string(id < 10 ? u"0" : u"") + Digits(id); }
    static std::u16string Digits(uint8_t v)
    {
        std::u16string s;
        do {
            s.insert(s.begin(), static_cast<char16_t>(u'0' + v % 10));
            v /= 10;
        } while (v != 0);
        return s;
    }
};

TEST_F(Uac1TerminalTest, JackRecordsAndPresenceDetection)
{
    // Jack 0 cannot detect presence (cfg bits 8-11 are 6); jack 1 can, on channels 2 and 3.
    Vendor(0x81, 0x02FF, 30, JackReply(2, {{0x3, 0x12345678}, {0xC, 0x00001000}}));
    Connected(30, 0x4);
    InputTerminal* mic = nullptr;
    ASSERT_EQ(Init<InputTerminal>(InputTerminalBytes(30, 0x0201), &mic), STATUS_SUCCESS);
    EXPECT_EQ(mic->GetId(), 30u);
    EXPECT_EQ(mic->GetType(), 2);
    EXPECT_EQ(Types(mic), std::vector<LONG>{ENTITY_INPUT_TERMINAL});
    auto jacks = Jacks(mic, 0);
    ASSERT_EQ(jacks.size(), 2u);
    EXPECT_EQ(jacks[0].ChannelMapping, 0x3u);
    EXPECT_EQ(jacks[0].Color, 0xFF0000u);
    EXPECT_EQ(jacks[0].ConnectionType, 0x34u);
    EXPECT_EQ(jacks[0].GeoLocation, 2u);
    EXPECT_EQ(jacks[0].GenLocation, 1u);
    EXPECT_EQ(jacks[0].PortConnection, 0u);
    EXPECT_EQ(jacks[0].Word6, 0u);
    EXPECT_EQ(jacks[0].IsConnected, 1u);
    EXPECT_EQ(jacks[0].Word8, 0u);
    EXPECT_EQ(jacks[1].Color, JackColorTable[1]);
    EXPECT_EQ(jacks[1].Word8, 1u);
    EXPECT_EQ(jacks[1].IsConnected, 1u);  // mask bit 2 is one of its channels

    // Only presence-detecting jacks and a failed connected-channels request: not connected, and
    // the failure is the answer.
    Vendor(0x81, 0x02FF, 31, JackReply(1, {{0x3, 0x00001000}}));
    Connected(31, 0x1);
    InputTerminal* line = nullptr;
    ASSERT_EQ(Init<InputTerminal>(InputTerminalBytes(31, 0x0603), &line), STATUS_SUCCESS);
    EXPECT_EQ(Jacks(line, 0)[0].IsConnected, 1u);
    m_device->AddFault({{}, {0x81}, {0x0200}, {0x1F00}}, sim::SimDevice::FaultKind::Stall, 1);
    jacks = Jacks(line, 0, STATUS_UNSUCCESSFUL);
    ASSERT_EQ(jacks.size(), 1u);
    EXPECT_EQ(jacks[0].IsConnected, 0u);
    JackRecord small[1];
    EXPECT_EQ(line->GetJackDescriptions(sizeof small - 1, small, 0), STATUS_INVALID_PARAMETER);
}

TEST_F(Uac1TerminalTest, InputTerminalKindsAndCapabilities)
{
    struct Row {
        uint16_t type;
        ULONG kind;
        ULONG captureKind;
        bool asksJacks;
    };
    const Row rows[] = {{0x0101, 0, 6, false}, {0x0401, 13, 13, true}, {0x0202, 7, 11, true}, {0x0605, 3, 3, true}};
    uint8_t id = 33;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.type);
        ++id;
        m_function->CapabilityKinds.clear();
        InputTerminal* terminal = nullptr;
        ASSERT_EQ(Init<InputTerminal>(InputTerminalBytes(id, row.type), &terminal), STATUS_SUCCESS);
        ULONG kind = 99;
        EXPECT_EQ(terminal->GetKind(&kind), STATUS_SUCCESS);
        EXPECT_EQ(kind, row.kind);
        EXPECT_EQ(terminal->SelectKind(row.kind), STATUS_SUCCESS);
        EXPECT_EQ(terminal->SelectKind(row.kind + 1), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(m_function->CapabilityKinds, (std::vector<std::pair<bool, ULONG>>{{true, row.captureKind}}));
        EXPECT_EQ(RequestsTo(id).empty(), !row.asksJacks);
        UCHAR info[32];
        EXPECT_EQ(terminal->GetTerminalInfo(info), STATUS_NOT_IMPLEMENTED);
        // A status interrupt refreshes the terminal entity and names it.
        ULONG entity = 0;
        EXPECT_EQ(terminal->HandleStatusChange(0, 0, &entity), STATUS_SUCCESS);
        EXPECT_EQ(entity, Entities(terminal)[0]->GetId());
        EXPECT_EQ(terminal->HandleStatusChange(0, 0, nullptr), STATUS_UNSUCCESSFUL);
    }
}

TEST_F(Uac1TerminalTest, SpeakerAndHeadphoneOutputsChooseTheActiveOne)
{
    struct Row {
        const char* name;
        std::optional<ULONG> stored;  // "UACUnit%02d"
        ULONG bySelection;            // "INITOTTYPEBYSEL"
        uint16_t deviceReports;
        ULONG active;
    };
    const Row rows[] = {
        {"terminal's own type", {}, 0, 0x0302, 1},
        {"stored kind wins", 2, 0, 0x0301, 2},
        {"device decides", 1, 1, 0x0302, 2},
    };
    uint8_t id = 40;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ++id;
        TwoOutputs(id, row.deviceReports);
        if (row.stored) {
            Store(ActiveName(id), Long(static_cast<LONG>(*row.stored)));
        }
        Store(u"INITOTTYPEBYSEL", Long(static_cast<LONG>(row.bySelection)));
        m_function->CapabilityKinds.clear();
        OutputTerminal* terminal = nullptr;
        ASSERT_EQ(Init<OutputTerminal>(OutputTerminalBytes(id, 0x0301), &terminal), STATUS_SUCCESS);
        EXPECT_EQ(terminal->GetType(), 3);
        ULONG count = 0, kinds[2] = {}, active = 99;
        EXPECT_EQ(terminal->GetKindCount(&count), STATUS_SUCCESS);
        ASSERT_EQ(count, 2u);
        EXPECT_EQ(terminal->GetKinds(kinds), STATUS_SUCCESS);
        EXPECT_EQ(kinds[0], 1u);
        EXPECT_EQ(kinds[1], 2u);
        EXPECT_EQ(terminal->GetKind(&active), STATUS_SUCCESS);
        EXPECT_EQ(active, row.active);
        // The device ends on the active output; each output read its own jacks.
        EXPECT_EQ(DeviceOutput(id), row.active == 1 ? 0x0301 : 0x0302);
        EXPECT_EQ(Types(terminal), (std::vector<LONG>{ENTITY_MULTI_OUTPUT_TERMINAL, ENTITY_OUTPUT_TERMINAL,
                                                      ENTITY_OUTPUT_TERMINAL}));
        EXPECT_EQ(m_function->CapabilityKinds, (std::vector<std::pair<bool, ULONG>>{{false, 1}, {false, 2}}));
        for (ULONG output = 0; output < 2; ++output) {
            ULONG jacks = 0;
            EXPECT_EQ(terminal->GetJackCount(&jacks, output), STATUS_SUCCESS);
            EXPECT_EQ(jacks, 1u);
        }
        ULONG jacks = 0;
        EXPECT_EQ(terminal->GetJackCount(&jacks, 2), STATUS_INVALID_PARAMETER);
    }
}

TEST_F(Uac1TerminalTest, SelectKindAndJacksOfTheOtherOutput)
{
    TwoOutputs(45, 0x0301);
    Connected(45, 0x1);
    OutputTerminal* terminal = nullptr;
    ASSERT_EQ(Init<OutputTerminal>(OutputTerminalBytes(45, 0x0301), &terminal), STATUS_SUCCESS);

    // A kind no output has, or the active one: nothing sent, nothing changed.
    const size_t before = RequestsTo(45).size();
    EXPECT_EQ(terminal->SelectKind(7), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(terminal->SelectKind(1), STATUS_SUCCESS);
    EXPECT_EQ(RequestsTo(45).size(), before);
    EXPECT_FALSE(Stored(ActiveName(45)).has_value());

    // The headphones' jacks are not on the device now: the setting decides how they look.
    EXPECT_EQ(Jacks(terminal, 1)[0].IsConnected, 0u);
    Store(u"SetJackConnect", Long(1));
    EXPECT_EQ(Jacks(terminal, 1)[0].IsConnected, 1u);
    EXPECT_EQ(Jacks(terminal, 0)[0].IsConnected, 1u);  // the speaker's come from the device mask
    EXPECT_EQ(RequestsTo(45).back().wValue, 0x0200);

    ASSERT_EQ(terminal->SelectKind(2), STATUS_SUCCESS);
    ULONG active = 0;
    terminal->GetKind(&active);
    EXPECT_EQ(active, 2u);
    EXPECT_EQ(DeviceOutput(45), 0x0302);
    EXPECT_EQ(Stored(ActiveName(45)), Long(2));
    Store(u"SetJackConnect", Long(0));
    EXPECT_EQ(Jacks(terminal, 0)[0].IsConnected, 0u);  // now the speaker is the other output
}

TEST_F(Uac1TerminalTest, TheDeviceSwitchingOutputsIsFollowed)
{
    TwoOutputs(46, 0x0301);
    OutputTerminal* terminal = nullptr;
    ASSERT_EQ(Init<OutputTerminal>(OutputTerminalBytes(46, 0x0301), &terminal), STATUS_SUCCESS);
    ULONG active = 0;
    terminal->GetKind(&active);
    ASSERT_EQ(active, 1u);

    // The headphones were plugged: the device switched on its own and reports it.
    DeviceSelectsOutput(46, 0x0302);
    EXPECT_EQ(terminal->HandleStatusChange(0, 0, nullptr), STATUS_SUCCESS);
    terminal->GetKind(&active);
    EXPECT_EQ(active, 2u);
    EXPECT_EQ(Stored(ActiveName(46)), Long(2));
    // The multi-output entity followed (and had the function re-register its endpoints), and the
    // device was left on the output it chose.
    EXPECT_EQ(m_function->ReRegistered, std::vector<ULONG>{46});
    EXPECT_EQ(DeviceOutput(46), 0x0302);

    // An output the terminal does not have changes nothing.
    DeviceSelectsOutput(46, 0x0605);
    EXPECT_EQ(terminal->HandleStatusChange(0, 0, nullptr), STATUS_SUCCESS);
    terminal->GetKind(&active);
    EXPECT_EQ(active, 2u);
    EXPECT_EQ(m_function->ReRegistered.size(), 1u);
}

TEST_F(Uac1TerminalTest, StreamingOutputTerminalAsksNothing)
{
    Store(ActiveName(47), Long(6));
    OutputTerminal* terminal = nullptr;
    ASSERT_EQ(Init<OutputTerminal>(OutputTerminalBytes(47, 0x0101, 12), &terminal), STATUS_SUCCESS);
    ULONG active = 0, count = 0;
    terminal->GetKind(&active);
    terminal->GetKindCount(&count);
    EXPECT_EQ(active, 6u);
    EXPECT_EQ(count, 1u);
    EXPECT_TRUE(RequestsTo(47).empty());
    EXPECT_EQ(Types(terminal), std::vector<LONG>{ENTITY_OUTPUT_TERMINAL});
    ULONG sources[1] = {}, n = 1;
    terminal->GetSources(&n, sources);
    EXPECT_EQ(sources[0], 12u);
    EXPECT_EQ(terminal->GetJackCount(&count, 0), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
}

TEST_F(Uac1TerminalTest, SelectorAndMixerUnits)
{
    m_device->SetControl(50, 0, 0, {2, 1, 3, 1, 1});
    SelectorUnit* selector = nullptr;
    ASSERT_EQ(Init<SelectorUnit>({9, 0x24, 0x05, 50, 3, 11, 12, 13, 0}, &selector), STATUS_SUCCESS);
    EXPECT_EQ(selector->GetId(), 50u);
    EXPECT_EQ(selector->GetType(), 5);
    EXPECT_EQ(Types(selector), std::vector<LONG>{ENTITY_SELECTOR});
    ULONG ids[3] = {}, n = 3;
    selector->GetSources(&n, ids);
    EXPECT_EQ(std::vector<ULONG>(ids, ids + 3), (std::vector<ULONG>{11, 12, 13}));
    ULONG input = 0;
    EXPECT_EQ(selector->GetSelected(&input), STATUS_SUCCESS);
    EXPECT_EQ(input, 2u);
    EXPECT_EQ(selector->GetInputCount(&n), STATUS_SUCCESS);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(selector->AddBranchControl(nullptr), STATUS_NOT_IMPLEMENTED);
    const size_t before = RequestsTo(50).size();
    EXPECT_EQ(selector->SetSelected(0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(selector->SetSelected(4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RequestsTo(50).size(), before);
    EXPECT_EQ(selector->SetSelected(3), STATUS_SUCCESS);
    EXPECT_EQ(m_device->Control(50, 0, 0)->Cur, 3);
    const auto set = RequestsTo(50).back();
    EXPECT_EQ(set.bmRequestType, 0x21);
    EXPECT_EQ(set.bRequest, 0x01);
    EXPECT_EQ(set.wValue, 0);
    EXPECT_EQ(set.wLength, 1);

    // The mixer's controls are never asked for.
    MixerUnit* mixer = nullptr;
    ASSERT_EQ(Init<MixerUnit>({13, 0x24, 0x04, 60, 2, 11, 12, 2, 3, 0, 0xFF, 0xFF, 0}, &mixer), STATUS_SUCCESS);
    EXPECT_EQ(mixer->GetType(), 4);
    EXPECT_EQ(Types(mixer), std::vector<LONG>{ENTITY_MIXER});
    n = 3;
    mixer->GetSources(&n, ids);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(std::vector<ULONG>(ids, ids + 2), (std::vector<ULONG>{11, 12}));
    EXPECT_EQ(Entities(mixer)[0]->GetSourceCount(), 2u);
    EXPECT_TRUE(RequestsTo(60).empty());
    ULONG entity = 99;
    EXPECT_EQ(mixer->HandleStatusChange(0, 0, &entity), STATUS_SUCCESS);
    EXPECT_EQ(entity, Entities(mixer)[0]->GetId());
}

// Descriptors and replies that promise more than they hold: each unit refuses or bounds them,
// reads nothing past the bytes it has and leaks nothing.
TEST_F(Uac1TerminalTest, HostileDescriptors)
{
    enum Class { IT, OT, FU, MU, SU };
    struct Row {
        const char* name;
        Class cls;
        std::vector<UCHAR> bytes;
        NTSTATUS status;
    };
    const Row rows[] = {
        {"input terminal cut to 11", IT, {11, 0x24, 0x02, 70, 0x01, 0x01, 0, 2, 3, 0, 0}, STATUS_INVALID_PARAMETER},
        {"input terminal cut to 2", IT, {2, 0x24}, STATUS_INVALID_PARAMETER},
        {"output terminal cut to 8", OT, {8, 0x24, 0x03, 71, 0x01, 0x01, 0, 9}, STATUS_INVALID_PARAMETER},
        {"feature unit cut to 6", FU, {6, 0x24, 0x06, 72, 1, 1}, STATUS_INVALID_PARAMETER},
        {"feature unit without bitmaps", FU, {7, 0x24, 0x06, 72, 1, 1, 0}, STATUS_INSUFFICIENT_RESOURCES},
        {"feature unit bControlSize 0", FU, {9, 0x24, 0x06, 72, 1, 0, 1, 1, 0}, STATUS_INSUFFICIENT_RESOURCES},
        {"feature unit bControlSize 255", FU, {9, 0x24, 0x06, 72, 1, 255, 1, 1, 0}, STATUS_INSUFFICIENT_RESOURCES},
        {"mixer cut to 4", MU, {4, 0x24, 0x04, 73}, STATUS_INVALID_PARAMETER},
        {"mixer promising 255 pins", MU, {10, 0x24, 0x04, 73, 255, 1, 2, 3, 4, 5}, STATUS_INVALID_PARAMETER},
        {"mixer of no pins", MU, {5, 0x24, 0x04, 73, 0}, STATUS_SUCCESS},
        {"selector promising 255 pins", SU, {6, 0x24, 0x05, 74, 255, 1}, STATUS_INVALID_PARAMETER},
        {"selector pins past bLength", SU, {7, 0x24, 0x05, 74, 3, 1, 2}, STATUS_INVALID_PARAMETER},
        {"selector of no pins", SU, {5, 0x24, 0x05, 74, 0}, STATUS_SUCCESS},
        {"wrong subtype", SU, {9, 0x24, 0x04, 74, 3, 1, 2, 3, 0}, STATUS_INVALID_PARAMETER},
    };
    m_device->SetControl(72, 1, -1, {0, 0, 1, 1, 1});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        NTSTATUS status = STATUS_SUCCESS;
        switch (row.cls) {
        case IT: status = Init<InputTerminal>(row.bytes); break;
        case OT: status = Init<OutputTerminal>(row.bytes); break;
        case FU: status = Init<FeatureUnit>(row.bytes); break;
        case MU: status = Init<MixerUnit>(row.bytes); break;
        case SU: status = Init<SelectorUnit>(row.bytes); break;
        }
        EXPECT_EQ(status, row.status);
    }
}

TEST_F(Uac1TerminalTest, HostileReplies)
{
    struct Row {
        const char* name;
        std::vector<uint8_t> jackReply;
        std::vector<uint8_t> outputList;  // empty: no list
        std::vector<uint8_t> current;
        ULONG outputs;
        ULONG jacks;
        ULONG active;
    };
    const Row rows[] = {
        {"jack count promising five, two sent", JackReply(5, {{1, 0x1000}, {2, 0x1000}}), {}, Le16(0x0302), 1, 2, 2},
        {"a jack entry cut short", [] {
             auto r = JackReply(3, {{1, 0x1000}, {2, 0x1000}});
             r.insert(r.end(), {1, 2, 3});
             return r;
         }(),
         {}, Le16(0x0302), 1, 2, 2},
        {"jack count byte only", {4}, {}, {}, 1, 0, 1},
        {"output count promising three, two sent", {}, OutputList(3, {0x0301, 0x0302}), Le16(0x0302), 2, 0, 2},
        {"output count promising two, one sent", {}, OutputList(2, {0x0302}), Le16(0x0302), 1, 0, 2},
        {"output count cut to one byte", {}, {2}, Le16(0x0302), 1, 0, 2},
        {"current output cut to one byte", {}, OutputList(2, {0x0301, 0x0302}), {0x02}, 2, 0, 1},
    };
    uint8_t id = 80;
    Store(u"INITOTTYPEBYSEL", Long(1));  // the device's current output decides, when it can be read
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ++id;
        if (!row.jackReply.empty()) {
            Vendor(0x81, 0x02FF, id, row.jackReply);
        }
        if (!row.outputList.empty()) {
            Vendor(0x86, 0x0800, id, row.outputList);
        }
        if (!row.current.empty()) {
            Vendor(0x81, 0x0800, id, row.current);
        }
        OutputTerminal* terminal = nullptr;
        ASSERT_EQ(Init<OutputTerminal>(OutputTerminalBytes(id, 0x0301), &terminal), STATUS_SUCCESS);
        ULONG outputs = 0, jacks = 0, active = 0;
        terminal->GetKindCount(&outputs);
        terminal->GetJackCount(&jacks, 0);
        terminal->GetKind(&active);
        EXPECT_EQ(outputs, row.outputs);
        EXPECT_EQ(jacks, row.jacks);
        EXPECT_EQ(active, row.active);
    }
}

}  // namespace

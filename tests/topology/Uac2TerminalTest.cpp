#include <gtest/gtest.h>

#include <optional>

#include "tests/topology/Uac1UnitFixture.h"
#include "topology/JackTables.h"
#include "topology/Uac2Terminals.h"
#include "topology/ClockSource.h"
#include "topology/PassThroughUnit.h"
#include "topology/Uac2FeatureUnit.h"
#include "platform/nt/PoolHost.h"

#include <functional>
#include <type_traits>

namespace {

std::vector<uint8_t> Le32(uint32_t v)
{
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

class Uac2TerminalTest : public kvxtest::Uac1UnitFixture {
protected:
    void DescribeDevice(sim::DescriptorBuilder& b) override
    {
        b.AudioControl(0, 0x20, {1})
            .Uac2ClockSource(9)
            .Uac2InputTerminal(1, 0x0101, 9, 2)
            .Uac2OutputTerminal(3, 0x0301, 1, 9)
            .AudioStreaming(1, 0, 0x20);
    }
    // An input terminal descriptor: clock 9, two channels, bmControls as given.
    static std::vector<UCHAR> Input(uint8_t id, uint16_t type, uint8_t controls)
    {
        return {17, 0x24, 0x02, id, static_cast<UCHAR>(type), static_cast<UCHAR>(type >> 8), 0, 9, 2, 3, 0, 0, 0, 0,
                controls, 0, 0};
    }
    // The vendor jack list: (channel mapping, pin configuration) per jack after the count.
    void JackList(uint8_t id, uint8_t count, std::vector<std::pair<uint32_t, uint32_t>> jacks)
    {
        std::vector<uint8_t> reply = {count};
        for (const auto& [mapping, pin] : jacks) {
            const auto m = Le32(mapping);
            const auto p = Le32(pin);
            reply.insert(reply.end(), m.begin(), m.end());
            reply.insert(reply.end(), p.begin(), p.end());
        }
        Answer(0xA1, 0x01, 0x02FF, id, reply);
    }
    void Connectors(uint8_t id, uint32_t mask)
    {
        std::vector<uint8_t> reply = {2};
        const auto m = Le32(mask);
        reply.insert(reply.end(), m.begin(), m.end());
        reply.push_back(0);
        Answer(0xA1, 0x01, 0x0200, id, reply);
    }
};

TEST_F(Uac2TerminalTest, InputTerminalJacksAndKinds)
{
    struct Row {
        const char* name;
        uint16_t type;
        uint8_t controls;
        std::optional<std::pair<uint8_t, std::vector<std::pair<uint32_t, uint32_t>>>> list;
        std::optional<uint32_t> connectors;
        NTSTATUS status;
        ULONG kind, jacks;
        std::optional<ULONG> connected;  // of the first jack, after a query
    };
    const Row rows[] = {
        {"a microphone jack, plugged", 0x0201, 0x04, {{1, {{0x3, 0x01014C30}}}}, 0x1, STATUS_SUCCESS, 7, 1, 1},
        {"a microphone jack, unplugged", 0x0201, 0x04, {{1, {{0x3, 0x01014C30}}}}, 0x4, STATUS_SUCCESS, 7, 1, 0},
        // The entity's set-up asks for the jacks' state: an unreadable Connectors control fails the start.
        {"the Connectors read fails", 0x0201, 0x04, {{1, {{0x3, 0x01014C30}}}}, {}, STATUS_UNSUCCESSFUL, 7, 1, {}},
        {"USB streaming asks nothing", 0x0101, 0x04, {}, {}, STATUS_SUCCESS, 0, 0, {}},
        {"connectors not readable", 0x0201, 0x08, {}, {}, STATUS_SUCCESS, 7, 0, {}},
        {"an empty jack list", 0x0603, 0x04, {{0, {}}}, {}, STATUS_SUCCESS, 6, 0, {}},
        {"a headset is a handset", 0x0402, 0x04, {{1, {{0x1, 0}}}}, 0x1, STATUS_SUCCESS, 13, 1, 1},
        {"a list shorter than its count", 0x0201, 0x04, {{3, {{0x3, 0}}}}, {}, STATUS_UNSUCCESSFUL, 7, 0, {}},
        {"a stalled jack list", 0x0201, 0x04, {}, {}, STATUS_UNSUCCESSFUL, 7, 0, {}},
    };
    uint8_t id = 50;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ++id;
        if (row.list) {
            JackList(id, row.list->first, row.list->second);
        }
        if (row.connectors) {
            Connectors(id, *row.connectors);
        }
        const size_t from = m_device->Log().size();
        Uac2InputTerminal* unit = nullptr;
        EXPECT_EQ(Init<Uac2InputTerminal>(Input(id, row.type, row.controls), &unit), row.status);
        EXPECT_EQ(Types(unit), row.status == STATUS_SUCCESS ? std::vector<LONG>{ENTITY_INPUT_TERMINAL}
                                                            : std::vector<LONG>{});
        if (row.type == 0x0101 || (row.controls & 0x04) == 0) {
            EXPECT_TRUE(RequestsTo(id, from).empty());
        }
        if (row.status != STATUS_SUCCESS) {
            continue;
        }
        ULONG value = 99;
        EXPECT_EQ(unit->GetKind(&value), STATUS_SUCCESS);
        EXPECT_EQ(value, row.kind);
        EXPECT_EQ(unit->GetJackCount(&value, 0), STATUS_SUCCESS);
        EXPECT_EQ(value, row.jacks);
        EXPECT_EQ(unit->GetClockSourceId(&value), STATUS_SUCCESS);
        EXPECT_EQ(value, 9u);
        JackRecord records[2] = {};
        const NTSTATUS query = unit->GetJackDescriptions(sizeof records, records, 0);
        if (!row.connected) {
            EXPECT_EQ(query, STATUS_INVALID_PARAMETER);
            continue;
        }
        EXPECT_EQ(query, STATUS_SUCCESS);
        EXPECT_EQ(records[0].IsConnected, *row.connected);
        EXPECT_EQ(records[0].Word8, 0u);
        if (row.type == 0x0201) {
            EXPECT_EQ(records[0].ChannelMapping, 0x3u);
            EXPECT_EQ(records[0].Color, JackColorTable[4]);
            EXPECT_EQ(records[0].ConnectionType, 0x01u);
            EXPECT_EQ(records[0].GeoLocation, 1u);
            EXPECT_EQ(records[0].GenLocation, 0u);
        }
    }

    // Nothing is read past bLength: a descriptor without bmControls is refused.
    std::vector<UCHAR> cut = Input(70, 0x0201, 0x04);
    cut.resize(15);
    cut[0] = 15;
    EXPECT_EQ(Init<Uac2InputTerminal>(cut), STATUS_INVALID_PARAMETER);
}

TEST_F(Uac2TerminalTest, InputTerminalStatusAndClockLink)
{
    JackList(60, 1, {{0x1, 0}});
    Connectors(60, 0x1);
    Uac2InputTerminal* unit = nullptr;
    const ULONG first = m_owner->GetEntityCount();
    ASSERT_EQ(Init<Uac2InputTerminal>(Input(60, 0x0201, 0x04), &unit), STATUS_SUCCESS);
    struct Row {
        ULONG selector, channel;
        NTSTATUS status;
    };
    const Row rows[] = {{0x02, 0, STATUS_SUCCESS}, {0x02, 1, STATUS_UNSUCCESSFUL}, {0x08, 0, STATUS_UNSUCCESSFUL},
                        {0x01, 0, STATUS_UNSUCCESSFUL}};
    for (const Row& row : rows) {
        ULONG id = 0xEEEE;
        EXPECT_EQ(unit->HandleStatusChange(row.selector, row.channel, &id), row.status) << row.selector;
        EXPECT_EQ(id, row.status == STATUS_SUCCESS ? first : 0xEEEE);
    }
    // The streaming parser finds the clock through the interface.
    IClockSourceLink* link = nullptr;
    ASSERT_EQ(unit->QueryInterface(IID_IClockSourceLink, reinterpret_cast<PVOID*>(&link)), STATUS_SUCCESS);
    ULONG clock = 0;
    EXPECT_EQ(link->GetClockSourceId(&clock), STATUS_SUCCESS);
    EXPECT_EQ(clock, 9u);
    EXPECT_EQ(link->GetClockSourceId(nullptr), STATUS_INVALID_PARAMETER);
    link->Release();
}

TEST_F(Uac2TerminalTest, OutputTerminalOutputsAndTheActiveOne)
{
    // An output terminal of type 0x0301 on clock 9 with a readable Connectors control.
    auto output = [](uint8_t id) {
        return std::vector<UCHAR>{12, 0x24, 0x03, id, 0x01, 0x03, 0, 5, 9, 0x04, 0, 0};
    };
    // Two outputs, headphones and S/PDIF, each with one jack (the list follows no output here).
    auto twoOutputs = [&](uint8_t id, uint16_t current) {
        Answer(0xA1, 0x02, 0x0800, id, {2, 0, 0x02, 0x03, 0, 0, 0, 0, 0x05, 0x06, 0, 0, 0, 0});
        m_device->SetControl(id, 0x08, 0, {current, 0, 0xFFFF, 1, 2});
        JackList(id, 1, {{0x3, 0x01014C30}});
        Connectors(id, 0x1);
    };
    auto writes = [&](uint8_t id, size_t from) {
        size_t n = 0;
        for (const auto& s : RequestsTo(id, from)) {
            n += s.bmRequestType == 0x21 && s.wValue == 0x0800 ? 1 : 0;
        }
        return n;
    };
    auto stored = [&](uint8_t id) -> std::optional<ULONG> {
        auto v = Stored(u"UACUnit" + std::u16string(1, u'0' + id / 10) + std::u16string(1, u'0' + id % 10));
        if (!v || v->size() != 4) {
            return std::nullopt;
        }
        return (*v)[0] | ((*v)[1] << 8);
    };

    // One subrange: one output of the terminal's own type, nothing selected, no multi-output entity.
    m_device->SetControl(81, 0x08, 0, {0x0301, 0x0301, 0x0301, 0, 2});
    JackList(81, 1, {{0x3, 0}});
    Connectors(81, 0x1);
    size_t from = m_device->Log().size();
    Uac2OutputTerminal* one = nullptr;
    ASSERT_EQ(Init<Uac2OutputTerminal>(output(81), &one), STATUS_SUCCESS);
    EXPECT_EQ(Types(one), std::vector<LONG>{ENTITY_OUTPUT_TERMINAL});
    EXPECT_EQ(one->GetOutputCount(), 1u);
    EXPECT_EQ(writes(81, from), 0u);
    ULONG value = 0;
    EXPECT_EQ(one->GetKind(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(one->GetClockSourceId(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 9u);

    // Headphones and S/PDIF with nothing stored: the stored kind (speaker) is no output's, so the
    // device stays on the last output the list read selected.
    twoOutputs(82, 0x0302);
    from = m_device->Log().size();
    Uac2OutputTerminal* two = nullptr;
    ASSERT_EQ(Init<Uac2OutputTerminal>(output(82), &two), STATUS_SUCCESS);
    EXPECT_EQ(Types(two), (std::vector<LONG>{ENTITY_MULTI_OUTPUT_TERMINAL, ENTITY_OUTPUT_TERMINAL,
                                             ENTITY_OUTPUT_TERMINAL}));
    ULONG kinds[2] = {};
    EXPECT_EQ(two->GetKinds(kinds), STATUS_SUCCESS);
    EXPECT_EQ(kinds[0], 2u);
    EXPECT_EQ(kinds[1], 3u);
    EXPECT_EQ(two->GetKind(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1u);
    EXPECT_EQ(writes(82, from), 2u);
    EXPECT_EQ(m_device->Control(82, 0x08, 0)->Cur, 0x0605);
    EXPECT_EQ(stored(82), std::nullopt);

    // Selecting headphones switches the device and keeps the kind; an absent kind is refused.
    EXPECT_EQ(two->SelectKind(2), STATUS_SUCCESS);
    EXPECT_EQ(m_device->Control(82, 0x08, 0)->Cur, 0x0302);
    EXPECT_EQ(stored(82), 2u);
    EXPECT_EQ(two->SelectKind(6), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(two->GetKind(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 2u);

    // The active output's jacks follow the Connectors control; another output's follow
    // "SetJackConnect", leaving the unit's records alone.
    JackRecord record = {};
    EXPECT_EQ(two->GetJackDescriptions(sizeof record, &record, 0), STATUS_SUCCESS);
    EXPECT_EQ(record.IsConnected, 1u);
    Store(u"SetJackConnect", {1, 0, 0, 0});
    record = {};
    EXPECT_EQ(two->GetJackDescriptions(sizeof record, &record, 1), STATUS_SUCCESS);
    EXPECT_EQ(record.IsConnected, 1u);
    EXPECT_EQ(record.ChannelMapping, 0x3u);
    Store(u"SetJackConnect", {0, 0, 0, 0});
    EXPECT_EQ(two->GetJackDescriptions(sizeof record, &record, 1), STATUS_SUCCESS);
    EXPECT_EQ(record.IsConnected, 0u);
    EXPECT_EQ(two->GetJackDescriptions(sizeof record, &record, 2), STATUS_INVALID_PARAMETER);

    // The device switched by itself: the status path follows it and keeps the kind.
    m_device->SetControl(82, 0x08, 0, {0x0605, 0, 0xFFFF, 1, 2});
    EXPECT_EQ(two->HandleStatusChange(0x08, 0, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(two->GetKind(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 3u);
    EXPECT_EQ(stored(82), 3u);
    EXPECT_EQ(two->HandleStatusChange(0x01, 0, nullptr), STATUS_UNSUCCESSFUL);

    // An output list too long for a 16-bit reply is refused unread.
    Answer(0xA1, 0x02, 0x0800, 83, {0xAB, 0x2A});
    m_device->SetControl(83, 0x08, 0, {0x0302, 0, 0xFFFF, 1, 2});
    from = m_device->Log().size();
    EXPECT_EQ(Init<Uac2OutputTerminal>(output(83)), STATUS_INVALID_PARAMETER);
    size_t ranges = 0;
    for (const auto& s : RequestsTo(83, from)) {
        ranges += s.bRequest == 0x02 ? 1 : 0;
    }
    EXPECT_EQ(ranges, 1u);

    // Nothing is read past bLength: an output terminal without bmControls is refused unasked.
    from = m_device->Log().size();
    EXPECT_EQ(Init<Uac2OutputTerminal>({10, 0x24, 0x03, 85, 0x01, 0x03, 0, 5, 9, 0x04}), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(RequestsTo(85, from).empty());

    // "INITOTTYPEBYSEL": the active output follows the device's, and is selected once more.
    Store(u"INITOTTYPEBYSEL", {1, 0, 0, 0});
    twoOutputs(84, 0x0605);
    from = m_device->Log().size();
    Uac2OutputTerminal* follow = nullptr;
    ASSERT_EQ(Init<Uac2OutputTerminal>(output(84), &follow), STATUS_SUCCESS);
    EXPECT_EQ(follow->GetKind(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 3u);
    EXPECT_EQ(stored(84), 3u);
    EXPECT_EQ(writes(84, from), 4u);
    EXPECT_EQ(m_device->Control(84, 0x08, 0)->Cur, 0x0605);
}

TEST_F(Uac2TerminalTest, AllocationFailuresAtEachStepLeaveNothingBehind)
{
    // Every allocation of each class's start fails once in turn: a clean status every time,
    // and (as every test here) no pool block left when the units are gone.
    JackList(90, 1, {{0x3, 0x01014C30}});
    Connectors(90, 0x1);
    JackList(91, 1, {{0x3, 0x01014C30}});
    Connectors(91, 0x1);
    Answer(0xA1, 0x02, 0x0800, 91, {2, 0, 0x02, 0x03, 0, 0, 0, 0, 0x05, 0x06, 0, 0, 0, 0});
    m_device->SetControl(91, 0x08, 0, {0x0302, 0, 0xFFFF, 1, 2});
    m_device->SetControl(92, 0x01, -1, {0, 0, 1, 1, 1});
    m_device->SetControl(92, 0x02, -1, {0, -60 * 256, 0, 256, 2});
    m_device->SetControl(92, 0x82, -1, {0, -60 * 256, 0, 256, 2});
    m_device->SetControl(92, 0x90, -1, {0, 0, 1, 1, 1});
    Answer(0xA1, 0x03, 0x0010, 92, {22, 0});
    {
        std::vector<uint8_t> block(16, 0);
        block.insert(block.end(), {22, 0, 0x0C, 0, 0, 0xC0});
        Answer(0xA1, 0x03, 0x0000, 92, block);
    }
    m_device->SetClockRates(9, {44100, 48000});

    // The unit and its descriptor copy exist before the n-th allocation fails.
    auto failing = [&](auto* type, const std::vector<UCHAR>& bytes, uint64_t n, uint64_t* injected) {
        using U = std::remove_pointer_t<decltype(type)>;
        U* unit = Make<U>();
        kvxtest::PoolDescriptor copy(bytes);
        platform::PoolClearFailures();
        platform::PoolFailNthAllocation(n);
        const NTSTATUS status = unit->InitFromDescriptor(copy.Data, m_owner->Hal(), m_owner->Hal());
        *injected = platform::PoolInjectedFailures();
        platform::PoolClearFailures();
        return status;
    };
    struct Row {
        const char* name;
        std::function<NTSTATUS(uint64_t, uint64_t*)> init;
    };
    const Row rows[] = {
        {"input terminal",
         [&](uint64_t n, uint64_t* f) { return failing((Uac2InputTerminal*)nullptr, Input(90, 0x0201, 0x04), n, f); }},
        {"output terminal with two outputs",
         [&](uint64_t n, uint64_t* f) {
             return failing((Uac2OutputTerminal*)nullptr, {12, 0x24, 0x03, 91, 0x01, 0x03, 0, 5, 9, 0x04, 0, 0}, n, f);
         }},
        {"feature unit with vendor controls",
         [&](uint64_t n, uint64_t* f) {
             return failing((Uac2FeatureUnit*)nullptr, {10, 0x24, 0x06, 92, 1, 0x0F, 0, 0, 0, 0}, n, f);
         }},
        {"clock source",
         [&](uint64_t n, uint64_t* f) { return failing((ClockSource*)nullptr, {8, 0x24, 0x0A, 9, 1, 7, 0, 0}, n, f); }},
        {"extension unit",
         [&](uint64_t n, uint64_t* f) {
             return failing((PassThroughUnit*)nullptr, {10, 0x24, 0x09, 93, 0, 0, 2, 1, 4, 0}, n, f);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        for (uint64_t n = 1; n < 400; ++n) {
            uint64_t injected = 0;
            const NTSTATUS status = row.init(n, &injected);
            if (injected == 0) {
                EXPECT_EQ(status, STATUS_SUCCESS) << n;
                break;
            }
            // Optional parts (the vendor block, later controls) may go missing; the rest fails.
            EXPECT_TRUE(NT_SUCCESS(status) || status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_UNSUCCESSFUL ||
                        status == STATUS_INVALID_PARAMETER || status == STATUS_NO_MEMORY)
                << std::hex << status << " at allocation " << std::dec << n;
        }
    }
}

}  // namespace

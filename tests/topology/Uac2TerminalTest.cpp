#include <gtest/gtest.h>

#include <optional>

#include "tests/topology/Uac1UnitFixture.h"
#include "topology/JackTables.h"
#include "topology/Uac2Terminals.h"

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

}  // namespace

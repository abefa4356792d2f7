#include <gtest/gtest.h>

#include <set>

#include "tests/topology/Uac1UnitFixture.h"
#include "topology/ClockSource.h"
#include "topology/PassThroughUnit.h"
#include "topology/Uac2FeatureUnit.h"
#include "topology/Uac2SelectorUnit.h"
#include "topology/Uac2UnitRequest.h"

namespace {

using kvxtest::Le16;
using kvxtest::PoolDescriptor;

constexpr uint8_t FU = 7;
constexpr uint8_t CLOCK = 9;
constexpr uint8_t SELECTOR = 8;

// Bit pairs of the feature-unit entries: readable and writable.
constexpr uint32_t Pair(uint32_t selector) { return 3u << (2 * ((selector & 0x7F) - 1)); }
constexpr uint32_t MUTE = Pair(0x01), VOLUME = Pair(0x02), BASS = Pair(0x03), TREBLE = Pair(0x05),
                   AGC = Pair(0x07), LOUDNESS = Pair(0x0A), PAD = Pair(0x0C), VSWITCH = Pair(0x90),
                   VVOLUME = Pair(0x82);

std::vector<uint8_t> Le32(uint32_t v)
{
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

class Uac2UnitTest : public kvxtest::Uac1UnitFixture {
protected:
    void DescribeDevice(sim::DescriptorBuilder& b) override
    {
        b.AudioControl(0, 0x20, {1})
            .Uac2ClockSource(CLOCK)
            .Uac2InputTerminal(1, 0x0101, CLOCK, 2)
            .Uac2OutputTerminal(3, 0x0301, 1, CLOCK)
            .AudioStreaming(1, 0, 0x20);
    }
    void SetUp() override
    {
        Uac1UnitFixture::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        Controls(FU);
    }
    // Every feature-unit control on every channel of unit `id`.
    void Controls(uint8_t id)
    {
        for (uint8_t s : {0x01, 0x07, 0x0A, 0x90}) {
            m_device->SetControl(id, s, -1, {0, 0, 1, 1, 1});
        }
        for (uint8_t s : {0x02, 0x0C, 0x82}) {
            m_device->SetControl(id, s, -1, {-5 * 256, -60 * 256, 0, 256, 2});
        }
        for (uint8_t s : {0x03, 0x04, 0x05}) {
            m_device->SetControl(id, s, -1, {0, -12, 12, 1, 1});
        }
    }

    // A feature unit descriptor: one 32-bit entry per channel, master first, then iFeature.
    static std::vector<UCHAR> Fu(std::vector<uint32_t> entries, uint8_t id = FU)
    {
        std::vector<UCHAR> d = {static_cast<UCHAR>(6 + 4 * entries.size()), 0x24, 0x06, id, 1};
        for (uint32_t e : entries) {
            const auto b = Le32(e);
            d.insert(d.end(), b.begin(), b.end());
        }
        d.push_back(0);
        return d;
    }
    // MEM answers: the length word, then the block (16 bytes, its length field, the entries).
    void VendorBlock(uint16_t length, std::vector<uint32_t> entries, std::optional<uint16_t> field = {},
                     uint8_t id = FU)
    {
        Answer(0xA1, 0x03, 0x0010, id, Le16(length));
        std::vector<UCHAR> block(16, 0xEE);
        const auto l = Le16(field.value_or(length));
        block.insert(block.end(), l.begin(), l.end());
        for (uint32_t e : entries) {
            const auto b = Le32(e);
            block.insert(block.end(), b.begin(), b.end());
        }
        Answer(0xA1, 0x03, 0x0000, id, block);
    }
    // A unit that only kept its descriptor: its control operations work without entities.
    template <typename U>
    U* Kept(const std::vector<UCHAR>& bytes)
    {
        auto* unit = Make<U>();
        PoolDescriptor copy(bytes);
        EXPECT_EQ(unit->SetDescriptor(copy.Data, m_owner->Hal()), STATUS_SUCCESS);
        return unit;
    }
    // Selector and channel of every class request to a unit from log position `from`.
    std::vector<uint16_t> Values(uint8_t unit, size_t from)
    {
        std::vector<uint16_t> out;
        const auto log = m_device->Log();
        for (size_t i = from; i < log.size(); ++i) {
            if (log[i].What == sim::RequestLogEntry::Kind::Control && (log[i].Setup.wIndex >> 8) == unit) {
                out.push_back(log[i].Setup.wValue);
            }
        }
        return out;
    }
};

TEST_F(Uac2UnitTest, FeatureUnitChannelAddressing)
{
    struct Row {
        const char* name;
        std::vector<uint32_t> entries;
        ULONG selector, index;
        NTSTATUS countStatus;
        ULONG count;
        NTSTATUS getStatus;
        uint16_t wValue;  // of the read, when one is made
    };
    const Row rows[] = {
        {"mute on the master only", {MUTE, 0, 0}, 0x01, 0, STATUS_SUCCESS, 1, STATUS_SUCCESS, 0x0100},
        {"mute on channels 1 and 2", {0, MUTE, MUTE}, 0x01, 1, STATUS_SUCCESS, 2, STATUS_SUCCESS, 0x0102},
        {"volume on channel 1 of a mono unit", {0, VOLUME}, 0x02, 0, STATUS_SUCCESS, 1, STATUS_SUCCESS, 0x0201},
        {"index past the count", {0, MUTE, MUTE}, 0x01, 2, STATUS_SUCCESS, 2, STATUS_INVALID_PARAMETER, 0},
        {"write-only volume is not read", {0, 0x8, 0x8}, 0x02, 0, STATUS_SUCCESS, 2, STATUS_INVALID_PARAMETER, 0},
        {"channel 2 alone is not reached", {0, 0, VOLUME}, 0x02, 0, STATUS_SUCCESS, 1, STATUS_INVALID_PARAMETER, 0},
        {"selector 0 names no pair", {0xFFFFFFFF, 0xFFFFFFFF}, 0x00, 0, STATUS_UNSUCCESSFUL, 0, STATUS_UNSUCCESSFUL, 0},
        {"a pair past the entry", {0xFFFFFFFF, 0xFFFFFFFF}, 0x11, 0, STATUS_UNSUCCESSFUL, 0, STATUS_UNSUCCESSFUL, 0},
        {"a vendor selector without a block", {0xFFFFFFFF}, 0x82, 0, STATUS_INVALID_PARAMETER, 7, STATUS_INVALID_PARAMETER, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto* unit = Kept<Uac2FeatureUnit>(Fu(row.entries));
        ULONG count = 7;
        EXPECT_EQ(unit->ChannelCount(row.selector, &count), row.countStatus);
        EXPECT_EQ(count, row.count);
        const size_t from = m_device->Log().size();
        NTSTATUS status;
        if (row.selector == 0x01) {
            UCHAR v = 0;
            status = unit->GetOnOff(row.selector, row.index, &v);
        } else {
            LONG v = 0;
            status = unit->GetValue(row.selector, row.index, &v);
        }
        EXPECT_EQ(status, row.getStatus);
        EXPECT_EQ(Values(FU, from), row.getStatus == STATUS_SUCCESS ? std::vector<uint16_t>{row.wValue}
                                                                    : std::vector<uint16_t>{});
    }
}

TEST_F(Uac2UnitTest, FeatureUnitValueScalingAndRanges)
{
    auto* unit = Kept<Uac2FeatureUnit>(Fu({MUTE | VOLUME | BASS | TREBLE}));
    // Silence has its own code; tone is one signed byte in quarter dB.
    EXPECT_EQ(unit->SetValue(0x02, 0, static_cast<LONG>(0x80000000)), STATUS_SUCCESS);
    EXPECT_EQ(m_device->Control(FU, 0x02, 0)->Cur, -32768);
    EXPECT_EQ(unit->SetValue(0x03, 0, -(1 << 15)), STATUS_SUCCESS);
    EXPECT_EQ(m_device->Control(FU, 0x03, 0)->Cur, -2);
    LONG value = 0;
    EXPECT_EQ(unit->GetValue(0x03, 0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, -2 * (1 << 14));
    const auto log = m_device->Log();
    EXPECT_EQ(log.back().Setup.bmRequestType, 0xA1);
    EXPECT_EQ(log.back().Setup.wLength, 1);

    LONG maximum = 0, minimum = 0, resolution = 0;
    EXPECT_EQ(unit->GetRange(0x05, &maximum, &minimum, &resolution), STATUS_SUCCESS);
    EXPECT_EQ(maximum, 12 * (1 << 14));
    EXPECT_EQ(minimum, -12 * (1 << 14));
    EXPECT_EQ(resolution, 1 << 14);
    EXPECT_EQ(m_device->Log().back().Setup.wLength, 5);
    EXPECT_EQ(unit->GetRange(0x02, &maximum, &minimum, &resolution), STATUS_SUCCESS);
    EXPECT_EQ(minimum, -60 * 65536);
    EXPECT_EQ(m_device->Log().back().Setup.wLength, 8);

    // Anything but one whole subrange is refused.
    struct Row {
        const char* name;
        uint8_t id;
        std::vector<uint8_t> reply;
    };
    const Row rows[] = {
        {"two subranges", 20, {2, 0, 0, 0x80, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}},
        {"no subrange", 21, {0, 0, 0, 0, 0, 0, 0, 0}},
        {"a short reply", 22, {1, 0, 0, 0x80}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto* other = Kept<Uac2FeatureUnit>(Fu({MUTE | VOLUME}, row.id));
        Answer(0xA1, 0x02, 0x0200, row.id, row.reply);
        maximum = minimum = resolution = 99;
        EXPECT_EQ(other->GetRange(0x02, &maximum, &minimum, &resolution), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(maximum, 99);
    }
}

TEST_F(Uac2UnitTest, FeatureUnitEntitiesFromClassAndVendorControls)
{
    struct Block {
        uint16_t length;
        std::vector<uint32_t> entries;
        std::optional<uint16_t> field;
    };
    struct Row {
        const char* name;
        std::vector<uint32_t> entries;
        std::optional<Block> block;
        NTSTATUS status;
        std::vector<LONG> types;  // head (last created) first
    };
    const Row rows[] = {
        {"class controls in table order", {MUTE | VOLUME | BASS | AGC | LOUDNESS | PAD, 0}, {}, STATUS_SUCCESS,
         {ENTITY_GAIN_PAD, ENTITY_LOUDNESS, ENTITY_AGC, ENTITY_BASS, ENTITY_VOLUME, ENTITY_MUTE}},
        {"vendor controls from the block", {MUTE}, Block{22, {VSWITCH | VVOLUME}, {}}, STATUS_SUCCESS,
         {ENTITY_VOLUME, ENTITY_VENDOR_SWITCH, ENTITY_MUTE}},
        {"vendor bits of the descriptor are not vendor controls", {MUTE | VSWITCH}, {}, STATUS_SUCCESS, {ENTITY_MUTE}},
        {"a block shorter than one entry", {MUTE}, Block{20, {}, {}}, STATUS_SUCCESS, {ENTITY_MUTE}},
        {"a block whose length runs past the reply", {MUTE}, Block{22, {VSWITCH}, 26}, STATUS_SUCCESS, {ENTITY_MUTE}},
        {"no mute control", {VOLUME, VOLUME}, {}, STATUS_INSUFFICIENT_RESOURCES, {}},
    };
    uint8_t id = 30;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ++id;
        Controls(id);
        if (row.block) {
            VendorBlock(row.block->length, row.block->entries, row.block->field, id);
        }
        const ULONG first = m_owner->GetEntityCount();
        Uac2FeatureUnit* unit = nullptr;
        EXPECT_EQ(Init<Uac2FeatureUnit>(Fu(row.entries, id), &unit), row.status);
        EXPECT_EQ(Types(unit), row.types);
        EXPECT_EQ(m_owner->GetEntityCount(), first + row.types.size());
        EXPECT_EQ(unit->GetType(), 6);
        EXPECT_EQ(unit->GetId(), id);
        const bool vendor = row.block && row.block->length >= 22 && !row.block->field;
        EXPECT_EQ(unit->GetVendorControlBlock() != nullptr, vendor);
        ULONG count = 0;
        EXPECT_EQ(unit->ChannelCount(0x90, &count), vendor ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER);
    }

    // A descriptor without its master entry is refused before anything is asked.
    const size_t from = m_device->Log().size();
    EXPECT_EQ(Init<Uac2FeatureUnit>({9, 0x24, 0x06, FU, 1, 0x03, 0, 0, 0}), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Values(FU, from).empty());
}

TEST_F(Uac2UnitTest, StatusChangeRefreshesTheEntityOfItsOwnControl)
{
    // Volume on the descriptor and vendor volume in the block: two entities of the volume type.
    VendorBlock(22, {VSWITCH | VVOLUME});
    const ULONG first = m_owner->GetEntityCount();
    Uac2FeatureUnit* unit = nullptr;
    ASSERT_EQ(Init<Uac2FeatureUnit>(Fu({MUTE | VOLUME | PAD}), &unit), STATUS_SUCCESS);
    ASSERT_EQ(Types(unit), (std::vector<LONG>{ENTITY_VOLUME, ENTITY_VENDOR_SWITCH, ENTITY_GAIN_PAD, ENTITY_VOLUME,
                                              ENTITY_MUTE}));
    struct Row {
        ULONG selector;
        NTSTATUS status;
        std::optional<ULONG> entity;  // offset from the first id
    };
    const Row rows[] = {
        {0x01, STATUS_SUCCESS, 0},      {0x02, STATUS_SUCCESS, 1},      {0x82, STATUS_SUCCESS, 4},
        {0x0C, STATUS_UNSUCCESSFUL, {}}, {0x90, STATUS_UNSUCCESSFUL, {}}, {0x03, STATUS_UNSUCCESSFUL, {}},
        {0x00, STATUS_UNSUCCESSFUL, {}}, {0x80, STATUS_UNSUCCESSFUL, {}}, {0xFF, STATUS_UNSUCCESSFUL, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.selector);
        const size_t from = m_device->Log().size();
        ULONG id = 0xEEEE;
        EXPECT_EQ(unit->HandleStatusChange(row.selector, 1, &id), row.status);
        EXPECT_EQ(id, row.entity ? first + *row.entity : 0xEEEE);
        // The refresh read the interrupt's own control, and only it.
        std::set<uint8_t> selectors;
        for (uint16_t v : Values(FU, from)) {
            selectors.insert(static_cast<uint8_t>(v >> 8));
        }
        EXPECT_EQ(selectors, row.entity ? std::set<uint8_t>{static_cast<uint8_t>(row.selector)} : std::set<uint8_t>{});
    }
}

TEST_F(Uac2UnitTest, RangeLengthsFitSixteenBits)
{
    struct Row {
        ULONG subranges, width, length;
    };
    const Row rows[] = {{1, 1, 5}, {1, 2, 8}, {1, 4, 14}, {5461, 4, 65534}, {5462, 4, 0}, {10922, 2, 65534},
                        {10923, 2, 0}, {0xFFFFFFFF, 4, 0}};
    for (const Row& row : rows) {
        EXPECT_EQ(Uac2RangeLength(row.subranges, row.width), row.length) << row.subranges << " x " << row.width;
    }
}

TEST_F(Uac2UnitTest, ClockSourceRatesAndRequests)
{
    const std::vector<UCHAR> descriptor = {8, 0x24, 0x0A, CLOCK, 0x01, 0x07, 1, 0};
    m_device->SetClockRates(CLOCK, {44100, 48000});
    ClockSource* clock = nullptr;
    ASSERT_EQ(Init<ClockSource>(descriptor, &clock), STATUS_SUCCESS);
    EXPECT_EQ(clock->GetId(), CLOCK);
    EXPECT_EQ(clock->GetType(), 10);
    EXPECT_EQ(clock->GetSourceCount(), 0u);
    ASSERT_EQ(Types(clock), std::vector<LONG>{ENTITY_CLOCK});
    IClockControl* entity = nullptr;
    ASSERT_EQ(Entities(clock)[0]->QueryInterface(IID_IClockControl, reinterpret_cast<PVOID*>(&entity)), STATUS_SUCCESS);
    ULONG rates[4] = {};
    ULONG count = 4;
    EXPECT_EQ(entity->GetRates(&count, rates), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(rates[0], 44100u);
    EXPECT_EQ(rates[1], 48000u);
    entity->Release();

    // Rate and validity on the wire: CUR of controls 1 and 2 of the clock.
    EXPECT_EQ(clock->SetRate(44100), STATUS_SUCCESS);
    auto setup = m_device->Log().back().Setup;
    EXPECT_EQ(setup.bmRequestType, 0x21);
    EXPECT_EQ(setup.bRequest, 0x01);
    EXPECT_EQ(setup.wValue, 0x0100);
    EXPECT_EQ(setup.wIndex, CLOCK << 8);
    EXPECT_EQ(setup.wLength, 4);
    EXPECT_NE(clock->SetRate(22050), STATUS_SUCCESS);
    ULONG rate = 0;
    EXPECT_EQ(clock->GetRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 44100u);
    BOOLEAN valid = FALSE;
    EXPECT_EQ(clock->IsClockValid(&valid), STATUS_SUCCESS);
    EXPECT_EQ(valid, TRUE);
    EXPECT_EQ(m_device->Log().back().Setup.wValue, 0x0200);
    EXPECT_EQ(m_device->Log().back().Setup.wLength, 1);
}

TEST_F(Uac2UnitTest, ClockSourceRefusesWhatIsNotAListOfDiscreteRates)
{
    auto subrange = [](uint32_t lo, uint32_t hi, uint32_t res) {
        std::vector<uint8_t> out;
        for (uint32_t v : {lo, hi, res}) {
            const auto b = Le32(v);
            out.insert(out.end(), b.begin(), b.end());
        }
        return out;
    };
    auto reply = [](uint16_t count, std::vector<std::vector<uint8_t>> subranges) {
        std::vector<uint8_t> out = Le16(count);
        for (const auto& s : subranges) {
            out.insert(out.end(), s.begin(), s.end());
        }
        return out;
    };
    struct Row {
        const char* name;
        std::vector<uint8_t> reply;
        ULONG room;
        NTSTATUS status;       // of GetRates
        ULONG count;           // *count after it
        size_t rangeRequests;  // RANGE reads made
    };
    const Row rows[] = {
        {"a continuous third subrange",
         reply(3, {subrange(44100, 44100, 0), subrange(48000, 48000, 0), subrange(8000, 96000, 1)}), 3,
         STATUS_INVALID_PARAMETER, 3, 2},
        {"more subranges than 16 bits of reply can carry", reply(5462, {subrange(48000, 48000, 0)}), 6000,
         STATUS_INVALID_PARAMETER, 6000, 1},
        {"no subrange", reply(0, {}), 4, STATUS_UNSUCCESSFUL, 4, 1},
    };
    uint8_t id = 40;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ++id;
        Answer(0xA1, 0x02, 0x0100, id, row.reply);
        // The clock entity cannot be set up: the clock source fails as its rates do.
        const ULONG entities = m_owner->GetEntityCount();
        ClockSource* other = nullptr;
        EXPECT_EQ(Init<ClockSource>({8, 0x24, 0x0A, id, 0x01, 0x07, 1, 0}, &other),
                  row.status == STATUS_INVALID_PARAMETER ? STATUS_INVALID_PARAMETER : STATUS_UNSUCCESSFUL);
        EXPECT_EQ(m_owner->GetEntityCount(), entities);
        EXPECT_TRUE(Types(other).empty());
        std::vector<ULONG> rates(row.room, 0xAAAA);
        ULONG count = row.room;
        const size_t before = m_device->Log().size();
        EXPECT_EQ(other->GetRates(&count, rates.data()), row.status);
        EXPECT_EQ(count, row.count);
        EXPECT_EQ(Values(id, before).size(), row.rangeRequests);
        if (row.room == 3) {
            EXPECT_EQ(rates[0], 44100u);
            EXPECT_EQ(rates[1], 48000u);
            EXPECT_EQ(rates[2], 0xAAAAu);
        }
    }
}

TEST_F(Uac2UnitTest, SelectorUnitInputs)
{
    m_device->SetControl(SELECTOR, 0x01, 0, {1, 1, 2, 1, 1});
    Uac2SelectorUnit* unit = nullptr;
    ASSERT_EQ(Init<Uac2SelectorUnit>({9, 0x24, 0x05, SELECTOR, 2, 1, 4, 0x03, 0}, &unit), STATUS_SUCCESS);
    EXPECT_EQ(unit->GetType(), 5);
    EXPECT_EQ(Types(unit), std::vector<LONG>{ENTITY_SELECTOR});
    ULONG ids[2] = {};
    ULONG n = 2;
    EXPECT_EQ(unit->GetSources(&n, ids), STATUS_SUCCESS);
    EXPECT_EQ(ids[0], 1u);
    EXPECT_EQ(ids[1], 4u);
    const size_t from = m_device->Log().size();
    EXPECT_EQ(unit->SetSelected(0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->SetSelected(3), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(Values(SELECTOR, from).empty());
    EXPECT_EQ(unit->SetSelected(2), STATUS_SUCCESS);
    const auto setup = m_device->Log().back().Setup;
    EXPECT_EQ(setup.bmRequestType, 0x21);
    EXPECT_EQ(setup.bRequest, 0x01);
    EXPECT_EQ(setup.wValue, 0x0100);
    EXPECT_EQ(setup.wLength, 1);
    ULONG input = 0;
    EXPECT_EQ(unit->GetSelected(&input), STATUS_SUCCESS);
    EXPECT_EQ(input, 2u);
    EXPECT_EQ(unit->GetInputCount(&input), STATUS_SUCCESS);
    EXPECT_EQ(input, 2u);

    // Source ids past bLength are refused.
    EXPECT_EQ(Init<Uac2SelectorUnit>({6, 0x24, 0x05, SELECTOR, 2, 1}), STATUS_INVALID_PARAMETER);
}

TEST_F(Uac2UnitTest, MixerAndExtensionUnitsPassTheirInputsOn)
{
    struct Row {
        const char* name;
        std::vector<UCHAR> descriptor;
        NTSTATUS status;
        std::vector<ULONG> sources;
    };
    const Row rows[] = {
        {"mixer", {13, 0x24, 0x04, 10, 2, 1, 4, 2, 3, 0, 0, 0, 0}, STATUS_SUCCESS, {1, 4}},
        {"extension", {16, 0x24, 0x09, 11, 0x34, 0x12, 3, 1, 4, 9, 2, 3, 0, 0, 0, 0}, STATUS_SUCCESS, {1, 4, 9}},
        {"mixer sources past bLength", {6, 0x24, 0x04, 10, 2, 1}, STATUS_INVALID_PARAMETER, {}},
        {"extension sources past bLength", {9, 0x24, 0x09, 11, 0, 0, 3, 1, 4}, STATUS_INVALID_PARAMETER, {}},
        {"extension without its pin count", {6, 0x24, 0x09, 11, 0, 0}, STATUS_INVALID_PARAMETER, {}},
        {"another subtype", {7, 0x24, 0x05, 10, 2, 1, 4}, STATUS_INVALID_PARAMETER, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const size_t from = m_device->Log().size();
        PassThroughUnit* unit = nullptr;
        EXPECT_EQ(Init<PassThroughUnit>(row.descriptor, &unit), row.status);
        // The unit itself asks the device nothing.
        EXPECT_EQ(m_device->Log().size(), from);
        if (row.status != STATUS_SUCCESS) {
            EXPECT_TRUE(Types(unit).empty());
            continue;
        }
        EXPECT_EQ(unit->GetType(), row.descriptor[2]);
        EXPECT_EQ(unit->GetId(), row.descriptor[3]);
        EXPECT_EQ(Types(unit), std::vector<LONG>{ENTITY_MIXER});
        std::vector<ULONG> ids(row.sources.size());
        ULONG n = static_cast<ULONG>(ids.size());
        EXPECT_EQ(unit->GetSources(&n, ids.data()), STATUS_SUCCESS);
        EXPECT_EQ(ids, row.sources);
    }
}

}  // namespace

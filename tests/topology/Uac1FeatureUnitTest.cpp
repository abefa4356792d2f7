#include <gtest/gtest.h>

#include "platform/nt/PoolHost.h"
#include "tests/topology/Uac1UnitFixture.h"
#include "topology/FeatureUnit.h"

namespace {

using kvxtest::Le16;
using kvxtest::PoolDescriptor;

constexpr uint8_t ID = 7;
constexpr ULONG SILENCE = 0x80000000;

class Uac1FeatureUnitTest : public kvxtest::Uac1UnitFixture {
protected:
    // A unit that only kept its descriptor: its control operations work without entities.
    FeatureUnit* Kept(const std::vector<UCHAR>& bytes)
    {
        auto* unit = Make<FeatureUnit>();
        PoolDescriptor copy(bytes);
        EXPECT_EQ(unit->SetDescriptor(copy.Data, m_owner->Hal()), STATUS_SUCCESS);
        return unit;
    }
    // A feature unit descriptor with one-byte bitmaps, master first, and an iFeature byte.
    std::vector<UCHAR> Bytes1(std::vector<UCHAR> bitmaps, UCHAR iFeature = 0)
    {
        std::vector<UCHAR> d = {static_cast<UCHAR>(7 + bitmaps.size()), 0x24, 0x06, m_id, 1, 1};
        d.insert(d.end(), bitmaps.begin(), bitmaps.end());
        d.push_back(iFeature);
        return d;
    }
    // The same with `size`-byte bitmaps of which the low 16 bits are given.
    std::vector<UCHAR> BytesN(UCHAR size, std::vector<uint16_t> bitmaps)
    {
        std::vector<UCHAR> d = {static_cast<UCHAR>(7 + size * bitmaps.size()), 0x24, 0x06, m_id, 1, size};
        for (uint16_t b : bitmaps) {
            for (UCHAR i = 0; i < size; ++i) {
                d.push_back(i == 0 ? static_cast<UCHAR>(b) : i == 1 ? static_cast<UCHAR>(b >> 8) : 0xFF);
            }
        }
        d.push_back(0);
        return d;
    }
    // The wValue of the last class request to the unit.
    uint16_t LastValue()
    {
        auto requests = RequestsTo(ID);
        return requests.empty() ? 0xFFFF : requests.back().wValue;
    }
    // GET_MEM answers: the length word and the block (16 bytes, L, size, bitmaps).
    void VendorBlock(uint16_t length, UCHAR size, std::vector<UCHAR> bitmaps, std::optional<uint16_t> field = {})
    {
        Answer(0xA1, 0x85, 0x0010, m_id, Le16(length));
        std::vector<UCHAR> block(16, 0xEE);
        const auto l = Le16(field.value_or(length));
        block.insert(block.end(), l.begin(), l.end());
        block.push_back(size);
        block.insert(block.end(), bitmaps.begin(), bitmaps.end());
        Answer(0xA1, 0x85, 0x0000, m_id, block);
    }
    void Controls(std::initializer_list<uint8_t> selectors)
    {
        for (uint8_t s : selectors) {
            if (s == 3 || s == 4 || s == 5) {
                m_device->SetControl(m_id, s, -1, {0, -48, 48, 4, 1});
            } else if (s == 2) {
                m_device->SetControl(m_id, s, -1, {-5 * 256, -60 * 256, 0, 256, 2});
            } else {
                m_device->SetControl(m_id, s, -1, {0, 0, 1, 1, 1});
            }
        }
    }

    uint8_t m_id = ID;
};

TEST_F(Uac1FeatureUnitTest, OneByteBitmapsFromTheExampleDescriptor)
{
    // Mute on the master only, volume on channels 1 and 2; the iFeature byte after them would
    // announce every control if it were read as a bitmap.
    Controls({1, 2});
    FeatureUnit* unit = nullptr;
    ASSERT_EQ(Init<FeatureUnit>(Bytes1({0x01, 0x02, 0x02}, 0xFF), &unit), STATUS_SUCCESS);
    EXPECT_EQ(unit->GetId(), ID);
    EXPECT_EQ(unit->GetType(), 6);
    EXPECT_EQ(Types(unit), (std::vector<LONG>{ENTITY_VOLUME, ENTITY_MUTE}));
    ULONG count = 0;
    EXPECT_EQ(unit->ChannelCount(UAC1_FU_MUTE, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(unit->ChannelCount(UAC1_FU_VOLUME, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(unit->ChannelCount(UAC1_FU_BASS, &count), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(count, 0u);
    // Set-up asked the device on the channels the controls live on, and nowhere else.
    std::set<uint16_t> values;
    for (const auto& s : RequestsTo(ID)) {
        if (s.bRequest != 0x85) {
            values.insert(s.wValue);
        }
    }
    EXPECT_EQ(values, (std::set<uint16_t>{0x0100, 0x0201, 0x0202}));
}

TEST_F(Uac1FeatureUnitTest, ChannelMappingAndRemap)
{
    Controls({2});
    struct Row {
        const char* name;
        std::vector<UCHAR> bitmaps;
        ULONG channel;
        ULONG count;
        NTSTATUS status;
        uint16_t wValue;
    };
    std::vector<UCHAR> eight = {0x01, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02, 0x02};
    const Row rows[] = {
        {"master only", {0x03}, 0, 1, STATUS_SUCCESS, 0x0200},
        {"channel 1 only", {0x01, 0x02, 0x00}, 0, 1, STATUS_SUCCESS, 0x0201},
        {"channel 2 only", {0x01, 0x00, 0x02}, 0, 1, STATUS_INVALID_PARAMETER, 0},
        {"eight channels, 0", eight, 0, 8, STATUS_SUCCESS, 0x0201},
        {"eight channels, 4", eight, 4, 8, STATUS_SUCCESS, 0x0207},
        {"eight channels, 5", eight, 5, 8, STATUS_SUCCESS, 0x0208},
        {"eight channels, 6", eight, 6, 8, STATUS_SUCCESS, 0x0205},
        {"eight channels, 7", eight, 7, 8, STATUS_SUCCESS, 0x0206},
        {"eight channels, 8", eight, 8, 8, STATUS_INVALID_PARAMETER, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FeatureUnit* unit = Kept(Bytes1(row.bitmaps));
        ULONG count = 0;
        EXPECT_EQ(unit->ChannelCount(UAC1_FU_VOLUME, &count), STATUS_SUCCESS);
        EXPECT_EQ(count, row.count);
        for (int op = 0; op < 2; ++op) {
            const size_t before = RequestsTo(ID).size();
            LONG value = 0;
            const NTSTATUS status = op == 0 ? unit->GetValue(UAC1_FU_VOLUME, row.channel, &value)
                                            : unit->SetValue(UAC1_FU_VOLUME, row.channel, -65536);
            EXPECT_EQ(status, row.status);
            if (NT_SUCCESS(row.status)) {
                EXPECT_EQ(LastValue(), row.wValue);
            } else {
                EXPECT_EQ(RequestsTo(ID).size(), before);  // refused without a request
            }
        }
    }
    // The range is asked on the first logical channel, with no exchange.
    FeatureUnit* unit = Kept(Bytes1(eight));
    LONG maximum = 0, minimum = 0, resolution = 0;
    ASSERT_EQ(unit->GetRange(UAC1_FU_VOLUME, &maximum, &minimum, &resolution), STATUS_SUCCESS);
    const auto requests = RequestsTo(ID);
    ASSERT_GE(requests.size(), 3u);
    for (size_t i = requests.size() - 3; i < requests.size(); ++i) {
        EXPECT_EQ(requests[i].wValue, 0x0201);
    }
    EXPECT_EQ(requests[requests.size() - 3].bRequest, 0x83);  // MAX, MIN, RES in this order
    EXPECT_EQ(requests[requests.size() - 2].bRequest, 0x82);
    EXPECT_EQ(requests.back().bRequest, 0x84);
    EXPECT_EQ(maximum, 0);
    EXPECT_EQ(minimum, -60 * 65536);
    EXPECT_EQ(resolution, 65536);
}

TEST_F(Uac1FeatureUnitTest, ValuesConvertToAndFromTheWire)
{
    Controls({2, 3});
    FeatureUnit* unit = Kept(Bytes1({0x01, 0x06, 0x06}));
    struct Row {
        ULONG selector;
        LONG level;
        int64_t wire;  // as the device keeps it (signed)
    };
    const Row sets[] = {
        {UAC1_FU_VOLUME, static_cast<LONG>(SILENCE), -0x8000},  // 0x8000
        {UAC1_FU_VOLUME, -655360, -0x0A00},                     // 0xF600
        {UAC1_FU_VOLUME, -65536 - 255, -0x0101},                // arithmetic shift: toward minus infinity
        {UAC1_FU_BASS, 393216, 0x18},
        {UAC1_FU_BASS, -131072, -8},
    };
    for (const Row& row : sets) {
        SCOPED_TRACE(row.level);
        ASSERT_EQ(unit->SetValue(row.selector, 0, row.level), STATUS_SUCCESS);
        EXPECT_EQ(m_device->Control(m_id, row.selector, 1)->Cur, row.wire);
    }
    m_device->SetControl(ID, 2, 2, {-256, -60 * 256, 0, 256, 2});  // 0xFF00
    LONG value = 0;
    ASSERT_EQ(unit->GetValue(UAC1_FU_VOLUME, 1, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, -65536);
    m_device->SetControl(ID, 3, 2, {-3, -48, 48, 4, 1});
    ASSERT_EQ(unit->GetValue(UAC1_FU_BASS, 1, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, -3 * 16384);
    EXPECT_EQ(RequestsTo(ID).back().wLength, 1);  // tone values are one byte

    // A reply shorter than the value fails and writes nothing.
    m_device->AddFault({{}, {0x81}, {0x0202}, {0x0700}}, sim::SimDevice::FaultKind::Short, 1,
                       USBD_STATUS_DEV_NOT_RESPONDING, 1);
    value = 12345;
    EXPECT_EQ(unit->GetValue(UAC1_FU_VOLUME, 1, &value), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(value, 12345);
    UCHAR on = 9;
    EXPECT_EQ(unit->GetOnOff(UAC1_FU_VOLUME, 0, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->GetOnOff(UAC1_FU_AGC, 0, &on), STATUS_UNSUCCESSFUL);  // on no channel
    LONG a = 0, b = 0;
    EXPECT_EQ(unit->GetRange(UAC1_FU_VOLUME, &a, &b, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(Uac1FeatureUnitTest, WideBitmapsAreReadWithTheirOwnStride)
{
    // Three-byte bitmaps: master mute, channel 1 volume. A two-byte stride would find volume on
    // the master and the filler bytes as further channels.
    FeatureUnit* unit = Kept(BytesN(3, {0x0001, 0x0002}));
    ULONG count = 0;
    EXPECT_EQ(unit->ChannelCount(UAC1_FU_VOLUME, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(unit->ChannelCount(UAC1_FU_MUTE, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_FALSE(unit->IsControlPresent(UAC1_FU_LOUDNESS));
    // bControlSize 0: no controls at all.
    FeatureUnit* none = Kept({9, 0x24, 0x06, ID, 1, 0, 0xFF, 0xFF, 0});
    EXPECT_FALSE(none->IsControlPresent(UAC1_FU_MUTE));
    EXPECT_EQ(none->ChannelCount(UAC1_FU_MUTE, &count), STATUS_UNSUCCESSFUL);
}

TEST_F(Uac1FeatureUnitTest, VendorControlBlock)
{
    struct Row {
        const char* name;
        std::optional<uint16_t> length;  // none: GET_MEM stalls
        UCHAR size;
        std::vector<UCHAR> bitmaps;
        std::optional<uint16_t> field;  // the block's own length word, when it differs
        bool kept;
        NTSTATUS count8B;
    };
    const Row rows[] = {
        {"two-byte bitmaps", 21, 2, {0x00, 0x04}, {}, true, STATUS_SUCCESS},
        {"one-byte bitmaps", 20, 1, {0x04}, {}, true, STATUS_UNSUCCESSFUL},
        {"no block", {}, 2, {}, {}, false, STATUS_INVALID_PARAMETER},
        {"length below the header", 18, 2, {}, {}, false, STATUS_INVALID_PARAMETER},
        {"block shorter than its length", 40, 2, {0x00, 0x04}, {}, false, STATUS_INVALID_PARAMETER},
        {"length word past the block", 21, 2, {0x00, 0x04}, 0x200, false, STATUS_INVALID_PARAMETER},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ++m_id;  // each row has a unit (and device answers) of its own
        Controls({1});
        if (row.length) {
            VendorBlock(*row.length, row.size, row.bitmaps, row.field);
        }
        Vendor(0x81, 0x8B00, m_id, {1});
        FeatureUnit* unit = nullptr;
        ASSERT_EQ(Init<FeatureUnit>(Bytes1({0x01}), &unit), STATUS_SUCCESS);
        EXPECT_EQ(unit->GetVendorControlBlock() != nullptr, row.kept);
        ULONG count = 0;
        EXPECT_EQ(unit->ChannelCount(UAC1_FU_VENDOR_8B, &count), row.count8B);
        EXPECT_EQ(unit->IsControlPresent(UAC1_FU_VENDOR_8C), FALSE);
        if (NT_SUCCESS(row.count8B)) {
            EXPECT_EQ(count, 1u);
            EXPECT_EQ(Types(unit), (std::vector<LONG>{ENTITY_PROCESSING, ENTITY_MUTE}));
            UCHAR value = 0;
            ASSERT_EQ(unit->GetOnOff(UAC1_FU_VENDOR_8B, 0, &value), STATUS_SUCCESS);
            EXPECT_EQ(value, 1);
            const auto last = RequestsTo(m_id).back();
            EXPECT_EQ(last.bmRequestType, 0xC1);  // a vendor request
            EXPECT_EQ(last.wValue, 0x8B00);
        } else {
            EXPECT_EQ(Types(unit), (std::vector<LONG>{ENTITY_MUTE}));
        }
    }
}

TEST_F(Uac1FeatureUnitTest, EntitiesInTableOrderAndTheMuteRule)
{
    Controls({1, 2, 3, 4, 5, 7, 10});
    VendorBlock(21, 2, {0x00, 0x0C});
    Vendor(0x81, 0x8B00, ID, {0});
    Vendor(0x81, 0x8C00, ID, {0});
    FeatureUnit* unit = nullptr;
    ASSERT_EQ(Init<FeatureUnit>(BytesN(2, {0x025F}), &unit), STATUS_SUCCESS);
    EXPECT_EQ(Types(unit), (std::vector<LONG>{ENTITY_PROCESSING, ENTITY_PROCESSING, ENTITY_LOUDNESS, ENTITY_AGC,
                                              ENTITY_TREBLE, ENTITY_MID, ENTITY_BASS, ENTITY_VOLUME, ENTITY_MUTE}));
    // Chained from the unit's input through the controls to mute, the unit's output.
    const auto entities = Entities(unit);
    for (size_t i = 1; i < entities.size(); ++i) {
        ULONG source = 0, n = 1;
        entities[i]->GetSources(&n, &source);
        EXPECT_EQ(source, entities[i - 1]->GetId());
    }
    ULONG first = 0;
    ASSERT_EQ(unit->GetFirstEntityId(&first), STATUS_SUCCESS);
    EXPECT_EQ(first, entities.back()->GetId());

    // Without mute the unit fails, and also when the mute entity cannot be had; only mute: one entity.
    EXPECT_EQ(Init<FeatureUnit>(BytesN(2, {0x0002})), STATUS_INSUFFICIENT_RESOURCES);
    m_id = 20;  // no vendor block: the first unit block is the mute entity
    Controls({1});
    FeatureUnit* only = nullptr;
    ASSERT_EQ(Init<FeatureUnit>(Bytes1({0x01}), &only), STATUS_SUCCESS);
    EXPECT_EQ(Types(only).size(), 1u);
    platform::PoolFailNextWithTag(UAC1_UNIT_TAG);
    EXPECT_EQ(Init<FeatureUnit>(Bytes1({0x01})), STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(Uac1FeatureUnitTest, OddRangesStartAsTheDeviceGivesThem)
{
    struct Row {
        const char* name;
        int64_t min, max, res;
    };
    const Row rows[] = {
        {"minimum above maximum", 0, -60 * 256, 256},
        {"minimum equal to maximum", -10 * 256, -10 * 256, 256},
        {"resolution 0", -60 * 256, 0, 0},
        {"resolution above the range", -2 * 256, 0, 10 * 256},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ++m_id;
        m_device->SetControl(m_id, 1, -1, {0, 0, 1, 1, 1});
        m_device->SetControl(m_id, 2, -1, {row.min, row.min, row.max, row.res, 2});
        FeatureUnit* unit = nullptr;
        ASSERT_EQ(Init<FeatureUnit>(Bytes1({0x03}), &unit), STATUS_SUCCESS);
        IEntityLevel* volume = nullptr;
        ASSERT_EQ(Entities(unit)[0]->QueryInterface(IID_IEntityLevel, reinterpret_cast<PVOID*>(&volume)),
                  STATUS_SUCCESS);
        LONG maximum = 0, minimum = 0, step = 0;
        EXPECT_EQ(volume->GetRange(&maximum, &minimum, &step), STATUS_SUCCESS);
        EXPECT_EQ(maximum, row.max * 256);
        EXPECT_EQ(minimum, row.min * 256);
        EXPECT_EQ(step, row.res * 256);
        EXPECT_EQ(volume->SetLevel(0, -3 * 65536), STATUS_SUCCESS);  // whatever it sends, it sends safely
        volume->Release();
    }
}

}  // namespace

// The V4 and V5 feature units: conversions per class, fixed ranges whatever the device answers,
// master-only on/off controls, value addressing without channel exchange, and the entities their
// Init creates from the descriptor's bitmaps.
#include <gtest/gtest.h>

#include "tests/topology/Uac1UnitFixture.h"
#include "topology/FeatureUnit.h"
#include "topology/FixedRangeFeatureUnits.h"

namespace {

using kvxtest::PoolDescriptor;

constexpr uint8_t ID = 9;
constexpr LONG SILENCE = static_cast<LONG>(0x80000000);
constexpr LONG DB = 65536;

enum class Cls { V4_9, V4_10, V4_13, V5_9, V5_10, V5_13 };

const char* Name(Cls c)
{
    switch (c) {
    case Cls::V4_9: return "V4FeatureUnit9";
    case Cls::V4_10: return "V4FeatureUnit10";
    case Cls::V4_13: return "V4FeatureUnit13";
    case Cls::V5_9: return "V5FeatureUnit9";
    case Cls::V5_10: return "V5FeatureUnit10";
    default: return "V5FeatureUnit13";
    }
}

class FixedRangeFeatureUnitTest : public kvxtest::Uac1UnitFixture {
protected:
    FixedRangeFeatureUnit* Make(Cls c)
    {
        switch (c) {
        case Cls::V4_9: return Uac1UnitFixture::Make<V4FeatureUnit9>();
        case Cls::V4_10: return Uac1UnitFixture::Make<V4FeatureUnit10>();
        case Cls::V4_13: return Uac1UnitFixture::Make<V4FeatureUnit13>();
        case Cls::V5_9: return Uac1UnitFixture::Make<V5FeatureUnit9>();
        case Cls::V5_10: return Uac1UnitFixture::Make<V5FeatureUnit10>();
        default: return Uac1UnitFixture::Make<V5FeatureUnit13>();
        }
    }
    // A unit that only kept its descriptor.
    FixedRangeFeatureUnit* Kept(Cls c, const std::vector<UCHAR>& bytes)
    {
        FixedRangeFeatureUnit* unit = Make(c);
        PoolDescriptor copy(bytes);
        EXPECT_EQ(unit->SetDescriptor(copy.Data, m_owner->Hal()), STATUS_SUCCESS);
        return unit;
    }
    NTSTATUS InitOf(Cls c, const std::vector<UCHAR>& bytes, FixedRangeFeatureUnit** created)
    {
        FixedRangeFeatureUnit* unit = Make(c);
        PoolDescriptor copy(bytes);
        *created = unit;
        return unit->InitFromDescriptor(copy.Data, m_owner->Hal(), m_owner->Hal());
    }
    // One-byte bitmaps, master first, then iFeature.
    static std::vector<UCHAR> Bytes1(std::vector<UCHAR> bitmaps, UCHAR iFeature = 0)
    {
        std::vector<UCHAR> d = {static_cast<UCHAR>(7 + bitmaps.size()), 0x24, 0x06, ID, 1, 1};
        d.insert(d.end(), bitmaps.begin(), bitmaps.end());
        d.push_back(iFeature);
        return d;
    }
    void Volume(int16_t cur) { m_device->SetControl(ID, 2, -1, {cur, -32767, 32767, 256, 2}); }
    int64_t DeviceVolume(uint8_t channel) { return m_device->Control(ID, 2, channel)->Cur; }
};

TEST_F(FixedRangeFeatureUnitTest, ConversionsPerClass)
{
    struct Row {
        Cls c;
        int16_t device;  // read from the device
        LONG level;      // reported
    };
    const Row reads[] = {
        {Cls::V4_13, -7168, -36 * DB},
        {Cls::V4_13, 2816, 22 * DB + DB / 2},
        // Computed in 32 bits: +82 dB and above stay positive.
        {Cls::V4_13, 0x7FFF, (127 + 4) * 384 * 256},
        {Cls::V4_9, -256, -192 * 256},
        {Cls::V4_9, 0, 0},
        {Cls::V4_9, -9472, -37 * DB},
        {Cls::V4_10, -23 * 256, -6 * DB},
        {Cls::V4_10, 3 * 256, 33 * DB},
        {Cls::V4_10, -60 * 256, -6 * DB},  // kept inside the range
        {Cls::V4_10, 30 * 256, 33 * DB},
        {Cls::V5_9, -208, -DB},
        {Cls::V5_9, 0, 0},
        {Cls::V5_13, 3840, DB + DB / 2},
        {Cls::V5_13, 0, -9 * 0x18000},
        {Cls::V5_10, 0x0A00, 10 * DB},
        {Cls::V5_10, -32768, SILENCE},
        {Cls::V4_9, -32768, SILENCE},
    };
    for (const Row& row : reads) {
        SCOPED_TRACE(std::string(Name(row.c)) + " reads " + std::to_string(row.device));
        Volume(row.device);
        FixedRangeFeatureUnit* unit = Kept(row.c, Bytes1({0x03}));
        LONG level = 0;
        ASSERT_EQ(unit->GetValue(UAC1_FU_VOLUME, 0, &level), STATUS_SUCCESS);
        EXPECT_EQ(level, row.level);
    }
    const Row writes[] = {
        {Cls::V4_13, -1024, 0},
        {Cls::V4_13, -7168, -36 * DB},
        {Cls::V4_9, -256, -DB / 8},
        {Cls::V4_9, -9472, -33 * DB},
        {Cls::V4_9, 0, 0},
        {Cls::V4_10, -23 * 256, -6 * DB},
        {Cls::V4_10, 3 * 256, 33 * DB},
        {Cls::V5_9, -208, -DB},
        {Cls::V5_9, -16, 0},
        {Cls::V5_9, -7120, -37 * DB},
        {Cls::V5_13, 0, -13 * DB - DB / 2},
        {Cls::V5_13, 5760, 0x00090001},
        {Cls::V5_10, 0x0A00, 10 * DB},
        {Cls::V5_10, -32768, SILENCE},
        {Cls::V4_13, -32768, SILENCE},
    };
    for (const Row& row : writes) {
        SCOPED_TRACE(std::string(Name(row.c)) + " writes " + std::to_string(row.level));
        Volume(0x1234);
        FixedRangeFeatureUnit* unit = Kept(row.c, Bytes1({0x03}));
        ASSERT_EQ(unit->SetValue(UAC1_FU_VOLUME, 0, row.level), STATUS_SUCCESS);
        EXPECT_EQ(DeviceVolume(0), row.device);
    }
}

TEST_F(FixedRangeFeatureUnitTest, WhatIsWrittenReadsBackOnTheUnitsOfBothWays)
{
    // V4 units 10 to 12 and V5 unit 9: every step of the range reads back as written.
    for (Cls c : {Cls::V4_10, Cls::V5_9}) {
        SCOPED_TRACE(Name(c));
        FixedRangeFeatureUnit* unit = Kept(c, Bytes1({0x03}));
        Volume(0);
        LONG maximum = 0, minimum = 0, step = 0;
        ASSERT_EQ(unit->GetRange(UAC1_FU_VOLUME, &maximum, &minimum, &step), STATUS_SUCCESS);
        for (LONG level = minimum; level <= maximum; level += step) {
            ASSERT_EQ(unit->SetValue(UAC1_FU_VOLUME, 0, level), STATUS_SUCCESS);
            LONG back = 0;
            ASSERT_EQ(unit->GetValue(UAC1_FU_VOLUME, 0, &back), STATUS_SUCCESS);
            EXPECT_EQ(back, level);
        }
    }
}

TEST_F(FixedRangeFeatureUnitTest, FixedRangesWhateverTheDeviceAnswers)
{
    struct Row {
        Cls c;
        LONG maximum, minimum, step;
    };
    const Row rows[] = {
        {Cls::V4_9, 0, static_cast<LONG>(0xFFDF0000), 0x2000},
        {Cls::V4_13, 0x168000, static_cast<LONG>(0xFFDC0000), 0x18000},
        {Cls::V4_10, 0x210000, static_cast<LONG>(0xFFFA0000), 0x18000},
        {Cls::V5_9, 0, static_cast<LONG>(0xFFDB0000), 0x10000},
        {Cls::V5_13, 0x90001, static_cast<LONG>(0xFFF28000), 0x18000},
        {Cls::V5_10, 0x168000, 0, 0x18000},
    };
    m_device->SetControl(ID, 2, -1, {0, -100, 100, 1, 2});
    for (const Row& row : rows) {
        SCOPED_TRACE(Name(row.c));
        FixedRangeFeatureUnit* unit = Kept(row.c, Bytes1({0x01, 0x02, 0x02}));
        const size_t before = RequestsTo(ID).size();
        LONG maximum = 1, minimum = 1, step = 1;
        ASSERT_EQ(unit->GetRange(UAC1_FU_VOLUME, &maximum, &minimum, &step), STATUS_SUCCESS);
        EXPECT_EQ(maximum, row.maximum);
        EXPECT_EQ(minimum, row.minimum);
        EXPECT_EQ(step, row.step);
        // MAX, MIN, RES on the first channel carrying the control.
        const auto requests = RequestsTo(ID, 0);
        ASSERT_EQ(requests.size(), before + 3);
        EXPECT_EQ(requests[before].bRequest, 0x83);
        EXPECT_EQ(requests[before + 1].bRequest, 0x82);
        EXPECT_EQ(requests[before + 2].bRequest, 0x84);
        EXPECT_EQ(requests[before].wValue, 0x0201);
    }
    // V4 tone controls report the device's bytes; V5 its fixed range for them too.
    m_device->SetControl(ID, 3, -1, {0, -48, 48, 4, 1});
    LONG maximum = 0, minimum = 0, step = 0;
    ASSERT_EQ(Kept(Cls::V4_13, Bytes1({0x05}))->GetRange(UAC1_FU_BASS, &maximum, &minimum, &step), STATUS_SUCCESS);
    EXPECT_EQ(maximum, 48 << 14);
    EXPECT_EQ(minimum, -48 * (1 << 14));
    m_device->SetControl(ID, 3, -1, {0, -48, 48, 4, 2});
    ASSERT_EQ(Kept(Cls::V5_10, Bytes1({0x05}))->GetRange(UAC1_FU_BASS, &maximum, &minimum, &step), STATUS_SUCCESS);
    EXPECT_EQ(maximum, 0x168000);
}

TEST_F(FixedRangeFeatureUnitTest, DeviceFailuresAreReturnedAndNothingHalfWritten)
{
    Volume(-1024);
    FixedRangeFeatureUnit* unit = Kept(Cls::V4_13, Bytes1({0x03}));
    // A range request that stalls ends the call with its status and writes nothing.
    m_device->AddFault({0xA1, 0x82, {}, {}}, sim::SimDevice::FaultKind::Stall);
    LONG maximum = 7, minimum = 7, step = 7;
    EXPECT_FALSE(NT_SUCCESS(unit->GetRange(UAC1_FU_VOLUME, &maximum, &minimum, &step)));
    EXPECT_EQ(maximum + minimum + step, 21);
    // A reply of one byte where two are due is no value.
    m_device->AddFault({0xA1, 0x81, {}, {}}, sim::SimDevice::FaultKind::Short, 1, 0, 1);
    LONG level = 7;
    EXPECT_FALSE(NT_SUCCESS(unit->GetValue(UAC1_FU_VOLUME, 0, &level)));
    EXPECT_EQ(level, 7);
}

TEST_F(FixedRangeFeatureUnitTest, OnOffOnTheMasterOnlyAndValueAddressing)
{
    m_device->SetControl(ID, 1, -1, {0, 0, 1, 1, 1});
    Volume(0);
    FixedRangeFeatureUnit* unit = Kept(Cls::V5_10, Bytes1({0x01, 0x03, 0x03}));
    IOnOffControl* onOff = unit;
    IValueControl* value = unit;
    ULONG count = 0;
    ASSERT_EQ(onOff->ChannelCount(UAC1_FU_MUTE, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);  // the mute lies on three bitmaps
    ASSERT_EQ(value->ChannelCount(UAC1_FU_MUTE, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    UCHAR byte = 0;
    EXPECT_EQ(unit->GetOnOff(UAC1_FU_MUTE, 1, &byte), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->SetOnOff(UAC1_FU_MUTE, 1, 1), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(unit->SetOnOff(UAC1_FU_MUTE, 0, 1), STATUS_SUCCESS);
    EXPECT_EQ(m_device->Control(ID, 1, 0)->Cur, 1);
    EXPECT_EQ(RequestsTo(ID).back().wValue, 0x0100);

    struct Row {
        const char* name;
        std::vector<UCHAR> bitmaps;
        ULONG channel;
        NTSTATUS status;
        uint16_t wValue;
    };
    const Row rows[] = {
        {"master only", {0x03}, 0, STATUS_SUCCESS, 0x0200},
        {"channel 1 alone is not retried", {0x01, 0x02, 0x00}, 0, STATUS_INVALID_PARAMETER, 0},
        {"channels 1 and 2, second", {0x01, 0x02, 0x02}, 1, STATUS_SUCCESS, 0x0202},
        {"channels 1 and 3: the second is wire channel 2", {0x01, 0x02, 0x00, 0x02}, 1, STATUS_INVALID_PARAMETER, 0},
        {"eight channels, 4: no exchange", {0x01, 2, 2, 2, 2, 2, 2, 2, 2}, 4, STATUS_SUCCESS, 0x0205},
        {"past the count", {0x01, 0x02, 0x02}, 2, STATUS_INVALID_PARAMETER, 0},
        {"no volume anywhere", {0x01}, 0, STATUS_UNSUCCESSFUL, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FixedRangeFeatureUnit* u = Kept(Cls::V5_10, Bytes1(row.bitmaps));
        const size_t before = RequestsTo(ID).size();
        LONG level = 0;
        EXPECT_EQ(u->GetValue(UAC1_FU_VOLUME, row.channel, &level), row.status);
        if (NT_SUCCESS(row.status)) {
            EXPECT_EQ(RequestsTo(ID).back().wValue, row.wValue);
        } else {
            EXPECT_EQ(RequestsTo(ID).size(), before);
        }
    }
}

TEST_F(FixedRangeFeatureUnitTest, InitCreatesTheEntitiesOfItsBitmaps)
{
    m_device->SetControl(ID, 1, -1, {0, 0, 1, 1, 1});
    Volume(0);
    struct Row {
        const char* name;
        std::vector<UCHAR> bytes;
        NTSTATUS status;
        std::vector<LONG> types;  // head first
    };
    const Row rows[] = {
        {"mute and volume", Bytes1({0x01, 0x02, 0x02}), STATUS_SUCCESS, {ENTITY_VOLUME, ENTITY_MUTE}},
        // iFeature 0xFF would announce every control if it were read as a bitmap.
        {"a string index after the bitmaps", Bytes1({0x01}, 0xFF), STATUS_SUCCESS, {ENTITY_MUTE}},
        {"no mute", Bytes1({0x02}), STATUS_INSUFFICIENT_RESOURCES, {}},
        {"bControlSize 0", {8, 0x24, 6, ID, 1, 0, 0x01, 0}, STATUS_INSUFFICIENT_RESOURCES, {}},
        {"bControlSize 3", {13, 0x24, 6, ID, 1, 3, 0x01, 0, 0, 0x02, 0, 0, 0}, STATUS_SUCCESS,
         {ENTITY_VOLUME, ENTITY_MUTE}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        FixedRangeFeatureUnit* unit = nullptr;
        EXPECT_EQ(InitOf(Cls::V4_9, row.bytes, &unit), row.status);
        if (NT_SUCCESS(row.status)) {
            EXPECT_EQ(Types(unit), row.types);
            EXPECT_EQ(unit->GetId(), ID);
            // One entity reports itself on a status change; more do not.
            ULONG id = 0;
            EXPECT_EQ(NT_SUCCESS(unit->HandleStatusChange(0, 0, &id)), row.types.size() == 1);
        }
    }
}

}  // namespace

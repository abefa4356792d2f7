#include <gtest/gtest.h>

#include <cmath>

#include "tests/topology/UsbUnitFixture.h"
#include "topology/UsbLevelEntities.h"

namespace {

using kvxtest::SEL_BASS;
using kvxtest::SEL_VOLUME;

constexpr LONG DB = 65536;
constexpr LONG SILENCE = static_cast<LONG>(0x80000000);

class UsbLevelEntityTest : public kvxtest::UsbUnitFixture {
protected:
    void SetUp() override
    {
        UsbUnitFixture::SetUp();
        NewUnit();
    }
    UsbVolumeEntity* Volume()
    {
        return Make<UsbVolumeEntity>([&](UsbVolumeEntity* e) { return SetupLevelEntity(e, m_unit, SEL_VOLUME, m_fdo); });
    }
    static sim::RequestMatch SetCur()
    {
        sim::RequestMatch match;
        match.Request = USB_AUDIO_SET_CUR;
        return match;
    }
    static sim::RequestMatch GetCur(uint16_t value)
    {
        sim::RequestMatch match;
        match.Request = USB_AUDIO_GET_CUR;
        match.Value = value;
        return match;
    }
    LONG Level(IEntityLevel* e, ULONG channel)
    {
        LONG level = 12345;
        EXPECT_EQ(e->GetLevel(channel, &level), STATUS_SUCCESS);
        return level;
    }
};

TEST_F(UsbLevelEntityTest, SetLevelSendsTheRoundedLevelAndKeepsTheClampedOne)
{
    enum Kind { VolumeClass, ToneClass, PadClass };
    struct Case {
        const char* Name;
        Kind Class;
        LONG Resolution, Level, Sent, Stored;
    } cases[] = {
        {"volume -10.4 dB", VolumeClass, DB, -681574, -10 * DB, -681574},
        {"volume +3 dB", VolumeClass, DB, 3 * DB, 0, 0},
        {"volume below the range", VolumeClass, DB, -70 * DB, -60 * DB, -60 * DB},
        {"volume silence", VolumeClass, DB, SILENCE, SILENCE, SILENCE},
        {"tone silence sends the minimum", ToneClass, DB, SILENCE, -60 * DB, SILENCE},
        {"tone -10.4 dB", ToneClass, DB, -681574, -10 * DB, -681574},
        {"gain pad silence is the minimum", PadClass, DB, SILENCE, -60 * DB, -60 * DB},
        {"no step: sent as clamped", VolumeClass, 0, -681574, -681574, -681574},
        {"no step: tone silence", ToneClass, 0, SILENCE, -60 * DB, SILENCE},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        m_unit->Resolution = c.Resolution;
        m_unit->Sent.clear();
        IEntityLevel* e = nullptr;
        if (c.Class == VolumeClass) {
            e = Volume();
        } else if (c.Class == ToneClass) {
            e = Make<UsbToneEntity>([&](UsbToneEntity* t) { return SetupLevelEntity(t, m_unit, SEL_BASS, m_fdo); },
                                    static_cast<LONG>(ENTITY_TREBLE));
        } else {
            e = Make<UsbGainPadEntity>(
                [&](UsbGainPadEntity* p) { return SetupLevelEntity(p, m_unit, SEL_VOLUME, m_fdo); });
        }
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->SetLevel(1, c.Level), STATUS_SUCCESS);
        EXPECT_EQ(m_unit->Sent, std::vector<LONG>{c.Sent});
        EXPECT_EQ(Level(e, 1), c.Stored);
    }
    // The tone entity is of the type it was made with.
    auto* treble = Make<UsbToneEntity>([&](UsbToneEntity* t) { return SetupLevelEntity(t, m_unit, SEL_BASS, m_fdo); },
                                       static_cast<LONG>(ENTITY_TREBLE));
    EXPECT_EQ(static_cast<TopologyNode*>(treble)->GetType(), ENTITY_TREBLE);
    m_unit->Resolution = DB;
    // The device got the volume on the wire in 1/256 dB, silence as 0x8000.
    UsbVolumeEntity* volume = Volume();
    volume->SetLevel(0, -681574);
    EXPECT_EQ(Cur(SEL_VOLUME, 1), -10 * 256);
    volume->SetLevel(0, SILENCE);
    EXPECT_EQ(Cur(SEL_VOLUME, 1), -32768);
}

TEST_F(UsbLevelEntityTest, AFailedRequestOrABadChannelKeepsTheOldLevel)
{
    UsbVolumeEntity* volume = Volume();
    EXPECT_EQ(Level(volume, 0), -5 * DB);  // read from the device at set-up
    m_device->AddFault(SetCur(), sim::SimDevice::FaultKind::Stall);
    EXPECT_EQ(volume->SetLevel(0, -20 * DB), STATUS_SUCCESS);
    EXPECT_EQ(Level(volume, 0), -5 * DB);
    EXPECT_FALSE(Stored(u"Unit00_ 0_0").has_value());
    EXPECT_EQ(volume->SetLevel(2, -20 * DB), STATUS_INVALID_PARAMETER);
    const size_t before = Requests();
    EXPECT_EQ(volume->SetLevel(7, -20 * DB), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Requests(), before);
}

TEST_F(UsbLevelEntityTest, LevelsAreKeptPerEntityOutputKindAndChannel)
{
    NextIdIs(5);
    UsbVolumeEntity* volume = Volume();
    ASSERT_EQ(static_cast<TopologyNode*>(volume)->GetId(), 5u);
    volume->SetLevel(1, -3 * DB);
    EXPECT_EQ(Stored(u"Unit05_ 0_1"), Long(-3 * DB));
    volume->SetOutputKind(2, nullptr);
    volume->SetLevel(1, -7 * DB);
    EXPECT_EQ(Stored(u"Unit05_ 2_1"), Long(-7 * DB));
    volume->SetOutputKind(13, nullptr);
    volume->SetLevel(1, -9 * DB);
    EXPECT_EQ(Stored(u"Unit05_13_1"), Long(-9 * DB));
    EXPECT_EQ(Stored(u"Unit05_ 0_1"), Long(-3 * DB));

    // A kept value wins over the device's at set-up; a shorter one replaces only its low bytes,
    // a longer one is not used.
    Store(u"Unit06_ 0_0", Long(-30 * DB));
    Store(u"Unit06_ 0_1", {0x00, 0x00, 0x00, 0x00, 0x00});
    UsbVolumeEntity* next = Volume();
    EXPECT_EQ(Level(next, 0), -30 * DB);
    EXPECT_EQ(Level(next, 1), -9 * DB);  // the device's, as entity 5 left it
}

TEST_F(UsbLevelEntityTest, SwitchingASixChannelEntityToHeadphonesSendsTheTwoKeptChannels)
{
    m_unit->Channels = 6;
    UsbVolumeEntity* volume = Volume();
    Store(u"Unit00_ 2_0", Long(-11 * DB));
    Store(u"Unit00_ 2_1", Long(-12 * DB));
    std::vector<ULONG> changes;
    PVOID registration = Listen(&changes);
    m_unit->Sent.clear();
    EXPECT_EQ(volume->SetOutputKind(2, m_owner->GetCallbackObject()), STATUS_SUCCESS);
    EXPECT_EQ(m_unit->Sent, (std::vector<LONG>{-11 * DB, -12 * DB}));
    EXPECT_EQ(Level(volume, 0), -11 * DB);
    EXPECT_EQ(Level(volume, 1), -12 * DB);
    EXPECT_EQ(changes, std::vector<ULONG>{0});
    ULONG count = 0;
    volume->GetChannelCount(&count);
    EXPECT_EQ(count, 2u);

    // Back to a speaker output with nothing kept for it: the current values are sent again, for
    // all six channels, and kept under that kind's names.
    m_unit->Sent.clear();
    volume->SetOutputKind(1, nullptr);
    EXPECT_EQ(m_unit->Sent.size(), 6u);
    EXPECT_EQ(Stored(u"Unit00_ 1_0"), Long(-11 * DB));
    EXPECT_EQ(Stored(u"Unit00_ 1_5"), Long(-5 * DB));
    EXPECT_EQ(changes.size(), 1u);
    m_owner->UnregisterCallback(registration);
}

TEST_F(UsbLevelEntityTest, VolumeRefreshReadsEveryChannelAndSucceedsWhenAnyChanged)
{
    UsbVolumeEntity* volume = Volume();
    // Channel 0 unchanged, channel 1 changed: the change is kept (and so announced).
    m_device->SetControl(5, SEL_VOLUME, 2, {-20 * 256, -60 * 256, 0, 256, 2});
    EXPECT_EQ(volume->Refresh(), STATUS_SUCCESS);
    EXPECT_EQ(Level(volume, 0), -5 * DB);
    EXPECT_EQ(Level(volume, 1), -20 * DB);
    EXPECT_EQ(Stored(u"Unit00_ 0_1"), Long(-20 * DB));
    EXPECT_FALSE(Stored(u"Unit00_ 0_0").has_value());
    // Nothing changed: no event to raise.
    EXPECT_EQ(volume->Refresh(), STATUS_UNSUCCESSFUL);
    // A kept level compares in its rounded form.
    volume->SetLevel(0, -681574);
    EXPECT_EQ(volume->Refresh(), STATUS_UNSUCCESSFUL);
    // Both changed.
    m_device->SetControl(5, SEL_VOLUME, 1, {-1 * 256, -60 * 256, 0, 256, 2});
    m_device->SetControl(5, SEL_VOLUME, 2, {-2 * 256, -60 * 256, 0, 256, 2});
    EXPECT_EQ(volume->Refresh(), STATUS_SUCCESS);
    EXPECT_EQ(Level(volume, 0), -1 * DB);
    EXPECT_EQ(Level(volume, 1), -2 * DB);
    // A failed read is the result.
    m_device->AddFault(GetCur(0x0201), sim::SimDevice::FaultKind::Stall);
    EXPECT_FALSE(NT_SUCCESS(volume->Refresh()));
}

TEST_F(UsbLevelEntityTest, ToneRefreshStopsAtTheFirstFailedRead)
{
    auto* bass = Make<UsbToneEntity>([&](UsbToneEntity* t) { return SetupLevelEntity(t, m_unit, SEL_BASS, m_fdo); });
    m_device->SetControl(5, SEL_BASS, 1, {3 * 256, -12 * 256, 12 * 256, 256, 2});
    m_device->SetControl(5, SEL_BASS, 2, {4 * 256, -12 * 256, 12 * 256, 256, 2});
    m_device->AddFault(GetCur(0x0302), sim::SimDevice::FaultKind::Stall);
    EXPECT_FALSE(NT_SUCCESS(bass->Refresh()));
    EXPECT_EQ(Level(bass, 0), 3 * DB);
    EXPECT_EQ(Level(bass, 1), 0);
    EXPECT_EQ(Stored(u"Unit00_ 0_0"), Long(3 * DB));
    EXPECT_EQ(bass->Refresh(), STATUS_SUCCESS);
    EXPECT_EQ(Level(bass, 1), 4 * DB);
}

TEST_F(UsbLevelEntityTest, RestoreSendsEveryKeptChannel)
{
    Store(u"Unit00_ 0_0", Long(-8 * DB));
    UsbVolumeEntity* volume = Volume();
    m_unit->Sent.clear();
    EXPECT_EQ(volume->Restore(), STATUS_SUCCESS);
    EXPECT_EQ(m_unit->Sent, (std::vector<LONG>{-8 * DB, -5 * DB}));
    EXPECT_EQ(Cur(SEL_VOLUME, 1), -8 * 256);

    m_unit->Channels = 0;
    UsbVolumeEntity* none = Volume();
    EXPECT_EQ(none->Restore(), STATUS_INVALID_PARAMETER);
}

TEST_F(UsbLevelEntityTest, GainPadSetsEveryChannelWithTheAllChannelsCode)
{
    auto* pad = Make<UsbGainPadEntity>([&](UsbGainPadEntity* p) { return SetupLevelEntity(p, m_unit, SEL_VOLUME, m_fdo); });
    m_unit->Sent.clear();
    EXPECT_EQ(pad->SetLevel(UsbGainPadEntity::ALL_CHANNELS, -6 * DB), STATUS_SUCCESS);
    EXPECT_EQ(m_unit->Sent, (std::vector<LONG>{-6 * DB, -6 * DB}));
    EXPECT_EQ(Level(pad, 1), -6 * DB);
    EXPECT_EQ(Level(pad, UsbGainPadEntity::ALL_CHANNELS), -6 * DB);
    // The first failure stops the walk: channel 1 keeps its level.
    m_device->AddFault(SetCur(), sim::SimDevice::FaultKind::Stall);
    m_unit->Sent.clear();
    pad->SetLevel(UsbGainPadEntity::ALL_CHANNELS, -9 * DB);
    EXPECT_EQ(m_unit->Sent.size(), 1u);
    EXPECT_EQ(Level(pad, 1), -6 * DB);
}

TEST_F(UsbLevelEntityTest, GainVolumeAppliesItsGainOnlyToPcmOnItsSelectedBranch)
{
    auto* gain = Make<UsbGainVolumeEntity>(
        [&](UsbGainVolumeEntity* g) { return SetupGainVolumeEntity(g, m_unit, SEL_VOLUME, m_fdo); });
    ASSERT_NE(gain, nullptr);
    EXPECT_NEAR(gain->GetGain(0), std::pow(10.0, -5.0 / 20.0), 0.006);
    // The gain follows the request even when the device refuses it.
    m_device->AddFault(SetCur(), sim::SimDevice::FaultKind::Stall);
    EXPECT_EQ(gain->SetLevel(0, -6 * DB), STATUS_SUCCESS);
    EXPECT_EQ(Level(gain, 0), -5 * DB);
    EXPECT_NEAR(gain->GetGain(0), std::pow(10.0, -6.0 / 20.0), 0.006);
    gain->SetLevel(1, SILENCE);
    EXPECT_EQ(gain->GetGain(1), 0.0f);

    std::vector<float> left(4, 1.0f), right(4, 1.0f);
    float* channels[8] = {left.data(), right.data()};
    WaveFormatRecord format = {};
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.nChannels = 2;
    format.SubFormat.Data1 = 3;  // IEEE float: untouched
    EXPECT_EQ(gain->Process(&format, channels, 4), STATUS_SUCCESS);
    EXPECT_EQ(left[0], 1.0f);
    format.SubFormat.Data1 = 1;
    gain->SetBranchIndex(2);  // on input 2 while the selector has not said: not selected
    gain->Process(&format, channels, 4);
    EXPECT_EQ(left[0], 1.0f);
    gain->SetSelectedInput(2);
    gain->Process(&format, channels, 4);
    EXPECT_NEAR(left[3], std::pow(10.0, -6.0 / 20.0), 0.006);
    EXPECT_EQ(right[3], 0.0f);

    // It answers as a processing node and a branch control.
    PVOID node = nullptr;
    ASSERT_EQ(static_cast<IEntityLevel*>(gain)->QueryInterface(IID_IProcessingNode, &node), STATUS_SUCCESS);
    static_cast<IProcessingNode*>(node)->Release();
    PVOID branch = nullptr;
    ASSERT_EQ(static_cast<IEntityLevel*>(gain)->QueryInterface(IID_ISelectorBranchControl, &branch), STATUS_SUCCESS);
    static_cast<ISelectorBranchControl*>(branch)->Release();
}

TEST_F(UsbLevelEntityTest, GainVolumeSwitchNotifiesTwice)
{
    auto* gain = Make<UsbGainVolumeEntity>(
        [&](UsbGainVolumeEntity* g) { return SetupGainVolumeEntity(g, m_unit, SEL_VOLUME, m_fdo); });
    std::vector<ULONG> changes;
    PVOID registration = Listen(&changes);
    EXPECT_EQ(gain->SetOutputKind(2, m_owner->GetCallbackObject()), STATUS_SUCCESS);
    EXPECT_EQ(changes.size(), 2u);
    m_owner->UnregisterCallback(registration);
    // Refresh sends what it read back to the device and follows it with the gain.
    m_device->SetControl(5, SEL_VOLUME, 1, {-12 * 256, -60 * 256, 0, 256, 2});
    m_unit->Sent.clear();
    EXPECT_EQ(gain->Refresh(), STATUS_SUCCESS);
    EXPECT_EQ(m_unit->Sent, (std::vector<LONG>{-12 * DB, -5 * DB}));
    EXPECT_NEAR(gain->GetGain(0), std::pow(10.0, -12.0 / 20.0), 0.006);
}

}  // namespace

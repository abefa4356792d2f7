#include <gtest/gtest.h>

#include "tests/topology/UsbUnitFixture.h"
#include "topology/UsbOnOffEntities.h"

namespace {

using kvxtest::SEL_MUTE;

class UsbOnOffEntityTest : public kvxtest::UsbUnitFixture {
protected:
    void SetUp() override
    {
        UsbUnitFixture::SetUp();
        NewUnit();
    }
    template <typename T = UsbOnOffEntity, typename... Args>
    T* OnOff(Args... args)
    {
        return Make<T>([&](T* e) { return SetupOnOffEntity(e, m_unit, SEL_MUTE, m_fdo); }, args...);
    }
    UCHAR Value(IEntityOnOff* e, ULONG channel)
    {
        UCHAR v = 0xEE;
        EXPECT_EQ(e->GetValue(channel, &v), STATUS_SUCCESS);
        return v;
    }
    static sim::RequestMatch Request(UCHAR request, std::optional<uint16_t> value = std::nullopt)
    {
        sim::RequestMatch match;
        match.Request = request;
        match.Value = value;
        return match;
    }
};

TEST_F(UsbOnOffEntityTest, SetUpReadsTheDeviceAndTheKeptValueWins)
{
    m_device->SetControl(5, SEL_MUTE, 1, {1, 0, 1, 1, 1});
    m_device->SetControl(5, SEL_MUTE, 2, {1, 0, 1, 1, 1});
    Store(u"Unit00_ 0_1", {0});
    const size_t before = Requests();
    UsbOnOffEntity* mute = OnOff(static_cast<LONG>(ENTITY_AGC));
    ASSERT_NE(mute, nullptr);
    EXPECT_EQ(static_cast<TopologyNode*>(mute)->GetType(), ENTITY_AGC);
    EXPECT_EQ(Value(mute, 0), 1);
    EXPECT_EQ(Value(mute, 1), 0);
    EXPECT_EQ(Requests() - before, 2u);  // two reads, nothing sent

    // A channel the device does not answer starts off.
    m_device->AddFault(Request(USB_AUDIO_GET_CUR, 0x0101), sim::SimDevice::FaultKind::Stall);
    UsbOnOffEntity* second = OnOff();
    EXPECT_EQ(Value(second, 0), 0);
}

TEST_F(UsbOnOffEntityTest, SetValueSendsThenKeepsOnlyWhatTheDeviceTook)
{
    NextIdIs(5);
    UsbOnOffEntity* mute = OnOff();
    EXPECT_EQ(mute->SetValue(1, 1), STATUS_SUCCESS);
    EXPECT_EQ(Cur(SEL_MUTE, 2), 1);
    EXPECT_EQ(Value(mute, 1), 1);
    EXPECT_EQ(Stored(u"Unit05_ 0_1"), std::vector<uint8_t>{1});

    m_device->AddFault(Request(USB_AUDIO_SET_CUR), sim::SimDevice::FaultKind::Stall);
    EXPECT_EQ(mute->SetValue(0, 1), STATUS_SUCCESS);
    EXPECT_EQ(Value(mute, 0), 0);
    EXPECT_FALSE(Stored(u"Unit05_ 0_0").has_value());
    EXPECT_EQ(mute->SetValue(2, 1), STATUS_INVALID_PARAMETER);
}

TEST_F(UsbOnOffEntityTest, OutputSwitchReloadsSendsAndNotifies)
{
    m_unit->Channels = 6;
    UsbOnOffEntity* mute = OnOff();
    mute->SetValue(0, 1);
    Store(u"Unit00_ 3_1", {1});
    std::vector<ULONG> changes;
    PVOID registration = Listen(&changes);
    const size_t before = Requests();
    EXPECT_EQ(mute->SetOutputKind(3, m_owner->GetCallbackObject()), STATUS_SUCCESS);
    EXPECT_EQ(Requests() - before, 2u);  // two channels on an S/PDIF output
    EXPECT_EQ(Value(mute, 0), 1);        // nothing kept for it: the current value, kept now
    EXPECT_EQ(Value(mute, 1), 1);
    EXPECT_EQ(Cur(SEL_MUTE, 2), 1);
    EXPECT_EQ(Stored(u"Unit00_ 3_0"), std::vector<uint8_t>{1});
    EXPECT_EQ(changes, std::vector<ULONG>{0});
    m_owner->UnregisterCallback(registration);
}

TEST_F(UsbOnOffEntityTest, RestoreAndRefresh)
{
    UsbOnOffEntity* mute = OnOff();
    Store(u"Unit01_ 0_0", {1});
    // Restore sends the values held, channel by channel.
    UsbOnOffEntity* kept = OnOff();
    EXPECT_EQ(Cur(SEL_MUTE, 1), 0);
    EXPECT_EQ(kept->Restore(), STATUS_SUCCESS);
    EXPECT_EQ(Cur(SEL_MUTE, 1), 1);

    // Refresh reads every channel and keeps it; a failed read stops the walk and is returned.
    m_device->SetControl(5, SEL_MUTE, 2, {1, 0, 1, 1, 1});
    m_device->AddFault(Request(USB_AUDIO_GET_CUR, 0x0102), sim::SimDevice::FaultKind::Stall);
    EXPECT_FALSE(NT_SUCCESS(mute->Refresh()));
    EXPECT_EQ(Value(mute, 0), 1);
    EXPECT_EQ(Value(mute, 1), 0);
    EXPECT_EQ(mute->Refresh(), STATUS_SUCCESS);
    EXPECT_EQ(Value(mute, 1), 1);
    EXPECT_EQ(Stored(u"Unit00_ 0_1"), std::vector<uint8_t>{1});

    m_unit->Channels = 0;
    EXPECT_EQ(OnOff()->Restore(), STATUS_INVALID_PARAMETER);
}

TEST_F(UsbOnOffEntityTest, LedSwitchIsKeptButNeverSent)
{
    Store(u"Unit00_ 0_0", {1});
    auto* led = Make<UsbLedSwitchEntity>([&](UsbLedSwitchEntity* e) { return SetupSingleOnOffEntity(e, m_unit, m_fdo); });
    ASSERT_NE(led, nullptr);
    EXPECT_EQ(Value(led, 0), 1);
    const size_t before = Requests();
    EXPECT_EQ(led->SetValue(0, 0), STATUS_SUCCESS);
    EXPECT_EQ(led->Restore(), STATUS_SUCCESS);
    EXPECT_EQ(led->Refresh(), STATUS_SUCCESS);
    EXPECT_EQ(Requests(), before);
    EXPECT_EQ(Stored(u"Unit00_ 0_0"), std::vector<uint8_t>{0});
    EXPECT_EQ(led->SetValue(1, 0), STATUS_INVALID_PARAMETER);
}

TEST_F(UsbOnOffEntityTest, BranchMuteAndVendorSwitch)
{
    auto* branch = OnOff<UsbBranchMuteEntity>();
    PVOID control = nullptr;
    ASSERT_EQ(static_cast<IEntityOnOff*>(branch)->QueryInterface(IID_ISelectorBranchControl, &control), STATUS_SUCCESS);
    auto* b = static_cast<ISelectorBranchControl*>(control);
    EXPECT_EQ(b->OnSelectionChanging(2, 1), STATUS_SUCCESS);
    b->SetBranchIndex(2);
    b->SetSelectedInput(1);
    EXPECT_EQ(branch->BranchIndex(), 2u);
    EXPECT_EQ(branch->SelectedInput(), 1u);
    b->Release();
    auto* vendor = OnOff<UsbVendorSwitchEntity>();
    EXPECT_EQ(static_cast<TopologyNode*>(vendor)->GetType(), ENTITY_VENDOR_SWITCH);
    EXPECT_EQ(vendor->SetValue(0, 1), STATUS_SUCCESS);
    EXPECT_EQ(Cur(SEL_MUTE, 1), 1);
}

}  // namespace

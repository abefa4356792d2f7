#include <gtest/gtest.h>

#include <cstring>

#include "adapter/SettingsStore.h"
#include "platform/nt/Callback.h"
#include "platform/nt/Debug.h"
#include "platform/nt/Pool.h"
#include "tests/topology/TopologyFixture.h"

namespace kvxtest {
namespace {

JackRecord Jack(ULONG mapping, ULONG color, ULONG word6 = 0)
{
    JackRecord j{};
    j.ChannelMapping = mapping;
    j.Color = color;
    j.ConnectionType = 1;
    j.GeoLocation = 1;
    j.GenLocation = 0;
    j.PortConnection = 0;
    j.Word6 = word6;
    j.IsConnected = 1;
    return j;
}

// The headset: stream terminal -> volume (2 ch) -> bass -> mute -> headphone terminal (one jack);
// mic, line and a mixer in terminal mode -> 3-input selector -> AGC -> capture terminal; a clock;
// a software mute node.
std::vector<TopologyNode*> Headset()
{
    auto* mixer = NewObject<MixerEntity>(8u);
    const ULONG mixed[] = {6, 7};
    EXPECT_EQ(mixer->SetSources(2, mixed), STATUS_SUCCESS);
    EXPECT_EQ(mixer->SetTerminalMode(TRUE), STATUS_SUCCESS);
    auto* selector = NewObject<SelectorEntity>(9u);
    const ULONG inputs[] = {6, 7, 8};
    EXPECT_EQ(selector->SetSources(3, inputs), STATUS_SUCCESS);
    auto* clock = NewObject<ClockEntity>(12u);
    const ULONG rates[] = {44100, 48000};
    EXPECT_EQ(clock->Init(2, rates), STATUS_SUCCESS);
    return {
        NewInput(1, ENDPOINT_KIND_STREAM),
        NewLevel<VolumeEntity>(2, 1, 2),
        NewLevel<BassEntity>(3, 2, 1, 0x000C0000, -0x000C0000, 0x4000),
        NewOnOff<MuteEntity>(4, 3, 2),
        NewOutput(5, 4, ENDPOINT_KIND_HEADPHONES, {Jack(3, 0x00FF00)}),
        NewInput(6, ENDPOINT_KIND_MICROPHONE, {Jack(1, 0xFF0000, 1)}),
        NewInput(7, ENDPOINT_KIND_LINE),
        mixer,
        selector,
        NewOnOff<AgcEntity>(10, 9, 1),
        NewOutput(11, 10, ENDPOINT_KIND_STREAM),
        clock,
        NewOnOff<SoftwareMuteNode>(13, 1, 1),
    };
}

constexpr char HEADSET_DUMP[] =
    "pin 0 out category {6994AD04-93EF-11D0-A3CC-00A0C9223196}\n"
    "pin 1 in category {6994AD04-93EF-11D0-A3CC-00A0C9223196}\n"
    "pin 2 out category {DFF21CE2-F70F-11D0-B917-00A0C9223196}\n"
    "pin 3 in category {DFF21BE1-F70F-11D0-B917-00A0C9223196}\n"
    "pin 4 in category {DFF21FE3-F70F-11D0-B917-00A0C9223196}\n"
    "pin 5 in category {DFF21FE1-F70F-11D0-B917-00A0C9223196} name {8C5716E6-C984-492E-A2FB-1385F2D0F3C9}\n"
    "node 0 type {02B223C0-C557-11D0-8A2B-00A0C9255AC1}\n"
    "node 1 type {E88C9BA0-C557-11D0-8A2B-00A0C9255AC1}\n"
    "node 2 type {2CEAF780-C556-11D0-8A2B-00A0C9255AC1}\n"
    "node 3 type {02B223C0-C557-11D0-8A2B-00A0C9255AC1}\n"
    "node 4 type {7607E580-C557-11D0-8A2B-00A0C9255AC1} name {185FEDE0-9905-11D1-95A9-00C04FB925D3}\n"
    "node 5 type {3A5ACC00-C557-11D0-8A2B-00A0C9255AC1}\n"
    "connection node 3 pin 0 -> filter pin 2\n"
    "connection node 4 pin 0 -> node 3 pin 1\n"
    "connection node 5 pin 0 -> node 4 pin 1\n"
    "connection filter pin 1 -> node 5 pin 1\n"
    "connection node 1 pin 0 -> filter pin 0\n"
    "connection node 2 pin 0 -> node 1 pin 1\n"
    "connection filter pin 5 -> node 2 pin 3\n"
    "connection filter pin 4 -> node 2 pin 2\n"
    "connection filter pin 3 -> node 2 pin 1\n"
    "values node 0: range 0..1 step 1 [0] 0\n"
    "values node 1: range 0..1 step 1 [0] 0\n"
    "values node 2: input 1\n"
    "values node 3: range 0..1 step 1 [0] 0 [1] 0\n"
    "values node 4: range -786432..786432 step 16384 [0] 0\n"
    "values node 5: range -6291456..786432 step 32768 [0] 0 [1] 0\n";

class TopologyMiniportTest : public TopologyFixture {};

TEST_F(TopologyMiniportTest, TheHeadsetBecomesItsFilterAndDumpsAsExpected)
{
    ASSERT_EQ(Install(Headset()), STATUS_SUCCESS);
    EXPECT_EQ(Browser().DumpTopology(u"GlobalTopo"), HEADSET_DUMP);
    const auto d = Browser().Describe(u"GlobalTopo");
    ASSERT_TRUE(d.has_value());
    EXPECT_EQ(d->Categories, (std::vector<GUID>{KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY, EnumDeviceInterfaceGuid}));
    for (const auto& pin : d->Pins) {
        EXPECT_EQ(pin.DataRangeCount, 1u);
        EXPECT_EQ(pin.Communication, KSPIN_COMMUNICATION_NONE);
    }
    PWSTR name = nullptr;
    ISubdeviceName* subdevice = nullptr;
    ASSERT_EQ(m_miniport->QueryInterface(SubdeviceNameIid, reinterpret_cast<PVOID*>(&subdevice)), STATUS_SUCCESS);
    ASSERT_EQ(subdevice->GetName(&name), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"GlobalTopo");
    EXPECT_EQ(subdevice->GetName(nullptr), STATUS_INVALID_PARAMETER);
    ULONG value = 5;  // the headphone terminal's id
    EXPECT_EQ(subdevice->GetBridgePin(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 2u);
    value = 12;  // the clock: no pin
    EXPECT_EQ(subdevice->GetBridgePin(&value), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(subdevice->GetBridgePin(nullptr), STATUS_INVALID_PARAMETER);
    subdevice->Release();

    // Power: D0 to D3 are recorded, other states ignored.
    TopologyMiniport* miniport = Miniport();
    POWER_STATE state{};
    state.DeviceState = PowerDeviceD3;
    miniport->PowerChangeNotify(state);
    EXPECT_EQ(miniport->GetDevicePowerState(), PowerDeviceD3);
    state.DeviceState = static_cast<DEVICE_POWER_STATE>(7);
    miniport->PowerChangeNotify(state);
    EXPECT_EQ(miniport->GetDevicePowerState(), PowerDeviceD3);
    PVOID other = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(m_miniport->QueryInterface(IID_IPortEvents, &other), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(other, nullptr);
}

}  // namespace
}  // namespace kvxtest

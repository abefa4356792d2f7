// The V3 function on the simulated chip: the shipped profiles, start, identification, switches
// and device rules, and the chip registers.
#include <cstdlib>
#include <fstream>
#include <sstream>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

#include "platform/nt/Clock.h"
#include "platform/nt/Machine.h"
#include "platform/nt/PoolHost.h"
#include "platform/nt/ThreadHost.h"
#include "platform/registry/RegistryHost.h"
#include "sim/HidReports.h"
#include "tests/usb/DeviceStartFixture.h"
#include "stream/UsbStreamEndpoint.h"
#include "stream/V3RenderEndpoint.h"
#include "topology/V3FeatureUnits.h"
#include "tests/usb/V3Template.h"
#include "usb/Uac1FunctionV3.h"

namespace {

using kvxtest::V3Bytes;

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// The shipped profiles are the builders' output; KVX_WRITE_V3_PROFILES=1 writes them again.
TEST(V3Profiles, ShippedFilesAreTheTemplateWithTheirAnswers)
{
    const std::pair<const char*, std::string> profiles[] = {
        {"v3-sound-card.json", kvxtest::V3SoundCardProfile()},
        {"v3-jack-headset.json", kvxtest::V3JackHeadsetProfile()},
    };
    for (const auto& [name, text] : profiles) {
        const std::string path = std::string(KVX_PROFILE_DIR) + "/" + name;
        if (std::getenv("KVX_WRITE_V3_PROFILES") != nullptr) {
            std::ofstream(path, std::ios::binary) << text;
        }
        EXPECT_EQ(ReadText(path), text) << name;
    }
    const V3Bytes c = kvxtest::V3Configuration();
    ASSERT_EQ(c.size(), kvxtest::V3_TEMPLATE_BYTES + 25);
    // The blocks the rewrite looks at, where it looks for them.
    const std::pair<size_t, std::vector<uint8_t>> marks[] = {
        {28, {12, 0x24, 2, 1}},   {52, {10, 0x24, 6, 8}},   {62, {10, 0x24, 6, 9}},   {72, {25, 0x24, 4}},
        {97, {16, 0x24, 6}},      {113, {9, 0x24, 3, 3}},   {122, {13, 0x24, 4}},     {135, {9, 0x24, 3}},
        {144, {10, 0x24, 5}},     {166, {10, 0x24, 6, 15}}, {176, {10, 0x24, 6, 11}}, {198, {10, 0x24, 6, 2}},
        {208, {10, 0x24, 6, 16}}, {218, {9, 4, 1, 0}},      {227, {9, 4, 1, 1}},      {411, {9, 4, 1, 5}},
        {454, {9, 4, 2, 0}},      {509, {9, 4, 3, 0}},
    };
    for (const auto& [offset, bytes] : marks) {
        EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), c.begin() + static_cast<long>(offset))) << offset;
    }
}

class V3FunctionTest : public kvxtest::DeviceStartFixture {
protected:
    Uac1FunctionV3* V3() { return static_cast<Uac1FunctionV3*>(m_function); }

    // A V3 device of the template with its identity, identification replies and chip string at 0x50.
    void PlugV3(uint16_t vendor, uint16_t product, int ident9 = 0, int ident8 = 0)
    {
        std::string error;
        auto device =
            sim::ParseProfile(kvxtest::V3ProfileText(vendor, product, "V3", 0x50, ident9, ident8, ""), ".", &error);
        ASSERT_NE(device, nullptr) << error;
        Plug(std::move(device));
    }
    void Store(const std::u16string& name, std::vector<uint8_t> data)
    {
        // The driver key follows the identity the bus reports, as the start will set it up.
        const auto d = m_device->DeviceDescriptor();
        platform::DeviceSetUpUsb(m_bus->Pdo(), static_cast<USHORT>(d[8] | (d[9] << 8)),
                                 static_cast<USHORT>(d[10] | (d[11] << 8)), static_cast<USHORT>(d[12] | (d[13] << 8)));
        platform::RegistrySetValue(platform::DeviceDriverKeyPath(m_bus->Pdo()) + u"\\Settings", name, REG_BINARY,
                                   data);
    }
    // The register writes sent, as (register, value).
    std::vector<std::pair<int, int>> RegisterWrites()
    {
        std::vector<std::pair<int, int>> writes;
        for (const auto& r : m_device->Hid()->OutputReports()) {
            EXPECT_EQ(r.Interface, 3);
            EXPECT_EQ(r.Value, 0x0200);
            if (r.Data.size() == 4 && r.Data[0] == 0x20) {
                writes.emplace_back(r.Data[3], r.Data[1] | (r.Data[2] << 8));
            }
        }
        return writes;
    }
    UsbAudioUnit* Unit(ULONG id)
    {
        UsbAudioUnit* unit = nullptr;
        EXPECT_EQ(m_function->FindUnit(id, &unit), STATUS_SUCCESS) << id;
        return unit;
    }
    // The unit's first entity of the type, as the interface asked (released at once: the unit
    // keeps it alive).
    template <typename I>
    I* EntityOf(UsbAudioUnit* unit, LONG type, REFIID iid)
    {
        ULONG entities = 0;
        EXPECT_EQ(unit->GetEntityCount(&entities), STATUS_SUCCESS);
        for (ULONG i = 0; i < entities; ++i) {
            TopologyNode* e = nullptr;
            PVOID raw = nullptr;
            if (NT_SUCCESS(unit->GetEntity(i, &e)) && e->GetType() == type &&
                NT_SUCCESS(e->QueryInterface(iid, &raw))) {
                static_cast<IUnknown*>(raw)->Release();
                return static_cast<I*>(raw);
            }
        }
        ADD_FAILURE() << "no entity of type " << type;
        return nullptr;
    }
    template <typename I>
    I* Query(UsbAudioUnit* unit, REFIID iid)
    {
        PVOID raw = nullptr;
        EXPECT_EQ(unit->QueryInterface(iid, &raw), STATUS_SUCCESS);
        auto* i = static_cast<I*>(raw);
        i->Release();  // the unit lives as long as the function
        return i;
    }
};

TEST_F(V3FunctionTest, TheSoundCardStartsWithItsDefaults)
{
    PlugProfile("v3-sound-card.json");
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    ASSERT_EQ(m_usb->FunctionVariant(), UsbFunctionVariant::V3);
    Uac1FunctionV3* f = V3();
    EXPECT_FALSE(f->ChipMatched());
    EXPECT_FALSE(f->JackPollingEnabled());
    EXPECT_EQ(f->Switch(V3_DISABLE_STEREO_MIX_REC_UNIT), 1);
    EXPECT_EQ(f->Switch(V3_SUPPORT_HP_OUT), 1);
    EXPECT_EQ(f->Switch(V3_SUPPORT_SPDIF_OUT), 1);
    EXPECT_EQ(f->Switch(V3_DISABLE_8CH_OUT), 0);
    EXPECT_EQ(f->StoredCapabilities().ControlMask, 0x3FE08Fu);
    EXPECT_EQ(f->GetEndpointCount(), 2u);
    UsbAudioUnit* unit = nullptr;
    EXPECT_EQ(f->FindUnit(2, &unit), STATUS_UNSUCCESSFUL);  // stereo mix dropped
    EXPECT_EQ(f->FindUnit(14, &unit), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(f->FindUnit(18, &unit), STATUS_SUCCESS);
}

TEST_F(V3FunctionTest, DeviceRulesSetSwitchesMaskRegisterAndPolling)
{
    constexpr int CHIP9 = 0x9F, CHIP8 = 0x03;
    struct Row {
        const char* Name;
        uint16_t Vendor, Product;
        int Ident9, Ident8;
        std::vector<V3Switch> On, Off;
        ULONG Mask;
        bool Polling;
    } rows[] = {
        {"other vendor, no chip: defaults", 0x1209, 0x7302, 0, 0, {V3_DISABLE_STEREO_MIX_REC_UNIT, V3_SUPPORT_HP_OUT,
         V3_SUPPORT_SPDIF_OUT}, {V3_DISABLE_8CH_OUT, V3_DISABLE_LINE_IN_TERMINAL}, 0x3FE08F, false},
        {"other vendor, chip", 0x1209, 0x7302, CHIP9, CHIP8, {V3_DISABLE_8CH_OUT}, {}, 0x3FE08F, false},
        {"jack headset", 0x1E7D, 0x3750, CHIP9, CHIP8, {V3_DISABLE_LINE_IN_REC_UNIT, V3_DISABLE_SPDIF_IN_TERMINAL,
         V3_DISABLE_4CH_OUT, V3_DISABLE_8CH_OUT}, {V3_SUPPORT_HP_OUT, V3_SUPPORT_SPDIF_OUT}, 0x3E0084, true},
        {"jack headset without the chip", 0x1E7D, 0x3750, CHIP9, 0x00, {V3_SUPPORT_HP_OUT}, {V3_DISABLE_8CH_OUT},
         0x3FE08F, false},
        {"second identification byte masked", 0x1E7D, 0x3750, CHIP9, 0xFF & ~0x60 & 0x9F, {}, {}, 0x3E0084, true},
        {"2-channel off clears the output modes", 0x5131, 0x001C, CHIP9, CHIP8, {V3_DISABLE_2CH_OUT,
         V3_DISABLE_8CH_OUT}, {V3_SUPPORT_HP_OUT, V3_SUPPORT_SPDIF_OUT}, 0, false},
        {"LED device, no condition", 0x28DA, 0x268E, 0, 0, {V3_DISABLE_LINE_IN_TERMINAL,
         V3_DISABLE_SPDIF_IN_TERMINAL}, {V3_SUPPORT_HP_OUT, V3_DISABLE_8CH_OUT}, 0x3E09F, false},
        {"listed product without the chip", 0x0F3B, 0x0053, 0, 0, {V3_SUPPORT_HP_OUT},
         {V3_DISABLE_LINE_IN_TERMINAL, V3_DISABLE_8CH_OUT}, 0x3FE08F, false},
        {"listed product with the chip", 0x0F3B, 0x0078, CHIP9, CHIP8, {V3_DISABLE_LINE_IN_TERMINAL,
         V3_DISABLE_8CH_OUT}, {V3_SUPPORT_SPDIF_OUT}, 0x3FE08F, false},
        {"a rule that keeps 8 channels", 0x0A6A, 0x0160, CHIP9, CHIP8, {V3_DISABLE_SPDIF_IN_TERMINAL},
         {V3_DISABLE_8CH_OUT, V3_SUPPORT_HP_OUT}, 0x3FE08F, false},
        {"listed vendor, other product, chip", 0x1E7D, 0x1234, CHIP9, CHIP8, {V3_DISABLE_8CH_OUT}, {}, 0x3FE08F,
         false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        PlugV3(r.Vendor, r.Product, r.Ident9, r.Ident8);
        ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
        for (V3Switch s : r.On) EXPECT_EQ(V3()->Switch(s), 1) << s;
        for (V3Switch s : r.Off) EXPECT_EQ(V3()->Switch(s), 0) << s;
        EXPECT_EQ(V3()->StoredCapabilities().ControlMask, r.Mask);
        EXPECT_EQ(V3()->JackPollingEnabled() != FALSE, r.Polling);
        // The LED device's switch is restored into bits 4-5 (0: lit).
        EXPECT_EQ(V3()->Register(1).Value, r.Polling || r.Vendor == 0x28DA ? 0x3032 : 0x3002);
        StopDeviceObject(true);
    }
}

TEST_F(V3FunctionTest, StoredSwitchesCountByTheirLowestByte)
{
    PlugV3(0x1209, 0x7302);
    Store(u"DisableMicInTerminal", {0x00, 0x01, 0x01, 0x01});
    Store(u"DisableLineInTerminal", {0x01, 0xFF, 0x00, 0x00});
    Store(u"SupportHPOut", {0x00, 0x00, 0x00, 0x80});
    Store(u"Disable6ChOutSupported", {0x01});  // too short for four bytes: still read
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    EXPECT_EQ(V3()->Switch(V3_DISABLE_MIC_IN_TERMINAL), 0);
    EXPECT_EQ(V3()->Switch(V3_DISABLE_LINE_IN_TERMINAL), 1);
    EXPECT_EQ(V3()->Switch(V3_DISABLE_LINE_IN_AA_UNIT), 1);  // implied
    EXPECT_EQ(V3()->Switch(V3_SUPPORT_HP_OUT), 0);
    EXPECT_EQ(V3()->Switch(V3_DISABLE_6CH_OUT), 1);
    UsbAudioUnit* unit = nullptr;
    EXPECT_EQ(m_function->FindUnit(6, &unit), STATUS_UNSUCCESSFUL);
}

// The start's chip traffic: identification, the output terminal's registers, then the restore.
TEST_F(V3FunctionTest, AStartIdentifiesWritesTheOutputAndRestoresTheRegisters)
{
    PlugProfile("v3-sound-card.json");
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    std::vector<uint16_t> identification;
    for (const auto& e : m_device->Log()) {
        if (e.What == sim::RequestLogEntry::Kind::Control && e.Setup.bmRequestType == 0xC3) {
            EXPECT_EQ(e.Setup.bRequest, 0x81);
            EXPECT_EQ(e.Setup.wLength, 1);
            identification.push_back(e.Setup.wIndex);
        }
    }
    EXPECT_EQ(identification, (std::vector<uint16_t>{9, 8}));
    const std::vector<std::pair<int, int>> start = {
        {2, 0xE000}, {1, 0x3002}, {0, 0x2004},                                       // speakers
        {5, 0x0000}, {5, 0x3000},                                                    // reset pulse
        {0, 0x2004}, {1, 0x3002}, {2, 0xE000}, {3, 0x143F}, {4, 0x0000},             // restore
        {2, 0xE000}, {1, 0x3002}, {0, 0x2004},  // the output entity's restore selects speakers again
    };
    EXPECT_EQ(RegisterWrites(), start);
    // Back in D0 the registers go out again with their last values.
    m_device->Hid()->ClearOutputReports();
    ASSERT_EQ(V3()->WriteRegister(3, 0x0100, 0x0F00), STATUS_SUCCESS);
    POWER_STATE state;
    state.DeviceState = PowerDeviceD3;
    V3()->PowerChangeState(state);
    state.DeviceState = PowerDeviceD0;
    V3()->PowerChangeState(state);
    const std::vector<std::pair<int, int>> again = {
        {3, 0x113F}, {5, 0x0000}, {5, 0x3000}, {0, 0x2004}, {1, 0x3002}, {2, 0xE000}, {3, 0x113F}, {4, 0x0000},
        {2, 0xE000}, {1, 0x3002}, {0, 0x2004},
    };
    EXPECT_EQ(RegisterWrites(), again);
}

TEST_F(V3FunctionTest, RegisterWritesMergeUnderTheirMaskAndKeepTheCacheOnFailure)
{
    PlugProfile("v3-sound-card.json");
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    Uac1FunctionV3* f = V3();
    struct Row {
        const char* Name;
        ULONG Register;
        USHORT Value, Mask;
        NTSTATUS Status;
        std::optional<int> Sent;  // the value on the wire
        USHORT Cached;
    } rows[] = {
        {"bit 1 kept", 1, 0x0002, 0x0002, STATUS_SUCCESS, 0x3002, 0x3002},
        {"bits 4-5", 1, 0x0010, 0x0030, STATUS_SUCCESS, 0x3012, 0x3012},
        {"whole value", 1, 0x1234, 0xFFFF, STATUS_SUCCESS, 0x1234, 0x1234},
        {"mask 0 sends nothing", 1, 0xFFFF, 0x0000, STATUS_SUCCESS, std::nullopt, 0x1234},
        {"register 6", 6, 0x0001, 0xFFFF, STATUS_UNSUCCESSFUL, std::nullopt, 0x1234},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        m_device->Hid()->ClearOutputReports();
        EXPECT_EQ(f->WriteRegister(r.Register, r.Value, r.Mask), r.Status);
        const auto writes = RegisterWrites();
        if (r.Sent) {
            EXPECT_EQ(writes, (std::vector<std::pair<int, int>>{{static_cast<int>(r.Register), *r.Sent}}));
        } else {
            EXPECT_TRUE(writes.empty());
        }
        EXPECT_EQ(f->Register(1).Value, r.Cached);
        EXPECT_EQ(f->Register(1).Flags, V3_REGISTER_RESTORE);
    }
    // A write the device stalls or never answers returns its status; the cache keeps its value.
    for (auto kind : {sim::SimDevice::FaultKind::Stall, sim::SimDevice::FaultKind::Never}) {
        sim::RequestMatch match;
        match.RequestType = 0x21;
        match.Request = 0x09;
        m_device->AddFault(match, kind);
        EXPECT_FALSE(NT_SUCCESS(f->WriteRegister(1, 0x0000, 0xFFFF)));
        EXPECT_EQ(f->Register(1).Value, 0x1234);
    }
}

TEST_F(V3FunctionTest, IdentificationFailuresAndShortRepliesReadAsNoChip)
{
    sim::RequestMatch ident9;
    ident9.RequestType = 0xC3;
    ident9.Index = 9;
    sim::RequestMatch ident8 = ident9;
    ident8.Index = 8;
    // A stall on wIndex 9 reads 0: no chip, the start goes on.
    PlugV3(0x1E7D, 0x3750, 0x9F, 0x03);
    m_device->AddFault(ident9, sim::SimDevice::FaultKind::Stall);
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    EXPECT_FALSE(V3()->ChipMatched());
    EXPECT_EQ(V3()->IdentificationByte(0), 0);
    StopDeviceObject(true);
    // A short second reply reads 0, never the first reply's byte (0x9F & 0x63 is 3).
    PlugV3(0x1E7D, 0x3750, 0x9F, 0x03);
    m_device->AddFault(ident8, sim::SimDevice::FaultKind::Short, 1, 0, 0);
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    EXPECT_EQ(V3()->IdentificationByte(0), 0x9F);
    EXPECT_EQ(V3()->IdentificationByte(1), 0);
    EXPECT_FALSE(V3()->JackPollingEnabled());
    StopDeviceObject(true);
    // A stall on wIndex 8 fails the start with its status.
    PlugV3(0x1E7D, 0x3750, 0x9F, 0x03);
    m_device->AddFault(ident8, sim::SimDevice::FaultKind::Stall);
    EXPECT_FALSE(NT_SUCCESS(StartDeviceObject()));
}

TEST_F(V3FunctionTest, UnitsConvertLevelsAndRangesTheirOwnWay)
{
    PlugProfile("v3-sound-card.json");
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    constexpr LONG DB = 65536;
    auto* coarse = Query<IValueControl>(Unit(9), IID_IValueControl);
    auto* fine = Query<IValueControl>(Unit(8), IID_IValueControl);
    auto* remap = Query<IValueControl>(Unit(13), IID_IValueControl);
    auto cur = [&](uint8_t unit, uint8_t channel) { return static_cast<int>(m_device->Control(unit, 2, channel)->Cur); };
    auto set = [&](uint8_t unit, int channel, int64_t c, int64_t mn, int64_t mx) {
        m_device->SetControl(unit, 2, channel, {c, mn, mx, 256, 2});
    };
    struct Read {
        const char* Name;
        IValueControl* Control;
        uint8_t Unit;
        int Device;
        LONG Level;
    } reads[] = {
        {"coarse -1 dB", coarse, 9, -256, -3 * DB / 2},
        {"coarse +1 dB", coarse, 9, 256, 3 * DB},
        {"fine -8 dB", fine, 8, -2048, -3 * DB},
        {"fine +1 dB", fine, 8, 256, 3 * DB},
        {"remap -5 dB", remap, 13, -1280, -331 * 256},
        {"remap -38 dB", remap, 13, -9728, -9728 * 256},
        {"remap below the table", remap, 13, -12000, -12000 * 256},
        {"remap silence", remap, 13, -32768, static_cast<LONG>(0x80000000)},
    };
    for (const Read& r : reads) {
        SCOPED_TRACE(r.Name);
        set(r.Unit, -1, r.Device, -32768, 32767);
        LONG level = 0;
        ASSERT_EQ(r.Control->GetValue(2, 0, &level), STATUS_SUCCESS);
        EXPECT_EQ(level, r.Level);
    }
    struct Write {
        const char* Name;
        IValueControl* Control;
        uint8_t Unit;
        LONG Level;
        int Device;
    } writes[] = {
        {"coarse -1.5 dB", coarse, 9, -3 * DB / 2, -256},
        {"fine -3 dB", fine, 8, -3 * DB, -2048},
        {"remap -331/256 dB", remap, 13, -331 * 256, -1280},
        {"remap above 0 dB never reads before row 0", remap, 13, 2 * DB, 0},
        {"remap silence", remap, 13, static_cast<LONG>(0x80000000), -32768},
    };
    for (const Write& w : writes) {
        SCOPED_TRACE(w.Name);
        ASSERT_EQ(w.Control->SetValue(2, 0, w.Level), STATUS_SUCCESS);
        EXPECT_EQ(cur(w.Unit, 1), w.Device);
    }
    struct Range {
        const char* Name;
        IValueControl* Control;
        uint8_t Unit;
        int Max, Min;
        LONG Maximum, Minimum, Step;
    } ranges[] = {
        {"coarse drops the low four bits of the maximum", coarse, 9, 0x0123, -8192, 0x0120 * 3 * 256, -48 * DB, 0x18000},
        {"coarse ends do not wrap", coarse, 9, 0x3000, -32768, 0x3000 * 3 * 256, -192 * DB, 0x18000},
        {"fine drops the low byte of the maximum", fine, 8, 0x0123, -2048, 3 * DB, -3 * DB, 0x18000},
        {"remap", remap, 13, 0, -9216, 0, -8500 * 256, 0x4000},
    };
    for (const Range& r : ranges) {
        SCOPED_TRACE(r.Name);
        set(r.Unit, -1, 0, r.Min, r.Max);
        LONG maximum = 0, minimum = 0, step = 0;
        ASSERT_EQ(r.Control->GetRange(2, &maximum, &minimum, &step), STATUS_SUCCESS);
        EXPECT_EQ(maximum, r.Maximum);
        EXPECT_EQ(minimum, r.Minimum);
        EXPECT_EQ(step, r.Step);
        EXPECT_LE(minimum, maximum);
    }
}

TEST_F(V3FunctionTest, TheDirectChannelUnitMutesTheMasterWithTheOverride)
{
    PlugV3(0x1E7D, 0x3750, 0x9F, 0x03);
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    UsbAudioUnit* unit = Unit(11);
    auto* onOff = Query<IOnOffControl>(unit, IID_IOnOffControl);
    auto* override = Query<IV3MuteOverride>(unit, IID_IV3MuteOverride);
    auto mute = [&] { return m_device->Control(11, 1, 0)->Cur; };
    EXPECT_EQ(onOff->SetOnOff(1, 1, 1), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(override->SetMuteOverride(1), STATUS_SUCCESS);
    ASSERT_EQ(onOff->SetOnOff(1, 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(mute(), 1);
    ASSERT_EQ(override->SetMuteOverride(0), STATUS_SUCCESS);
    EXPECT_EQ(mute(), 0);
    // Only unit 11 of the jack device carries the override.
    PVOID raw = nullptr;
    EXPECT_EQ(Unit(9)->QueryInterface(IID_IV3MuteOverride, &raw), STATUS_INVALID_PARAMETER);
}


// Jack polling on virtual time: a change attenuates at once; thirty polls alike pass or silence.
TEST_F(V3FunctionTest, TheJackThreadFollowsTheSenseThroughItsWindow)
{
    PlugV3(0x1E7D, 0x3750, 0x9F, 0x03);
    sim::HidReports* hid = m_device->Hid();
    ASSERT_NE(hid, nullptr);
    hid->SetInputReport(3, {0x10, 0x00, 0x00});
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    Uac1FunctionV3* f = V3();
    ASSERT_NE(f->GetJackNode(), nullptr);
    const size_t threads = platform::ThreadLiveCount();
    ASSERT_EQ(f->Start(), STATUS_SUCCESS);
    EXPECT_EQ(platform::ThreadLiveCount(), threads + 1);
    platform::RunFor(std::chrono::milliseconds(5));  // the first poll and the override
    auto mode = [&] { return f->GetJackNode()->GetMode(); };
    auto muted = [&] { return m_device->Control(11, 1, 0)->Cur; };
    auto polls = [&](int n) { platform::RunFor(std::chrono::milliseconds(50 * n)); };
    EXPECT_EQ(mode(), JACK_MUTE_PASS);
    EXPECT_EQ(muted(), 1);  // the override while the sense is set
    hid->SetInputReport(3, {0x00, 0x00, 0x00});
    polls(1);
    EXPECT_EQ(mode(), JACK_MUTE_ATTENUATE);
    EXPECT_EQ(muted(), 0);
    polls(28);
    EXPECT_EQ(mode(), JACK_MUTE_ATTENUATE);
    polls(1);
    EXPECT_EQ(mode(), JACK_MUTE_SILENCE);
    // From silence a change keeps silence until thirty polls in a row have the bit set.
    hid->SetInputReport(3, {0x10, 0x00, 0x00});
    polls(29);
    EXPECT_EQ(mode(), JACK_MUTE_SILENCE);
    polls(1);
    EXPECT_EQ(mode(), JACK_MUTE_PASS);
    EXPECT_EQ(muted(), 1);
    // Stop and start again: one thread at a time, none after Stop.
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(f->Stop(), STATUS_SUCCESS);
        EXPECT_EQ(platform::ThreadLiveCount(), threads);
        ASSERT_EQ(f->Start(), STATUS_SUCCESS);
    }
    // A poll that stalls, comes back short or never completes ends the thread; the node keeps
    // its mode and Stop still returns.
    sim::RequestMatch poll;
    poll.RequestType = 0xA1;
    poll.Request = 0x01;
    for (auto kind : {sim::SimDevice::FaultKind::Stall, sim::SimDevice::FaultKind::Short,
                      sim::SimDevice::FaultKind::Never}) {
        hid->SetInputReport(3, {0x00, 0x00, 0x00});
        polls(2);  // the restarted thread's first poll, then one on its timer
        ASSERT_EQ(mode(), JACK_MUTE_ATTENUATE);
        m_device->AddFault(poll, kind, 1, USBD_STATUS_DEV_NOT_RESPONDING, 0);
        polls(12);  // a lost poll is cancelled after 500 ms
        EXPECT_EQ(platform::ThreadLiveCount(), threads);
        EXPECT_EQ(mode(), JACK_MUTE_ATTENUATE);
        EXPECT_TRUE(f->JackThreadRunning());
        ASSERT_EQ(f->Stop(), STATUS_SUCCESS);
        EXPECT_FALSE(f->JackThreadRunning());
        f->GetJackNode()->SetMode(JACK_MUTE_PASS);
        hid->SetInputReport(3, {0x10, 0x00, 0x00});
        ASSERT_EQ(f->Start(), STATUS_SUCCESS);
        polls(1);
    }
    ASSERT_EQ(f->Stop(), STATUS_SUCCESS);
}

// Every allocation of the start failing in turn: a clean status and nothing left behind.
TEST_F(V3FunctionTest, EachFailedAllocationOfTheStartEndsCleanly)
{
    PlugProfile("v3-jack-headset.json");
    uint64_t before = platform::PoolCurrentSerial();
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    const uint64_t count = platform::PoolCurrentSerial() - before;
    StopDeviceObject(true);
    ASSERT_GT(count, 10u);
    int failed = 0;
    for (uint64_t n = 1; n <= count; ++n) {
        SCOPED_TRACE(n);
        PlugProfile("v3-jack-headset.json");
        before = platform::PoolCurrentSerial();
        kvxtest::DeviceObjectOptions options;
        options.FailNthAllocation = n;
        const NTSTATUS status = StartDeviceObject(options);
        failed += NT_SUCCESS(status) ? 0 : 1;
        StopDeviceObject(true);
        platform::PoolClearFailures();
        EXPECT_EQ(platform::PoolLiveSince(before), 0u) << platform::PoolLeakReport(before);
    }
    EXPECT_GT(failed, 0);
}


// The render endpoint's formats follow the output; the output writes its registers.
TEST_F(V3FunctionTest, TheOutputKindSetsRegistersAndTheRenderFormats)
{
    PlugProfile("v3-sound-card.json");
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    auto* terminal = Query<ITerminalControl>(Unit(3), IID_ITerminalControl);
    StreamEngine* engine = nullptr;
    ASSERT_EQ(m_function->GetEndpoint(0, &engine), STATUS_SUCCESS);
    ASSERT_FALSE(engine->IsCapture());
    auto* endpoint = static_cast<UsbStreamEndpoint*>(engine);
    auto count = [&](USHORT tag, ULONG rate) {
        int n = 0;
        for (ULONG f = 0;; ++f) {
            WaveFormatRecord r = {};
            UCHAR alternate = 0;
            if (!NT_SUCCESS(endpoint->GetFormatEntry(f, &alternate, &r))) break;
            const USHORT t = r.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? static_cast<USHORT>(r.SubFormat.Data1)
                                                                           : r.Format.wFormatTag;
            n += t == tag && (rate == 0 || r.Format.nSamplesPerSec == rate) ? 1 : 0;
        }
        return n;
    };
    // The descriptors' 96 kHz setting until the endpoint is named for the speakers.
    EXPECT_EQ(count(1, 96000), 1);
    ASSERT_EQ(engine->SetName(u"SPKOut00"), STATUS_SUCCESS);
    EXPECT_EQ(count(0x0092, 0), 0);
    EXPECT_EQ(count(1, 96000), 0);

    m_device->Hid()->ClearOutputReports();
    ASSERT_EQ(terminal->SelectKind(3), STATUS_SUCCESS);
    EXPECT_EQ(RegisterWrites(), (std::vector<std::pair<int, int>>{{2, 0xE7F8}, {1, 0x3000}, {0, 0xA004}}));
    EXPECT_EQ(terminal->SelectKind(7), STATUS_UNSUCCESSFUL);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(engine->SetName(u"SPDIFOut00"), STATUS_SUCCESS);
        EXPECT_EQ(count(0x0092, 0), 3);
        EXPECT_EQ(count(1, 96000), 1);
    }
    ASSERT_EQ(terminal->SelectKind(2), STATUS_SUCCESS);
    ASSERT_EQ(engine->SetName(u"HPOut00"), STATUS_SUCCESS);
    EXPECT_EQ(count(0x0092, 0), 0);
    EXPECT_EQ(count(1, 96000), 1);
    ASSERT_EQ(terminal->SelectKind(1), STATUS_SUCCESS);
    ASSERT_EQ(engine->SetName(u"SPKOut00"), STATUS_SUCCESS);
    EXPECT_EQ(count(0x0092, 0), 0);
    EXPECT_EQ(count(1, 96000), 0);
}


// A stored output outside the chip's three is ignored; one of them stays even when not offered.
TEST_F(V3FunctionTest, TheStoredOutputIsTakenOnlyWhenItIsOneOfTheChipsThree)
{
    struct Row {
        const char* Name;
        uint16_t Vendor, Product;
        int Ident9, Ident8;
        LONG Stored;
        ULONG Active;
        int Register2;
    } rows[] = {
        {"S/PDIF", 0x1209, 0x7302, 0, 0, 3, 3, 0xE7F8},
        {"a kind past the table", 0x1209, 0x7302, 0, 0, 19, 1, 0xE000},
        {"a non-output kind", 0x1209, 0x7302, 0, 0, 7, 1, 0xE000},
        {"S/PDIF on the headset that does not offer it", 0x1E7D, 0x3750, 0x9F, 0x03, 3, 3, 0xE7F8},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        PlugV3(r.Vendor, r.Product, r.Ident9, r.Ident8);
        std::vector<uint8_t> stored(4);
        std::memcpy(stored.data(), &r.Stored, 4);
        Store(u"UACUnit03", stored);
        ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
        ULONG active = 0;
        ASSERT_EQ(Query<ITerminalControl>(Unit(3), IID_ITerminalControl)->GetKind(&active), STATUS_SUCCESS);
        EXPECT_EQ(active, r.Active);
        EXPECT_EQ(V3()->Register(2).Value, r.Register2);
        StopDeviceObject(true);
    }
}


// The selector speaks the chip's source codes; the render unit's mute lights the indicator.
TEST_F(V3FunctionTest, TheSelectorSpeaksSourceCodesAndTheMuteLightsItsIndicator)
{
    PlugProfile("v3-sound-card.json");
    Store(u"NeedMuteLED", {1});
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    m_device->SetControl(18, 0, 0, {1, 1, 4, 1, 1});
    auto* selector = Query<ISelectorControl>(Unit(18), IID_ISelectorControl);
    auto code = [&] { return m_device->Control(18, 0, 0)->Cur; };
    // Inputs 8, 15, 16 carry codes 1, 2, 3.
    for (ULONG input = 1; input <= 3; ++input) {
        ASSERT_EQ(selector->SetSelected(input), STATUS_SUCCESS);
        EXPECT_EQ(code(), static_cast<int64_t>(input));
        ULONG read = 0;
        ASSERT_EQ(selector->GetSelected(&read), STATUS_SUCCESS);
        EXPECT_EQ(read, input);
    }
    EXPECT_EQ(selector->SetSelected(4), STATUS_INVALID_PARAMETER);
    // A code no input has reads as input 1 and sends input 1's code.
    m_device->SetControl(18, 0, 0, {4, 1, 4, 1, 1});
    ULONG read = 0;
    ASSERT_EQ(selector->GetSelected(&read), STATUS_SUCCESS);
    EXPECT_EQ(read, 1u);
    EXPECT_EQ(code(), 1);

    auto* onOff = Query<IOnOffControl>(Unit(13), IID_IOnOffControl);
    ASSERT_EQ(onOff->SetOnOff(1, 0, 1), STATUS_SUCCESS);
    EXPECT_EQ(V3()->Register(1).Value & 0x30, 0x30);
    ASSERT_EQ(onOff->SetOnOff(1, 0, 0), STATUS_SUCCESS);
    EXPECT_EQ(V3()->Register(1).Value & 0x30, 0x10);
}


// The render unit's volume is also a gain on the stream, but only while the output is S/PDIF.
TEST_F(V3FunctionTest, TheSpdifVolumeScalesThePcmStreamOnlyOnSpdif)
{
    PlugProfile("v3-sound-card.json");
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    TopologyNode* volume = nullptr;
    ULONG entities = 0;
    ASSERT_EQ(Unit(13)->GetEntityCount(&entities), STATUS_SUCCESS);
    for (ULONG i = 0; i < entities; ++i) {
        TopologyNode* e = nullptr;
        if (NT_SUCCESS(Unit(13)->GetEntity(i, &e)) && e->GetType() == ENTITY_VOLUME) volume = e;
    }
    ASSERT_NE(volume, nullptr);
    PVOID raw = nullptr;
    ASSERT_EQ(volume->QueryInterface(IID_IProcessingNode, &raw), STATUS_SUCCESS);
    auto* node = static_cast<IProcessingNode*>(raw);
    ASSERT_EQ(volume->QueryInterface(IID_IEntityLevel, &raw), STATUS_SUCCESS);
    auto* level = static_cast<IEntityLevel*>(raw);
    ASSERT_EQ(volume->QueryInterface(IID_IEntityLink, &raw), STATUS_SUCCESS);
    auto* link = static_cast<IEntityLink*>(raw);
    WaveFormatRecord pcm = {};
    pcm.Format.wFormatTag = WAVE_FORMAT_PCM;
    pcm.Format.nChannels = 8;
    auto run = [&] {
        std::vector<std::vector<float>> data(8, std::vector<float>(16, 1.0f));
        float* channels[8];
        for (int c = 0; c < 8; ++c) channels[c] = data[c].data();
        EXPECT_EQ(node->Process(&pcm, channels, 16), STATUS_SUCCESS);
        std::vector<float> first;
        for (int c = 0; c < 8; ++c) first.push_back(data[c][15]);
        return first;
    };
    ASSERT_EQ(link->SetOutputKind(3, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(level->SetLevel(0, -20 * 65536), STATUS_SUCCESS);
    ASSERT_EQ(level->SetLevel(1, 0), STATUS_SUCCESS);
    const std::vector<float> spdif = run();
    EXPECT_NEAR(spdif[0], 0.1f, 1e-4f);
    EXPECT_NEAR(spdif[1], 1.0f, 1e-4f);
    ASSERT_EQ(link->SetOutputKind(1, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(run(), std::vector<float>(8, 1.0f));
    node->Release();
    level->Release();
    link->Release();
}

}  // namespace

namespace {

// A client's preparation sets the rate bits (12-14) and the non-PCM bit (1) of register 0.
TEST_F(V3FunctionTest, PreparingAFormatWritesItsRateAndKindToRegisterZero)
{
    PlugProfile("v3-sound-card.json");
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    StreamEngine* engine = nullptr;
    ASSERT_EQ(m_function->GetEndpoint(0, &engine), STATUS_SUCCESS);
    auto* endpoint = static_cast<UsbStreamEndpoint*>(engine);
    // S/PDIF offers AC-3 and 96 kHz.
    ASSERT_EQ(Query<ITerminalControl>(Unit(3), IID_ITerminalControl)->SelectKind(3), STATUS_SUCCESS);
    ASSERT_EQ(engine->SetName(u"SPDIFOut00"), STATUS_SUCCESS);
    auto find = [&](USHORT tag, ULONG rate) {
        for (ULONG f = 0;; ++f) {
            WaveFormatRecord r = {};
            UCHAR alternate = 0;
            if (!NT_SUCCESS(endpoint->GetFormatEntry(f, &alternate, &r))) break;
            if (V3FormatTag(&r) == tag && r.Format.nSamplesPerSec == rate) return r;
        }
        std::string all;
        for (ULONG f = 0;; ++f) {
            WaveFormatRecord r = {};
            UCHAR alternate = 0;
            if (!NT_SUCCESS(endpoint->GetFormatEntry(f, &alternate, &r))) break;
            all += std::to_string(V3FormatTag(&r)) + "@" + std::to_string(r.Format.nSamplesPerSec) + " ";
        }
        ADD_FAILURE() << tag << " at " << rate << " not offered: " << all;
        return WaveFormatRecord{};
    };
    // Register 0 starts at 0xA004 (S/PDIF); each row's writes carry what the rows before left.
    struct Row {
        const char* Name;
        USHORT Tag;
        ULONG Rate;
        std::vector<std::pair<int, int>> Writes;
    } rows[] = {
        {"PCM 44.1 kHz", 1, 44100, {{0, 0x8004}, {0, 0x8004}}},
        {"AC-3 48 kHz", 0x0092, 48000, {{0, 0xA004}, {0, 0xA006}}},
        {"PCM 96 kHz", 1, 96000, {{0, 0xE006}, {0, 0xE004}}},
        {"AC-3 96 kHz", 0x0092, 96000, {{0, 0xE004}, {0, 0xE006}}},
        {"AC-3 44.1 kHz", 0x0092, 44100, {{0, 0x8006}, {0, 0x8006}}},
        {"PCM 48 kHz", 1, 48000, {{0, 0xA006}, {0, 0xA004}}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        WaveFormatRecord format = find(r.Tag, r.Rate);
        EndpointClient* client = nullptr;
        ASSERT_EQ(endpoint->RegisterClient(CLIENT_KIND_WAVE_STREAM, &format, 5, 3, [](PVOID, PVOID, PVOID) {}, nullptr, &client),
                  STATUS_SUCCESS);
        m_device->Hid()->ClearOutputReports();
        ULONG ms = 0, frame = 0;
        EXPECT_EQ(endpoint->ClientStart(client->Registration, &ms, &frame), STATUS_SUCCESS);
        EXPECT_EQ(RegisterWrites(), r.Writes);
        EXPECT_EQ(V3()->Register(0).Value, r.Writes.back().second);
        EXPECT_EQ(endpoint->ClientStop(client->Registration), STATUS_SUCCESS);
        EXPECT_EQ(endpoint->UnregisterClient(client->Registration), STATUS_SUCCESS);
    }
}

}  // namespace

namespace {

// The two software mutes: the branch mute of unit 16 silences only while the selector is on
// input 3, the software mute of unit 8 always; neither touches a stream while off. PCM chunks
// are float channels, others the packed bytes.
TEST_F(V3FunctionTest, SoftwareMutesSilenceTheirChunksOnlyWhenTheyApply)
{
    // The listed product gives unit 8 the software mute.
    PlugV3(0x0F3B, 0x0053);
    ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
    auto* branchNode = EntityOf<IProcessingNode>(Unit(16), ENTITY_MUTE, IID_IProcessingNode);
    auto* branchMute = EntityOf<IEntityOnOff>(Unit(16), ENTITY_MUTE, IID_IEntityOnOff);
    auto* branch = EntityOf<ISelectorBranchControl>(Unit(16), ENTITY_MUTE, IID_ISelectorBranchControl);
    auto* softNode = EntityOf<IProcessingNode>(Unit(8), ENTITY_MUTE, IID_IProcessingNode);
    auto* softMute = EntityOf<IEntityOnOff>(Unit(8), ENTITY_MUTE, IID_IEntityOnOff);
    ASSERT_TRUE(branchNode && branchMute && branch && softNode && softMute);
    const int64_t deviceMute = m_device->Control(8, 1, 0)->Cur;

    WaveFormatRecord pcm = {};
    pcm.Format.wFormatTag = WAVE_FORMAT_PCM;
    pcm.Format.nChannels = 8;
    WaveFormatRecord ac3 = {};
    ac3.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    ac3.Format.nChannels = 2;
    ac3.Format.nBlockAlign = 4;
    ac3.SubFormat.Data1 = 0x0092;
    // Whether a chunk of each kind came through untouched (true) or silenced (false).
    auto passes = [](IProcessingNode* node, WaveFormatRecord* format) {
        if (format->Format.wFormatTag == WAVE_FORMAT_PCM) {
            std::vector<std::vector<float>> data(8, std::vector<float>(16, 0.5f));
            float* channels[8];
            for (int c = 0; c < 8; ++c) channels[c] = data[c].data();
            EXPECT_EQ(node->Process(format, channels, 16), STATUS_SUCCESS);
            int zero = 0;
            for (const auto& ch : data) zero += static_cast<int>(std::count(ch.begin(), ch.end(), 0.0f));
            EXPECT_TRUE(zero == 0 || zero == 8 * 16) << zero;
            return zero == 0;
        }
        std::vector<uint8_t> bytes(16 * 4 + 4, 0x5A);
        EXPECT_EQ(node->Process(format, bytes.data(), 16), STATUS_SUCCESS);
        EXPECT_EQ(bytes[16 * 4], 0x5A);  // nothing past the chunk
        const auto zero = std::count(bytes.begin(), bytes.begin() + 16 * 4, 0);
        EXPECT_TRUE(zero == 0 || zero == 16 * 4) << zero;
        return zero == 0;
    };
    struct Row {
        const char* Name;
        UCHAR BranchMute;
        ULONG Selected;
        UCHAR SoftMute;
        bool BranchPasses, SoftPasses;
    } rows[] = {
        {"both off", 0, 3, 0, true, true},
        {"branch on, input 3", 1, 3, 0, false, true},
        {"branch on, input 1", 1, 1, 0, true, true},
        {"branch on, input 2", 1, 2, 0, true, true},
        {"software on", 0, 3, 1, true, false},
        {"both on, input 3", 1, 3, 1, false, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        ASSERT_EQ(branch->SetSelectedInput(r.Selected), STATUS_SUCCESS);
        ASSERT_EQ(branchMute->SetValue(0, r.BranchMute), STATUS_SUCCESS);
        ASSERT_EQ(softMute->SetValue(0, r.SoftMute), STATUS_SUCCESS);
        for (WaveFormatRecord* format : {&pcm, &ac3}) {
            EXPECT_EQ(passes(branchNode, format), r.BranchPasses) << format->Format.wFormatTag;
            EXPECT_EQ(passes(softNode, format), r.SoftPasses) << format->Format.wFormatTag;
        }
        // The branch mute is the unit's own control; the software mute never reaches the device.
        EXPECT_EQ(m_device->Control(16, 1, 0)->Cur, r.BranchMute);
        EXPECT_EQ(m_device->Control(8, 1, 0)->Cur, deviceMute);
    }
    EXPECT_EQ(softMute->SetValue(9, 1), STATUS_INVALID_PARAMETER);
}

// Jack records per output kind: the table's fields, connected when the output is the active one
// or when "SetJackConnect" says all are; a short buffer or other kind is left untouched.
TEST_F(V3FunctionTest, JackDescriptionsFollowTheKindTheActiveOutputAndTheSetting)
{
    struct Jack {
        ULONG Mapping, Color, Connection;
    };
    const std::vector<Jack> speakers = {{0x003, 0x00FF00, 1}, {0x00C, 0xFF8000, 1}, {0x030, 0, 1}, {0x600, 0, 1}};
    const std::vector<Jack> headphones = {{0x003, 0x00FF00, 1}};
    const std::vector<Jack> spdif = {{0x003, 0, 5}};
    struct Row {
        const char* Name;
        bool ConnectAll;
        ULONG Active, Kind;
        ULONG Bytes;
        std::vector<Jack> Jacks;  // empty: the buffer untouched
        bool Connected;
    } rows[] = {
        {"active speakers, eight channels", false, 1, 1, 4 * 36, speakers, true},
        {"speakers while S/PDIF is active", false, 3, 1, 4 * 36, speakers, false},
        {"speakers while S/PDIF is active, all connected", true, 3, 1, 4 * 36, speakers, true},
        {"active headphones", false, 2, 2, 36, headphones, true},
        {"S/PDIF while the speakers are active", false, 1, 3, 36, spdif, false},
        {"active S/PDIF, a larger buffer", false, 3, 3, 4 * 36, spdif, true},
        {"speakers, a buffer for three", false, 1, 1, 3 * 36, {}, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.Name);
        PlugProfile("v3-sound-card.json");
        if (r.ConnectAll) Store(u"SetJackConnect", {1, 0, 0, 0});
        ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
        auto* terminal = Query<ITerminalControl>(Unit(3), IID_ITerminalControl);
        ASSERT_EQ(terminal->SelectKind(r.Active), STATUS_SUCCESS);
        ULONG kinds[3] = {}, count = 0;
        ASSERT_EQ(terminal->GetKindCount(&count), STATUS_SUCCESS);
        ASSERT_EQ(count, 3u);
        ASSERT_EQ(terminal->GetKinds(kinds), STATUS_SUCCESS);
        const ULONG index = static_cast<ULONG>(std::find(kinds, kinds + 3, r.Kind) - kinds);
        ASSERT_LT(index, 3u);
        std::vector<JackRecord> records(4);
        std::memset(records.data(), 0xA5, records.size() * sizeof(JackRecord));
        ASSERT_EQ(terminal->GetJackDescriptions(r.Bytes, records.data(), index), STATUS_SUCCESS);
        for (size_t i = 0; i < records.size(); ++i) {
            const JackRecord& j = records[i];
            // The words the table does not fill keep the caller's contents.
            EXPECT_EQ(j.Word6, 0xA5A5A5A5u);
            EXPECT_EQ(j.Word8, 0xA5A5A5A5u);
            if (i >= r.Jacks.size()) {
                EXPECT_EQ(j.ChannelMapping, 0xA5A5A5A5u) << i;
                continue;
            }
            EXPECT_EQ(j.ChannelMapping, r.Jacks[i].Mapping) << i;
            EXPECT_EQ(j.Color, r.Jacks[i].Color) << i;
            EXPECT_EQ(j.ConnectionType, r.Jacks[i].Connection) << i;
            EXPECT_EQ(j.GeoLocation, 1u);
            EXPECT_EQ(j.GenLocation, 0u);
            EXPECT_EQ(j.PortConnection, 0u);
            EXPECT_EQ(j.IsConnected, r.Connected ? 1u : 0u) << i;
        }
        EXPECT_EQ(terminal->GetJackDescriptions(0, records.data(), index), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(terminal->GetJackDescriptions(36, nullptr, index), STATUS_INVALID_PARAMETER);
        StopDeviceObject(true);
    }
}

}  // namespace

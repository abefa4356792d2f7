#include <gtest/gtest.h>

#include <cstdio>

#include "tests/topology/UsbUnitFixture.h"
#include "topology/UsbClockDspEntities.h"
#include "topology/UsbLevelEntities.h"
#include "topology/UsbSelectorEntities.h"
#include "topology/UsbTerminalEntities.h"

namespace {

using kvxtest::TEST_UNIT_TAG;

// A unit that answers the terminal, selector and clock interfaces from fields the test sets, and
// counts what it was asked to do.
class TestRoutingUnit : public UsbAudioUnit, public ITerminalControl, public ISelectorControl, public IClockControl {
public:
    DECLARE_UNKNOWN_BASE()

    TestRoutingUnit(PUNKNOWN outer, ULONG id) : UsbAudioUnit(outer, id) {}

    // ITerminalControl
    NTSTATUS GetKind(PULONG kind) override
    {
        *kind = Active;
        return KindStatus;
    }
    NTSTATUS GetKindCount(PULONG count) override
    {
        *count = static_cast<ULONG>(Kinds.size());
        return STATUS_SUCCESS;
    }
    NTSTATUS GetKinds(PULONG kinds) override
    {
        std::copy(Kinds.begin(), Kinds.end(), kinds);
        return STATUS_SUCCESS;
    }
    NTSTATUS SelectKind(ULONG kind) override
    {
        Selected.push_back(kind);
        if (NT_SUCCESS(SelectStatus)) {
            Active = kind;
        }
        return SelectStatus;
    }
    NTSTATUS GetJackCount(PULONG count, ULONG output) override
    {
        *count = output < Jacks.size() ? static_cast<ULONG>(Jacks[output].size()) : 0;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetJackDescriptions(ULONG bytes, JackRecord* records, ULONG output) override
    {
        std::memcpy(records, Jacks[output].data(), std::min<size_t>(bytes, Jacks[output].size() * sizeof(JackRecord)));
        return STATUS_SUCCESS;
    }
    NTSTATUS GetTerminalInfo(UCHAR*) override { return STATUS_NOT_IMPLEMENTED; }

    // ISelectorControl
    NTSTATUS GetSelected(PULONG input) override
    {
        *input = Input;
        return STATUS_SUCCESS;
    }
    NTSTATUS SetSelected(ULONG input) override
    {
        if (!NT_SUCCESS(SelectStatus)) {
            return SelectStatus;
        }
        Input = input;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetInputCount(PULONG count) override
    {
        *count = Inputs;
        return STATUS_SUCCESS;
    }
    NTSTATUS AddBranchControl(ISelectorBranchControl*) override { return STATUS_NOT_IMPLEMENTED; }

    // IClockControl
    NTSTATUS GetRates(PULONG count, PULONG rates) override
    {
        *count = static_cast<ULONG>(Rates.size());
        std::copy(Rates.begin(), Rates.end(), rates);
        return STATUS_SUCCESS;
    }
    NTSTATUS GetRateCount(PULONG count) override
    {
        *count = static_cast<ULONG>(Rates.size());
        return STATUS_SUCCESS;
    }
    NTSTATUS SetRate(ULONG rate) override
    {
        if (std::find(Rates.begin(), Rates.end(), rate) == Rates.end()) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        return STATUS_SUCCESS;
    }
    NTSTATUS GetRate(PULONG rate) override
    {
        *rate = 0;
        return STATUS_SUCCESS;
    }
    NTSTATUS IsClockValid(PBOOLEAN valid) override
    {
        *valid = FALSE;
        return STATUS_SUCCESS;
    }
    NTSTATUS Init(LONG, const ULONG*) override { return STATUS_SUCCESS; }

    std::vector<ULONG> Kinds{2, 3};
    ULONG Active = 2;
    NTSTATUS KindStatus = STATUS_SUCCESS;
    NTSTATUS SelectStatus = STATUS_SUCCESS;
    std::vector<ULONG> Selected;
    std::vector<std::vector<JackRecord>> Jacks{{}, {}};
    ULONG Inputs = 3;
    ULONG Input = 2;
    std::vector<ULONG> Rates{44100, 48000};
};

NTSTATUS TestRoutingUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = TopologyNode::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_ITerminalControl)) {
        return ReturnInterface(static_cast<ITerminalControl*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, IID_ISelectorControl)) {
        return ReturnInterface(static_cast<ISelectorControl*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, IID_IClockControl)) {
        return ReturnInterface(static_cast<IClockControl*>(this), ppvObject);
    }
    return STATUS_INVALID_PARAMETER;
}

class UsbTerminalEntityTest : public kvxtest::UsbUnitFixture {
protected:
    void SetUp() override
    {
        UsbUnitFixture::SetUp();
        NewUnit();  // the entities are listed by the feature unit; they query the routing unit
        m_routing = new (NonPagedPoolNx, TEST_UNIT_TAG) TestRoutingUnit(nullptr, 7);
        m_routing->GetNonDelegatingUnknown()->AddRef();
        static const UCHAR descriptor[] = {9, 0x24, 0x03, 7, 1, 3, 1, 5, 0};
        ASSERT_EQ(m_routing->SetDescriptor(descriptor, m_owner->Hal()), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        m_routing->GetNonDelegatingUnknown()->Release();
        UsbUnitFixture::TearDown();
    }
    static JackRecord Jack(ULONG color)
    {
        JackRecord j = {};
        j.Color = color;
        j.IsConnected = 1;
        return j;
    }
    UsbMultiOutputTerminalEntity* MultiOutput()
    {
        return Make<UsbMultiOutputTerminalEntity>([&](UsbMultiOutputTerminalEntity* e) {
            return SetupMultiOutputTerminalEntity(e, m_routing, m_fdo, m_owner->Hal());
        });
    }
    UsbSelectorEntity* Selector()
    {
        return Make<UsbSelectorEntity>([&](UsbSelectorEntity* e) { return SetupSelectorEntity(e, m_routing, m_fdo); });
    }
    ULONG Selected(UsbSelectorEntity* e)
    {
        ULONG input = 0;
        EXPECT_EQ(e->GetSelected(&input), STATUS_SUCCESS);
        return input;
    }

    TestRoutingUnit* m_routing = nullptr;
    AudioCapabilities m_caps = {0x11, {}, 0x22, {}, 0x33, {}};
};

TEST_F(UsbTerminalEntityTest, OutputTerminalTakesItsOutputsKindAndFollowsItsJacks)
{
    m_routing->Jacks = {{Jack(1)}, {}};
    auto* out = Make<UsbOutputTerminalEntity>(
        [&](UsbOutputTerminalEntity* e) { return SetupOutputTerminalEntity(e, m_routing, &m_caps); }, 1UL);
    ASSERT_NE(out, nullptr);
    ULONG kind = 0, count = 9;
    out->GetKind(&kind);
    out->GetKindCount(&count);
    EXPECT_EQ(kind, 3u);  // output 1's kind
    EXPECT_EQ(count, 1u);
    UCHAR info[32];
    ASSERT_EQ(out->GetTerminalInfo(info), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(info, &m_caps, 32), 0);
    out->GetJackCount(&count, 0);
    EXPECT_EQ(count, 0u);

    // Its output gains two jacks: new records, filled.
    m_routing->Jacks[1] = {Jack(5), Jack(6)};
    EXPECT_EQ(out->Refresh(), STATUS_SUCCESS);
    out->GetJackCount(&count, 0);
    ASSERT_EQ(count, 2u);
    JackRecord records[2] = {};
    ASSERT_EQ(out->GetJackDescriptions(sizeof records, records, 0), STATUS_SUCCESS);
    EXPECT_EQ(records[1].Color, 6u);
    // And loses them again.
    m_routing->Jacks[1].clear();
    EXPECT_EQ(out->Refresh(), STATUS_SUCCESS);
    out->GetJackCount(&count, 0);
    EXPECT_EQ(count, 0u);

    // Kind counts outside 1..5 fail the set-up.
    m_routing->Kinds = {};
    UsbOutputTerminalEntity* none = nullptr;
    ULONG next = m_owner->GetEntityCount();
    EXPECT_EQ(m_unit->Create<UsbOutputTerminalEntity>(
                  m_owner->Hal(), &next,
                  [&](UsbOutputTerminalEntity* e) { return SetupOutputTerminalEntity(e, m_routing, &m_caps); }, &none,
                  0UL),
              STATUS_INSUFFICIENT_RESOURCES);
    m_routing->Kinds = {2};
    EXPECT_EQ(m_unit->Create<UsbOutputTerminalEntity>(
                  m_owner->Hal(), &next,
                  [&](UsbOutputTerminalEntity* e) { return SetupOutputTerminalEntity(e, m_routing, &m_caps); }, &none,
                  4UL),
              STATUS_INVALID_PARAMETER);
}

TEST_F(UsbTerminalEntityTest, InputTerminalRefreshTakesTheUnitsKindAndJacks)
{
    m_routing->Jacks = {{Jack(1), Jack(2)}};
    m_routing->Active = 3;
    auto* in = Make<UsbInputTerminalEntity>(
        [&](UsbInputTerminalEntity* e) { return SetupInputTerminalEntity(e, m_routing, &m_caps); });
    ASSERT_NE(in, nullptr);
    EXPECT_EQ(static_cast<TopologyNode*>(in)->GetSourceCount(), 0u);
    ULONG kind = 0, count = 0;
    in->GetKind(&kind);
    EXPECT_EQ(kind, 3u);
    in->GetJackCount(&count, 0);
    EXPECT_EQ(count, 2u);
    m_routing->Active = 2;
    m_routing->Jacks[0] = {Jack(9)};
    EXPECT_EQ(in->Refresh(), STATUS_SUCCESS);
    in->GetKind(&kind);
    in->GetJackCount(&count, 0);
    EXPECT_EQ(kind, 2u);
    EXPECT_EQ(count, 1u);
    m_routing->KindStatus = STATUS_DEVICE_DATA_ERROR;
    EXPECT_EQ(in->Refresh(), STATUS_DEVICE_DATA_ERROR);
}

TEST_F(UsbTerminalEntityTest, MultiOutputSwitchMovesTheLinksAndKeepsTheKind)
{
    NextIdIs(4);
    UsbMultiOutputTerminalEntity* multi = MultiOutput();
    ASSERT_NE(multi, nullptr);
    auto* volume = Make<UsbVolumeEntity>(
        [&](UsbVolumeEntity* e) { return SetupLevelEntity(e, m_unit, kvxtest::SEL_VOLUME, m_fdo); });
    ASSERT_EQ(multi->AddLink(volume), STATUS_SUCCESS);
    std::vector<ULONG> changes;
    PVOID registration = Listen(&changes);

    EXPECT_EQ(multi->SelectKind(3), STATUS_SUCCESS);
    EXPECT_EQ(m_routing->Active, 3u);
    EXPECT_EQ(m_owner->ReRegistered, std::vector<ULONG>{7});  // the unit's id
    EXPECT_EQ(multi->GetChangedFlag(), 1u);
    EXPECT_EQ(volume->GetOutputKind(), 3u);
    EXPECT_EQ(changes, std::vector<ULONG>{5});  // the linked volume's change
    EXPECT_EQ(Stored(u"Unit04_"), Long(3));
    // The same kind again does nothing.
    EXPECT_EQ(multi->SelectKind(3), STATUS_SUCCESS);
    EXPECT_EQ(m_routing->Selected.size(), 1u);

    // A failed re-registration puts the old kind back on the device.
    m_owner->ReRegisterStatus = STATUS_DEVICE_BUSY;
    EXPECT_EQ(multi->SelectKind(2), STATUS_DEVICE_BUSY);
    EXPECT_EQ(m_routing->Selected, (std::vector<ULONG>{3, 2, 3}));
    ULONG kind = 0;
    EXPECT_EQ(multi->GetKind(&kind), STATUS_SUCCESS);
    EXPECT_EQ(kind, 3u);
    EXPECT_EQ(Stored(u"Unit04_"), Long(3));
    m_owner->UnregisterCallback(registration);

    // The device switched by itself: Refresh keeps and follows it.
    m_owner->ReRegisterStatus = STATUS_SUCCESS;
    m_routing->Active = 2;
    EXPECT_EQ(multi->Refresh(), STATUS_SUCCESS);
    EXPECT_EQ(Stored(u"Unit04_"), Long(2));
    EXPECT_EQ(volume->GetOutputKind(), 2u);

    // A kept kind replaces the unit's at set-up; Restore selects it on the device.
    Store(u"Unit06_", Long(3));
    UsbMultiOutputTerminalEntity* kept = MultiOutput();
    ULONG count = 0;
    kept->GetKindCount(&count);
    EXPECT_EQ(count, 2u);
    m_routing->Selected.clear();
    EXPECT_EQ(kept->Restore(), STATUS_SUCCESS);
    EXPECT_EQ(m_routing->Selected, std::vector<ULONG>{3});
}

TEST_F(UsbTerminalEntityTest, SelectorStartsOnAnInputItHasAndKeepsWhatIsSelected)
{
    struct Case {
        std::optional<LONG> Kept;
        ULONG Expected;
    } cases[] = {{std::nullopt, 2}, {7, 3}, {0, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Expected);
        const ULONG id = m_owner->GetEntityCount();
        char name[16];
        std::snprintf(name, sizeof name, "Unit%02u_", id);
        if (c.Kept) {
            Store(std::u16string(name, name + std::strlen(name)), Long(*c.Kept));
        }
        UsbSelectorEntity* selector = Selector();
        ASSERT_NE(selector, nullptr);
        EXPECT_EQ(Selected(selector), c.Expected);
        EXPECT_EQ(static_cast<TopologyNode*>(selector)->GetSourceCount(), 3u);
    }

    UsbSelectorEntity* selector = Selector();
    EXPECT_EQ(selector->SetSelected(0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(selector->SetSelected(4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(selector->SetSelected(3), STATUS_SUCCESS);
    EXPECT_EQ(m_routing->Input, 3u);
    EXPECT_EQ(Stored(u"Unit03_"), Long(3));
    m_routing->SelectStatus = STATUS_DEVICE_BUSY;
    EXPECT_EQ(selector->SetSelected(1), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Selected(selector), 3u);
    m_routing->SelectStatus = STATUS_SUCCESS;
    m_routing->Input = 1;
    EXPECT_EQ(selector->Refresh(), STATUS_SUCCESS);
    EXPECT_EQ(Selected(selector), 1u);
    EXPECT_EQ(Stored(u"Unit03_"), Long(3));  // Refresh writes nothing
}

TEST_F(UsbTerminalEntityTest, MixerTakesOneZeroSourcePerUnitInput)
{
    static const ULONG inputs[] = {1, 2, 3};
    m_routing->SetSources(3, inputs);
    auto* mixer = Make<UsbMixerEntity>([&](UsbMixerEntity* e) { return SetupMixerEntity(e, m_routing); });
    ASSERT_NE(mixer, nullptr);
    ULONG ids[3] = {9, 9, 9};
    ULONG count = 3;
    mixer->GetSources(&count, ids);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(ids[2], 0u);
}

TEST_F(UsbTerminalEntityTest, ClockTakesTheUnitsRatesAndSetsTheDeviceFirst)
{
    auto* clock = Make<UsbClockEntity>([&](UsbClockEntity* e) { return SetupClockEntity(e, m_routing); });
    ASSERT_NE(clock, nullptr);
    ULONG count = 0, rate = 1;
    clock->GetRateCount(&count);
    clock->GetRate(&rate);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(rate, 0u);
    EXPECT_EQ(clock->SetRate(48000), STATUS_SUCCESS);
    EXPECT_EQ(clock->SetRate(96000), STATUS_INVALID_DEVICE_REQUEST);
    clock->GetRate(&rate);
    EXPECT_EQ(rate, 48000u);
    BOOLEAN valid = TRUE;
    EXPECT_EQ(clock->IsClockValid(&valid), STATUS_SUCCESS);
    EXPECT_FALSE(valid);

    m_routing->Rates.clear();
    ULONG next = m_owner->GetEntityCount();
    EXPECT_EQ(m_unit->Create<UsbClockEntity>(m_owner->Hal(), &next,
                                             [&](UsbClockEntity* e) { return SetupClockEntity(e, m_routing); }, nullptr),
              STATUS_UNSUCCESSFUL);
}

TEST_F(UsbTerminalEntityTest, ProcessingBlockSendsKeepsAndRaisesItsFlags)
{
    NextIdIs(2);
    m_device->SetControl(5, 0x8B, 1, {1, 0, 1, 1, 1});
    auto* dsp = Make<UsbDspEntity>([&](UsbDspEntity* e) { return SetupDspEntity(e, m_unit, 0x8B, m_fdo); });
    ASSERT_NE(dsp, nullptr);
    UCHAR enable = 0;
    EXPECT_EQ(dsp->GetEnable(&enable), STATUS_SUCCESS);
    EXPECT_EQ(enable, 1);
    EXPECT_EQ(dsp->GetEnable(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(dsp->ResetPending(), 0);

    EXPECT_EQ(dsp->SetEnable(0), STATUS_SUCCESS);
    EXPECT_EQ(Cur(0x8B, 1), 0);
    EXPECT_EQ(Stored(u"Unit02_"), std::vector<uint8_t>{0});
    EXPECT_EQ(dsp->ResetPending(), 1);
    EXPECT_EQ(dsp->ValueChanged(), 1);

    // A refused request is the result; the flags are raised all the same, the value stays.
    sim::RequestMatch set;
    set.Request = USB_AUDIO_SET_CUR;
    m_device->AddFault(set, sim::SimDevice::FaultKind::Stall);
    EXPECT_FALSE(NT_SUCCESS(dsp->SetEnable(1)));
    dsp->GetEnable(&enable);
    EXPECT_EQ(enable, 0);

    m_device->SetControl(5, 0x8B, 1, {1, 0, 1, 1, 1});
    EXPECT_EQ(dsp->Refresh(), STATUS_SUCCESS);
    dsp->GetEnable(&enable);
    EXPECT_EQ(enable, 1);
    EXPECT_EQ(Stored(u"Unit02_"), std::vector<uint8_t>{1});

    WaveFormatRecord format = {};
    format.Format.nSamplesPerSec = 44100;
    EXPECT_EQ(dsp->SetFormat(&format), STATUS_SUCCESS);
    EXPECT_EQ(dsp->Format().Format.nSamplesPerSec, 44100u);
    PVOID node = nullptr;
    ASSERT_EQ(static_cast<IProcessingEntity*>(dsp)->QueryInterface(IID_IProcessingNode, &node), STATUS_SUCCESS);
    static_cast<IProcessingNode*>(node)->Release();
}

}  // namespace

// The V4 and V5 functions through the device object's start on their profiles: the variant the
// chip string picks, the unit classes by unit id (told apart by the fixed ranges they report), the
// V5 headphone rule, the stored capability blocks and the interfaces the functions answer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/nt/PoolHost.h"
#include "tests/usb/DeviceStartFixture.h"
#include "topology/FeatureUnit.h"
#include "topology/Terminals.h"
#include "usb/Uac1FunctionVariants.h"

namespace kvxtest {
namespace {

constexpr LONG DB = 65536;

class ChipVariantFunctionTest : public DeviceStartFixture {
protected:
    // The volume range a unit reports, as (maximum, minimum, step).
    std::vector<LONG> VolumeRange(ULONG unitId)
    {
        UsbAudioUnit* unit = nullptr;
        if (!NT_SUCCESS(m_function->FindUnit(unitId, &unit))) {
            return {};
        }
        PVOID raw = nullptr;
        if (!NT_SUCCESS(unit->QueryInterface(IID_IValueControl, &raw))) {
            return {};
        }
        auto* value = static_cast<IValueControl*>(raw);
        LONG maximum = 0, minimum = 0, step = 0;
        const NTSTATUS status = value->GetRange(UAC1_FU_VOLUME, &maximum, &minimum, &step);
        value->Release();
        return NT_SUCCESS(status) ? std::vector<LONG>{maximum, minimum, step} : std::vector<LONG>{};
    }
    ULONG TerminalKind(ULONG unitId)
    {
        UsbAudioUnit* unit = nullptr;
        PVOID raw = nullptr;
        ULONG kind = 99;
        if (NT_SUCCESS(m_function->FindUnit(unitId, &unit)) &&
            NT_SUCCESS(unit->QueryInterface(IID_ITerminalControl, &raw))) {
            static_cast<ITerminalControl*>(raw)->GetKind(&kind);
            static_cast<ITerminalControl*>(raw)->Release();
        }
        return kind;
    }
};

const std::vector<LONG> V4_9 = {0, -33 * DB, 0x2000};
const std::vector<LONG> V4_10 = {33 * DB, -6 * DB, 0x18000};
const std::vector<LONG> V4_13 = {0x168000, -36 * DB, 0x18000};
const std::vector<LONG> V5_9 = {0, -37 * DB, DB};
const std::vector<LONG> V5_10 = {0x168000, 0, 0x18000};
const std::vector<LONG> V5_13 = {0x90001, static_cast<LONG>(0xFFF28000), 0x18000};
// The class feature unit reports what the profile's device answers.
const std::vector<LONG> PLAIN = {6 * DB, -16 * DB, DB};

TEST_F(ChipVariantFunctionTest, UnitClassesByUnitId)
{
    struct Row {
        const char* profile;
        UsbFunctionVariant variant;
        std::vector<std::pair<ULONG, std::vector<LONG>>> units;
    };
    const Row rows[] = {
        {"v4-headset.json",
         UsbFunctionVariant::V4,
         {{9, V4_9}, {10, V4_10}, {11, V4_10}, {12, V4_10}, {13, V4_13}, {14, V4_13}, {15, PLAIN}}},
        {"v5-headset.json", UsbFunctionVariant::V5, {{9, V5_9}, {10, V5_10}, {13, V5_13}, {14, PLAIN}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.profile);
        PlugProfile(row.profile);
        ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
        EXPECT_EQ(m_usb->FunctionVariant(), row.variant);
        for (const auto& [id, range] : row.units) {
            EXPECT_EQ(VolumeRange(id), range) << "unit " << id;
        }
        TearDown();
    }
}

TEST_F(ChipVariantFunctionTest, HeadphoneRuleOfV5AndCapabilityBlocks)
{
    struct Row {
        const char* name;
        const char16_t* chip;
        uint16_t product;
        UsbFunctionVariant variant;
        ULONG kind6;  // of output terminal 6 (a speaker in the descriptor)
        ULONG mask;
        ULONG value;
    };
    const Row rows[] = {
        {"V5 on its headset", u"7303", 0x0A06, UsbFunctionVariant::V5, ENDPOINT_KIND_HEADPHONES, 0x24, 0},
        {"V5 on another product", u"7303", 0x0A07, UsbFunctionVariant::V5, ENDPOINT_KIND_HEADPHONES, 0x0F, 0},
        {"V4 leaves the terminal alone", u"7301", 0x0A06, UsbFunctionVariant::V4, ENDPOINT_KIND_SPEAKER, 0x3FE02F, 12},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        PlugProfile("v5-headset.json");
        sim::Bytes device = m_device->DeviceBytes();
        device[10] = static_cast<uint8_t>(row.product);
        auto plugged = std::make_unique<sim::SimDevice>(device, m_device->ConfigurationBytes());
        for (const auto& control : m_device->Controls()) {
            plugged->SetControl(control.Entity, control.Selector, control.Channel == 0xFF ? -1 : control.Channel,
                                control.Values);
        }
        plugged->SetString(0x32, row.chip);
        Plug(std::move(plugged));
        ASSERT_EQ(StartDeviceObject(), STATUS_SUCCESS);
        EXPECT_EQ(m_usb->FunctionVariant(), row.variant);
        EXPECT_EQ(TerminalKind(6), row.kind6);
        EXPECT_EQ(m_function->StoredCapabilities().ControlMask, row.mask);
        EXPECT_EQ(m_function->StoredCapabilities().Value, row.value);
        // No IUsbAudioFunction: the device holds none, and the function refuses it.
        PVOID raw = nullptr;
        EXPECT_EQ(m_function->GetNonDelegatingUnknown()->QueryInterface(IID_IUsbAudioFunction, &raw),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(m_function->GetNonDelegatingUnknown()->QueryInterface(IID_IAudioHal, &raw),
                  STATUS_SUCCESS);
        static_cast<IAudioHal*>(raw)->Release();
        TearDown();
    }
}

// Each allocation of the start failing in turn: the start ends with a clean status (the harness
// checks the pool for leaks), until none fails and it starts.
TEST_F(ChipVariantFunctionTest, EveryFailedAllocationOfTheStartEndsCleanly)
{
    for (const char* profile : {"v4-headset.json", "v5-headset.json", "v6-effects-headset.json"}) {
        SCOPED_TRACE(profile);
        for (uint64_t n = 1;; ++n) {
            ASSERT_LT(n, 3000u);
            PlugProfile(profile);
            const uint64_t failures = platform::PoolInjectedFailures();
            platform::PoolFailNthAllocation(n);
            const NTSTATUS status = StartDeviceObject();
            const bool injected = platform::PoolInjectedFailures() != failures;
            platform::PoolClearFailures();
            TearDown();
            if (!injected) {
                EXPECT_EQ(status, STATUS_SUCCESS);
                break;
            }
        }
    }
}

// A range request the device stalls fails the start with its status.
TEST_F(ChipVariantFunctionTest, AStalledRangeRequestFailsTheStart)
{
    for (const char* profile : {"v4-headset.json", "v5-headset.json"}) {
        SCOPED_TRACE(profile);
        PlugProfile(profile);
        m_device->AddFault({0xA1, 0x82, 0x0201, 0x0900}, sim::SimDevice::FaultKind::Stall, 1000);
        EXPECT_FALSE(NT_SUCCESS(StartDeviceObject()));
        TearDown();
    }
}

}  // namespace
}  // namespace kvxtest

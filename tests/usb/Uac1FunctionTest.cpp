#include <optional>

#include "platform/nt/ThreadHost.h"
#include "tests/usb/Uac1FunctionFixture.h"

namespace {

using kvxtest::TestEndpoint;
using kvxtest::TestEntity;
using kvxtest::TestFunction;
using kvxtest::TestUnit;
using Strings = std::vector<std::string>;

class Uac1FunctionTest : public kvxtest::Uac1FunctionFixture {};

// ---- the unit list and the function's interfaces ----

TEST_F(Uac1FunctionTest, UnitsAreFoundByIdTheFirstBuiltWinningAndHeldByTheList)
{
    PlugDevice(kvxtest::FunctionDevice());
    TestUnit* first = nullptr;
    TestUnit* second = nullptr;
    ASSERT_EQ(InitDevice([&](TestFunction* f) {
                  first = AddUnit(f, 5, 6);
                  AddUnit(f, 2, 3);
                  second = AddUnit(f, 5, 4);
                  return STATUS_SUCCESS;
              }),
              STATUS_SUCCESS);
    UsbAudioUnit* found = nullptr;
    EXPECT_EQ(m_function->FindUnit(5, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, first);
    EXPECT_NE(found, second);
    found = reinterpret_cast<UsbAudioUnit*>(1);
    EXPECT_EQ(m_function->FindUnit(7, &found), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(found, nullptr);
    EXPECT_EQ(first->GetReferenceCount(), 1);  // the list's
    EXPECT_EQ(m_function->GetUnitCount(), 3u);
    // The parsers are handed the first AudioControl and AudioStreaming interfaces, in that order.
    EXPECT_EQ(Lines("parse"), (Strings{"parse control 0", "parse streaming 1"}));
    EXPECT_EQ(m_function->AudioControlInterfaceNumber(), 0);
}

TEST_F(Uac1FunctionTest, TheFunctionInterfacesLeadToTheDevice)
{
    PlugDevice(kvxtest::FunctionDevice());
    ASSERT_EQ(InitDevice(), STATUS_SUCCESS);
    const LONG references = DeviceReferences();
    PVOID raw = nullptr;
    ASSERT_EQ(static_cast<IAudioHal*>(m_usb)->QueryInterface(IID_IUsbAudioFunction, &raw), STATUS_SUCCESS);
    EXPECT_EQ(raw, static_cast<IUsbAudioFunction*>(m_function));
    EXPECT_EQ(DeviceReferences(), references + 1);
    auto* function = static_cast<IUsbAudioFunction*>(raw);
    PVOID callback = nullptr;
    EXPECT_EQ(function->GetCallbackObject(&callback), STATUS_SUCCESS);
    EXPECT_EQ(callback, m_function->AudioHal::GetCallbackObject());
    EXPECT_NE(callback, nullptr);
    EXPECT_EQ(function->GetCallbackObject(nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(function->RestoreRegisters(), STATUS_SUCCESS);
    ASSERT_EQ(function->QueryInterface(IID_IUsbDevice, &raw), STATUS_SUCCESS);
    EXPECT_EQ(raw, static_cast<IUsbDevice*>(m_usb));
    static_cast<IUsbDevice*>(raw)->Release();
    function->Release();
    EXPECT_EQ(DeviceReferences(), references);
    EXPECT_EQ(m_function->GetReferenceCount(), 1);  // the device's
}

TEST_F(Uac1FunctionTest, AnOutputKindChangeIsReportedOnceByTheFirstMultiOutputTerminal)
{
    PlugDevice(kvxtest::FunctionDevice());
    TestEndpoint* plain = nullptr;
    TestEndpoint* switching = nullptr;
    TestEntity* terminal = nullptr;
    ASSERT_EQ(InitDevice({}, [&](TestFunction* f) {
                  plain = AddEndpoint(f, ENDPOINT_KIND_SPEAKER, false, u"SPKOut00");
                  switching = AddEndpoint(f, ENDPOINT_KIND_HEADPHONES, false, u"HPOut00");
                  plain->AddEntity(AddEntity(f, nullptr, 0, ENTITY_OUTPUT_TERMINAL));
                  switching->AddEntity(AddEntity(f, nullptr, 1, ENTITY_MUTE));
                  terminal = AddEntity(f, nullptr, 2, ENTITY_MULTI_OUTPUT_TERMINAL);
                  switching->AddEntity(terminal);
                  return STATUS_SUCCESS;
              }),
              STATUS_SUCCESS);
    EXPECT_FALSE(m_function->HasOutputKindChanged(plain));
    EXPECT_FALSE(m_function->HasOutputKindChanged(switching));
    terminal->Changed = 1;
    EXPECT_TRUE(m_function->HasOutputKindChanged(switching));
    EXPECT_EQ(terminal->Changed.load(), 0u);
    EXPECT_FALSE(m_function->HasOutputKindChanged(switching));
    EXPECT_FALSE(m_function->HasOutputKindChanged(nullptr));
}

// ---- chip identification ----

struct Probe {
    uint8_t Request;
    uint16_t Value;
    std::optional<uint8_t> Reply;  // none: the request stalls
};

TEST_F(Uac1FunctionTest, ChipStringsAndProbesSetTheCapabilityBlock)
{
    struct Case {
        const char* Name;
        uint16_t Vendor, Product;
        std::optional<std::u16string> String50, String32;
        std::vector<Probe> Probes;
        NTSTATUS Status;
        ULONG Mask, Value, Flags;
    } cases[] = {
        {"no strings, first listed device", 0x1B1C, 0x0A04, {}, {}, {}, STATUS_SUCCESS, 0x24, 0, 0},
        {"no strings, second listed device", 0x047F, 0xD957, {}, {}, {}, STATUS_SUCCESS, 0x3C0264, 12, 0},
        {"no strings, other device", 0x1234, 0x5678, {}, {}, {}, STATUS_UNSUCCESSFUL, 0, 0, 0},
        {"other string", 0x1B1C, 0x0A04, u"7302", {}, {}, STATUS_SUCCESS, 0, 0, 0},
        {"probe A answers the chip", 0x1234, 0x5678, u"7305 rev", {}, {{0x02, 0x51, 0x1F}}, STATUS_SUCCESS,
         0x3E10A0, 0, 0x41},
        {"probe A from the second index", 0x09DA, 0x2702, {}, u"7305", {{0x02, 0x51, 0x1F}}, STATUS_SUCCESS, 0x3E00A5,
         0, 0x41},
        {"probe A, listed device", 0x0F3B, 0x0065, u"7305", {}, {{0x02, 0x51, 0x1F}}, STATUS_SUCCESS, 0x3E00A0, 0, 0x41},
        {"probe A, listed device with own flags", 0x251F, 0x3001, u"7305", {}, {{0x02, 0x51, 0x1F}}, STATUS_SUCCESS,
         0x3E00A4, 0, 0x40},
        {"probe A, other chip", 0x09DA, 0x2701, u"7305", {}, {{0x02, 0x51, 0x1E}}, STATUS_SUCCESS, 0, 0, 0},
        {"probe A stalls", 0x1234, 0x5678, u"7305", {}, {{0x02, 0x51, std::nullopt}}, STATUS_UNSUCCESSFUL, 0, 0, 0},
        {"probe B, plain", 0x1234, 0x5678, u"QVR260", {}, {{0x00, 0x1A, 0x09}, {0x00, 0x20, 0xFD}}, STATUS_SUCCESS,
         0x3E087, 0, 0},
        {"probe B, ASIO", 0x1234, 0x5678, u"QVR260", {}, {{0x00, 0x1A, 0x0E}, {0x00, 0x20, 0x00}}, STATUS_SUCCESS,
         0x3E087, 0, 2},
        {"probe B, bit 1 of the second reply", 0x1234, 0x5678, u"QVR260", {}, {{0x00, 0x1A, 0x0E}, {0x00, 0x20, 0x02}},
         STATUS_UNSUCCESSFUL, 0, 0, 0},
        {"probe B, other first reply", 0x1234, 0x5678, u"QVR2605", {}, {{0x00, 0x1A, 0x0A}, {0x00, 0x20, 0x00}},
         STATUS_UNSUCCESSFUL, 0, 0, 0},
        {"probe B stalls", 0x1234, 0x5678, u"QVR260", {}, {{0x00, 0x1A, std::nullopt}}, STATUS_UNSUCCESSFUL, 0, 0, 0},
        {"too short for a probe", 0x1234, 0x5678, u"QVR26", {}, {}, STATUS_SUCCESS, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        PlugDevice(kvxtest::FunctionDevice(2, {.VendorId = c.Vendor, .ProductId = c.Product}), false);
        if (c.String50) m_device->SetString(0x50, *c.String50);
        if (c.String32) m_device->SetString(0x32, *c.String32);
        for (const Probe& p : c.Probes) {
            sim::RawRequest raw;
            const uint8_t setup[8] = {0xC3, p.Request, static_cast<uint8_t>(p.Value), 0, 0, 0, 1, 0};
            std::memcpy(raw.Setup, setup, 8);
            raw.Stall = !p.Reply.has_value();
            if (p.Reply) raw.Reply = {*p.Reply};
            m_device->AddRaw(raw);
        }
        EXPECT_EQ(InitDevice(), c.Status);
        ASSERT_NE(m_function, nullptr);
        const AudioCapabilities& stored = m_function->StoredCapabilities();
        EXPECT_EQ(stored.ControlMask, c.Mask);
        EXPECT_EQ(stored.Value, c.Value);
        EXPECT_EQ(stored.Flags, c.Flags);
        // Every probe was asked, as a one-byte vendor read of recipient other.
        size_t asked = 0;
        for (const auto& entry : m_device->Log()) {
            if (entry.What == sim::RequestLogEntry::Kind::Control && (entry.Setup.bmRequestType & 0x60) == 0x40) {
                ASSERT_LT(asked, c.Probes.size());
                EXPECT_EQ(entry.Setup.bmRequestType, 0xC3);
                EXPECT_EQ(entry.Setup.bRequest, c.Probes[asked].Request);
                EXPECT_EQ(entry.Setup.wValue, c.Probes[asked].Value);
                EXPECT_EQ(entry.Setup.wIndex, 0);
                EXPECT_EQ(entry.Setup.wLength, 1);
                ++asked;
            }
        }
        EXPECT_EQ(asked, c.Probes.size());
        // The parsers run only after a successful identification.
        EXPECT_EQ(Lines("parse").size(), NT_SUCCESS(c.Status) ? 2u : 0u);
        TearDown();
        SetUp();
    }
}

TEST_F(Uac1FunctionTest, CapabilitiesFollowDirectionKindAndDevice)
{
    struct Case {
        const char* Name;
        uint16_t Vendor, Product;
        BOOLEAN Capture;
        ULONG Kind;
        ULONG Mask, Value, Flags;
    } cases[] = {
        // Probe A's chip: mask 0x3E10A0, flags 0x41; 0x047F/0xD957: mask 0x3C0264, value 12.
        {"render headphones", 0x047F, 0xD957, FALSE, ENDPOINT_KIND_HEADPHONES, 0x3C0264, 12, 0},
        {"SPDIF gets nothing", 0x047F, 0xD957, FALSE, ENDPOINT_KIND_SPDIF, 0, 0, 0},
        {"SPDIF on the capture device", 0x0F3B, 0x0058, FALSE, ENDPOINT_KIND_SPDIF, 0x3E10A0, 0, 0x41},
        {"capture microphone on the capture device", 0x0F3B, 0x0058, TRUE, ENDPOINT_KIND_MICROPHONE, 0xBE10A0, 0,
         0x41},
        {"render microphone kind on the capture device", 0x0F3B, 0x0058, FALSE, ENDPOINT_KIND_MICROPHONE, 0x3E10A0, 0,
         0x41},
        {"capture line on the capture device", 0x0F3B, 0x0058, TRUE, ENDPOINT_KIND_LINE, 0x3E10A0, 0, 0x41},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        const bool probed = c.Vendor == 0x0F3B;
        PlugDevice(kvxtest::FunctionDevice(2, {.VendorId = c.Vendor, .ProductId = c.Product}), false);
        if (probed) {
            m_device->SetString(0x50, u"7305");
            sim::RawRequest raw;
            const uint8_t setup[8] = {0xC3, 0x02, 0x51, 0, 0, 0, 1, 0};
            std::memcpy(raw.Setup, setup, 8);
            raw.Reply = {0x1F};
            m_device->AddRaw(raw);
        }
        ASSERT_EQ(InitDevice(), STATUS_SUCCESS);
        AudioCapabilities block;
        std::memset(&block, 0xAA, sizeof block);
        ASSERT_EQ(m_function->GetCapabilities(c.Capture, c.Kind, &block), STATUS_SUCCESS);
        AudioCapabilities expected{};
        expected.ControlMask = c.Mask;
        expected.Value = c.Value;
        expected.Flags = c.Flags;
        EXPECT_EQ(std::memcmp(&block, &expected, sizeof block), 0);
        EXPECT_EQ(m_function->GetCapabilities(c.Capture, c.Kind, nullptr), STATUS_UNSUCCESSFUL);
        TearDown();
        SetUp();
    }
}

TEST_F(Uac1FunctionTest, EndpointCapabilitiesComeFromTheEndpointAtTheIndexOrTheLast)
{
    PlugDevice(kvxtest::FunctionDevice(2, {.VendorId = 0x047F, .ProductId = 0xD957}), false);
    ASSERT_EQ(InitDevice({}, [&](TestFunction* f) {
                  AddEndpoint(f, ENDPOINT_KIND_SPDIF, false, u"SPDIFOut00");
                  AddEndpoint(f, ENDPOINT_KIND_HEADPHONES, false, u"HPOut00");
                  return STATUS_SUCCESS;
              }),
              STATUS_SUCCESS);
    const std::pair<ULONG, ULONG> rows[] = {{0, 0}, {1, 0x3C0264}, {7, 0x3C0264}};
    for (const auto& [index, mask] : rows) {
        AudioCapabilities block{};
        EXPECT_EQ(m_usb->GetEndpointCapabilities(index, &block), STATUS_SUCCESS);
        EXPECT_EQ(block.ControlMask, mask) << index;
    }
}

}  // namespace

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "adapter/SettingsStore.h"
#include "platform/io/IoHost.h"
#include "platform/nt/Clock.h"
#include "platform/nt/PoolHost.h"
#include "platform/nt/Time.h"
#include "platform/registry/RegistryHost.h"
#include "tests/platform/usb/BusFixture.h"
#include "tests/support/DeviceObjectHarness.h"
#include "usb/UsbAudioDevice.h"

namespace {

using sim::DescriptorBuilder;
using sim::DeviceIdentity;

constexpr ULONG TEST_FUNCTION_TAG = MakePoolTag("Tfn ");

// A function object aggregated by the device: answers its interfaces and records power changes.
class FakeFunction : public AudioHal {
public:
    explicit FakeFunction(PUNKNOWN outer, bool* destroyed) : AudioHal(outer), m_destroyed(destroyed) {}
    ~FakeFunction() override { *m_destroyed = true; }

    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject) override
    {
        if (IsEqualGUID(iid, IID_IUsbAudioFunction)) {
            return ReturnInterface(static_cast<IAudioHal*>(this), ppvObject);
        }
        return AudioHal::NonDelegatingQueryInterface(iid, ppvObject);
    }
    VOID PowerChangeState(POWER_STATE state) override { Power.push_back(state.DeviceState); }
    ULONG GetEndpointCount() override { return AsioCapable ? 2 : 1; }
    NTSTATUS GetEndpointCapabilities(ULONG index, AudioCapabilities* capabilities) override
    {
        std::memset(capabilities, 0, sizeof(*capabilities));
        capabilities->Flags = (AsioCapable && index == 1) ? AUDIO_CAPABILITY_ASIO : 0;
        return STATUS_SUCCESS;
    }

    std::vector<DEVICE_POWER_STATE> Power;
    bool AsioCapable = false;

private:
    bool* m_destroyed;
};

// A device object that creates no function, so that a test can bind its own.
class FunctionlessDevice : public UsbAudioDevice {
public:
    NTSTATUS CreateFunction() override { return STATUS_NOT_IMPLEMENTED; }
};

// A UAC1 device: AudioControl 0 with an interrupt endpoint, two streaming interfaces.
DescriptorBuilder Uac1(DeviceIdentity identity = {})
{
    DescriptorBuilder b(identity);
    b.AudioControl(0, 0, {1, 2})
        .Uac1InputTerminal(1, 0x0101, 2)
        .Uac1FeatureUnit(2, 1, {0x0001, 0x0002, 0x0002})
        .Uac1OutputTerminal(3, 0x0301, 2)
        .Endpoint(0x83, 0x03, 2, 8, false)
        .AudioStreaming(1, 0, 0)
        .AudioStreaming(1, 1, 0)
        .Uac1AsGeneral(1)
        .Uac1FormatTypeI(2, 2, 16, {48000})
        .Endpoint(0x01, 0x09, 192, 1)
        .Uac1AsEndpoint()
        .AudioStreaming(2, 0, 0)
        .AudioStreaming(2, 1, 0)
        .Uac1AsGeneral(3)
        .Uac1FormatTypeI(2, 2, 16, {48000})
        .Endpoint(0x82, 0x05, 200, 1)
        .Uac1AsEndpoint();
    return b;
}

sim::RequestMatch DescriptorRequests()
{
    sim::RequestMatch match;
    match.Request = USB_REQUEST_GET_DESCRIPTOR;
    return match;
}

std::vector<uint8_t> Dword(uint32_t v)
{
    std::vector<uint8_t> out(4);
    std::memcpy(out.data(), &v, 4);
    return out;
}

DescriptorBuilder Uac2(DeviceIdentity identity = {})
{
    DescriptorBuilder b(identity);
    b.AudioControl(0, 0x20, {1})
        .Uac2ClockSource(10)
        .Uac2InputTerminal(1, 0x0101, 10, 2)
        .Uac2OutputTerminal(2, 0x0301, 1, 10)
        .AudioStreaming(1, 0, 0x20);
    return b;
}

class UsbAudioDeviceTest : public kvxtest::BusFixture {
protected:
    // Plugs the device, builds the stack over it and runs Init; returns Init's status.
    NTSTATUS Start(const DescriptorBuilder& builder, std::optional<bool> highSpeed = std::nullopt)
    {
        Plug(builder, highSpeed);
        return StartPlugged();
    }
    // `failNth`: the n-th allocation from the device's creation on fails.
    NTSTATUS StartPlugged(uint64_t failNth = 0)
    {
        kvxtest::DeviceObjectOptions options;
        options.FailNthAllocation = failNth;
        if (m_functionless) {
            options.Create = [](IAudioHal** hal) {
                auto* device = new (NonPagedPoolNx, TEST_FUNCTION_TAG) FunctionlessDevice();
                static_cast<IAudioHal*>(device)->AddRef();
                *hal = device;
                return STATUS_SUCCESS;
            };
        }
        const NTSTATUS status = m_harness.Start(*m_device, m_bus->Pdo(), options);
        m_fdo = m_harness.Fdo();
        m_usb = static_cast<UsbAudioDevice*>(m_harness.Hal());
        if (m_usb == nullptr) {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        }
        return status;
    }
    void TearDown() override
    {
        ReleaseDevice();
        m_harness.Stop();
        m_fdo = nullptr;
        BusFixture::TearDown();  // the registry is reset: the next case of a table starts clean
    }
    void ReleaseDevice()
    {
        m_harness.ReleaseDevice();
        m_usb = nullptr;
    }
    FakeFunction* BindFake(bool* destroyed)
    {
        auto* fake = new (NonPagedPoolNx, TEST_FUNCTION_TAG) FakeFunction(m_usb->GetOuterUnknown(), destroyed);
        fake->GetNonDelegatingUnknown()->AddRef();
        EXPECT_EQ(m_usb->BindFunction(fake->GetNonDelegatingUnknown()), STATUS_SUCCESS);
        return fake;
    }
    std::optional<platform::RegistryValue> InstanceValue(const char16_t* name)
    {
        return platform::RegistryGetValue(platform::DeviceInstanceKeyPath(m_bus->Pdo()), name);
    }
    std::u16string SettingsKey() { return platform::DeviceDriverKeyPath(m_bus->Pdo()) + u"\\Settings"; }
    size_t Requests() { return m_device->Log().size(); }
    PURB StringUrb(UCHAR index, std::vector<UCHAR>& buffer)
    {
        buffer.assign(64, 0);
        return DescriptorUrb(USB_STRING_DESCRIPTOR_TYPE, index, 0x0409, buffer.data(), 64);
    }

    kvxtest::DeviceObjectHarness m_harness;
    PDEVICE_OBJECT m_fdo = nullptr;
    UsbAudioDevice* m_usb = nullptr;
    // Start a device object that creates no function (tests that bind a fake one).
    bool m_functionless = false;
};

// ---- requests ----

TEST_F(UsbAudioDeviceTest, AHungRequestIsCancelledAfter500Milliseconds)
{
    Start(Uac1());
    std::vector<UCHAR> buffer;
    m_device->AddFault(DescriptorRequests(), sim::SimDevice::FaultKind::Never);
    const int64_t start = platform::ClockNow();
    EXPECT_EQ(m_usb->SubmitUrbSync(StringUrb(2, buffer)), STATUS_CANCELLED);
    const int64_t elapsed = platform::ClockNow() - start;
    EXPECT_GE(elapsed, 5000000);
    EXPECT_LT(elapsed, 5500000);
    EXPECT_TRUE(m_usb->IsPresent());
    EXPECT_EQ(m_usb->ActiveRequests(), 1);
    EXPECT_EQ(m_bus->PendingCount(), 0u);
}

VOID UnplugLater(KDPC*, PVOID context, PVOID, PVOID) { static_cast<platform::usb::UsbBus*>(context)->Unplug(); }

TEST_F(UsbAudioDeviceTest, UnplugDuringARequestMarksTheDeviceGoneAndLaterRequestsStayOffTheBus)
{
    Start(Uac1());
    m_device->SetString(2, u"Speaker");
    std::vector<UCHAR> buffer;
    m_device->AddFault(DescriptorRequests(), sim::SimDevice::FaultKind::Never);
    KTIMER timer;
    KDPC dpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&dpc, UnplugLater, m_bus.get());
    LARGE_INTEGER due;
    due.QuadPart = -100 * 10000LL;
    KeSetTimer(&timer, due, &dpc);
    EXPECT_EQ(m_usb->SubmitUrbSync(StringUrb(2, buffer)), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(m_usb->IsPresent());
    const size_t before = Requests();
    EXPECT_EQ(m_usb->SubmitUrbSync(StringUrb(2, buffer)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Requests(), before);
    EXPECT_TRUE(m_usb->CheckPort());
    // Presence comes back only when set.
    m_usb->SetPresent(TRUE);
    EXPECT_EQ(m_usb->SubmitUrbSync(StringUrb(2, buffer)), STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(UsbAudioDeviceTest, FrameNumberBusyCountAndSpeedComeFromTheBus)
{
    Start(Uac2(), true);
    EXPECT_EQ(m_usb->IsHighSpeed(), 1);
    ULONG frame = 0xFFFFFFFF;
    m_usb->GetCurrentFrame(&frame);
    EXPECT_EQ(frame, platform::usb::UsbBus::CurrentFrame());
    m_device->FailBusTime(STATUS_UNSUCCESSFUL);
    frame = 0xFFFFFFFF;
    m_usb->GetCurrentFrame(&frame);
    EXPECT_EQ(frame, 0u);
    EXPECT_EQ(m_usb->AddBusyReference(), 1);
    EXPECT_EQ(m_usb->AddBusyReference(), 2);
    EXPECT_EQ(m_usb->ReleaseBusyReference(), 1);
}

TEST_F(UsbAudioDeviceTest, AFailingBusInterfaceQueryEndsConfigureAndLeavesFullSpeed)
{
    Plug(Uac2(), true);
    m_device->FailBusInterface(true);
    EXPECT_EQ(StartPlugged(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(m_usb->IsHighSpeed(), 0);
    EXPECT_EQ(m_usb->FunctionVariant(), UsbFunctionVariant::None);
}

// ---- port checks ----

TEST_F(UsbAudioDeviceTest, PortScripts)
{
    struct Case {
        const char* Name;
        int NoSuchDevice;
        bool Unplug;
        BOOLEAN Gone;
        ULONG Queries, Resets, Cycles;
        std::vector<DEVICE_POWER_STATE> Power;
    } cases[] = {
        {"connected", 0, false, FALSE, 1, 0, 0, {}},
        {"disconnected", 0, true, TRUE, 1, 0, 0, {}},
        {"no such device once, then connected", 1, false, FALSE, 2, 1, 0, {PowerDeviceD3, PowerDeviceD0}},
        {"no such device twice", 2, false, TRUE, 2, 0, 1, {}},
    };
    m_functionless = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Start(Uac1());
        bool destroyed = false;
        FakeFunction* fake = BindFake(&destroyed);
        m_device->NoSuchDevice(c.NoSuchDevice);
        if (c.Unplug) {
            m_bus->Unplug();
        }
        const auto before = m_bus->Counters();
        const int64_t start = platform::ClockNow();
        EXPECT_EQ(m_usb->CheckPort(), c.Gone);
        const auto after = m_bus->Counters();
        EXPECT_EQ(after.PortStatusQueries - before.PortStatusQueries, c.Queries);
        EXPECT_EQ(after.Resets - before.Resets, c.Resets);
        EXPECT_EQ(after.Cycles - before.Cycles, c.Cycles);
        EXPECT_EQ(fake->Power, c.Power);
        if (c.NoSuchDevice > 0) {
            EXPECT_GE(platform::ClockNow() - start, 1000000);  // the 100 ms pause before the retry
        }
        EXPECT_EQ(m_usb->IsPresent(), c.Gone ? 0 : 1);
        // A device already gone is not asked again.
        if (c.Gone) {
            EXPECT_TRUE(m_usb->CheckPort());
            EXPECT_EQ(m_bus->Counters().PortStatusQueries, after.PortStatusQueries);
        }
        ReleaseDevice();
        EXPECT_TRUE(destroyed);
        TearDown();
    }
}

TEST_F(UsbAudioDeviceTest, ThePortIsCycledOnceInTheObjectsLife)
{
    Start(Uac1());
    EXPECT_TRUE(m_usb->CyclePort());
    EXPECT_FALSE(m_usb->IsPresent());
    m_usb->SetPresent(TRUE);
    EXPECT_TRUE(m_usb->CyclePort() == FALSE);  // nothing sent; the flag is what it was
    EXPECT_EQ(m_bus->Counters().Cycles, 1u);
}

// ---- object ----

TEST_F(UsbAudioDeviceTest, TheAggregatedFunctionCountsOnTheDeviceAndDiesWithIt)
{
    m_functionless = true;
    Start(Uac1());
    const LONG references = m_usb->GetReferenceCount();
    bool destroyed = false;
    FakeFunction* fake = BindFake(&destroyed);
    EXPECT_EQ(m_usb->GetReferenceCount(), references);
    EXPECT_EQ(m_usb->FunctionAudioHal(), static_cast<IAudioHal*>(fake));

    // The function's interfaces lead to the device.
    PVOID usb = nullptr;
    ASSERT_EQ(static_cast<IAudioHal*>(fake)->QueryInterface(IID_IUsbDevice, &usb), STATUS_SUCCESS);
    EXPECT_EQ(usb, static_cast<IUsbDevice*>(m_usb));
    EXPECT_EQ(m_usb->GetReferenceCount(), references + 1);
    static_cast<IUsbDevice*>(usb)->Release();

    PVOID function = nullptr;
    ASSERT_EQ(static_cast<IAudioHal*>(m_usb)->QueryInterface(IID_IUsbAudioFunction, &function), STATUS_SUCCESS);
    EXPECT_EQ(function, static_cast<IAudioHal*>(fake));
    EXPECT_EQ(m_usb->GetReferenceCount(), references + 1);
    m_usb->Release();
    EXPECT_EQ(fake->GetReferenceCount(), 1);

    // Forwarded operations reach the function.
    EXPECT_EQ(static_cast<IAudioHal*>(m_usb)->GetEndpointCount(), 1u);

    PVOID other = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(static_cast<IAudioHal*>(m_usb)->QueryInterface(platform::ParseGuid("{01234567-89AB-CDEF-0123-456789ABCDEF}"), &other), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(other, nullptr);

    ReleaseDevice();
    EXPECT_TRUE(destroyed);
}

TEST_F(UsbAudioDeviceTest, WithoutAFunctionThereIsNoFunctionInterface)
{
    m_functionless = true;
    Start(Uac1());
    PVOID function = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(static_cast<IAudioHal*>(m_usb)->QueryInterface(IID_IUsbAudioFunction, &function),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(function, nullptr);
}

TEST_F(UsbAudioDeviceTest, TheDeviceHoldsTheTimerResolutionForItsLife)
{
    const LONG before = platform::TimerResolutionOutstanding();
    Start(Uac1());
    EXPECT_EQ(platform::TimerResolutionOutstanding(), before + 1);
    EXPECT_EQ(platform::TimerResolutionCurrent(), 10000u);
    ReleaseDevice();
    EXPECT_EQ(platform::TimerResolutionOutstanding(), before);
}

TEST_F(UsbAudioDeviceTest, ComponentIdCarriesTheUsbIdentity)
{
    Start(Uac1({.VendorId = 0x0ABC, .ProductId = 0x1234}));
    KSCOMPONENTID id;
    std::memset(&id, 0xFF, sizeof id);
    ASSERT_EQ(m_usb->GetComponentId(&id), STATUS_SUCCESS);
    EXPECT_TRUE(IsEqualGUID(id.Manufacturer, platform::ParseGuid("{4E1CF78E-1679-463B-A72F-A5BF64C86EBA}")));
    EXPECT_TRUE(IsEqualGUID(id.Product, platform::ParseGuid("{ABCC6C92-C263-463B-A72F-A5BF64C86EBA}")));
    EXPECT_TRUE(IsEqualGUID(id.Component, platform::ParseGuid("{8F1275F0-26E9-4264-BA4D-39FFF01D94AA}")));
    EXPECT_TRUE(IsEqualGUID(id.Name, GUID_NULL));
    EXPECT_EQ(id.Version, 0u);
    EXPECT_EQ(id.Revision, 0u);
}

TEST_F(UsbAudioDeviceTest, InitReadsSelectiveSuspendAndKeepsTheConfiguration)
{
    Plug(Uac1());
    platform::DeviceSetUpUsb(m_bus->Pdo(), 0x1234, 0x5678, 0x0100);
    platform::RegistrySetDword(platform::DeviceInstanceKeyPath(m_bus->Pdo()) + u"\\Device Parameters",
                               u"SelectiveSuspendEnabled", 1);
    // The UAC1 function refuses a device without chip strings (the request stalls).
    EXPECT_EQ(StartPlugged(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(m_usb->SelectiveSuspendEnabled());
    // The registry routines know their values by number, and never overrun the caller's buffer.
    UCHAR small[2] = {0xAA, 0xAA};
    EXPECT_EQ(m_usb->ReadDeviceParameter(DEVICE_PARAMETER_SELECTIVE_SUSPEND_ENABLED, sizeof small, small),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(small[0], 0xAA);
    ULONG value = 0;
    EXPECT_EQ(m_usb->ReadDeviceParameter(7, sizeof value, &value), STATUS_INVALID_PARAMETER);
    WCHAR text[] = u"x";
    EXPECT_EQ(m_usb->WriteDeviceInstanceValue(3, sizeof text, text), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_usb->ActiveRequests(), 1);
    EXPECT_EQ(m_usb->BusyCount(), 0);
    ASSERT_NE(m_usb->GetConfigurationDescriptor(), nullptr);
    EXPECT_EQ(m_usb->GetConfigurationDescriptor()->wTotalLength, m_device->ConfigurationBytes().size());
    EXPECT_NE(m_usb->GetConfigurationHandle(), nullptr);
    ASSERT_EQ(m_usb->InterfaceCount(), 3u);
    EXPECT_EQ(m_usb->InterfaceCopy(0)->NumberOfPipes, 1u);  // the interrupt endpoint
    EXPECT_EQ(m_usb->InterfaceCopy(2)->InterfaceNumber, 2);
    EXPECT_EQ(m_usb->GetAudioControlInterfaceNumber(), 0);
    EXPECT_EQ(m_device->Configuration(), 1);
}

// ---- function choice ----

TEST_F(UsbAudioDeviceTest, TheFunctionFollowsTheProtocolAndTheChipString)
{
    auto chip = [](std::u16string text) { return text; };
    struct Case {
        const char* Name;
        bool Uac2Device;
        std::optional<std::u16string> String50, String32;
        UsbFunctionVariant Variant;
    } cases[] = {
        {"UAC2 protocol", true, chip(u"7301"), std::nullopt, UsbFunctionVariant::Uac2},
        {"no chip strings", false, std::nullopt, std::nullopt, UsbFunctionVariant::Uac1},
        {"V3 mark with other text after it", false, chip(u"\x000B\x0005P-anything"), std::nullopt,
         UsbFunctionVariant::V3},
        {"V4", false, chip(u"7301 rev B"), std::nullopt, UsbFunctionVariant::V4},
        {"V5 from the second index", false, std::nullopt, chip(u"7303"), UsbFunctionVariant::V5},
        {"V6", false, chip(u"7304"), std::nullopt, UsbFunctionVariant::V6},
        {"other chip", false, chip(u"7302"), std::nullopt, UsbFunctionVariant::Uac1},
        {"the chip before V4", false, chip(u"7300"), std::nullopt, UsbFunctionVariant::Uac1},
        {"too short for a mark", false, chip(u"730"), std::nullopt, UsbFunctionVariant::Uac1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Plug(c.Uac2Device ? Uac2() : Uac1());
        if (c.String50) m_device->SetString(0x50, *c.String50);
        if (c.String32) m_device->SetString(0x32, *c.String32);
        // The UAC1 function refuses a device without chip strings and parses the others; the UAC2
        // function parses its device, and so do the V4 to V6 variants; V3 refuses a configuration
        // that is not its chip's descriptor set.
        const bool noChipString = c.Variant == UsbFunctionVariant::Uac1 && !c.String50 && !c.String32;
        const NTSTATUS expected =
            noChipString || c.Variant == UsbFunctionVariant::V3 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
        EXPECT_EQ(StartPlugged(), expected);
        EXPECT_EQ(m_usb->FunctionVariant(), c.Variant);
        if (c.Uac2Device) {
            for (const auto& entry : m_device->Log()) {
                const UCHAR index = static_cast<UCHAR>(entry.Setup.wValue);
                EXPECT_FALSE(entry.What == sim::RequestLogEntry::Kind::Control &&
                             entry.Setup.bRequest == USB_REQUEST_GET_DESCRIPTOR && (entry.Setup.wValue >> 8) == 3 &&
                             (index == 0x50 || index == 0x32))
                    << "chip string request on a UAC2 device";
            }
        }
        TearDown();
    }
}

TEST_F(UsbAudioDeviceTest, DevicesWithoutAUsableAudioControlInterfaceAreRefused)
{
    struct Case {
        const char* Name;
        DescriptorBuilder Builder;
    } cases[] = {
        {"protocol 0x10", [] {
             DescriptorBuilder b;
             b.AudioControl(0, 0x10, {});
             return b;
         }()},
        {"no AudioControl", [] {
             DescriptorBuilder b;
             b.Interface(0, 0, 0xFF, 0, 0);
             return b;
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Plug(c.Builder);
        EXPECT_EQ(StartPlugged(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(m_usb->FunctionVariant(), UsbFunctionVariant::None);
        TearDown();
    }
}

// ---- names ----

TEST_F(UsbAudioDeviceTest, NamingRules)
{
    struct Case {
        const char* Name;
        DeviceIdentity Identity;
        std::u16string Product, Manufacturer;
        std::optional<std::u16string> FriendlyName, Mfg;
    } cases[] = {
        {"trailing blanks trimmed", {}, u"Speaker   ", u"Maker", u"Speaker", u"Maker"},
        {"shared vendor, named product", {.VendorId = 0x0F3B, .ProductId = 0x0067}, u"Box", u"Maker", u"Box",
         u"Maker"},
        {"shared vendor, other product", {.VendorId = 0x0F3B, .ProductId = 0x0070}, u"Box", u"Maker", u"Box",
         std::nullopt},
        {"no string indexes", {.Manufacturer = 0, .Product = 0}, u"Box", u"Maker", std::nullopt, std::nullopt},
        {"long name cut to 49 characters", {}, std::u16string(60, u'x'), u"M", std::u16string(49, u'x'), u"M"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Plug(Uac1(c.Identity));
        m_device->SetString(2, c.Product);
        m_device->SetString(1, c.Manufacturer);
        StartPlugged();
        EXPECT_EQ(m_usb->NameDevice(), STATUS_SUCCESS);
        auto expect = [&](const char16_t* value, const std::optional<std::u16string>& text) {
            const auto stored = InstanceValue(value);
            if (!text) {
                EXPECT_FALSE(stored.has_value()) << "unexpected value";
                return;
            }
            ASSERT_TRUE(stored.has_value());
            EXPECT_EQ(stored->Type, REG_SZ);
            std::vector<uint8_t> bytes((text->size() + 1) * 2, 0);
            std::memcpy(bytes.data(), text->data(), text->size() * 2);
            EXPECT_EQ(stored->Data, bytes);
        };
        expect(u"FriendlyName", c.FriendlyName);
        expect(u"Mfg", c.Mfg);
        TearDown();
    }
}

TEST_F(UsbAudioDeviceTest, StringDescriptorsAreReadWithinTheirLengthAndTheReply)
{
    struct Case {
        const char* Name;
        sim::Bytes Reply;
        bool Written;
    } cases[] = {
        {"bLength 0", {0x00, 0x03, 'A', 0}, false},
        {"bLength 1", {0x01, 0x03, 'A', 0}, false},
        {"bLength past the reply", {0x40, 0x03, 'A', 0, 'B', 0}, false},
        {"bLength within the reply", {0x04, 0x03, 'A', 0, 'B', 0}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Plug(Uac1());
        sim::RawRequest raw;
        const uint8_t setup[8] = {0x80, 0x06, 0x02, 0x03, 0x09, 0x04, 0x00, 0x01};
        std::memcpy(raw.Setup, setup, 8);
        raw.Reply = c.Reply;
        m_device->AddRaw(raw);
        StartPlugged();
        m_usb->NameDevice();
        const auto name = InstanceValue(u"FriendlyName");
        EXPECT_EQ(name.has_value(), c.Written);
        if (c.Written && name) {
            EXPECT_EQ(name->Data, (std::vector<uint8_t>{'A', 0, 0, 0}));
        }
        TearDown();
    }
}

// ---- ASIO settings ----

TEST_F(UsbAudioDeviceTest, AsioSampleTypeDefaultsByIdentity)
{
    struct Case {
        const char* Name;
        DeviceIdentity Identity;
        bool AsioCapable;
        std::optional<uint32_t> Stored;
        ULONG SampleType;
        std::optional<uint32_t> Written;
    } cases[] = {
        {"listed identity", {.VendorId = 0x0B05, .ProductId = 0x17F3}, true, std::nullopt, 17, 17},
        {"second listed identity", {.VendorId = 0x1043, .ProductId = 0x8593}, true, std::nullopt, 27, 27},
        {"other identity", {.VendorId = 0x0B05, .ProductId = 0x1234}, true, std::nullopt, 16, std::nullopt},
        {"value present", {.VendorId = 0x0B05, .ProductId = 0x17F3}, true, 24u, 24, 24u},
        {"no ASIO endpoint", {.VendorId = 0x0B05, .ProductId = 0x17F3}, false, std::nullopt, 16, std::nullopt},
    };
    m_functionless = true;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Plug(Uac1(c.Identity));
        platform::DeviceSetUpUsb(m_bus->Pdo(), c.Identity.VendorId, c.Identity.ProductId, 0x0100);
        if (c.Stored) {
            platform::RegistrySetValue(SettingsKey(), u"ASIOMLDataBitDepth", REG_BINARY,
                                       Dword(*c.Stored));
        }
        StartPlugged();
        bool destroyed = false;
        FakeFunction* fake = BindFake(&destroyed);
        fake->AsioCapable = c.AsioCapable;
        EXPECT_EQ(m_usb->LoadAsioSettings(), STATUS_SUCCESS);
        EXPECT_EQ(m_usb->AsioSampleType(), c.SampleType);
        EXPECT_EQ(m_usb->AsioDefaultSampleType(), c.SampleType);
        EXPECT_EQ(m_usb->AsioLatencyIndex(), 4u);
        EXPECT_EQ(m_usb->AsioSampleRate(), 48000u);
        const auto stored = platform::RegistryGetValue(SettingsKey(), u"ASIOMLDataBitDepth");
        if (c.Written) {
            ASSERT_TRUE(stored.has_value());
            EXPECT_EQ(stored->Data, Dword(*c.Written));
        } else {
            EXPECT_FALSE(stored.has_value());
        }
        TearDown();
    }
}

}  // namespace

// ---- hostile descriptors ----

namespace {

TEST_F(UsbAudioDeviceTest, AConfigurationLongerThanItsBytesIsHeldToWhatArrived)
{
    DescriptorBuilder builder = Uac1();
    sim::Bytes config = builder.Configuration();
    const size_t real = config.size();
    config[2] = 0x00;  // wTotalLength 0x400
    config[3] = 0x04;
    Plug(builder.DeviceDescriptor(), config);
    EXPECT_EQ(StartPlugged(), STATUS_UNSUCCESSFUL);  // no chip string
    ASSERT_NE(m_usb->GetConfigurationDescriptor(), nullptr);
    EXPECT_EQ(m_usb->GetConfigurationDescriptor()->wTotalLength, real);
    EXPECT_EQ(m_usb->FunctionVariant(), UsbFunctionVariant::Uac1);
}

TEST_F(UsbAudioDeviceTest, MutatedConfigurationsAreConfiguredOrRefused)
{
    const DescriptorBuilder builder = Uac1();
    const sim::Bytes seed = builder.Configuration();
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        sim::Bytes config = seed;
        const int edits = 1 + static_cast<int>(rng() % 4);
        for (int e = 0; e < edits; ++e) {
            const size_t at = rng() % config.size();
            switch (rng() % 4) {
            case 0: config[at] = static_cast<uint8_t>(rng()); break;
            case 1: config[at] = static_cast<uint8_t>(rng() % 3); break;
            case 2: config.resize(std::max<size_t>(at, 1)); break;
            default: config[at] = 0xFF; break;
            }
        }
        SCOPED_TRACE(round);
        Plug(builder.DeviceDescriptor(), config);
        const NTSTATUS status = StartPlugged();
        EXPECT_FALSE(NT_SUCCESS(status));  // no function class is built yet
        if (PUSB_CONFIGURATION_DESCRIPTOR stored = m_usb->GetConfigurationDescriptor()) {
            EXPECT_LE(stored->wTotalLength, config.size());
        }
        EXPECT_EQ(m_bus->PendingCount(), 0u);
        TearDown();
    }
}

}  // namespace

namespace {

TEST_F(UsbAudioDeviceTest, EveryAllocationFailureDuringStartFailsCleanly)
{
    bool reachedEnd = false;
    for (uint64_t n = 1; n < 400 && !reachedEnd; ++n) {
        SCOPED_TRACE(n);
        Plug(Uac1());
        m_device->SetString(0x50, u"chip");  // so that the function gets through its parsers
        const uint64_t injected = platform::PoolInjectedFailures();
        const NTSTATUS status = StartPlugged(n);
        platform::PoolClearFailures();
        reachedEnd = platform::PoolInjectedFailures() == injected;
        if (reachedEnd) {
            EXPECT_EQ(status, STATUS_SUCCESS);
        } else if (NT_SUCCESS(status)) {
            // Only what a start can go without (the settings file, a vendor block) may be missing.
            EXPECT_EQ(status, STATUS_SUCCESS);
        } else {
            EXPECT_TRUE(status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_UNSUCCESSFUL ||
                        status == STATUS_INVALID_PARAMETER || status == STATUS_NO_MEMORY)
                << std::hex << status;
        }
        TearDown();
    }
    EXPECT_TRUE(reachedEnd);
}

}  // namespace

// Test-only: a unit's owner over a simulated UAC1 device. The owner is a small AudioHal (entity
// list, device object, callback object) that answers IUsbDevice by delegating to a real
// UsbAudioDevice configured over the device, recording every URB it is given. A test unit with
// feature-unit controls speaks UAC1 to the device the plain way (volume and tone in 1/256 dB,
// on/off as one byte), so that entity tests see real requests in the device's log and values.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "adapter/AudioHal.h"
#include "adapter/SettingsStore.h"
#include "platform/io/IoHost.h"
#include "platform/registry/RegistryHost.h"
#include "tests/platform/usb/BusFixture.h"
#include "tests/support/DeviceObjectHarness.h"
#include "topology/OnOffEntity.h"
#include "topology/UnitControls.h"
#include "topology/UsbAudioUnit.h"
#include "topology/UsbTerminalEntities.h"
#include "usb/UsbAudioDevice.h"

namespace kvxtest {

constexpr ULONG TEST_OWNER_TAG = MakePoolTag("Town");
constexpr ULONG TEST_UNIT_TAG = MakePoolTag("Tunt");
constexpr ULONG TEST_ENTITY_TAG = MakePoolTag("UA10");

// The fields of one URB as the owner saw it.
struct SeenUrb {
    USHORT Length, Function;
    ULONG TransferFlags, TransferBufferLength;
    bool HasBuffer, HasMdl, HasLink;
    UCHAR ReservedBits, Request;
    USHORT Value, Index;
};

class TestOwner : public AudioHal, public IUsbDevice, public IUsbAudioFunctionOutputs {
public:
    DECLARE_UNKNOWN_BASE()

    TestOwner() : AudioHal(nullptr) {}
    ~TestOwner() override
    {
        if (m_pUsb != nullptr) {
            m_pUsb->Release();
        }
    }

    NTSTATUS Configure() override { return STATUS_SUCCESS; }
    NTSTATUS BuildConnections() override { return STATUS_SUCCESS; }

    // IUsbDevice, delegated.
    PUSB_CONFIGURATION_DESCRIPTOR GetConfigurationDescriptor() override { return m_pUsb->GetConfigurationDescriptor(); }
    USBD_CONFIGURATION_HANDLE GetConfigurationHandle() override { return m_pUsb->GetConfigurationHandle(); }
    UCHAR GetAudioControlInterfaceNumber() override { return m_pUsb->GetAudioControlInterfaceNumber(); }
    NTSTATUS SetPresent(UCHAR present) override { return m_pUsb->SetPresent(present); }
    NTSTATUS CallLowerDriver(PIRP irp) override { return m_pUsb->CallLowerDriver(irp); }
    NTSTATUS SubmitUrbSync(PURB urb) override
    {
        const auto& r = urb->UrbControlVendorClassRequest;
        Urbs.push_back({r.Hdr.Length, r.Hdr.Function, r.TransferFlags, r.TransferBufferLength, r.TransferBuffer != nullptr,
                        r.TransferBufferMDL != nullptr, r.UrbLink != nullptr, r.RequestTypeReservedBits, r.Request, r.Value,
                        r.Index});
        return m_pUsb->SubmitUrbSync(urb);
    }
    NTSTATUS GetCurrentFrame(PULONG frame) override { return m_pUsb->GetCurrentFrame(frame); }
    PIRP AllocateIrp() override { return m_pUsb->AllocateIrp(); }
    NTSTATUS FreeIrp(PIRP irp) override { return m_pUsb->FreeIrp(irp); }
    UCHAR IsHighSpeed() override { return m_pUsb->IsHighSpeed(); }
    BOOLEAN CheckPort() override { return m_pUsb->CheckPort(); }
    BOOLEAN CyclePort() override { return m_pUsb->CyclePort(); }
    PDEVICE_OBJECT GetLowerDevice() override { return m_pUsb->GetLowerDevice(); }
    LONG AddBusyReference() override { return m_pUsb->AddBusyReference(); }
    LONG ReleaseBusyReference() override { return m_pUsb->ReleaseBusyReference(); }
    NTSTATUS CreateFunction() override { return STATUS_NOT_IMPLEMENTED; }

    using AudioHal::GetCallbackObject;
    // The function's output operations.
    NTSTATUS ReRegisterEndpoints(ULONG unitId) override
    {
        ReRegistered.push_back(unitId);
        return ReRegisterStatus;
    }
    NTSTATUS GetCallbackObject(PVOID* callback) override
    {
        *callback = AudioHal::GetCallbackObject();
        return STATUS_SUCCESS;
    }

    void Bind(IUsbDevice* usb)
    {
        m_pUsb = usb;
        m_pUsb->AddRef();
    }
    IAudioHal* Hal() { return static_cast<IAudioHal*>(this); }

    std::vector<SeenUrb> Urbs;
    std::vector<ULONG> ReRegistered;
    NTSTATUS ReRegisterStatus = STATUS_SUCCESS;

private:
    IUsbDevice* m_pUsb = nullptr;
};

inline NTSTATUS TestOwner::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (ppvObject != nullptr && IsEqualGUID(iid, IID_IUsbDevice)) {
        return ReturnInterface(static_cast<IUsbDevice*>(this), ppvObject);
    }
    if (ppvObject != nullptr && IsEqualGUID(iid, IID_IUsbAudioFunction)) {
        return ReturnInterface(static_cast<IUsbAudioFunctionOutputs*>(this), ppvObject);
    }
    return AudioHal::NonDelegatingQueryInterface(iid, ppvObject);
}

// UAC1 feature-unit control selectors used by the tests.
constexpr ULONG SEL_MUTE = 1;
constexpr ULONG SEL_VOLUME = 2;
constexpr ULONG SEL_BASS = 3;

// A feature unit reduced to its requests: `channels` channels per control, UAC1 wire units.
class TestFeatureUnit : public UsbAudioUnit, public IOnOffControl, public IValueControl {
public:
    DECLARE_UNKNOWN_BASE()

    TestFeatureUnit(PUNKNOWN outer, ULONG id) : UsbAudioUnit(outer, id) {}

    NTSTATUS GetOnOff(ULONG selector, ULONG channel, PUCHAR value) override
    {
        return ControlRequest(URB_FUNCTION_CLASS_INTERFACE, USB_AUDIO_GET_CUR, Wvalue(selector, channel), TRUE, value, 1);
    }
    NTSTATUS SetOnOff(ULONG selector, ULONG channel, UCHAR value) override
    {
        return ControlRequest(URB_FUNCTION_CLASS_INTERFACE, USB_AUDIO_SET_CUR, Wvalue(selector, channel), FALSE, &value, 1);
    }
    NTSTATUS ChannelCount(ULONG, PULONG count) override
    {
        *count = Channels;
        return STATUS_SUCCESS;
    }
    NTSTATUS Init(IAudioHal*) override { return STATUS_SUCCESS; }
    NTSTATUS GetValue(ULONG selector, ULONG channel, PLONG value) override
    {
        SHORT wire = 0;
        NTSTATUS status = ControlRequest(URB_FUNCTION_CLASS_INTERFACE, USB_AUDIO_GET_CUR, Wvalue(selector, channel), TRUE,
                                         &wire, 2);
        if (NT_SUCCESS(status)) {
            *value = static_cast<LONG>(wire) * 256;
        }
        return status;
    }
    NTSTATUS SetValue(ULONG selector, ULONG channel, LONG value) override
    {
        SHORT wire = value == static_cast<LONG>(0x80000000) ? static_cast<SHORT>(0x8000) : static_cast<SHORT>(value / 256);
        Sent.push_back(value);
        return ControlRequest(URB_FUNCTION_CLASS_INTERFACE, USB_AUDIO_SET_CUR, Wvalue(selector, channel), FALSE, &wire, 2);
    }
    NTSTATUS GetRange(ULONG, PLONG maximum, PLONG minimum, PLONG resolution) override
    {
        *maximum = Maximum;
        *minimum = Minimum;
        *resolution = Resolution;
        return RangeStatus;
    }

    // Runs the shared InitFromDescriptor sequence with a class Init given by the test.
    template <typename InitFn>
    NTSTATUS InitFrom(const UCHAR* descriptor, IAudioHal* owner, InitFn init)
    {
        return InitFromDescriptorSequence(descriptor, owner, owner, 0x06, [&](IAudioHal* hal) {
            m_ulId = m_pDescriptor[3];
            m_lType = m_pDescriptor[2];
            return init(hal);
        });
    }
    template <typename T, typename SetupFn, typename... Args>
    NTSTATUS Create(IAudioHal* hal, PULONG nextId, SetupFn setup, T** created, Args... args)
    {
        return CreateEntity<T>(hal, TEST_ENTITY_TAG, nextId, setup, created, args...);
    }

    ULONG Channels = 2;
    LONG Maximum = 0, Minimum = -60 * 65536, Resolution = 65536;
    NTSTATUS RangeStatus = STATUS_SUCCESS;
    std::vector<LONG> Sent;  // values given to SetValue, in 1/65536 dB

private:
    static USHORT Wvalue(ULONG selector, ULONG channel) { return static_cast<USHORT>((selector << 8) | (channel + 1)); }
};

inline NTSTATUS TestFeatureUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = TopologyNode::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IOnOffControl)) {
        return ReturnInterface(static_cast<IOnOffControl*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, IID_IValueControl)) {
        return ReturnInterface(static_cast<IValueControl*>(this), ppvObject);
    }
    return STATUS_INVALID_PARAMETER;
}

// A simulated UAC1 device brought up under a UsbAudioDevice, and an owner bound to it.
class UsbUnitFixture : public BusFixture {
protected:
    void SetUp() override
    {
        sim::DescriptorBuilder b;
        DescribeDevice(b);
        Plug(b);
        // The device has no function class built here; its USB side is configured all the same.
        m_harness.Start(*m_device, m_bus->Pdo());
        m_fdo = m_harness.Fdo();
        m_usb = m_harness.Usb();
        ASSERT_NE(m_usb, nullptr);
        ASSERT_TRUE(m_usb->IsPresent());
        m_owner = new (NonPagedPoolNx, TEST_OWNER_TAG) TestOwner();
        m_owner->GetNonDelegatingUnknown()->AddRef();
        m_owner->Bind(static_cast<IUsbDevice*>(m_usb));
        ASSERT_EQ(m_owner->Init(nullptr, m_fdo, m_bus->Pdo(), m_bus->Pdo()), STATUS_SUCCESS);
        // Feature unit 5: volume and bass (both in 1/256 dB here) and mute on six channels.
        for (int ch = 1; ch <= 6; ++ch) {
            m_device->SetControl(5, SEL_VOLUME, ch, {-5 * 256, -60 * 256, 0, 256, 2});
            m_device->SetControl(5, SEL_BASS, ch, {0, -12 * 256, 12 * 256, 256, 2});
        }
        m_device->SetControl(5, SEL_MUTE, -1, {0, 0, 1, 1, 1});
    }
    void TearDown() override
    {
        if (m_unit != nullptr) {
            m_unit->GetNonDelegatingUnknown()->Release();
            m_unit = nullptr;
        }
        if (m_owner != nullptr) {
            m_owner->GetNonDelegatingUnknown()->Release();
            m_owner = nullptr;
        }
        m_harness.Stop();
        m_usb = nullptr;
        m_fdo = nullptr;
        BusFixture::TearDown();
    }

    // The device's configuration: a UAC1 function unless a fixture describes another.
    virtual void DescribeDevice(sim::DescriptorBuilder& b)
    {
        b.AudioControl(0, 0, {1})
            .Uac1InputTerminal(1, 0x0101, 2)
            .Uac1FeatureUnit(5, 1, {0x0000, 0x0003, 0x0003})
            .Uac1OutputTerminal(3, 0x0301, 5)
            .AudioStreaming(1, 0, 0);
    }

    // A feature unit with id 5 whose descriptor has been kept (no entities yet).
    TestFeatureUnit* NewUnit(ULONG channels = 2)
    {
        m_unit = new (NonPagedPoolNx, TEST_UNIT_TAG) TestFeatureUnit(nullptr, 0);
        m_unit->GetNonDelegatingUnknown()->AddRef();
        m_unit->Channels = channels;
        static const UCHAR descriptor[] = {7, 0x24, 0x06, 5, 1, 1, 0};
        EXPECT_EQ(m_unit->InitFrom(descriptor, m_owner->Hal(), [](IAudioHal*) { return STATUS_SUCCESS; }),
                  STATUS_SUCCESS);
        return m_unit;
    }

    // An entity of the unit, set up by `setup`, numbered after what the owner holds.
    template <typename T, typename SetupFn, typename... Args>
    T* Make(SetupFn setup, Args... args)
    {
        ULONG next = m_owner->GetEntityCount();
        T* created = nullptr;
        EXPECT_EQ(m_unit->Create<T>(m_owner->Hal(), &next, setup, &created, args...), STATUS_SUCCESS);
        return created;
    }
    // Fills the owner's list so that the next entity gets id `id`.
    void NextIdIs(ULONG id)
    {
        while (m_owner->GetEntityCount() < id) {
            auto* filler = new (NonPagedPoolNx, TEST_ENTITY_TAG) MuteEntity(nullptr, m_owner->GetEntityCount());
            ASSERT_EQ(m_owner->AddEntity(filler), STATUS_SUCCESS);
        }
    }
    // Counts the change messages raised on the owner's callback object, by entity id.
    static VOID CountChange(PVOID context, PVOID argument1, PVOID)
    {
        static_cast<std::vector<ULONG>*>(context)->push_back(static_cast<EntityChangeMessage*>(argument1)->EntityId);
    }
    PVOID Listen(std::vector<ULONG>* changes)
    {
        PVOID registration = nullptr;
        EXPECT_EQ(m_owner->RegisterCallback(CountChange, changes, &registration), STATUS_SUCCESS);
        return registration;
    }

    std::u16string SettingsKey() { return platform::DeviceDriverKeyPath(m_bus->Pdo()) + u"\\Settings"; }
    std::optional<std::vector<uint8_t>> Stored(const std::u16string& name)
    {
        auto v = platform::RegistryGetValue(SettingsKey(), name);
        if (!v) {
            return std::nullopt;
        }
        return v->Data;
    }
    void Store(const std::u16string& name, std::vector<uint8_t> data)
    {
        platform::RegistrySetValue(SettingsKey(), name, REG_BINARY, data);
    }
    static std::vector<uint8_t> Long(LONG v)
    {
        std::vector<uint8_t> out(4);
        std::memcpy(out.data(), &v, 4);
        return out;
    }
    // The device's current value of a control (wire units).
    int64_t Cur(uint8_t selector, uint8_t channel) { return m_device->Control(5, selector, channel)->Cur; }
    size_t Requests() { return m_device->Log().size(); }

    DeviceObjectHarness m_harness;
    PDEVICE_OBJECT m_fdo = nullptr;
    UsbAudioDevice* m_usb = nullptr;
    TestOwner* m_owner = nullptr;
    TestFeatureUnit* m_unit = nullptr;
};

}  // namespace kvxtest

#include "tests/support/DeviceObjectHarness.h"

#include <cstring>

#include "adapter/AdapterExtension.h"
#include "platform/io/IoHost.h"
#include "platform/nt/PoolHost.h"
#include "platform/registry/RegistryHost.h"
#include "sim/Profile.h"
#include "usb/UsbAudioDevice.h"

namespace kvxtest {

bool DeviceObjectHarness::Plug(const sim::DescriptorBuilder& builder, std::optional<bool> highSpeed)
{
    return Plug(std::make_unique<sim::SimDevice>(builder.DeviceDescriptor(), builder.Configuration(), highSpeed));
}

bool DeviceObjectHarness::Plug(std::unique_ptr<sim::SimDevice> device)
{
    Stop();
    m_port = sim::SimPort::PlugIn(std::move(device));
    m_device = m_port != nullptr ? &m_port->Device() : nullptr;
    m_pdo = m_port != nullptr ? m_port->Pdo() : nullptr;
    return m_port != nullptr;
}

bool DeviceObjectHarness::PlugProfile(const std::string& name, std::string* error)
{
    const std::string path = name.find('/') != std::string::npos ? name : std::string(KVX_PROFILE_DIR) + "/" + name;
    auto device = sim::LoadProfile(path, error);
    return device != nullptr && Plug(std::move(device));
}

NTSTATUS DeviceObjectHarness::Start(const DeviceObjectOptions& options)
{
    if (m_port == nullptr) return STATUS_NO_SUCH_DEVICE;
    return Start(m_port->Device(), m_port->Pdo(), options);
}

NTSTATUS DeviceObjectHarness::Start(sim::SimDevice& device, PDEVICE_OBJECT pdo, const DeviceObjectOptions& options)
{
    if (m_fdo != nullptr || pdo == nullptr) return STATUS_INVALID_DEVICE_STATE;
    m_device = &device;
    m_pdo = pdo;
    // The device's identity, as the bus driver reports it to the PnP manager.
    const auto descriptor = device.DeviceDescriptor();
    USB_DEVICE_DESCRIPTOR d{};
    std::memcpy(&d, descriptor.data(), std::min(sizeof d, descriptor.size()));
    platform::DeviceSetUpUsb(pdo, d.idVendor, d.idProduct, d.bcdDevice);

    m_driver = platform::IoCreateDriverObject(u"\\Driver\\UsbAudio");
    if (m_driver == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    if (options.Power != nullptr) m_driver->MajorFunction[IRP_MJ_POWER] = options.Power;
    const ULONG extension = options.AdapterExtension ? ADAPTER_DEVICE_EXTENSION_SIZE : 0;
    NTSTATUS status = IoCreateDevice(m_driver, extension, nullptr, FILE_DEVICE_KS, 0, FALSE, &m_fdo);
    if (!NT_SUCCESS(status)) {
        m_fdo = nullptr;
        return status;
    }
    if (extension != 0) std::memset(m_fdo->DeviceExtension, 0, extension);
    IoAttachDeviceToDeviceStack(m_fdo, pdo);
    if (options.Power != nullptr) m_fdo->Flags |= DO_POWER_PAGABLE;
    m_fdo->Flags &= ~DO_DEVICE_INITIALIZING;

    if (options.FailNthAllocation != 0) platform::PoolFailNthAllocation(options.FailNthAllocation);
    IAudioHal* hal = nullptr;
    m_ownDevice = !options.Create;
    status = options.Create ? options.Create(&hal) : UsbAudioDevice::Create(&hal);
    if (!NT_SUCCESS(status)) return status;
    m_hal = hal;
    return m_hal->Init(nullptr, m_fdo, pdo, pdo);
}

UsbAudioDevice* DeviceObjectHarness::Usb() const
{
    return m_ownDevice ? static_cast<UsbAudioDevice*>(m_hal) : nullptr;
}

void DeviceObjectHarness::ReleaseDevice(bool stopFunction)
{
    if (m_hal == nullptr) return;
    if (stopFunction) m_hal->Stop();
    m_hal->Release();
    m_hal = nullptr;
}

void DeviceObjectHarness::Stop(bool stopFunction)
{
    ReleaseDevice(stopFunction);
    if (m_fdo != nullptr) {
        IoDetachDevice(m_pdo);
        IoDeleteDevice(m_fdo);
        m_fdo = nullptr;
    }
    if (m_driver != nullptr) {
        platform::IoDeleteDriverObject(m_driver);
        m_driver = nullptr;
    }
    if (m_pdo != nullptr) {
        platform::DeviceForget(m_pdo);
        m_pdo = nullptr;
    }
    m_port.reset();
    m_device = nullptr;
    platform::RegistryReset();
}

}  // namespace kvxtest

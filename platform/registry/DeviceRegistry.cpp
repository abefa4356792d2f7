// The device table of the stand-in: the registry keys the installer would have recorded for each
// physical device object (instance key, driver key).
#include "platform/registry/DeviceRegistry.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "platform/nt/Irql.h"
#include "platform/registry/RegistryHost.h"
#include "platform/registry/RegistryInternal.h"
#include "platform/io/IoHost.h"

namespace platform {
namespace {

struct DeviceEntry {
    std::u16string InstancePath;
    std::u16string DriverKeyPath;
};

std::mutex g_devicesLock;
std::map<PDEVICE_OBJECT, DeviceEntry> g_devices;

constexpr std::u16string_view kControlSet = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\";
constexpr std::u16string_view kHwProfileControlSet =
    u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware Profiles\\Current\\System\\CurrentControlSet\\";

// The same key in the current hardware profile.
std::u16string HwProfilePath(const std::u16string& path)
{
    if (reg::StartsWithNoCase(path, kControlSet)) {
        return std::u16string(kHwProfileControlSet) + path.substr(kControlSet.size());
    }
    return path;
}

std::u16string Hex4(uint16_t v)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", v);
    return std::u16string(text, text + 4);
}

// "USB\VID_vvvv&PID_pppp": the device id, and the second of the hardware ids.
std::u16string UsbDeviceId(uint16_t vendorId, uint16_t productId)
{
    return u"USB\\VID_" + Hex4(vendorId) + u"&PID_" + Hex4(productId);
}

std::u16string TrimSlashes(std::u16string_view s)
{
    while (!s.empty() && s.front() == u'\\') s.remove_prefix(1);
    while (!s.empty() && s.back() == u'\\') s.remove_suffix(1);
    return std::u16string(s);
}

}  // namespace

namespace reg {
void DeviceTableReset()
{
    std::lock_guard<std::mutex> guard(g_devicesLock);
    g_devices.clear();
}
}  // namespace reg

void DeviceSetUsbHardwareIds(PDEVICE_OBJECT physicalDevice, uint16_t vendorId, uint16_t productId, uint16_t revision)
{
    const std::u16string base = UsbDeviceId(vendorId, productId);
    IoSetDevicePropertyStrings(physicalDevice, DevicePropertyHardwareID, {base + u"&REV_" + Hex4(revision), base});
}

void DeviceSetInstancePath(PDEVICE_OBJECT device, std::u16string_view deviceId, std::u16string_view instance)
{
    std::u16string path = std::u16string(kControlSet) + u"Enum\\" + TrimSlashes(deviceId) + u"\\" +
                          TrimSlashes(instance);
    RegistryCreateKeyPath(path + u"\\Device Parameters");
    std::lock_guard<std::mutex> guard(g_devicesLock);
    g_devices[device].InstancePath = path;
}

std::u16string DeviceInstanceKeyPath(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(g_devicesLock);
    auto it = g_devices.find(device);
    return it != g_devices.end() ? it->second.InstancePath : std::u16string();
}

void DeviceSetDriverKeyPath(PDEVICE_OBJECT device, std::u16string_view keyPath)
{
    RegistryCreateKeyPath(keyPath);
    std::lock_guard<std::mutex> guard(g_devicesLock);
    g_devices[device].DriverKeyPath = std::u16string(keyPath);
}

std::u16string DeviceDriverKeyPath(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(g_devicesLock);
    auto it = g_devices.find(device);
    return it != g_devices.end() ? it->second.DriverKeyPath : std::u16string();
}

PDEVICE_OBJECT DevicePhysicalDevice(PDEVICE_OBJECT device)
{
    while (device != nullptr && device->DeviceObjectExtension != nullptr &&
           device->DeviceObjectExtension->AttachedTo != nullptr) {
        device = device->DeviceObjectExtension->AttachedTo;
    }
    return device;
}

void DeviceForget(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(g_devicesLock);
    g_devices.erase(device);
}

void DeviceSetUpUsb(PDEVICE_OBJECT physicalDevice, uint16_t vendorId, uint16_t productId, uint16_t revision,
                    std::u16string_view instance, unsigned driverKeyIndex)
{
    DeviceSetUsbHardwareIds(physicalDevice, vendorId, productId, revision);
    DeviceSetInstancePath(physicalDevice, UsbDeviceId(vendorId, productId), instance);
    char index[16];
    std::snprintf(index, sizeof index, "%04u", driverKeyIndex % 10000);
    DeviceSetDriverKeyPath(physicalDevice, std::u16string(kControlSet) +
                                               u"Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}\\" +
                                               std::u16string(index, index + 4));
}

}  // namespace platform

NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DeviceRegKey)
{
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "IoOpenDeviceRegistryKey");
    if (DeviceRegKey == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *DeviceRegKey = nullptr;
    const bool device = (DevInstKeyType & PLUGPLAY_REGKEY_DEVICE) != 0;
    const bool driver = (DevInstKeyType & PLUGPLAY_REGKEY_DRIVER) != 0;
    if (device == driver ||
        (DevInstKeyType & ~(PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE)) != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::u16string path;
    {
        std::lock_guard<std::mutex> guard(platform::g_devicesLock);
        auto it = platform::g_devices.find(DeviceObject);
        if (it == platform::g_devices.end()) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        path = device ? it->second.InstancePath : it->second.DriverKeyPath;
    }
    if (path.empty()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if ((DevInstKeyType & PLUGPLAY_REGKEY_CURRENT_HWPROFILE) != 0) {
        path = platform::HwProfilePath(path);
    } else if (device) {
        path += u"\\Device Parameters";
    }
    platform::RegistryCreateKeyPath(path);
    UNICODE_STRING name{static_cast<USHORT>(path.size() * sizeof(WCHAR)),
                        static_cast<USHORT>(path.size() * sizeof(WCHAR)), path.data()};
    OBJECT_ATTRIBUTES oa;
    InitializeObjectAttributes(&oa, &name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    return ZwOpenKey(DeviceRegKey, DesiredAccess, &oa);
}

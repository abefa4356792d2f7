// Test and host interface of the I/O manager (not kernel API; driver code never includes it):
// driver and file objects made by the host, device interfaces and properties, reset.
#pragma once

#include "platform/io/Io.h"
#include <string>
#include <vector>
namespace platform {

// A driver object as the system loads it: every major function answers
// STATUS_INVALID_DEVICE_REQUEST until the driver installs its own. Null on allocation failure.
PDRIVER_OBJECT IoCreateDriverObject(std::u16string_view driverName);
// Frees the driver object; its devices must have been deleted.
void IoDeleteDriverObject(PDRIVER_OBJECT driver);

// A file object opened on the device (the host sends IRP_MJ_CREATE with it).
PFILE_OBJECT IoCreateFileObject(PDEVICE_OBJECT device, std::u16string_view fileName);
void IoDeleteFileObject(PFILE_OBJECT file);

// Stack locations set up for sending: the next location of a fresh IRP, with the major and
// minor function and the file object.
PIO_STACK_LOCATION IoPrepareNextStackLocation(PIRP irp, UCHAR majorFunction, UCHAR minorFunction,
                                              PFILE_OBJECT file = nullptr);

enum class InterfaceState { Unknown, Disabled, Enabled };
struct DeviceInterfaceRecord {
    PDEVICE_OBJECT PhysicalDevice;
    GUID InterfaceClass;
    std::u16string ReferenceString;
    std::u16string SymbolicLink;
    bool Enabled;
};
InterfaceState IoInterfaceState(std::u16string_view symbolicLink);
std::vector<DeviceInterfaceRecord> IoInterfaces();
// Enabled interfaces of the class, in registration order.
std::vector<DeviceInterfaceRecord> IoEnabledInterfaces(const GUID& interfaceClass);

// Sets a property of a physical device (the bus driver's answer); multi-strings via
// IoSetDevicePropertyStrings ("a", "b" -> "a\0b\0\0").
void IoSetDeviceProperty(PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property, const void* data, size_t bytes);
void IoSetDevicePropertyStrings(PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property,
                                const std::vector<std::u16string>& strings);

// The device power state last set with PoSetPowerState (PowerDeviceUnspecified before).
DEVICE_POWER_STATE IoDevicePowerState(PDEVICE_OBJECT device);

// The next `count` mappings of pages into a process (MmMapLockedPagesSpecifyCache, UserMode)
// fail, as a process short of address space makes them.
void MmFailNextUserMapping(unsigned count = 1);

// Forgets every interface registration, device property, symbolic link, process and user file
// (machine reset between tests).
void IoReset();

}  // namespace platform

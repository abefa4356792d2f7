// Registry keys that belong to a device: the device-instance key (with its "Device Parameters"
// subkey) and the driver's software key. The stand-in keeps them in a table per physical device
// object (see RegistryHost.h); device properties (IoGetDeviceProperty) are the I/O manager's.
#pragma once

#include "platform/io/Io.h"
#include "platform/registry/Registry.h"


// Which key IoOpenDeviceRegistryKey opens: the device's hardware key ("Device Parameters" below the
// instance key) or its driver key, optionally in the current hardware profile.
constexpr ULONG PLUGPLAY_REGKEY_DEVICE = 1;
constexpr ULONG PLUGPLAY_REGKEY_DRIVER = 2;
constexpr ULONG PLUGPLAY_REGKEY_CURRENT_HWPROFILE = 4;

// The key is created when missing. A device object that is not a physical device object with the
// key set up gives STATUS_INVALID_DEVICE_REQUEST. PASSIVE_LEVEL only.
NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT DeviceObject, ULONG DevInstKeyType, ACCESS_MASK DesiredAccess,
                                 PHANDLE DeviceRegKey);

// Port-class registry access: registry key objects (IRegistryKey) and device properties.
#pragma once

#include "platform/portcls/Unknown.h"
#include "platform/registry/DeviceRegistry.h"
#include "platform/registry/Registry.h"

KVX_DEFINE_GUID(IID_IRegistryKey, "{E8DA4302-F304-11D0-95F6-00C04FB925D3}");

enum REGISTRY_KEY_TYPE : ULONG {
    GeneralRegistryKey = 0,    // any key, named by the object attributes
    DeviceRegistryKey = 1,     // the device's hardware key ("Device Parameters")
    DriverRegistryKey = 2,     // the driver's software key of the device
    HwProfileRegistryKey = 3,  // the device's key in the current hardware profile
    DeviceInterfaceRegistryKey = 4,
};

// A counted key object; the key closes with the last Release. PASSIVE_LEVEL only.
class IRegistryKey : public IUnknown {
public:
    virtual NTSTATUS QueryKey(KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                              PULONG ResultLength) = 0;
    virtual NTSTATUS QueryValueKey(PUNICODE_STRING ValueName, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                                   PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) = 0;
    virtual NTSTATUS SetValueKey(PUNICODE_STRING ValueName, ULONG Type, PVOID Data, ULONG DataSize) = 0;
    // Opens or creates the subkey (CreateOptions REG_OPTION_NON_VOLATILE or REG_OPTION_VOLATILE).
    virtual NTSTATUS NewSubKey(IRegistryKey** OutRegistrySubKey, PUNKNOWN OuterUnknown, ACCESS_MASK DesiredAccess,
                               PUNICODE_STRING SubKeyName, ULONG CreateOptions, PULONG Disposition) = 0;
    virtual NTSTATUS DeleteKey() = 0;

protected:
    ~IRegistryKey() = default;
};
using PREGISTRYKEY = IRegistryKey*;

// DeviceObject is the adapter's functional device object for the device-bound key types;
// GeneralRegistryKey uses ObjectAttributes, CreateOptions and Disposition instead.
NTSTATUS PcNewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                          ACCESS_MASK DesiredAccess, PVOID DeviceObject, PVOID SubDevice,
                          POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions, PULONG Disposition);

// The property of the physical device object below the adapter's functional device object.
NTSTATUS PcGetDeviceProperty(PVOID DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                             PVOID PropertyBuffer, PULONG ResultLength);

// Registry key objects of the port-class stand-in. They come from the pool (tag "PcRk"), so a key
// object that is never released shows as a leak.
#include "platform/portcls/RegistryKey.h"

#include <atomic>
#include <new>

#include "platform/nt/Irql.h"
#include "platform/nt/Pool.h"
#include "platform/registry/RegistryHost.h"

namespace platform {
namespace {

constexpr ULONG kRegistryKeyTag = MakePoolTag("PcRk");

class RegistryKeyObject final : public IRegistryKey {
public:
    // Takes over the key handle; closes it when the allocation fails.
    static NTSTATUS Create(HANDLE key, PREGISTRYKEY* out)
    {
        void* memory = ExAllocatePoolWithTag(PagedPool, sizeof(RegistryKeyObject), kRegistryKeyTag);
        if (memory == nullptr) {
            ZwClose(key);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        *out = new (memory) RegistryKeyObject(key);
        return STATUS_SUCCESS;
    }

    NTSTATUS QueryInterface(REFIID iid, PVOID* ppvObject) override
    {
        if (ppvObject == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IRegistryKey)) {
            AddRef();
            *ppvObject = static_cast<IRegistryKey*>(this);
            return STATUS_SUCCESS;
        }
        *ppvObject = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG AddRef() override { return ++m_references; }
    ULONG Release() override
    {
        ULONG left = --m_references;
        if (left == 0) {
            ZwClose(m_key);
            this->~RegistryKeyObject();
            ExFreePoolWithTag(this, kRegistryKeyTag);
        }
        return left;
    }

    NTSTATUS QueryKey(KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                      PULONG ResultLength) override
    {
        return ZwQueryKey(m_key, KeyInformationClass, KeyInformation, Length, ResultLength);
    }
    NTSTATUS QueryValueKey(PUNICODE_STRING ValueName, KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                           PVOID KeyValueInformation, ULONG Length, PULONG ResultLength) override
    {
        return ZwQueryValueKey(m_key, ValueName, KeyValueInformationClass, KeyValueInformation, Length, ResultLength);
    }
    NTSTATUS SetValueKey(PUNICODE_STRING ValueName, ULONG Type, PVOID Data, ULONG DataSize) override
    {
        return ZwSetValueKey(m_key, ValueName, 0, Type, Data, DataSize);
    }
    NTSTATUS NewSubKey(IRegistryKey** OutRegistrySubKey, PUNKNOWN OuterUnknown, ACCESS_MASK DesiredAccess,
                       PUNICODE_STRING SubKeyName, ULONG CreateOptions, PULONG Disposition) override
    {
        UNREFERENCED_PARAMETER(OuterUnknown);
        if (OutRegistrySubKey == nullptr || SubKeyName == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        *OutRegistrySubKey = nullptr;
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, SubKeyName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, m_key, nullptr);
        HANDLE key;
        NTSTATUS status = ZwCreateKey(&key, DesiredAccess, &oa, 0, nullptr, CreateOptions, Disposition);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        return Create(key, OutRegistrySubKey);
    }
    NTSTATUS DeleteKey() override { return ZwDeleteKey(m_key); }

private:
    explicit RegistryKeyObject(HANDLE key) : m_key(key) {}
    ~RegistryKeyObject() = default;

    std::atomic<ULONG> m_references{1};
    HANDLE m_key;
};

}  // namespace
}  // namespace platform

NTSTATUS PcNewRegistryKey(PREGISTRYKEY* OutRegistryKey, PUNKNOWN OuterUnknown, ULONG RegistryKeyType,
                          ACCESS_MASK DesiredAccess, PVOID DeviceObject, PVOID SubDevice,
                          POBJECT_ATTRIBUTES ObjectAttributes, ULONG CreateOptions, PULONG Disposition)
{
    UNREFERENCED_PARAMETER(OuterUnknown);
    UNREFERENCED_PARAMETER(SubDevice);
    platform::IrqlCheckAtMost(PASSIVE_LEVEL, "PcNewRegistryKey");
    if (OutRegistryKey == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *OutRegistryKey = nullptr;
    HANDLE key = nullptr;
    NTSTATUS status;
    if (RegistryKeyType == GeneralRegistryKey) {
        if (ObjectAttributes == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        status = ZwCreateKey(&key, DesiredAccess, ObjectAttributes, 0, nullptr, CreateOptions, Disposition);
    } else {
        ULONG which;
        switch (RegistryKeyType) {
        case DeviceRegistryKey: which = PLUGPLAY_REGKEY_DEVICE; break;
        case DriverRegistryKey: which = PLUGPLAY_REGKEY_DRIVER; break;
        case HwProfileRegistryKey: which = PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE; break;
        default: return STATUS_INVALID_PARAMETER;
        }
        if (DeviceObject == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        auto* physical = platform::DevicePhysicalDevice(static_cast<PDEVICE_OBJECT>(DeviceObject));
        status = IoOpenDeviceRegistryKey(physical, which, DesiredAccess, &key);
        if (NT_SUCCESS(status) && Disposition != nullptr) {
            *Disposition = REG_OPENED_EXISTING_KEY;
        }
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return platform::RegistryKeyObject::Create(key, OutRegistryKey);
}

NTSTATUS PcGetDeviceProperty(PVOID DeviceObject, DEVICE_REGISTRY_PROPERTY DeviceProperty, ULONG BufferLength,
                             PVOID PropertyBuffer, PULONG ResultLength)
{
    auto* physical = platform::DevicePhysicalDevice(static_cast<PDEVICE_OBJECT>(DeviceObject));
    return IoGetDeviceProperty(physical, DeviceProperty, BufferLength, PropertyBuffer, ResultLength);
}

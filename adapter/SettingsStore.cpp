#include "adapter/SettingsStore.h"

#include <cstring>

#include "platform/nt/Pool.h"
#include "platform/nt/RtlString.h"
#include "platform/portcls/PortCls.h"

namespace {

// Room the query adds beyond the caller's length: the 12-byte header and 4 bytes to spare.
constexpr ULONG SETTINGS_QUERY_SLACK = 16;
// Indexed names hold 49 characters and the terminator.
constexpr size_t SETTINGS_INDEXED_NAME_CHARS = 50;

NTSTATUS ReadSettingsValue(PREGISTRYKEY Key, PUNICODE_STRING ValueName, PVOID Buffer, ULONG Length)
{
    if (Length > 0xFFFFFFFFu - SETTINGS_QUERY_SLACK) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const ULONG queryLength = Length + SETTINGS_QUERY_SLACK;
    auto* info = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(
        ExAllocatePoolWithTag(PagedPool, queryLength, SETTINGS_STORE_TAG));
    if (info == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG resultLength = 0;
    NTSTATUS status = Key->QueryValueKey(ValueName, KeyValuePartialInformation, info, queryLength, &resultLength);
    if (NT_SUCCESS(status)) {
        if (info->DataLength > Length) {
            status = STATUS_UNSUCCESSFUL;
        } else if (info->DataLength != 0) {
            // Only the stored bytes change: callers rely on their defaults in the rest.
            std::memcpy(Buffer, info->Data, info->DataLength);
        }
    }
    ExFreePoolWithTag(info, SETTINGS_STORE_TAG);
    return status;
}

}  // namespace

NTSTATUS AccessSettingsValue(PDEVICE_OBJECT FunctionalDeviceObject, ULONG Operation, PCWSTR SubKeyName,
                             PCWSTR ValueName, ULONG ValueType, PVOID Buffer, ULONG Length)
{
    if (ValueType != REG_SZ && ValueType != REG_BINARY && ValueType != REG_DWORD) {
        return STATUS_UNSUCCESSFUL;
    }

    PREGISTRYKEY driverKey = nullptr;
    PREGISTRYKEY settingsKey = nullptr;
    PREGISTRYKEY subKey = nullptr;
    NTSTATUS status = PcNewRegistryKey(&driverKey, nullptr, DriverRegistryKey, KEY_ALL_ACCESS, FunctionalDeviceObject,
                                       nullptr, nullptr, 0, nullptr);
    if (NT_SUCCESS(status)) {
        UNICODE_STRING settingsName;
        RtlInitUnicodeString(&settingsName, u"Settings");
        status = driverKey->NewSubKey(&settingsKey, nullptr, KEY_ALL_ACCESS, &settingsName, REG_OPTION_NON_VOLATILE,
                                      nullptr);
    }
    if (NT_SUCCESS(status) && SubKeyName != nullptr) {
        UNICODE_STRING subKeyName;
        RtlInitUnicodeString(&subKeyName, SubKeyName);
        status = settingsKey->NewSubKey(&subKey, nullptr, KEY_ALL_ACCESS, &subKeyName, REG_OPTION_NON_VOLATILE,
                                        nullptr);
    }
    if (NT_SUCCESS(status)) {
        PREGISTRYKEY valueKey = subKey != nullptr ? subKey : settingsKey;
        UNICODE_STRING valueName;
        RtlInitUnicodeString(&valueName, ValueName);
        if (Operation == SETTINGS_READ) {
            status = ReadSettingsValue(valueKey, &valueName, Buffer, Length);
        } else if (Operation == SETTINGS_WRITE) {
            status = valueKey->SetValueKey(&valueName, ValueType, Buffer, Length);
        }
    }

    if (subKey != nullptr) {
        subKey->Release();
    }
    if (settingsKey != nullptr) {
        settingsKey->Release();
    }
    if (driverKey != nullptr) {
        driverKey->Release();
    }
    return status;
}

NTSTATUS AccessSettingsBinary(PDEVICE_OBJECT FunctionalDeviceObject, ULONG Operation, PVOID Buffer, ULONG Length,
                              PCWSTR ValueName)
{
    return AccessSettingsValue(FunctionalDeviceObject, Operation, nullptr, ValueName, REG_BINARY, Buffer, Length);
}

NTSTATUS AccessIndexedSettingsBinary(PDEVICE_OBJECT FunctionalDeviceObject, ULONG Operation, PVOID Buffer,
                                     ULONG Length, PCWSTR NamePrefix, LONG Index)
{
    WCHAR name[SETTINGS_INDEXED_NAME_CHARS] = {};
    // A longer name is cut; the cut name is still the one accessed.
    RtlStringCbPrintfW(name, sizeof(name), u"%s%d", NamePrefix, Index);
    return AccessSettingsBinary(FunctionalDeviceObject, Operation, Buffer, Length, name);
}

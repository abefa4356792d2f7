// The one accessor of the driver's persistent settings: values under the "Settings" key of the
// device's driver software key, optionally one subkey further down.
#pragma once

#include "platform/nt/NtTypes.h"

// Operation codes of the accessor.
constexpr ULONG SETTINGS_READ = 1;
constexpr ULONG SETTINGS_WRITE = 2;

// Tag of the temporary query buffer.
constexpr ULONG SETTINGS_STORE_TAG = MakePoolTag("hlep");

// Reads or writes one value of type REG_SZ, REG_BINARY or REG_DWORD (any other type fails with
// STATUS_UNSUCCESSFUL before the registry is touched). The keys are created when missing, also
// for a read. A read copies the stored bytes to the start of the buffer and leaves the rest of it
// as it was; stored data longer than `Length` fail (STATUS_UNSUCCESSFUL, or STATUS_BUFFER_OVERFLOW
// when they exceed `Length` + 4) and copy nothing; a missing value gives the registry's
// STATUS_OBJECT_NAME_NOT_FOUND. Any other operation code only opens the keys. PASSIVE_LEVEL only.
NTSTATUS AccessSettingsValue(PDEVICE_OBJECT FunctionalDeviceObject, ULONG Operation, PCWSTR SubKeyName,
                             PCWSTR ValueName, ULONG ValueType, PVOID Buffer, ULONG Length);

// REG_BINARY directly under "Settings": the form nearly every caller uses.
NTSTATUS AccessSettingsBinary(PDEVICE_OBJECT FunctionalDeviceObject, ULONG Operation, PVOID Buffer, ULONG Length,
                              PCWSTR ValueName);

// The value named by the prefix followed by the decimal index ("%s%d", cut to 49 characters).
NTSTATUS AccessIndexedSettingsBinary(PDEVICE_OBJECT FunctionalDeviceObject, ULONG Operation, PVOID Buffer,
                                     ULONG Length, PCWSTR NamePrefix, LONG Index);

// Configuration registry of the stand-in: the Zw key calls a driver uses, with the layouts of the
// information records they return. Keys live in one in-memory tree per simulated machine
// (see RegistryHost.h for how a host saves, loads and inspects it).
#pragma once

#include "platform/nt/NtTypes.h"
#include "platform/nt/Ob.h"

// Key access rights.
constexpr ACCESS_MASK KEY_QUERY_VALUE = 0x0001;
constexpr ACCESS_MASK KEY_SET_VALUE = 0x0002;
constexpr ACCESS_MASK KEY_CREATE_SUB_KEY = 0x0004;
constexpr ACCESS_MASK KEY_ENUMERATE_SUB_KEYS = 0x0008;
constexpr ACCESS_MASK KEY_NOTIFY = 0x0010;
constexpr ACCESS_MASK KEY_CREATE_LINK = 0x0020;
// Combinations, with the standard rights they carry (read control 0x00020000, all 0x000F0000).
constexpr ACCESS_MASK KEY_READ = 0x00020019;
constexpr ACCESS_MASK KEY_WRITE = 0x00020006;
constexpr ACCESS_MASK KEY_EXECUTE = KEY_READ;
constexpr ACCESS_MASK KEY_ALL_ACCESS = 0x000F003F;

// Value types.
constexpr ULONG REG_NONE = 0;
constexpr ULONG REG_SZ = 1;
constexpr ULONG REG_EXPAND_SZ = 2;
constexpr ULONG REG_BINARY = 3;
constexpr ULONG REG_DWORD = 4;
constexpr ULONG REG_DWORD_LITTLE_ENDIAN = 4;
constexpr ULONG REG_DWORD_BIG_ENDIAN = 5;
constexpr ULONG REG_LINK = 6;
constexpr ULONG REG_MULTI_SZ = 7;
constexpr ULONG REG_QWORD = 11;

// Create options and dispositions.
constexpr ULONG REG_OPTION_NON_VOLATILE = 0x00000000;
constexpr ULONG REG_OPTION_VOLATILE = 0x00000001;
constexpr ULONG REG_CREATED_NEW_KEY = 0x00000001;
constexpr ULONG REG_OPENED_EXISTING_KEY = 0x00000002;

enum KEY_VALUE_INFORMATION_CLASS : int {
    KeyValueBasicInformation = 0,
    KeyValueFullInformation = 1,
    KeyValuePartialInformation = 2,
};

// The partial record: a 12-byte header followed by the data.
struct KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
};
using PKEY_VALUE_PARTIAL_INFORMATION = KEY_VALUE_PARTIAL_INFORMATION*;
static_assert(FIELD_OFFSET(KEY_VALUE_PARTIAL_INFORMATION, Data) == 12);

enum KEY_INFORMATION_CLASS : int {
    KeyBasicInformation = 0,
    KeyNodeInformation = 1,
    KeyFullInformation = 2,
};

// The basic record names the key by its last path component; NameLength is in bytes.
struct KEY_BASIC_INFORMATION {
    LARGE_INTEGER LastWriteTime;
    ULONG TitleIndex;
    ULONG NameLength;
    WCHAR Name[1];
};
using PKEY_BASIC_INFORMATION = KEY_BASIC_INFORMATION*;
static_assert(FIELD_OFFSET(KEY_BASIC_INFORMATION, Name) == 16);

// Every registry call runs at PASSIVE_LEVEL only.
NTSTATUS ZwOpenKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes);
// Opens the key, or creates it when its parent exists (the parent path is not created). Keys nest
// at most 512 deep below the root: a deeper one is refused with STATUS_INVALID_PARAMETER.
NTSTATUS ZwCreateKey(PHANDLE KeyHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                     ULONG TitleIndex, PUNICODE_STRING Class, ULONG CreateOptions, PULONG Disposition);
NTSTATUS ZwQueryValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName,
                         KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass, PVOID KeyValueInformation,
                         ULONG Length, PULONG ResultLength);
NTSTATUS ZwSetValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName, ULONG TitleIndex, ULONG Type, PVOID Data,
                       ULONG DataSize);
NTSTATUS ZwQueryKey(HANDLE KeyHandle, KEY_INFORMATION_CLASS KeyInformationClass, PVOID KeyInformation, ULONG Length,
                    PULONG ResultLength);
NTSTATUS ZwDeleteValueKey(HANDLE KeyHandle, PUNICODE_STRING ValueName);
// Deletes a key without subkeys; handles still open on it fail from then on.
NTSTATUS ZwDeleteKey(HANDLE KeyHandle);
// Keys are closed with ZwClose (platform/nt/Ob.h).

// Basic kernel types and status codes of the platform stand-in.
// Widths follow the kernel's LLP64 model: ULONG is 32 bits, WCHAR is a 2-byte unit.
#pragma once

#include <cstddef>
#include <cstdint>

using UCHAR = uint8_t;
using PUCHAR = UCHAR*;
using CHAR = char;
using PCHAR = CHAR*;
using PCSTR = const char*;
using USHORT = uint16_t;
using PUSHORT = USHORT*;
using SHORT = int16_t;
using ULONG = uint32_t;
using PULONG = ULONG*;
using LONG = int32_t;
using PLONG = LONG*;
using ULONG64 = uint64_t;
using ULONGLONG = uint64_t;
using LONGLONG = int64_t;
using LONG64 = int64_t;
using ULONG_PTR = uintptr_t;
using LONG_PTR = intptr_t;
using SIZE_T = size_t;
using PSIZE_T = SIZE_T*;
using BOOLEAN = uint8_t;
using PBOOLEAN = BOOLEAN*;
using BYTE = uint8_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using WCHAR = char16_t;
using PWCHAR = WCHAR*;
using PWSTR = WCHAR*;
using PCWSTR = const WCHAR*;
using VOID = void;
using PVOID = void*;
using HANDLE = void*;
using PHANDLE = HANDLE*;
using NTSTATUS = int32_t;
using KIRQL = UCHAR;
using PKIRQL = KIRQL*;
using KPRIORITY = LONG;
using ACCESS_MASK = ULONG;

constexpr BOOLEAN TRUE = 1;
constexpr BOOLEAN FALSE = 0;

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
using PLARGE_INTEGER = LARGE_INTEGER*;

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
using LPGUID = GUID*;
using REFGUID = const GUID&;
using IID = GUID;
using REFIID = const GUID&;
using CLSID = GUID;

inline bool IsEqualGUID(const GUID& a, const GUID& b)
{
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) {
        return false;
    }
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) {
            return false;
        }
    }
    return true;
}
inline bool operator==(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }

// A pool tag is four characters stored in memory order: "KVX " reads as "KVX " in a dump.
constexpr ULONG MakePoolTag(char a, char b, char c, char d)
{
    return static_cast<ULONG>(static_cast<UCHAR>(a)) | (static_cast<ULONG>(static_cast<UCHAR>(b)) << 8) |
           (static_cast<ULONG>(static_cast<UCHAR>(c)) << 16) | (static_cast<ULONG>(static_cast<UCHAR>(d)) << 24);
}
template <size_t N>
constexpr ULONG MakePoolTag(const char (&s)[N])
{
    static_assert(N == 5 || N == 4, "a pool tag has four characters");
    return MakePoolTag(s[0], s[1], s[2], N == 5 ? s[3] : '\0');
}

// Counted strings. Length and MaximumLength are in bytes.
struct UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
};
using PUNICODE_STRING = UNICODE_STRING*;
using PCUNICODE_STRING = const UNICODE_STRING*;

struct ANSI_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
};
using PANSI_STRING = ANSI_STRING*;

// Object attributes of named objects (registry keys, files, callback objects).
constexpr ULONG OBJ_INHERIT = 0x00000002;
constexpr ULONG OBJ_PERMANENT = 0x00000010;
constexpr ULONG OBJ_CASE_INSENSITIVE = 0x00000040;
constexpr ULONG OBJ_OPENIF = 0x00000080;
constexpr ULONG OBJ_KERNEL_HANDLE = 0x00000200;

struct OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
};
using POBJECT_ATTRIBUTES = OBJECT_ATTRIBUTES*;

inline void InitializeObjectAttributes(POBJECT_ATTRIBUTES p, PUNICODE_STRING name, ULONG attributes, HANDLE root,
                                       PVOID securityDescriptor)
{
    p->Length = sizeof(OBJECT_ATTRIBUTES);
    p->RootDirectory = root;
    p->Attributes = attributes;
    p->ObjectName = name;
    p->SecurityDescriptor = securityDescriptor;
    p->SecurityQualityOfService = nullptr;
}

struct IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};
using PIO_STATUS_BLOCK = IO_STATUS_BLOCK*;

enum KPROCESSOR_MODE : CHAR { KernelMode = 0, UserMode = 1 };

// Objects of the I/O manager, defined in platform/io.
struct DRIVER_OBJECT;
struct DEVICE_OBJECT;
struct FILE_OBJECT;
struct IRP;
using PDRIVER_OBJECT = DRIVER_OBJECT*;
using PDEVICE_OBJECT = DEVICE_OBJECT*;
using PFILE_OBJECT = FILE_OBJECT*;
using PIRP = IRP*;

// Status codes.
constexpr bool NT_SUCCESS(NTSTATUS status) { return status >= 0; }
constexpr bool NT_INFORMATION(NTSTATUS status) { return (static_cast<uint32_t>(status) >> 30) == 1; }
constexpr bool NT_WARNING(NTSTATUS status) { return (static_cast<uint32_t>(status) >> 30) == 2; }
constexpr bool NT_ERROR(NTSTATUS status) { return (static_cast<uint32_t>(status) >> 30) == 3; }

#define KVX_STATUS(name, value) constexpr NTSTATUS name = static_cast<NTSTATUS>(static_cast<uint32_t>(value))
KVX_STATUS(STATUS_SUCCESS, 0x00000000u);
KVX_STATUS(STATUS_WAIT_0, 0x00000000u);
KVX_STATUS(STATUS_WAIT_1, 0x00000001u);
KVX_STATUS(STATUS_WAIT_63, 0x0000003Fu);
KVX_STATUS(STATUS_ABANDONED_WAIT_0, 0x00000080u);
KVX_STATUS(STATUS_USER_APC, 0x000000C0u);
KVX_STATUS(STATUS_ALERTED, 0x00000101u);
KVX_STATUS(STATUS_TIMEOUT, 0x00000102u);
KVX_STATUS(STATUS_PENDING, 0x00000103u);
KVX_STATUS(STATUS_BUFFER_OVERFLOW, 0x80000005u);
KVX_STATUS(STATUS_NO_MORE_ENTRIES, 0x8000001Au);
KVX_STATUS(STATUS_DEVICE_BUSY, 0x80000011u);
KVX_STATUS(STATUS_UNSUCCESSFUL, 0xC0000001u);
KVX_STATUS(STATUS_NOT_IMPLEMENTED, 0xC0000002u);
KVX_STATUS(STATUS_INVALID_HANDLE, 0xC0000008u);
KVX_STATUS(STATUS_INVALID_PARAMETER, 0xC000000Du);
KVX_STATUS(STATUS_NO_SUCH_DEVICE, 0xC000000Eu);
KVX_STATUS(STATUS_INVALID_DEVICE_REQUEST, 0xC0000010u);
KVX_STATUS(STATUS_END_OF_FILE, 0xC0000011u);
KVX_STATUS(STATUS_MORE_PROCESSING_REQUIRED, 0xC0000016u);
KVX_STATUS(STATUS_NO_MEMORY, 0xC0000017u);
KVX_STATUS(STATUS_ACCESS_DENIED, 0xC0000022u);
KVX_STATUS(STATUS_BUFFER_TOO_SMALL, 0xC0000023u);
KVX_STATUS(STATUS_OBJECT_TYPE_MISMATCH, 0xC0000024u);
KVX_STATUS(STATUS_OBJECT_NAME_NOT_FOUND, 0xC0000034u);
KVX_STATUS(STATUS_OBJECT_NAME_COLLISION, 0xC0000035u);
KVX_STATUS(STATUS_OBJECT_PATH_NOT_FOUND, 0xC000003Au);
KVX_STATUS(STATUS_MUTANT_NOT_OWNED, 0xC0000046u);
KVX_STATUS(STATUS_INSUFFICIENT_RESOURCES, 0xC000009Au);
KVX_STATUS(STATUS_DEVICE_NOT_CONNECTED, 0xC000009Du);
KVX_STATUS(STATUS_NOT_SUPPORTED, 0xC00000BBu);
KVX_STATUS(STATUS_IO_TIMEOUT, 0xC00000B5u);
KVX_STATUS(STATUS_CANCELLED, 0xC0000120u);
KVX_STATUS(STATUS_DEVICE_DOES_NOT_EXIST, 0xC00000C0u);
KVX_STATUS(STATUS_DEVICE_NOT_READY, 0xC00000A3u);
KVX_STATUS(STATUS_DEVICE_DATA_ERROR, 0xC000009Cu);
KVX_STATUS(STATUS_DELETE_PENDING, 0xC0000056u);
KVX_STATUS(STATUS_INVALID_DEVICE_STATE, 0xC0000184u);
KVX_STATUS(STATUS_DEVICE_CONFIGURATION_ERROR, 0xC0000182u);
KVX_STATUS(STATUS_NO_MATCH, 0xC0000272u);
KVX_STATUS(STATUS_NOT_FOUND, 0xC0000225u);
KVX_STATUS(STATUS_INVALID_BUFFER_SIZE, 0xC0000206u);
KVX_STATUS(STATUS_POWER_STATE_INVALID, 0xC00002D3u);
KVX_STATUS(STATUS_INVALID_INFO_CLASS, 0xC0000003u);
KVX_STATUS(STATUS_INFO_LENGTH_MISMATCH, 0xC0000004u);
KVX_STATUS(STATUS_OBJECT_NAME_INVALID, 0xC0000033u);
KVX_STATUS(STATUS_OBJECT_PATH_SYNTAX_BAD, 0xC000003Bu);
KVX_STATUS(STATUS_FILE_IS_A_DIRECTORY, 0xC00000BAu);
KVX_STATUS(STATUS_UNEXPECTED_IO_ERROR, 0xC00000E9u);
KVX_STATUS(STATUS_CANNOT_DELETE, 0xC0000121u);
KVX_STATUS(STATUS_KEY_DELETED, 0xC000017Cu);
KVX_STATUS(STATUS_CHILD_MUST_BE_VOLATILE, 0xC0000181u);
#undef KVX_STATUS

// IRQL levels.
constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;
constexpr KIRQL HIGH_LEVEL = 15;

#define UNREFERENCED_PARAMETER(p) ((void)(p))

#define FIELD_OFFSET(type, field) offsetof(type, field)
#define CONTAINING_RECORD(address, type, field) \
    (reinterpret_cast<type*>(reinterpret_cast<char*>(address) - offsetof(type, field)))

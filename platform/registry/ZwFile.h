// Read-only file access of the stand-in: files below "\SystemRoot\", which maps to a host folder
// (platform::SetSystemRoot in RegistryHost.h). Names compare without regard to case.
#pragma once

#include "platform/nt/NtTypes.h"
#include "platform/nt/Ob.h"

// File access rights (GENERIC_READ maps to FILE_GENERIC_READ).
constexpr ACCESS_MASK FILE_READ_DATA = 0x0001;
constexpr ACCESS_MASK FILE_WRITE_DATA = 0x0002;
constexpr ACCESS_MASK FILE_APPEND_DATA = 0x0004;
constexpr ACCESS_MASK FILE_READ_EA = 0x0008;
constexpr ACCESS_MASK FILE_WRITE_EA = 0x0010;
constexpr ACCESS_MASK FILE_READ_ATTRIBUTES = 0x0080;
constexpr ACCESS_MASK FILE_WRITE_ATTRIBUTES = 0x0100;
constexpr ACCESS_MASK FILE_GENERIC_READ = 0x00120089;

constexpr ULONG FILE_SHARE_READ = 0x00000001;
constexpr ULONG FILE_SHARE_WRITE = 0x00000002;
constexpr ULONG FILE_SHARE_DELETE = 0x00000004;

constexpr ULONG FILE_ATTRIBUTE_READONLY = 0x00000001;
constexpr ULONG FILE_ATTRIBUTE_NORMAL = 0x00000080;

// Create dispositions; the stand-in opens existing files only.
constexpr ULONG FILE_SUPERSEDE = 0;
constexpr ULONG FILE_OPEN = 1;
constexpr ULONG FILE_CREATE = 2;
constexpr ULONG FILE_OPEN_IF = 3;
constexpr ULONG FILE_OVERWRITE = 4;
constexpr ULONG FILE_OVERWRITE_IF = 5;

// Create options.
constexpr ULONG FILE_DIRECTORY_FILE = 0x00000001;
constexpr ULONG FILE_SYNCHRONOUS_IO_ALERT = 0x00000010;
constexpr ULONG FILE_SYNCHRONOUS_IO_NONALERT = 0x00000020;
constexpr ULONG FILE_NON_DIRECTORY_FILE = 0x00000040;

// IO_STATUS_BLOCK.Information of a successful open.
constexpr ULONG_PTR FILE_OPENED = 1;

enum FILE_INFORMATION_CLASS : int {
    FileBasicInformation = 4,
    FileStandardInformation = 5,
    FilePositionInformation = 14,
};

struct FILE_STANDARD_INFORMATION {
    LARGE_INTEGER AllocationSize;
    LARGE_INTEGER EndOfFile;
    ULONG NumberOfLinks;
    BOOLEAN DeletePending;
    BOOLEAN Directory;
};
using PFILE_STANDARD_INFORMATION = FILE_STANDARD_INFORMATION*;

struct FILE_POSITION_INFORMATION {
    LARGE_INTEGER CurrentByteOffset;
};
using PFILE_POSITION_INFORMATION = FILE_POSITION_INFORMATION*;

// A missing file gives STATUS_OBJECT_NAME_NOT_FOUND, a missing folder STATUS_OBJECT_PATH_NOT_FOUND;
// write access or a disposition that would create or overwrite gives STATUS_ACCESS_DENIED.
// Regular files only: a folder gives STATUS_FILE_IS_A_DIRECTORY, a FIFO, device or socket
// STATUS_INVALID_DEVICE_REQUEST. Nothing is read at opening; each read reads the bytes it asks for
// from the file as it stands then. PASSIVE_LEVEL only.
NTSTATUS ZwCreateFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                      PIO_STATUS_BLOCK IoStatusBlock, PLARGE_INTEGER AllocationSize, ULONG FileAttributes,
                      ULONG ShareAccess, ULONG CreateDisposition, ULONG CreateOptions, PVOID EaBuffer,
                      ULONG EaLength);
NTSTATUS ZwOpenFile(PHANDLE FileHandle, ACCESS_MASK DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                    PIO_STATUS_BLOCK IoStatusBlock, ULONG ShareAccess, ULONG OpenOptions);
// Reads at ByteOffset (or, when null, at the file's current position); at or beyond the end of
// the file STATUS_END_OF_FILE with nothing read; a host read error STATUS_UNEXPECTED_IO_ERROR.
// Event and APC are not supported (null).
NTSTATUS ZwReadFile(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine, PVOID ApcContext, PIO_STATUS_BLOCK IoStatusBlock,
                    PVOID Buffer, ULONG Length, PLARGE_INTEGER ByteOffset, PULONG Key);
// FileStandardInformation and FilePositionInformation.
NTSTATUS ZwQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                ULONG Length, FILE_INFORMATION_CLASS FileInformationClass);
// Files are closed with ZwClose (platform/nt/Ob.h).

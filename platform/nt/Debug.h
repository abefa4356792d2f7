// Debug output and the system version of the stand-in.
#pragma once

#include "platform/nt/NtTypes.h"

constexpr ULONG DPFLTR_IHVDRIVER_ID = 77;
constexpr ULONG DPFLTR_IHVAUDIO_ID = 80;
constexpr ULONG DPFLTR_DEFAULT_ID = 101;
constexpr ULONG DPFLTR_ERROR_LEVEL = 0;
constexpr ULONG DPFLTR_WARNING_LEVEL = 1;
constexpr ULONG DPFLTR_TRACE_LEVEL = 2;
constexpr ULONG DPFLTR_INFO_LEVEL = 3;

constexpr ULONG NTDDI_WINXP = 0x05010000;
constexpr ULONG NTDDI_VISTA = 0x06000000;
constexpr ULONG NTDDI_WIN7 = 0x06010000;
constexpr ULONG NTDDI_WIN8 = 0x06020000;
constexpr ULONG NTDDI_WIN10 = 0x0A000000;

// printf formats with the kernel's conventions: ULONG/LONG with %lu/%ld/%lx are 32 bits
// (%I64/%ll for 64 bits, %I/%z for pointer size); %ws, %ls and %S print wide strings, %wZ a
// UNICODE_STRING*, %Z an ANSI_STRING*, %C a wide character.
ULONG DbgPrint(PCSTR Format, ...);
ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);

// TRUE when the running system is at least the given version.
BOOLEAN RtlIsNtDdiVersionAvailable(ULONG Version);

// Counted strings and bounded ("safe") string functions of the run-time library.
//
// In the wide (W) formatting functions %s and %ws take a wide string and %S and %hs a narrow
// one; in the narrow (A) functions %s and %hs take a narrow string and %S, %ls and %ws a wide
// one. %wZ and %Z take a UNICODE_STRING and an ANSI_STRING. The length modifier l is 32 bits as
// in the kernel's data model; ll, I64 are 64 bits and z, I are pointer-sized. %p prints the
// pointer as 16 upper-case hex digits. %n is refused.
#pragma once

#include <cstdarg>
#include <cstddef>

#include "platform/nt/NtTypes.h"

// The largest character count the bounded functions accept.
constexpr size_t NTSTRSAFE_MAX_CCH = 2147483647;

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
// Frees a buffer that a run-time library or I/O manager call allocated into the string.
VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
VOID RtlFreeAnsiString(PANSI_STRING AnsiString);

// The one case folding of the system: ASCII and Latin-1 letters. Names of objects, registry keys,
// values and files and the driver's own text readers all compare through it.
WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);
// < 0, 0, > 0 as String1 sorts before, equal to, or after String2.
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);

// Characters without a narrow form become '?'. Without allocation, a destination that is too
// small receives what fits (terminated when room is left) and STATUS_BUFFER_OVERFLOW is returned.
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, const ANSI_STRING* SourceString,
                                      BOOLEAN AllocateDestinationString);
// Copies as much as fits; a null source empties the destination.
VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
// STATUS_BUFFER_TOO_SMALL (destination unchanged) when the result does not fit.
NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source);
NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);

// Bounded formatting. The result is always terminated; truncation returns STATUS_BUFFER_OVERFLOW,
// a bad destination, size or format STATUS_INVALID_PARAMETER.
NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...);
NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList);
NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList);
NTSTATUS RtlStringCbPrintfA(PCHAR pszDest, size_t cbDest, PCSTR pszFormat, ...);
NTSTATUS RtlStringCchPrintfA(PCHAR pszDest, size_t cchDest, PCSTR pszFormat, ...);
NTSTATUS RtlStringCbVPrintfA(PCHAR pszDest, size_t cbDest, PCSTR pszFormat, va_list argList);

NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
NTSTATUS RtlStringCbCopyA(PCHAR pszDest, size_t cbDest, PCSTR pszSrc);
NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc);
NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc);
// Length without the terminator; STATUS_INVALID_PARAMETER (length 0) when no terminator lies
// within the maximum.
NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength);
NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength);
NTSTATUS RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t* pcbLength);

// ---- hexadecimal digits, one table for every reader and writer of hex text ----
namespace platform {

struct HexDigitTable {
    signed char Value[256];
};

constexpr HexDigitTable MakeHexDigitTable()
{
    HexDigitTable table{};
    for (int c = 0; c < 256; ++c) {
        table.Value[c] = static_cast<signed char>((c >= '0' && c <= '9')   ? c - '0'
                                                  : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                                                  : (c >= 'A' && c <= 'F') ? c - 'A' + 10
                                                                           : -1);
    }
    return table;
}

inline constexpr HexDigitTable kHexDigitTable = MakeHexDigitTable();
inline constexpr char kHexDigitsUpper[] = "0123456789ABCDEF";
inline constexpr char kHexDigitsLower[] = "0123456789abcdef";

// 0-15 for '0'-'9', 'a'-'f' and 'A'-'F'; -1 for any other character.
constexpr int HexDigitValue(unsigned int c) { return c < 256 ? kHexDigitTable.Value[c] : -1; }

}  // namespace platform

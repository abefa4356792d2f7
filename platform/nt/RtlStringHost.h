// Platform, test and host helpers for counted strings (not kernel API; driver code never
// includes it): standard-string conversions and allocated copies.
#pragma once

#include "platform/nt/RtlString.h"
#include <string>
#include <string_view>
namespace platform {

// Tag of the buffers that RtlFreeUnicodeString and RtlFreeAnsiString free.
constexpr ULONG RTL_STRING_TAG = MakePoolTag("RtlS");

// Allocates a terminated copy of `text` into `out` (paged pool, RTL_STRING_TAG), for the stand-in
// calls that return allocated names. STATUS_INSUFFICIENT_RESOURCES leaves `out` empty.
NTSTATUS RtlAllocateUnicodeString(PUNICODE_STRING out, std::u16string_view text);

// Equal when the texts match after RtlUpcaseUnicodeChar, as names of the object manager compare.
bool EqualTextNoCase(std::u16string_view a, std::u16string_view b);

std::u16string ToU16(PCUNICODE_STRING s);
std::u16string ToU16(std::string_view ascii);
// Characters above 0x7F become '?'.
std::string ToNarrow(std::u16string_view s);
std::string ToNarrow(PCUNICODE_STRING s);

}  // namespace platform

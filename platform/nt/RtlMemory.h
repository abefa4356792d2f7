// Memory helpers of the run-time library.
#pragma once

#include <cstring>

#include "platform/nt/NtTypes.h"

inline VOID RtlZeroMemory(PVOID Destination, SIZE_T Length)
{
    if (Length != 0) {
        std::memset(Destination, 0, Length);
    }
}

inline VOID RtlFillMemory(PVOID Destination, SIZE_T Length, UCHAR Fill)
{
    if (Length != 0) {
        std::memset(Destination, Fill, Length);
    }
}

// Source and destination must not overlap.
inline VOID RtlCopyMemory(PVOID Destination, const VOID* Source, SIZE_T Length)
{
    if (Length != 0) {
        std::memcpy(Destination, Source, Length);
    }
}

// Source and destination may overlap.
inline VOID RtlMoveMemory(PVOID Destination, const VOID* Source, SIZE_T Length)
{
    if (Length != 0) {
        std::memmove(Destination, Source, Length);
    }
}

// Number of leading bytes that are equal in both blocks (Length when they match entirely).
SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

inline bool RtlEqualMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length)
{
    return Length == 0 || std::memcmp(Source1, Source2, Length) == 0;
}

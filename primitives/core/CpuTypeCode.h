/* Processor classes returned by DetectCpuType and accepted by ForceDispatchIndex.
 * C-compatible: part of the public header. */
#pragma once

#include "primitives/core/PrimitiveStatus.h"

typedef uint32_t CpuTypeCode;
enum {
    CpuTypeNone = 0x00,
    CpuTypeCode20 = 0x20,
    CpuTypeFamily6Model15 = 0x21,
    CpuTypeFamily6Model15Multi = 0x22,
    CpuTypeFamily6Model26 = 0x23,
    CpuTypeFamily6Model28 = 0x24,
    CpuTypeCode25 = 0x25,
    CpuTypeSse = 0x40,
    CpuTypeSse2 = 0x41,
    CpuTypeSse3 = 0x42,
    CpuTypeSsse3 = 0x43,
    CpuTypeSse41 = 0x44,
    CpuTypeSse42 = 0x45,
    CpuTypeLongModeOnly = 0x60
};

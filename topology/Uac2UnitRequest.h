// Class requests of the UAC2 units: CUR, RANGE and MEM on the AudioControl interface (function
// 0x1B). Reads must fill every byte asked for; a RANGE reply that could not fit a 16-bit wLength
// is refused before anything is read.
#pragma once

#include "platform/usb/Usb.h"
#include "topology/UsbAudioUnit.h"

constexpr ULONG UAC2_UNIT_TAG = MakePoolTag("UA20");

// wValue of a control: selector in the high byte, channel in the low byte.
constexpr USHORT Uac2ControlValue(ULONG selector, ULONG channel)
{
    return static_cast<USHORT>(((selector & 0xFF) << 8) | (channel & 0xFF));
}

// Bytes of a RANGE reply of `subranges` (MIN, MAX, RES) triples of `width`-byte values after the
// 16-bit count; 0 when that exceeds a 16-bit wLength.
ULONG Uac2RangeLength(ULONG subranges, ULONG width);

// CUR read (exactly `length` bytes) or write of control wValue.
NTSTATUS Uac2Cur(IAudioHal* owner, UCHAR id, USHORT value, BOOLEAN read, PVOID buffer, ULONG length);
// RANGE read of exactly `length` bytes; a length above 0xFFFF gives 0xC000000D without a request.
NTSTATUS Uac2Range(IAudioHal* owner, UCHAR id, USHORT value, PVOID buffer, ULONG length);
// MEM read of exactly `length` bytes from byte `offset` of the unit's memory space.
NTSTATUS Uac2MemRead(IAudioHal* owner, UCHAR id, USHORT offset, PVOID buffer, ULONG length);

// Requests of the UAC1 units that must know how many bytes the device delivered: a reply shorter
// than asked is never used as if it were whole.
#pragma once

#include "platform/usb/Usb.h"
#include "topology/UsbAudioUnit.h"

// Vendor requests of the terminals (function 0x18 on the AudioControl interface).
constexpr UCHAR UAC1_VENDOR_JACK_REQUEST = 0x81;     // jack information, connected channels, current output
constexpr UCHAR UAC1_VENDOR_OUTPUT_LIST = 0x86;      // output list
constexpr USHORT UAC1_VENDOR_JACK_INFO = 0x02FF;
constexpr USHORT UAC1_VENDOR_CONNECTED = 0x0200;
constexpr USHORT UAC1_VENDOR_OUTPUT = 0x0800;

// `UnitControlRequest` that also reports the bytes transferred (0 on failure) through `pulReceived`.
NTSTATUS UnitControlTransfer(IAudioHal* owner, UCHAR id, USHORT function, UCHAR request, USHORT value, BOOLEAN read,
                             PVOID buffer, ULONG length, PULONG pulReceived);

// A read that must fill all `length` bytes: a short reply fails as the bus reports a data underrun
// (STATUS_UNSUCCESSFUL).
NTSTATUS UnitControlReadExact(IAudioHal* owner, UCHAR id, USHORT function, UCHAR request, USHORT value, PVOID buffer,
                              ULONG length);

// Whether the owner answers IUsbDevice: its status, the interface released again.
NTSTATUS QueryOwnerUsbDevice(IAudioHal* owner);

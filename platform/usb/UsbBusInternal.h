// Shared by the bus's files (port, URBs, schedule): how a URB's buffer and setup packet are read.
#pragma once

#include <cstdint>

#include "platform/nt/Clock.h"
#include "platform/nt/Time.h"
#include "platform/usb/UsbBus.h"

namespace platform::usb::detail {

inline UsbBus* BusOf(PDEVICE_OBJECT device) { return *static_cast<UsbBus**>(device->DeviceExtension); }

inline uint64_t ClockFrame() { return static_cast<uint64_t>(platform::ClockNow() / platform::TICKS_PER_MS); }

// The transfer buffer of a URB: its virtual address, else its MDL's system address.
UCHAR* TransferBuffer(PVOID buffer, PMDL mdl);
// Bytes per (micro)frame of an endpoint, high-bandwidth multiplier included.
ULONG PipeMaxPacket(USHORT wMaxPacketSize);
bool IsVendorOrClass(USHORT function);
// Size of the fixed part each URB function needs before the bus may read it.
ULONG MinimumUrbLength(USHORT function);
// The setup packet a control URB stands for.
USB_DEFAULT_PIPE_SETUP_PACKET SetupOf(PURB urb);

}  // namespace platform::usb::detail

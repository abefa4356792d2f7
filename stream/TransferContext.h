// One slot of an endpoint's isochronous transfer ring: the IRP, URB and data buffer that carry one
// transfer, taken once per prepared format and reused until the format is unprepared.
#pragma once

#include "platform/io/Io.h"
#include "platform/usb/Usb.h"

class UsbStreamEndpoint;

// Slots of the ring; only the first transfers-queued ones are ever in use.
constexpr ULONG MAX_TRANSFER_CONTEXTS = 10;

struct TransferContext {
    PIRP Irp;                       // IoStatus.Status preset to STATUS_NOT_SUPPORTED while idle
    PURB Urb;                       // from the endpoint's URB pool
    UsbStreamEndpoint* Endpoint;    // the owner; no reference
    ULONG ByteCount;                // render: bytes sent; capture: buffer space offered
    PUCHAR DataBuffer;              // from the endpoint's data buffer pool
    ULONG Slot;                     // 0 to 9
};

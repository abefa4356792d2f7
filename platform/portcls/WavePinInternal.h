// Inside the port-class stand-in: a pin instance of a WaveCyclic filter, shared by its direct
// host calls, its KS requests (properties, create and close) and its stream IRPs.
#pragma once

#include <deque>
#include <mutex>
#include <vector>

#include "platform/nt/Dispatcher.h"
#include "platform/portcls/PortClsInternal.h"

namespace platform {

struct PcWavePin;

// The pin's member of the stream's service group.
class WavePinSink final : public IServiceSink {
public:
    NTSTATUS QueryInterface(REFIID, PVOID* out) override
    {
        *out = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG AddRef() override { return 1; }
    ULONG Release() override { return 1; }
    VOID RequestService() override;
    PcWavePin* Pin = nullptr;
};

struct PcWavePin {
    WavePinSink Sink;
    std::mutex Lock;  // the client data, the queued stream IRPs and the offsets
    std::deque<UCHAR> Client;
    // Stream IRPs in arrival order; each carries the pin and its progress in DriverContext.
    std::deque<PIRP> Irps;
    KEVENT NoIrps;  // signalled while Irps is empty
    ULONG LastPosition = 0;
    ULONGLONG PlayOffset = 0;
    ULONGLONG WriteOffset = 0;   // client bytes copied into the block (render) or out of it (capture)
    ULONGLONG FilledOffset = 0;  // block bytes filled (client bytes or silence), as a running offset
    BOOLEAN Capture = FALSE;
    IPcSubdevice* Port;  // with a reference (the miniport's teardown waits for the stream)
    ULONG PinId;
    KSSTATE State;
    PMINIPORTWAVECYCLICSTREAM Stream;
    PDMACHANNEL Dma;
    PSERVICEGROUP Group;
    PUCHAR Format;  // the caller's format, copied: NewStream may rewrite it
    ULONG FormatLength;
};

// The format and its attribute list lie within the `length` bytes of the request.
NTSTATUS PcCheckDataFormat(const void* format, ULONG length);

// The pin descriptor of `pinId` (null when out of range) and the instance counts of a pin.
const PCPIN_DESCRIPTOR* PcPinDescriptor(const PCFILTER_DESCRIPTOR* descriptor, ULONG pinId);
ULONG PcPinInstanceCount(IPcSubdevice* port, ULONG pinId);
ULONG PcPinInstanceLimit(const PCPIN_DESCRIPTOR* pin);

// ---- stream IRPs (PinStreaming.cpp) ----

// IOCTL_KS_WRITE_STREAM / IOCTL_KS_READ_STREAM: checks the headers and queues the IRP
// (STATUS_PENDING, cancellable), or completes it at once; returns what the dispatch returns.
NTSTATUS PcWavePinStreamIrp(PcWavePin* pin, PIRP irp, bool write);
// Render, under the pin's lock at DISPATCH_LEVEL: copies up to `bytes` of the queued IRPs' data
// into the block at `destination`; IRPs fully copied move to `done`. Returns the bytes copied.
ULONG PcWavePinTakeIrpBytes(PcWavePin* pin, PUCHAR destination, ULONG bytes, std::vector<PIRP>* done);
// Capture, under the pin's lock: moves captured bytes waiting in Client into the queued IRPs;
// IRPs filled move to `done`.
VOID PcWavePinFillIrps(PcWavePin* pin, std::vector<PIRP>* done);
// Completes IRPs taken from the queue (never under the pin's lock).
VOID PcWavePinCompleteIrps(std::vector<PIRP>& done);
// Completes every queued IRP with STATUS_CANCELLED and the bytes it got so far, and waits until
// a cancellation already running has completed its IRP. PASSIVE_LEVEL.
VOID PcWavePinCancelIrps(PcWavePin* pin);
// Render bytes of the queued IRPs not yet copied into the block.
ULONG PcWavePinIrpBytesLeft(PcWavePin* pin);

// ---- KS requests on pin file objects (PinKs.cpp) ----

// Whether the file object is a pin instance made by PcDispatchPinCreate.
bool PcIsPinFile(PFILE_OBJECT file);
// IRP_MJ_CREATE relative to a filter's file object; IRP_MJ_CLOSE and IRP_MJ_DEVICE_CONTROL on a
// pin's. Each completes the IRP (or queues it) and returns the dispatch status.
NTSTATUS PcDispatchPinCreate(PIRP irp, PFILE_OBJECT file);
NTSTATUS PcDispatchPinClose(PIRP irp, PFILE_OBJECT file);
NTSTATUS PcDispatchPinControl(PIRP irp, PFILE_OBJECT file);
// KSPROPSETID_Pin requests on a filter; STATUS_NOT_FOUND for ids the port leaves to the tables.
NTSTATUS PcFilterPinProperty(IPcSubdevice* port, const void* input, ULONG inputSize, void* value, ULONG* valueSize);

}  // namespace platform

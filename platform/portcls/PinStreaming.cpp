// Stream IRPs of a WaveCyclic pin: IOCTL_KS_WRITE_STREAM and IOCTL_KS_READ_STREAM with their
// KSSTREAM_HEADERs. They wait in the pin's queue (cancellable) while the pin's service copies
// their data into the cyclic buffer (render) or fills them from it (capture), and complete with
// their bytes once done; stopping or closing the pin completes what is left with
// STATUS_CANCELLED.
#include <algorithm>
#include <cstring>

#include "platform/nt/Irql.h"
#include "platform/portcls/WavePinInternal.h"

namespace platform {
namespace {

// DriverContext of a queued stream IRP.
constexpr int kContextPin = 0;
constexpr int kContextHeader = 1;  // byte offset of the current header in UserBuffer
constexpr int kContextInHeader = 2;  // bytes of the current header done
constexpr int kContextTotal = 3;   // bytes of the IRP done

ULONG_PTR& Context(PIRP irp, int slot) { return reinterpret_cast<ULONG_PTR&>(irp->Tail.Overlay.DriverContext[slot]); }

ULONG HeaderBytes(PIRP irp) { return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength; }

// The client's memory may change under a queued IRP: a header read back is trusted no further
// than the checks made at queueing (a size that shrank ends the IRP, counts never run backwards).
KSSTREAM_HEADER ReadHeader(PIRP irp, ULONG offset)
{
    const ULONG rest = HeaderBytes(irp) - offset;
    KSSTREAM_HEADER h{};
    if (rest < sizeof h) {
        h.Size = rest;
        return h;
    }
    std::memcpy(&h, static_cast<const UCHAR*>(irp->UserBuffer) + offset, sizeof h);
    if (h.Size < sizeof(KSSTREAM_HEADER) || h.Size > rest) h.Size = rest;
    return h;
}

ULONG Left(ULONG count, ULONG done) { return count > done ? count - done : 0; }

void Dequeued(PcWavePin* pin)
{
    if (pin->Irps.empty()) KeSetEvent(&pin->NoIrps, IO_NO_INCREMENT, FALSE);
}

// The IRP at the head of the queue has had all its headers: it leaves the queue for completion,
// unless a cancellation has already claimed it (that routine then finds it in the queue).
bool FinishHead(PcWavePin* pin, std::vector<PIRP>* done)
{
    PIRP irp = pin->Irps.front();
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) return false;
    pin->Irps.pop_front();
    Dequeued(pin);
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = Context(irp, kContextTotal);
    done->push_back(irp);
    return true;
}

VOID CancelStreamIrp(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* pin = reinterpret_cast<PcWavePin*>(Context(irp, kContextPin));
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(pin->Lock);
        auto it = std::find(pin->Irps.begin(), pin->Irps.end(), irp);
        if (it != pin->Irps.end()) {
            pin->Irps.erase(it);
            found = true;
        }
        // The pin may go as soon as its queue is empty: nothing of it is touched below.
        Dequeued(pin);
    }
    if (found) {
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = Context(irp, kContextTotal);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

// The headers lie within the request and each names a buffer for its bytes; *bytes gets the
// IRP's total (render: DataUsed; capture: FrameExtent).
NTSTATUS CheckHeaders(PIRP irp, bool write, ULONGLONG* bytes)
{
    const ULONG length = HeaderBytes(irp);
    if (irp->UserBuffer == nullptr || length < sizeof(KSSTREAM_HEADER)) return STATUS_INVALID_PARAMETER;
    *bytes = 0;
    for (ULONG offset = 0; offset < length;) {
        if (length - offset < sizeof(KSSTREAM_HEADER)) return STATUS_INVALID_PARAMETER;
        KSSTREAM_HEADER h;
        std::memcpy(&h, static_cast<const UCHAR*>(irp->UserBuffer) + offset, sizeof h);
        if (h.Size < sizeof(KSSTREAM_HEADER) || h.Size > length - offset) return STATUS_INVALID_PARAMETER;
        const ULONG n = write ? h.DataUsed : h.FrameExtent;
        if (n != 0 && h.Data == nullptr) return STATUS_INVALID_PARAMETER;
        *bytes += n;
        offset += h.Size;
    }
    return *bytes > 0xFFFFFFFFull ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS;
}

void ClearDataUsed(PIRP irp)
{
    const ULONG length = HeaderBytes(irp);
    for (ULONG offset = 0; offset < length;) {
        const KSSTREAM_HEADER h = ReadHeader(irp, offset);
        const ULONG zero = 0;
        std::memcpy(static_cast<UCHAR*>(irp->UserBuffer) + offset + offsetof(KSSTREAM_HEADER, DataUsed), &zero,
                    sizeof zero);
        offset += h.Size;
    }
}

NTSTATUS CompleteNow(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

NTSTATUS PcWavePinStreamIrp(PcWavePin* pin, PIRP irp, bool write)
{
    if (write == (pin->Capture != FALSE)) return CompleteNow(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    ULONGLONG bytes = 0;
    const NTSTATUS status = CheckHeaders(irp, write, &bytes);
    if (!NT_SUCCESS(status)) return CompleteNow(irp, status, 0);
    if (!write) ClearDataUsed(irp);
    if (bytes == 0) return CompleteNow(irp, STATUS_SUCCESS, 0);
    Context(irp, kContextPin) = reinterpret_cast<ULONG_PTR>(pin);
    Context(irp, kContextHeader) = 0;
    Context(irp, kContextInHeader) = 0;
    Context(irp, kContextTotal) = 0;
    IoMarkIrpPending(irp);
    std::vector<PIRP> done;
    bool cancelled = false;
    {
        std::lock_guard<std::mutex> guard(pin->Lock);
        IoSetCancelRoutine(irp, CancelStreamIrp);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            cancelled = true;
        } else {
            pin->Irps.push_back(irp);
            KeClearEvent(&pin->NoIrps);
            // Captured bytes may already wait for a buffer.
            if (!write) PcWavePinFillIrps(pin, &done);
        }
    }
    if (cancelled) {
        irp->IoStatus.Status = STATUS_CANCELLED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    PcWavePinCompleteIrps(done);
    return STATUS_PENDING;
}

ULONG PcWavePinTakeIrpBytes(PcWavePin* pin, PUCHAR destination, ULONG bytes, std::vector<PIRP>* done)
{
    ULONG copied = 0;
    while (copied < bytes && !pin->Irps.empty()) {
        PIRP irp = pin->Irps.front();
        const ULONG length = HeaderBytes(irp);
        ULONG offset = static_cast<ULONG>(Context(irp, kContextHeader));
        ULONG inHeader = static_cast<ULONG>(Context(irp, kContextInHeader));
        if (offset < length) {
            const KSSTREAM_HEADER h = ReadHeader(irp, offset);
            const ULONG n = std::min(Left(h.DataUsed, inHeader), bytes - copied);
            if (n != 0) {
                pin->Dma->CopyTo(destination + copied, static_cast<PUCHAR>(h.Data) + inHeader, n);
                copied += n;
                inHeader += n;
                Context(irp, kContextTotal) += n;
            }
            if (inHeader >= h.DataUsed) {
                offset += h.Size;
                inHeader = 0;
            }
            Context(irp, kContextHeader) = offset;
            Context(irp, kContextInHeader) = inHeader;
        }
        if (offset >= length && !FinishHead(pin, done)) break;
    }
    return copied;
}

VOID PcWavePinFillIrps(PcWavePin* pin, std::vector<PIRP>* done)
{
    while (!pin->Irps.empty()) {
        PIRP irp = pin->Irps.front();
        const ULONG length = HeaderBytes(irp);
        ULONG offset = static_cast<ULONG>(Context(irp, kContextHeader));
        ULONG inHeader = static_cast<ULONG>(Context(irp, kContextInHeader));
        if (offset < length) {
            if (pin->Client.empty()) return;
            const KSSTREAM_HEADER h = ReadHeader(irp, offset);
            const ULONG n = std::min<ULONG>(Left(h.FrameExtent, inHeader), static_cast<ULONG>(pin->Client.size()));
            std::copy_n(pin->Client.begin(), n, static_cast<PUCHAR>(h.Data) + inHeader);
            pin->Client.erase(pin->Client.begin(), pin->Client.begin() + n);
            inHeader += n;
            Context(irp, kContextTotal) += n;
            if (length - offset >= sizeof(KSSTREAM_HEADER)) {
                std::memcpy(static_cast<UCHAR*>(irp->UserBuffer) + offset + offsetof(KSSTREAM_HEADER, DataUsed),
                            &inHeader, sizeof inHeader);
            }
            if (inHeader >= h.FrameExtent) {
                offset += h.Size;
                inHeader = 0;
            }
            Context(irp, kContextHeader) = offset;
            Context(irp, kContextInHeader) = inHeader;
        }
        if (offset >= length && !FinishHead(pin, done)) return;
    }
}

VOID PcWavePinCompleteIrps(std::vector<PIRP>& done)
{
    for (PIRP irp : done) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    done.clear();
}

VOID PcWavePinCancelIrps(PcWavePin* pin)
{
    IrqlCheckAtMost(PASSIVE_LEVEL, "PcWavePinCancelIrps");
    std::vector<PIRP> done;
    {
        std::lock_guard<std::mutex> guard(pin->Lock);
        std::deque<PIRP> claimed;
        for (PIRP irp : pin->Irps) {
            if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
                irp->IoStatus.Status = STATUS_CANCELLED;
                irp->IoStatus.Information = Context(irp, kContextTotal);
                done.push_back(irp);
            } else {
                claimed.push_back(irp);  // its cancel routine is on the way
            }
        }
        pin->Irps.swap(claimed);
        Dequeued(pin);
    }
    PcWavePinCompleteIrps(done);
    // A cancel routine already running only waits for the pin's lock before it takes its IRP out
    // of the queue, so this wait is short.
    KeWaitForSingleObject(&pin->NoIrps, Executive, KernelMode, FALSE, nullptr);
}

ULONG PcWavePinIrpBytesLeft(PcWavePin* pin)
{
    ULONGLONG left = 0;
    for (PIRP irp : pin->Irps) {
        const ULONG length = HeaderBytes(irp);
        ULONG inHeader = static_cast<ULONG>(Context(irp, kContextInHeader));
        for (ULONG offset = static_cast<ULONG>(Context(irp, kContextHeader)); offset < length;) {
            const KSSTREAM_HEADER h = ReadHeader(irp, offset);
            left += Left(h.DataUsed, inHeader);
            inHeader = 0;
            offset += h.Size;
        }
    }
    return static_cast<ULONG>(std::min<ULONGLONG>(left, 0xFFFFFFFFull));
}

}  // namespace platform

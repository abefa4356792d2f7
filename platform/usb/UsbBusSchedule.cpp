// The frame schedule of the stand-in's bus: accepted requests queued by due time on the virtual
// clock, completed from a timer DPC at DISPATCH_LEVEL (optionally shared with a second processor),
// what the device answers for each kind of transfer, cancellation and failure of what is pending.
// Locking as in UsbBus.cpp.
#include "platform/usb/UsbBus.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/nt/Clock.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Pool.h"
#include "platform/nt/Sync.h"
#include "platform/nt/Time.h"
#include "platform/nt/WorkItem.h"
#include "platform/io/IoHost.h"
#include "platform/usb/UsbBusInternal.h"

namespace platform::usb {

using detail::BusOf;
using detail::SetupOf;
using detail::TransferBuffer;

namespace {

// A well-mixed 64-bit value of (seed, slot): the jitter of one interrupt, the same every run.
uint64_t Mix(uint64_t seed, uint64_t slot)
{
    uint64_t z = seed * 0x9E3779B97F4A7C15ull + slot;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

// When the completion of a transfer whose last frame ends at `due` reaches the driver: at once,
// or with moderation at the next interrupt (every n frames), plus the interrupt's jitter.
// Called with the lock held.
int64_t UsbBus::InterruptTime(int64_t due)
{
    const int64_t ms = platform::TICKS_PER_MS;
    const int64_t n = std::max<int64_t>(m_framesPerInterrupt, m_latencyMs);
    int64_t at = due;
    if (n > 1) {
        const int64_t frame = (due + ms - 1) / ms;
        at = (frame + n - 1) / n * n * ms;
    }
    if (m_jitterTicks > 0) {
        at += static_cast<int64_t>(Mix(m_jitterSeed, static_cast<uint64_t>(at)) % static_cast<uint64_t>(m_jitterTicks + 1));
    }
    return at;
}

NTSTATUS UsbBus::Queue(PIRP irp, Entry entry)
{
    entry.Irp = irp;
    if (entry.Kind != Work::Idle) {
        entry.Urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    }
    IoMarkIrpPending(irp);
    bool cancelNow = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        entry.Sequence = m_sequence++;
        auto at = std::upper_bound(m_queue.begin(), m_queue.end(), entry, [](const Entry& a, const Entry& b) {
            return a.Due != b.Due ? a.Due < b.Due : a.Sequence < b.Sequence;
        });
        m_queue.insert(at, entry);
        IoSetCancelRoutine(irp, CancelRoutine);
        // Cancelled before the routine was in place: complete it here unless the routine runs.
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            m_queue.erase(std::find_if(m_queue.begin(), m_queue.end(), [irp](const Entry& e) { return e.Irp == irp; }));
            cancelNow = true;
        }
    }
    if (cancelNow) {
        Complete(irp, entry.Urb, USBD_STATUS_CANCELED, STATUS_CANCELLED, 0);
    } else {
        Arm();
    }
    return STATUS_PENDING;
}

void UsbBus::Arm()
{
    // Under the lock, so that the destructor's cancel comes after any arming.
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_deleting) {
        return;
    }
    for (const Entry& e : m_queue) {
        if (e.Held) {
            continue;
        }
        const int64_t wait = e.Due - platform::ClockNow();
        if (wait <= 0) {
            KeInsertQueueDpc(&m_dpc, nullptr, nullptr);
        } else {
            LARGE_INTEGER relative;
            relative.QuadPart = -wait;
            KeSetTimer(&m_timer, relative, &m_dpc);
        }
        return;
    }
}

VOID UsbBus::DpcRoutine(KDPC*, PVOID context, PVOID, PVOID) { static_cast<UsbBus*>(context)->RunDue(); }

// A host controller does each transfer in its frames and tells the driver at its interrupt: the
// device side of what is due runs now, in frame order; each completion reaches the driver at its
// interrupt time, in the order the transfers were done.
void UsbBus::RunDue()
{
    std::vector<Entry> due;
    int64_t now;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        now = platform::ClockNow();
        for (auto it = m_queue.begin(); it != m_queue.end();) {
            // Later, held, or being cancelled (the cancel routine takes it); a finished transfer
            // has no cancel routine any more.
            if (!it->Held && it->Due <= now && (it->Finished || IoSetCancelRoutine(it->Irp, nullptr) != nullptr)) {
                due.push_back(*it);
                it = m_queue.erase(it);
            } else {
                ++it;
            }
        }
    }
    std::vector<Entry> ready;
    std::vector<Entry> finished;
    for (Entry& e : due) {
        if (e.Finished) {
            ready.push_back(e);
        } else if (Exchange(e)) {
            finished.push_back(e);
        }
    }
    bool queue = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (Entry& e : finished) {
            e.Finished = true;
            e.Due = m_lastInterrupt = std::max(InterruptTime(e.Due), m_lastInterrupt);
            if (e.Due <= now || !m_connected) {
                ready.push_back(e);
            } else {
                auto at = std::upper_bound(m_queue.begin(), m_queue.end(), e, [](const Entry& a, const Entry& b) {
                    return a.Due != b.Due ? a.Due < b.Due : a.Sequence < b.Sequence;
                });
                m_queue.insert(at, e);
            }
        }
        std::stable_sort(ready.begin(), ready.end(), [](const Entry& a, const Entry& b) {
            return a.Due != b.Due ? a.Due < b.Due : a.Sequence < b.Sequence;
        });
        if (ready.size() > 1 && m_twoProcessors) {
            // The second processor takes every other completion and runs beside this one.
            std::vector<Entry> mine;
            for (size_t i = 0; i < ready.size(); ++i) {
                (i % 2 == 0 ? mine : m_other).push_back(ready[i]);
            }
            ready.swap(mine);
            queue = true;
        }
    }
    if (queue) {
        KeSetTargetProcessorDpc(&m_otherDpc, static_cast<CHAR>((KeGetCurrentProcessorNumber() + 1) % 2));
        KeInsertQueueDpc(&m_otherDpc, nullptr, nullptr);
    }
    for (Entry& e : ready) {
        Complete(e.Irp, e.Urb, e.Result, e.ResultStatus, 0);
    }
    Arm();
}

VOID UsbBus::OtherDpcRoutine(KDPC*, PVOID context, PVOID, PVOID)
{
    auto* bus = static_cast<UsbBus*>(context);
    std::vector<Entry> share;
    {
        std::lock_guard<std::mutex> guard(bus->m_lock);
        share.swap(bus->m_other);
    }
    for (Entry& e : share) {
        bus->Complete(e.Irp, e.Urb, e.Result, e.ResultStatus, 0);
    }
}

// Puts a request that the device keeps back into the queue, cancellable.
void UsbBus::Hold(Entry& entry)
{
    entry.Held = true;
    entry.Due = INT64_MAX;  // held entries sort last
    bool cancelNow = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_connected) {
            cancelNow = true;
        } else {
            entry.Sequence = m_sequence++;
            m_queue.push_back(entry);
            IoSetCancelRoutine(entry.Irp, CancelRoutine);
            if (entry.Irp->Cancel && IoSetCancelRoutine(entry.Irp, nullptr) != nullptr) {
                m_queue.pop_back();
                cancelNow = true;
            }
        }
    }
    if (cancelNow) {
        const bool gone = !Connected();
        Complete(entry.Irp, entry.Urb, gone ? USBD_STATUS_DEVICE_GONE : USBD_STATUS_CANCELED,
                 gone ? STATUS_DEVICE_NOT_CONNECTED : STATUS_CANCELLED, 0);
    }
}

bool UsbBus::Exchange(Entry& e)
{
    switch (e.Kind) {
    case Work::Control: return ExchangeControl(e);
    case Work::BulkOrInterrupt: return ExchangeBulk(e);
    case Work::Isochronous: return ExchangeIsochronous(e);
    default: return Finished(e, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }
}

bool UsbBus::Finished(Entry& e, USBD_STATUS usbd, NTSTATUS status)
{
    e.Result = usbd;
    e.ResultStatus = status;
    return true;
}

bool UsbBus::ExchangeControl(Entry& e)
{
    PURB urb = e.Urb;
    auto& t = urb->UrbControlVendorClassRequest;
    const USB_DEFAULT_PIPE_SETUP_PACKET setup = SetupOf(urb);
    UCHAR* buffer = TransferBuffer(t.TransferBuffer, t.TransferBufferMDL);
    const ULONG length = t.TransferBufferLength;
    const UsbTransferResult r = m_model->Control(setup, buffer, length);
    switch (r.Outcome) {
    case UsbTransferResult::Kind::Pending: Hold(e); return false;
    case UsbTransferResult::Kind::Done:
        t.TransferBufferLength = std::min(r.Length, length);
        return Finished(e, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    case UsbTransferResult::Kind::Stall:
        t.TransferBufferLength = 0;
        return Finished(e, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
    case UsbTransferResult::Kind::Error:
        t.TransferBufferLength = 0;
        return Finished(e, r.Status, UsbdStatusToNtStatus(r.Status));
    }
    return Finished(e, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
}

bool UsbBus::ExchangeBulk(Entry& e)
{
    auto& t = e.Urb->UrbBulkOrInterruptTransfer;
    const ULONG length = t.TransferBufferLength;
    const UsbTransferResult r =
        m_model->BulkOrInterrupt(e.PipeCopy.EndpointAddress, TransferBuffer(t.TransferBuffer, t.TransferBufferMDL), length);
    switch (r.Outcome) {
    case UsbTransferResult::Kind::Pending: Hold(e); return false;
    case UsbTransferResult::Kind::Done:
        t.TransferBufferLength = std::min(r.Length, length);
        return Finished(e, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    case UsbTransferResult::Kind::Stall: {
        std::lock_guard<std::mutex> guard(m_lock);
        if (Pipe* pipe = FindPipe(e.PipeCopy.Handle)) {
            pipe->Halted = true;
        }
    }
        [[fallthrough]];
    case UsbTransferResult::Kind::Error: {
        const USBD_STATUS s = r.Outcome == UsbTransferResult::Kind::Stall ? USBD_STATUS_STALL_PID : r.Status;
        t.TransferBufferLength = 0;
        return Finished(e, s, UsbdStatusToNtStatus(s));
    }
    }
    return Finished(e, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
}

bool UsbBus::ExchangeIsochronous(Entry& e)
{
    auto& t = e.Urb->UrbIsochronousTransfer;
    UCHAR* buffer = TransferBuffer(t.TransferBuffer, t.TransferBufferMDL);
    const UCHAR endpoint = e.PipeCopy.EndpointAddress;
    const bool in = USB_ENDPOINT_DIRECTION_IN(endpoint);
    USBD_ISO_PACKET_DESCRIPTOR* packet = t.IsoPacket;
    if (e.GapFrames > 0) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_emptyFrames[endpoint] += e.GapFrames;
        }
        m_model->IsochronousGap(endpoint, static_cast<ULONG>(e.GapFrom), static_cast<ULONG>(e.GapFrames));
    }
    const ULONG frames = t.NumberOfPackets / e.PacketsPerFrame;
    const UsbIsochronousUrbFault fault = m_model->IsochronousUrbFault(endpoint, static_cast<ULONG>(e.StartFrame), frames);
    if (fault.Unplug) {
        Unplug();
        for (ULONG i = 0; i < t.NumberOfPackets; ++i) {
            packet[i].Status = USBD_STATUS_DEVICE_GONE;
            packet[i].Length = 0;
        }
        t.ErrorCount = t.NumberOfPackets;
        return Finished(e, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
        return false;
    }
    if (!USBD_SUCCESS(fault.UrbStatus)) {
        for (ULONG i = 0; i < t.NumberOfPackets; ++i) {
            packet[i].Status = fault.UrbStatus;
            packet[i].Length = 0;
        }
        t.ErrorCount = t.NumberOfPackets;
        if (in) {
            t.TransferBufferLength = 0;
        }
        const NTSTATUS irpStatus = NT_SUCCESS(fault.IrpStatus) ? UsbdStatusToNtStatus(fault.UrbStatus) : fault.IrpStatus;
        return Finished(e, fault.UrbStatus, irpStatus);
    }
    ULONG errors = 0;
    ULONG total = 0;
    bool stalled = false;
    for (ULONG i = 0; i < t.NumberOfPackets; ++i) {
        const ULONG end = i + 1 < t.NumberOfPackets ? packet[i + 1].Offset : t.TransferBufferLength;
        const ULONG room = end - packet[i].Offset;
        const auto frame = static_cast<ULONG>(e.StartFrame + i / e.PacketsPerFrame);
        const ULONG microframe = (i % e.PacketsPerFrame) * (8 / e.PacketsPerFrame);
        USBD_STATUS s;
        if (in) {
            ULONG actual = 0;
            const ULONG space = std::min(room, e.PipeCopy.MaxPacket);
            s = m_model->IsochronousIn(endpoint, frame, microframe, buffer + packet[i].Offset, space, &actual);
            if (USBD_SUCCESS(s) && actual > space) {
                // The device sent more than the packet may hold: what fit is kept, the packet failed.
                s = actual > e.PipeCopy.MaxPacket ? USBD_STATUS_BABBLE_DETECTED : USBD_STATUS_BUFFER_OVERRUN;
                actual = space;
            }
            packet[i].Length = USBD_SUCCESS(s) || s == USBD_STATUS_BABBLE_DETECTED || s == USBD_STATUS_BUFFER_OVERRUN
                                   ? std::min(actual, space)
                                   : 0;
            total += packet[i].Length;
        } else {
            s = m_model->IsochronousOut(endpoint, frame, microframe, buffer + packet[i].Offset, room);
            packet[i].Length = 0;
        }
        packet[i].Status = s;
        errors += USBD_SUCCESS(s) ? 0 : 1;
        stalled = stalled || s == USBD_STATUS_STALL_PID;
    }
    t.ErrorCount = errors;
    if (in) {
        t.TransferBufferLength = total;
    }
    if (stalled) {
        // A stalled endpoint halts its pipe until SYNC_RESET_PIPE_AND_CLEAR_STALL or a new selection.
        std::lock_guard<std::mutex> guard(m_lock);
        if (Pipe* pipe = FindPipe(e.PipeCopy.Handle)) {
            pipe->Halted = true;
        }
    }
    if (errors == t.NumberOfPackets) {
        return Finished(e, USBD_STATUS_ISOCH_REQUEST_FAILED, STATUS_UNSUCCESSFUL);
    } else if (!NT_SUCCESS(fault.IrpStatus)) {
        return Finished(e, USBD_STATUS_SUCCESS, fault.IrpStatus);
    } else {
        return Finished(e, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }
}

VOID UsbBus::CancelRoutine(PDEVICE_OBJECT device, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    UsbBus* bus = BusOf(device);
    bool found = false;
    PURB urb = nullptr;
    {
        std::lock_guard<std::mutex> guard(bus->m_lock);
        auto it = std::find_if(bus->m_queue.begin(), bus->m_queue.end(), [irp](const Entry& e) { return e.Irp == irp; });
        if (it != bus->m_queue.end()) {
            urb = it->Urb;
            bus->m_queue.erase(it);
            found = true;
        }
    }
    if (found) {
        bus->Complete(irp, urb, USBD_STATUS_CANCELED, STATUS_CANCELLED, 0);
    }
}

void UsbBus::FailAllPending(USBD_STATUS usbd, NTSTATUS status)
{
    std::vector<Entry> failed;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto it = m_queue.begin(); it != m_queue.end();) {
            if (it->Finished || IoSetCancelRoutine(it->Irp, nullptr) != nullptr) {
                failed.push_back(*it);
                it = m_queue.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Entry& e : failed) {
        Complete(e.Irp, e.Urb, usbd, status, 0);
    }
}

void UsbBus::CancelInterfaceTransfers(UCHAR interfaceNumber)
{
    std::vector<Entry> cancelled;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto it = m_queue.begin(); it != m_queue.end();) {
            if ((it->Kind == Work::Isochronous || it->Kind == Work::BulkOrInterrupt) &&
                it->PipeCopy.Interface == interfaceNumber && IoSetCancelRoutine(it->Irp, nullptr) != nullptr) {
                cancelled.push_back(*it);
                it = m_queue.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Entry& e : cancelled) {
        Complete(e.Irp, e.Urb, USBD_STATUS_CANCELED, STATUS_CANCELLED, 0);
    }
}

void UsbBus::Complete(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status, ULONG_PTR information)
{
    if (urb == nullptr && DeferIdleCompletion(irp, status)) {
        return;  // an idle request whose callback runs completes when the callback returns
    }
    if (urb != nullptr) {
        urb->UrbHeader.Status = usbd;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    // A host controller completes from its interrupt DPC: completion routines see DISPATCH_LEVEL.
    KIRQL old = KeGetCurrentIrql();
    const bool raise = old < DISPATCH_LEVEL;
    if (raise) {
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (raise) {
        KeLowerIrql(old);
    }
}

}  // namespace platform::usb

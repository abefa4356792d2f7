// Pin instances of WaveCyclic filters: the data format checked against the request, the pin's
// instance limits, the stream from the miniport, its state walked one level at a time, and the
// service that moves client data between the client and the cyclic buffer.
#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>

#include "platform/nt/Dpc.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Pool.h"
#include "platform/portcls/PortClsHost.h"
#include "platform/portcls/PortClsInternal.h"
#include "platform/portcls/WavePinInternal.h"

namespace platform {

constexpr ULONG kWavePinTag = MakePoolTag("PcPn");

namespace {

std::mutex g_instanceLock;
struct InstanceCount {
    IPcSubdevice* Port;
    ULONG PinId;
    ULONG Count;
};
InstanceCount g_instances[64];

ULONG* InstancesOf(IPcSubdevice* port, ULONG pinId, bool create)
{
    for (InstanceCount& c : g_instances) {
        if (c.Port == port && c.PinId == pinId) return &c.Count;
    }
    if (!create) return nullptr;
    for (InstanceCount& c : g_instances) {
        if (c.Port == nullptr) {
            c = {port, pinId, 0};
            return &c.Count;
        }
    }
    return nullptr;
}

void ForgetInstance(IPcSubdevice* port, ULONG pinId)
{
    std::lock_guard<std::mutex> guard(g_instanceLock);
    for (InstanceCount& c : g_instances) {
        if (c.Port == port && c.PinId == pinId && --c.Count == 0) c.Port = nullptr;
    }
}

constexpr ULONG AlignUp8(ULONG v) { return (v + 7u) & ~7u; }

// Fills the block from the running offset `FilledOffset` up to `target`: client bytes where the
// client has them (bytes written directly first, then the stream IRPs' buffers), silence
// elsewhere. Under the pin's lock, at DISPATCH_LEVEL.
void FillTo(PcWavePin* pin, ULONGLONG target, std::vector<PIRP>* done)
{
    const ULONG size = pin->Dma->AllocatedBufferSize();
    auto* block = static_cast<PUCHAR>(pin->Dma->SystemAddress());
    if (size == 0 || block == nullptr) return;
    UCHAR chunk[512];
    while (pin->FilledOffset < target) {
        const ULONG at = static_cast<ULONG>(pin->FilledOffset % size);
        ULONG n = static_cast<ULONG>(std::min<ULONGLONG>(target - pin->FilledOffset, size - at));
        if (!pin->Client.empty()) {
            n = std::min<ULONG>({n, static_cast<ULONG>(pin->Client.size()), static_cast<ULONG>(sizeof chunk)});
            std::copy_n(pin->Client.begin(), n, chunk);
            pin->Client.erase(pin->Client.begin(), pin->Client.begin() + n);
            pin->Dma->CopyTo(block + at, chunk, n);
            pin->WriteOffset += n;
        } else if (const ULONG taken = PcWavePinTakeIrpBytes(pin, block + at, n, done); taken != 0) {
            n = taken;
            pin->WriteOffset += n;
        } else {
            pin->Stream->Silence(block + at, n);
        }
        pin->FilledOffset += n;
    }
}

// Before RUN: silence over the block, then its first half from the client.
void PrepareRun(PcWavePin* pin)
{
    const ULONG size = pin->Dma->AllocatedBufferSize();
    auto* block = static_cast<PUCHAR>(pin->Dma->SystemAddress());
    if (size == 0 || block == nullptr) return;
    std::vector<PIRP> done;
    {
        std::lock_guard<std::mutex> guard(pin->Lock);
        pin->LastPosition = 0;
        pin->PlayOffset = 0;
        pin->FilledOffset = 0;
        if (pin->Capture) return;
        pin->Stream->Silence(block, size);
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        FillTo(pin, size / 2, &done);
        KeLowerIrql(irql);
    }
    PcWavePinCompleteIrps(done);
}

}  // namespace

NTSTATUS PcCheckDataFormat(const void* format, ULONG length)
{
    if (format == nullptr || length < sizeof(KSDATAFORMAT)) return STATUS_INVALID_PARAMETER;
    KSDATAFORMAT header;
    std::memcpy(&header, format, sizeof header);
    if (header.FormatSize < sizeof(KSDATAFORMAT) || header.FormatSize > length) return STATUS_INVALID_PARAMETER;
    if ((header.Flags & KSDATAFORMAT_ATTRIBUTES) != 0) {
        const ULONG offset = AlignUp8(header.FormatSize);
        if (offset < header.FormatSize || offset > length || length - offset < sizeof(KSMULTIPLE_ITEM)) {
            return STATUS_INVALID_PARAMETER;
        }
        KSMULTIPLE_ITEM list;
        std::memcpy(&list, static_cast<const UCHAR*>(format) + offset, sizeof list);
        if (list.Size < sizeof(KSMULTIPLE_ITEM) || list.Size > length - offset) return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

const PCPIN_DESCRIPTOR* PcPinDescriptor(const PCFILTER_DESCRIPTOR* descriptor, ULONG pinId)
{
    if (descriptor == nullptr || pinId >= descriptor->PinCount || descriptor->Pins == nullptr) return nullptr;
    const ULONG stride = descriptor->PinSize != 0 ? descriptor->PinSize : sizeof(PCPIN_DESCRIPTOR);
    return reinterpret_cast<const PCPIN_DESCRIPTOR*>(reinterpret_cast<const UCHAR*>(descriptor->Pins) +
                                                     static_cast<size_t>(pinId) * stride);
}

ULONG PcPinInstanceLimit(const PCPIN_DESCRIPTOR* pin)
{
    return std::min(pin->MaxFilterInstanceCount, pin->MaxGlobalInstanceCount);
}

ULONG PcPinInstanceCount(IPcSubdevice* port, ULONG pinId)
{
    std::lock_guard<std::mutex> guard(g_instanceLock);
    const ULONG* count = InstancesOf(port, pinId, false);
    return count == nullptr ? 0 : *count;
}

VOID WavePinSink::RequestService()
{
    PcWavePin* pin = Pin;
    ULONG position = 0;
    pin->Stream->GetPosition(&position);
    const ULONG size = pin->Dma->AllocatedBufferSize();
    if (size == 0) return;
    std::vector<PIRP> done;
    {
        std::lock_guard<std::mutex> guard(pin->Lock);
        pin->PlayOffset += (position + size - pin->LastPosition) % size;
        pin->LastPosition = position;
        if (!pin->Capture) {
            // Up to half a block ahead of the position.
            FillTo(pin, pin->PlayOffset + size / 2, &done);
        } else {
            // Capture: what lies behind the position goes to the client.
            auto* block = static_cast<PUCHAR>(pin->Dma->SystemAddress());
            UCHAR chunk[512];
            while (block != nullptr && pin->FilledOffset < pin->PlayOffset) {
                const ULONG at = static_cast<ULONG>(pin->FilledOffset % size);
                const ULONG n = static_cast<ULONG>(
                    std::min<ULONGLONG>({pin->PlayOffset - pin->FilledOffset, size - at, sizeof chunk}));
                pin->Dma->CopyFrom(chunk, block + at, n);
                pin->Client.insert(pin->Client.end(), chunk, chunk + n);
                pin->FilledOffset += n;
                pin->WriteOffset += n;
            }
            PcWavePinFillIrps(pin, &done);
        }
    }
    PcWavePinCompleteIrps(done);
}

NTSTATUS PcCreateWavePin(PUNKNOWN port, ULONG pinId, const void* format, ULONG length, PcWavePin** pin)
{
    IrqlCheckAtMost(PASSIVE_LEVEL, "PcCreateWavePin");
    if (port == nullptr || pin == nullptr) return STATUS_INVALID_PARAMETER;
    *pin = nullptr;
    NTSTATUS status = PcCheckDataFormat(format, length);
    if (!NT_SUCCESS(status)) return status;
    PVOID raw = nullptr;
    if (!NT_SUCCESS(port->QueryInterface(IID_IPcSubdevice, &raw)) || raw == nullptr) return STATUS_INVALID_PARAMETER;
    auto* subdevice = static_cast<IPcSubdevice*>(raw);
    const PCFILTER_DESCRIPTOR* descriptor = subdevice->Descriptor();
    IMiniport* miniport = subdevice->Miniport();
    if (descriptor == nullptr || miniport == nullptr || !IsEqualGUID(subdevice->PortClass(), CLSID_PortWaveCyclic)) {
        subdevice->Release();
        return STATUS_INVALID_DEVICE_STATE;
    }
    const PCPIN_DESCRIPTOR* pinDescriptor = PcPinDescriptor(descriptor, pinId);
    if (pinDescriptor == nullptr) {
        subdevice->Release();
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG limit = PcPinInstanceLimit(pinDescriptor);
    {
        std::lock_guard<std::mutex> guard(g_instanceLock);
        ULONG* count = InstancesOf(subdevice, pinId, true);
        if (count == nullptr || *count >= limit) {
            subdevice->Release();
            return STATUS_DEVICE_BUSY;
        }
        ++*count;
    }
    auto* p = static_cast<PcWavePin*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(PcWavePin), kWavePinTag));
    if (p != nullptr) {
        p = new (p) PcWavePin();
    }
    PUCHAR copy = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, length, kWavePinTag));
    if (p == nullptr || copy == nullptr) {
        if (p != nullptr) {
            p->~PcWavePin();
            ExFreePoolWithTag(p, kWavePinTag);
        }
        if (copy != nullptr) ExFreePoolWithTag(copy, kWavePinTag);
        ForgetInstance(subdevice, pinId);
        subdevice->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(copy, format, length);
    KeInitializeEvent(&p->NoIrps, NotificationEvent, TRUE);
    p->Sink.Pin = p;
    p->Port = subdevice;
    p->PinId = pinId;
    p->State = KSSTATE_STOP;
    p->Format = copy;
    p->FormatLength = length;
    const BOOLEAN capture = pinDescriptor->KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT ? TRUE : FALSE;
    p->Capture = capture;
    auto* wave = static_cast<IMiniportWaveCyclic*>(miniport);
    status = wave->NewStream(&p->Stream, nullptr, NonPagedPoolNx, pinId, capture,
                             reinterpret_cast<PKSDATAFORMAT>(copy), &p->Dma, &p->Group);
    if (!NT_SUCCESS(status)) {
        PcWavePinClose(p);
        return status;
    }
    p->Group->AddMember(&p->Sink);
    *pin = p;
    return STATUS_SUCCESS;
}

NTSTATUS PcWavePinSetState(PcWavePin* pin, KSSTATE state)
{
    IrqlCheckAtMost(PASSIVE_LEVEL, "PcWavePinSetState");
    if (pin == nullptr || pin->Stream == nullptr || state < KSSTATE_STOP || state > KSSTATE_RUN) {
        return STATUS_INVALID_PARAMETER;
    }
    while (pin->State != state) {
        const auto next = static_cast<KSSTATE>(pin->State + (state > pin->State ? 1 : -1));
        if (next == KSSTATE_RUN) {
            PrepareRun(pin);
        }
        const NTSTATUS status = pin->Stream->SetState(next);
        if (!NT_SUCCESS(status)) return status;
        pin->State = next;
        if (next == KSSTATE_STOP) {
            // A stopped pin holds no client buffers.
            PcWavePinCancelIrps(pin);
        }
    }
    return STATUS_SUCCESS;
}

KSSTATE PcWavePinGetState(const PcWavePin* pin) { return pin->State; }
PMINIPORTWAVECYCLICSTREAM PcWavePinStream(const PcWavePin* pin) { return pin->Stream; }
PDMACHANNEL PcWavePinDmaChannel(const PcWavePin* pin) { return pin->Dma; }

VOID PcWavePinClose(PcWavePin* pin)
{
    if (pin == nullptr) return;
    if (pin->Stream != nullptr) {
        // A failing step is left to the stream's own teardown, which forces the state down.
        PcWavePinSetState(pin, KSSTATE_STOP);
    }
    if (pin->Group != nullptr) {
        pin->Group->RemoveMember(&pin->Sink);
        // A service already running finishes before the pin goes.
        KeFlushQueuedDpcs();
    }
    PcWavePinCancelIrps(pin);
    if (pin->Dma != nullptr) pin->Dma->Release();
    if (pin->Group != nullptr) pin->Group->Release();
    if (pin->Stream != nullptr) pin->Stream->Release();
    ForgetInstance(pin->Port, pin->PinId);
    pin->Port->Release();
    ExFreePoolWithTag(pin->Format, kWavePinTag);
    pin->~PcWavePin();
    ExFreePoolWithTag(pin, kWavePinTag);
}

NTSTATUS PcWavePinWrite(PcWavePin* pin, const void* data, ULONG bytes)
{
    if (pin == nullptr || (data == nullptr && bytes != 0) || pin->Capture) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(pin->Lock);
    const auto* p = static_cast<const UCHAR*>(data);
    pin->Client.insert(pin->Client.end(), p, p + bytes);
    return STATUS_SUCCESS;
}

NTSTATUS PcWavePinRead(PcWavePin* pin, void* data, ULONG bytes, ULONG* read)
{
    if (pin == nullptr || read == nullptr || (data == nullptr && bytes != 0) || !pin->Capture) {
        return STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(pin->Lock);
    const ULONG n = std::min<ULONG>(bytes, static_cast<ULONG>(pin->Client.size()));
    std::copy_n(pin->Client.begin(), n, static_cast<UCHAR*>(data));
    pin->Client.erase(pin->Client.begin(), pin->Client.begin() + n);
    *read = n;
    return STATUS_SUCCESS;
}

ULONG PcWavePinQueued(PcWavePin* pin)
{
    std::lock_guard<std::mutex> guard(pin->Lock);
    return static_cast<ULONG>(pin->Client.size()) + (pin->Capture ? 0 : PcWavePinIrpBytesLeft(pin));
}

NTSTATUS PcWavePinGetPosition(PcWavePin* pin, ULONGLONG* playOffset, ULONGLONG* writeOffset)
{
    if (pin == nullptr || playOffset == nullptr || writeOffset == nullptr) return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> guard(pin->Lock);
    *playOffset = pin->PlayOffset;
    *writeOffset = pin->WriteOffset;
    return STATUS_SUCCESS;
}

}  // namespace platform

// Pin instances of WaveCyclic filters: the data format checked against the request, the pin's
// instance limits, the stream from the miniport, and its state walked one level at a time.
#include <cstring>
#include <mutex>
#include <new>

#include "platform/nt/Irql.h"
#include "platform/nt/Pool.h"
#include "platform/portcls/PortClsHost.h"
#include "platform/portcls/PortClsInternal.h"

namespace platform {

constexpr ULONG kWavePinTag = MakePoolTag("PcPn");

struct PcWavePin {
    IPcSubdevice* Port;  // with a reference
    ULONG PinId;
    KSSTATE State;
    PMINIPORTWAVECYCLICSTREAM Stream;
    PDMACHANNEL Dma;
    PSERVICEGROUP Group;
    PUCHAR Format;  // the caller's format, copied: NewStream may rewrite it
};

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

// The format and its attribute list lie within the request.
NTSTATUS CheckFormat(const void* format, ULONG length)
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

}  // namespace

NTSTATUS PcCreateWavePin(PUNKNOWN port, ULONG pinId, const void* format, ULONG length, PcWavePin** pin)
{
    IrqlCheckAtMost(PASSIVE_LEVEL, "PcCreateWavePin");
    if (port == nullptr || pin == nullptr) return STATUS_INVALID_PARAMETER;
    *pin = nullptr;
    NTSTATUS status = CheckFormat(format, length);
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
    if (pinId >= descriptor->PinCount) {
        subdevice->Release();
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG stride = descriptor->PinSize != 0 ? descriptor->PinSize : sizeof(PCPIN_DESCRIPTOR);
    const auto* pinDescriptor = reinterpret_cast<const PCPIN_DESCRIPTOR*>(
        reinterpret_cast<const UCHAR*>(descriptor->Pins) + static_cast<size_t>(pinId) * stride);
    const ULONG limit = pinDescriptor->MaxFilterInstanceCount < pinDescriptor->MaxGlobalInstanceCount
                            ? pinDescriptor->MaxFilterInstanceCount
                            : pinDescriptor->MaxGlobalInstanceCount;
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
    PUCHAR copy = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, length, kWavePinTag));
    if (p == nullptr || copy == nullptr) {
        if (p != nullptr) ExFreePoolWithTag(p, kWavePinTag);
        if (copy != nullptr) ExFreePoolWithTag(copy, kWavePinTag);
        ForgetInstance(subdevice, pinId);
        subdevice->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(p, 0, sizeof *p);
    std::memcpy(copy, format, length);
    p->Port = subdevice;
    p->PinId = pinId;
    p->State = KSSTATE_STOP;
    p->Format = copy;
    const BOOLEAN capture = pinDescriptor->KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT ? TRUE : FALSE;
    auto* wave = static_cast<IMiniportWaveCyclic*>(miniport);
    status = wave->NewStream(&p->Stream, nullptr, NonPagedPoolNx, pinId, capture,
                             reinterpret_cast<PKSDATAFORMAT>(copy), &p->Dma, &p->Group);
    if (!NT_SUCCESS(status)) {
        PcWavePinClose(p);
        return status;
    }
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
        const NTSTATUS status = pin->Stream->SetState(next);
        if (!NT_SUCCESS(status)) return status;
        pin->State = next;
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
    if (pin->Dma != nullptr) pin->Dma->Release();
    if (pin->Group != nullptr) pin->Group->Release();
    if (pin->Stream != nullptr) pin->Stream->Release();
    ForgetInstance(pin->Port, pin->PinId);
    pin->Port->Release();
    ExFreePoolWithTag(pin->Format, kWavePinTag);
    ExFreePoolWithTag(pin, kWavePinTag);
}

}  // namespace platform

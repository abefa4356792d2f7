#include "host/KsPin.h"

#include <cstring>

#include "platform/io/IoHost.h"
#include "platform/nt/Ob.h"

namespace host {

namespace {

constexpr ULONG AlignUp8(size_t v) { return static_cast<ULONG>((v + 7u) & ~size_t{7}); }

}  // namespace

std::vector<std::vector<uint8_t>> KsPin::DataRanges(FilterBrowser& browser, PFILE_OBJECT filter, ULONG pinId,
                                                    NTSTATUS* status)
{
    NTSTATUS result = STATUS_SUCCESS;
    const std::vector<uint8_t> reply =
        browser.GetList(filter, KsTarget::Pin(pinId), KSPROPSETID_Pin, KSPROPERTY_PIN_DATARANGES, &result);
    std::vector<std::vector<uint8_t>> ranges;
    if (NT_SUCCESS(result) && reply.size() >= sizeof(KSMULTIPLE_ITEM)) {
        KSMULTIPLE_ITEM item;
        std::memcpy(&item, reply.data(), sizeof item);
        size_t offset = sizeof item;
        for (ULONG i = 0; i < item.Count && offset + sizeof(KSDATARANGE) <= reply.size(); ++i) {
            KSDATARANGE range;
            std::memcpy(&range, reply.data() + offset, sizeof range);
            if (range.FormatSize < sizeof range || offset + range.FormatSize > reply.size()) break;
            ranges.emplace_back(reply.begin() + offset, reply.begin() + offset + range.FormatSize);
            offset = AlignUp8(offset + range.FormatSize);
            if ((range.Flags & KSDATARANGE_ATTRIBUTES) != 0 && offset + sizeof(KSMULTIPLE_ITEM) <= reply.size()) {
                KSMULTIPLE_ITEM attributes;
                std::memcpy(&attributes, reply.data() + offset, sizeof attributes);
                offset = AlignUp8(offset + attributes.Size);
            }
        }
    }
    if (status != nullptr) *status = result;
    return ranges;
}

std::vector<uint8_t> KsPin::Intersect(FilterBrowser& browser, PFILE_OBJECT filter, ULONG pinId,
                                      const std::vector<std::vector<uint8_t>>& ranges, NTSTATUS* status)
{
    std::vector<uint8_t> list(sizeof(KSMULTIPLE_ITEM));
    for (const auto& range : ranges) {
        list.insert(list.end(), range.begin(), range.end());
        list.resize(AlignUp8(list.size()));
    }
    const KSMULTIPLE_ITEM item{static_cast<ULONG>(list.size()), static_cast<ULONG>(ranges.size())};
    std::memcpy(list.data(), &item, sizeof item);
    return browser.GetList(filter, KsTarget::Pin(pinId), KSPROPSETID_Pin, KSPROPERTY_PIN_DATAINTERSECTION, status,
                           list.data(), static_cast<ULONG>(list.size()));
}

std::vector<uint8_t> KsPin::ConnectRequest(ULONG pinId, const std::vector<uint8_t>& format)
{
    KSPIN_CONNECT connect{};
    connect.Interface = {KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING, 0};
    connect.Medium = {KSMEDIUMSETID_Standard, KSMEDIUM_TYPE_ANYINSTANCE, 0};
    connect.PinId = pinId;
    connect.Priority = {KSPRIORITY_NORMAL, 1};
    std::vector<uint8_t> request(sizeof connect);
    std::memcpy(request.data(), &connect, sizeof connect);
    request.insert(request.end(), format.begin(), format.end());
    return request;
}

NTSTATUS KsPin::Open(PFILE_OBJECT filter, ULONG pinId, const std::vector<uint8_t>& format)
{
    return OpenWith(filter, ConnectRequest(pinId, format));
}

NTSTATUS KsPin::OpenWith(PFILE_OBJECT filter, const std::vector<uint8_t>& request)
{
    if (m_pin != nullptr) return STATUS_INVALID_DEVICE_STATE;
    // The name carries the request's bytes; an odd count gets a zero byte to fill its last
    // character.
    std::u16string name(KSSTRING_Pin);
    name += u'\\';
    const size_t at = name.size();
    name.resize(at + (request.size() + 1) / 2, u'\0');
    if (!request.empty()) std::memcpy(name.data() + at, request.data(), request.size());
    NTSTATUS status = STATUS_SUCCESS;
    m_pin = m_browser.OpenRelated(filter, name, &status);
    return status;
}

KsResult KsPin::Property(const GUID& set, ULONG id, ULONG verb, void* value, ULONG valueSize)
{
    if (m_pin == nullptr) return {STATUS_INVALID_DEVICE_STATE, 0};
    return m_browser.Property(m_pin, KsTarget::Filter(), set, id, verb, value, valueSize);
}

NTSTATUS KsPin::SetState(KSSTATE state)
{
    return Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_SET, &state, sizeof state)
        .Status;
}

NTSTATUS KsPin::GetState(KSSTATE* state)
{
    return Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, KSPROPERTY_TYPE_GET, state, sizeof *state)
        .Status;
}

NTSTATUS KsPin::GetPosition(KSAUDIO_POSITION* position)
{
    return Property(KSPROPSETID_Audio, KSPROPERTY_AUDIO_POSITION, KSPROPERTY_TYPE_GET, position, sizeof *position)
        .Status;
}

NTSTATUS KsPin::SetFormat(const std::vector<uint8_t>& format)
{
    std::vector<uint8_t> copy(format);
    return Property(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT, KSPROPERTY_TYPE_SET, copy.data(),
                    static_cast<ULONG>(copy.size()))
        .Status;
}

std::vector<uint8_t> KsPin::GetFormat(NTSTATUS* status)
{
    if (m_pin == nullptr) {
        if (status != nullptr) *status = STATUS_INVALID_DEVICE_STATE;
        return {};
    }
    return m_browser.GetList(m_pin, KsTarget::Filter(), KSPROPSETID_Connection, KSPROPERTY_CONNECTION_DATAFORMAT,
                             status);
}

NTSTATUS KsPin::SetContentId(ULONG contentId, const DRMRIGHTS& rights)
{
    KSDRMAUDIOSTREAM_CONTENTID value{contentId, rights};
    return Property(KSPROPSETID_DrmAudioStream, KSPROPERTY_DRMAUDIOSTREAM_CONTENTID, KSPROPERTY_TYPE_SET, &value,
                    sizeof value)
        .Status;
}

NTSTATUS KsPin::OnStreamDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto* request = static_cast<Request*>(context);
    // Under the pin's completion lock, which Reap holds to look at Done: a request goes back to
    // its client only once its event is set, so a client that clears the event and sends it with
    // its next buffer never has it set late by this one. Nothing of the request is touched after.
    std::lock_guard<std::mutex> guard(request->Pin->m_doneLock);
    request->Status = irp->IoStatus.Status;
    request->Bytes = static_cast<ULONG>(irp->IoStatus.Information);
    if (request->Event != nullptr) KeSetEvent(request->Event, IO_NO_INCREMENT, FALSE);
    request->Done.store(true, std::memory_order_release);
    // The IRP is the client's: it frees it when it reaps the request.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS KsPin::Send(ULONG code, std::unique_ptr<Request> request, void* headers, ULONG length)
{
    if (m_pin == nullptr) return STATUS_INVALID_DEVICE_STATE;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(m_browser.Device());
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr) {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    request->Irp = irp;
    request->Pin = this;
    irp->UserBuffer = headers;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION stack = platform::IoPrepareNextStackLocation(irp, IRP_MJ_DEVICE_CONTROL, 0, m_pin);
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.OutputBufferLength = length;
    IoSetCompletionRoutine(irp, OnStreamDone, request.get(), TRUE, TRUE, TRUE);
    Request* sent = request.get();
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_requests.push_back(std::move(request));
    }
    IoCallDriver(top, irp);
    ObDereferenceObject(top);
    return sent->Done.load(std::memory_order_acquire) ? sent->Status : STATUS_PENDING;
}

NTSTATUS KsPin::Write(const void* data, ULONG bytes, PKEVENT event)
{
    auto request = std::make_unique<Request>();
    request->Event = event;
    request->Data = const_cast<void*>(data);
    request->Header = {sizeof(KSSTREAM_HEADER), 0, {}, 0, bytes, bytes, const_cast<void*>(data), 0, 0};
    KSSTREAM_HEADER* header = &request->Header;
    return Send(IOCTL_KS_WRITE_STREAM, std::move(request), header, sizeof *header);
}

NTSTATUS KsPin::Read(void* data, ULONG bytes, PKEVENT event)
{
    auto request = std::make_unique<Request>();
    request->Event = event;
    request->Data = data;
    request->Header = {sizeof(KSSTREAM_HEADER), 0, {}, 0, bytes, 0, data, 0, 0};
    KSSTREAM_HEADER* header = &request->Header;
    return Send(IOCTL_KS_READ_STREAM, std::move(request), header, sizeof *header);
}

NTSTATUS KsPin::SubmitHeaders(ULONG code, void* headers, ULONG length, PKEVENT event)
{
    auto request = std::make_unique<Request>();
    request->Event = event;
    request->Data = headers;
    return Send(code, std::move(request), headers, length);
}

std::vector<KsPin::Completion> KsPin::Reap()
{
    std::vector<Completion> done;
    std::lock_guard<std::mutex> guard(m_lock);
    std::lock_guard<std::mutex> settled(m_doneLock);
    while (!m_requests.empty() && m_requests.front()->Done.load(std::memory_order_acquire)) {
        Request& r = *m_requests.front();
        done.push_back({r.Status, r.Bytes, r.Data});
        IoFreeIrp(r.Irp);
        m_requests.pop_front();
    }
    return done;
}

size_t KsPin::Outstanding()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_requests.size();
}

void KsPin::Cancel()
{
    // Under the lock, so that no IRP is reaped (freed) while it is cancelled; the completion
    // routine takes no lock of this class.
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto& r : m_requests) {
        if (!r->Done.load(std::memory_order_acquire)) IoCancelIrp(r->Irp);
    }
}

NTSTATUS KsPin::Close()
{
    if (m_pin == nullptr) return STATUS_SUCCESS;
    const NTSTATUS status = m_browser.Close(m_pin);
    m_pin = nullptr;
    // The close has completed every request the port held.
    Reap();
    return status;
}

}  // namespace host

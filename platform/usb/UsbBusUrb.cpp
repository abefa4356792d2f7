// URBs as a host controller takes them: every field checked before the bus reads past it, the
// pipes of the selected configuration and interfaces, and the frames an isochronous URB takes.
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

namespace detail {

UCHAR* TransferBuffer(PVOID buffer, PMDL mdl)
{
    if (buffer != nullptr) {
        return static_cast<UCHAR*>(buffer);
    }
    return mdl != nullptr ? static_cast<UCHAR*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority)) : nullptr;
}

ULONG PipeMaxPacket(USHORT wMaxPacketSize)
{
    return static_cast<ULONG>(wMaxPacketSize & 0x7FF) * (1 + ((wMaxPacketSize >> 11) & 3));
}

bool IsVendorOrClass(USHORT function)
{
    switch (function) {
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: return true;
    default: return false;
    }
}

ULONG MinimumUrbLength(USHORT function)
{
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return offsetof(_URB_SELECT_CONFIGURATION, Interface);
    case URB_FUNCTION_SELECT_INTERFACE: return offsetof(_URB_SELECT_INTERFACE, Interface) +
                                               USBD_INTERFACE_INFORMATION_HEADER_SIZE;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: return sizeof(_URB_PIPE_REQUEST);
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER: return sizeof(_URB_GET_CURRENT_FRAME_NUMBER);
    case URB_FUNCTION_CONTROL_TRANSFER: return sizeof(_URB_CONTROL_TRANSFER);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    case URB_FUNCTION_ISOCH_TRANSFER: return offsetof(_URB_ISOCH_TRANSFER, IsoPacket);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    default: return IsVendorOrClass(function) ? sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST) : sizeof(_URB_HEADER);
    }
}

USB_DEFAULT_PIPE_SETUP_PACKET SetupOf(PURB urb)
{
    USB_DEFAULT_PIPE_SETUP_PACKET s{};
    const USHORT function = urb->UrbHeader.Function;
    if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE) {
        const auto& r = urb->UrbControlDescriptorRequest;
        s.bmRequestType = BMREQUEST_DEVICE_TO_HOST;
        s.bRequest = USB_REQUEST_GET_DESCRIPTOR;
        s.wValue = static_cast<USHORT>((r.DescriptorType << 8) | r.Index);
        s.wIndex = r.LanguageId;
        s.wLength = static_cast<USHORT>(r.TransferBufferLength);
    } else if (function == URB_FUNCTION_CONTROL_TRANSFER) {
        std::memcpy(&s, urb->UrbControlTransfer.SetupPacket, sizeof s);
    } else {
        const auto& r = urb->UrbControlVendorClassRequest;
        const bool vendor = function == URB_FUNCTION_VENDOR_DEVICE || function == URB_FUNCTION_VENDOR_INTERFACE ||
                            function == URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_VENDOR_OTHER;
        UCHAR recipient = BMREQUEST_TO_DEVICE;
        if (function == URB_FUNCTION_VENDOR_INTERFACE || function == URB_FUNCTION_CLASS_INTERFACE) {
            recipient = BMREQUEST_TO_INTERFACE;
        } else if (function == URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_CLASS_ENDPOINT) {
            recipient = BMREQUEST_TO_ENDPOINT;
        } else if (function == URB_FUNCTION_VENDOR_OTHER || function == URB_FUNCTION_CLASS_OTHER) {
            recipient = BMREQUEST_TO_OTHER;
        }
        s.bmRequestType = static_cast<UCHAR>((vendor ? BMREQUEST_VENDOR : BMREQUEST_CLASS) | recipient |
                                             ((r.TransferFlags & USBD_TRANSFER_DIRECTION_IN) ? 0x80 : 0) |
                                             r.RequestTypeReservedBits);
        s.bRequest = r.Request;
        s.wValue = r.Value;
        s.wIndex = r.Index;
        s.wLength = static_cast<USHORT>(r.TransferBufferLength);
    }
    return s;
}

}  // namespace detail

using detail::IsVendorOrClass;
using detail::MinimumUrbLength;
using detail::PipeMaxPacket;
using detail::TransferBuffer;

NTSTATUS UsbBus::Fail(PIRP irp, PURB urb, USBD_STATUS status)
{
    const NTSTATUS nt = UsbdStatusToNtStatus(status);
    Complete(irp, urb, status, nt, 0);
    return nt;
}

UsbBus::Pipe* UsbBus::FindPipe(USBD_PIPE_HANDLE handle)
{
    auto it = m_pipes.find(handle);
    return it == m_pipes.end() ? nullptr : &it->second;
}

NTSTATUS UsbBus::SubmitUrb(PIRP irp, PURB urb)
{
    if (urb == nullptr) {
        Complete(irp, nullptr, USBD_STATUS_SUCCESS, STATUS_INVALID_PARAMETER, 0);
        return STATUS_INVALID_PARAMETER;
    }
    const USHORT function = urb->UrbHeader.Function;
    if (urb->UrbHeader.Length < MinimumUrbLength(function)) {
        return Fail(irp, urb, USBD_STATUS_INVALID_PARAMETER);
    }
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    if (!Connected()) {
        return Fail(irp, urb, USBD_STATUS_DEVICE_GONE);
    }
    if (function != URB_FUNCTION_GET_CURRENT_FRAME_NUMBER && RefuseOnSuspendedPort(irp, urb)) {
        return STATUS_DEVICE_NOT_READY;
    }

    Entry e{};
    e.Kind = Work::Complete;
    e.Due = FrameStart(FrameNow() + 1);
    switch (function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        const USBD_STATUS s = SelectConfiguration(urb);
        return USBD_SUCCESS(s) ? Queue(irp, e) : Fail(irp, urb, s);
    }
    case URB_FUNCTION_SELECT_INTERFACE: {
        const USBD_STATUS s = SelectInterface(urb);
        return USBD_SUCCESS(s) ? Queue(irp, e) : Fail(irp, urb, s);
    }
    case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
        urb->UrbGetCurrentFrameNumber.FrameNumber = Frame();
        Complete(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: {
        std::vector<Entry> aborted;
        UCHAR endpoint = 0;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            Pipe* pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
            if (pipe == nullptr) {
                endpoint = 0xFF;
            } else if (function == URB_FUNCTION_ABORT_PIPE) {
                for (auto it = m_queue.begin(); it != m_queue.end();) {
                    if (it->Urb != nullptr && it->Kind != Work::Complete && it->Kind != Work::Control &&
                        it->PipeCopy.Handle == pipe->Handle && IoSetCancelRoutine(it->Irp, nullptr) != nullptr) {
                        aborted.push_back(*it);
                        it = m_queue.erase(it);
                    } else {
                        ++it;
                    }
                }
                pipe->NextFrame = 0;
            } else {
                pipe->Halted = false;
                pipe->NextFrame = 0;
                endpoint = pipe->EndpointAddress;
            }
        }
        if (endpoint == 0xFF) {
            return Fail(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
        }
        for (Entry& a : aborted) {
            Complete(a.Irp, a.Urb, USBD_STATUS_CANCELED, STATUS_CANCELLED, 0);
        }
        if (function == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL) {
            m_model->ClearStall(endpoint);
        }
        return Queue(irp, e);
    }
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        const auto& t = urb->UrbBulkOrInterruptTransfer;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            Pipe* pipe = FindPipe(t.PipeHandle);
            if (pipe != nullptr) {
                e.PipeCopy = *pipe;
            }
        }
        if (e.PipeCopy.Handle == nullptr) {
            return Fail(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE);
        }
        if (e.PipeCopy.Type != USB_ENDPOINT_TYPE_BULK && e.PipeCopy.Type != USB_ENDPOINT_TYPE_INTERRUPT) {
            return Fail(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        if (t.TransferBufferLength > 0 && TransferBuffer(t.TransferBuffer, t.TransferBufferMDL) == nullptr) {
            return Fail(irp, urb, USBD_STATUS_INVALID_PARAMETER);
        }
        if (e.PipeCopy.Halted) {
            return Fail(irp, urb, USBD_STATUS_ENDPOINT_HALTED);
        }
        e.Kind = Work::BulkOrInterrupt;
        return Queue(irp, e);
    }
    case URB_FUNCTION_ISOCH_TRANSFER: {
        const USBD_STATUS s = CheckIsochronous(urb, e);
        return USBD_SUCCESS(s) ? Queue(irp, e) : Fail(irp, urb, s);
    }
    default:
        if (function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE || function == URB_FUNCTION_CONTROL_TRANSFER ||
            IsVendorOrClass(function)) {
            // Control transfers share their field positions up to the setup data.
            const auto& t = urb->UrbControlVendorClassRequest;
            if (t.TransferBufferLength > 0xFFFF ||
                (t.TransferBufferLength > 0 && TransferBuffer(t.TransferBuffer, t.TransferBufferMDL) == nullptr)) {
                return Fail(irp, urb, USBD_STATUS_INVALID_PARAMETER);
            }
            e.Kind = Work::Control;
            return Queue(irp, e);
        }
        return Fail(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

USBD_STATUS UsbBus::CheckIsochronous(PURB urb, Entry& e)
{
    auto& t = urb->UrbIsochronousTransfer;
    const ULONG packets = t.NumberOfPackets;
    if (packets == 0 || packets > 1024 || urb->UrbHeader.Length < GET_ISO_URB_SIZE(packets)) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    Pipe* pipe = FindPipe(t.PipeHandle);
    if (pipe == nullptr) {
        return USBD_STATUS_INVALID_PIPE_HANDLE;
    }
    if (pipe->Type != USB_ENDPOINT_TYPE_ISOCHRONOUS) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    if (t.TransferBufferLength > 0 && TransferBuffer(t.TransferBuffer, t.TransferBufferMDL) == nullptr) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    // High speed: one packet per bInterval microframes (bInterval 1..4: 8, 4, 2 or 1 per frame).
    ULONG perFrame = 1;
    if (m_model->IsHighSpeed() && pipe->Interval >= 1 && pipe->Interval <= 4) {
        perFrame = 8u >> (pipe->Interval - 1);
    }
    if (packets % perFrame != 0) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    const bool in = USB_ENDPOINT_DIRECTION_IN(pipe->EndpointAddress);
    const USBD_ISO_PACKET_DESCRIPTOR* packet = t.IsoPacket;
    for (ULONG i = 0; i < packets; ++i) {
        const ULONG end = i + 1 < packets ? packet[i + 1].Offset : t.TransferBufferLength;
        if (packet[i].Offset > t.TransferBufferLength || end < packet[i].Offset || end > t.TransferBufferLength) {
            return USBD_STATUS_INVALID_PARAMETER;  // the buffer is shorter than the packets
        }
        if (!in && end - packet[i].Offset > pipe->MaxPacket) {
            return USBD_STATUS_INVALID_PARAMETER;  // larger than the endpoint may carry
        }
    }
    if (pipe->Halted) {
        return USBD_STATUS_ENDPOINT_HALTED;
    }
    const uint64_t now = FrameNow();
    const uint64_t frames = packets / perFrame;
    uint64_t start;
    if (t.TransferFlags & USBD_START_ISO_TRANSFER_ASAP) {
        start = std::max(pipe->NextFrame, now + 1);
    } else {
        // Wrap-aware: the frame must lie ahead of the one in progress and not inside what the
        // pipe has already scheduled.
        const auto ahead = static_cast<int32_t>(t.StartFrame - static_cast<ULONG>(now));
        if (ahead <= 0 || ahead > 1024) {
            return USBD_STATUS_BAD_START_FRAME;
        }
        start = now + static_cast<uint64_t>(ahead);
        if (start < pipe->NextFrame) {
            return USBD_STATUS_BAD_START_FRAME;
        }
    }
    // Frames between the pipe's last URB and this one go out without a packet.
    e.GapFrom = pipe->NextFrame;
    e.GapFrames = pipe->NextFrame != 0 ? start - pipe->NextFrame : 0;
    t.StartFrame = static_cast<ULONG>(start);
    t.ErrorCount = 0;
    pipe->NextFrame = start + frames;
    e.Kind = Work::Isochronous;
    e.PipeCopy = *pipe;
    e.StartFrame = start;
    e.PacketsPerFrame = perFrame;
    e.Due = FrameStart(start + frames);
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbBus::FillInterface(const std::vector<UCHAR>& config, PUSBD_INTERFACE_INFORMATION info, ULONG room)
{
    const UCHAR* begin = config.data();
    const UCHAR* end = begin + config.size();
    const UCHAR* found = nullptr;
    for (const UCHAR* p = begin; end - p >= 2 && p[0] >= 2 && p[0] <= end - p; p += p[0]) {
        if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && p[0] >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            p[2] == info->InterfaceNumber && p[3] == info->AlternateSetting) {
            found = p;
            break;
        }
    }
    if (found == nullptr) {
        return USBD_STATUS_INTERFACE_NOT_FOUND;
    }
    USB_INTERFACE_DESCRIPTOR d;
    std::memcpy(&d, found, sizeof d);
    std::vector<USB_ENDPOINT_DESCRIPTOR> endpoints;
    for (const UCHAR* p = found + found[0]; end - p >= 2 && p[0] >= 2 && p[0] <= end - p; p += p[0]) {
        if (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            break;
        }
        if (p[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && p[0] >= sizeof(USB_ENDPOINT_DESCRIPTOR) &&
            endpoints.size() < d.bNumEndpoints) {
            USB_ENDPOINT_DESCRIPTOR ep;
            std::memcpy(&ep, p, sizeof ep);
            endpoints.push_back(ep);
        }
    }
    if (endpoints.size() != d.bNumEndpoints) {
        return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
    }
    if (room < GET_USBD_INTERFACE_SIZE(static_cast<ULONG>(endpoints.size()))) {
        return USBD_STATUS_BUFFER_TOO_SMALL;
    }
    info->Class = d.bInterfaceClass;
    info->SubClass = d.bInterfaceSubClass;
    info->Protocol = d.bInterfaceProtocol;
    info->NumberOfPipes = static_cast<ULONG>(endpoints.size());
    std::lock_guard<std::mutex> guard(m_lock);
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(m_nextHandle += 16);
    for (auto it = m_pipes.begin(); it != m_pipes.end();) {
        it = it->second.Interface == d.bInterfaceNumber ? m_pipes.erase(it) : std::next(it);
    }
    PUSBD_PIPE_INFORMATION pipes = info->Pipes;
    for (size_t i = 0; i < endpoints.size(); ++i) {
        const USB_ENDPOINT_DESCRIPTOR& ep = endpoints[i];
        Pipe pipe{};
        pipe.Handle = reinterpret_cast<USBD_PIPE_HANDLE>(m_nextHandle += 16);
        pipe.EndpointAddress = ep.bEndpointAddress;
        pipe.Type = ep.bmAttributes & USB_ENDPOINT_TYPE_MASK;
        pipe.Interval = ep.bInterval;
        pipe.MaxPacket = PipeMaxPacket(ep.wMaxPacketSize);
        pipe.Interface = d.bInterfaceNumber;
        m_pipes[pipe.Handle] = pipe;
        pipes[i].MaximumPacketSize = static_cast<USHORT>(pipe.MaxPacket);
        pipes[i].EndpointAddress = ep.bEndpointAddress;
        pipes[i].Interval = ep.bInterval;
        pipes[i].PipeType = static_cast<USBD_PIPE_TYPE>(pipe.Type);
        pipes[i].PipeHandle = pipe.Handle;
        if (pipes[i].MaximumTransferSize == 0) {
            pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        }
    }
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbBus::SelectConfiguration(PURB urb)
{
    auto& s = urb->UrbSelectConfiguration;
    if (s.ConfigurationDescriptor == nullptr) {
        std::lock_guard<std::mutex> guard(m_lock);
        m_pipes.clear();
        m_configurationHandle = nullptr;
        return USBD_STATUS_SUCCESS;
    }
    std::vector<UCHAR> config = m_model->ConfigurationDescriptor(0);
    if (config.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR;
    }
    const ULONG total = config[2] | (config[3] << 8);
    if (total < config.size()) {
        config.resize(total);
    }
    if (!m_model->SelectConfiguration(config[5])) {
        return USBD_STATUS_STALL_PID;
    }
    {
        // Unconfigured until every listed interface is in place.
        std::lock_guard<std::mutex> guard(m_lock);
        m_pipes.clear();
        m_configuration = config;
        m_configurationHandle = nullptr;
    }
    // The interfaces the driver listed: as many as its configuration says, each within the URB.
    const UCHAR count = s.ConfigurationDescriptor->bNumInterfaces;
    auto* p = reinterpret_cast<UCHAR*>(&s.Interface);
    const UCHAR* end = reinterpret_cast<UCHAR*>(urb) + urb->UrbHeader.Length;
    for (UCHAR i = 0; i < count; ++i) {
        if (end - p < static_cast<ptrdiff_t>(USBD_INTERFACE_INFORMATION_HEADER_SIZE)) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(p);
        if (info->Length < USBD_INTERFACE_INFORMATION_HEADER_SIZE || info->Length > end - p) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        const USBD_STATUS status = FillInterface(config, info, info->Length);
        if (!USBD_SUCCESS(status)) {
            return status;
        }
        p += info->Length;
    }
    std::lock_guard<std::mutex> guard(m_lock);
    m_configurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(m_nextHandle += 16);
    s.ConfigurationHandle = m_configurationHandle;
    return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbBus::SelectInterface(PURB urb)
{
    auto& s = urb->UrbSelectInterface;
    std::vector<UCHAR> config;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (s.ConfigurationHandle == nullptr || s.ConfigurationHandle != m_configurationHandle) {
            return USBD_STATUS_INVALID_PARAMETER;
        }
        config = m_configuration;
    }
    const ULONG room = std::min<ULONG>(s.Interface.Length, urb->UrbHeader.Length - offsetof(_URB_SELECT_INTERFACE, Interface));
    if (room < USBD_INTERFACE_INFORMATION_HEADER_SIZE) {
        return USBD_STATUS_INVALID_PARAMETER;
    }
    // Check before asking the device, so that a refused request leaves the old setting in place.
    bool exists = false;
    for (const UCHAR* p = config.data(); config.data() + config.size() - p >= 2 && p[0] >= 2 &&
                                         p[0] <= config.data() + config.size() - p;
         p += p[0]) {
        exists = exists || (p[1] == USB_INTERFACE_DESCRIPTOR_TYPE && p[0] >= 9 && p[2] == s.Interface.InterfaceNumber &&
                            p[3] == s.Interface.AlternateSetting);
    }
    if (!exists) {
        return USBD_STATUS_INTERFACE_NOT_FOUND;
    }
    // The host aborts the interface's pipes before it sends SET_INTERFACE.
    CancelInterfaceTransfers(s.Interface.InterfaceNumber);
    if (!m_model->SelectInterface(s.Interface.InterfaceNumber, s.Interface.AlternateSetting)) {
        return USBD_STATUS_STALL_PID;
    }
    return FillInterface(config, &s.Interface, room);
}

}  // namespace platform::usb

// The hub port and host controller of the stand-in. See UsbBus.h for the contract.
//
// Locking: m_lock guards the queue, the pipes and the port state. It is never held while the
// device model runs or while an IRP completes, since completion routines resubmit at once.
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

namespace platform::usb {

namespace {

UsbBus* BusOf(PDEVICE_OBJECT device) { return *static_cast<UsbBus**>(device->DeviceExtension); }

uint64_t ClockFrame() { return static_cast<uint64_t>(platform::ClockNow() / platform::TICKS_PER_MS); }

// The transfer buffer of a URB: its virtual address, else its MDL's system address.
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

// Size of the fixed part each URB function needs before the bus may read it.
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

// The setup packet a control URB stands for.
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

}  // namespace

NTSTATUS UsbdStatusToNtStatus(USBD_STATUS status)
{
    switch (status) {
    case USBD_STATUS_SUCCESS: return STATUS_SUCCESS;
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INTERFACE_NOT_FOUND:
    case USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR: return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_DEVICE_GONE: return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_CANCELED: return STATUS_CANCELLED;
    case USBD_STATUS_NOT_SUPPORTED: return STATUS_NOT_SUPPORTED;
    case USBD_STATUS_NO_BANDWIDTH:
    case USBD_STATUS_INSUFFICIENT_RESOURCES: return STATUS_INSUFFICIENT_RESOURCES;
    case USBD_STATUS_TIMEOUT: return STATUS_IO_TIMEOUT;
    case USBD_STATUS_BUFFER_TOO_SMALL: return STATUS_BUFFER_TOO_SMALL;
    case USBD_STATUS_ERROR_BUSY: return STATUS_DEVICE_BUSY;
    default: return STATUS_UNSUCCESSFUL;
    }
}

UsbBus::UsbBus(UsbDeviceModel* model) : m_model(model)
{
    KeInitializeTimer(&m_timer);
    KeInitializeDpc(&m_dpc, DpcRoutine, this);
    KeInitializeDpc(&m_otherDpc, OtherDpcRoutine, this);
    KeInitializeEvent(&m_workDone, NotificationEvent, TRUE);
    m_driver = platform::IoCreateDriverObject(u"\\Driver\\UsbBus");
    if (m_driver == nullptr) {
        return;
    }
    for (auto& routine : m_driver->MajorFunction) {
        routine = DispatchOther;
    }
    m_driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = DispatchInternal;
    m_driver->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
    m_driver->MajorFunction[IRP_MJ_POWER] = DispatchPower;
    if (!NT_SUCCESS(IoCreateDevice(m_driver, sizeof(UsbBus*), nullptr, FILE_DEVICE_USB, FILE_AUTOGENERATED_DEVICE_NAME,
                                   FALSE, &m_pdo))) {
        m_pdo = nullptr;
        return;
    }
    *static_cast<UsbBus**>(m_pdo->DeviceExtension) = this;
    m_pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    m_pdo->Flags &= ~DO_DEVICE_INITIALIZING;

    const std::vector<UCHAR> device = m_model->DeviceDescriptor();
    if (device.size() >= sizeof(USB_DEVICE_DESCRIPTOR)) {
        USB_DEVICE_DESCRIPTOR d;
        std::memcpy(&d, device.data(), sizeof d);
        char full[64];
        char shortId[64];
        std::snprintf(full, sizeof full, "USB\\VID_%04X&PID_%04X&REV_%04X", d.idVendor, d.idProduct, d.bcdDevice);
        std::snprintf(shortId, sizeof shortId, "USB\\VID_%04X&PID_%04X", d.idVendor, d.idProduct);
        auto wide = [](const char* s) { return std::u16string(s, s + std::strlen(s)); };
        platform::IoSetDevicePropertyStrings(m_pdo, DevicePropertyHardwareID, {wide(full), wide(shortId)});
    }
}

UsbBus::~UsbBus()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_connected = false;
        m_deleting = true;  // nothing arms the timer from here on
    }
    KeCancelTimer(&m_timer);
    FailAllPending(USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    KeRemoveQueueDpc(&m_dpc);
    KeFlushQueuedDpcs();
    KeFlushQueuedDpcs();  // the second processor's share, queued by a frame DPC that was running
    KeCancelTimer(&m_timer);  // a DPC that was running may have set it again
    KeWaitForSingleObject(&m_workDone, Executive, KernelMode, FALSE, nullptr);
    if (m_pdo != nullptr) {
        IoDeleteDevice(m_pdo);
    }
    if (m_driver != nullptr) {
        platform::IoDeleteDriverObject(m_driver);
    }
}

ULONG UsbBus::CurrentFrame() { return static_cast<ULONG>(ClockFrame()); }

// Frames are counted unwrapped inside the bus; the URBs and the device see their low 32 bits.
uint64_t UsbBus::FrameNow() { return ClockFrame() + m_frameOffset.load(); }

int64_t UsbBus::FrameStart(uint64_t frame)
{
    return static_cast<int64_t>(frame - m_frameOffset.load()) * platform::TICKS_PER_MS;
}

ULONG UsbBus::Frame() { return static_cast<ULONG>(FrameNow()); }

void UsbBus::SetFrameNumber(ULONG frame)
{
    const auto clock = static_cast<ULONG>(ClockFrame());
    m_frameOffset.store(static_cast<ULONG>(frame - clock));
}

void UsbBus::SetTwoProcessorCompletions(bool on, ULONG framesPerInterrupt)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_twoProcessors = on;
        m_framesPerInterrupt = on ? std::max<ULONG>(framesPerInterrupt, 1) : 1;
    }
    Arm();
}

uint64_t UsbBus::EmptyFrames(UCHAR endpoint)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_emptyFrames.find(endpoint);
    return it == m_emptyFrames.end() ? 0 : it->second;
}

// When the DPC for a due time runs: at once, or with moderation at the next interrupt frame.
int64_t UsbBus::InterruptTime(int64_t due)
{
    if (m_framesPerInterrupt <= 1) {
        return due;
    }
    const int64_t ms = platform::TICKS_PER_MS;
    const int64_t frame = (due + ms - 1) / ms;
    const int64_t n = m_framesPerInterrupt;
    return (frame + n - 1) / n * n * ms;
}

bool UsbBus::Connected()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_connected;
}

UsbPortCounters UsbBus::Counters()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_counters;
}

size_t UsbBus::PendingCount()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_queue.size();
}

void UsbBus::Unplug()
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_connected = false;
        m_pipes.clear();
        m_configurationHandle = nullptr;
    }
    FailAllPending(USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
}

void UsbBus::NotifyEndpoint(UCHAR endpoint)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const int64_t due = FrameStart(FrameNow() + 1);
        for (Entry& e : m_queue) {
            if (e.Held && e.Kind == Work::BulkOrInterrupt && e.PipeCopy.EndpointAddress == endpoint) {
                e.Held = false;
                e.Due = due;
            }
        }
        std::stable_sort(m_queue.begin(), m_queue.end(), [](const Entry& a, const Entry& b) {
            return a.Due != b.Due ? a.Due < b.Due : a.Sequence < b.Sequence;
        });
    }
    Arm();
}

// ---- dispatch ----

NTSTATUS UsbBus::DispatchInternal(PDEVICE_OBJECT device, PIRP irp)
{
    UsbBus* bus = BusOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB) {
        return bus->SubmitUrb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    }
    if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS || code == IOCTL_INTERNAL_USB_RESET_PORT ||
        code == IOCTL_INTERNAL_USB_CYCLE_PORT || code == IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION) {
        return bus->PortRequest(irp, code);
    }
    bus->Complete(irp, nullptr, USBD_STATUS_SUCCESS, STATUS_INVALID_DEVICE_REQUEST, 0);
    return STATUS_INVALID_DEVICE_REQUEST;
}

NTSTATUS UsbBus::DispatchPnp(PDEVICE_OBJECT device, PIRP irp)
{
    UsbBus* bus = BusOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL: status = STATUS_SUCCESS; break;
    case IRP_MN_QUERY_CAPABILITIES: {
        // What a hub reports for a device on its port: removable, may vanish, D2 for suspend.
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (caps != nullptr) {
            caps->Removable = 1;
            caps->SurpriseRemovalOK = 1;
            caps->DeviceD2 = 1;
            caps->UniqueID = 0;
            caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s) {
                caps->DeviceState[s] = PowerDeviceD3;
            }
        }
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_INTERFACE: {
        const auto& q = stack->Parameters.QueryInterface;
        if (q.InterfaceType != nullptr && *q.InterfaceType == USB_BUS_INTERFACE_USBDI_GUID && q.Interface != nullptr &&
            bus->m_model->BusInterfaceAvailable() &&
            q.Version >= USB_BUSIF_USBDI_VERSION_1 && q.Size >= sizeof(USB_BUS_INTERFACE_USBDI_V1)) {
            auto* busIf = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(q.Interface);
            busIf->Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
            busIf->Version = USB_BUSIF_USBDI_VERSION_1;
            busIf->BusContext = bus;
            busIf->InterfaceReference = BusReference;
            busIf->InterfaceDereference = BusDereference;
            busIf->GetUSBDIVersion = GetUsbdiVersion;
            busIf->QueryBusTime = QueryBusTime;
            busIf->SubmitIsoOutUrb = SubmitIsoOutUrb;
            busIf->QueryBusInformation = QueryBusInformation;
            busIf->IsDeviceHighSpeed = IsDeviceHighSpeed;
            BusReference(bus);
            status = STATUS_SUCCESS;
        }
        break;
    }
    default: break;
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS UsbBus::DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
            PoSetPowerState(device, DevicePowerState, stack->Parameters.Power.State);
        }
        status = STATUS_SUCCESS;
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS UsbBus::DispatchOther(PDEVICE_OBJECT, PIRP irp)
{
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ---- bus interface ----

VOID UsbBus::BusReference(PVOID context) { InterlockedIncrement(&static_cast<UsbBus*>(context)->m_interfaceReferences); }
VOID UsbBus::BusDereference(PVOID context) { InterlockedDecrement(&static_cast<UsbBus*>(context)->m_interfaceReferences); }

NTSTATUS UsbBus::QueryBusTime(PVOID busContext, PULONG frame)
{
    if (frame == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const NTSTATUS status = static_cast<UsbBus*>(busContext)->m_model->QueryBusTimeStatus();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    *frame = static_cast<UsbBus*>(busContext)->Frame();
    return STATUS_SUCCESS;
}

BOOLEAN UsbBus::IsDeviceHighSpeed(PVOID busContext)
{
    return static_cast<UsbBus*>(busContext)->m_model->IsHighSpeed() ? TRUE : FALSE;
}

VOID UsbBus::GetUsbdiVersion(PVOID, PULONG version, PULONG capabilities)
{
    if (version != nullptr) {
        *version = 0x600;
    }
    if (capabilities != nullptr) {
        *capabilities = 0;
    }
}

NTSTATUS UsbBus::SubmitIsoOutUrb(PVOID, PURB) { return STATUS_NOT_SUPPORTED; }

NTSTATUS UsbBus::QueryBusInformation(PVOID, ULONG level, PVOID buffer, PULONG length, PULONG actual)
{
    if (level != 0 || length == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    if (actual != nullptr) {
        *actual = sizeof(USB_BUS_INFORMATION_LEVEL_0);
    }
    if (*length < sizeof(USB_BUS_INFORMATION_LEVEL_0) || buffer == nullptr) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    auto* info = static_cast<USB_BUS_INFORMATION_LEVEL_0*>(buffer);
    info->TotalBandwidth = 12000;
    info->ConsumedBandwidth = 0;
    return STATUS_SUCCESS;
}

// ---- port requests ----

NTSTATUS UsbBus::PortRequest(PIRP irp, ULONG code)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    bool connected;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        connected = m_connected;
        if (code == IOCTL_INTERNAL_USB_GET_PORT_STATUS) {
            m_counters.PortStatusQueries++;
        } else if (code == IOCTL_INTERNAL_USB_RESET_PORT) {
            m_counters.Resets++;
        } else if (code == IOCTL_INTERNAL_USB_CYCLE_PORT) {
            m_counters.Cycles++;
        } else if (code == IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION) {
            m_counters.IdleNotifications++;
        }
    }
    NTSTATUS status = STATUS_SUCCESS;
    switch (code) {
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
        auto* portStatus = static_cast<PULONG>(stack->Parameters.Others.Argument1);
        if (portStatus == nullptr) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        status = connected ? m_model->PortStatusOverride() : STATUS_SUCCESS;
        if (NT_SUCCESS(status)) {
            *portStatus = connected ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
        }
        break;
    }
    case IOCTL_INTERNAL_USB_RESET_PORT:
        status = connected ? m_model->ResetPortStatus() : STATUS_DEVICE_NOT_CONNECTED;
        break;
    case IOCTL_INTERNAL_USB_CYCLE_PORT:
        // The device leaves and comes back as a new device: this PDO's device is gone.
        Unplug();
        break;
    case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION: {
        auto* info = static_cast<PUSB_IDLE_CALLBACK_INFO>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
        if (info == nullptr || info->IdleCallback == nullptr) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        if (!connected) {
            status = STATUS_DEVICE_NOT_CONNECTED;
            break;
        }
        status = m_model->IdleNotificationStatus();
        if (!NT_SUCCESS(status)) {
            break;
        }
        if (status == STATUS_PENDING) {
            // Held until cancelled: the hub never gets ready to suspend the port.
            Entry e{};
            e.Kind = Work::Idle;
            e.Held = true;
            e.Due = INT64_MAX;
            return Queue(irp, e);
        }
        PIO_WORKITEM item = IoAllocateWorkItem(m_pdo);
        if (item == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        Entry e{};
        e.Kind = Work::Idle;
        e.Held = true;
        e.Due = INT64_MAX;
        status = Queue(irp, e);
        if (status == STATUS_PENDING) {
            // The hub calls back at PASSIVE_LEVEL, when it is ready to suspend the port.
            {
                std::lock_guard<std::mutex> guard(m_lock);
                if (m_workItems++ == 0) {
                    KeClearEvent(&m_workDone);
                }
                m_idleWork.push_back({item, irp});
            }
            IoQueueWorkItem(item, IdleWorker, DelayedWorkQueue, this);
        } else {
            IoFreeWorkItem(item);
        }
        return status;
    }
    default: break;
    }
    Complete(irp, nullptr, USBD_STATUS_SUCCESS, status, 0);
    return status;
}

VOID UsbBus::IdleWorker(PDEVICE_OBJECT, PVOID context)
{
    auto* bus = static_cast<UsbBus*>(context);
    PIO_WORKITEM item = nullptr;
    USB_IDLE_CALLBACK callback = nullptr;
    PVOID callbackContext = nullptr;
    {
        std::lock_guard<std::mutex> guard(bus->m_lock);
        if (!bus->m_idleWork.empty()) {
            auto [queuedItem, irp] = bus->m_idleWork.front();
            bus->m_idleWork.erase(bus->m_idleWork.begin());
            item = queuedItem;
            // Only a request still held gets its callback; a cancelled one has given its info back.
            for (const Entry& e : bus->m_queue) {
                if (e.Irp == irp) {
                    auto* info = static_cast<PUSB_IDLE_CALLBACK_INFO>(
                        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer);
                    callback = info->IdleCallback;
                    callbackContext = info->IdleContext;
                    bus->m_counters.IdleCallbacks++;
                }
            }
        }
    }
    if (callback != nullptr) {
        callback(callbackContext);
    }
    if (item != nullptr) {
        IoFreeWorkItem(item);
    }
    std::lock_guard<std::mutex> guard(bus->m_lock);
    if (--bus->m_workItems == 0) {
        KeSetEvent(&bus->m_workDone, IO_NO_INCREMENT, FALSE);
    }
}

// ---- URBs ----

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

// ---- queue and completion ----

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
        const int64_t wait = InterruptTime(e.Due) - platform::ClockNow();
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

void UsbBus::RunDue()
{
    std::vector<Entry> ready;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const int64_t now = platform::ClockNow();
        for (auto it = m_queue.begin(); it != m_queue.end();) {
            if (!it->Held && InterruptTime(it->Due) <= now && IoSetCancelRoutine(it->Irp, nullptr) != nullptr) {
                ready.push_back(*it);
                it = m_queue.erase(it);
            } else {
                ++it;  // later, held, or being cancelled (the cancel routine takes it)
            }
        }
    }
    if (ready.size() > 1) {
        // The second processor takes every other completion and runs beside this one.
        bool queue = false;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_twoProcessors) {
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
    }
    for (Entry& e : ready) {
        Finish(e);
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
        bus->Finish(e);
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

void UsbBus::Finish(Entry& e)
{
    switch (e.Kind) {
    case Work::Control: CompleteControl(e); break;
    case Work::BulkOrInterrupt: CompleteBulk(e); break;
    case Work::Isochronous: CompleteIsochronous(e); break;
    default: Complete(e.Irp, e.Urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0); break;
    }
}

void UsbBus::CompleteControl(Entry& e)
{
    PURB urb = e.Urb;
    auto& t = urb->UrbControlVendorClassRequest;
    const USB_DEFAULT_PIPE_SETUP_PACKET setup = SetupOf(urb);
    UCHAR* buffer = TransferBuffer(t.TransferBuffer, t.TransferBufferMDL);
    const ULONG length = t.TransferBufferLength;
    const UsbTransferResult r = m_model->Control(setup, buffer, length);
    switch (r.Outcome) {
    case UsbTransferResult::Kind::Pending: Hold(e); return;
    case UsbTransferResult::Kind::Done:
        t.TransferBufferLength = std::min(r.Length, length);
        Complete(e.Irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0);
        return;
    case UsbTransferResult::Kind::Stall:
        t.TransferBufferLength = 0;
        Complete(e.Irp, urb, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL, 0);
        return;
    case UsbTransferResult::Kind::Error:
        t.TransferBufferLength = 0;
        Complete(e.Irp, urb, r.Status, UsbdStatusToNtStatus(r.Status), 0);
        return;
    }
}

void UsbBus::CompleteBulk(Entry& e)
{
    auto& t = e.Urb->UrbBulkOrInterruptTransfer;
    const ULONG length = t.TransferBufferLength;
    const UsbTransferResult r =
        m_model->BulkOrInterrupt(e.PipeCopy.EndpointAddress, TransferBuffer(t.TransferBuffer, t.TransferBufferMDL), length);
    switch (r.Outcome) {
    case UsbTransferResult::Kind::Pending: Hold(e); return;
    case UsbTransferResult::Kind::Done:
        t.TransferBufferLength = std::min(r.Length, length);
        Complete(e.Irp, e.Urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0);
        return;
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
        Complete(e.Irp, e.Urb, s, UsbdStatusToNtStatus(s), 0);
        return;
    }
    }
}

void UsbBus::CompleteIsochronous(Entry& e)
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
        Complete(e.Irp, e.Urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED, 0);
        return;
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
        Complete(e.Irp, e.Urb, fault.UrbStatus, irpStatus, 0);
        return;
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
        Complete(e.Irp, e.Urb, USBD_STATUS_ISOCH_REQUEST_FAILED, STATUS_UNSUCCESSFUL, 0);
    } else if (!NT_SUCCESS(fault.IrpStatus)) {
        Complete(e.Irp, e.Urb, USBD_STATUS_SUCCESS, fault.IrpStatus, 0);
    } else {
        Complete(e.Irp, e.Urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0);
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
            if (IoSetCancelRoutine(it->Irp, nullptr) != nullptr) {
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

// The hub port of the stand-in's bus: port status, reset, cycle and idle notification (the
// selective-suspend handshake). Locking as in UsbBus.cpp.
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
        if (!platform::IrqlCheckAtMost(PASSIVE_LEVEL, "IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION")) {
            status = STATUS_INVALID_DEVICE_STATE;
            break;
        }
        if (info == nullptr || info->IdleCallback == nullptr) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        if (!connected) {
            status = STATUS_DEVICE_NOT_CONNECTED;
            break;
        }
        {
            // Only a device in D0 asks to be suspended, and one request at a time.
            std::lock_guard<std::mutex> guard(m_lock);
            if (m_pdoPower != PowerDeviceD0) {
                status = STATUS_INVALID_DEVICE_STATE;
            } else if (m_idleCallbackIrp != nullptr ||
                       std::any_of(m_queue.begin(), m_queue.end(), [](const Entry& e) { return e.Kind == Work::Idle; })) {
                status = STATUS_DEVICE_BUSY;
            }
        }
        if (status != STATUS_SUCCESS) {
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
    PIRP irp = nullptr;
    ULONG delayMs = 0;
    {
        std::lock_guard<std::mutex> guard(bus->m_lock);
        if (!bus->m_idleWork.empty()) {
            item = bus->m_idleWork.front().first;
            irp = bus->m_idleWork.front().second;
            bus->m_idleWork.erase(bus->m_idleWork.begin());
        }
        delayMs = bus->m_idleDelayMs;
    }
    if (delayMs != 0) {
        LARGE_INTEGER delay;
        delay.QuadPart = -static_cast<LONGLONG>(delayMs) * 10000;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    USB_IDLE_CALLBACK callback = nullptr;
    PVOID callbackContext = nullptr;
    {
        std::lock_guard<std::mutex> guard(bus->m_lock);
        // Only a request still held gets its callback (a cancelled one has given its information
        // back), and only while the device is in D0.
        const bool held = std::any_of(bus->m_queue.begin(), bus->m_queue.end(),
                                      [irp](const Entry& e) { return e.Irp == irp && e.Kind == Work::Idle; });
        if (irp != nullptr && held && bus->m_pdoPower == PowerDeviceD0 && bus->m_connected) {
            auto* info = static_cast<PUSB_IDLE_CALLBACK_INFO>(
                IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.Type3InputBuffer);
            callback = info->IdleCallback;
            callbackContext = info->IdleContext;
            bus->m_counters.IdleCallbacks++;
            bus->m_idleCallbackIrp = irp;
            bus->m_idleDeferred = false;
            bus->m_idleWaiting = true;
        }
    }
    if (callback != nullptr) {
        KeWaitForSingleObject(&bus->m_idleGate, Executive, KernelMode, FALSE, nullptr);
        {
            std::lock_guard<std::mutex> guard(bus->m_lock);
            bus->m_idleWaiting = false;
        }
        callback(callbackContext);
        bool deferred;
        NTSTATUS status;
        {
            std::lock_guard<std::mutex> guard(bus->m_lock);
            deferred = bus->m_idleDeferred;
            status = bus->m_idleDeferredStatus;
            bus->m_idleCallbackIrp = nullptr;
            bus->m_idleDeferred = false;
        }
        if (deferred) {
            bus->Complete(irp, nullptr, USBD_STATUS_SUCCESS, status, 0);
        }
    }
    if (item != nullptr) {
        IoFreeWorkItem(item);
    }
    bool last;
    {
        std::lock_guard<std::mutex> guard(bus->m_lock);
        last = --bus->m_workItems == 0;
    }
    // The last touch of the bus: its destructor frees it once the event is set. (No new item
    // comes meanwhile: the bus is being deleted only after its stack is gone.)
    if (last) {
        KeSetEvent(&bus->m_workDone, IO_NO_INCREMENT, FALSE);
    }
}

}  // namespace platform::usb

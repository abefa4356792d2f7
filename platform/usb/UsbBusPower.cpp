// The hub's side of device power on the stand-in's bus: the PDO's power requests suspend and
// resume the port, a suspended port refuses transfers, and the held idle request ends when the
// PDO returns to D0 or leaves. Test hooks hold the hub's callback or the PDO's power requests so
// that races are placed rather than hoped for. Locking as in UsbBus.cpp.
#include "platform/usb/UsbBus.h"

#include <algorithm>

#include "platform/nt/Irql.h"
#include "platform/nt/Sync.h"
#include "platform/io/IoHost.h"
#include "platform/usb/UsbBusInternal.h"

namespace platform::usb {

using detail::BusOf;

NTSTATUS UsbBus::DispatchPower(PDEVICE_OBJECT device, PIRP irp)
{
    UsbBus* bus = BusOf(device);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
        {
            std::lock_guard<std::mutex> guard(bus->m_lock);
            if (bus->m_holdPower) {
                IoMarkIrpPending(irp);
                bus->m_heldPower.push_back(irp);
                return STATUS_PENDING;
            }
        }
        bus->SetPdoPower(irp);
        return STATUS_SUCCESS;
    }
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        status = STATUS_SUCCESS;
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void UsbBus::SetPdoPower(PIRP irp)
{
    const DEVICE_POWER_STATE state = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.DeviceState;
    bool suspend = false;
    bool resume = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const bool wasSuspended = m_suspended;
        m_pdoPower = state;
        m_suspended = state != PowerDeviceD0;
        suspend = m_suspended && !wasSuspended;
        resume = !m_suspended && wasSuspended;
        if (suspend) {
            m_counters.Suspends++;
        }
        if (resume) {
            m_counters.Resumes++;
        }
    }
    POWER_STATE s;
    s.DeviceState = state;
    PoSetPowerState(m_pdo, DevicePowerState, s);
    if (suspend || resume) {
        m_model->PortSuspended(suspend);
    }
    if (resume) {
        // The device is awake: the hub's idle request has done its work.
        CompleteIdleRequests(STATUS_SUCCESS);
    }
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

void UsbBus::CompleteIdleRequests(NTSTATUS status)
{
    std::vector<PIRP> done;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto it = m_queue.begin(); it != m_queue.end();) {
            if (it->Kind == Work::Idle && IoSetCancelRoutine(it->Irp, nullptr) != nullptr) {
                done.push_back(it->Irp);
                it = m_queue.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (PIRP irp : done) {
        Complete(irp, nullptr, USBD_STATUS_SUCCESS, status, 0);
    }
}

bool UsbBus::DeferIdleCompletion(PIRP irp, NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (irp == nullptr || irp != m_idleCallbackIrp) {
        return false;
    }
    m_idleDeferred = true;
    m_idleDeferredStatus = status;
    return true;
}

bool UsbBus::RefuseOnSuspendedPort(PIRP irp, PURB urb)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_suspended) {
            return false;
        }
        m_counters.SuspendedUrbs++;
    }
    Complete(irp, urb, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_DEVICE_NOT_READY, 0);
    return true;
}

bool UsbBus::Suspended()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_suspended;
}

DEVICE_POWER_STATE UsbBus::PdoPowerState()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_pdoPower;
}

void UsbBus::SetIdleCallbackDelay(ULONG delayMs)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_idleDelayMs = delayMs;
}

void UsbBus::HoldIdleCallback(bool hold)
{
    if (hold) {
        KeClearEvent(&m_idleGate);
    } else {
        KeSetEvent(&m_idleGate, IO_NO_INCREMENT, FALSE);
    }
}

bool UsbBus::IdleCallbackWaiting()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_idleWaiting;
}

void UsbBus::HoldDevicePower(bool hold)
{
    std::vector<PIRP> held;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_holdPower = hold;
        if (!hold) {
            held.swap(m_heldPower);
        }
    }
    for (PIRP irp : held) {
        SetPdoPower(irp);
    }
}

size_t UsbBus::HeldPowerRequests()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_heldPower.size();
}

}  // namespace platform::usb

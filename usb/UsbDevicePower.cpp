// Device power and selective suspend of the device object: the power transitions PortCls delivers,
// and the idle-notification cycle that lets the hub suspend a device nobody uses.
#include "platform/io/Io.h"
#include "platform/nt/Pool.h"
#include "platform/nt/Time.h"
#include "platform/nt/WorkItem.h"
#include "usb/UsbAudioDevice.h"

namespace {

constexpr ULONG TIMER_RESOLUTION_1MS = 10000;
constexpr LONGLONG IDLE_TIMER_FIRST = -50000000LL;  // 5 s
constexpr LONG IDLE_TIMER_PERIOD_MS = 5000;
constexpr LONGLONG IDLE_WAIT_LIMIT = -5000000LL;  // 500 ms

struct IdleWorkContext {
    PIO_WORKITEM WorkItem;
    UsbAudioDevice* Device;
};

// The D2 request waits for its completion on an event of the hub's callback.
struct PowerWaitContext {
    UsbAudioDevice* Device;
    PKEVENT Event;
};

// Completion of the idle machinery's power requests. The D2 request's context is its waiter's
// record, freed here; the D0 request's context is the device's wake event, and setting it is the
// last touch of the device.
VOID PowerIrpDoneCallback(PDEVICE_OBJECT, UCHAR, POWER_STATE PowerState, PVOID pContext, PIO_STATUS_BLOCK)
{
    PKEVENT event = static_cast<PKEVENT>(pContext);
    if (PowerState.DeviceState == PowerDeviceD2) {
        auto* wait = static_cast<PowerWaitContext*>(pContext);
        event = wait->Event;
        ExFreePool(wait);
    }
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

// ---- power transitions ----

void UsbAudioDevice::HoldTimerResolution()
{
    if (!m_bTimerResolutionHeld) {
        ExSetTimerResolution(TIMER_RESOLUTION_1MS, TRUE);
        m_bTimerResolutionHeld = true;
    }
}

void UsbAudioDevice::ReleaseTimerResolution()
{
    if (m_bTimerResolutionHeld) {
        ExSetTimerResolution(0, FALSE);
        m_bTimerResolutionHeld = false;
    }
}

VOID UsbAudioDevice::PowerChangeState(POWER_STATE NewState)
{
    if (NewState.DeviceState == CurrentPowerState()) {
        return;
    }
    m_AsioLock.Lock();
    if (NewState.DeviceState == PowerDeviceD0) {
        if (m_pFunctionPower != nullptr) {
            m_pFunctionPower->PowerChangeState(NewState);
        }
        HoldTimerResolution();
        AsioEnteredD0();
    } else {
        // A device that is gone is not touched.
        if (!CheckPort() && m_pFunctionPower != nullptr) {
            m_pFunctionPower->PowerChangeState(NewState);
        }
        AsioLeavingD0();
        ReleaseTimerResolution();
    }
    __atomic_store_n(&m_PowerState, NewState.DeviceState, __ATOMIC_SEQ_CST);
    m_AsioLock.Unlock();
    if (NewState.DeviceState == PowerDeviceD0) {
        AsioRunPendingStop();
    }
}

// ---- selective suspend ----

BOOLEAN UsbAudioDevice::IsIdleAllowed() const
{
    return (ActiveRequests() == 1 && BusyCount() == 0) ? TRUE : FALSE;
}

void UsbAudioDevice::ArmIdleTimer()
{
    LARGE_INTEGER due;
    due.QuadPart = IDLE_TIMER_FIRST;
    KeSetTimerEx(&m_IdleTimer, due, IDLE_TIMER_PERIOD_MS, &m_IdleTimerDpc);
}

VOID UsbAudioDevice::IdleTimerDpc(KDPC* pDpc, PVOID pContext, PVOID, PVOID)
{
    UNREFERENCED_PARAMETER(pDpc);
    auto* device = static_cast<UsbAudioDevice*>(pContext);
    // One work item at a time: the done event then tells exactly whether one is outstanding.
    if (KeReadStateEvent(&device->m_IdleWorkDone) == 0 || __atomic_load_n(&device->m_bIdleStopping, __ATOMIC_SEQ_CST)) {
        return;
    }
    auto* context = static_cast<IdleWorkContext*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(IdleWorkContext), USB_DEVICE_BUFFER_TAG));
    if (context == nullptr) {
        return;
    }
    KeClearEvent(&device->m_IdleWorkDone);
    if (device->IsIdleAllowed()) {
        PIO_WORKITEM item = IoAllocateWorkItem(device->m_pFunctionalDevice);
        if (item != nullptr) {
            context->WorkItem = item;
            context->Device = device;
            IoQueueWorkItem(item, IdleWorkItem, DelayedWorkQueue, context);
            return;
        }
    }
    ExFreePoolWithTag(context, USB_DEVICE_BUFFER_TAG);
    KeSetEvent(&device->m_IdleWorkDone, IO_NO_INCREMENT, FALSE);
}

VOID UsbAudioDevice::IdleWorkItem(PDEVICE_OBJECT pDeviceObject, PVOID pContext)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(pDeviceObject);
    auto* context = static_cast<IdleWorkContext*>(pContext);
    UsbAudioDevice* device = context->Device;
    if (device->IsIdleAllowed()) {
        device->SubmitIdleRequest();  // a refusal is retried by the next period
    }
    IoFreeWorkItem(context->WorkItem);
    ExFreePoolWithTag(context, USB_DEVICE_BUFFER_TAG);
    KeSetEvent(&device->m_IdleWorkDone, IO_NO_INCREMENT, FALSE);
}

NTSTATUS UsbAudioDevice::SubmitIdleRequest()
{
    if (CurrentPowerState() != PowerDeviceD0) {
        return STATUS_POWER_STATE_INVALID;
    }
    KIRQL irql;
    KeAcquireSpinLock(&m_DeviceIdleLock, &irql);
    if (m_bIdleStopping) {
        KeReleaseSpinLock(&m_DeviceIdleLock, irql);
        return STATUS_UNSUCCESSFUL;
    }
    if (InterlockedExchange(&m_lIdleRequestActive, 1) == 1) {
        KeReleaseSpinLock(&m_DeviceIdleLock, irql);
        return STATUS_DEVICE_BUSY;
    }
    KeClearEvent(&m_IdleRequestDone);
    auto* info = static_cast<PUSB_IDLE_CALLBACK_INFO>(ExAllocatePool(NonPagedPoolNx, sizeof(USB_IDLE_CALLBACK_INFO)));
    PIRP pIrp = info != nullptr ? IoAllocateIrp(static_cast<CHAR>(m_pLowerDevice->StackSize + 1), FALSE) : nullptr;
    if (pIrp == nullptr) {
        KeSetEvent(&m_IdleRequestDone, IO_NO_INCREMENT, FALSE);
        InterlockedExchange(&m_lIdleRequestActive, 0);
        KeReleaseSpinLock(&m_DeviceIdleLock, irql);
        if (info != nullptr) {
            ExFreePool(info);
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    info->IdleCallback = IdleNotificationCallback;
    info->IdleContext = this;
    IoSetNextIrpStackLocation(pIrp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(pIrp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION;
    next->Parameters.DeviceIoControl.Type3InputBuffer = info;
    next->Parameters.DeviceIoControl.InputBufferLength = sizeof(USB_IDLE_CALLBACK_INFO);
    IoSetCompletionRoutine(pIrp, IdleIrpCompletion, this, TRUE, TRUE, TRUE);
    m_pIdleCallbackInfo = info;
    m_pIdleIrp = pIrp;
    m_lIdleIrpReferences = 2;
    KeReleaseSpinLock(&m_DeviceIdleLock, irql);

    // A PnP call or a stream may have started meanwhile: it would not see this request yet.
    if (!IsIdleAllowed() || CurrentPowerState() != PowerDeviceD0) {
        KeAcquireSpinLock(&m_DeviceIdleLock, &irql);
        // A canceller that already took the IRP holds one of its references.
        const bool taken = m_pIdleIrp != pIrp;
        m_pIdleIrp = nullptr;
        m_pIdleCallbackInfo = nullptr;
        InterlockedExchange(&m_lIdleRequestActive, 0);
        KeReleaseSpinLock(&m_DeviceIdleLock, irql);
        ExFreePool(info);
        if (!taken || InterlockedDecrement(&m_lIdleIrpReferences) == 0) {
            IoFreeIrp(pIrp);
            KeSetEvent(&m_IdleRequestDone, IO_NO_INCREMENT, FALSE);
        }
        return STATUS_UNSUCCESSFUL;
    }
    if (m_bSelectiveSuspendEnabled != 0) {
        KeCancelTimer(&m_IdleTimer);
    }
    return IofCallDriver(m_pLowerDevice, pIrp);
}

VOID UsbAudioDevice::IdleNotificationCallback(PVOID pContext)
{
    PAGED_CODE();
    auto* device = static_cast<UsbAudioDevice*>(pContext);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    auto* wait = static_cast<PowerWaitContext*>(ExAllocatePool(NonPagedPoolNx, sizeof(PowerWaitContext)));
    if (wait == nullptr) {
        return;
    }
    wait->Device = device;
    wait->Event = &event;
    POWER_STATE state;
    state.DeviceState = PowerDeviceD2;
    KIRQL irql;
    KeAcquireSpinLock(&device->m_DeviceIdleLock, &irql);
    // Only a device nobody needs goes to D2: idle still allowed, the request still held (a
    // canceller has not taken it), awake, and not going away. A request that is being cancelled
    // ends without a power change.
    if (device->m_bIdleStopping || device->m_pIdleIrp == nullptr || !device->IsIdleAllowed() ||
        device->CurrentPowerState() != PowerDeviceD0) {
        KeReleaseSpinLock(&device->m_DeviceIdleLock, irql);
        ExFreePool(wait);
        return;
    }
    // Asked under the lock, so that the D0 the request's end asks (under the lock too) reaches
    // the power manager after it, which runs them in that order.
    KeClearEvent(&device->m_IdleCallbackDone);
    device->m_bIdleD2Asked = true;
    // PortCls brings the D2 request to PowerChangeState on its way down the stack.
    const NTSTATUS status =
        PoRequestPowerIrp(device->m_pPhysicalDevice, IRP_MN_SET_POWER, state, PowerIrpDoneCallback, wait, nullptr);
    if (status != STATUS_PENDING) {
        device->m_bIdleD2Asked = false;
    }
    KeReleaseSpinLock(&device->m_DeviceIdleLock, irql);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    } else {
        ExFreePool(wait);
    }
    // The last touch of the device: removal and teardown wait for it.
    KeSetEvent(&device->m_IdleCallbackDone, IO_NO_INCREMENT, FALSE);
}

NTSTATUS UsbAudioDevice::IdleIrpCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    auto* device = static_cast<UsbAudioDevice*>(pContext);
    const NTSTATUS status = pIrp->IoStatus.Status;
    KIRQL irql;
    KeAcquireSpinLock(&device->m_DeviceIdleLock, &irql);
    const bool d2Asked = device->m_bIdleD2Asked;
    device->m_bIdleD2Asked = false;
    // The request ended: a device the callback sent towards D2 is woken whatever the state reads
    // now (the D2 may still be on its way; this D0 runs after it), and so is one found asleep when
    // the hub fails the request. An object going away is not woken.
    const bool asleep =
        !NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED && device->CurrentPowerState() != PowerDeviceD0;
    if ((d2Asked || asleep) && !device->m_bIdleStopping) {
        KeClearEvent(&device->m_WakeDone);
        POWER_STATE state;
        state.DeviceState = PowerDeviceD0;
        if (PoRequestPowerIrp(device->m_pPhysicalDevice, IRP_MN_SET_POWER, state, PowerIrpDoneCallback,
                              &device->m_WakeDone, nullptr) != STATUS_PENDING) {
            KeSetEvent(&device->m_WakeDone, IO_NO_INCREMENT, FALSE);
        }
    }
    PUSB_IDLE_CALLBACK_INFO info = device->m_pIdleCallbackInfo;
    device->m_pIdleCallbackInfo = nullptr;
    const bool held = device->m_pIdleIrp == pIrp;
    if (held) {
        device->m_pIdleIrp = nullptr;
    }
    InterlockedExchange(&device->m_lIdleRequestActive, 0);
    // Re-armed before the done event is set: the object may be freed once it is.
    if (device->m_bSelectiveSuspendEnabled != 0 && !device->m_bIdleStopping) {
        device->ArmIdleTimer();
    }
    KeReleaseSpinLock(&device->m_DeviceIdleLock, irql);
    if (info != nullptr) {
        ExFreePool(info);
    }
    if (held || InterlockedDecrement(&device->m_lIdleIrpReferences) == 0) {
        IoFreeIrp(pIrp);
        KeSetEvent(&device->m_IdleRequestDone, IO_NO_INCREMENT, FALSE);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID UsbAudioDevice::CancelIdleRequest()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_DeviceIdleLock, &irql);
    PIRP pIrp = nullptr;
    if (!IsIdleAllowed() || m_bIdleStopping) {
        pIrp = m_pIdleIrp;
        m_pIdleIrp = nullptr;
    }
    KeReleaseSpinLock(&m_DeviceIdleLock, irql);
    if (pIrp == nullptr) {
        return;
    }
    IoCancelIrp(pIrp);
    if (InterlockedDecrement(&m_lIdleIrpReferences) == 0) {
        IoFreeIrp(pIrp);
        KeSetEvent(&m_IdleRequestDone, IO_NO_INCREMENT, FALSE);
    }
}

NTSTATUS UsbAudioDevice::OnPnpIrp(PIRP pIrp)
{
    PAGED_CODE();
    if (IsRemovalRequest(pIrp)) {
        // A stop waiting for D0 would never see it: it completes now, so its client can close.
        AsioFlushPendingStop();
    }
    InterlockedIncrement(&m_lActiveRequests);  // idle is no longer allowed
    if (m_bIdleStateReady) {
        if (IsRemovalRequest(pIrp)) {
            // The device leaves: no idle request, timer or cycle starts any more, and what is
            // under way (the request, a hub callback and its D2, a wake already asked) ends
            // before the removal stops the function and takes its filters away.
            StopIdleRequests();
            WaitIdleRequests();
        } else {
            CancelIdleRequest();
            LARGE_INTEGER limit;
            limit.QuadPart = IDLE_WAIT_LIMIT;
            KeWaitForSingleObject(&m_IdleRequestDone, Executive, KernelMode, FALSE, &limit);
            limit.QuadPart = IDLE_WAIT_LIMIT;
            KeWaitForSingleObject(&m_WakeDone, Executive, KernelMode, FALSE, &limit);
        }
    }
    InterlockedDecrement(&m_lActiveRequests);
    return STATUS_SUCCESS;
}

bool UsbAudioDevice::IsRemovalRequest(PIRP pIrp)
{
    if (pIrp == nullptr) {
        return false;
    }
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    return pStack != nullptr && pStack->MajorFunction == IRP_MJ_PNP &&
           (pStack->MinorFunction == IRP_MN_SURPRISE_REMOVAL || pStack->MinorFunction == IRP_MN_REMOVE_DEVICE);
}

void UsbAudioDevice::StopIdleRequests()
{
    PAGED_CODE();
    KIRQL irql;
    KeAcquireSpinLock(&m_DeviceIdleLock, &irql);
    __atomic_store_n(&m_bIdleStopping, true, __ATOMIC_SEQ_CST);
    KeReleaseSpinLock(&m_DeviceIdleLock, irql);
    KeCancelTimer(&m_IdleTimer);
    KeRemoveQueueDpc(&m_IdleTimerDpc);
    KeFlushQueuedDpcs();
    // The hub would hold an idle request for as long as the device stays idle.
    CancelIdleRequest();
}

void UsbAudioDevice::WaitIdleRequests()
{
    PAGED_CODE();
    KeWaitForSingleObject(&m_IdleWorkDone, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&m_IdleRequestDone, Executive, KernelMode, FALSE, nullptr);
    KeWaitForSingleObject(&m_IdleCallbackDone, Executive, KernelMode, FALSE, nullptr);
    // A D0 request made by the idle request's end carries the wake event.
    KeWaitForSingleObject(&m_WakeDone, Executive, KernelMode, FALSE, nullptr);
}

// The steps every class function runs the same way: the status thread's start and end, the jack
// pass over the endpoints, and the re-registration of endpoints whose output kind changed with
// their new names. The versions hand in what differs (the status message size, a bulk pipe, the
// thread body and priority, what follows a renaming).
#include <cstring>

#include "adapter/AdapterExtension.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Pool.h"
#include "usb/UsbAudioFunction.h"

namespace {

// Renamed endpoints take the smallest number no other endpoint carries, below this.
constexpr ULONG ENDPOINT_NUMBER_LIMIT = 100;

bool SameName(PCWSTR a, PCWSTR b)
{
    for (; *a != 0 && *a == *b; ++a, ++b) {
    }
    return *a == *b;
}

}  // namespace

// ---- status thread ----

NTSTATUS UsbAudioFunction::EnsureStatusThread(const StatusThreadShape& shape)
{
    PAGED_CODE();
    PVOID pRaw = nullptr;
    NTSTATUS status = QueryInterface(IID_IUsbDevice, &pRaw);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* pUsb = static_cast<IUsbDevice*>(pRaw);
    // A thread that runs already keeps its pipes: a second one would read the same pipes.
    if (InterruptPipeIndex() == NO_INTERRUPT_PIPE) {
        status = StartStatusThread(pUsb, shape);
    }
    pUsb->Release();
    return status;
}

NTSTATUS UsbAudioFunction::StartStatusThread(IUsbDevice* pUsb, const StatusThreadShape& shape)
{
    PAGED_CODE();
    PUSBD_INTERFACE_INFORMATION pCopy = nullptr;
    ULONG ulHeld = 0;
    const NTSTATUS selected = SelectAudioControlInterface(pUsb, &pCopy, &ulHeld);
    if (pCopy == nullptr) {
        return selected;
    }
    // The first pipe of each kind looked for; a second pipe of a kind already found ends the scan.
    UCHAR interruptIndex = NO_INTERRUPT_PIPE;
    UCHAR bulkIndex = NO_INTERRUPT_PIPE;
    for (ULONG i = 0; i < ulHeld && i < NO_INTERRUPT_PIPE; ++i) {
        const USBD_PIPE_INFORMATION& pipe = pCopy->Pipes[i];
        if (!USB_ENDPOINT_DIRECTION_IN(pipe.EndpointAddress)) {
            continue;
        }
        UCHAR* pSlot = nullptr;
        if (pipe.PipeType == UsbdPipeTypeInterrupt && pipe.MaximumPacketSize == shape.MessageBytes) {
            pSlot = &interruptIndex;
        } else if (pipe.PipeType == UsbdPipeTypeBulk && shape.WithBulkPipe) {
            pSlot = &bulkIndex;
        } else {
            continue;
        }
        if (*pSlot != NO_INTERRUPT_PIPE) {
            break;
        }
        *pSlot = static_cast<UCHAR>(i);
    }
    if (interruptIndex == NO_INTERRUPT_PIPE) {
        ExFreePoolWithTag(pCopy, FUNCTION_URB_TAG);
        return STATUS_SUCCESS;
    }
    m_pInterruptInterface = pCopy;
    __atomic_store_n(&m_BulkPipeIndex, bulkIndex, __ATOMIC_SEQ_CST);
    __atomic_store_n(&m_InterruptPipeIndex, interruptIndex, __ATOMIC_SEQ_CST);

    HANDLE hThread = nullptr;
    const NTSTATUS status =
        PsCreateSystemThread(&hThread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, shape.Body, this);
    if (!NT_SUCCESS(status)) {
        // Without a thread there is nothing for Stop or the destructor to wait for.
        __atomic_store_n(&m_InterruptPipeIndex, NO_INTERRUPT_PIPE, __ATOMIC_SEQ_CST);
        __atomic_store_n(&m_BulkPipeIndex, NO_INTERRUPT_PIPE, __ATOMIC_SEQ_CST);
        m_pInterruptInterface = nullptr;
        ExFreePoolWithTag(pCopy, FUNCTION_URB_TAG);
        return status;
    }
    PVOID pThread = nullptr;
    if (NT_SUCCESS(ObReferenceObjectByHandle(hThread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &pThread,
                                             nullptr))) {
        m_pStatusThread = static_cast<PETHREAD>(pThread);
        KeSetPriorityThread(m_pStatusThread, shape.Priority);
    }
    ZwClose(hThread);
    return STATUS_SUCCESS;
}

VOID UsbAudioFunction::EndStatusThread(BOOLEAN bForgetPipes)
{
    PAGED_CODE();
    // The thread's last reference on the device may end the function on the thread itself: it
    // is leaving already and cannot wait for itself.
    const bool bOnThread = m_pStatusThread != nullptr && m_pStatusThread == PsGetCurrentThread();
    KeSetEvent(&m_StatusThreadStopEvent, IO_NO_INCREMENT, FALSE);
    if (!bOnThread) {
        KeWaitForSingleObject(&m_StatusThreadExitEvent, Executive, KernelMode, FALSE, nullptr);
    }
    if (m_pStatusThread != nullptr) {
        // The exit event comes just before the thread ends; the function must outlive it.
        if (!bOnThread) {
            KeWaitForSingleObject(m_pStatusThread, Executive, KernelMode, FALSE, nullptr);
        }
        ObDereferenceObject(m_pStatusThread);
        m_pStatusThread = nullptr;
    }
    if (bForgetPipes) {
        if (m_pInterruptInterface != nullptr) {
            ExFreePoolWithTag(m_pInterruptInterface, FUNCTION_URB_TAG);
            m_pInterruptInterface = nullptr;
        }
        __atomic_store_n(&m_InterruptPipeIndex, NO_INTERRUPT_PIPE, __ATOMIC_SEQ_CST);
        __atomic_store_n(&m_BulkPipeIndex, NO_INTERRUPT_PIPE, __ATOMIC_SEQ_CST);
    }
    KeClearEvent(&m_StatusThreadStopEvent);
    KeClearEvent(&m_StatusThreadExitEvent);
}

// ---- endpoints ----

NTSTATUS UsbAudioFunction::RegisterEndpointsByPresence()
{
    PAGED_CODE();
    NTSTATUS status = STATUS_SUCCESS;
    m_EndpointLock.Lock();
    const ULONG ulCount = GetEndpointCount();
    for (ULONG i = 0; i < ulCount && NT_SUCCESS(status); ++i) {
        StreamEngine* pEndpoint = nullptr;
        status = GetEndpoint(i, &pEndpoint);
        if (NT_SUCCESS(status)) {
            status = pEndpoint->RegisterWave(m_pFunctionalDevice, nullptr, static_cast<IAudioHal*>(this));
        }
    }
    m_EndpointLock.Unlock();
    return status;
}

NTSTATUS UsbAudioFunction::FormatEndpointName(StreamEngine* pEndpoint, PWSTR pName)
{
    PAGED_CODE();
    ULONG ulKind = pEndpoint->GetKind();
    if (ulKind >= ENDPOINT_KIND_COUNT) {
        ulKind = ENDPOINT_KIND_STREAM;
    }
    const BOOLEAN bCapture = pEndpoint->IsCapture();
    ULONG ulNumber = 0;
    if (AdapterExtension* pExtension = GetAdapterExtension(m_pFunctionalDevice)) {
        const UCHAR counter = bCapture ? pExtension->CaptureNameCounters[ulKind] : pExtension->RenderNameCounters[ulKind];
        ulNumber = counter > 0 ? counter - 1u : 0u;
    }
    // The number the start-up counter suggests, unless another endpoint carries that name: then
    // the smallest free one (two subdevices of one name cannot both be registered).
    const ULONG ulCount = GetEndpointCount();
    for (ULONG ulTry = 0; ulTry <= ENDPOINT_NUMBER_LIMIT; ++ulTry) {
        const NTSTATUS status = FormatEndpointKindName(pName, STREAM_ENGINE_MAX_NAME_BYTES, bCapture, ulKind, ulNumber);
        if (!NT_SUCCESS(status) && status != STATUS_BUFFER_OVERFLOW) {
            return status;
        }
        bool bTaken = false;
        for (ULONG i = 0; i < ulCount && !bTaken; ++i) {
            StreamEngine* pOther = nullptr;
            WCHAR other[STREAM_ENGINE_MAX_NAME_BYTES / sizeof(WCHAR)] = {};
            if (NT_SUCCESS(GetEndpoint(i, &pOther)) && pOther != pEndpoint && NT_SUCCESS(pOther->GetName(other))) {
                bTaken = SameName(other, pName);
            }
        }
        if (!bTaken) {
            return STATUS_SUCCESS;
        }
        ulNumber = ulTry;
    }
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS UsbAudioFunction::ReRegisterChangedEndpoints(ULONG ulEntityId, AfterRenameStep pAfterRename)
{
    PAGED_CODE();
    const ULONG ulCount = GetEndpointCount();
    if (ulCount == 0) {
        return STATUS_UNSUCCESSFUL;
    }
    NTSTATUS status = STATUS_SUCCESS;
    m_EndpointLock.Lock();
    for (ULONG i = 0; i < ulCount; ++i) {
        StreamEngine* pEndpoint = nullptr;
        status = GetEndpoint(i, &pEndpoint);
        if (!NT_SUCCESS(status)) {
            break;
        }
        if (!HasOutputKindChanged(pEndpoint)) {
            continue;
        }
        auto* pName = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, NAME_BUFFER_BYTES, TEMP_NAME_TAG));
        if (pName == nullptr) {
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        std::memset(pName, 0, NAME_BUFFER_BYTES);
        status = pEndpoint->UnregisterWave(m_pFunctionalDevice, nullptr, static_cast<IAudioHal*>(this));
        const bool bUnregistered = NT_SUCCESS(status);
        if (bUnregistered) {
            status = FormatEndpointName(pEndpoint, pName);
            if (NT_SUCCESS(status)) {
                status = pEndpoint->SetName(pName);
            }
        }
        ExFreePoolWithTag(pName, TEMP_NAME_TAG);
        bool bRegistered = false;
        if (bUnregistered && pAfterRename != nullptr) {
            // The step may wait or take the endpoint lock itself: it runs without it.
            m_EndpointLock.Unlock();
            status = pAfterRename(this, pEndpoint, ulEntityId, status, &bRegistered);
            m_EndpointLock.Lock();
        }
        if (NT_SUCCESS(status) && !bRegistered) {
            status = pEndpoint->RegisterWave(m_pFunctionalDevice, nullptr, static_cast<IAudioHal*>(this));
        }
        if (!NT_SUCCESS(status)) {
            break;
        }
    }
    m_EndpointLock.Unlock();
    return status;
}

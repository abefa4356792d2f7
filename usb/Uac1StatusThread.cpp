// The UAC1 status thread: keeps one 2-byte read on the AudioControl interrupt pipe and hands
// every status word of an AudioControl entity to OnStatusChange, until the stop event.
#include <cstring>

#include "platform/io/Io.h"
#include "platform/nt/Pool.h"
#include "usb/Uac1Function.h"
#include "usb/UsbAudioDevice.h"

namespace {

constexpr ULONG STATUS_WORD_BYTES = 2;
constexpr UCHAR ORIGINATOR_TYPE_MASK = 0x0F;
constexpr UCHAR ORIGINATOR_AUDIOCONTROL = 0x00;

// Builds the interrupt read into the IRP's next stack location and sends it. The event is set by
// the completion, whatever the outcome.
NTSTATUS SubmitStatusRead(IUsbDevice* pUsb, PIRP pIrp, PURB pUrb, PUCHAR pWord, PKEVENT pEvent, USBD_PIPE_HANDLE hPipe)
{
    std::memset(pUrb, 0, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
    std::memset(pWord, 0, STATUS_WORD_BYTES);
    pUrb->UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    pUrb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    auto& transfer = pUrb->UrbBulkOrInterruptTransfer;
    transfer.PipeHandle = hPipe;
    transfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    transfer.TransferBuffer = pWord;
    transfer.TransferBufferLength = STATUS_WORD_BYTES;

    IoSetNextIrpStackLocation(pIrp);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(pIrp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = pUrb;
    IoSetCompletionRoutine(pIrp, UsbAudioDevice::SyncIrpCompletion, pEvent, TRUE, TRUE, TRUE);
    KeClearEvent(pEvent);
    return pUsb->CallLowerDriver(pIrp);
}

}  // namespace

VOID Uac1Function::StatusInitialPass()
{
    PAGED_CODE();
    // Each unit id once, smallest first: the units report their state as it is now.
    bool bHaveLast = false;
    ULONG ulLast = 0;
    for (;;) {
        bool bFound = false;
        ULONG ulNext = 0;
        if (m_pUnits != nullptr) {
            for (UsbAudioUnit* pUnit : m_pUnits->Items<UsbAudioUnit>()) {
                const ULONG ulId = pUnit->GetId();
                if ((!bHaveLast || ulId > ulLast) && (!bFound || ulId < ulNext)) {
                    ulNext = ulId;
                    bFound = true;
                }
            }
        }
        if (!bFound) {
            return;
        }
        OnStatusChange(ulNext);
        ulLast = ulNext;
        bHaveLast = true;
    }
}

VOID Uac1Function::StatusThread(PVOID pContext)
{
    PAGED_CODE();
    auto* pFunction = static_cast<Uac1Function*>(pContext);
    auto* pEvent = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KEVENT), UAC1_FUNCTION_TAG));
    auto* pUrb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), UAC1_FUNCTION_TAG));
    auto* pAbort = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_URB_PIPE_REQUEST), UAC1_FUNCTION_TAG));
    auto* pWord = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, STATUS_WORD_BYTES, UAC1_FUNCTION_TAG));
    IUsbDevice* pUsb = nullptr;
    PIRP pIrp = nullptr;
    bool bSent = false;
    const USBD_PIPE_HANDLE hPipe = pFunction->m_pInterruptInterface->Pipes[pFunction->InterruptPipeIndex()].PipeHandle;

    if (pEvent != nullptr && pUrb != nullptr && pAbort != nullptr && pWord != nullptr) {
        KeInitializeEvent(pEvent, NotificationEvent, TRUE);
        PVOID pRaw = nullptr;
        if (NT_SUCCESS(pFunction->QueryInterface(IID_IUsbDevice, &pRaw))) {
            pUsb = static_cast<IUsbDevice*>(pRaw);
            pIrp = pUsb->AllocateIrp();
        }
    }
    if (pIrp != nullptr) {
        bSent = true;
        if (!NT_ERROR(SubmitStatusRead(pUsb, pIrp, pUrb, pWord, pEvent, hPipe))) {
            pFunction->StatusInitialPass();
            for (;;) {
                PVOID objects[2] = {pEvent, &pFunction->m_StatusThreadStopEvent};
                const NTSTATUS wait =
                    KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
                if (wait != STATUS_WAIT_0) {
                    // Stop: abort the read. An abort that was not sent (the device is gone or
                    // the request failed) leaves the read pending: cancel it instead.
                    std::memset(pAbort, 0, sizeof(_URB_PIPE_REQUEST));
                    pAbort->UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
                    pAbort->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
                    pAbort->UrbPipeRequest.PipeHandle = hPipe;
                    if (!NT_SUCCESS(pUsb->SubmitUrbSync(pAbort))) {
                        IoCancelIrp(pIrp);
                    }
                    break;
                }
                if (!NT_SUCCESS(pIrp->IoStatus.Status)) {
                    break;
                }
                // Only a whole status word names an originator.
                if (pUrb->UrbBulkOrInterruptTransfer.TransferBufferLength >= STATUS_WORD_BYTES &&
                    (pWord[0] & ORIGINATOR_TYPE_MASK) == ORIGINATOR_AUDIOCONTROL) {
                    pFunction->OnStatusChange(pWord[1]);
                }
                IoReuseIrp(pIrp, STATUS_NOT_SUPPORTED);
                PVOID pRaw = nullptr;
                if (!NT_SUCCESS(pFunction->QueryInterface(IID_IUsbDevice, &pRaw))) {
                    break;
                }
                auto* pFresh = static_cast<IUsbDevice*>(pRaw);
                const NTSTATUS status = SubmitStatusRead(pFresh, pIrp, pUrb, pWord, pEvent, hPipe);
                pFresh->Release();
                if (NT_ERROR(status)) {
                    break;
                }
            }
        }
    }
    if (bSent) {
        KeWaitForSingleObject(pEvent, Executive, KernelMode, FALSE, nullptr);
    }
    if (pIrp != nullptr) {
        pUsb->FreeIrp(pIrp);
    }
    if (pWord != nullptr) {
        ExFreePoolWithTag(pWord, UAC1_FUNCTION_TAG);
    }
    if (pAbort != nullptr) {
        ExFreePoolWithTag(pAbort, UAC1_FUNCTION_TAG);
    }
    if (pUrb != nullptr) {
        ExFreePoolWithTag(pUrb, UAC1_FUNCTION_TAG);
    }
    if (pEvent != nullptr) {
        ExFreePoolWithTag(pEvent, UAC1_FUNCTION_TAG);
    }
    // The exit event is the last touch of the function. The device reference goes after it: it
    // keeps the function alive until here, and when it is the last one the function ends on this
    // thread (its Stop then waits for nothing).
    KeSetEvent(&pFunction->m_StatusThreadExitEvent, IO_NO_INCREMENT, FALSE);
    if (pUsb != nullptr) {
        pUsb->Release();
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

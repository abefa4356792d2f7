// The UAC2 status thread: keeps one 6-byte read on the AudioControl interrupt pipe and, when the
// interface has one, one 512-byte read on its bulk IN pipe, whose data is dropped. Every interrupt
// data message of a class-specific CUR change on the AudioControl interface goes to
// OnStatusChange, until the stop event or a transfer error.
#include <cstring>

#include "platform/io/Io.h"
#include "platform/nt/Pool.h"
#include "usb/Uac2Function.h"
#include "usb/UsbAudioDevice.h"

namespace {

constexpr UCHAR INFO_ORIGIN_MASK = 0x03;  // bInfo bits 0 and 1: 0 is class-specific, from an interface
constexpr UCHAR ATTRIBUTE_CUR = 0x01;

// One transfer the thread keeps outstanding: its URB, buffer, IRP and completion event.
struct StatusTransfer {
    PURB Urb = nullptr;
    PUCHAR Buffer = nullptr;
    ULONG Bytes = 0;
    PIRP Irp = nullptr;
    PKEVENT Event = nullptr;
    USBD_PIPE_HANDLE Pipe = nullptr;
    bool Sent = false;  // sent at least once: its completion sets the event

    bool Allocate(ULONG ulBytes)
    {
        Bytes = ulBytes;
        Event = static_cast<PKEVENT>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KEVENT), UAC2_FUNCTION_TAG));
        Urb = static_cast<PURB>(
            ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), UAC2_FUNCTION_TAG));
        Buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, ulBytes, UAC2_FUNCTION_TAG));
        if (Event != nullptr) {
            KeInitializeEvent(Event, NotificationEvent, TRUE);
        }
        return Event != nullptr && Urb != nullptr && Buffer != nullptr;
    }

    // Builds the read into the IRP's next stack location and sends it. The event is set by the
    // completion, whatever the outcome.
    NTSTATUS Submit(IUsbDevice* pUsb)
    {
        std::memset(Urb, 0, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));
        std::memset(Buffer, 0, Bytes);
        Urb->UrbHeader.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
        Urb->UrbHeader.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        auto& transfer = Urb->UrbBulkOrInterruptTransfer;
        transfer.PipeHandle = Pipe;
        transfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
        transfer.TransferBuffer = Buffer;
        transfer.TransferBufferLength = Bytes;

        IoSetNextIrpStackLocation(Irp);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = Urb;
        IoSetCompletionRoutine(Irp, UsbAudioDevice::SyncIrpCompletion, Event, TRUE, TRUE, TRUE);
        KeClearEvent(Event);
        Sent = true;
        return pUsb->CallLowerDriver(Irp);
    }

    // Resubmits the completed transfer through a freshly obtained IUsbDevice, released again.
    NTSTATUS Resubmit(UsbAudioFunction* pFunction)
    {
        IoReuseIrp(Irp, STATUS_NOT_SUPPORTED);
        PVOID pRaw = nullptr;
        NTSTATUS status = pFunction->QueryInterface(IID_IUsbDevice, &pRaw);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        auto* pFresh = static_cast<IUsbDevice*>(pRaw);
        status = Submit(pFresh);
        pFresh->Release();
        return NT_ERROR(status) ? status : STATUS_SUCCESS;
    }

    // Cancels a transfer still pending and waits for its completion.
    void Drain()
    {
        PAGED_CODE();
        if (!Sent) {
            return;
        }
        if (KeReadStateEvent(Event) == 0) {
            IoCancelIrp(Irp);
        }
        KeWaitForSingleObject(Event, Executive, KernelMode, FALSE, nullptr);
    }

    void Free(IUsbDevice* pUsb)
    {
        if (Irp != nullptr) {
            pUsb->FreeIrp(Irp);
        }
        if (Buffer != nullptr) {
            ExFreePoolWithTag(Buffer, UAC2_FUNCTION_TAG);
        }
        if (Urb != nullptr) {
            ExFreePoolWithTag(Urb, UAC2_FUNCTION_TAG);
        }
        if (Event != nullptr) {
            ExFreePoolWithTag(Event, UAC2_FUNCTION_TAG);
        }
    }
};

}  // namespace

VOID Uac2Function::StatusThread(PVOID pContext)
{
    PAGED_CODE();
    auto* pFunction = static_cast<Uac2Function*>(pContext);
    const PUSBD_INTERFACE_INFORMATION pInterface = pFunction->m_pInterruptInterface;
    const UCHAR bulkIndex = pFunction->BulkPipeIndex();
    StatusTransfer interrupt;
    StatusTransfer bulk;
    interrupt.Pipe = pInterface->Pipes[pFunction->InterruptPipeIndex()].PipeHandle;
    const bool bHasBulk = bulkIndex != NO_INTERRUPT_PIPE;
    if (bHasBulk) {
        bulk.Pipe = pInterface->Pipes[bulkIndex].PipeHandle;
    }

    IUsbDevice* pUsb = nullptr;
    bool bReady = interrupt.Allocate(UAC2_STATUS_MESSAGE_BYTES) && (!bHasBulk || bulk.Allocate(UAC2_STATUS_BULK_BYTES));
    if (bReady) {
        PVOID pRaw = nullptr;
        bReady = NT_SUCCESS(pFunction->QueryInterface(IID_IUsbDevice, &pRaw));
        pUsb = static_cast<IUsbDevice*>(pRaw);
    }
    if (bReady && bHasBulk) {
        bulk.Irp = pUsb->AllocateIrp();
        bReady = bulk.Irp != nullptr && !NT_ERROR(bulk.Submit(pUsb));
    }
    if (bReady) {
        interrupt.Irp = pUsb->AllocateIrp();
        bReady = interrupt.Irp != nullptr && !NT_ERROR(interrupt.Submit(pUsb));
    }
    while (bReady) {
        PVOID objects[3] = {interrupt.Event, &pFunction->m_StatusThreadStopEvent, bulk.Event};
        const NTSTATUS wait = KeWaitForMultipleObjects(bHasBulk ? 3 : 2, objects, WaitAny, Executive, KernelMode,
                                                       FALSE, nullptr, nullptr);
        if (wait == STATUS_WAIT_0) {
            if (!NT_SUCCESS(interrupt.Irp->IoStatus.Status)) {
                break;
            }
            // Only a whole message, class-specific from an interface, a CUR change on the
            // AudioControl interface, names a control.
            const PUCHAR m = interrupt.Buffer;
            if (interrupt.Urb->UrbBulkOrInterruptTransfer.TransferBufferLength >= UAC2_STATUS_MESSAGE_BYTES &&
                (m[0] & INFO_ORIGIN_MASK) == 0 && m[1] == ATTRIBUTE_CUR &&
                m[4] == pFunction->AudioControlInterfaceNumber()) {
                pFunction->OnStatusChange(m[5], m[3], m[2]);
            }
            if (!NT_SUCCESS(interrupt.Resubmit(pFunction))) {
                break;
            }
        } else if (wait == STATUS_WAIT_0 + 2) {
            if (!NT_SUCCESS(bulk.Irp->IoStatus.Status) || !NT_SUCCESS(bulk.Resubmit(pFunction))) {
                break;
            }
        } else {
            break;
        }
    }
    interrupt.Drain();
    bulk.Drain();
    // IRPs exist only where the device interface was obtained.
    interrupt.Free(pUsb);
    bulk.Free(pUsb);
    // The exit event is the last touch of the function. The device reference goes after it: it
    // keeps the function alive until here, and when it is the last one the function ends on this
    // thread (its Stop then waits for nothing).
    KeSetEvent(&pFunction->m_StatusThreadExitEvent, IO_NO_INCREMENT, FALSE);
    if (pUsb != nullptr) {
        pUsb->Release();
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

// The one data transfer of every endpoint class: the submission (lock, device, state, a free
// transfer, the URB header, the packets the class lays out, the render fill, the start frame,
// the send) and the completion (the capture store, the render count, recycle, error kick,
// resubmission). The classes hand in their packet layout and their capture store.
#include <cstring>

#include "stream/UsbStreamEndpoint.h"

NTSTATUS UsbStreamEndpoint::SubmitTransfer(const TransferSteps& steps)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_EndpointSubmitLock, &irql);
    IUsbDevice* pUsb = GetUsbDevice();
    if (pUsb == nullptr) {
        KeReleaseSpinLock(&m_EndpointSubmitLock, irql);
        return STATUS_INVALID_PARAMETER;
    }
    if (IsDeviceGone() || GetStreamState() != STREAM_STATE_STREAMING) {
        pUsb->Release();
        KeReleaseSpinLock(&m_EndpointSubmitLock, irql);
        return STATUS_SUCCESS;
    }
    if (steps.BeforeTransfer != nullptr) {
        const NTSTATUS before = steps.BeforeTransfer(this, pUsb);
        if (!NT_SUCCESS(before)) {
            pUsb->Release();
            KeReleaseSpinLock(&m_EndpointSubmitLock, irql);
            return before;
        }
    }
    TransferContext* pContext = TakeFreeTransfer();
    if (pContext == nullptr) {
        pUsb->Release();
        KeReleaseSpinLock(&m_EndpointSubmitLock, irql);
        return STATUS_BUFFER_TOO_SMALL;
    }
    const ULONG ulPackets = m_ulPacketsPerMs * m_ulMsPerTransfer;
    const bool bCapture = IsCapture() != FALSE;
    PURB pUrb = pContext->Urb;
    std::memset(pUrb, 0, RingIsoUrbSize(ulPackets));
    auto& iso = pUrb->UrbIsochronousTransfer;
    pUrb->UrbHeader.Length = static_cast<USHORT>(RingIsoUrbSize(ulPackets));
    pUrb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    PUSBD_PIPE_INFORMATION pPipe = DataPipe();
    iso.PipeHandle = pPipe != nullptr ? pPipe->PipeHandle : nullptr;
    iso.TransferFlags = (bCapture ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0) |
                        (m_bExplicitStart ? 0 : USBD_START_ISO_TRANSFER_ASAP);
    iso.TransferBuffer = pContext->DataBuffer;
    ULONG ulTotal = steps.LayOutPackets(this, pPipe, &iso, ulPackets);
    iso.NumberOfPackets = ulPackets;
    if (!bCapture) {
        FillRenderTransfer(pContext, ulTotal);
        if (steps.ShapeWire != nullptr) {
            ulTotal = steps.ShapeWire(this, static_cast<PUCHAR>(pContext->DataBuffer), ulTotal, &iso);
        }
    }
    iso.TransferBufferLength = ulTotal;
    pContext->ByteCount = ulTotal;
    iso.StartFrame = m_bExplicitStart ? TakeStartFrame(pUsb) : 0;
    const NTSTATUS status = SendTransfer(pUsb, pContext);
    pUsb->Release();
    KeReleaseSpinLock(&m_EndpointSubmitLock, irql);
    return status;
}

VOID UsbStreamEndpoint::FillRenderTransfer(TransferContext* pContext, ULONG ulBytes)
{
    // A transfer that no client fills goes out silent, not with the audio of an older one.
    std::memset(pContext->DataBuffer, 0, ulBytes);
    TransportMessage message;
    std::memset(&message, 0, sizeof message);
    message.Client = m_pRunningClient;
    message.Event = TRANSPORT_EVENT_FILL_RENDER;
    message.Data.Buffer = pContext->DataBuffer;
    message.Data.Bytes = ulBytes;
    Notify(&message);
    // The processing takes what the clients left in the message, as long as it stays inside
    // this transfer's buffer.
    if (message.Data.Buffer == pContext->DataBuffer && message.Data.Bytes <= ulBytes) {
        ProcessBuffer(message.Data.Buffer, message.Data.Bytes);
    } else {
        ProcessBuffer(pContext->DataBuffer, ulBytes);
    }
}

NTSTATUS UsbStreamEndpoint::CompleteTransfer(PIRP pIrp, TransferContext* pContext, const CompletionSteps& steps)
{
    const NTSTATUS status = pIrp->IoStatus.Status;
    const bool bCapture = IsCapture() != FALSE;
    if (bCapture && NT_SUCCESS(status) && steps.Consume != nullptr) {
        steps.Consume(this, pContext);
    }
    const bool bStreaming = GetStreamState() == STREAM_STATE_STREAMING;
    if (!bCapture) {
        if (bStreaming && (status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE)) {
            __atomic_store_n(&m_bDeviceGone, 1, __ATOMIC_SEQ_CST);
        }
        NotifyBytesMoved(steps.ClientBytes != nullptr ? steps.ClientBytes(this, pContext->ByteCount)
                                                      : pContext->ByteCount);
    }
    if (bStreaming && status != STATUS_CANCELLED) {
        PURB pUrb = pContext->Urb;
        if (steps.PacketStatusesFail) {
            auto& iso = pUrb->UrbIsochronousTransfer;
            for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
                if (USBD_ERROR(iso.IsoPacket[i].Status)) {
                    pUrb->UrbHeader.Status = iso.IsoPacket[i].Status;
                    break;
                }
            }
        }
        const bool bFailed = !NT_SUCCESS(status) || USBD_ERROR(pUrb->UrbHeader.Status);
        RecycleTransfer(pContext);
        if (bFailed) {
            if (InterlockedExchange(&m_ResubmitState, RESUBMIT_ERROR) != RESUBMIT_ERROR) {
                KeSetEvent(&m_EndpointKickEvent, IO_SOUND_INCREMENT, FALSE);
            }
        } else if (GetResubmitState() == RESUBMIT_IDLE) {
            // Every good completion while the ring keeps itself submits its successor; the
            // submit lock serialises completions on several processors.
            SubmitNext();
        }
    } else {
        RecycleTransfer(pContext);
    }
    TransferDone();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

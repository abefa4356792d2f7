// UAC1 render: the prepared sizes, the interface selection with the sampling frequency, the
// render transfer (fill, process, send) and its completion, which keeps the ring full.
#include "stream/Uac1RenderEndpoint.h"

#include <cstring>

Uac1RenderEndpoint::Uac1RenderEndpoint(PUNKNOWN pOuterUnknown, ULONG ulInterfaceNumber, ULONG ulTerminalLink)
    : UsbStreamEndpoint(pOuterUnknown, ulInterfaceNumber, ulTerminalLink), m_ulNominalRate(0), m_lPacketAccumulator(0)
{
    m_ulMsPerTransfer = DEFAULT_MS_PER_TRANSFER;
}

VOID Uac1RenderEndpoint::ResetRingPositions()
{
    UsbStreamEndpoint::ResetRingPositions();
    m_lPacketAccumulator = 0;
}

NTSTATUS Uac1RenderEndpoint::PrepareFormat(EndpointClient* pClient, PULONG pulFrame)
{
    m_EndpointTransportLock.Lock();
    UCHAR bAlternate = 0;
    NTSTATUS status = CheckFormatToPrepare(pClient, &bAlternate);
    if (!NT_SUCCESS(status)) {
        m_EndpointTransportLock.Unlock();
        return status;
    }
    const WAVEFORMATEX& format = pClient->Format.Format;
    m_ulMsPerTransfer = pClient->MsPerTransfer;
    m_ulTransfersQueued = pClient->TransfersQueued < MAX_TRANSFER_CONTEXTS ? pClient->TransfersQueued
                                                                          : MAX_TRANSFER_CONTEXTS;
    m_ulPacketsPerMs = GetPacketsPerMs(bAlternate);
    m_ulNominalRate = format.nSamplesPerSec;
    m_ulFramesPerPacket = format.nSamplesPerSec / (m_ulPacketsPerMs * 1000);
    // One more packet's frames per millisecond than the nominal rate needs, so that the
    // fractional packet sizes always fit.
    const ULONG ulFramesPerMs = format.nSamplesPerSec / 1000;
    const ULONG ulDataBytes =
        (ulFramesPerMs - ulFramesPerMs % m_ulPacketsPerMs + m_ulPacketsPerMs) * format.nBlockAlign * m_ulMsPerTransfer;
    m_ulPreparedBlockAlign = format.nBlockAlign;
    m_ulPreparedRate = format.nSamplesPerSec;
    status = PrepareRing(RingIsoUrbSize(m_ulPacketsPerMs * m_ulMsPerTransfer), ulDataBytes);
    return FinishPreparation(status, bAlternate, pClient, pulFrame);
}

NTSTATUS Uac1RenderEndpoint::SelectAlternateSetting(UCHAR bAlternateSetting, EndpointClient* pClient)
{
    IUsbDevice* pUsb = GetUsbDevice();
    if (pUsb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = SelectInterface(pUsb, bAlternateSetting, FALSE);
    if (NT_SUCCESS(status) && pClient != nullptr) {
        // A device that refuses the frequency still plays at the one it has.
        SetSamplingFrequency(pUsb, pClient->Format.Format.nSamplesPerSec);
    }
    pUsb->Release();
    return status;
}

NTSTATUS Uac1RenderEndpoint::SubmitNext()
{
    const ULONG ulPacketsPerSecond = m_ulPacketsPerMs * 1000;
    const ULONG ulPackets = m_ulPacketsPerMs * m_ulMsPerTransfer;
    const LONG lRemainder = static_cast<LONG>(m_ulNominalRate - m_ulFramesPerPacket * ulPacketsPerSecond);
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
    TransferContext* pContext = TakeFreeTransfer();
    if (pContext == nullptr) {
        pUsb->Release();
        KeReleaseSpinLock(&m_EndpointSubmitLock, irql);
        return STATUS_BUFFER_TOO_SMALL;
    }
    PURB pUrb = pContext->Urb;
    std::memset(pUrb, 0, RingIsoUrbSize(ulPackets));
    auto& iso = pUrb->UrbIsochronousTransfer;
    pUrb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    PUSBD_PIPE_INFORMATION pPipe = DataPipe();
    iso.PipeHandle = pPipe != nullptr ? pPipe->PipeHandle : nullptr;
    iso.TransferFlags = m_bExplicitStart ? 0 : USBD_START_ISO_TRANSFER_ASAP;
    iso.TransferBuffer = pContext->DataBuffer;
    // Packets are cut in frames of the prepared format, the one the buffers were sized for, and
    // never run past the buffer.
    const ULONG ulAlign = m_ulPreparedBlockAlign;
    ULONG ulTotal = 0;
    for (ULONG i = 0; i < ulPackets; ++i) {
        m_lPacketAccumulator += lRemainder;
        const LONG lExtra = m_lPacketAccumulator / static_cast<LONG>(ulPacketsPerSecond);
        m_lPacketAccumulator %= static_cast<LONG>(ulPacketsPerSecond);
        ULONG ulLength = (m_ulFramesPerPacket + static_cast<ULONG>(lExtra)) * ulAlign;
        if (ulTotal + ulLength > m_ulDataBufferSize) {
            ulLength = (m_ulDataBufferSize - ulTotal) / ulAlign * ulAlign;
        }
        iso.IsoPacket[i].Offset = ulTotal;
        iso.IsoPacket[i].Length = ulLength;
        ulTotal += ulLength;
    }
    iso.TransferBufferLength = ulTotal;
    pUrb->UrbHeader.Length = static_cast<USHORT>(RingIsoUrbSize(ulPackets));
    iso.NumberOfPackets = ulPackets;
    std::memset(pContext->DataBuffer, 0, ulTotal);

    TransportMessage message;
    std::memset(&message, 0, sizeof message);
    message.Client = m_pRunningClient;
    message.Event = TRANSPORT_EVENT_FILL_RENDER;
    message.Data.Buffer = pContext->DataBuffer;
    message.Data.Bytes = ulTotal;
    Notify(&message);
    // The processing takes what the clients left in the message, as long as it stays inside
    // this transfer's buffer.
    if (message.Data.Buffer == pContext->DataBuffer && message.Data.Bytes <= ulTotal) {
        ProcessBuffer(message.Data.Buffer, message.Data.Bytes);
    } else {
        ProcessBuffer(pContext->DataBuffer, ulTotal);
    }
    ulTotal = ShapeWireData(static_cast<PUCHAR>(pContext->DataBuffer), ulTotal, &iso);
    iso.TransferBufferLength = ulTotal;
    pContext->ByteCount = ulTotal;
    if (m_bExplicitStart) {
        iso.StartFrame = TakeStartFrame(pUsb);
    } else {
        iso.StartFrame = 0;
    }
    const NTSTATUS status = SendTransfer(pUsb, pContext);
    pUsb->Release();
    KeReleaseSpinLock(&m_EndpointSubmitLock, irql);
    return status;
}

NTSTATUS Uac1RenderEndpoint::OnTransferComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, TransferContext* pContext)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    const NTSTATUS status = pIrp->IoStatus.Status;
    PURB pUrb = pContext->Urb;
    if (GetStreamState() == STREAM_STATE_STREAMING) {
        if (status == STATUS_DEVICE_NOT_CONNECTED || status == STATUS_NO_SUCH_DEVICE) {
            __atomic_store_n(&m_bDeviceGone, 1, __ATOMIC_SEQ_CST);
        }
        NotifyBytesMoved(ClientBytes(pContext->ByteCount));
        if (status == STATUS_CANCELLED) {
            RecycleTransfer(pContext);
        } else {
            auto& iso = pUrb->UrbIsochronousTransfer;
            for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
                if (USBD_ERROR(iso.IsoPacket[i].Status)) {
                    pUrb->UrbHeader.Status = iso.IsoPacket[i].Status;
                    break;
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
        }
    } else {
        NotifyBytesMoved(ClientBytes(pContext->ByteCount));
        RecycleTransfer(pContext);
    }
    TransferDone();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// UAC2 capture: the clock step of the preparation, the interface selection, the completion and
// the store that hands out each completion's bytes as they were written.
#include "stream/Uac2CaptureEndpoint.h"

#include <cstring>

#include "stream/Uac2RenderEndpoint.h"

Uac2CaptureEndpoint::Uac2CaptureEndpoint(PUNKNOWN pOuterUnknown, ULONG ulInterfaceNumber, ULONG ulTerminalLink,
                                         ULONG ulClockEntityId)
    : Uac1CaptureEndpoint(pOuterUnknown, ulInterfaceNumber, ulTerminalLink), m_ulClockEntityId(ulClockEntityId)
{
    m_ulRingTag = UAC2_CAPTURE_RING_TAG;
}

NTSTATUS Uac2CaptureEndpoint::PrepareBeforeSelection(EndpointClient* pClient)
{
    return Uac2SetClockRate(m_pOwner, m_ulClockEntityId, pClient->Format.Format.nSamplesPerSec);
}

NTSTATUS Uac2CaptureEndpoint::SelectAlternateSetting(UCHAR bAlternateSetting, EndpointClient* pClient)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(pClient);  // the rate lives on the clock, not on the endpoint
    IUsbDevice* pUsb = GetUsbDevice();
    if (pUsb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const NTSTATUS status = SelectInterface(pUsb, bAlternateSetting, TRUE);
    pUsb->Release();
    return status;
}

UCHAR Uac2CaptureEndpoint::IsAlternateSettingValid(UCHAR bAlternateSetting)
{
    if (bAlternateSetting == 0) {
        return TRUE;
    }
    IUsbDevice* pUsb = GetUsbDevice();
    const UCHAR bValid = Uac2AlternateSettingValid(pUsb, GetInterfaceNumber(), bAlternateSetting);
    if (pUsb != nullptr) {
        pUsb->Release();
    }
    return bValid;
}

NTSTATUS Uac2CaptureEndpoint::OnTransferComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, TransferContext* pContext)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    const CompletionSteps steps = {
        [](UsbStreamEndpoint* pEndpoint, TransferContext* pDone) {
            static_cast<Uac2CaptureEndpoint*>(pEndpoint)->CaptureData(pDone);
        },
        false,
        nullptr,
    };
    return CompleteTransfer(pIrp, pContext, steps);
}

VOID Uac2CaptureEndpoint::CaptureData(TransferContext* pContext)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_EndpointRingLock, &irql);
    const ULONG ulAlign = m_ulPreparedBlockAlign;
    if (m_pRing == nullptr || ulAlign == 0 || m_ulRingSize == 0 || m_ulPacketsPerMs == 0) {
        KeReleaseSpinLock(&m_EndpointRingLock, irql);
        return;
    }
    const ULONG ulSpace = m_ulFramesPerPacket * ulAlign;
    ULONG ulSilence = (m_ulPreparedRate / m_ulPacketsPerMs / 1000 + 1) * ulAlign;
    if (ulSilence > ulSpace) {
        ulSilence = ulSpace;
    }
    auto& iso = pContext->Urb->UrbIsochronousTransfer;
    const ULONG ulStart = m_ulRingWrite;
    ULONG ulTotal = 0;
    for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
        USBD_ISO_PACKET_DESCRIPTOR& packet = iso.IsoPacket[i];
        if (packet.Offset >= pContext->ByteCount || pContext->ByteCount - packet.Offset < ulSpace) {
            continue;
        }
        ULONG ulLength = packet.Length;
        if (ulLength == 0 && USBD_SUCCESS(packet.Status)) {
            ulLength = ulSilence;
            packet.Length = ulSilence;
            std::memset(pContext->DataBuffer + packet.Offset, 0, ulSilence);
        }
        // A packet never brings more than its space; a completion never more than the ring holds,
        // or the hand-out below would overlap itself.
        if (ulLength > ulSpace) {
            ulLength = ulSpace;
        }
        if (ulTotal + ulLength > m_ulRingSize) {
            __atomic_add_fetch(&m_ulCaptureDropped, ulLength, __ATOMIC_SEQ_CST);
            continue;
        }
        const PUCHAR pSource = pContext->DataBuffer + packet.Offset;
        const ULONG ulFirst = ulLength < m_ulRingSize - m_ulRingWrite ? ulLength : m_ulRingSize - m_ulRingWrite;
        std::memcpy(m_pRing + m_ulRingWrite, pSource, ulFirst);
        std::memcpy(m_pRing, pSource + ulFirst, ulLength - ulFirst);
        m_ulRingWrite = (m_ulRingWrite + ulLength) % m_ulRingSize;
        ulTotal += ulLength;
    }
    if (ulTotal != 0) {
        ULONG ulParts[2] = {ulTotal, 0};
        if (ulStart + ulTotal > m_ulRingSize) {
            ulParts[0] = m_ulRingSize - ulStart;
            ulParts[1] = ulTotal - ulParts[0];
        }
        ULONG ulOffset = ulStart;
        for (ULONG ulPart : ulParts) {
            if (ulPart == 0) {
                continue;
            }
            ProcessBuffer(m_pRing + ulOffset, ulPart);
            TransportMessage message;
            std::memset(&message, 0, sizeof message);
            message.Client = m_pRunningClient;
            message.Event = TRANSPORT_EVENT_CAPTURE_DATA;
            message.Data.Buffer = m_pRing + ulOffset;
            message.Data.Bytes = ulPart;
            Notify(&message);
            ulOffset = 0;
        }
        NotifyBytesMoved(ulTotal);
    }
    KeReleaseSpinLock(&m_EndpointRingLock, irql);
}

// UAC1 capture: the prepared sizes with the 40 ms ring, the interface selection (a refused
// sampling frequency fails it), the capture transfer, its completion and the capture store.
#include "stream/Uac1CaptureEndpoint.h"

#include <cstring>

Uac1CaptureEndpoint::Uac1CaptureEndpoint(PUNKNOWN pOuterUnknown, ULONG ulInterfaceNumber, ULONG ulTerminalLink)
    : UsbStreamEndpoint(pOuterUnknown, ulInterfaceNumber, ulTerminalLink), m_EndpointRingLock{}
{
    m_ulMsPerTransfer = DEFAULT_MS_PER_TRANSFER;
    KeInitializeSpinLock(&m_EndpointRingLock);
}

VOID Uac1CaptureEndpoint::ResetRingPositions()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_EndpointRingLock, &irql);
    UsbStreamEndpoint::ResetRingPositions();
    KeReleaseSpinLock(&m_EndpointRingLock, irql);
}

NTSTATUS Uac1CaptureEndpoint::PrepareFormat(EndpointClient* pClient, PULONG pulFrame)
{
    PAGED_CODE();
    UCHAR bAlternate = 0;
    // At least 10 ms in flight.
    NTSTATUS status = BeginPreparation(pClient, 10, &bAlternate);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const WAVEFORMATEX& format = pClient->Format.Format;
    m_ulFramesPerPacket = GetMaxPacketFrames(bAlternate, &pClient->Format);
    if (m_ulFramesPerPacket == 0) {
        m_EndpointTransportLock.Unlock();
        return STATUS_INVALID_PARAMETER;  // not even one frame fits a packet
    }
    const ULONG ulAlign = format.nBlockAlign;
    const ULONG ulDataBytes = m_ulPacketsPerMs * m_ulMsPerTransfer * m_ulFramesPerPacket * ulAlign;
    // 40 ms of the format, in whole frames; never less than one transfer and a frame.
    ULONG ulRing = (format.nAvgBytesPerSec / 25 + ulAlign - 1) / ulAlign * ulAlign;
    if (ulRing < ulDataBytes + ulAlign) {
        ulRing = ulDataBytes + ulAlign;
    }
    m_ulPreparedBlockAlign = ulAlign;
    m_ulPreparedRate = format.nSamplesPerSec;
    status = PrepareRing(RingIsoUrbSize(m_ulPacketsPerMs * m_ulMsPerTransfer), ulDataBytes);
    if (NT_SUCCESS(status)) {
        m_pRing = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, ulRing, m_ulRingTag));
        if (m_pRing == nullptr) {
            ReleasePreparation();
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            std::memset(m_pRing, 0, ulRing);
            m_ulRingSize = ulRing;
        }
    }
    return FinishPreparation(status, bAlternate, pClient, pulFrame);
}

NTSTATUS Uac1CaptureEndpoint::SelectAlternateSetting(UCHAR bAlternateSetting, EndpointClient* pClient)
{
    PAGED_CODE();
    // A device that refuses the frequency would record at another rate than the client's.
    return SelectSettingAndRate(bAlternateSetting, TRUE, pClient != nullptr ? pClient->Format.Format.nSamplesPerSec : 0,
                                TRUE);
}

NTSTATUS Uac1CaptureEndpoint::SubmitNext()
{
    // Every packet offers the room of the most frames one can carry.
    const TransferSteps steps = {
        nullptr,
        [](UsbStreamEndpoint* pEndpoint, PUSBD_PIPE_INFORMATION, _URB_ISOCH_TRANSFER* pIso, ULONG ulPackets) {
            auto* pSelf = static_cast<Uac1CaptureEndpoint*>(pEndpoint);
            const ULONG ulSpace = pSelf->m_ulFramesPerPacket * pSelf->m_ulPreparedBlockAlign;
            for (ULONG i = 0; i < ulPackets; ++i) {
                pIso->IsoPacket[i].Offset = i * ulSpace;
                pIso->IsoPacket[i].Length = 0;
            }
            return ulPackets * ulSpace;
        },
        nullptr,
    };
    return SubmitTransfer(steps);
}

NTSTATUS Uac1CaptureEndpoint::OnTransferComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, TransferContext* pContext)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    const CompletionSteps steps = {
        [](UsbStreamEndpoint* pEndpoint, TransferContext* pDone) {
            static_cast<Uac1CaptureEndpoint*>(pEndpoint)->CaptureData(pDone);
        },
        false,
        nullptr,
    };
    return CompleteTransfer(pIrp, pContext, steps);
}

VOID Uac1CaptureEndpoint::StoreCapture(TransferContext* pContext, const CaptureRule& rule)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_EndpointRingLock, &irql);
    const ULONG ulAlign = m_ulPreparedBlockAlign;
    if (m_pRing == nullptr || ulAlign == 0 || m_ulRingSize == 0 || m_ulPacketsPerMs == 0) {
        KeReleaseSpinLock(&m_EndpointRingLock, irql);
        return;
    }
    const ULONG ulSpace = m_ulFramesPerPacket * ulAlign;
    // An empty packet stands for one packet interval of silence: the frames of one (micro)frame
    // at the prepared rate, and one more.
    ULONG ulSilence = (m_ulPreparedRate / (m_ulPacketsPerMs * 1000) + 1) * ulAlign;
    if (ulSilence > ulSpace) {
        ulSilence = ulSpace;
    }
    auto& iso = pContext->Urb->UrbIsochronousTransfer;
    const ULONG ulStart = m_ulRingWrite;
    ULONG ulStored = 0;
    for (ULONG i = 0; i < iso.NumberOfPackets; ++i) {
        USBD_ISO_PACKET_DESCRIPTOR& packet = iso.IsoPacket[i];
        if (packet.Offset >= pContext->ByteCount ||
            (rule.bWholeSpaceOnly && pContext->ByteCount - packet.Offset < ulSpace)) {
            continue;
        }
        ULONG ulLength = packet.Length;
        if (ulLength == 0 && USBD_SUCCESS(packet.Status)) {
            ulLength = ulSilence;
            packet.Length = ulSilence;
            std::memset(pContext->DataBuffer + packet.Offset, 0, ulSilence);
        }
        if (ulLength > ulSpace) {
            ulLength = ulSpace;
        }
        if (ulLength > rule.Room(this, ulStored)) {
            // What the ring cannot hold is dropped whole, so frames stay aligned.
            __atomic_add_fetch(&m_ulCaptureDropped, ulLength, __ATOMIC_SEQ_CST);
            continue;
        }
        const PUCHAR pSource = pContext->DataBuffer + packet.Offset;
        const ULONG ulFirst = ulLength < m_ulRingSize - m_ulRingWrite ? ulLength : m_ulRingSize - m_ulRingWrite;
        std::memcpy(m_pRing + m_ulRingWrite, pSource, ulFirst);
        std::memcpy(m_pRing, pSource + ulFirst, ulLength - ulFirst);
        m_ulRingWrite = (m_ulRingWrite + ulLength) % m_ulRingSize;
        ulStored += ulLength;
    }
    rule.HandOut(this, ulStart, ulStored);
    KeReleaseSpinLock(&m_EndpointRingLock, irql);
}

VOID Uac1CaptureEndpoint::HandOutCapture(ULONG ulOffset, ULONG ulBytes)
{
    if (ulBytes == 0) {
        return;
    }
    ULONG ulParts[2] = {ulBytes, 0};
    if (ulOffset + ulBytes > m_ulRingSize) {
        ulParts[0] = m_ulRingSize - ulOffset;
        ulParts[1] = ulBytes - ulParts[0];
    }
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
    NotifyBytesMoved(ulBytes);
}

VOID Uac1CaptureEndpoint::CaptureData(TransferContext* pContext)
{
    // The ring keeps what the client has not taken: whole frames only ever leave it, so keeping a
    // frame's room free means the write position never catches up with the read position. Each
    // completion hands out every whole frame the ring holds.
    static const CaptureRule rule = {
        [](Uac1CaptureEndpoint* pSelf, ULONG) {
            const ULONG ulCapacity = pSelf->m_ulRingSize - pSelf->m_ulPreparedBlockAlign;
            const ULONG ulFill = pSelf->GetRingFill();
            return ulFill < ulCapacity ? ulCapacity - ulFill : 0;
        },
        false,
        [](Uac1CaptureEndpoint* pSelf, ULONG, ULONG) {
            const ULONG ulAvailable = pSelf->GetRingFill();
            const ULONG ulChunk = ulAvailable - ulAvailable % pSelf->m_ulPreparedBlockAlign;
            pSelf->HandOutCapture(pSelf->m_ulRingRead, ulChunk);
            pSelf->m_ulRingRead = (pSelf->m_ulRingRead + ulChunk) % pSelf->m_ulRingSize;
        },
    };
    StoreCapture(pContext, rule);
}

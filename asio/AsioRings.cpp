// The shared rings on the endpoints' submit and completion paths (DISPATCH_LEVEL): render
// transfers are filled from the ring, captured transfers stored into it, and completions counted
// and signalled to the owner. Only PinRingLock is taken; nothing is allocated. The ring works from
// the kernel's copies of position and size, so whatever the client writes into the header keeps
// every copy inside the block.
#include <cstring>

#include "asio/AsioDevice.h"

VOID AsioDevice::AsioTransportCallback(PVOID pContext, PVOID pArgument1, PVOID)
{
    auto* pDevice = static_cast<AsioDevice*>(pContext);
    const auto* pMessage = static_cast<const TransportMessage*>(pArgument1);
    if (pDevice == nullptr || pMessage == nullptr) {
        return;
    }
    pDevice->AsioDispatchTransport(pMessage);
}

VOID AsioDevice::AsioDispatchTransport(const TransportMessage* pMessage)
{
    if (pMessage->Client == nullptr || pMessage->Event == TRANSPORT_EVENT_FORMAT) {
        return;
    }
    KIRQL irql;
    KeAcquireSpinLock(&m_PinRingLock, &irql);
    AsioEndpointRecord* pRecord = nullptr;
    for (ULONG i = 0; m_pAsioEndpoints != nullptr && i < m_ulAsioBufferEndpoints; ++i) {
        if (m_pAsioEndpoints[i].Client == pMessage->Client) {
            pRecord = &m_pAsioEndpoints[i];
            break;
        }
    }
    if (pRecord != nullptr && pRecord->Buffer != nullptr && pMessage->Client->Running != 0) {
        switch (pMessage->Event) {
        case TRANSPORT_EVENT_FILL_RENDER:
            AsioFillFromRing(pRecord, static_cast<PUCHAR>(pMessage->Data.Buffer), pMessage->Data.Bytes);
            break;
        case TRANSPORT_EVENT_CAPTURE_DATA:
            AsioStoreToRing(pRecord, static_cast<const UCHAR*>(pMessage->Data.Buffer), pMessage->Data.Bytes);
            break;
        case TRANSPORT_EVENT_BYTES_MOVED:
            AsioOnTransferDone(pRecord);
            break;
        default:
            break;
        }
    }
    KeReleaseSpinLock(&m_PinRingLock, irql);
}

VOID AsioDevice::AsioFillFromRing(AsioEndpointRecord* pRecord, PUCHAR pBuffer, ULONG ulBytes)
{
    const ULONG ulSize = pRecord->Size;
    if (pBuffer == nullptr || ulBytes >= ulSize) {
        return;
    }
    const PUCHAR pRing = reinterpret_cast<PUCHAR>(pRecord->Buffer) + ASIO_BUFFER_HEADER_BYTES;
    const ULONG ulPosition = pRecord->RingPosition;
    const ULONG ulFirst = ulSize - ulPosition < ulBytes ? ulSize - ulPosition : ulBytes;
    std::memcpy(pBuffer, pRing + ulPosition, ulFirst);
    if (ulFirst < ulBytes) {
        std::memcpy(pBuffer + ulFirst, pRing, ulBytes - ulFirst);
    }
    pRecord->RingPosition = (ulPosition + ulBytes) % ulSize;
    pRecord->Buffer->RingPosition = pRecord->RingPosition;
}

VOID AsioDevice::AsioStoreToRing(AsioEndpointRecord* pRecord, const UCHAR* pBuffer, ULONG ulBytes)
{
    const ULONG ulSize = pRecord->Size;
    if (pBuffer == nullptr || ulBytes >= ulSize) {
        return;
    }
    const PUCHAR pRing = reinterpret_cast<PUCHAR>(pRecord->Buffer) + ASIO_BUFFER_HEADER_BYTES;
    const ULONG ulPosition = pRecord->RingPosition;
    const ULONG ulFirst = ulSize - ulPosition < ulBytes ? ulSize - ulPosition : ulBytes;
    std::memcpy(pRing + ulPosition, pBuffer, ulFirst);
    if (ulFirst < ulBytes) {
        std::memcpy(pRing, pBuffer + ulFirst, ulBytes - ulFirst);
    }
    pRecord->RingPosition = (ulPosition + ulBytes) % ulSize;
    pRecord->Buffer->RingPosition = pRecord->RingPosition;
}

VOID AsioDevice::AsioOnTransferDone(AsioEndpointRecord* pRecord)
{
    ++pRecord->CompletedCount;
    pRecord->Buffer->CompletedCount = pRecord->CompletedCount;
    if (pRecord->Signal != 0 && m_pAsioOwner != nullptr && m_pAsioOwner->BufferSwitchEvent != nullptr) {
        KeSetEvent(m_pAsioOwner->BufferSwitchEvent, 8, FALSE);
    }
}

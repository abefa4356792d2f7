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
    PAGED_CODE();
    return PrepareRenderFormat(pClient, pulFrame, [](UsbStreamEndpoint* pEndpoint, ULONG ulRate) {
        static_cast<Uac1RenderEndpoint*>(pEndpoint)->m_ulNominalRate = ulRate;
    });
}

NTSTATUS Uac1RenderEndpoint::SelectAlternateSetting(UCHAR bAlternateSetting, EndpointClient* pClient)
{
    PAGED_CODE();
    // A device that refuses the frequency still plays at the one it has.
    return SelectSettingAndRate(bAlternateSetting, FALSE,
                                pClient != nullptr ? pClient->Format.Format.nSamplesPerSec : 0, FALSE);
}

NTSTATUS Uac1RenderEndpoint::SubmitNext()
{
    const TransferSteps steps = {
        nullptr,
        LayOutRenderPackets,
        [](UsbStreamEndpoint* pEndpoint, PUCHAR pBuffer, ULONG ulBytes, _URB_ISOCH_TRANSFER* pIso) {
            return static_cast<Uac1RenderEndpoint*>(pEndpoint)->ShapeWireData(pBuffer, ulBytes, pIso);
        },
    };
    return SubmitTransfer(steps);
}

ULONG Uac1RenderEndpoint::LayOutRenderPackets(UsbStreamEndpoint* pEndpoint, PUSBD_PIPE_INFORMATION pPipe,
                                              _URB_ISOCH_TRANSFER* pIso, ULONG ulPackets)
{
    UNREFERENCED_PARAMETER(pPipe);
    auto* pSelf = static_cast<Uac1RenderEndpoint*>(pEndpoint);
    const ULONG ulPacketsPerSecond = pSelf->m_ulPacketsPerMs * 1000;
    const LONG lRemainder =
        static_cast<LONG>(pSelf->m_ulNominalRate - pSelf->m_ulFramesPerPacket * ulPacketsPerSecond);
    // Packets are cut in frames of the prepared format, the one the buffers were sized for, and
    // never run past the buffer.
    const ULONG ulAlign = pSelf->m_ulPreparedBlockAlign;
    ULONG ulTotal = 0;
    for (ULONG i = 0; i < ulPackets; ++i) {
        pSelf->m_lPacketAccumulator += lRemainder;
        const LONG lExtra = pSelf->m_lPacketAccumulator / static_cast<LONG>(ulPacketsPerSecond);
        pSelf->m_lPacketAccumulator %= static_cast<LONG>(ulPacketsPerSecond);
        ULONG ulLength = (pSelf->m_ulFramesPerPacket + static_cast<ULONG>(lExtra)) * ulAlign;
        if (ulTotal + ulLength > pSelf->m_ulDataBufferSize) {
            ulLength = (pSelf->m_ulDataBufferSize - ulTotal) / ulAlign * ulAlign;
        }
        pIso->IsoPacket[i].Offset = ulTotal;
        pIso->IsoPacket[i].Length = ulLength;
        ulTotal += ulLength;
    }
    return ulTotal;
}

NTSTATUS Uac1RenderEndpoint::OnTransferComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, TransferContext* pContext)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    // The first failed packet fails the transfer; the clients hear of the bytes their frames
    // filled.
    const CompletionSteps steps = {
        nullptr,
        true,
        [](UsbStreamEndpoint* pEndpoint, ULONG ulWireBytes) {
            return static_cast<Uac1RenderEndpoint*>(pEndpoint)->ClientBytes(ulWireBytes);
        },
    };
    return CompleteTransfer(pIrp, pContext, steps);
}

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
    PAGED_CODE();
    return Uac2SetClockRate(m_pOwner, m_ulClockEntityId, pClient->Format.Format.nSamplesPerSec);
}

NTSTATUS Uac2CaptureEndpoint::SelectAlternateSetting(UCHAR bAlternateSetting, EndpointClient* pClient)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(pClient);  // the rate lives on the clock, not on the endpoint
    return SelectSettingAndRate(bAlternateSetting, TRUE, 0, FALSE);
}

UCHAR Uac2CaptureEndpoint::IsAlternateSettingValid(UCHAR bAlternateSetting)
{
    PAGED_CODE();
    return IsSettingValidAtClockRate(bAlternateSetting);
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
    // Each completion hands out exactly the bytes it brought, as they were written: a packet
    // counts only with its whole space inside the transfer, and a completion never stores more
    // than the ring holds, or the hand-out would overlap itself.
    static const CaptureRule rule = {
        [](Uac1CaptureEndpoint* pSelf, ULONG ulStored) {
            const ULONG ulSize = static_cast<Uac2CaptureEndpoint*>(pSelf)->m_ulRingSize;
            return ulStored < ulSize ? ulSize - ulStored : 0;
        },
        true,
        [](Uac1CaptureEndpoint* pSelf, ULONG ulStart, ULONG ulStored) {
            static_cast<Uac2CaptureEndpoint*>(pSelf)->HandOutCapture(ulStart, ulStored);
        },
    };
    StoreCapture(pContext, rule);
}

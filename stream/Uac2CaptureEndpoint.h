// The capture endpoint of the USB Audio Class 2.0 function: the UAC1 capture transfers, with the
// rate set on the clock entity, no sampling-frequency request, and a store that hands out exactly
// the bytes each completion brought.
#pragma once

#include "stream/Uac1CaptureEndpoint.h"

constexpr ULONG UAC2_CAPTURE_RING_TAG = MakePoolTag("US20");

class Uac2CaptureEndpoint : public Uac1CaptureEndpoint {
public:
    Uac2CaptureEndpoint(PUNKNOWN pOuterUnknown, ULONG ulInterfaceNumber, ULONG ulTerminalLink, ULONG ulClockEntityId);
    ~Uac2CaptureEndpoint() override = default;

    NTSTATUS SelectAlternateSetting(UCHAR bAlternateSetting, EndpointClient* pClient) override;
    NTSTATUS OnTransferComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, TransferContext* pContext) override;
    UCHAR IsAlternateSettingValid(UCHAR bAlternateSetting) override;
    virtual VOID CaptureData(TransferContext* pContext);

protected:
    NTSTATUS PrepareBeforeSelection(EndpointClient* pClient) override;

    ULONG m_ulClockEntityId;
};

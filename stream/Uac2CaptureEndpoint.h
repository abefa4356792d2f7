// The capture endpoint of the USB Audio Class 2.0 function: the UAC1 capture transfers, with the
// rate set on the clock entity, no sampling-frequency request, and a store that hands out exactly
// the bytes each completion brought.
#pragma once

#include "stream/Uac1CaptureEndpoint.h"

constexpr ULONG UAC2_CAPTURE_RING_TAG = MakePoolTag("US20");

class Uac2CaptureEndpoint : public Uac1CaptureEndpoint {
public:
    // PASSIVE_LEVEL, as the base's.
    Uac2CaptureEndpoint(PUNKNOWN pOuterUnknown, ULONG ulInterfaceNumber, ULONG ulTerminalLink, ULONG ulClockEntityId);
    ~Uac2CaptureEndpoint() override = default;

    // PASSIVE_LEVEL.
    NTSTATUS SelectAlternateSetting(UCHAR bAlternateSetting, EndpointClient* pClient) override;
    // DISPATCH_LEVEL.
    NTSTATUS OnTransferComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, TransferContext* pContext) override;
    // PASSIVE_LEVEL (asks the device).
    UCHAR IsAlternateSettingValid(UCHAR bAlternateSetting) override;
    // DISPATCH_LEVEL (the completion).
    virtual VOID CaptureData(TransferContext* pContext);

protected:
    // The clock's rate. PASSIVE_LEVEL, under the transport lock.
    NTSTATUS PrepareBeforeSelection(EndpointClient* pClient) override;

    ULONG m_ulClockEntityId;
};

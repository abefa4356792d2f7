// The capture endpoint of the USB Audio Class 1.0 functions (and of the chip variants): packets
// from the device are gathered in a 40 ms ring and handed to the running client in whole frames.
#pragma once

#include "stream/UsbStreamEndpoint.h"

class Uac1CaptureEndpoint : public UsbStreamEndpoint {
public:
    Uac1CaptureEndpoint(PUNKNOWN pOuterUnknown, ULONG ulInterfaceNumber, ULONG ulTerminalLink);
    ~Uac1CaptureEndpoint() override = default;

    NTSTATUS SelectAlternateSetting(UCHAR bAlternateSetting, EndpointClient* pClient) override;
    NTSTATUS SubmitNext() override;
    NTSTATUS OnTransferComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, TransferContext* pContext) override;
    NTSTATUS PrepareFormat(EndpointClient* pClient, PULONG pulFrame) override;

    // Stores a completed transfer's packets in the ring and hands out the whole frames.
    VOID CaptureData(TransferContext* pContext);
    PKSPIN_LOCK GetRingLock() { return &m_EndpointRingLock; }

protected:
    VOID ResetRingPositions() override;

    KSPIN_LOCK m_EndpointRingLock;
};

// The render endpoint of the USB Audio Class 1.0 functions: audio to the device at the nominal
// rate of the prepared format, in packets sized by a fractional frames-per-packet accumulator.
#pragma once

#include "stream/UsbStreamEndpoint.h"

class Uac1RenderEndpoint : public UsbStreamEndpoint {
public:
    Uac1RenderEndpoint(PUNKNOWN pOuterUnknown, ULONG ulInterfaceNumber, ULONG ulTerminalLink);
    ~Uac1RenderEndpoint() override = default;

    NTSTATUS SelectAlternateSetting(UCHAR bAlternateSetting, EndpointClient* pClient) override;
    NTSTATUS SubmitNext() override;
    NTSTATUS OnTransferComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, TransferContext* pContext) override;
    NTSTATUS PrepareFormat(EndpointClient* pClient, PULONG pulFrame) override;

    ULONG GetNominalRate() const { return m_ulNominalRate; }

protected:
    VOID ResetRingPositions() override;

    ULONG m_ulNominalRate;
    LONG m_lPacketAccumulator;

private:
    // The packets of one transfer around the nominal rate, with the remainder carried from
    // transfer to transfer.
    static ULONG LayOutRenderPackets(UsbStreamEndpoint* pEndpoint, PUSBD_PIPE_INFORMATION pPipe,
                                     _URB_ISOCH_TRANSFER* pIso, ULONG ulPackets);
};

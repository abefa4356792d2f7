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

protected:
    VOID ResetRingPositions() override;
    // After the processing of a transfer, under the submit lock: what goes on the wire. Returns
    // the bytes to send and may shrink the buffer's frames and the packets to them; the base
    // sends everything.
    virtual ULONG ShapeWireData(PUCHAR pBuffer, ULONG ulBytes, _URB_ISOCH_TRANSFER* pIso)
    {
        UNREFERENCED_PARAMETER(pBuffer);
        UNREFERENCED_PARAMETER(pIso);
        return ulBytes;
    }
    // The bytes of the clients' frames that a completed transfer of `ulWireBytes` carried.
    virtual ULONG ClientBytes(ULONG ulWireBytes) { return ulWireBytes; }

    ULONG m_ulNominalRate;
    LONG m_lPacketAccumulator;

private:
    // The packets of one transfer around the nominal rate, with the remainder carried from
    // transfer to transfer.
    static ULONG LayOutRenderPackets(UsbStreamEndpoint* pEndpoint, PUSBD_PIPE_INFORMATION pPipe,
                                     _URB_ISOCH_TRANSFER* pIso, ULONG ulPackets);
};

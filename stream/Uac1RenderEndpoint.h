// The render endpoint of the USB Audio Class 1.0 functions: audio to the device at the nominal
// rate of the prepared format, in packets sized by a fractional frames-per-packet accumulator.
#pragma once

#include "stream/UsbStreamEndpoint.h"

class Uac1RenderEndpoint : public UsbStreamEndpoint {
public:
    // PASSIVE_LEVEL, as the base's.
    Uac1RenderEndpoint(PUNKNOWN pOuterUnknown, ULONG ulInterfaceNumber, ULONG ulTerminalLink);
    ~Uac1RenderEndpoint() override = default;

    // The selection with the sampling frequency and the preparation: PASSIVE_LEVEL. The
    // submission: IRQL <= DISPATCH_LEVEL; the completion: DISPATCH_LEVEL.
    NTSTATUS SelectAlternateSetting(UCHAR bAlternateSetting, EndpointClient* pClient) override;
    NTSTATUS SubmitNext() override;
    NTSTATUS OnTransferComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, TransferContext* pContext) override;
    NTSTATUS PrepareFormat(EndpointClient* pClient, PULONG pulFrame) override;

protected:
    // IRQL <= DISPATCH_LEVEL.
    VOID ResetRingPositions() override;
    // After the processing of a transfer, under the submit lock: what goes on the wire. Returns
    // the bytes to send and may shrink the buffer's frames and the packets to them; the base
    // sends everything. DISPATCH_LEVEL.
    virtual ULONG ShapeWireData(PUCHAR pBuffer, ULONG ulBytes, _URB_ISOCH_TRANSFER* pIso)
    {
        UNREFERENCED_PARAMETER(pBuffer);
        UNREFERENCED_PARAMETER(pIso);
        return ulBytes;
    }
    // The bytes of the clients' frames that a completed transfer of `ulWireBytes` carried.
    // DISPATCH_LEVEL (the completion).
    virtual ULONG ClientBytes(ULONG ulWireBytes) { return ulWireBytes; }

    ULONG m_ulNominalRate;
    LONG m_lPacketAccumulator;

private:
    // The packets of one transfer around the nominal rate, with the remainder carried from
    // transfer to transfer. DISPATCH_LEVEL, under the submit lock.
    static ULONG LayOutRenderPackets(UsbStreamEndpoint* pEndpoint, PUSBD_PIPE_INFORMATION pPipe,
                                     _URB_ISOCH_TRANSFER* pIso, ULONG ulPackets);
};

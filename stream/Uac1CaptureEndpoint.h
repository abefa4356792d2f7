// The capture endpoint of the USB Audio Class 1.0 functions (and of the chip variants): packets
// from the device are gathered in a 40 ms ring and handed to the running client in whole frames.
#pragma once

#include "stream/UsbStreamEndpoint.h"

class Uac1CaptureEndpoint : public UsbStreamEndpoint {
public:
    // PASSIVE_LEVEL, as the base's.
    Uac1CaptureEndpoint(PUNKNOWN pOuterUnknown, ULONG ulInterfaceNumber, ULONG ulTerminalLink);
    ~Uac1CaptureEndpoint() override = default;

    // The selection with the sampling frequency and the preparation: PASSIVE_LEVEL. The
    // submission: IRQL <= DISPATCH_LEVEL; the completion: DISPATCH_LEVEL.
    NTSTATUS SelectAlternateSetting(UCHAR bAlternateSetting, EndpointClient* pClient) override;
    NTSTATUS SubmitNext() override;
    NTSTATUS OnTransferComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, TransferContext* pContext) override;
    NTSTATUS PrepareFormat(EndpointClient* pClient, PULONG pulFrame) override;

    // Stores a completed transfer's packets in the ring and hands out the whole frames.
    // DISPATCH_LEVEL (the completion).
    VOID CaptureData(TransferContext* pContext);
    // Any IRQL.
    PKSPIN_LOCK GetRingLock() { return &m_EndpointRingLock; }

protected:
    // Under the ring lock. IRQL <= DISPATCH_LEVEL.
    VOID ResetRingPositions() override;

    // Where the two capture classes differ: how much of the ring one completion may still fill,
    // whether a packet must have its whole space inside the transfer's bytes, and what is handed
    // out afterwards. Hooks run under the ring lock, at DISPATCH_LEVEL.
    struct CaptureRule {
        // The bytes a packet may still bring, `ulStored` being what this completion stored so far.
        ULONG (*Room)(Uac1CaptureEndpoint* pEndpoint, ULONG ulStored);
        bool bWholeSpaceOnly;
        // Hands out the ring's bytes after the completion that stored `ulStored` from `ulStart`.
        VOID (*HandOut)(Uac1CaptureEndpoint* pEndpoint, ULONG ulStart, ULONG ulStored);
    };
    // Stores a completed transfer's packets in the ring under the ring lock (an empty packet that
    // succeeded stands for one packet interval of silence; a packet larger than its space or than
    // the room is cut or dropped) and hands out as the rule says. DISPATCH_LEVEL.
    VOID StoreCapture(TransferContext* pContext, const CaptureRule& rule);
    // Processes ulBytes of the ring from ulOffset (wrapping at its end) and hands them to the
    // running client in at most two parts; then the bytes-moved notice. Nothing for 0 bytes.
    // DISPATCH_LEVEL, under the ring lock.
    VOID HandOutCapture(ULONG ulOffset, ULONG ulBytes);

    KSPIN_LOCK m_EndpointRingLock;
};

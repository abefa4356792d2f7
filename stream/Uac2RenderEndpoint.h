// The render endpoint of the USB Audio Class 2.0 function: the rate is set on the clock entity
// that feeds the interface, the device's explicit feedback endpoint is read beside every data
// transfer, and the packet sizes follow the device rate that the feedback measures.
#pragma once

#include "stream/UsbStreamEndpoint.h"

constexpr ULONG UAC2_ENDPOINT_TAG = MakePoolTag("UAC2");
constexpr ULONG UAC2_REQUEST_TAG = MakePoolTag("US20");
constexpr ULONG DSD_REQUEST_TAG = MakePoolTag("pmet");
// No feedback pipe in the selected alternate setting.
constexpr UCHAR NO_FEEDBACK_PIPE = 0xFF;
// Feedback values further than this from the nominal rate (samples per second) are not used.
constexpr LONG FEEDBACK_WINDOW = 1000;
// Transfers a recovery puts back on the bus.
constexpr ULONG UAC2_RECOVERY_TRANSFERS = 3;

// Asks the device (CUR of the AudioStreaming interface's valid-alternate-settings control) whether
// an alternate setting may be used at the clock's current rate; alternate setting 0 always may.
// PASSIVE_LEVEL (a synchronous request).
UCHAR Uac2AlternateSettingValid(IUsbDevice* pUsb, ULONG ulInterfaceNumber, UCHAR bAlternateSetting);
// Sets the prepared rate on the clock entity `ulClockEntityId` of the owner's registry.
// PASSIVE_LEVEL (the clock sends the rate to the device).
NTSTATUS Uac2SetClockRate(PUNKNOWN pOwner, ULONG ulClockEntityId, ULONG ulRate);

class Uac2RenderEndpoint : public UsbStreamEndpoint {
public:
    // PASSIVE_LEVEL, as the base's.
    Uac2RenderEndpoint(PUNKNOWN pOuterUnknown, ULONG ulInterfaceNumber, ULONG ulTerminalLink, ULONG ulClockEntityId);
    ~Uac2RenderEndpoint() override = default;

    // The selection, the raw-stream start, the recovery, the preparation and the
    // valid-alternate-settings question send requests or wait: PASSIVE_LEVEL. ReleaseTransfers and
    // the submission: IRQL <= DISPATCH_LEVEL; the completion: DISPATCH_LEVEL.
    NTSTATUS SelectAlternateSetting(UCHAR bAlternateSetting, EndpointClient* pClient) override;
    NTSTATUS ReleaseTransfers() override;
    // The slot of AbortPipe: the vendor request that starts a raw (DSD) stream.
    NTSTATUS AbortPipe() override { return SendDsdStartRequest(); }
    NTSTATUS RecoverStream() override;
    NTSTATUS SubmitNext() override;
    NTSTATUS OnTransferComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, TransferContext* pContext) override;
    NTSTATUS PrepareFormat(EndpointClient* pClient, PULONG pulFrame) override;
    UCHAR IsAlternateSettingValid(UCHAR bAlternateSetting) override;

    // PASSIVE_LEVEL.
    NTSTATUS SendDsdStartRequest();
    // The feedback transfer's completion routine and its work. DISPATCH_LEVEL.
    static NTSTATUS FeedbackUrbCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext);
    NTSTATUS OnFeedbackComplete(TransferContext* pContext);
    // Both decoders read the context's values and move the current rate. DISPATCH_LEVEL (the
    // feedback's completion).
    VOID DecodeFeedback10_14(TransferContext* pContext);
    VOID DecodeFeedback16_16(TransferContext* pContext);

    // Any IRQL, but GetFeedbackInUse (it takes the feedback lock): IRQL <= DISPATCH_LEVEL.
    LONG GetCurrentRate() const { return __atomic_load_n(&m_lCurrentRate, __ATOMIC_SEQ_CST); }
    BOOLEAN HasFeedbackPipe();
    PKSPIN_LOCK GetFeedbackLock() { return &m_FeedbackLock; }
    ULONG GetFeedbackInUse();

protected:
    // IRQL <= DISPATCH_LEVEL.
    VOID ResetRingPositions() override;
    // The feedback contexts and the clock's rate. PASSIVE_LEVEL, under the transport lock.
    NTSTATUS PrepareBeforeSelection(EndpointClient* pClient) override;
    // The feedback transfer beside a data transfer, and its contexts. IRQL <= DISPATCH_LEVEL
    // (SubmitFeedback runs under the submit lock).
    NTSTATUS SubmitFeedback(IUsbDevice* pUsb);
    TransferContext* TakeFreeFeedback();
    VOID RecycleFeedback(TransferContext* pContext);
    // DISPATCH_LEVEL (the feedback's completion).
    VOID DecodeFeedback(TransferContext* pContext, ULONG ulValueSize);
    // A synchronous pipe reset. PASSIVE_LEVEL.
    NTSTATUS ResetPipe(IUsbDevice* pUsb, PUSBD_PIPE_INFORMATION pPipe);
    // Any IRQL.
    PUSBD_PIPE_INFORMATION FeedbackPipe();

    ULONG m_ulClockEntityId;
    LONG m_lCurrentRate;
    LONG m_lPacketAccumulator;
    UCHAR m_bFeedbackPipeIndex;
    KSPIN_LOCK m_FeedbackLock;
    TransferContext* m_pFeedbackInUse[MAX_TRANSFER_CONTEXTS];
    TransferContext* m_pFreeFeedback[MAX_TRANSFER_CONTEXTS];

private:
    // The packets of one transfer around the measured rate, with the remainder carried from
    // transfer to transfer. DISPATCH_LEVEL, under the submit lock.
    static ULONG LayOutRenderPackets(UsbStreamEndpoint* pEndpoint, PUSBD_PIPE_INFORMATION pPipe,
                                     _URB_ISOCH_TRANSFER* pIso, ULONG ulPackets);
};

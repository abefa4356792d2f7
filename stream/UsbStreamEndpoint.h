// The streaming half of one AudioStreaming interface: a stream engine with the USB side added
// (formats with their alternate settings, the isochronous transfer ring, the worker thread that
// recovers a failed stream, the limiter, and the callback object its clients listen on). The
// concrete classes (UAC1 render and capture, and the ones that follow) fill in the transfers.
#pragma once

#include "adapter/StreamEngine.h"
#include "dsp/PeakLimiter.h"
#include "platform/nt/Dispatcher.h"
#include "platform/nt/List.h"
#include "platform/nt/Lookaside.h"
#include "platform/nt/Sync.h"
#include "platform/nt/Thread.h"
#include "platform/usb/Usb.h"
#include "stream/TransferContext.h"
#include "adapter/UsbDevice.h"

KVX_DEFINE_GUID(IID_IStreamTransport, "{7C4D1930-875A-418C-A0A4-3A30456A8996}");
KVX_DEFINE_GUID(IID_IEndpointDrm, "{AA68946D-7D26-4137-9A5D-71E1EDB6C0CC}");

constexpr ULONG USB_STREAM_TAG = MakePoolTag("USBS");
constexpr ULONG URB_POOL_TAG = MakePoolTag("URB ");
constexpr ULONG CAPTURE_RING_TAG = MakePoolTag("US10");
constexpr ULONG UAC1_ENDPOINT_TAG = MakePoolTag("UAC1");

// Room of the callback object's name, in wide characters.
constexpr ULONG CYCLIC_CONTROL_NAME_CHARS = 98;
constexpr ULONG DEFAULT_MS_PER_TRANSFER = 10;
constexpr ULONG DEFAULT_TRANSFERS_QUEUED = 10;
// Bit 31 of the ms per transfer of TransportEvent 2: the running client and its format changed.
constexpr ULONG TRANSPORT_FORMAT_CHANGED = 0x80000000;
// Bytes of an isochronous URB as the ring builds it: 12 bytes more than the minimum for n packets.
constexpr ULONG RingIsoUrbSize(ULONG packets) { return sizeof(_URB_ISOCH_TRANSFER) + 12 * packets; }
// Recovery waits this long (100 ns units, relative) before it reselects the interface.
constexpr LONGLONG RECOVERY_DELAY = -1000000LL;
// A stream started at a frame not ahead of the bus starts this many frames after the current one.
constexpr ULONG START_FRAME_LEAD = 2;

// EndpointRunState, the endpoint's m_StreamState.
constexpr LONG STREAM_STATE_IDLE = 0;
constexpr LONG STREAM_STATE_PREPARED = 1;
constexpr LONG STREAM_STATE_STREAMING = 2;
// ResubmitState.
constexpr LONG RESUBMIT_IDLE = 0;
constexpr LONG RESUBMIT_REQUESTED = 1;
constexpr LONG RESUBMIT_ERROR = 2;

// TransportEvent: what a TransportMessage announces.
enum TransportEvent : LONG {
    TRANSPORT_EVENT_BYTES_MOVED = 1,
    TRANSPORT_EVENT_FORMAT = 2,
    TRANSPORT_EVENT_FILL_RENDER = 3,
    TRANSPORT_EVENT_CAPTURE_DATA = 4,
};

// The argument of every notification on the endpoint's callback object.
struct TransportMessage {
    EndpointClient* Client;  // the running client when the message was sent (may be null)
    LONG Event;              // TransportEvent
    union {
        ULONG BytesMoved;    // event 1
        struct {
            ULONG MsPerTransfer;    // bit 31: TRANSPORT_FORMAT_CHANGED
            ULONG TransfersQueued;
        } Format;            // event 2
        struct {
            PVOID Buffer;
            ULONG Bytes;
        } Data;              // events 3 and 4
    };
};

// One format of the endpoint with the alternate setting that carries it.
struct EndpointFormatEntry {
    LIST_ENTRY Links;
    UCHAR AlternateSetting;
    WaveFormatRecord Format;
};

// The client interface of an endpoint, followed by the endpoint's own operations. The client
// operations take the endpoint's transport lock (a mutex): PASSIVE_LEVEL. The endpoint's own
// operations are as UsbStreamEndpoint states them.
class IStreamTransport : public IUnknown {
public:
    virtual NTSTATUS RegisterClient(ULONG ulKind, WaveFormatRecord* pFormat, ULONG ulMsPerTransfer,
                                    ULONG ulTransfersQueued, PCALLBACK_FUNCTION pCallback, PVOID pContext,
                                    EndpointClient** ppClient) = 0;
    virtual NTSTATUS UnregisterClient(PVOID hClient) = 0;
    virtual NTSTATUS ClientRun(PVOID hClient, ULONG ulStartFrame, PULONG pulMsPerTransfer,
                               IClientProcessor* pProcessor) = 0;
    virtual NTSTATUS ClientPause(PVOID hClient, IClientProcessor* pProcessor) = 0;
    virtual NTSTATUS ClientStart(PVOID hClient, PULONG pulMsPerTransfer, PULONG pulFrame) = 0;
    virtual NTSTATUS ClientStop(PVOID hClient) = 0;

    virtual NTSTATUS SelectAlternateSetting(UCHAR bAlternateSetting, EndpointClient* pClient) = 0;
    virtual NTSTATUS ReleaseTransfers() = 0;
    virtual NTSTATUS AbortPipe() = 0;
    virtual NTSTATUS RecoverStream() = 0;
    virtual NTSTATUS SelectZeroBandwidth() = 0;
    virtual NTSTATUS RestartStreaming() = 0;
    virtual NTSTATUS SubmitNext() = 0;
    virtual NTSTATUS OnTransferComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, TransferContext* pContext) = 0;
    virtual VOID WorkerLoop() = 0;
    virtual NTSTATUS PrepareFormat(EndpointClient* pClient, PULONG pulFrame) = 0;
    virtual NTSTATUS UnprepareFormat() = 0;
    virtual NTSTATUS StartStreaming(ULONG ulStartFrame, UCHAR bExplicitStart) = 0;
    virtual NTSTATUS StopStreaming() = 0;
    virtual UCHAR IsAlternateSettingValid(UCHAR bAlternateSetting) = 0;

protected:
    ~IStreamTransport() = default;
};

class IEndpointDrm : public IUnknown {
public:
    // PASSIVE_LEVEL (the content is forwarded to the bus driver's device object).
    virtual NTSTATUS SetContentId(ULONG ulContentId, PVOID pRights) = 0;

protected:
    ~IEndpointDrm() = default;
};

class UsbStreamEndpoint;

// What an endpoint class adds to the one data transfer of SubmitTransfer. Both run under the
// submit lock at DISPATCH_LEVEL.
struct TransferSteps {
    // Before a transfer is taken (a feedback read, say); a failure ends the submission with it.
    // May be null.
    NTSTATUS (*BeforeTransfer)(UsbStreamEndpoint* pEndpoint, IUsbDevice* pUsb);
    // Sets each packet's Offset and Length and returns the bytes the transfer moves; `pPipe` is
    // the data pipe (may be null).
    ULONG (*LayOutPackets)(UsbStreamEndpoint* pEndpoint, PUSBD_PIPE_INFORMATION pPipe, _URB_ISOCH_TRANSFER* pIso,
                           ULONG ulPackets);
    // A render transfer after its fill and processing: what goes on the wire. Returns the bytes
    // to send and may shrink the buffer's frames and the packets to them. May be null.
    ULONG (*ShapeWire)(UsbStreamEndpoint* pEndpoint, PUCHAR pBuffer, ULONG ulBytes, _URB_ISOCH_TRANSFER* pIso);
};

// What an endpoint class adds to the completion of CompleteTransfer (DISPATCH_LEVEL).
struct CompletionSteps {
    // A capture class's store of a good transfer's data; null for render.
    VOID (*Consume)(UsbStreamEndpoint* pEndpoint, TransferContext* pContext);
    // A packet's error fails the transfer as the URB's would.
    bool PacketStatusesFail;
    // A render class's bytes of the clients' frames that a transfer of `ulWireBytes` carried;
    // null: all of them.
    ULONG (*ClientBytes)(UsbStreamEndpoint* pEndpoint, ULONG ulWireBytes);
};

class UsbStreamEndpoint : public IStreamTransport, public IEndpointDrm, public StreamEngine {
public:
    DECLARE_UNKNOWN_BASE()

    // PASSIVE_LEVEL: the destructor stops the worker thread and waits for it.
    UsbStreamEndpoint(PUNKNOWN pOuterUnknown, ULONG ulInterfaceNumber, ULONG ulTerminalLink);
    ~UsbStreamEndpoint() override;

    // Set-up by the parsers; the stream engine's own Init stays reachable beside it. PASSIVE_LEVEL
    // (creates the callback object and the worker thread).
    using StreamEngine::Init;
    NTSTATUS Init(BOOLEAN bCapture, PUNKNOWN pOwner);
    // The format entries with their alternate settings are paged: AddFormat, FindAlternateSetting
    // and GetFormatEntry at IRQL <= APC_LEVEL.
    NTSTATUS AddFormat(const WaveFormatRecord* pFormat, UCHAR bAlternateSetting);
    NTSTATUS FindAlternateSetting(const WaveFormatRecord* pFormat, PUCHAR pbAlternateSetting);
    // The index-th format entry in the order the parsers added them (the whole list, not the
    // serving subset); past the end: 0xC000000D.
    NTSTATUS GetFormatEntry(ULONG ulIndex, PUCHAR pbAlternateSetting, WaveFormatRecord* pFormat);
    // IRQL <= DISPATCH_LEVEL.
    NTSTATUS FindEntity(ULONG ulId, TopologyNode** ppEntity);
    // The bus's frame number (0 without a device). IRQL <= DISPATCH_LEVEL.
    ULONG GetCurrentFrame();

    // IEndpointDrm. PASSIVE_LEVEL.
    NTSTATUS SetContentId(ULONG ulContentId, PVOID pRights) override;

    // IStreamTransport: the clients. PASSIVE_LEVEL (the transport lock).
    NTSTATUS RegisterClient(ULONG ulKind, WaveFormatRecord* pFormat, ULONG ulMsPerTransfer, ULONG ulTransfersQueued,
                            PCALLBACK_FUNCTION pCallback, PVOID pContext, EndpointClient** ppClient) override;
    NTSTATUS UnregisterClient(PVOID hClient) override;
    NTSTATUS ClientRun(PVOID hClient, ULONG ulStartFrame, PULONG pulMsPerTransfer,
                       IClientProcessor* pProcessor) override;
    NTSTATUS ClientPause(PVOID hClient, IClientProcessor* pProcessor) override;
    NTSTATUS ClientStart(PVOID hClient, PULONG pulMsPerTransfer, PULONG pulFrame) override;
    NTSTATUS ClientStop(PVOID hClient) override;

    // IStreamTransport: the endpoint's own operations; the classes override what they carry.
    // The selections, the pipe requests, the recovery, the preparation and the start and stop of
    // streaming send synchronous requests or wait: PASSIVE_LEVEL.
    NTSTATUS SelectAlternateSetting(UCHAR, EndpointClient*) override { return STATUS_NOT_IMPLEMENTED; }
    // Frees the idle transfers. IRQL <= DISPATCH_LEVEL.
    NTSTATUS ReleaseTransfers() override;
    NTSTATUS AbortPipe() override;
    NTSTATUS RecoverStream() override;
    NTSTATUS SelectZeroBandwidth() override;
    NTSTATUS RestartStreaming() override;
    // IRQL <= DISPATCH_LEVEL: the completion routines submit the next transfer.
    NTSTATUS SubmitNext() override { return STATUS_NOT_IMPLEMENTED; }
    // A transfer's completion. DISPATCH_LEVEL.
    NTSTATUS OnTransferComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, TransferContext* pContext) override;
    // The worker thread's loop. PASSIVE_LEVEL.
    VOID WorkerLoop() override;
    NTSTATUS PrepareFormat(EndpointClient*, PULONG) override { return STATUS_UNSUCCESSFUL; }
    NTSTATUS UnprepareFormat() override;
    NTSTATUS StartStreaming(ULONG ulStartFrame, UCHAR bExplicitStart) override;
    NTSTATUS StopStreaming() override;
    // PASSIVE_LEVEL: the UAC2 classes ask the device.
    UCHAR IsAlternateSettingValid(UCHAR) override { return TRUE; }

    // The completion routine of every data transfer. DISPATCH_LEVEL.
    static NTSTATUS IsoUrbCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext);
    // The worker thread's body. PASSIVE_LEVEL.
    static VOID ThreadStart(PVOID pContext);

    // Ring parameters, from the configuration's descriptors. PASSIVE_LEVEL (the preparation).
    ULONG GetPacketsPerMs(UCHAR bAlternateSetting);
    ULONG GetMaxPacketFrames(UCHAR bAlternateSetting, const WaveFormatRecord* pFormat);

    // State, for the owner and tests. Any IRQL, but GetTransfersInUse (it takes the context lock):
    // IRQL <= DISPATCH_LEVEL.
    LONG GetStreamState() const { return __atomic_load_n(&m_StreamState, __ATOMIC_SEQ_CST); }
    LONG GetResubmitState() const { return __atomic_load_n(&m_ResubmitState, __ATOMIC_SEQ_CST); }
    LONG GetOutstandingTransfers() const { return __atomic_load_n(&m_lOutstandingTransfers, __ATOMIC_SEQ_CST); }
    BOOLEAN IsDeviceGone() const { return __atomic_load_n(&m_bDeviceGone, __ATOMIC_SEQ_CST); }
    ULONG GetTransfersQueued() const { return m_ulTransfersQueued; }
    ULONG GetPacketsPerMsValue() const { return m_ulPacketsPerMs; }
    ULONG GetFramesPerPacket() const { return m_ulFramesPerPacket; }
    ULONG GetDataBufferSize() const { return m_ulDataBufferSize; }
    ULONG GetRingSize() const { return m_ulRingSize; }
    ULONG GetRingFill() const;
    ULONG GetCaptureDropped() const { return __atomic_load_n(&m_ulCaptureDropped, __ATOMIC_SEQ_CST); }
    ULONG GetTransfersInUse();
    EndpointClient* GetRunningClient() const { return m_pRunningClient; }
    PeakLimiter* GetLimiter() const { return m_pLimiter; }
    PKTHREAD GetWorkerThread() const { return m_pThread; }
    PCALLBACK_OBJECT GetTransportCallbackObject() const { return m_pTransportCallback; }
    BOOLEAN HoldsBandwidth() const { return m_bBandwidthHeld; }
    // The locks, so that a verifier can be told their order. Any IRQL.
    PKSPIN_LOCK GetSubmitLock() { return &m_EndpointSubmitLock; }
    PKSPIN_LOCK GetUrbContextLock() { return &m_UrbContextLock; }
    PKSPIN_LOCK GetStreamEngineLock() { return &m_StreamEngineLock; }

protected:
    // Interfaces of the owner, with a reference the caller releases; null when it has none.
    // IRQL <= DISPATCH_LEVEL.
    IUsbDevice* GetUsbDevice();
    // The IsAlternateSettingValid of the UAC2 classes: the device's valid-alternate-settings
    // control at the clock's current rate (Uac2AlternateSettingValid); setting 0 always, and no
    // other without a device. PASSIVE_LEVEL.
    UCHAR IsSettingValidAtClockRate(UCHAR bAlternateSetting);
    // Sends a message on the endpoint's callback object. IRQL <= DISPATCH_LEVEL: the clients'
    // callbacks run at the sender's IRQL.
    VOID Notify(TransportMessage* pMessage);
    VOID NotifyFormat(EndpointClient* pClient, BOOLEAN bChanged);
    VOID NotifyBytesMoved(ULONG ulBytes);

    // The ring (see TransferRing.cpp): non-paged pools and contexts, each operation at
    // IRQL <= DISPATCH_LEVEL (the completions recycle and free contexts).
    NTSTATUS CreatePools(ULONG ulUrbBytes, ULONG ulDataBytes);
    VOID DeletePools();
    NTSTATUS AllocateTransfer(TransferContext** ppContext);
    VOID FreeTransfer(TransferContext* pContext);
    NTSTATUS AllocateContexts();
    TransferContext* TakeFreeTransfer();
    VOID RecycleTransfer(TransferContext* pContext);
    // Undoes a preparation that failed: the bandwidth (when held), the ring, the pools, state 0.
    // PASSIVE_LEVEL (the zero-bandwidth selection).
    VOID ReleasePreparation();
    // Drops the busy reference of a non-zero alternate setting that could not be deselected.
    // IRQL <= DISPATCH_LEVEL.
    VOID DropBandwidth();
    // Outstanding transfers: +1 before a submission, -1 at its completion. IRQL <= DISPATCH_LEVEL.
    VOID TransferSent();
    VOID TransferDone();
    // The data transfer every class submits: under the submit lock, with the device, while
    // streaming and the device is there (else STATUS_SUCCESS), a free transfer (else
    // STATUS_BUFFER_TOO_SMALL) whose URB gets the header, the class's packets, the render fill,
    // the start frame; then it is sent. No device: STATUS_INVALID_PARAMETER. DISPATCH_LEVEL or
    // below.
    NTSTATUS SubmitTransfer(const TransferSteps& steps);
    // A render transfer's data: silence, the clients' fill (TRANSPORT_EVENT_FILL_RENDER) and the
    // processing. DISPATCH_LEVEL, under the submit lock.
    VOID FillRenderTransfer(TransferContext* pContext, ULONG ulBytes);
    // The completion every class runs: the capture store or the render count, then the recycle,
    // the worker's kick on a failure or the next submission while the ring keeps itself.
    // STATUS_MORE_PROCESSING_REQUIRED. DISPATCH_LEVEL.
    NTSTATUS CompleteTransfer(PIRP pIrp, TransferContext* pContext, const CompletionSteps& steps);
    // Fills the IRP's next location with the URB and the completion routine and sends it.
    // IRQL <= DISPATCH_LEVEL.
    NTSTATUS SendTransfer(IUsbDevice* pUsb, TransferContext* pContext,
                          PIO_COMPLETION_ROUTINE pCompletion = IsoUrbCompletion);
    // The USBD_INTERFACE_INFORMATION kept for the selected alternate setting: DataPipe at any
    // IRQL, FreeInterfaceInformation at IRQL <= DISPATCH_LEVEL.
    PUSBD_PIPE_INFORMATION DataPipe();
    VOID FreeInterfaceInformation();
    // Selects `bAlternateSetting`, keeping the returned interface information and the data pipe
    // of the given direction, and takes or drops the device's busy reference. PASSIVE_LEVEL.
    NTSTATUS SelectInterface(IUsbDevice* pUsb, UCHAR bAlternateSetting, BOOLEAN bDataIn);
    // The interface descriptor of an alternate setting of this AudioStreaming interface and its
    // first isochronous data endpoint (of the direction asked, or any when bAnyDirection).
    // PASSIVE_LEVEL.
    PUSB_ENDPOINT_DESCRIPTOR FindDataEndpoint(IUsbDevice* pUsb, UCHAR bAlternateSetting, BOOLEAN bDataIn,
                                              BOOLEAN bAnyDirection);
    // Submits transfers-queued transfers; a full ring counts as success. IRQL <= DISPATCH_LEVEL.
    NTSTATUS FillRing();
    // The explicit start frame of the next transfer (DISPATCH_LEVEL, under the submit lock).
    ULONG TakeStartFrame(IUsbDevice* pUsb);
    // The recovery steps after the ring has drained: port check, delay, zero bandwidth, format
    // announcement and restart, with the port cycled when the interface cannot be reselected.
    // PASSIVE_LEVEL (the worker thread).
    NTSTATUS RecoverAfterDrain(IUsbDevice* pUsb);
    // Restart clears what the completions accumulate (the capture ring's positions, the render
    // classes' packet-size accumulator). IRQL <= DISPATCH_LEVEL.
    virtual VOID ResetRingPositions();
    // The UAC1 sampling-frequency request (SET_CUR) to the selected data endpoint. PASSIVE_LEVEL.
    NTSTATUS SetSamplingFrequency(IUsbDevice* pUsb, ULONG ulRate);
    // The first steps of every class's preparation: a listed, sane format, its alternate
    // setting, and an isochronous data endpoint of the endpoint's direction behind it.
    // PASSIVE_LEVEL.
    NTSTATUS CheckFormatToPrepare(EndpointClient* pClient, PUCHAR pbAlternateSetting);
    // State 0 -> 1, the pools and the ten contexts; on failure nothing is left and state is 0.
    // PASSIVE_LEVEL (the preparation).
    NTSTATUS PrepareRing(ULONG ulUrbBytes, ULONG ulDataBytes);
    // The last steps of every class's preparation, entered with EndpointTransportLock held and
    // the status so far: the alternate setting is selected (a failure gives the ring back), the
    // positions start afresh and the frame is reported. Releases the lock. PASSIVE_LEVEL.
    NTSTATUS FinishPreparation(NTSTATUS status, UCHAR bAlternateSetting, EndpointClient* pClient,
                               PULONG pulFrame);
    // The first steps of every class's preparation: takes EndpointTransportLock, checks the
    // format (CheckFormatToPrepare; a failure releases the lock) and keeps the client's transfer
    // shape: its milliseconds per transfer, its queue raised to ulMinMsInFlight milliseconds in
    // flight (the client's record learns the raised count) and held to the contexts there are,
    // and the packets per millisecond of the setting. On success the lock stays held. PASSIVE_LEVEL.
    NTSTATUS BeginPreparation(EndpointClient* pClient, ULONG ulMinMsInFlight, PUCHAR pbAlternateSetting);
    // Selects the alternate setting through the device (STATUS_INVALID_PARAMETER without one);
    // after a successful selection, a non-zero ulRate goes to the data endpoint with the UAC1
    // sampling-frequency request, whose failure fails the selection only with bRateMustHold.
    // PASSIVE_LEVEL.
    NTSTATUS SelectSettingAndRate(UCHAR bAlternateSetting, BOOLEAN bDataIn, ULONG ulRate, BOOLEAN bRateMustHold);
    // The preparation of both render classes: the client's transfer shape, the packet sizes of
    // the nominal rate with room for one more packet's frames per millisecond, the ring, then
    // FinishPreparation. `pfnNoteRate`, run under the lock before the ring is built, keeps the
    // nominal rate where the class's packet sizing reads it. PASSIVE_LEVEL.
    using NoteRateStep = VOID (*)(UsbStreamEndpoint* pEndpoint, ULONG ulRate);
    NTSTATUS PrepareRenderFormat(EndpointClient* pClient, PULONG pulFrame, NoteRateStep pfnNoteRate);
    // A class's own step between the ring and the selection (the UAC2 classes set their clock's
    // rate there); a failure gives the ring back. PASSIVE_LEVEL, under the transport lock.
    virtual NTSTATUS PrepareBeforeSelection(EndpointClient* pClient)
    {
        UNREFERENCED_PARAMETER(pClient);
        return STATUS_SUCCESS;
    }

    // Run state.
    LONG m_StreamState;
    PUCHAR m_pRing;
    ULONG m_ulRingSize;
    ULONG m_ulRingRead;
    ULONG m_ulRingWrite;
    PUNKNOWN m_pOwner;
    ULONG m_ulTerminalLink;
    LIST_ENTRY m_FormatEntries;
    ULONG m_ulPacketsPerMs;
    ULONG m_ulMsPerTransfer;
    ULONG m_ulTransfersQueued;
    ULONG m_ulFramesPerPacket;
    UCHAR m_bDeviceGone;
    PUSBD_INTERFACE_INFORMATION m_pInterfaceInformation;
    UCHAR m_bDataPipeIndex;
    ULONG m_ulNextStartFrame;
    UCHAR m_bExplicitStart;
    KSPIN_LOCK m_EndpointSubmitLock;
    LONG m_lOutstandingTransfers;
    LONG m_ResubmitState;
    KEVENT m_IrpsDrainedEvent;
    KEVENT m_EndpointStopEvent;
    KEVENT m_EndpointExitEvent;
    KEVENT m_EndpointKickEvent;
    EndpointClient* m_pRunningClient;
    EndpointClient* m_pPreparedClient;
    KSPIN_LOCK m_UrbContextLock;
    TransferContext* m_pContextsInUse[MAX_TRANSFER_CONTEXTS];
    TransferContext* m_pFreeContexts[MAX_TRANSFER_CONTEXTS];
    NPAGED_LOOKASIDE_LIST m_UrbPool;
    NPAGED_LOOKASIDE_LIST m_ContextPool;
    NPAGED_LOOKASIDE_LIST m_DataBufferPool;
    PKTHREAD m_pThread;
    PCALLBACK_OBJECT m_pTransportCallback;
    PeakLimiter* m_pLimiter;

    // What the prepared format fixed: the frame size and capacity of the data buffers, and the
    // sizes of the pools.
    ULONG m_ulPreparedBlockAlign;
    ULONG m_ulPreparedRate;
    ULONG m_ulDataBufferSize;
    ULONG m_ulUrbSize;
    BOOLEAN m_bPoolsCreated;
    // A non-zero alternate setting is selected and the device's busy reference is held for it.
    BOOLEAN m_bBandwidthHeld;
    // Capture bytes a full ring could not take.
    ULONG m_ulCaptureDropped;
    // Pool tag of the capture ring (the UAC2 classes tag theirs apart).
    ULONG m_ulRingTag;
};

// The WaveCyclic stream of one wave filter and the system's client (kind 3) of its endpoint's
// transport. The cyclic buffer is an ordinary non-paged block that the audio engine fills
// (render) or drains (capture); the endpoint's transport messages copy between it and the
// isochronous transfers and move the position. While a higher-kind client owns the endpoint the
// stream copies nothing and keeps its position moving by converting the device's byte counts to
// its own byte rate.
#pragma once

#include "adapter/StreamEngine.h"
#include "adapter/UnknownBase.h"
#include "dsp/DspInterleaveSrc.h"
#include "platform/nt/Sync.h"
#include "platform/portcls/PortCls.h"
#include "stream/UsbStreamEndpoint.h"

class WaveMiniport;

constexpr ULONG WAVE_STREAM_TAG = MakePoolTag("WAVC");
constexpr ULONG WAVE_BUFFER_TAG = MakePoolTag("CCST");
constexpr ULONG WAVE_NOTIFICATION_MS = 10;
constexpr ULONG WAVE_TRANSFER_MS = 5;
constexpr ULONG WAVE_QUEUE_DEPTH = 3;
constexpr ULONG WAVE_MAXIMUM_BUFFER_BYTES = 307200;
constexpr ULONG WAVE_HISTORY_ENTRIES = 10;

class WaveStream : public UnknownBase,
                   public IMiniportWaveCyclicStream,
                   public IDmaChannel,
                   public IDrmAudioStream {
public:
    DECLARE_UNKNOWN_BASE()

    // PASSIVE_LEVEL: the destructor steps the state down to stop, which waits for the endpoint.
    explicit WaveStream(PUNKNOWN pOuterUnknown);
    ~WaveStream() override;

    // PASSIVE_LEVEL.
    NTSTATUS Init(WaveMiniport* pMiniport, ULONG ulPin, BOOLEAN bCapture, PKSDATAFORMAT pDataFormat,
                  StreamEngine* pEndpoint, PSERVICEGROUP* ppServiceGroup);

    // IMiniportWaveCyclicStream. SetFormat and SetState (the endpoint's client operations):
    // PASSIVE_LEVEL. GetPosition and Silence take the stream lock: IRQL <= DISPATCH_LEVEL. The
    // others: any IRQL.
    NTSTATUS SetFormat(PKSDATAFORMAT pDataFormat) override;
    ULONG SetNotificationFreq(ULONG ulInterval, PULONG pulFrameSize) override;
    NTSTATUS SetState(KSSTATE State) override;
    NTSTATUS GetPosition(PULONG pulPosition) override;
    NTSTATUS NormalizePhysicalPosition(PLONGLONG pllPosition) override;
    VOID Silence(PVOID pBuffer, ULONG ulByteCount) override;

    // IDmaChannel. The block is non-paged: AllocateBuffer, FreeBuffer and SetBufferSize at
    // IRQL <= DISPATCH_LEVEL; the sizes and addresses at any IRQL; the port's copies at
    // DISPATCH_LEVEL (they take the stream lock without raising).
    NTSTATUS AllocateBuffer(ULONG ulBufferSize, PPHYSICAL_ADDRESS pConstraint) override;
    VOID FreeBuffer() override;
    ULONG TransferCount() override { return m_ulAllocatedSize; }
    ULONG MaximumBufferSize() override { return WAVE_MAXIMUM_BUFFER_BYTES; }
    ULONG AllocatedBufferSize() override { return m_ulAllocatedSize; }
    ULONG BufferSize() override { return m_ulBufferSize != 0 ? m_ulBufferSize : m_ulAllocatedSize; }
    VOID SetBufferSize(ULONG ulBufferSize) override;
    PVOID SystemAddress() override { return m_pDmaBlock; }
    PHYSICAL_ADDRESS PhysicalAddress() override;
    PADAPTER_OBJECT GetAdapterObject() override { return nullptr; }
    VOID CopyTo(PVOID pDestination, PVOID pSource, ULONG ulByteCount) override;
    VOID CopyFrom(PVOID pDestination, PVOID pSource, ULONG ulByteCount) override;

    // IDrmAudioStream. PASSIVE_LEVEL.
    NTSTATUS SetContentId(ULONG ulContentId, PVOID pDrmRights) override;

    // The callback registered with the endpoint: context is the stream, argument 1 the message.
    // DISPATCH_LEVEL for the bytes-moved, fill and capture messages; PASSIVE_LEVEL for the format.
    static VOID TransportCallback(PVOID pContext, PVOID pArgument1, PVOID pArgument2);
    VOID OnTransportEvent(TransportMessage* pMessage);

    // State, for the port and tests. Any IRQL.
    KSSTATE GetState() const { return m_State; }
    EndpointClient* GetClient() const { return m_pClient; }
    ULONG GetRingOffset() const { return m_ulRingOffset; }
    ULONG GetPlayPosition() const { return m_ulPosition; }
    ULONG GetInFlightBytes() const { return m_ulInFlightBytes; }
    BOOLEAN IsCapture() const { return m_bCapture; }
    const WaveFormatRecord& GetStreamFormat() const { return m_StreamFormat; }
    const WaveFormatRecord& GetDeviceFormat() const { return m_DeviceFormat; }
    CDspInterleaveSrc* GetFormatAdapter() const { return m_pFormatAdapter; }
    PKSPIN_LOCK GetLock() { return &m_WaveStreamLock; }
    LONG GetDeviceCarry() const { return m_lDeviceCarry; }
    bool IsAdapterMode() const { return m_bAdapterMode; }

private:
    // Under WaveStreamLock, at DISPATCH_LEVEL; so are the conversions, the positions and the ring
    // copies below. ConvertsDeviceBytes, Now and InBlock: any IRQL.
    VOID FillRenderBuffer(PUCHAR pBuffer, ULONG ulBytes, bool bOwn, const WaveFormatRecord& deviceFormat);
    VOID StoreCaptureData(PUCHAR pBuffer, ULONG ulBytes);
    // Adapter mode: a render transfer filled by the format adapter from the ring (silence for the
    // initial queue), and captured device bytes converted into the ring (silence for a pair the
    // adapter refused).
    VOID FillThroughAdapter(PUCHAR pBuffer, ULONG ulBytes);
    VOID StoreThroughAdapter(const UCHAR* pBuffer, ULONG ulBytes);
    // Whether the device's byte counts are converted to the stream's byte rate.
    bool ConvertsDeviceBytes(const WaveFormatRecord& deviceFormat) const;
    VOID OnFramesMoved(ULONG ulBytes, const WaveFormatRecord& deviceFormat);
    VOID UpdateRateRatio(const WaveFormatRecord& deviceFormat);
    ULONG ConvertDeviceBytes(ULONG ulDeviceBytes);
    VOID RecordTransfer(ULONG ulBytes);
    VOID ClearPositions();
    // The performance counter in 10-µs units.
    static LONGLONG Now();
    // True when [p, p + bytes] lies inside [block, block + size].
    bool InBlock(PVOID p, ULONG ulBytes, ULONG ulSize) const;
    VOID CopyIntoRing(const UCHAR* pSource, ULONG ulBytes);
    VOID CopyFromRing(PUCHAR pDestination, ULONG ulBytes);

    WaveMiniport* m_pMiniport;
    StreamEngine* m_pEndpoint;
    KSSTATE m_State;
    ULONG m_ulNotificationInterval;
    EndpointClient* m_pClient;
    PVOID m_hClient;
    PSERVICEGROUP m_pServiceGroup;
    WaveFormatRecord m_StreamFormat;
    ULONG m_ulRequestedQueueDepth;
    PUCHAR m_pDmaBlock;
    ULONG m_ulAllocatedSize;
    ULONG m_ulBufferSize;
    ULONG m_ulPosition;
    ULONG m_ulLastPosition;
    ULONG m_ulRingOffset;
    ULONG m_ulInFlightBytes;
    LONGLONG m_llTimestamp;
    KSPIN_LOCK m_WaveStreamLock;
    BOOLEAN m_bCapture;
    BOOLEAN m_bCounted;
    ULONG m_TransferHistory[WAVE_HISTORY_ENTRIES];
    ULONG m_ulHistoryRead;
    ULONG m_ulHistoryWrite;
    ULONG m_ulStreamBytesPerMs;
    ULONG m_ulStreamRemainder;
    ULONG m_ulDeviceBytesPerMs;
    ULONG m_ulDeviceRemainder;
    LONG m_lDeviceCarry;
    LONG m_lDeviceThousandths;
    CDspInterleaveSrc* m_pFormatAdapter;
    WaveFormatRecord m_DeviceFormat;
    // The own client runs the device in another format than the stream's; the adapter took the
    // pair at the last announcement; transfers of the initial queue still to send as silence.
    bool m_bAdapterMode;
    bool m_bAdapterReady;
    ULONG m_ulSilentTransfers;
};

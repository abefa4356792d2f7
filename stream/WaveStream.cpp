#include "stream/WaveStream.h"

#include <cstring>
#include <new>

#include "platform/nt/Debug.h"
#include "platform/nt/Time.h"
#include "stream/DeviceFormatChoice.h"
#include "stream/WaveMiniport.h"

namespace {

// The stream's copy of a WAVEFORMATEX: its 18 bytes and its extension, never more than the
// 40-byte record holds; the rest of the record is zero.
void CopyWaveFormat(WaveFormatRecord* pTarget, const WAVEFORMATEX* pSource)
{
    ULONG ulBytes = sizeof(WAVEFORMATEX) + pSource->cbSize;
    if (ulBytes > sizeof(WaveFormatRecord)) {
        ulBytes = sizeof(WaveFormatRecord);
    }
    std::memset(pTarget, 0, sizeof *pTarget);
    std::memcpy(pTarget, pSource, ulBytes);
}

const char* StateName(KSSTATE state)
{
    switch (state) {
    case KSSTATE_STOP: return "STOP";
    case KSSTATE_ACQUIRE: return "ACQUIRE";
    case KSSTATE_PAUSE: return "PAUSE";
    default: return "RUN";
    }
}

}  // namespace

WaveStream::WaveStream(PUNKNOWN pOuterUnknown) : UnknownBase(pOuterUnknown) {}

NTSTATUS WaveStream::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUID(iid, IID_IUnknown)) {
        return UnknownBase::NonDelegatingQueryInterface(iid, ppvObject);
    }
    if (IsEqualGUID(iid, IID_IMiniportWaveCyclicStream)) {
        return ReturnInterface(static_cast<IMiniportWaveCyclicStream*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, IID_IDmaChannel)) {
        return ReturnInterface(static_cast<IDmaChannel*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, IID_IDrmAudioStream)) {
        return ReturnInterface(static_cast<IDrmAudioStream*>(this), ppvObject);
    }
    *ppvObject = nullptr;
    return STATUS_INVALID_PARAMETER;
}

// ---- Init and teardown ----

NTSTATUS WaveStream::Init(WaveMiniport* pMiniport, ULONG, BOOLEAN bCapture, PKSDATAFORMAT pDataFormat,
                          StreamEngine* pEndpoint, PSERVICEGROUP* ppServiceGroup)
{
    PAGED_CODE();
    if (pMiniport == nullptr || pEndpoint == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    m_pMiniport = pMiniport;
    pEndpoint->AddRef();
    m_pEndpoint = pEndpoint;

    NTSTATUS status = PcNewServiceGroup(&m_pServiceGroup, nullptr);
    if (NT_SUCCESS(status)) {
        KeInitializeSpinLock(&m_WaveStreamLock);
        PVOID pMemory = ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(CDspInterleaveSrc), WAVE_BUFFER_TAG);
        if (pMemory == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            std::memset(pMemory, 0, sizeof(CDspInterleaveSrc));
            m_pFormatAdapter = new (pMemory) CDspInterleaveSrc();
            if (!m_pFormatAdapter->Init()) {
                status = STATUS_INSUFFICIENT_RESOURCES;
            }
        }
    }
    if (NT_SUCCESS(status)) {
        m_State = KSSTATE_STOP;
        m_bCapture = bCapture;
        m_ulNotificationInterval = WAVE_NOTIFICATION_MS;
        m_ulRequestedQueueDepth = WAVE_QUEUE_DEPTH;
        ClearPositions();
        m_ulAllocatedSize = 0;
        PWAVEFORMATEX pWaveFormat = nullptr;
        status = pMiniport->ValidateFormat(pDataFormat, &pWaveFormat);
        if (NT_SUCCESS(status)) {
            CopyWaveFormat(&m_StreamFormat, pWaveFormat);
            // 50 ms of audio.
            status = AllocateBuffer(m_StreamFormat.Format.nAvgBytesPerSec / 20, nullptr);
        }
    }
    if (!NT_SUCCESS(status)) {
        if (m_pServiceGroup != nullptr) {
            m_pServiceGroup->Release();
            m_pServiceGroup = nullptr;
        }
        m_pEndpoint->Release();
        m_pEndpoint = nullptr;
        m_pMiniport = nullptr;
        return status;
    }
    m_ulRingOffset = 0;
    if (ppServiceGroup != nullptr) {
        m_pServiceGroup->AddRef();
        *ppServiceGroup = m_pServiceGroup;
    }
    pMiniport->OnStreamCreated();
    m_bCounted = TRUE;
    pMiniport->SetStreamPresent(1);
    m_DeviceFormat = m_StreamFormat;
    return STATUS_SUCCESS;
}

WaveStream::~WaveStream()
{
    PAGED_CODE();
    // Down one level at a time; a step that fails is reported and the state forced down, so the
    // teardown always ends.
    while (m_State != KSSTATE_STOP) {
        const auto target = static_cast<KSSTATE>(m_State - 1);
        const NTSTATUS status = SetState(target);
        if (!NT_SUCCESS(status)) {
            DbgPrint("WaveStream: %s -> %s failed with 0x%08X during teardown\n", StateName(m_State),
                     StateName(target), static_cast<unsigned>(status));
            m_State = target;
            m_pClient = nullptr;
        }
    }
    FreeBuffer();
    if (m_pServiceGroup != nullptr) {
        m_pServiceGroup->Release();
        m_pServiceGroup = nullptr;
    }
    if (m_pEndpoint != nullptr) {
        m_pEndpoint->Release();
        m_pEndpoint = nullptr;
    }
    if (m_pFormatAdapter != nullptr) {
        m_pFormatAdapter->~CDspInterleaveSrc();
        ExFreePoolWithTag(m_pFormatAdapter, WAVE_BUFFER_TAG);
        m_pFormatAdapter = nullptr;
    }
    if (m_bCounted && m_pMiniport != nullptr) {
        // The presence flag goes first: once the count reaches 0 the miniport may be gone.
        m_pMiniport->SetStreamPresent(0);
        m_pMiniport->OnStreamDeleted();
    }
    m_pMiniport = nullptr;
}

// ---- IMiniportWaveCyclicStream ----

NTSTATUS WaveStream::SetFormat(PKSDATAFORMAT pDataFormat)
{
    PAGED_CODE();
    if (m_State == KSSTATE_RUN) {
        return STATUS_UNSUCCESSFUL;
    }
    PWAVEFORMATEX pWaveFormat = nullptr;
    NTSTATUS status = m_pMiniport->ValidateFormat(pDataFormat, &pWaveFormat);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const WAVEFORMATEX& current = m_StreamFormat.Format;
    KIRQL irql;
    if (pWaveFormat->nSamplesPerSec != current.nSamplesPerSec || pWaveFormat->nChannels != current.nChannels ||
        pWaveFormat->wBitsPerSample != current.wBitsPerSample) {
        status = AllocateBuffer(pWaveFormat->nAvgBytesPerSec / 20, nullptr);
        KeAcquireSpinLock(&m_WaveStreamLock, &irql);
        if (NT_SUCCESS(status)) {
            CopyWaveFormat(&m_StreamFormat, pWaveFormat);
        }
        m_ulRingOffset = 0;
        KeReleaseSpinLock(&m_WaveStreamLock, irql);
        return status;
    }
    // Same rate, channels and bits: a new subformat or channel mask is still the format the
    // engine writes, so it is taken over; the block stays.
    KeAcquireSpinLock(&m_WaveStreamLock, &irql);
    CopyWaveFormat(&m_StreamFormat, pWaveFormat);
    KeReleaseSpinLock(&m_WaveStreamLock, irql);
    return STATUS_SUCCESS;
}

ULONG WaveStream::SetNotificationFreq(ULONG, PULONG pulFrameSize)
{
    const WAVEFORMATEX& f = m_StreamFormat.Format;
    if (pulFrameSize != nullptr) {
        *pulFrameSize = (f.wBitsPerSample / 8u) * (f.nSamplesPerSec * WAVE_NOTIFICATION_MS / 1000u) * f.nChannels;
    }
    return m_ulNotificationInterval;
}

NTSTATUS WaveStream::SetState(KSSTATE State)
{
    PAGED_CODE();
    PVOID pRaw = nullptr;
    NTSTATUS status = m_pEndpoint->QueryInterface(IID_IStreamTransport, &pRaw);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* pTransport = static_cast<IStreamTransport*>(pRaw);
    if (State == m_State) {
        pTransport->Release();
        return STATUS_SUCCESS;
    }
    KIRQL irql;
    switch (State) {
    case KSSTATE_STOP:
    case KSSTATE_ACQUIRE:
        KeAcquireSpinLock(&m_WaveStreamLock, &irql);
        ClearPositions();
        m_ulRingOffset = 0;
        KeReleaseSpinLock(&m_WaveStreamLock, irql);
        break;
    case KSSTATE_PAUSE:
        if (m_State == KSSTATE_RUN && m_pClient != nullptr) {
            pTransport->ClientPause(m_hClient, nullptr);
            pTransport->ClientStop(m_hClient);
            status = pTransport->UnregisterClient(m_hClient);
            m_pClient = nullptr;
            m_hClient = nullptr;
        }
        KeAcquireSpinLock(&m_WaveStreamLock, &irql);
        m_ulLastPosition = m_ulPosition;
        KeReleaseSpinLock(&m_WaveStreamLock, irql);
        break;
    case KSSTATE_RUN: {
        if (m_pDmaBlock == nullptr) {
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        KeAcquireSpinLock(&m_WaveStreamLock, &irql);
        m_ulStreamBytesPerMs = m_StreamFormat.Format.nAvgBytesPerSec / 1000;
        m_ulStreamRemainder = m_StreamFormat.Format.nAvgBytesPerSec % 1000;
        KeReleaseSpinLock(&m_WaveStreamLock, irql);
        // The client runs the device in the format it lists for this stream: the stream's own, or
        // one the format adapter converts to.
        WaveFormatRecord format = m_StreamFormat;
        if (!NT_SUCCESS(ChooseDeviceFormat(&m_StreamFormat, m_pEndpoint, &format))) {
            format = m_StreamFormat;
        }
        status = pTransport->RegisterClient(CLIENT_KIND_WAVE_STREAM, &format, WAVE_TRANSFER_MS, m_ulRequestedQueueDepth,
                                            TransportCallback, this, &m_pClient);
        if (!NT_SUCCESS(status)) {
            m_pClient = nullptr;
            break;
        }
        m_hClient = m_pClient->Registration;
        ULONG ulMsPerTransfer = 0;
        ULONG ulFrame = 0;
        status = pTransport->ClientStart(m_hClient, &ulMsPerTransfer, &ulFrame);
        if (NT_SUCCESS(status)) {
            status = pTransport->ClientRun(m_hClient, ulFrame + 2, &ulMsPerTransfer, nullptr);
            if (!NT_SUCCESS(status)) {
                pTransport->ClientStop(m_hClient);
            }
        }
        if (!NT_SUCCESS(status)) {
            pTransport->UnregisterClient(m_hClient);
            m_pClient = nullptr;
            m_hClient = nullptr;
            break;
        }
        KeAcquireSpinLock(&m_WaveStreamLock, &irql);
        m_llTimestamp = Now();
        KeReleaseSpinLock(&m_WaveStreamLock, irql);
        break;
    }
    }
    pTransport->Release();
    if (NT_SUCCESS(status)) {
        m_State = State;
    }
    return status;
}

NTSTATUS WaveStream::GetPosition(PULONG pulPosition)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_WaveStreamLock, &irql);
    if (m_State == KSSTATE_RUN && m_ulAllocatedSize != 0) {
        // In 64 bits: the elapsed time times the byte rate overflows 32 bits within a second.
        const ULONGLONG elapsed = static_cast<ULONGLONG>(Now() - m_llTimestamp);
        const ULONGLONG estimated = elapsed * m_StreamFormat.Format.nAvgBytesPerSec / 100000u;
        const ULONG ulHeard = estimated < m_ulInFlightBytes ? static_cast<ULONG>(estimated) : m_ulInFlightBytes;
        ULONG ulReport;
        if (!m_bCapture) {
            ulReport = static_cast<ULONG>((static_cast<ULONGLONG>(m_ulPosition) + ulHeard) % m_ulAllocatedSize);
        } else {
            ULONG ulBehind = m_ulInFlightBytes - ulHeard;
            const ULONG ulAlign = m_StreamFormat.Format.nBlockAlign;
            if (ulAlign != 0) {
                ulBehind -= ulBehind % ulAlign;
            }
            ulBehind %= m_ulAllocatedSize;
            ulReport = (m_ulPosition + m_ulAllocatedSize - ulBehind) % m_ulAllocatedSize;
        }
        m_ulLastPosition = ulReport;
    }
    if (pulPosition != nullptr) {
        *pulPosition = m_ulLastPosition;
    }
    KeReleaseSpinLock(&m_WaveStreamLock, irql);
    return STATUS_SUCCESS;
}

NTSTATUS WaveStream::NormalizePhysicalPosition(PLONGLONG pllPosition)
{
    const WAVEFORMATEX& f = m_StreamFormat.Format;
    const ULONG ulFrameBytes = (f.wBitsPerSample / 8u) * f.nChannels;
    if (pllPosition != nullptr && ulFrameBytes != 0 && f.nSamplesPerSec != 0) {
        const ULONG ulPerFrame = 10000000u / ulFrameBytes;
        *pllPosition = *pllPosition * static_cast<LONGLONG>(ulPerFrame) / static_cast<LONGLONG>(f.nSamplesPerSec);
    }
    return STATUS_SUCCESS;
}

VOID WaveStream::Silence(PVOID pBuffer, ULONG ulByteCount)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_WaveStreamLock, &irql);
    if (pBuffer != nullptr && InBlock(pBuffer, ulByteCount, m_ulAllocatedSize)) {
        std::memset(pBuffer, m_StreamFormat.Format.wBitsPerSample == 8 ? 0x80 : 0, ulByteCount);
    }
    KeReleaseSpinLock(&m_WaveStreamLock, irql);
}

// ---- IDmaChannel ----

NTSTATUS WaveStream::AllocateBuffer(ULONG ulBufferSize, PPHYSICAL_ADDRESS)
{
    if (ulBufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* pBlock = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNxCacheAligned, ulBufferSize, WAVE_BUFFER_TAG));
    if (pBlock == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pBlock, 0, ulBufferSize);
    KIRQL irql;
    KeAcquireSpinLock(&m_WaveStreamLock, &irql);
    PUCHAR pOld = m_pDmaBlock;
    m_pDmaBlock = pBlock;
    m_ulPosition = 0;
    m_ulLastPosition = 0;
    m_ulInFlightBytes = 0;
    m_ulAllocatedSize = ulBufferSize;
    m_ulBufferSize = ulBufferSize;
    // The next copy must land inside the new block.
    m_ulRingOffset %= ulBufferSize;
    KeReleaseSpinLock(&m_WaveStreamLock, irql);
    if (pOld != nullptr) {
        ExFreePoolWithTag(pOld, WAVE_BUFFER_TAG);
    }
    return STATUS_SUCCESS;
}

VOID WaveStream::FreeBuffer()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_WaveStreamLock, &irql);
    PUCHAR pOld = m_pDmaBlock;
    m_pDmaBlock = nullptr;
    m_ulAllocatedSize = 0;
    m_ulPosition = 0;
    m_ulRingOffset = 0;
    KeReleaseSpinLock(&m_WaveStreamLock, irql);
    if (pOld != nullptr) {
        ExFreePoolWithTag(pOld, WAVE_BUFFER_TAG);
    }
}

VOID WaveStream::SetBufferSize(ULONG ulBufferSize)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_WaveStreamLock, &irql);
    if (ulBufferSize < m_ulAllocatedSize) {
        m_ulBufferSize = ulBufferSize;
    }
    KeReleaseSpinLock(&m_WaveStreamLock, irql);
}

PHYSICAL_ADDRESS WaveStream::PhysicalAddress()
{
    PHYSICAL_ADDRESS address;
    address.QuadPart = 0;
    return address;
}

VOID WaveStream::CopyTo(PVOID pDestination, PVOID pSource, ULONG ulByteCount)
{
    KeAcquireSpinLockAtDpcLevel(&m_WaveStreamLock);
    if (pDestination != nullptr && pSource != nullptr && InBlock(pDestination, ulByteCount, BufferSize())) {
        std::memmove(pDestination, pSource, ulByteCount);
    }
    KeReleaseSpinLockFromDpcLevel(&m_WaveStreamLock);
}

VOID WaveStream::CopyFrom(PVOID pDestination, PVOID pSource, ULONG ulByteCount)
{
    KeAcquireSpinLockAtDpcLevel(&m_WaveStreamLock);
    if (pDestination != nullptr && pSource != nullptr && InBlock(pSource, ulByteCount, BufferSize())) {
        std::memmove(pDestination, pSource, ulByteCount);
    }
    KeReleaseSpinLockFromDpcLevel(&m_WaveStreamLock);
}

bool WaveStream::InBlock(PVOID p, ULONG ulBytes, ULONG ulSize) const
{
    if (m_pDmaBlock == nullptr || m_ulAllocatedSize == 0) {
        return false;
    }
    const auto address = reinterpret_cast<ULONG_PTR>(p);
    const auto block = reinterpret_cast<ULONG_PTR>(m_pDmaBlock);
    return address >= block && address - block < ulSize && ulBytes <= ulSize - (address - block);
}

// ---- IDrmAudioStream ----

NTSTATUS WaveStream::SetContentId(ULONG ulContentId, PVOID pDrmRights)
{
    PAGED_CODE();
    PVOID pRaw = nullptr;
    NTSTATUS status = m_pEndpoint->QueryInterface(IID_IEndpointDrm, &pRaw);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* pDrm = static_cast<IEndpointDrm*>(pRaw);
    status = pDrm->SetContentId(ulContentId, pDrmRights);
    pDrm->Release();
    return status;
}

// ---- the transport ----

VOID WaveStream::TransportCallback(PVOID pContext, PVOID pArgument1, PVOID)
{
    static_cast<WaveStream*>(pContext)->OnTransportEvent(static_cast<TransportMessage*>(pArgument1));
}

VOID WaveStream::OnTransportEvent(TransportMessage* pMessage)
{
    EndpointClient* pOwn = m_pClient;
    EndpointClient* pTop = pMessage != nullptr ? pMessage->Client : nullptr;
    if (pOwn == nullptr || pTop == nullptr) {
        return;
    }
    const WaveFormatRecord& deviceFormat = pTop->Format;
    KIRQL irql;
    if (pMessage->Event == TRANSPORT_EVENT_FORMAT) {
        const ULONG ulMs = pMessage->Format.MsPerTransfer & ~TRANSPORT_FORMAT_CHANGED;
        const ULONG ulQueued = pMessage->Format.TransfersQueued;
        KeAcquireSpinLock(&m_WaveStreamLock, &irql);
        bool bChanged = (pMessage->Format.MsPerTransfer & TRANSPORT_FORMAT_CHANGED) != 0;
        if (std::memcmp(&deviceFormat, &m_DeviceFormat, sizeof m_DeviceFormat) != 0) {
            m_DeviceFormat = deviceFormat;
            bChanged = true;
        }
        // Adapter mode: the stream's own client runs the device in another format.
        m_bAdapterMode = pTop->Registration == m_hClient &&
                         std::memcmp(&deviceFormat, &m_StreamFormat, sizeof m_StreamFormat) != 0;
        if (bChanged) {
            m_pFormatAdapter->Reset();
            // Render in adapter mode converts the way its audio flows: stream in, device out.
            if (!m_bCapture && m_bAdapterMode) {
                m_bAdapterReady = m_pFormatAdapter->SetFormat(&m_StreamFormat, &m_DeviceFormat);
            } else {
                m_bAdapterReady = m_pFormatAdapter->SetFormat(&m_DeviceFormat, &m_StreamFormat);
            }
            ClearPositions();
            m_ulRingOffset = 0;
            m_ulSilentTransfers = 0;
            if (!m_bCapture && m_bAdapterMode) {
                // The initial queue carries silence; the engine's first frame follows it.
                m_ulSilentTransfers = ulQueued;
            } else if (!m_bCapture && m_ulAllocatedSize != 0) {
                // The first transfers send the ring's tail, so offset 0 follows the initial queue.
                // Frames per ms round up: at 44.1 kHz a transfer carries 221 frames, not 220, and
                // the engine's first frame must not be skipped.
                const WAVEFORMATEX& f = m_StreamFormat.Format;
                const ULONGLONG ullQueue = static_cast<ULONGLONG>((f.nSamplesPerSec + 999u) / 1000u) * f.nBlockAlign *
                                           ulMs * ulQueued % m_ulAllocatedSize;
                m_ulRingOffset = static_cast<ULONG>((m_ulAllocatedSize - ullQueue) % m_ulAllocatedSize);
            }
        }
        UpdateRateRatio(deviceFormat);
        KeReleaseSpinLock(&m_WaveStreamLock, irql);
        return;
    }
    if (pOwn->Running == 0) {
        return;
    }
    switch (pMessage->Event) {
    case TRANSPORT_EVENT_BYTES_MOVED: {
        KeAcquireSpinLock(&m_WaveStreamLock, &irql);
        OnFramesMoved(pMessage->BytesMoved, deviceFormat);
        KeReleaseSpinLock(&m_WaveStreamLock, irql);
        // Outside the lock: the port's sinks read the position.
        PPORTWAVECYCLIC pPort = m_pMiniport != nullptr ? m_pMiniport->GetPort() : nullptr;
        if (pPort != nullptr) {
            pPort->Notify(m_pServiceGroup);
        }
        break;
    }
    case TRANSPORT_EVENT_FILL_RENDER:
        KeAcquireSpinLock(&m_WaveStreamLock, &irql);
        FillRenderBuffer(static_cast<PUCHAR>(pMessage->Data.Buffer), pMessage->Data.Bytes,
                         pTop->Registration == m_hClient, deviceFormat);
        KeReleaseSpinLock(&m_WaveStreamLock, irql);
        break;
    case TRANSPORT_EVENT_CAPTURE_DATA:
        KeAcquireSpinLock(&m_WaveStreamLock, &irql);
        StoreCaptureData(static_cast<PUCHAR>(pMessage->Data.Buffer), pMessage->Data.Bytes);
        KeReleaseSpinLock(&m_WaveStreamLock, irql);
        break;
    default: break;
    }
}

VOID WaveStream::UpdateRateRatio(const WaveFormatRecord& deviceFormat)
{
    const ULONG ulStreamRate = m_StreamFormat.Format.nAvgBytesPerSec;
    m_ulStreamBytesPerMs = ulStreamRate / 1000;
    m_ulStreamRemainder = ulStreamRate % 1000;
    const ULONG ulDeviceRate = deviceFormat.Format.nAvgBytesPerSec;
    if (ulDeviceRate != ulStreamRate || m_bAdapterMode) {
        m_ulDeviceBytesPerMs = ulDeviceRate / 1000;
        m_ulDeviceRemainder = ulDeviceRate % 1000;
        m_lDeviceCarry = 0;
        m_lDeviceThousandths = 0;
    }
}

ULONG WaveStream::ConvertDeviceBytes(ULONG ulDeviceBytes)
{
    const LONGLONG llTotal = static_cast<LONGLONG>(ulDeviceBytes) + m_lDeviceCarry;
    if (llTotal <= 0 || m_ulDeviceBytesPerMs == 0) {
        // Nothing to convert yet (a report of 0 bytes after a negative carry, or no device rate).
        m_lDeviceCarry = static_cast<LONG>(llTotal > 0x7FFFFFFF ? 0x7FFFFFFF : llTotal);
        return 0;
    }
    const ULONG ulMs = static_cast<ULONG>(llTotal) / m_ulDeviceBytesPerMs;
    const LONGLONG llThousandths = static_cast<LONGLONG>(m_ulDeviceRemainder) * ulMs + m_lDeviceThousandths;
    m_lDeviceCarry = static_cast<LONG>(llTotal - static_cast<LONGLONG>(ulMs) * m_ulDeviceBytesPerMs - llThousandths / 1000);
    m_lDeviceThousandths = static_cast<LONG>(llThousandths % 1000);
    return ulMs * m_ulStreamBytesPerMs + static_cast<ULONG>(static_cast<ULONGLONG>(ulMs) * m_ulStreamRemainder / 1000u);
}

VOID WaveStream::RecordTransfer(ULONG ulBytes)
{
    if (m_ulHistoryWrite == m_ulHistoryRead) {
        m_ulInFlightBytes = ulBytes;
    }
    m_TransferHistory[m_ulHistoryWrite] = ulBytes;
    m_ulHistoryWrite = (m_ulHistoryWrite + 1) % WAVE_HISTORY_ENTRIES;
}

bool WaveStream::ConvertsDeviceBytes(const WaveFormatRecord& deviceFormat) const
{
    return m_bAdapterMode || deviceFormat.Format.nAvgBytesPerSec != m_StreamFormat.Format.nAvgBytesPerSec;
}

VOID WaveStream::FillThroughAdapter(PUCHAR pBuffer, ULONG ulBytes)
{
    const ULONG ulOutBlock = m_DeviceFormat.Format.nBlockAlign;
    const ULONG ulInBlock = m_StreamFormat.Format.nBlockAlign;
    const ULONG ulOutFrames = ulOutBlock != 0 ? ulBytes / ulOutBlock : 0;
    ULONG ulProduced = 0;
    if (m_ulSilentTransfers > 0) {
        --m_ulSilentTransfers;
    } else if (m_bAdapterReady && m_pDmaBlock != nullptr && ulInBlock != 0) {
        // From the ring offset to the ring's end, then from its start: the adapter takes only what
        // the transfer needs and keeps what its stages hold beyond it.
        for (int piece = 0; piece < 2 && ulProduced < ulOutFrames; ++piece) {
            const ULONG ulAvailable = (m_ulAllocatedSize - m_ulRingOffset) / ulInBlock;
            ULONG ulConsumed = 0, ulMade = 0;
            if (!m_pFormatAdapter->Process(m_pDmaBlock + m_ulRingOffset, ulAvailable,
                                           pBuffer + static_cast<size_t>(ulProduced) * ulOutBlock,
                                           ulOutFrames - ulProduced, &ulConsumed, &ulMade)) {
                break;
            }
            m_ulRingOffset = (m_ulRingOffset + ulConsumed * ulInBlock) % m_ulAllocatedSize;
            ulProduced += ulMade;
        }
    }
    // Silence where nothing was converted.
    std::memset(pBuffer + static_cast<size_t>(ulProduced) * ulOutBlock, 0, ulBytes - ulProduced * ulOutBlock);
}

VOID WaveStream::StoreThroughAdapter(const UCHAR* pBuffer, ULONG ulBytes)
{
    const ULONG ulInBlock = m_DeviceFormat.Format.nBlockAlign;
    const ULONG ulOutBlock = m_StreamFormat.Format.nBlockAlign;
    if (ulInBlock == 0 || ulOutBlock == 0 || m_ulAllocatedSize % ulOutBlock != 0 || m_ulRingOffset % ulOutBlock != 0) {
        return;
    }
    const ULONG ulFrames = ulBytes / ulInBlock;
    if (!m_bAdapterReady) {
        // A pair the adapter refused: as much silence as the device's frames last.
        const ULONGLONG ullFrames = static_cast<ULONGLONG>(ulFrames) * m_StreamFormat.Format.nSamplesPerSec /
                                    (m_DeviceFormat.Format.nSamplesPerSec != 0 ? m_DeviceFormat.Format.nSamplesPerSec : 1);
        ULONG ulSilence = static_cast<ULONG>(ullFrames) * ulOutBlock;
        if (ulSilence >= m_ulAllocatedSize) {
            return;
        }
        const ULONG ulFirst = ulSilence < m_ulAllocatedSize - m_ulRingOffset ? ulSilence : m_ulAllocatedSize - m_ulRingOffset;
        std::memset(m_pDmaBlock + m_ulRingOffset, 0, ulFirst);
        std::memset(m_pDmaBlock, 0, ulSilence - ulFirst);
        m_ulRingOffset = (m_ulRingOffset + ulSilence) % m_ulAllocatedSize;
        return;
    }
    // Every device frame is converted now: the packet is gone after this call. The output runs to
    // the ring's end and goes on from its start.
    ULONG ulTaken = 0;
    for (int pass = 0; pass < 16 && ulTaken < ulFrames; ++pass) {
        const ULONG ulSpace = (m_ulAllocatedSize - m_ulRingOffset) / ulOutBlock;
        ULONG ulConsumed = 0, ulMade = 0;
        if (!m_pFormatAdapter->Process(pBuffer + static_cast<size_t>(ulTaken) * ulInBlock, ulFrames - ulTaken,
                                       m_pDmaBlock + m_ulRingOffset, ulSpace, &ulConsumed, &ulMade)) {
            break;
        }
        ulTaken += ulConsumed;
        m_ulRingOffset = (m_ulRingOffset + ulMade * ulOutBlock) % m_ulAllocatedSize;
        if (ulConsumed == 0 && ulMade == 0) {
            break;
        }
    }
}

VOID WaveStream::FillRenderBuffer(PUCHAR pBuffer, ULONG ulBytes, bool bOwn, const WaveFormatRecord& deviceFormat)
{
    if (m_bAdapterMode && bOwn && pBuffer != nullptr) {
        FillThroughAdapter(pBuffer, ulBytes);
        RecordTransfer(ConvertDeviceBytes(ulBytes));
        return;
    }
    if (ConvertsDeviceBytes(deviceFormat)) {
        RecordTransfer(ConvertDeviceBytes(ulBytes));
        return;
    }
    if (m_pDmaBlock == nullptr || ulBytes >= m_ulAllocatedSize) {
        return;
    }
    if (bOwn && pBuffer != nullptr) {
        CopyFromRing(pBuffer, ulBytes);
    }
    m_ulRingOffset = (m_ulRingOffset + ulBytes) % m_ulAllocatedSize;
    RecordTransfer(ulBytes);
}

VOID WaveStream::StoreCaptureData(PUCHAR pBuffer, ULONG ulBytes)
{
    if (m_pDmaBlock == nullptr || pBuffer == nullptr || ulBytes >= m_ulAllocatedSize) {
        return;
    }
    // The device's bytes are in the device format: another one goes through the format adapter
    // configured at the last format announcement.
    if (std::memcmp(&m_DeviceFormat, &m_StreamFormat, sizeof m_StreamFormat) != 0) {
        StoreThroughAdapter(pBuffer, ulBytes);
        return;
    }
    CopyIntoRing(pBuffer, ulBytes);
    m_ulRingOffset = (m_ulRingOffset + ulBytes) % m_ulAllocatedSize;
}

VOID WaveStream::CopyFromRing(PUCHAR pDestination, ULONG ulBytes)
{
    const ULONG ulFirst = ulBytes < m_ulAllocatedSize - m_ulRingOffset ? ulBytes : m_ulAllocatedSize - m_ulRingOffset;
    std::memcpy(pDestination, m_pDmaBlock + m_ulRingOffset, ulFirst);
    std::memcpy(pDestination + ulFirst, m_pDmaBlock, ulBytes - ulFirst);
}

VOID WaveStream::CopyIntoRing(const UCHAR* pSource, ULONG ulBytes)
{
    const ULONG ulFirst = ulBytes < m_ulAllocatedSize - m_ulRingOffset ? ulBytes : m_ulAllocatedSize - m_ulRingOffset;
    std::memcpy(m_pDmaBlock + m_ulRingOffset, pSource, ulFirst);
    std::memcpy(m_pDmaBlock, pSource + ulFirst, ulBytes - ulFirst);
}

VOID WaveStream::OnFramesMoved(ULONG ulBytes, const WaveFormatRecord& deviceFormat)
{
    if (ConvertsDeviceBytes(deviceFormat)) {
        ulBytes = ConvertDeviceBytes(ulBytes);
    }
    if (m_ulAllocatedSize == 0) {
        return;
    }
    m_ulPosition = static_cast<ULONG>((static_cast<ULONGLONG>(m_ulPosition) + ulBytes) % m_ulAllocatedSize);
    m_llTimestamp = Now();
    if (m_bCapture) {
        m_ulInFlightBytes = ulBytes;
    } else if (m_ulHistoryRead == m_ulHistoryWrite) {
        m_ulInFlightBytes = 0;
    } else {
        m_ulHistoryRead = (m_ulHistoryRead + 1) % WAVE_HISTORY_ENTRIES;
        m_ulInFlightBytes = m_TransferHistory[m_ulHistoryRead];
    }
}

VOID WaveStream::ClearPositions()
{
    m_ulPosition = 0;
    m_ulLastPosition = 0;
    m_ulInFlightBytes = 0;
    std::memset(m_TransferHistory, 0, sizeof m_TransferHistory);
    m_ulHistoryRead = 0;
    m_ulHistoryWrite = 0;
}

LONGLONG WaveStream::Now()
{
    LARGE_INTEGER frequency;
    const LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    if (frequency.QuadPart <= 0) {
        return 0;
    }
    // Split so that the scaling cannot overflow.
    return counter.QuadPart / frequency.QuadPart * 100000 + counter.QuadPart % frequency.QuadPart * 100000 / frequency.QuadPart;
}

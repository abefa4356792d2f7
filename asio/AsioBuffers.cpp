// The owning ASIO client's shared buffers and streams: creation and disposal of the mapped
// rings, registration as the endpoints' client of kind 5, start and stop, the rings' reset, and
// the stop and resume around device power changes.
#include <cstring>

#include "asio/AsioDevice.h"
#include "asio/AsioLockScope.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Pool.h"
#include "platform/usb/Usb.h"

namespace {

constexpr ULONG ASIO_REQUEST_HEADER_BYTES = 12;
constexpr ULONG ASIO_START_FRAME_LEAD = 5;
constexpr UCHAR ASIO_QUIRK_REQUEST = 0x07;

struct QuirkDevice {
    USHORT Vendor;
    USHORT Product;
};
// Devices that are told by a vendor request when ASIO streaming starts and stops.
constexpr QuirkDevice AsioVendorQuirkTable[] = {
    {0x0B05, 0x17A8}, {0x0B05, 0x17CD}, {0x0B05, 0x17F3}, {0x1043, 0x8592}, {0x1043, 0x8593},
};



// The endpoint's transport interface with a reference, or null.
IStreamTransport* TransportOf(IAudioHal* pHal, ULONG ulIndex, NTSTATUS* pStatus)
{
    StreamEngine* pEndpoint = nullptr;
    *pStatus = pHal->GetEndpoint(ulIndex, &pEndpoint);
    if (!NT_SUCCESS(*pStatus)) {
        return nullptr;
    }
    PVOID pRaw = nullptr;
    *pStatus = pEndpoint->QueryInterface(IID_IStreamTransport, &pRaw);
    return NT_SUCCESS(*pStatus) ? static_cast<IStreamTransport*>(pRaw) : nullptr;
}

}  // namespace

AsioTransferShape AsioLadder(ULONG ulPeriodMs)
{
    const ULONG p = ulPeriodMs < 2 ? 2 : ulPeriodMs;
    AsioTransferShape shape{};
    if (p >= 20) {
        shape.MsPerTransfer = 5;
        shape.Count = p / 5 < 5 ? p / 5 : 5;
    } else if (p >= 16) {
        shape.MsPerTransfer = 4;
        shape.Count = p / 4;
    } else if (p >= 8) {
        shape.MsPerTransfer = 2;
        shape.Count = p / 2;
    } else {
        shape.MsPerTransfer = 1;
        shape.Count = p;
    }
    shape.Queued = shape.Count <= 2 ? shape.Count : shape.Count - 1;
    return shape;
}

bool AsioDevice::AsioShape(AsioTransferShape* pShape, ULONG* pulPerMs)
{
    if (m_pAsioOwner == nullptr) {
        return false;
    }
    const ULONG ulRate = static_cast<ULONG>(m_pAsioOwner->SampleRate);
    const ULONG r = m_lAsioBufferIoFormat == ASIO_IO_FORMAT_DSD ? ulRate / 64000 : ulRate / 1000;
    if (r == 0) {
        return false;
    }
    *pShape = AsioLadder(m_ulAsioBufferFrames / r);
    *pulPerMs = r;
    return true;
}

// ---- buffers ----

VOID AsioDevice::AsioFreeBuffers()
{
    if (m_pAsioEndpoints == nullptr) {
        return;
    }
    for (ULONG i = 0; i < m_ulAsioEndpointCount; ++i) {
        AsioEndpointRecord* pRecord = &m_pAsioEndpoints[i];
        KIRQL irql;
        KeAcquireSpinLock(&m_PinRingLock, &irql);
        const AsioEndpointRecord record = *pRecord;
        std::memset(pRecord, 0, sizeof *pRecord);
        KeReleaseSpinLock(&m_PinRingLock, irql);
        if (record.Mdl == nullptr) {
            continue;
        }
        if (record.ClientAddress != nullptr) {
            MmUnmapLockedPages(record.ClientAddress, record.Mdl);
        }
        if (record.Buffer != nullptr) {
            MmUnmapLockedPages(record.Buffer, record.Mdl);
        }
        MmFreePagesFromMdl(record.Mdl);
        ExFreePool(record.Mdl);
    }
    m_ulAsioBufferEndpoints = 0;
}

NTSTATUS AsioDevice::AsioCreateBuffers(PFILE_OBJECT pFileObject, PVOID pRequest, PVOID pOutput, PULONG pulLength)
{
    PAGED_CODE();
    IUsbDevice* pUsb = AsioUsb();
    if ((pUsb != nullptr && pUsb->CheckPort()) || pRequest == nullptr || pOutput == nullptr || pulLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    AsioLockScope lock(m_AsioLock);
    AsioClient* pClient = AsioFindClient(pFileObject);
    if (pClient == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pAsioOwner == nullptr) {
        KIRQL irql;
        KeAcquireSpinLock(&m_PinRingLock, &irql);
        m_pAsioOwner = pClient;
        KeReleaseSpinLock(&m_PinRingLock, irql);
        m_ulAsioOwnerActive = 1;
    } else if (m_pAsioOwner != pClient) {
        return STATUS_INVALID_PARAMETER;
    }
    // One set of buffers at a time: a second creation would lose the first and its views.
    if (pClient->Started != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG ulRate = static_cast<ULONG>(pClient->SampleRate);
    const bool bDsd = pClient->IoFormat == ASIO_IO_FORMAT_DSD;
    if (!AsioRateFitsIoFormat(pClient->IoFormat, ulRate) || ulRate < (bDsd ? ASIO_DSD_RATE_MIN : ASIO_PCM_RATE_MIN)) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG ulSampleBytes = bDsd ? 8 : AsioBytesPerSample(pClient->SampleType);
    m_lAsioBufferSampleType = pClient->SampleType;
    m_lAsioBufferIoFormat = pClient->IoFormat;
    IAudioHal* pHal = AsioHal();
    const ULONG ulCount = pHal->GetEndpointCount();
    NTSTATUS status = STATUS_SUCCESS;
    if (ulSampleBytes == 0 || m_pAsioEndpoints == nullptr || ulCount > m_ulAsioEndpointCount) {
        status = STATUS_INVALID_PARAMETER;
    }
    const ULONG ulEntries = static_cast<ULONG>(AsioReadLong(pRequest, 4));
    const ULONG ulFrames = static_cast<ULONG>(AsioReadLong(pRequest, 8));
    ULONG ulAsioEndpoints = 0;
    ULONG ulOutputs = 0;
    ULONG ulInputs = 0;
    m_ulAsioBufferEndpoints = ulCount;
    for (ULONG i = 0; NT_SUCCESS(status) && i < ulCount; ++i) {
        if (!AsioIsAsioEndpoint(i)) {
            continue;
        }
        ++ulAsioEndpoints;
        StreamEngine* pEndpoint = nullptr;
        status = pHal->GetEndpoint(i, &pEndpoint);
        if (!NT_SUCCESS(status)) {
            break;
        }
        const ULONG c = AsioChannels(pEndpoint, pClient->IoFormat);
        const ULONG64 f = ULONG64{ulSampleBytes} * c;
        ULONG64 S = 0;
        if (f != 0) {
            if (!bDsd) {
                const ULONG64 x = f * ulRate * 40 / 1000;
                S = x - x % f;
            } else {
                S = ((ulRate / 64) * f * 40 / 1000 / f) * f;
            }
        }
        if (S + ASIO_BUFFER_HEADER_BYTES > 0xFFFFFFFFull - PAGE_SIZE) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        PHYSICAL_ADDRESS low{};
        PHYSICAL_ADDRESS high{};
        PHYSICAL_ADDRESS skip{};
        high.QuadPart = -1;
        // Whole zeroed pages: the client's view shows nothing but its own buffer.
        PMDL pMdl = MmAllocatePagesForMdlEx(low, high, skip, S + ASIO_BUFFER_HEADER_BYTES, MmCached, 0);
        if (pMdl == nullptr) {
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        auto* pHeader = static_cast<AsioBufferHeader*>(MmGetSystemAddressForMdlSafe(pMdl, HighPagePriority));
        if (pHeader == nullptr) {
            MmFreePagesFromMdl(pMdl);
            ExFreePool(pMdl);
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        PVOID pClientAddress = MmMapLockedPagesSpecifyCache(pMdl, UserMode, MmCached, nullptr, FALSE,
                                                            HighPagePriority | MdlMappingNoExecute);
        if (pClientAddress == nullptr) {
            MmUnmapLockedPages(pHeader, pMdl);
            MmFreePagesFromMdl(pMdl);
            ExFreePool(pMdl);
            status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        if (bDsd) {
            std::memset(reinterpret_cast<PUCHAR>(pHeader) + ASIO_BUFFER_HEADER_BYTES, ASIO_DSD_FILL, static_cast<size_t>(S));
        }
        AsioEndpointRecord record;
        std::memset(&record, 0, sizeof record);
        record.Buffer = pHeader;
        record.ClientAddress = pClientAddress;
        record.Mdl = pMdl;
        record.Channels = c;
        record.Size = static_cast<ULONG>(S);
        if (!pEndpoint->IsCapture()) {
            record.Direction = 0;
            record.FirstChannel = ulOutputs;
            ulOutputs += c;
        } else {
            record.Direction = 1;
            record.FirstChannel = ulInputs;
            ulInputs += c;
        }
        pHeader->Channels = record.Channels;
        pHeader->Size = record.Size;
        pHeader->Direction = record.Direction;
        pHeader->FirstChannel = record.FirstChannel;
        KIRQL irql;
        KeAcquireSpinLock(&m_PinRingLock, &irql);
        m_pAsioEndpoints[i] = record;
        KeReleaseSpinLock(&m_PinRingLock, irql);
    }
    if (NT_SUCCESS(status)) {
        m_ulAsioBufferFrames = ulFrames;
        for (ULONG k = 0; k < ulEntries; ++k) {
            const ULONG ulInput = static_cast<ULONG>(AsioReadLong(pRequest, ASIO_REQUEST_HEADER_BYTES + 8 * k));
            const LONG lChannel = AsioReadLong(pRequest, ASIO_REQUEST_HEADER_BYTES + 8 * k + 4);
            for (ULONG i = 0; i < ulCount; ++i) {
                AsioEndpointRecord& r = m_pAsioEndpoints[i];
                if (r.Buffer != nullptr && r.Direction == ulInput && lChannel >= static_cast<LONG>(r.FirstChannel) &&
                    lChannel < static_cast<LONG>(r.FirstChannel + r.Channels)) {
                    r.Enable = 1;
                    break;
                }
            }
        }
        if (*pulLength != 8 * ulAsioEndpoints) {
            status = STATUS_INVALID_PARAMETER;
        }
    }
    if (NT_SUCCESS(status)) {
        // The request has been read: the output may share its buffer.
        ULONG ulAt = 0;
        LONG lSignal = -1;
        LONG lSignalAny = -1;
        for (ULONG i = 0; i < ulCount; ++i) {
            AsioEndpointRecord& r = m_pAsioEndpoints[i];
            if (r.Buffer == nullptr) {
                continue;
            }
            const ULONG64 ullAddress = reinterpret_cast<ULONG_PTR>(r.ClientAddress);
            std::memcpy(static_cast<PUCHAR>(pOutput) + ulAt, &ullAddress, sizeof ullAddress);
            ulAt += 8;
            if (r.Enable != 0) {
                lSignalAny = static_cast<LONG>(i);
                if (r.Direction == 1) {
                    lSignal = static_cast<LONG>(i);
                }
            }
            r.Buffer->Enable = r.Enable;
        }
        if (lSignal < 0) {
            lSignal = lSignalAny;
        }
        if (lSignal >= 0) {
            m_pAsioEndpoints[lSignal].Signal = 1;
            m_pAsioEndpoints[lSignal].Buffer->SignalFlag = 1;
        }
        status = AsioRegisterClients();
    }
    if (!NT_SUCCESS(status)) {
        m_ulAsioOwnerActive = 0;
        AsioFreeBuffers();
        return status;
    }
    pClient->Started = 1;
    // An owner whose earlier creation failed is busy again.
    m_ulAsioOwnerActive = 1;
    *pulLength = 8 * ulAsioEndpoints;
    return STATUS_SUCCESS;
}

NTSTATUS AsioDevice::AsioDisposeBuffers(PFILE_OBJECT pFileObject)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    AsioClient* pClient = AsioFindClient(pFileObject);
    if (pClient == nullptr || pClient != m_pAsioOwner) {
        return STATUS_INVALID_PARAMETER;
    }
    // Disposing of running buffers stops them first, as a close does: the endpoints must not go
    // on copying from rings that are gone.
    if (AsioRunning() || AsioSuspended()) {
        if (AsioRunning()) {
            AsioStopStreams();
        }
        __atomic_store_n(&m_bAsioSuspended, 0, __ATOMIC_SEQ_CST);
        PKEVENT pSwitch = AsioTakeBufferSwitchEvent();
        if (pSwitch != nullptr) {
            ObDereferenceObject(pSwitch);
        }
    }
    AsioUnregisterClients();
    AsioFreeBuffers();
    pClient->Started = 0;
    m_ulAsioOwnerActive = 0;
    KIRQL irql;
    KeAcquireSpinLock(&m_PinRingLock, &irql);
    m_pAsioOwner = nullptr;
    KeReleaseSpinLock(&m_PinRingLock, irql);
    return STATUS_SUCCESS;
}

// ---- registration and streams ----

NTSTATUS AsioDevice::AsioSelectFormat(ULONG ulIndex, WaveFormatRecord* pFormat)
{
    if (m_pAsioOwner == nullptr || ulIndex >= m_ulAsioEndpointCount) {
        return STATUS_INVALID_PARAMETER;
    }
    StreamEngine* pEndpoint = nullptr;
    const NTSTATUS status = AsioHal()->GetEndpoint(ulIndex, &pEndpoint);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG ulRate = static_cast<ULONG>(m_pAsioOwner->SampleRate);
    const ULONG ulChannels = m_pAsioEndpoints[ulIndex].Channels;
    ULONG ulBits = 64;
    ULONG ulValid = 64;
    ULONG ulFormatRate = ulRate / 64;
    GUID subFormat = VendorRawSubformat;
    if (m_lAsioBufferIoFormat != ASIO_IO_FORMAT_DSD) {
        subFormat = KSDATAFORMAT_SUBTYPE_PCM;
        ulFormatRate = ulRate;
        switch (m_lAsioBufferSampleType) {
        case ASIO_ST_INT16_LSB: ulBits = 16; ulValid = 16; break;
        case ASIO_ST_INT24_LSB: ulBits = 24; ulValid = 24; break;
        case ASIO_ST_INT32_LSB: ulBits = 32; ulValid = 32; break;
        case ASIO_ST_INT32_LSB16: ulBits = 32; ulValid = 16; break;
        case ASIO_ST_INT32_LSB18: ulBits = 32; ulValid = 18; break;
        case ASIO_ST_INT32_LSB20: ulBits = 32; ulValid = 20; break;
        case ASIO_ST_INT32_LSB24: ulBits = 32; ulValid = 24; break;
        default: return STATUS_INVALID_PARAMETER;
        }
    }
    const ULONG ulCount = pEndpoint->GetFormatCount();
    for (ULONG i = 0; i < ulCount; ++i) {
        WaveFormatRecord format;
        std::memset(&format, 0, sizeof format);
        if (!NT_SUCCESS(pEndpoint->GetFormat(i, &format))) {
            continue;
        }
        if (format.Format.nChannels == ulChannels && format.Format.nSamplesPerSec == ulFormatRate &&
            format.Format.wBitsPerSample == ulBits && format.Samples.wValidBitsPerSample == ulValid &&
            IsEqualGUID(format.SubFormat, subFormat)) {
            std::memcpy(pFormat, &format, sizeof format);
            return STATUS_SUCCESS;
        }
    }
    return STATUS_NO_MATCH;
}

NTSTATUS AsioDevice::AsioRegisterClients()
{
    PAGED_CODE();
    AsioTransferShape shape{};
    ULONG r = 0;
    if (!AsioShape(&shape, &r)) {
        return STATUS_INVALID_PARAMETER;
    }
    IAudioHal* pHal = AsioHal();
    bool bAny = false;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < m_ulAsioBufferEndpoints; ++i) {
        AsioEndpointRecord& record = m_pAsioEndpoints[i];
        if (record.Buffer == nullptr || record.Enable == 0) {
            continue;
        }
        bAny = true;
        WaveFormatRecord format;
        status = AsioSelectFormat(i, &format);
        IStreamTransport* pTransport = NT_SUCCESS(status) ? TransportOf(pHal, i, &status) : nullptr;
        EndpointClient* pEndpointClient = nullptr;
        if (pTransport != nullptr) {
            status = pTransport->RegisterClient(CLIENT_KIND_ASIO, &format, shape.MsPerTransfer, shape.Queued,
                                                AsioTransportCallback, this, &pEndpointClient);
            pTransport->Release();
        }
        if (!NT_SUCCESS(status)) {
            AsioUnregisterClients();
            return status;
        }
        KIRQL irql;
        KeAcquireSpinLock(&m_PinRingLock, &irql);
        record.Client = pEndpointClient;
        KeReleaseSpinLock(&m_PinRingLock, irql);
    }
    return bAny ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

template <typename Visit> NTSTATUS AsioDevice::AsioForEachClient(Visit visit)
{
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    IAudioHal* pHal = AsioHal();
    for (ULONG i = 0; m_pAsioEndpoints != nullptr && i < m_ulAsioBufferEndpoints; ++i) {
        AsioEndpointRecord& record = m_pAsioEndpoints[i];
        if (record.Buffer == nullptr || record.Enable == 0 || record.Client == nullptr) {
            continue;
        }
        IStreamTransport* pTransport = TransportOf(pHal, i, &status);
        if (pTransport == nullptr) {
            break;
        }
        visit(record, pTransport);
        pTransport->Release();
    }
    return status;
}

NTSTATUS AsioDevice::AsioUnregisterClients()
{
    PAGED_CODE();
    return AsioForEachClient([this](AsioEndpointRecord& record, IStreamTransport* pTransport) {
        PVOID hClient = record.Client->Registration;
        KIRQL irql;
        KeAcquireSpinLock(&m_PinRingLock, &irql);
        record.Client = nullptr;
        KeReleaseSpinLock(&m_PinRingLock, irql);
        pTransport->UnregisterClient(hClient);
    });
}

NTSTATUS AsioDevice::AsioStartStreams()
{
    PAGED_CODE();
    IAudioHal* pHal = AsioHal();
    ULONG ulFrame = 0;
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < m_ulAsioBufferEndpoints; ++i) {
        AsioEndpointRecord& record = m_pAsioEndpoints[i];
        if (record.Buffer == nullptr || record.Enable == 0) {
            continue;
        }
        WaveFormatRecord format;
        status = AsioSelectFormat(i, &format);
        IStreamTransport* pTransport = NT_SUCCESS(status) ? TransportOf(pHal, i, &status) : nullptr;
        if (pTransport != nullptr) {
            ULONG ulMs = 0;
            status = record.Client != nullptr ? pTransport->ClientStart(record.Client->Registration, &ulMs, &ulFrame)
                                              : STATUS_INVALID_PARAMETER;
            pTransport->Release();
        }
        if (!NT_SUCCESS(status)) {
            for (ULONG k = 0; k < m_ulAsioBufferEndpoints; ++k) {
                AsioEndpointRecord& undo = m_pAsioEndpoints[k];
                NTSTATUS ignored = STATUS_SUCCESS;
                IStreamTransport* pUndo = undo.Client != nullptr ? TransportOf(pHal, k, &ignored) : nullptr;
                if (pUndo != nullptr) {
                    pUndo->ClientPause(undo.Client->Registration, nullptr);
                    pUndo->ClientStop(undo.Client->Registration);
                    pUndo->Release();
                }
            }
            return status;
        }
    }
    const ULONG ulStartFrame = ulFrame + ASIO_START_FRAME_LEAD;
    // Capture first, so that the input is running when the first output transfer goes out.
    constexpr ULONG DIRECTIONS[] = {1, 0};
    for (ULONG ulDirection : DIRECTIONS) {
        for (ULONG i = 0; i < m_ulAsioBufferEndpoints; ++i) {
            AsioEndpointRecord& record = m_pAsioEndpoints[i];
            if (record.Buffer == nullptr || record.Enable == 0 || record.Client == nullptr ||
                record.Direction != ulDirection) {
                continue;
            }
            NTSTATUS lookup = STATUS_SUCCESS;
            IStreamTransport* pTransport = TransportOf(pHal, i, &lookup);
            if (pTransport == nullptr) {
                break;
            }
            ULONG ulMs = 0;
            const NTSTATUS run = pTransport->ClientRun(record.Client->Registration, ulStartFrame, &ulMs, nullptr);
            pTransport->Release();
            if (!NT_SUCCESS(run)) {
                break;
            }
        }
    }
    __atomic_store_n(&m_bAsioRunning, 1, __ATOMIC_SEQ_CST);
    AsioSendQuirkRequest(1);
    return STATUS_SUCCESS;
}

NTSTATUS AsioDevice::AsioStopStreams()
{
    PAGED_CODE();
    const NTSTATUS status = AsioForEachClient([](AsioEndpointRecord& record, IStreamTransport* pTransport) {
        pTransport->ClientPause(record.Client->Registration, nullptr);
        pTransport->ClientStop(record.Client->Registration);
    });
    __atomic_store_n(&m_bAsioRunning, 0, __ATOMIC_SEQ_CST);
    AsioSendQuirkRequest(0);
    return status;
}

VOID AsioDevice::AsioSendQuirkRequest(USHORT wValue)
{
    const USHORT idVendor = AsioVendorId();
    const USHORT idProduct = AsioProductId();
    bool bQuirk = false;
    for (const QuirkDevice& device : AsioVendorQuirkTable) {
        bQuirk = bQuirk || (device.Vendor == idVendor && device.Product == idProduct);
    }
    IUsbDevice* pUsb = AsioUsb();
    if (!bQuirk || pUsb == nullptr) {
        return;
    }
    URB urb;
    std::memset(&urb, 0, sizeof urb);
    urb.UrbHeader.Length = sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_VENDOR_DEVICE;
    auto& request = urb.UrbControlVendorClassRequest;
    request.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    request.Request = ASIO_QUIRK_REQUEST;
    request.Value = wValue;
    request.Index = 0;
    pUsb->SubmitUrbSync(&urb);
}

VOID AsioDevice::ResetAsioRings(PKEVENT pEvent)
{
    AsioTransferShape shape{};
    ULONG r = 0;
    const bool bShape = AsioShape(&shape, &r);
    ULONG b = 0;
    if (m_pAsioOwner != nullptr) {
        b = m_lAsioBufferIoFormat == ASIO_IO_FORMAT_DSD ? 8 : AsioBytesPerSample(m_lAsioBufferSampleType);
    }
    KIRQL irql;
    KeAcquireSpinLock(&m_PinRingLock, &irql);
    for (ULONG i = 0; m_pAsioEndpoints != nullptr && i < m_ulAsioBufferEndpoints; ++i) {
        AsioEndpointRecord& record = m_pAsioEndpoints[i];
        if (record.Buffer == nullptr) {
            continue;
        }
        record.CompletedCount = 0;
        record.RingPosition = 0;
        ULONG ulInitial = 0;
        ULONG ulQueued = 0;
        if (record.Direction == 0 && bShape) {
            const ULONG ulTransfer = record.Channels * b * shape.MsPerTransfer * r;
            ULONG Q = shape.Count - 1;
            if (shape.Count < 3) {
                // The queue starts one transfer before the end of the ring.
                Q = 2;
                ulInitial = ulTransfer < record.Size ? record.Size - ulTransfer : 0;
            }
            ulQueued = record.Channels * b * Q * shape.MsPerTransfer * r;
        }
        record.RingPosition = ulInitial;
        record.Buffer->CompletedCount = 0;
        record.Buffer->InitialPosition = ulInitial;
        record.Buffer->RingPosition = ulInitial;
        record.Buffer->QueuedBytes = ulQueued;
    }
    if (m_pAsioOwner != nullptr) {
        m_pAsioOwner->BufferSwitchEvent = pEvent;
    }
    KeReleaseSpinLock(&m_PinRingLock, irql);
}

PKEVENT AsioDevice::AsioTakeBufferSwitchEvent()
{
    PKEVENT pEvent = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&m_PinRingLock, &irql);
    if (m_pAsioOwner != nullptr) {
        pEvent = m_pAsioOwner->BufferSwitchEvent;
        m_pAsioOwner->BufferSwitchEvent = nullptr;
    }
    KeReleaseSpinLock(&m_PinRingLock, irql);
    return pEvent;
}

// ---- start and stop ----

NTSTATUS AsioDevice::AsioStart(PFILE_OBJECT pFileObject, HANDLE hEvent)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    AsioClient* pClient = AsioFindClient(pFileObject);
    if (pClient == nullptr || pClient != m_pAsioOwner || pClient->BufferSwitchEvent != nullptr ||
        pClient->Started == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID pEvent = nullptr;
    const NTSTATUS referenced =
        ObReferenceObjectByHandle(hEvent, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &pEvent, nullptr);
    if (!NT_SUCCESS(referenced)) {
        return referenced;
    }
    const NTSTATUS status = AsioStartStreams();
    ResetAsioRings(static_cast<PKEVENT>(pEvent));
    return status;
}

NTSTATUS AsioDevice::AsioStopOwner(AsioClient* pClient)
{
    if (pClient == nullptr || pClient != m_pAsioOwner || pClient->BufferSwitchEvent == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    KeClearEvent(pClient->BufferSwitchEvent);
    // The completions stop setting the event before it is let go.
    PKEVENT pSwitch = AsioTakeBufferSwitchEvent();
    if (AsioSuspended()) {
        __atomic_store_n(&m_bAsioSuspended, 0, __ATOMIC_SEQ_CST);
    } else {
        AsioStopStreams();
    }
    if (pSwitch != nullptr) {
        ObDereferenceObject(pSwitch);
    }
    const UCHAR silence = m_lAsioBufferIoFormat == ASIO_IO_FORMAT_DSD ? ASIO_DSD_SILENCE : 0;
    KIRQL irql;
    KeAcquireSpinLock(&m_PinRingLock, &irql);
    for (ULONG i = 0; i < m_ulAsioBufferEndpoints; ++i) {
        AsioEndpointRecord& record = m_pAsioEndpoints[i];
        if (record.Buffer != nullptr && record.Enable != 0) {
            std::memset(reinterpret_cast<PUCHAR>(record.Buffer) + ASIO_BUFFER_HEADER_BYTES, silence, record.Size);
        }
    }
    KeReleaseSpinLock(&m_PinRingLock, irql);
    return STATUS_SUCCESS;
}

NTSTATUS AsioDevice::AsioStop(PFILE_OBJECT pFileObject, PIRP pIrp)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    AsioClient* pClient = AsioFindClient(pFileObject);
    if (pClient == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (AsioDeviceInD0()) {
        return AsioStopOwner(pClient);
    }
    if (pIrp == nullptr || AsioStopPending()) {
        return STATUS_INVALID_PARAMETER;
    }
    // The stop waits for D0; it can be cancelled meanwhile. The cancel routine and whoever takes
    // the stop off the device meet under m_AsioStopLock, so the request is never touched after
    // one of them may have completed it.
    pIrp->Tail.Overlay.DriverContext[0] = this;
    IoMarkIrpPending(pIrp);
    KIRQL irql;
    KeAcquireSpinLock(&m_AsioStopLock, &irql);
    IoSetCancelRoutine(pIrp, AsioCancelStop);
    if (pIrp->Cancel && IoSetCancelRoutine(pIrp, nullptr) != nullptr) {
        // Cancelled before the routine was set: it completes here.
        KeReleaseSpinLock(&m_AsioStopLock, irql);
        pIrp->IoStatus.Status = STATUS_CANCELLED;
        pIrp->IoStatus.Information = 0;
        IoCompleteRequest(pIrp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    }
    m_pAsioPendingStop = pIrp;
    KeReleaseSpinLock(&m_AsioStopLock, irql);
    return STATUS_PENDING;
}

PIRP AsioDevice::AsioTakePendingStop()
{
    KIRQL irql;
    KeAcquireSpinLock(&m_AsioStopLock, &irql);
    PIRP pIrp = m_pAsioPendingStop;
    if (pIrp != nullptr) {
        if (IoSetCancelRoutine(pIrp, nullptr) == nullptr) {
            // Being cancelled: the cancel routine takes it off and completes it.
            pIrp = nullptr;
        } else {
            m_pAsioPendingStop = nullptr;
        }
    }
    KeReleaseSpinLock(&m_AsioStopLock, irql);
    return pIrp;
}

VOID AsioDevice::AsioCancelStop(PDEVICE_OBJECT, PIRP pIrp)
{
    auto* pDevice = static_cast<AsioDevice*>(pIrp->Tail.Overlay.DriverContext[0]);
    IoReleaseCancelSpinLock(pIrp->CancelIrql);
    KIRQL irql;
    KeAcquireSpinLock(&pDevice->m_AsioStopLock, &irql);
    if (pDevice->m_pAsioPendingStop == pIrp) {
        pDevice->m_pAsioPendingStop = nullptr;
    }
    KeReleaseSpinLock(&pDevice->m_AsioStopLock, irql);
    pIrp->IoStatus.Status = STATUS_CANCELLED;
    pIrp->IoStatus.Information = 0;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
}

// ---- power ----

VOID AsioDevice::AsioLeavingD0()
{
    PAGED_CODE();
    if (!AsioRunning()) {
        return;
    }
    AsioStopStreams();
    KIRQL irql;
    KeAcquireSpinLock(&m_PinRingLock, &irql);
    if (m_pAsioOwner != nullptr && m_pAsioOwner->BufferSwitchEvent != nullptr) {
        KeClearEvent(m_pAsioOwner->BufferSwitchEvent);
    }
    KeReleaseSpinLock(&m_PinRingLock, irql);
    __atomic_store_n(&m_bAsioSuspended, 1, __ATOMIC_SEQ_CST);
}

VOID AsioDevice::AsioEnteredD0()
{
    PAGED_CODE();
    if (!AsioSuspended()) {
        return;
    }
    __atomic_store_n(&m_bAsioSuspended, 0, __ATOMIC_SEQ_CST);
    // Only an owner that still holds its buffers and its event is resumed.
    if (m_pAsioOwner == nullptr || m_pAsioOwner->Started == 0 || m_pAsioOwner->BufferSwitchEvent == nullptr) {
        return;
    }
    AsioStartStreams();
    ResetAsioRings(m_pAsioOwner->BufferSwitchEvent);
}

VOID AsioDevice::AsioRunPendingStop()
{
    PAGED_CODE();
    PIRP pIrp = AsioTakePendingStop();
    if (pIrp == nullptr) {
        return;
    }
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    m_AsioLock.Lock();
    const NTSTATUS status = AsioStopOwner(AsioFindClient(pStack->FileObject));
    m_AsioLock.Unlock();
    pIrp->IoStatus.Status = status;
    pIrp->IoStatus.Information = 0;
    IoCompleteRequest(pIrp, IO_NO_INCREMENT);
}

VOID AsioDevice::AsioFlushPendingStop() { AsioRunPendingStop(); }

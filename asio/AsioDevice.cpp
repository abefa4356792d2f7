// The enquiries and settings of the private ASIO interface: client records, driver name,
// channels, sample types, latencies, rates, buffer sizes, I/O formats and the notification event.
#include "asio/AsioDevice.h"
#include "asio/AsioLockScope.h"

#include <cstring>

#include "adapter/SettingsStore.h"
#include "platform/nt/Irql.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Pool.h"
#include "platform/nt/RtlString.h"
#include "platform/usb/Usb.h"

const LONG LatencyTable[ASIO_LATENCY_COUNT] = {4, 6, 8, 10, 20, 30, 40, 50};

namespace {

constexpr char ASIO_DEFAULT_DRIVER_NAME[] = "Tarvel USB ASIO Device";
constexpr ULONG ASIO_STRING_BLOCK_BYTES = 260;
constexpr ULONG ASIO_STRING_REQUEST_BYTES = 256;
constexpr USHORT ASIO_STRING_LANGUAGE = 0x0409;
// What StreamEngine::GetName may write, in characters.
constexpr ULONG ASIO_ENDPOINT_NAME_CHARS = 100;
constexpr ULONG ASIO_CHANNEL_INFO_BYTES = 52;
constexpr ULONG ASIO_CHANNEL_NAME_BYTES = 32;
constexpr ULONG ASIO_CHANNELS_BYTES = 16;
constexpr ULONG ASIO_LATENCY_TABLE_BYTES = 8 + 4 * ASIO_LATENCY_COUNT;
// The order in which GET_SAMPLE_TYPES lists the codes.
constexpr LONG SAMPLE_TYPE_ORDER[] = {ASIO_ST_INT16_LSB, ASIO_ST_INT24_LSB, ASIO_ST_INT32_LSB16, ASIO_ST_INT32_LSB24,
                                      ASIO_ST_INT32_LSB};
constexpr ULONG SAMPLE_TYPE_COUNT = sizeof(SAMPLE_TYPE_ORDER) / sizeof(SAMPLE_TYPE_ORDER[0]);




}  // namespace

bool AsioIsKnownSampleType(LONG lType)
{
    return lType == ASIO_ST_INT16_LSB || lType == ASIO_ST_INT24_LSB || lType == ASIO_ST_INT32_LSB ||
           (lType >= ASIO_ST_INT32_LSB16 && lType <= ASIO_ST_INT32_LSB24);
}

ULONG AsioBytesPerSample(LONG lType)
{
    if (lType == ASIO_ST_INT16_LSB) {
        return 2;
    }
    if (lType == ASIO_ST_INT24_LSB) {
        return 3;
    }
    return AsioIsKnownSampleType(lType) ? 4 : 0;
}

// ---- life ----

AsioDevice::AsioDevice()
    : m_pAsioEndpoints(nullptr),
      m_ulAsioEndpointCount(0),
      m_ulAsioDefaultSampleType(ASIO_ST_INT16_LSB),
      m_ulAsioSampleType(ASIO_ST_INT16_LSB),
      m_ulAsioLatencyIndex(4),
      m_ulAsioSampleRate(48000),
      m_pAsioOwner(nullptr),
      m_ulAsioOwnerActive(0),
      m_ulAsioBufferEndpoints(0),
      m_ulAsioBufferFrames(0),
      m_lAsioBufferSampleType(ASIO_ST_INT16_LSB),
      m_lAsioBufferIoFormat(ASIO_IO_FORMAT_PCM),
      m_bAsioRunning(0),
      m_bAsioSuspended(0),
      m_pAsioPendingStop(nullptr)
{
    InitializeListHead(&m_AsioClients);
    KeInitializeSpinLock(&m_PinRingLock);
    KeInitializeSpinLock(&m_AsioStopLock);
}

AsioDevice::~AsioDevice() { AsioTeardown(); }

NTSTATUS AsioDevice::AsioAllocateRecords(ULONG ulCount)
{
    PAGED_CODE();
    if (ulCount == 0 || m_pAsioEndpoints != nullptr) {
        return STATUS_SUCCESS;
    }
    auto* pRecords = static_cast<AsioEndpointRecord*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, ulCount * sizeof(AsioEndpointRecord), ASIO_CLIENT_TAG));
    if (pRecords == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pRecords, 0, ulCount * sizeof(AsioEndpointRecord));
    m_pAsioEndpoints = pRecords;
    m_ulAsioEndpointCount = ulCount;
    return STATUS_SUCCESS;
}

VOID AsioDevice::AsioCheckSettings()
{
    PAGED_CODE();
    if (!AsioIsKnownSampleType(static_cast<LONG>(m_ulAsioDefaultSampleType))) {
        m_ulAsioDefaultSampleType = ASIO_ST_INT16_LSB;
    }
    if (!AsioIsKnownSampleType(static_cast<LONG>(m_ulAsioSampleType))) {
        m_ulAsioSampleType = ASIO_ST_INT16_LSB;
    }
    if (m_ulAsioLatencyIndex >= ASIO_LATENCY_COUNT) {
        m_ulAsioLatencyIndex = 4;
    }
    if (m_ulAsioSampleRate < ASIO_PCM_RATE_MIN || m_ulAsioSampleRate > 0x7FFFFFFFu) {
        m_ulAsioSampleRate = 48000;
    }
}

VOID AsioDevice::AsioTeardown()
{
    PAGED_CODE();
    m_AsioLock.Lock();
    // A stop still waiting for D0 goes first: its client must be able to close.
    m_AsioLock.Unlock();
    AsioFlushPendingStop();
    m_AsioLock.Lock();
    while (!IsListEmpty(&m_AsioClients)) {
        auto* pClient = CONTAINING_RECORD(m_AsioClients.Flink, AsioClient, Links);
        if (pClient->Started != 0) {
            AsioStopStreams();
            AsioUnregisterClients();
            AsioFreeBuffers();
        }
        PKEVENT pSwitch = pClient == m_pAsioOwner ? AsioTakeBufferSwitchEvent() : pClient->BufferSwitchEvent;
        pClient->BufferSwitchEvent = nullptr;
        if (pSwitch != nullptr) {
            ObDereferenceObject(pSwitch);
        }
        if (pClient->NotificationEvent != nullptr) {
            ObDereferenceObject(pClient->NotificationEvent);
        }
        RemoveEntryList(&pClient->Links);
        ExFreePoolWithTag(pClient, ASIO_CLIENT_TAG);
    }
    m_pAsioOwner = nullptr;
    m_ulAsioOwnerActive = 0;
    __atomic_store_n(&m_bAsioSuspended, 0, __ATOMIC_SEQ_CST);
    AsioFreeBuffers();
    if (m_pAsioEndpoints != nullptr) {
        ExFreePoolWithTag(m_pAsioEndpoints, ASIO_CLIENT_TAG);
        m_pAsioEndpoints = nullptr;
        m_ulAsioEndpointCount = 0;
    }
    m_AsioLock.Unlock();
}

AsioClient* AsioDevice::AsioFindClient(PFILE_OBJECT pFileObject)
{
    for (PLIST_ENTRY pEntry = m_AsioClients.Flink; pEntry != &m_AsioClients; pEntry = pEntry->Flink) {
        auto* pClient = CONTAINING_RECORD(pEntry, AsioClient, Links);
        if (pClient->FileObject == pFileObject) {
            return pClient;
        }
    }
    return nullptr;
}

ULONG AsioDevice::AsioClientCount()
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    ULONG n = 0;
    for (PLIST_ENTRY pEntry = m_AsioClients.Flink; pEntry != &m_AsioClients; pEntry = pEntry->Flink) {
        ++n;
    }
    return n;
}

bool AsioDevice::AsioRecord(ULONG ulIndex, AsioEndpointRecord* pRecord)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_PinRingLock, &irql);
    const bool bFound = m_pAsioEndpoints != nullptr && ulIndex < m_ulAsioEndpointCount;
    if (bFound) {
        *pRecord = m_pAsioEndpoints[ulIndex];
    }
    KeReleaseSpinLock(&m_PinRingLock, irql);
    return bFound;
}

VOID AsioDevice::AsioSignalClients()
{
    for (PLIST_ENTRY pEntry = m_AsioClients.Flink; pEntry != &m_AsioClients; pEntry = pEntry->Flink) {
        auto* pClient = CONTAINING_RECORD(pEntry, AsioClient, Links);
        if (pClient->NotificationEvent != nullptr) {
            KeSetEvent(pClient->NotificationEvent, 8, FALSE);
        }
    }
}

bool AsioDevice::AsioRateFitsIoFormat(LONG lIoFormat, ULONG ulRate)
{
    return (lIoFormat == ASIO_IO_FORMAT_PCM && ulRate < ASIO_DSD_RATE_FIRST) ||
           (lIoFormat == ASIO_IO_FORMAT_DSD && ulRate >= ASIO_DSD_RATE_FIRST);
}

// ---- endpoint queries ----

namespace {

template <typename Visit> void ForEachFormat(StreamEngine* pEndpoint, Visit visit)
{
    const ULONG ulCount = pEndpoint->GetFormatCount();
    for (ULONG i = 0; i < ulCount; ++i) {
        WaveFormatRecord format;
        std::memset(&format, 0, sizeof format);
        if (NT_SUCCESS(pEndpoint->GetFormat(i, &format))) {
            visit(format);
        }
    }
}

bool IsPcm(const WaveFormatRecord& f) { return IsEqualGUID(f.SubFormat, KSDATAFORMAT_SUBTYPE_PCM) != 0; }
bool IsDsd(const WaveFormatRecord& f) { return IsEqualGUID(f.SubFormat, VendorRawSubformat) != 0; }

}  // namespace

ULONG AsioDevice::AsioPcmChannels(StreamEngine* pEndpoint)
{
    ULONG ulMax = 0;
    ForEachFormat(pEndpoint, [&](const WaveFormatRecord& f) {
        if (IsPcm(f) && f.Format.nChannels > ulMax) {
            ulMax = f.Format.nChannels;
        }
    });
    return ulMax;
}

ULONG AsioDevice::AsioDsdChannels(StreamEngine* pEndpoint)
{
    ULONG ulMax = 0;
    ForEachFormat(pEndpoint, [&](const WaveFormatRecord& f) {
        if (IsDsd(f) && f.Format.nChannels > ulMax) {
            ulMax = f.Format.nChannels;
        }
    });
    return ulMax;
}

ULONG AsioDevice::AsioChannels(StreamEngine* pEndpoint, LONG lIoFormat)
{
    return lIoFormat == ASIO_IO_FORMAT_DSD ? AsioDsdChannels(pEndpoint) : AsioPcmChannels(pEndpoint);
}

bool AsioDevice::AsioSupportsIoFormat(StreamEngine* pEndpoint, LONG lIoFormat)
{
    bool bFound = false;
    ForEachFormat(pEndpoint, [&](const WaveFormatRecord& f) {
        bFound = bFound || (lIoFormat == ASIO_IO_FORMAT_PCM && IsPcm(f)) || (lIoFormat == ASIO_IO_FORMAT_DSD && IsDsd(f));
    });
    return bFound;
}

bool AsioDevice::AsioSupportsRate(StreamEngine* pEndpoint, LONG lIoFormat, ULONG ulRate)
{
    bool bFound = false;
    ForEachFormat(pEndpoint, [&](const WaveFormatRecord& f) {
        if (lIoFormat == ASIO_IO_FORMAT_PCM && IsPcm(f)) {
            bFound = bFound || f.Format.nSamplesPerSec == ulRate;
        } else if (lIoFormat == ASIO_IO_FORMAT_DSD && IsDsd(f)) {
            const ULONG ulBits = f.Format.wBitsPerSample;
            if (ulBits == 16) {
                bFound = bFound || f.Format.nSamplesPerSec == ulRate / 16;
            } else if (ulBits != 0 && f.Format.nChannels >= 2) {
                // Formats that would divide by zero are skipped.
                bFound = bFound || f.Format.nSamplesPerSec == ulRate / ulBits / (f.Format.nChannels / 2u);
            }
        }
    });
    return bFound;
}

ULONG AsioDevice::AsioEndpointSampleTypes(StreamEngine* pEndpoint, bool* pbFlags)
{
    for (ULONG i = 0; i < SAMPLE_TYPE_COUNT; ++i) {
        pbFlags[i] = false;
    }
    ForEachFormat(pEndpoint, [&](const WaveFormatRecord& f) {
        // Only PCM formats carry samples of these types: a raw-data container of 32 bits is no
        // 32-bit sample, and no PCM stream could be found for it.
        if (!IsPcm(f)) {
            return;
        }
        const USHORT bits = f.Format.wBitsPerSample;
        if (bits == 16) {
            pbFlags[0] = true;
        } else if (bits == 24) {
            pbFlags[1] = true;
        } else if (bits == 32) {
            const USHORT valid = f.Samples.wValidBitsPerSample;
            pbFlags[valid == 16 ? 2 : valid == 24 ? 3 : 4] = true;
        }
    });
    ULONG n = 0;
    for (ULONG i = 0; i < SAMPLE_TYPE_COUNT; ++i) {
        n += pbFlags[i] ? 1 : 0;
    }
    return n;
}

bool AsioDevice::AsioIsAsioEndpoint(ULONG ulIndex)
{
    AudioCapabilities capabilities;
    std::memset(&capabilities, 0, sizeof capabilities);
    return NT_SUCCESS(AsioHal()->GetEndpointCapabilities(ulIndex, &capabilities)) &&
           (capabilities.Flags & AUDIO_CAPABILITY_ASIO) != 0;
}

template <typename Test> NTSTATUS AsioDevice::AsioEveryEndpoint(Test test)
{
    IAudioHal* pHal = AsioHal();
    const ULONG ulCount = pHal->GetEndpointCount();
    bool bSeen = false;
    for (ULONG i = 0; i < ulCount; ++i) {
        if (!AsioIsAsioEndpoint(i)) {
            continue;
        }
        StreamEngine* pEndpoint = nullptr;
        const NTSTATUS status = pHal->GetEndpoint(i, &pEndpoint);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        bSeen = true;
        if (!test(pEndpoint)) {
            return STATUS_UNSUCCESSFUL;
        }
    }
    return bSeen ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// ---- operations ----

NTSTATUS AsioDevice::AsioOpenClient(PFILE_OBJECT pFileObject)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    if (pFileObject == nullptr || AsioFindClient(pFileObject) != nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    auto* pClient = static_cast<AsioClient*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(AsioClient), ASIO_CLIENT_TAG));
    if (pClient == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    std::memset(pClient, 0, sizeof *pClient);
    pClient->FileObject = pFileObject;
    pClient->SampleType = static_cast<LONG>(m_ulAsioDefaultSampleType);
    pClient->LatencyIndex = static_cast<LONG>(m_ulAsioLatencyIndex);
    pClient->SampleRate = static_cast<LONG>(m_ulAsioSampleRate);
    InsertHeadList(&m_AsioClients, &pClient->Links);
    return STATUS_SUCCESS;
}

NTSTATUS AsioDevice::AsioReserved(PFILE_OBJECT) { return STATUS_UNSUCCESSFUL; }

NTSTATUS AsioDevice::AsioCloseClient(PFILE_OBJECT pFileObject)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    AsioClient* pClient = AsioFindClient(pFileObject);
    if (pClient == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    if (pClient->Started != 0) {
        AsioStopStreams();
        AsioUnregisterClients();
        AsioFreeBuffers();
        pClient->Started = 0;
        __atomic_store_n(&m_bAsioSuspended, 0, __ATOMIC_SEQ_CST);
    }
    PKEVENT pSwitch = pClient == m_pAsioOwner ? AsioTakeBufferSwitchEvent() : pClient->BufferSwitchEvent;
    pClient->BufferSwitchEvent = nullptr;
    if (pSwitch != nullptr) {
        ObDereferenceObject(pSwitch);
    }
    if (pClient == m_pAsioOwner || m_ulAsioOwnerActive == 0) {
        if (pClient == m_pAsioOwner) {
            m_pAsioOwner = nullptr;
            m_ulAsioOwnerActive = 0;
            // Nobody is left to resume.
            __atomic_store_n(&m_bAsioSuspended, 0, __ATOMIC_SEQ_CST);
        }
        ULONG ulType = m_ulAsioSampleType;
        AccessSettingsBinary(AsioFunctionalDevice(), SETTINGS_WRITE, &ulType, sizeof ulType, u"ASIOMLDataBitDepth");
        m_ulAsioDefaultSampleType = m_ulAsioSampleType;
    }
    if (pClient->NotificationEvent != nullptr) {
        ObDereferenceObject(pClient->NotificationEvent);
        pClient->NotificationEvent = nullptr;
    }
    RemoveEntryList(&pClient->Links);
    ExFreePoolWithTag(pClient, ASIO_CLIENT_TAG);
    return STATUS_SUCCESS;
}

NTSTATUS AsioDevice::AsioGetDriverName(PFILE_OBJECT pFileObject, PVOID pBuffer, PULONG pulLength)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    if (AsioFindClient(pFileObject) == nullptr || pulLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG ulLength = *pulLength;
    const UCHAR iProduct = AsioProductStringIndex();
    if (iProduct == 0) {
        const ULONG ulNeeded = sizeof(ASIO_DEFAULT_DRIVER_NAME);
        if (ulLength == 0) {
            *pulLength = ulNeeded;
            return STATUS_BUFFER_OVERFLOW;
        }
        if (pBuffer == nullptr) {
            return STATUS_INVALID_PARAMETER;
        }
        const ULONG ulCopy = ulLength < ulNeeded ? ulLength - 1 : ulNeeded - 1;
        std::memcpy(pBuffer, ASIO_DEFAULT_DRIVER_NAME, ulCopy);
        static_cast<PCHAR>(pBuffer)[ulCopy] = 0;
        *pulLength = ulCopy + 1;
        return STATUS_SUCCESS;
    }
    auto* pBlock = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, ASIO_STRING_BLOCK_BYTES, ASIO_NAME_TAG));
    if (pBlock == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    std::memset(pBlock, 0, ASIO_STRING_BLOCK_BYTES);
    URB urb;
    std::memset(&urb, 0, sizeof urb);
    urb.UrbHeader.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    auto& request = urb.UrbControlDescriptorRequest;
    request.Index = iProduct;
    request.DescriptorType = 3;
    request.LanguageId = ASIO_STRING_LANGUAGE;
    request.TransferBuffer = pBlock;
    request.TransferBufferLength = ASIO_STRING_REQUEST_BYTES;
    NTSTATUS status = AsioUsb()->SubmitUrbSync(&urb);
    if (NT_SUCCESS(status)) {
        const ULONG ulReceived =
            request.TransferBufferLength < ASIO_STRING_REQUEST_BYTES ? request.TransferBufferLength : ASIO_STRING_REQUEST_BYTES;
        const ULONG bLength = pBlock[0];
        // A descriptor shorter than its own header or longer than what arrived is not believed.
        if (ulReceived < 2 || bLength < 2 || bLength > ulReceived) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            // The text, cut at its length and stripped of trailing blanks, as ANSI.
            ULONG ulChars = (bLength - 2) / 2;
            auto* pText = reinterpret_cast<PWCHAR>(pBlock + 2);
            pText[ulChars] = 0;
            while (ulChars > 0 && pText[ulChars - 1] == u' ') {
                pText[--ulChars] = 0;
            }
            UNICODE_STRING text;
            text.Buffer = pText;
            text.Length = static_cast<USHORT>(ulChars * sizeof(WCHAR));
            text.MaximumLength = static_cast<USHORT>(text.Length + sizeof(WCHAR));
            ANSI_STRING ansi;
            std::memset(&ansi, 0, sizeof ansi);
            status = RtlUnicodeStringToAnsiString(&ansi, &text, TRUE);
            if (NT_SUCCESS(status)) {
                const ULONG n = ansi.Length + 1u;
                if (ulLength == 0) {
                    *pulLength = n;
                    status = STATUS_BUFFER_OVERFLOW;
                } else if (ulLength < n) {
                    *pulLength = n;
                    status = STATUS_BUFFER_TOO_SMALL;
                } else if (pBuffer == nullptr) {
                    status = STATUS_INVALID_PARAMETER;
                } else {
                    std::memcpy(pBuffer, ansi.Buffer, ansi.Length);
                    static_cast<PCHAR>(pBuffer)[ansi.Length] = 0;
                    *pulLength = n;
                }
                RtlFreeAnsiString(&ansi);
            }
        }
    }
    ExFreePoolWithTag(pBlock, ASIO_NAME_TAG);
    return status;
}

NTSTATUS AsioDevice::AsioGetChannels(PFILE_OBJECT pFileObject, PVOID pBuffer, ULONG ulLength)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    AsioClient* pClient = AsioFindClient(pFileObject);
    IAudioHal* pHal = AsioHal();
    const ULONG ulCount = pHal->GetEndpointCount();
    if (pClient == nullptr || pBuffer == nullptr || ulLength != ASIO_CHANNELS_BYTES || ulCount == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    std::memset(pBuffer, 0, ASIO_CHANNELS_BYTES);
    LONG lEndpoints = 0;
    LONG lOutputs = 0;
    LONG lInputs = 0;
    for (ULONG i = 0; i < ulCount; ++i) {
        if (!AsioIsAsioEndpoint(i)) {
            continue;
        }
        StreamEngine* pEndpoint = nullptr;
        const NTSTATUS status = pHal->GetEndpoint(i, &pEndpoint);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        ++lEndpoints;
        const LONG lChannels = static_cast<LONG>(AsioChannels(pEndpoint, pClient->IoFormat));
        if (pEndpoint->IsCapture()) {
            lInputs += lChannels;
        } else {
            lOutputs += lChannels;
        }
    }
    if (lEndpoints == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    AsioWriteLong(pBuffer, 0, lEndpoints);
    AsioWriteLong(pBuffer, 4, lOutputs);
    AsioWriteLong(pBuffer, 8, lInputs);
    return STATUS_SUCCESS;
}

NTSTATUS AsioDevice::AsioGetChannelInfo(PFILE_OBJECT pFileObject, PVOID pBuffer, ULONG ulLength)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    AsioClient* pClient = AsioFindClient(pFileObject);
    if (pClient == nullptr || pBuffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // Room for every character the endpoint's name may have.
    auto* pName = static_cast<PWSTR>(
        ExAllocatePoolWithTag(PagedPool, (ASIO_ENDPOINT_NAME_CHARS + 1) * sizeof(WCHAR), ASIO_NAME_TAG));
    if (pName == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pName, 0, (ASIO_ENDPOINT_NAME_CHARS + 1) * sizeof(WCHAR));
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (ulLength == ASIO_CHANNEL_INFO_BYTES) {
        auto* pInfo = static_cast<PUCHAR>(pBuffer);
        const LONG lChannel = AsioReadLong(pInfo, 0);
        const bool bInput = AsioReadLong(pInfo, 4) != 0;
        // Every reply field is written, also for a channel past every endpoint: what the system
        // buffer holds beyond the caller's input is not the caller's to read.
        std::memset(pInfo + 8, 0, ASIO_CHANNEL_INFO_BYTES - 8);
        IAudioHal* pHal = AsioHal();
        const ULONG ulCount = pHal->GetEndpointCount();
        LONG lTotal = 0;
        bool bSeen = false;
        status = STATUS_SUCCESS;
        for (ULONG i = 0; i < ulCount; ++i) {
            if (!AsioIsAsioEndpoint(i)) {
                continue;
            }
            StreamEngine* pEndpoint = nullptr;
            status = pHal->GetEndpoint(i, &pEndpoint);
            if (!NT_SUCCESS(status)) {
                break;
            }
            if ((pEndpoint->IsCapture() != 0) != bInput) {
                continue;
            }
            bSeen = true;
            const LONG lCount = static_cast<LONG>(AsioChannels(pEndpoint, pClient->IoFormat));
            lTotal += lCount;
            if (lTotal > lChannel) {
                AsioWriteLong(pInfo, 8, m_pAsioOwner != nullptr ? 1 : 0);
                AsioWriteLong(pInfo, 16, pClient->IoFormat == ASIO_IO_FORMAT_DSD ? ASIO_ST_DSD_INT8_MSB1 : pClient->SampleType);
                pEndpoint->GetName(pName);
                CHAR text[ASIO_CHANNEL_NAME_BYTES];
                std::memset(text, 0, sizeof text);
                RtlStringCbPrintfA(text, sizeof text, "%ws_%02d ch", pName, lChannel + lCount - lTotal);
                std::memcpy(pInfo + 20, text, sizeof text);
                break;
            }
        }
        if (NT_SUCCESS(status) && !bSeen) {
            status = STATUS_INVALID_PARAMETER;
        }
    }
    ExFreePoolWithTag(pName, ASIO_NAME_TAG);
    return status;
}

NTSTATUS AsioDevice::AsioSetEvent(PFILE_OBJECT pFileObject, HANDLE hEvent)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    AsioClient* pClient = AsioFindClient(pFileObject);
    if (pClient == nullptr || pClient->NotificationEvent != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID pEvent = nullptr;
    const NTSTATUS status =
        ObReferenceObjectByHandle(hEvent, EVENT_MODIFY_STATE, *ExEventObjectType, UserMode, &pEvent, nullptr);
    if (NT_SUCCESS(status)) {
        pClient->NotificationEvent = static_cast<PKEVENT>(pEvent);
    }
    return status;
}

NTSTATUS AsioDevice::AsioReleaseEvent(PFILE_OBJECT pFileObject)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    AsioClient* pClient = AsioFindClient(pFileObject);
    if (pClient == nullptr || pClient->NotificationEvent == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ObDereferenceObject(pClient->NotificationEvent);
    pClient->NotificationEvent = nullptr;
    return STATUS_SUCCESS;
}

NTSTATUS AsioDevice::AsioGetBusy(PFILE_OBJECT pFileObject, PVOID pBuffer)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    if (AsioFindClient(pFileObject) == nullptr || pBuffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    AsioWriteLong(pBuffer, 0, static_cast<LONG>(m_ulAsioOwnerActive));
    return STATUS_SUCCESS;
}

NTSTATUS AsioDevice::AsioGetSampleTypes(PFILE_OBJECT pFileObject, PVOID pBuffer, PULONG pulLength)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    AsioClient* pClient = AsioFindClient(pFileObject);
    if (pClient == nullptr || pulLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    bool bKeep[SAMPLE_TYPE_COUNT] = {true, true, true, true, true};
    bool bSeen = false;
    IAudioHal* pHal = AsioHal();
    const ULONG ulCount = pHal->GetEndpointCount();
    for (ULONG i = 0; i < ulCount; ++i) {
        if (!AsioIsAsioEndpoint(i)) {
            continue;
        }
        StreamEngine* pEndpoint = nullptr;
        if (!NT_SUCCESS(pHal->GetEndpoint(i, &pEndpoint))) {
            break;
        }
        bSeen = true;
        bool bFlags[SAMPLE_TYPE_COUNT];
        AsioEndpointSampleTypes(pEndpoint, bFlags);
        for (ULONG k = 0; k < SAMPLE_TYPE_COUNT; ++k) {
            bKeep[k] = bKeep[k] && bFlags[k];
        }
    }
    ULONG n = 0;
    for (ULONG k = 0; k < SAMPLE_TYPE_COUNT; ++k) {
        n += bKeep[k] ? 1 : 0;
    }
    const ULONG ulReply = 8 + 4 * n;
    if (pBuffer == nullptr) {
        if (*pulLength != 0) {
            return STATUS_INVALID_PARAMETER;
        }
        *pulLength = ulReply;
        return bSeen ? STATUS_BUFFER_OVERFLOW : STATUS_INVALID_PARAMETER;
    }
    if (*pulLength < ulReply) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    AsioWriteLong(pBuffer, 0, static_cast<LONG>(m_ulAsioSampleType));
    AsioWriteLong(pBuffer, 4, static_cast<LONG>(n));
    ULONG ulAt = 8;
    for (ULONG k = 0; k < SAMPLE_TYPE_COUNT; ++k) {
        if (bKeep[k]) {
            AsioWriteLong(pBuffer, ulAt, SAMPLE_TYPE_ORDER[k]);
            ulAt += 4;
        }
    }
    pClient->SampleType = static_cast<LONG>(m_ulAsioSampleType);
    *pulLength = ulReply;
    return STATUS_SUCCESS;
}

NTSTATUS AsioDevice::AsioGetLatencyTable(PFILE_OBJECT pFileObject, PVOID pBuffer, PULONG pulLength)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    AsioClient* pClient = AsioFindClient(pFileObject);
    if (pClient == nullptr || pulLength == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (pBuffer == nullptr) {
        if (*pulLength != 0) {
            return STATUS_INVALID_PARAMETER;
        }
        *pulLength = ASIO_LATENCY_TABLE_BYTES;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (*pulLength < ASIO_LATENCY_TABLE_BYTES) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    pClient->LatencyIndex = static_cast<LONG>(m_ulAsioLatencyIndex);
    AsioWriteLong(pBuffer, 0, pClient->LatencyIndex);
    AsioWriteLong(pBuffer, 4, ASIO_LATENCY_COUNT);
    for (ULONG i = 0; i < ASIO_LATENCY_COUNT; ++i) {
        AsioWriteLong(pBuffer, 8 + 4 * i, LatencyTable[i]);
    }
    return STATUS_SUCCESS;
}

NTSTATUS AsioDevice::AsioSetSampleType(PFILE_OBJECT pFileObject, LONG lValue)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    AsioClient* pClient = AsioFindClient(pFileObject);
    if (pClient == nullptr || !AsioIsKnownSampleType(lValue)) {
        return STATUS_INVALID_PARAMETER;
    }
    pClient->SampleType = lValue;
    m_ulAsioSampleType = static_cast<ULONG>(lValue);
    AsioSignalClients();
    return STATUS_SUCCESS;
}

NTSTATUS AsioDevice::AsioSetLatency(PFILE_OBJECT pFileObject, LONG lValue)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    AsioClient* pClient = AsioFindClient(pFileObject);
    if (pClient == nullptr || lValue < 0 || lValue >= static_cast<LONG>(ASIO_LATENCY_COUNT)) {
        return STATUS_INVALID_PARAMETER;
    }
    pClient->LatencyIndex = lValue;
    m_ulAsioLatencyIndex = static_cast<ULONG>(lValue);
    ULONG ulValue = m_ulAsioLatencyIndex;
    AccessSettingsBinary(AsioFunctionalDevice(), SETTINGS_WRITE, &ulValue, sizeof ulValue, u"ASIOMLDataLatency");
    AsioSignalClients();
    return STATUS_SUCCESS;
}

NTSTATUS AsioDevice::AsioGetLatencies(PFILE_OBJECT pFileObject, PVOID pBuffer)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    AsioClient* pClient = AsioFindClient(pFileObject);
    if (pClient == nullptr || pBuffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pClient->LatencyIndex = static_cast<LONG>(m_ulAsioLatencyIndex);
    const LONG L = LatencyTable[m_ulAsioLatencyIndex];
    const LONG R = pClient->SampleRate;
    LONG lInput = 0;
    LONG lOutput = 0;
    if (pClient->IoFormat != ASIO_IO_FORMAT_DSD) {
        lInput = (R / 1000) * L;
        lOutput = L * (R / 1000) * 2;
    } else if (R <= static_cast<LONG>(ASIO_DSD_RATE_FIRST) - 1) {
        lInput = L * 2816;
        lOutput = L * 5632;
    } else if (R % 44100 != 0) {
        lInput = (R / 48000) * L * 48;
        lOutput = (R / 48000) * L * 96;
    } else {
        lInput = (R / 44100) * L * 44;
        lOutput = (R / 44100) * L * 88;
    }
    AsioWriteLong(pBuffer, 0, lInput);
    AsioWriteLong(pBuffer, 4, lOutput);
    return STATUS_SUCCESS;
}

NTSTATUS AsioDevice::AsioGetSampleRate(PFILE_OBJECT pFileObject, PVOID pBuffer)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    if (AsioFindClient(pFileObject) == nullptr || pBuffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    AsioWriteLong(pBuffer, 0, static_cast<LONG>(m_ulAsioSampleRate));
    return STATUS_SUCCESS;
}

NTSTATUS AsioDevice::AsioCanSampleRate(PFILE_OBJECT pFileObject, PVOID pBuffer)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    AsioClient* pClient = AsioFindClient(pFileObject);
    if (pClient == nullptr || pBuffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG ulRate = static_cast<ULONG>(AsioReadLong(pBuffer));
    const LONG lIoFormat = pClient->IoFormat;
    return AsioEveryEndpoint([&](StreamEngine* p) { return AsioSupportsRate(p, lIoFormat, ulRate); });
}

NTSTATUS AsioDevice::AsioSetSampleRate(PFILE_OBJECT pFileObject, PVOID pBuffer)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    AsioClient* pClient = AsioFindClient(pFileObject);
    if (pClient == nullptr || pBuffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const LONG lRate = AsioReadLong(pBuffer);
    const ULONG ulRate = static_cast<ULONG>(lRate);
    // A rate the transfer arithmetic cannot divide by, or past int32, is never stored.
    if (lRate <= 0 || !AsioRateFitsIoFormat(pClient->IoFormat, ulRate) || ulRate < ASIO_PCM_RATE_MIN ||
        AsioHal()->GetEndpointCount() == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const LONG lIoFormat = pClient->IoFormat;
    const NTSTATUS status = AsioEveryEndpoint([&](StreamEngine* p) { return AsioSupportsRate(p, lIoFormat, ulRate); });
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (pClient->Started == 0) {
        pClient->SampleRate = lRate;
    }
    m_ulAsioSampleRate = ulRate;
    ULONG ulValue = ulRate;
    AccessSettingsBinary(AsioFunctionalDevice(), SETTINGS_WRITE, &ulValue, sizeof ulValue, u"ASIOMLSampleRate");
    if (pClient->Started != 0) {
        AsioSignalClients();
    }
    return STATUS_SUCCESS;
}

NTSTATUS AsioDevice::AsioGetBufferSize(PFILE_OBJECT pFileObject, PVOID pBuffer)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    AsioClient* pClient = AsioFindClient(pFileObject);
    if (pClient == nullptr || pBuffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG i = m_ulAsioLatencyIndex;
    pClient->LatencyIndex = static_cast<LONG>(i);
    const LONG R = pClient->SampleRate;
    LONG lMin = 0;
    LONG lMax = 0;
    LONG lPreferred = 0;
    LONG lGranularity = 1;
    if (pClient->IoFormat != ASIO_IO_FORMAT_DSD) {
        lMin = (R / 1000) * LatencyTable[0];
        lMax = (R / 1000) * LatencyTable[7];
        lPreferred = (R / 1000) * LatencyTable[i];
    } else {
        if (R < static_cast<LONG>(ASIO_DSD_RATE_FIRST) || (R % 44100 != 0 && R % 48000 != 0)) {
            return STATUS_INVALID_PARAMETER;
        }
        const bool b44 = R % 44100 == 0;
        const LONG m = b44 ? R / 44100 : R / 48000;
        const LONG unit = b44 ? 44 : 48;
        lMin = m * LatencyTable[1] * unit;
        lMax = m * LatencyTable[7] * unit;
        lPreferred = m * LatencyTable[i < 1 ? 1 : i] * unit;
        lGranularity = m;
    }
    AsioWriteLong(pBuffer, 0, lMin);
    AsioWriteLong(pBuffer, 4, lMax);
    AsioWriteLong(pBuffer, 8, lPreferred);
    AsioWriteLong(pBuffer, 12, lGranularity);
    return STATUS_SUCCESS;
}

NTSTATUS AsioDevice::AsioCanIoFormat(PFILE_OBJECT pFileObject, PVOID pBuffer)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    if (AsioFindClient(pFileObject) == nullptr || pBuffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const LONG lIoFormat = AsioReadLong(pBuffer);
    return AsioEveryEndpoint([&](StreamEngine* p) { return AsioSupportsIoFormat(p, lIoFormat); });
}

NTSTATUS AsioDevice::AsioSetIoFormat(PFILE_OBJECT pFileObject, PVOID pBuffer)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    AsioClient* pClient = AsioFindClient(pFileObject);
    if (pClient == nullptr || pBuffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const LONG lIoFormat = AsioReadLong(pBuffer);
    const NTSTATUS status = AsioEveryEndpoint([&](StreamEngine* p) { return AsioSupportsIoFormat(p, lIoFormat); });
    if (NT_SUCCESS(status)) {
        pClient->IoFormat = lIoFormat;
    }
    return status;
}

NTSTATUS AsioDevice::AsioGetIoFormat(PFILE_OBJECT pFileObject, PVOID pBuffer)
{
    PAGED_CODE();
    AsioLockScope lock(m_AsioLock);
    AsioClient* pClient = AsioFindClient(pFileObject);
    if (pClient == nullptr || pBuffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    AsioWriteLong(pBuffer, 0, pClient->IoFormat);
    return STATUS_SUCCESS;
}

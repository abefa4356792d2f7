#include "stream/V3RenderEndpoint.h"

#include <cstring>

#include "platform/nt/Pool.h"

namespace {

constexpr USHORT TAG_AC3 = 0x0092;
constexpr ULONG RATE_96K = 96000;
constexpr UCHAR AC3_ALTERNATE_2CH = 2;
constexpr UCHAR ALTERNATE_96K = 5;

WaveFormatRecord TwoChannelRecord(ULONG ulRate, USHORT subformatTag, USHORT cbSize, ULONG ulMask, UCHAR)
{
    WaveFormatRecord r;
    std::memset(&r, 0, sizeof r);
    r.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    r.Format.nChannels = 2;
    r.Format.nSamplesPerSec = ulRate;
    r.Format.nAvgBytesPerSec = ulRate * 4;
    r.Format.nBlockAlign = 4;
    r.Format.wBitsPerSample = 16;
    r.Format.cbSize = cbSize;
    r.Samples.wValidBitsPerSample = 16;
    r.dwChannelMask = ulMask;
    r.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    r.SubFormat.Data1 = subformatTag;
    return r;
}

}  // namespace

USHORT V3FormatTag(const WaveFormatRecord* pFormat)
{
    return pFormat->Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? static_cast<USHORT>(pFormat->SubFormat.Data1 & 0xFFFF)
                                                                : pFormat->Format.wFormatTag;
}

V3RenderEndpoint::V3RenderEndpoint(PUNKNOWN pOuterUnknown, ULONG ulInterfaceNumber, ULONG ulTerminalLink)
    : Uac1RenderEndpoint(pOuterUnknown, ulInterfaceNumber, ulTerminalLink), m_pChip(nullptr)
{
    m_ulMsPerTransfer = V3_TRANSFER_MS;
}

NTSTATUS V3RenderEndpoint::Init(BOOLEAN bCapture, PUNKNOWN pOwner, IV3ChipRegisters* pChip)
{
    PAGED_CODE();
    const NTSTATUS status = UsbStreamEndpoint::Init(bCapture, pOwner);
    if (NT_SUCCESS(status)) {
        m_pChip = pChip;
    }
    return status;
}

template <typename Pick>
VOID V3RenderEndpoint::RemoveFormats(Pick pick)
{
    PAGED_CODE();
    // The removed records are chained through their own first bytes until they are freed.
    PVOID pFreeRecords = nullptr;
    LIST_ENTRY freeEntries;
    InitializeListHead(&freeEntries);
    m_EndpointTransportLock.Lock();
    KIRQL irql;
    KeAcquireSpinLock(&m_StreamEngineLock, &irql);
    ObjectList* lists[] = {m_pFormats, m_pTwoChannelFormats};
    for (ObjectList* pList : lists) {
        if (pList == nullptr) {
            continue;
        }
        ObjectListNode* pNode = pList->GetHeadNode();
        while (pNode != nullptr) {
            ObjectListNode* pNext = pNode->m_pNext;
            auto* pRecord = pNode->Data<WaveFormatRecord>();
            if (pick(pRecord)) {
                pList->RemoveNode(pNode);
                *reinterpret_cast<PVOID*>(pRecord) = pFreeRecords;
                pFreeRecords = pRecord;
            }
            pNode = pNext;
        }
    }
    KeReleaseSpinLock(&m_StreamEngineLock, irql);
    for (PLIST_ENTRY p = m_FormatEntries.Flink; p != &m_FormatEntries;) {
        PLIST_ENTRY pNext = p->Flink;
        auto* pEntry = CONTAINING_RECORD(p, EndpointFormatEntry, Links);
        if (pick(&pEntry->Format)) {
            RemoveEntryList(p);
            InsertTailList(&freeEntries, p);
        }
        p = pNext;
    }
    m_EndpointTransportLock.Unlock();
    while (pFreeRecords != nullptr) {
        PVOID pNext = *static_cast<PVOID*>(pFreeRecords);
        ExFreePoolWithTag(pFreeRecords, STREAM_ENGINE_TAG);
        pFreeRecords = pNext;
    }
    while (!IsListEmpty(&freeEntries)) {
        PLIST_ENTRY p = RemoveHeadList(&freeEntries);
        ExFreePoolWithTag(CONTAINING_RECORD(p, EndpointFormatEntry, Links), USB_STREAM_TAG);
    }
}

VOID V3RenderEndpoint::RemoveAc3Formats()
{
    PAGED_CODE();
    RemoveFormats([](const WaveFormatRecord* p) { return V3FormatTag(p) == TAG_AC3; });
}

VOID V3RenderEndpoint::Remove96kPcmFormats()
{
    PAGED_CODE();
    RemoveFormats([](const WaveFormatRecord* p) {
        return V3FormatTag(p) == WAVE_FORMAT_PCM && p->Format.nSamplesPerSec == RATE_96K;
    });
}

NTSTATUS V3RenderEndpoint::AddFormatLocked(const WaveFormatRecord* pFormat, UCHAR bAlternateSetting)
{
    PAGED_CODE();
    m_EndpointTransportLock.Lock();
    const NTSTATUS status = AddFormat(pFormat, bAlternateSetting);
    m_EndpointTransportLock.Unlock();
    return status;
}

NTSTATUS V3RenderEndpoint::AddAc3Formats()
{
    PAGED_CODE();
    static const ULONG rates[] = {44100, 48000, RATE_96K};
    for (ULONG rate : rates) {
        const WaveFormatRecord r = TwoChannelRecord(rate, TAG_AC3, 0, 0, 0);
        const NTSTATUS status = AddFormatLocked(&r, rate == RATE_96K ? ALTERNATE_96K : AC3_ALTERNATE_2CH);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS V3RenderEndpoint::Add96kPcmFormat()
{
    PAGED_CODE();
    const WaveFormatRecord r = TwoChannelRecord(RATE_96K, WAVE_FORMAT_PCM, 22, 3, 0);
    return AddFormatLocked(&r, ALTERNATE_96K);
}

NTSTATUS V3RenderEndpoint::SetName(PCWSTR pName)
{
    PAGED_CODE();
    const NTSTATUS status = StreamEngine::SetName(pName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    switch (GetKind()) {
    case ENDPOINT_KIND_SPEAKER:
        RemoveAc3Formats();
        Remove96kPcmFormats();
        break;
    case ENDPOINT_KIND_HEADPHONES:
        RemoveAc3Formats();
        Remove96kPcmFormats();
        Add96kPcmFormat();
        break;
    case ENDPOINT_KIND_SPDIF:
        RemoveAc3Formats();
        Remove96kPcmFormats();
        AddAc3Formats();
        Add96kPcmFormat();
        break;
    default: break;
    }
    return status;
}

NTSTATUS V3RenderEndpoint::PrepareFormat(EndpointClient* pClient, PULONG pulFrame)
{
    PAGED_CODE();
    const NTSTATUS status = Uac1RenderEndpoint::PrepareFormat(pClient, pulFrame);
    if (!NT_SUCCESS(status) || m_pChip == nullptr || pClient == nullptr) {
        return status;
    }
    const WaveFormatRecord& format = pClient->Format;
    switch (format.Format.nSamplesPerSec) {
    case 44100: m_pChip->WriteRegister(0, 0x0000, 0x7000); break;
    case 48000: m_pChip->WriteRegister(0, 0x2000, 0x7000); break;
    case RATE_96K: m_pChip->WriteRegister(0, 0x6000, 0x7000); break;
    default: break;
    }
    m_pChip->WriteRegister(0, V3FormatTag(&format) == WAVE_FORMAT_PCM ? 0 : 2, 2);
    return status;
}

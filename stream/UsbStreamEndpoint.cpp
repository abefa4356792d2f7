// The endpoint object: construction, set-up by the parsers, its formats and entities, the owner's
// interfaces, the messages to its clients, and its destruction.
#include "stream/UsbStreamEndpoint.h"

#include <cstring>
#include <new>

#include "adapter/AudioHal.h"
#include "platform/nt/Ob.h"
#include "platform/nt/RtlString.h"

UsbStreamEndpoint::UsbStreamEndpoint(PUNKNOWN pOuterUnknown, ULONG ulInterfaceNumber, ULONG ulTerminalLink)
    : StreamEngine(pOuterUnknown, ulInterfaceNumber),
      m_StreamState(STREAM_STATE_IDLE),
      m_pRing(nullptr),
      m_ulRingSize(0),
      m_ulRingRead(0),
      m_ulRingWrite(0),
      m_pOwner(nullptr),
      m_ulTerminalLink(ulTerminalLink),
      m_FormatEntries{},
      m_ulPacketsPerMs(1),
      m_ulMsPerTransfer(DEFAULT_MS_PER_TRANSFER),
      m_ulTransfersQueued(DEFAULT_TRANSFERS_QUEUED),
      m_ulFramesPerPacket(0),
      m_bDeviceGone(0),
      m_pInterfaceInformation(nullptr),
      m_bDataPipeIndex(0),
      m_ulNextStartFrame(0),
      m_bExplicitStart(0),
      m_EndpointSubmitLock{},
      m_lOutstandingTransfers(0),
      m_ResubmitState(RESUBMIT_IDLE),
      m_pRunningClient(nullptr),
      m_pPreparedClient(nullptr),
      m_UrbContextLock{},
      m_pContextsInUse{},
      m_pFreeContexts{},
      m_UrbPool{},
      m_ContextPool{},
      m_DataBufferPool{},
      m_pThread(nullptr),
      m_pTransportCallback(nullptr),
      m_pLimiter(nullptr),
      m_ulPreparedBlockAlign(0),
      m_ulPreparedRate(0),
      m_ulDataBufferSize(0),
      m_ulUrbSize(0),
      m_bPoolsCreated(FALSE),
      m_bBandwidthHeld(FALSE),
      m_ulCaptureDropped(0),
      m_ulRingTag(CAPTURE_RING_TAG)
{
    InitializeListHead(&m_FormatEntries);
    KeInitializeEvent(&m_IrpsDrainedEvent, NotificationEvent, TRUE);
    KeInitializeEvent(&m_EndpointStopEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_EndpointExitEvent, NotificationEvent, FALSE);
    KeInitializeEvent(&m_EndpointKickEvent, SynchronizationEvent, FALSE);
    KeInitializeSpinLock(&m_EndpointSubmitLock);
    KeInitializeSpinLock(&m_UrbContextLock);
}

UsbStreamEndpoint::~UsbStreamEndpoint()
{
    PAGED_CODE();
    while (!IsListEmpty(&m_FormatEntries)) {
        PLIST_ENTRY pLinks = RemoveHeadList(&m_FormatEntries);
        ExFreePoolWithTag(CONTAINING_RECORD(pLinks, EndpointFormatEntry, Links), USB_STREAM_TAG);
    }
    // Only a thread that Init created can be waited for; it may already have ended by itself
    // (device gone), so the wait is on the thread object rather than on its exit event.
    if (m_pThread != nullptr) {
        KeSetEvent(&m_EndpointStopEvent, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(m_pThread, Executive, KernelMode, FALSE, nullptr);
        ObDereferenceObject(m_pThread);
        m_pThread = nullptr;
    }
    FreeInterfaceInformation();
    if (m_pTransportCallback != nullptr) {
        ObMakeTemporaryObject(m_pTransportCallback);
        ObfDereferenceObject(m_pTransportCallback);
        m_pTransportCallback = nullptr;
    }
    DestroyPeakLimiter(m_pLimiter, USB_STREAM_TAG);
    m_pLimiter = nullptr;
}

NTSTATUS UsbStreamEndpoint::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IStreamEngine)) {
        return ReturnInterface(static_cast<IStreamEngine*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, IID_IStreamTransport)) {
        return ReturnInterface(static_cast<IStreamTransport*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, IID_IEndpointDrm)) {
        return ReturnInterface(static_cast<IEndpointDrm*>(this), ppvObject);
    }
    *ppvObject = nullptr;
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS UsbStreamEndpoint::Init(BOOLEAN bCapture, PUNKNOWN pOwner)
{
    PAGED_CODE();
    NTSTATUS status = StreamEngine::Init(bCapture);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (m_pTransportCallback == nullptr) {
        WCHAR name[CYCLIC_CONTROL_NAME_CHARS];
        RtlStringCbPrintfW(name, sizeof name, u"\\Callback\\CyclicControlAddr%p", this);
        UNICODE_STRING callbackName;
        RtlInitUnicodeString(&callbackName, name);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &callbackName, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr, nullptr);
        status = ExCreateCallback(&m_pTransportCallback, &attributes, TRUE, TRUE);
        if (!NT_SUCCESS(status)) {
            m_pTransportCallback = nullptr;
            return status;
        }
    }
    if (m_pThread == nullptr) {
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
        HANDLE hThread = nullptr;
        status = PsCreateSystemThread(&hThread, THREAD_ALL_ACCESS, &attributes, nullptr, nullptr, ThreadStart, this);
        if (NT_SUCCESS(status)) {
            PVOID pThread = nullptr;
            status = ObReferenceObjectByHandle(hThread, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &pThread,
                                               nullptr);
            if (NT_SUCCESS(status)) {
                m_pThread = static_cast<PKTHREAD>(pThread);
                KeSetPriorityThread(m_pThread, HIGH_PRIORITY);
                KeSetPriorityThread(m_pThread, 24);
            } else {
                // No object to wait on later: stop the thread now; setting the exit event is the
                // last thing it does with the endpoint.
                KeSetEvent(&m_EndpointStopEvent, IO_NO_INCREMENT, FALSE);
                KeWaitForSingleObject(&m_EndpointExitEvent, Executive, KernelMode, FALSE, nullptr);
                KeClearEvent(&m_EndpointStopEvent);
                KeClearEvent(&m_EndpointExitEvent);
            }
            ZwClose(hThread);
        }
        if (!NT_SUCCESS(status)) {
            ObMakeTemporaryObject(m_pTransportCallback);
            ObfDereferenceObject(m_pTransportCallback);
            m_pTransportCallback = nullptr;
            return status;
        }
    }
    m_pOwner = pOwner;
    m_bDeviceGone = 0;
    if (m_pLimiter == nullptr) {
        m_pLimiter = CreatePeakLimiter(USB_STREAM_TAG, 1.0f);
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbStreamEndpoint::AddFormat(const WaveFormatRecord* pFormat, UCHAR bAlternateSetting)
{
    PAGED_CODE();
    NTSTATUS status = StreamEngine::AddFormat(pFormat);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* pEntry = static_cast<EndpointFormatEntry*>(
        ExAllocatePoolWithTag(PagedPool, sizeof(EndpointFormatEntry), USB_STREAM_TAG));
    if (pEntry == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pEntry, 0, sizeof *pEntry);
    pEntry->AlternateSetting = bAlternateSetting;
    std::memcpy(&pEntry->Format, pFormat, sizeof pEntry->Format);
    InsertTailList(&m_FormatEntries, &pEntry->Links);
    return STATUS_SUCCESS;
}

NTSTATUS UsbStreamEndpoint::GetFormatEntry(ULONG ulIndex, PUCHAR pbAlternateSetting, WaveFormatRecord* pFormat)
{
    PAGED_CODE();
    if (pbAlternateSetting == nullptr || pFormat == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG i = 0;
    for (PLIST_ENTRY p = m_FormatEntries.Flink; p != &m_FormatEntries; p = p->Flink, ++i) {
        if (i == ulIndex) {
            const auto* pEntry = CONTAINING_RECORD(p, EndpointFormatEntry, Links);
            *pbAlternateSetting = pEntry->AlternateSetting;
            std::memcpy(pFormat, &pEntry->Format, sizeof(*pFormat));
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS UsbStreamEndpoint::FindAlternateSetting(const WaveFormatRecord* pFormat, PUCHAR pbAlternateSetting)
{
    PAGED_CODE();
    if (pbAlternateSetting == nullptr || pFormat == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const USHORT usTag = pFormat->Format.wFormatTag;
    for (PLIST_ENTRY p = m_FormatEntries.Flink; p != &m_FormatEntries; p = p->Flink) {
        const auto* pEntry = CONTAINING_RECORD(p, EndpointFormatEntry, Links);
        const WaveFormatRecord& f = pEntry->Format;
        bool bMatch;
        if (usTag == WAVE_FORMAT_EXTENSIBLE) {
            // Both records are 40 bytes: a larger cbSize cannot match.
            const ULONG cbCompare = sizeof(WAVEFORMATEX) + pFormat->Format.cbSize;
            bMatch = cbCompare <= sizeof(WaveFormatRecord) && std::memcmp(&f, pFormat, cbCompare) == 0;
        } else {
            bMatch = f.Format.nChannels == pFormat->Format.nChannels &&
                     f.Format.nSamplesPerSec == pFormat->Format.nSamplesPerSec &&
                     f.Format.wBitsPerSample == pFormat->Format.wBitsPerSample &&
                     static_cast<USHORT>(f.SubFormat.Data1 & 0xFFFF) == usTag;
        }
        if (bMatch) {
            *pbAlternateSetting = pEntry->AlternateSetting;
            return STATUS_SUCCESS;
        }
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS UsbStreamEndpoint::FindEntity(ULONG ulId, TopologyNode** ppEntity)
{
    if (ppEntity == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *ppEntity = nullptr;
    if (m_pEntities == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    // The last entity with the id wins.
    for (TopologyNode* pEntity : m_pEntities->Items<TopologyNode>()) {
        if (pEntity->GetId() == ulId) {
            *ppEntity = pEntity;
        }
    }
    return *ppEntity != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

IUsbDevice* UsbStreamEndpoint::GetUsbDevice()
{
    if (m_pOwner == nullptr) {
        return nullptr;
    }
    PVOID pRaw = nullptr;
    if (!NT_SUCCESS(m_pOwner->QueryInterface(IID_IUsbDevice, &pRaw))) {
        return nullptr;
    }
    return static_cast<IUsbDevice*>(pRaw);
}

// A completion that reaches the driver after the bus has passed the ring's next frame (a late
// host-controller interrupt, a held-up DPC) would send a transfer whose start frame is gone: the
// bus refuses it and the stream recovers without its audio. The schedule moves on to the nearest
// frame the bus can still take instead: the audio goes out late, and whole.
ULONG UsbStreamEndpoint::TakeStartFrame(IUsbDevice* pUsb)
{
    ULONG ulNow = 0;
    if (NT_SUCCESS(pUsb->GetCurrentFrame(&ulNow)) && static_cast<LONG>(m_ulNextStartFrame - ulNow) <= 0) {
        m_ulNextStartFrame = ulNow + START_FRAME_LEAD;
    }
    const ULONG ulFrame = m_ulNextStartFrame;
    m_ulNextStartFrame += m_ulMsPerTransfer;
    return ulFrame;
}

ULONG UsbStreamEndpoint::GetCurrentFrame()
{
    IUsbDevice* pUsb = GetUsbDevice();
    if (pUsb == nullptr) {
        return 0;
    }
    ULONG ulFrame = 0;
    pUsb->GetCurrentFrame(&ulFrame);
    pUsb->Release();
    return ulFrame;
}

NTSTATUS UsbStreamEndpoint::SetContentId(ULONG ulContentId, PVOID pRights)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(pRights);
    IUsbDevice* pUsb = GetUsbDevice();
    if (pUsb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    DRMFORWARD forward{};
    forward.Flags = 0;
    forward.DeviceObject = pUsb->GetLowerDevice();
    PUSBD_PIPE_INFORMATION pPipe = DataPipe();
    PVOID pPipeHandle = pPipe != nullptr ? pPipe->PipeHandle : nullptr;
    forward.FileObject = static_cast<PFILE_OBJECT>(pPipeHandle);
    forward.Context = pPipeHandle;
    const NTSTATUS status = PcForwardContentToDeviceObject(ulContentId, nullptr, &forward);
    pUsb->Release();
    return status;
}

PUSBD_PIPE_INFORMATION UsbStreamEndpoint::DataPipe()
{
    if (m_pInterfaceInformation == nullptr || m_bDataPipeIndex >= m_pInterfaceInformation->NumberOfPipes) {
        return nullptr;
    }
    return &m_pInterfaceInformation->Pipes[m_bDataPipeIndex];
}

VOID UsbStreamEndpoint::FreeInterfaceInformation()
{
    if (m_pInterfaceInformation != nullptr) {
        ExFreePoolWithTag(m_pInterfaceInformation, URB_POOL_TAG);
        m_pInterfaceInformation = nullptr;
    }
    m_bDataPipeIndex = 0;
}

VOID UsbStreamEndpoint::Notify(TransportMessage* pMessage)
{
    if (m_pTransportCallback != nullptr) {
        ExNotifyCallback(m_pTransportCallback, pMessage, nullptr);
    }
}

VOID UsbStreamEndpoint::NotifyFormat(EndpointClient* pClient, BOOLEAN bChanged)
{
    TransportMessage message;
    std::memset(&message, 0, sizeof message);
    message.Client = pClient;
    message.Event = TRANSPORT_EVENT_FORMAT;
    if (pClient != nullptr) {
        message.Format.MsPerTransfer = pClient->MsPerTransfer | (bChanged ? TRANSPORT_FORMAT_CHANGED : 0);
        message.Format.TransfersQueued = pClient->TransfersQueued;
    }
    Notify(&message);
}

VOID UsbStreamEndpoint::NotifyBytesMoved(ULONG ulBytes)
{
    TransportMessage message;
    std::memset(&message, 0, sizeof message);
    message.Client = m_pRunningClient;
    message.Event = TRANSPORT_EVENT_BYTES_MOVED;
    message.BytesMoved = ulBytes;
    Notify(&message);
}

ULONG UsbStreamEndpoint::GetRingFill() const
{
    if (m_ulRingSize == 0) {
        return 0;
    }
    return (m_ulRingSize - m_ulRingRead + m_ulRingWrite) % m_ulRingSize;
}

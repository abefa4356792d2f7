// The isochronous transfer ring every endpoint class shares: the pools and contexts taken when a
// format is prepared, the claim and recycle of contexts, the submission of a built transfer, the
// completion routine, the interface selection and the release of the ring.
#include <cstring>

#include "stream/UsbStreamEndpoint.h"

// ---- pools and contexts ----

NTSTATUS UsbStreamEndpoint::CreatePools(ULONG ulUrbBytes, ULONG ulDataBytes)
{
    ExInitializeNPagedLookasideList(&m_UrbPool, nullptr, nullptr, 0, ulUrbBytes, URB_POOL_TAG, 0);
    ExInitializeNPagedLookasideList(&m_DataBufferPool, nullptr, nullptr, 0, ulDataBytes, URB_POOL_TAG, 0);
    ExInitializeNPagedLookasideList(&m_ContextPool, nullptr, nullptr, 0, sizeof(TransferContext), URB_POOL_TAG, 0);
    m_ulUrbSize = ulUrbBytes;
    m_ulDataBufferSize = ulDataBytes;
    m_bPoolsCreated = TRUE;
    return STATUS_SUCCESS;
}

VOID UsbStreamEndpoint::DeletePools()
{
    if (!m_bPoolsCreated) {
        return;
    }
    ExDeleteNPagedLookasideList(&m_UrbPool);
    ExDeleteNPagedLookasideList(&m_DataBufferPool);
    ExDeleteNPagedLookasideList(&m_ContextPool);
    m_bPoolsCreated = FALSE;
}

NTSTATUS UsbStreamEndpoint::AllocateTransfer(TransferContext** ppContext)
{
    *ppContext = nullptr;
    IUsbDevice* pUsb = GetUsbDevice();
    if (pUsb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* pContext = static_cast<TransferContext*>(ExAllocateFromNPagedLookasideList(&m_ContextPool));
    PUCHAR pBuffer = static_cast<PUCHAR>(ExAllocateFromNPagedLookasideList(&m_DataBufferPool));
    PURB pUrb = static_cast<PURB>(ExAllocateFromNPagedLookasideList(&m_UrbPool));
    PIRP pIrp = pUsb->AllocateIrp();
    pUsb->Release();
    if (pContext == nullptr || pBuffer == nullptr || pUrb == nullptr || pIrp == nullptr) {
        if (pBuffer != nullptr) ExFreeToNPagedLookasideList(&m_DataBufferPool, pBuffer);
        if (pUrb != nullptr) ExFreeToNPagedLookasideList(&m_UrbPool, pUrb);
        if (pIrp != nullptr) IoFreeIrp(pIrp);
        if (pContext != nullptr) ExFreeToNPagedLookasideList(&m_ContextPool, pContext);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pContext, 0, sizeof *pContext);
    pContext->Irp = pIrp;
    pContext->Urb = pUrb;
    pContext->DataBuffer = pBuffer;
    pContext->Endpoint = this;
    pIrp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    *ppContext = pContext;
    return STATUS_SUCCESS;
}

VOID UsbStreamEndpoint::FreeTransfer(TransferContext* pContext)
{
    ExFreeToNPagedLookasideList(&m_DataBufferPool, pContext->DataBuffer);
    ExFreeToNPagedLookasideList(&m_UrbPool, pContext->Urb);
    IoFreeIrp(pContext->Irp);
    ExFreeToNPagedLookasideList(&m_ContextPool, pContext);
}

NTSTATUS UsbStreamEndpoint::AllocateContexts()
{
    for (ULONG i = 0; i < MAX_TRANSFER_CONTEXTS; ++i) {
        TransferContext* pContext = nullptr;
        const NTSTATUS status = AllocateTransfer(&pContext);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        pContext->Slot = i;
        m_pFreeContexts[i] = pContext;
    }
    return STATUS_SUCCESS;
}

TransferContext* UsbStreamEndpoint::TakeFreeTransfer()
{
    TransferContext* pTaken = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&m_UrbContextLock, &irql);
    for (ULONG i = 0; i < m_ulTransfersQueued && i < MAX_TRANSFER_CONTEXTS; ++i) {
        TransferContext* pFree = m_pFreeContexts[i];
        if (pFree == nullptr) {
            continue;
        }
        if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&m_pContextsInUse[i]), pFree,
                                              nullptr) == nullptr) {
            m_pFreeContexts[i] = nullptr;
            pTaken = pFree;
            break;
        }
    }
    KeReleaseSpinLock(&m_UrbContextLock, irql);
    return pTaken;
}

VOID UsbStreamEndpoint::RecycleTransfer(TransferContext* pContext)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_UrbContextLock, &irql);
    IoReuseIrp(pContext->Irp, STATUS_NOT_SUPPORTED);
    m_pFreeContexts[pContext->Slot] = pContext;
    m_pContextsInUse[pContext->Slot] = nullptr;
    KeReleaseSpinLock(&m_UrbContextLock, irql);
}

NTSTATUS UsbStreamEndpoint::ReleaseTransfers()
{
    for (ULONG i = 0; i < MAX_TRANSFER_CONTEXTS; ++i) {
        if (m_pFreeContexts[i] != nullptr) {
            FreeTransfer(m_pFreeContexts[i]);
            m_pFreeContexts[i] = nullptr;
        }
    }
    return STATUS_SUCCESS;
}

ULONG UsbStreamEndpoint::GetTransfersInUse()
{
    ULONG ulCount = 0;
    KIRQL irql;
    KeAcquireSpinLock(&m_UrbContextLock, &irql);
    for (ULONG i = 0; i < MAX_TRANSFER_CONTEXTS; ++i) {
        ulCount += m_pContextsInUse[i] != nullptr ? 1 : 0;
    }
    KeReleaseSpinLock(&m_UrbContextLock, irql);
    return ulCount;
}

VOID UsbStreamEndpoint::ReleasePreparation()
{
    PAGED_CODE();
    if (m_bBandwidthHeld) {
        // Nothing may keep bandwidth or the device's busy reference after a failed preparation.
        SelectZeroBandwidth();
    }
    DropBandwidth();
    ReleaseTransfers();
    DeletePools();
    if (m_pRing != nullptr) {
        ExFreePoolWithTag(m_pRing, m_ulRingTag);
        m_pRing = nullptr;
    }
    m_ulRingSize = 0;
    FreeInterfaceInformation();
    InterlockedExchange(&m_StreamState, STREAM_STATE_IDLE);
}

VOID UsbStreamEndpoint::DropBandwidth()
{
    // A device that cannot be told (gone, or refusing the selection) keeps no busy reference
    // from an endpoint that no longer streams.
    if (m_bBandwidthHeld) {
        m_bBandwidthHeld = FALSE;
        IUsbDevice* pUsb = GetUsbDevice();
        if (pUsb != nullptr) {
            pUsb->ReleaseBusyReference();
            pUsb->Release();
        }
    }
}

// ---- submission and completion ----

VOID UsbStreamEndpoint::TransferSent()
{
    if (InterlockedIncrement(&m_lOutstandingTransfers) == 1) {
        KeClearEvent(&m_IrpsDrainedEvent);
    }
}

VOID UsbStreamEndpoint::TransferDone()
{
    if (InterlockedDecrement(&m_lOutstandingTransfers) == 0) {
        KeSetEvent(&m_IrpsDrainedEvent, IO_SOUND_INCREMENT, FALSE);
    }
}

NTSTATUS UsbStreamEndpoint::SendTransfer(IUsbDevice* pUsb, TransferContext* pContext,
                                         PIO_COMPLETION_ROUTINE pCompletion)
{
    PIRP pIrp = pContext->Irp;
    // The IRP carries one location for this driver above the bus's own.
    IoSetNextIrpStackLocation(pIrp);
    PIO_STACK_LOCATION pNext = IoGetNextIrpStackLocation(pIrp);
    pNext->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    pNext->Parameters.Others.Argument1 = pContext->Urb;
    pNext->Parameters.Others.Argument2 = nullptr;
    pNext->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    IoSetCompletionRoutine(pIrp, pCompletion, pContext, TRUE, TRUE, TRUE);
    TransferSent();
    return pUsb->CallLowerDriver(pIrp);
}

NTSTATUS UsbStreamEndpoint::IsoUrbCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    auto* pTransfer = static_cast<TransferContext*>(pContext);
    return pTransfer->Endpoint->OnTransferComplete(pDeviceObject, pIrp, pTransfer);
}

NTSTATUS UsbStreamEndpoint::OnTransferComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, TransferContext* pContext)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    if (GetStreamState() == STREAM_STATE_STREAMING) {
        const bool bFailed = !NT_SUCCESS(pIrp->IoStatus.Status) || USBD_ERROR(pContext->Urb->UrbHeader.Status);
        const LONG lPrevious = bFailed ? InterlockedExchange(&m_ResubmitState, RESUBMIT_ERROR)
                                       : InterlockedCompareExchange(&m_ResubmitState, RESUBMIT_REQUESTED, RESUBMIT_IDLE);
        if ((bFailed && lPrevious != RESUBMIT_ERROR) || (!bFailed && lPrevious == RESUBMIT_IDLE)) {
            KeSetEvent(&m_EndpointKickEvent, IO_SOUND_INCREMENT, FALSE);
        }
    }
    // The slot stays empty: this context is gone for good.
    KIRQL irql;
    KeAcquireSpinLock(&m_UrbContextLock, &irql);
    m_pContextsInUse[pContext->Slot] = nullptr;
    KeReleaseSpinLock(&m_UrbContextLock, irql);
    FreeTransfer(pContext);
    TransferDone();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---- interface selection ----

PUSB_ENDPOINT_DESCRIPTOR UsbStreamEndpoint::FindDataEndpoint(IUsbDevice* pUsb, UCHAR bAlternateSetting,
                                                             BOOLEAN bDataIn, BOOLEAN bAnyDirection)
{
    PAGED_CODE();
    PUSB_CONFIGURATION_DESCRIPTOR pConfig = pUsb->GetConfigurationDescriptor();
    if (pConfig == nullptr) {
        return nullptr;
    }
    PUSB_INTERFACE_DESCRIPTOR pInterface =
        USBD_ParseConfigurationDescriptorEx(pConfig, pConfig, static_cast<LONG>(GetInterfaceNumber()),
                                            bAlternateSetting, USB_DEVICE_CLASS_AUDIO, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, -1);
    if (pInterface == nullptr) {
        return nullptr;
    }
    const ULONG ulTotal = pConfig->wTotalLength;
    PUCHAR pStart = reinterpret_cast<PUCHAR>(pInterface) + pInterface->bLength;
    while (pStart < reinterpret_cast<PUCHAR>(pConfig) + ulTotal) {
        auto* pCommon = USBD_ParseDescriptors(pConfig, ulTotal, pStart, USB_ENDPOINT_DESCRIPTOR_TYPE);
        auto* pNextInterface = USBD_ParseDescriptors(pConfig, ulTotal, pStart, USB_INTERFACE_DESCRIPTOR_TYPE);
        if (pCommon == nullptr || (pNextInterface != nullptr && pNextInterface < pCommon)) {
            return nullptr;  // the alternate setting ends without one
        }
        if (pCommon->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            auto* pEndpoint = reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(pCommon);
            const bool bIsochronous = (pEndpoint->bmAttributes & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS;
            const bool bData = (pEndpoint->bmAttributes & 0x30) == 0;
            const bool bIn = USB_ENDPOINT_DIRECTION_IN(pEndpoint->bEndpointAddress);
            if (bIsochronous && bData && (bAnyDirection || bIn == (bDataIn != FALSE))) {
                return pEndpoint;
            }
        }
        pStart = reinterpret_cast<PUCHAR>(pCommon) + pCommon->bLength;
    }
    return nullptr;
}

ULONG UsbStreamEndpoint::GetPacketsPerMs(UCHAR bAlternateSetting)
{
    PAGED_CODE();
    IUsbDevice* pUsb = GetUsbDevice();
    if (pUsb == nullptr) {
        return 1;
    }
    ULONG ulPackets = 1;
    PUSB_ENDPOINT_DESCRIPTOR pEndpoint = FindDataEndpoint(pUsb, bAlternateSetting, FALSE, TRUE);
    if (pEndpoint != nullptr && pUsb->IsHighSpeed() && pEndpoint->bInterval >= 1 && pEndpoint->bInterval <= 4) {
        ulPackets = 8u >> (pEndpoint->bInterval - 1);
    }
    pUsb->Release();
    return ulPackets;
}

// Bytes one (micro)frame of the endpoint carries: bits 0-10 times one plus the extra transactions
// of bits 11-12.
static ULONG MaxPacketBytes(USHORT wMaxPacketSize)
{
    return (wMaxPacketSize & 0x7FFu) * (1u + ((wMaxPacketSize >> 11) & 0x3u));
}

ULONG UsbStreamEndpoint::GetMaxPacketFrames(UCHAR bAlternateSetting, const WaveFormatRecord* pFormat)
{
    PAGED_CODE();
    const ULONG ulAlign = pFormat->Format.nBlockAlign;
    IUsbDevice* pUsb = GetUsbDevice();
    if (pUsb == nullptr) {
        return pFormat->Format.nSamplesPerSec / (m_ulPacketsPerMs * 1000) + 6;
    }
    ULONG ulFrames = 0;
    PUSB_ENDPOINT_DESCRIPTOR pEndpoint = FindDataEndpoint(pUsb, bAlternateSetting, TRUE, FALSE);
    if (pEndpoint != nullptr && ulAlign != 0) {
        ulFrames = MaxPacketBytes(pEndpoint->wMaxPacketSize) / ulAlign;
    }
    pUsb->Release();
    return ulFrames;
}

NTSTATUS UsbStreamEndpoint::SelectInterface(IUsbDevice* pUsb, UCHAR bAlternateSetting, BOOLEAN bDataIn)
{
    PAGED_CODE();
    FreeInterfaceInformation();
    PUSB_CONFIGURATION_DESCRIPTOR pConfig = pUsb->GetConfigurationDescriptor();
    PUSB_INTERFACE_DESCRIPTOR pInterface =
        pConfig == nullptr ? nullptr
                           : USBD_ParseConfigurationDescriptorEx(pConfig, pConfig, static_cast<LONG>(GetInterfaceNumber()),
                                                                 bAlternateSetting, USB_DEVICE_CLASS_AUDIO,
                                                                 USB_AUDIO_SUBCLASS_AUDIOSTREAMING, -1);
    if (pInterface == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG ulSize = GET_SELECT_INTERFACE_REQUEST_SIZE(pInterface->bNumEndpoints);
    auto* pUrb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPoolNx, ulSize, URB_POOL_TAG));
    if (pUrb == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    auto fill = [&](ULONG ulBytes, UCHAR bAlternate) {
        std::memset(pUrb, 0, ulBytes);
        pUrb->UrbHeader.Length = static_cast<USHORT>(ulBytes);
        pUrb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
        pUrb->UrbSelectInterface.ConfigurationHandle = pUsb->GetConfigurationHandle();
        pUrb->UrbSelectInterface.Interface.Length =
            static_cast<USHORT>(ulBytes - offsetof(_URB_SELECT_INTERFACE, Interface));
        pUrb->UrbSelectInterface.Interface.InterfaceNumber = static_cast<UCHAR>(GetInterfaceNumber());
        pUrb->UrbSelectInterface.Interface.AlternateSetting = bAlternate;
    };
    fill(ulSize, bAlternateSetting);
    NTSTATUS status = pUsb->SubmitUrbSync(pUrb);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(pUrb, URB_POOL_TAG);
        return status;
    }
    const PUSBD_INTERFACE_INFORMATION pReturned = &pUrb->UrbSelectInterface.Interface;
    const ULONG ulInfoBytes = pReturned->Length;
    m_pInterfaceInformation =
        static_cast<PUSBD_INTERFACE_INFORMATION>(ExAllocatePoolWithTag(NonPagedPoolNx, ulInfoBytes, URB_POOL_TAG));
    if (m_pInterfaceInformation == nullptr) {
        // Without the pipes nothing can stream: give the bandwidth back.
        fill(GET_SELECT_INTERFACE_REQUEST_SIZE(0), 0);
        pUsb->SubmitUrbSync(pUrb);
        ExFreePoolWithTag(pUrb, URB_POOL_TAG);
        if (m_bBandwidthHeld) {
            m_bBandwidthHeld = FALSE;
            pUsb->ReleaseBusyReference();
        }
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(m_pInterfaceInformation, pReturned, ulInfoBytes);
    const ULONG ulPipes = (ulInfoBytes - USBD_INTERFACE_INFORMATION_HEADER_SIZE) / sizeof(USBD_PIPE_INFORMATION);
    for (ULONG i = 0; i < m_pInterfaceInformation->NumberOfPipes && i < ulPipes; ++i) {
        if (USB_ENDPOINT_DIRECTION_IN(m_pInterfaceInformation->Pipes[i].EndpointAddress) == (bDataIn != FALSE)) {
            m_bDataPipeIndex = static_cast<UCHAR>(i);
        }
    }
    // One busy reference while a non-zero alternate setting holds bandwidth, whatever number of
    // selections made it so.
    if (bAlternateSetting != 0 && !m_bBandwidthHeld) {
        m_bBandwidthHeld = TRUE;
        pUsb->AddBusyReference();
    } else if (bAlternateSetting == 0 && m_bBandwidthHeld) {
        m_bBandwidthHeld = FALSE;
        pUsb->ReleaseBusyReference();
    }
    ExFreePoolWithTag(pUrb, URB_POOL_TAG);
    return STATUS_SUCCESS;
}

NTSTATUS UsbStreamEndpoint::SetSamplingFrequency(IUsbDevice* pUsb, ULONG ulRate)
{
    PAGED_CODE();
    PUSBD_PIPE_INFORMATION pPipe = DataPipe();
    if (pPipe == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR data[3] = {static_cast<UCHAR>(ulRate), static_cast<UCHAR>(ulRate >> 8), static_cast<UCHAR>(ulRate >> 16)};
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST request;
    std::memset(&request, 0, sizeof request);
    request.Hdr.Length = sizeof request;
    request.Hdr.Function = URB_FUNCTION_CLASS_ENDPOINT;
    request.TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    request.TransferBuffer = data;
    request.TransferBufferLength = sizeof data;
    request.Request = USB_AUDIO_SET_CUR;
    request.Value = static_cast<USHORT>(USB_AUDIO_EP_SAMPLING_FREQ_CONTROL << 8);
    request.Index = pPipe->EndpointAddress;
    return pUsb->SubmitUrbSync(reinterpret_cast<PURB>(&request));
}

NTSTATUS UsbStreamEndpoint::CheckFormatToPrepare(EndpointClient* pClient, PUCHAR pbAlternateSetting)
{
    PAGED_CODE();
    if (pClient == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = FindFormat(&pClient->Format);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    // Sizes divide by these; a transfer needs at least one millisecond and one slot.
    if (pClient->Format.Format.nSamplesPerSec == 0 || pClient->Format.Format.nBlockAlign == 0 ||
        pClient->MsPerTransfer == 0 || pClient->TransfersQueued == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    status = FindAlternateSetting(&pClient->Format, pbAlternateSetting);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    IUsbDevice* pUsb = GetUsbDevice();
    if (pUsb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PUSB_ENDPOINT_DESCRIPTOR pEndpoint = FindDataEndpoint(pUsb, *pbAlternateSetting, IsCapture(), FALSE);
    pUsb->Release();
    return pEndpoint != nullptr ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS UsbStreamEndpoint::FinishPreparation(NTSTATUS status, UCHAR bAlternateSetting, EndpointClient* pClient,
                                              PULONG pulFrame)
{
    PAGED_CODE();
    if (NT_SUCCESS(status)) {
        status = PrepareBeforeSelection(pClient);
        if (NT_SUCCESS(status)) {
            status = SelectAlternateSetting(bAlternateSetting, pClient);
        }
        if (!NT_SUCCESS(status)) {
            ReleasePreparation();
        }
    }
    if (NT_SUCCESS(status)) {
        ResetRingPositions();
        InterlockedExchange(&m_lOutstandingTransfers, 0);
        if (pulFrame != nullptr) {
            *pulFrame = GetCurrentFrame();
        }
    }
    m_EndpointTransportLock.Unlock();
    return status;
}

NTSTATUS UsbStreamEndpoint::BeginPreparation(EndpointClient* pClient, ULONG ulMinMsInFlight,
                                             PUCHAR pbAlternateSetting)
{
    PAGED_CODE();
    m_EndpointTransportLock.Lock();
    const NTSTATUS status = CheckFormatToPrepare(pClient, pbAlternateSetting);
    if (!NT_SUCCESS(status)) {
        m_EndpointTransportLock.Unlock();
        return status;
    }
    m_ulMsPerTransfer = pClient->MsPerTransfer;
    if (pClient->MsPerTransfer * pClient->TransfersQueued < ulMinMsInFlight) {
        pClient->TransfersQueued = (ulMinMsInFlight + pClient->MsPerTransfer - 1) / pClient->MsPerTransfer;
    }
    m_ulTransfersQueued = pClient->TransfersQueued < MAX_TRANSFER_CONTEXTS ? pClient->TransfersQueued
                                                                          : MAX_TRANSFER_CONTEXTS;
    m_ulPacketsPerMs = GetPacketsPerMs(*pbAlternateSetting);
    return STATUS_SUCCESS;
}

NTSTATUS UsbStreamEndpoint::SelectSettingAndRate(UCHAR bAlternateSetting, BOOLEAN bDataIn, ULONG ulRate,
                                                 BOOLEAN bRateMustHold)
{
    PAGED_CODE();
    IUsbDevice* pUsb = GetUsbDevice();
    if (pUsb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = SelectInterface(pUsb, bAlternateSetting, bDataIn);
    if (NT_SUCCESS(status) && ulRate != 0) {
        const NTSTATUS rateStatus = SetSamplingFrequency(pUsb, ulRate);
        if (bRateMustHold) {
            status = rateStatus;
        }
    }
    pUsb->Release();
    return status;
}

NTSTATUS UsbStreamEndpoint::PrepareRenderFormat(EndpointClient* pClient, PULONG pulFrame, NoteRateStep pfnNoteRate)
{
    PAGED_CODE();
    UCHAR bAlternate = 0;
    NTSTATUS status = BeginPreparation(pClient, 0, &bAlternate);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const WAVEFORMATEX& format = pClient->Format.Format;
    m_ulFramesPerPacket = format.nSamplesPerSec / (m_ulPacketsPerMs * 1000);
    // One more packet's frames per millisecond than the nominal rate needs, so that the
    // fractional packet sizes always fit.
    const ULONG ulFramesPerMs = format.nSamplesPerSec / 1000;
    const ULONG ulDataBytes =
        (ulFramesPerMs - ulFramesPerMs % m_ulPacketsPerMs + m_ulPacketsPerMs) * format.nBlockAlign * m_ulMsPerTransfer;
    m_ulPreparedBlockAlign = format.nBlockAlign;
    m_ulPreparedRate = format.nSamplesPerSec;
    pfnNoteRate(this, format.nSamplesPerSec);
    status = PrepareRing(RingIsoUrbSize(m_ulPacketsPerMs * m_ulMsPerTransfer), ulDataBytes);
    return FinishPreparation(status, bAlternate, pClient, pulFrame);
}

NTSTATUS UsbStreamEndpoint::PrepareRing(ULONG ulUrbBytes, ULONG ulDataBytes)
{
    PAGED_CODE();
    if (InterlockedCompareExchange(&m_StreamState, STREAM_STATE_PREPARED, STREAM_STATE_IDLE) != STREAM_STATE_IDLE) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    CreatePools(ulUrbBytes, ulDataBytes);
    const NTSTATUS status = AllocateContexts();
    if (!NT_SUCCESS(status)) {
        ReleasePreparation();
    }
    return status;
}

NTSTATUS UsbStreamEndpoint::UnprepareFormat()
{
    PAGED_CODE();
    m_EndpointTransportLock.Lock();
    if (GetStreamState() != STREAM_STATE_PREPARED) {
        m_EndpointTransportLock.Unlock();
        return STATUS_INVALID_PARAMETER;
    }
    const NTSTATUS status = SelectAlternateSetting(0, nullptr);
    DropBandwidth();
    ReleaseTransfers();
    InterlockedExchange(&m_StreamState, STREAM_STATE_IDLE);
    DeletePools();
    if (m_pRing != nullptr) {
        ExFreePoolWithTag(m_pRing, m_ulRingTag);
        m_pRing = nullptr;
    }
    m_ulRingSize = 0;
    FreeInterfaceInformation();
    m_EndpointTransportLock.Unlock();
    return NT_SUCCESS(status) || IsDeviceGone() ? STATUS_SUCCESS : status;
}

NTSTATUS UsbStreamEndpoint::AbortPipe()
{
    PAGED_CODE();
    IUsbDevice* pUsb = GetUsbDevice();
    if (pUsb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    _URB_PIPE_REQUEST request;
    std::memset(&request, 0, sizeof request);
    request.Hdr.Length = sizeof request;
    request.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    PUSBD_PIPE_INFORMATION pPipe = DataPipe();
    request.PipeHandle = pPipe != nullptr ? pPipe->PipeHandle : nullptr;
    const NTSTATUS status = pUsb->SubmitUrbSync(reinterpret_cast<PURB>(&request));
    pUsb->Release();
    return status;
}

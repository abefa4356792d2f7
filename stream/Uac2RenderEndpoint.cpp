// UAC2 render: preparation through the clock entity, the interface selection with its feedback
// pipe, the render transfer paced by the measured device rate, its completion, the recovery that
// resets the pipes in place, the valid-alternate-settings question and the raw-stream start.
#include "stream/Uac2RenderEndpoint.h"

#include <cstring>

#include "adapter/AudioHal.h"
#include "adapter/EntityInterfaces.h"

// ---- shared with the capture class ----

NTSTATUS Uac2SetClockRate(PUNKNOWN pOwner, ULONG ulClockEntityId, ULONG ulRate)
{
    PAGED_CODE();
    if (pOwner == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID pRaw = nullptr;
    NTSTATUS status = pOwner->QueryInterface(IID_IAudioHal, &pRaw);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* pHal = static_cast<IAudioHal*>(pRaw);
    // The registry is walked through the interface: a function aggregated by the device object
    // answers IAudioHal with the device's, which hands the entity operations on to the function.
    // As AudioHal::FindEntity, the last entity with the id.
    TopologyNode* pEntity = nullptr;
    const ULONG ulCount = pHal->GetEntityCount();
    for (ULONG i = 0; i < ulCount; ++i) {
        TopologyNode* pCandidate = nullptr;
        if (NT_SUCCESS(pHal->GetEntity(i, &pCandidate)) && pCandidate != nullptr &&
            pCandidate->GetId() == ulClockEntityId) {
            pEntity = pCandidate;
        }
    }
    status = pEntity != nullptr ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status)) {
        PVOID pClockRaw = nullptr;
        status = pEntity->QueryInterface(IID_IClockControl, &pClockRaw);
        if (NT_SUCCESS(status)) {
            auto* pClock = static_cast<IClockControl*>(pClockRaw);
            status = pClock->SetRate(ulRate);
            pClock->Release();
        }
    }
    pHal->Release();
    return status;
}

UCHAR UsbStreamEndpoint::IsSettingValidAtClockRate(UCHAR bAlternateSetting)
{
    PAGED_CODE();
    if (bAlternateSetting == 0) {
        return TRUE;
    }
    IUsbDevice* pUsb = GetUsbDevice();
    const UCHAR bValid = Uac2AlternateSettingValid(pUsb, GetInterfaceNumber(), bAlternateSetting);
    if (pUsb != nullptr) {
        pUsb->Release();
    }
    return bValid;
}

UCHAR Uac2AlternateSettingValid(IUsbDevice* pUsb, ULONG ulInterfaceNumber, UCHAR bAlternateSetting)
{
    PAGED_CODE();
    if (bAlternateSetting == 0) {
        return TRUE;
    }
    if (pUsb == nullptr) {
        return FALSE;
    }
    constexpr ULONG REPLY_BYTES = 5;
    struct ValidAlternatesRequest {
        _URB_CONTROL_VENDOR_OR_CLASS_REQUEST Urb;
        UCHAR Reply[REPLY_BYTES];
    };
    auto* pRequest = static_cast<ValidAlternatesRequest*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ValidAlternatesRequest), UAC2_REQUEST_TAG));
    if (pRequest == nullptr) {
        return FALSE;
    }
    std::memset(pRequest, 0, sizeof *pRequest);
    _URB_CONTROL_VENDOR_OR_CLASS_REQUEST& urb = pRequest->Urb;
    urb.Hdr.Length = sizeof urb;
    urb.Hdr.Function = URB_FUNCTION_CLASS_INTERFACE;
    urb.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    urb.TransferBuffer = pRequest->Reply;
    urb.TransferBufferLength = REPLY_BYTES;
    urb.Request = USB_AUDIO2_CUR;
    urb.Value = static_cast<USHORT>(USB_AUDIO2_AS_VAL_ALT_SETTINGS_CONTROL << 8);
    urb.Index = static_cast<USHORT>(ulInterfaceNumber);
    const NTSTATUS status = pUsb->SubmitUrbSync(reinterpret_cast<PURB>(&urb));
    // Bytes the device did not send count as 0.
    const ULONG ulReceived = urb.TransferBufferLength < REPLY_BYTES ? urb.TransferBufferLength : REPLY_BYTES;
    std::memset(pRequest->Reply + ulReceived, 0, REPLY_BYTES - ulReceived);
    const ULONG ulControlSize = pRequest->Reply[0];
    const ULONG ulBitmap = static_cast<ULONG>(pRequest->Reply[1]) | (static_cast<ULONG>(pRequest->Reply[2]) << 8) |
                           (static_cast<ULONG>(pRequest->Reply[3]) << 16) |
                           (static_cast<ULONG>(pRequest->Reply[4]) << 24);
    ExFreePoolWithTag(pRequest, UAC2_REQUEST_TAG);
    return NT_SUCCESS(status) && bAlternateSetting < 8 * ulControlSize && bAlternateSetting < 32 &&
                   ((ulBitmap >> bAlternateSetting) & 1) != 0
               ? TRUE
               : FALSE;
}

// Bytes one (micro)frame of a pipe carries: bits 0-10 times one plus the extra transactions of
// bits 11-12.
static ULONG PipePacketBytes(USHORT wMaxPacketSize)
{
    return (wMaxPacketSize & 0x7FFu) * (1u + ((wMaxPacketSize >> 11) & 0x3u));
}

// ---- construction and preparation ----

Uac2RenderEndpoint::Uac2RenderEndpoint(PUNKNOWN pOuterUnknown, ULONG ulInterfaceNumber, ULONG ulTerminalLink,
                                       ULONG ulClockEntityId)
    : UsbStreamEndpoint(pOuterUnknown, ulInterfaceNumber, ulTerminalLink),
      m_ulClockEntityId(ulClockEntityId),
      m_lCurrentRate(0),
      m_lPacketAccumulator(0),
      m_bFeedbackPipeIndex(NO_FEEDBACK_PIPE),
      m_FeedbackLock{},
      m_pFeedbackInUse{},
      m_pFreeFeedback{}
{
    m_ulMsPerTransfer = DEFAULT_MS_PER_TRANSFER;
    KeInitializeSpinLock(&m_FeedbackLock);
}

VOID Uac2RenderEndpoint::ResetRingPositions()
{
    UsbStreamEndpoint::ResetRingPositions();
    m_lPacketAccumulator = 0;
}

NTSTATUS Uac2RenderEndpoint::PrepareFormat(EndpointClient* pClient, PULONG pulFrame)
{
    PAGED_CODE();
    // The feedback moves the current rate from here on.
    return PrepareRenderFormat(pClient, pulFrame, [](UsbStreamEndpoint* pEndpoint, ULONG ulRate) {
        __atomic_store_n(&static_cast<Uac2RenderEndpoint*>(pEndpoint)->m_lCurrentRate, static_cast<LONG>(ulRate),
                         __ATOMIC_SEQ_CST);
    });
}

NTSTATUS Uac2RenderEndpoint::PrepareBeforeSelection(EndpointClient* pClient)
{
    PAGED_CODE();
    // The feedback transfers come from the same pools as the data transfers.
    for (ULONG i = 0; i < MAX_TRANSFER_CONTEXTS; ++i) {
        TransferContext* pContext = nullptr;
        const NTSTATUS status = AllocateTransfer(&pContext);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        pContext->Slot = i;
        m_pFreeFeedback[i] = pContext;
    }
    return Uac2SetClockRate(m_pOwner, m_ulClockEntityId, pClient->Format.Format.nSamplesPerSec);
}

NTSTATUS Uac2RenderEndpoint::SelectAlternateSetting(UCHAR bAlternateSetting, EndpointClient* pClient)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(pClient);  // the rate lives on the clock, not on the endpoint
    const NTSTATUS status = SelectSettingAndRate(bAlternateSetting, FALSE, 0, FALSE);
    m_bFeedbackPipeIndex = NO_FEEDBACK_PIPE;
    if (NT_SUCCESS(status) && m_pInterfaceInformation != nullptr) {
        // Feedback comes only from an isochronous IN pipe: the last one of the setting.
        for (ULONG i = 0; i < m_pInterfaceInformation->NumberOfPipes; ++i) {
            const USBD_PIPE_INFORMATION& pipe = m_pInterfaceInformation->Pipes[i];
            if (USB_ENDPOINT_DIRECTION_IN(pipe.EndpointAddress) && pipe.PipeType == UsbdPipeTypeIsochronous) {
                m_bFeedbackPipeIndex = static_cast<UCHAR>(i);
            }
        }
    }
    return status;
}

BOOLEAN Uac2RenderEndpoint::HasFeedbackPipe() { return FeedbackPipe() != nullptr ? TRUE : FALSE; }

PUSBD_PIPE_INFORMATION Uac2RenderEndpoint::FeedbackPipe()
{
    if (m_pInterfaceInformation == nullptr || m_pInterfaceInformation->NumberOfPipes != 2 ||
        m_bFeedbackPipeIndex >= m_pInterfaceInformation->NumberOfPipes) {
        return nullptr;
    }
    return &m_pInterfaceInformation->Pipes[m_bFeedbackPipeIndex];
}

UCHAR Uac2RenderEndpoint::IsAlternateSettingValid(UCHAR bAlternateSetting)
{
    PAGED_CODE();
    return IsSettingValidAtClockRate(bAlternateSetting);
}

// ---- the render transfer ----

NTSTATUS Uac2RenderEndpoint::SubmitNext()
{
    const TransferSteps steps = {
        [](UsbStreamEndpoint* pEndpoint, IUsbDevice* pUsb) {
            auto* pSelf = static_cast<Uac2RenderEndpoint*>(pEndpoint);
            if (pSelf->HasFeedbackPipe()) {
                const NTSTATUS feedback = pSelf->SubmitFeedback(pUsb);
                if (feedback == STATUS_DEVICE_NOT_CONNECTED || feedback == STATUS_NO_SUCH_DEVICE) {
                    return feedback;
                }
            }
            return STATUS_SUCCESS;
        },
        LayOutRenderPackets,
        nullptr,
    };
    return SubmitTransfer(steps);
}

ULONG Uac2RenderEndpoint::LayOutRenderPackets(UsbStreamEndpoint* pEndpoint, PUSBD_PIPE_INFORMATION pPipe,
                                              _URB_ISOCH_TRANSFER* pIso, ULONG ulPackets)
{
    auto* pSelf = static_cast<Uac2RenderEndpoint*>(pEndpoint);
    const ULONG ulPacketsPerSecond = pSelf->m_ulPacketsPerMs * 1000;
    // The packet sizes follow the device's measured rate around the nominal frames per packet.
    const LONG lRemainder =
        pSelf->GetCurrentRate() - static_cast<LONG>(pSelf->m_ulFramesPerPacket * ulPacketsPerSecond);
    // No packet carries more frames than its share of the buffer or than the endpoint's
    // wMaxPacketSize allows, however fast the device claims to run.
    const ULONG ulAlign = pSelf->m_ulPreparedBlockAlign;
    ULONG ulMaxFrames = pSelf->m_ulDataBufferSize / (ulPackets * ulAlign);
    if (pPipe != nullptr && pPipe->MaximumPacketSize != 0) {
        const ULONG ulPipeFrames = PipePacketBytes(pPipe->MaximumPacketSize) / ulAlign;
        ulMaxFrames = ulPipeFrames < ulMaxFrames ? ulPipeFrames : ulMaxFrames;
    }
    ULONG ulTotal = 0;
    for (ULONG i = 0; i < ulPackets; ++i) {
        pSelf->m_lPacketAccumulator += lRemainder;
        const LONG lExtra = pSelf->m_lPacketAccumulator / static_cast<LONG>(ulPacketsPerSecond);
        pSelf->m_lPacketAccumulator %= static_cast<LONG>(ulPacketsPerSecond);
        const LONG lFrames = static_cast<LONG>(pSelf->m_ulFramesPerPacket) + lExtra;
        ULONG ulFrames = lFrames < 0 ? 0 : static_cast<ULONG>(lFrames);
        ulFrames = ulFrames > ulMaxFrames ? ulMaxFrames : ulFrames;
        pIso->IsoPacket[i].Offset = ulTotal;
        pIso->IsoPacket[i].Length = ulFrames * ulAlign;
        ulTotal += ulFrames * ulAlign;
    }
    return ulTotal;
}

NTSTATUS Uac2RenderEndpoint::OnTransferComplete(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, TransferContext* pContext)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    // Only the IRP and the URB decide; the packets' own statuses are not scanned.
    const CompletionSteps steps = {nullptr, false, nullptr};
    return CompleteTransfer(pIrp, pContext, steps);
}

// ---- recovery ----

NTSTATUS Uac2RenderEndpoint::ResetPipe(IUsbDevice* pUsb, PUSBD_PIPE_INFORMATION pPipe)
{
    PAGED_CODE();
    _URB_PIPE_REQUEST request;
    std::memset(&request, 0, sizeof request);
    request.Hdr.Length = sizeof request;
    request.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    request.PipeHandle = pPipe != nullptr ? pPipe->PipeHandle : nullptr;
    return pUsb->SubmitUrbSync(reinterpret_cast<PURB>(&request));
}

NTSTATUS Uac2RenderEndpoint::RecoverStream()
{
    PAGED_CODE();
    IUsbDevice* pUsb = GetUsbDevice();
    if (pUsb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // Every data and feedback transfer has completed before the pipes are touched.
    KeWaitForSingleObject(&m_IrpsDrainedEvent, Executive, KernelMode, FALSE, nullptr);
    InterlockedExchange(&m_ResubmitState, RESUBMIT_IDLE);
    const BOOLEAN bGone = pUsb->CheckPort();
    __atomic_store_n(&m_bDeviceGone, bGone ? 1 : 0, __ATOMIC_SEQ_CST);
    if (bGone) {
        pUsb->Release();
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    NTSTATUS status = ResetPipe(pUsb, DataPipe());
    if (NT_SUCCESS(status) && HasFeedbackPipe()) {
        status = ResetPipe(pUsb, FeedbackPipe());
    }
    ULONG ulFrame = 0;
    pUsb->GetCurrentFrame(&ulFrame);
    pUsb->Release();
    m_ulNextStartFrame = ulFrame + START_FRAME_LEAD;
    if (NT_SUCCESS(status)) {
        for (ULONG i = 0; i < UAC2_RECOVERY_TRANSFERS; ++i) {
            status = SubmitNext();
            if (!NT_SUCCESS(status)) {
                break;
            }
        }
    }
    // A full ring, or transfers pending with the bus, is a ring going.
    return NT_SUCCESS(status) || status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
}

// ---- the raw-stream start ----

NTSTATUS Uac2RenderEndpoint::SendDsdStartRequest()
{
    PAGED_CODE();
    if (m_pPreparedClient == nullptr || !IsEqualGUID(m_pPreparedClient->Format.SubFormat, VendorRawSubformat)) {
        return STATUS_SUCCESS;
    }
    IUsbDevice* pUsb = GetUsbDevice();
    if (pUsb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* pUrb = static_cast<_URB_CONTROL_VENDOR_OR_CLASS_REQUEST*>(
        ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), DSD_REQUEST_TAG));
    if (pUrb == nullptr) {
        pUsb->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pUrb, 0, sizeof *pUrb);
    pUrb->Hdr.Length = sizeof *pUrb;
    pUrb->Hdr.Function = URB_FUNCTION_VENDOR_INTERFACE;
    pUrb->TransferFlags = USBD_TRANSFER_DIRECTION_OUT;
    pUrb->Request = 0x10;
    pUrb->Value = 0;
    pUrb->Index = static_cast<USHORT>(GetInterfaceNumber());
    const NTSTATUS status = pUsb->SubmitUrbSync(reinterpret_cast<PURB>(pUrb));
    ExFreePoolWithTag(pUrb, DSD_REQUEST_TAG);
    pUsb->Release();
    return status;
}

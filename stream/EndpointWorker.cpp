// Start and stop of streaming, and the worker thread that takes the ring over when it cannot keep
// itself going: it refills the ring on request and recovers the stream after a failed transfer.
#include "adapter/AudioHal.h"
#include "platform/nt/Debug.h"
#include "platform/nt/Ob.h"
#include "stream/UsbStreamEndpoint.h"

VOID UsbStreamEndpoint::ThreadStart(PVOID pContext)
{
    PAGED_CODE();
    // Every class runs the base loop; calling it directly keeps the thread from reading the
    // object's type while a short-lived endpoint is already being destroyed.
    static_cast<UsbStreamEndpoint*>(pContext)->UsbStreamEndpoint::WorkerLoop();
}

NTSTATUS UsbStreamEndpoint::FillRing()
{
    NTSTATUS status = STATUS_SUCCESS;
    for (ULONG i = 0; i < m_ulTransfersQueued; ++i) {
        status = SubmitNext();
        if (!NT_SUCCESS(status)) {
            break;
        }
    }
    // A full ring, or transfers pending with the bus, is a ring going.
    return NT_SUCCESS(status) || status == STATUS_BUFFER_TOO_SMALL ? STATUS_SUCCESS : status;
}

NTSTATUS UsbStreamEndpoint::StartStreaming(ULONG ulStartFrame, UCHAR bExplicitStart)
{
    PAGED_CODE();
    m_EndpointTransportLock.Lock();
    if (GetStreamState() != STREAM_STATE_PREPARED) {
        m_EndpointTransportLock.Unlock();
        return STATUS_UNSUCCESSFUL;
    }
    if (m_pLimiter != nullptr) {
        m_pLimiter->SetFormat(&m_CurrentWaveFormat);
    }
    // A start frame the bus has already reached (a client that got frame 0 from a start that
    // prepared nothing) becomes the nearest frame the bus can still schedule.
    const ULONG ulNow = GetCurrentFrame();
    if (bExplicitStart && static_cast<LONG>(ulStartFrame - ulNow) <= 0) {
        ulStartFrame = ulNow + START_FRAME_LEAD;
    }
    InterlockedExchange(&m_ResubmitState, RESUBMIT_IDLE);
    m_ulNextStartFrame = ulStartFrame;
    m_bExplicitStart = bExplicitStart;
    KeClearEvent(&m_EndpointKickEvent);
    InterlockedExchange(&m_StreamState, STREAM_STATE_STREAMING);
    if (m_pNodes != nullptr) {
        for (IProcessingNode* pNode : m_pNodes->Items<IProcessingNode>()) {
            if (!NT_SUCCESS(pNode->SetFormat(&m_CurrentWaveFormat))) {
                break;
            }
        }
    }
    const NTSTATUS status = FillRing();
    if (!NT_SUCCESS(status)) {
        KeWaitForSingleObject(&m_IrpsDrainedEvent, Executive, KernelMode, FALSE, nullptr);
        InterlockedExchange(&m_StreamState, STREAM_STATE_PREPARED);
    }
    m_EndpointTransportLock.Unlock();
    return status;
}

NTSTATUS UsbStreamEndpoint::StopStreaming()
{
    PAGED_CODE();
    m_EndpointTransportLock.Lock();
    if (GetStreamState() != STREAM_STATE_STREAMING) {
        m_EndpointTransportLock.Unlock();
        return STATUS_UNSUCCESSFUL;
    }
    InterlockedExchange(&m_StreamState, STREAM_STATE_PREPARED);
    KeWaitForSingleObject(&m_IrpsDrainedEvent, Executive, KernelMode, FALSE, nullptr);
    NTSTATUS status = STATUS_SUCCESS;
    if (m_pNodes != nullptr) {
        for (IProcessingNode* pNode : m_pNodes->Items<IProcessingNode>()) {
            status = pNode->Reset();
            if (!NT_SUCCESS(status)) {
                break;
            }
        }
    }
    if (m_pLimiter != nullptr) {
        m_pLimiter->Reset();
    }
    m_EndpointTransportLock.Unlock();
    return status;
}

NTSTATUS UsbStreamEndpoint::SelectZeroBandwidth()
{
    PAGED_CODE();
    return SelectAlternateSetting(0, nullptr);
}

VOID UsbStreamEndpoint::WorkerLoop()
{
    PAGED_CODE();
    PVOID objects[2] = {&m_EndpointKickEvent, &m_EndpointStopEvent};
    for (;;) {
        const NTSTATUS woke =
            KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE, nullptr, nullptr);
        m_EndpointTransportLock.Lock();
        if (woke == STATUS_WAIT_0 && GetStreamState() == STREAM_STATE_STREAMING) {
            if (InterlockedCompareExchange(&m_ResubmitState, RESUBMIT_IDLE, RESUBMIT_REQUESTED) == RESUBMIT_REQUESTED) {
                while (GetStreamState() == STREAM_STATE_STREAMING && NT_SUCCESS(SubmitNext())) {
                }
            } else if (GetResubmitState() == RESUBMIT_ERROR) {
                DbgPrint("Error_ErrorOccur, m_StreamState = %d\n", GetStreamState());
                if (GetStreamState() == STREAM_STATE_STREAMING) {
                    const NTSTATUS status = RecoverStream();
                    if (status == STATUS_DEVICE_NOT_CONNECTED) {
                        KeSetEvent(&m_EndpointStopEvent, IO_NO_INCREMENT, FALSE);
                    }
                    DbgPrint("Error_ErrorOccur ntStatus = %x\n", status);
                }
            }
        }
        m_EndpointTransportLock.Unlock();
        if (woke != STATUS_WAIT_0) {
            KeSetEvent(&m_EndpointExitEvent, IO_SOUND_INCREMENT, FALSE);
            return;
        }
    }
}

NTSTATUS UsbStreamEndpoint::RecoverStream()
{
    PAGED_CODE();
    if (m_pOwner == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    PVOID pRaw = nullptr;
    NTSTATUS status = m_pOwner->QueryInterface(IID_IAudioHal, &pRaw);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* pHal = static_cast<IAudioHal*>(pRaw);
    PDEVICE_OBJECT pDevice = pHal->GetDeviceObject();
    pHal->Release();
    if (pDevice != nullptr) {
        ObfReferenceObject(pDevice);
    }
    IUsbDevice* pUsb = GetUsbDevice();
    if (pUsb == nullptr) {
        if (pDevice != nullptr) {
            ObfDereferenceObject(pDevice);
        }
        return STATUS_INVALID_PARAMETER;
    }
    KeWaitForSingleObject(&m_IrpsDrainedEvent, Executive, KernelMode, FALSE, nullptr);
    InterlockedExchange(&m_ResubmitState, RESUBMIT_IDLE);
    status = RecoverAfterDrain(pUsb);
    pUsb->Release();
    if (pDevice != nullptr) {
        ObfDereferenceObject(pDevice);
    }
    return status;
}

NTSTATUS UsbStreamEndpoint::RecoverAfterDrain(IUsbDevice* pUsb)
{
    PAGED_CODE();
    const BOOLEAN bGone = pUsb->CheckPort();
    __atomic_store_n(&m_bDeviceGone, bGone ? 1 : 0, __ATOMIC_SEQ_CST);
    if (bGone) {
        return STATUS_DEVICE_NOT_CONNECTED;
    }
    LARGE_INTEGER delay;
    delay.QuadPart = RECOVERY_DELAY;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
    NTSTATUS status = SelectZeroBandwidth();
    if (!NT_SUCCESS(status)) {
        pUsb->CyclePort();
        return status;
    }
    NotifyFormat(m_pRunningClient, TRUE);
    status = RestartStreaming();
    if (!NT_SUCCESS(status)) {
        pUsb->CyclePort();
    }
    return status;
}

NTSTATUS UsbStreamEndpoint::RestartStreaming()
{
    PAGED_CODE();
    IUsbDevice* pUsb = GetUsbDevice();
    if (pUsb == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR bAlternate = 0;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (m_pRunningClient != nullptr) {
        status = FindAlternateSetting(&m_pRunningClient->Format, &bAlternate);
    }
    if (NT_SUCCESS(status)) {
        status = SelectAlternateSetting(bAlternate, m_pRunningClient);
    }
    if (!NT_SUCCESS(status)) {
        pUsb->Release();
        return status;
    }
    ResetRingPositions();
    InterlockedExchange(&m_lOutstandingTransfers, 0);
    KeClearEvent(&m_EndpointKickEvent);
    ULONG ulFrame = 0;
    pUsb->GetCurrentFrame(&ulFrame);
    pUsb->Release();
    m_ulNextStartFrame = ulFrame + START_FRAME_LEAD;
    InterlockedExchange(&m_ResubmitState, RESUBMIT_IDLE);
    return FillRing();
}

VOID UsbStreamEndpoint::ResetRingPositions()
{
    m_ulRingRead = 0;
    m_ulRingWrite = 0;
}

// The clients of an endpoint and the arbitration between them: the started client of the largest
// kind decides the prepared format, the running client of the largest kind receives every
// message and supplies the current format.
#include <cstring>

#include "stream/UsbStreamEndpoint.h"

namespace {

// Holds the endpoint's transport lock for a scope.
class TransportLockScope {
public:
    explicit TransportLockScope(LockObject& lock) : m_Lock(lock) { m_Lock.Lock(); }
    ~TransportLockScope() { m_Lock.Unlock(); }
    TransportLockScope(const TransportLockScope&) = delete;
    TransportLockScope& operator=(const TransportLockScope&) = delete;

private:
    LockObject& m_Lock;
};

}  // namespace

NTSTATUS UsbStreamEndpoint::RegisterClient(ULONG ulKind, WaveFormatRecord* pFormat, ULONG ulMsPerTransfer,
                                           ULONG ulTransfersQueued, PCALLBACK_FUNCTION pCallback, PVOID pContext,
                                           EndpointClient** ppClient)
{
    PAGED_CODE();
    if (ppClient == nullptr || pFormat == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    TransportLockScope lock(m_EndpointTransportLock);
    *ppClient = nullptr;
    NTSTATUS status = FindFormat(pFormat);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* pClient =
        static_cast<EndpointClient*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(EndpointClient), USB_STREAM_TAG));
    if (pClient == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pClient, 0, sizeof *pClient);
    pClient->ClientKind = ulKind;
    pClient->MsPerTransfer = ulMsPerTransfer;
    pClient->TransfersQueued = ulTransfersQueued;
    std::memcpy(&pClient->Format, pFormat, sizeof pClient->Format);
    pClient->Capture = m_ulCapture;
    pClient->Running = 0;
    pClient->Registration =
        m_pTransportCallback != nullptr ? ExRegisterCallback(m_pTransportCallback, pCallback, pContext) : nullptr;
    if (pClient->Registration == nullptr) {
        ExFreePoolWithTag(pClient, USB_STREAM_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    status = AddRegisteredClient(pClient);
    if (!NT_SUCCESS(status)) {
        ExUnregisterCallback(pClient->Registration);
        ExFreePoolWithTag(pClient, USB_STREAM_TAG);
        return status;
    }
    *ppClient = pClient;
    return STATUS_SUCCESS;
}

NTSTATUS UsbStreamEndpoint::UnregisterClient(PVOID hClient)
{
    PAGED_CODE();
    TransportLockScope lock(m_EndpointTransportLock);
    EndpointClient* pClient = RemoveRegisteredClient(hClient);
    if (pClient == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    ExUnregisterCallback(pClient->Registration);
    ExFreePoolWithTag(pClient, USB_STREAM_TAG);
    return STATUS_SUCCESS;
}

NTSTATUS UsbStreamEndpoint::ClientStart(PVOID hClient, PULONG pulMsPerTransfer, PULONG pulFrame)
{
    PAGED_CODE();
    TransportLockScope lock(m_EndpointTransportLock);
    ULONG ulFrame = 0;
    if (pulFrame != nullptr) {
        *pulFrame = 0;
    }
    EndpointClient* pClient = FindRegisteredClient(hClient);
    if (pClient == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = InsertStartedClient(pClient);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    EndpointClient* pTop = GetTopStartedClient();
    if (pTop != m_pPreparedClient) {
        if (m_pPreparedClient != nullptr) {
            if (GetStreamState() == STREAM_STATE_STREAMING) {
                StopStreaming();
            }
            UnprepareFormat();
        }
        status = PrepareFormat(pTop, &ulFrame);
        if (!NT_SUCCESS(status)) {
            // The client being started goes back to the registered list only; a started client
            // above it stays where its own stop finds it. Nothing is prepared any more.
            RemoveStartedClient(hClient);
            m_pPreparedClient = nullptr;
            return status;
        }
        m_pPreparedClient = pTop;
        std::memcpy(&m_CurrentWaveFormat, &pTop->Format, sizeof m_CurrentWaveFormat);
    }
    if (pulMsPerTransfer != nullptr) {
        *pulMsPerTransfer = pTop->MsPerTransfer;
    }
    if (pulFrame != nullptr) {
        *pulFrame = ulFrame;
    }
    RemoveRegisteredClient(hClient);
    return STATUS_SUCCESS;
}

NTSTATUS UsbStreamEndpoint::ClientRun(PVOID hClient, ULONG ulStartFrame, PULONG pulMsPerTransfer,
                                      IClientProcessor* pProcessor)
{
    PAGED_CODE();
    TransportLockScope lock(m_EndpointTransportLock);
    if (GetStreamState() == STREAM_STATE_IDLE) {
        return STATUS_INVALID_PARAMETER;
    }
    EndpointClient* pClient = FindStartedClient(hClient);
    // A client already running would be listed twice and outlive its record on the list.
    if (pClient == nullptr || pClient->Running != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = InsertRunningClient(pClient);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    EndpointClient* pTop = GetTopRunningClient();
    EndpointClient* pPrevious = m_pRunningClient;
    if (pTop == pPrevious) {
        NotifyFormat(pPrevious, FALSE);
        pClient->Running = 1;
    } else {
        m_pRunningClient = pTop;
        std::memcpy(&m_CurrentWaveFormat, &pTop->Format, sizeof m_CurrentWaveFormat);
        NotifyFormat(pTop, TRUE);
        pClient->Running = 1;
        status = StartStreaming(ulStartFrame, 1);
        if (!NT_SUCCESS(status)) {
            UnprepareFormat();
            RemoveRunningClient(pTop->Registration);
            // The client is off the running list: it must not count as running.
            pTop->Running = 0;
            m_pRunningClient = pPrevious;
            if (pPrevious != nullptr) {
                std::memcpy(&m_CurrentWaveFormat, &pPrevious->Format, sizeof m_CurrentWaveFormat);
                NotifyFormat(pPrevious, FALSE);
            }
            return status;
        }
    }
    if (pProcessor != nullptr) {
        const ULONG ulListA = IsCapture() ? 1 : 2;
        if (pClient->ClientKind == ulListA) {
            status = AddClientProcessorA(pProcessor);
        } else if (pClient->ClientKind == 1 || pClient->ClientKind == 2) {
            status = AddClientProcessorB(pProcessor);
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    if (pulMsPerTransfer != nullptr) {
        *pulMsPerTransfer = m_pRunningClient != nullptr ? m_pRunningClient->MsPerTransfer : 0;
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbStreamEndpoint::ClientPause(PVOID hClient, IClientProcessor* pProcessor)
{
    PAGED_CODE();
    TransportLockScope lock(m_EndpointTransportLock);
    EndpointClient* pClient = RemoveRunningClient(hClient);
    if (pClient == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    // A detach that fails is reported, but only after the arbitration below: the client is off
    // the running list either way, and the endpoint must not keep streaming for it.
    NTSTATUS detached = STATUS_SUCCESS;
    if (pProcessor != nullptr) {
        const ULONG ulListA = IsCapture() ? 1 : 2;
        if (pClient->ClientKind == ulListA) {
            detached = RemoveClientProcessorA(pProcessor);
        } else if (pClient->ClientKind == 1 || pClient->ClientKind == 2) {
            detached = RemoveClientProcessorB(pProcessor);
        } else {
            detached = STATUS_INVALID_PARAMETER;
        }
    }
    EndpointClient* pTop = GetTopRunningClient();
    if (pTop == nullptr) {
        StopStreaming();
        pClient->Running = 0;
        m_pRunningClient = nullptr;
    } else if (pTop == m_pRunningClient) {
        pClient->Running = 0;
    } else {
        StopStreaming();
        pClient->Running = 0;
        UnprepareFormat();
        m_pRunningClient = pTop;
        ULONG ulFrame = 0;
        NTSTATUS status = PrepareFormat(pTop, &ulFrame);
        if (!NT_SUCCESS(status)) {
            UnprepareFormat();
            return status;
        }
        std::memcpy(&m_CurrentWaveFormat, &pTop->Format, sizeof m_CurrentWaveFormat);
        NotifyFormat(pTop, TRUE);
        status = StartStreaming(ulFrame + 5, 1);
        if (!NT_SUCCESS(status)) {
            UnprepareFormat();
        }
    }
    return detached;
}

NTSTATUS UsbStreamEndpoint::ClientStop(PVOID hClient)
{
    PAGED_CODE();
    TransportLockScope lock(m_EndpointTransportLock);
    // A client stopped while it runs is paused first: it must not stay on the running list once
    // it is back on the registered one, from which it can be freed.
    if (FindStartedClient(hClient) != nullptr) {
        ClientPause(hClient, nullptr);
    }
    EndpointClient* pClient = RemoveStartedClient(hClient);
    if (pClient == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS remembered = STATUS_SUCCESS;
    EndpointClient* pTop = GetTopStartedClient();
    if (pTop == nullptr) {
        UnprepareFormat();
        m_pPreparedClient = nullptr;
    } else if (pTop != m_pPreparedClient) {
        m_pPreparedClient = pTop;
        if (GetStreamState() == STREAM_STATE_PREPARED) {
            UnprepareFormat();
            ULONG ulFrame = 0;
            const NTSTATUS status = PrepareFormat(pTop, &ulFrame);
            if (NT_SUCCESS(status)) {
                std::memcpy(&m_CurrentWaveFormat, &pTop->Format, sizeof m_CurrentWaveFormat);
            } else {
                UnprepareFormat();
                remembered = status;
            }
        }
    }
    if (!NT_SUCCESS(AddRegisteredClient(pClient))) {
        ExUnregisterCallback(pClient->Registration);
        ExFreePoolWithTag(pClient, USB_STREAM_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return remembered;
}

// UAC2 explicit feedback: the feedback transfers that ride along with the render transfers, their
// completion, and the two decoders that turn the device's reports into the current rate.
#include <cstring>

#include "stream/Uac2RenderEndpoint.h"

namespace {

// Bytes of one feedback value: 16.16 samples per microframe at high speed, 10.14 samples per frame
// (3 bytes) at full speed.
constexpr ULONG FEEDBACK_BYTES_HIGH_SPEED = 4;
constexpr ULONG FEEDBACK_BYTES_FULL_SPEED = 3;
// IN, short transfer OK, as soon as possible.
constexpr ULONG FEEDBACK_TRANSFER_FLAGS =
    USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK | USBD_START_ISO_TRANSFER_ASAP;

// Reports that some devices round for the 44.1 kHz family, and the exact values they stand for.
struct FeedbackSubstitution {
    ULONG Reported;
    ULONG Used;
};
constexpr FeedbackSubstitution SUBSTITUTIONS_10_14[] = {
    {0x2B9900, 0x2B99A0}, {0x2C1900, 0x2C199A}, {0x2C9900, 0x2C99A0},
    {0x57B300, 0x57B338}, {0x583300, 0x583338}, {0x58B300, 0x58B338},
    {0xAFE600, 0xAFE668}, {0xB06600, 0xB06668}, {0xB0E600, 0xB0E668},
};
constexpr FeedbackSubstitution SUBSTITUTIONS_16_16[] = {
    {0x57380, 0x57334},   {0x58380, 0x58334},   {0x59380, 0x59334},
    {0xAF640, 0xAF667},   {0xB0640, 0xB0667},   {0xB1640, 0xB1667},
    {0x15FC60, 0x15FCCD}, {0x160C60, 0x160CCD}, {0x161C60, 0x161CCD},
};

template <size_t N>
ULONG Substitute(ULONG ulValue, const FeedbackSubstitution (&table)[N])
{
    for (const FeedbackSubstitution& entry : table) {
        if (entry.Reported == ulValue) {
            return entry.Used;
        }
    }
    return ulValue;
}

}  // namespace

// ---- feedback contexts ----

TransferContext* Uac2RenderEndpoint::TakeFreeFeedback()
{
    TransferContext* pTaken = nullptr;
    KIRQL irql;
    KeAcquireSpinLock(&m_FeedbackLock, &irql);
    for (ULONG i = 0; i < m_ulTransfersQueued && i < MAX_TRANSFER_CONTEXTS; ++i) {
        TransferContext* pFree = m_pFreeFeedback[i];
        if (pFree == nullptr) {
            continue;
        }
        if (InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&m_pFeedbackInUse[i]), pFree,
                                              nullptr) == nullptr) {
            m_pFreeFeedback[i] = nullptr;
            pTaken = pFree;
            break;
        }
    }
    KeReleaseSpinLock(&m_FeedbackLock, irql);
    return pTaken;
}

VOID Uac2RenderEndpoint::RecycleFeedback(TransferContext* pContext)
{
    KIRQL irql;
    KeAcquireSpinLock(&m_FeedbackLock, &irql);
    IoReuseIrp(pContext->Irp, STATUS_NOT_SUPPORTED);
    m_pFreeFeedback[pContext->Slot] = pContext;
    m_pFeedbackInUse[pContext->Slot] = nullptr;
    KeReleaseSpinLock(&m_FeedbackLock, irql);
}

ULONG Uac2RenderEndpoint::GetFeedbackInUse()
{
    ULONG ulCount = 0;
    KIRQL irql;
    KeAcquireSpinLock(&m_FeedbackLock, &irql);
    for (TransferContext* pContext : m_pFeedbackInUse) {
        ulCount += pContext != nullptr ? 1 : 0;
    }
    KeReleaseSpinLock(&m_FeedbackLock, irql);
    return ulCount;
}

NTSTATUS Uac2RenderEndpoint::ReleaseTransfers()
{
    UsbStreamEndpoint::ReleaseTransfers();
    for (TransferContext*& pContext : m_pFreeFeedback) {
        if (pContext != nullptr) {
            FreeTransfer(pContext);
            pContext = nullptr;
        }
    }
    return STATUS_SUCCESS;
}

// ---- the feedback transfer ----

NTSTATUS Uac2RenderEndpoint::SubmitFeedback(IUsbDevice* pUsb)
{
    TransferContext* pContext = TakeFreeFeedback();
    if (pContext == nullptr) {
        return STATUS_SUCCESS;  // the next data transfer takes one along again
    }
    const ULONG ulPackets = m_ulMsPerTransfer;
    const ULONG ulSize = pUsb->IsHighSpeed() ? FEEDBACK_BYTES_HIGH_SPEED : FEEDBACK_BYTES_FULL_SPEED;
    PURB pUrb = pContext->Urb;
    std::memset(pUrb, 0, RingIsoUrbSize(ulPackets));
    auto& iso = pUrb->UrbIsochronousTransfer;
    pUrb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
    pUrb->UrbHeader.Length = static_cast<USHORT>(RingIsoUrbSize(ulPackets));
    iso.PipeHandle = FeedbackPipe()->PipeHandle;
    iso.TransferFlags = FEEDBACK_TRANSFER_FLAGS;
    iso.TransferBuffer = pContext->DataBuffer;
    iso.StartFrame = 0;
    for (ULONG i = 0; i < ulPackets; ++i) {
        iso.IsoPacket[i].Offset = i * ulSize;
        iso.IsoPacket[i].Length = ulSize;
    }
    iso.TransferBufferLength = ulPackets * ulSize;
    iso.NumberOfPackets = ulPackets;
    pContext->ByteCount = ulPackets * ulSize;
    return SendTransfer(pUsb, pContext, FeedbackUrbCompletion);
}

NTSTATUS Uac2RenderEndpoint::FeedbackUrbCompletion(PDEVICE_OBJECT pDeviceObject, PIRP pIrp, PVOID pContext)
{
    UNREFERENCED_PARAMETER(pDeviceObject);
    UNREFERENCED_PARAMETER(pIrp);
    auto* pTransfer = static_cast<TransferContext*>(pContext);
    return static_cast<Uac2RenderEndpoint*>(pTransfer->Endpoint)->OnFeedbackComplete(pTransfer);
}

NTSTATUS Uac2RenderEndpoint::OnFeedbackComplete(TransferContext* pContext)
{
    const NTSTATUS status = pContext->Irp->IoStatus.Status;
    if (GetStreamState() == STREAM_STATE_STREAMING && status != STATUS_CANCELLED) {
        if (NT_SUCCESS(status) && !USBD_ERROR(pContext->Urb->UrbHeader.Status)) {
            if (pContext->ByteCount == m_ulMsPerTransfer * FEEDBACK_BYTES_HIGH_SPEED) {
                DecodeFeedback16_16(pContext);
            } else {
                DecodeFeedback10_14(pContext);
            }
        } else if (InterlockedExchange(&m_ResubmitState, RESUBMIT_ERROR) != RESUBMIT_ERROR) {
            KeSetEvent(&m_EndpointKickEvent, IO_SOUND_INCREMENT, FALSE);
        }
    }
    // The context is back in its slot before the count can wake a stop that frees the ring.
    RecycleFeedback(pContext);
    TransferDone();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// ---- decoding ----

VOID Uac2RenderEndpoint::DecodeFeedback10_14(TransferContext* pContext)
{
    DecodeFeedback(pContext, FEEDBACK_BYTES_FULL_SPEED);
}

VOID Uac2RenderEndpoint::DecodeFeedback16_16(TransferContext* pContext)
{
    DecodeFeedback(pContext, FEEDBACK_BYTES_HIGH_SPEED);
}

VOID Uac2RenderEndpoint::DecodeFeedback(TransferContext* pContext, ULONG ulValueSize)
{
    const ULONG ulValues = m_ulMsPerTransfer;
    const ULONG ulPacketsPerSecond = m_ulPacketsPerMs * 1000;
    const LONGLONG llNominal = m_CurrentWaveFormat.Format.nSamplesPerSec;
    const auto& iso = pContext->Urb->UrbIsochronousTransfer;
    LONGLONG llSum = 0;
    LONG lCount = 0;
    for (ULONG i = 0; i < ulValues; ++i) {
        // A value the device did not deliver whole is not a value.
        if (i >= iso.NumberOfPackets || USBD_ERROR(iso.IsoPacket[i].Status) || iso.IsoPacket[i].Length < ulValueSize) {
            continue;
        }
        const PUCHAR pValue = pContext->DataBuffer + i * ulValueSize;
        ULONG ulValue;
        if (ulValueSize == FEEDBACK_BYTES_FULL_SPEED) {
            ulValue = (static_cast<ULONG>(pValue[0]) | (static_cast<ULONG>(pValue[1]) << 8) |
                       (static_cast<ULONG>(pValue[2]) << 16))
                      << 2;
            ulValue = Substitute(ulValue, SUBSTITUTIONS_10_14);
        } else {
            ulValue = static_cast<ULONG>(pValue[0]) | (static_cast<ULONG>(pValue[1]) << 8) |
                      (static_cast<ULONG>(pValue[2]) << 16) | (static_cast<ULONG>(pValue[3]) << 24);
            ulValue = Substitute(ulValue, SUBSTITUTIONS_16_16);
        }
        const ULONG ulRate = (ulValue >> 16) * ulPacketsPerSecond +
                             static_cast<ULONG>((static_cast<ULONGLONG>(ulValue & 0xFFFF) * ulPacketsPerSecond) >> 16);
        if (static_cast<LONGLONG>(ulRate) >= llNominal - FEEDBACK_WINDOW &&
            static_cast<LONGLONG>(ulRate) <= llNominal + FEEDBACK_WINDOW) {
            llSum += ulRate;
            ++lCount;
        }
    }
    if (lCount == 0) {
        return;
    }
    const LONG lAverage = static_cast<LONG>(llSum / lCount);
    const LONG lDeviation = lAverage - static_cast<LONG>(llNominal);
    const LONG lStep = static_cast<LONG>(500u / ulValues);
    // A deviation of exactly 500 / n is taken twice over.
    const LONG lRate = lDeviation == lStep || lDeviation == -lStep ? lAverage + lDeviation : lAverage;
    __atomic_store_n(&m_lCurrentRate, lRate, __ATOMIC_SEQ_CST);
}

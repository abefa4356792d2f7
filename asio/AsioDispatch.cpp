// The device-control side of the private ASIO interface: size rules, the 32-bit widening of the
// buffer addresses, and the Information each request reports.
#include "asio/AsioInterface.h"

#include <cstring>

#include "platform/nt/Pool.h"

namespace {

constexpr ULONG ASIO_WIDEN_TAG = MakePoolTag("adap");
constexpr ULONG ASIO_CREATE_REQUEST_HEADER = 12;

// What a request needs of its buffers before its operation is called.
enum class SizeRule { None, InputAtLeast, OutputAtLeast, InputEmpty, EventHandle, InputNotEmpty };

// How the request's Information is set after a successful operation.
enum class InfoRule { Zero, Out, Given, Fixed4 };

struct AsioRequest {
    ULONG Code;
    SizeRule Rule;
    ULONG Bytes;
    InfoRule Info;
    ULONG Reply;  // bytes the operation writes at most (0: no limit of its own)
};

const AsioRequest AsioRequests[] = {
    {IOCTL_ASIO_GET_DRIVER_NAME, SizeRule::None, 0, InfoRule::Out, 0},
    {IOCTL_ASIO_GET_CHANNELS, SizeRule::None, 0, InfoRule::Given, 16},
    {IOCTL_ASIO_GET_CHANNEL_INFO, SizeRule::None, 0, InfoRule::Given, 52},
    {IOCTL_ASIO_GET_SAMPLE_TYPES, SizeRule::None, 0, InfoRule::Out, 0},
    {IOCTL_ASIO_GET_LATENCY_TABLE, SizeRule::None, 0, InfoRule::Out, 40},
    {IOCTL_ASIO_SET_EVENT, SizeRule::EventHandle, 0, InfoRule::Zero, 0},
    {IOCTL_ASIO_GET_BUSY, SizeRule::None, 0, InfoRule::Fixed4, 0},
    {IOCTL_ASIO_SET_SAMPLE_TYPE, SizeRule::InputAtLeast, 4, InfoRule::Zero, 0},
    {IOCTL_ASIO_SET_LATENCY, SizeRule::InputAtLeast, 4, InfoRule::Zero, 0},
    {IOCTL_ASIO_GET_LATENCIES, SizeRule::OutputAtLeast, 8, InfoRule::Given, 8},
    {IOCTL_ASIO_GET_SAMPLE_RATE, SizeRule::OutputAtLeast, 4, InfoRule::Given, 4},
    {IOCTL_ASIO_CAN_SAMPLE_RATE, SizeRule::InputAtLeast, 4, InfoRule::Zero, 0},
    {IOCTL_ASIO_SET_SAMPLE_RATE, SizeRule::InputAtLeast, 4, InfoRule::Zero, 0},
    {IOCTL_ASIO_GET_BUFFER_SIZE, SizeRule::OutputAtLeast, 16, InfoRule::Given, 16},
    {IOCTL_ASIO_CREATE_BUFFERS, SizeRule::InputNotEmpty, 0, InfoRule::Out, 0},
    {IOCTL_ASIO_DISPOSE_BUFFERS, SizeRule::None, 0, InfoRule::Zero, 0},
    {IOCTL_ASIO_START, SizeRule::EventHandle, 0, InfoRule::Zero, 0},
    {IOCTL_ASIO_STOP, SizeRule::InputEmpty, 0, InfoRule::Zero, 0},
    {IOCTL_ASIO_RELEASE_EVENT, SizeRule::InputEmpty, 0, InfoRule::Zero, 0},
    {IOCTL_ASIO_CAN_IO_FORMAT, SizeRule::InputAtLeast, 4, InfoRule::Zero, 0},
    {IOCTL_ASIO_SET_IO_FORMAT, SizeRule::InputAtLeast, 4, InfoRule::Zero, 0},
    {IOCTL_ASIO_GET_IO_FORMAT, SizeRule::OutputAtLeast, 4, InfoRule::Fixed4, 0},
};

const AsioRequest* FindRequest(ULONG ulCode)
{
    for (const AsioRequest& r : AsioRequests) {
        if (r.Code == ulCode) {
            return &r;
        }
    }
    return nullptr;
}

// The event handle a request carries: 4 bytes from a 32-bit process, 8 otherwise.
bool ReadHandle(PIRP pIrp, PVOID pBuffer, ULONG ulInput, HANDLE* phEvent)
{
    if (IoIs32bitProcess(pIrp)) {
        if (ulInput != sizeof(ULONG)) {
            return false;
        }
        ULONG ulValue = 0;
        std::memcpy(&ulValue, pBuffer, sizeof ulValue);
        *phEvent = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(ulValue));
        return true;
    }
    if (ulInput != sizeof(HANDLE)) {
        return false;
    }
    std::memcpy(phEvent, pBuffer, sizeof(HANDLE));
    return true;
}

// What a request that breaks its size rule completes with: an input it cannot use is a bad
// argument, an output too small for the reply a short buffer.
NTSTATUS RuleFailure(const AsioRequest& r)
{
    return r.Rule == SizeRule::OutputAtLeast ? STATUS_BUFFER_TOO_SMALL : STATUS_INVALID_PARAMETER;
}

bool RuleMet(const AsioRequest& r, PIRP pIrp, PVOID pBuffer, ULONG ulInput, ULONG ulOutput, HANDLE* phEvent)
{
    switch (r.Rule) {
    case SizeRule::None:
        return true;
    case SizeRule::InputAtLeast:
        return pBuffer != nullptr && ulInput >= r.Bytes;
    case SizeRule::OutputAtLeast:
        return pBuffer != nullptr && ulOutput >= r.Bytes;
    case SizeRule::InputEmpty:
        return pBuffer == nullptr || ulInput == 0;
    case SizeRule::EventHandle:
        return pBuffer != nullptr && ReadHandle(pIrp, pBuffer, ulInput, phEvent);
    case SizeRule::InputNotEmpty:
        return pBuffer != nullptr && ulInput != 0;
    }
    return false;
}

LONG ReadLong(PVOID pBuffer)
{
    LONG lValue = 0;
    std::memcpy(&lValue, pBuffer, sizeof lValue);
    return lValue;
}

// A 32-bit client receives 4-byte addresses: the operation writes 8-byte ones into a buffer of
// twice the output length, which are narrowed into the client's buffer.
NTSTATUS CreateBuffersFor32Bit(IAsioDevice* pAsio, PFILE_OBJECT pFile, PVOID pBuffer, ULONG ulOutput,
                               PULONG pulOut)
{
    const ULONG ulWide = ulOutput * 2;
    auto* pWide = static_cast<PUCHAR>(ExAllocatePoolWithTag(PagedPool, ulWide != 0 ? ulWide : 1, ASIO_WIDEN_TAG));
    if (pWide == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pWide, 0, ulWide != 0 ? ulWide : 1);
    ULONG ulLength = ulWide;
    const NTSTATUS status = pAsio->AsioCreateBuffers(pFile, pBuffer, pWide, &ulLength);
    if (NT_SUCCESS(status)) {
        const ULONG ulEntries = (ulLength < ulWide ? ulLength : ulWide) / sizeof(ULONG64);
        for (ULONG i = 0; i < ulEntries; ++i) {
            ULONG64 ullEntry = 0;
            std::memcpy(&ullEntry, pWide + i * sizeof(ULONG64), sizeof ullEntry);
            const ULONG ulEntry = static_cast<ULONG>(ullEntry);
            std::memcpy(static_cast<PUCHAR>(pBuffer) + i * sizeof(ULONG), &ulEntry, sizeof ulEntry);
        }
        *pulOut = ulLength / 2;
    }
    ExFreePoolWithTag(pWide, ASIO_WIDEN_TAG);
    return status;
}

}  // namespace

NTSTATUS AsioDispatchControl(IAsioDevice* pAsio, PIRP pIrp)
{
    PIO_STACK_LOCATION pStack = IoGetCurrentIrpStackLocation(pIrp);
    const ULONG ulCode = pStack->Parameters.DeviceIoControl.IoControlCode;
    const ULONG ulInput = pStack->Parameters.DeviceIoControl.InputBufferLength;
    const ULONG ulOutput = pStack->Parameters.DeviceIoControl.OutputBufferLength;
    PVOID pBuffer = pIrp->AssociatedIrp.SystemBuffer;
    PFILE_OBJECT pFile = pStack->FileObject;

    const AsioRequest* pRequest = FindRequest(ulCode);
    if (pRequest == nullptr) {
        return STATUS_NOT_SUPPORTED;
    }
    // The busy flag answers the size question itself.
    if (ulCode == IOCTL_ASIO_GET_BUSY && ulOutput < sizeof(ULONG)) {
        if (ulOutput == 0) {
            pIrp->IoStatus.Information = sizeof(ULONG);
            return STATUS_BUFFER_OVERFLOW;
        }
        return STATUS_BUFFER_TOO_SMALL;
    }
    HANDLE hEvent = nullptr;
    if (ulCode == IOCTL_ASIO_GET_BUSY && pBuffer == nullptr) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (!RuleMet(*pRequest, pIrp, pBuffer, ulInput, ulOutput, &hEvent)) {
        // The operation is not called.
        return RuleFailure(*pRequest);
    }

    NTSTATUS status = STATUS_SUCCESS;
    ULONG ulOut = ulOutput;
    InfoRule info = pRequest->Info;
    ULONG ulReply = pRequest->Reply;
    switch (ulCode) {
    case IOCTL_ASIO_GET_DRIVER_NAME:
        status = pAsio->AsioGetDriverName(pFile, pBuffer, &ulOut);
        break;
    case IOCTL_ASIO_GET_CHANNELS:
        status = pAsio->AsioGetChannels(pFile, pBuffer, ulOutput);
        break;
    case IOCTL_ASIO_GET_CHANNEL_INFO:
        status = pAsio->AsioGetChannelInfo(pFile, pBuffer, ulOutput);
        break;
    case IOCTL_ASIO_GET_SAMPLE_TYPES:
        status = pAsio->AsioGetSampleTypes(pFile, pBuffer, &ulOut);
        break;
    case IOCTL_ASIO_GET_LATENCY_TABLE:
        status = pAsio->AsioGetLatencyTable(pFile, pBuffer, &ulOut);
        break;
    case IOCTL_ASIO_SET_EVENT:
        status = pAsio->AsioSetEvent(pFile, hEvent);
        break;
    case IOCTL_ASIO_GET_BUSY:
        status = pAsio->AsioGetBusy(pFile, pBuffer);
        break;
    case IOCTL_ASIO_SET_SAMPLE_TYPE:
        status = pAsio->AsioSetSampleType(pFile, ReadLong(pBuffer));
        break;
    case IOCTL_ASIO_SET_LATENCY:
        status = pAsio->AsioSetLatency(pFile, ReadLong(pBuffer));
        // With room for the reply it answers as the latency enquiry does; a refused index is not
        // covered up by that answer.
        if (NT_SUCCESS(status) && ulOutput >= 8) {
            status = pAsio->AsioGetLatencies(pFile, pBuffer);
            info = InfoRule::Given;
            ulReply = 8;
        }
        break;
    case IOCTL_ASIO_GET_LATENCIES:
        status = pAsio->AsioGetLatencies(pFile, pBuffer);
        break;
    case IOCTL_ASIO_GET_SAMPLE_RATE:
        status = pAsio->AsioGetSampleRate(pFile, pBuffer);
        break;
    case IOCTL_ASIO_CAN_SAMPLE_RATE:
        status = pAsio->AsioCanSampleRate(pFile, pBuffer);
        break;
    case IOCTL_ASIO_SET_SAMPLE_RATE:
        status = pAsio->AsioSetSampleRate(pFile, pBuffer);
        break;
    case IOCTL_ASIO_GET_BUFFER_SIZE:
        status = pAsio->AsioGetBufferSize(pFile, pBuffer);
        break;
    case IOCTL_ASIO_CREATE_BUFFERS:
        // The request's entries must lie within its input: 12 bytes, then 8 per entry.
        if (ulInput < ASIO_CREATE_REQUEST_HEADER ||
            ULONG64{ASIO_CREATE_REQUEST_HEADER} + ULONG64{8} * static_cast<ULONG>(ReadLong(static_cast<PUCHAR>(pBuffer) + 4)) >
                ulInput) {
            return STATUS_INVALID_PARAMETER;
        }
        if (IoIs32bitProcess(pIrp)) {
            status = CreateBuffersFor32Bit(pAsio, pFile, pBuffer, ulOutput, &ulOut);
        } else {
            status = pAsio->AsioCreateBuffers(pFile, pBuffer, pBuffer, &ulOut);
        }
        break;
    case IOCTL_ASIO_DISPOSE_BUFFERS:
        status = pAsio->AsioDisposeBuffers(pFile);
        break;
    case IOCTL_ASIO_START:
        status = pAsio->AsioStart(pFile, hEvent);
        break;
    case IOCTL_ASIO_STOP:
        status = pAsio->AsioStop(pFile, pIrp);
        break;
    case IOCTL_ASIO_RELEASE_EVENT:
        status = pAsio->AsioReleaseEvent(pFile);
        break;
    case IOCTL_ASIO_CAN_IO_FORMAT:
        // A supported format is also selected.
        status = pAsio->AsioCanIoFormat(pFile, pBuffer);
        if (NT_SUCCESS(status)) {
            status = pAsio->AsioSetIoFormat(pFile, pBuffer);
        }
        break;
    case IOCTL_ASIO_SET_IO_FORMAT:
        status = pAsio->AsioSetIoFormat(pFile, pBuffer);
        break;
    case IOCTL_ASIO_GET_IO_FORMAT:
        status = pAsio->AsioGetIoFormat(pFile, pBuffer);
        break;
    default:
        return STATUS_NOT_SUPPORTED;
    }
    if (status == STATUS_PENDING || !(NT_SUCCESS(status) || status == STATUS_BUFFER_OVERFLOW)) {
        return status;
    }
    switch (info) {
    case InfoRule::Zero:
        pIrp->IoStatus.Information = 0;
        break;
    case InfoRule::Out:
        pIrp->IoStatus.Information = ulOut;
        break;
    case InfoRule::Given:
        pIrp->IoStatus.Information = ulOutput;
        break;
    case InfoRule::Fixed4:
        pIrp->IoStatus.Information = sizeof(ULONG);
        break;
    }
    // Never more than the operation wrote: the rest of the system buffer is not the reply.
    if (ulReply != 0 && pIrp->IoStatus.Information > ulReply) {
        pIrp->IoStatus.Information = ulReply;
    }
    return status;
}

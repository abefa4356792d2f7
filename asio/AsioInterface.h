// The private ASIO interface of the device object: the operations behind the create, close and
// device-control requests that a user-mode ASIO client sends on "\QVASIOPrivateInterface", and
// the dispatch that turns a device-control request into one of them.
#pragma once

#include "platform/io/Io.h"
#include "platform/portcls/Unknown.h"

KVX_DEFINE_GUID(AsioPrivateIid, "{DB4D55AC-CB0E-4611-8CEB-16E32336876D}");

// The private device-control codes: FILE_DEVICE_SOUND, METHOD_BUFFERED, functions 0x800 to 0x816.
constexpr ULONG ASIO_CONTROL_FUNCTION_FIRST = 0x800;
constexpr ULONG ASIO_CONTROL_FUNCTION_LAST = 0x816;
constexpr ULONG IOCTL_ASIO_GET_DRIVER_NAME = 0x1D6000;
constexpr ULONG IOCTL_ASIO_GET_CHANNELS = 0x1D6004;
constexpr ULONG IOCTL_ASIO_GET_CHANNEL_INFO = 0x1DE008;
constexpr ULONG IOCTL_ASIO_GET_SAMPLE_TYPES = 0x1D600C;
constexpr ULONG IOCTL_ASIO_GET_LATENCY_TABLE = 0x1D6010;
constexpr ULONG IOCTL_ASIO_SET_EVENT = 0x1DA014;
constexpr ULONG IOCTL_ASIO_GET_BUSY = 0x1D6018;
constexpr ULONG IOCTL_ASIO_SET_SAMPLE_TYPE = 0x1DA01C;
constexpr ULONG IOCTL_ASIO_SET_LATENCY = 0x1DA020;
constexpr ULONG IOCTL_ASIO_GET_LATENCIES = 0x1D6024;
constexpr ULONG IOCTL_ASIO_GET_SAMPLE_RATE = 0x1D6028;
constexpr ULONG IOCTL_ASIO_CAN_SAMPLE_RATE = 0x1DA02C;
constexpr ULONG IOCTL_ASIO_SET_SAMPLE_RATE = 0x1DA030;
constexpr ULONG IOCTL_ASIO_GET_BUFFER_SIZE = 0x1D6034;
constexpr ULONG IOCTL_ASIO_CREATE_BUFFERS = 0x1DE038;
constexpr ULONG IOCTL_ASIO_DISPOSE_BUFFERS = 0x1DA03C;
constexpr ULONG IOCTL_ASIO_START = 0x1DA040;
constexpr ULONG IOCTL_ASIO_STOP = 0x1DA044;
constexpr ULONG IOCTL_ASIO_RELEASE_EVENT = 0x1DA04C;
constexpr ULONG IOCTL_ASIO_CAN_IO_FORMAT = 0x1DA050;
constexpr ULONG IOCTL_ASIO_SET_IO_FORMAT = 0x1DA054;
constexpr ULONG IOCTL_ASIO_GET_IO_FORMAT = 0x1D6058;

// Every operation takes the file object of the request first; the order of the operations is
// the interface's slot order.
class IAsioDevice : public IUnknown {
public:
    virtual NTSTATUS AsioOpenClient(PFILE_OBJECT pFileObject) = 0;
    virtual NTSTATUS AsioReserved(PFILE_OBJECT pFileObject) = 0;
    virtual NTSTATUS AsioCloseClient(PFILE_OBJECT pFileObject) = 0;
    virtual NTSTATUS AsioGetDriverName(PFILE_OBJECT pFileObject, PVOID pBuffer, PULONG pulLength) = 0;
    virtual NTSTATUS AsioGetChannels(PFILE_OBJECT pFileObject, PVOID pBuffer, ULONG ulLength) = 0;
    virtual NTSTATUS AsioGetChannelInfo(PFILE_OBJECT pFileObject, PVOID pBuffer, ULONG ulLength) = 0;
    virtual NTSTATUS AsioSetEvent(PFILE_OBJECT pFileObject, HANDLE hEvent) = 0;
    virtual NTSTATUS AsioReleaseEvent(PFILE_OBJECT pFileObject) = 0;
    virtual NTSTATUS AsioGetBusy(PFILE_OBJECT pFileObject, PVOID pBuffer) = 0;
    virtual NTSTATUS AsioGetSampleTypes(PFILE_OBJECT pFileObject, PVOID pBuffer, PULONG pulLength) = 0;
    virtual NTSTATUS AsioGetLatencyTable(PFILE_OBJECT pFileObject, PVOID pBuffer, PULONG pulLength) = 0;
    virtual NTSTATUS AsioSetSampleType(PFILE_OBJECT pFileObject, LONG lValue) = 0;
    virtual NTSTATUS AsioSetLatency(PFILE_OBJECT pFileObject, LONG lValue) = 0;
    virtual NTSTATUS AsioGetLatencies(PFILE_OBJECT pFileObject, PVOID pBuffer) = 0;
    virtual NTSTATUS AsioGetSampleRate(PFILE_OBJECT pFileObject, PVOID pBuffer) = 0;
    virtual NTSTATUS AsioCanSampleRate(PFILE_OBJECT pFileObject, PVOID pBuffer) = 0;
    virtual NTSTATUS AsioSetSampleRate(PFILE_OBJECT pFileObject, PVOID pBuffer) = 0;
    virtual NTSTATUS AsioGetBufferSize(PFILE_OBJECT pFileObject, PVOID pBuffer) = 0;
    virtual NTSTATUS AsioCreateBuffers(PFILE_OBJECT pFileObject, PVOID pRequest, PVOID pOutput,
                                       PULONG pulLength) = 0;
    virtual NTSTATUS AsioDisposeBuffers(PFILE_OBJECT pFileObject) = 0;
    virtual NTSTATUS AsioStart(PFILE_OBJECT pFileObject, HANDLE hEvent) = 0;
    virtual NTSTATUS AsioStop(PFILE_OBJECT pFileObject, PIRP pIrp) = 0;
    virtual NTSTATUS AsioCanIoFormat(PFILE_OBJECT pFileObject, PVOID pBuffer) = 0;
    virtual NTSTATUS AsioSetIoFormat(PFILE_OBJECT pFileObject, PVOID pBuffer) = 0;
    virtual NTSTATUS AsioGetIoFormat(PFILE_OBJECT pFileObject, PVOID pBuffer) = 0;

protected:
    ~IAsioDevice() = default;
};

// Calls the operation a device-control request names, applying the request's size rule, and sets
// the IRP's Information. Returns the status to complete the request with (STATUS_PENDING: the
// operation keeps the request); STATUS_NOT_SUPPORTED for a code outside the protocol. A request
// whose buffers break its size rule is refused without calling the operation: 0xC000000D for an
// input rule, 0xC0000023 for an output rule, Information 0.
NTSTATUS AsioDispatchControl(IAsioDevice* pAsio, PIRP pIrp);

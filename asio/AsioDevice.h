// The device object's side of the private ASIO interface: one client record per open handle, the
// device-wide ASIO settings, the shared buffers of the owning client with their rings, and the
// streams it runs on the endpoints as a client of kind 5. The device object derives from it and
// supplies the few things of its own it needs (endpoints, USB requests, power state).
#pragma once

#include "adapter/AudioHal.h"
#include "adapter/LockObject.h"
#include "adapter/StreamEngine.h"
#include "adapter/UsbDevice.h"
#include "asio/AsioInterface.h"
#include "stream/UsbStreamEndpoint.h"
#include "platform/io/Io.h"
#include "platform/nt/Dispatcher.h"
#include "platform/nt/List.h"
#include "platform/nt/Sync.h"

constexpr ULONG ASIO_CLIENT_TAG = MakePoolTag("USBd");
constexpr ULONG ASIO_NAME_TAG = MakePoolTag("USBd");

// ASIO sample types by their published codes.
constexpr LONG ASIO_ST_INT16_LSB = 16;
constexpr LONG ASIO_ST_INT24_LSB = 17;
constexpr LONG ASIO_ST_INT32_LSB = 18;
constexpr LONG ASIO_ST_INT32_LSB16 = 24;
constexpr LONG ASIO_ST_INT32_LSB18 = 25;
constexpr LONG ASIO_ST_INT32_LSB20 = 26;
constexpr LONG ASIO_ST_INT32_LSB24 = 27;
constexpr LONG ASIO_ST_DSD_INT8_MSB1 = 33;

// I/O formats.
constexpr LONG ASIO_IO_FORMAT_PCM = 0;
constexpr LONG ASIO_IO_FORMAT_DSD = 1;
// From this rate on a rate is a one-bit (DSD) rate.
constexpr ULONG ASIO_DSD_RATE_FIRST = 2822400;
// The lowest rates the transfer arithmetic divides by.
constexpr ULONG ASIO_PCM_RATE_MIN = 1000;
constexpr ULONG ASIO_DSD_RATE_MIN = 64000;

constexpr ULONG ASIO_LATENCY_COUNT = 8;
extern const LONG LatencyTable[ASIO_LATENCY_COUNT];

// Bytes of the header in front of every shared ring.
constexpr ULONG ASIO_BUFFER_HEADER_BYTES = 40;
// Silence of a ring: 0 for PCM, 0x96 for DSD; fresh DSD rings hold 0x69.
constexpr UCHAR ASIO_DSD_SILENCE = 0x96;
constexpr UCHAR ASIO_DSD_FILL = 0x69;

// True for the sample types the buffer arithmetic knows.
bool AsioIsKnownSampleType(LONG lType);
// Bytes of one sample of a known PCM type (0 for any other).
ULONG AsioBytesPerSample(LONG lType);

// One per open handle.
struct AsioClient {
    LIST_ENTRY Links;
    PFILE_OBJECT FileObject;
    PKEVENT NotificationEvent;
    PKEVENT BufferSwitchEvent;
    LONG SampleType;
    LONG LatencyIndex;
    LONG SampleRate;
    LONG IoFormat;
    LONG Started;
};

// What the client sees at the start of each shared buffer. The kernel writes it and never reads
// it back: the ring works from the copies in AsioEndpointRecord.
struct AsioBufferHeader {
    ULONG Enable;
    ULONG Direction;
    ULONG Channels;
    ULONG FirstChannel;
    ULONG Size;
    ULONG RingPosition;
    ULONG InitialPosition;
    ULONG QueuedBytes;
    ULONG SignalFlag;
    ULONG CompletedCount;
};
static_assert(sizeof(AsioBufferHeader) == ASIO_BUFFER_HEADER_BYTES, "the header is 40 bytes");

// One per endpoint of the device, by endpoint index.
struct AsioEndpointRecord {
    AsioBufferHeader* Buffer;  // kernel address of the header, null when there is no buffer
    PVOID ClientAddress;       // the buffer's address in the client's process
    PMDL Mdl;                  // the pages of the buffer
    EndpointClient* Client;    // the endpoint's ASIO client while registered
    // The kernel's own copies of what the header publishes.
    ULONG Enable;
    ULONG Direction;
    ULONG Channels;
    ULONG FirstChannel;
    ULONG Size;
    ULONG RingPosition;
    ULONG Signal;
    ULONG CompletedCount;
};

// The transfer shape of a buffer period: ms per transfer, the ladder's count and the queue.
struct AsioTransferShape {
    ULONG MsPerTransfer;
    ULONG Count;
    ULONG Queued;
};
// The ladder from the period in ms (at least 2).
AsioTransferShape AsioLadder(ULONG ulPeriodMs);

class AsioDevice : public IAsioDevice {
public:
    // IAsioDevice (PASSIVE_LEVEL, each under AsioLock).
    NTSTATUS AsioOpenClient(PFILE_OBJECT pFileObject) override;
    NTSTATUS AsioReserved(PFILE_OBJECT pFileObject) override;
    NTSTATUS AsioCloseClient(PFILE_OBJECT pFileObject) override;
    NTSTATUS AsioGetDriverName(PFILE_OBJECT pFileObject, PVOID pBuffer, PULONG pulLength) override;
    NTSTATUS AsioGetChannels(PFILE_OBJECT pFileObject, PVOID pBuffer, ULONG ulLength) override;
    NTSTATUS AsioGetChannelInfo(PFILE_OBJECT pFileObject, PVOID pBuffer, ULONG ulLength) override;
    NTSTATUS AsioSetEvent(PFILE_OBJECT pFileObject, HANDLE hEvent) override;
    NTSTATUS AsioReleaseEvent(PFILE_OBJECT pFileObject) override;
    NTSTATUS AsioGetBusy(PFILE_OBJECT pFileObject, PVOID pBuffer) override;
    NTSTATUS AsioGetSampleTypes(PFILE_OBJECT pFileObject, PVOID pBuffer, PULONG pulLength) override;
    NTSTATUS AsioGetLatencyTable(PFILE_OBJECT pFileObject, PVOID pBuffer, PULONG pulLength) override;
    NTSTATUS AsioSetSampleType(PFILE_OBJECT pFileObject, LONG lValue) override;
    NTSTATUS AsioSetLatency(PFILE_OBJECT pFileObject, LONG lValue) override;
    NTSTATUS AsioGetLatencies(PFILE_OBJECT pFileObject, PVOID pBuffer) override;
    NTSTATUS AsioGetSampleRate(PFILE_OBJECT pFileObject, PVOID pBuffer) override;
    NTSTATUS AsioCanSampleRate(PFILE_OBJECT pFileObject, PVOID pBuffer) override;
    NTSTATUS AsioSetSampleRate(PFILE_OBJECT pFileObject, PVOID pBuffer) override;
    NTSTATUS AsioGetBufferSize(PFILE_OBJECT pFileObject, PVOID pBuffer) override;
    NTSTATUS AsioCreateBuffers(PFILE_OBJECT pFileObject, PVOID pRequest, PVOID pOutput, PULONG pulLength) override;
    NTSTATUS AsioDisposeBuffers(PFILE_OBJECT pFileObject) override;
    NTSTATUS AsioStart(PFILE_OBJECT pFileObject, HANDLE hEvent) override;
    NTSTATUS AsioStop(PFILE_OBJECT pFileObject, PIRP pIrp) override;
    NTSTATUS AsioCanIoFormat(PFILE_OBJECT pFileObject, PVOID pBuffer) override;
    NTSTATUS AsioSetIoFormat(PFILE_OBJECT pFileObject, PVOID pBuffer) override;
    NTSTATUS AsioGetIoFormat(PFILE_OBJECT pFileObject, PVOID pBuffer) override;

    // The endpoints' transport callback (DISPATCH_LEVEL): `pContext` is the device.
    static VOID AsioTransportCallback(PVOID pContext, PVOID pArgument1, PVOID pArgument2);

    // State, for the device's users and tests.
    ULONG AsioDefaultSampleType() const { return m_ulAsioDefaultSampleType; }
    ULONG AsioSampleType() const { return m_ulAsioSampleType; }
    ULONG AsioLatencyIndex() const { return m_ulAsioLatencyIndex; }
    ULONG AsioSampleRate() const { return m_ulAsioSampleRate; }
    BOOLEAN AsioRunning() const { return __atomic_load_n(&m_bAsioRunning, __ATOMIC_SEQ_CST); }
    BOOLEAN AsioSuspended() const { return __atomic_load_n(&m_bAsioSuspended, __ATOMIC_SEQ_CST); }
    BOOLEAN AsioStopPending() const { return __atomic_load_n(&m_pAsioPendingStop, __ATOMIC_SEQ_CST) != nullptr; }
    ULONG AsioClientCount();
    // A copy of an endpoint's record (false past the records).
    bool AsioRecord(ULONG ulIndex, AsioEndpointRecord* pRecord);

protected:
    AsioDevice();
    ~AsioDevice();

    // What the device supplies.
    virtual IAudioHal* AsioHal() = 0;
    virtual IUsbDevice* AsioUsb() = 0;
    virtual PDEVICE_OBJECT AsioFunctionalDevice() = 0;
    virtual BOOLEAN AsioDeviceInD0() = 0;
    virtual UCHAR AsioProductStringIndex() = 0;
    virtual USHORT AsioVendorId() = 0;
    virtual USHORT AsioProductId() = 0;

    // Configuration: the zeroed record array for `ulCount` endpoints (STATUS_INSUFFICIENT_RESOURCES),
    // and the stored settings checked: an index past the table, a sample type the buffers do not
    // know or a rate too low to stream keep their defaults.
    NTSTATUS AsioAllocateRecords(ULONG ulCount);
    VOID AsioCheckSettings();
    // Teardown, before the function and its endpoints go: every client, buffer, event and record.
    VOID AsioTeardown();

    // Power hooks, called by the device's power-state change with AsioLock held.
    VOID AsioLeavingD0();
    VOID AsioEnteredD0();
    // After entering D0, AsioLock released: the stop that waited for D0 runs and completes.
    VOID AsioRunPendingStop();
    // Surprise removal and removal: a waiting stop runs now and completes, so that its client can
    // close.
    VOID AsioFlushPendingStop();

    LockObject m_AsioLock;
    AsioEndpointRecord* m_pAsioEndpoints;
    ULONG m_ulAsioEndpointCount;
    ULONG m_ulAsioDefaultSampleType;
    ULONG m_ulAsioSampleType;
    ULONG m_ulAsioLatencyIndex;
    ULONG m_ulAsioSampleRate;

private:
    AsioClient* AsioFindClient(PFILE_OBJECT pFileObject);
    VOID AsioSignalClients();
    // The I/O format of the client agrees with the rate.
    static bool AsioRateFitsIoFormat(LONG lIoFormat, ULONG ulRate);

    // Endpoint queries over one endpoint's format list.
    static ULONG AsioPcmChannels(StreamEngine* pEndpoint);
    static ULONG AsioDsdChannels(StreamEngine* pEndpoint);
    static ULONG AsioChannels(StreamEngine* pEndpoint, LONG lIoFormat);
    static bool AsioSupportsIoFormat(StreamEngine* pEndpoint, LONG lIoFormat);
    static bool AsioSupportsRate(StreamEngine* pEndpoint, LONG lIoFormat, ULONG ulRate);
    static ULONG AsioEndpointSampleTypes(StreamEngine* pEndpoint, bool* pbFlags);
    // Whether endpoint i is an ASIO endpoint.
    bool AsioIsAsioEndpoint(ULONG ulIndex);
    // Every ASIO endpoint passes `test`: 0; 0xC0000001 at the first that fails; 0xC000000D without one.
    template <typename Test> NTSTATUS AsioEveryEndpoint(Test test);

    // Buffers and streams (AsioBuffers.cpp).
    NTSTATUS AsioSelectFormat(ULONG ulIndex, WaveFormatRecord* pFormat);
    NTSTATUS AsioRegisterClients();
    NTSTATUS AsioUnregisterClients();
    // Calls `visit` (record, transport) for each record with an enabled buffer and an endpoint
    // client; a failing lookup ends the walk. The last lookup's status, 0xC000000D without one.
    template <typename Visit> NTSTATUS AsioForEachClient(Visit visit);
    NTSTATUS AsioStartStreams();
    NTSTATUS AsioStopStreams();
    VOID ResetAsioRings(PKEVENT pEvent);
    VOID AsioFreeBuffers();
    VOID AsioSendQuirkRequest(USHORT wValue);
    // The owner's buffer-switch event, taken away under PinRingLock (the caller releases it).
    PKEVENT AsioTakeBufferSwitchEvent();
    // Stop of a client in D0 (or of the waiting stop at removal).
    NTSTATUS AsioStopOwner(AsioClient* pClient);
    // The transfer shape of the current buffer frames and the owner's rate.
    bool AsioShape(AsioTransferShape* pShape, ULONG* pulPerMs);
    static VOID AsioCancelStop(PDEVICE_OBJECT pDeviceObject, PIRP pIrp);
    // Takes the waiting stop off its cancel routine; null when there is none or it is being cancelled.
    PIRP AsioTakePendingStop();

    // Ring callbacks (AsioRings.cpp), DISPATCH_LEVEL.
    VOID AsioDispatchTransport(const TransportMessage* pMessage);
    VOID AsioFillFromRing(AsioEndpointRecord* pRecord, PUCHAR pBuffer, ULONG ulBytes);
    VOID AsioStoreToRing(AsioEndpointRecord* pRecord, const UCHAR* pBuffer, ULONG ulBytes);
    VOID AsioOnTransferDone(AsioEndpointRecord* pRecord);

    LIST_ENTRY m_AsioClients;
    AsioClient* m_pAsioOwner;
    ULONG m_ulAsioOwnerActive;
    ULONG m_ulAsioBufferEndpoints;  // endpoint count when the buffers were created
    ULONG m_ulAsioBufferFrames;
    // The owner's sample type and I/O format when the buffers were made: the buffers, their
    // format and their rings keep them until disposed, whatever the owner sets meanwhile.
    LONG m_lAsioBufferSampleType;
    LONG m_lAsioBufferIoFormat;
    UCHAR m_bAsioRunning;
    UCHAR m_bAsioSuspended;
    // The stop waiting for D0, under m_AsioStopLock (with its cancel routine).
    PIRP m_pAsioPendingStop;
    KSPIN_LOCK m_AsioStopLock;
    KSPIN_LOCK m_PinRingLock;
};

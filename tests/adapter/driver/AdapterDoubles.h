// Test-only: a device object for the adapter's start and removal. StartDevice creates it in place
// of the USB audio device; its endpoints, capabilities and failures follow a script, and it
// records what the adapter asks of it (with the state of the private interfaces at that moment).
#pragma once

#include <string>
#include <vector>

#include "asio/AsioInterface.h"
#include "adapter/AudioHal.h"
#include "adapter/StreamEngine.h"

namespace kvxtest {

struct TestEndpointShape {
    bool Capture = false;
    ULONG Kind = ENDPOINT_KIND_HEADPHONES;
    bool Asio = false;
    bool Pcm = true;                   // false: only IEEE-float formats
    bool StreamingTerminal = true;     // false: no terminal of kind 0 anywhere on its path
    NTSTATUS UnregisterStatus = STATUS_SUCCESS;
};

struct TestDeviceScript {
    std::vector<TestEndpointShape> Endpoints;
    NTSTATUS InitStatus = STATUS_SUCCESS;
    NTSTATUS AsioStatus = STATUS_SUCCESS;  // what the ASIO operations answer
};

TestDeviceScript& DeviceScript();
// What happened, in order: "Init", "Start", "Stop enum=1 asio=0", "Unregister 0", "OnPnp 23",
// "AsioOpen", "AsioClose", "AsioBusy", "Destroyed".
std::vector<std::string>& DeviceEvents();
void ResetTestDevice();
// The factory StartDevice uses while a test installs it (AdapterSetDeviceFactory).
NTSTATUS CreateTestDevice(PUNKNOWN* ppDevice);

// A format record of the given shape.
WaveFormatRecord TestFormat(USHORT channels, ULONG rate, USHORT bits, const GUID& subFormat);

// Every ASIO operation refuses (the reserved slot with 0xC0000001): the doubles override the few
// that a test follows.
class AsioRefusingDevice : public IAsioDevice {
public:
    NTSTATUS AsioOpenClient(PFILE_OBJECT) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioReserved(PFILE_OBJECT) override { return STATUS_UNSUCCESSFUL; }
    NTSTATUS AsioCloseClient(PFILE_OBJECT) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioGetDriverName(PFILE_OBJECT, PVOID, PULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioGetChannels(PFILE_OBJECT, PVOID, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioGetChannelInfo(PFILE_OBJECT, PVOID, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioSetEvent(PFILE_OBJECT, HANDLE) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioReleaseEvent(PFILE_OBJECT) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioGetBusy(PFILE_OBJECT, PVOID) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioGetSampleTypes(PFILE_OBJECT, PVOID, PULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioGetLatencyTable(PFILE_OBJECT, PVOID, PULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioSetSampleType(PFILE_OBJECT, LONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioSetLatency(PFILE_OBJECT, LONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioGetLatencies(PFILE_OBJECT, PVOID) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioGetSampleRate(PFILE_OBJECT, PVOID) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioCanSampleRate(PFILE_OBJECT, PVOID) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioSetSampleRate(PFILE_OBJECT, PVOID) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioGetBufferSize(PFILE_OBJECT, PVOID) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioCreateBuffers(PFILE_OBJECT, PVOID, PVOID, PULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioDisposeBuffers(PFILE_OBJECT) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioStart(PFILE_OBJECT, HANDLE) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioStop(PFILE_OBJECT, PIRP) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioCanIoFormat(PFILE_OBJECT, PVOID) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioSetIoFormat(PFILE_OBJECT, PVOID) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS AsioGetIoFormat(PFILE_OBJECT, PVOID) override { return STATUS_NOT_IMPLEMENTED; }

protected:
    ~AsioRefusingDevice() = default;
};

class TestDevice : public AudioHal, public AsioRefusingDevice {
public:
    DECLARE_UNKNOWN_BASE()

    TestDevice() : AudioHal(nullptr) {}
    ~TestDevice() override;

    NTSTATUS Init(PRESOURCELIST pResourceList, PDEVICE_OBJECT pFunctionalDevice, PDEVICE_OBJECT pLowerDevice,
                  PDEVICE_OBJECT pPhysicalDevice) override;
    NTSTATUS Configure() override;
    NTSTATUS Start() override;
    NTSTATUS Stop() override;
    NTSTATUS OnPnpIrp(PIRP pIrp) override;
    NTSTATUS GetEndpointCapabilities(ULONG ulIndex, AudioCapabilities* pCapabilities) override;

    NTSTATUS AsioOpenClient(PFILE_OBJECT pFileObject) override;
    NTSTATUS AsioCloseClient(PFILE_OBJECT pFileObject) override;
    NTSTATUS AsioGetBusy(PFILE_OBJECT pFileObject, PVOID pBuffer) override;

private:
    NTSTATUS AddTestEndpoint(ULONG ulIndex, const TestEndpointShape& shape);
    TopologyNode* AddTerminal(StreamEngine* pEndpoint, LONG lType, ULONG ulKind);
    std::string InterfaceState();
    ULONG m_ulNextId = 1;
};

// An endpoint whose wave-filter removal is recorded and may fail.
class TestEndpoint : public StreamEngine {
public:
    TestEndpoint(ULONG ulIndex, NTSTATUS unregisterStatus)
        : StreamEngine(nullptr, ulIndex), m_ulIndex(ulIndex), m_UnregisterStatus(unregisterStatus)
    {
    }
    NTSTATUS UnregisterWave(PDEVICE_OBJECT pFunctionalDevice, PIRP pIrp, PUNKNOWN pAdapter) override;

private:
    ULONG m_ulIndex;
    NTSTATUS m_UnregisterStatus;
};

}  // namespace kvxtest

// Test-only: a small adapter driver for exercising PortCls and the host before the product's
// driver entry exists. It installs a topology filter and a wave filter wired by one physical
// connection, registers adapter power management, and records what PortCls asks of it.
#pragma once

#include <string>
#include <vector>

#include "adapter/SubdeviceName.h"
#include "platform/portcls/PortCls.h"

namespace kvxtest {

KVX_DEFINE_GUID(TestPropertySet, "{5E0B9C71-2D44-4C8A-9E3B-7A61C0D2F001}");
KVX_DEFINE_GUID(TestPinPropertySet, "{5E0B9C71-2D44-4C8A-9E3B-7A61C0D2F002}");

// Filter of every test miniport: pin 0 a streaming sink (render), pin 1 a bridge pin;
// node 0 a volume and node 1 a mute, connected pin 0 -> node 0 -> node 1 -> pin 1.
// Filter table: TestPropertySet id 1 (GET and SET), id 2 (GET only, no basic support).
// Pin 1 table: TestPinPropertySet id 1 (GET). Node 0 table: KSPROPSETID_Audio VOLUMELEVEL
// (GET, SET, BASICSUPPORT) and the control-change event. Node 1: KSPROPSETID_Audio MUTE (GET).
struct HandlerLog {
    int Calls = 0;
    ULONG Node = 0;
    ULONG Verb = 0;
    ULONG InstanceSize = 0;
    std::vector<uint8_t> Instance;
    ULONG ValueSize = 0;
    ULONG Id = 0;
    int EventAdds = 0;
    int EventRemoves = 0;
};

// Knobs and records of the test driver (reset by TestAdapterReset).
struct TestAdapterConfig {
    ULONG MaxObjects = 4;
    NTSTATUS TopologyInitStatus = STATUS_SUCCESS;
    std::u16string TopologyName = u"Topo";
    std::u16string WaveName = u"Wave";
    bool InstallWave = true;
    // What StartDevice saw and did.
    NTSTATUS TopologyInstallStatus = STATUS_PENDING;
    NTSTATUS WaveInstallStatus = STATUS_PENDING;
    NTSTATUS ConnectionStatus = STATUS_PENDING;
    int StartCalls = 0;
    // Adapter power management.
    std::vector<DEVICE_POWER_STATE> PowerChanges;
    std::vector<DEVICE_POWER_STATE> MiniportPowerNotifications;
    int CapabilityQueries = 0;
    // The adapter's word on the capabilities: the device state for S3 (unspecified: the bus's),
    // and its answer to a query-power request.
    DEVICE_POWER_STATE SleepDeviceState = PowerDeviceUnspecified;
    NTSTATUS QueryPowerStatus = STATUS_SUCCESS;
};

TestAdapterConfig& TestAdapter();
HandlerLog& TestHandlerLog();
void TestAdapterReset();

NTSTATUS TestAdapterDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);

// A miniport of the test filter, for tests that drive ports themselves: CLSID_PortTopology or
// CLSID_PortWaveCyclic; its Init fails with `initStatus`. One reference for the caller.
PUNKNOWN NewTestMiniport(REFCLSID portClass, const char16_t* name, NTSTATUS initStatus = STATUS_SUCCESS);
// The port a test miniport was initialised with (no reference added), or null.
PUNKNOWN TestMiniportPort(PUNKNOWN miniport);
size_t TestMiniportLiveCount();

}  // namespace kvxtest

// Test and host interface of the port-class stand-in (not part of the kernel API; driver folders
// never include it): the filter graph of each adapter device (subdevices, their device
// interfaces, physical connections), the KS requests the host sends to a filter, and the
// PortCls version the ports report.
#pragma once

#include <string>
#include <vector>

#include "platform/portcls/PortCls.h"

namespace platform {

struct PcSubdeviceInfo {
    std::u16string Name;
    PUNKNOWN Port;      // no reference added
    GUID PortClass;     // CLSID_PortTopology or CLSID_PortWaveCyclic
    std::vector<GUID> Categories;
    std::vector<std::u16string> SymbolicLinks;  // one per category, in the same order
};

struct PcConnectionInfo {
    std::u16string From;  // subdevice names; empty for a port that is not registered
    ULONG FromPin;
    std::u16string To;
    ULONG ToPin;
};

// True for a functional device object made by PcAddAdapterDevice and not yet removed.
bool PcIsAdapterDevice(PDEVICE_OBJECT device);
// In registration order.
std::vector<PcSubdeviceInfo> PcSubdevices(PDEVICE_OBJECT adapterDevice);
std::vector<PcConnectionInfo> PcPhysicalConnections(PDEVICE_OBJECT adapterDevice);
// The descriptor the subdevice's miniport gave its port (null when there is no such subdevice).
const PCFILTER_DESCRIPTOR* PcFilterDescriptor(PDEVICE_OBJECT adapterDevice, std::u16string_view name);
// The maximum number of subdevices given to PcAddAdapterDevice; whether StartDevice succeeded;
// the adapter power management registered (no reference added).
ULONG PcMaxSubdevices(PDEVICE_OBJECT adapterDevice);
bool PcIsStarted(PDEVICE_OBJECT adapterDevice);
PUNKNOWN PcAdapterPowerManagement(PDEVICE_OBJECT adapterDevice);

// The version IPortClsVersion::GetVersion reports (PORTCLS_VERSION_DEFAULT until set).
void PcSetVersion(ULONG version);
ULONG PcGetVersion();

// Ports alive (created by PcNewPort and not yet destroyed), so that a test sees a leaked port.
size_t PcLivePortCount();

// The content forwards made with PcForwardContentToDeviceObject, oldest first; cleared by
// PcContentForwardsClear.
struct PcContentForward {
    ULONG ContentId;
    DRMFORWARD Forward;
};
std::vector<PcContentForward> PcContentForwards();
void PcContentForwardsClear();


// A pin instance of a WaveCyclic filter, as the host's audio engine opens it.
struct PcWavePin;
// Creates an instance of pin `pinId` of the port's filter with the data format in `format`: a
// KSDATAFORMAT whose FormatSize, and its attribute list when the format carries
// KSDATAFORMAT_ATTRIBUTES, lie within the `length` bytes of the request. Within the pin's
// instance limits; the stream comes from the miniport's NewStream.
NTSTATUS PcCreateWavePin(PUNKNOWN port, ULONG pinId, const void* format, ULONG length, PcWavePin** pin);
// KSPROPERTY_CONNECTION_STATE: the stream is walked there one level at a time; a failing step
// leaves the pin at the last level reached.
NTSTATUS PcWavePinSetState(PcWavePin* pin, KSSTATE state);
KSSTATE PcWavePinGetState(const PcWavePin* pin);
PMINIPORTWAVECYCLICSTREAM PcWavePinStream(const PcWavePin* pin);
PDMACHANNEL PcWavePinDmaChannel(const PcWavePin* pin);
// Walks the pin down to STOP and closes it.
VOID PcWavePinClose(PcWavePin* pin);
// Render: queues client bytes. The pin's service (from the port's DPC on each notification)
// copies them into the cyclic buffer up to half a block ahead of the position, and silence where
// the client has none; before RUN the block is silenced and its first half filled.
NTSTATUS PcWavePinWrite(PcWavePin* pin, const void* data, ULONG bytes);
// Capture: takes up to `bytes` of what the pin's service copied out from behind the position.
NTSTATUS PcWavePinRead(PcWavePin* pin, void* data, ULONG bytes, ULONG* read);
// Render: client bytes not yet copied into the cyclic buffer; capture: bytes not yet read.
ULONG PcWavePinQueued(PcWavePin* pin);
// KSPROPERTY_AUDIO_POSITION: running byte offsets since RUN (play: the stream's position;
// write: render, client bytes copied into the cyclic buffer; capture, bytes copied out of it).
NTSTATUS PcWavePinGetPosition(PcWavePin* pin, ULONGLONG* playOffset, ULONGLONG* writeOffset);
// The pin instance behind a pin's file object (made by an IRP_MJ_CREATE relative to a filter's
// file object and not yet closed), else null: for a host that looks past the KS requests, e.g. at
// the size of the cyclic buffer.
PcWavePin* PcWavePinOfFile(PFILE_OBJECT file);
}  // namespace platform

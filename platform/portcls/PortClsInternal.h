// Inside the port-class stand-in: what the adapter device's dispatch needs of a port, and what a
// port needs of its adapter device.
#pragma once

#include <string>

#include "platform/portcls/PortCls.h"

namespace platform {

// The port seen by the adapter device: its filter and the KS requests on it.
class IPcSubdevice : public IUnknown {
public:
    virtual const GUID& PortClass() = 0;
    // Null until Init has succeeded (and again after ReleaseChildren).
    virtual const PCFILTER_DESCRIPTOR* Descriptor() = 0;
    // The miniport the port was initialised with (no reference added); null before Init.
    virtual IMiniport* Miniport() = 0;
    // A KS property request: the KSPROPERTY (or KSNODEPROPERTY) header followed by instance data,
    // and the value buffer whose size becomes the bytes produced.
    virtual NTSTATUS PropertyRequest(const void* input, ULONG inputSize, void* value, ULONG* valueSize, PIRP irp) = 0;
    virtual NTSTATUS EnableEvent(const void* input, ULONG inputSize, PKSEVENTDATA data, ULONG dataSize,
                                 PIRP irp) = 0;
    virtual NTSTATUS DisableEvent(PKSEVENTDATA data, PIRP irp) = 0;
    virtual VOID PowerChangeNotify(POWER_STATE state) = 0;
    // Drops the miniport and every enabled event: ends the port's part of the reference cycle
    // between port and miniport (at unregistration and at removal).
    virtual VOID ReleaseChildren() = 0;

protected:
    ~IPcSubdevice() = default;
};

KVX_DEFINE_GUID(IID_IPcSubdevice, "{6A0C5C33-61F7-4C0C-9C64-1B1D6E0B3A01}");

// The adapter device's side, for ports (implemented with the device).
// A port initialised on the device: the device releases its children at removal.
void PcDeviceNotePort(PDEVICE_OBJECT device, IPcSubdevice* port);
void PcDeviceForgetPort(PDEVICE_OBJECT device, IPcSubdevice* port);
NTSTATUS PcDeviceUnregisterSubdevice(PDEVICE_OBJECT device, PUNKNOWN port);
NTSTATUS PcDeviceUnregisterConnection(PDEVICE_OBJECT device, PUNKNOWN from, ULONG fromPin, PUNKNOWN to, ULONG toPin);

// System power (SystemPower.cpp): a device power request for the stack of `pdo`, waited for; the
// capabilities of the stack below `lower`; the device state the capabilities give a system state.
NTSTATUS PcRequestDevicePower(PDEVICE_OBJECT pdo, UCHAR minorFunction, DEVICE_POWER_STATE state);
NTSTATUS PcQueryLowerCapabilities(PDEVICE_OBJECT lower, DEVICE_CAPABILITIES* capabilities);
DEVICE_POWER_STATE PcDeviceStateFor(const DEVICE_CAPABILITIES* capabilities, SYSTEM_POWER_STATE state);

}  // namespace platform

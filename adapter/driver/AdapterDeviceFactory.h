// Tests and the host only (driver code never includes it): the factory StartDevice creates the
// adapter's device object with. It is the USB audio device unless a test puts a device of its own
// in its place.
#pragma once

#include "platform/portcls/Unknown.h"

// Returns the new device's IUnknown with one reference.
using PFN_CREATE_ADAPTER_DEVICE = NTSTATUS (*)(PUNKNOWN* ppDevice);

// Null restores the USB audio device.
void AdapterSetDeviceFactory(PFN_CREATE_ADAPTER_DEVICE pFactory);

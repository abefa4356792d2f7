// The driver's part of the adapter's device extension: it follows the bytes PortCls keeps for
// itself. AddDevice zeroes it; StartDevice fills the device; removal empties it.
#pragma once

#include "adapter/AudioHal.h"
#include "platform/io/Io.h"
#include "platform/nt/Dispatcher.h"
#include "platform/portcls/PortCls.h"

constexpr ULONG ADAPTER_NAME_COUNTER_COUNT = 22;

struct AdapterExtension {
    IAudioHal* Device;              // one reference from a successful start until removal
    PDEVICE_OBJECT FunctionalDevice;
    PDEVICE_OBJECT LowerDevice;     // one object reference from AddDevice until removal
    PDEVICE_OBJECT PhysicalDevice;
    UCHAR RenderNameCounters[ADAPTER_NAME_COUNTER_COUNT];   // next free number, by EndpointKind
    UCHAR CaptureNameCounters[ADAPTER_NAME_COUNTER_COUNT];
    BOOLEAN AsioInterfaceRegistered;
    UNICODE_STRING AsioSymbolicLink;
    BOOLEAN AsioInterfaceEnabled;
    BOOLEAN EnumInterfaceRegistered;
    UNICODE_STRING EnumSymbolicLink;
    BOOLEAN EnumInterfaceEnabled;
    KMUTEX AdapterMutex;            // taken only by the wave miniport's teardown
};

// The extension size AddDevice asks PortCls for.
constexpr ULONG ADAPTER_DEVICE_EXTENSION_SIZE = PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(AdapterExtension);

// The adapter's extension behind PortCls's part of a functional device's extension.
inline AdapterExtension* GetAdapterExtension(PDEVICE_OBJECT FunctionalDevice)
{
    if (FunctionalDevice == nullptr || FunctionalDevice->DeviceExtension == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<AdapterExtension*>(static_cast<PUCHAR>(FunctionalDevice->DeviceExtension) +
                                               PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

// The device object's USB interface: what the function, its parsers, the units and the streaming
// endpoints use to reach the hardware. Obtained by QueryInterface on any interface of the device or
// of its function; released after use.
#pragma once

#include "platform/nt/NtTypes.h"
#include "platform/portcls/Unknown.h"
#include "platform/usb/Usb.h"

KVX_DEFINE_GUID(IID_IUsbDevice, "{4E0BFAF2-66CC-40AC-8203-C3C4D08CD4FF}");
KVX_DEFINE_GUID(IID_IUsbAudioFunction, "{B00C6788-253F-4638-9460-336A8BE6EE9A}");

// The USB audio function's own interface. Its first two operations are what the topology's
// output switch calls (keep their order); RestoreRegisters is the UAC1 family's only.
class IUsbAudioFunction : public IUnknown {
public:
    // Re-registers the wave subdevices of the endpoints whose output kind changed; the id of the
    // entity that switched is not consulted.
    virtual NTSTATUS ReRegisterEndpoints(ULONG ulEntityId) = 0;
    // The function's callback object, without a reference; null out pointer: STATUS_UNSUCCESSFUL.
    virtual NTSTATUS GetCallbackObject(PVOID* ppCallbackObject) = 0;
    // The AudioControl interface descriptor and the bytes from it to the end of the configuration.
    virtual NTSTATUS ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes) = 0;
    // The configuration, its first AudioStreaming interface descriptor and the bytes from that
    // interface to the end of the configuration.
    virtual NTSTATUS ParseAudioStreaming(PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                                         PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes) = 0;
    virtual NTSTATUS RestoreRegisters() = 0;

protected:
    ~IUsbAudioFunction() = default;
};

class IUsbDevice : public IUnknown {
public:
    virtual PUSB_CONFIGURATION_DESCRIPTOR GetConfigurationDescriptor() = 0;
    virtual USBD_CONFIGURATION_HANDLE GetConfigurationHandle() = 0;
    virtual UCHAR GetAudioControlInterfaceNumber() = 0;
    virtual NTSTATUS SetPresent(UCHAR bPresent) = 0;
    // The caller has prepared the next stack location and its completion routine. DISPATCH_LEVEL.
    virtual NTSTATUS CallLowerDriver(PIRP pIrp) = 0;
    // Sends the URB and waits at most 500 ms before cancelling it. PASSIVE_LEVEL.
    virtual NTSTATUS SubmitUrbSync(PURB pUrb) = 0;
    // 0 when the bus cannot tell. DISPATCH_LEVEL.
    virtual NTSTATUS GetCurrentFrame(PULONG pulFrame) = 0;
    virtual PIRP AllocateIrp() = 0;
    virtual NTSTATUS FreeIrp(PIRP pIrp) = 0;
    virtual UCHAR IsHighSpeed() = 0;
    // TRUE when the device counts as gone.
    virtual BOOLEAN CheckPort() = 0;
    virtual BOOLEAN CyclePort() = 0;
    virtual PDEVICE_OBJECT GetLowerDevice() = 0;
    virtual LONG AddBusyReference() = 0;
    virtual LONG ReleaseBusyReference() = 0;
    virtual NTSTATUS CreateFunction() = 0;

protected:
    ~IUsbDevice() = default;
};

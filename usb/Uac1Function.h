// The USB Audio Class 1.0 function: identifies the chip and its capabilities, parses the UAC1
// descriptors, watches the AudioControl interrupt pipe in its status thread, re-registers the wave
// subdevices of endpoints whose output changed and follows the adapter's power changes. The chip
// variants build on it.
#pragma once

#include "usb/DeviceQuirks.h"
#include "usb/UsbAudioFunction.h"

// Priority of the status thread.
constexpr KPRIORITY UAC1_STATUS_THREAD_PRIORITY = 24;

class UsbStreamEndpoint;

class Uac1Function : public UsbAudioFunction {
public:
    // Creates the function with `pOuterUnknown` (the device) as its outer unknown and returns its
    // non-delegating unknown with one reference; STATUS_INSUFFICIENT_RESOURCES.
    static NTSTATUS Create(PUNKNOWN* ppFunction, PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct);

    Uac1Function(PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct);
    ~Uac1Function() override;

    // IAudioHal
    NTSTATUS Init(PRESOURCELIST pResourceList, PDEVICE_OBJECT pFunctionalDevice, PDEVICE_OBJECT pLowerDevice,
                  PDEVICE_OBJECT pPhysicalDevice) override;
    NTSTATUS Configure() override;
    NTSTATUS GetCapabilities(BOOLEAN bCapture, ULONG ulKind, AudioCapabilities* pCapabilities) override;
    NTSTATUS Start() override;
    NTSTATUS Stop() override;

    // IAdapterPowerManagement
    VOID PowerChangeState(POWER_STATE NewState) override;

    // IUsbAudioFunction
    NTSTATUS ReRegisterEndpoints(ULONG ulEntityId) override;
    NTSTATUS ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes) override;
    NTSTATUS ParseAudioStreaming(PUSB_CONFIGURATION_DESCRIPTOR pConfiguration, PUSB_INTERFACE_DESCRIPTOR pInterface,
                                 ULONG ulBytes) override;
    NTSTATUS RestoreRegisters() override { return STATUS_SUCCESS; }

    // A status interrupt of the unit with the id: terminals re-evaluate every endpoint's presence,
    // other units refresh their entities and announce each change.
    virtual NTSTATUS OnStatusChange(ULONG ulUnitId);

    // The status thread's body; the context is the function.
    static VOID StatusThread(PVOID pContext);

    // Builders of the UAC1 parsers, which the chip variants' parsers reuse (the path builders are
    // the base's).
    // One format per sample rate of the FORMAT_TYPE descriptor (checked) on the endpoint.
    NTSTATUS AddStreamFormats(UsbStreamEndpoint* pEndpoint, const UCHAR* pFormatType, USHORT wFormatTag,
                              UCHAR bAlternateSetting, const WaveFormatRecord* pTemplate);

    // The format record a FORMAT_TYPE descriptor gave the endpoint, before its rates are added.
    virtual VOID ShapeFormatTemplate(UsbStreamEndpoint* pEndpoint, WaveFormatRecord* pRecord)
    {
        UNREFERENCED_PARAMETER(pEndpoint);
        UNREFERENCED_PARAMETER(pRecord);
    }

protected:
    // Chip identification: the stored capability block by the chip string and the probes.
    NTSTATUS IdentifyChip(IUsbDevice* pUsb);
    // The status thread's initial pass: every distinct unit id once, ascending.
    VOID StatusInitialPass();
};

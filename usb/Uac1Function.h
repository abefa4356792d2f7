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
    // non-delegating unknown with one reference; STATUS_INSUFFICIENT_RESOURCES. PASSIVE_LEVEL.
    static NTSTATUS Create(PUNKNOWN* ppFunction, PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct);

    // PASSIVE_LEVEL: the destructor stops the status thread and waits for it.
    Uac1Function(PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct);
    ~Uac1Function() override;

    // IAudioHal. Init, Configure, Start and Stop: PASSIVE_LEVEL (the device's start and stop, with
    // synchronous requests and the status thread). GetCapabilities: any IRQL.
    NTSTATUS Init(PRESOURCELIST pResourceList, PDEVICE_OBJECT pFunctionalDevice, PDEVICE_OBJECT pLowerDevice,
                  PDEVICE_OBJECT pPhysicalDevice) override;
    NTSTATUS Configure() override;
    NTSTATUS GetCapabilities(BOOLEAN bCapture, ULONG ulKind, AudioCapabilities* pCapabilities) override;
    NTSTATUS Start() override;
    NTSTATUS Stop() override;

    // IAdapterPowerManagement. PASSIVE_LEVEL (the restore sends requests; Start and Stop).
    VOID PowerChangeState(POWER_STATE NewState) override;

    // IUsbAudioFunction. PASSIVE_LEVEL: the subdevices are registered again, the parsers run at
    // start and a chip's restore sends requests (this one has nothing to restore).
    NTSTATUS ReRegisterEndpoints(ULONG ulEntityId) override;
    NTSTATUS ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes) override;
    NTSTATUS ParseAudioStreaming(PUSB_CONFIGURATION_DESCRIPTOR pConfiguration, PUSB_INTERFACE_DESCRIPTOR pInterface,
                                 ULONG ulBytes) override;
    NTSTATUS RestoreRegisters() override { return STATUS_SUCCESS; }

    // A status interrupt of the unit with the id: terminals re-evaluate every endpoint's presence,
    // other units refresh their entities and announce each change. PASSIVE_LEVEL (the status
    // thread).
    virtual NTSTATUS OnStatusChange(ULONG ulUnitId);

    // The status thread's body; the context is the function. PASSIVE_LEVEL.
    static VOID StatusThread(PVOID pContext);

    // Builders of the UAC1 parsers, which the chip variants' parsers reuse (the path builders are
    // the base's).
    // One format per sample rate of the FORMAT_TYPE descriptor (checked) on the endpoint.
    // PASSIVE_LEVEL (paged rate arrays and format entries).
    NTSTATUS AddStreamFormats(UsbStreamEndpoint* pEndpoint, const UCHAR* pFormatType, USHORT wFormatTag,
                              UCHAR bAlternateSetting, const WaveFormatRecord* pTemplate);

    // The format record a FORMAT_TYPE descriptor gave the endpoint, before its rates are added.
    // Any IRQL.
    virtual VOID ShapeFormatTemplate(UsbStreamEndpoint* pEndpoint, WaveFormatRecord* pRecord)
    {
        UNREFERENCED_PARAMETER(pEndpoint);
        UNREFERENCED_PARAMETER(pRecord);
    }

protected:
    // Chip identification: the stored capability block by the chip string and the probes.
    // PASSIVE_LEVEL.
    NTSTATUS IdentifyChip(IUsbDevice* pUsb);
    // The status thread's initial pass: every distinct unit id once, ascending. PASSIVE_LEVEL.
    VOID StatusInitialPass();
};

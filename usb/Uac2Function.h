// The USB Audio Class 2.0 function: parses the UAC2 descriptors (clock sources tie each streaming
// endpoint to the rates of its clock), reads the 6-byte interrupt data messages of the
// AudioControl interface in its status thread while keeping a bulk IN pipe of that interface
// drained, re-registers the wave subdevices of endpoints whose output kind changed and follows the
// adapter's power changes. Its start and stop leave the entities alone.
#pragma once

#include "usb/UsbAudioFunction.h"

// Priority of the status thread.
constexpr KPRIORITY UAC2_STATUS_THREAD_PRIORITY = 16;
// The interrupt data message and the bulk read of the status thread.
constexpr ULONG UAC2_STATUS_MESSAGE_BYTES = 6;
constexpr ULONG UAC2_STATUS_BULK_BYTES = 512;
// The longest pause between an endpoint's new name and its new registration (10 s).
constexpr ULONGLONG UAC2_MINIPORT_DELAY_LIMIT_MS = 10000;

class UsbStreamEndpoint;

class Uac2Function : public UsbAudioFunction {
public:
    // Creates the function with `pOuterUnknown` (the device) as its outer unknown and returns its
    // non-delegating unknown with one reference; STATUS_INSUFFICIENT_RESOURCES. PASSIVE_LEVEL.
    static NTSTATUS Create(PUNKNOWN* ppFunction, PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct);

    // PASSIVE_LEVEL: the destructor ends the status thread and waits for it.
    Uac2Function(PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct);
    ~Uac2Function() override;

    // IAudioHal. Init, Configure, Start and Stop: PASSIVE_LEVEL (the device's start and stop).
    // GetCapabilities: any IRQL.
    NTSTATUS Init(PRESOURCELIST pResourceList, PDEVICE_OBJECT pFunctionalDevice, PDEVICE_OBJECT pLowerDevice,
                  PDEVICE_OBJECT pPhysicalDevice) override;
    NTSTATUS Configure() override;
    NTSTATUS GetCapabilities(BOOLEAN bCapture, ULONG ulKind, AudioCapabilities* pCapabilities) override;
    // SELECT_INTERFACE of the AudioControl interface and, with a 6-byte interrupt IN pipe, the
    // status thread. The entities are not started.
    NTSTATUS Start() override;
    // Ends the status thread; the entities are not stopped.
    NTSTATUS Stop() override;

    // IAdapterPowerManagement. PASSIVE_LEVEL (the restore sends requests; Start and Stop).
    VOID PowerChangeState(POWER_STATE NewState) override;

    // IUsbAudioFunction. PASSIVE_LEVEL: the re-registration waits for the miniport and the
    // parsers run at start.
    NTSTATUS ReRegisterEndpoints(ULONG ulEntityId) override;
    NTSTATUS ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes) override;
    NTSTATUS ParseAudioStreaming(PUSB_CONFIGURATION_DESCRIPTOR pConfiguration, PUSB_INTERFACE_DESCRIPTOR pInterface,
                                 ULONG ulBytes) override;
    // The UAC2 function keeps no chip registers; nothing calls this on it.
    NTSTATUS RestoreRegisters() override { return STATUS_NOT_SUPPORTED; }

    // An interrupt data message of the entity: the unit handles it and names the entity it
    // refreshed; other units than terminals announce that entity, a terminal's connector control
    // (selector 2) re-evaluates every endpoint's presence. PASSIVE_LEVEL (the status thread).
    NTSTATUS OnStatusChange(ULONG ulEntityId, ULONG ulSelector, ULONG ulChannel);

    // The status thread's body; the context is the function. PASSIVE_LEVEL.
    static VOID StatusThread(PVOID pContext);

    // Builders of the UAC2 AudioStreaming parser: PASSIVE_LEVEL.
    // One or more formats per rate of the clock entity on the endpoint, by the AS_GENERAL's
    // bFormatType and bmFormats.
    NTSTATUS AddClockFormats(UsbStreamEndpoint* pEndpoint, ULONG ulClockEntityId, UCHAR bFormatType, ULONG bmFormats,
                             UCHAR bAlternateSetting, const WaveFormatRecord* pTemplate);
    // The UAC1 completion of a path, after a capture endpoint's mixers became input terminals.
    NTSTATUS CompleteEndpointPath(StreamEngine* pEndpoint);
    // Every linked mixer entity of a capture endpoint that answers IEntityMixer becomes an
    // input-terminal entity.
    VOID SetMixersAsTerminals(StreamEngine* pEndpoint);

    // Any IRQL.
    UCHAR BulkPipeIndex() const { return __atomic_load_n(&m_BulkPipeIndex, __ATOMIC_SEQ_CST); }
};

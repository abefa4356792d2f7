// The UAC2 function object: creation, capabilities, start and stop of the status thread, status
// dispatch, re-registration of renamed endpoints and power changes.
#include "usb/Uac2Function.h"

#include <cstring>

#include "adapter/SettingsStore.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Pool.h"
#include "usb/Uac2Parse.h"

namespace {

// The rows of a device with fixed capabilities.
constexpr ULONG FIXED_HEADPHONE_MASK = 0x603F;
constexpr ULONG FIXED_HEADPHONE_FLAGS = 3;
constexpr ULONG FIXED_MIC_MASK = 0x29000;
constexpr ULONG CAPTURE_MASK = 0x28000;
constexpr ULONG RENDER_MASK = 0x3FE0FF;
constexpr ULONG CAPTURE_FLAGS = 18;
constexpr ULONG PLAIN_CAPTURE_FLAGS = 16;

constexpr UCHAR INTERRUPT_PACKET_SIZE = static_cast<UCHAR>(UAC2_STATUS_MESSAGE_BYTES);

// Selector of a terminal's Connectors control.
constexpr ULONG CONNECTOR_CONTROL = 0x02;
// No entity named by the unit's handler.
constexpr ULONG NO_ENTITY = 0xFFFFFFFF;

// After a renaming, whatever its outcome, the miniport gets time to let go of the old subdevice:
// the settings value "UpdateMiniportDelay" in milliseconds, held to its limit and computed in 64
// bits. No value, no delay. The sleep runs without the endpoint lock, so that a jack pass does not
// wait behind it.
NTSTATUS WaitForMiniport(UsbAudioFunction* pFunction, StreamEngine* pEndpoint, ULONG ulEntityId, NTSTATUS renameStatus,
                         bool* pbRegistered)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(pEndpoint);
    UNREFERENCED_PARAMETER(ulEntityId);
    UNREFERENCED_PARAMETER(pbRegistered);
    ULONG ulDelay = 0;
    if (NT_SUCCESS(AccessSettingsBinary(pFunction->FunctionalDevice(), SETTINGS_READ, &ulDelay, sizeof(ulDelay),
                                        u"UpdateMiniportDelay"))) {
        ULONGLONG ullMs = ulDelay;
        if (ullMs > UAC2_MINIPORT_DELAY_LIMIT_MS) {
            ullMs = UAC2_MINIPORT_DELAY_LIMIT_MS;
        }
        LARGE_INTEGER interval;
        interval.QuadPart = -10000LL * static_cast<LONGLONG>(ullMs);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    return renameStatus;
}

}  // namespace

NTSTATUS Uac2Function::Create(PUNKNOWN* ppFunction, PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct)
{
    PAGED_CODE();
    return CreateFunction<Uac2Function>(ppFunction, pOuterUnknown, idVendor, idProduct, UAC2_FUNCTION_TAG);
}

Uac2Function::Uac2Function(PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct)
    : UsbAudioFunction(pOuterUnknown, idVendor, idProduct, UAC2_FUNCTION_TAG, UAC_VERSION_2)
{
}

Uac2Function::~Uac2Function()
{
    PAGED_CODE();
    if (InterruptPipeIndex() != NO_INTERRUPT_PIPE) {
        EndStatusThread();
    }
    // The base frees the interface copy and the unit list.
}

NTSTATUS Uac2Function::Init(PRESOURCELIST pResourceList, PDEVICE_OBJECT pFunctionalDevice, PDEVICE_OBJECT pLowerDevice,
                            PDEVICE_OBJECT pPhysicalDevice)
{
    PAGED_CODE();
    return InitUnitsAndHal(pResourceList, pFunctionalDevice, pLowerDevice, pPhysicalDevice);
}

NTSTATUS Uac2Function::Configure()
{
    PAGED_CODE();
    // No identity rule sets the stored block: it stays zero.
    std::memset(&m_Capabilities, 0, sizeof(m_Capabilities));
    NTSTATUS status = ParseAudioControlForFunction(this);
    if (NT_SUCCESS(status)) {
        status = ParseAudioStreamingForFunction(this);
    }
    return status;
}

NTSTATUS Uac2Function::ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    return ParseAudioControlUac2(this, pInterface, ulBytes);
}

NTSTATUS Uac2Function::ParseAudioStreaming(PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                                           PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    return ParseAudioStreamingUac2(this, pConfiguration, pInterface, ulBytes);
}

NTSTATUS Uac2Function::GetCapabilities(BOOLEAN bCapture, ULONG ulKind, AudioCapabilities* pCapabilities)
{
    if (pCapabilities == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    std::memset(pCapabilities, 0, sizeof(*pCapabilities));
    ULONG mask = 0;
    ULONG flags = 0;
    const ULONG captureFlags = m_Quirks.Has(DEVICE_QUIRK_PLAIN_CAPTURE) ? PLAIN_CAPTURE_FLAGS : CAPTURE_FLAGS;
    if (m_Quirks.Has(DEVICE_QUIRK_FIXED_CAPABILITIES)) {
        if (ulKind == ENDPOINT_KIND_HEADPHONES) {
            mask = FIXED_HEADPHONE_MASK;
            flags = FIXED_HEADPHONE_FLAGS;
        } else if (ulKind == ENDPOINT_KIND_MICROPHONE) {
            mask = FIXED_MIC_MASK;
        }
    } else if (bCapture == TRUE) {
        if (ulKind == ENDPOINT_KIND_SPDIF) {
            // nothing
        } else if (ulKind == ENDPOINT_KIND_MICROPHONE || ulKind == ENDPOINT_KIND_FRONT_MICROPHONE ||
                   ulKind == ENDPOINT_KIND_RECORDING) {
            mask = m_Capabilities.ControlMask & CAPTURE_MASK;
            flags = captureFlags;
        } else {
            flags = captureFlags;
        }
    } else if (ulKind == ENDPOINT_KIND_SPDIF) {
        flags = GetEndpointCount() == 1 ? m_Capabilities.Flags : 0;
    } else {
        mask = m_Capabilities.ControlMask & RENDER_MASK;
        flags = m_Capabilities.Flags;
    }
    pCapabilities->ControlMask = mask;
    pCapabilities->Flags = flags;
    return STATUS_SUCCESS;
}

// ---- start and stop ----

NTSTATUS Uac2Function::Start()
{
    PAGED_CODE();
    const StatusThreadShape shape = {INTERRUPT_PACKET_SIZE, true, StatusThread, UAC2_STATUS_THREAD_PRIORITY};
    return EnsureStatusThread(shape);
}

NTSTATUS Uac2Function::Stop()
{
    PAGED_CODE();
    if (InterruptPipeIndex() != NO_INTERRUPT_PIPE) {
        EndStatusThread();
    }
    return STATUS_SUCCESS;
}

// ---- status dispatch ----

NTSTATUS Uac2Function::OnStatusChange(ULONG ulEntityId, ULONG ulSelector, ULONG ulChannel)
{
    PAGED_CODE();
    UsbAudioUnit* pUnit = nullptr;
    NTSTATUS status = FindUnit(ulEntityId, &pUnit);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const LONG lType = pUnit->GetType();
    ULONG ulChanged = NO_ENTITY;
    status = pUnit->HandleStatusChange(ulSelector, ulChannel, &ulChanged);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (lType != USB_AUDIO_AC_INPUT_TERMINAL && lType != USB_AUDIO_AC_OUTPUT_TERMINAL) {
        // A unit that refreshed nothing has nothing to announce.
        if (ulChanged != NO_ENTITY) {
            NotifyEntityChange(ulChanged);
        }
        return STATUS_SUCCESS;
    }
    if (ulSelector != CONNECTOR_CONTROL) {
        return STATUS_SUCCESS;
    }
    // A jack changed: every endpoint's wave subdevice follows its presence.
    return RegisterEndpointsByPresence();
}

// ---- renamed endpoints ----

NTSTATUS Uac2Function::ReRegisterEndpoints(ULONG ulEntityId)
{
    PAGED_CODE();
    return ReRegisterChangedEndpoints(ulEntityId, WaitForMiniport);
}

// ---- power ----

VOID Uac2Function::PowerChangeState(POWER_STATE NewState)
{
    PAGED_CODE();
    const DEVICE_POWER_STATE state = NewState.DeviceState;
    if (state == m_PowerState) {
        return;
    }
    if (state == PowerDeviceD0) {
        // Every stored value goes back to the device, past a control it refuses (logged there).
        RestoreEntities(TRUE);
    } else if (state != PowerDeviceD1 && state != PowerDeviceD2 && state != PowerDeviceD3) {
        return;
    }
    m_PowerState = state;
    SetEndpointsPowerState(state);
    if (state == PowerDeviceD0) {
        Start();
    } else {
        Stop();
    }
}

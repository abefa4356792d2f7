// The UAC1 function object: creation, capabilities, start and stop with the status thread, status
// dispatch, re-registration of renamed endpoints and power changes.
#include "usb/Uac1Function.h"

#include <cstring>

#include "adapter/AdapterExtension.h"
#include "platform/nt/Ob.h"
#include "platform/nt/Pool.h"
#include "platform/nt/RtlString.h"
#include "usb/Uac1Parse.h"

namespace {

constexpr ULONG CAPTURE_MIC_MASK_BIT = 0x00800000;
// The status message: one 2-byte status word.
constexpr USHORT STATUS_WORD_BYTES = 2;

}  // namespace

NTSTATUS Uac1Function::Create(PUNKNOWN* ppFunction, PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct)
{
    PAGED_CODE();
    return CreateFunction<Uac1Function>(ppFunction, pOuterUnknown, idVendor, idProduct, UAC1_FUNCTION_TAG);
}

Uac1Function::Uac1Function(PUNKNOWN pOuterUnknown, USHORT idVendor, USHORT idProduct)
    : UsbAudioFunction(pOuterUnknown, idVendor, idProduct, UAC1_FUNCTION_TAG, UAC_VERSION_1)
{
}

Uac1Function::~Uac1Function()
{
    PAGED_CODE();
    Uac1Function::Stop();
}

NTSTATUS Uac1Function::Init(PRESOURCELIST pResourceList, PDEVICE_OBJECT pFunctionalDevice, PDEVICE_OBJECT pLowerDevice,
                            PDEVICE_OBJECT pPhysicalDevice)
{
    PAGED_CODE();
    return InitUnitsAndHal(pResourceList, pFunctionalDevice, pLowerDevice, pPhysicalDevice);
}

NTSTATUS Uac1Function::ParseAudioControl(PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    return ParseAudioControlUac1(this, pInterface, ulBytes);
}

NTSTATUS Uac1Function::ParseAudioStreaming(PUSB_CONFIGURATION_DESCRIPTOR pConfiguration,
                                           PUSB_INTERFACE_DESCRIPTOR pInterface, ULONG ulBytes)
{
    PAGED_CODE();
    return ParseAudioStreamingUac1(this, pConfiguration, pInterface, ulBytes);
}

NTSTATUS Uac1Function::GetCapabilities(BOOLEAN bCapture, ULONG ulKind, AudioCapabilities* pCapabilities)
{
    if (pCapabilities == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    std::memset(pCapabilities, 0, sizeof(*pCapabilities));
    if (m_Quirks.Has(DEVICE_QUIRK_CAPTURE_MIC_BIT)) {
        pCapabilities->ControlMask = m_Capabilities.ControlMask;
        if (bCapture == TRUE && ulKind == ENDPOINT_KIND_MICROPHONE) {
            pCapabilities->ControlMask |= CAPTURE_MIC_MASK_BIT;
        }
        pCapabilities->Flags = m_Capabilities.Flags;
    } else if (ulKind != ENDPOINT_KIND_SPDIF) {
        pCapabilities->ControlMask = m_Capabilities.ControlMask;
        pCapabilities->Value = m_Capabilities.Value;
        pCapabilities->Flags = m_Capabilities.Flags;
    }
    return STATUS_SUCCESS;
}

// ---- start and stop ----

NTSTATUS Uac1Function::Start()
{
    PAGED_CODE();
    const StatusThreadShape shape = {STATUS_WORD_BYTES, false, StatusThread, UAC1_STATUS_THREAD_PRIORITY};
    const NTSTATUS status = EnsureStatusThread(shape);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    return AudioHal::Start();
}

NTSTATUS Uac1Function::Stop()
{
    PAGED_CODE();
    const NTSTATUS status = AudioHal::Stop();
    if (InterruptPipeIndex() != NO_INTERRUPT_PIPE && NT_SUCCESS(status)) {
        EndStatusThread();
    }
    return STATUS_SUCCESS;
}

// ---- status dispatch ----

NTSTATUS Uac1Function::OnStatusChange(ULONG ulUnitId)
{
    PAGED_CODE();
    UsbAudioUnit* pUnit = nullptr;
    NTSTATUS status = FindUnit(ulUnitId, &pUnit);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const LONG lType = pUnit->GetType();
    ULONG ulEntityId = 0;
    status = pUnit->HandleStatusChange(0, 0, &ulEntityId);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (lType == USB_AUDIO_AC_INPUT_TERMINAL || lType == USB_AUDIO_AC_OUTPUT_TERMINAL) {
        // A jack changed: every endpoint's wave subdevice follows its presence.
        return RegisterEndpointsByPresence();
    }
    ULONG ulEntities = 0;
    pUnit->GetEntityCount(&ulEntities);
    for (ULONG i = 0; i < ulEntities; ++i) {
        TopologyNode* pEntity = nullptr;
        if (!NT_SUCCESS(pUnit->GetEntity(i, &pEntity)) || pEntity == nullptr) {
            continue;
        }
        if (NT_SUCCESS(pEntity->Refresh())) {
            NotifyEntityChange(pEntity->GetId());
        }
    }
    return STATUS_SUCCESS;
}

// ---- renamed endpoints ----

NTSTATUS Uac1Function::ReRegisterEndpoints(ULONG ulEntityId)
{
    PAGED_CODE();
    return ReRegisterChangedEndpoints(ulEntityId, nullptr);
}

// ---- power ----

VOID Uac1Function::PowerChangeState(POWER_STATE NewState)
{
    PAGED_CODE();
    const DEVICE_POWER_STATE state = NewState.DeviceState;
    if (state == m_PowerState) {
        return;
    }
    if (state == PowerDeviceD0) {
        RestoreRegisters();
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

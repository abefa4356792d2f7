// The selector unit body of both class versions: the descriptor check, the Init with its one
// selector entity, and the selected input read and written through the version's CUR request.
#include "topology/MixerUnit.h"
#include "topology/UsbAudioUnit.h"
#include "topology/UsbSelectorEntities.h"

bool UsbAudioUnit::HoldsSelectorDescriptor(UCHAR subtype) const
{
    return m_pDescriptor != nullptr && HoldsInputPins(m_pDescriptor) && m_pDescriptor[1] == USB_AUDIO_CS_INTERFACE &&
           m_pDescriptor[2] == subtype;
}

NTSTATUS UsbAudioUnit::InitSelectorUnit(IAudioHal* pHal, UCHAR subtype, ULONG ulTag)
{
    if (pHal == nullptr || !HoldsSelectorDescriptor(subtype)) {
        return STATUS_INVALID_PARAMETER;
    }
    m_ulId = m_pDescriptor[3];
    m_lType = subtype;
    NTSTATUS status = SetPinUnitSources(this, m_pDescriptor);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG next = pHal->GetEntityCount();
    PDEVICE_OBJECT device = pHal->GetDeviceObject();
    return CreateEntity<UsbSelectorEntity>(
        pHal, ulTag, &next, [&](UsbSelectorEntity* e) { return SetupSelectorEntity(e, this, device); },
        static_cast<UsbSelectorEntity**>(nullptr));
}

NTSTATUS UsbAudioUnit::ReadSelectedInput(UCHAR subtype, SelectorCurRequest cur, PULONG pInput)
{
    if (!HoldsSelectorDescriptor(subtype) || pInput == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR input = 0;
    const NTSTATUS status = cur(m_pOwner, m_pDescriptor[3], TRUE, &input);
    if (NT_SUCCESS(status)) {
        *pInput = input;
    }
    return status;
}

NTSTATUS UsbAudioUnit::WriteSelectedInput(UCHAR subtype, SelectorCurRequest cur, ULONG ulInput)
{
    if (!HoldsSelectorDescriptor(subtype) || ulInput == 0 || ulInput > m_pDescriptor[4]) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR input = static_cast<UCHAR>(ulInput);
    return cur(m_pOwner, m_pDescriptor[3], FALSE, &input);
}

NTSTATUS UsbAudioUnit::ReadSelectorInputCount(UCHAR subtype, PULONG pCount)
{
    if (!HoldsSelectorDescriptor(subtype) || pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = m_pDescriptor[4];
    return STATUS_SUCCESS;
}

#include "topology/MixerUnit.h"

#include "platform/nt/Pool.h"
#include "topology/FeatureUnit.h"
#include "topology/UsbSelectorEntities.h"

bool HoldsInputPins(const UCHAR* pDescriptor)
{
    return pDescriptor[0] >= UAC1_PIN_UNIT_FIXED_LENGTH &&
           pDescriptor[0] >= UAC1_PIN_UNIT_FIXED_LENGTH + static_cast<ULONG>(pDescriptor[4]);
}

NTSTATUS SetPinUnitSources(UsbAudioUnit* pUnit, const UCHAR* pDescriptor)
{
    const ULONG pins = pDescriptor[4];
    PULONG pIds = nullptr;
    if (pins != 0) {
        pIds = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, pins * sizeof(ULONG), UAC1_UNIT_TAG));
        if (pIds == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        for (ULONG i = 0; i < pins; ++i) {
            pIds[i] = pDescriptor[UAC1_PIN_UNIT_FIXED_LENGTH + i];
        }
    }
    NTSTATUS status = pUnit->SetSources(pins, pIds);
    if (pIds != nullptr) {
        ExFreePoolWithTag(pIds, UAC1_UNIT_TAG);
    }
    return status;
}

NTSTATUS MixerUnit::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal)
{
    if (pDescriptor != nullptr && !HoldsInputPins(pDescriptor)) {
        return STATUS_INVALID_PARAMETER;
    }
    return InitFromDescriptorSequence(pDescriptor, pOwner, pHal, USB_AUDIO_AC_MIXER_UNIT,
                                      [this](IAudioHal* hal) { return Init(hal); });
}

NTSTATUS MixerUnit::Init(IAudioHal* hal)
{
    if (hal == nullptr || m_pDescriptor == nullptr || !HoldsInputPins(m_pDescriptor)) {
        return STATUS_INVALID_PARAMETER;
    }
    m_ulId = m_pDescriptor[3];
    m_lType = USB_AUDIO_AC_MIXER_UNIT;
    NTSTATUS status = SetPinUnitSources(this, m_pDescriptor);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG next = hal->GetEntityCount();
    return CreateEntity<UsbMixerEntity>(
        hal, UAC1_UNIT_TAG, &next, [&](UsbMixerEntity* e) { return SetupMixerEntity(e, this); },
        static_cast<UsbMixerEntity**>(nullptr));
}

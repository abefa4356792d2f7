#include "topology/PassThroughUnit.h"

#include "platform/nt/Pool.h"
#include "topology/Uac2UnitRequest.h"
#include "topology/UsbSelectorEntities.h"

namespace {

// Offset of bNrInPins for the unit's subtype; the source ids follow it.
ULONG PinCountOffset(UCHAR subtype) { return subtype == USB_AUDIO2_AC_EXTENSION_UNIT ? 6 : 4; }

// The fixed fields, the pin count and its source ids lie within bLength.
bool HoldsSources(const UCHAR* pDescriptor)
{
    const ULONG offset = PinCountOffset(pDescriptor[2]);
    return pDescriptor[0] > offset && pDescriptor[0] >= offset + 1 + static_cast<ULONG>(pDescriptor[offset]);
}

bool IsPassThroughSubtype(UCHAR subtype)
{
    return subtype == USB_AUDIO_AC_MIXER_UNIT || subtype == USB_AUDIO2_AC_EXTENSION_UNIT;
}

}  // namespace

NTSTATUS PassThroughUnit::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal)
{
    if (pDescriptor == nullptr || pDescriptor[0] < 4 || !IsPassThroughSubtype(pDescriptor[2]) ||
        !HoldsSources(pDescriptor)) {
        return STATUS_INVALID_PARAMETER;
    }
    return InitFromDescriptorSequence(pDescriptor, pOwner, pHal, pDescriptor[2],
                                      [this](IAudioHal* hal) { return Init(hal); });
}

NTSTATUS PassThroughUnit::Init(IAudioHal* hal)
{
    if (hal == nullptr || m_pDescriptor == nullptr || m_pDescriptor[0] < 4 || !IsPassThroughSubtype(m_pDescriptor[2]) ||
        !HoldsSources(m_pDescriptor)) {
        return STATUS_INVALID_PARAMETER;
    }
    m_ulId = m_pDescriptor[3];
    m_lType = m_pDescriptor[2];
    const ULONG offset = PinCountOffset(m_pDescriptor[2]);
    const ULONG pins = m_pDescriptor[offset];
    PULONG pIds = nullptr;
    if (pins != 0) {
        pIds = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, pins * sizeof(ULONG), UAC2_UNIT_TAG));
        if (pIds == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        for (ULONG i = 0; i < pins; ++i) {
            pIds[i] = m_pDescriptor[offset + 1 + i];
        }
    }
    NTSTATUS status = SetSources(pins, pIds);
    if (pIds != nullptr) {
        ExFreePoolWithTag(pIds, UAC2_UNIT_TAG);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG next = hal->GetEntityCount();
    return CreateEntity<UsbMixerEntity>(
        hal, UAC2_UNIT_TAG, &next, [&](UsbMixerEntity* e) { return SetupMixerEntity(e, this); },
        static_cast<UsbMixerEntity**>(nullptr));
}

#include "topology/Uac2SelectorUnit.h"

#include "topology/MixerUnit.h"
#include "topology/Uac2UnitRequest.h"
#include "topology/UsbSelectorEntities.h"

namespace {

constexpr USHORT SELECTOR_CONTROL = 0x0100;

// The UAC2 selector's CUR: the Selector Control.
NTSTATUS Uac2SelectorCur(IAudioHal* pOwner, UCHAR bUnitId, BOOLEAN bRead, PUCHAR pInput)
{
    return Uac2Cur(pOwner, bUnitId, SELECTOR_CONTROL, bRead, pInput, 1);
}

}  // namespace

NTSTATUS Uac2SelectorUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = TopologyNode::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_ISelectorControl)) {
        return ReturnInterface(static_cast<ISelectorControl*>(this), ppvObject);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS Uac2SelectorUnit::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal)
{
    if (pDescriptor != nullptr && !HoldsInputPins(pDescriptor)) {
        return STATUS_INVALID_PARAMETER;
    }
    return InitFromDescriptorSequence(pDescriptor, pOwner, pHal, USB_AUDIO_AC_SELECTOR_UNIT,
                                      [this](IAudioHal* hal) { return Init(hal); });
}

NTSTATUS Uac2SelectorUnit::Init(IAudioHal* hal)
{
    return InitSelectorUnit(hal, USB_AUDIO_AC_SELECTOR_UNIT, UAC2_UNIT_TAG);
}

NTSTATUS Uac2SelectorUnit::GetSelected(PULONG pInput)
{
    return ReadSelectedInput(USB_AUDIO_AC_SELECTOR_UNIT, Uac2SelectorCur, pInput);
}

NTSTATUS Uac2SelectorUnit::SetSelected(ULONG ulInput)
{
    return WriteSelectedInput(USB_AUDIO_AC_SELECTOR_UNIT, Uac2SelectorCur, ulInput);
}

NTSTATUS Uac2SelectorUnit::GetInputCount(PULONG pCount)
{
    return ReadSelectorInputCount(USB_AUDIO_AC_SELECTOR_UNIT, pCount);
}

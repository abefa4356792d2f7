#include "topology/SelectorUnit.h"

#include "topology/FeatureUnit.h"
#include "topology/Uac1UnitRequest.h"
#include "topology/UsbSelectorEntities.h"

NTSTATUS SelectorUnit::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
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

namespace {

// The UAC1 selector's CUR: a class request to the unit, control selector 0.
NTSTATUS Uac1SelectorCur(IAudioHal* pOwner, UCHAR bUnitId, BOOLEAN bRead, PUCHAR pInput)
{
    if (bRead) {
        const NTSTATUS status = QueryOwnerUsbDevice(pOwner);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        return UnitControlReadExact(pOwner, bUnitId, URB_FUNCTION_CLASS_INTERFACE, USB_AUDIO_GET_CUR, 0x0000, pInput,
                                    1);
    }
    return UnitControlTransfer(pOwner, bUnitId, URB_FUNCTION_CLASS_INTERFACE, USB_AUDIO_SET_CUR, 0x0000, FALSE, pInput,
                               1, nullptr);
}

}  // namespace

NTSTATUS SelectorUnit::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal)
{
    if (pDescriptor != nullptr && !HoldsInputPins(pDescriptor)) {
        return STATUS_INVALID_PARAMETER;
    }
    return InitFromDescriptorSequence(pDescriptor, pOwner, pHal, USB_AUDIO_AC_SELECTOR_UNIT,
                                      [this](IAudioHal* hal) { return Init(hal); });
}

NTSTATUS SelectorUnit::Init(IAudioHal* hal) { return InitSelectorUnit(hal, USB_AUDIO_AC_SELECTOR_UNIT, UAC1_UNIT_TAG); }

NTSTATUS SelectorUnit::GetSelected(PULONG pInput)
{
    return ReadSelectedInput(USB_AUDIO_AC_SELECTOR_UNIT, Uac1SelectorCur, pInput);
}

NTSTATUS SelectorUnit::SetSelected(ULONG ulInput)
{
    return WriteSelectedInput(USB_AUDIO_AC_SELECTOR_UNIT, Uac1SelectorCur, ulInput);
}

NTSTATUS SelectorUnit::GetInputCount(PULONG pCount) { return ReadSelectorInputCount(USB_AUDIO_AC_SELECTOR_UNIT, pCount); }

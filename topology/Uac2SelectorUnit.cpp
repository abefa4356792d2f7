#include "topology/Uac2SelectorUnit.h"

#include "topology/MixerUnit.h"
#include "topology/Uac2UnitRequest.h"
#include "topology/UsbSelectorEntities.h"

namespace {

constexpr USHORT SELECTOR_CONTROL = 0x0100;

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

bool Uac2SelectorUnit::IsSelectorDescriptor() const
{
    return m_pDescriptor != nullptr && HoldsInputPins(m_pDescriptor) &&
           m_pDescriptor[1] == CS_INTERFACE_DESCRIPTOR && m_pDescriptor[2] == USB_AUDIO_AC_SELECTOR_UNIT;
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
    if (hal == nullptr || !IsSelectorDescriptor()) {
        return STATUS_INVALID_PARAMETER;
    }
    m_ulId = m_pDescriptor[3];
    m_lType = USB_AUDIO_AC_SELECTOR_UNIT;
    NTSTATUS status = SetPinUnitSources(this, m_pDescriptor);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG next = hal->GetEntityCount();
    PDEVICE_OBJECT device = hal->GetDeviceObject();
    return CreateEntity<UsbSelectorEntity>(
        hal, UAC2_UNIT_TAG, &next, [&](UsbSelectorEntity* e) { return SetupSelectorEntity(e, this, device); },
        static_cast<UsbSelectorEntity**>(nullptr));
}

NTSTATUS Uac2SelectorUnit::GetSelected(PULONG pInput)
{
    if (!IsSelectorDescriptor() || pInput == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR input = 0;
    NTSTATUS status = Uac2Cur(m_pOwner, m_pDescriptor[3], SELECTOR_CONTROL, TRUE, &input, 1);
    if (NT_SUCCESS(status)) {
        *pInput = input;
    }
    return status;
}

NTSTATUS Uac2SelectorUnit::SetSelected(ULONG ulInput)
{
    if (!IsSelectorDescriptor() || ulInput == 0 || ulInput > m_pDescriptor[4]) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR input = static_cast<UCHAR>(ulInput);
    return Uac2Cur(m_pOwner, m_pDescriptor[3], SELECTOR_CONTROL, FALSE, &input, 1);
}

NTSTATUS Uac2SelectorUnit::GetInputCount(PULONG pCount)
{
    if (!IsSelectorDescriptor() || pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = m_pDescriptor[4];
    return STATUS_SUCCESS;
}

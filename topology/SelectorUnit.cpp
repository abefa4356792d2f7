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

bool SelectorUnit::IsSelectorDescriptor() const
{
    return m_pDescriptor != nullptr && HoldsInputPins(m_pDescriptor) &&
           m_pDescriptor[1] == CS_INTERFACE_DESCRIPTOR && m_pDescriptor[2] == UAC1_SELECTOR_UNIT;
}

NTSTATUS SelectorUnit::InitFromDescriptor(const UCHAR* pDescriptor, IAudioHal* pOwner, IAudioHal* pHal)
{
    if (pDescriptor != nullptr && !HoldsInputPins(pDescriptor)) {
        return STATUS_INVALID_PARAMETER;
    }
    return InitFromDescriptorSequence(pDescriptor, pOwner, pHal, UAC1_SELECTOR_UNIT,
                                      [this](IAudioHal* hal) { return Init(hal); });
}

NTSTATUS SelectorUnit::Init(IAudioHal* hal)
{
    if (hal == nullptr || !IsSelectorDescriptor()) {
        return STATUS_INVALID_PARAMETER;
    }
    m_ulId = m_pDescriptor[3];
    m_lType = UAC1_SELECTOR_UNIT;
    NTSTATUS status = SetPinUnitSources(this, m_pDescriptor);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG next = hal->GetEntityCount();
    PDEVICE_OBJECT device = hal->GetDeviceObject();
    return CreateEntity<UsbSelectorEntity>(
        hal, UAC1_UNIT_TAG, &next, [&](UsbSelectorEntity* e) { return SetupSelectorEntity(e, this, device); },
        static_cast<UsbSelectorEntity**>(nullptr));
}

NTSTATUS SelectorUnit::GetSelected(PULONG pInput)
{
    if (!IsSelectorDescriptor() || pInput == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = QueryOwnerUsbDevice(m_pOwner);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    UCHAR input = 0;
    status = UnitControlReadExact(m_pOwner, m_pDescriptor[3], URB_FUNCTION_CLASS_INTERFACE, USB_AUDIO_GET_CUR, 0x0000,
                                  &input, 1);
    if (NT_SUCCESS(status)) {
        *pInput = input;
    }
    return status;
}

NTSTATUS SelectorUnit::SetSelected(ULONG ulInput)
{
    if (!IsSelectorDescriptor() || ulInput == 0 || ulInput > m_pDescriptor[4]) {
        return STATUS_INVALID_PARAMETER;
    }
    UCHAR input = static_cast<UCHAR>(ulInput);
    return UnitControlTransfer(m_pOwner, m_pDescriptor[3], URB_FUNCTION_CLASS_INTERFACE, USB_AUDIO_SET_CUR, 0x0000,
                               FALSE, &input, 1, nullptr);
}

NTSTATUS SelectorUnit::GetInputCount(PULONG pCount)
{
    if (!IsSelectorDescriptor() || pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = m_pDescriptor[4];
    return STATUS_SUCCESS;
}

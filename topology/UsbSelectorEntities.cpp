#include "topology/UsbSelectorEntities.h"

#include <cstring>

#include "topology/EntityCommon.h"
#include "topology/UsbEntityCommon.h"

namespace {

// `count` zero ids in paged pool (null for none); freed by the caller with `tag`.
NTSTATUS ZeroIds(ULONG ulCount, ULONG tag, PULONG* ppIds)
{
    *ppIds = nullptr;
    if (ulCount == 0) {
        return STATUS_SUCCESS;
    }
    const SIZE_T cb = static_cast<SIZE_T>(ulCount) * sizeof(ULONG);
    auto* pIds = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, cb, tag));
    if (pIds == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pIds, 0, cb);
    *ppIds = pIds;
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS SetupSelectorEntity(UsbSelectorEntity* pEntity, UsbAudioUnit* pUnit, PDEVICE_OBJECT pDevice)
{
    if (pEntity == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pEntity->m_pUnit = pUnit;
    ISelectorControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(pUnit, IID_ISelectorControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG ulCount = 0;
    PULONG pZeros = nullptr;
    status = pControl->GetInputCount(&ulCount);
    if (NT_SUCCESS(status)) {
        status = ZeroIds(ulCount, SELECTOR_TAG, &pZeros);
    }
    if (NT_SUCCESS(status)) {
        status = pEntity->SetSources(ulCount, pZeros);
    }
    if (NT_SUCCESS(status)) {
        pEntity->m_pDevice = pDevice;
        ULONG ulSelected = 0;
        if (!NT_SUCCESS(pControl->GetSelected(&ulSelected))) {
            ulSelected = 1;
        }
        AccessUnitValue(pDevice, SETTINGS_READ, pEntity->GetId(), &ulSelected, sizeof(ulSelected));
        if (ulSelected > ulCount) {
            ulSelected = ulCount;
        }
        if (ulSelected == 0) {
            ulSelected = 1;
        }
        StoreRelaxed(&pEntity->m_ulSelected, ulSelected);
    }
    if (pZeros != nullptr) {
        ExFreePoolWithTag(pZeros, SELECTOR_TAG);
    }
    pControl->Release();
    return status;
}

NTSTATUS UsbSelectorEntity::SetSelected(ULONG ulInput)
{
    if (ulInput == 0 || ulInput > GetSourceCount()) {
        return STATUS_INVALID_PARAMETER;
    }
    ISelectorControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(m_pUnit, IID_ISelectorControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = pControl->SetSelected(ulInput);
    pControl->Release();
    if (!NT_SUCCESS(status)) {
        return status;
    }
    SelectorEntity::SetSelected(ulInput);
    AccessUnitValue(m_pDevice, SETTINGS_WRITE, GetId(), &ulInput, sizeof(ulInput));
    return STATUS_SUCCESS;
}

NTSTATUS UsbSelectorEntity::Restore() { return SetSelected(LoadRelaxed(&m_ulSelected)); }

NTSTATUS UsbSelectorEntity::Refresh()
{
    ISelectorControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(m_pUnit, IID_ISelectorControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG ulSelected = 0;
    status = pControl->GetSelected(&ulSelected);
    if (NT_SUCCESS(status)) {
        StoreRelaxed(&m_ulSelected, ulSelected);
    }
    pControl->Release();
    return status;
}

NTSTATUS SetupMixerEntity(UsbMixerEntity* pEntity, UsbAudioUnit* pUnit)
{
    if (pEntity == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pEntity->m_pUnit = pUnit;
    ITopologyNode* pNode = nullptr;
    NTSTATUS status = QueryUnitInterface(pUnit, IID_ITopologyNode, &pNode);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const ULONG ulCount = pNode->GetSourceCount();
    pNode->Release();
    PULONG pZeros = nullptr;
    status = ZeroIds(ulCount, USB_MIXER_TEMP_TAG, &pZeros);
    if (NT_SUCCESS(status)) {
        status = pEntity->SetSources(ulCount, pZeros);
    }
    if (pZeros != nullptr) {
        ExFreePoolWithTag(pZeros, USB_MIXER_TEMP_TAG);
    }
    return status;
}

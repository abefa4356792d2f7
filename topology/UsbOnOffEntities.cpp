#include "topology/UsbOnOffEntities.h"

#include "topology/EntityCommon.h"
#include "topology/UnitControls.h"
#include "topology/UsbEntityCommon.h"

NTSTATUS UsbBranchControl::SetSelectedInput(ULONG ulInput)
{
    if (SelectedInput() != ulInput) {
        StoreRelaxed(&m_ulSelectedInput, ulInput);
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbBranchControl::SetBranchIndex(ULONG ulInput)
{
    StoreRelaxed(&m_ulBranchIndex, ulInput);
    return STATUS_SUCCESS;
}

NTSTATUS SetupOnOffEntity(UsbOnOffEntity* pEntity, UsbAudioUnit* pUnit, ULONG ulSelector, PDEVICE_OBJECT pDevice)
{
    if (pEntity == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pEntity->m_pUnit = pUnit;
    IOnOffControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(pUnit, IID_IOnOffControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG ulCount = 0;
    status = pControl->ChannelCount(ulSelector, &ulCount);
    if (NT_SUCCESS(status)) {
        pEntity->m_ulSelector = ulSelector;
        status = pEntity->Init(0, ulCount);
    }
    if (NT_SUCCESS(status)) {
        pEntity->m_pDevice = pDevice;
        for (ULONG c = 0; c < ulCount; ++c) {
            // A channel the device does not answer starts off unless a value is kept.
            UCHAR value = 0;
            if (!NT_SUCCESS(pControl->GetOnOff(ulSelector, c, &value))) {
                value = 0;
            }
            AccessChannelValue(pDevice, SETTINGS_READ, pEntity->GetId(), pEntity->GetOutputKind(), c, &value, 1);
            StoreRelaxed(&pEntity->m_pValues[c], value);
        }
    }
    pControl->Release();
    return status;
}

NTSTATUS SetupSingleOnOffEntity(UsbOnOffEntity* pEntity, UsbAudioUnit* pUnit, PDEVICE_OBJECT pDevice)
{
    if (pEntity == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pEntity->m_pUnit = pUnit;
    const NTSTATUS status = pEntity->Init(0, 1);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    pEntity->m_pDevice = pDevice;
    UCHAR value = 0;
    pEntity->GetValue(0, &value);
    AccessChannelValue(pDevice, SETTINGS_READ, pEntity->GetId(), pEntity->GetOutputKind(), 0, &value, 1);
    StoreRelaxed(&pEntity->m_pValues[0], value);
    return status;
}

void UsbOnOffEntity::StoreAndKeep(ULONG ulChannel, UCHAR value)
{
    StoreRelaxed(&m_pValues[ulChannel], value);
    AccessChannelValue(m_pDevice, SETTINGS_WRITE, GetId(), GetOutputKind(), ulChannel, &value, 1);
}

NTSTATUS UsbOnOffEntity::SetValue(ULONG ulChannel, UCHAR value)
{
    if (ulChannel >= m_ulChannelCount) {
        return STATUS_INVALID_PARAMETER;
    }
    IOnOffControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(m_pUnit, IID_IOnOffControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (NT_SUCCESS(pControl->SetOnOff(m_ulSelector, ulChannel, value))) {
        StoreAndKeep(ulChannel, value);
    }
    pControl->Release();
    return STATUS_SUCCESS;
}

NTSTATUS UsbOnOffEntity::SetOutputKind(ULONG ulKind, PVOID pCallbackObject)
{
    StoreRelaxed(&m_ulOutputKind, ulKind);
    ULONG ulCount = 0;
    GetChannelCount(&ulCount);
    for (ULONG c = 0; c < ulCount; ++c) {
        UCHAR value = LoadRelaxed(&m_pValues[c]);
        AccessChannelValue(m_pDevice, SETTINGS_READ, GetId(), ulKind, c, &value, 1);
        StoreRelaxed(&m_pValues[c], value);
        SetValue(c, value);
    }
    if (pCallbackObject != nullptr) {
        NotifyEntityChange(pCallbackObject, GetId());
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbOnOffEntity::Restore()
{
    if (m_ulChannelCount == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    for (ULONG c = 0; c < m_ulChannelCount; ++c) {
        const NTSTATUS status = SetValue(c, LoadRelaxed(&m_pValues[c]));
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbOnOffEntity::Refresh()
{
    IOnOffControl* pControl = nullptr;
    NTSTATUS status = QueryUnitInterface(m_pUnit, IID_IOnOffControl, &pControl);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    for (ULONG c = 0; c < m_ulChannelCount && NT_SUCCESS(status); ++c) {
        UCHAR value = 0;
        status = pControl->GetOnOff(m_ulSelector, c, &value);
        if (NT_SUCCESS(status)) {
            StoreAndKeep(c, value);
        }
    }
    pControl->Release();
    return status;
}

NTSTATUS UsbBranchMuteEntity::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = OnOffEntity::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_ISelectorBranchControl)) {
        return ReturnInterface(static_cast<ISelectorBranchControl*>(this), ppvObject);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS UsbLedSwitchEntity::SetValue(ULONG ulChannel, UCHAR value)
{
    if (ulChannel >= m_ulChannelCount) {
        return STATUS_INVALID_PARAMETER;
    }
    StoreAndKeep(ulChannel, value);
    return STATUS_SUCCESS;
}

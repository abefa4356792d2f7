#include "topology/SelectorEntity.h"

#include "topology/EntityCommon.h"

SelectorEntity::SelectorEntity(PUNKNOWN pOuterUnknown, ULONG ulId)
    : TopologyNode(pOuterUnknown, ulId, ENTITY_SELECTOR), m_ulSelected(1), m_pBranches(nullptr)
{
}

SelectorEntity::~SelectorEntity()
{
    if (m_pBranches != nullptr) {
        while (auto* pBranch = m_pBranches->PopHead<ISelectorBranchControl>()) {
            pBranch->Release();
        }
        ExFreePoolWithTag(m_pBranches, SELECTOR_TAG);
        m_pBranches = nullptr;
    }
}

NTSTATUS SelectorEntity::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
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

NTSTATUS SelectorEntity::GetSelected(PULONG pInput)
{
    if (pInput == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pInput = LoadRelaxed(&m_ulSelected);
    return STATUS_SUCCESS;
}

NTSTATUS SelectorEntity::SetSelected(ULONG ulInput)
{
    if (ulInput > m_ulSourceCount) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG ulOld = LoadRelaxed(&m_ulSelected);
    if (m_pBranches == nullptr) {
        StoreRelaxed(&m_ulSelected, ulInput);
        return STATUS_SUCCESS;
    }
    for (ISelectorBranchControl* pBranch : m_pBranches->Items<ISelectorBranchControl>()) {
        if (!NT_SUCCESS(pBranch->OnSelectionChanging(ulInput, ulOld))) {
            break;
        }
    }
    StoreRelaxed(&m_ulSelected, ulInput);
    for (ISelectorBranchControl* pBranch : m_pBranches->Items<ISelectorBranchControl>()) {
        if (!NT_SUCCESS(pBranch->SetSelectedInput(ulInput))) {
            break;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS SelectorEntity::GetInputCount(PULONG pCount)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = m_ulSourceCount;
    return STATUS_SUCCESS;
}

NTSTATUS SelectorEntity::AddBranchControl(ISelectorBranchControl* pBranch)
{
    // The branch list exists once SetSources has made it.
    if (pBranch == nullptr || m_pBranches == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pBranch->AddRef();
    if (m_pBranches->Append(pBranch) == nullptr) {
        pBranch->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS SelectorEntity::SetSources(ULONG ulCount, const ULONG* pIds)
{
    if (m_pBranches == nullptr) {
        auto* pList = static_cast<ObjectList*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ObjectList), SELECTOR_TAG));
        if (pList == nullptr) {
            return STATUS_UNSUCCESSFUL;
        }
        m_pBranches = pList->Init();
    }
    return TopologyNode::SetSources(ulCount, pIds);
}

#include "topology/SelectorEntity.h"

#include "topology/EntityCommon.h"

SelectorEntity::SelectorEntity(PUNKNOWN pOuterUnknown, ULONG ulId)
    : TopologyNode(pOuterUnknown, ulId, ENTITY_SELECTOR), m_ulSelected(1), m_pBranches(nullptr)
{
}

SelectorEntity::~SelectorEntity()
{
    if (m_pBranches != nullptr) {
        PVOID pBranch = nullptr;
        while (m_pBranches->PopHead(&pBranch)) {
            static_cast<ISelectorBranchControl*>(pBranch)->Release();
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
    PVOID pBranch = nullptr;
    ObjectListNode* pCursor = m_pBranches != nullptr ? m_pBranches->GetHeadNode() : nullptr;
    while (m_pBranches != nullptr && m_pBranches->Next(&pCursor, &pBranch)) {
        if (!NT_SUCCESS(static_cast<ISelectorBranchControl*>(pBranch)->OnSelectionChanging(ulInput, ulOld))) {
            break;
        }
    }
    StoreRelaxed(&m_ulSelected, ulInput);
    pCursor = m_pBranches != nullptr ? m_pBranches->GetHeadNode() : nullptr;
    while (m_pBranches != nullptr && m_pBranches->Next(&pCursor, &pBranch)) {
        if (!NT_SUCCESS(static_cast<ISelectorBranchControl*>(pBranch)->SetSelectedInput(ulInput))) {
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

#include "topology/MultiOutputTerminalEntity.h"

#include <cstring>

#include "topology/EntityCommon.h"

MultiOutputTerminalEntity::MultiOutputTerminalEntity(PUNKNOWN pOuterUnknown, ULONG ulId)
    : TopologyNode(pOuterUnknown, ulId, ENTITY_MULTI_OUTPUT_TERMINAL),
      m_ulKindCount(0),
      m_pKinds(nullptr),
      m_ulActiveKind(0),
      m_ulChanged(0),
      m_pLinks(nullptr)
{
}

MultiOutputTerminalEntity::~MultiOutputTerminalEntity()
{
    if (m_pLinks != nullptr) {
        while (auto* pLink = m_pLinks->PopHead<IEntityLink>()) {
            pLink->Release();
        }
        ExFreePoolWithTag(m_pLinks, TERMINAL_TAG);
        m_pLinks = nullptr;
    }
    if (m_pKinds != nullptr) {
        ExFreePoolWithTag(m_pKinds, TERMINAL_TAG);
        m_pKinds = nullptr;
    }
}

NTSTATUS MultiOutputTerminalEntity::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = TopologyNode::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IMultiOutputTerminal)) {
        return ReturnInterface(static_cast<IMultiOutputTerminal*>(this), ppvObject);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS MultiOutputTerminalEntity::GetKind(PULONG pKind)
{
    if (pKind == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pKind = LoadRelaxed(&m_ulActiveKind);
    return STATUS_SUCCESS;
}

NTSTATUS MultiOutputTerminalEntity::GetKindCount(PULONG pCount)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = m_ulKindCount;
    return STATUS_SUCCESS;
}

NTSTATUS MultiOutputTerminalEntity::GetKinds(PULONG pKinds)
{
    if (pKinds == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_ulKindCount != 0) {
        std::memcpy(pKinds, m_pKinds, m_ulKindCount * sizeof(ULONG));
    }
    return STATUS_SUCCESS;
}

NTSTATUS MultiOutputTerminalEntity::SelectKind(ULONG ulKind)
{
    bool listed = false;
    for (ULONG i = 0; i < m_ulKindCount && !listed; ++i) {
        listed = m_pKinds[i] == ulKind;
    }
    if (!listed) {
        return STATUS_INVALID_PARAMETER;
    }
    if (ulKind == LoadRelaxed(&m_ulActiveKind)) {
        return STATUS_SUCCESS;
    }
    StoreRelaxed(&m_ulActiveKind, ulKind);
    StoreRelaxed(&m_ulChanged, 1u);
    for (IEntityLink* pLink : m_pLinks->Items<IEntityLink>()) {
        // A link that cannot follow ends the walk; the switch itself has happened.
        if (!NT_SUCCESS(pLink->SetOutputKind(ulKind, nullptr))) {
            break;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS MultiOutputTerminalEntity::ClearChangedFlag()
{
    StoreRelaxed(&m_ulChanged, 0u);
    return STATUS_SUCCESS;
}

NTSTATUS MultiOutputTerminalEntity::AddLink(IEntityLink* pLink)
{
    // Links exist only once Init has made the list.
    if (pLink == nullptr || m_pLinks == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    pLink->AddRef();
    if (m_pLinks->Append(pLink) == nullptr) {
        pLink->Release();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS MultiOutputTerminalEntity::Init(ULONG ulSourceId, ULONG ulKindCount, const ULONG* pKinds)
{
    if (ulKindCount == 0 || ulKindCount > 5 || pKinds == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    auto* pNewKinds =
        static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, ulKindCount * sizeof(ULONG), TERMINAL_TAG));
    if (pNewKinds == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ObjectList* pLinks = m_pLinks;
    if (pLinks == nullptr) {
        pLinks = static_cast<ObjectList*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ObjectList), TERMINAL_TAG));
        if (pLinks == nullptr) {
            ExFreePoolWithTag(pNewKinds, TERMINAL_TAG);
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        pLinks->Init();
    }
    NTSTATUS status = TopologyNode::SetSources(1, &ulSourceId);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(pNewKinds, TERMINAL_TAG);
        if (pLinks != m_pLinks) {
            ExFreePoolWithTag(pLinks, TERMINAL_TAG);
        }
        return status;
    }
    if (m_pKinds != nullptr) {
        ExFreePoolWithTag(m_pKinds, TERMINAL_TAG);
    }
    std::memcpy(pNewKinds, pKinds, ulKindCount * sizeof(ULONG));
    m_pLinks = pLinks;
    m_pKinds = pNewKinds;
    m_ulKindCount = ulKindCount;
    m_ulActiveKind = pKinds[0];
    return STATUS_SUCCESS;
}

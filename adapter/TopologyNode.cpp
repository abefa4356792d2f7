#include "adapter/TopologyNode.h"

#include <cstring>

#include "platform/nt/Pool.h"

TopologyNode::TopologyNode(PUNKNOWN pOuterUnknown, ULONG ulId, LONG lType)
    : UnknownBase(pOuterUnknown), m_ulId(ulId), m_lType(lType), m_ulSourceCount(0), m_pSourceIds(nullptr)
{
}

TopologyNode::~TopologyNode()
{
    if (m_pSourceIds != nullptr) {
        ExFreePoolWithTag(m_pSourceIds, TOPOLOGY_NODE_TAG);
        m_pSourceIds = nullptr;
    }
}

NTSTATUS TopologyNode::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    if (ppvObject == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_ITopologyNode)) {
        return ReturnInterface(static_cast<ITopologyNode*>(this), ppvObject);
    }
    *ppvObject = nullptr;
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS TopologyNode::GetSources(PULONG pCount, PULONG pIds)
{
    if (pCount == nullptr || pIds == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (*pCount > m_ulSourceCount) {
        *pCount = m_ulSourceCount;
    }
    if (*pCount != 0) {
        std::memcpy(pIds, m_pSourceIds, *pCount * sizeof(ULONG));
    }
    return STATUS_SUCCESS;
}

NTSTATUS TopologyNode::SetSources(ULONG ulCount, const ULONG* pIds)
{
    if (pIds == nullptr && ulCount != 0) {
        return STATUS_INVALID_PARAMETER;
    }
    if (m_pSourceIds != nullptr) {
        ExFreePoolWithTag(m_pSourceIds, TOPOLOGY_NODE_TAG);
        m_pSourceIds = nullptr;
    }
    m_ulSourceCount = 0;
    if (ulCount == 0) {
        return STATUS_SUCCESS;
    }
    auto* pCopy = static_cast<PULONG>(ExAllocatePoolWithTag(PagedPool, ulCount * sizeof(ULONG), TOPOLOGY_NODE_TAG));
    if (pCopy == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memcpy(pCopy, pIds, ulCount * sizeof(ULONG));
    m_pSourceIds = pCopy;
    m_ulSourceCount = ulCount;
    return STATUS_SUCCESS;
}

#include "topology/ProcessingEntity.h"

#include "topology/EntityCommon.h"

ProcessingEntity::ProcessingEntity(PUNKNOWN pOuterUnknown, ULONG ulId)
    : TopologyNode(pOuterUnknown, ulId, ENTITY_PROCESSING), m_NodeGuid{}, m_ulParameterCount(0), m_ulEnable(0)
{
}

NTSTATUS ProcessingEntity::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = TopologyNode::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IProcessingEntity)) {
        return ReturnInterface(static_cast<IProcessingEntity*>(this), ppvObject);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS ProcessingEntity::GetNodeGuid(GUID* pGuid)
{
    if (pGuid == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pGuid = m_NodeGuid;
    return STATUS_SUCCESS;
}

NTSTATUS ProcessingEntity::SetEnable(UCHAR enable)
{
    StoreRelaxed(&m_ulEnable, static_cast<ULONG>(enable));
    return STATUS_UNSUCCESSFUL;
}

NTSTATUS ProcessingEntity::GetEnable(PUCHAR pEnable)
{
    if (pEnable == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    *pEnable = static_cast<UCHAR>(LoadRelaxed(&m_ulEnable));
    return STATUS_SUCCESS;
}

NTSTATUS ProcessingEntity::GetParameterCount(PULONG pCount)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = m_ulParameterCount;
    return STATUS_SUCCESS;
}

NTSTATUS ProcessingEntity::GetParameters(ULONG, ULONG, PLONG) { return STATUS_INVALID_PARAMETER; }

NTSTATUS ProcessingEntity::SetParameters(ULONG, ULONG, const LONG*) { return STATUS_INVALID_PARAMETER; }

NTSTATUS ProcessingEntity::GetParameterInfo(ULONG, PULONG, PULONG, PULONG) { return STATUS_INVALID_PARAMETER; }

NTSTATUS ProcessingEntity::Init(ULONG ulSourceId) { return TopologyNode::SetSources(1, &ulSourceId); }

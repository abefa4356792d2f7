#include "topology/OnOffEntity.h"

#include <cstring>

#include "topology/EntityCommon.h"

OnOffEntity::OnOffEntity(PUNKNOWN pOuterUnknown, ULONG ulId, LONG lType)
    : TopologyNode(pOuterUnknown, ulId, lType),
      m_ulChannelCount(0),
      m_pValues(nullptr),
      m_ulOutputKind(0),
      m_ulValuesTag(ON_OFF_VALUES_TAG)
{
}

OnOffEntity::~OnOffEntity()
{
    if (m_pValues != nullptr) {
        ExFreePoolWithTag(m_pValues, m_ulValuesTag);
        m_pValues = nullptr;
    }
}

NTSTATUS OnOffEntity::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = TopologyNode::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IEntityOnOff)) {
        return ReturnInterface(static_cast<IEntityOnOff*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, IID_IEntityLink)) {
        return ReturnInterface(static_cast<IEntityLink*>(this), ppvObject);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS OnOffEntity::GetValue(ULONG ulChannel, PUCHAR pValue)
{
    if (ulChannel >= m_ulChannelCount || pValue == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pValue = LoadRelaxed(&m_pValues[ulChannel]);
    return STATUS_SUCCESS;
}

NTSTATUS OnOffEntity::SetValue(ULONG ulChannel, UCHAR value)
{
    if (ulChannel >= m_ulChannelCount) {
        return STATUS_INVALID_PARAMETER;
    }
    StoreRelaxed(&m_pValues[ulChannel], value);
    return STATUS_SUCCESS;
}

NTSTATUS OnOffEntity::GetChannelCount(PULONG pCount)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = EffectiveChannelCount(m_ulChannelCount, GetOutputKind());
    return STATUS_SUCCESS;
}

NTSTATUS OnOffEntity::Init(ULONG ulSourceId, ULONG ulChannelCount)
{
    return InitValues(ulSourceId, ulChannelCount, NonPagedPoolNx, ON_OFF_VALUES_TAG);
}

NTSTATUS OnOffEntity::InitValues(ULONG ulSourceId, ULONG ulChannelCount, POOL_TYPE poolType, ULONG tag)
{
    if (ulChannelCount == 0xFFFFFFFFu) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const SIZE_T cb = static_cast<SIZE_T>(ulChannelCount) + 1;
    auto* pValues = static_cast<PUCHAR>(ExAllocatePoolWithTag(poolType, cb, tag));
    if (pValues == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pValues, 0, cb);
    NTSTATUS status = TopologyNode::SetSources(1, &ulSourceId);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(pValues, tag);
        return status;
    }
    // A second Init replaces the first one's storage.
    if (m_pValues != nullptr) {
        ExFreePoolWithTag(m_pValues, m_ulValuesTag);
    }
    m_pValues = pValues;
    m_ulValuesTag = tag;
    m_ulChannelCount = ulChannelCount;
    return STATUS_SUCCESS;
}

NTSTATUS OnOffEntity::SetOutputKind(ULONG ulKind, PVOID)
{
    StoreRelaxed(&m_ulOutputKind, ulKind);
    return STATUS_SUCCESS;
}

#include "topology/LevelEntity.h"

#include <cstring>

#include "topology/EntityCommon.h"

LevelEntity::LevelEntity(PUNKNOWN pOuterUnknown, ULONG ulId, LONG lType)
    : TopologyNode(pOuterUnknown, ulId, lType),
      m_ulChannelCount(0),
      m_pValues(nullptr),
      m_lMaximum(0),
      m_lMinimum(0),
      m_lStep(0),
      m_ulOutputKind(0)
{
}

LevelEntity::~LevelEntity()
{
    if (m_pValues != nullptr) {
        ExFreePoolWithTag(m_pValues, LEVEL_VALUES_TAG);
        m_pValues = nullptr;
    }
}

NTSTATUS LevelEntity::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = TopologyNode::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IEntityLevel)) {
        return ReturnInterface(static_cast<IEntityLevel*>(this), ppvObject);
    }
    if (IsEqualGUID(iid, IID_IEntityLink)) {
        return ReturnInterface(static_cast<IEntityLink*>(this), ppvObject);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS LevelEntity::GetLevel(ULONG ulChannel, PLONG pLevel)
{
    // Without storage (no Init, or a failed one) even the master channel 0 has no value.
    if (ulChannel > m_ulChannelCount || pLevel == nullptr || m_pValues == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pLevel = LoadRelaxed(&m_pValues[ulChannel]);
    return STATUS_SUCCESS;
}

NTSTATUS LevelEntity::SetLevel(ULONG ulChannel, LONG level)
{
    if (ulChannel > m_ulChannelCount || m_pValues == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    StoreRelaxed(&m_pValues[ulChannel], level);
    return STATUS_SUCCESS;
}

NTSTATUS LevelEntity::GetRange(PLONG pMaximum, PLONG pMinimum, PLONG pStep)
{
    if (pMaximum == nullptr || pMinimum == nullptr || pStep == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pMaximum = m_lMaximum;
    *pMinimum = m_lMinimum;
    *pStep = m_lStep;
    return STATUS_SUCCESS;
}

NTSTATUS LevelEntity::GetChannelCount(PULONG pCount)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = EffectiveChannelCount(m_ulChannelCount, GetOutputKind());
    return STATUS_SUCCESS;
}

NTSTATUS LevelEntity::Init(ULONG ulSourceId, ULONG ulChannelCount, LONG maximum, LONG minimum, LONG step)
{
    const SIZE_T cb = (static_cast<SIZE_T>(ulChannelCount) + 1) * sizeof(LONG);
    auto* pValues = static_cast<PLONG>(ExAllocatePoolWithTag(PagedPool, cb, LEVEL_VALUES_TAG));
    if (pValues == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    std::memset(pValues, 0, cb);
    NTSTATUS status = TopologyNode::SetSources(1, &ulSourceId);
    if (!NT_SUCCESS(status)) {
        ExFreePoolWithTag(pValues, LEVEL_VALUES_TAG);
        return status;
    }
    if (m_pValues != nullptr) {
        ExFreePoolWithTag(m_pValues, LEVEL_VALUES_TAG);
    }
    m_pValues = pValues;
    m_ulChannelCount = ulChannelCount;
    m_lMaximum = maximum;
    m_lMinimum = minimum;
    m_lStep = step;
    return STATUS_SUCCESS;
}

NTSTATUS LevelEntity::SetOutputKind(ULONG ulKind, PVOID)
{
    StoreRelaxed(&m_ulOutputKind, ulKind);
    return STATUS_SUCCESS;
}

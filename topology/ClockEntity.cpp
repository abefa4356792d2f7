#include "topology/ClockEntity.h"

#include <cstring>

#include "topology/EntityCommon.h"

ClockEntity::ClockEntity(PUNKNOWN pOuterUnknown, ULONG ulId)
    : TopologyNode(pOuterUnknown, ulId, ENTITY_CLOCK), m_lRateCount(0), m_pRates(nullptr), m_ulCurrentRate(0)
{
}

ClockEntity::~ClockEntity()
{
    if (m_pRates != nullptr) {
        ExFreePoolWithTag(m_pRates, CLOCK_TAG);
        m_pRates = nullptr;
    }
}

NTSTATUS ClockEntity::NonDelegatingQueryInterface(REFIID iid, PVOID* ppvObject)
{
    NTSTATUS status = TopologyNode::NonDelegatingQueryInterface(iid, ppvObject);
    if (NT_SUCCESS(status) || ppvObject == nullptr) {
        return status;
    }
    if (IsEqualGUID(iid, IID_IClockControl)) {
        return ReturnInterface(static_cast<IClockControl*>(this), ppvObject);
    }
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS ClockEntity::GetRates(PULONG pCount, PULONG pRates)
{
    if (pCount == nullptr || pRates == nullptr || static_cast<LONG>(*pCount) < m_lRateCount) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = static_cast<ULONG>(m_lRateCount);
    if (m_lRateCount > 0) {
        std::memcpy(pRates, m_pRates, static_cast<SIZE_T>(m_lRateCount) * sizeof(ULONG));
    }
    return STATUS_SUCCESS;
}

NTSTATUS ClockEntity::GetRateCount(PULONG pCount)
{
    if (pCount == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pCount = static_cast<ULONG>(m_lRateCount);
    return STATUS_SUCCESS;
}

NTSTATUS ClockEntity::SetRate(ULONG ulRate)
{
    StoreRelaxed(&m_ulCurrentRate, ulRate);
    return STATUS_SUCCESS;
}

NTSTATUS ClockEntity::GetRate(PULONG pRate)
{
    if (pRate == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pRate = LoadRelaxed(&m_ulCurrentRate);
    return STATUS_SUCCESS;
}

NTSTATUS ClockEntity::IsClockValid(PBOOLEAN pValid)
{
    if (pValid == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *pValid = TRUE;
    return STATUS_SUCCESS;
}

NTSTATUS ClockEntity::Init(LONG lRateCount, const ULONG* pRates)
{
    // A negative count would be copied as a huge one.
    if (pRates == nullptr || lRateCount > MAX_RATES || lRateCount < 0) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PULONG pNewRates = nullptr;
    if (lRateCount > 0) {
        const SIZE_T cb = static_cast<SIZE_T>(lRateCount) * sizeof(ULONG);
        pNewRates = static_cast<PULONG>(ExAllocatePoolWithTag(NonPagedPoolNx, cb, CLOCK_TAG));
        if (pNewRates == nullptr) {
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        std::memcpy(pNewRates, pRates, cb);
    }
    NTSTATUS status = TopologyNode::SetSources(0, nullptr);
    if (!NT_SUCCESS(status)) {
        if (pNewRates != nullptr) {
            ExFreePoolWithTag(pNewRates, CLOCK_TAG);
        }
        return status;
    }
    if (m_pRates != nullptr) {
        ExFreePoolWithTag(m_pRates, CLOCK_TAG);
    }
    m_pRates = pNewRates;
    m_lRateCount = lRateCount;
    return STATUS_SUCCESS;
}

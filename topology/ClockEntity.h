// A clock source: the sample rates it offers and the current one.
#pragma once

#include "adapter/TopologyNode.h"

class ClockEntity : public IClockControl, public TopologyNode {
public:
    DECLARE_UNKNOWN_BASE()

    static constexpr LONG MAX_RATES = 30;

    ClockEntity(PUNKNOWN pOuterUnknown, ULONG ulId);
    ~ClockEntity() override;

    NTSTATUS GetRates(PULONG pCount, PULONG pRates) override;
    NTSTATUS GetRateCount(PULONG pCount) override;
    NTSTATUS SetRate(ULONG ulRate) override;
    NTSTATUS GetRate(PULONG pRate) override;
    NTSTATUS IsClockValid(PBOOLEAN pValid) override;
    NTSTATUS Init(LONG lRateCount, const ULONG* pRates) override;

protected:
    LONG m_lRateCount;
    PULONG m_pRates;
    ULONG m_ulCurrentRate;
};

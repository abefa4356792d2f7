// A terminal that the device can switch between outputs; the entities linked to it follow the
// active output.
#pragma once

#include "adapter/ObjectList.h"
#include "adapter/TopologyNode.h"

class MultiOutputTerminalEntity : public IMultiOutputTerminal, public TopologyNode {
public:
    DECLARE_UNKNOWN_BASE()

    MultiOutputTerminalEntity(PUNKNOWN pOuterUnknown, ULONG ulId);
    ~MultiOutputTerminalEntity() override;

    NTSTATUS GetKind(PULONG pKind) override;
    NTSTATUS GetKindCount(PULONG pCount) override;
    NTSTATUS GetKinds(PULONG pKinds) override;
    NTSTATUS SelectKind(ULONG ulKind) override;
    ULONG GetChangedFlag() override { return __atomic_load_n(&m_ulChanged, __ATOMIC_RELAXED); }
    NTSTATUS ClearChangedFlag() override;
    NTSTATUS AddLink(IEntityLink* pLink) override;
    NTSTATUS Init(ULONG ulSourceId, ULONG ulKindCount, const ULONG* pKinds) override;

protected:
    ULONG m_ulKindCount;
    PULONG m_pKinds;
    ULONG m_ulActiveKind;
    ULONG m_ulChanged;
    ObjectList* m_pLinks;
};

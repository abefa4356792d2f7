// A selector: input i (1-based) is source i; the branch controls on its inputs hear of every
// change of the selected input.
#pragma once

#include "adapter/ObjectList.h"
#include "adapter/TopologyNode.h"

class SelectorEntity : public ISelectorControl, public TopologyNode {
public:
    DECLARE_UNKNOWN_BASE()

    SelectorEntity(PUNKNOWN pOuterUnknown, ULONG ulId);
    ~SelectorEntity() override;

    NTSTATUS GetSelected(PULONG pInput) override;
    NTSTATUS SetSelected(ULONG ulInput) override;
    NTSTATUS GetInputCount(PULONG pCount) override;
    NTSTATUS AddBranchControl(ISelectorBranchControl* pBranch) override;

    NTSTATUS SetSources(ULONG ulCount, const ULONG* pIds) override;

protected:
    ULONG m_ulSelected;
    ObjectList* m_pBranches;
};

// A processing block of the device, published as a node named by its own GUID. The subclasses
// fill in the GUID, the parameters and the enable operation.
#pragma once

#include "adapter/LockObject.h"
#include "adapter/TopologyNode.h"

class ProcessingEntity : public IProcessingEntity, public TopologyNode {
public:
    DECLARE_UNKNOWN_BASE()

    ProcessingEntity(PUNKNOWN pOuterUnknown, ULONG ulId);

    NTSTATUS GetNodeGuid(GUID* pGuid) override;
    // Stores the flag but fails: the device-bound subclasses replace it.
    NTSTATUS SetEnable(UCHAR enable) override;
    NTSTATUS GetEnable(PUCHAR pEnable) override;
    NTSTATUS GetParameterCount(PULONG pCount) override;
    NTSTATUS GetParameters(ULONG ulFirst, ULONG ulCount, PLONG pValues) override;
    NTSTATUS SetParameters(ULONG ulFirst, ULONG ulCount, const LONG* pValues) override;
    NTSTATUS GetParameterInfo(ULONG ulIndex, PULONG pA, PULONG pB, PULONG pC) override;
    NTSTATUS Init(ULONG ulSourceId) override;

protected:
    GUID m_NodeGuid;
    ULONG m_ulParameterCount;
    ULONG m_ulEnable;  // low 8 bits
    LockObject m_EntityLock;
};

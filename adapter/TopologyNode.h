// Base of every entity of the device's audio model: an id, a type code, the ids of its sources
// and four hooks that the entity classes replace.
#pragma once

#include "adapter/EntityInterfaces.h"
#include "adapter/UnknownBase.h"

constexpr ULONG TOPOLOGY_NODE_TAG = MakePoolTag("Topo");

class TopologyNode : public UnknownBase, public ITopologyNode {
public:
    DECLARE_UNKNOWN_BASE()

    TopologyNode(PUNKNOWN pOuterUnknown, ULONG ulId, LONG lType);
    ~TopologyNode() override;

    ULONG GetId() override { return m_ulId; }
    LONG GetType() override { return m_lType; }
    ULONG GetSourceCount() override { return m_ulSourceCount; }
    NTSTATUS GetSources(PULONG pCount, PULONG pIds) override;
    NTSTATUS Restore() override { return STATUS_SUCCESS; }
    NTSTATUS Refresh() override { return STATUS_SUCCESS; }
    NTSTATUS OnStart() override { return STATUS_SUCCESS; }
    NTSTATUS OnStop() override { return STATUS_SUCCESS; }
    // Keeps a copy (paged pool); a count of 0 keeps none.
    NTSTATUS SetSources(ULONG ulCount, const ULONG* pIds) override;

protected:
    ULONG m_ulId;
    LONG m_lType;
    ULONG m_ulSourceCount;
    PULONG m_pSourceIds;
};

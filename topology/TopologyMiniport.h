// The adapter's topology filter ("GlobalTopo"): terminals become pins, the other entities (clocks
// aside) nodes, and the entities' source lists connections. Built once, at Init, from the
// entities registered with the audio HAL; the property handlers reach the entities through the
// records kept here.
#pragma once

#include "adapter/AudioHal.h"
#include "adapter/DriverGuids.h"
#include "adapter/SubdeviceName.h"
#include "adapter/UnknownBase.h"
#include "platform/portcls/PortCls.h"

constexpr ULONG TOPOLOGY_MINIPORT_TAG = MakePoolTag("TOPO");

// A pin or node that stands for one entity. Each keeps its own name slot, so that pins of one
// role and several processing nodes keep the names read for them.
struct TopologyEntityRecord {
    TopologyEntityRecord* Next;
    TopologyEntityRecord* Prev;
    ITopologyNode* Entity;  // one reference held
    ULONG Index;
    GUID Name;
    UCHAR OnPath;  // connection walk: on the current path
    UCHAR Walked;  // connection walk: its inputs are connected
};
using TopologyPinRecord = TopologyEntityRecord;
using TopologyNodeRecord = TopologyEntityRecord;

struct TopologyConnectionRecord {
    TopologyConnectionRecord* Next;
    TopologyConnectionRecord* Prev;
    PCCONNECTION_DESCRIPTOR Connection;
};

// A doubly linked list of records of one kind; the records are paged pool, tag "TOPO".
template <typename Record>
struct TopologyRecordList {
    Record* Head;
    Record* Tail;
    void PushFront(Record* r)
    {
        r->Prev = nullptr;
        r->Next = Head;
        if (Head != nullptr) Head->Prev = r;
        Head = r;
        if (Tail == nullptr) Tail = r;
    }
    void PushBack(Record* r)
    {
        r->Next = nullptr;
        r->Prev = Tail;
        if (Tail != nullptr) Tail->Next = r;
        Tail = r;
        if (Head == nullptr) Head = r;
    }
    Record* PopFront()
    {
        Record* r = Head;
        if (r != nullptr) {
            Head = r->Next;
            if (Head != nullptr) Head->Prev = nullptr; else Tail = nullptr;
        }
        return r;
    }
};

class TopologyMiniport : public IMiniportTopology, public IPowerNotify, public ISubdeviceName, public UnknownBase {
public:
    DECLARE_UNKNOWN_BASE()

    explicit TopologyMiniport(PUNKNOWN pOuterUnknown);
    ~TopologyMiniport() override;

    // IMiniport / IMiniportTopology
    NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR* ppDescription) override;
    NTSTATUS DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    NTSTATUS Init(PUNKNOWN pUnknownAdapter, PRESOURCELIST pResourceList, PPORTTOPOLOGY pPort) override;

    // IPowerNotify
    VOID PowerChangeNotify(POWER_STATE PowerState) override;

    // ISubdeviceName
    NTSTATUS GetBridgePin(PULONG pValue) override;
    NTSTATUS GetName(PWSTR* ppName) override;

    // Category and Name of a pin for its entity type and kind; custom names from the registry.
    NTSTATUS SetPinName(LONG lEntityType, ULONG ulKind, PCPIN_DESCRIPTOR* pPin, TopologyPinRecord* pRecord);

    // The control-change callback registered with the audio HAL (context: the miniport).
    static VOID OnControlChange(PVOID pContext, PVOID pArgument1, PVOID pArgument2);

    // For the property handlers: the entity behind a node or pin index (no reference added).
    ITopologyNode* GetNodeEntity(ULONG ulNode) const;
    ITopologyNode* GetPinEntity(ULONG ulPin) const;
    IPortEvents* GetPortEvents() const { return m_pPortEvents; }
    // Signals the control-change event of a node.
    void RaiseControlChange(ULONG ulNode);
    ULONG GetPinCount() const { return m_ulPinCount; }
    ULONG GetNodeCount() const { return m_ulNodeCount; }
    DEVICE_POWER_STATE GetDevicePowerState() const { return static_cast<DEVICE_POWER_STATE>(m_ulPowerState); }

    NTSTATUS BuildConnections();
    NTSTATUS WalkBack(TopologyNodeRecord* pNode);

protected:
    NTSTATUS BuildPinRecords();
    NTSTATUS BuildNodeRecords();
    NTSTATUS BuildDescriptor();
    NTSTATUS FillNode(TopologyNodeRecord* pRecord, PCNODE_DESCRIPTOR* pNode);
    TopologyNodeRecord* FindNodeByEntityId(ULONG ulId) const;
    TopologyPinRecord* FindPinByEntityId(ULONG ulId) const;
    NTSTATUS AddConnection(ULONG fromNode, ULONG fromPin, ULONG toNode, ULONG toPin);
    void FreeDescriptor();
    void ReleaseInitState();

    PCFILTER_DESCRIPTOR* m_pDescriptor;
    PCPIN_DESCRIPTOR* m_pPins;
    PCNODE_DESCRIPTOR* m_pNodes;
    PCCONNECTION_DESCRIPTOR* m_pConnections;
    IPortTopology* m_pPort;
    IPortEvents* m_pPortEvents;
    PWSTR m_pName;
    PVOID m_pCallbackHandle;
    IAudioHal* m_pAudioHal;
    ULONG m_ulPowerState;
    TopologyRecordList<TopologyPinRecord> m_PinRecords;
    TopologyRecordList<TopologyNodeRecord> m_NodeRecords;
    TopologyRecordList<TopologyConnectionRecord> m_ConnectionRecords;
    ULONG m_ulPinCount;
    ULONG m_ulNodeCount;
    ULONG m_ulConnectionCount;
};

NTSTATUS CreateMiniportTopology(PUNKNOWN* ppUnknown, REFCLSID ClassId, PUNKNOWN pOuterUnknown, POOL_TYPE PoolType);

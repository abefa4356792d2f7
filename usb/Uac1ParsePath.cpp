// What the parsers link to an endpoint: the entities on its path, found by breadth-first walks
// over entity sources (a ring of at most 19 ids and a visited set, so no walk queues an entity
// twice or goes round a loop), and the software mute node or selector a bare path gets.
#include "platform/nt/Debug.h"
#include "topology/SelectorEntity.h"
#include "topology/SoftwareMuteNode.h"
#include "usb/EntityWalk.h"
#include "usb/UacDescriptors.h"
#include "usb/Uac1Function.h"

namespace {

// More sources than this never fit the ring with what it holds; such an entity ends its walk as
// a ring overflow does.
constexpr ULONG MAX_WALK_SOURCES = 64;

// The entity's sources into `ids`; STATUS_INSUFFICIENT_RESOURCES when they cannot all be held.
NTSTATUS ReadSources(TopologyNode* pEntity, ULONG (&ids)[MAX_WALK_SOURCES], PULONG pulCount)
{
    ULONG count = pEntity->GetSourceCount();
    *pulCount = 0;
    if (count > MAX_WALK_SOURCES) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (count == 0) {
        return STATUS_SUCCESS;
    }
    NTSTATUS status = pEntity->GetSources(&count, ids);
    if (NT_SUCCESS(status)) {
        *pulCount = count;
    }
    return status;
}

// Whether an entity of the id is linked to the endpoint already.
bool IsLinked(StreamEngine* pEndpoint, ULONG ulId)
{
    const ULONG count = pEndpoint->GetEntityCount();
    for (ULONG i = 0; i < count; ++i) {
        TopologyNode* pEntity = nullptr;
        if (NT_SUCCESS(pEndpoint->GetEntity(i, &pEntity)) && pEntity != nullptr && pEntity->GetId() == ulId) {
            return true;
        }
    }
    return false;
}

// The kind of a physical output terminal entity; 0 for anything else.
ULONG PhysicalOutputKind(TopologyNode* pEntity)
{
    if (pEntity == nullptr || pEntity->GetType() != ENTITY_OUTPUT_TERMINAL) {
        return 0;
    }
    PVOID pRaw = nullptr;
    if (!NT_SUCCESS(pEntity->QueryInterface(IID_ITerminalControl, &pRaw))) {
        return 0;
    }
    auto* pTerminal = static_cast<ITerminalControl*>(pRaw);
    ULONG kind = 0;
    if (!NT_SUCCESS(pTerminal->GetKind(&kind))) {
        kind = 0;
    }
    pTerminal->Release();
    return kind;
}

// The first linked entity of the type; null when there is none.
TopologyNode* LinkedOfType(StreamEngine* pEndpoint, LONG lType)
{
    const ULONG count = pEndpoint->GetEntityCount();
    for (ULONG i = 0; i < count; ++i) {
        TopologyNode* pEntity = nullptr;
        if (NT_SUCCESS(pEndpoint->GetEntity(i, &pEntity)) && pEntity != nullptr && pEntity->GetType() == lType) {
            return pEntity;
        }
    }
    return nullptr;
}

// The output-terminal unit whose first entity is the id; null when none is.
UsbAudioUnit* OutputTerminalUnitOf(ObjectList* pUnits, ULONG ulEntityId)
{
    if (pUnits == nullptr) {
        return nullptr;
    }
    for (UsbAudioUnit* pUnit : pUnits->Items<UsbAudioUnit>()) {
        ULONG ulFirst = 0;
        if (pUnit->GetType() == USB_AUDIO_AC_OUTPUT_TERMINAL && NT_SUCCESS(pUnit->GetFirstEntityId(&ulFirst)) &&
            ulFirst == ulEntityId) {
            return pUnit;
        }
    }
    return nullptr;
}

}  // namespace

NTSTATUS UsbAudioFunction::LinkUpstreamEntities(StreamEngine* pEndpoint, ULONG ulStartId)
{
    PAGED_CODE();
    if (pEndpoint == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    EntityIdSet visited;
    NTSTATUS status = visited.Init(GetEntityCount(), m_ulUnitListTag);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    EntityIdRing ring;
    visited.Insert(ulStartId);
    ring.Append(ulStartId);
    while (!ring.IsEmpty()) {
        const ULONG id = ring.Take();
        if (IsLinked(pEndpoint, id)) {
            continue;
        }
        TopologyNode* pEntity = nullptr;
        status = FindEntity(id, &pEntity);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        status = pEndpoint->AddEntity(pEntity);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        // A mixer's inputs are paths of their own: its upstream is not this endpoint's.
        if (pEntity->GetType() == ENTITY_MIXER) {
            continue;
        }
        ULONG ids[MAX_WALK_SOURCES];
        ULONG count = 0;
        status = ReadSources(pEntity, ids, &count);
        if (NT_SUCCESS(status)) {
            status = ring.AppendUnvisited(ids, count, &visited);
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioFunction::BindEndpointEntities(StreamEngine* pEndpoint, ULONG ulTerminalEntityId)
{
    PAGED_CODE();
    if (pEndpoint == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (pEndpoint->IsCapture()) {
        return LinkUpstreamEntities(pEndpoint, ulTerminalEntityId);
    }
    // Every physical output terminal whose upstream holds the endpoint's terminal takes the endpoint:
    // its whole upstream graph is linked. An output the terminal does not reach is simply not this
    // endpoint's; the endpoint fails only when no output reaches it.
    bool anyOutput = false;
    bool bound = false;
    const ULONG entityCount = GetEntityCount();
    for (ULONG i = 0; i < entityCount; ++i) {
        TopologyNode* pOutput = nullptr;
        NTSTATUS status = GetEntity(i, &pOutput);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (PhysicalOutputKind(pOutput) == 0) {
            continue;
        }
        anyOutput = true;
        EntityIdSet visited;
        status = visited.Init(entityCount, m_ulUnitListTag);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        EntityIdRing ring;
        visited.Insert(pOutput->GetId());
        ring.Append(pOutput->GetId());
        bool found = false;
        while (!ring.IsEmpty()) {
            const ULONG id = ring.Take();
            if (id == ulTerminalEntityId) {
                found = true;
                break;
            }
            TopologyNode* pEntity = nullptr;
            if (!NT_SUCCESS(FindEntity(id, &pEntity))) {
                break;
            }
            ULONG ids[MAX_WALK_SOURCES];
            ULONG count = 0;
            if (!NT_SUCCESS(ReadSources(pEntity, ids, &count)) ||
                !NT_SUCCESS(ring.AppendUnvisited(ids, count, &visited))) {
                DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL,
                           "UAC%lu: the sources of entity %lu do not fit the walk from output %lu\n",
                           static_cast<ULONG>(Version()), id, pOutput->GetId());
                break;
            }
        }
        if (!found) {
            continue;
        }
        status = LinkUpstreamEntities(pEndpoint, pOutput->GetId());
        if (!NT_SUCCESS(status)) {
            return STATUS_INVALID_PARAMETER;
        }
        bound = true;
    }
    if (!bound) {
        DbgPrintEx(DPFLTR_IHVAUDIO_ID, DPFLTR_WARNING_LEVEL, "UAC%lu: %s reaches render terminal entity %lu\n",
                   static_cast<ULONG>(Version()), anyOutput ? "no physical output" : "no physical output exists that", ulTerminalEntityId);
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbAudioFunction::AddSoftwareMuteNode(ULONG ulId, ULONG ulSourceId, ULONG ulSourceCount, StreamEngine* pEndpoint)
{
    PAGED_CODE();
    auto* pNode = new (NonPagedPoolNx, m_ulUnitListTag) SoftwareMuteNode(nullptr, ulId);
    if (pNode == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    TopologyNode* pEntity = pNode;
    pEntity->AddRef();
    NTSTATUS status = pNode->Init(ulSourceId, ulSourceCount);
    if (NT_SUCCESS(status)) {
        status = AddEntity(pEntity);
    }
    if (NT_SUCCESS(status)) {
        status = pEndpoint->AddEntity(pEntity);
    }
    pEntity->Release();
    return status;
}

NTSTATUS UsbAudioFunction::AddSelectorEntity(ULONG ulId, ULONG ulCount, const ULONG* pIds, StreamEngine* pEndpoint)
{
    PAGED_CODE();
    auto* pSelector = new (NonPagedPoolNx, m_ulUnitListTag) SelectorEntity(nullptr, ulId);
    if (pSelector == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    TopologyNode* pEntity = pSelector;
    pEntity->AddRef();
    NTSTATUS status = pSelector->SetSources(ulCount, pIds);
    if (NT_SUCCESS(status)) {
        status = AddEntity(pEntity);
    }
    if (NT_SUCCESS(status)) {
        status = pEndpoint->AddEntity(pEntity);
    }
    pEntity->Release();
    return status;
}

NTSTATUS UsbAudioFunction::InsertSoftwareMute(StreamEngine* pEndpoint)
{
    PAGED_CODE();
    TopologyNode* pOutput = LinkedOfType(pEndpoint, ENTITY_OUTPUT_TERMINAL);
    // The mute's source is the input terminal; on a capture path whose output terminal a mixer
    // feeds directly, it is that mixer (whatever of the two is not the output terminal).
    TopologyNode* pInput = LinkedOfType(pEndpoint, ENTITY_INPUT_TERMINAL);
    if (pInput == nullptr) {
        for (ULONG i = 0; i < pEndpoint->GetEntityCount() && pInput == nullptr; ++i) {
            TopologyNode* pEntity = nullptr;
            if (NT_SUCCESS(pEndpoint->GetEntity(i, &pEntity)) && pEntity != nullptr && pEntity != pOutput) {
                pInput = pEntity;
            }
        }
    }
    if (pInput == nullptr || pOutput == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    const ULONG ulNewId = GetEntityCount();
    NTSTATUS status = AddSoftwareMuteNode(ulNewId, pInput->GetId(), 1, pEndpoint);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG ulLast = ulNewId;
    if (pEndpoint->IsCapture() && !RtlIsNtDdiVersionAvailable(NTDDI_VISTA)) {
        status = AddSelectorEntity(ulNewId + 1, 1, &ulNewId, pEndpoint);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        ulLast = ulNewId + 1;
    }
    if (UsbAudioUnit* pUnit = OutputTerminalUnitOf(m_pUnits, pOutput->GetId())) {
        pUnit->SetInputIds(1, &ulLast);
    }
    return status;
}

NTSTATUS UsbAudioFunction::CompleteEndpointPath(StreamEngine* pEndpoint)
{
    PAGED_CODE();
    if (pEndpoint == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG linked = pEndpoint->GetEntityCount();
    if (linked == 2) {
        return InsertSoftwareMute(pEndpoint);
    }
    if (!pEndpoint->IsCapture()) {
        return STATUS_SUCCESS;
    }
    ULONG terminals = 0;
    for (ULONG i = 0; i < linked; ++i) {
        TopologyNode* pEntity = nullptr;
        if (!NT_SUCCESS(pEndpoint->GetEntity(i, &pEntity)) || pEntity == nullptr) {
            continue;
        }
        if (pEntity->GetType() == ENTITY_SELECTOR) {
            return STATUS_SUCCESS;
        }
        if (pEntity->GetType() == ENTITY_INPUT_TERMINAL || pEntity->GetType() == ENTITY_OUTPUT_TERMINAL) {
            ++terminals;
        }
    }
    if (terminals != 2) {
        return STATUS_SUCCESS;
    }
    TopologyNode* pOutput = LinkedOfType(pEndpoint, ENTITY_OUTPUT_TERMINAL);
    if (pOutput == nullptr || RtlIsNtDdiVersionAvailable(NTDDI_VISTA)) {
        return STATUS_SUCCESS;
    }
    ULONG ulSource = 0;
    ULONG one = 1;
    if (!NT_SUCCESS(pOutput->GetSources(&one, &ulSource)) || one == 0) {
        return STATUS_SUCCESS;
    }
    const ULONG ulNewId = GetEntityCount();
    NTSTATUS status = AddSelectorEntity(ulNewId, 1, &ulSource, pEndpoint);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    if (UsbAudioUnit* pUnit = OutputTerminalUnitOf(m_pUnits, pOutput->GetId())) {
        pUnit->SetInputIds(1, &ulNewId);
    }
    return status;
}

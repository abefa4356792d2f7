#include "topology/VariantTerminals.h"

#include <cstring>

#include "topology/FixedRangeFeatureUnits.h"
#include "topology/JackTables.h"
#include "topology/UsbTerminalEntities.h"

NTSTATUS JacklessOutputTerminal::Init(IAudioHal* hal)
{
    ULONG next = 0;
    NTSTATUS status = BeginOutputTerminalInit(hal, &next);
    if (NT_SUCCESS(status)) {
        status = UseSingleOutput(RenderKindTable(TerminalType(), true));
    }
    if (NT_SUCCESS(status)) {
        status = CreateOutputEntities(hal, &next, m_ulEntityTag);
    }
    return status;
}

V4InputTerminal::V4InputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
    : V3InputTerminal(pOuterUnknown, ulProvisionalId, V4_UNIT_ENTITY_TAG)
{
}

V5InputTerminal::V5InputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
    : V3InputTerminal(pOuterUnknown, ulProvisionalId, V5_UNIT_ENTITY_TAG)
{
}

V4OutputTerminal::V4OutputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
    : JacklessOutputTerminal(pOuterUnknown, ulProvisionalId, V4_UNIT_ENTITY_TAG)
{
}

V5OutputTerminal::V5OutputTerminal(PUNKNOWN pOuterUnknown, ULONG ulProvisionalId)
    : JacklessOutputTerminal(pOuterUnknown, ulProvisionalId, V5_UNIT_ENTITY_TAG)
{
}

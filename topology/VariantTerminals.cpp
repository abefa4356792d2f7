#include "topology/VariantTerminals.h"

#include <cstring>

#include "topology/FixedRangeFeatureUnits.h"
#include "topology/JackTables.h"
#include "topology/UsbTerminalEntities.h"

NTSTATUS JacklessOutputTerminal::Init(IAudioHal* hal)
{
    if (hal == nullptr || m_pDescriptor == nullptr || m_pDescriptor[0] < UAC1_OUTPUT_TERMINAL_MIN_LENGTH) {
        return STATUS_INVALID_PARAMETER;
    }
    m_ulId = m_pDescriptor[3];
    m_lType = USB_AUDIO_AC_OUTPUT_TERMINAL;
    const ULONG source = m_pDescriptor[7];
    NTSTATUS status = SetSources(1, &source);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ULONG next = hal->GetEntityCount();
    const ULONG kind = RenderKindTable(TerminalType(), true);
    status = AllocateOutputArrays(1);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    m_pKinds[0] = kind;
    m_pTypes[0] = TerminalType();
    m_ulActiveKind = kind;
    AudioCapabilities capabilities;
    std::memset(&capabilities, 0, sizeof capabilities);
    hal->GetCapabilities(FALSE, kind, &capabilities);
    return CreateEntity<UsbOutputTerminalEntity>(
        hal, m_ulEntityTag, &next,
        [&](UsbOutputTerminalEntity* e) { return SetupOutputTerminalEntity(e, this, &capabilities); },
        static_cast<UsbOutputTerminalEntity**>(nullptr), 0u);
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
